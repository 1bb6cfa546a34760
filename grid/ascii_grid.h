#pragma once

// The ASCII grid: six header lines, each a keyword, a tab and a value (ncols,
// nrows, xllcorner, yllcorner, cellsize, nodata_value), then nrows lines of
// ncols values separated by tabs. Values are written with six significant
// digits (see grid/cell_format.h); the text carries no statistics block.
//
// Reading takes the six header values in order whatever words stand before
// them, and then cells in order regardless of line breaks. A header value or
// a cell that is missing or is no number is reported, never guessed.

#include <memory>
#include <string>

#include "grid/grid_format.h"
#include "grid/input_file.h"

namespace cellscale {

// The header exactly as a text grid starts: ncols and nrows as whole numbers
// truncated toward zero, the other four values as cell text, each line a
// keyword, a tab, the value and "\n".
[[nodiscard]] std::string format_text_header(const GridHeader& header);

// The input must be open for reading in text mode.
[[nodiscard]] std::unique_ptr<GridReader> make_ascii_grid_reader(InputFile input);

// The output must be open for writing in text mode ("wt"), so that each "\n"
// becomes the platform's line ending.
[[nodiscard]] std::unique_ptr<GridWriter> make_text_grid_writer(FilePtr output);

}  // namespace cellscale
