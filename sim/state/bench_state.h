// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated bench's shared output model: what the simulated instrument
// outputs, published to a small state file that the simulated board reads.
//
// The instrument replaces the whole file atomically (temporary file + rename)
// after every change of its output, so a reader never sees half a file. The
// format is text, one "key value" pair per line, versioned by its first line:
//
//   labbench-bench-state 1
//   function USER               SIN, SQU, TRI, RAMP, NOIS, DC or USER
//   frequency_hz 10000          output frequency, Hz
//   amplitude_vpp 4.5           output amplitude, volts peak to peak
//   user_waveform VOLATILE      the user waveform selected for USER
//   remote 1                    1 while the instrument is in remote state
//   since_ns 123456789          CLOCK_MONOTONIC time (ns) the setting took effect
//   points 3600                 number of codes of the selected user waveform
//   0 3 7 ...                   the codes, -2047..+2047, one line
//   end
//
// Numbers are written and read without regard to the user's locale.
#pragma once

#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

namespace benchsim {

inline constexpr int kBenchStateVersion = 1;

struct BenchOutput {
    std::string function = "SIN";
    double frequency_hz = 1000.0;
    double amplitude_vpp = 0.1;
    std::string user_waveform = "VOLATILE";
    bool remote = false;
    std::int64_t since_ns = 0;
    std::vector<std::int16_t> points;  // the selected user waveform, empty when none
};

// BENCH_SIM_STATE if set, else $XDG_RUNTIME_DIR/labbench-bench.state, else the
// same name in $TMPDIR or /tmp.
std::string bench_state_path();

// CLOCK_MONOTONIC in nanoseconds: the one clock of the simulated bench, which
// the instrument stamps its settings with and the board converts by. Inline,
// since the board reads it at every port access (a vDSO call, no system call).
inline std::int64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Writes `output` to `path` by atomic replace. On failure returns false and
// says why in `error` (path and system message).
bool write_bench_state(const std::string &path, const BenchOutput &output, std::string &error);

// Reads a state file written by write_bench_state. On failure (missing file,
// other version, malformed line) returns false, leaves `output` unspecified
// and says why in `error`.
bool read_bench_state(const std::string &path, BenchOutput &output, std::string &error);

}  // namespace benchsim
