#pragma once

// An open file as the tool holds it, and the one way its outputs are
// written and closed.

#include <cstddef>
#include <cstdio>
#include <memory>

namespace cellscale {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Writes `size` bytes to the file: false when they did not all reach it, or
// when an earlier write to the stream had failed. The writers' one way to
// write.
[[nodiscard]] bool write_all(std::FILE* file, const void* bytes, std::size_t size);

// Flushes and closes an output, false if anything written to it was lost.
[[nodiscard]] bool close_output(FilePtr file);

}  // namespace cellscale
