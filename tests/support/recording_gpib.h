// SPDX-License-Identifier: GPL-3.0-or-later
// The recording GPIB driver of the tests: a driver library (gpib_driver.h)
// that keeps every call a program makes, byte for byte, and answers as the
// test scripts it. The binding loads it through GPIB_LIBRARY; the test opens
// the same file with RecordingGpib (the very instance the binding uses) to
// script it and read its record.
//
// Outcomes, unless scripted otherwise: every routine succeeds (CMPL, the
// count it was given); a Receive hands out the scripted reply (the first
// `count` bytes of it, every time, with END when the whole reply fitted and
// the termination is STOPend), and with no reply or an empty one scripted
// it ends as a driver's time-out does (ERR TIMO CMPL, EABO, count 0). A
// Receive right after the error query "SYST:ERR?" is answered as a healthy
// instrument does, +0,"No error", unless the test scripted the error queue.
// RECORDING_GPIB_LOG=<file> also appends one line per call ("Send 8 17"),
// for tests that run a program as a separate process.
//
// Instant mode (recgpib_instant, for the benchmarks): every routine completes
// at once with CMPL, taking every byte it is given, and every Receive gets an
// empty error queue's answer +0,"No error" (with END when it fitted); no call
// is kept, logged, scripted or hooked, so a benchmark on it times only the
// program and the binding. The status lands where the variant keeps it.
//
// Built in variants (compile definitions): RECORDING_GPIB_VARIABLES_ONLY
// exports no Thread* functions, the status lives only in the variables; in
// the full variant the variables hold a decoy (as if another thread had made
// the last call), so a binding reading them instead of the Thread* functions
// shows in the results. RECORDING_GPIB_WITHOUT_RECEIVE lacks Receive.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

struct BusCall {
    std::string routine;  // "SendIFC", "EnableRemote", "EnableLocal", "Send", "Receive"
    int board = -1;
    int address = -1;            // Send / Receive; the first listed for EnableRemote/Local
    std::vector<int> addresses;  // EnableRemote / EnableLocal, up to the closing NOADDR
    long count = 0;              // bytes given (Send) or asked for (Receive)
    int mode = -1;               // Send end mode / Receive termination, as the driver saw it
    std::string bytes;           // Send: every byte given
};

using BusCallHook = void (*)(const BusCall &call);

// The test's side: the driver library at `path`, opened for control.
class RecordingGpib {
public:
    explicit RecordingGpib(const char *path);  // a test failure when it cannot be opened
    ~RecordingGpib();
    RecordingGpib(const RecordingGpib &) = delete;
    RecordingGpib &operator=(const RecordingGpib &) = delete;

    // Forgets the calls and the whole script.
    void reset();
    // Every later Receive hands out (the first `count` bytes of) this reply.
    void reply(const char *bytes, long count);
    // Calls number `first` to `last` (0-based since the reset) end with exactly
    // `status` and `error` (plus END on a Receive that delivered a whole reply);
    // with ERR in `status` a Receive delivers nothing. Replaces the previous
    // outcome, so an empty range (first > last) ends the script.
    void outcome(int status, int error, int first, int last);
    // Every call from now on: `status` and `error` (an outcome).
    void scriptStatus(int status, int error);
    // Calls number `first` to `last` fail with ERR and `error` (an outcome).
    void fail(int error, int first, int last);
    // The next answer to the error query SYST:ERR? (queued; once they are used
    // up, the answer is +0,"No error").
    void errorReply(const char *answer);
    // Nonzero: the error query gets no answer (the Receive times out).
    void errorQuerySilent(int silent);
    // The count the driver reports instead of the real one (-1: the real one).
    void scriptCount(long count);
    // Called inside every routine after the call is recorded (nullptr: none).
    void hook(BusCallHook hook);
    // Instant mode on or off (see above); a reset turns it off.
    void instant(bool on);

    const std::vector<BusCall> &calls() const;
    std::size_t size() const { return calls().size(); }
    const BusCall &at(std::size_t i) const { return calls().at(i); }
    // The last call (a test failure, and an empty call, when there was none).
    const BusCall &last() const;
    // The Send calls from call `first` on.
    std::vector<BusCall> sendsFrom(std::size_t first) const;
    void *handle() const { return handle_; }

private:
    void *handle_ = nullptr;
    const char *path_;
};
