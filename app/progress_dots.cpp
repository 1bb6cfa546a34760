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

ProgressDots::ProgressDots(OutputBlocks& blocks, std::int32_t columns)
    : later_(blocks.writes_later() ? &blocks : nullptr), columns_(columns) {}

void ProgressDots::rows_written(std::int64_t rows) {
  const std::int64_t more = rows - rows_written_;
  if (more == 0) return;
  rows_written_ = rows;
  if (later_ == nullptr) show_up_to(rows);
  cells_since_flush_ += more * (std::int64_t{columns_} + 1);
  if (cells_since_flush_ >= kCellsPerFlush) {
    if (later_ != nullptr) show_up_to(std::min(rows_written_, later_->first_row_not_yet_safe() - 1));
    std::fflush(stdout);
    cells_since_flush_ = 0;
  }
}

void ProgressDots::show_up_to(std::int64_t row) {
  for (; rows_shown_ < row; ++rows_shown_) std::putchar('.');
}

}  // namespace cellscale
