#include "stats/cell_stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace cellscale {

void CellStats::reset(double nodata_value) {
  threshold_ = nodata_value + 1.0;
  count_ = 0;
  sum_ = 0.0;
  merged_count_ = merged_mean_ = merged_squares_ = 0.0;
  pending_count_ = 0;
}

// The values go through without a branch on whether they count, so that the
// loop runs at the pace of its one dependent chain, the running sum (which
// must add the counted values one after another). A value that does not count
// adds -0.0, which leaves every sum (0 and -0 included) as it is. It is still
// stored into the pending block, but the block's end moves on only for
// values that count, so the next value overwrites it. The extremes start each
// part at infinities and only a counted value that is strictly smaller (or
// larger) replaces them, so that of equal values the first one stays.
void CellStats::add_all(const double* values, std::size_t count) {
  constexpr double kInfinity = std::numeric_limits<double>::infinity();
  const double threshold = threshold_;
  while (count > 0) {
    // No more values than the pending block has room for, so that the stores
    // need no check.
    const std::size_t part = std::min(count, static_cast<std::size_t>(kBlock - pending_count_));
    double sum = sum_;
    double minimum = kInfinity;
    double maximum = -kInfinity;
    double* const pending = pending_.data();
    int end = pending_count_;
    const int start = end;
    for (std::size_t i = 0; i < part; ++i) {
      const double x = values[i];
      const bool counts = x > threshold;
      sum += counts ? x : -0.0;
      const double low = counts ? x : kInfinity;
      const double high = counts ? x : -kInfinity;
      minimum = low < minimum ? low : minimum;
      maximum = high > maximum ? high : maximum;
      pending[end] = x;
      end += counts ? 1 : 0;
    }
    sum_ = sum;
    const int counted = end - start;
    if (counted > 0) {
      // A counted value never is -infinity (it is above the threshold), and a
      // counted +infinity left as the start value is +infinity all the same.
      if (count_ == 0) {
        minimum_ = minimum;
        maximum_ = maximum;
      } else {
        if (minimum_ > minimum) minimum_ = minimum;
        if (maximum > maximum_) maximum_ = maximum;
      }
      count_ += counted;
    }
    pending_count_ = end;
    if (pending_count_ == kBlock) merge_pending();
    values += part;
    count -= part;
  }
}

// A block's sum and squared deviations are taken with four partial sums each:
// the order of those additions is free (only the grid's sum must be taken
// value after value), and four chains run four times as fast as one.
void CellStats::merge_pending() {
  if (pending_count_ == 0) return;
  const int n_values = pending_count_;
  const double n = n_values;
  double partial[4] = {0.0, 0.0, 0.0, 0.0};
  int i = 0;
  for (; i + 4 <= n_values; i += 4) {
    for (int lane = 0; lane < 4; ++lane) partial[lane] += pending_[i + lane];
  }
  for (; i < n_values; ++i) partial[i % 4] += pending_[i];
  const double block_mean = ((partial[0] + partial[1]) + (partial[2] + partial[3])) / n;
  double squares[4] = {0.0, 0.0, 0.0, 0.0};
  i = 0;
  for (; i + 4 <= n_values; i += 4) {
    for (int lane = 0; lane < 4; ++lane) {
      const double deviation = pending_[i + lane] - block_mean;
      squares[lane] += deviation * deviation;
    }
  }
  for (; i < n_values; ++i) {
    const double deviation = pending_[i] - block_mean;
    squares[i % 4] += deviation * deviation;
  }
  const double block_squares = (squares[0] + squares[1]) + (squares[2] + squares[3]);
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
  const double count = static_cast<double>(count_);
  header.slot[kCount] = count;
  header.slot[kMinimum] = minimum_;
  header.slot[kMaximum] = maximum_;
  header.slot[kSum] = sum_;
  header.slot[kMean] = count > 0 ? sum_ / count : kNoStatistic;
  double deviation = kNoStatistic;
  if (count > 2) deviation = merged_squares_ > 0 ? std::sqrt(merged_squares_ / (count - 1)) : 0.0;
  header.slot[kStandardDeviation] = deviation;
}

}  // namespace cellscale
