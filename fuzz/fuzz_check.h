#pragma once

// The one way a fuzz target reports a wrong result: it says what differs, on
// standard error, and aborts, which libFuzzer records as a finding with the
// input that caused it.

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "grid/grid_format.h"

namespace cellscale::fuzzing {

[[noreturn]] inline void wrong(const char* what) {
  std::fprintf(stderr, "wrong result: %s\n", what);
  std::abort();
}

inline void check(bool holds, const char* what) {
  if (!holds) wrong(what);
}

// Equal as values in a grid: the same bits, or both NaN of the same sign.
inline bool same_value(double a, double b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b) && std::signbit(a) == std::signbit(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// Cell c (from 0) of a complete row, in whichever width the reader hands it.
inline double cell_of(const RowRead& read, std::int64_t c) {
  if (read.doubles == nullptr && read.singles == nullptr) wrong("a complete row without its cells");
  return read.doubles != nullptr ? read.doubles[c] : static_cast<double>(read.singles[c]);
}

}  // namespace cellscale::fuzzing
