#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package labbench_<version>_<arch>.deb in build-package/.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
BUILD_DIR=build-package scripts/build.sh -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF -DLABBENCH_PERF=OFF
cd build-package && cpack -G DEB
ls -1 "$PWD"/labbench_*.deb
