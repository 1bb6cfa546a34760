#pragma once

// Statistics of the scaled cells of one run: count, extremes, sum, mean and
// sample standard deviation, written into the statistics block of a binary
// output when the run ends.

#include <array>
#include <cstddef>
#include <cstdint>

#include "grid/grid_header.h"

namespace cellscale {

// Written as the mean or standard deviation when too few values were counted.
// It is fixed and does not follow the grid's nodata value.
inline constexpr double kNoStatistic = -9999.0;

class CellStats {
 public:
  // Starts counting anew for a grid whose nodata value is given. The extremes
  // are left as they were: with nothing counted they report what they held.
  void reset(double nodata_value);

  // Takes in one scaled cell. Only values strictly above nodata + 1 count; so
  // a NaN never does, and with nodata -9999 neither does -9998. The sum adds
  // the counted values one after another in the order they come; the first
  // counted value sets both extremes, and of equal values (0 and -0) the
  // first one stays.
  void add(double x) { add_all(&x, 1); }

  // Takes in `count` values in order, exactly as `count` calls of add() would.
  void add_all(const double* values, std::size_t count);

  // Writes count, minimum, maximum, sum, mean and standard deviation into
  // slots 7 to 12. The mean needs one value and the standard deviation three;
  // with fewer they are kNoStatistic.
  void finish(GridHeader& header);

 private:
  // The spread is gathered block by block: each block's deviations are taken
  // from its own mean and the blocks are merged by their means, which keeps
  // the standard deviation accurate where the mean is large and the spread
  // small (where a sum of squares would cancel away every digit).
  static constexpr int kBlock = 256;
  void merge_pending();

  struct Extremes {
    double minimum;
    double maximum;
  };
  // The smallest and largest of count (at least one) values that count.
  static Extremes extremes_of(const double* values, int count);

  double threshold_ = 1.0;  // nodata + 1: only values above it count
  std::int64_t count_ = 0;
  double minimum_ = 0.0;
  double maximum_ = 0.0;
  double sum_ = 0.0;

  double merged_count_ = 0.0;
  double merged_mean_ = 0.0;
  double merged_squares_ = 0.0;  // sum of squared deviations from merged_mean_
  std::array<double, kBlock> pending_{};
  int pending_count_ = 0;
};

}  // namespace cellscale
