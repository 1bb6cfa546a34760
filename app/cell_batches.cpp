#include "app/cell_batches.h"

#include <algorithm>

#include "formats/ascii_grid.h"
#include "numbers/cell_digits.h"
#include "numbers/cell_format.h"
#include "numbers/cell_scaling.h"
#include "threads/ordered_jobs.h"

namespace cellscale {

std::uint32_t CellBatch::text_after(std::size_t first_cells, std::size_t columns) const {
  if (first_cells == 0) return 0;
  if (first_cells == count) return static_cast<std::uint32_t>(text_size);
  if (first_column < 0) return text_ends.data()[first_cells - 1];
  const std::size_t first_row_end = columns - static_cast<std::size_t>(first_column);
  return text_ends.data()[(first_cells - first_row_end) / columns];
}

void BatchWork::work_on(CellBatch& batch) const {
  const InputPiece& piece = batch.piece;
  batch.last = piece.last;
  const double* cells = piece.doubles;
  if (piece.text != nullptr) {
    double* const scanned = batch.cells.room(piece.text_size + 1);
    const ScannedCells scan = scan_cell_text(piece.text, piece.text_size, piece.text_at_end, scanned);
    batch.count = scan.count;
    if (scan.broken) batch.last = true;
    cells = scanned;
  } else {
    batch.count = piece.count;
  }
  const std::size_t count = batch.count;
  // The cells scaled into `room` (which may hold them already, scanned),
  // for the statistics and a binary output.
  const auto scale_into = [&](Scratch<double>& room) {
    double* const scaled = room.room(count);
    if (piece.singles != nullptr) {
      scale_cells(piece.singles, scaled, count, nodata, factor);
    } else {
      scale_cells(cells, scaled, count, nodata, factor);
    }
    batch.scaled = scaled;
  };
  if (!format_text) {
    scale_into(batch.cells);
    return;
  }
  // A text output's text is made from the cells as they are: the scaled
  // ones go apart.
  if (scale_for_statistics) scale_into(batch.scaled_for_text);
  // A text output's cells are scaled as they are formatted, with the run's
  // digits (six take format_cell's own row loops); singles are widened
  // first, in parts that stay in the first-level cache.
  char* const text = batch.text.room(count * kCellTextRoom + 1);
  std::uint32_t* const ends = batch.text_ends.room(count + 1);
  const CellScaling scaling{nodata, factor};
  char* out = text;
  if (batch.first_column < 0) {
    out = format_scaled_cells_with_tabs_digits(out, cells, count, digits, scaling, text, ends);
  } else {
    // A binary input's batch knows where its rows end: the text is made a
    // row's part at a time, and only the rows' ends are kept.
    std::size_t done = 0;
    std::size_t row_left = columns - static_cast<std::size_t>(batch.first_column);
    std::size_t rows = 0;
    constexpr std::size_t kWidened = 512;
    double widened[kWidened];
    while (done < count) {
      std::size_t part = std::min(row_left, count - done);
      if (piece.singles != nullptr) {
        part = std::min(part, kWidened);
        std::copy_n(piece.singles + done, part, widened);
        out = format_scaled_cells_with_tabs_digits(out, widened, part, digits, scaling);
      } else {
        out = format_scaled_cells_with_tabs_digits(out, cells + done, part, digits, scaling);
      }
      done += part;
      row_left -= part;
      if (row_left == 0) {
        ends[rows++] = static_cast<std::uint32_t>(out - text);
        row_left = columns;
      }
    }
  }
  batch.text_size = static_cast<std::size_t>(out - text);
}

BatchWriter::BatchWriter(GridWriter& writer, CellStats* stats, std::int32_t columns, std::uint64_t cells, bool text)
    : writer_(writer), stats_(stats), columns_(static_cast<std::uint64_t>(columns)), cells_(cells), text_(text) {}

bool BatchWriter::take(const CellBatch& batch, WritePlace& failed) {
  const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(batch.count, cells_ - taken_));
  taken_from_last_ = count;
  std::size_t first = 0;
  if (held_ > 0) {
    // The held row's cells first, and the row written once they are all there.
    first = static_cast<std::size_t>(std::min<std::uint64_t>(count, columns_ - held_));
    hold(batch, 0, first);
    taken_ += first;
    if (held_ < columns_) return true;
    if (!write_held(failed)) return false;
  }
  // The whole rows straight from the batch, and the cells after them held.
  const std::size_t whole = (count - first) / columns_ * columns_;
  if (whole > 0 && !write(batch, first, first + whole, failed)) return false;
  hold(batch, first + whole, count);
  taken_ += count - first;
  return true;
}

