#pragma once

// A thread of its own that reads a binary grid's cells a second time
// (CellsAgain, by their place in the file) and gives them, in row order, to
// a function run on that thread: there the statistics of a binary output are
// taken from the cells as the run reads them, with nothing handed over from
// the run's thread. Handing the run's scaled cells to a statistics thread
// through a ring (threads/statistics_beside.h) moves every cell from one
// processor's caches to the other's, and that traffic made the run's own
// reads and writes in the kernel up to twice as slow; reading the file a
// second time costs the other processor alone.
//
// The file may change between the two readings: agrees_with checks the
// cells read here against the run's (CellSum).

#include <cstdint>
#include <memory>
#include <thread>

#include "grid/binary_grid.h"
#include "stats/cell_stats.h"

namespace cellscale {

class SecondReading {
 public:
  // Starts the thread that reads the first `count` cells and gives them to
  // `take`, whatever it refers to outliving finish(): null, and nothing
  // started, when no thread can be had.
  [[nodiscard]] static std::unique_ptr<SecondReading> start(std::unique_ptr<CellsAgain> cells, std::uint64_t count,
                                                            CellsAgain::Take take);
  SecondReading(const SecondReading&) = delete;
  SecondReading& operator=(const SecondReading&) = delete;
  ~SecondReading() { (void)finish(); }

  // Waits for the thread: the sum of the cells it read (fewer than asked
  // for where the file ended or a read failed).
  [[nodiscard]] CellSum finish();

  // Waits for the thread, and whether what `take` was given is the `count`
  // cells the run read (`run_read`). Should the file have changed between
  // the two readings, `stats` is reset for `nodata` and the cells are read a
  // third time here, from `reader`, into `take`: true when that reading
  // agrees with the run's instead.
  [[nodiscard]] bool agrees_with(const CellSum& run_read, const GridReader& reader, std::uint64_t count,
                                 CellStats& stats, double nodata);

 private:
  SecondReading(std::unique_ptr<CellsAgain> cells, CellsAgain::Take take)
      : cells_(std::move(cells)), take_(std::move(take)) {}

  std::unique_ptr<CellsAgain> cells_;
  CellsAgain::Take take_;
  CellSum sum_;  // the thread's until it ends
  std::thread thread_;
};

}  // namespace cellscale
