#include "threads/second_reading.h"

#include <system_error>
#include <utility>

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

namespace cellscale {

namespace {

// The system places a new thread on the processor of the thread that made
// it, which is busy with the run, and moves it to an idle one only when it
// next balances the processors' loads: this thread, which never waits, then
// waited up to 4 ms of a 30 ms run while another processor was idle. So it
// is moved at once: to the processors it may run on other than this thread's,
// which moves it there, then back to all of them, which leaves it there.
void move_off_this_processor([[maybe_unused]] std::thread& thread) {
#ifdef __linux__
  const pthread_t handle = thread.native_handle();
  const int here = sched_getcpu();
  cpu_set_t allowed;
  if (here < 0 || here >= CPU_SETSIZE || pthread_getaffinity_np(handle, sizeof allowed, &allowed) != 0) return;
  cpu_set_t others = allowed;
  CPU_CLR(here, &others);
  if (CPU_COUNT(&others) > 0 && pthread_setaffinity_np(handle, sizeof others, &others) == 0) {
    (void)pthread_setaffinity_np(handle, sizeof allowed, &allowed);
  }
#endif
}

}  // namespace

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
