// Reference ownership at the CPython boundary.
//
// Ref owns one strong reference (move-only; release() hands it to a stealing
// call). Borrowed references stay plain PyObject* and are never stored past
// the call that lent them.
#pragma once

#include <Python.h>

#include <utility>

namespace pelmora::py {

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}  // steals
  static Ref borrow(PyObject* borrowed) {
    Py_XINCREF(borrowed);
    return Ref(borrowed);
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
  Ref& operator=(Ref&& o) noexcept {
    if (this != &o) {
      PyObject* old = p_;
      p_ = o.p_;
      o.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }
  void reset(PyObject* owned = nullptr) {
    PyObject* old = p_;
    p_ = owned;
    Py_XDECREF(old);
  }

 private:
  PyObject* p_ = nullptr;
};

}  // namespace pelmora::py
