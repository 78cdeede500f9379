#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian packages, end to end: builds them with scripts/package.sh
# (dpkg-buildpackage on a clean copy of the source tree, without running the
# suite again: it ran already), checks their control data and that apt would
# install the package here, and has Debian's checkers judge them: lintian on the
# .changes (source and binary packages), appstreamcli on the AppStream metadata,
# desktop-file-validate on the menu entries and man on the manual pages; any
# error or warning fails the test. No file in the packages may name the folder
# they were built in. Then it unpacks the package into a scratch root and starts
# each program from there on the simulated bench through labbench-sim,
# offscreen, and runs the post-install script against stand-in setcap commands.
# With LABBENCH_PACKAGE_TWICE=1 it builds the packages a second time, later, in
# another folder, with another time zone, umask and locale, and requires every
# .deb to be the same bit for bit (a second full compile of the programs).
# Usage: package_test.sh <source dir> <scratch dir>
set -u
source=$1
work=$2
. "$(dirname "$0")/../support/checks.sh"
rm -rf "$work"
mkdir -p "$work"

# ---- Build ------------------------------------------------------------------
# build FOLDER [VARIABLE=value... [command]]: the packages, without the suite, in
# FOLDER; scripts/package.sh runs with those variables set, through the command.
build() {
  local out=$1 started=$SECONDS
  shift
  if ! env DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" LABBENCH_PACKAGE_DIR="$out" "$@" \
       "$source/scripts/package.sh" -Pnocheck >"$out.log" 2>&1; then
    echo "FAIL: scripts/package.sh could not build the packages in $out:"
    tail -n 60 "$out.log"
    exit 1
  fi
  echo "built in $out in $((SECONDS - started)) s"
}
build "$work/pkg"
version=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Version)
for result in labbench_"$version".dsc labbench_"$version".tar.xz labbench_"$version"_*.deb \
              labbench-dbgsym_"$version"_*.deb labbench_"$version"_*.buildinfo \
              labbench_"$version"_*.changes; do
  # shellcheck disable=SC2086 # the architecture is a pattern
  ls "$work"/pkg/$result >/dev/null 2>&1 || fail "the build made no $result in $work/pkg"
done
deb=$(ls "$work"/pkg/labbench_"$version"_*.deb 2>/dev/null | head -1)
changes=$(ls "$work"/pkg/labbench_"$version"_*.changes 2>/dev/null | head -1)
[ -n "$deb" ] && [ -n "$changes" ] || { echo "FAIL: no package to test"; exit 1; }
echo "package: $deb"

# ---- Control data -------------------------------------------------------------
[ "$(dpkg-deb -f "$deb" Package)" = labbench ] || fail "package name is not labbench"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] \
  || fail "the package's version $(dpkg-deb -f "$deb" Version) is not debian/changelog's $version"
depends=$(dpkg-deb -f "$deb" Depends)
for needed in libqt6widgets6 libqt6charts6 qt6-qpa-plugins libcap2-bin; do
  case "$depends" in *"$needed"*) ;; *) fail "Depends lacks $needed: $depends" ;; esac
done
mkdir -p "$work/control"
dpkg-deb -e "$deb" "$work/control"
[ -x "$work/control/postinst" ] || fail "the package has no executable postinst"
# apt resolves the package's dependencies from this machine's sources (no change made);
# --reinstall, so that a LabBench installed here already does not hide the answer.
if [ "$(id -u)" = 0 ]; then
  if ! apt-get install --simulate --reinstall "$deb" >"$work/apt.log" 2>&1 ||
     ! grep -q '^Inst labbench' "$work/apt.log"; then
    fail "apt-get would not install the package:"
    cat "$work/apt.log"
  fi
fi

