#include "app/progress_dots.h"

#include <algorithm>
#include <cstdio>

#include "grid/output_blocks.h"

namespace cellscale {

namespace {

// Cells between two flushes of the dots, each row counting one more than its
// cells so that rows of no cells add up too: often enough to show progress,
// rare enough to cost nothing.
constexpr std::int64_t kCellsPerFlush = 1 << 18;

}  // namespace

ProgressDots::ProgressDots(OutputBlocks& blocks) : later_(blocks.writes_later() ? &blocks : nullptr) {}

void ProgressDots::row_written(std::int32_t columns) {
  ++rows_written_;
  if (later_ == nullptr) {
    std::putchar('.');
    rows_shown_ = rows_written_;
  }
  cells_since_flush_ += columns + 1;
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
