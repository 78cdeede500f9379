// SPDX-License-Identifier: GPL-3.0-or-later
// The scripted stand-in for the measurement board; see scripted_board.h.

#include "scripted_board.h"

namespace {

constexpr unsigned short PORT_DATA_LOW = 0x304;
constexpr unsigned short PORT_DATA_HIGH = 0x305;
constexpr unsigned short PORT_MODE = 0x30B;
constexpr unsigned char MODE_TIMER_PACED = 4;
// An empty bus reads all ones, flag included.
constexpr unsigned char NO_ANSWER = 0xFF;

struct Board {
    std::vector<uint16_t> words{0x0800};
    int notReadyReads = 0;
    int answerCount = -1;
    std::vector<scripted_board::Write> writes;
    bool acquiring = false;
    int delivered = 0;
    int flaggedSoFar = 0;  // not-ready reads given for the current sample
};

Board &board() {
    static Board instance;
    return instance;
}

uint16_t currentWord() {
    const Board &b = board();
    return b.words[static_cast<std::size_t>(b.delivered) % b.words.size()];
}

}  // namespace

extern "C" __attribute__((visibility("default"))) unsigned char portio_inb(unsigned short port) {
    Board &b = board();
    bool answering = b.acquiring && (b.answerCount < 0 || b.delivered < b.answerCount);
    if (!answering) return NO_ANSWER;
    if (port == PORT_DATA_HIGH) {
        if (b.flaggedSoFar < b.notReadyReads) {
            ++b.flaggedSoFar;
            return NO_ANSWER;
        }
        return static_cast<unsigned char>(currentWord() >> 8);
    }
    if (port == PORT_DATA_LOW) {
        unsigned char low = static_cast<unsigned char>(currentWord() & 0xFF);
        ++b.delivered;
        b.flaggedSoFar = 0;
        return low;
    }
    return NO_ANSWER;
}

extern "C" __attribute__((visibility("default"))) void portio_outb(unsigned short port,
                                                                   unsigned char value) {
    Board &b = board();
    b.writes.push_back({port, value});
    if (port == PORT_MODE && value == MODE_TIMER_PACED) {
        b.acquiring = true;
        b.delivered = 0;
        b.flaggedSoFar = 0;
    }
}

namespace scripted_board {

void serve(const std::vector<uint16_t> &words, int notReadyReads) {
    board().words = words.empty() ? std::vector<uint16_t>{0x0800} : words;
    board().notReadyReads = notReadyReads;
}

void answerSamples(int count) { board().answerCount = count; }
const std::vector<Write> &writes() { return board().writes; }
void clearWrites() { board().writes.clear(); }
int samplesDelivered() { return board().delivered; }

}  // namespace scripted_board
