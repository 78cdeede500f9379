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

BUILD_DIR=${BUILD_DIR:-build} scripts/build.sh -DBUILD_TESTING=ON -DLABBENCH_WERROR=ON
(cd "${BUILD_DIR:-build}" && QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300)

if [ "${LABBENCH_SKIP_SANITIZE:-0}" != 1 ]; then
  # The benchmarks measure speed, which a sanitizer build does not have: left out there.
  BUILD_DIR=${ASAN_BUILD_DIR:-build-asan} scripts/build.sh -DBUILD_TESTING=ON \
    -DLABBENCH_WERROR=ON -DLABBENCH_SANITIZE=ON -DLABBENCH_PERF=OFF
  (cd "${ASAN_BUILD_DIR:-build-asan}" &&
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 600)
fi
