#!/bin/sh
# SPDX-License-Identifier: GPL-3.0-or-later
# A program with a file capability (as deska has, for its board's ports) must
# not load Qt plugins from folders that its environment or options name: the
# plugin code would run with the ports open. Runs init_probe with the
# capability as an unprivileged user, with QT_PLUGIN_PATH,
# QT_QPA_PLATFORM_PLUGIN_PATH and -platformpluginpath naming a folder of ours,
# and Qt's plugin debugging on: Qt must never look into that folder. The same
# run of a copy without the capability must look there, which shows the check
# would see it. Needs root (setcap, setpriv); skipped (77) without them.
# Usage: secure_exec_test.sh <init_probe>
probe=$1
[ "$(id -u)" = 0 ] && command -v setcap >/dev/null && command -v setpriv >/dev/null ||
  { echo "needs root, setcap and setpriv: skipped"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
mkdir -p "$work/plugins/platforms" "$work/option-plugins"
cp "$probe" "$work/probe-capability"
cp "$probe" "$work/probe-plain"
setcap cap_sys_rawio+ep "$work/probe-capability" 2>/dev/null ||
  { echo "this file system keeps no file capabilities: skipped"; exit 77; }

run() {
  setpriv --reuid=65534 --regid=65534 --clear-groups \
    env ASAN_OPTIONS=detect_leaks=0 QT_PLUGIN_PATH="$work/plugins" QT_QPA_PLATFORM_PLUGIN_PATH="$work/plugins/platforms" \
    QT_DEBUG_PLUGINS=1 QT_QPA_PLATFORM=offscreen \
    timeout 20 "$work/$1" -platformpluginpath "$work/option-plugins" 2>&1
}

out=$(run probe-plain) || { echo "the probe without the capability failed: $out"; exit 1; }
echo "$out" | grep -q -e "$work/plugins" -e "$work/option-plugins" ||
  { echo "without the capability Qt did not look into the named folders; the check sees nothing"; exit 1; }

out=$(run probe-capability) || { echo "the probe with the capability failed: $out"; exit 1; }
if echo "$out" | grep -e "$work/plugins" -e "$work/option-plugins"; then
  echo "with the capability Qt looked into a plugin folder the environment or an option named"
  exit 1
fi
exit 0
