// Grids larger than the blocks the tool reads and writes in (64 KiB): rows
// that share a block, rows that straddle two, and rows larger than a block,
// through the built tool, in every pair of formats. The expected outputs are
// made here from the cells alone, with the C library's own conversions.

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/grid_bytes.h"
#include "support/run_case.h"

namespace {

using namespace cellscale::testing;

constexpr double kNodata = -9999;
constexpr double kFactor = 1.5;

// Elevation-like cells with three decimals and some nodata patches, as text
// (how a text input holds them).
std::vector<std::string> cell_texts(int columns, int rows) {
  std::vector<std::string> texts;
  std::uint64_t state = 17;
  for (int r = 0; r < rows; ++r) {
    for (int c = 0; c < columns; ++c) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      if ((c / 50 + r) % 13 == 0) {
        texts.push_back("-9999");
        continue;
      }
      char text[32];
      std::snprintf(text, sizeof text, "%.3f", static_cast<double>((state >> 33) % 4000000) / 1000.0);
      texts.emplace_back(text);
    }
  }
  return texts;
}

// The input file in a format, and the cells as the tool reads them from it.
struct Input {
  std::string bytes;
  std::vector<double> cells;
};

Input make_input(const Format& format, int columns, int rows) {
  const std::vector<std::string> texts = cell_texts(columns, rows);
  Input input;
  for (const std::string& text : texts) {
    const double value = std::strtod(text.c_str(), nullptr);
    input.cells.push_back(format.width == 4 ? static_cast<double>(static_cast<float>(value)) : value);
  }
  if (format.width == 0) {
    input.bytes = text_header(std::to_string(columns), std::to_string(rows), "0", "0", "1", "-9999");
    for (std::size_t i = 0; i < texts.size(); ++i) {
      input.bytes += texts[i];
      input.bytes += (i + 1) % static_cast<std::size_t>(columns) == 0 ? "\n" : " ";
    }
  } else {
    input.bytes =
        binary_grid(format.width, {double(columns), double(rows), 0, 0, 1, kNodata}, {1, 2, 3, 4, 5, 6}, input.cells);
  }
  return input;
}

// The output the tool must write for the given rows of scaled cells: text
// with the platform's line ends, binary with the statistics block given. (A
// complete binary output is checked value by value, its standard deviation
// within rounding.)
std::string expected_output(const Format& format, int columns, int rows, const std::vector<double>& cells,
                            const std::vector<double>& statistics) {
  if (format.width != 0)
    return binary_grid(format.width, {double(columns), double(rows), 0, 0, 1, kNodata}, statistics, cells);
  return native_lines(text_grid(text_header(std::to_string(columns), std::to_string(rows), "0", "0", "1", "-9999"),
                                cells, static_cast<std::size_t>(columns)));
}

// 3001 columns: two double rows to a block, the next row straddling its end;
// 20011 columns: a double row is larger than two blocks.
TEST(LargeGrid, EveryFormatPairThroughRowsOfManyBlocks) {
  for (const auto& [columns, rows] : {std::pair{3001, 23}, std::pair{20011, 5}}) {
    for (const Format& in : kFormats) {
      const Input input = make_input(in, columns, rows);
      const std::vector<double> out_cells = scaled(input.cells, kFactor);
      for (const Format& out : kFormats) {
        SCOPED_TRACE(std::to_string(columns) + " columns, " + in.name + " to " + out.name);
        ScratchFolder folder;
        write_file(folder / "in", input.bytes);
        const ToolResult result = run_tool(folder.path(), {"in", "out", out.option}, "1.5\n");
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.output, native_lines(run_output(rows)));
        const std::string written = read_file(folder / "out");
        if (out.width == 0) {
          EXPECT_TRUE(written == expected_output(out, columns, rows, out_cells, {})) << "the text differs";
        } else {
          expect_binary_grid(out.width, written, {double(columns), double(rows), 0, 0, 1, kNodata}, out_cells);
        }
      }
    }
  }
}

// An input cut in a row far from the first block: the message names the row
// and the values of it that were there, and the output keeps every row before
// it (a binary output with the statistics block it started with).
TEST(LargeGrid, AnInputCutFarInKeepsEveryRowBefore) {
  constexpr int kColumns = 3001;
  constexpr int kRows = 40;
  constexpr int kCutRow = 29;
  constexpr int kValuesThere = 1234;
  for (const Format& in : kFormats) {
    const Input input = make_input(in, kColumns, kRows);
    // Where the cut row's value kValuesThere + 1 begins, and half a value on.
    std::size_t cut = 0;
    if (in.width == 0) {
      std::size_t at = input.bytes.find("-9999\n") + 6;  // past the header
      for (int cell = 0; cell < (kCutRow - 1) * kColumns + kValuesThere; ++cell) {
        at = input.bytes.find_first_of(" \n", at) + 1;
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
      write_file(folder / "in", input.bytes.substr(0, cut));
      const ToolResult result = run_tool(folder.path(), {"in", "out", out.option}, "1.5\n");
      EXPECT_EQ(result.status, 5);
      // A text input cut inside a number reads the digits before the cut as one more value.
      const auto values_read = static_cast<std::size_t>(kValuesThere + (in.width == 0 ? 1 : 0));
      EXPECT_EQ(result.output, native_lines(read_failure("in", kCutRow, values_read)));
      const std::vector<double> kept(input.cells.begin(), input.cells.begin() + (kCutRow - 1) * kColumns);
      const std::vector<double> block = in.width == 0 || out.width == 0 ? std::vector<double>{0, 0, 0, 0, 0, 0}
                                                                        : std::vector<double>{1, 2, 3, 4, 5, 6};
      EXPECT_TRUE(read_file(folder / "out") == expected_output(out, kColumns, kRows, scaled(kept, kFactor), block))
          << "the output is not the header and the rows before the cut";
    }
  }
}

}  // namespace
