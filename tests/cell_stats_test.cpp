#include "stats/cell_stats.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "support/exact_statistics.h"
#include "support/reference_grid.h"

namespace {

using cellscale::CellStats;
using Block = CellStats::Summary;
using cellscale::reference::step_ulps;

Block finish_with(double nodata, const std::vector<double>& values) {
  CellStats stats;
  stats.reset(nodata);
  for (double x : values) stats.add(x);
  return stats.finish();
}

// The five statistics that must come out exactly, as one array to compare.
std::array<double, 5> exact_part(const Block& b) { return {b.count, b.minimum, b.maximum, b.sum, b.mean}; }

// The whole numbers 1 to `last`, then `tail`.
std::vector<double> one_to(int last, std::vector<double> tail) {
  std::vector<double> values;
  for (int i = 1; i <= last; ++i) values.push_back(i);
  values.insert(values.end(), tail.begin(), tail.end());
  return values;
}

TEST(CellStats, SummarisesTheCountedValues) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  struct Case {
    const char* name;
    double nodata;
    std::vector<double> values;
    Block expected;
  };
  const Case cases[] = {
      {"three values", -9999, {1, 2, 3}, {3, 1, 3, 6, 2, 1}},
      {"two values have no deviation", -9999, {5, 7}, {2, 5, 7, 12, 6, -9999}},
      {"equal values", -9999, {4, 4, 4}, {3, 4, 4, 12, 4, 0}},
      {"nothing counted", -9999, {}, {0, 0, 0, 0, -9999, -9999}},
      {"only values above nodata + 1 count",
       -9999,
       {-9997.5, -9998, -9998.5, std::nan("")},
       {1, -9997.5, -9997.5, -9997.5, -9997.5, -9999}},
      {"nodata 0 needs values above 1", 0, {0.5, 1, 2, 3, 4}, {3, 2, 4, 9, 3, 1}},
      {"a falling then rising sequence", -9999, {5, 3, 9, 1}, {4, 1, 9, 18, 4.5, std::sqrt(35.0 / 3.0)}},
      // Groups of 512 values in a row, counted or not: one with nothing counted, one whose first counts late.
      {"nodata across whole groups",
       -9999,
       [] {
         std::vector<double> values = {1, 2};
         values.resize(1500, -9999);
         values.push_back(3);
         return values;
       }(),
       {3, 1, 3, 6, 2, 1}},
      // A counted infinity has no finite spread, in whichever block of 256 it comes; -inf never counts.
      {"+inf in the second block", -9999, one_to(300, {kInfinity, 5}), {302, 1, kInfinity, kInfinity, kInfinity, 0}},
      {"+inf after several blocks",
       -9999,
       one_to(1000, {kInfinity, 5}),
       {1002, 1, kInfinity, kInfinity, kInfinity, 0}},
      {"-inf after several blocks",
       -9999,
       one_to(1000, {-kInfinity, 5}),
       {1001, 1, 1000, 500505, 500505.0 / 1001, std::sqrt(83662103500.0 / 1001000.0)}},
  };
  for (const Case& c : cases) {
    const Block got = finish_with(c.nodata, c.values);
    EXPECT_EQ(exact_part(got), exact_part(c.expected)) << c.name;
    EXPECT_DOUBLE_EQ(got.standard_deviation, c.expected.standard_deviation) << c.name;
  }
}

TEST(CellStats, ExtremesSurviveAResetWhenNothingIsCounted) {
  CellStats stats;
  stats.reset(-9999);
  stats.add(10);
  stats.add(20);
  (void)stats.finish();
  stats.reset(-9999);
  stats.add(-10000);  // below the threshold: not counted
  const Block got = stats.finish();
  EXPECT_EQ(exact_part(got), (std::array<double, 5>{0, 10, 20, 0, -9999}));
  EXPECT_EQ(got.standard_deviation, -9999);
}

// Lists of values whose standard deviation must come out within 1e-10 of the
// exact one (exactly 0 where all values are equal): large means with spreads
// of a few units in the last place, every size of value from the smallest to
// the largest, a first value far from the rest, and squares beyond the double
// range.
// The values `first`, then `count` values drawn by `value` from a generator started in `state`.
std::vector<double> values_of(std::size_t count, std::uint64_t state,
                              const std::function<double(std::mt19937_64&)>& value, std::vector<double> first = {}) {
  std::mt19937_64 generator(state);
  for (std::size_t i = 0; i < count; ++i) first.push_back(value(generator));
  return first;
}

