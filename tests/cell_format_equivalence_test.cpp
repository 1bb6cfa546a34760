// Compares format_cell with the C library's "%.6g" (exponent widened to three
// digits) over millions of values drawn across every magnitude. The number of
// draws per family is CELLSCALE_FORMAT_SAMPLES (default 300000), so that a long
// run is one environment variable away.

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "numbers/cell_format.h"
#include "numbers/cell_format_detail.h"
#include "support/instruction_sets.h"
#include "support/reference_grid.h"

namespace {

using cellscale::reference::step_ulps;
using Generator = std::mt19937_64;

std::uint64_t samples_per_family() {
  const char* text = std::getenv("CELLSCALE_FORMAT_SAMPLES");
  if (text == nullptr || *text == '\0') return 300000;
  return std::strtoull(text, nullptr, 10);
}

// The 34 decimal digits of |value| that follow its sixth significant digit.
std::string digits_after_the_sixth(double value) {
  char buffer[80];
  std::snprintf(buffer, sizeof buffer, "%.40e", std::fabs(value));
  // buffer is "d.dddd...e+XX": the seventh significant digit is at index 7.
  return std::string(buffer + 7, 34);
}

// Whether the exact decimal value has, after its sixth significant digit,
// 0.5 of that digit to within 1e-16 of it: the only values the fast path may leave
// to the slow one.
bool is_near_six_digit_midpoint(double value) {
  const std::string after_sixth = digits_after_the_sixth(value).substr(0, 16);
  return after_sixth == "5000000000000000" || after_sixth == "4999999999999999";
}

// Whether the value is one the path in double arithmetic takes: every value
// from 2^-56 to below 2^90 in magnitude, midpoints and ties included.
bool is_for_double_path(double value) {
  const double magnitude = std::fabs(value);
  return magnitude >= 0x1p-56 && magnitude < 0x1p90;
}

// Whether the decimal value ends exactly with a 5 in the seventh significant digit.
bool is_exact_six_digit_midpoint(double value) { return digits_after_the_sixth(value) == "5" + std::string(33, '0'); }

std::string describe(double value) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.17g (0x%016llx)", value,
                static_cast<unsigned long long>(std::bit_cast<std::uint64_t>(value)));
  return buffer;
}

// Runs every value through format_cell, each of its three paths alone, and
// rows of them through each row loop, and keeps the counts and the first few
// failures.
class Comparison {
 public:
  ~Comparison() { EXPECT_TRUE(row_values_.empty()) << "rows left unchecked: call finish()"; }

  void check(double value) {
    ++compared;
    // What the grid text must be: printf's %.6g with the exponent widened to three digits.
    const std::string expected = cellscale::reference::cell_text(value);
    add_to_row(value, expected);

    constexpr char kGuard = '#';
    char buffer[cellscale::kMaxCellTextLength + 8];
    std::memset(buffer, kGuard, sizeof buffer);
    char* end = cellscale::format_cell(buffer, value);
    const bool guard_intact = std::all_of(buffer + cellscale::kMaxCellTextLength, buffer + sizeof buffer,
                                          [](char c) { return c == kGuard; });
    const std::string text(buffer, end);
    if (text != expected || !guard_intact) {
      fail(value, "format_cell gave '" + text + "'" + (guard_intact ? "" : " writing past its room"), expected);
    }

    char double_buffer[cellscale::kMaxCellTextLength];
    char* double_end = cellscale::detail::format_cell_in_double(double_buffer, value);
    if (double_end == nullptr) {
      if (is_for_double_path(value)) fail(value, "path in double arithmetic declined a value it is for", expected);
    } else if (std::string(double_buffer, double_end) != expected) {
      fail(value, "path in double arithmetic gave '" + std::string(double_buffer, double_end) + "'", expected);
    }

    char fast_buffer[cellscale::kMaxCellTextLength];
    char* fast_end = cellscale::detail::format_cell_fast(fast_buffer, value);
    if (fast_end == nullptr) {
      ++declined;
      if (!is_near_six_digit_midpoint(value)) fail(value, "fast path declined a value far from a midpoint", expected);
    } else if (std::string(fast_buffer, fast_end) != expected) {
      fail(value, "fast path gave '" + std::string(fast_buffer, fast_end) + "'", expected);
    }

    char exact_buffer[cellscale::kMaxCellTextLength];
    const std::string exact(exact_buffer, cellscale::detail::format_cell_exact(exact_buffer, value));
    if (exact != expected) fail(value, "exact path gave '" + exact + "'", expected);
  }

