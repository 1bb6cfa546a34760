#pragma once

// The ASCII grid: six header lines, each a keyword, a tab and a value (ncols,
// nrows, xllcorner, yllcorner, cellsize, nodata_value), then nrows lines of
// ncols values separated by tabs. Values are written with six significant
// digits (see grid/cell_format.h); the text carries no statistics block.
//
// Reading takes the six header values in order whatever words stand before
// them, and then cells in order regardless of line breaks. A header value or
// a cell that is missing or is no number is reported, never guessed.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "grid/cell_format.h"
#include "grid/grid_format.h"
#include "grid/input_file.h"

namespace cellscale {

// The header exactly as a text grid starts: ncols and nrows as whole numbers
// truncated toward zero, the other four values as cell text, each line a
// keyword, a tab, the value and "\n".
[[nodiscard]] std::string format_text_header(const GridHeader& header);

// The numbers of a piece of cell text (GridReader::read_text_piece) of
// `size` bytes followed by a NUL, read into `values` (room for size + 1
// values: a number takes at least one character) as the reader's read_row
// reads them. `count` numbers were read; `broken` says the text after them
// begins no number, so that the cells end there.
struct ScannedCells {
  std::size_t count = 0;
  bool broken = false;
};
[[nodiscard]] ScannedCells scan_cell_text(const char* text, std::size_t size, bool at_end, double* values);

// The room format_cell_texts needs for a cell.
inline constexpr std::size_t kCellTextRoom = kMaxCellTextLength + 1;

// Writes the text of `count` cells at `out`, each followed by a tab, and the
// offset from `origin` (at or before `out`) of the end of each (after its
// tab) into `ends`. `out` must have room for count * kCellTextRoom
// characters. Returns the end.
char* format_cell_texts(const double* cells, std::size_t count, const char* origin, char* out, std::uint32_t* ends);

// The input must be open for reading in text mode.
[[nodiscard]] std::unique_ptr<GridReader> make_ascii_grid_reader(InputFile input);

// The output must be open for writing in text mode ("wt"), so that each "\n"
// becomes the platform's line ending.
[[nodiscard]] std::unique_ptr<GridWriter> make_text_grid_writer(FilePtr output);

}  // namespace cellscale
