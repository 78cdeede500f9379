// SPDX-License-Identifier: GPL-3.0-or-later
// Test helper: sets (or, given nullptr, unsets) an environment variable for
// one scope and restores the old value, or its absence, at the end of it.
#pragma once

#include <stdlib.h>

#include <string>

namespace testsupport {

class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value) : ScopedEnv(name, value.c_str()) {}
    ScopedEnv(const char *name, const char *value) : name_(name) {
        if (const char *old = getenv(name)) {
            had_old_ = true;
            old_ = old;
        }
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (had_old_) {
            setenv(name_, old_.c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }
    ScopedEnv(const ScopedEnv &) = delete;
    ScopedEnv &operator=(const ScopedEnv &) = delete;

private:
    const char *name_;
    bool had_old_ = false;
    std::string old_;
};

}  // namespace testsupport
