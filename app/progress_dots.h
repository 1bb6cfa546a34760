#pragma once

// The progress dots: one for each row written, on the stream given (standard
// output in the older form, standard error in the form for scripts; none at
// all without a stream), flushed every so many cells. When the output's blocks are written later (gathered,
// or compressed on several threads: files/output_blocks.h), a row's dot
// waits until the blocks filled before the row ended are known to be
// written, so that a run shows what it would have shown with each write done
// at once, a failed one included.

#include <cstdint>
#include <cstdio>

namespace cellscale {

class OutputBlocks;

class ProgressDots {
 public:
  // The dots of the rows of `columns` cells written to `blocks`, shown on
  // `stream` (null: not shown).
  ProgressDots(OutputBlocks& blocks, std::int32_t columns, std::FILE* stream);

  // The rows up to `rows` are written.
  void rows_written(std::int64_t rows);

  // Shows the dots of the rows up to `row` that are not shown yet.
  void show_up_to(std::int64_t row);

  // Ends the line of dots once they are all shown.
  void end_line();

  [[nodiscard]] std::int64_t rows_written() const { return rows_written_; }

 private:
  OutputBlocks* later_;  // null when every block is written at once
  std::FILE* stream_;
  std::int32_t columns_;
  std::int64_t cells_since_flush_ = 0;
  std::int64_t rows_written_ = 0;
  std::int64_t rows_shown_ = 0;
};

}  // namespace cellscale
