#pragma once

// Grid files written and read by the tests themselves, with the independent
// model of the formats (reference_grid.h) and none of the tool's own code, so
// that a fault in the tool cannot hide in both.

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "support/reference_grid.h"

namespace cellscale::testing {

// The three formats as the tool's option names them; width 0 is text.
struct Format {
  const char* name;
  const char* option;
  int width;
};
inline constexpr Format kFormats[] = {{"text", "-f:t", 0}, {"double", "-f:d", 8}, {"single", "-f:s", 4}};
inline constexpr const Format& kDouble = kFormats[1];
inline constexpr const Format& kSingle = kFormats[2];

// The twelve header values followed by the cells, as "double" (8) or "single" (4) bytes.
inline std::string binary_grid(int width, const std::vector<double>& header, const std::vector<double>& cells) {
  std::string bytes;
  for (const std::vector<double>* values : {&header, &cells}) {
    for (double value : *values) reference::append_value(bytes, static_cast<std::size_t>(width), value);
  }
  return bytes;
}

// The same with the header given as its six geometry values and its statistics block.
inline std::string binary_grid(int width, std::vector<double> geometry, const std::vector<double>& block,
                               const std::vector<double>& cells) {
  geometry.insert(geometry.end(), block.begin(), block.end());
  return binary_grid(width, geometry, cells);
}

// Every value in a "double" (8) or "single" (4) file, widened to double.
inline std::vector<double> binary_values(int width, const std::string& bytes) {
  const auto w = static_cast<std::size_t>(width);
  std::vector<double> values;
  for (std::size_t at = 0; at + w <= bytes.size(); at += w) {
    values.push_back(reference::decode(w, reinterpret_cast<const unsigned char*>(bytes.data()) + at));
  }
  return values;
}

// A text grid as the tool writes it: the header, then each cell as
// reference::cell_text writes it, a tab after it or a line break at a row's end.
inline std::string text_grid(const std::string& header, const std::vector<double>& cells, std::size_t columns) {
  std::string text = header;
  for (std::size_t i = 0; i < cells.size(); ++i)
    text += reference::cell_text(cells[i]) + ((i + 1) % columns ? "\t" : "\n");
  return text;
}

// A plain decimal of `length` characters with `whole` digits before its
// point (no point when they are all of it), its digits taken in turn from
// `digits`: for `length` 1 to 8 and `whole` 1 to `length`, one of each shape
// that the scanner learns from a cell and checks the next cells against.
inline std::string decimal_of_shape(std::size_t length, std::size_t whole, const char* digits = "8642097531") {
  std::string text;
  for (std::size_t i = 0; i < length; ++i) text += i == whole ? '.' : digits[i % 10];
  return text;
}

// A grid of `columns` x `rows` elevation-like cells in a format: three
// decimals (below 4000), varying from cell to cell, and nodata (-9999) in
// every 13th stretch of 50 cells, one stretch further along each row, so that
// a cell out of place shows.
// The same cells in every format: a binary grid holds the values the text
// reads as, with statistics block 1 to 6.
inline std::string elevation_grid(const Format& format, int columns, int rows) {
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
  if (format.width != 0) {
    std::vector<double> cells;
    for (const std::string& text : texts) cells.push_back(std::strtod(text.c_str(), nullptr));
    return binary_grid(format.width, {double(columns), double(rows), 0, 0, 1, -9999}, {1, 2, 3, 4, 5, 6}, cells);
  }
  std::string bytes = reference::text_header(std::to_string(columns), std::to_string(rows), "0", "0", "1", "-9999");
  for (std::size_t i = 0; i < texts.size(); ++i) {
    bytes += texts[i];
    bytes += (i + 1) % static_cast<std::size_t>(columns) == 0 ? "\n" : " ";
  }
  return bytes;
}

// The cells as a run with `factor` writes them: nodata (-9999) stays as it is.
inline std::vector<double> scaled(std::vector<double> cells, double factor) {
  for (double& x : cells) x = x == -9999 ? x : x * factor;
  return cells;
}

// The tool's messages, as the model writes them.
using reference::name_prompt;
using reference::read_failure;
using reference::run_output;
using reference::text_header;
using reference::unrecognised;

// Checks a binary output value by value: the six geometry values, the
// statistics block and then every cell (NaN cells of either sign). Without a
// block given, the block must be the one reference::statistics_of makes of
// the cells and the geometry's nodata: the standard deviation within 1e-10 of the exact
// one (and of its binary32 rounding in a single grid), exactly +0 when the
// cells are all equal; every other value exactly.
inline void expect_binary_grid(int width, const std::string& bytes, const std::vector<double>& geometry,
                               const std::vector<double>& cells, std::vector<double> block = {}) {
  if (block.empty()) {
    const std::array<double, 6> statistics = reference::statistics_of(cells, geometry[5]);
    block.assign(statistics.begin(), statistics.end());
  }
  const std::vector<double> values = binary_values(width, bytes);
  ASSERT_EQ(bytes.size(), static_cast<std::size_t>(width) * (12 + cells.size()));
  auto stored = [&](double x) { return width == 8 ? x : static_cast<double>(static_cast<float>(x)); };
  for (std::size_t i = 0; i < 6; ++i) EXPECT_EQ(values[i], stored(geometry[i])) << "slot " << i + 1;
  for (std::size_t i = 0; i < 5; ++i) EXPECT_EQ(values[6 + i], stored(block[i])) << "slot " << i + 7;
  EXPECT_NEAR(values[11], block[5], std::abs(block[5]) * (width == 8 ? 1e-10 : 1e-10 + 0x1p-24)) << "slot 12";
  EXPECT_FALSE(block[5] == 0 && std::signbit(values[11])) << "slot 12 is -0";
  for (std::size_t i = 0; i < cells.size(); ++i) {
    const double expected = stored(cells[i]);
    if (std::isnan(expected)) {
      EXPECT_TRUE(std::isnan(values[12 + i])) << "cell " << i;
    } else {
      EXPECT_EQ(values[12 + i], expected) << "cell " << i;
    }
  }
}

}  // namespace cellscale::testing
