#include "grid/input_file.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace cellscale {

InputFile::InputFile(FilePtr file, std::string taken) : file_(std::move(file)), taken_(std::move(taken)) {}

std::size_t InputFile::read(void* into, std::size_t size) {
  const std::size_t from_taken = std::min(size, taken_.size() - served_);
  if (from_taken > 0) std::memcpy(into, taken_.data() + served_, from_taken);
  served_ += from_taken;
  if (from_taken == size) return size;
  return from_taken + std::fread(static_cast<char*>(into) + from_taken, 1, size - from_taken, file_.get());
}

bool InputFile::failed() const { return std::ferror(file_.get()) != 0; }

bool InputFile::ended() const { return served_ == taken_.size() && std::feof(file_.get()) != 0; }

}  // namespace cellscale