# ---- Debian's checkers -----------------------------------------------------------
# Each prints one line per finding; errors (E:) and warnings (W:) fail the test,
# information (I:) and pedantic (P:) notes do not.
for tool in lintian appstreamcli desktop-file-validate man; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (scripts/deps.sh installs it)"
done
if command -v lintian >/dev/null; then
  # The source package and every binary package the .changes lists. lintian's
  # own notice about running as root is no finding; the pedantic and
  # informational notes are shown.
  lintian --fail-on none --pedantic --info "$changes" 2>&1 |
    grep -v 'running with root privileges' >"$work/lintian.log"
  if grep -q '^[EW]: ' "$work/lintian.log"; then
    fail "lintian finds errors or warnings:"
    cat "$work/lintian.log"
  elif [ -s "$work/lintian.log" ]; then
    echo "lintian's notes:"
    cat "$work/lintian.log"
  fi
fi

root=$work/root
dpkg-deb -x "$deb" "$root"
metainfo=$(ls "$root"/usr/share/metainfo/*.metainfo.xml 2>/dev/null)
[ -n "$metainfo" ] || fail "the package has no AppStream metadata in /usr/share/metainfo"
if [ -n "$metainfo" ] && command -v appstreamcli >/dev/null; then
  # shellcheck disable=SC2086 # one argument per file
  appstreamcli validate --no-net --no-color $metainfo >"$work/appstream.log" 2>&1
  if grep -q '^ *[EW]: ' "$work/appstream.log"; then
    fail "appstreamcli finds errors or warnings:"
    cat "$work/appstream.log"
  fi
fi
if command -v desktop-file-validate >/dev/null; then
  # It prints nothing for a valid entry (hints only with --warn-kde or --no-hints off).
  desktop-file-validate "$root"/usr/share/applications/*.desktop >"$work/desktop.log" 2>&1
  if grep -q 'error:\|warning:' "$work/desktop.log"; then
    fail "desktop-file-validate finds errors or warnings:"
    cat "$work/desktop.log"
  fi
  for entry in "$root"/usr/share/applications/*.desktop; do
    grep -q '^Keywords=.' "$entry" || fail "$(basename "$entry") has no Keywords"
    grep -q '^StartupWMClass=labbench-' "$entry" || fail "$(basename "$entry") has no StartupWMClass"
  done
fi
# Every program in /usr/bin has its manual page, and man renders each without a warning.
for program in "$root"/usr/bin/*; do
  page=$root/usr/share/man/man1/$(basename "$program").1.gz
  [ -f "$page" ] || fail "$(basename "$program") has no manual page (/usr/share/man/man1/$(basename "$page"))"
done
for page in "$root"/usr/share/man/man*/*; do
  [ -f "$page" ] || continue
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -E UTF-8 -l "$page" 2>&1 >/dev/null)
  [ -z "$warnings" ] || fail "man warns about $(basename "$page"): $warnings"
done

# ---- Files --------------------------------------------------------------------
for file in usr/bin/generator usr/bin/deska usr/bin/labbench-sim \
            usr/share/labbench/generator.uir usr/share/labbench/deska.uir \
            usr/share/applications/labbench-generator.desktop usr/share/applications/labbench-deska.desktop \
            usr/share/applications/labbench-sim-generator.desktop usr/share/applications/labbench-sim-deska.desktop \
            usr/share/icons/hicolor/scalable/apps/labbench-generator.svg \
            usr/share/icons/hicolor/scalable/apps/labbench-deska.svg; do
  [ -e "$root/$file" ] || fail "the package lacks /$file"
done
for file in usr/share/doc/labbench/copyright usr/share/doc/labbench/changelog.gz \
            usr/share/doc/labbench/NEWS.gz; do
  [ -e "$root/$file" ] || fail "the package lacks /$file"
done
# The libraries loaded at run time live in a private folder, off the linker's path.
for library in "$root"/usr/lib/*.so* "$root"/usr/lib/*/*.so*; do
  [ -e "$library" ] && fail "${library#"$root"} is in a public library folder"
done
for library in liblabbench_sim_gpib.so liblabbench_sim_board.so; do
  [ -n "$(find "$root/usr/lib" -path "*/labbench/$library")" ] || fail "the package lacks $library under /usr/lib/<arch>/labbench"
