#include "app/command_line.h"
#include "app/out_of_memory.h"

#if __has_include(<fcntl.h>) && __has_include(<unistd.h>)
#include <fcntl.h>
#include <unistd.h>
#endif

#ifdef F_GETFD
#include <cerrno>

namespace {

// A standard stream that the caller closed would otherwise be the descriptor
// that the next opened file gets: the factor would then be read from the
// input grid, or messages written into the output grid. Such a stream is
// opened on /dev/null instead, so closed input reads as empty input.
void keep_standard_streams_apart_from_files() {
  for (int descriptor = 0; descriptor <= 2; ++descriptor) {
    if (fcntl(descriptor, F_GETFD) == -1 && errno == EBADF) {
      if (open("/dev/null", descriptor == 0 ? O_RDONLY : O_WRONLY) != descriptor) _exit(1);
    }
  }
}

}  // namespace
#else
namespace {
// Without POSIX descriptor control (the Windows C runtime) nothing is to be
// done: that runtime keeps descriptors 0 to 2 for the standard streams even
// when the process was started without them, so no file takes their place.
void keep_standard_streams_apart_from_files() {}
}  // namespace
#endif

int main(int argc, char** argv) {
  cellscale::end_run_when_memory_runs_out();
  keep_standard_streams_apart_from_files();
  return cellscale::run_command_line(argc, argv);
}
