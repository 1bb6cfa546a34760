#pragma once

// Statistics of the scaled cells of one run: count, extremes, sum, mean and
// sample standard deviation, written into the statistics block of a binary
// output when the run ends.

#include <array>

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
  // a NaN never does, and with nodata -9999 neither does -9998.
  void add(double x) {
    if (!(x > reference_ + 1.0)) return;
    sum_ += x;
    count_ += 1.0;
    if (count_ == 1.0) {
      minimum_ = maximum_ = x;
    } else if (minimum_ > x) {
      minimum_ = x;
    } else if (x > maximum_) {
      maximum_ = x;
    }
    pending_[pending_count_++] = x;
    if (pending_count_ == kBlock) merge_pending();
  }

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

  double reference_ = 0.0;
  double count_ = 0.0;
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
