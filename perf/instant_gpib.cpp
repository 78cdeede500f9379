// SPDX-License-Identifier: GPL-3.0-or-later
// A GPIB driver library with no bus time, for the benchmarks: it has the Linux
// GPIB library's binary interface, and every routine completes at once with
// success (CMPL), taking every byte it is sent and returning no reply. With it
// a benchmark of the generator's upload sees only the program's own work and
// that of the GPIB binding, none of the simulated instrument's.
#include <cstdint>

#define INSTANT_API extern "C" __attribute__((visibility("default")))

namespace {
constexpr int kComplete = 0x100;  // CMPL
constexpr int kEnd = 0x2000;      // END
}  // namespace

extern "C" {
__attribute__((visibility("default"))) volatile int ibsta = 0;
__attribute__((visibility("default"))) volatile int iberr = 0;
__attribute__((visibility("default"))) volatile int ibcnt = 0;
__attribute__((visibility("default"))) volatile long ibcntl = 0;
}

static void complete(int status, long count) {
    ibsta = status;
    iberr = 0;
    ibcnt = static_cast<int>(count);
    ibcntl = count;
}

INSTANT_API void SendIFC(int) { complete(kComplete, 0); }
INSTANT_API void EnableRemote(int, const std::uint16_t *) { complete(kComplete, 0); }
INSTANT_API void EnableLocal(int, const std::uint16_t *) { complete(kComplete, 0); }
INSTANT_API void Send(int, std::uint16_t, const void *, long count, int) {
    complete(kComplete, count);
}
INSTANT_API void Receive(int, std::uint16_t, void *, long, int) { complete(kComplete | kEnd, 0); }
INSTANT_API int ThreadIbsta(void) { return ibsta; }
INSTANT_API int ThreadIberr(void) { return iberr; }
INSTANT_API int ThreadIbcnt(void) { return ibcnt; }
INSTANT_API long ThreadIbcntl(void) { return ibcntl; }
