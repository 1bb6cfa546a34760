#include "stats/cell_stats.h"

#include <cmath>

namespace cellscale {

void CellStats::reset(double nodata_value) {
  reference_ = nodata_value;
  count_ = sum_ = 0.0;
  merged_count_ = merged_mean_ = merged_squares_ = 0.0;
  pending_count_ = 0;
}

void CellStats::merge_pending() {
  if (pending_count_ == 0) return;
  const double n = pending_count_;
  double block_sum = 0.0;
  for (int i = 0; i < pending_count_; ++i) block_sum += pending_[i];
  const double block_mean = block_sum / n;
  double block_squares = 0.0;
  for (int i = 0; i < pending_count_; ++i) {
    const double deviation = pending_[i] - block_mean;
    block_squares += deviation * deviation;
  }
  // Merging two groups by their means (Chan, Golub and LeVeque).
  const double total = merged_count_ + n;
  const double delta = block_mean - merged_mean_;
  merged_mean_ += delta * (n / total);
  merged_squares_ += block_squares + delta * delta * (merged_count_ * n / total);
  merged_count_ = total;
  pending_count_ = 0;
}

void CellStats::finish(GridHeader& header) {
  merge_pending();
  header.slot[kCount] = count_;
  header.slot[kMinimum] = minimum_;
  header.slot[kMaximum] = maximum_;
  header.slot[kSum] = sum_;
  header.slot[kMean] = count_ > 0 ? sum_ / count_ : kNoStatistic;
  double deviation = kNoStatistic;
  if (count_ > 2) deviation = merged_squares_ > 0 ? std::sqrt(merged_squares_ / (count_ - 1)) : 0.0;
  header.slot[kStandardDeviation] = deviation;
}

}  // namespace cellscale
