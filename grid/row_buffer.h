#pragma once

// Rows of cells held while a grid streams through the tool. A row is made
// zero-filled without being touched, so that a header asking for a huge row
// costs no memory until cells are actually read into it.

#include <cstddef>
#include <cstdint>
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

// One row of cells as doubles, addressed by column 1 to the whole column
// count. A row keeps its content from one row to the next.
class RowBuffer {
 public:
  RowBuffer() = default;

  // Empty (and false) when the row cannot be had.
  [[nodiscard]] static RowBuffer allocate(std::int32_t columns) {
    RowBuffer row;
    row.entries_ = ZeroedArray<double>::allocate(static_cast<std::size_t>(columns) + 1);
    row.columns_ = row.entries_ ? columns : 0;
    return row;
  }

  explicit operator bool() const { return static_cast<bool>(entries_); }
  std::int32_t columns() const { return columns_; }

  double& operator[](std::int64_t column) { return entries_.data()[column]; }
  double operator[](std::int64_t column) const { return entries_.data()[column]; }

  // Columns 1 to columns() as one contiguous block.
  double* cells() { return entries_.data() + 1; }
  const double* cells() const { return entries_.data() + 1; }

 private:
  ZeroedArray<double> entries_;
  std::int32_t columns_ = 0;
};

}  // namespace cellscale
