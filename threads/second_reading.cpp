#include "threads/second_reading.h"

#include <system_error>
#include <utility>

#include "threads/thread_placement.h"

namespace cellscale {

std::unique_ptr<SecondReading> SecondReading::start(std::unique_ptr<CellsAgain> cells, std::uint64_t count,
                                                    CellsAgain::Take take) {
  std::unique_ptr<SecondReading> reading(new SecondReading(std::move(cells), std::move(take)));
  try {
    reading->thread_ = std::thread(
        [reading = reading.get(), count] { reading->sum_ = reading->cells_->read_all(count, reading->take_); });
  } catch (const std::system_error&) {
    return nullptr;
  }
  move_off_this_processor(reading->thread_);
  return reading;
}

CellSum SecondReading::finish() {
  if (thread_.joinable()) thread_.join();
  return sum_;
}

bool SecondReading::agrees_with(const CellSum& run_read, const GridReader& reader, std::uint64_t count,
                                CellStats& stats, double nodata) {
  if (finish() == run_read) return true;
  stats.reset(nodata);
  const std::unique_ptr<CellsAgain> third = reader.cells_again();
  return third != nullptr && third->read_all(count, take_) == run_read;
}

}  // namespace cellscale
