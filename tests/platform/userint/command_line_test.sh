#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# The command line of a built program (generator or deska): --help, --version, a
# usage error, and Qt's own options. Every case runs without a display, with a
# tripwire library as both the GPIB driver and the port library: --help, --version
# and a usage error must not load it (so touch no bus and no port). In the last
# case Qt's options start the program offscreen, which must get past the display.
# Usage: command_line_test.sh <program file> <program name> <tripwire library> <version>
program=$1
name=$2
tripwire=$3
version=$4
. "$(dirname "$0")/../../support/checks.sh"
scratch_folder

# run <arguments...>: runs the program without a display, with the tripwire;
# sets status, and leaves out, err and the tripwire's log in $work.
run() {
  rm -f "$work/tripwire.log"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
    GPIB_LIBRARY="$tripwire" PORTIO_LIBRARY="$tripwire" TRIPWIRE_LOG="$work/tripwire.log" \
    XDG_RUNTIME_DIR="$work" timeout 20 "$program" "$@" >"$work/out" 2>"$work/err"
  status=$?
  if [ -e "$work/tripwire.log" ]; then
    fail "$name $*: loaded the driver or port library: $(cat "$work/tripwire.log")"
  fi
}

# expect <status> <'out' or 'err': where the text goes> <text the first line starts with>
#        <text somewhere in it> -- <arguments...>
expect() {
  want_status=$1 stream=$2 first=$3 within=$4
  shift 5
  run "$@"
  [ "$status" -eq "$want_status" ] || fail "$name $*: exit status $status, expected $want_status; stderr: $(cat "$work/err")"
  other=err
  [ "$stream" = err ] && other=out
  [ -s "$work/$other" ] && fail "$name $*: wrote to std$other: $(cat "$work/$other")"
  case $(head -n 1 "$work/$stream") in
    "$first"*) ;;
    *) fail "$name $*: first line of std$stream is not '$first...': $(head -n 1 "$work/$stream")" ;;
  esac
  grep -qF -- "$within" "$work/$stream" || fail "$name $*: std$stream lacks '$within': $(cat "$work/$stream")"
}

case $name in
  generator) variable=GPIB_LIBRARY ;;
  deska) variable=PORTIO_LIBRARY ;;
  *) echo "unknown program $name"; exit 2 ;;
esac

expect 0 out "Usage: $name" "$variable" -- --help
expect 0 out "Usage: $name" "$name.uir" -- -h
expect 0 out "$name (LabBench) $version" "$name (LabBench) $version" -- --version
[ "$(wc -l <"$work/out")" -eq 1 ] || fail "$name --version: more than one line: $(cat "$work/out")"
# Qt's options are taken (with their values) before --version.
expect 0 out "$name (LabBench) $version" "" -- -platform offscreen --style=Fusion -reverse --version
expect 2 err "$name: unknown option '--frobnicate'" "Usage: $name" -- --frobnicate
expect 2 err "$name: unknown option '-platform=offscreen'" "--help" -- -platform=offscreen
expect 2 err "$name: unexpected argument 'panel.uir'" "Usage: $name" -- panel.uir
expect 2 err "$name: option '-style' needs a value" "Usage: $name" -- -style
[ "$(grep -c "^$name: " "$work/err")" -eq 1 ] || fail "$name -style: more than one line names the problem"
# A bad argument's control bytes (a terminal escape) are shown escaped, never raw.
escape=$(printf '\033[31mred')
expect 2 err "$name: unexpected argument '\\x1b[31mred'" "Usage: $name" -- "$escape"
grep -q "$(printf '\033')" "$work/err" && fail "$name: a raw escape byte reached the terminal"
# A style sheet is a small regular file: a device, a FIFO or a folder is refused
# before Qt would read it (the device and the FIFO are the test's own).
mkfifo "$work/sheet.fifo"
expect 2 err "$name: cannot use the style sheet '$work/sheet.fifo': not a regular file" "Usage:" -- -stylesheet "$work/sheet.fifo"
expect 2 err "$name: cannot use the style sheet '$work': not a regular file" "Usage:" -- "-stylesheet=$work"
expect 2 err "$name: cannot use the style sheet '$work/none.qss': No such file" "Usage:" -- -stylesheet "$work/none.qss"
if mknod "$work/zero" c 1 5 2>/dev/null; then
  expect 2 err "$name: cannot use the style sheet '$work/zero': not a regular file" "Usage:" -- -stylesheet "$work/zero"
fi
truncate -s 2M "$work/big.qss"
expect 2 err "$name: cannot use the style sheet '$work/big.qss': 2097152 bytes" "Usage:" -- -stylesheet "$work/big.qss"

# A help text that cannot be written is a failure, not a success.
if [ -w /dev/full ]; then
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help >/dev/full 2>"$work/err"
  status=$?
  [ "$status" -eq 1 ] || fail "$name --help >/dev/full: exit status $status, expected 1"
  grep -q "cannot write" "$work/err" || fail "$name --help >/dev/full: no message: $(cat "$work/err")"
fi

# Qt's options still reach Qt: with -platform offscreen and no display the program
# starts and stays up (generator also addresses its instrument, through the tripwire).
rm -f "$work/tripwire.log"
env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
  GPIB_LIBRARY="$tripwire" PORTIO_LIBRARY="$tripwire" TRIPWIRE_LOG="$work/tripwire.log" \
  XDG_RUNTIME_DIR="$work" "$program" -platform offscreen -style Fusion >"$work/out" 2>"$work/err" &
pid=$!
sleep 3
if kill -0 "$pid" 2>/dev/null; then
  kill "$pid"
  wait "$pid" 2>/dev/null
else
  wait "$pid"
  fail "$name -platform offscreen -style Fusion ended (status $?) instead of running: $(cat "$work/err")"
fi
if [ "$name" = generator ]; then
  grep -q loaded "$work/tripwire.log" 2>/dev/null || fail "generator started offscreen but never loaded its GPIB driver library"
fi

finish "command-line check(s) of $name failed" "command line of $name: all checks passed"
