// Typed strided views of Python buffers (float64, int64 and object arrays),
// with the exact error texts of a buffer check:
//   "Buffer has wrong number of dimensions (expected 2, got 1)"
//   "Buffer dtype mismatch, expected 'double' but got 'float'"
// A Buffer holds the exporter's buffer (and so a reference to it) until it is
// destroyed; views taken from it are valid for that long.
#pragma once

#include <Python.h>

#include "core/views.hpp"

namespace pelmora::py {

enum class Elem { Float64, Int64, Object };

class Buffer {
 public:
  Buffer() = default;
  Buffer(const Buffer&) = delete;
  Buffer& operator=(const Buffer&) = delete;
  Buffer(Buffer&& o) noexcept;
  Buffer& operator=(Buffer&& o) noexcept;
  ~Buffer() { release(); }

  // Takes a view of `obj`; None gives an empty view of the requested rank when
  // `allow_none` is set. Throws Failure (ValueError with the exact text, or
  // Pending when the object has no buffer).
  void acquire(PyObject* obj, Elem elem, int ndim, bool allow_none = true);
  void release();
  bool is_none() const { return !held_; }

  template <class T>
  View1D<T> view1d() const {
    if (!held_) return {};
    return View1D<T>{static_cast<const char*>(buf_.buf), buf_.shape[0], buf_.strides[0]};
  }
  template <class T>
  View2D<T> view2d() const {
    if (!held_) return {};
    return View2D<T>{static_cast<const char*>(buf_.buf), buf_.shape[0], buf_.shape[1],
                     buf_.strides[0], buf_.strides[1]};
  }
  PyObject* object() const { return held_ ? buf_.obj : Py_None; }

  // Whether the exporter's memory no longer matches the view: an ndarray
  // resized with refcheck=False while the view was held. (Other exporters
  // refuse to resize while a buffer is exported.)
  bool moved() const;

 private:
  Py_buffer buf_{};
  bool held_ = false;
};

// Throws RuntimeError when any held buffer has moved; called after every call
// that may have run Python code, before the views are read again.
void check_unmoved(const Buffer* const* buffers, std::size_t n);

// Element of a 1-D object view as a new reference.
inline PyObject* object_at(const View1D<PyObject*>& v, std::int64_t i) {
  PyObject* o = v.at(i);
  if (o == nullptr) o = Py_None;  // a NULL slot reads as None
  Py_INCREF(o);
  return o;
}

}  // namespace pelmora::py
