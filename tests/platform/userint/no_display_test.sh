#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Starts init_probe without a usable display and checks that it exits with
# status 255 within seconds, after one stderr line naming the reason; and, in
# the cases "offscreen" and "xvfb", that it starts where a GUI can start (on
# Xvfb also when only the -display option names the display).
# Usage: no_display_test.sh <init_probe> <case>
probe=$1
which=$2

if [ "$which" = xvfb ]; then
  # A bare X server resets when its last client leaves: start-ups right after
  # one another must still connect every time.
  command -v Xvfb >/dev/null || { echo "Xvfb is not installed (scripts/deps.sh installs it)"; exit 1; }
  fifo=$(mktemp -u); mkfifo "$fifo"
  Xvfb -displayfd 3 -nolisten tcp -screen 0 640x480x24 3>"$fifo" 2>/dev/null &
  server=$!
  trap 'kill $server 2>/dev/null; rm -f "$fifo"' EXIT
  read -r number < "$fifo"
  for run in 1 2 3 4 5; do
    err=$(env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=":$number" timeout 20 "$probe" 2>&1 >/dev/null)
    status=$?
    [ $status -eq 0 ] || { echo "start $run on Xvfb :$number failed with status $status: $err"; exit 1; }
  done
  # Qt's -display option names the display instead of DISPLAY.
  err=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM timeout 20 "$probe" -display ":$number" 2>&1 >/dev/null)
  status=$?
  [ $status -eq 0 ] || { echo "start with -display :$number and no DISPLAY failed with status $status: $err"; exit 1; }
  exit 0
fi
case $which in
  unset)   set -- env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$probe"; want='DISPLAY is not set' ;;
  dead)    set -- env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:87 "$probe"; want="cannot connect to X display ':87'" ;;
  garbled) set -- env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=no-colon "$probe"; want="not a valid X display name" ;;
  xcb)     set -- env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb "$probe"; want='DISPLAY is not set' ;;
  wayland) set -- env -u DISPLAY WAYLAND_DISPLAY=labbench-none XDG_RUNTIME_DIR=/tmp QT_QPA_PLATFORM=wayland "$probe"; want='ayland' ;;
  offscreen) set -- env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=offscreen "$probe"; want='' ;;
  *) echo "unknown case $which"; exit 2 ;;
esac
err=$(timeout 20 "$@" 2>&1 >/dev/null)
status=$?
if [ "$which" = offscreen ]; then
  [ $status -eq 0 ] || { echo "offscreen start failed with status $status: $err"; exit 1; }
  exit 0
fi
[ $status -eq 124 ] && { echo "init_probe hung for 20 s"; exit 1; }
[ $status -eq 255 ] || { echo "expected exit status 255, got $status; stderr: $err"; exit 1; }
lines=$(printf '%s\n' "$err" | grep -c .)
[ "$lines" -eq 1 ] || { echo "expected one stderr line, got $lines: $err"; exit 1; }
case $err in
  *"InitCVIRTE: the GUI cannot start: "*"$want"*) exit 0 ;;
  *) echo "stderr does not give the reason '$want': $err"; exit 1 ;;
esac
