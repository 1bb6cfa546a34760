#pragma once

// Text of one cell value in an ASCII grid: the general notation with six
// significant digits and no trailing zeros, as "%lg" prints it, with an
// exponent of at least three digits (1.23457e+006, 1e-005, 4e+006). NaN and
// infinities are written as nan, -nan, inf and -inf.

#include <cstddef>
#include <cstdint>

namespace cellscale {

// The room format_cell needs at `out`, which is more than the length of the
// longest text ("-1.23457e+308", 13 characters): the text is stored in 8-byte
// blocks that may touch up to 16 characters from `out`.
inline constexpr int kMaxCellTextLength = 24;

// Writes the text of value at out (no terminator) and returns the end of it.
// out must have room for kMaxCellTextLength characters; those past the returned
// end may be overwritten (the text is copied in 8-byte blocks for speed).
// Never fails.
[[nodiscard]] char* format_cell(char* out, double value);

// Writes the text of each of `count` values at out, each followed by a tab,
// and returns the end; the second also writes the offset from `origin` of the
// end of each text (after its tab) into `ends`. out must have room for
// kMaxCellTextLength + 1 characters a value. The text is format_cell's, the
// common values taking its first steps inline.
[[nodiscard]] char* format_cells_with_tabs(char* out, const double* values, std::size_t count);
[[nodiscard]] char* format_cells_with_tabs(char* out, const double* values, std::size_t count, const char* origin,
                                           std::uint32_t* ends);

// How a row loop scales each value before it writes its text: by the
// scaling rule (numbers/scaling_rule.h), as every cell of a run is scaled.
struct CellScaling {
  double nodata = 0;
  double factor = 1;
};

// format_cells_with_tabs of the values scaled: one pass over the cells
// where scaling them first would take two.
[[nodiscard]] char* format_scaled_cells_with_tabs(char* out, const double* values, std::size_t count,
                                                  const CellScaling& scaling);
[[nodiscard]] char* format_scaled_cells_with_tabs(char* out, const double* values, std::size_t count,
                                                  const CellScaling& scaling, const char* origin,
                                                  std::uint32_t* ends);

}  // namespace cellscale