TEST(CellStats, DeviationIsExactToTenDigits) {
  struct Case {
    std::string name;
    std::vector<double> values;
  };
  auto any_of = [](int highest) {
    return [highest](std::mt19937_64& g) { return static_cast<int>(g() % static_cast<std::uint64_t>(highest + 1)); };
  };
  std::vector<Case> cases = {
      {"equal tenths", {0.1, 0.1, 0.1}},
      {"equal large values", std::vector<double>(300, 100000000.1)},
      {"1e12 and steps of 2^-13", values_of(20000, 1, [&](auto& g) { return 1e12 + any_of(8)(g) * 0x1p-13; })},
      {"1e15 and steps of 1/8", values_of(20000, 2, [&](auto& g) { return 1e15 + any_of(4)(g) / 8.0; })},
      {"1e9 and 1e9 + 2^-23 in turn",
       values_of(10000, 0, [n = 0](auto&) mutable { return 1e9 + (n++ % 2) * 0x1p-23; })},
      {"squares beyond the range", values_of(10, 0, [i = 0](auto&) mutable { return 1.5e154 * (1 + i++ * 1e-12); })},
      {"differences beyond the range", {-1e308, 2, 3}},
      {"the widest spread", {-1.7e308, 1.7e308, 0}},
      {"the smallest differences", {0x1p-1074, 0x1p-1073, 0x1.8p-1073}},
      {"a first value far from the rest",
       values_of(10000, 3, [](auto& g) { return step_ulps(1.0, static_cast<int>(g() % 3)); }, {1e12})},
      {"a small first value before large ones",
       values_of(1000, 4, [](auto& g) { return step_ulps(1e300, static_cast<int>(g() % 2)); }, {1e-300})},
      {"1e8 and a uniform spread",
       values_of(200000, 42, [](auto& g) { return 1e8 + std::uniform_real_distribution<double>(0, 1)(g); })},
      {"a range grown far past the first blocks",
       [] {
         std::vector<double> values =
             values_of(300, 8, [](auto& g) { return std::uniform_real_distribution<double>(0, 1)(g); });
         values.insert(values.end(), {1e200, -1e200, 3});
         return values;
       }()},
      // The differences are taken unscaled for a range from 2^-200 to 2^200, scaled beyond.
      {"a range of 2^200 over steps of one unit",
       values_of(1000, 9, [](auto& g) { return step_ulps(1.0, static_cast<int>(g() % 3)); }, {0x1p200})},
      {"a range of 2^201 over steps of one unit",
       values_of(1000, 10, [](auto& g) { return step_ulps(1.0, static_cast<int>(g() % 3)); }, {0x1p201})},
      {"a range of 2^-200 over steps of one unit",
       values_of(1000, 11, [](auto& g) { return step_ulps(0x1p-400, static_cast<int>(g() % 3)); }, {0x1p-200})},
      {"a range of 2^-201 over steps of one unit",
       values_of(1000, 12, [](auto& g) { return step_ulps(0x1p-400, static_cast<int>(g() % 3)); }, {0x1p-201})},
      {"a lognormal spread",
       values_of(10007, 7, [](auto& g) { return std::lognormal_distribution<double>(3, 2)(g); })},
  };
  // Means from 1e-300 to 1e300, each with a spread of one unit in the last place.
  for (int exponent = -300; exponent <= 300; exponent += 50) {
    const double mean = std::pow(10.0, exponent);
    cases.push_back({"one unit of 1e" + std::to_string(exponent),
                     values_of(1000, static_cast<std::uint64_t>(exponent + 1000),
                               [mean](auto& g) { return step_ulps(mean, static_cast<int>(g() % 2)); })});
  }
  auto expect_exact = [](const std::string& name, double got, long double exact) {
    if (exact == 0) {
      EXPECT_EQ(got, 0.0) << name;
    } else {
      // Within 1e-10, or within the spacing of subnormal doubles, which are coarser.
      EXPECT_LE(std::fabs(got - exact), std::max(exact * 1e-10L, 0x1p-1074L))
          << name << ": " << got << " against " << static_cast<double>(exact);
    }
  };
  for (const Case& c : cases) {
    expect_exact(c.name, finish_with(-std::numeric_limits<double>::infinity(), c.values).standard_deviation,
                 cellscale::testing::exact_standard_deviation(c.values));
  }
  // Ten million values of nine kinds: the reference counts each kind once.
  std::vector<std::pair<double, std::uint64_t>> kinds;
  for (int k = 0; k <= 8; ++k) kinds.emplace_back(1e15 + k / 8.0, 0);
  const std::vector<double> many = values_of(10000000, 5, [&](auto& g) {
    const int k = any_of(8)(g);
    ++kinds[static_cast<std::size_t>(k)].second;
    return kinds[static_cast<std::size_t>(k)].first;
  });
  expect_exact("ten million values", finish_with(-9999, many).standard_deviation,
               cellscale::testing::exact_standard_deviation(kinds));
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

// The six statistics as bits, so that two blocks compare bit for bit.
std::array<std::uint64_t, 6> bits_of(const Block& block) {
  return std::bit_cast<std::array<std::uint64_t, 6>>(block);
}

// The sum is taken value after value in row order: the same additions in the
// same order as a plain loop, bit for bit.
double sequential_sum(double nodata, const std::vector<double>& values) {
  double sum = 0.0;
  for (double x : values) {
    if (x > nodata + 1.0) sum += x;
  }
  return sum;
}

TEST(CellStats, TheSumIsTakenInOrderBitForBit) {
  std::mt19937_64 generator(11);
  // Values of very different sizes, so that the order of the additions shows in the result.
  std::uniform_real_distribution<double> exponent(-20.0, 20.0);
  std::bernoulli_distribution nodata_cell(0.1);
  std::vector<double> values(100003);
  for (double& x : values) x = nodata_cell(generator) ? -9999.0 : std::pow(10.0, exponent(generator));
  const Block got = finish_with(-9999, values);
  EXPECT_TRUE(same_bits(got.sum, sequential_sum(-9999, values)));
  const double reversed = sequential_sum(-9999, std::vector<double>(values.rbegin(), values.rend()));
  EXPECT_NE(reversed, got.sum) << "the values do not show the order of the additions";
}

// add_all takes any run of values exactly as add() takes them one by one,
// however the runs are cut: across the pending block's end, with nodata,
// NaN, infinities and both zeros among them.
TEST(CellStats, AddingRunsEqualsAddingOneByOne) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  std::mt19937_64 generator(5);
  std::uniform_int_distribution<int> kind(0, 19);
  std::normal_distribution<double> spread(100.0, 50.0);
  std::uniform_int_distribution<std::size_t> cut(0, 700);
  for (const double nodata : {-9999.0, 0.0, -1.0}) {
    std::vector<double> values(20000);
    for (double& x : values) {
      switch (kind(generator)) {
        case 0: x = nodata; break;
        case 1: x = std::nan(""); break;
        case 2: x = 0.0; break;
        case 3: x = -0.0; break;
        case 4: x = kInfinity; break;
        case 5: x = nodata + 1.0; break;
        default: x = spread(generator);
      }
    }
    CellStats in_runs;
    in_runs.reset(nodata);
    std::size_t at = 0;
    while (at < values.size()) {
      const std::size_t count = std::min(cut(generator), values.size() - at);
      in_runs.add_all(values.data() + at, count);
      at += count;
    }
    const Block got = in_runs.finish();
    EXPECT_EQ(bits_of(got), bits_of(finish_with(nodata, values)));  // add() one by one
    EXPECT_TRUE(same_bits(got.sum, sequential_sum(nodata, values)));
  }
}

