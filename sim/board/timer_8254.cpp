// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated board's 8254 timer; see timer_8254.h.
#include "timer_8254.h"

#include "board_registers.h"

namespace simboard {

namespace {

constexpr std::int64_t kTimerClockPeriodNs = 1000000000 / BOARD_TIMER_CLOCK_HZ;  // 500

// A count as the counter takes it: 0 is the largest, 65536 (10000 in BCD).
std::int64_t effective_count(unsigned raw, bool bcd) {
    if (!bcd) return raw == 0 ? 65536 : raw;
    std::int64_t value = 0;
    for (int shift = 12; shift >= 0; shift -= 4) value = value * 10 + ((raw >> shift) & 0xF);
    return value == 0 ? 10000 : value;
}

}  // namespace

int Timer8254::write(unsigned reg, unsigned char value) {
    if (reg == 3) {
        unsigned select = value >> 6;
        unsigned access = (value >> 4) & 3;
        if (select == 3 || access == 0) return -1;  // read-back and latch commands
        Counter &counter = counters[select];
        counter.access = access;
        counter.mode = (value >> 1) & 7;
        if (counter.mode >= 6) counter.mode -= 4;  // 6 and 7 are modes 2 and 3
        counter.bcd = value & 1;
        counter.high_byte_next = access == 2;
        counter.loaded = false;  // stopped until its count is loaded
        return int(select);
    }
    if (reg > 2) return -1;
    Counter &counter = counters[reg];
    unsigned raw = 0;
    switch (counter.access) {
        case 0:
            return -1;  // never programmed: the write goes nowhere
        case 1:
            raw = value;
            break;
        case 2:
            raw = unsigned(value) << 8;
            break;
        case 3:
            if (!counter.high_byte_next) {
                counter.low_byte = value;
                counter.high_byte_next = true;
                return -1;
            }
            counter.high_byte_next = false;
            raw = counter.low_byte | unsigned(value) << 8;
            break;
    }
    counter.divisor = effective_count(raw, counter.bcd);
    counter.loaded = true;
    return int(reg);
}

std::int64_t Timer8254::pacer_period_ns() const {
    std::int64_t product = 1;
    for (int i = 1; i <= 2; ++i) {
        const Counter &counter = counters[i];
        bool periodic = counter.mode == 2 || counter.mode == 3;
        if (!counter.loaded || !periodic || counter.divisor < 2) return 0;
        product *= counter.divisor;
    }
    return product * kTimerClockPeriodNs;
}

}  // namespace simboard
