#include "threads/thread_placement.h"

#ifdef __linux__
#include <pthread.h>
#include <sched.h>
#endif

namespace cellscale {

void move_off_this_processor([[maybe_unused]] std::thread& thread) {
#ifdef __linux__
  const pthread_t handle = thread.native_handle();
  const int here = sched_getcpu();
  cpu_set_t allowed;
  if (here < 0 || here >= CPU_SETSIZE || pthread_getaffinity_np(handle, sizeof allowed, &allowed) != 0) return;
  cpu_set_t others = allowed;
  CPU_CLR(here, &others);
  // Narrowing the processors moves the thread; widening them again leaves it.
  if (CPU_COUNT(&others) > 0 && pthread_setaffinity_np(handle, sizeof others, &others) == 0) {
    (void)pthread_setaffinity_np(handle, sizeof allowed, &allowed);
  }
#endif
}

}  // namespace cellscale
