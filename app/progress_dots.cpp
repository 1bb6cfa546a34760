#include "app/progress_dots.h"

#include <algorithm>
#include <cstdio>

#include "files/output_blocks.h"

namespace cellscale {

namespace {

// Cells between two flushes of the dots, each row counting one more than its
// cells so that rows of no cells add up too: often enough to show progress,
// rare enough to cost nothing.
constexpr std::int64_t kCellsPerFlush = 1 << 18;

}  // namespace

ProgressDots::ProgressDots(OutputBlocks& blocks, std::int32_t columns, std::FILE* stream)
    : later_(blocks.writes_later() ? &blocks : nullptr), stream_(stream), columns_(columns) {}

void ProgressDots::rows_written(std::int64_t rows) {
  const std::int64_t more = rows - rows_written_;
  if (more == 0) return;
  rows_written_ = rows;
  if (later_ == nullptr) show_up_to(rows);
  cells_since_flush_ += more * (std::int64_t{columns_} + 1);
  if (cells_since_flush_ >= kCellsPerFlush) {
    if (later_ != nullptr) show_up_to(std::min(rows_written_, later_->first_row_not_yet_safe() - 1));
    if (stream_ != nullptr) std::fflush(stream_);
    cells_since_flush_ = 0;
  }
}

void ProgressDots::show_up_to(std::int64_t row) {
  if (stream_ == nullptr) return;
  for (; rows_shown_ < row; ++rows_shown_) std::putc('.', stream_);
}

void ProgressDots::end_line() {
  if (stream_ != nullptr) std::putc('\n', stream_);
}

}  // namespace cellscale
