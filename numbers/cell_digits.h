#pragma once

// Text of a cell value with a chosen number of significant digits, or with
// the fewest digits that read back to the same double: for grids whose text
// must keep more than format_cell's six digits. Both write the notation that
// format_cell writes (numbers/cell_format.h): an exponent of at least three
// digits (1.2345678e+006, 1e-005, 1e+308), NaN and infinities as nan, -nan,
// inf and -inf, and nothing else around the number.
//
// With `digits` significant digits (1 to 17), format_cell_digits writes the
// text "%.{digits}g" gives: the value rounded to nearest (an exact tie to the
// even digit), exponent notation when the exponent X of the rounded value
// (d.ddd * 10^X) is below -4 or at least `digits`, fixed notation otherwise,
// with trailing zeros and a trailing point removed. With 6 digits it writes
// format_cell's bytes for every double.
//
// format_cell_shortest writes the fewest significant digits P that read back
// (strtod) to the same double; where several P-digit numbers do, the one
// nearest the value. It chooses the notation as "%.17g" would, whatever P
// is: exponent notation when X < -4 or X >= 17, fixed notation otherwise, so
// that coordinates and whole numbers keep the form they are written in. So
// 100 is "100", 5151875 is "5151875", -13627361.5 is "-13627361.5", 1234.5
// is "1234.5", 0.0001 is "0.0001", 1e-5 is "1e-005", 1e17 is "1e+017",
// 123456789012345678 is "1.2345678901234568e+017", 0.1 is "0.1", -0 is "-0"
// and 1/3 is "0.3333333333333333".

#include <cstddef>
#include <cstdint>

#include "numbers/cell_format.h"

namespace cellscale {

// The range of significant digits, and the value of `digits` that asks the
// row loops below and format_cell_with_digits for the shortest text.
inline constexpr int kMinCellDigits = 1;
inline constexpr int kMaxCellDigits = 17;
inline constexpr int kShortestCellDigits = 0;
// The digits format_cell writes: a text grid's unless others are asked for.
inline constexpr int kFormatCellDigits = 6;

// The longest text either function writes: 17 significant digits with a
// sign, a point and a three-digit exponent, "-1.2345678901234567e-308" (24
// characters). Fixed notation is shorter: at most "-0.00012345678901234567"
// (23) or 17 digits and a sign before the point.
inline constexpr int kMaxCellDigitsTextLength = 24;

// A cell and its tab take the room that the row loops of format_cell leave
// a cell (kMaxCellTextLength + 1), so the text writer's room for a row holds
// a row written with any number of digits.
static_assert(kMaxCellDigitsTextLength <= kMaxCellTextLength,
              "a cell's text with the most digits must fit the room a row leaves a cell");

// Writes the text of value with `digits` significant digits at out (no
// terminator) and returns the end of it. `digits` outside 1 to 17 is taken as
// the nearest of them. out must have room for kMaxCellDigitsTextLength
// characters; those past the returned end may be overwritten.
[[nodiscard]] char* format_cell_digits(char* out, double value, int digits);

// Writes the shortest text of value that reads back to it (see above) at out
// (no terminator) and returns the end of it. out must have room for
// kMaxCellDigitsTextLength characters; those past the returned end may be
// overwritten.
[[nodiscard]] char* format_cell_shortest(char* out, double value);

// format_cell_shortest when `digits` is kShortestCellDigits, format_cell when
// it is 6 (the same bytes, faster), format_cell_digits otherwise.
[[nodiscard]] char* format_cell_with_digits(char* out, double value, int digits);

// The row loops of format_cells_with_tabs and format_scaled_cells_with_tabs
// (numbers/cell_format.h) with the text of format_cell_with_digits: each of
// `count` values (scaled first by the scaling rule, numbers/scaling_rule.h,
// in the second pair) followed by a tab; the end is returned and, where
// `ends` is given, the offset from `origin` of the end of each text (after its
// tab) is written to it. out must have room for kMaxCellTextLength + 1
// characters a value. With 6 digits they are those row loops themselves.
[[nodiscard]] char* format_cells_with_tabs_digits(char* out, const double* values, std::size_t count, int digits);
[[nodiscard]] char* format_cells_with_tabs_digits(char* out, const double* values, std::size_t count, int digits,
                                                  const char* origin, std::uint32_t* ends);
[[nodiscard]] char* format_scaled_cells_with_tabs_digits(char* out, const double* values, std::size_t count,
                                                         int digits, const CellScaling& scaling);
[[nodiscard]] char* format_scaled_cells_with_tabs_digits(char* out, const double* values, std::size_t count,
                                                         int digits, const CellScaling& scaling, const char* origin,
                                                         std::uint32_t* ends);

}  // namespace cellscale
