// The example grids under examples/: the double and single grids are made by
// the tool from the ASCII one, so they must come out byte for byte the same
// when made again, and they must hold what the ASCII grid holds.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/grid_bytes.h"
#include "support/tool_run.h"

namespace {

using namespace cellscale::testing;

const std::filesystem::path kExamples = std::filesystem::path(CELLSCALE_EXAMPLE_GRID).parent_path();

struct Example {
  const char* file;
  const char* option;
  int width;
};

const Example kBinaryExamples[] = {{"elevation.dbl", "-f:d", 8}, {"elevation.sgl", "-f:s", 4}};

// The six header values and the cells of the ASCII example, read here without
// the tool's code.
struct TextGrid {
  std::vector<double> header;
  std::vector<double> cells;
};

TextGrid read_text_grid(const std::string& text) {
  std::istringstream in(text);
  TextGrid grid;
  std::string word;
  double value = 0;
  for (int i = 0; i < 6 && in >> word >> value; ++i) grid.header.push_back(value);
  while (in >> value) grid.cells.push_back(value);
  return grid;
}

TEST(Examples, BinaryExamplesAreWhatTheToolMakesOfTheAsciiOne) {
  const std::string ascii = read_file(kExamples / "elevation.asc");
  ASSERT_FALSE(ascii.empty());
  for (const Example& example : kBinaryExamples) {
    SCOPED_TRACE(example.file);
    ScratchFolder folder;
    write_file(folder / "elevation.asc", ascii);
    const ToolResult result = run_tool(folder.path(), {"elevation.asc", "made", example.option}, "1\n");
    ASSERT_EQ(result.status, 0) << result.output;
    const std::string committed = read_file(kExamples / example.file);
    ASSERT_FALSE(committed.empty());
    EXPECT_TRUE(read_file(folder / "made") == committed)
        << "examples/" << example.file << " differs from what the tool makes of examples/elevation.asc; "
        << "make it again with: printf '1\\n' | cellscale elevation.asc " << example.file << " " << example.option;
  }
}

TEST(Examples, BinaryExamplesHoldTheAsciiGridAndItsStatistics) {
  const TextGrid grid = read_text_grid(read_file(kExamples / "elevation.asc"));
  ASSERT_EQ(grid.header.size(), 6u);
  const double nodata = grid.header[5];
  ASSERT_EQ(grid.cells.size(), static_cast<std::size_t>(grid.header[0] * grid.header[1]));

  std::vector<double> counted;
  for (double x : grid.cells) {
    if (x > nodata + 1) counted.push_back(x);
  }
  ASSERT_GE(counted.size(), 3u);
  double sum = 0;
  for (double x : counted) sum += x;
  const double n = static_cast<double>(counted.size());
  double squares = 0;
  for (double x : counted) squares += (x - sum / n) * (x - sum / n);
  const std::vector<double> statistics = {n,       *std::min_element(counted.begin(), counted.end()),
                                          *std::max_element(counted.begin(), counted.end()),
                                          sum,     sum / n,
                                          std::sqrt(squares / (n - 1))};

  for (const Example& example : kBinaryExamples) {
    SCOPED_TRACE(example.file);
    const std::vector<double> values = binary_values(example.width, read_file(kExamples / example.file));
    ASSERT_EQ(values.size(), 12 + grid.cells.size());
    auto stored = [&](double x) { return example.width == 8 ? x : static_cast<double>(static_cast<float>(x)); };
    for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(values[i], stored(grid.header[i])) << "slot " << i + 1;
    for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(values[6 + i], stored(statistics[i])) << "slot " << i + 7;
    EXPECT_NEAR(values[11], stored(statistics[5]), statistics[5] * 1e-6) << "slot 12";
    for (std::size_t i = 0; i < grid.cells.size(); ++i) EXPECT_EQ(values[12 + i], stored(grid.cells[i])) << i;
  }
}

// Six significant digits hold every example value, so all three examples
// give the same text grid.
TEST(Examples, AllThreeGiveTheSameTextGrid) {
  ScratchFolder folder;
  for (const char* name : {"elevation.asc", "elevation.dbl", "elevation.sgl"}) {
    write_file(folder / name, read_file(kExamples / name));
    const ToolResult result = run_tool(folder.path(), {name, std::string(name) + ".txt"}, "1\n");
    ASSERT_EQ(result.status, 0) << name;
  }
  const std::string text = read_file(folder / "elevation.asc.txt");
  EXPECT_EQ(text.rfind(native_lines("ncols\t24\nnrows\t16\n"), 0), 0u);
  EXPECT_EQ(read_file(folder / "elevation.dbl.txt"), text);
  EXPECT_EQ(read_file(folder / "elevation.sgl.txt"), text);
}

}  // namespace
