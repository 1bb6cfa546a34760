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
#include <vector>

#include "grid/cell_format.h"
#include "grid/grid_format.h"
#include "grid/input_file.h"

namespace cellscale {

// The header exactly as a text grid starts: ncols and nrows as whole numbers
// truncated toward zero, the other four values as cell text, each line a
// keyword, a tab, the value and "\n".
[[nodiscard]] std::string format_text_header(const GridHeader& header);

// The numbers of a piece of cell text (TextPieceReader::read_text_piece) of
// `size` bytes followed by a NUL, read into `values` (room for size + 1
// values: a number takes at least one character) as the reader's read_row
// reads them. `count` numbers were read; `broken` says the text after them
// begins no number, so that the cells end there.
struct ScannedCells {
  std::size_t count = 0;
  bool broken = false;
};
[[nodiscard]] ScannedCells scan_cell_text(const char* text, std::size_t size, bool at_end, double* values);

// How many bytes of a piece of cell text its first `count` numbers take,
// with the byte after the last of them that ends it, if the piece holds one.
[[nodiscard]] std::size_t cell_text_used(const char* text, std::size_t size, bool at_end, std::size_t count);

// The room format_cell_texts needs for a cell.
inline constexpr std::size_t kCellTextRoom = kMaxCellTextLength + 1;

// Writes the text of `count` cells scaled by `scaling` at `out`, each
// followed by a tab, and the offset from `origin` (at or before `out`) of the
// end of each (after its tab) into `ends`. `out` must have room for count *
// kCellTextRoom characters. Returns the end.
char* format_cell_texts(const double* cells, std::size_t count, const CellScaling& scaling, const char* origin,
                        char* out, std::uint32_t* ends);

// How to scan a piece of a text input's cell text (TextPieceReader::read_text_piece).
struct TextPiece {
  // The piece's last number ends where the piece ends, as at the end of the
  // input: scan it with at_end set.
  bool at_end = false;
  // No piece follows: the input ended or could not be read further, or the
  // piece holds text that begins no number, where the cells end.
  bool last = false;
  // Where the piece begins in the input (InputFile::position).
  std::uint64_t start = 0;
  // The piece is the `size` bytes from `first` on in the vector it was read
  // into.
  std::size_t first = 0;
  std::size_t size = 0;
};

// The text a text reader holds at a time. The vector a piece is read into
// becomes the reader's buffer: one with room for this many bytes and a NUL
// is used as it is.
inline constexpr std::size_t kTextBufferBytes = std::size_t{1} << 18;

// A text input read in pieces of its cell text, for scanning elsewhere (on
// several threads), instead of row after row.
class TextPieceReader {
 public:
  virtual ~TextPieceReader() = default;
  // The cell text from where the reader stands, in pieces of about `size`
  // bytes (more only for a number longer than that; less when no more has
  // arrived yet) put into `piece` and followed by a NUL. Whatever `piece`
  // held is lost: the reader may give its own buffer in its place. A piece
  // is cut where no number is cut, so that each piece can be scanned on its
  // own (scan_cell_text), and the numbers of the pieces in turn are those
  // that read_row would give.
  virtual TextPiece read_text_piece(std::vector<char>& piece, std::size_t size) = 0;
};

// The reader's pieces when it reads a text grid, else null.
[[nodiscard]] TextPieceReader* text_pieces_of(GridReader& reader);

// A text output that takes whole rows without reserve and commit: rows
// whose cells were formatted elsewhere (format_cell_texts, on several
// threads), or rows of doubles that it scales as it formats them, with no
// scaled copy of the cells in between.
class FormattedRowWriter {
 public:
  virtual ~FormattedRowWriter() = default;
  // Takes the text of a whole row, each cell followed by a tab; the row's
  // own ending takes the place of the last tab.
  virtual RowWrite write_formatted_row(const char* text, std::size_t size) = 0;
  // Takes a whole row of `columns` cells (the columns prepare_rows was
  // given) and writes each scaled by `scaling`.
  virtual RowWrite write_scaled_row(const double* cells, const CellScaling& scaling) = 0;
};

// The writer's formatted rows when it writes a text grid, else null.
[[nodiscard]] FormattedRowWriter* formatted_rows_of(GridWriter& writer);

// The input must be open for reading in text mode.
[[nodiscard]] std::unique_ptr<GridReader> make_ascii_grid_reader(InputFile input);

// The output must be open for writing in text mode ("wt"), so that each "\n"
// becomes the platform's line ending; or, with `gzip`, in binary mode ("wb"):
// the text is then written gzip-compressed, with the platform's line ends.
[[nodiscard]] std::unique_ptr<GridWriter> make_ascii_grid_writer(FilePtr output, bool gzip);

}  // namespace cellscale
