// SPDX-License-Identifier: GPL-3.0-or-later
// The one way switches and numbers are read from the environment, and the
// checks every run-time library gets before it is opened.
#include "environment.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "library.h"
#include "scoped_env.h"
#include "temp_fifo.h"

namespace {

constexpr const char *kName = "LABBENCH_HOST_TEST";

TEST(EnvSwitch, OnForAnythingButEmptyOrZero) {
    const struct {
        const char *value;  // nullptr: unset
        bool on;
    } cases[] = {
        {nullptr, false}, {"", false}, {"0", false}, {"1", true},
        {"yes", true},    {"2", true}, {"00", true}, {" 0", true},
    };
    for (const auto &c : cases) {
        testsupport::ScopedEnv env(kName, c.value);
        EXPECT_EQ(labbench::env_switch(kName), c.on) << (c.value ? c.value : "(unset)");
    }
}

TEST(EnvNumber, WholeDecimalNumbersWithinTheRange) {
    using labbench::EnvNumber;
    const struct {
        const char *value;
        EnvNumber outcome;
        long number;  // the value after the call, which starts at -7
    } cases[] = {
        {nullptr, EnvNumber::Unset, -7},  {"", EnvNumber::Unset, -7},
        {"1", EnvNumber::Valid, 1},       {"3000", EnvNumber::Valid, 3000},
        {"0", EnvNumber::Invalid, -7},    {"3001", EnvNumber::Invalid, -7},
        {"12ms", EnvNumber::Invalid, -7}, {" 5", EnvNumber::Invalid, -7},
        {"+5", EnvNumber::Invalid, -7},   {"99999999999999999999", EnvNumber::Invalid, -7},
    };
    for (const auto &c : cases) {
        testsupport::ScopedEnv env(kName, c.value);
        long number = -7;
        EXPECT_EQ(labbench::env_number(kName, 1, 3000, number), c.outcome)
            << (c.value ? c.value : "(unset)");
        EXPECT_EQ(number, c.number) << (c.value ? c.value : "(unset)");
    }
}

TEST(OpenLibrary, RefusesWhatIsNotARegularFileAndSaysWhy) {
    const testsupport::TempFifo fifo("libfifo.so");
    ASSERT_FALSE(fifo.path().empty());
    const std::pair<std::string, const char *> cases[] = {
        {fifo.path(), "it is not a regular file"},
        {fifo.folder(), "it is not a regular file"},
        {fifo.folder() + "/missing.so", "No such file"},
    };
    for (const auto &[library, reason] : cases) {
        std::string why;
        EXPECT_EQ(labbench::open_library(library, why), nullptr) << library;
        EXPECT_NE(why.find(reason), std::string::npos) << library << ": " << why;
    }
    std::string why;
    void *libm = labbench::open_library("libm.so.6", why);
    EXPECT_NE(libm, nullptr) << why;
}

}  // namespace
