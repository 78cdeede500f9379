// SPDX-License-Identifier: GPL-3.0-or-later
// The exported driver routines of the SCPI link library (behaviour in
// scpi_link.h): per primary address one link, that is the operator's
// mapping, the open channel and the reply bytes not yet handed out; status
// as the driver interface keeps it.
#include "scpi_link.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "channel.h"
#include "environment.h"
#include "gpib_codes.h"
#include "gpib_driver_status.h"
#include "instrument_map.h"

namespace {

using scpilink::Channel;
using scpilink::Clock;
using scpilink::Io;

constexpr long kDefaultTimeoutMs = 3000;
constexpr long kMaxTimeoutMs = 600000;
constexpr std::size_t kReadChunk = 65536;

struct Link {
    std::string resource;  // the resource text the channel was opened for
    std::unique_ptr<Channel> channel;
    std::string input;   // received and not yet handed out
    std::string output;  // the message being sent, with its newline
    // A message begun with NULLend and not yet ended.
    bool in_message = false;
    bool message_has_block = false;
    bool message_has_query = false;
    // A reply may still be on its way that no Receive has taken to its end: a
    // query was sent and not read, or the last Receive stopped short of the
    // reply's end (a time-out, a full buffer).
    bool reply_outstanding = false;
};

std::mutex link_mutex;
std::map<int, Link> links;

// "ENOL: address 8 (...): ..." of the thread's last failure. A plain array:
// a thread-local object with a destructor would keep the library from ever
// being unloaded.
thread_local char thread_detail[1024];

void say_once(const std::string &message) {
    static std::string last;
    if (message == last) return;
    last = message;
    std::fprintf(stderr, "labbench scpi link: %s\n", message.c_str());
}

void finish(int status, int error, long count) {
    gpib_driver_finish(status, error, count);
    if (!(status & ERR)) thread_detail[0] = '\0';
}

// Ends the routine with ERR (and `extra` bits); `detail` says why, for
// gpib_error_string and, once per new text, for stderr.
void fail(int error, const std::string &detail, long count = 0, int extra = 0) {
    finish(ERR | extra, error, count);
    std::string text = std::string(gpib_error_name(error)) + ": " + detail;
    std::snprintf(thread_detail, sizeof thread_detail, "%s", text.c_str());
    say_once(text);
}

long timeout_ms() {
    long value = kDefaultTimeoutMs;
    if (labbench::env_number("LABBENCH_IO_TIMEOUT_MS", 1, kMaxTimeoutMs, value) ==
        labbench::EnvNumber::Invalid) {
        say_once("LABBENCH_IO_TIMEOUT_MS='" + labbench::env_text("LABBENCH_IO_TIMEOUT_MS") +
                 "' is not a number of milliseconds from 1 to " + std::to_string(kMaxTimeoutMs) +
                 "; using " + std::to_string(kDefaultTimeoutMs));
        return kDefaultTimeoutMs;
    }
    return value;
}

std::string where(int address, const std::string &resource) {
    return "address " + std::to_string(address) + " (" + scpilink::shown_text(resource) + ")";
}

// Board and address checks common to the transfers; false after failing the call.
bool valid_target(int board, GpibDriverAddr address) {
    if (board != 0) {
        fail(ENEB, "board " + std::to_string(board) + ": the SCPI link has only board 0");
        return false;
    }
    int primary = address & 0xFF;
    if (primary > GPIB_DRIVER_MAX_PRIMARY_ADDRESS) {
        fail(EARG, "address " + std::to_string(primary) + " is not a GPIB primary address (0.." +
                       std::to_string(GPIB_DRIVER_MAX_PRIMARY_ADDRESS) + ")");
        return false;
    }
    if (address >> 8) {
        fail(EARG, "address " + std::to_string(primary) + "+" + std::to_string(address >> 8) +
                       ": secondary addresses have no meaning on a LAN or USB link");
        return false;
    }
    return true;
}

// The link of `address` with an open channel to its mapped instrument, or
// null after failing the call with ENOL. A channel the instrument closed is
// reopened here once; `fresh_message` drops reply bytes nobody read, and
// makes sure that the rest of a reply given up on cannot follow (for a
// socket, by connecting afresh).
Link *open_link(int address, bool fresh_message, Clock::time_point deadline) {
    scpilink::Mapping mapping = scpilink::find_instrument(address);
    if (mapping.outcome != scpilink::Mapping::Outcome::Found) {
        links.erase(address);
        std::string resource =
            mapping.text.empty() ? "" : " (" + scpilink::shown_text(mapping.text) + ")";
        fail(ENOL, "address " + std::to_string(address) + resource + ": " + mapping.why);
        return nullptr;
    }
    Link &link = links[address];
    if (link.channel && link.resource != mapping.resource.text) link = Link{};
    if (link.channel && fresh_message && !link.in_message) {
        link.input.clear();
        link.message_has_block = link.message_has_query = false;
        Io abandoned = link.reply_outstanding ? link.channel->abandon_reply() : Io::Done;
        link.reply_outstanding = false;
        if (abandoned == Io::Closed || link.channel->discard_input() == Io::Closed) link = Link{};
    }
    if (!link.channel) {
        std::string why;
        link = Link{};
        link.channel = scpilink::open_channel(mapping.resource, deadline, why);
        if (!link.channel) {
            fail(ENOL, where(address, mapping.resource.text) + ": " + why);
            return nullptr;
        }
        link.resource = mapping.resource.text;
    }
    return &link;
}

// Whether a message ended with EOI needs a newline appended (see scpi_link.h).
bool needs_newline(const Link &link, const char *bytes, long count, int end_mode) {
    if (end_mode == GPIB_DRIVER_NLend) return true;
    if (count == 0 || bytes[count - 1] != '\n') return true;
    return link.message_has_block || std::memchr(bytes, '#', std::size_t(count)) != nullptr;
}

void send_message(int board, GpibDriverAddr address, const void *buffer, long count, int eot_mode) {
    std::lock_guard lock(link_mutex);
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms());
    if (!valid_target(board, address)) return;
    if (count < 0 || (count > 0 && !buffer) || eot_mode < GPIB_DRIVER_NULLend ||
        eot_mode > GPIB_DRIVER_NLend)
        return fail(EARG, "Send with a count of " + std::to_string(count) + ", end mode " +
                              std::to_string(eot_mode) + (buffer ? "" : " and no buffer"));
    Link *link = open_link(address, true, deadline);
    if (!link) return;

