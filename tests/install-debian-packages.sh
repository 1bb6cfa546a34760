#!/usr/bin/env bash
# Installs the Debian packages the test suite needs and the machine lacks; the
# first step of tests/run-all.sh. As root it runs apt-get; otherwise it prints
# the one apt-get line to run as root and exits non-zero. Nothing is done when
# every package is there, and nothing on a system without dpkg (the steps of
# the suite then say what they miss).
set -euo pipefail

# cmake, g++, make and libgtest-dev build and run the tests; clang builds them
# a second time, and with libclang-rt-dev (libFuzzer) the fuzz targets;
# clang-format checks the layout of the code; dpkg-dev and file let cpack find
# the Debian package's dependencies (dpkg-shlibdeps); groff-base renders the
# manual page in its test; valgrind counts the tool's instructions per cell;
# zlib1g-dev lets the tool read and write gzip grids; parallel (GNU parallel)
# runs the README's recipe for many tiles in its test.
required=(cmake g++ make zlib1g-dev libgtest-dev clang libclang-rt-dev clang-format dpkg-dev file groff-base valgrind
  parallel)
# The Windows step, optional (should they not install, tests/run-windows.sh is
# skipped with a banner): the MinGW-w64 cross compiler (its POSIX threads
# variant), its static zlib, Wine (wine gives the "wine" command, wine64 the
# 64-bit loader), and wixl and msitools (msibuild, msiinfo), which build the
# installer and read its product code.
windows=(g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine wine64 wixl msitools)
# The GDAL step, optional too (tests/check-gdal.sh is skipped with a banner
# without it): gdalinfo and gdal_translate read the tool's outputs.
gdal=(gdal-bin)
# The ARM step's packages are installed by tests/run-aarch64.sh itself: the
# arm64 ones need that architecture added to dpkg first, which no other step
# needs.

if ! command -v dpkg-query >/dev/null 2>&1; then
  echo "packages: not a Debian system, nothing installed; the suite needs ${required[*]} or their equivalents"
  exit 0
fi

missing() {
  local package
  for package in "$@"; do
    [ "$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null)" = "install ok installed" ] || echo "$package"
  done
}
mapfile -t missing_required < <(missing "${required[@]}")
mapfile -t missing_windows < <(missing "${windows[@]}")
mapfile -t missing_gdal < <(missing "${gdal[@]}")
all_missing=("${missing_required[@]}" "${missing_windows[@]}" "${missing_gdal[@]}")
[ "${#all_missing[@]}" -gt 0 ] || exit 0

if [ "$(id -u)" != 0 ]; then
  line="apt-get update && apt-get install -y --no-install-recommends ${all_missing[*]}"
  if [ "${#missing_required[@]}" -gt 0 ]; then
    echo "packages: the tests need ${missing_required[*]}; as root, run:" >&2
    echo "  $line" >&2
    exit 1
  fi
  [ "${#missing_windows[@]}" -eq 0 ] ||
    echo "WARNING: ${missing_windows[*]} not installed (needs root: $line); the Windows step of the tests will be skipped"
  [ "${#missing_gdal[@]}" -eq 0 ] ||
    echo "WARNING: ${missing_gdal[*]} not installed (needs root: $line); the GDAL step of the tests will be skipped"
  exit 0
fi

export DEBIAN_FRONTEND=noninteractive
updated=false
if [ "${#missing_required[@]}" -gt 0 ]; then
  apt-get update
  updated=true
  apt-get install -y --no-install-recommends "${missing_required[@]}"
fi
# Each optional list on its own, so that one that cannot be installed leaves
# the other's step to run.
install_optional() {
  local step=$1
  shift
  [ $# -gt 0 ] || return 0
  if ! { $updated || { apt-get update && updated=true; }; } || ! apt-get install -y --no-install-recommends "$@"; then
    echo "WARNING: $* could not be installed; the $step step of the tests will be skipped"
  fi
}
install_optional Windows "${missing_windows[@]}"
install_optional GDAL "${missing_gdal[@]}"
