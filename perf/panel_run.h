// SPDX-License-Identifier: GPL-3.0-or-later
// The part of every program benchmark's main that stands in for the program's
// own start-up: the GUI run-time offscreen, the program's panel loaded as panel
// 1 and shown, then the registered benchmarks run and their figures printed.
#pragma once

namespace perf {

// Starts the run-time (offscreen unless QT_QPA_PLATFORM says otherwise), loads
// `panelFile` from beside the executable, calls `beforeShow` (when given) as the
// program's start-up does its work before the panel is first shown, shows and
// paints the panel, runs the benchmarks, prints `report`'s figures and
// discards the panel. Returns main's exit status: see finish(); 2 when the
// run-time or the panel could not be had (said on stderr by `program`).
int runOnPanel(const char *program, char **argv, const char *panelFile, void (*beforeShow)(),
               void (*report)());

}  // namespace perf
