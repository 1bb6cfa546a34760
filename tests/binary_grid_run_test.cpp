// Binary grids in and out through the built tool: every input format to every
// output format, recognition, the statistics block, and the truncations and
// lost writes the tool reports.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "support/gzip_bytes.h"
#include "support/run_case.h"

namespace {

using namespace cellscale::testing;

// A small elevation grid with nodata cells; every value is exact in binary32,
// and so is every value doubled.
const std::vector<double> kGeometry = {4, 3, 1000, 2000, 30, -9999};
const std::vector<double> kCells = {412.5, 415.25, -9999, 420.125, 410.75,  -9999,
                                    -9999, 418.5,  409,   411.5,   414.375, 417.25};
const std::string kText = text_header("4", "3", "1000", "2000", "30", "-9999") +
                          "412.5 415.25 -9999 420.125\n410.75 -9999 -9999 418.5\n409 411.5 414.375 417.25\n";
const std::string kTextDoubled = text_header("4", "3", "1000", "2000", "30", "-9999") +
                                 "825\t830.5\t-9999\t840.25\n821.5\t-9999\t-9999\t837\n818\t823\t828.75\t834.5\n";

std::string input_in(const Format& format) {
  // A binary input's own statistics block is replaced in the output.
  return format.width == 0 ? kText : binary_grid(format.width, kGeometry, {1, 2, 3, 4, 5, 6}, kCells);
}

// The model's text output is also held against the one worked out by hand.
TEST(BinaryGrid, EveryInputFormatToEveryOutputFormat) {
  for (const Format& in : kFormats) {
    for (const Format& out : kFormats) {
      SCOPED_TRACE(std::string(in.name) + " to " + out.name);
      const auto predicted = check_predicted_run(input_in(in), {"in", "out", out.option}, "2\n");
      EXPECT_EQ(predicted.run.output, run_output(3));
      if (out.width == 0) {
        EXPECT_EQ(*predicted.run.file, kTextDoubled);
      } else {
        EXPECT_EQ(predicted.run.file->size(), static_cast<std::size_t>(out.width) * 24)
            << "twelve header values, twelve cells";
      }
    }
  }
}

TEST(BinaryGrid, StatisticsOfUnusualGrids) {
  struct Case {
    std::string name;
    std::string grid;
    std::string factor;
    std::vector<double> geometry;
    std::vector<double> cells;  // scaled, as written
  };
  const double nan = std::nan("");
  // clang-format off
  const Case cases[] = {
      {"no rows", text_header("3", "0", "0", "0", "1", "-9999"), "2\n", {3, 0, 0, 0, 1, -9999}, {}},
      {"threshold nodata + 1", text_header("3", "1", "0", "0", "1", "-9999") + "-9997.5 -9998 -9998.5\n", "1\n",
       {3, 1, 0, 0, 1, -9999}, {-9997.5, -9998, -9998.5}},
      {"NaN cells are written but not counted", text_header("3", "1", "0", "0", "1", "-9999") + "nan 2 4\n",
       "1\n", {3, 1, 0, 0, 1, -9999}, {nan, 2, 4}},
      {"a fractional ncols keeps whole rows", "ncols 2.5\nnrows 2\nx 0\ny 0\nc 1\nn -9999\n1 2 3 4\n",
       "3\n", {2.5, 2, 0, 0, 1, -9999}, {3, 6, 9, 12}},
      {"equal cells have a deviation of exactly 0", text_header("3", "1", "0", "0", "1", "-9999") + "0.1 0.1 0.1\n",
       "1\n", {3, 1, 0, 0, 1, -9999}, {0.1, 0.1, 0.1}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const Format& out : {kDouble, kSingle}) {
      const auto predicted = check_predicted_run(c.grid, {"in.asc", "out", out.option}, c.factor);
      EXPECT_EQ(predicted.run.status, 0);
      expect_binary_grid(out.width, *predicted.run.file, c.geometry, c.cells);
    }
  }
}

TEST(BinaryGrid, DoubleToSingleAndBackLosesOnlyWhatBinary32CannotHold) {
  const std::vector<double> cells = {0.1, 1234.567, -9999, 1e-3, 3.0, 16777217.0};
  ScratchFolder folder;
  write_file(folder / "in.dbl", binary_grid(8, {3, 2, 0.5, 0.25, 10, -9999, 0, 0, 0, 0, 0, 0}, cells));
  ASSERT_EQ(run_tool(folder.path(), {"in.dbl", "mid.sgl", "-f:s"}, "1\n").status, 0);
  ASSERT_EQ(run_tool(folder.path(), {"mid.sgl", "back.dbl", "-f:d"}, "1\n").status, 0);
  const std::vector<double> back = binary_values(8, read_file(folder / "back.dbl"));
  ASSERT_EQ(back.size(), 18u);
  for (std::size_t i = 0; i < cells.size(); ++i) {
    EXPECT_EQ(back[12 + i], static_cast<double>(static_cast<float>(cells[i]))) << i;
  }
  EXPECT_NE(back[12], 0.1);
  EXPECT_EQ(back[16], 3.0);
}

TEST(BinaryGrid, Recognition) {
  const std::vector<double> other_nodata = {4, 3, 1000, 2000, 30, -1};
  const std::string unknown = unrecognised("in");
  const std::string full_double = binary_grid(8, kGeometry, {0, 0, 0, 0, 0, 0}, kCells);
  const std::string full_single = binary_grid(4, kGeometry, {0, 0, 0, 0, 0, 0}, kCells);
  const std::string header_failure = "error reading fiel header from in\n";
  // clang-format off
  const RunCase cases[] = {
      {.name = "double with nodata -1", .files = {{"in", binary_grid(8, other_nodata, {0, 0, 0, 0, 0, 0}, kCells)}},
       .arguments = {"in", "out"}, .input = "1\n", .output = unknown, .status = 98, .results = {{"out", std::nullopt}}},
      {.name = "single with nodata -1", .files = {{"in", binary_grid(4, other_nodata, {0, 0, 0, 0, 0, 0}, kCells)}},
       .arguments = {"in", "out"}, .input = "1\n", .output = unknown, .status = 98, .results = {{"out", std::nullopt}}},
      {.name = "empty file", .files = {{"in", ""}}, .arguments = {"in", "out"}, .input = "1\n", .output = unknown,
       .status = 98},
      {.name = "single cut before its nodata value", .files = {{"in", full_single.substr(0, 23)}},
       .arguments = {"in", "out"}, .input = "1\n", .output = unknown, .status = 98},
      {.name = "single header short: an empty output remains", .files = {{"in", full_single.substr(0, 47)}},
       .arguments = {"in", "out", "-f:d"}, .input = "1\n", .output = header_failure, .status = 1,
       .results = {{"out", ""}}},
      {.name = "double header short", .files = {{"in", full_double.substr(0, 95)}}, .arguments = {"in", "out"},
       .input = "1\n", .output = header_failure, .status = 1, .results = {{"out", ""}}},
  };
  // clang-format on
  for (const RunCase& c : cases) check_run(c);
  // A double grid whose ncols (4 and a little) begins with the bytes 1f 8b,
  // as a gzip stream does: without the method byte 08 after them it is
  // still read as a grid.
  std::vector<double> gzip_like = kGeometry;
  gzip_like[0] = std::bit_cast<double>(std::uint64_t{0x4010000000008b1f});
  const std::string grid = binary_grid(8, gzip_like, {0, 0, 0, 0, 0, 0}, kCells);
  ASSERT_EQ(grid.substr(0, 3), std::string("\x1f\x8b\0", 3));
  for (const char* option : {"-f:t", "-f:d", "-f:s"}) {
    SCOPED_TRACE(option);
    check_predicted_run(grid, {"in", "out", option}, "2\n");
  }
}

TEST(BinaryGrid, ShortRowsAreReportedAfterTheRowsBefore) {
  const std::vector<double> header = {3, 2, 0, 0, 1, -9999, 7, 8, 9, 10, 11, 12};
  const std::vector<double> cells = {1, 2, 3, 4, 5, 6};
  for (const int width : {8, 4}) {
    SCOPED_TRACE(width);
    const std::string grid = binary_grid(width, header, cells);
    // Short by one value and a half: two whole values of the last row remain.
    const auto predicted = check_predicted_run(grid.substr(0, grid.size() - static_cast<std::size_t>(width) * 3 / 2),
                                               {"in", "out", "-f:d"}, "1\n");
    EXPECT_EQ(predicted.run.output, read_failure("in", 2, 1));
    // The header as it came from the input, its statistics block not yet replaced, and the first row.
    expect_binary_grid(8, *predicted.run.file, {3, 2, 0, 0, 1, -9999}, {1, 2, 3}, {7, 8, 9, 10, 11, 12});
  }
}

TEST(BinaryGrid, AnAsciiInputHasZeroStatisticsUntilTheEnd) {
  const std::string grid = text_header("3", "2", "0", "0", "1", "-9999") + "1 2 3\n4 x 6\n";
  const auto predicted = check_predicted_run(grid, {"in.asc", "out", "-f:s"}, "1\n");
  EXPECT_EQ(predicted.run.status, 5);
  expect_binary_grid(4, *predicted.run.file, {3, 2, 0, 0, 1, -9999}, {1, 2, 3}, {0, 0, 0, 0, 0, 0});
}

// Writes to a full disk, lost at the end of a small grid (status 4) or among
// the rows of a large one (status 6, naming the row being written), in every
// output format.
TEST(BinaryGrid, LostWritesAreReported) {
  ScratchFolder folder;
  write_file(folder / "small.asc", text_header("3", "2", "0", "0", "1", "-9999") + "1 2 3 4 5 6\n");
  write_file(folder / "wide.asc", text_grid(text_header("500", "400", "0", "0", "1", "-9999"),
                                            std::vector<double>(500 * 400, 1234.567), 500));
  write_file(folder / "small.dbl", binary_grid(8, kGeometry, {0, 0, 0, 0, 0, 0}, kCells));
  std::vector<double> wide_cells(2000 * 100, 1.5);
  write_file(folder / "wide.dbl", binary_grid(8, {2000, 100, 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0}, wide_cells));
  const std::string full = full_device();
  std::filesystem::create_symlink("/dev/full", folder / "full.gz");
  for (const auto& [option, in, small_rows, wide_rows] :
       {std::tuple{"-f:t", ".asc", 2, 400}, std::tuple{"-f:d", ".dbl", 3, 100}, std::tuple{"-f:s", ".dbl", 3, 100}}) {
    SCOPED_TRACE(option);
    const ToolResult at_end = run_tool(folder.path(), {std::string("small") + in, full, option}, "1\n");
    expect_ended(at_end, run_output(small_rows) + "error writing into " + full + " \n", 4);
    // A gzip output loses its compressed writes the same way.
    const ToolResult gzip_at_end = run_tool(folder.path(), {std::string("small") + in, "full.gz", option}, "1\n");
    expect_ended(gzip_at_end, run_output(small_rows) + "error writing into full.gz \n", 4);
    const ToolResult gzip_in_rows = run_tool(folder.path(), {std::string("wide") + in, "full.gz", option}, "1\n");
    EXPECT_EQ(gzip_in_rows.status, 6);
    EXPECT_NE(row_of_lost_write(gzip_in_rows.output, "full.gz", std::string(option) == "-f:s", 2000), 0u)
        << gzip_in_rows.output;

    const ToolResult in_rows = run_tool(folder.path(), {std::string("wide") + in, full, option}, "1\n");
    EXPECT_EQ(in_rows.status, 6);
    const std::size_t row = row_of_lost_write(in_rows.output, full, std::string(option) == "-f:s", 2000);
    ASSERT_NE(row, 0u) << in_rows.output;
    EXPECT_LT(row, static_cast<std::size_t>(wide_rows)) << "a row before the last";
  }
}

// A binary output that cannot be positioned (a pipe) gets its header and rows;
// its statistics block cannot be put in place, which is reported after the
// rows (a block appended after them would make a malformed grid). So too
// through a pipe named .gz, whose bytes decompress to the same.
TEST(BinaryGrid, AnOutputIntoAPipeEndsWithStatus4AfterTheRows) {
  for (const auto& [option, width] : {std::pair{"-f:d", 8}, std::pair{"-f:s", 4}}) {
    for (const std::string pipe_name : {"pipe", "pipe.gz"}) {
      SCOPED_TRACE(std::string(option) + " into " + pipe_name);
      ScratchFolder folder;
      write_file(folder / "in.dbl", binary_grid(8, kGeometry, {0, 0, 0, 0, 0, 0}, kCells));
      ASSERT_EQ(mkfifo((folder / pipe_name).c_str(), 0600), 0);
      std::string piped;
      std::thread reader([&] {
        std::ifstream pipe(folder / pipe_name, std::ios::binary);
        piped.assign(std::istreambuf_iterator<char>(pipe), {});
      });
      const ToolResult result = run_tool(folder.path(), {"in.dbl", pipe_name, option}, "1\n");
      // A reader still waiting for a writer (the tool never opened the pipe) sees the end at once.
      close(open((folder / pipe_name).c_str(), O_WRONLY | O_NONBLOCK));
      reader.join();
      expect_ended(result, run_output(3) + "error writing into " + pipe_name + " \n", 4);
      EXPECT_EQ(pipe_name == "pipe" ? piped : gunzip(piped),
                binary_grid(width, kGeometry, {0, 0, 0, 0, 0, 0}, kCells));
    }
  }
}

}  // namespace