    const char *bytes = static_cast<const char *>(buffer);
    bool message_end = eot_mode != GPIB_DRIVER_NULLend;
    std::string &out = link->output;
    out.assign(bytes, std::size_t(count));
    if (message_end && needs_newline(*link, bytes, count, eot_mode)) out += '\n';
    if (!message_end && std::memchr(bytes, '#', std::size_t(count))) link->message_has_block = true;
    if (std::memchr(bytes, '?', std::size_t(count))) link->message_has_query = true;

    std::size_t written = 0;
    Io outcome = link->channel->write(out.data(), out.size(), message_end, written, deadline);
    long sent = long(std::min<std::size_t>(written, std::size_t(count)));
    std::string place = where(address, link->resource);
    if (outcome == Io::Done) {
        link->in_message = !message_end;
        if (message_end) {
            // A query's reply is expected (a '?' in a block's data is no query).
            bool block = link->message_has_block || std::memchr(bytes, '#', std::size_t(count));
            if (link->message_has_query && !block) link->reply_outstanding = true;
            link->message_has_block = false;
            link->message_has_query = false;
        }
        return finish(CMPL, 0, count);
    }
    std::string detail =
        place + ": " +
        (outcome == Io::TimedOut ? "the instrument took no more bytes within the time-out"
                                 : "sending failed: " + link->channel->reason()) +
        " (" + std::to_string(written) + " of " + std::to_string(out.size()) + " bytes sent)";
    // A message cut short would run into the next one: start afresh.
    if (outcome == Io::Closed || written > 0) links.erase(address);
    if (outcome == Io::TimedOut) return fail(EABO, detail, sent, TIMO);
    fail(EABO, detail, sent);
}

