#include "app/rows_from_pipeline.h"

#include <algorithm>
#include <optional>

#include "grid/ascii_grid.h"

namespace cellscale {

std::unique_ptr<RowsFromPipeline> RowsFromPipeline::start(GridReader& reader, const RowSourceChoice& grid,
                                                          int workers) {
  std::unique_ptr<RowsFromPipeline> rows(new RowsFromPipeline(reader, grid.columns));
  TextPieceReader* const pieces = text_pieces_of(reader);
  rows->work_.scan_text = pieces != nullptr;
  rows->work_.format_text = grid.output_format == FormatName::ascii_text;
  rows->work_.nodata = grid.nodata;
  rows->work_.factor = grid.factor;
  const bool has_work = rows->work_.scan_text || rows->work_.format_text;
  if (!rows->pipeline_.start(reader, pieces, grid.columns, grid.rows, has_work ? &rows->work_ : nullptr, workers,
                             grid.input_never_waits)) {
    return nullptr;
  }
  return rows;
}

std::uint64_t RowsFromPipeline::end_reading() {
  // A text batch's cells were scanned from its piece: the rows given end
  // inside it. Binary rows were read by the reader, which stops after the
  // last row.
  std::optional<std::uint64_t> used;
  if (batch_ != nullptr && batch_->piece != nullptr) {
    used =
        batch_->piece_end.start + cell_text_used(batch_->piece, batch_->piece_size, batch_->piece_end.at_end, used_);
  }
  pipeline_.stop();
  return used ? *used : reader_.bytes_used();
}

std::uint32_t RowsFromPipeline::text_start(std::size_t index) const {
  return index == 0 ? 0 : batch_->text_ends[index - 1];
}

SourceRow RowsFromPipeline::next_row() {
  const auto columns = static_cast<std::size_t>(columns_);
  std::size_t gathered = 0;
  gathered_doubles_.clear();
  gathered_singles_.clear();
  gathered_text_.clear();
  while (true) {
    if (batch_ == nullptr || used_ == batch_->count) {
      if (batch_ != nullptr) {
        if (batch_->last) return {false, static_cast<std::int64_t>(gathered) + batch_->values_read};
        pipeline_.give_back();
      }
      batch_ = &pipeline_.take();
      used_ = 0;
      continue;
    }
    const CellBatch& batch = *batch_;
    const std::size_t first = used_;
    const std::size_t count = std::min(batch.count - first, columns - gathered);
    used_ += count;
    if (gathered == 0 && count == columns) {  // the whole row lies in this batch
      SourceRow row{true, columns_};
      if (batch.text != nullptr) {
        row.formatted = batch.text + text_start(first);
        row.formatted_size = batch.text_ends[first + count - 1] - text_start(first);
      } else if (batch.doubles != nullptr) {
        row.doubles = batch.doubles + first;
      } else {
        row.singles = batch.singles + first;
      }
      return row;
    }
    if (batch.text != nullptr) {
      gathered_text_.insert(gathered_text_.end(), batch.text + text_start(first),
                            batch.text + batch.text_ends[first + count - 1]);
    } else if (batch.doubles != nullptr) {
      gathered_doubles_.insert(gathered_doubles_.end(), batch.doubles + first, batch.doubles + first + count);
    } else {
      gathered_singles_.insert(gathered_singles_.end(), batch.singles + first, batch.singles + first + count);
    }
    gathered += count;
    if (gathered == columns) {
      SourceRow row{true, columns_};
      if (batch.text != nullptr) {
        row.formatted = gathered_text_.data();
        row.formatted_size = gathered_text_.size();
      } else if (batch.doubles != nullptr) {
        row.doubles = gathered_doubles_.data();
      } else {
        row.singles = gathered_singles_.data();
      }
      return row;
    }
  }
}

void RowsFromPipeline::ScanAndFormat::prepare(BatchBuffer& buffer) const {
  if (scan_text) (void)buffer.doubles.room(kUsualBatchCells);
  if (format_text) {
    (void)buffer.text.room(kUsualBatchCells * kCellTextRoom + 1);
    (void)buffer.text_ends.room(kUsualBatchCells + 1);
  }
}

void RowsFromPipeline::ScanAndFormat::work_on(BatchBuffer& buffer) const {
  CellBatch& batch = buffer.batch;
  if (scan_text) {
    double* values = buffer.doubles.room(batch.piece_size + 1);
    const ScannedCells scanned = scan_cell_text(batch.piece, batch.piece_size, batch.piece_end.at_end, values);
    batch.doubles = values;
    batch.count = scanned.count;
    if (scanned.broken) batch.last = true;  // the cells end here
  }
  if (!format_text) return;
  char* const text = buffer.text.room(batch.count * kCellTextRoom + 1);
  std::uint32_t* const ends = buffer.text_ends.room(batch.count + 1);
  // Doubles are scaled as they are formatted; singles are widened first, in
  // parts that stay in the first-level cache until they are formatted.
  const CellScaling scaling{nodata, factor};
  char* out = text;
  if (batch.doubles != nullptr) {
    out = format_cell_texts(batch.doubles, batch.count, scaling, text, out, ends);
  } else {
    constexpr std::size_t kPart = 512;
    double widened[kPart];
    for (std::size_t done = 0; done < batch.count; done += kPart) {
      const std::size_t part = std::min(kPart, batch.count - done);
      std::copy(batch.singles + done, batch.singles + done + part, widened);
      out = format_cell_texts(widened, part, scaling, text, out, ends + done);
    }
  }
  batch.text = text;
  batch.text_ends = ends;
}

}  // namespace cellscale
