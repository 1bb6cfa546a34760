#include "stats/cell_stats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

namespace {

using cellscale::CellStats;
using cellscale::GridHeader;

struct Block {
  double count, minimum, maximum, sum, mean, deviation;
};

Block finish_with(double nodata, const std::vector<double>& values) {
  CellStats stats;
  stats.reset(nodata);
  for (double x : values) stats.add(x);
  GridHeader header;
  stats.finish(header);
  return {header.slot[7], header.slot[8], header.slot[9], header.slot[10], header.slot[11], header.slot[12]};
}

TEST(CellStats, SummarisesTheCountedValues) {
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
      {"only values above nodata + 1 count", -9999, {-9997.5, -9998, -9998.5, std::nan("")},
       {1, -9997.5, -9997.5, -9997.5, -9997.5, -9999}},
      {"nodata 0 needs values above 1", 0, {0.5, 1, 2, 3, 4}, {3, 2, 4, 9, 3, 1}},
      {"a falling then rising sequence", -9999, {5, 3, 9, 1}, {4, 1, 9, 18, 4.5, std::sqrt(35.0 / 3.0)}},
  };
  for (const Case& c : cases) {
    const Block got = finish_with(c.nodata, c.values);
    EXPECT_EQ(got.count, c.expected.count) << c.name;
    EXPECT_EQ(got.minimum, c.expected.minimum) << c.name;
    EXPECT_EQ(got.maximum, c.expected.maximum) << c.name;
    EXPECT_EQ(got.sum, c.expected.sum) << c.name;
    EXPECT_EQ(got.mean, c.expected.mean) << c.name;
    EXPECT_DOUBLE_EQ(got.deviation, c.expected.deviation) << c.name;
  }
}

TEST(CellStats, ExtremesSurviveAResetWhenNothingIsCounted) {
  CellStats stats;
  stats.reset(-9999);
  stats.add(10);
  stats.add(20);
  GridHeader header;
  stats.finish(header);
  stats.reset(-9999);
  stats.add(-10000);  // below the threshold: not counted
  stats.finish(header);
  EXPECT_EQ(header.slot[7], 0);
  EXPECT_EQ(header.slot[8], 10);
  EXPECT_EQ(header.slot[9], 20);
  EXPECT_EQ(header.slot[11], -9999);
}

// A large mean with a small spread: a plain sum of squares loses every digit
// of the variance here, the block-wise merge keeps it.
TEST(CellStats, DeviationStaysAccurateForALargeMeanWithASmallSpread) {
  std::mt19937_64 generator(42);
  std::uniform_real_distribution<double> noise(0.0, 1.0);
  std::vector<double> values(1000000);
  for (double& x : values) x = 1e8 + noise(generator);

  long double mean = 0;
  for (double x : values) mean += x;
  mean /= values.size();
  long double squares = 0;
  for (double x : values) squares += (x - mean) * (x - mean);
  const double reference = static_cast<double>(std::sqrt(squares / (values.size() - 1)));

  const Block got = finish_with(-9999, values);
  EXPECT_NEAR(got.deviation, reference, reference * 1e-7);
  EXPECT_NEAR(got.deviation, std::sqrt(1.0 / 12.0), 1e-3);
}

TEST(CellStats, DeviationOfAnUnevenSequenceMatchesTwoPasses) {
  std::mt19937_64 generator(7);
  std::lognormal_distribution<double> spread(3.0, 2.0);
  std::vector<double> values(10007);  // not a whole number of blocks
  for (double& x : values) x = spread(generator);
  double mean = 0;
  for (double x : values) mean += x;
  mean /= values.size();
  double squares = 0;
  for (double x : values) squares += (x - mean) * (x - mean);
  const Block got = finish_with(-9999, values);
  EXPECT_NEAR(got.deviation, std::sqrt(squares / (values.size() - 1)), 1e-9 * got.deviation);
}

}  // namespace
