// SPDX-License-Identifier: GPL-3.0-or-later
// A GoogleTest case name made from a case's description, for INSTANTIATE_TEST_SUITE_P:
// letters and digits kept, a decimal point as "p" (0.2 kHz reads f0p2), the rest "_".
#pragma once

#include <cctype>
#include <string>

namespace test_support {

inline std::string case_name(const std::string &what) {
    std::string name;
    for (char ch : what)
        name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : ch == '.' ? 'p' : '_';
    return name;
}

}  // namespace test_support
