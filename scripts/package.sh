#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Builds LabBench's Debian source and binary packages with dpkg-buildpackage,
# unsigned, from a clean copy of the source tree (the files git tracks or would
# track, as they are in the working tree, without what .gitignore leaves out), so
# that nothing built in the tree gets in. The results (.dsc, source tarball, .deb, debug symbols, .buildinfo,
# .changes) land in build-package/, or $LABBENCH_PACKAGE_DIR.
# Arguments go to dpkg-buildpackage; the test suite runs during the build unless
# DEB_BUILD_OPTIONS has nocheck, e.g.
#   DEB_BUILD_OPTIONS=nocheck scripts/package.sh -Pnocheck
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
source=$PWD
out=$(mkdir -p "${LABBENCH_PACKAGE_DIR:-build-package}" && cd "${LABBENCH_PACKAGE_DIR:-build-package}" && pwd)
version=$(dpkg-parsechangelog -S Version)
copy=$out/labbench-$version

rm -rf "$copy"
rm -f "$out"/labbench_* "$out"/labbench-dbgsym_*
mkdir -p "$copy"
if git -C "$source" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  # A tracked file deleted in the working tree is left out.
  git -C "$source" ls-files -z --cached --others --exclude-standard | (cd "$source" && xargs -0 -r sh -c 'for f; do [ -e "$f" ] && printf "%s\0" "$f"; done' sh) |
    tar -C "$source" --null -T - -cf - | tar -C "$copy" -xf -
else
  # An unpacked source package: everything but build folders.
  tar -C "$source" --exclude='./build*' --exclude='./obj-*' -cf - . | tar -C "$copy" -xf -
fi

# Both cores (or as many as the machine has) unless the caller chose.
case " ${DEB_BUILD_OPTIONS:-} " in
  *" parallel="*) ;;
  *) export DEB_BUILD_OPTIONS="${DEB_BUILD_OPTIONS:+$DEB_BUILD_OPTIONS }parallel=$(nproc)" ;;
esac
(cd "$copy" && dpkg-buildpackage -us -uc "$@")
rm -rf "$copy"
echo "LabBench $version packages in $out:"
ls -1 "$out"/labbench_"$version"* "$out"/labbench-dbgsym_"$version"* 2>/dev/null
