// SPDX-License-Identifier: GPL-3.0-or-later
// The recording GPIB driver library itself (see recording_gpib.h). Its control
// functions (recgpib_*) are exported beside the driver interface.
#include "recording_gpib.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <deque>

#include "gpib_codes.h"
#include "gpib_driver.h"

namespace {

struct Outcome {
    int status;
    int error;
    int first;
    int last;
};

std::vector<BusCall> calls;
std::string reply;
Outcome outcome{0, 0, -1, -2};  // none: an empty range
long countOverride = -1;
BusCallHook hook = nullptr;
// The error query of the generator's instrument and a healthy instrument's answer.
const char kErrorQuery[] = "SYST:ERR?";
const char kNoErrorReply[] = "+0,\"No error\"\n";
std::deque<std::string> errorReplies;
bool errorQuerySilent = false;
bool errorQueryPending = false;
// The benchmarks' mode (recgpib_instant): every call completes at once, nothing is kept.
bool instant = false;

int lastStatus = 0, lastError = 0;
long lastCount = 0;

// The scripted outcome of call `index`, or nullptr.
const Outcome *scripted(int index) {
    return index >= outcome.first && index <= outcome.last ? &outcome : nullptr;
}

// Records the call; returns its scripted outcome, if any.
const Outcome *record(BusCall call) {
    if (const char *log = std::getenv("RECORDING_GPIB_LOG")) {
        if (std::FILE *f = std::fopen(log, "a")) {
            std::fprintf(f, "%s %d %ld\n", call.routine.c_str(), call.address, call.count);
            std::fclose(f);
        }
    }
    calls.push_back(std::move(call));
    return scripted(static_cast<int>(calls.size()) - 1);
}

// Leaves the status of a call where the variant keeps it.
void settle(int status, int error, long count) {
    lastStatus = status;
    lastError = error;
    lastCount = count;
#ifdef RECORDING_GPIB_VARIABLES_ONLY
    ibsta = lastStatus;
    iberr = lastError;
    ibcnt = static_cast<int>(lastCount);
    ibcntl = lastCount;
#else
    ibsta = ERR | TIMO;
    iberr = ETAB;
    ibcnt = 9999;
    ibcntl = 9999;
#endif
}

// Instant mode's outcome: a success, left only where the binding reads it.
inline void answer(int status, long count) {
#ifdef RECORDING_GPIB_VARIABLES_ONLY
    ibsta = status;
    iberr = 0;
    ibcnt = static_cast<int>(count);
    ibcntl = count;
#else
    lastStatus = status;
    lastError = 0;
    lastCount = count;
#endif
}

// Ends a routine: the outcome, unless scripted, is `status`/`error` with `count`.
void finish(const Outcome *script, int status, int error, long count) {
    if (script != nullptr) {
        status = script->status | (status & END);
        error = script->error;
    }
    settle(status, error, countOverride >= 0 ? countOverride : count);
    if (hook != nullptr) hook(calls.back());
}

// The routines as they record and follow the script. Each is a function of its
// own, out of line, so that an exported routine in instant mode is a test of
// the flag and a few stores, with no stack frame for the recording's objects.

[[gnu::noinline]] void recorded_send_ifc(int board) {
    BusCall call;
    call.routine = "SendIFC";
    call.board = board;
    finish(record(std::move(call)), CMPL, 0, 0);
}

[[gnu::noinline]] void recorded_enable(const char *routine, int board,
                                       const GpibDriverAddr list[]) {
    BusCall call;
    call.routine = routine;
    call.board = board;
    for (int i = 0; list != nullptr && i < 32 && list[i] != GPIB_DRIVER_NOADDR; ++i)
        call.addresses.push_back(list[i]);
    call.address = call.addresses.empty() ? -1 : call.addresses[0];
    finish(record(std::move(call)), CMPL, 0, 0);
}

// The record of a transfer (Send, Receive) as the driver was called.
BusCall transfer_call(const char *routine, int board, GpibDriverAddr address, long count,
                      int mode) {
    BusCall call;
    call.routine = routine;
    call.board = board;
    call.address = address;
    call.count = count;
    call.mode = mode;
    return call;
}

[[gnu::noinline]] void recorded_send(int board, GpibDriverAddr address, const void *buffer,
                                     long count, int eotMode) {
    BusCall call = transfer_call("Send", board, address, count, eotMode);
    if (buffer != nullptr && count > 0)
        call.bytes.assign(static_cast<const char *>(buffer), static_cast<std::size_t>(count));
    errorQueryPending = call.bytes == kErrorQuery;
    finish(record(std::move(call)), CMPL, 0, count);
}

[[gnu::noinline]] [[maybe_unused]] void recorded_receive(int board, GpibDriverAddr address,
                                                         void *buffer, long count,
                                                         int termination) {
    BusCall call = transfer_call("Receive", board, address, count, termination);
    const Outcome *script = record(std::move(call));
    std::string answer = reply;
    if (errorQueryPending) {
        errorQueryPending = false;
        answer = errorQuerySilent ? "" : kNoErrorReply;
        if (!errorQuerySilent && !errorReplies.empty()) {
            answer = errorReplies.front();
            errorReplies.pop_front();
        }
    }
    if ((script != nullptr && (script->status & ERR)) || answer.empty())
        return finish(script, ERR | TIMO | CMPL, EABO, 0);
    long given = std::min<long>(count, static_cast<long>(answer.size()));
    std::copy_n(answer.data(), given, static_cast<char *>(buffer));
    bool whole = given == static_cast<long>(answer.size()) && termination == STOPend;
    finish(script, CMPL | (whole ? END : 0), 0, given);
}

}  // namespace

