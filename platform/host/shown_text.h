// SPDX-License-Identifier: GPL-3.0-or-later
// Text from outside (a file, the environment, the command line, an instrument)
// as a message shows it, the same way in every part: so that no such text can
// spill over a message or steer the terminal it is printed on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace labbench {

// `text` with control bytes (a terminal's escape sequences among them) and
// backslashes escaped (\x1b, \\), cut after `limit` bytes with its full length
// said: "... (N bytes)".
std::string shown_text(std::string_view text, std::size_t limit);

}  // namespace labbench
