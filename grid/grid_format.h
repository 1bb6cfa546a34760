#pragma once

// The format operations: every format-dependent step of a run (reading and
// writing the header, reading and writing one row, finishing the output) goes
// through the reader or writer of the format concerned. The operations never
// print and never end the process; they say what went wrong and the run turns
// that into the tool's message and exit status.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "grid/grid_header.h"

namespace cellscale {

// The three layouts. ascii_text is called "ascii" when it is an input and
// "text" when it is an output; the binary ones are "single" and "double".
enum class FormatName { ascii_text, single_binary, double_binary };

// The fopen mode an output of the format is created with: "wt" or "wb".
[[nodiscard]] const char* output_opening_mode(FormatName format);

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Writes `size` bytes to the file: false when they did not all reach it, or
// when an earlier write to the stream had failed. The writers' one way to
// write.
[[nodiscard]] bool write_all(std::FILE* file, const void* bytes, std::size_t size);

// Flushes and closes an output, false if anything written to it was lost.
[[nodiscard]] bool close_output(FilePtr file);

struct [[nodiscard]] RowRead {
  bool complete;
  std::int64_t values_read;  // cells of the row read before it stopped
  // The cells of a complete row, valid until the next read: exactly one of
  // the two is set, after the width the input holds them in.
  const double* doubles = nullptr;
  const float* singles = nullptr;
};

struct [[nodiscard]] RowWrite {
  bool complete;
  std::int32_t failed_column;  // first column that was not written, when not complete
};

// Space in a writer's output buffer for the next cells of the row being
// written: `count` cells (at least one) of the width the writer takes,
// exactly one of the two pointers being set.
struct OutputSpan {
  double* doubles = nullptr;
  float* singles = nullptr;
  std::int32_t count = 0;
};

class InputFile;     // grid/input_file.h
class OutputBlocks;  // grid/output_blocks.h

class CellsAgain;

class GridReader {
 public:
  virtual ~GridReader() = default;
  // Fills slots 1 to 12 (a text grid leaves 7 to 12 at 0). False when the
  // header is incomplete.
  [[nodiscard]] virtual bool read_header(GridHeader& header) = 0;
  // Allocates what rows of the given width need; false when it cannot be had.
  [[nodiscard]] virtual bool prepare_rows(std::int32_t columns) = 0;
  // Reads the next row, of the width given to prepare_rows, into memory the
  // reader owns.
  virtual RowRead read_row() = 0;
  // Whether read_row would now wait for input that has not arrived (a quiet
  // pipe), so that a caller gathering rows may hand on what it has first.
  [[nodiscard]] virtual bool next_row_would_wait() const { return false; }
  // How many bytes of the input the header and the rows read so far took,
  // up to the byte that ends the last cell read.
  [[nodiscard]] virtual std::uint64_t bytes_used() const = 0;
  // Whether the input's first `used` bytes came through whole
  // (InputFile::intact_through): a gzip input's member that holds the last
  // of them is read to its end and checked. Not while another thread reads.
  [[nodiscard]] virtual bool input_intact_through(std::uint64_t used) = 0;
  // Ends a read that waits for input on another thread (InputFile::interrupt):
  // called from any thread once nothing more will be asked of the reader.
  virtual void interrupt_reading() = 0;
  // The grid's cells read a second time, from the first on, where they can
  // be (grid/binary_grid.h); null for any other input.
  [[nodiscard]] virtual std::unique_ptr<CellsAgain> cells_again() const;
  // Whether the input, a regular file read byte for byte, is long enough to
  // hold `cells` cells after the header; false where it is shorter or its
  // size is not known (a pipe, a gzip input).
  [[nodiscard]] virtual bool can_hold_cells(std::uint64_t cells) const = 0;
};

// A writer buffers what it is given (the header and the cells, row after
// row) and writes it to the file in blocks of kOutputBlockBytes, as a stdio
// stream with a buffer of that size would: a failure is met by the row
// being written when a full block is written, and a small output is written
// only when it is flushed or finished.
inline constexpr std::size_t kOutputBlockBytes = std::size_t{1} << 16;

class GridWriter {
 public:
  virtual ~GridWriter() = default;
  // Writes the whole header; false when it was not all taken.
  [[nodiscard]] virtual bool write_header(const GridHeader& header) = 0;
  // Allocates what rows of the given width need; false when it cannot be had.
  [[nodiscard]] virtual bool prepare_rows(const GridHeader& header, std::int32_t columns) = 0;
  // The cells of a row go in through reserve and commit, as many times as
  // the row takes: reserve gives the span where the next cells go, the
  // caller fills its start, and commit takes those cells before the next
  // reserve. Both may write a full block to the file, and say so when that
  // failed.
  virtual RowWrite reserve(OutputSpan& span) = 0;
  // Takes the first `count` cells of the span reserved last (1 to span.count).
  virtual RowWrite commit(std::int32_t count) = 0;
  // Writes what the buffer holds to the file; false when it did not all
  // reach it. A run that ends early flushes, so that the output keeps every
  // row taken so far; it is ending with another failure and does not look
  // at this one. After a failed write the buffer is dropped, so that no
  // later flush puts bytes behind the ones that were lost; after finish
  // there is nothing to flush.
  virtual bool flush() = 0;
  // The blocks the writer fills and writes, through which a run may have
  // them written on a thread of their own (OutputBlocks::write_behind).
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
// `gzip`: the output is written gzip-compressed (grid/gzip_member.h), and
// was opened in binary mode ("wb") whatever its format.
[[nodiscard]] std::unique_ptr<GridWriter> make_grid_writer(FormatName format, FilePtr output, bool gzip);

}  // namespace cellscale
