// The example grids under examples/: the double and single grids are made by
// the tool from the ASCII one, so they must come out byte for byte the same
// when made again, and they must hold what the ASCII grid holds.

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "support/run_case.h"

namespace {

using namespace cellscale::testing;

const std::filesystem::path kExamples = std::filesystem::path(CELLSCALE_EXAMPLE_GRID).parent_path();

struct Example {
  const char* file;
  const Format& format;
};

const Example kBinaryExamples[] = {{"elevation.dbl", kDouble}, {"elevation.sgl", kSingle}};

TEST(Examples, BinaryExamplesAreWhatTheToolMakesOfTheAsciiOne) {
  const std::string ascii = read_file(kExamples / "elevation.asc");
  ASSERT_FALSE(ascii.empty());
  for (const Example& example : kBinaryExamples) {
    SCOPED_TRACE(example.file);
    ScratchFolder folder;
    write_file(folder / "elevation.asc", ascii);
    const ToolResult result = run_tool(folder.path(), {"elevation.asc", "made", example.format.option}, "1\n");
    ASSERT_EQ(result.status, 0) << result.output;
    const std::string committed = read_file(kExamples / example.file);
    ASSERT_FALSE(committed.empty());
    EXPECT_TRUE(read_file(folder / "made") == committed)
        << "examples/" << example.file << " differs from what the tool makes of examples/elevation.asc; "
        << "make it again with: printf '1\\n' | cellscale elevation.asc " << example.file << " "
        << example.format.option;
  }
}

TEST(Examples, BinaryExamplesHoldTheAsciiGridAndItsStatistics) {
  const std::string ascii = read_file(kExamples / "elevation.asc");
  const cellscale::reference::GridRead grid = cellscale::reference::read_text_grid(ascii, ascii.size());
  ASSERT_TRUE(grid.header_complete);
  ASSERT_EQ(grid.cells.size(), static_cast<std::size_t>(grid.slot[1] * grid.slot[2]));
  ASSERT_GE(cellscale::reference::statistics_of(grid.cells, grid.slot[6])[0], 3);
  for (const Example& example : kBinaryExamples) {
    SCOPED_TRACE(example.file);
    expect_binary_grid(example.format.width, read_file(kExamples / example.file),
                       std::vector<double>(grid.slot.begin() + 1, grid.slot.begin() + 7), grid.cells);
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
