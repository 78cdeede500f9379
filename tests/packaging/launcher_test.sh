#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The simulated-bench launcher's command line, with stand-ins for the two
# programs beside a copy of it (each records the arguments it was given): an
# empty or unknown argument is a usage error that starts nothing, and options
# after the program name reach the program, or both programs after "both".
# Then the build tree's copy (what scripts/bench.sh starts) reaches the real
# programs, the simulator libraries and the socket instrument where the build
# put them: each program answers --help through it.
# Usage: launcher_test.sh <installed labbench-sim> <build tree's labbench-sim>
launcher=$1
build_launcher=$2
. "$(dirname "$0")/../support/checks.sh"
scratch_folder
mkdir "$work/bin"
cp "$launcher" "$work/bin/labbench-sim"
chmod +x "$work/bin/labbench-sim"
for program in generator deska; do
  printf '#!/bin/sh\necho "$*" >"%s/%s.args"\n' "$work" "$program" >"$work/bin/$program"
  chmod +x "$work/bin/$program"
done
: >"$work/gpib.so"
: >"$work/board.so"

# run <arguments...>: sets status; the stand-ins' records and stderr in $work.
run() {
  rm -f "$work/generator.args" "$work/deska.args"
  GPIB_LIBRARY="$work/gpib.so" PORTIO_LIBRARY="$work/board.so" \
    timeout 20 "$work/bin/labbench-sim" "$@" >"$work/out" 2>"$work/err"
  status=$?
}
# started <program> <arguments it must have got>
started() {
  [ -e "$work/$1.args" ] || { fail "$1 was not started"; return; }
  [ "$(cat "$work/$1.args")" = "$2" ] || fail "$1 got '$(cat "$work/$1.args")', expected '$2'"
}
nothing_started() {
  for program in generator deska; do
    [ -e "$work/$program.args" ] && fail "$*: $program was started"
  done
}

run ''
[ "$status" -eq 2 ] || fail "an empty argument: status $status, expected 2"
grep -q "empty argument" "$work/err" || fail "an empty argument: $(cat "$work/err")"
grep -q "^Usage: labbench-sim" "$work/err" || fail "an empty argument: no usage: $(cat "$work/err")"
nothing_started "an empty argument"

escape=$(printf '\033[31mred')
run "$escape"
[ "$status" -eq 2 ] || fail "an unknown argument: status $status, expected 2"
grep -q "unknown argument '?\[31mred'" "$work/err" || fail "an unknown argument: $(cat "$work/err")"
grep -q "$(printf '\033')" "$work/err" && fail "an unknown argument's escape byte reached the terminal"
nothing_started "an unknown argument"

run --socket ''
[ "$status" -eq 2 ] || fail "--socket and an empty argument: status $status, expected 2"

run both -style Fusion
[ "$status" -eq 0 ] || fail "both -style Fusion: status $status: $(cat "$work/err")"
started generator "-style Fusion"
started deska "-style Fusion"

run generator -style Fusion -reverse
started generator "-style Fusion -reverse"
[ -e "$work/deska.args" ] && fail "generator -style Fusion started deska too"

run
started generator ""
started deska ""

# The build tree's copy, on the build's own files.
for arguments in "generator --help" "deska --help" "--socket generator --help"; do
  # shellcheck disable=SC2086 # one word per argument
  env -u GPIB_LIBRARY -u PORTIO_LIBRARY BENCH_SIM_STATE="$work/bench.state" \
    timeout 20 "$build_launcher" $arguments >"$work/out" 2>&1
  status=$?
  program=${arguments% --help}
  program=${program#--socket }
  [ "$status" -eq 0 ] || fail "build tree: labbench-sim $arguments: status $status: $(cat "$work/out")"
  grep -q "^Usage: $program" "$work/out" || fail "build tree: labbench-sim $arguments: no usage of $program: $(cat "$work/out")"
done
grep -q 'serves 127\.0\.0\.1:' "$work/out" \
  || fail "build tree: labbench-sim --socket did not start the socket instrument: $(cat "$work/out")"

finish "launcher check(s) failed" "labbench-sim's command line: all checks passed"
