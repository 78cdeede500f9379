// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target for the SCPI link's reply path: what a hostile or merely slow
// instrument sends, in any pieces, early or late, reaches Receive, which must
// never crash, write past the caller's buffer, report more bytes than it was
// given room for, or hand out the reply to one query as the reply to a later
// one. Built as a libFuzzer target with clang (LABBENCH_FUZZ=ON) and, always,
// into scpi_link_reply_replay, which runs it over the seed corpus as a test.
//
// The instrument stands inside the process, as a channel of the link's own
// (set_channel_opener), so that no socket, clock or thread is involved: each
// of its reads takes its outcome from the input (some bytes, nothing within
// the time-out, or a closed connection), and bytes not delivered by a read
// that timed out come later, as a late reply would.
//
// Input: a sequence of operations, each an operation byte and its arguments.
//   op % 4 == 0  query: Send "?" (DABend); the instrument answers it, by the
//                next byte b: b < 0xC0 an orderly reply of (b % 64) * 5
//                letters and a newline; else a hostile reply, the next
//                (b & 0x3F) bytes as they are
//   op % 4 == 1  command: Send "C" (DABend), which gets no answer
//   op % 4 == 2  Receive into a buffer of 1 + next byte bytes (0 when that is
//                255), termination from (op >> 2): STOPend unless bit 0, else
//                ';' or '\n'
//   op % 4 == 3  a message in two parts: Send "Q" with NULLend, then "?"
// Every decision of the instrument (read, write, discard) takes one more byte.
//
// Orderly replies are made of one letter each, 'a' + the query's number mod
// 26, so the bytes a Receive hands out show whose reply they are. While the
// connection has carried only orderly replies, every byte handed out after
// query k must be k's letter or the newline. A hostile reply suspends that
// check until the link connects afresh.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "channel.h"
#include "gpib_driver.h"

namespace {

struct Input {
    const uint8_t *data = nullptr;
    size_t size = 0;
    bool empty() const { return size == 0; }
    // The next byte, or `fallback` once the input is used up.
    unsigned next(unsigned fallback = 0) {
        if (size == 0) return fallback;
        --size;
        return *data++;
    }
};

Input input;
unsigned query_number = 0;  // the last query sent
bool orderly = true;        // the connection has carried orderly replies only

char letter_of(unsigned query) { return char('a' + query % 26); }

class ScriptedInstrument : public scpilink::Channel {
public:
    ScriptedInstrument() { orderly = true; }

    scpilink::Io write(const char *bytes, std::size_t count, bool, std::size_t &written,
                       scpilink::Clock::time_point) override {
        const unsigned decision = input.next();
        if (decision >= 0xF0) {  // the instrument stops taking bytes, or goes away
            written = decision & 1 ? count / 2 : 0;
            reason_ = "closed by the scripted instrument";
            return decision & 2 ? scpilink::Io::Closed : scpilink::Io::TimedOut;
        }
        written = count;
        message_.append(bytes, count);
        // Every message ended with its newline is answered if it is a query.
        for (std::size_t end; (end = message_.find('\n')) != std::string::npos;) {
            if (message_.substr(0, end).find('?') != std::string::npos) answer();
            message_.erase(0, end + 1);
        }
        return scpilink::Io::Done;
    }

    scpilink::Io read(char *bytes, std::size_t count, std::size_t &got,
                      scpilink::Clock::time_point) override {
        got = 0;
        const unsigned decision = input.next(0xFF);
        if (decision == 0xFE) {
            reason_ = "closed by the scripted instrument";
            return scpilink::Io::Closed;
        }
        // Nothing now: what is still to come arrives after the time-out.
        if (decision >= 0xE0 || sending_.empty()) return scpilink::Io::TimedOut;
        const std::size_t n = std::min({count, sending_.size(), std::size_t(decision % 97) + 1});
        for (std::size_t i = 0; i < n; ++i) {
            bytes[i] = sending_.front();
            sending_.pop_front();
        }
        got = n;
        return scpilink::Io::Done;
    }

    // What has arrived is a part of what was sent, as long as the input says.
    scpilink::Io discard_input() override {
        const unsigned arrived = input.next();
        if (arrived == 0xFE) {
            reason_ = "closed by the scripted instrument";
            return scpilink::Io::Closed;
        }
        for (unsigned i = 0; i < arrived && !sending_.empty(); ++i) sending_.pop_front();
        return scpilink::Io::Done;
    }

    // A socket's answer: only a new connection is sure to be free of it.
    scpilink::Io abandon_reply() override {
        reason_ = "a reply was given up on";
        return scpilink::Io::Closed;
    }

private:
    void answer() {
        const unsigned kind = input.next();
        if (kind < 0xC0) {
            sending_.insert(sending_.end(), (kind % 64) * 5, letter_of(query_number));
            sending_.push_back('\n');
            return;
        }
        orderly = false;
        for (unsigned i = 0; i < (kind & 0x3F) && !input.empty(); ++i)
            sending_.push_back(char(input.next()));
    }

    std::string message_;       // the message being received
    std::deque<char> sending_;  // what the instrument still has to send
};

std::unique_ptr<scpilink::Channel> open_scripted(const scpilink::Resource &, std::string &) {
    return std::make_unique<ScriptedInstrument>();
}

void send_text(const char *text, int mode) { Send(0, 8, text, long(std::strlen(text)), mode); }

void receive(unsigned op) {
    const unsigned size_byte = input.next();
    const long count = size_byte == 255 ? 0 : long(size_byte) + 1;
    const int termination = (op >> 2) & 1 ? ((op >> 3) & 1 ? ';' : '\n') : int(STOPend);
    // Exactly the room given, so that AddressSanitizer sees a byte past it.
    std::unique_ptr<char[]> buffer(new char[std::size_t(count ? count : 1)]);
    Receive(0, 8, buffer.get(), count, termination);
    const int status = ThreadIbsta();
    const long got = ThreadIbcntl();
    if (got < 0 || got > count) std::abort();
    if ((status & ERR) && (status & END)) std::abort();
    if (status & END) {
        const char last = buffer[std::size_t(got) - 1];
        if (got == 0 || !(last == '\n' || (termination != STOPend && last == termination)))
            std::abort();
    }
    if (!orderly) return;
    for (long i = 0; i < got; ++i)
        if (buffer[std::size_t(i)] != '\n' && buffer[std::size_t(i)] != letter_of(query_number))
            std::abort();  // a byte of an earlier query's reply
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    scpilink::set_channel_opener(open_scripted);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // Another resource text for each input, so that the link starts afresh.
    static unsigned run = 0;
    const std::string resource =
        "TCPIP::127.0.0.1::" + std::to_string(1 + run++ % 60000) + "::SOCKET";
    setenv("LABBENCH_INSTRUMENT_8", resource.c_str(), 1);
    input = Input{data, size};
    while (!input.empty()) {
        const unsigned op = input.next();
        switch (op % 4) {
            case 0:
                ++query_number;
                send_text("?", GPIB_DRIVER_DABend);
                break;
            case 1:
                send_text("C", GPIB_DRIVER_DABend);
                break;
            case 2:
                receive(op);
                break;
            case 3:
                ++query_number;
                send_text("Q", GPIB_DRIVER_NULLend);
                send_text("?", GPIB_DRIVER_DABend);
                break;
        }
    }
    return 0;
}
