// SPDX-License-Identifier: GPL-3.0-or-later
// The outcome bookkeeping that a GPIB driver library keeps as every driver
// does, for a driver to link (static library gpib_driver_status): it defines
// the variables ibsta, iberr, ibcnt and ibcntl (the last routine of any
// thread) and ThreadIbsta, ThreadIberr, ThreadIbcnt and ThreadIbcntl (the
// calling thread's last routine). The driver writes its five routines and its
// gpib_error_string, and ends each routine with gpib_driver_finish.
//
// The recording driver of the tests keeps its own: its variants report
// through the variables alone or put a decoy in them.
#pragma once

// Records the outcome of the routine just run on this thread: in the calling
// thread's Thread* values and in the variables.
void gpib_driver_finish(int status, int error, long count) noexcept;

// Called inside a catch handler: the text of the exception being handled
// (its what()), or "unknown exception" for one that is not a std::exception.
// No exception may leave a driver's routine, since in the program that
// loaded it one would end the process; a driver reports it with this.
const char *gpib_driver_exception_text() noexcept;
