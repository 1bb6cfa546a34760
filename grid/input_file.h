#pragma once

// The input grid's bytes from its first on. Recognising the format reads the
// first bytes of the file; an input that can go back to its start is then
// read again from there, and one that cannot (a pipe, a FIFO, a process
// substitution such as <(zcat dem.asc.gz)) keeps those bytes here and serves
// them before the rest of the stream, so that it is read in one pass.

#include <cstddef>
#include <string>

#include "grid/grid_format.h"

namespace cellscale {

class InputFile {
 public:
  // `taken`: bytes already read from the stream, to be served first.
  explicit InputFile(FilePtr file, std::string taken = {});

  // Reads up to `size` bytes into `into`, as fread(into, 1, size, file)
  // would: fewer only at the end of the input or on a read error.
  [[nodiscard]] std::size_t read(void* into, std::size_t size);

  // Whether a read has failed, or has met the end of the input.
  [[nodiscard]] bool failed() const;
  [[nodiscard]] bool ended() const;

 private:
  FilePtr file_;
  std::string taken_;
  std::size_t served_ = 0;  // bytes of taken_ already read
};

}  // namespace cellscale
