// SPDX-License-Identifier: GPL-3.0-or-later
// The scripted port library itself; see scripted_port.h.
#include "scripted_port.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <string>

#include "board_registers.h"

namespace {

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
    double period_ms = 0;  // pacing; 0: results due at once
    int skipFrom = 0;
    int skipped = 0;
    std::chrono::steady_clock::time_point started;
    double firstLate_ms = 0;
    double lastLate_ms = 0;
    int lastReader = 0;  // the thread that took the last result
};

Board &board() {
    static Board instance;
    return instance;
}

// The board holds its next result while this many samples of the capture have been
// delivered (-1: never). Set by the test's thread while the program's reads it.
std::atomic<int> holdAt{-1};

// The always-ready mode (scripted_port_always_ready), outside Board so that a
// read in it costs a test of one flag and a step through an array, as little
// as the benchmarks' measure of the program's own work needs.
bool alwaysReady = false;
std::vector<std::uint16_t> readyWords;     // the words served when it was switched on
const std::uint16_t *readyWord = nullptr;  // the current one, in readyWords
const std::uint16_t *readyEnd = nullptr;

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

// False while the paced result for the current sample is not yet due.
bool due() {
    Board &b = board();
    if (b.period_ms <= 0) return true;
    const int k = b.delivered;
    const double due_ms = b.period_ms * (k + 1 + (k >= b.skipFrom ? b.skipped : 0));
    const double now_ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - b.started)
            .count();
    if (now_ms < due_ms) return false;
    (k == 0 ? b.firstLate_ms : b.lastLate_ms) = now_ms - due_ms;
    return true;
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
        if (!due()) return NO_ANSWER;
        if (b.delivered == holdAt.load()) return NO_ANSWER;
        return static_cast<unsigned char>(currentWord() >> 8);
    }
    if (port == PORT_DATA_LOW) {
        unsigned char low = static_cast<unsigned char>(currentWord() & 0xFF);
        ++b.delivered;
        b.lastReader = static_cast<int>(gettid());
        b.flaggedSoFar = 0;
        return low;
    }
    return NO_ANSWER;
}

// A read as the scripts and the board answer it, recorded. This and the write
// below are out of line, so that portio_inb and portio_outb in always-ready
// mode need no stack frame for them.
[[gnu::noinline]] unsigned char scripted_read(unsigned short port) {
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

// A write as the board takes it, recorded.
[[gnu::noinline]] void scripted_write(unsigned short port, unsigned char value) {
    Board &b = board();
    b.accesses.push_back({'o', port, value});
    if (port == PORT_MODE && value == BOARD_MODE_TIMER_PACED) {
        b.acquiring = true;
        b.delivered = 0;
        b.flaggedSoFar = 0;
        b.started = std::chrono::steady_clock::now();
        b.firstLate_ms = b.lastLate_ms = 0;
    }
}

}  // namespace

extern "C" {

unsigned char portio_inb(unsigned short port) {
    if (alwaysReady) {
        if (port == PORT_DATA_HIGH) return static_cast<unsigned char>(*readyWord >> 8);
        if (port == PORT_DATA_LOW) {
            const auto low = static_cast<unsigned char>(*readyWord & 0xFF);
            if (++readyWord == readyEnd) readyWord = readyWords.data();
            return low;
        }
        return NO_ANSWER;
    }
    return scripted_read(port);
}

void portio_outb(unsigned short port, unsigned char value) {
    if (!alwaysReady) scripted_write(port, value);
}

void scripted_port_reset(void) {
    board() = Board{};
    holdAt = -1;
    alwaysReady = false;
}

void scripted_port_always_ready(int on) {
    readyWords = board().words;  // never empty: serving nothing serves 0x0800
    readyWord = readyWords.data();
    readyEnd = readyWords.data() + readyWords.size();
    alwaysReady = on != 0;
}

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
void scripted_port_hold_at(int count) { holdAt = count; }
int scripted_port_samples_delivered(void) { return board().delivered; }
void scripted_port_pace(double period_ms, int skipFrom, int skipped) {
    Board &b = board();
    b.period_ms = period_ms;
    b.skipFrom = skipFrom;
    b.skipped = skipped;
}
double scripted_port_read_lateness_ms(void) {
    return std::max(board().firstLate_ms, board().lastLate_ms);
}
const std::vector<PortAccess> *scripted_port_accesses(void) { return &board().accesses; }
void scripted_port_clear_accesses(void) { board().accesses.clear(); }
const char *scripted_port_capabilities_at_load(void) { return capabilitiesAtLoad; }
int scripted_port_last_sample_reader(void) { return board().lastReader; }
}
