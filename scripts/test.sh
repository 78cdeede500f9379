#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The one command that installs what LabBench needs, builds it and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
scripts/check-format.sh
BUILD_DIR=${BUILD_DIR:-build} scripts/build.sh -DBUILD_TESTING=ON -DLABBENCH_WERROR=ON
cd "${BUILD_DIR:-build}"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2 --timeout 300
