#pragma once

// The progress dots: one on standard output for each row written, flushed
// every so many cells. When the output's blocks are written behind
// (threads/write_behind.h), a row's dot waits until the blocks filled before
// the row ended are known to be written, so that a run shows what it would
// have shown with the writes done at once, a failed one included.

#include <cstdint>

namespace cellscale {

class WriteBehind;

class ProgressDots {
 public:
  // `behind` may be null: the blocks are written at once.
  explicit ProgressDots(WriteBehind* behind) : behind_(behind) {}

  // A row of `columns` cells was written.
  void row_written(std::int32_t columns);

  // Shows the dots of the rows up to `row` that are not shown yet.
  void show_up_to(std::int64_t row);

  [[nodiscard]] std::int64_t rows_written() const { return rows_written_; }

 private:
  WriteBehind* behind_;
  std::int64_t cells_since_flush_ = 0;
  std::int64_t rows_written_ = 0;
  std::int64_t rows_shown_ = 0;
};

}  // namespace cellscale
