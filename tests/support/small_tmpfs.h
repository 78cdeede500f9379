// SPDX-License-Identifier: GPL-3.0-or-later
// Test helper: a small file system of the test's own, to fill up. A tmpfs of
// the given size is mounted on a fresh folder and taken away at the end of
// the scope. Mounting needs root (CI runs as root); where it cannot be done,
// available() is false and reason() says why, for the test's skip message.
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <string>

class SmallTmpfs {
public:
    explicit SmallTmpfs(const char *size = "64k") {
        std::string pattern = (std::filesystem::temp_directory_path() / "labbench-full-XXXXXX");
        if (!mkdtemp(pattern.data())) {
            reason_ = std::string("cannot create a folder: ") + std::strerror(errno);
            return;
        }
        folder_ = pattern;
        const std::string options = std::string("size=") + size + ",mode=0700";
        if (mount("labbench-test", folder_.c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
                  options.c_str()) != 0) {
            reason_ = std::string("cannot mount a tmpfs (needs root): ") + std::strerror(errno);
            return;
        }
        mounted_ = true;
    }
    ~SmallTmpfs() {
        if (mounted_) umount2(folder_.c_str(), MNT_DETACH);
        if (!folder_.empty()) rmdir(folder_.c_str());
    }
    SmallTmpfs(const SmallTmpfs &) = delete;
    SmallTmpfs &operator=(const SmallTmpfs &) = delete;

    bool available() const { return mounted_; }
    const std::string &reason() const { return reason_; }
    std::string file(const std::string &name) const { return folder_ + "/" + name; }

    // Fills the file system with the file `name`, leaving at most `spare`
    // bytes free (0: full). The filler can be removed to make room again.
    void fill(const std::string &name = "filler", long spare = 0) {
        const int fd = open(file(name).c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        char block[4096] = {};
        long step = sizeof block;
        // Whole blocks while they fit, then single bytes, up to the spare room.
        while (fd >= 0 && step > 0) {
            if (write(fd, block, std::size_t(step)) != step) step /= 2;
        }
        if (fd >= 0) {
            const off_t size = lseek(fd, 0, SEEK_END);
            if (spare > 0 && ftruncate(fd, std::max<off_t>(0, size - spare)) != 0) spare = 0;
            close(fd);
        }
    }

private:
    std::string folder_;
    std::string reason_;
    bool mounted_ = false;
};
