#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Fails when a C or C++ source differs from the checked-in .clang-format style.
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files --cached --others --exclude-standard '*.cpp' '*.h' '*.c' 2>/dev/null || find . -name '*.cpp' -o -name '*.h' -o -name '*.c')
bad=()
for f in "${files[@]}"; do
  clang-format --dry-run --Werror "$f" >/dev/null 2>&1 || bad+=("$f")
done
if ((${#bad[@]})); then
  echo "check-format.sh: ${#bad[@]} file(s) differ from .clang-format: ${bad[*]}" >&2
  echo "  fix with: clang-format -i ${bad[*]}" >&2
  exit 1
fi
echo "check-format.sh: ${#files[@]} files follow .clang-format"
