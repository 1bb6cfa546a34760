#pragma once

// Building blocks of format_cell, visible so that the tests can check each of
// them on its own. Not for use outside numbers/cell_format.cpp and its tests.

#include <cstddef>
#include <cstdint>

#include "numbers/cell_format.h"
#include "numbers/instruction_set.h"

// Whether the build has the row loop that takes four cells at a time with
// AVX2 instructions (x86-64, chosen at run time where the processor has them).
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define CELLSCALE_AVX2_CELLS 1
#else
#define CELLSCALE_AVX2_CELLS 0
#endif

namespace cellscale::detail {

// floor(e * log10(2)), exact for every e in [-1100, 1100] (the tests check the
// whole range). 1262611 / 2^22 is log10(2) rounded up by 4.1e-9, far too little
// to cross an integer in that range.
constexpr int floor_log10_pow2(int e) { return (e * 1262611) >> 22; }

struct UInt128 {
  std::uint64_t high;
  std::uint64_t low;
};

// Full 128-bit product of two 64-bit numbers from 32-bit halves: used where the
// compiler has no 128-bit integer type, and as the reference in the tests.
constexpr UInt128 multiply_64x64_portable(std::uint64_t a, std::uint64_t b) {
  const std::uint64_t a_low = a & 0xffffffffU;
  const std::uint64_t a_high = a >> 32;
  const std::uint64_t b_low = b & 0xffffffffU;
  const std::uint64_t b_high = b >> 32;
  const std::uint64_t low_low = a_low * b_low;
  const std::uint64_t high_low = a_high * b_low;
  const std::uint64_t low_high = a_low * b_high;
  const std::uint64_t high_high = a_high * b_high;
  // The middle column cannot overflow: low_high is at most (2^32 - 1)^2 = 2^64 - 2^33 + 1
  // and the two other terms are below 2^32 each.
  const std::uint64_t middle = (low_low >> 32) + (high_low & 0xffffffffU) + low_high;
  return {high_high + (high_low >> 32) + (middle >> 32), (middle << 32) | (low_low & 0xffffffffU)};
}

// The path nearly every cell takes: values from 2^-56 to 2^90 in magnitude
// (about 1.4e-17 to 1.2e27), scaled to six digits by one multiplication or
// division by an exact power of ten in double arithmetic. A value that scales
// exactly onto the midpoint between two six-digit results takes the side of
// its exact product or quotient, found in integers (an exact tie rounds to
// even). Gives up (returns nullptr, having written nothing) for other values;
// otherwise returns the end of the text.
char* format_cell_in_double(char* out, double value);

// The next path of format_cell: exact for every value, ties included, except
// that it gives up (returns nullptr, having possibly written to out) when the
// value is not a tie but lies within about 2^-62 (in the last of the six digits)
// of the midpoint between two six-digit results. Otherwise returns the end of the text.
char* format_cell_fast(char* out, double value);

// The digits of a value whose scaling by 10^k in double arithmetic (one
// multiplication or division by an exact power of ten, |k| <= 22, into
// [10^5, 10^6)) came out exactly on rounded_up - 0.5: rounded_up or
// rounded_up - 1 as the exact value * 10^k lies above or below that
// midpoint, the even one of the two on an exact tie. `bits` are those of a
// normal double.
unsigned round_double_midpoint(std::uint64_t bits, unsigned rounded_up, int k);

// The row loop that format_cells_with_tabs takes for an instruction set,
// which must be one the processor runs: the cells one by one (portable, SSE2
// and SSSE3), four at a time with AVX2 and FMA, or eight with AVX-512. Each
// writes the same text: every cell followed by a tab and, unless `ends` is
// null, the offset from `origin` of its end written to ends. Unless
// `scaling` is null, each value is scaled first.
char* format_cells_using(InstructionSet set, char* out, const double* values, std::size_t count, const char* origin,
                         std::uint32_t* ends, const CellScaling* scaling);

// The row loop that format_cells_with_tabs_digits (numbers/cell_digits.h)
// takes for the shortest digits with an instruction set, which must be one
// the processor runs: the cells one by one, or four at a time with AVX2 and
// FMA (AVX-512 takes that loop too). Each writes the text of
// format_cell_shortest, with tabs and ends as format_cells_using.
char* format_shortest_cells_using(InstructionSet set, char* out, const double* values, std::size_t count,
                                  const char* origin, std::uint32_t* ends, const CellScaling* scaling);

// The slow path of format_cell: exact in every case, including ties (rounded
// to even, as printf rounds the exact binary value).
char* format_cell_exact(char* out, double value);

}  // namespace cellscale::detail
