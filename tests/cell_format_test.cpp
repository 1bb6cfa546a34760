#include "numbers/cell_format.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "formats/ascii_grid.h"
#include "numbers/cell_digits.h"
#include "numbers/cell_format_detail.h"
#include "numbers/shortest_digits.h"
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
  for (const Case& c : kCases) {
    EXPECT_EQ(text_of(cellscale::format_cell, c.value), c.text) << c.value;
    char buffer[cellscale::kMaxCellDigitsTextLength];
    EXPECT_EQ(std::string(buffer, cellscale::format_cell_digits(buffer, c.value, 6)), c.text) << c.value;
  }
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

// --- Cells with a chosen number of digits, and the shortest ---------------

// A cell with the most digits and its tab fit the room the text writer keeps a cell.
static_assert(cellscale::kMaxCellDigitsTextLength + 1 <= cellscale::kCellTextRoom);

// "%.{digits}g" as the C library writes it, its exponent widened to three
// digits: the reference for format_cell_digits, made without std::to_chars.
std::string printf_text(double value, int digits) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%.*g", digits, value);
  std::string result(text, static_cast<std::size_t>(length));
  const std::size_t e = result.find('e');
  if (e != std::string::npos && result.size() - e == 4) result.insert(e + 2, 1, '0');
  return result;
}

// Whether strtod gives back exactly the bits of value from text.
bool reads_back(const std::string& text, double value) {
  return std::bit_cast<std::uint64_t>(std::strtod(text.c_str(), nullptr)) == std::bit_cast<std::uint64_t>(value);
}

// What `format` writes of value, checked to keep within its room: a guard
// after kMaxCellDigitsTextLength characters stays intact.
template <typename Format>
std::string digits_text(Format format, double value) {
  constexpr std::size_t kRoom = cellscale::kMaxCellDigitsTextLength;
  char buffer[kRoom + 8];
  std::memset(buffer, '#', sizeof buffer);
  const char* end = format(+buffer, value);
  if (std::memcmp(buffer + kRoom, "########", 8) != 0 || end - buffer > static_cast<std::ptrdiff_t>(kRoom)) {
    ADD_FAILURE() << "text of " << value << " goes past its room";
  }
  return std::string(static_cast<const char*>(buffer), end);
}

std::string text_with_digits(double value, int digits) {
  return digits_text([digits](char* out, double v) { return cellscale::format_cell_digits(out, v, digits); }, value);
}

std::string shortest_text(double value) { return digits_text(cellscale::format_cell_shortest, value); }

