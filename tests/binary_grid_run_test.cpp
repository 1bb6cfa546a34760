// Binary grids in and out through the built tool: every input format to every
// output format, recognition, the statistics block, and the truncations and
// lost writes the tool reports.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <iterator>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "support/grid_bytes.h"
#include "support/run_case.h"

namespace {

using namespace cellscale::testing;

// A small elevation grid with nodata cells; every value is exact in binary32,
// and so is every value doubled.
const std::vector<double> kGeometry = {4, 3, 1000, 2000, 30, -9999};
const std::vector<double> kCells = {412.5, 415.25, -9999, 420.125, 410.75, -9999,
                                    -9999, 418.5,  409,   411.5,   414.375, 417.25};
const std::string kText = text_header("4", "3", "1000", "2000", "30", "-9999") +
                          "412.5 415.25 -9999 420.125\n410.75 -9999 -9999 418.5\n409 411.5 414.375 417.25\n";
const std::string kTextDoubled = text_header("4", "3", "1000", "2000", "30", "-9999") +
                                 "825\t830.5\t-9999\t840.25\n821.5\t-9999\t-9999\t837\n818\t823\t828.75\t834.5\n";

std::vector<double> header_with(std::vector<double> statistics) {
  std::vector<double> header = kGeometry;
  header.insert(header.end(), statistics.begin(), statistics.end());
  return header;
}

// The statistics block the tool must write for these scaled cells: count,
// minimum, maximum, sum (in row order), mean, sample standard deviation.
std::vector<double> expected_statistics(const std::vector<double>& scaled, double nodata) {
  std::vector<double> counted;
  for (double x : scaled) {
    if (x > nodata + 1) counted.push_back(x);
  }
  if (counted.empty()) return {0, 0, 0, 0, -9999, -9999};
  double sum = 0;
  for (double x : counted) sum += x;
  const double n = static_cast<double>(counted.size());
  double squares = 0;
  for (double x : counted) squares += (x - sum / n) * (x - sum / n);
  return {n, *std::min_element(counted.begin(), counted.end()), *std::max_element(counted.begin(), counted.end()),
          sum, sum / n, counted.size() > 2 ? std::sqrt(squares / (n - 1)) : -9999};
}

// Checks a binary output value by value: the geometry, the statistics block
// (the standard deviation to the last few bits), then every cell.
void expect_binary_grid(int width, const std::string& bytes, const std::vector<double>& geometry,
                        const std::vector<double>& statistics, const std::vector<double>& cells) {
  const std::vector<double> values = binary_values(width, bytes);
  ASSERT_EQ(bytes.size(), static_cast<std::size_t>(width) * (12 + cells.size()));
  auto stored = [&](double x) { return width == 8 ? x : static_cast<double>(static_cast<float>(x)); };
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(values[i], stored(geometry[i])) << "slot " << i + 1;
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(values[6 + i], stored(statistics[i])) << "slot " << i + 7;
  EXPECT_NEAR(values[11], stored(statistics[5]), std::abs(statistics[5]) * (width == 8 ? 1e-12 : 1e-6));
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const double expected = stored(cells[i]);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(values[12 + i])) << "cell " << i;
    } else {
      EXPECT_EQ(values[12 + i], expected) << "cell " << i;
    }
  }
}

struct Format {
  const char* name;
  const char* option;
  int width;  // 0 for text
};

const Format kFormats[] = {{"text", "-f:t", 0}, {"double", "-f:d", 8}, {"single", "-f:s", 4}};

std::string input_in(const Format& format) {
  // A binary input's own statistics block is replaced in the output.
  return format.width == 0 ? kText : binary_grid(format.width, header_with({1, 2, 3, 4, 5, 6}), kCells);
}

TEST(BinaryGrid, EveryInputFormatToEveryOutputFormat) {
  std::vector<double> doubled;
  for (double x : kCells) doubled.push_back(x == -9999 ? x : 2 * x);
  for (const Format& in : kFormats) {
    for (const Format& out : kFormats) {
      SCOPED_TRACE(std::string(in.name) + " to " + out.name);
      ScratchFolder folder;
      write_file(folder / "in", input_in(in));
      const ToolResult result = run_tool(folder.path(), {"in", "out", out.option}, "2\n");
      EXPECT_EQ(result.output, native_lines(run_output(3)));
      EXPECT_EQ(result.status, 0);
      const std::string written = read_file(folder / "out");
      if (out.width == 0) {
        EXPECT_EQ(written, native_lines(kTextDoubled));
      } else {
        expect_binary_grid(out.width, written, kGeometry, expected_statistics(doubled, -9999), doubled);
      }
    }
  }
}

