// SPDX-License-Identifier: GPL-3.0-or-later
// Names and meanings of the GPIB error codes and status bits (gpib_driver.h),
// in one table each, and the escaping of bus bytes for traces and logs. Used
// by the programs' binding, the simulated instrument and the test drivers, so
// a code reads the same in every trace, log and message.
#pragma once

#include <span>
#include <string>
#include <string_view>

struct GpibCode {
    int code;             // iberr code, or ibsta bit
    const char *name;     // "ENOL", "CMPL"
    const char *meaning;  // "no listeners on the bus"
};

// Every iberr code, in ascending order.
std::span<const GpibCode> gpib_error_codes();
// Every ibsta bit, most significant first.
std::span<const GpibCode> gpib_status_bits();

// "ENOL", "EABO", ... ; "E?" followed by the number for an unknown code.
const char *gpib_error_name(int error);
// "ENOL: no listeners on the bus"; "unknown error" for an unknown code. What
// a driver's gpib_error_string returns.
const char *gpib_error_text(int error);
// Set bits of ibsta by name, most significant first, joined by `separator`:
// "ERR TIMO CMPL". Empty when no bit is set.
std::string gpib_status_names(int status, std::string_view separator = " ");
// Bus bytes as printable text: printable ASCII as is, \\ \" \n \r \t, any
// other byte as \xhh (two lower-case hex digits).
std::string gpib_escaped_bytes(std::string_view bytes);