done
for entry in "$root"/usr/share/applications/*.desktop; do
  exec_line=$(sed -n 's/^Exec=//p' "$entry")
  [ -x "$root/usr/bin/${exec_line%% *}" ] || fail "$(basename "$entry"): Exec=$exec_line names no installed program"
done

# ---- labbench-sim's own command line ---------------------------------------------
sim=$root/usr/bin/labbench-sim
"$sim" --help >"$work/sim.out" 2>&1 || fail "labbench-sim --help failed: $(cat "$work/sim.out")"
grep -q '^Usage: labbench-sim' "$work/sim.out" || fail "labbench-sim --help prints no usage: $(cat "$work/sim.out")"
sim_version=$("$sim" --version 2>&1) || fail "labbench-sim --version failed: $sim_version"
[ "$sim_version" = "labbench-sim (LabBench) $version" ] \
  || fail "labbench-sim --version prints '$sim_version', not the package's version $version"
"$sim" --frobnicate >"$work/sim.out" 2>&1
[ $? -eq 2 ] || fail "labbench-sim --frobnicate did not end with status 2"
grep -q "unknown argument '--frobnicate'" "$work/sim.out" || fail "labbench-sim --frobnicate: $(cat "$work/sim.out")"

# ---- The programs start from the unpacked package -----------------------------
export QT_QPA_PLATFORM=offscreen
export XDG_RUNTIME_DIR=$work/runtime
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
export BENCH_SIM_STATE=$work/bench.state
export GPIB_SIM_LOG=$work/gpib.log
unset GPIB_LIBRARY PORTIO_LIBRARY GPIB_TRACE PORTIO_TRACE BOARD_SIM_ABSENT

# Starts `labbench-sim <program>`, waits until `ready` (a shell test) holds, checks
# the program is still running, then ends it.
# Options for labbench-sim itself may follow.
start_and_stop() {
  local program=$1 ready=$2
  shift 2
  "$root/usr/bin/labbench-sim" "$@" "$program" >"$work/$program.out" 2>&1 &
  local pid=$! waited=0
  until eval "$ready"; do
    if ! kill -0 "$pid" 2>/dev/null; then
      wait "$pid"
      fail "$program ended (status $?) instead of running; its output:"
      cat "$work/$program.out"
      return
    fi
    if [ "$waited" -ge 300 ]; then
      fail "$program did not get ready within 30 s ($ready); its output:"
      cat "$work/$program.out"
      kill -KILL "$pid"
      wait "$pid" 2>/dev/null
      return
    fi
    sleep 0.1
    waited=$((waited + 1))
  done
  kill -0 "$pid" 2>/dev/null || fail "$program ended after getting ready"
  kill -TERM "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  echo "$program started from the package"
}
# generator: its start-up upload reaches the simulated instrument.
start_and_stop generator 'grep -q "data=\"FUNC:SHAP USER\"" "$GPIB_SIM_LOG" 2>/dev/null'
grep -q '^EnableRemote ' "$GPIB_SIM_LOG" || fail "generator did not address the instrument"
# generator on the socket instrument: the upload reaches labbench-sim-instrument
# through the SCPI link, and ending labbench-sim ends the instrument too.
GPIB_SIM_LOG=$work/socket.log start_and_stop generator \
  'grep -q "FUNC:SHAP USER\\\\n" "$work/socket.log" 2>/dev/null' --socket
instrument=$(sed -n 's/.*serves 127\.0\.0\.1:[0-9]* (pid \([0-9]*\)).*/\1/p' "$work/generator.out")
[ -n "$instrument" ] || fail "labbench-sim --socket did not say where the instrument serves: $(cat "$work/generator.out")"
for _ in $(seq 50); do
  [ -n "$instrument" ] && kill -0 "$instrument" 2>/dev/null || break
  sleep 0.1
done
[ -n "$instrument" ] && kill -0 "$instrument" 2>/dev/null && fail "labbench-sim --socket left its instrument running"
# deska: it does nothing before a run, so it must still be up a few seconds after
# the start (a missing panel file or library ends it at once).
deska_up_since=$(date +%s)
start_and_stop deska '[ $(($(date +%s) - deska_up_since)) -ge 3 ]'
if grep -qi 'error\|cannot\|not found' "$work/deska.out" "$work/generator.out"; then
  fail "a program reported a problem:"
  cat "$work/deska.out" "$work/generator.out"