// The sample the digit tests sweep: hand-picked values where digits or
// notation change (with both signs and the doubles two units either side),
// NaN and infinities, then random bit patterns, random decimals of 1 to 17
// digits, and random exact ties (n + 1/2, n / 2^k with n odd), from fixed seeds.
const std::vector<double>& digit_sample() {
  static const std::vector<double> sample = [] {
    const double picked[] = {0,
                             1e-5,
                             9.9999995e-5,
                             0.0001,
                             0.00009999999999999999,
                             999999.5,
                             999999.4999999999,
                             1e6,
                             1e15,
                             1e16,
                             1e17,
                             1e21,
                             1e22,
                             1e23,
                             9007199254740992.0,
                             9007199254740994.0,
                             4503599627370495.5,
                             123456789012345678.0,
                             DBL_MAX,
                             DBL_MIN,
                             2.2250738585072009e-308,
                             4.9406564584124654e-324,
                             1e-310,
                             1e-320,
                             1.5,
                             2.5,
                             0.5,
                             0.125,
                             0.375,
                             0.0625,
                             12.5,
                             123.5,
                             1234.5,
                             12345.5,
                             1234567.5,
                             0.15,
                             0.25,
                             0.35,
                             9.5,
                             99.5,
                             0.95,
                             0.1,
                             0.2,
                             0.3,
                             1.0 / 3,
                             2.0 / 3,
                             100,
                             120,
                             123,
                             1000,
                             9999,
                             1e100,
                             1e-100,
                             1.7976931348623157e308,
                             5e-324,
                             1e-4,
                             1e-3,
                             0.30000000000000004,
                             1.0000000000000002,
                             9.999999999999999e22,
                             8.98846567431158e307};
    std::vector<double> values = {std::nan(""), -std::nan(""), std::numeric_limits<double>::infinity(),
                                  -std::numeric_limits<double>::infinity()};
    for (const double value : picked) {
      for (int step = -2; step <= 2; ++step) {
        values.push_back(cellscale::reference::step_ulps(value, step));
        values.push_back(-cellscale::reference::step_ulps(value, step));
      }
    }
#ifdef CELLSCALE_SANITIZED_TESTS
    constexpr int kEach = 8000;
#else
    constexpr int kEach = 100000;
#endif
    std::mt19937_64 random(20250311U);
    for (int i = 0; i < kEach; ++i) values.push_back(std::bit_cast<double>(random()));
    for (int i = 0; i < kEach; ++i) {
      const int digits = 1 + static_cast<int>(random() % 17);
      std::uint64_t mantissa = 1 + random() % 9;
      for (int d = 1; d < digits; ++d) mantissa = mantissa * 10 + random() % 10;
      // Mostly ordinary sizes, one in eight anywhere in the range.
      const int exponent =
          random() % 8 == 0 ? static_cast<int>(random() % 640) - 330 : static_cast<int>(random() % 40) - 20;
      char text[48];
      std::snprintf(text, sizeof text, "%s%llue%d", random() % 2 ? "-" : "",
                    static_cast<unsigned long long>(mantissa), exponent);
      values.push_back(std::strtod(text, nullptr));
    }
    for (int i = 0; i < kEach / 4; ++i) {
      const std::uint64_t n = random() >> (12 + random() % 52);
      values.push_back(static_cast<double>(n) + 0.5);
      values.push_back(std::ldexp(static_cast<double>(n | 1), -static_cast<int>(random() % 60)));
    }
    return values;
  }();
  return sample;
}

TEST(CellDigits, WritesWhatPrintfWritesWithEachNumberOfDigits) {
  int failures = 0;
  for (const double value : digit_sample()) {
    for (int digits = cellscale::kMinCellDigits; digits <= cellscale::kMaxCellDigits; ++digits) {
      const std::string expected = printf_text(value, digits);
      const std::string text = text_with_digits(value, digits);
      if (text != expected) {
        ADD_FAILURE() << std::hexfloat << value << " with " << digits << " digits: " << text << ", not " << expected;
        ASSERT_LT(++failures, 20);
      }
    }
  }
}

TEST(CellDigits, SixDigitsAreFormatCellsBytes) {
  for (const double value : digit_sample()) {
    const std::string expected = text_of(cellscale::format_cell, value);
    ASSERT_EQ(text_with_digits(value, 6), expected) << std::hexfloat << value;
    ASSERT_EQ(digits_text([](char* out, double v) { return cellscale::format_cell_with_digits(out, v, 6); }, value),
              expected)
        << std::hexfloat << value;
  }
}

TEST(CellDigits, DigitsOutsideTheRangeTakeTheNearest) {
  for (const double value : {1.0 / 3, -123456.75, 1e-7, DBL_MAX}) {
    EXPECT_EQ(text_with_digits(value, 0), printf_text(value, 1)) << value;
    EXPECT_EQ(text_with_digits(value, -5), printf_text(value, 1)) << value;
    EXPECT_EQ(text_with_digits(value, 18), printf_text(value, 17)) << value;
    EXPECT_EQ(text_with_digits(value, 1000), printf_text(value, 17)) << value;
  }
}

