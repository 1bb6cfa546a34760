#pragma once

// The format operations: every format-dependent step of a run (reading and
// writing the header, reading a piece of the cells and writing cells,
// finishing the output) goes
// through the reader or writer of the format concerned. The operations never
// print and never end the process; they say what went wrong and the run turns
// that into the tool's message and exit status.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "files/output_blocks.h"
#include "formats/grid_header.h"
#include "formats/scratch.h"

namespace cellscale {

// The three layouts. ascii_text is called "ascii" when it is an input and
// "text" when it is an output; the binary ones are "single" and "double".
enum class FormatName { ascii_text, single_binary, double_binary };

// The fopen mode an output of the format is created with: "wt" or "wb".
[[nodiscard]] const char* output_opening_mode(FormatName format);

// How much of the input a piece holds. A test build takes pieces of a few
// cells or characters, so that their edges fall everywhere: inside a row,
// at a row's end, inside a number's text.
#ifdef CELLSCALE_TEST_SMALL_BATCHES
inline constexpr std::size_t kPieceCells = 3;
inline constexpr std::size_t kPieceTextBytes = 5;
#else
// 128 KiB of a binary input's cells, or of a text input's text (about 15,000
// cells): large enough that handing a piece from thread to thread costs
// nothing beside the work on its cells, small enough to stay in the
// second-level cache of many processors.
inline constexpr std::size_t kPieceCells = std::size_t{1} << 14;
inline constexpr std::size_t kPieceTextBytes = std::size_t{1} << 17;
#endif

// The memory a reader reads a piece into, kept from piece to piece.
struct PieceRoom {
  std::vector<char> text;
  Scratch<double> doubles;
  Scratch<float> singles;
};

// Consecutive cells of the input, as a reader read them: the text of a text
// input's cells, to be scanned (scan_cell_text, formats/ascii_grid.h), or a
// binary input's cells, after the width the input holds them in.
struct InputPiece {
  const char* text = nullptr;  // followed by a NUL
  std::size_t text_size = 0;
  bool text_at_end = false;  // the last number ends where the text ends
  const double* doubles = nullptr;
  const float* singles = nullptr;
  std::size_t count = 0;    // a binary input's cells
  std::uint64_t start = 0;  // where the piece begins in the input
  // A text piece that stands for one number too long to keep (a cell of a
  // gigabyte of digits): its text is the shortest text of the number's
  // value, and the number, with the byte that ended it, took this many bytes
  // of the input from `start` on. 0 for any other piece.
  std::uint64_t long_number_bytes = 0;
  // No piece follows: the input ended, could not be read further, or holds
  // text that begins no number.
  bool last = false;
};

// Consecutive cells of the grid, scaled, for a writer: their values, and
// for a text output their text, `text_size` bytes, each cell's followed by
// a tab; the i-th row that ends among the cells ends at text + row_ends[i]
// (after the tab of its last cell).
struct CellsToWrite {
  std::size_t count = 0;
  const double* scaled = nullptr;
  const char* text = nullptr;
  std::size_t text_size = 0;
  const std::uint32_t* row_ends = nullptr;
};

class InputFile;  // files/input_file.h

class GridReader {
 public:
  virtual ~GridReader() = default;
  // Fills slots 1 to 12 (a text grid leaves 7 to 12 at 0). False when the
  // header is incomplete.
  [[nodiscard]] virtual bool read_header(GridHeader& header) = 0;
  // Reads the next piece of the cells into `room`: about `text_bytes` of a
  // text input's text (kPieceTextBytes in a run), or up to `cells` (at
  // least 1) of a binary input's cells. Waits only until some have arrived.
  [[nodiscard]] virtual InputPiece read_piece(PieceRoom& room, std::size_t cells, std::size_t text_bytes) = 0;
  // Whether read_piece would now wait for input that has not arrived (a
  // quiet pipe), so that the caller may finish what it has first.
  [[nodiscard]] virtual bool next_read_would_wait() const = 0;
  // How many bytes of the input the header took, up to the byte that ends
  // its last value.
  [[nodiscard]] virtual std::uint64_t bytes_used() const = 0;
  // How many bytes of the input the header and the cells up to the first
  // `cells` of `piece` took, up to the byte that ends the last of them.
  [[nodiscard]] virtual std::uint64_t bytes_used(const InputPiece& piece, std::size_t cells) const = 0;
  // Whether the input's first `used` bytes came through whole
  // (InputFile::intact_through): a gzip input's member that holds the last
  // of them is read to its end and checked.
  [[nodiscard]] virtual bool input_intact_through(std::uint64_t used) = 0;
  // Whether the input, a regular file read byte for byte, is long enough to
  // hold `cells` cells after the header; false where it is shorter or its
  // size is not known (a pipe, a gzip input).
  [[nodiscard]] virtual bool can_hold_cells(std::uint64_t cells) const = 0;
};

// A writer buffers what it is given (the header and the cells, row after
// row) and writes it to the file in blocks of kOutputBlockBytes
// (files/output_blocks.h), as a stdio stream with a buffer of that size
// would: a failure is met by the row being written when a full block is
// written, and a small output is written only when it is flushed or
// finished.
class GridWriter {
 public:
  virtual ~GridWriter() = default;
  // Writes the whole header; false when it was not all taken.
  [[nodiscard]] virtual bool write_header(const GridHeader& header) = 0;
  // Prepares for rows of `columns` cells; false when the memory for the
  // output's blocks could not be had.
  [[nodiscard]] virtual bool prepare_rows(const GridHeader& header, std::int32_t columns) = 0;
  // Takes the next cells of the grid, in any number: a row may end
  // anywhere among them. May write full blocks to the file: false, with the
  // place where the writer stood when the block that failed filled, when
  // that failed.
  [[nodiscard]] virtual bool write_cells(const CellsToWrite& cells, WritePlace& failed) = 0;
  // Writes what the buffer holds to the file; false when it did not all
  // reach it. A run that ends early flushes, so that the output keeps every
  // row taken so far; it is ending with another failure and does not look
  // at this one. After a failed write the buffer is dropped, so that no
  // later flush puts bytes behind the ones that were lost; after finish
  // there is nothing to flush.
  virtual bool flush() = 0;
  // The blocks the writer fills and writes, through which a run may have
  // them compressed on several threads (OutputBlocks::write_later).
  virtual OutputBlocks& output_blocks() = 0;
  // Takes the output's room on the disk for a grid of `cells` cells before
  // the rows are written (OutputBlocks::reserve_room; not for a compressed
  // output): a binary output's whole size, a text output's estimate.
  virtual void reserve_room(std::uint64_t cells) = 0;
  // Ends the output after the last row: a binary output's statistics block
  // is written again from slots 7 to 12 of `header`, which the run has
  // filled by then. Then the file is closed. False when anything written was
  // lost.
  [[nodiscard]] virtual bool finish(const GridHeader& header) = 0;
};

[[nodiscard]] std::unique_ptr<GridReader> make_grid_reader(FormatName format, InputFile input);
// `gzip`: the output is written gzip-compressed (files/gzip_member.h), and
// was opened in binary mode ("wb") whatever its format. `text_digits`: the
// significant digits of a text output's header values (numbers/cell_digits.h;
// a binary output holds them exactly).
[[nodiscard]] std::unique_ptr<GridWriter> make_grid_writer(FormatName format, FilePtr output, bool gzip,
                                                           int text_digits);

}  // namespace cellscale
