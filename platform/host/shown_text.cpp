// SPDX-License-Identifier: GPL-3.0-or-later
// Text from outside made safe to show in a message; see shown_text.h.
#include "shown_text.h"

#include <cstdio>

namespace labbench {

std::string shown_text(std::string_view text, std::size_t limit) {
    std::string shown;
    for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, c == '\\' ? "\\\\" : "\\x%02x", c);
            shown += escaped;
        }
    }
    if (text.size() > limit) shown += "... (" + std::to_string(text.size()) + " bytes)";
    return shown;
}

}  // namespace labbench