// Shortest texts worked out by hand: the fewest digits that read back, in
// exponent notation where the exponent X is below -4 or at least 17, as
// "%.17g" chooses, whatever the number of digits.
// clang-format off
const Case kShortestCases[] = {
    {0, "0"}, {-0.0, "-0"}, {0.1, "0.1"}, {1.0 / 3, "0.3333333333333333"}, {-2.0 / 3, "-0.6666666666666666"},
    {0.30000000000000004, "0.30000000000000004"}, {1, "1"}, {-9999, "-9999"}, {1234.5, "1234.5"},
    {100, "100"}, {-100, "-100"}, {120, "120"}, {123, "123"}, {1e5, "100000"}, {123456, "123456"},
    {999999.5, "999999.5"}, {5151875, "5151875"}, {4000000.5, "4000000.5"}, {-13627361.5, "-13627361.5"},
    {1e15 + 0.5, "1000000000000000.5"}, {1e16, "10000000000000000"}, {-1e16, "-10000000000000000"},
    {99999999999999984.0, "99999999999999980"}, {1e17, "1e+017"}, {-1e17, "-1e+017"}, {1.5e17, "1.5e+017"},
    {1e23, "1e+023"}, {9007199254740992.0, "9007199254740992"},
    // Halfway between two 17-digit numbers, both of which read back: the even one.
    {1125899906842624.25, "1125899906842624.2"}, {1125899906842624.75, "1125899906842624.8"},
    {-1125899906842625.25, "-1125899906842625.2"}, {999999999999999.75, "999999999999999.8"},
    {999999999999999.25, "999999999999999.2"},
    {2.675, "2.675"}, {-45.25, "-45.25"}, {0.001, "0.001"}, {12345.678, "12345.678"}, {-0.5, "-0.5"},
    {123456789012345678.0, "1.2345678901234568e+017"}, {0.0001, "0.0001"}, {0.00012345, "0.00012345"},
    {-0.00012345678901234567, "-0.00012345678901234567"},
    {1e-5, "1e-005"}, {-2.5e-5, "-2.5e-005"}, {9.9999995e-5, "9.9999995e-005"},
    {DBL_MAX, "1.7976931348623157e+308"}, {-DBL_MAX, "-1.7976931348623157e+308"},
    {DBL_MIN, "2.2250738585072014e-308"}, {4.9406564584124654e-324, "5e-324"}, {-1e-310, "-1e-310"},
    {std::numeric_limits<double>::infinity(), "inf"}, {-std::numeric_limits<double>::infinity(), "-inf"},
    {std::nan(""), "nan"}, {-std::nan(""), "-nan"},
};
// clang-format on

TEST(CellDigits, ShortestTextsWorkedByHand) {
  for (const Case& c : kShortestCases) {
    EXPECT_EQ(shortest_text(c.value), c.text) << c.value;
    char buffer[cellscale::kMaxCellDigitsTextLength];
    EXPECT_EQ(std::string(buffer,
                          cellscale::format_cell_with_digits(buffer, c.value, cellscale::kShortestCellDigits)),
              c.text)
        << c.value;
  }
}

// The significant digits of a cell text and the exponent X of its first
// (d.ddd * 10^X), read from the characters alone, and its notation.
struct DecimalText {
  std::string digits;
  int exponent = 0;
  bool exponent_notation = false;
};

DecimalText decimal_text(const std::string& text) {
  DecimalText decimal;
  std::size_t at = text[0] == '-' ? 1 : 0;
  int before_point = 0;
  bool point = false;
  for (; at < text.size() && text[at] != 'e'; ++at) {
    if (text[at] == '.') {
      point = true;
    } else {
      decimal.digits += text[at];
      if (!point) ++before_point;
    }
  }
  const std::size_t zeros = std::min(decimal.digits.find_first_not_of('0'), decimal.digits.size() - 1);
  decimal.digits.erase(0, zeros);
  decimal.exponent = before_point - 1 - static_cast<int>(zeros);
  if (at < text.size()) {
    decimal.exponent_notation = true;
    decimal.exponent += std::atoi(text.c_str() + at + 1);
  }
  // Zeros that only fill the places before the point (100) are no significant digits.
  decimal.digits.erase(std::max<std::size_t>(decimal.digits.find_last_not_of('0') + 1, 1));
  return decimal;
}

