// SPDX-License-Identifier: GPL-3.0-or-later
// Where LoadPanel looks for a panel file named without a folder, written once
// for LoadPanel itself and for --help, which lists the folders.
#pragma once

#include <string>
#include <vector>

namespace userint_internal {

// The folders in LoadPanel's order: the program's own folder, the data folder
// beside it (<prefix>/bin/../share/labbench, so that an install moved to
// another prefix or unpacked into a scratch root finds its own panel files),
// then the data folder the run-time was built for. No folder twice. Uses no
// Qt: --help runs without a display.
std::vector<std::string> panel_search_folders();

}  // namespace userint_internal