  // Checks `input` scaled by `factor` (never the nodata value -9999 here) as
  // a row loop writes it, against printf's text of the product, in rows of
  // 1, 4, 8 and 17 cells in turn, one row for each factor.
  void check_scaled(double input, double factor) {
    ++compared;
    ScaledRow& row = scaled_rows_[factor];
    row.inputs.push_back(input);
    if (row.inputs.size() == kScaledRowLengths[row.length]) {
      check_scaled_row(factor, row.inputs);
      row.inputs.clear();
      row.length = (row.length + 1) % std::size(kScaledRowLengths);
    }
  }

  // Checks the rows of the last values, shorter than the others.
  void finish() {
    check_row();
    for (auto& [factor, row] : scaled_rows_) {
      check_scaled_row(factor, row.inputs);
      row.inputs.clear();
    }
  }

  std::uint64_t compared = 0;
  std::uint64_t declined = 0;  // by the fast path
  std::uint64_t failures = 0;
  std::vector<std::string> examples;  // of the first failures

 private:
  // Rows of 1 to 11 values in turn, so that groups of four start at every
  // place and every length of tail comes up, with every kind of value in
  // every lane, and then one of 600, long enough for the runs of cells
  // written one by one to reach their longest.
  void add_to_row(double value, const std::string& expected) {
    row_values_.push_back(value);
    row_texts_.push_back(expected);
    if (row_values_.size() == row_length_) {
      check_row();
      row_length_ = row_length_ == 11 ? 600 : row_length_ == 600 ? 1 : row_length_ + 1;
    }
  }

  void check_row() {
    if (row_values_.empty()) return;
    std::string expected;
    std::vector<std::uint32_t> expected_ends;
    for (const std::string& text : row_texts_) {
      expected += text + '\t';
      expected_ends.push_back(static_cast<std::uint32_t>(expected.size() + 1));  // after a leading byte
    }
    for (const cellscale::InstructionSet set : sets_) {
      auto loop = [set](char* out, const double* values, std::size_t count, const char* origin, std::uint32_t* ends,
                        const cellscale::CellScaling* scaling) {
        return cellscale::detail::format_cells_using(set, out, values, count, origin, ends, scaling);
      };
      for (const bool with_ends : {false, true}) {
        std::vector<char> buffer(1 + row_values_.size() * (cellscale::kMaxCellTextLength + 1));
        std::vector<std::uint32_t> ends(row_values_.size());
        char* end = loop(buffer.data() + 1, row_values_.data(), row_values_.size(), buffer.data(),
                         with_ends ? ends.data() : nullptr, nullptr);
        const std::string text(buffer.data() + 1, end);
        if (text != expected || (with_ends && ends != expected_ends)) {
          fail(row_values_.front(),
               "the " + std::string(cellscale::instruction_set_name(set)) + " row loop gave '" + text + "'" +
                   (with_ends ? " (with ends)" : ""),
               expected);
        }
      }
      // The row doubled and scaled back by the loop: doubling is exact where
      // it does not overflow, and so is halving the double. No cell is the
      // nodata value 3 (1.5 doubled), which would be written as it is.
      std::vector<double> doubled;
      for (const double value : row_values_) doubled.push_back(value * 2);
      const bool exact = std::all_of(row_values_.begin(), row_values_.end(),
                                     [](double value) { return std::isinf(value * 2) == std::isinf(value); }) &&
                         std::find(doubled.begin(), doubled.end(), 3.0) == doubled.end();
      if (exact) {
        const cellscale::CellScaling halving{3.0, 0.5};
        std::vector<char> buffer(1 + doubled.size() * (cellscale::kMaxCellTextLength + 1));
        std::vector<std::uint32_t> ends(doubled.size());
        char* end = loop(buffer.data() + 1, doubled.data(), doubled.size(), buffer.data(), ends.data(), &halving);
        const std::string text(buffer.data() + 1, end);
        if (text != expected || ends != expected_ends) {
          fail(row_values_.front(),
               "the " + std::string(cellscale::instruction_set_name(set)) + " row loop scaling by 0.5 gave '" + text +
                   "'",
               expected);
        }
      }
    }
    row_values_.clear();
    row_texts_.clear();
  }

