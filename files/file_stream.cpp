#include "files/file_stream.h"

namespace cellscale {

bool write_all(std::FILE* file, const void* bytes, std::size_t size) {
  return (size == 0 || std::fwrite(bytes, 1, size, file) == size) && std::ferror(file) == 0;
}

bool close_output(FilePtr file) {
  std::FILE* stream = file.release();
  bool intact = std::ferror(stream) == 0;
  intact = std::fflush(stream) == 0 && intact;
  return std::fclose(stream) == 0 && intact;
}

}  // namespace cellscale
