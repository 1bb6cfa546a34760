#!/usr/bin/env bash
# Builds the tool and runs the whole test suite: the unit and end-to-end tests
# of a Release build, then the Debian package made from that build, checked
# with the end-to-end tests against the tool it installs, then the end-to-end
# tests against a Windows build under Wine (tests/run-windows.sh). Stops at
# the first failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

echo "== Release build and tests"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

echo "== Debian package: build, unpack and test the installed tool"
bash tests/check-package.sh build/release

bash tests/run-windows.sh
