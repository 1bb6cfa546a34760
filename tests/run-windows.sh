#!/usr/bin/env bash
# The Windows step of the test suite: cross-builds a static cellscale.exe with
# the MinGW-w64 compiler into build/windows and runs the end-to-end tests of
# the Linux build (build/release, made first by tests/run-all.sh) against it
# under Wine. Skipped, with a banner saying why, only when the cross compiler
# or Wine is missing; otherwise it must pass.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

skip() {
  echo "############################################################"
  echo "WINDOWS STEP SKIPPED: $*"
  echo "############################################################"
  exit 0
}

if ! command -v x86_64-w64-mingw32-g++-posix >/dev/null && ! command -v x86_64-w64-mingw32-g++ >/dev/null; then
  skip "no MinGW-w64 cross compiler (Debian: apt-get install g++-mingw-w64-x86-64-posix)"
fi
# Debian's wine package gives the "wine" command; wine64 alone leaves its
# loader in /usr/lib/wine.
wine=""
for candidate in wine wine64 /usr/lib/wine/wine64; do
  if command -v "$candidate" >/dev/null; then
    wine=$(command -v "$candidate")
    break
  fi
done
[ -n "$wine" ] || skip "no Wine (Debian: apt-get install wine wine64)"

echo "== Windows cross build (MinGW-w64)"
# A warning that only the Windows compiler gives is a portability fault: it fails the step.
# The toolchain is named when the build folder is made (CMake ignores it later).
toolchain=()
[ -f build/windows/CMakeCache.txt ] || toolchain=(-DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
cmake -S . -B build/windows "${toolchain[@]}" -DCMAKE_BUILD_TYPE=Release -DCELLSCALE_BUILD_TESTS=OFF \
  -DCELLSCALE_WERROR=ON
cmake --build build/windows -j "$jobs"

[ -f build/release/CTestTestfile.cmake ] || { echo "no Linux build in build/release: build it first" >&2; exit 1; }

echo "== End-to-end tests of build/windows/cellscale.exe under Wine ($wine)"
# A private Wine prefix in the build folder, without a display, the .NET and
# HTML engines (their installers are not needed by a console program) or
# Wine's own messages.
export WINEPREFIX="$PWD/build/windows/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# The Wine server stays up for the whole step, so that each run of the tool
# starts quickly, and is ended with it; the first start sets the prefix up.
mkdir -p "$WINEPREFIX"
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver)
"$wineserver" -p || true  # already up for this prefix
trap '"$wineserver" -k || true' EXIT
timeout 300 "$wine" wineboot --init

export CELLSCALE_LAUNCHER="$wine"
export CELLSCALE_TOOL="$PWD/build/windows/cellscale.exe"
export CELLSCALE_TARGET=windows
# Only the end-to-end tests (label "tool"): the unit tests check the library
# in-process on Linux and have nothing to do with the Windows build.
ctest --test-dir build/release -L tool --output-on-failure -j "$jobs" --timeout 300
echo "== Windows end-to-end tests passed"
