// SPDX-License-Identifier: GPL-3.0-or-later
// The simulated bench's shared output model: what the simulated instrument
// outputs, published to a small state file that the simulated board reads.
//
// The instrument replaces the whole file atomically (a temporary file of its
// own, created under a fresh name in the same folder, then renamed over the
// state file) after every change of its output, so a reader never sees half a
// file and no file planted at a guessable name is ever written through. The
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
//
// The reader trusts nothing it finds at the path: it opens without blocking
// (a FIFO cannot stall it), accepts only a regular file no larger than
// kMaxBenchStateBytes, never follows a link at the default location, and
// refuses numbers that are not finite.
#pragma once

#include <time.h>

#include <cstdint>
#include <string>
#include <vector>

namespace benchsim {

inline constexpr int kBenchStateVersion = 1;

// Far above the largest real state file (16000 points of at most 6 bytes,
// about 96 KiB), far below what could stall a reader or exhaust its memory.
inline constexpr long kMaxBenchStateBytes = 256 * 1024;

struct BenchOutput {
    std::string function = "SIN";
    double frequency_hz = 1000.0;
    double amplitude_vpp = 0.1;
    std::string user_waveform = "VOLATILE";
    bool remote = false;
    std::int64_t since_ns = 0;
    std::vector<std::int16_t> points;  // the selected user waveform, empty when none
};

// BENCH_SIM_STATE if set, else default_bench_state_path(). BENCH_SIM_STATE
// naming something other than a regular file (a FIFO, a device node, a
// folder; after following links) is refused, since the writer would replace
// it: the default is used, and `refusal`, when given, says so in one line.
std::string bench_state_path(std::string *refusal = nullptr);

// $XDG_RUNTIME_DIR/labbench-bench.state; without XDG_RUNTIME_DIR, that name in
// private_state_folder(). Depends only on the environment; creates nothing.
std::string default_bench_state_path();

// The user's own folder for the state file when there is no XDG_RUNTIME_DIR:
// labbench-<uid> in $TMPDIR or /tmp. Whoever names a state file in it, the
// writer creates it with mode 0700 when missing, and writer and reader use it
// only when it is a real folder (not a link) owned by the user and closed to
// everyone else; otherwise another local user could read, replace or plant
// the file there.
std::string private_state_folder();

// CLOCK_MONOTONIC in nanoseconds: the one clock of the simulated bench, which
// the instrument stamps its settings with and the board converts by. Inline,
// since the board reads it at every port access (a vDSO call, no system call).
inline std::int64_t monotonic_ns() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Writes `output` to `path` by atomic replace (mode 0600). On failure returns
// false and says why in `error` (the path and the system's reason, the same
// text for the same failure, so that it can be reported once), and leaves no
// temporary file behind.
bool write_bench_state(const std::string &path, const BenchOutput &output, std::string &error);

// Reads a state file written by write_bench_state. On failure (missing file,
// not a regular file, a link at the default location, too large, other
// version, malformed line, a number that is not finite) returns false, leaves
// `output` unspecified and says why in `error`. Never blocks on what it finds
// at the path and reads at most kMaxBenchStateBytes.
bool read_bench_state(const std::string &path, BenchOutput &output, std::string &error);

}  // namespace benchsim