  void check_scaled_row(double factor, const std::vector<double>& inputs) {
    if (inputs.empty()) return;
    std::string expected;
    for (const double input : inputs) expected += cellscale::reference::cell_text(input * factor) + '\t';
    const cellscale::CellScaling scaling{-9999, factor};
    for (const cellscale::InstructionSet set : sets_) {
      std::vector<char> buffer(inputs.size() * (cellscale::kMaxCellTextLength + 1));
      const std::string text(buffer.data(),
                             cellscale::detail::format_cells_using(set, buffer.data(), inputs.data(), inputs.size(),
                                                                   nullptr, nullptr, &scaling));
      if (text != expected) {
        fail(inputs.front(),
             "the " + std::string(cellscale::instruction_set_name(set)) + " row loop scaling by " +
                 std::to_string(factor) + " gave '" + text + "'",
             expected);
      }
    }
  }

  static constexpr std::size_t kScaledRowLengths[] = {1, 4, 8, 17};
  struct ScaledRow {
    std::vector<double> inputs;
    std::size_t length = 0;  // in kScaledRowLengths
  };
  std::map<double, ScaledRow> scaled_rows_;
  std::vector<cellscale::InstructionSet> sets_ = cellscale::testing::runnable_instruction_sets();
  std::vector<double> row_values_;
  std::vector<std::string> row_texts_;
  std::size_t row_length_ = 1;

  void fail(double value, const std::string& what, const std::string& expected) {
    ++failures;
    if (examples.size() < 20) examples.push_back(describe(value) + ": " + what + ", expected '" + expected + "'");
  }
};

double parse(const std::string& text) { return std::strtod(text.c_str(), nullptr); }

std::string random_digits(Generator& random, int count) {
  std::string digits(static_cast<std::size_t>(count), '0');
  for (char& digit : digits) digit = static_cast<char>('0' + random() % 10);
  if (digits[0] == '0') digits[0] = static_cast<char>('1' + random() % 9);
  return digits;
}

int random_int(Generator& random, int low, int high) {
  return low + static_cast<int>(random() % static_cast<std::uint64_t>(high - low + 1));
}

double random_sign(Generator& random, double value) { return (random() & 1) != 0 ? -value : value; }

// --- Families of values ----------------------------------------------------

// Any 64-bit pattern: every binade, subnormals, NaNs with any payload, infinities.
void random_bit_patterns(Generator& random, std::uint64_t draws, Comparison& comparison) {
  for (std::uint64_t i = 0; i < draws; ++i) comparison.check(std::bit_cast<double>(random()));
}

// Decimal numbers of 1 to 17 significant digits at decimal exponents from -330 to 310.
void random_decimals(Generator& random, std::uint64_t draws, Comparison& comparison) {
  for (std::uint64_t i = 0; i < draws; ++i) {
    const std::string text =
        random_digits(random, random_int(random, 1, 17)) + "e" + std::to_string(random_int(random, -346, 310));
    comparison.check(random_sign(random, parse(text)));
  }
}

// The doubles within 3 units in the last place of a midpoint between two six-digit
// results (R + 0.5) * 10^(X - 5) with a random six-digit R, one in eight with R = 999999 for
// the carry into a new digit at every scale.
void near_midpoints(Generator& random, std::uint64_t draws, Comparison& comparison) {
  for (std::uint64_t i = 0; i < draws; ++i) {
    const int r = (random() % 8 == 0) ? 999999 : random_int(random, 100000, 999999);
    const double midpoint = parse(std::to_string(r) + "5e" + std::to_string(random_int(random, -330, 302)));
    for (int delta = -3; delta <= 3; ++delta) comparison.check(random_sign(random, step_ulps(midpoint, delta)));
  }
}

