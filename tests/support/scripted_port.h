// SPDX-License-Identifier: GPL-3.0-or-later
// The scripted port library of the tests: a port library (portio_inb /
// portio_outb, loaded through PORTIO_LIBRARY) that records every access and
// answers reads as the test scripts them, in two ways:
//  - per port: the next reads of a port answer listed values in turn (for the
//    port layer's own tests);
//  - as the measurement board: once acquisition mode 4 is written to 0x30B it
//    serves scripted converter words in turn, each after a scripted number of
//    reads of 0x305 with the not-ready flag (bit 4) set, high byte from
//    0x305, low byte from 0x304; it can stop answering after some samples,
//    like an absent board, and pace its results in real time, skipping some
//    as if the program had read them too late (for deska's tests).
// Any other read answers 0xFF, as an empty bus does. It also notes which
// capabilities the process still held when it was loaded.
//
// Always-ready mode (for the benchmarks): the converter always has a result:
// each read of 0x305 gives the high byte of the current served word (raw; the
// words served decide the flag, which a 12-bit code leaves clear), each read
// of 0x304 its low byte and moves on to the next word, whether acquisition was
// started or not; other reads answer 0xFF and writes go nowhere. Nothing
// is recorded or counted and no script or pacing applies, so a benchmark on it
// times only the program's work per sample and the port layer's.
//
// A test that must load it only through the port layer (after capabilities
// are dropped) finds the scripted_port_* functions with dlsym; a test that
// may load it at start-up links it and calls them, or the scripted_port
// wrappers below, directly.
#pragma once

#include <cstdint>
#include <vector>

#include "port_library.h"

struct PortAccess {
    char direction;  // 'i' for a read, 'o' for a write
    unsigned short port;
    unsigned char value;
};

extern "C" {
// Forgets the accesses and every script: the board serves 0x0800, answers always.
PORT_LIBRARY_EXPORT void scripted_port_reset(void);
// The next reads of `port` answer these values in turn (before any board behaviour).
PORT_LIBRARY_EXPORT void scripted_port_script_reads(unsigned short port,
                                                    const unsigned char *values, int count);
// Converter words served in turn, repeated as needed; raw 16-bit words, so a test
// can set bits above the 12-bit code. notReadyReads: flagged reads before each result.
PORT_LIBRARY_EXPORT void scripted_port_serve(const std::uint16_t *words, int count,
                                             int notReadyReads);
// From the next start of acquisition, the board delivers this many samples and
// then never clears its not-ready flag (-1: always answers; 0: absent board).
PORT_LIBRARY_EXPORT void scripted_port_answer_samples(int count);
// At once, also during a capture: once `count` samples of it are delivered, the board
// holds the next result (its not-ready flag stays set) until a later call moves the hold
// on; -1 releases it for good. Lets a test see a capture in progress at a sample count
// of its choosing, whatever the machine's speed, as long as it moves on within the
// program's wait for one sample.
PORT_LIBRARY_EXPORT void scripted_port_hold_at(int count);
// From the next start of acquisition, result k (0, 1, ...) is due period_ms x (k + 1)
// after the start, and from result `skipFrom` on `skipped` periods later still, as if
// that many conversions had been overwritten unread. period_ms 0: due at once.
PORT_LIBRARY_EXPORT void scripted_port_pace(double period_ms, int skipFrom, int skipped);
// How late the program read the first or the last result of the last capture after
// it was due, whichever was later (ms): the uncertainty of a count of lost conversions.
PORT_LIBRARY_EXPORT double scripted_port_read_lateness_ms(void);
// The thread (its kernel id) that read the low byte of the last result delivered.
PORT_LIBRARY_EXPORT int scripted_port_last_sample_reader(void);
// Nonzero: always-ready mode (above) on the words served now (scripted_port_serve),
// from the first; zero: off. A reset turns it off.
PORT_LIBRARY_EXPORT void scripted_port_always_ready(int on);
// Samples delivered (low bytes read) since acquisition was last started.
PORT_LIBRARY_EXPORT int scripted_port_samples_delivered(void);
// Every access since the last reset or clear, in order.
PORT_LIBRARY_EXPORT const std::vector<PortAccess> *scripted_port_accesses(void);
PORT_LIBRARY_EXPORT void scripted_port_clear_accesses(void);
// The process's CapInh/CapPrm/CapEff lines of /proc/self/status at load time.
PORT_LIBRARY_EXPORT const char *scripted_port_capabilities_at_load(void);
}

// The board-level view, for a test that links the library.
namespace scripted_port {

struct Write {
    unsigned port;
    unsigned value;
    bool operator==(const Write &) const = default;
};

inline void serve(const std::vector<std::uint16_t> &words, int notReadyReads = 0) {
    scripted_port_serve(words.data(), static_cast<int>(words.size()), notReadyReads);
}
inline void answerSamples(int count) { scripted_port_answer_samples(count); }
inline int samplesDelivered() { return scripted_port_samples_delivered(); }
inline void holdAt(int count) { scripted_port_hold_at(count); }
inline void pace(double period_ms, int skipFrom = 0, int skipped = 0) {
    scripted_port_pace(period_ms, skipFrom, skipped);
}
inline double readLateness_ms() { return scripted_port_read_lateness_ms(); }
inline int lastSampleReader() { return scripted_port_last_sample_reader(); }
// The port writes, in order, since the last clear.
inline std::vector<Write> writes() {
    std::vector<Write> out;
    for (const PortAccess &access : *scripted_port_accesses())
        if (access.direction == 'o') out.push_back({access.port, access.value});
    return out;
}
inline void clearWrites() { scripted_port_clear_accesses(); }

}  // namespace scripted_port
