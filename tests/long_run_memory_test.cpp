// A long grid streams through in the memory of a short one: for every input
// and output format, 20000 rows of 1000 cells take no more peak memory than
// 200 rows of the same width (the tool's peak resident size, as the kernel
// reports it, within 3 MiB: a binary output's run that finds a processor
// free takes the statistics thread and its 2 MiB, which the other run, on a
// busier machine, may not). A header word or a cell's number of a GiB is
// read in the memory of a short one.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "support/gzip_bytes.h"
#include "support/reference_grid.h"
#include "support/run_case.h"

namespace {

using namespace cellscale::testing;
namespace reference = cellscale::reference;

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

// A token of a gigabyte, a header word or a cell's number, is read in a few
// MiB, as a short one is: the word is passed over as it streams in, and the
// number keeps only the digits that decide its value. Each grid comes through
// a pipe, and as a gzip file whose members each hold a MiB of the token, so
// that both tokens cross a thousand members; the word is the first one,
// "ncols" and a GiB of s, and the cell after a nodata cell is the midpoint
// between 1 and the next double followed by a GiB of zeros and a 1, which
// only that last digit rounds up. The run must print, write and end exactly
// as the run of the same grid with tokens of a KiB (the reference model's
// prediction), and its peak resident size stay within 64 MiB.
//
// A sanitizer build, whose memory is largely its runtime's, and a tool run
// through a launcher (an emulator, whose own memory the peak holds) are not
// held to the limit, and take tokens of 64 MiB: they run many times slower.
#if defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define CELLSCALE_THREAD_SANITIZED_TESTS 1
#endif
#endif
#if defined(__SANITIZE_THREAD__) || defined(CELLSCALE_THREAD_SANITIZED_TESTS) || defined(CELLSCALE_SANITIZED_TOOL)
constexpr bool kSanitizedTool = true;
#else
constexpr bool kSanitizedTool = false;
#endif
constexpr long kTokenPeakLimitKib = 64 * 1024;

bool tool_runs_by_itself() {
  const char* launcher = std::getenv("CELLSCALE_LAUNCHER");
  return !kSanitizedTool && (launcher == nullptr || *launcher == '\0');
}
// 1 + 2^-53, halfway between 1 and the next double (its exact decimal text).
const std::string kMidpointAboveOne = "1.00000000000000011102230246251565404236316680908203125";

// The grid in its parts: the word's start, the header after the word, the
// cells before the number's run of zeros and after it; the word and the
// number run on for `mib` MiB of s and of zeros.
struct LongTokenGrid {
  std::string word_start = "ncols";
  std::string after_word =
      " 3\nnrows 1\nxllcorner 0\nyllcorner 0\ncellsize 1\nnodata_value -9999\n-9999 " + kMidpointAboveOne;
  std::string after_number = "1 2\n";

  std::string with_tokens(std::size_t length) const {
    return word_start + std::string(length, 's') + after_word + std::string(length, '0') + after_number;
  }
};

// Writes the grid with MiB-long tokens into `fifo` on a thread of its own,
// as the tool reads it; stops when the reader goes.
class GridPipeWriter {
 public:
  GridPipeWriter(const std::filesystem::path& fifo, const LongTokenGrid& grid, std::size_t mib)
      : fifo_(fifo), thread_([this, &grid, mib] { write(grid, mib); }) {}
  GridPipeWriter(const GridPipeWriter&) = delete;
  GridPipeWriter& operator=(const GridPipeWriter&) = delete;

  // Waits for the writer, having let it open the pipe first if the tool
  // never did.
  ~GridPipeWriter() {
    const int reader = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (reader >= 0) close(reader);
    thread_.join();
  }

 private:
  void write(const LongTokenGrid& grid, std::size_t mib) {
    const int out = open(fifo_.c_str(), O_WRONLY | O_CLOEXEC);
    if (out < 0) return;
    const std::string ss(std::size_t{1} << 20, 's');
    const std::string zeros(std::size_t{1} << 20, '0');
    bool writing = put(out, grid.word_start);
    for (std::size_t i = 0; writing && i < mib; ++i) writing = put(out, ss);
    writing = writing && put(out, grid.after_word);
    for (std::size_t i = 0; writing && i < mib; ++i) writing = put(out, zeros);
    writing = writing && put(out, grid.after_number);
    close(out);
  }

  static bool put(int out, const std::string& bytes) {
    for (std::size_t done = 0; done < bytes.size();) {
      const ssize_t wrote = ::write(out, bytes.data() + done, bytes.size() - done);
      if (wrote < 0 && errno == EINTR) continue;
      if (wrote <= 0) return false;  // the reader has gone (SIGPIPE is ignored)
      done += static_cast<std::size_t>(wrote);
    }
    return true;
  }

