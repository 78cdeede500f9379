// SPDX-License-Identifier: GPL-3.0-or-later
// The status variables and per-thread outcome of a GPIB driver library
// (see gpib_driver_status.h).
#include "gpib_driver_status.h"

#include <exception>

#include "gpib_driver.h"

extern "C" {
volatile int ibsta = 0;
volatile int iberr = 0;
volatile int ibcnt = 0;
volatile long ibcntl = 0;
}

namespace {
// Plain values: a thread-local object with a destructor would keep the
// library from ever being unloaded.
thread_local int thread_status = 0;
thread_local int thread_error = 0;
thread_local long thread_count = 0;
}  // namespace

extern "C" {
int ThreadIbsta(void) { return thread_status; }
int ThreadIberr(void) { return thread_error; }
int ThreadIbcnt(void) { return static_cast<int>(thread_count); }
long ThreadIbcntl(void) { return thread_count; }
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

const char *gpib_driver_exception_text() noexcept {
    try {
        throw;
    } catch (const std::exception &e) {
        return e.what();
    } catch (...) {
        return "unknown exception";
    }
}
