#include "app/processors.h"

#include <cstddef>

#if defined(_WIN32)
#include <windows.h>

#include <bit>
#elif defined(__linux__)
#include <sched.h>

#include <cerrno>
#else
#include <thread>
#endif

namespace cellscale {

int usable_processors() {
#if defined(_WIN32)
  // The mask of the processor group the process runs in: up to 64
  // processors, which is more than the run takes.
  DWORD_PTR process_mask = 0;
  DWORD_PTR system_mask = 0;
  if (GetProcessAffinityMask(GetCurrentProcess(), &process_mask, &system_mask) == 0) return 1;
  const int count = std::popcount(static_cast<unsigned long long>(process_mask));
#elif defined(__linux__)
  // The kernel refuses a mask smaller than its own (EINVAL): the size is
  // doubled until the mask fits.
  int count = 1;
  for (int processors = 1024; processors <= (1 << 20); processors *= 2) {
    cpu_set_t* mask = CPU_ALLOC(processors);
    if (mask == nullptr) return 1;
    const std::size_t bytes = CPU_ALLOC_SIZE(processors);
    const bool read = sched_getaffinity(0, bytes, mask) == 0;
    const bool too_small = !read && errno == EINVAL;
    if (read) count = CPU_COUNT_S(bytes, mask);
    CPU_FREE(mask);
    if (!too_small) break;
  }
#else
  const int count = static_cast<int>(std::thread::hardware_concurrency());
#endif
  return count < 1 ? 1 : count;
}

}  // namespace cellscale
