// SPDX-License-Identifier: GPL-3.0-or-later
// Opening a library that a program loads at run time (the GPIB driver library,
// a port library), with the same checks for every one.
#pragma once

#include <string>

namespace labbench {

// Opens `library` with dlopen (RTLD_NOW | RTLD_LOCAL): a path, or a bare name
// that the loader searches for in its folders. A path must name a regular
// file: dlopen reads whatever it names, and a FIFO would hold the program
// with no word, a device could block or feed it garbage. Returns the handle,
// or nullptr with the reason in `why` (the loader's own words, or "it is not
// a regular file").
void *open_library(const std::string &library, std::string &why);

}  // namespace labbench
