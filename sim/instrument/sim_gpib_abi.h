// SPDX-License-Identifier: GPL-3.0-or-later
// The Linux GPIB library's binary interface, as the simulated instrument
// exports it: the multi-device routines, the per-thread status functions and
// the status variables, with that library's own end-mode numbers (which
// differ from the programs' own numbering in platform/gpib/gpib.h).
// Only the simulator and its tests include this header.
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint16_t Addr4882_t;

#define SIMGPIB_NOADDR ((Addr4882_t)0xFFFF)

// Send end modes.
enum { SIMGPIB_NULLend = 0, SIMGPIB_DABend = 1, SIMGPIB_NLend = 2 };
// Receive termination: stop at EOI (a value 0..255 stops at that byte instead).
enum { SIMGPIB_STOPend = 0x100 };

// ibsta bits.
enum {
    SIMGPIB_DCAS = 0x1,
    SIMGPIB_DTAS = 0x2,
    SIMGPIB_LACS = 0x4,
    SIMGPIB_TACS = 0x8,
    SIMGPIB_ATN = 0x10,
    SIMGPIB_CIC = 0x20,
    SIMGPIB_REM = 0x40,
    SIMGPIB_LOK = 0x80,
    SIMGPIB_CMPL = 0x100,
    SIMGPIB_EVENT = 0x200,
    SIMGPIB_SPOLL = 0x400,
    SIMGPIB_RQS = 0x800,
    SIMGPIB_SRQI = 0x1000,
    SIMGPIB_END = 0x2000,
    SIMGPIB_TIMO = 0x4000,
    SIMGPIB_ERR = 0x8000,
};
// iberr codes.
enum {
    SIMGPIB_EDVR = 0,
    SIMGPIB_ECIC = 1,
    SIMGPIB_ENOL = 2,
    SIMGPIB_EADR = 3,
    SIMGPIB_EARG = 4,
    SIMGPIB_ESAC = 5,
    SIMGPIB_EABO = 6,
    SIMGPIB_ENEB = 7,
    SIMGPIB_EDMA = 8,
    SIMGPIB_EOIP = 10,
    SIMGPIB_ECAP = 11,
    SIMGPIB_EFSO = 12,
    SIMGPIB_EBUS = 14,
    SIMGPIB_ESTB = 15,
    SIMGPIB_ESRQ = 16,
    SIMGPIB_ETAB = 20,
};

#define SIMGPIB_API __attribute__((visibility("default")))

SIMGPIB_API void SendIFC(int board);
SIMGPIB_API void EnableRemote(int board, const Addr4882_t addressList[]);
SIMGPIB_API void EnableLocal(int board, const Addr4882_t addressList[]);
SIMGPIB_API void Send(int board, Addr4882_t address, const void *buffer, long count, int eot_mode);
SIMGPIB_API void Receive(int board, Addr4882_t address, void *buffer, long count, int termination);
SIMGPIB_API int ThreadIbsta(void);
SIMGPIB_API int ThreadIberr(void);
SIMGPIB_API int ThreadIbcnt(void);
SIMGPIB_API long ThreadIbcntl(void);
SIMGPIB_API const char *gpib_error_string(int iberr);

SIMGPIB_API extern volatile int ibsta;
SIMGPIB_API extern volatile int iberr;
SIMGPIB_API extern volatile int ibcnt;
SIMGPIB_API extern volatile long ibcntl;

#ifdef __cplusplus
}
#endif
