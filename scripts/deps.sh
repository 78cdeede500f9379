#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian 12 packages LabBench needs to build, run and test.
# Runs apt-get only when a package is missing, so repeated runs are quick.
set -euo pipefail
packages=(
  build-essential dpkg-dev file cmake ninja-build pkg-config
  qt6-base-dev qt6-charts-dev qt6-svg-dev qt6-tools-dev qt6-qpa-plugins libqt6opengl6-dev libgl-dev libxkbcommon-dev
  libxcb1-dev libxcb-damage0-dev libcap-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  clang clang-format libclang-rt-14-dev
  xvfb xdotool xclip x11-utils imagemagick
  locales fonts-dejavu-core
  lintian appstream desktop-file-utils man-db debhelper locales-all
  python3-pyvisa python3-pyvisa-py python3-numpy python3-pandas
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  echo "Installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
# A comma-decimal locale for the tests that prove instrument and panel texts keep a decimal point.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf8$'; then
  sudo=""
  [ "$(id -u)" = 0 ] || sudo="sudo"
  $sudo sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/; s/^# *\(cs_CZ.UTF-8 UTF-8\)/\1/' /etc/locale.gen
  $sudo locale-gen >/dev/null
fi