void receive_reply(int board, GpibDriverAddr address, void *buffer, long count, int termination) {
    std::lock_guard lock(link_mutex);
    Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms());
    if (!valid_target(board, address)) return;
    if (count < 0 || (count > 0 && !buffer) || termination < 0 || termination > STOPend)
        return fail(EARG, "Receive with a count of " + std::to_string(count) + ", termination " +
                              std::to_string(termination) + (buffer ? "" : " and no buffer"));
    Link *link = open_link(address, false, deadline);
    if (!link) return;
    if (count == 0) return finish(CMPL, 0, 0);

    char *out = static_cast<char *>(buffer);
    std::string &input = link->input;
    std::size_t scanned = 0;
    while (true) {
        // The end of the reply: a newline, or the termination byte asked for.
        for (; scanned < input.size() && scanned < std::size_t(count); ++scanned) {
            unsigned char c = (unsigned char)input[scanned];
            if (c == '\n' || (termination != STOPend && c == termination)) {
                std::size_t n = scanned + 1;
                std::memcpy(out, input.data(), n);
                input.erase(0, n);
                link->reply_outstanding = false;
                return finish(CMPL | END, 0, long(n));
            }
        }
        if (scanned >= std::size_t(count)) {
            std::memcpy(out, input.data(), std::size_t(count));
            input.erase(0, std::size_t(count));
            link->reply_outstanding = true;
            return finish(CMPL, 0, count);
        }
        char chunk[kReadChunk];
        std::size_t got = 0;
        Io outcome = link->channel->read(chunk, sizeof chunk, got, deadline);
        if (outcome == Io::Done) {
            input.append(chunk, got);
            continue;
        }
        // Hand out what came, then fail.
        std::size_t n = std::min(input.size(), std::size_t(count));
        std::memcpy(out, input.data(), n);
        input.erase(0, n);
        std::string detail = where(address, link->resource) + ": ";
        if (outcome == Io::TimedOut) {
            link->reply_outstanding = true;
            detail += "no reply within the time-out";
            if (n) detail += " (" + std::to_string(n) + " bytes without a newline)";
            return fail(EABO, detail, long(n), TIMO);
        }
        detail += "receiving failed: " + link->channel->reason();
        links.erase(address);
        return fail(EABO, detail, long(n));
    }
}

// Runs a routine's body. No exception may leave the library: in the program
// that loaded it, one would end the process. None is expected (memory
// exhausted, say); one that happens anyway fails the routine with EDVR.
template <typename Body>
void guarded(const char *routine, Body &&body) {
    try {
        body();
    } catch (...) {
        finish(ERR, EDVR, 0);
        const char *what = gpib_driver_exception_text();
        try {
            fail(EDVR, std::string(routine) + " failed inside the SCPI link (" + what + ")");
        } catch (...) {
        }
    }
}

}  // namespace

extern "C" {

// No bus lines to drive on a socket or USB link (see scpi_link.h).
GPIB_DRIVER_EXPORT void SendIFC(int board) {
    guarded("SendIFC", [&] {
        std::lock_guard lock(link_mutex);
        if (board != 0)
            return fail(ENEB,
                        "board " + std::to_string(board) + ": the SCPI link has only board 0");
        finish(CMPL, 0, 0);
    });
}

GPIB_DRIVER_EXPORT void EnableRemote(int board, const GpibDriverAddr addressList[]) {
    (void)addressList;
    SendIFC(board);
}

GPIB_DRIVER_EXPORT void EnableLocal(int board, const GpibDriverAddr addressList[]) {
    (void)addressList;
    SendIFC(board);
}

GPIB_DRIVER_EXPORT void Send(int board, GpibDriverAddr address, const void *buffer, long count,
                             int eot_mode) {
    guarded("Send", [&] { send_message(board, address, buffer, count, eot_mode); });
}

GPIB_DRIVER_EXPORT void Receive(int board, GpibDriverAddr address, void *buffer, long count,
                                int termination) {
    guarded("Receive", [&] { receive_reply(board, address, buffer, count, termination); });
}

// The calling thread's last failure in words when `error` is its code, else
// the code's general meaning.
GPIB_DRIVER_EXPORT const char *gpib_error_string(int error) {
    if ((ThreadIbsta() & ERR) && error == ThreadIberr() && thread_detail[0]) return thread_detail;
    return gpib_error_text(error);
}

}  // extern "C"
