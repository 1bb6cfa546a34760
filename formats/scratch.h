#pragma once

// Memory a piece of a grid is read or worked on in: made once, as large as
// a piece of the usual size needs, and again only for a larger one (a
// number of a megabyte, say). It is not filled: the pages a piece does not
// reach cost nothing.

#include <algorithm>
#include <cstddef>
#include <memory>

namespace cellscale {

template <typename T>
class Scratch {
 public:
  // Room for `count` elements, of which the first `kept` are kept where
  // the memory is made anew.
  T* room(std::size_t count, std::size_t kept = 0) {
    if (count > size_) {
      std::unique_ptr<T[]> larger(new T[std::max(count, 2 * size_)]);
      std::copy_n(data_.get(), kept, larger.get());
      data_ = std::move(larger);
      size_ = std::max(count, 2 * size_);
    }
    return data_.get();
  }
  T* data() { return data_.get(); }
  const T* data() const { return data_.get(); }

 private:
  std::unique_ptr<T[]> data_;
  std::size_t size_ = 0;
};

}  // namespace cellscale
