// SPDX-License-Identifier: GPL-3.0-or-later
// Reading switches, texts and numbers from the environment; see environment.h.
#include "environment.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace labbench {

bool env_switch(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr && value[0] != '\0' && std::strcmp(value, "0") != 0;
}

std::string env_text(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? std::string(value) : std::string();
}

EnvNumber env_number(const char *name, long low, long high, long &value) {
    const char *text = std::getenv(name);
    if (text == nullptr || text[0] == '\0') return EnvNumber::Unset;
    long parsed = 0;
    const char *end = text + std::strlen(text);
    auto result = std::from_chars(text, end, parsed);
    if (result.ec != std::errc() || result.ptr != end || parsed < low || parsed > high)
        return EnvNumber::Invalid;
    value = parsed;
    return EnvNumber::Valid;
}

}  // namespace labbench
