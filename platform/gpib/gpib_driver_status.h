// SPDX-License-Identifier: GPL-3.0-or-later
// The outcome bookkeeping every GPIB driver library does alike, for a driver
// to link (static library gpib_driver_status): it defines the status
// variables ibsta, iberr, ibcnt and ibcntl, the per-thread ThreadIbsta,
// ThreadIberr, ThreadIbcnt and ThreadIbcntl, and gpib_error_string (the
// texts of gpib_codes), all of gpib_driver.h but the five routines. A driver
// then writes only SendIFC, EnableRemote, EnableLocal, Send and Receive, and
// ends each with gpib_driver_finish.
#pragma once

// Records the outcome of the routine just run on this thread: in the calling
// thread's Thread* values and in the variables (the last routine of any thread).
void gpib_driver_finish(int status, int error, long count) noexcept;
