// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the simulator tests: loads a simulator library afresh (so each
// test starts from a powered-on instrument or board), a private temporary
// folder with the bench state file, and typed access to the exported routines.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "scoped_env.h"

namespace simtest {

// A temporary folder removed at the end of the test.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "labbench-sim-XXXXXX");
        if (!mkdtemp(pattern.data())) ADD_FAILURE() << "cannot create a temporary folder";
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::string file(const std::string &name) const { return (path_ / name).string(); }
    std::string path() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

// The whole text of the file at `path`; empty when it cannot be read.
inline std::string file_text(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Files that are no regular file, made in `dir` for the tests of a path that
// must name one: a FIFO, and a device node (/dev/null's) where the test may
// make one (it needs root), named `stem`.fifo and `stem`.null.
inline std::vector<std::string> no_regular_files(const TempDir &dir, const std::string &stem) {
    std::vector<std::string> made;
    const std::string fifo = dir.file(stem + ".fifo"), device = dir.file(stem + ".null");
    if (mkfifo(fifo.c_str(), 0600) == 0)
        made.push_back(fifo);
    else
        ADD_FAILURE() << "cannot make the FIFO " << fifo;
    if (mknod(device.c_str(), S_IFCHR | 0600, makedev(1, 3)) == 0) made.push_back(device);
    return made;
}

// A simulator library loaded with dlopen and unloaded at the end of its scope.
class Library {
public:
    explicit Library(const char *path) : handle_(dlopen(path, RTLD_NOW | RTLD_LOCAL)) {
        if (!handle_) ADD_FAILURE() << "cannot load " << path << ": " << dlerror();
    }
    ~Library() {
        if (handle_) dlclose(handle_);
    }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;

    bool loaded() const { return handle_ != nullptr; }

    // The exported symbol `name` as a `T` (function pointer or object pointer).
    template <typename T>
    T get(const char *name) const {
        void *symbol = handle_ ? dlsym(handle_, name) : nullptr;
        if (!symbol) ADD_FAILURE() << "simulator library does not export " << name;
        return reinterpret_cast<T>(symbol);
    }

private:
    void *handle_;
};

using testsupport::ScopedEnv;

}  // namespace simtest
