#pragma once

// Where the run takes its rows from: one whole row at a time, in order, read
// on the run's own thread (RowsOnThisThread) or assembled from the batches of
// the threads of a large grid (RowsFromPipeline, app/rows_from_pipeline.h).
// The run has one loop for both.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "grid/grid_format.h"

namespace cellscale {

// One whole row of the input grid, valid until the next row is asked for.
// Exactly one of `doubles`, `singles` and `formatted` is set: the cells as
// the input holds them, or already scaled and formatted as text, each cell
// followed by a tab (only for a text output).
struct SourceRow {
  bool complete = false;
  // When not complete: the cells of the row read before the input ended, or
  // could not be read or scanned further.
  std::int64_t values_read = 0;
  const double* doubles = nullptr;
  const float* singles = nullptr;
  const char* formatted = nullptr;
  std::size_t formatted_size = 0;
};

class RowSource {
 public:
  virtual ~RowSource() = default;
  [[nodiscard]] virtual SourceRow next_row() = 0;
  // Ends the reading after the rows the run needed: threads that read stop,
  // and the reader is the caller's again (to check the input with
  // GridReader::input_intact_through). Returns the bytes of the input the
  // rows given took (GridReader::bytes_used). No row is asked for after.
  [[nodiscard]] virtual std::uint64_t end_reading() = 0;
};

// The rows as the reader reads them, on the calling thread.
class RowsOnThisThread final : public RowSource {
 public:
  explicit RowsOnThisThread(GridReader& reader) : reader_(reader) {}
  SourceRow next_row() override;
  std::uint64_t end_reading() override { return reader_.bytes_used(); }

 private:
  GridReader& reader_;
};

// What the run knows of a grid when it chooses where its rows come from.
struct RowSourceChoice {
  FormatName output_format;
  std::int32_t columns;
  std::int64_t rows;
  double nodata;
  double factor;
  bool input_never_waits;  // a file, not a pipe
};

// Whether a grid pays for threads: it has cells enough, and the process
// more than one of its `processors` to run on.
[[nodiscard]] bool worth_threads(std::int32_t columns, std::int64_t rows, int processors);

// The rows from the threads when the grid pays for them, else from this
// thread. With the threads, a text output's rows come formatted. A binary
// grid scaled into a binary one takes this thread on up to two processors,
// where the threads measured slower.
[[nodiscard]] std::unique_ptr<RowSource> make_row_source(GridReader& reader, const RowSourceChoice& grid,
                                                         int processors);

// Whether a binary output's statistics take a thread of their own
// (threads/statistics_beside.h): where a binary grid's rows stay on this
// thread and the system's load average over the last minute (load_average,
// negative when not known) leaves a processor free for it. A batch of one
// grid per processor loads every processor, and its runs keep to one thread:
// there a second thread only adds its cost (6 to 13% more CPU time), and
// beside busy processes measured up to 30% slower. The test build takes it
// for every binary output.
[[nodiscard]] bool statistics_beside_pays(GridReader& reader, const RowSourceChoice& grid, int processors,
                                          double load);

}  // namespace cellscale
