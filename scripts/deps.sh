#!/usr/bin/env bash
# Installs what building and testing the updater needs on a Debian machine:
# the mingw-w64 cross compiler, a native one for the firmware check, Wine,
# CMake, GoogleTest's sources, socat for the virtual null-modem, Xvfb for
# windows without a screen, and the tools the tests compare against. Does
# nothing when everything is there.
set -euo pipefail
packages=(
  cmake ninja-build python3 gcc g++
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  mingw-w64-x86-64-dev googletest
  wine wine64 socat xvfb x11-utils procps util-linux
  srecord imagemagick
  clang libclang-rt-dev
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
