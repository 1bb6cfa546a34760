#include "files/disk_room.h"

#include <limits>

#ifdef __linux__
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace cellscale {

#ifdef __linux__

void reserve_disk_room(std::FILE* file, std::uint64_t bytes) {
  if (file == nullptr || bytes == 0 || bytes > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    return;
  }
  // Past the limit the reservation would fail (or end the process by
  // SIGXFSZ) before the first row is written; the writes up to the limit
  // must come first.
  rlimit limit{};
  if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || (limit.rlim_cur != RLIM_INFINITY && bytes > limit.rlim_cur)) {
    return;
  }
  // The file's size is kept: not posix_fallocate, which writes zeros where
  // the file system has no such call.
  (void)::fallocate(fileno(file), FALLOC_FL_KEEP_SIZE, 0, static_cast<off_t>(bytes));
}

void give_back_disk_room(std::FILE* file) {
  if (file == nullptr) return;
  const int descriptor = fileno(file);
  // Cutting a file to its own size frees the blocks past its end.
  struct stat status {};
  if (fstat(descriptor, &status) == 0) (void)ftruncate(descriptor, status.st_size);
}

#else

void reserve_disk_room(std::FILE*, std::uint64_t) {}
void give_back_disk_room(std::FILE*) {}

#endif

}  // namespace cellscale
