// SPDX-License-Identifier: GPL-3.0-or-later
// A port library whose converter always has a result ready, for the benchmarks:
// the status/high-byte port (0x305) never shows the not-ready flag, so a
// program's polling loop ends at its first read, and the two result bytes step
// through one period of a sine (1000 samples, about +-4 V at the converter) so
// that the values computed and plotted look like a measurement. Writes go
// nowhere. With it a benchmark sees the program's own work per sample and the
// port layer's, none of a board's timing.
#include <cmath>

#define READY_API extern "C" __attribute__((visibility("default")))

namespace {

constexpr unsigned short kStatusHigh = 0x305;  // bit 4 clear: ready; bits 0-3: result bits 8-11
constexpr unsigned short kLow = 0x304;         // result bits 0-7
constexpr int kPeriod = 1000;                  // samples

struct Sine {
    unsigned short codes[kPeriod];
    Sine() {
        for (int i = 0; i < kPeriod; ++i)
            codes[i] = static_cast<unsigned short>(2048 + 1600 * std::sin(2 * M_PI * i / kPeriod));
    }
};
const Sine sine;
int next = 0;

}  // namespace

READY_API unsigned char portio_inb(unsigned short port) {
    if (port == kStatusHigh) return static_cast<unsigned char>(sine.codes[next] >> 8);
    if (port == kLow) {
        unsigned char low = static_cast<unsigned char>(sine.codes[next] & 0xFF);
        next = next + 1 == kPeriod ? 0 : next + 1;
        return low;
    }
    return 0xFF;  // an undriven bus
}

READY_API void portio_outb(unsigned short, unsigned char) {}
