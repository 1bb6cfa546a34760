#include "app/row_source.h"

#include <algorithm>

#include "app/rows_from_pipeline.h"
#include "grid/ascii_grid.h"
#include "threads/cell_pipeline.h"

namespace cellscale {

SourceRow RowsOnThisThread::next_row() {
  const RowRead read = reader_.read_row();
  SourceRow row;
  row.complete = read.complete;
  row.values_read = read.values_read;
  row.doubles = read.doubles;
  row.singles = read.singles;
  return row;
}

bool worth_threads(std::int32_t columns, std::int64_t rows, int processors) {
  if (columns == 0 || rows == 0) return false;
  const std::int64_t cells = rows > kSmallestPipelinedGrid / columns ? kSmallestPipelinedGrid : rows * columns;
  return cells >= kSmallestPipelinedGrid && (kPipelineOnOneProcessor || processors > 1);
}

namespace {

// A binary grid scaled into a binary one keeps to this thread on two
// processors: its cells take a few instructions each, little beside reading
// them, and handing them over from a reading thread cost more than it saved
// whenever other work shared the processors (10 to 20% slower in runs
// alternated with one thread on a 5000 x 5000 grid; a run of one grid per
// processor is that case). The test build with small batches still takes
// it through the threads.
bool binary_on_one_thread(GridReader& reader, const RowSourceChoice& grid, int processors) {
  return !kPipelineOnOneProcessor && processors <= 2 && text_pieces_of(reader) == nullptr &&
         grid.output_format != FormatName::ascii_text;
}

}  // namespace

bool statistics_beside_pays(GridReader& reader, const RowSourceChoice& grid, int processors, double load) {
  if (grid.output_format == FormatName::ascii_text || !worth_threads(grid.columns, grid.rows, processors)) {
    return false;
  }
  // Runs of a script one after another hold the load near 1 on their own:
  // on two processors that still leaves one free, two such scripts do not.
  return kPipelineOnOneProcessor ||
         (binary_on_one_thread(reader, grid, processors) && load >= 0.0 && load < processors - 0.5);
}

std::unique_ptr<RowSource> make_row_source(GridReader& reader, const RowSourceChoice& grid, int processors) {
  if (worth_threads(grid.columns, grid.rows, processors) && !binary_on_one_thread(reader, grid, processors)) {
    // The run's own thread works on batches too while it waits: one worker
    // fewer than the processors keeps each of them busy.
    const int workers = std::min(std::max(processors - 1, 1), kMostWorkers);
    if (auto rows = RowsFromPipeline::start(reader, grid, workers)) return rows;
  }
  return std::make_unique<RowsOnThisThread>(reader);
}

}  // namespace cellscale