extern "C" {

volatile int ibsta, iberr, ibcnt;
volatile long ibcntl;

void SendIFC(int board) {
    if (instant) return answer(CMPL, 0);
    recorded_send_ifc(board);
}

void EnableRemote(int board, const GpibDriverAddr list[]) {
    if (instant) return answer(CMPL, 0);
    recorded_enable("EnableRemote", board, list);
}

void EnableLocal(int board, const GpibDriverAddr list[]) {
    if (instant) return answer(CMPL, 0);
    recorded_enable("EnableLocal", board, list);
}

void Send(int board, GpibDriverAddr address, const void *buffer, long count, int eotMode) {
    if (instant) return answer(CMPL, count);
    recorded_send(board, address, buffer, count, eotMode);
}

#ifndef RECORDING_GPIB_WITHOUT_RECEIVE
void Receive(int board, GpibDriverAddr address, void *buffer, long count, int termination) {
    if (instant) {
        // Whatever was asked, the answer of an instrument whose error queue is empty.
        const long given = std::min<long>(count, sizeof kNoErrorReply - 1);
        if (buffer != nullptr && given > 0)
            std::copy_n(kNoErrorReply, given, static_cast<char *>(buffer));
        return answer(CMPL | (given == sizeof kNoErrorReply - 1 ? END : 0), given);
    }
    recorded_receive(board, address, buffer, count, termination);
}
#endif

#ifndef RECORDING_GPIB_VARIABLES_ONLY
int ThreadIbsta(void) { return lastStatus; }
int ThreadIberr(void) { return lastError; }
int ThreadIbcnt(void) { return static_cast<int>(lastCount); }
long ThreadIbcntl(void) { return lastCount; }
#endif

// A plain driver's text: the code's general meaning.
const char *gpib_error_string(int error) { return gpib_error_text(error); }

// ---- Control ------------------------------------------------------------------------------

GPIB_DRIVER_EXPORT void recgpib_reset(void) {
    calls.clear();
    reply.clear();
    outcome = {0, 0, -1, -2};
    countOverride = -1;
    hook = nullptr;
    errorReplies.clear();
    errorQuerySilent = false;
    errorQueryPending = false;
    instant = false;
}

GPIB_DRIVER_EXPORT void recgpib_instant(int on) { instant = on != 0; }

GPIB_DRIVER_EXPORT void recgpib_reply(const char *bytes, long count) {
    reply.assign(bytes, static_cast<std::size_t>(count));
}

GPIB_DRIVER_EXPORT void recgpib_outcome(int status, int error, int first, int last) {
    outcome = {status, error, first, last};
}

GPIB_DRIVER_EXPORT void recgpib_error_reply(const char *answer) {
    errorReplies.emplace_back(answer);
}

GPIB_DRIVER_EXPORT void recgpib_error_query_silent(int silent) { errorQuerySilent = silent != 0; }

GPIB_DRIVER_EXPORT void recgpib_count(long count) { countOverride = count; }

GPIB_DRIVER_EXPORT void recgpib_hook(BusCallHook h) { hook = h; }

GPIB_DRIVER_EXPORT const std::vector<BusCall> *recgpib_calls(void) { return &calls; }
}
