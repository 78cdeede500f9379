#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# Every picture the README shows (docs/screenshots/<name>.png) must be written by a
# real-window test (save_screenshot(..., "<name>.png") in tests/e2e), so that
# scripts/screenshots.sh refreshes all of them. Usage: readme_pictures_test.sh <source tree>
set -eu
top=$1
missing=0
pictures=$(grep -o 'docs/screenshots/[A-Za-z0-9_.-]*\.png' "$top/README.md" | sort -u)
[ -n "$pictures" ] || { echo "README.md shows no picture from docs/screenshots"; exit 1; }
for picture in $pictures; do
  name=${picture#docs/screenshots/}
  if ! grep -q "save_screenshot([^;]*\"$name\"" "$top"/tests/e2e/*.cpp; then
    echo "README.md shows $picture, but no real-window test writes $name (save_screenshot)"
    missing=1
  fi
  [ -f "$top/$picture" ] || { echo "README.md shows $picture, which is not in the tree"; missing=1; }
done
exit $missing