// Every finite value of the sample: the text reads back to its bits, one
// digit fewer with the nearest such number does not, the notation is the
// one "%.17g" chooses, and where "%.{P}g" reads back too the two texts have
// the same digits and exponent (where it does not, the shortest digits are
// not the nearest P-digit number: the value is a power of two, whose
// neighbours below are nearer than those above).
TEST(CellDigits, ShortestTextReadsBackWithNoFewerDigits) {
  int not_nearest = 0;
  for (const double value : digit_sample()) {
    if (!std::isfinite(value)) continue;
    const std::string text = shortest_text(value);
    ASSERT_TRUE(reads_back(text, value)) << std::hexfloat << value << ": " << text;
    const DecimalText decimal = decimal_text(text);
    const int digits = static_cast<int>(decimal.digits.size());
    ASSERT_EQ(decimal.exponent_notation, decimal_text(printf_text(value, 17)).exponent_notation)
        << std::hexfloat << value << ": " << text;
    if (digits > 1) {
      ASSERT_FALSE(reads_back(printf_text(value, digits - 1), value))
          << std::hexfloat << value << ": " << text << " and " << printf_text(value, digits - 1);
    }
    const std::string nearest = printf_text(value, digits);
    if (reads_back(nearest, value)) {
      const DecimalText nearest_decimal = decimal_text(nearest);
      ASSERT_EQ(decimal.digits, nearest_decimal.digits) << std::hexfloat << value << ": " << text << ", " << nearest;
      ASSERT_EQ(decimal.exponent, nearest_decimal.exponent) << std::hexfloat << value << ": " << text;
      ASSERT_EQ(text[0] == '-', nearest[0] == '-') << std::hexfloat << value << ": " << text;
    } else {
      ASSERT_EQ(std::bit_cast<std::uint64_t>(value) & 0x000fffffffffffffU, 0U)
          << std::hexfloat << value << ": " << text;
      ++not_nearest;
    }
  }
  EXPECT_LT(not_nearest, 100);
}

// The shortest digits and exponent of |value| as std::to_chars writes them
// (its scientific text), the reference the conversion is held against:
// libstdc++ works them out in a way of its own.
DecimalText to_chars_decimal(double value) {
  char text[64];
  const char* const end = std::to_chars(text, text + sizeof text, value, std::chars_format::scientific).ptr;
  DecimalText decimal;
  const char* at = text[0] == '-' ? text + 1 : text;
  for (; *at != 'e'; ++at) {
    if (*at != '.') decimal.digits += *at;
  }
  decimal.exponent = std::atoi(std::string(at + 1, end).c_str());
  return decimal;
}

// The values the conversion is held against std::to_chars on: every power of
// two and of ten in range with their neighbours, the subnormals' ends,
// integers up to 2^53, numbers of 15 to 17 digits, and random bit patterns
// (millions where the build is optimised).
std::vector<double> shortest_sample() {
#if defined(NDEBUG) && !defined(CELLSCALE_SANITIZED_TESTS)
  constexpr int kRandom = 6000000;
#else
  constexpr int kRandom = 150000;
#endif
  std::vector<double> values = {DBL_MAX,
                                DBL_MIN,
                                DBL_TRUE_MIN,
                                std::bit_cast<double>(std::uint64_t{0x000fffffffffffff}),
                                std::bit_cast<double>(std::uint64_t{2}),
                                std::bit_cast<double>(std::uint64_t{3}),
                                9007199254740992.0,
                                9007199254740991.0,
                                9007199254740993.0};
  for (int e = -1074; e <= 1023; ++e) {
    const double power = std::ldexp(1.0, e);
    for (int step = -1; step <= 1; ++step) values.push_back(cellscale::reference::step_ulps(power, step));
  }
  for (int e = -323; e <= 308; ++e) {
    char text[16];
    std::snprintf(text, sizeof text, "1e%d", e);
    const double power = std::strtod(text, nullptr);
    for (int step = -3; step <= 3; ++step) values.push_back(cellscale::reference::step_ulps(power, step));
  }
  std::mt19937_64 random(20250612U);
  for (int i = 0; i < 100000; ++i) {
    values.push_back(static_cast<double>(random() >> (11 + random() % 53)));  // whole numbers up to 2^53
    // 15 to 17 digits, with the point anywhere from 1e-30 to 1e30.
    const int digits = 15 + static_cast<int>(random() % 3);
    std::uint64_t mantissa = 1 + random() % 9;
    for (int d = 1; d < digits; ++d) mantissa = mantissa * 10 + random() % 10;
    char text[48];
    std::snprintf(text, sizeof text, "%llue%d", static_cast<unsigned long long>(mantissa),
                  static_cast<int>(random() % 61) - 30 - digits);
    values.push_back(std::strtod(text, nullptr));
  }
  for (int i = 0; i < kRandom; ++i) values.push_back(std::bit_cast<double>(random()));
  return values;
}

