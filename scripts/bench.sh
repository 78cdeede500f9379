#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The one command that installs what LabBench needs, builds it, and starts both
# programs side by side on the simulated bench: the simulated board measures
# what the simulated instrument outputs. Ctrl+C (or quitting both) ends them.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build} scripts/build.sh
build=$(cd "${BUILD_DIR:-build}" && pwd)
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ] && [ -z "${QT_QPA_PLATFORM:-}" ]; then
  echo "bench.sh: built in $build, but there is no display to show the windows on:" >&2
  echo "run it from a terminal in a desktop session (see Troubleshooting in README.md)." >&2
  exit 1
fi
export GPIB_LIBRARY="$build/sim/instrument/liblabbench_sim_gpib.so"
export PORTIO_LIBRARY="$build/sim/board/liblabbench_sim_board.so"
# The two simulators meet at their own default state file unless
# BENCH_SIM_STATE names one: $XDG_RUNTIME_DIR, or without it a private folder
# of the user's (mode 0700), never a name in /tmp that another user could
# plant first.
# A little bus time, so the busy indicator can be seen during an upload.
export GPIB_SIM_BYTES_PER_S=${GPIB_SIM_BYTES_PER_S:-200000}
"$build/generator/generator" & gen=$!
"$build/deska/deska" & board=$!
trap 'kill "$gen" "$board" 2>/dev/null' INT TERM HUP
echo "generator (pid $gen) and deska (pid $board) are running on the simulated bench."
status=0
wait "$gen" || status=$?
wait "$board" || status=$?
exit "$status"
