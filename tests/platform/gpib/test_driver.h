// SPDX-License-Identifier: GPL-3.0-or-later
// Control side of the test GPIB driver library: a shared library with the
// Linux GPIB library's routines that records every call in memory and answers
// with a scripted status and reply. A test opens the same library file with
// dlopen (getting the very instance the binding uses) and finds these
// functions with dlsym.
#pragma once

#include <cstdint>

extern "C" {

struct TestDriverCall {
    char routine[16];
    int board;
    std::uint16_t address;         // Send / Receive
    std::uint16_t addressList[8];  // EnableRemote / EnableLocal, NOADDR-terminated
    long count;                    // bytes asked for
    int mode;                      // Send end mode / Receive termination, as the driver saw it
    unsigned char bytes[512];      // Send: the bytes given (first 512)
};

// Forgets recorded calls and scripts a plain success.
typedef void (*TestDriverReset)(void);
// Every later call ends with this status word and error code (CMPL is not added).
typedef void (*TestDriverScriptStatus)(int status, int error);
// Bytes the next Receives hand out, with EOI after the last one.
typedef void (*TestDriverScriptReply)(const void *bytes, long count);
// Count the driver reports instead of the real one (-1: the real one).
typedef void (*TestDriverScriptCount)(long count);
typedef int (*TestDriverCallCount)(void);
typedef const TestDriverCall *(*TestDriverCallAt)(int index);
}
