#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the benchmarks (in build-perf/, or $BUILD_DIR) and runs every one,
# printing each figure beside its budget with PASS or MISS:
#  - the generator's upload, deska's capture, trigger wait, run and repaint
#    with a reference trace, offscreen, and one upload through the SCPI link
#    library to the socket instrument (Google
#    Benchmark, medians of 5 repetitions; extra arguments go to each benchmark,
#    e.g. --benchmark_repetitions=9);
#  - each program's start-up to its first painted frame and its peak memory,
#    timed from outside the process on a private Xvfb display.
# Ends with a summary of all figures and the machine they came from.
# Exit status: 0 when every budget is met, 1 when one is missed, 2 when a
# figure could not be measured.
set -euo pipefail
cd "$(dirname "$0")/.."
[ "${PERF_SKIP_DEPS:-0}" = 1 ] || scripts/deps.sh
build=${BUILD_DIR:-build-perf}
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLABBENCH_PERF=ON >/dev/null
cmake --build "$build" -j2 --target generator deska labbench_sim_gpib labbench_sim_board \
  generator_benchmark deska_benchmark capture_benchmark link_benchmark first_frame
build=$(cd "$build" && pwd)

work=$(mktemp -d)
xvfb_pid=""
cleanup() {
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# The programs' environment: the simulated bench, no traces, a private state file.
unset GPIB_TRACE PORTIO_TRACE GPIB_SIM_LOG GPIB_SIM_BYTES_PER_S BOARD_SIM_ABSENT BOARD_SIM_TRACE
export BENCH_SIM_STATE="$work/bench.state"
export XDG_RUNTIME_DIR="$work/runtime"
mkdir -m 700 "$XDG_RUNTIME_DIR"

worst=0
summary="$work/summary"
: >"$summary"
# Runs one benchmark command, shows its output, keeps its figure lines.
measure() {
  local title=$1
  shift
  echo
  echo "==== $title"
  local status=0
  "$@" | tee "$work/out" || status=$?
  grep -E '(PASS|MISS)$' "$work/out" >>"$summary" || true
  if [ "$status" -gt "$worst" ]; then worst=$status; fi
}

cd "$build/perf"
QT_QPA_PLATFORM=offscreen measure "generator: synthesis, block, preview, upload" \
  ./generator_benchmark "$@"
QT_QPA_PLATFORM=offscreen measure "deska: read_data, the trigger wait and run on an always-ready board; repaint with a reference" \
  ./deska_benchmark "$@"
QT_QPA_PLATFORM=offscreen measure "deska: capture on the simulated board at its highest rate" \
  ./capture_benchmark "$@"
measure "generator's upload over the SCPI link to the socket instrument on loopback" \
  ./link_benchmark "$@"

# A private X display of its own, so that nothing else draws on it.
exec {display_fd}>"$work/display"
Xvfb -displayfd "$display_fd" -noreset -nolisten tcp -screen 0 1280x1024x24 \
  >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 100); do
  [ -s "$work/display" ] && break
  sleep 0.05
done
exec {display_fd}>&-
if [ ! -s "$work/display" ]; then
  echo "perf.sh: Xvfb did not start:" >&2
  cat "$work/xvfb.log" >&2
  exit 2
fi
export DISPLAY=":$(head -n1 "$work/display")"
export GPIB_LIBRARY="$build/sim/instrument/liblabbench_sim_gpib.so"
export PORTIO_LIBRARY="$build/sim/board/liblabbench_sim_board.so"
measure "generator: start-up and memory on the simulated bench" \
  ./first_frame --name generator -- "$build/generator/generator"
measure "deska: start-up and memory on the simulated bench" \
  ./first_frame --name deska -- "$build/deska/deska"

echo
echo "==== Summary"
cat "$summary"
echo
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')," \
  "Debian $(cat /etc/debian_version), load average $(cut -d' ' -f1-3 /proc/loadavg)"
exit "$worst"
