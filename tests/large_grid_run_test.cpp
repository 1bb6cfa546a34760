// Grids larger than the blocks the tool reads and writes in (64 KiB): rows
// that share a block, rows that straddle two, and rows larger than a block,
// through the built tool, in every pair of formats, held against the model of
// a run (reference_grid.h).

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "support/gzip_bytes.h"
#include "support/run_case.h"

namespace {

using namespace cellscale::testing;
namespace reference = cellscale::reference;

constexpr double kNodata = -9999;

// Disk space beyond a file's last block: a binary output takes its space
// before it is written, and must take no more than it fills (nor keep what
// an early end left unfilled).
constexpr std::uint64_t kSpaceBeyondTheBytes = 4096;

// 3001 columns: two double rows to a block, the next row straddling its end;
// 20011 columns: a double row is larger than two blocks. 140000 columns in
// one row, and 512 x 300: grids of 2^17 cells or more, which the tool takes
// on its threads, the first with one row that the workers scan and format
// in many parts, each of which must land in its place; single and double
// cells into text among them. An output named .gz (any letter case) is a
// whole gzip file of the plain output's bytes, at most 1.2 times the size
// zlib's level 6 makes of them.
TEST(LargeGrid, EveryFormatPairThroughRowsOfManyBlocks) {
  const std::pair<int, int> shapes[] = {{3001, 23}, {20011, 5}, {140000, 1}, {512, 300}};
  for (const auto& [columns, rows] : shapes) {
    for (const Format& in : kFormats) {
      const std::string input = elevation_grid(in, columns, rows);
      for (const Format& out : kFormats) {
        SCOPED_TRACE(std::to_string(columns) + " columns, " + in.name + " to " + out.name);
        ScratchFolder folder;
        const reference::Prediction predicted =
            check_predicted_run(input, {"in", "out", out.option}, "1.5\n", {}, folder);
        const char* gz_name = columns % 2 == 0 ? "out.gz" : "out.Gz";
        expect_ended(run_tool(folder.path(), {"in", gz_name, out.option}, "1.5\n"), predicted.run.output, 0);
        const std::string plain = read_file(folder / "out");
        EXPECT_LE(disk_space_of(folder / "out"), plain.size() + kSpaceBeyondTheBytes);
        const std::string gz = read_file(folder / gz_name);
        bool intact = false;
        EXPECT_EQ(gunzip(gz, &intact), plain);
        EXPECT_TRUE(intact);
        EXPECT_LE(static_cast<double>(gz.size()), 1.2 * static_cast<double>(gzip_members(plain).size()));
      }
    }
  }
}

// A text output's disk space is taken ahead by an estimate, larger than
// short cells ("0" and a tab) fill: what they left is given back.
TEST(LargeGrid, ShortTextCellsKeepNoMoreSpaceThanTheirBytes) {
  for (const Format& in : kFormats) {
    SCOPED_TRACE(in.name);
    const std::string input = in.width == 0 ? text_grid(text_header("600", "200", "0", "0", "1", "-9999"),
                                                        std::vector<double>(120000, 0.0), 600)
                                            : binary_grid(in.width, {600, 200, 0, 0, 1, kNodata}, {1, 2, 3, 4, 5, 6},
                                                          std::vector<double>(120000, 0.0));
    ScratchFolder folder;
    const reference::Prediction predicted = check_predicted_run(input, {"in", "out"}, "1\n", {}, folder);
    EXPECT_LE(disk_space_of(folder / "out"), predicted.run.file->size() + kSpaceBeyondTheBytes);
  }
}

// An input cut in a row far from the first block: the message names the row
// and the values of it that were there, and the output keeps every row before
// it (a binary output with the statistics block it started with), and no
// more disk space than those.
TEST(LargeGrid, AnInputCutFarInKeepsEveryRowBefore) {
  constexpr int kColumns = 3001;
  constexpr int kRows = 40;
  constexpr int kCutRow = 29;
  constexpr int kValuesThere = 1234;
  for (const Format& in : kFormats) {
    const std::string input = elevation_grid(in, kColumns, kRows);
    // Where the cut row's value kValuesThere + 1 begins, and half a value on.
    std::size_t cut = 0;
    if (in.width == 0) {
      std::size_t at = input.find("-9999\n") + 6;  // past the header
      for (int cell = 0; cell < (kCutRow - 1) * kColumns + kValuesThere; ++cell) {
        at = input.find_first_of(" \n", at) + 1;
      }
      cut = at + 2;  // "12" of a value: read as the number 12 with no blank after it
    } else {
      cut = static_cast<std::size_t>(in.width) *
                (12 + static_cast<std::size_t>((kCutRow - 1) * kColumns + kValuesThere)) +
            static_cast<std::size_t>(in.width) / 2;
    }
    for (const Format& out : kFormats) {
      SCOPED_TRACE(std::string(in.name) + " to " + out.name);
      ScratchFolder folder;
      const reference::Prediction predicted =
          check_predicted_run(input.substr(0, cut), {"in", "out", out.option}, "1.5\n", {}, folder);
      EXPECT_LE(disk_space_of(folder / "out"), read_file(folder / "out").size() + kSpaceBeyondTheBytes);
      // A text input cut inside a number reads the digits before the cut as one more value.
      const auto values_read = static_cast<std::size_t>(kValuesThere + (in.width == 0 ? 1 : 0));
      EXPECT_EQ(predicted.run.output, read_failure("in", kCutRow, values_read));
    }
  }
}

}  // namespace
