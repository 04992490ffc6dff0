// Typed strided views over memory owned by someone else (NumPy arrays held by
// the boundary for as long as the view lives). Strides are in bytes, so any
// NumPy layout works, including negative and non-contiguous strides.
//
// at() implements buffer indexing semantics: a negative index counts from the
// end, anything else outside raises IndexError "Out of bounds on buffer access
// (axis N)". get() is the unchecked read for indexes the caller has proven.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/failure.hpp"

namespace pelmora {

inline std::int64_t wrap_index(std::int64_t i, std::int64_t n, int axis) {
  if (i < 0) i += n;
  if (i < 0 || i >= n) fail(ErrorKind::IndexError, buffer_oob_message(axis));
  return i;
}

// NumPy item-index semantics (`a[i]` on an axis of n): a negative index counts
// from the end, anything else outside raises IndexError "index i is out of
// bounds for axis 0 with size n".
inline std::int64_t item_index(std::int64_t i, std::int64_t n) {
  const std::int64_t j = i < 0 ? i + n : i;
  if (j < 0 || j >= n) fail(ErrorKind::IndexError, numpy_oob_message(i, n));
  return j;
}

template <class T>
struct View1D {
  const char* data = nullptr;
  std::int64_t size = 0;
  std::int64_t stride = 0;  // bytes

  T get(std::int64_t i) const {
    T v;
    std::memcpy(&v, data + i * stride, sizeof(T));
    return v;
  }
  T at(std::int64_t i) const { return get(wrap_index(i, size, 0)); }
};

template <class T>
struct View2D {
  const char* data = nullptr;
  std::int64_t rows = 0;
  std::int64_t cols = 0;
  std::int64_t row_stride = 0;  // bytes
  std::int64_t col_stride = 0;  // bytes

  T get(std::int64_t r, std::int64_t c) const {
    T v;
    std::memcpy(&v, data + r * row_stride + c * col_stride, sizeof(T));
    return v;
  }
  T at(std::int64_t r, std::int64_t c) const {
    const std::int64_t rr = wrap_index(r, rows, 0);
    const std::int64_t cc = wrap_index(c, cols, 1);
    return get(rr, cc);
  }
  View1D<T> row(std::int64_t r) const {
    const std::int64_t rr = wrap_index(r, rows, 0);
    return View1D<T>{data + rr * row_stride, cols, col_stride};
  }
};

}  // namespace pelmora
