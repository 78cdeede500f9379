// SPDX-License-Identifier: GPL-3.0-or-later
// What every benchmark executable here shares: running the registered
// benchmarks with medians over repetitions, reading the figures back by
// benchmark name, and printing each figure beside its budget.
//
// A figure line looks like
//   GenSin, one full table                         21.4 us   budget < 100 us   PASS
// and scripts/perf.sh collects the lines that end in PASS or MISS. A line
// without a budget ("share") ends in "-" and judges nothing.
//
// Options, besides Google Benchmark's own: --smoke runs each benchmark about
// once (for the test that proves they still run) and judges no figure, since
// one iteration on a busy machine says nothing about speed.
#pragma once

#include <string>

namespace perf {

// Takes --smoke out of the arguments, sets the defaults (5 repetitions,
// medians only) that the command line may override, and initialises Google
// Benchmark. Call first in main.
void initialise(int *argc, char **argv);

// Runs the registered benchmarks, showing them as Google Benchmark does, and
// keeps the results. False when a benchmark reported an error (already shown).
bool runBenchmarks();

// Median CPU time per iteration of the benchmark whose name starts with
// `name` (e.g. "BM_GenSin"), in seconds; NaN when it did not run. CPU time is
// the process's own work: on a machine that other jobs share, wall time also
// counts the time the process waited for a core.
double seconds(const std::string &name);
// Median wall time per iteration (the manual time where the benchmark sets it).
double wallSeconds(const std::string &name);
// Median of the user counter `counter` of that benchmark; NaN when absent.
double counter(const std::string &name, const std::string &counter);

// Prints `figure` with `value` (in `unit`) against "budget < limit unit", or,
// when `lessThan` is false, "budget <= limit". A NaN value prints "not measured"
// and counts as a failure.
void judge(const std::string &figure, double value, const std::string &unit, double limit,
           bool lessThan = true);
// Prints a figure that has no budget of its own, e.g. a share of a whole.
void share(const std::string &figure, double value, const std::string &unit,
           const std::string &note = "");

// Exit status for main: 0 when every figure was measured and (outside --smoke)
// met its budget, 1 when a budget was missed, 2 when a figure was not measured.
int finish();

bool smoke();

// Loads the stand-in library at `path` (tests/support) as the program will
// load it, so that the program binds this very instance, and calls its
// control function `control` (void control(int)) with 1: the recording GPIB
// driver's instant mode (recgpib_instant), in which it costs the program no
// more than a bus that takes everything at once. The library stays loaded.
// False, with a message on stderr, when it cannot be loaded or lacks `control`.
bool switchOnMode(const char *path, const char *control);

}  // namespace perf
