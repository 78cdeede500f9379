#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Refreshes every picture the README shows: runs the real-window tests (label e2e, each
# on a private Xvfb) in the build folder, then copies each picture README.md names from
# the tests' screenshots into docs/screenshots. Stops without copying when a test fails.
# Usage: [BUILD_DIR=build] scripts/screenshots.sh
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-build}
case $build in /*) ;; *) build=$top/$build ;; esac
[ -d "$build/tests/e2e" ] || {
  echo "screenshots.sh: no test build in $build; build it first (scripts/build.sh -DBUILD_TESTING=ON)" >&2
  exit 1
}
ctest --test-dir "$build" -L '^e2e$' --output-on-failure
for picture in $(grep -o 'docs/screenshots/[A-Za-z0-9_.-]*\.png' "$top/README.md" | sort -u); do
  name=${picture#docs/screenshots/}
  cp "$build/tests/e2e/screenshots/$name" "$top/$picture"
  echo "refreshed $picture"
done
