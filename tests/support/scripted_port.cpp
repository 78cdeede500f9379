// SPDX-License-Identifier: GPL-3.0-or-later
// The scripted port library itself; see scripted_port.h.
#include "scripted_port.h"

#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <string>

namespace {

constexpr unsigned short PORT_DATA_LOW = 0x304;
constexpr unsigned short PORT_DATA_HIGH = 0x305;
constexpr unsigned short PORT_MODE = 0x30B;
constexpr unsigned char MODE_TIMER_PACED = 4;
// An empty bus reads all ones, flag included.
constexpr unsigned char NO_ANSWER = 0xFF;

struct Board {
    std::vector<PortAccess> accesses;
    std::map<unsigned short, std::deque<unsigned char>> scripts;
    std::vector<std::uint16_t> words{0x0800};
    int notReadyReads = 0;
    int answerCount = -1;
    bool acquiring = false;
    int delivered = 0;
    int flaggedSoFar = 0;  // not-ready reads given for the current sample
};

Board &board() {
    static Board instance;
    return instance;
}

// A plain array: the loader runs the constructor below before C++ objects of
// this file are initialised.
char capabilitiesAtLoad[256];

__attribute__((constructor)) void note_capabilities() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("CapInh:", 0) == 0 || line.rfind("CapPrm:", 0) == 0 ||
            line.rfind("CapEff:", 0) == 0)
            std::strncat(capabilitiesAtLoad, (line + "\n").c_str(),
                         sizeof capabilitiesAtLoad - std::strlen(capabilitiesAtLoad) - 1);
}

std::uint16_t currentWord() {
    const Board &b = board();
    return b.words[static_cast<std::size_t>(b.delivered) % b.words.size()];
}

// A read as the board answers it.
unsigned char board_read(unsigned short port) {
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

}  // namespace

extern "C" {

SCRIPTED_PORT_EXPORT unsigned char portio_inb(unsigned short port) {
    Board &b = board();
    unsigned char value;
    auto script = b.scripts.find(port);
    if (script != b.scripts.end() && !script->second.empty()) {
        value = script->second.front();
        script->second.pop_front();
    } else {
        value = board_read(port);
    }
    b.accesses.push_back({'i', port, value});
    return value;
}

SCRIPTED_PORT_EXPORT void portio_outb(unsigned short port, unsigned char value) {
    Board &b = board();
    b.accesses.push_back({'o', port, value});
    if (port == PORT_MODE && value == MODE_TIMER_PACED) {
        b.acquiring = true;
        b.delivered = 0;
        b.flaggedSoFar = 0;
    }
}

void scripted_port_reset(void) { board() = Board{}; }

void scripted_port_script_reads(unsigned short port, const unsigned char *values, int count) {
    board().scripts[port].assign(values, values + count);
}

void scripted_port_serve(const std::uint16_t *words, int count, int notReadyReads) {
    Board &b = board();
    b.words.assign(words, words + count);
    if (b.words.empty()) b.words = {0x0800};
    b.notReadyReads = notReadyReads;
}

void scripted_port_answer_samples(int count) { board().answerCount = count; }
int scripted_port_samples_delivered(void) { return board().delivered; }
const std::vector<PortAccess> *scripted_port_accesses(void) { return &board().accesses; }
void scripted_port_clear_accesses(void) { board().accesses.clear(); }
const char *scripted_port_capabilities_at_load(void) { return capabilitiesAtLoad; }
}
