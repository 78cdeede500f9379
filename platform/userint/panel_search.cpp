// SPDX-License-Identifier: GPL-3.0-or-later
// The panel files' search folders; see panel_search.h.
#include "panel_search.h"

#include <unistd.h>

#include <algorithm>
#include <climits>

#ifndef LABBENCH_DATADIR
#define LABBENCH_DATADIR "/usr/local/share/labbench"
#endif

namespace userint_internal {

std::vector<std::string> panel_search_folders() {
    std::vector<std::string> folders;
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length > 0) {
        const std::string program(path, static_cast<std::size_t>(length));
        const std::string folder = program.substr(0, program.rfind('/'));
        const std::string prefix = folder.substr(0, folder.rfind('/'));
        folders.push_back(folder.empty() ? std::string("/") : folder);
        folders.push_back(prefix + "/share/labbench");
    }
    if (std::find(folders.begin(), folders.end(), LABBENCH_DATADIR) == folders.end())
        folders.push_back(LABBENCH_DATADIR);
    return folders;
}

}  // namespace userint_internal
