// Working arrays kept between calls of different sizes.
#pragma once

#include <cstddef>
#include <vector>

namespace torvel {

// Makes v hold at least n values and returns its data. A larger v stays as it is: resizing
// down and up again would zero-fill the values every time.
template <typename T>
T* grow(std::vector<T>& v, std::size_t n) {
  if (v.size() < n) v.resize(n);
  return v.data();
}

}  // namespace torvel
