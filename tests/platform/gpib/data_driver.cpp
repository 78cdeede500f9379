// SPDX-License-Identifier: GPL-3.0-or-later
// A wrong "driver library" for the binding's tests: it exports every routine name of
// the driver interface, but as data objects, not functions.
#define DATA_EXPORT __attribute__((visibility("default")))

extern "C" {

DATA_EXPORT int SendIFC = 0;
DATA_EXPORT int EnableRemote = 0;
DATA_EXPORT int EnableLocal = 0;
DATA_EXPORT int Send = 0;
DATA_EXPORT int Receive = 0;
DATA_EXPORT int ThreadIbsta = 0;
DATA_EXPORT int ThreadIberr = 0;
DATA_EXPORT int ThreadIbcnt = 0;
DATA_EXPORT int ibsta = 0;
DATA_EXPORT int iberr = 0;
DATA_EXPORT int ibcnt = 0;
}
