// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in port library for the port layer's tests: records every access,
// answers reads from per-port scripts, and notes which capabilities the
// process still held when it was loaded.
#include "test_board.h"

#include <cstring>
#include <deque>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace {
std::vector<TestBoardAccess> accesses;
std::map<unsigned short, std::deque<unsigned char>> scripts;
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
}  // namespace

extern "C" {

unsigned char portio_inb(unsigned short port) {
    unsigned char value = 0x00;
    auto script = scripts.find(port);
    if (script != scripts.end() && !script->second.empty()) {
        value = script->second.front();
        script->second.pop_front();
    }
    accesses.push_back({'i', port, value});
    return value;
}

void portio_outb(unsigned short port, unsigned char value) {
    accesses.push_back({'o', port, value});
}

void testboard_reset(void) {
    accesses.clear();
    scripts.clear();
}

void testboard_script_reads(unsigned short port, const unsigned char *values, int count) {
    scripts[port].assign(values, values + count);
}

int testboard_access_count(void) { return static_cast<int>(accesses.size()); }

const TestBoardAccess *testboard_access(int index) {
    return index >= 0 && index < static_cast<int>(accesses.size()) ? &accesses[index] : nullptr;
}

const char *testboard_capabilities_at_load(void) { return capabilitiesAtLoad; }
}
