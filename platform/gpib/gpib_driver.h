// SPDX-License-Identifier: GPL-3.0-or-later
// The GPIB driver interface: what every driver library exports, with the
// binary interface of the Linux GPIB library. The programs' binding
// (gpib.cpp) opens a driver library at run time and finds these routines and
// variables by name; the simulated instrument, the test and benchmark
// drivers and any new driver (another transport, another simulator) export
// exactly them, so a program cannot tell one driver from another.
//
// What a driver library exports (C linkage, default visibility):
//  - the multi-device routines SendIFC, EnableRemote, EnableLocal, Send and
//    Receive, with the driver's own end-mode numbers (GPIB_DRIVER_NULLend..)
//    and its unsigned 16-bit address (primary address in the low byte,
//    secondary address, 0x60..0x7E, in the high byte);
//  - the outcome of the calling thread's last routine, ThreadIbsta,
//    ThreadIberr, ThreadIbcnt and ThreadIbcntl, and of the last routine of
//    any thread in the variables ibsta, iberr, ibcnt and ibcntl;
//  - gpib_error_string, a text for an iberr code.
// After every routine ibsta holds the status bits below (CMPL on success, ERR
// with a code in iberr on failure) and ibcnt the bytes transferred.
//
// The constants (status bits, error codes, end modes, address type) are also
// what the programs' own API uses (gpib.h). That header includes this one
// with GPIB_DRIVER_CONSTANTS_ONLY defined, since the program side keeps its
// own routines and status words under the same names; a file that includes
// gpib.h sees the constants and never the driver's routines.
// The names and meanings of the codes and bits are in gpib_codes.h.

// Constants: included once, whichever way the header is included.
#ifndef LABBENCH_GPIB_DRIVER_CONSTANTS
#define LABBENCH_GPIB_DRIVER_CONSTANTS

#include <stdint.h>

// The driver's device address: primary address in the low byte, secondary
// address (0 for none) in the high byte.
typedef uint16_t GpibDriverAddr;
// Ends an address list of EnableRemote and EnableLocal.
#define GPIB_DRIVER_NOADDR ((GpibDriverAddr)0xFFFF)
// Primary addresses run from 0 to this (31 is the bus's "unlisten/untalk").
#define GPIB_DRIVER_MAX_PRIMARY_ADDRESS 30

// Send end modes in the driver's numbering (the programs number DABend and
// NLend the other way round, see gpib.h).
enum {
    GPIB_DRIVER_NULLend = 0,  // no EOI
    GPIB_DRIVER_DABend = 1,   // EOI with the last byte, nothing appended
    GPIB_DRIVER_NLend = 2,    // newline appended, EOI with it
};
// Receive termination: stop when the talker asserts EOI. A value 0..255
// stops after that byte instead.
enum { STOPend = 0x100 };

// ibsta bits.
enum {
    DCAS = 0x1,     // device clear received
    DTAS = 0x2,     // device trigger received
    LACS = 0x4,     // board is a listener
    TACS = 0x8,     // board is the talker
    ATN = 0x10,     // ATN line asserted
    CIC = 0x20,     // board is controller-in-charge
    REM = 0x40,     // board in remote state
    LOK = 0x80,     // board in lockout state
    CMPL = 0x100,   // routine complete
    EVENT = 0x200,  // event in the queue
    SPOLL = 0x400,  // board serial-polled
    RQS = 0x800,    // device requests service
    SRQI = 0x1000,  // SRQ line asserted
    END = 0x2000,   // EOI or the end byte seen
    TIMO = 0x4000,  // time-out
    ERR = 0x8000,   // error: the code is in iberr
};

// iberr codes (meanings in gpib_codes.cpp).
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

// Marks what a driver library exports; its sources are compiled with hidden
// visibility and linked with a version script listing exactly these names.
#define GPIB_DRIVER_EXPORT __attribute__((visibility("default")))

#endif  // LABBENCH_GPIB_DRIVER_CONSTANTS

// Routines and status variables: what a driver defines and a direct caller
// (a test of a driver) calls.
#if !defined(GPIB_DRIVER_CONSTANTS_ONLY) && !defined(LABBENCH_GPIB_DRIVER_ROUTINES)
#define LABBENCH_GPIB_DRIVER_ROUTINES

#ifdef __cplusplus
extern "C" {
#endif

GPIB_DRIVER_EXPORT void SendIFC(int board);
GPIB_DRIVER_EXPORT void EnableRemote(int board, const GpibDriverAddr addressList[]);
GPIB_DRIVER_EXPORT void EnableLocal(int board, const GpibDriverAddr addressList[]);
GPIB_DRIVER_EXPORT void Send(int board, GpibDriverAddr address, const void *buffer, long count,
                             int eot_mode);
GPIB_DRIVER_EXPORT void Receive(int board, GpibDriverAddr address, void *buffer, long count,
                                int termination);

GPIB_DRIVER_EXPORT int ThreadIbsta(void);
GPIB_DRIVER_EXPORT int ThreadIberr(void);
GPIB_DRIVER_EXPORT int ThreadIbcnt(void);
GPIB_DRIVER_EXPORT long ThreadIbcntl(void);
GPIB_DRIVER_EXPORT const char *gpib_error_string(int iberr);

GPIB_DRIVER_EXPORT extern volatile int ibsta;
GPIB_DRIVER_EXPORT extern volatile int iberr;
GPIB_DRIVER_EXPORT extern volatile int ibcnt;
GPIB_DRIVER_EXPORT extern volatile long ibcntl;

#ifdef __cplusplus
}
#endif

#endif  // routines
