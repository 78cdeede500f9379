// SPDX-License-Identifier: GPL-3.0-or-later
// Reading the environment, one way for every part of LabBench: the programs'
// platform layer, the driver libraries and the simulators.
//
// A switch (GPIB_TRACE, PORTIO_TRACE, BOARD_SIM_ABSENT, ...) is on when the
// variable is set to anything but the empty text or "0"; unset, empty or "0"
// is off. A number is a whole decimal number, the whole text, within the range
// its caller names; the caller decides what an invalid one falls back to and
// how it says so.
#pragma once

#include <string>

namespace labbench {

// The switch `name`: true when set to anything but "" or "0".
bool env_switch(const char *name);

// The text of `name`; empty when unset.
std::string env_text(const char *name);

enum class EnvNumber {
    Unset,    // unset or empty: `value` is untouched
    Valid,    // `value` holds the number
    Invalid,  // not a whole number in [low, high]: `value` is untouched
};
// Reads `name` as a whole decimal number from low to high.
EnvNumber env_number(const char *name, long low, long high, long &value);

}  // namespace labbench
