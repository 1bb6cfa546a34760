#include "numbers/cell_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "numbers/cell_format_detail.h"
#include "support/instruction_sets.h"
#include "support/reference_grid.h"

namespace {

// The text that `format` (format_cell or one of its paths) writes of `value`.
std::string text_of(char* (*format)(char*, double), double value) {
  char buffer[cellscale::kMaxCellTextLength];
  return std::string(buffer, format(buffer, value));
}

struct Case {
  double value;
  const char* text;
};

// Texts worked out by hand from the rules: six significant digits rounded to
// nearest (exact ties to even), exponent notation below 1e-4 and from 1e6 on
// (after rounding), trailing zeros dropped, three-digit exponents.
// clang-format off
const Case kCases[] = {
    {1234567, "1.23457e+006"}, {0.00001, "1e-005"}, {-9999, "-9999"}, {4000000, "4e+006"},
    {0.1, "0.1"}, {100.25, "100.25"}, {-0.0, "-0"}, {0, "0"}, {1e100, "1e+100"},
    {123456, "123456"}, {999999.5, "1e+006"}, {1.5e-300, "1.5e-300"},
    {std::numeric_limits<double>::infinity(), "inf"}, {-std::numeric_limits<double>::infinity(), "-inf"},
    {std::nan(""), "nan"}, {-std::nan(""), "-nan"},
    // Exact ties: each value times 10^(5 - X) is exactly an odd number of halves.
    {999998.5, "999998"}, {1234565, "1.23456e+006"}, {1234575, "1.23458e+006"}, {123.4375, "123.438"},
    {-1.015625, "-1.01562"}, {12345.25, "12345.2"}, {12345.75, "12345.8"},
    // Fixed and exponent notation around the switches.
    {999999, "999999"}, {999999.4, "999999"}, {1e6, "1e+006"},
    {0x1.e847f00000001p+19, "1e+006"}, {0x1.e847effffffffp+19, "999999"},  // 999999.5 and one unit either side
    {100000, "100000"}, {0.0001, "0.0001"},
    {0.00012345678, "0.000123457"}, {0.000099999, "9.9999e-005"}, {0.00009999999, "0.0001"},
    {1234.567, "1234.57"}, {-1234.5678, "-1234.57"}, {0.5, "0.5"}, {1.0 / 3, "0.333333"},
    {2.0 / 3, "0.666667"}, {-2.5e-5, "-2.5e-005"}, {1e21, "1e+021"}, {123456789012.0, "1.23457e+011"},
    // Extremes of the double range.
    {DBL_MAX, "1.79769e+308"}, {-DBL_MAX, "-1.79769e+308"}, {DBL_MIN, "2.22507e-308"},
    {4.9406564584124654e-324, "4.94066e-324"}, {-4.9406564584124654e-324, "-4.94066e-324"},
    {2.2250738585072009e-308, "2.22507e-308"}, {1e-310, "1e-310"},
};
// clang-format on

TEST(CellFormat, WritesSixSignificantDigitsWithThreeDigitExponent) {
  for (const Case& c : kCases) EXPECT_EQ(text_of(cellscale::format_cell, c.value), c.text) << c.value;
}

TEST(CellFormat, ExactPathAgreesOnTheSameCases) {
  for (const Case& c : kCases) EXPECT_EQ(text_of(cellscale::detail::format_cell_exact, c.value), c.text) << c.value;
}

TEST(CellFormat, FastPathRoundsExactTiesToEvenItself) {
  // Each value times 10^(5 - X) is exactly an odd number of halves.
  // clang-format off
  const Case ties[] = {
      {999998.5, "999998"},    {999999.5, "1e+006"}, {1234565, "1.23456e+006"}, {123.4375, "123.438"},
      {0.5078125, "0.507812"}, {12345.25, "12345.2"}, {2.000005e15, "2e+015"},     {-99999.25, "-99999.2"},
  };
  // clang-format on
  for (const Case& c : ties) {
    char buffer[cellscale::kMaxCellTextLength];
    char* end = cellscale::detail::format_cell_fast(buffer, c.value);
    ASSERT_NE(end, nullptr) << c.value;
    EXPECT_EQ(std::string(buffer, end), c.text) << c.value;
  }
}

// Each value times 10^(5 - X), rounded in double arithmetic, is exactly
// n + 0.5; the text follows the exact product or quotient (worked out in
// exact rational arithmetic): above, below, or a tie that goes to even.
// clang-format off
const Case kMidpoints[] = {
      // Multiplied by 10^3, 10^4, 10^22 and 10^0 to 10^5.
      {0x1.6736978d4fdf4p+9, "718.427"}, {0x1.9a2cfdf3b645ap+9, "820.351"}, {833.8125, "833.812"},
      {-0x1.6736978d4fdf4p+9, "-718.427"}, {0x1.89b367a0f9097p+3, "12.3032"}, {0x1.27468db8bac71p+5, "36.9094"},
      {0x1.09407142d96c9p-55, "2.87587e-017"}, {0x1.bd9a8c1b5f229p-55, "4.83124e-017"},
      {0x1.8ffff2e48e8a7p+6, "99.9999"}, {270017.5, "270018"}, {7.140625, "7.14062"}, {999999.5, "1e+006"},
      // Divided by 10^16, 10^8, 10^1, 10^15 and 10^13.
      {0x1.72ac5b9cbbb82p+72, "6.83772e+021"}, {0x1.37e516c071235p+72, "5.75344e+021"},
      {0x1.7d7828287c001p+45, "5.24288e+013"}, {5055005.0, "5.055e+006"}, {0x1.c835b0645334fp+66, "1.31494e+020"},
      {9999995.0, "1e+007"}, {0x1.158e3cf0c55d6p+63, "1e+019"},
};
// clang-format on

TEST(CellFormat, DoublePathSettlesValuesThatScaleOntoAMidpoint) {
  for (const Case& c : kMidpoints) {
    char buffer[cellscale::kMaxCellTextLength];
    char* end = cellscale::detail::format_cell_in_double(buffer, c.value);
    ASSERT_NE(end, nullptr) << c.value;
    EXPECT_EQ(std::string(buffer, end), c.text) << c.value;
  }
}

// The row loop each instruction set takes, for the tests below.
class RowLoops : public cellscale::testing::EveryInstructionSet {
 protected:
  char* format(char* out, const double* values, std::size_t count, const char* origin, std::uint32_t* ends,
               const cellscale::CellScaling* scaling) const {
    return cellscale::detail::format_cells_using(GetParam(), out, values, count, origin, ends, scaling);
  }
};
CELLSCALE_FOR_EVERY_INSTRUCTION_SET(RowLoops);

// Each row loop on rows of 1 to 15 cells of the common sizes with one cell of
// another kind in each place: a group of four or eight where one lane falls
// back or settles a midpoint, and the tails after the groups. The texts are
// the hand-worked ones above, each followed by a tab.
TEST_P(RowLoops, WriteEveryCellOfAGroupAndItsTail) {
  const Case common[] = {{1234.567, "1234.57"}, {-9999, "-9999"}, {100.25, "100.25"},  {123456, "123456"},
                         {5.5, "5.5"},          {-1, "-1"},       {999999.4, "999999"}};
  std::vector<Case> others = {{0, "0"},
                              {-0.0, "-0"},
                              {0.5, "0.5"},
                              {0.00001, "1e-005"},
                              {999999.5, "1e+006"},
                              {1e6, "1e+006"},
                              {std::nan(""), "nan"},
                              {4.9406564584124654e-324, "4.94066e-324"},
                              {1234567, "1.23457e+006"}};
  others.insert(others.end(), std::begin(kMidpoints), std::end(kMidpoints));
  for (const Case& other : others) {
    for (std::size_t length = 1; length <= 15; ++length) {
      for (std::size_t place = 0; place < length; ++place) {
        std::vector<double> values;
        std::string expected;
        for (std::size_t i = 0; i < length; ++i) {
          const Case& c = i == place ? other : common[(i + place) % std::size(common)];
          values.push_back(c.value);
          expected += std::string(c.text) + '\t';
        }
        char buffer[16 * (cellscale::kMaxCellTextLength + 1)];
        std::uint32_t ends[16];
        char* end = format(buffer, values.data(), length, buffer, ends, nullptr);
        ASSERT_EQ(std::string(+buffer, end), expected) << other.value << " in place " << place;
        EXPECT_EQ(ends[length - 1], expected.size());
        EXPECT_EQ(std::string(buffer, format(buffer, values.data(), length, buffer, nullptr, nullptr)), expected);
      }
    }
  }
}

// The row loops scale as the run scales a cell: a nodata cell is written as
// the nodata value (with nodata 0, a -0 cell as 0), any other times the
// factor. Each row repeats its cells to 9, so that they fall in groups of
// four and in a tail.
TEST_P(RowLoops, ScaleEveryCellButNodata) {
  struct Row {
    cellscale::CellScaling scaling;
    std::vector<Case> cells;  // a cell and the text of it scaled
  };
  const Row rows[] = {
      {{-9999, 2}, {{-9999, "-9999"}, {1.25, "2.5"}, {-4999.5, "-9999"}, {300000, "600000"}}},
      {{0, 2}, {{-0.0, "0"}, {0, "0"}, {0.75, "1.5"}, {-3, "-6"}}},
      {{0, -1}, {{0, "0"}, {-0.0, "0"}, {2, "-2"}, {-250.125, "250.125"}}},
      {{3, 0.5}, {{3, "3"}, {6, "3"}, {2000001, "1e+006"}, {std::nan(""), "nan"}, {1e-300, "5e-301"}}},
  };
  for (const Row& row : rows) {
    std::vector<double> values;
    std::string expected;
    for (std::size_t i = 0; i < 9; ++i) {
      const Case& c = row.cells[i % row.cells.size()];
      values.push_back(c.value);
      expected += std::string(c.text) + '\t';
    }
    char buffer[9 * (cellscale::kMaxCellTextLength + 1)];
    std::uint32_t ends[9];
    char* end = format(buffer, values.data(), values.size(), buffer, ends, &row.scaling);
    EXPECT_EQ(std::string(+buffer, end), expected) << "factor " << row.scaling.factor;
    EXPECT_EQ(ends[8], expected.size());
  }
}

// Values whose scaling lands one unit above a midpoint where scaled + 0.5
// reaches a power of two (2^17, 2^18), which a row loop once took for the
// midpoint and rounded down; with the correct texts (printf's). Each is
// written scaled by every factor below from an input that scales to it, or
// to within a few units past it, in rows of 1, 4, 8 and 17 cells of it and in every place of a
// row of ones, and with no scaling.
TEST_P(RowLoops, RoundCellsJustAboveAMidpointAtAPowerOfTwoUp) {
  const Case cases[] = {
      {13.10715, "13.1072"},       {1.310715, "1.31072"},
      {262.1435, "262.144"},       {-26214.350000000002, "-26214.4"},
      {2621.435 * 0.1, "262.144"}, {43.00246062992126 * 0.3048, "13.1072"},
  };
  for (const Case& c : cases) {
    for (const double factor : {1.0, 0.5, 0.1, 0.3048, -1.0}) {
      // The input near value / factor whose product is the least at or
      // beyond the value in magnitude: the value itself for 1, 0.5 and -1,
      // a few units past it for the others, whose products do not reach
      // every double.
      double input = std::nan("");
      for (int step = -64; step <= 64; ++step) {
        const double candidate = cellscale::reference::step_ulps(c.value / factor, step);
        const double product = candidate * factor;
        if (std::signbit(product) == std::signbit(c.value) && std::fabs(product) >= std::fabs(c.value) &&
            !(std::fabs(input * factor) <= std::fabs(product))) {
          input = candidate;
        }
      }
      ASSERT_LE(std::fabs(input * factor), std::fabs(cellscale::reference::step_ulps(std::fabs(c.value), 8)))
          << "no input scales close to " << c.value << " by " << factor;
      if (factor == 1.0 || factor == 0.5 || factor == -1.0) {
        ASSERT_EQ(input * factor, c.value);
      }
      const std::string text = c.text;
      const cellscale::CellScaling scaling{-9999, factor};
      for (const std::size_t length : {std::size_t{1}, std::size_t{4}, std::size_t{8}, std::size_t{17}}) {
        for (std::size_t place = 0; place <= length; ++place) {
          // place == length: every cell is the value.
          std::vector<double> values(length, place == length ? input : 1.0 / factor);
          std::string expected;
          for (std::size_t i = 0; i < length; ++i) {
            if (place == length || i == place) {
              values[i] = input;
              expected += text + '\t';
            } else {
              expected += cellscale::reference::cell_text(values[i] * factor) + '\t';
            }
          }
          char buffer[17 * (cellscale::kMaxCellTextLength + 1)];
          EXPECT_EQ(std::string(+buffer, format(buffer, values.data(), length, buffer, nullptr, &scaling)), expected)
              << c.value << " from " << input << " times " << factor << ", row of " << length;
          if (factor == 1.0) {
            EXPECT_EQ(std::string(+buffer, format(buffer, values.data(), length, buffer, nullptr, nullptr)), expected)
                << c.value << ", row of " << length;
          }
        }
      }
    }
  }
}

// Every six-digit integer, written in full: each digit of each pair as
// std::to_string writes it.
TEST(CellFormat, EverySixDigitIntegerIsItsDigits) {
  for (int value = 100000; value <= 999999; ++value) {
    ASSERT_EQ(text_of(cellscale::format_cell, value), std::to_string(value));
  }
}

TEST(CellFormat, CellsWrittenBackToBackKeepTheirText) {
  // format_cell may overwrite the room past its end; the next cell written there must win.
  std::string expected;
  char buffer[64 * cellscale::kMaxCellTextLength];
  char* end = buffer;
  for (const Case& c : kCases) {
    end = cellscale::format_cell(end, c.value);
    *end++ = ' ';
    expected += std::string(c.text) + ' ';
  }
  EXPECT_EQ(std::string(buffer, end), expected);
}

// format_cell writes nothing past kMaxCellTextLength characters (a guard
// after that room stays intact), and its longest texts, "-1.23457e-308"-like,
// are 13 characters.
TEST(CellFormat, NeverNeedsMoreThanItsRoom) {
  std::vector<double> values = {-DBL_MAX, -4.9406564584124654e-324, -1.23457e-300, -0.000123457, -123457.0,
                                // The longest texts of the path that scales in double arithmetic.
                                -1.23457e-17, -9.99994e26, -0x1p-56, -std::nextafter(0x1p90, 0.0)};
  for (const Case& c : kCases) values.push_back(c.value);
  for (const double value : values) {
    char buffer[cellscale::kMaxCellTextLength + 16];
    std::memset(buffer, '#', sizeof buffer);
    const char* end = cellscale::format_cell(buffer, value);
    EXPECT_LE(end - buffer, 13) << value;
    EXPECT_EQ(std::string(buffer + cellscale::kMaxCellTextLength, 16), std::string(16, '#')) << value;
  }
}

TEST(CellFormatDetail, FloorLog10OfPowerOfTwoIsExactOverTheUsedRange) {
  const long double log10_of_2 = std::log10(2.0L);
  for (int e = -1100; e <= 1100; ++e) {
    const auto expected = static_cast<int>(std::floor(static_cast<long double>(e) * log10_of_2));
    ASSERT_EQ(cellscale::detail::floor_log10_pow2(e), expected) << e;
  }
}

TEST(CellFormatDetail, PortableMultiplyGivesTheFull128BitProduct) {
  using cellscale::detail::multiply_64x64_portable;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  struct Product {
    std::uint64_t a, b, high, low;
  };
  // clang-format off
  const Product products[] = {
      {0, kMax, 0, 0},
      {1, kMax, 0, kMax},
      {kMax, kMax, kMax - 1, 1},  // (2^64 - 1)^2 = 2^128 - 2^65 + 1
      {std::uint64_t{1} << 32, std::uint64_t{1} << 32, 1, 0},
      {0xffffffffU, 0xffffffffU, 0, 0xfffffffe00000001U},
      {0x8000000000000000U, 3, 1, 0x8000000000000000U},
  };
  // clang-format on
  for (const Product& p : products) {
    const cellscale::detail::UInt128 result = multiply_64x64_portable(p.a, p.b);
    EXPECT_EQ(result.high, p.high) << p.a << " * " << p.b;
    EXPECT_EQ(result.low, p.low) << p.a << " * " << p.b;
  }
#if defined(__SIZEOF_INT128__)
  __extension__ typedef unsigned __int128 Wide;
  std::mt19937_64 random(20240607U);
  for (int i = 0; i < 100000; ++i) {
    const std::uint64_t a = random() >> (random() % 64);
    const std::uint64_t b = random() >> (random() % 64);
    const Wide product = static_cast<Wide>(a) * b;
    const cellscale::detail::UInt128 result = multiply_64x64_portable(a, b);
    ASSERT_EQ(result.high, static_cast<std::uint64_t>(product >> 64)) << a << " * " << b;
    ASSERT_EQ(result.low, static_cast<std::uint64_t>(product)) << a << " * " << b;
  }
#endif
}

}  // namespace
