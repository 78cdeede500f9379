// SPDX-License-Identifier: GPL-3.0-or-later
// Test helper: a FIFO in a private temporary folder, both removed at the end of
// the scope. A library path or a file that names a FIFO must be refused before
// it is opened, since opening one waits for a writer without bound.
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace testsupport {

class TempFifo {
public:
    // `name`: the FIFO's file name in the folder, e.g. "libboard.so".
    explicit TempFifo(const std::string &name) {
        char folder[] = "/tmp/labbench-fifo-XXXXXX";
        if (mkdtemp(folder) == nullptr) return;
        folder_ = folder;
        const std::string path = folder_ + "/" + name;
        if (mkfifo(path.c_str(), 0600) == 0) path_ = path;
    }
    ~TempFifo() {
        if (!path_.empty()) unlink(path_.c_str());
        if (!folder_.empty()) rmdir(folder_.c_str());
    }
    TempFifo(const TempFifo &) = delete;
    TempFifo &operator=(const TempFifo &) = delete;

    const std::string &path() const { return path_; }  // empty when it could not be made
    const std::string &folder() const { return folder_; }

private:
    std::string folder_;
    std::string path_;
};

}  // namespace testsupport