// Values that are exactly a midpoint, value * 10^k = odd / 2 with k = 5 - X.
// For k >= 1 they are odd / 2^(k + 1) (k <= 7, beyond that none has six digits
// before the point); for k <= 0 they are odd * 5^-k * 2^(-k - 1) while that is exact.
void exact_ties(Generator& random, std::uint64_t draws, Comparison& comparison) {
  for (std::uint64_t i = 0; i < draws; ++i) {
    const int k = random_int(random, -13, 7);
    double value;
    if (k >= 1) {
      // odd / 2^(k + 1) in [10^(5 - k), 10^(6 - k)).
      const double scale = std::ldexp(1.0, k + 1);
      const auto low = static_cast<std::uint64_t>(std::ceil(scale * std::pow(10.0, 5 - k)));
      const auto high = static_cast<std::uint64_t>(std::floor(scale * std::pow(10.0, 6 - k)));
      const std::uint64_t odd = (low + random() % (high - low + 1)) | 1;
      if (static_cast<double>(odd) >= scale * std::pow(10.0, 6 - k)) continue;
      value = static_cast<double>(odd) / scale;
    } else {
      const std::uint64_t odd = static_cast<std::uint64_t>(random_int(random, 100000, 999999)) * 2 + 1;
      std::uint64_t product = odd;
      for (int j = 0; j < -k; ++j) product *= 5;
      if (product >= (std::uint64_t{1} << 53)) continue;
      value = std::ldexp(static_cast<double>(product), -k - 1);
    }
    EXPECT_TRUE(is_exact_six_digit_midpoint(value)) << describe(value);
    comparison.check(random_sign(random, value));
  }
}

// What grids hold: elevations with up to three decimals, integers, and values
// that went through float (including dyadic steps such as eighths, which are
// often exact ties).
void grid_like_values(Generator& random, std::uint64_t draws, Comparison& comparison) {
  for (std::uint64_t i = 0; i < draws; ++i) {
    const auto step = static_cast<std::int64_t>(random() % 10000001) - 5000000;
    double value = 0;
    switch (random() % 6) {
      case 0: value = static_cast<double>(step) / 1000.0; break;
      case 1: value = static_cast<double>(step) / 100.0; break;
      case 2: value = static_cast<double>(step % 100000); break;
      case 3: value = static_cast<double>(static_cast<float>(static_cast<double>(step) / 1000.0)); break;
      case 4: value = static_cast<double>(step) / static_cast<double>(1 << random_int(random, 1, 10)); break;
      default: {
        const auto bits = static_cast<std::uint32_t>(random());
        value = static_cast<double>(std::bit_cast<float>(bits));
        break;
      }
    }
    comparison.check(value);
  }
}

// Every power of ten from 1e-324 to 1e308 and every carry boundary
// 999999.5 * 10^(X - 5), each with the doubles within 8 units in the last place,
// both signs: this covers every table entry and the switches between fixed and
// exponent notation at 1e-5/1e-4 and 999999.5/1e6.
void powers_of_ten_and_carries(Generator&, std::uint64_t, Comparison& comparison) {
  for (int x = -324; x <= 308; ++x) {
    const double power = parse("1e" + std::to_string(x));
    const double carry = parse("9999995e" + std::to_string(x - 6));
    for (int delta = -8; delta <= 8; ++delta) {
      for (double sign : {1.0, -1.0}) {
        comparison.check(sign * step_ulps(power, delta));
        comparison.check(sign * step_ulps(carry, delta));
      }
    }
  }
}

// Where the row loops' own arithmetic has an edge: the scaled value + 0.5
// reaches a power of two (2^17, 2^18, 2^19), or the number of digits before
// the point changes (10^5, 10^6). For every power of ten that the loops
// scale by (values from 1 to 999999.5), every double within 2000 units in the
// last place of each six-digit midpoint next to such an edge, both signs;
// unscaled, and as the product of an input near it and each factor the
// users scale by most (feet and metres, tenths, halves, a change of sign).
void midpoints_at_the_loops_edges(Generator&, std::uint64_t, Comparison& comparison) {
  constexpr int kUlps = 2000;
  for (int x = 0; x <= 5; ++x) {
    for (const int edge : {100000, 131072, 262144, 524288, 1000000}) {
      for (int n = std::max(edge - 2, 100000); n <= std::min(edge + 1, 999999); ++n) {
        const double midpoint = parse(std::to_string(n) + "5e" + std::to_string(x - 6));
        for (const double sign : {1.0, -1.0}) {
          double value = step_ulps(sign * midpoint, -kUlps);
          for (int delta = -kUlps; delta <= kUlps; ++delta, value = step_ulps(value, 1)) comparison.check(value);
          for (const double factor : {0.5, 0.1, 0.3048, 1 / 0.3048, -1.0}) {
            double input = step_ulps(sign * midpoint / factor, -kUlps);
            for (int delta = -kUlps; delta <= kUlps; ++delta, input = step_ulps(input, 1)) {
              comparison.check_scaled(input, factor);
            }
          }
        }
      }
    }
  }
}

