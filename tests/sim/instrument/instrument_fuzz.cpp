// SPDX-License-Identifier: GPL-3.0-or-later
// Fuzz target for the simulated instrument's message and block parsing: any
// bytes, arriving in any pieces with or without an end, must give replies
// and SCPI errors, never a crash, a hang or an exception, and every queued
// error must be one the instrument documents. Built as a libFuzzer target
// with clang (LABBENCH_FUZZ=ON) and, always, into sim_instrument_replay,
// which runs it over the seed corpus as a test.
//
// Input: a sequence of pieces, each a control byte c and then (c >> 2) bytes
// (63: all the rest). Bit 0 of c ends the message with the piece (EOI); bit
// 1 reads what the instrument has to say afterwards.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "sim_instrument.h"

namespace {

bool documented(int error) {
    for (int known : {0, -102, -108, -109, -113, -160, -221, -222, -224, -350, -363, -410, -420})
        if (error == known) return true;
    return false;
}

// Reads the reply in small parts, then the whole error queue.
void drain(siminstrument::Instrument &instrument) {
    std::string reply;
    for (int parts = 0; instrument.has_reply(); ++parts) {
        if (parts > 100000) std::abort();  // a reply that never ends
        char buffer[7];
        bool last = false;
        std::size_t got = instrument.read_reply(buffer, sizeof buffer, -1, last);
        reply.append(buffer, got);
        if (last && (reply.empty() || reply.back() != '\n')) std::abort();
    }
    for (int i = 0; i < 25; ++i) {
        const std::string error = instrument.next_error();
        const int number = std::atoi(error.c_str());
        if (!documented(number)) std::abort();
        if (number == 0) return;
    }
    std::abort();  // the queue holds at most 20 entries
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return 0; }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    siminstrument::Instrument instrument;
    while (size > 0) {
        const unsigned control = *data++;
        --size;
        const std::size_t length =
            (control >> 2) == 63 ? size : std::min<std::size_t>(size, control >> 2);
        instrument.take_bytes(std::string_view(reinterpret_cast<const char *>(data), length),
                              control & 1);
        data += length;
        size -= length;
        if (control & 2) drain(instrument);
    }
    instrument.take_bytes({}, true);
    drain(instrument);
    return 0;
}
