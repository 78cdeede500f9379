// SPDX-License-Identifier: GPL-3.0-or-later
// Opening a run-time library after checking what its path names; see library.h.
#include "library.h"

#include <dlfcn.h>
#include <sys/stat.h>

namespace labbench {

void *open_library(const std::string &library, std::string &why) {
    struct stat file;
    if (library.find('/') != std::string::npos && stat(library.c_str(), &file) == 0 &&
        !S_ISREG(file.st_mode)) {
        why = "it is not a regular file";
        return nullptr;
    }
    void *handle = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *text = dlerror();
        why = text != nullptr ? text : "dlopen failed";
    }
    return handle;
}

}  // namespace labbench