struct Family {
  const char* name;
  std::function<void(Generator&, std::uint64_t, Comparison&)> run;
  bool all_ties_on_fast_path;  // exact ties must not be left to the slow path
};

class CellFormatEquivalence : public testing::TestWithParam<Family> {};

TEST_P(CellFormatEquivalence, MatchesPrintfGeneralSixDigits) {
  const Family& family = GetParam();
  Generator random(0x6a09e667f3bcc909ULL + std::hash<std::string>{}(family.name));
  Comparison comparison;
  family.run(random, samples_per_family(), comparison);
  comparison.finish();

  std::printf("%s: compared %llu values, %llu mismatches, fast path declined %llu\n", family.name,
              static_cast<unsigned long long>(comparison.compared),
              static_cast<unsigned long long>(comparison.failures),
              static_cast<unsigned long long>(comparison.declined));
  EXPECT_GT(comparison.compared, 0U);
  EXPECT_EQ(comparison.failures, 0U) << testing::PrintToString(comparison.examples);
  EXPECT_TRUE(!family.all_ties_on_fast_path || comparison.declined == 0) << comparison.declined << " declined";
}

INSTANTIATE_TEST_SUITE_P(Families, CellFormatEquivalence,
                         testing::Values(Family{"RandomBitPatterns", random_bit_patterns, false},
                                         Family{"RandomDecimals", random_decimals, false},
                                         Family{"NearMidpoints", near_midpoints, false},
                                         Family{"ExactTies", exact_ties, true},
                                         Family{"GridLikeValues", grid_like_values, true},
                                         Family{"PowersOfTenAndCarries", powers_of_ten_and_carries, false},
                                         Family{"MidpointsAtTheLoopsEdges", midpoints_at_the_loops_edges, false}),
                         [](const testing::TestParamInfo<Family>& family) { return std::string(family.param.name); });

// Hand-picked edge cases, each compared with printf as above.
TEST(CellFormatEquivalenceEdges, MatchesPrintfOnEdgeCases) {
  // clang-format off
  const double edges[] = {
      0.0, -0.0, 1.0, -1.0, 0.5, 2.5, 999999.5, 999998.5, 999999.4999999999, 1e6, 999999, 100000, 99999.95,
      1234565, 1234575, 123.4375, 123.4385, 0.0001, 0.00001, 9.999995e-5, 9.9999949999e-5, 9.99999500001e-5,
      1e-4 * (1 - 1e-16), 1e-5 * (1 + 1e-16), 0.00012345678, 1234567, 4000000, 1e100, 1e-100, 0.1, 0.2, 0.3,
      1.0 / 3, 2.0 / 3, 100.25, 5e-324, -5e-324, DBL_MIN, -DBL_MIN, std::nextafter(DBL_MIN, 0.0), DBL_MAX,
      -DBL_MAX, std::nextafter(DBL_MAX, 0.0), DBL_EPSILON, 9007199254740993.0, 1.7976931348623157e308,
      2.2250738585072009e-308, 4.9406564584124654e-324, 1e-323, 1e22, 1e23, 9.999995e22, 8.5, 0.000125,
      // The ends of the range scaled in double arithmetic, and powers of ten whose nearest double lies below them.
      0x1p-56, -0x1p-56, std::nextafter(0x1p-56, 0.0), 0x1p90, std::nextafter(0x1p90, 0.0), 1e24, 1e25, 1e26,
      1e27, 1e-16, 1e-17, 9.99999e26, 9.999995e26, 1.5e-17, 4294967296.5, 1577.226 * 3.28084,
      std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::quiet_NaN(), -std::numeric_limits<double>::quiet_NaN(),
      std::numeric_limits<double>::signaling_NaN(), std::bit_cast<double>(std::uint64_t{0xfff0000000000001}),
  };
  // clang-format on
  Comparison comparison;
  for (double value : edges) comparison.check(value);
  comparison.finish();
  EXPECT_EQ(comparison.failures, 0U) << testing::PrintToString(comparison.examples);
}

}  // namespace