TEST(BinaryGrid, OutputSizesFollowTheLayout) {
  const std::string grid = text_header("3", "2", "0", "0", "1", "-9999") + "1 2 3 4 5 6\n";
  for (const auto& [option, size] : {std::pair{"-f:d", 144u}, std::pair{"-f:s", 72u}}) {
    ScratchFolder folder;
    write_file(folder / "in.asc", grid);
    ASSERT_EQ(run_tool(folder.path(), {"in.asc", "out", option}, "1\n").status, 0);
    EXPECT_EQ(read_file(folder / "out").size(), size) << option;
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
  const Case cases[] = {
      {"no rows", text_header("3", "0", "0", "0", "1", "-9999"), "2\n", {3, 0, 0, 0, 1, -9999}, {}},
      {"threshold nodata + 1", text_header("3", "1", "0", "0", "1", "-9999") + "-9997.5 -9998 -9998.5\n", "1\n",
       {3, 1, 0, 0, 1, -9999}, {-9997.5, -9998, -9998.5}},
      {"NaN cells are written but not counted", text_header("3", "1", "0", "0", "1", "-9999") + "nan 2 4\n",
       "1\n", {3, 1, 0, 0, 1, -9999}, {nan, 2, 4}},
      {"a fractional ncols keeps whole rows", "ncols 2.5\nnrows 2\nx 0\ny 0\nc 1\nn -9999\n1 2 3 4\n",
       "3\n", {2.5, 2, 0, 0, 1, -9999}, {3, 6, 9, 12}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const Format& out : {kFormats[1], kFormats[2]}) {
      ScratchFolder folder;
      write_file(folder / "in.asc", c.grid);
      const ToolResult result = run_tool(folder.path(), {"in.asc", "out", out.option}, c.factor);
      EXPECT_EQ(result.status, 0);
      expect_binary_grid(out.width, read_file(folder / "out"), c.geometry, expected_statistics(c.cells, -9999),
                         c.cells);
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
  std::vector<double> other_nodata = header_with({0, 0, 0, 0, 0, 0});
  other_nodata[5] = -1;
  const std::string unknown = "could not recognise file format (ascii, single or double) for in\n";
  const std::string full_double = binary_grid(8, header_with({0, 0, 0, 0, 0, 0}), kCells);
  const std::string full_single = binary_grid(4, header_with({0, 0, 0, 0, 0, 0}), kCells);
  const RunCase cases[] = {
      {"double with nodata -1", {{"in", binary_grid(8, other_nodata, kCells)}}, {"in", "out"}, "1\n", unknown, 98,
       {{"out", std::nullopt}}},
      {"single with nodata -1", {{"in", binary_grid(4, other_nodata, kCells)}}, {"in", "out"}, "1\n", unknown, 98,
       {{"out", std::nullopt}}},
      {"empty file", {{"in", ""}}, {"in", "out"}, "1\n", unknown, 98, {}},
      {"single cut before its nodata value", {{"in", full_single.substr(0, 23)}}, {"in", "out"}, "1\n", unknown,
       98, {}},
      {"single header short: an empty output remains", {{"in", full_single.substr(0, 47)}}, {"in", "out", "-f:d"},
       "1\n", "error reading fiel header from in\n", 1, {{"out", ""}}},
      {"double header short", {{"in", full_double.substr(0, 95)}}, {"in", "out"}, "1\n",
       "error reading fiel header from in\n", 1, {{"out", ""}}},
  };
  for (const RunCase& c : cases) check_run(c);
}

TEST(BinaryGrid, ShortRowsAreReportedAfterTheRowsBefore) {
  const std::vector<double> header = {3, 2, 0, 0, 1, -9999, 7, 8, 9, 10, 11, 12};
  const std::vector<double> cells = {1, 2, 3, 4, 5, 6};
  for (const int width : {8, 4}) {
    SCOPED_TRACE(width);
    ScratchFolder folder;
    const std::string grid = binary_grid(width, header, cells);
    // Short by one value and a half: two whole values of the last row remain.
    write_file(folder / "in", grid.substr(0, grid.size() - static_cast<std::size_t>(width) * 3 / 2));
    const ToolResult result = run_tool(folder.path(), {"in", "out", "-f:d"}, "1\n");
    EXPECT_EQ(result.output, native_lines("\nfactor : \n.error reading from in in row 2 (1 values read)\n"));
    EXPECT_EQ(result.status, 5);
    // The header as it came from the input, its statistics block not yet replaced, and the first row.
    expect_binary_grid(8, read_file(folder / "out"), {3, 2, 0, 0, 1, -9999}, {7, 8, 9, 10, 11, 12}, {1, 2, 3});
  }
}

TEST(BinaryGrid, AnAsciiInputHasZeroStatisticsUntilTheEnd) {
  ScratchFolder folder;
  write_file(folder / "in.asc", text_header("3", "2", "0", "0", "1", "-9999") + "1 2 3\n4 x 6\n");
  const ToolResult result = run_tool(folder.path(), {"in.asc", "out", "-f:s"}, "1\n");
  EXPECT_EQ(result.status, 5);
  expect_binary_grid(4, read_file(folder / "out"), {3, 2, 0, 0, 1, -9999}, {0, 0, 0, 0, 0, 0}, {1, 2, 3});
}

TEST(BinaryGrid, LostWritesAreReported) {
  ScratchFolder folder;
  write_file(folder / "small.dbl", binary_grid(8, header_with({0, 0, 0, 0, 0, 0}), kCells));
  std::vector<double> wide_cells(2000 * 100, 1.5);
  write_file(folder / "wide.dbl", binary_grid(8, {2000, 100, 0, 0, 1, -9999, 0, 0, 0, 0, 0, 0}, wide_cells));

  const std::string full = full_device();
  for (const char* option : {"-f:d", "-f:s"}) {
    SCOPED_TRACE(option);
    const ToolResult at_end = run_tool(folder.path(), {"small.dbl", full, option}, "1\n");
    EXPECT_EQ(at_end.output, native_lines(run_output(3) + "error writing into " + full + " \n"));
    EXPECT_EQ(at_end.status, 4);

    const ToolResult in_rows = run_tool(folder.path(), {"wide.dbl", full, option}, "1\n");
    EXPECT_EQ(in_rows.status, 6);
    const bool single = std::string(option) == "-f:s";
    const std::regex message(native_lines(single ? "\nfactor : \n(\\.*)error writing row (\\d+), col (\\d+) in (.*)\n"
                                                 : "\nfactor : \n(\\.*)error writing row (\\d+) in (.*)\n"));
    std::smatch match;
    ASSERT_TRUE(std::regex_match(in_rows.output, match, message)) << in_rows.output;
    EXPECT_EQ(std::stoul(match[2].str()), match[1].length() + 1);
    EXPECT_EQ(match[match.size() - 1].str(), full);
    if (single) {
      EXPECT_GE(std::stoi(match[3].str()), 1);
      EXPECT_LE(std::stoi(match[3].str()), 2000);
    }
  }
}

// A binary output that cannot be positioned (a pipe) gets its header and rows;
// its statistics block cannot be put in place, which is reported after the
// rows (a block appended after them would make a malformed grid).
TEST(BinaryGrid, AnOutputIntoAPipeEndsWithStatus4AfterTheRows) {
  for (const auto& [option, width] : {std::pair{"-f:d", 8}, std::pair{"-f:s", 4}}) {
    SCOPED_TRACE(option);
    ScratchFolder folder;
    write_file(folder / "in.dbl", binary_grid(8, header_with({0, 0, 0, 0, 0, 0}), kCells));
    ASSERT_EQ(mkfifo((folder / "pipe").c_str(), 0600), 0);
    std::string piped;
    std::thread reader([&] {
      std::ifstream pipe(folder / "pipe", std::ios::binary);
      piped.assign(std::istreambuf_iterator<char>(pipe), {});
    });
    const ToolResult result = run_tool(folder.path(), {"in.dbl", "pipe", option}, "1\n");
    // A reader still waiting for a writer (the tool never opened the pipe) sees the end at once.
    close(open((folder / "pipe").c_str(), O_WRONLY | O_NONBLOCK));
    reader.join();
    EXPECT_EQ(result.output, native_lines(run_output(3) + "error writing into pipe \n"));
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(piped, binary_grid(width, header_with({0, 0, 0, 0, 0, 0}), kCells));
  }
}

}  // namespace
