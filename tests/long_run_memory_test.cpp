// A long grid streams through in the memory of a short one: for every input
// and output format, 20000 rows of 1000 cells take no more peak memory than
// 200 rows of the same width (the tool's peak resident size, as the kernel
// reports it, within 3 MiB: a binary output's run that finds a processor
// free takes the statistics thread and its 2 MiB, which the other run, on a
// busier machine, may not).

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/run_case.h"

namespace {

using namespace cellscale::testing;

constexpr int kColumns = 1000;
constexpr int kShortRows = 200;
constexpr int kLongRows = 20000;
constexpr long kToleranceKib = 3072;

// The cells of row r: varied values, a few of them nodata.
std::vector<double> row_cells(int r) {
  std::vector<double> cells(kColumns);
  for (int c = 0; c < kColumns; ++c)
    cells[static_cast<std::size_t>(c)] = (c + r) % 97 == 0 ? -9999 : (c * 7 + r) % 1000 * 0.25;
  return cells;
}

// Writes the grid row by row, so that the test itself stays small.
void write_grid(const std::filesystem::path& path, const Format& format, int rows) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << (format.width == 0
               ? text_header(std::to_string(kColumns), std::to_string(rows), "0", "0", "1", "-9999")
               : binary_grid(format.width, {kColumns, double(rows), 0, 0, 1, -9999}, {0, 0, 0, 0, 0, 0}, {}));
  for (int r = 0; r < rows; ++r) {
    file << (format.width == 0 ? text_grid("", row_cells(r), kColumns) : binary_grid(format.width, {}, row_cells(r)));
  }
  if (!file) throw std::runtime_error("cannot write " + path.string());
}

// AddressSanitizer keeps the frames of the tool's calls in a ring of its own
// (detect_stack_use_after_return) that fills as calls go on: bounded, a few
// MiB, but larger after 20000 rows than after 200. The measured runs go
// without it; every other test runs with it.
std::vector<std::string> measuring_environment() {
  const char* set = std::getenv("ASAN_OPTIONS");
  return {"ASAN_OPTIONS=" + std::string(set != nullptr ? set : "") + ":detect_stack_use_after_return=0"};
}

long peak_of_run(const ScratchFolder& folder, const std::string& input, const Format& out, int rows) {
  const RunOptions options = {.timeout_seconds = 300,
                              .measure_peak_memory = true,
                              .environment = measuring_environment()};
  const ToolResult result = run_tool(folder.path(), {input, "out", out.option}, "1.5\n", options);
  expect_ended(result, run_output(rows), 0);
  // The whole grid was written: the header and every row.
  const std::uintmax_t size = std::filesystem::file_size(folder / "out");
  if (out.width > 0) {
    const auto cells = static_cast<std::uintmax_t>(kColumns) * static_cast<std::uintmax_t>(rows);
    EXPECT_EQ(size, static_cast<std::uintmax_t>(out.width) * (12 + cells));
  } else {
    EXPECT_GT(size, static_cast<std::uintmax_t>(rows) * kColumns * 2);
  }
  std::filesystem::remove(folder / "out");
  EXPECT_GT(result.peak_memory_kib, 0);
  return result.peak_memory_kib;
}

TEST(LongRun, PeakMemoryDoesNotGrowWithTheNumberOfRows) {
  if (target_is_windows()) GTEST_SKIP() << "under Wine the peak measured is Wine's process, not the tool's alone";
  ScratchFolder folder;
  for (const Format& in : kFormats) {
    write_grid(folder / "short", in, kShortRows);
    write_grid(folder / "long", in, kLongRows);
    for (const Format& out : kFormats) {
      SCOPED_TRACE(std::string(in.name) + " to " + out.name);
      const long short_peak = peak_of_run(folder, "short", out, kShortRows);
      const long long_peak = peak_of_run(folder, "long", out, kLongRows);
      std::printf("peak memory, %s to %s: %ld KiB for %d rows, %ld KiB for %d rows\n", in.name, out.name, short_peak,
                  kShortRows, long_peak, kLongRows);
      EXPECT_LE(long_peak, short_peak + kToleranceKib);
    }
  }
}

}  // namespace

// The measure sees what the tool holds: a header word of 8 MiB has to be
// kept whole while it is read, and the peak shows it.
TEST(LongRun, PeakMemoryShowsATokenHeldWhole) {
  if (target_is_windows()) GTEST_SKIP() << "under Wine the peak measured is Wine's process, not the tool's alone";
  ScratchFolder folder;
  const std::string rest = "\nnrows 1\nx 0\ny 0\nc 1\nn -9999\n1 2 3\n";
  write_file(folder / "plain.asc", "ncols 3" + rest);
  write_file(folder / "long_word.asc", "ncols" + std::string(8 << 20, 'x') + " 3" + rest);
  const RunOptions options = {.measure_peak_memory = true};
  const ToolResult plain = run_tool(folder.path(), {"plain.asc", "out"}, "1\n", options);
  const ToolResult long_word = run_tool(folder.path(), {"long_word.asc", "out"}, "1\n", options);
  ASSERT_EQ(plain.status, 0);
  ASSERT_EQ(long_word.status, 0);
  EXPECT_GT(long_word.peak_memory_kib, plain.peak_memory_kib + 8 * 1024)
      << plain.peak_memory_kib << " KiB, " << long_word.peak_memory_kib << " KiB";
}
