// SPDX-License-Identifier: GPL-3.0-or-later
// IEEE 488.2 bus routines for the programs.
//
// The routines keep the names and arguments the programs use and forward to a
// GPIB driver library bound at run time, on the first routine called: the
// library named by GPIB_LIBRARY (a path or a library name), else the Linux
// GPIB library libgpib.so.0. The simulated instrument is such a library.
// After every routine ibsta, iberr and ibcnt hold the outcome. If the driver
// cannot be bound, every routine ends with ERR set, iberr EDVR, ibcnt 0, and
// transfers nothing. GPIB_TRACE=1 prints every call to stderr.
#pragma once

#include <string>

// Program-side address: signed 16 bits, primary address in the low byte.
typedef short Addr4882_t;
#define NOADDR ((Addr4882_t)0xFFFF)

// End modes of Send, as the programs pass them.
enum {
    NULLend = 0,  // no EOI
    DABend = 2,   // EOI with the last byte, nothing appended
    NLend = 1,    // newline appended, EOI with it
};
// Receive termination: stop when the talker asserts EOI.
enum { STOPend = 0x100 };

// ibsta bits.
enum {
    DCAS = 0x1,
    DTAS = 0x2,
    LACS = 0x4,
    TACS = 0x8,
    ATN = 0x10,
    CIC = 0x20,
    REM = 0x40,
    LOK = 0x80,
    CMPL = 0x100,
    EVENT = 0x200,
    SPOLL = 0x400,
    RQS = 0x800,
    SRQI = 0x1000,
    END = 0x2000,
    TIMO = 0x4000,
    ERR = 0x8000,
};
// iberr codes.
enum {
    EDVR = 0,
    ECIC = 1,
    ENOL = 2,
    EADR = 3,
    EARG = 4,
    ESAC = 5,
    EABO = 6,
    ENEB = 7,
    EDMA = 8,
    EOIP = 10,
    ECAP = 11,
    EFSO = 12,
    EBUS = 14,
    ESTB = 15,
    ESRQ = 16,
    ETAB = 20,
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

// "ENOL", "EABO", ... ; "E?" followed by the number for an unknown code.
const char *gpib_error_name(int error);
// One-line hint for an operator, e.g. for ENOL "no listener at address 8: is the
// instrument on and set to address 8?".
std::string gpib_error_hint(int error, int primaryAddress);
// Set bits of ibsta by name, most significant first: "ERR TIMO CMPL".
std::string gpib_status_names(int status);
