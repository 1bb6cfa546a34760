#pragma once

// The ASCII grid: six header lines, each a keyword, a tab and a value (ncols,
// nrows, xllcorner, yllcorner, cellsize, nodata_value), then nrows lines of
// ncols values separated by tabs. Values are written with six significant
// digits (see numbers/cell_format.h) unless another number of digits, or the
// shortest text, is asked for (numbers/cell_digits.h); the text carries no
// statistics block.
//
// Reading takes the six header values in order whatever words stand before
// them, and then cells in order regardless of line breaks. A header value or
// a cell that is missing or is no number is reported, never guessed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "files/input_file.h"
#include "formats/grid_format.h"
#include "numbers/cell_digits.h"
#include "numbers/cell_format.h"

namespace cellscale {

// The header exactly as a text grid starts: ncols and nrows as whole numbers
// truncated toward zero, the other four values as cell text with `digits`
// significant digits (format_cell_with_digits, so that a nodata cell's text
// is the header's nodata_value), each line a keyword, a tab, the value and
// "\n".
[[nodiscard]] std::string format_text_header(const GridHeader& header, int digits = kFormatCellDigits);

// The numbers of a piece of cell text (GridReader::read_piece) of `size`
// bytes followed by a NUL, read into `values` (room for size + 1 values: a
// number takes at least one character). `count` numbers were read; `broken`
// says the text after them begins no number, so that the cells end there.
// The pieces cut where no number is cut, so the numbers of the pieces in
// turn are the cells of the grid.
struct ScannedCells {
  std::size_t count = 0;
  bool broken = false;
};
[[nodiscard]] ScannedCells scan_cell_text(const char* text, std::size_t size, bool at_end, double* values);

// How many bytes of a piece of cell text its first `count` numbers take,
// with the byte after the last of them that ends it, if the piece holds one.
[[nodiscard]] std::size_t cell_text_used(const char* text, std::size_t size, bool at_end, std::size_t count);

// Where the text after the first `count` numbers of a piece of cell text and
// the blanks after them begins: the text that begins no number, when the
// scan of the piece was broken there; `size` when the piece holds no more.
[[nodiscard]] std::size_t cell_text_stop(const char* text, std::size_t size, bool at_end, std::size_t count);

// The room the row loops need for a cell, with any number of digits
// (numbers/cell_digits.h checks that the longest text fits).
inline constexpr std::size_t kCellTextRoom = kMaxCellTextLength + 1;

// The text a text reader holds at a time. The vector a piece is read into
// becomes the reader's buffer: one with room for this many bytes and a NUL
// is used as it is.
inline constexpr std::size_t kTextBufferBytes = std::size_t{1} << 18;

// The input must be open for reading in text mode.
[[nodiscard]] std::unique_ptr<GridReader> make_ascii_grid_reader(InputFile input);

// The output must be open for writing in text mode ("wt"), so that each "\n"
// becomes the platform's line ending; or, with `gzip`, in binary mode ("wb"):
// the text is then written gzip-compressed, with the platform's line ends.
// The header's values are written with `digits` significant digits
// (format_text_header); the cells come to it as text.
[[nodiscard]] std::unique_ptr<GridWriter> make_ascii_grid_writer(FilePtr output, bool gzip, int digits);

}  // namespace cellscale
