#pragma once

// Memory for the rows of cells held while a grid streams through the tool.
// It is made zero-filled without being touched, so that a header asking for
// a huge row costs no memory until cells are actually read into it.

#include <cstddef>
#include <cstdlib>
#include <memory>

namespace cellscale {

// A zero-filled array from calloc, which hands out fresh zero pages for large
// sizes instead of writing zeros into them.
template <typename T>
class ZeroedArray {
 public:
  ZeroedArray() = default;

  // Empty (and false) when the memory cannot be had.
  [[nodiscard]] static ZeroedArray allocate(std::size_t count) {
    ZeroedArray array;
    array.data_.reset(static_cast<T*>(std::calloc(count == 0 ? 1 : count, sizeof(T))));
    return array;
  }

  explicit operator bool() const { return data_ != nullptr; }
  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }

 private:
  struct Free {
    void operator()(T* pointer) const { std::free(pointer); }
  };
  std::unique_ptr<T, Free> data_;
};

}  // namespace cellscale