// Each finite value's shortest decimal has the digits and exponent of
// std::to_chars's shortest text, and so has the cell text, which reads back
// to the same bits and takes exponent notation just where the exponent is
// below -4 or at least 17.
TEST(CellDigits, ShortestDigitsAreThoseOfToChars) {
  int failures = 0;
  for (const double value : shortest_sample()) {
    if (!std::isfinite(value) || value == 0) continue;
    const DecimalText expected = to_chars_decimal(value);
    // The conversion's own significand and exponent, its trailing zeros dropped.
    const cellscale::ShortestDecimal decimal = cellscale::shortest_decimal(value);
    std::string digits = std::to_string(decimal.significand);
    const std::size_t kept = digits.find_last_not_of('0') + 1;
    const int exponent = decimal.exponent + static_cast<int>(digits.size()) - 1;
    digits.erase(kept);
    // The text's, read from its characters alone.
    const std::string text = shortest_text(value);
    const DecimalText written = decimal_text(text);
    const bool exponent_notation = expected.exponent < -4 || expected.exponent >= 17;
    if (digits != expected.digits || exponent != expected.exponent || written.digits != expected.digits ||
        written.exponent != expected.exponent || written.exponent_notation != exponent_notation ||
        (text[0] == '-') != std::signbit(value) || !reads_back(text, value)) {
      ADD_FAILURE() << std::hexfloat << value << ": " << text << " (" << digits << " e" << exponent
                    << "), std::to_chars gives " << expected.digits << " e" << expected.exponent;
      ASSERT_LT(++failures, 20);
    }
  }
}

// The shortest row loop of each instruction set (four cells at a time with
// AVX2) against format_cell_shortest, which the test above holds against
// std::to_chars: the first 600,000 values of its sample (every kind of value
// and random bit patterns), in its order and shuffled, in rows of 1 to 9
// cells and in one long row, so that each kind of cell (zero, subnormal,
// power of two, NaN) falls in every place of a group of four and of the
// tail; with ends and without, scaled and not, each row in a buffer of
// just the room it is given and a guard after it.
class ShortestRowLoops : public cellscale::testing::EveryInstructionSet {};
CELLSCALE_FOR_EVERY_INSTRUCTION_SET(ShortestRowLoops);

