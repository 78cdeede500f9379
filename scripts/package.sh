#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds the Debian package labbench_<version>-<revision>_<arch>.deb in build-package/,
# with Debian's hardening flags from dpkg-buildflags: position-independent
# executables, immediate binding (bind-now) and read-only relocations, fortified
# C library calls and the stack protector. CPack strips the binaries.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# CMake reads no CPPFLAGS: the preprocessor's flags (_FORTIFY_SOURCE) go with the compilers'.
cppflags=$(dpkg-buildflags --get CPPFLAGS)
BUILD_DIR=build-package scripts/build.sh -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release \
  -DBUILD_TESTING=OFF -DLABBENCH_PERF=OFF \
  -DCMAKE_C_FLAGS="$(dpkg-buildflags --get CFLAGS) $cppflags" \
  -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $cppflags" \
  -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)"
cd build-package && cpack -G DEB
ls -1 "$PWD"/labbench_*.deb
