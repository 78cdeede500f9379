// SPDX-License-Identifier: GPL-3.0-or-later
// Shared by the simulator tests: loads a simulator library afresh (so each
// test starts from a powered-on instrument or board), a private temporary
// folder with the bench state file, and typed access to the exported routines.
#pragma once

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

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
