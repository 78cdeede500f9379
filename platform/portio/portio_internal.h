// SPDX-License-Identifier: GPL-3.0-or-later
// Parts of port I/O that its tests reach directly: the text that tells the
// operator why direct access to a port window was refused and what grants it.
#pragma once

#include <string>

// base/count: the window; error: errno of the refused request; lockdownMode:
// the kernel's active lockdown mode ("integrity", "confidentiality") or empty;
// program: path of the executable, for the setcap command.
std::string portio_direct_refusal_text(unsigned base, unsigned count, int error,
                                       const std::string &lockdownMode, const std::string &program);