TEST(CellStats, OfEqualExtremesTheFirstStays) {
  // With nodata -9999 both zeros count. They compare equal, so the first of
  // them stays the minimum (or maximum), also when the values are taken in
  // two runs.
  struct Case {
    std::vector<double> values;
    std::size_t slot;
    double expected;
  };
  const Case cases[] = {
      {{5, 0.0, 7, -0.0, 6}, 8, 0.0},     {{5, -0.0, 7, 0.0, 6}, 8, -0.0}, {{-5, 0.0, -7, -0.0, -6}, 9, 0.0},
      {{-5, -0.0, -7, 0.0, -6}, 9, -0.0}, {{0.0, -0.0}, 8, 0.0},           {{-0.0, 0.0}, 9, -0.0},
  };
  for (const Case& c : cases) {
    for (const std::size_t first_run : {c.values.size(), std::size_t{1}, std::size_t{2}}) {
      CellStats stats;
      stats.reset(-9999);
      stats.add_all(c.values.data(), first_run);
      stats.add_all(c.values.data() + first_run, c.values.size() - first_run);
      const Block summary = stats.finish();
      const double got = c.slot == 8 ? summary.minimum : summary.maximum;
      EXPECT_TRUE(same_bits(got, c.expected)) << "slot " << c.slot << " first run " << first_run << ": " << got;
    }
  }
}

TEST(CellStats, InfinitiesCountAsExtremes) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  // -inf lies below the threshold: three values count, and their mean is infinite too.
  EXPECT_EQ(exact_part(finish_with(-9999, {kInfinity, 3.0, -kInfinity, 2.0})),
            (std::array<double, 5>{3, 2, kInfinity, kInfinity, kInfinity}));
  EXPECT_EQ(exact_part(finish_with(-9999, {kInfinity})),
            (std::array<double, 5>{1, kInfinity, kInfinity, kInfinity, kInfinity}));
}

}  // namespace
