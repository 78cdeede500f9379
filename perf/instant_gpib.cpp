// SPDX-License-Identifier: GPL-3.0-or-later
// A GPIB driver library with no bus time, for the benchmarks: it has the Linux
// GPIB library's binary interface, and every routine completes at once with
// success (CMPL), taking every byte it is sent; every Receive gets the answer
// of an instrument with an empty error queue, +0,"No error". With it
// a benchmark of the generator's upload sees only the program's own work and
// that of the GPIB binding, none of the simulated instrument's.
#include <algorithm>
#include <cstring>

#include "gpib_driver.h"

static const char kNoError[] = "+0,\"No error\"\n";

extern "C" {
volatile int ibsta = 0;
volatile int iberr = 0;
volatile int ibcnt = 0;
volatile long ibcntl = 0;
}

static void complete(int status, long count) {
    ibsta = status;
    iberr = 0;
    ibcnt = static_cast<int>(count);
    ibcntl = count;
}

void SendIFC(int) { complete(CMPL, 0); }
void EnableRemote(int, const GpibDriverAddr *) { complete(CMPL, 0); }
void EnableLocal(int, const GpibDriverAddr *) { complete(CMPL, 0); }
void Send(int, GpibDriverAddr, const void *, long count, int) { complete(CMPL, count); }
void Receive(int, GpibDriverAddr, void *buffer, long count, int) {
    const long given = std::min<long>(count, sizeof kNoError - 1);
    if (buffer != nullptr && given > 0) std::memcpy(buffer, kNoError, given);
    complete(CMPL | END, given);
}
int ThreadIbsta(void) { return ibsta; }
int ThreadIberr(void) { return iberr; }
int ThreadIbcnt(void) { return ibcnt; }
long ThreadIbcntl(void) { return ibcntl; }
// No routine of this driver fails.
const char *gpib_error_string(int) { return "no error"; }
