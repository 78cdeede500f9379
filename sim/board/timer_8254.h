// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated board's 8254 timer: three counters programmed by control
// words and count writes (board_registers.h has the ports), as far as the
// board's pacing needs it. Counter 1 is clocked at BOARD_TIMER_CLOCK_HZ and
// clocks counter 2, whose output paces the converter. Reads are not modelled.
#pragma once

#include <cstdint>

namespace simboard {

struct Counter {
    unsigned access = 0;  // 1 low byte, 2 high byte, 3 low then high; 0 never programmed
    unsigned mode = 0;
    bool bcd = false;
    bool high_byte_next = false;
    unsigned low_byte = 0;
    bool loaded = false;
    std::int64_t divisor = 0;  // effective count, 2..65536 when it runs
};

struct Timer8254 {
    Counter counters[3];

    // A write to register 0..2 (a counter's count) or 3 (the control word).
    // Returns the counter it changed, or -1 when it changed none (a latch or
    // read-back command, a count for a counter never programmed, the first
    // byte of a two-byte count).
    int write(unsigned reg, unsigned char value);

    // The converter's period from counters 1 and 2 (ns), or 0 when either
    // does not run: only modes 2 and 3 pace, with a count other than 1.
    std::int64_t pacer_period_ns() const;
};

}  // namespace simboard
