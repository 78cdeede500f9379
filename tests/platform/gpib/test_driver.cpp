// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in GPIB driver library with the Linux GPIB library's ABI, for the
// binding's tests. Built in variants by compile definitions:
//  - TEST_DRIVER_VARIABLES_ONLY: no Thread* status functions; the status
//    lives only in the ibsta/iberr/ibcnt/ibcntl variables.
//  - TEST_DRIVER_WITHOUT_RECEIVE: the Receive routine is missing.
// In the full variant the variables hold a decoy status (as when another
// thread made the last call), so reading them instead of the Thread*
// functions shows in the results.
#include "test_driver.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "gpib_driver.h"

namespace {
constexpr int kDecoyStatus = ERR | TIMO;
constexpr int kDecoyError = ETAB;
constexpr int kDecoyCount = 9999;

std::vector<TestDriverCall> calls;
int scriptedStatus = CMPL;
int scriptedError = 0;
long scriptedCount = -1;
std::vector<unsigned char> reply;

int lastStatus, lastError;
long lastCount;

TestDriverCall &record(const char *routine, int board) {
    calls.emplace_back();
    TestDriverCall &call = calls.back();
    std::memset(&call, 0, sizeof call);
    std::strncpy(call.routine, routine, sizeof call.routine - 1);
    call.board = board;
    return call;
}
}  // namespace

extern "C" {

volatile int ibsta, iberr, ibcnt;
volatile long ibcntl;

static void finish(int extraStatus, long count) {
    lastStatus = scriptedStatus | extraStatus;
    lastError = scriptedError;
    lastCount = scriptedCount >= 0 ? scriptedCount : count;
#ifdef TEST_DRIVER_VARIABLES_ONLY
    ibsta = lastStatus;
    iberr = lastError;
    ibcnt = static_cast<int>(lastCount);
    ibcntl = lastCount;
#else
    ibsta = kDecoyStatus;
    iberr = kDecoyError;
    ibcnt = kDecoyCount;
    ibcntl = kDecoyCount;
#endif
}

#ifndef TEST_DRIVER_VARIABLES_ONLY
int ThreadIbsta(void) { return lastStatus; }
int ThreadIberr(void) { return lastError; }
int ThreadIbcnt(void) { return static_cast<int>(lastCount); }
long ThreadIbcntl(void) { return lastCount; }
#endif

const char *gpib_error_string(int) { return "test driver error"; }

void SendIFC(int board) {
    record("SendIFC", board);
    finish(0, 0);
}

static void list_call(const char *routine, int board, const GpibDriverAddr list[]) {
    TestDriverCall &call = record(routine, board);
    for (int i = 0; i < 8; ++i) {
        call.addressList[i] = list[i];
        if (list[i] == GPIB_DRIVER_NOADDR) break;
    }
    finish(0, 0);
}

void EnableRemote(int board, const GpibDriverAddr list[]) {
    list_call("EnableRemote", board, list);
}
void EnableLocal(int board, const GpibDriverAddr list[]) { list_call("EnableLocal", board, list); }

void Send(int board, GpibDriverAddr address, const void *buffer, long count, int eotMode) {
    TestDriverCall &call = record("Send", board);
    call.address = address;
    call.count = count;
    call.mode = eotMode;
    if (count > 0) std::memcpy(call.bytes, buffer, std::min<long>(count, sizeof call.bytes));
    finish(0, count);
}

#ifndef TEST_DRIVER_WITHOUT_RECEIVE
void Receive(int board, GpibDriverAddr address, void *buffer, long count, int termination) {
    TestDriverCall &call = record("Receive", board);
    call.address = address;
    call.count = count;
    call.mode = termination;
    long given = std::min<long>(count, static_cast<long>(reply.size()));
    if (given > 0) std::memcpy(buffer, reply.data(), given);
    bool sawEoi = given == static_cast<long>(reply.size()) && termination == STOPend;
    reply.erase(reply.begin(), reply.begin() + given);
    finish(sawEoi ? END : 0, given);
}
#endif

// ---- control side ----

void testdriver_reset(void) {
    calls.clear();
    reply.clear();
    scriptedStatus = CMPL;
    scriptedError = 0;
    scriptedCount = -1;
}

void testdriver_script_status(int status, int error) {
    scriptedStatus = status;
    scriptedError = error;
}

void testdriver_script_reply(const void *bytes, long count) {
    const auto *first = static_cast<const unsigned char *>(bytes);
    reply.assign(first, first + count);
}

void testdriver_script_count(long count) { scriptedCount = count; }

int testdriver_call_count(void) { return static_cast<int>(calls.size()); }

const TestDriverCall *testdriver_call(int index) {
    return index >= 0 && index < static_cast<int>(calls.size()) ? &calls[index] : nullptr;
}
}