TEST_P(ShortestRowLoops, WriteTheTextsOfFormatCellShortest) {
  std::vector<double> sample = shortest_sample();
  sample.resize(std::min<std::size_t>(sample.size(), 600000));
  std::vector<double> shuffled = sample;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(20251208U));
  constexpr std::size_t kRoom = cellscale::kMaxCellTextLength + 1;
  constexpr std::size_t kGuard = 48;
  std::vector<char> buffer;
  std::vector<std::uint32_t> ends;
  const auto check_row = [&](const double* cells, std::size_t count, const std::vector<std::string>& texts,
                             const cellscale::CellScaling* scaling) {
    std::string expected;
    std::vector<std::uint32_t> expected_ends;
    for (std::size_t i = 0; i < count; ++i) {
      expected += texts[i] + '\t';
      expected_ends.push_back(static_cast<std::uint32_t>(expected.size()));
    }
    buffer.assign(count * kRoom + kGuard, '#');
    ends.assign(count, 0);
    char* const out = buffer.data();
    const char* end =
        cellscale::detail::format_shortest_cells_using(GetParam(), out, cells, count, out, ends.data(), scaling);
    ASSERT_EQ(std::string(static_cast<const char*>(out), end), expected) << count << " cells";
    ASSERT_EQ(ends, expected_ends) << count << " cells";
    ASSERT_EQ(std::string(buffer.end() - kGuard, buffer.end()), std::string(kGuard, '#')) << count << " cells";
    end = cellscale::detail::format_shortest_cells_using(GetParam(), out, cells, count, nullptr, nullptr, scaling);
    ASSERT_EQ(std::string(static_cast<const char*>(out), end), expected) << count << " cells, no ends";
  };
  // Scaled as the run scales: a nodata cell stays nodata, any other is
  // multiplied by the factor.
  const cellscale::CellScaling scaling{-9999, 3.28084};
  for (const std::vector<double>* values : {&sample, &shuffled}) {
    std::vector<std::string> texts;
    std::vector<std::string> scaled_texts;
    for (const double value : *values) {
      texts.push_back(shortest_text(value));
      scaled_texts.push_back(shortest_text(value == scaling.nodata ? scaling.nodata : value * scaling.factor));
    }
    std::size_t at = 0;
    for (std::size_t length = 1; at + length <= values->size(); at += length, length = length % 9 + 1) {
      const std::vector<std::string> row_texts(texts.begin() + static_cast<std::ptrdiff_t>(at),
                                               texts.begin() + static_cast<std::ptrdiff_t>(at + length));
      check_row(values->data() + at, length, row_texts, nullptr);
      if (at % 7 == 0) {
        const std::vector<std::string> scaled_row(scaled_texts.begin() + static_cast<std::ptrdiff_t>(at),
                                                  scaled_texts.begin() + static_cast<std::ptrdiff_t>(at + length));
        check_row(values->data() + at, length, scaled_row, &scaling);
      }
      if (HasFatalFailure()) return;
    }
    check_row(values->data(), values->size(), texts, nullptr);
    check_row(values->data(), values->size(), scaled_texts, &scaling);
    if (HasFatalFailure()) return;
  }
}

// Each text worked out by hand in every place of a group of four whose
// other cells are plain (1234.5), so that the loop that takes four cells at
// a time writes it wherever it can.
TEST_P(ShortestRowLoops, WriteTheTextsWorkedByHandInEveryPlace) {
  constexpr std::size_t kCells = 5;
  char buffer[kCells * (cellscale::kMaxCellTextLength + 1)];
  for (const Case& c : kShortestCases) {
    for (std::size_t place = 0; place < 4; ++place) {
      double row[kCells] = {1234.5, 1234.5, 1234.5, 1234.5, 1234.5};
      row[place] = c.value;
      std::string expected;
      for (std::size_t i = 0; i < kCells; ++i) expected += (i == place ? std::string(c.text) : "1234.5") + '\t';
      const char* const end =
          cellscale::detail::format_shortest_cells_using(GetParam(), buffer, row, kCells, nullptr, nullptr, nullptr);
      EXPECT_EQ(std::string(static_cast<const char*>(buffer), end), expected) << c.text << " in place " << place;
    }
  }
}

