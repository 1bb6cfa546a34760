#pragma once

// Statistics of the scaled cells of one run: count, extremes, sum, mean and
// sample standard deviation. They know nothing of grids: the run takes the
// summary that finish() gives and puts it into the header it writes.

#include <array>
#include <cstddef>
#include <cstdint>

namespace cellscale {

// Written as the mean or standard deviation when too few values were counted.
// Contract (README, Formats): fixed at -9999, whatever the nodata value.
inline constexpr double kNoStatistic = -9999.0;

// A number carried as the unevaluated sum of two doubles (about 106 bits), for
// the few sums of each group that must keep what a double rounds away.
struct DoubleDouble {
  double high = 0.0;
  double low = 0.0;
};

class CellStats {
 public:
  // The six statistics of the values taken.
  struct Summary {
    double count;
    double minimum;
    double maximum;
    double sum;
    double mean;
    double standard_deviation;
  };

  // Starts counting anew for a grid whose nodata value is given. The extremes
  // are left as they were: with nothing counted they report what they held
  // (0 for a new CellStats).
  // Contract (docs/cellscale.1, Statistics block): extremes kept on purpose.
  void reset(double nodata_value);

  // Takes in one scaled cell. Only values strictly above nodata + 1 count; so
  // a NaN never does, and with nodata -9999 neither does -9998. The sum adds
  // the counted values one after another in the order they come; the first
  // counted value sets both extremes, and of equal values (0 and -0) the
  // first one stays.
  void add(double x) { add_all(&x, 1); }

  // Takes in `count` values in order, exactly as `count` calls of add() would.
  void add_all(const double* values, std::size_t count);

  // The statistics of the values taken so far. The mean needs one value and
  // the standard deviation three; with fewer they are kNoStatistic. The
  // standard deviation is the exact sample standard deviation to 1e-10 or
  // better, whatever the size and spread of the values, and exactly 0 when
  // all counted values are equal; a counted infinity gives 0, as no finite
  // spread describes it.
  [[nodiscard]] Summary finish();

 private:
  // The values are taken in groups of kGroup consecutive values, counted or
  // not, so that where a group ends depends on the values' order alone,
  // never on how the caller cuts them into runs. A group that the caller's
  // array holds whole is taken where it lies; the values of a group that
  // spans runs wait in pending_ until it is complete.
  //
  // One pass over a group adds its counted values to the running sum, counts
  // them, takes their extremes and sums their differences to the group's first
  // counted value and the squares of those in plain doubles. Those two sums
  // are carried over to the reference (the first counted value of the run)
  // in DoubleDouble sums, and the standard deviation is taken from them at
  // the end. The differences are kept in units of 2^scale_exponent_, chosen
  // from the range of the values, so that squares neither overflow nor vanish
  // whatever the size of the values.
  static constexpr int kGroup = 512;
  void take_group(const double* values, int count);
  bool rescale_for_range();

  double threshold_ = 1.0;  // nodata + 1: only values above it count
  std::int64_t count_ = 0;
  double minimum_ = 0.0;
  double maximum_ = 0.0;
  double sum_ = 0.0;

  double reference_ = 0.0;  // the first counted value of the run
  bool scaled_ = false;     // whether scale_exponent_ has been chosen
  int scale_exponent_ = 0;
  double scale_ = 1.0;           // 2^-scale_exponent_
  double scaled_minimum_ = 0.0;  // the extremes the scale was chosen for
  double scaled_maximum_ = 0.0;
  DoubleDouble offsets_;  // sum of (x - reference), scaled
  DoubleDouble squares_;  // sum of (x - reference)^2, scaled twice
  std::array<double, kGroup> pending_{};
  int pending_count_ = 0;
};

}  // namespace cellscale
