// SPDX-License-Identifier: GPL-3.0-or-later
// Control side of the bus recorder: a GPIB driver library (the Linux GPIB
// library's ABI) that keeps every call the program makes, byte for byte, and
// answers as the test scripts it. The test opens the same library file that
// GPIB_LIBRARY names, so it talks to the very instance the program uses, and
// finds these functions with dlsym.
#pragma once

#include <string>
#include <vector>

struct BusCall {
    std::string routine;  // "SendIFC", "EnableRemote", "EnableLocal", "Send", "Receive"
    int board = -1;
    int address = -1;            // Send / Receive
    std::vector<int> addresses;  // EnableRemote / EnableLocal, without the closing NOADDR
    long count = 0;              // bytes given (Send) or asked for (Receive)
    int mode = -1;               // Send end mode / Receive termination, as the driver saw it
    std::string bytes;           // Send: every byte given
};

using BusCallHook = void (*)(const BusCall &call);

extern "C" {
// Forgets the calls and the script: every routine then succeeds, Receive times out
// (except after the error query, which a healthy instrument answers).
void busrec_reset(void);
// Every Receive hands out (the first `count` bytes of) this reply with EOI.
void busrec_reply(const char *bytes, long count);
// The next answer to the error query SYST:ERR? (queued; once they are used up,
// the answer is +0,"No error").
void busrec_error_reply(const char *reply);
// Nonzero: the error query gets no answer (the Receive times out).
void busrec_error_query_silent(int silent);
// Calls number `first` to `last` (0-based since the reset) end with ERR and `error`.
void busrec_fail(int error, int first, int last);
// Called inside every routine, after the call is recorded (nullptr: none).
void busrec_hook(BusCallHook hook);
const std::vector<BusCall> *busrec_calls(void);
}