  std::filesystem::path fifo_;
  std::thread thread_;
};

TEST(LongRun, AGigabyteTokenIsReadInTheMemoryOfAShortOne) {
  if (target_is_windows()) GTEST_SKIP() << "the grid comes through a named pipe, which Wine's programs do not open";
  std::signal(SIGPIPE, SIG_IGN);
  const bool measured = tool_runs_by_itself();
  const std::size_t token_mib = measured ? 1024 : 64;
  const LongTokenGrid grid;
  const std::vector<std::string> arguments = {"in", "out", kDouble.option};
  const reference::Prediction expected = reference::predict_run(grid.with_tokens(1024), arguments, "2\n");
  ASSERT_EQ(expected.run.status, 0);
  ASSERT_TRUE(expected.run.file.has_value());
  // The number is rounded up by its last digit.
  ASSERT_EQ(reference::read_binary_grid(8, *expected.run.file, 3).cells,
            (std::vector<double>{-9999, 2 * std::nextafter(1.0, 2.0), 4}));

  // The gzip stream: a member for each MiB of a token, and one for each part between.
  const std::string word_member = gzip_members(std::string(std::size_t{1} << 20, 's'), {}, 1);
  const std::string zeros_member = gzip_members(std::string(std::size_t{1} << 20, '0'), {}, 1);
  std::string gz = gzip_members(grid.word_start);
  for (std::size_t i = 0; i < token_mib; ++i) gz += word_member;
  gz += gzip_members(grid.after_word);
  for (std::size_t i = 0; i < token_mib; ++i) gz += zeros_member;
  gz += gzip_members(grid.after_number);

  const RunOptions options = {.timeout_seconds = 240,
                              .measure_peak_memory = true,
                              .environment = measuring_environment()};
  for (const bool compressed : {false, true}) {
    SCOPED_TRACE(compressed ? "a gzip file" : "a pipe");
    ScratchFolder folder;
    std::optional<GridPipeWriter> writer;
    if (compressed) {
      write_file(folder / "in", gz);
    } else {
      ASSERT_EQ(mkfifo((folder / "in").c_str(), 0600), 0);
      writer.emplace(folder / "in", grid, token_mib);
    }
    const auto start = std::chrono::steady_clock::now();
    const ToolResult result = run_tool(folder.path(), arguments, "2\n", options);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    writer.reset();
    expect_ended(result, expected.run.output, expected.run.status, expected.run.errors);
    EXPECT_EQ(read_file(folder / "out"), *expected.run.file);
    std::printf("a %zu MiB header word and cell through %s: %.1f s, peak memory %ld KiB\n", token_mib,
                compressed ? "a gzip file" : "a pipe", seconds, result.peak_memory_kib);
    if (measured) {
      EXPECT_GT(result.peak_memory_kib, 0);
      EXPECT_LE(result.peak_memory_kib, kTokenPeakLimitKib);
    }
  }
}

}  // namespace

// The measure sees what the tool holds: a row is written only once all its
// cells are there, so that a row of 4 Mi cells, 8 MiB of text, is held
// whole while it is read, and the peak shows it.
TEST(LongRun, PeakMemoryShowsARowHeldWhole) {
  if (target_is_windows()) GTEST_SKIP() << "under Wine the peak measured is Wine's process, not the tool's alone";
  ScratchFolder folder;
  constexpr int kLongRow = 4 << 20;
  const std::string rest = "\nnrows 1\nx 0\ny 0\nc 1\nn -9999\n";
  write_file(folder / "plain.asc", "ncols 3" + rest + "1 2 3\n");
  std::string long_row = "ncols " + std::to_string(kLongRow) + rest;
  for (int i = 0; i < kLongRow; ++i) long_row += "1 ";
  write_file(folder / "long_row.asc", long_row + "\n");
  const RunOptions options = {.measure_peak_memory = true};
  const ToolResult plain = run_tool(folder.path(), {"plain.asc", "out"}, "1\n", options);
  const ToolResult long_row_run = run_tool(folder.path(), {"long_row.asc", "out"}, "1\n", options);
  ASSERT_EQ(plain.status, 0);
  ASSERT_EQ(long_row_run.status, 0);
  EXPECT_GT(long_row_run.peak_memory_kib, plain.peak_memory_kib + 8 * 1024)
      << plain.peak_memory_kib << " KiB, " << long_row_run.peak_memory_kib << " KiB";
}
