#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The one command that installs what LabBench needs, builds it and runs every test:
# the format check, the whole suite in the normal build (build/, or $BUILD_DIR), and
# the whole suite again built with AddressSanitizer and UndefinedBehaviorSanitizer
# (build-asan/, or $ASAN_BUILD_DIR), so that a memory fault fails it.
# LABBENCH_SKIP_SANITIZE=1 leaves the sanitizer build out (a quicker local run).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/check-format.sh

# Line tables (-g1) are all a failing test's backtrace and the sanitizers' reports need;
# full debug information made compiling the Qt-heavy sources about a fifth slower.
BUILD_DIR=${BUILD_DIR:-build} scripts/build.sh -DBUILD_TESTING=ON -DLABBENCH_WERROR=ON \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
(cd "${BUILD_DIR:-build}" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300)

if [ "${LABBENCH_SKIP_SANITIZE:-0}" != 1 ]; then
  # The benchmarks measure speed, which a sanitizer build does not have: left out there.
  # -Og: the sanitizers find the same faults as at -O2 (an optimiser can only hide one),
  # and the instrumented build compiles in half the time (4 min of processor, not 8).
  BUILD_DIR=${ASAN_BUILD_DIR:-build-asan} scripts/build.sh -DBUILD_TESTING=ON \
    -DLABBENCH_WERROR=ON -DLABBENCH_SANITIZE=ON -DLABBENCH_PERF=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-Og -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-Og -g1 -DNDEBUG"
  (cd "${ASAN_BUILD_DIR:-build-asan}" &&
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 600)
fi
