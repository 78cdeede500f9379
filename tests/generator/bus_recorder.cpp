// SPDX-License-Identifier: GPL-3.0-or-later
// Bus recorder: a GPIB driver library for the generator's tests (see bus_recorder.h).
//
// Status after each routine: CMPL on success (with END on a Receive that delivered
// the whole reply); ERR with the scripted error on a scripted failure; a Receive
// with no reply scripted ends as a driver's time-out does (ERR TIMO, EABO, count 0).
// A Receive right after the error query "SYST:ERR?" is answered as a healthy
// instrument does, +0,"No error", unless the test scripted the error queue.
// BUSREC_LOG=<file> also appends one line per call ("Send 8 17"), for tests that
// run the program as a separate process.
#include "bus_recorder.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "gpib_driver.h"

namespace {
std::vector<BusCall> calls;
std::string reply;
bool replyScripted = false;
int failError = 0, failFirst = -1, failLast = -2;
BusCallHook hook = nullptr;
std::deque<std::string> errorReplies;
bool errorQuerySilent = false;
bool errorQueryPending = false;
const char ERROR_QUERY[] = "SYST:ERR?";
const char NO_ERROR_REPLY[] = "+0,\"No error\"\n";
int status = 0, error = 0;
long count = 0;
}  // namespace

extern "C" {
volatile int ibsta, iberr, ibcnt;
volatile long ibcntl;
}

namespace {
// Records the call; returns true when the script makes it fail (status already set).
bool record(BusCall call) {
    if (const char *log = std::getenv("BUSREC_LOG")) {
        if (std::FILE *f = std::fopen(log, "a")) {
            std::fprintf(f, "%s %d %ld\n", call.routine.c_str(), call.address, call.count);
            std::fclose(f);
        }
    }
    int index = (int)calls.size();
    calls.push_back(std::move(call));
    bool fails = index >= failFirst && index <= failLast;
    if (fails) {
        status = ERR;
        error = failError;
        count = 0;
    }
    return fails;
}

void finish(int newStatus, int newError, long newCount, bool failed) {
    if (!failed) {
        status = newStatus;
        error = newError;
        count = newCount;
    }
    ibsta = status;
    iberr = error;
    ibcnt = (int)count;
    ibcntl = count;
    if (hook) hook(calls.back());
}

std::vector<int> addressList(const GpibDriverAddr list[]) {
    std::vector<int> out;
    for (int i = 0; list != nullptr && list[i] != GPIB_DRIVER_NOADDR && i < 32; i++)
        out.push_back(list[i]);
    return out;
}
}  // namespace

extern "C" {

void busrec_reset(void) {
    calls.clear();
    reply.clear();
    replyScripted = false;
    failFirst = -1;
    failLast = -2;
    hook = nullptr;
    errorReplies.clear();
    errorQuerySilent = false;
    errorQueryPending = false;
}

void busrec_error_reply(const char *reply) { errorReplies.emplace_back(reply); }

void busrec_error_query_silent(int silent) { errorQuerySilent = silent != 0; }

void busrec_reply(const char *bytes, long n) {
    reply.assign(bytes, (size_t)n);
    replyScripted = true;
}

void busrec_fail(int e, int first, int last) {
    failError = e;
    failFirst = first;
    failLast = last;
}

void busrec_hook(BusCallHook h) { hook = h; }

const std::vector<BusCall> *busrec_calls(void) { return &calls; }

// ---- The driver's routines --------------------------------------------------------------

void SendIFC(int board) {
    BusCall c;
    c.routine = "SendIFC";
    c.board = board;
    bool failed = record(c);
    finish(CMPL, 0, 0, failed);
}

static void enable(const char *routine, int board, const GpibDriverAddr list[]) {
    BusCall c;
    c.routine = routine;
    c.board = board;
    c.addresses = addressList(list);
    c.address = c.addresses.empty() ? -1 : c.addresses[0];
    bool failed = record(c);
    finish(CMPL, 0, 0, failed);
}

void EnableRemote(int board, const GpibDriverAddr list[]) { enable("EnableRemote", board, list); }
void EnableLocal(int board, const GpibDriverAddr list[]) { enable("EnableLocal", board, list); }

void Send(int board, GpibDriverAddr address, const void *buffer, long n, int mode) {
    BusCall c;
    c.routine = "Send";
    c.board = board;
    c.address = address;
    c.count = n;
    c.mode = mode;
    if (buffer != nullptr && n > 0) c.bytes.assign(static_cast<const char *>(buffer), (size_t)n);
    errorQueryPending = c.bytes == ERROR_QUERY;
    bool failed = record(c);
    finish(CMPL, 0, n, failed);
}

void Receive(int board, GpibDriverAddr address, void *buffer, long n, int termination) {
    BusCall c;
    c.routine = "Receive";
    c.board = board;
    c.address = address;
    c.count = n;
    c.mode = termination;
    bool failed = record(c);
    std::string answer = reply;
    bool answers = replyScripted && !reply.empty();
    if (errorQueryPending) {
        errorQueryPending = false;
        answers = !errorQuerySilent;
        answer = NO_ERROR_REPLY;
        if (answers && !errorReplies.empty()) {
            answer = errorReplies.front();
            errorReplies.pop_front();
        }
    }
    if (failed || !answers) {
        finish(ERR | TIMO | CMPL, EABO, 0, failed);
        return;
    }
    long given = std::min<long>(n, (long)answer.size());
    std::copy_n(answer.data(), given, static_cast<char *>(buffer));
    finish(CMPL | (given == (long)answer.size() ? END : 0), 0, given, false);
}

int ThreadIbsta(void) { return status; }
int ThreadIberr(void) { return error; }
int ThreadIbcnt(void) { return (int)count; }
long ThreadIbcntl(void) { return count; }
const char *gpib_error_string(int) { return "recorded"; }
}
