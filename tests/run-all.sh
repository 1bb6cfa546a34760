#!/usr/bin/env bash
# Builds the tool and runs the whole test suite: first the Debian packages the
# suite needs are installed where missing (tests/install-debian-packages.sh),
# then the unit and end-to-end tests of a Release build, its end-to-end tests
# again with the tool held to slower instruction sets, then the instructions
# per cell of its tool against bench/instructions-per-cell.txt, then GDAL
# reading that build's outputs (tests/check-gdal.sh), then the unit and
# end-to-end tests of a build with CELLSCALE_TEST_SMALL_BATCHES, and the
# threads' and end-to-end tests of that build with ThreadSanitizer, then the
# Debian package made from the
# Release build, checked with the end-to-end tests against the
# tool it installs, then the tests of a Clang build, then the end-to-end tests
# against a Windows build under Wine (tests/run-windows.sh), then the
# end-to-end tests against an aarch64 Linux build under qemu
# (tests/run-aarch64.sh), then the same tests of a build with AddressSanitizer
# and UndefinedBehaviorSanitizer, then a short fuzzing run, and last the
# layout check (tests/check-format.sh).
# Every build treats a compiler warning as an error. Stops at the first
# failure.
set -euo pipefail
cd "$(dirname "$0")/.."

jobs=$(nproc 2>/dev/null || echo 2)

echo "== Packages"
bash tests/install-debian-packages.sh

echo "== Release build and tests"
cmake -S . -B build/release -DCMAKE_BUILD_TYPE=Release -DCELLSCALE_BUILD_TESTS=ON -DCELLSCALE_WERROR=ON
cmake --build build/release -j "$jobs"
ctest --test-dir build/release --output-on-failure -j "$jobs"

# The same end-to-end tests with the tool held to slower instruction sets:
# portable takes the plain C++ way of every piece (what an ARM processor
# runs), sse2 the scanner's and the scaling's SSE2 ways, avx2 the four-cell
# formatter, the SSSE3 scanner and the AVX2 scaling. The run above took the
# best the processor has; a set it lacks is run as the best it has.
for set in portable sse2 avx2; do
  echo "== End-to-end tests with the tool held to $set instructions"
  CELLSCALE_INSTRUCTION_SET=$set ctest --test-dir build/release --output-on-failure -j "$jobs" -L tool
done

# Instructions per cell of the Release tool, counted by callgrind (the same on
# every run, however busy the machine), against bench/instructions-per-cell.txt:
# a pair that rises more than 10% above its figure fails. Counted on the
# recorded figures' own 1000 x 1000 cells (a few seconds): on fewer, the part
# of each count that does not grow with the cells weighs more, and d->d came
# out 9% above its figure on 300 x 300.
echo "== Instructions per cell (callgrind)"
bash bench/instructions.sh --tool build/release/cellscale --check bench/instructions-per-cell.txt

# GDAL reads every output format of the Release tool as a GIS user opens it;
# skipped with a banner where gdal-bin is missing, as the Windows step is.
echo "== GDAL reads the outputs (tests/check-gdal.sh)"
bash tests/check-gdal.sh build/release/cellscale

# A build whose tool and tests take every grid through the threads (two
# workers, whatever the grid and the processors) in batches of three cells
# and text pieces of five characters, so that batch edges fall inside rows,
# at their ends, on their first cells and inside numbers: its unit tests and
# its end-to-end tests. The memory check of 20 million cells is left out: a
# handover every three cells takes minutes there, and the other builds check
# the bound.
echo "== Small-batch build: unit and end-to-end tests through the threads in tiny batches"
cmake -S . -B build/small-batches -DCMAKE_BUILD_TYPE=Release -DCELLSCALE_BUILD_TESTS=ON -DCELLSCALE_WERROR=ON \
  -DCELLSCALE_TEST_SMALL_BATCHES=ON
cmake --build build/small-batches -j "$jobs"
ctest --test-dir build/small-batches --output-on-failure -j "$jobs" -E PeakMemoryDoesNotGrowWithTheNumberOfRows

# The same build with ThreadSanitizer: the ring's unit tests (0 to 8
# workers, compressing threads, failures, a quiet pipe) and the end-to-end
# tests, every grid crossing the threads in tiny batches, so that a data
# race between the workers and the run's thread has every chance to show;
# any report fails the test. The fault injection is left out: its preloaded
# allocator and the sanitizer's own cannot both be the process's.
echo "== ThreadSanitizer build: the threads' unit tests and the end-to-end tests"
cmake -S . -B build/thread-sanitizer -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELLSCALE_BUILD_TESTS=ON \
  -DCELLSCALE_WERROR=ON -DCELLSCALE_TEST_SMALL_BATCHES=ON -DCELLSCALE_THREAD_SANITIZER=ON
cmake --build build/thread-sanitizer -j "$jobs" --target cellscale threads_test command_line_run_test \
  text_grid_run_test binary_grid_run_test examples_run_test large_grid_run_test truncation_sweep_test \
  write_fault_test long_run_memory_test
ctest --test-dir build/thread-sanitizer --output-on-failure -j "$jobs" -L 'tool|threads' \
  -E 'PeakMemoryDoesNotGrowWithTheNumberOfRows|FaultInjection|NOT_BUILT'

echo "== Debian package: build, unpack and test the installed tool"
bash tests/check-package.sh build/release

# The second compiler: its warnings differ from GCC's (-Wconversion also
# covers sign changes), and so may its reading of the code.
echo "== Clang build and tests"
cmake -S . -B build/clang -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=Release -DCELLSCALE_BUILD_TESTS=ON \
  -DCELLSCALE_WERROR=ON
cmake --build build/clang -j "$jobs"
ctest --test-dir build/clang --output-on-failure -j "$jobs"

bash tests/run-windows.sh

# The ARM step installs its own packages: they are of the arm64 architecture,
# which it adds to dpkg.
bash tests/run-aarch64.sh

# Every report of the sanitizers ends the process that made it, and the
# end-to-end tests fail on anything the tool writes to standard error.
echo "== Sanitizer build (AddressSanitizer, UndefinedBehaviorSanitizer) and tests"
cmake -S . -B build/sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCELLSCALE_SANITIZE=ON -DCELLSCALE_BUILD_TESTS=ON \
  -DCELLSCALE_WERROR=ON
cmake --build build/sanitize -j "$jobs"
ctest --test-dir build/sanitize --output-on-failure -j "$jobs"

# Fuzzing, briefly: the start corpora and every kept regression are replayed,
# then each libFuzzer target and the whole-process fuzzer run for a few seconds.
seconds=${CELLSCALE_FUZZ_SECONDS:-10}
echo "== Fuzzing (fuzz/run.sh, $seconds s per target)"
bash fuzz/run.sh "$seconds"

# Last, so that a layout slip never hides the result of a test.
echo "== Layout (clang-format)"
bash tests/check-format.sh