// The fixed-point logarithms the conversion takes, against the same
// logarithms in long double: no exponent in range brings q * log10(2) or
// e * log2(10) within its error of a whole number.
TEST(CellDigits, ShortestConversionLogarithmsAreExact) {
  using namespace cellscale::shortest_detail;
  const long double log10_2 = std::log10(2.0L);
  for (int q = -1100; q <= 1100; ++q) {
    ASSERT_EQ(floor_log10_pow2(q), static_cast<int>(std::floor(q * log10_2))) << q;
    ASSERT_EQ(floor_log10_three_quarters_pow2(q), static_cast<int>(std::floor(q * log10_2 + std::log10(0.75L)))) << q;
  }
  for (int e = -330; e <= 330; ++e) {
    ASSERT_EQ(floor_log2_pow10(e), static_cast<int>(std::floor(e * std::log2(10.0L)))) << e;
  }
}

// The row loops with each number of digits (0: the shortest) give each cell's
// text as format_cell_with_digits writes it, and its tab; the ends are counted
// from an origin before the row. Scaled, each row is worked out by hand: a
// nodata cell stays nodata (with nodata 0, a -0 cell is 0), any other is
// multiplied by the factor.
TEST(CellDigits, RowsAreTheCellsTextsWithTabs) {
  const std::vector<double>& sample = digit_sample();
  const std::vector<double> row(sample.begin(), sample.begin() + 700);  // the picked values and a few random ones
  struct ScaledRow {
    cellscale::CellScaling scaling;
    std::vector<double> cells;
    std::vector<double> scaled;
  };
  const ScaledRow scaled_rows[] = {
      {{-9999, 2}, {-9999, 1.25, -4999.5, 0.1, 1.0 / 3}, {-9999, 2.5, -9999, 0.2, 2.0 / 3}},
      {{0, 2}, {-0.0, 0, 0.75, 1e300}, {0, 0, 1.5, 2e300}},
      {{0, -1}, {0, -0.0, 2, 0.1}, {0, 0, -2, -0.1}},
      {{3, 0.5}, {3, 6, std::nan(""), 1e-300, 2000001}, {3, 3, std::nan(""), 5e-301, 1000000.5}},
  };
  constexpr std::size_t kBefore = 3;
  std::vector<char> buffer(kBefore + row.size() * (cellscale::kMaxCellTextLength + 1));
  std::vector<std::uint32_t> ends(row.size());
  for (int digits = cellscale::kShortestCellDigits; digits <= cellscale::kMaxCellDigits; ++digits) {
    const auto check = [&](const std::vector<double>& values, const std::vector<double>& texts_of,
                           const cellscale::CellScaling* scaling) {
      std::string expected;
      std::vector<std::uint32_t> expected_ends;
      for (const double value : texts_of) {
        char text[cellscale::kMaxCellDigitsTextLength];
        expected += std::string(text, cellscale::format_cell_with_digits(text, value, digits)) + '\t';
        expected_ends.push_back(static_cast<std::uint32_t>(kBefore + expected.size()));
      }
      char* const out = buffer.data() + kBefore;
      char* end = scaling != nullptr
                      ? cellscale::format_scaled_cells_with_tabs_digits(out, values.data(), values.size(), digits,
                                                                        *scaling, buffer.data(), ends.data())
                      : cellscale::format_cells_with_tabs_digits(out, values.data(), values.size(), digits,
                                                                 buffer.data(), ends.data());
      EXPECT_EQ(std::string(out, end), expected) << digits << " digits";
      EXPECT_EQ(std::vector<std::uint32_t>(ends.begin(), ends.begin() + static_cast<std::ptrdiff_t>(values.size())),
                expected_ends)
          << digits << " digits";
      end = scaling != nullptr
                ? cellscale::format_scaled_cells_with_tabs_digits(out, values.data(), values.size(), digits, *scaling)
                : cellscale::format_cells_with_tabs_digits(out, values.data(), values.size(), digits);
      EXPECT_EQ(std::string(out, end), expected) << digits << " digits, no ends";
    };
    check(row, row, nullptr);
    for (const ScaledRow& scaled : scaled_rows) check(scaled.cells, scaled.scaled, &scaled.scaling);
  }
}

}  // namespace
