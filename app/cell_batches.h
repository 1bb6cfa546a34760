#pragma once

// A batch: one job of the run's ordered ring (threads/ordered_jobs.h), a
// piece of the input on its way to the output. Its work, done on any
// thread, scans a text input's numbers and scales the cells, or, for a text
// output, formats them scaled; BatchWriter then takes the batches in order,
// on the run's thread, into the statistics and the writer.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "formats/grid_format.h"
#include "numbers/cell_digits.h"
#include "stats/cell_stats.h"

namespace cellscale {

struct CellBatch {
  PieceRoom room;  // the input as read (GridReader::read_piece)
  InputPiece piece;
  // The column of the piece's first cell, for a binary input; a text
  // input's pieces hold cells whose count is known only once scanned.
  std::int64_t first_column = -1;

  // After the work: the piece's `count` cells, and `last` when no cells
  // follow them (the input ended, or holds text that begins no number).
  std::size_t count = 0;
  bool last = false;
  // For a binary output, or a text output whose statistics are kept: the
  // cells scaled.
  const double* scaled = nullptr;
  Scratch<double> cells;
  Scratch<double> scaled_for_text;  // a text output's cells scaled
  // For a text output: the text of the cells scaled, each followed by a
  // tab, and where the text of cells ends in it: after each cell for a text
  // input, after each row's last cell for a binary one.
  Scratch<char> text;
  std::size_t text_size = 0;
  Scratch<std::uint32_t> text_ends;

  // Where the text of the first `first_cells` cells ends: for 0, for
  // count, and for a number of cells that ends a row.
  [[nodiscard]] std::uint32_t text_after(std::size_t first_cells, std::size_t columns) const;
};

// What is done to each batch, on any thread: a cell equal to `nodata` stays
// nodata, any other (a NaN too) is multiplied by `factor`.
struct BatchWork {
  double nodata = 0;
  double factor = 1;
  std::size_t columns = 0;
  bool format_text = false;  // a text output
  // The significant digits of a text output's cells, or kShortestCellDigits.
  int digits = kFormatCellDigits;
  // A text output whose statistics are kept: the cells are scaled apart
  // from their text as well.
  bool scale_for_statistics = false;

  void work_on(CellBatch& batch) const;
};

// Takes the batches' cells in order, up to the grid's last, into the
// statistics (null when none are kept: a text output has none unless they
// are asked for, and then its batches carry their cells scaled) and the
// writer. A
// row's cells go to the writer only once all of them have been read, so
// that a row the input cut short leaves nothing in the output: the cells
// after a batch's last whole row are held until their row is whole.
class BatchWriter {
 public:
  BatchWriter(GridWriter& writer, CellStats* stats, std::int32_t columns, std::uint64_t cells, bool text);

  // False when a block could not be written, `failed` saying where.
  [[nodiscard]] bool take(const CellBatch& batch, WritePlace& failed);

  // The cells taken so far, held ones too, and the grid's whole rows among them.
  [[nodiscard]] std::uint64_t cells_taken() const { return taken_; }
  [[nodiscard]] std::int64_t rows_taken() const { return static_cast<std::int64_t>(taken_ / columns_); }
  [[nodiscard]] bool complete() const { return taken_ == cells_; }
  // How many of the last batch's cells the grid took.
  [[nodiscard]] std::size_t taken_from_last() const { return taken_from_last_; }

 private:
  // Writes cells `first` to `last` (not included) of a batch, `first` at a
  // row's start and `last` at a row's end.
  bool write(const CellBatch& batch, std::size_t first, std::size_t last, WritePlace& failed);
  bool write_held(WritePlace& failed);
  void hold(const CellBatch& batch, std::size_t first, std::size_t last);

  GridWriter& writer_;
  CellStats* const stats_;
  const std::uint64_t columns_;
  const std::uint64_t cells_;
  const bool text_;
  std::uint64_t taken_ = 0;
  std::size_t taken_from_last_ = 0;
  std::vector<std::uint32_t> row_ends_;  // of the cells being written
  // The cells of the row not yet whole: their values, their text, or both.
  std::vector<double> held_scaled_;
  std::vector<char> held_text_;
  std::size_t held_ = 0;
};

// Where the rows stopped when they did not all go through.
struct RowFailure {
  bool reading;                    // else writing
  std::int64_t row;                // counted from 1
  std::int64_t values_read = 0;    // reading: the row's cells read
  std::int32_t failed_column = 0;  // writing: the column where the block that failed filled
  // reading: the byte of a text input that begins no number where a number
  // or the row's end was due (-1: the input ended), and where it stands in
  // the text, counted from 0.
  int stop_byte = -1;
  std::uint64_t stop_offset = 0;
};

// What the run knows of the grid once the factor is asked.
struct GridToScale {
  std::int32_t columns;
  std::int64_t rows;
  BatchWork work;
  int workers;  // cell_workers
};

using RowsWritten = std::function<void(std::int64_t rows)>;

// The cells of the grid, batch after batch, from the reader to the writer
// (see app/scaling_run.cpp), on `grid.workers` workers and this thread,
// telling `rows_written` each time whole rows are written. The reader reads
// ahead while the ring has room, except where its input is quiet: the
// batches read go to the writer first, so that what came through a pipe is
// written while it pauses, and no run waits in a read with a failed write
// unreported. Stops at the first row that cannot be read or written:
// the rows before it are written, none after it. Else `used` is what the
// grid took of the input (GridReader::bytes_used).
[[nodiscard]] std::optional<RowFailure> scale_grid(GridReader& reader, BatchWriter& cells, const GridToScale& grid,
                                                   const RowsWritten& rows_written, std::uint64_t& used);

}  // namespace cellscale
