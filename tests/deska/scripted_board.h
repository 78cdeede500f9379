// SPDX-License-Identifier: GPL-3.0-or-later
// A scripted stand-in for the measurement board, loaded by deska as its port library
// (PORTIO_LIBRARY) and linked by the tests, which script it and read its record.
//
// It records every port write in order, and once acquisition mode 4 is written to
// 0x30B it serves the scripted converter words in turn: each after a scripted number
// of reads of 0x305 with the not-ready flag (bit 4) set, high byte from 0x305, low
// byte from 0x304. It can also stop answering after some samples, like an absent board.
#pragma once

#include <cstdint>
#include <vector>

namespace scripted_board {

struct Write {
    unsigned port;
    unsigned value;
    bool operator==(const Write &) const = default;
};

// Converter words served in turn, repeated as needed; raw 16-bit words, so a test can
// set bits above the 12-bit code. notReadyReads: flagged reads before each result.
void serve(const std::vector<uint16_t> &words, int notReadyReads = 0);
// From the next start of acquisition, the board delivers this many samples and then
// never clears its not-ready flag (-1: always answers; 0: absent board).
void answerSamples(int count);

const std::vector<Write> &writes();
void clearWrites();
// Samples delivered (low bytes read) since acquisition was last started.
int samplesDelivered();

}  // namespace scripted_board
