# SPDX-License-Identifier: GPL-3.0-or-later
# What the shell tests share, sourced at their start (POSIX sh): fail says what
# failed and counts it, and the test goes on to its next check; finish ends the
# test, with status 1 and the count when any check failed.
failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

# finish <what failed, after the count> <the line when every check passed>
finish() {
  if [ "$failures" -gt 0 ]; then
    echo "$failures $1"
    exit 1
  fi
  echo "$2"
  exit 0
}

# scratch_folder: sets work to a new folder, removed when the test exits.
scratch_folder() {
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
}
