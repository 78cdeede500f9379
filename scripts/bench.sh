#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The one command that installs what LabBench needs, builds it, and starts both
# programs side by side on the simulated bench: the simulated board measures
# what the simulated instrument outputs. Ctrl+C (or quitting both) ends them.
# It starts them through the build tree's copy of the installed launcher
# (build/labbench-sim), so its arguments are labbench-sim's: generator, deska,
# --socket, options for the programs.
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
# A little bus time, so the busy indicator can be seen during an upload.
export GPIB_SIM_BYTES_PER_S=${GPIB_SIM_BYTES_PER_S:-200000}
exec "$build/labbench-sim" "$@"
