// SPDX-License-Identifier: GPL-3.0-or-later
// IEEE 488.2 bus routines for the programs.
//
// The routines keep the names and arguments the programs use and forward to a
// GPIB driver library bound at run time, on the first routine called: the
// library named by GPIB_LIBRARY (a path or a library name), else the one the
// program chose (gpib_use_library), else the Linux GPIB library libgpib.so.0.
// The simulated instrument is such a library. After every routine ibsta, iberr
// and ibcnt hold the outcome. If the driver cannot be bound, every routine ends
// with ERR set, iberr EDVR, ibcnt 0, and transfers nothing. GPIB_TRACE=1 prints
// every call to stderr.
#pragma once

#include <string>

// The status bits (ERR, CMPL, ...), error codes (ENOL, EABO, ...) and STOPend
// are the driver interface's; their names and meanings are in gpib_codes.h.
#define GPIB_DRIVER_CONSTANTS_ONLY
#include "gpib_driver.h"
#undef GPIB_DRIVER_CONSTANTS_ONLY
#include "gpib_codes.h"

// Program-side address: signed 16 bits, primary address in the low byte.
typedef short Addr4882_t;
#define NOADDR ((Addr4882_t)0xFFFF)

// End modes of Send, as the programs pass them (the driver numbers DABend and
// NLend the other way round; the binding converts).
enum {
    NULLend = 0,  // no EOI
    DABend = 2,   // EOI with the last byte, nothing appended
    NLend = 1,    // newline appended, EOI with it
};

// Outcome of the last routine (updated by every routine below).
extern int ibsta;
extern int iberr;
extern int ibcnt;

void SendIFC(int board);
void EnableRemote(int board, const Addr4882_t addressList[]);
void EnableLocal(int board, const Addr4882_t addressList[]);
void Send(int board, Addr4882_t address, const void *buffer, long count, int endMode);
void Receive(int board, Addr4882_t address, void *buffer, long count, int termination);

// Makes `library` the driver library in place of libgpib.so.0 (GPIB_LIBRARY, when
// set, still wins; an empty name returns to libgpib.so.0). A library already
// bound is let go, and the next routine binds the chosen one.
void gpib_use_library(const std::string &library);
// The driver library gpib_use_library(library) makes the routines use.
std::string gpib_library_for_choice(const std::string &library);
// The driver library the routines use, as named (GPIB_LIBRARY, else the one the
// program chose, else libgpib.so.0); binds it if no routine has yet.
std::string gpib_driver_library();
// Why the driver library cannot be used, naming it and the loader's reason:
// "cannot use the GPIB driver library /opt/x.so: /opt/x.so: cannot open shared
// object file: No such file or directory"; empty when it is bound.
std::string gpib_driver_problem();
// The driver's own words for the failure `error` of the routine just called (its
// gpib_error_string), e.g. the SCPI link's "ENOL: address 8 (TCPIP::...::SOCKET):
// cannot connect: Connection refused"; empty when the driver has no such text or
// says no more than the code's general meaning (gpib_error_text). Call it right
// after the routine: a driver keeps the text only until its next routine.
std::string gpib_driver_error_text(int error);

// One-line hint for an operator, e.g. for ENOL "no listener at address 8: is the
// instrument on and set to address 8?".
std::string gpib_error_hint(int error, int primaryAddress);