bool BatchWriter::write(const CellBatch& batch, std::size_t first, std::size_t last, WritePlace& failed) {
  CellsToWrite cells{.count = last - first};
  if (text_) {
    const std::uint32_t from = batch.text_after(first, columns_);
    row_ends_.clear();
    for (std::size_t end = first + columns_; end <= last; end += columns_) {
      row_ends_.push_back(batch.text_after(end, columns_) - from);
    }
    cells.text = batch.text.data() + from;
    cells.text_size = batch.text_after(last, columns_) - from;
    cells.row_ends = row_ends_.data();
  } else {
    cells.scaled = batch.scaled + first;
  }
  if (stats_ != nullptr) stats_->add_all(batch.scaled + first, cells.count);
  return writer_.write_cells(cells, failed);
}

bool BatchWriter::write_held(WritePlace& failed) {
  CellsToWrite cells{.count = held_};
  if (text_) {
    row_ends_.assign(1, static_cast<std::uint32_t>(held_text_.size()));
    cells.text = held_text_.data();
    cells.text_size = held_text_.size();
    cells.row_ends = row_ends_.data();
  } else {
    cells.scaled = held_scaled_.data();
  }
  if (stats_ != nullptr) stats_->add_all(held_scaled_.data(), cells.count);
  const bool written = writer_.write_cells(cells, failed);
  held_ = 0;
  held_scaled_.clear();
  held_text_.clear();
  return written;
}

void BatchWriter::hold(const CellBatch& batch, std::size_t first, std::size_t last) {
  if (first == last) return;
  if (text_) {
    held_text_.insert(held_text_.end(), batch.text.data() + batch.text_after(first, columns_),
                      batch.text.data() + batch.text_after(last, columns_));
  }
  if (!text_ || stats_ != nullptr) held_scaled_.insert(held_scaled_.end(), batch.scaled + first, batch.scaled + last);
  held_ += last - first;
}

namespace {

// The byte a text piece's scan stopped at, when the piece holds one there:
// the text that begins no number.
void find_stop(const CellBatch& batch, RowFailure& failure) {
  const InputPiece& piece = batch.piece;
  if (piece.text == nullptr || piece.long_number_bytes != 0) return;
  const std::size_t at = cell_text_stop(piece.text, piece.text_size, piece.text_at_end, batch.count);
  if (at >= piece.text_size) return;
  failure.stop_byte = static_cast<unsigned char>(piece.text[at]);
  failure.stop_offset = piece.start + at;
}

}  // namespace

std::optional<RowFailure> scale_grid(GridReader& reader, BatchWriter& cells, const GridToScale& grid,
                                     const RowsWritten& rows_written, std::uint64_t& used) {
  const std::uint64_t needed = static_cast<std::uint64_t>(grid.rows) * static_cast<std::uint64_t>(grid.columns);
  if (needed == 0) {
    used = reader.bytes_used();
    rows_written(grid.rows);
    return std::nullopt;
  }
  // Each thread works on a batch while the next waits for it.
  const std::size_t slots = grid.workers == 0 ? 1 : 2 * static_cast<std::size_t>(grid.workers + 1);
  std::vector<CellBatch> batches(slots);
  OrderedJobs jobs(slots, grid.workers, [&](std::size_t slot) { grid.work.work_on(batches[slot]); });
  // A binary input's pieces hold whole rows where a row fits in one.
  const auto columns = static_cast<std::uint64_t>(grid.columns);
  const std::uint64_t piece_cells = columns <= kPieceCells ? kPieceCells / columns * columns : kPieceCells;
  std::uint64_t asked = 0;  // a binary input's cells asked for so far
  bool reading = true;
  while (true) {
    while (reading && !jobs.full() && (jobs.empty() || !reader.next_read_would_wait())) {
      CellBatch& batch = batches[jobs.acquire()];
      batch.piece = reader.read_piece(batch.room, static_cast<std::size_t>(std::min(piece_cells, needed - asked)),
                                      kPieceTextBytes);
      // Where a text piece's cells start is known only once those before
      // them are scanned.
      batch.first_column = batch.piece.text != nullptr ? -1 : static_cast<std::int64_t>(asked % columns);
      asked += batch.piece.count;
      reading = !batch.piece.last && asked < needed;
      jobs.submit();
    }
    const CellBatch& batch = batches[jobs.take_back()];
    WritePlace failed;
    if (!cells.take(batch, failed)) {
      return RowFailure{.reading = false, .row = failed.row, .failed_column = failed.column};
    }
    rows_written(cells.rows_taken());
    if (cells.complete()) {
      used = reader.bytes_used(batch.piece, cells.taken_from_last());
      return std::nullopt;
    }
    if (batch.last) {
      RowFailure failure{.reading = true,
                         .row = static_cast<std::int64_t>(cells.cells_taken() / columns) + 1,
                         .values_read = static_cast<std::int64_t>(cells.cells_taken() % columns)};
      find_stop(batch, failure);
      return failure;
    }
    jobs.release();
  }
}

}  // namespace cellscale
