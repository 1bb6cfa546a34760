#pragma once

// The rows of a large grid from the threads of threads/cell_pipeline.h: the
// batches, taken in order, are cut into rows. A row that lies inside one
// batch is given where it lies; one that spans batches is gathered, so that
// no cell of a row that cannot be read completely is written.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "app/row_source.h"
#include "threads/cell_pipeline.h"

namespace cellscale {

class RowsFromPipeline final : public RowSource {
 public:
  // Starts the threads: `workers` of them scan a text input's numbers and,
  // for a text output, scale and format the cells. Null when a thread
  // cannot be had; nothing is read then.
  [[nodiscard]] static std::unique_ptr<RowsFromPipeline> start(GridReader& reader, const RowSourceChoice& grid,
                                                               int workers);

  SourceRow next_row() override;
  std::uint64_t end_reading() override;

 private:
  // Scans a text piece's numbers, and for a text output scales the cells and
  // formats them as text.
  class ScanAndFormat final : public BatchWork {
   public:
    bool scan_text = false;
    bool format_text = false;
    double nodata = 0;
    double factor = 1;
    void work_on(BatchBuffer& buffer) const override;
    void prepare(BatchBuffer& buffer) const override;
  };

  RowsFromPipeline(GridReader& reader, std::int32_t columns) : reader_(reader), columns_(columns) {}
  // Where the text of cell `index` of the batch begins.
  std::uint32_t text_start(std::size_t index) const;

  GridReader& reader_;
  std::int32_t columns_;
  ScanAndFormat work_;
  CellPipeline pipeline_;             // after work_: its threads end before work_ goes
  const CellBatch* batch_ = nullptr;  // the batch being cut into rows
  std::size_t used_ = 0;              // its cells given in rows so far
  // A row gathered from several batches.
  std::vector<double> gathered_doubles_;
  std::vector<float> gathered_singles_;
  std::vector<char> gathered_text_;
};

}  // namespace cellscale