fi

# ---- The post-install script ----------------------------------------------------
# It gives /usr/bin/deska the port and real-time capabilities through setcap, as
# the README says, and must succeed
# whether setcap works, fails (no file capabilities here), or is missing.
fake=$work/fakebin
mkdir -p "$fake"
cat >"$fake/setcap" <<EOF
#!/bin/sh
echo "\$@" >"$work/setcap.args"
exit \${FAKE_SETCAP_STATUS:-0}
EOF
chmod +x "$fake/setcap"
PATH=$fake:/usr/bin:/bin sh "$work/control/postinst" configure >"$work/postinst.out" 2>&1 \
  || fail "postinst failed with a working setcap: $(cat "$work/postinst.out")"
[ "$(cat "$work/setcap.args" 2>/dev/null)" = "cap_sys_rawio,cap_sys_nice+ep /usr/bin/deska" ] \
  || fail "postinst did not run 'setcap cap_sys_rawio,cap_sys_nice+ep /usr/bin/deska' (ran: $(cat "$work/setcap.args" 2>/dev/null))"
grep -q 'sudo setcap cap_sys_rawio,cap_sys_nice+ep /usr/bin/deska' "$source/README.md" \
  || fail "the README does not give the capabilities that postinst gives"
FAKE_SETCAP_STATUS=1 PATH=$fake:/usr/bin:/bin sh "$work/control/postinst" configure >"$work/postinst.out" 2>&1 \
  || fail "postinst failed when setcap failed"
grep -q 'deska(1)' "$work/postinst.out" || fail "postinst does not point at deska(1) when setcap fails"
rm -f "$work/setcap.args"
mkdir -p "$work/nosetcap"
for tool in sh echo; do ln -sf "$(command -v $tool)" "$work/nosetcap/$tool"; done
PATH=$work/nosetcap sh "$work/control/postinst" configure >"$work/postinst.out" 2>&1 \
  || fail "postinst failed without setcap: $(cat "$work/postinst.out")"

# ---- Reproducible ----------------------------------------------------------------
# The package's files get debian/changelog's date as their time stamp only when
# they are newer (dpkg-deb clamps them): an entry dated in the future leaves them
# their build times.
released=$(dpkg-parsechangelog -l "$source/debian/changelog" -S Timestamp)
[ "$released" -le "$(date +%s)" ] \
  || fail "debian/changelog's latest entry is dated in the future ($(date -u -d "@$released")): the files would keep their build times"
# No file in the packages names the folder they were built in (it would differ
# from build to build).
dbgsym=$(ls "$work"/pkg/labbench-dbgsym_"$version"_*.deb 2>/dev/null | head -1)
[ -n "$dbgsym" ] && dpkg-deb -x "$dbgsym" "$work/dbgsym"
leaks=$(grep -r -l -a -F "$work/pkg" "$root" "$work/control" "$work/dbgsym" 2>/dev/null)
[ -z "$leaks" ] || fail "files in the packages name the build folder $work/pkg: $leaks"
if [ "${LABBENCH_PACKAGE_TWICE:-0}" = 1 ]; then
  build "$work/second-build-in-another-folder" TZ=Pacific/Kiritimati LC_ALL=C.UTF-8 \
    sh -c 'umask 0002 && exec "$0" "$@"'
  for first in "$work"/pkg/*.deb; do
    second=$work/second-build-in-another-folder/$(basename "$first")
    if cmp -s "$first" "$second"; then
      echo "reproducible: $(basename "$first") ($(stat -c %s "$first") bytes, sha256 $(sha256sum "$first" | cut -c1-16)...)"
    else
      fail "$(basename "$first") differs between the two builds (compare them with diffoscope)"
    fi
  done
fi

finish "package check(s) failed" "package checks passed"
