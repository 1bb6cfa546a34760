#!/usr/bin/env bash
# The ARM step of the test suite: cross-builds cellscale for 64-bit ARM Linux
# (aarch64) with Debian's cross compiler into build/aarch64, and runs the
# end-to-end tests of the Linux build (build/release, made first by
# tests/run-all.sh) against it under qemu's user-mode emulation, then the unit
# tests of the number text, the cell text and the statistics built for it.
# There the tool takes its portable paths (no SSE or AVX), and its char is
# unsigned.
# As root on Debian it installs what it lacks first: the cross compiler, qemu,
# and Debian's arm64 zlib and C++ library (packages of a foreign architecture,
# which need arm64 added to dpkg's architectures).
# Skipped, with a banner saying why, only when one of those cannot be had;
# otherwise it must pass.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

skip() {
  echo "############################################################"
  echo "ARM (AARCH64) STEP SKIPPED: $*"
  echo "############################################################"
  exit 0
}

arm_libraries=/usr/lib/aarch64-linux-gnu
packages_line="dpkg --add-architecture arm64 && apt-get update && apt-get install -y \\
  --no-install-recommends g++-aarch64-linux-gnu qemu-user zlib1g-dev:arm64 libstdc++6:arm64"

find_qemu() { command -v qemu-aarch64 || command -v qemu-aarch64-static || true; }

[ "$(uname -m)" != aarch64 ] || skip "this machine is aarch64 itself: the Release build's tests ran on ARM already"

# What is missing, by the command or file the step uses, so that an
# equivalent installed another way (qemu-user-static, say) is taken as it is.
missing=()
command -v aarch64-linux-gnu-g++ >/dev/null || missing+=(g++-aarch64-linux-gnu)
[ -n "$(find_qemu)" ] || missing+=(qemu-user)
[ -f "$arm_libraries/libz.so" ] || missing+=(zlib1g-dev:arm64)
[ -f "$arm_libraries/libstdc++.so.6" ] || missing+=(libstdc++6:arm64)

if [ "${#missing[@]}" -gt 0 ] && command -v dpkg >/dev/null && [ "$(id -u)" = 0 ]; then
  echo "== ARM step: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  # dpkg takes the arm64 packages only once that architecture is added, and
  # apt lists them only after an update.
  added_architecture=false
  if [[ " ${missing[*]} " == *":arm64 "* ]] && ! grep -qx arm64 <<<"$(dpkg --print-foreign-architectures)"; then
    dpkg --add-architecture arm64
    added_architecture=true
  fi
  if ! { apt-get update && apt-get install -y --no-install-recommends "${missing[@]}"; }; then
    echo "WARNING: ${missing[*]} could not be installed"
    # A machine whose package sources serve no arm64 is left as it was (dpkg
    # refuses this while any arm64 package is installed).
    ! $added_architecture || dpkg --remove-architecture arm64 2>/dev/null || true
  fi
fi

command -v aarch64-linux-gnu-g++ >/dev/null ||
  skip "no aarch64 cross compiler (Debian, as root: $packages_line)"
qemu=$(find_qemu)
[ -n "$qemu" ] || skip "no qemu-aarch64 (Debian, as root: $packages_line)"
for library in libz.so libstdc++.so.6; do
  [ -f "$arm_libraries/$library" ] || skip "no arm64 $library in $arm_libraries (Debian, as root: $packages_line)"
done

echo "== ARM (aarch64) cross build"
# A warning that only the ARM compiler gives is a portability fault: it fails the step.
# The toolchain is named when the build folder is made (CMake ignores it later).
toolchain=()
[ -f build/aarch64/CMakeCache.txt ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake)
cmake -S . -B build/aarch64 "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DCELLSCALE_BUILD_TESTS=OFF \
  -DCELLSCALE_WERROR=ON
cmake --build build/aarch64 -j "$jobs"
tool="$PWD/build/aarch64/cellscale"
# A build folder made before without the toolchain would hold a host program.
aarch64-linux-gnu-readelf -h "$tool" | grep -q 'Machine: *AArch64' ||
  { echo "build/aarch64/cellscale is not an aarch64 program: remove build/aarch64" >&2; exit 1; }

[ -f build/release/CTestTestfile.cmake ] || { echo "no Linux build in build/release: build it first" >&2; exit 1; }

echo "== End-to-end tests of the aarch64 tool under $qemu"
# The tool runs on Debian's arm64 loader and libraries, as on an arm64
# Debian machine, not on the cross compiler's copies under
# /usr/aarch64-linux-gnu (QEMU_LD_PREFIX): its loader with the arm64 C
# library that the arm64 zlib brings in are two different builds of glibc,
# and pthread_create then loops for ever on a reused thread stack.
unset QEMU_LD_PREFIX
export CELLSCALE_LAUNCHER="$qemu"
export CELLSCALE_TOOL="$tool"
# One run first, so that a tool qemu cannot start fails with its own message.
usage=$("$qemu" "$tool" </dev/null 2>&1 || true)
[[ "$usage" == *"usage : cellscale"* ]] || { printf 'qemu cannot run the tool:\n%s\n' "$usage" >&2; exit 1; }
# Only the end-to-end tests (label "tool"): the unit tests check the library
# in-process on this machine. The fault injection is left out: it preloads an
# x86-64 library, which would go into qemu itself and fail qemu's calls, not
# the tool's. The peak memory measures stay: what they read is qemu's
# process, whose own part (some 16 MiB) does not grow with the rows, and which
# holds the tool's memory, so a tool whose memory grows still fails them.
ctest --test-dir build/release -L tool --output-on-failure -j "$jobs" -E FaultInjection
echo "== ARM (aarch64) end-to-end tests passed"

# The unit tests of the number text, the cell text and the statistics, built
# by the ARM compiler and run under qemu: there the formatter, the scanner
# and the statistics take their portable ways (the tests of the other
# instruction sets report themselves skipped) over the same sweeps as on
# x86-64. They need Debian's arm64 GoogleTest; where it cannot be had, they
# are left out with a warning and the end-to-end tests above stand alone.
if [ ! -f "$arm_libraries/libgtest.a" ] && command -v apt-get >/dev/null && [ "$(id -u)" = 0 ]; then
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends libgtest-dev:arm64 ||
    echo "WARNING: libgtest-dev:arm64 could not be installed"
fi
if [ ! -f "$arm_libraries/libgtest.a" ]; then
  echo "WARNING: ARM unit tests left out: no arm64 GoogleTest (Debian, as root: apt-get install libgtest-dev:arm64)"
  exit 0
fi
echo "== ARM (aarch64) unit tests of the number text, cell text and statistics under $qemu"
unit_tests=(cell_format_test cell_format_equivalence_test number_text_test cell_stats_test)
# The tests are listed when they run, through qemu, not when they are built.
[ -f build/aarch64-tests/CMakeCache.txt ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/aarch64-linux-gnu.cmake)
cmake -S . -B build/aarch64-tests "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DCELLSCALE_BUILD_TESTS=ON \
  -DCELLSCALE_WERROR=ON -DCMAKE_CROSSCOMPILING_EMULATOR="$qemu" -DCMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE=PRE_TEST
cmake --build build/aarch64-tests -j "$jobs" --target "${unit_tests[@]}"
for test in "${unit_tests[@]}"; do
  "$qemu" "build/aarch64-tests/tests/$test" --gtest_brief=1
done
echo "== ARM (aarch64) unit tests passed"
