// SPDX-License-Identifier: GPL-3.0-or-later
// The status variables, Thread* functions and gpib_error_string of a driver
// library (see gpib_driver_status.h).
#include "gpib_driver_status.h"

#include "gpib_codes.h"
#include "gpib_driver.h"

namespace {
thread_local int thread_status = 0;
thread_local int thread_error = 0;
thread_local long thread_count = 0;
}  // namespace

extern "C" {

volatile int ibsta = 0;
volatile int iberr = 0;
volatile int ibcnt = 0;
volatile long ibcntl = 0;

int ThreadIbsta(void) { return thread_status; }
int ThreadIberr(void) { return thread_error; }
int ThreadIbcnt(void) { return static_cast<int>(thread_count); }
long ThreadIbcntl(void) { return thread_count; }

// No exception leaves a driver's routine: a program in C could not catch it.
const char *gpib_error_string(int error) {
    try {
        return gpib_error_text(error);
    } catch (...) {
        return "unknown error";
    }
}
}

void gpib_driver_finish(int status, int error, long count) noexcept {
    ibsta = status;
    iberr = error;
    ibcnt = static_cast<int>(count);
    ibcntl = count;
    thread_status = status;
    thread_error = error;
    thread_count = count;
}
