#include "boundary/pyviews.hpp"

#include <numpy/ndarraytypes.h>

#include <cstring>
#include <string>

namespace pelmora::py {

namespace {

const char* expected_name(Elem e) {
  switch (e) {
    case Elem::Float64: return "double";
    case Elem::Int64: return "int64_t";
    case Elem::Object: return "Python object";
  }
  return "";
}

// Name of the C type behind a buffer format string.
std::string describe_format(const char* fmt) {
  if (fmt == nullptr) return "'unsigned char'";
  while (*fmt && std::strchr("@=<>!^", *fmt)) ++fmt;
  bool complex = false;
  if (*fmt == 'Z') {
    complex = true;
    ++fmt;
  }
  const char* name = nullptr;
  switch (*fmt) {
    case '?': name = "bool"; break;
    case 'c': name = "char"; break;
    case 'b': name = "signed char"; break;
    case 'B': name = "unsigned char"; break;
    case 'h': name = "short"; break;
    case 'H': name = "unsigned short"; break;
    case 'i': name = "int"; break;
    case 'I': name = "unsigned int"; break;
    case 'l': name = "long"; break;
    case 'L': name = "unsigned long"; break;
    case 'q': name = "long long"; break;
    case 'Q': name = "unsigned long long"; break;
    case 'e': name = "half"; break;
    case 'f': name = complex ? "complex float" : "float"; break;
    case 'd': name = complex ? "complex double" : "double"; break;
    case 'g': name = complex ? "complex long double" : "long double"; break;
    case 'O': name = "Python object"; break;
    case 'T': return "a struct";
    case 0: return "end";
    default:
      if (*fmt >= '0' && *fmt <= '9') return "a string";
      return "unparsable format string";
  }
  return std::string("'") + name + "'";
}

bool format_matches(const Py_buffer& b, Elem e) {
  const char* fmt = b.format ? b.format : "B";
  bool native = true;
  if (*fmt == '>' || *fmt == '!') native = false;
  while (*fmt && std::strchr("@=<>!^", *fmt)) ++fmt;
  if (!native || fmt[0] == 0 || fmt[1] != 0) return false;
  switch (e) {
    case Elem::Float64: return fmt[0] == 'd' && b.itemsize == 8;
    case Elem::Int64: return (fmt[0] == 'l' || fmt[0] == 'q') && b.itemsize == 8;
    case Elem::Object: return fmt[0] == 'O' && b.itemsize == sizeof(PyObject*);
  }
  return false;
}

PyTypeObject* ndarray_type() {
  static PyTypeObject* type = [] {
    PyObject* np = PyImport_ImportModule("numpy");
    PyObject* t = np ? PyObject_GetAttrString(np, "ndarray") : nullptr;
    Py_XDECREF(np);
    if (t == nullptr) PyErr_Clear();
    return reinterpret_cast<PyTypeObject*>(t);  // kept for the life of the process
  }();
  return type;
}

}  // namespace

bool Buffer::moved() const {
  if (!held_) return false;
  PyTypeObject* nd = ndarray_type();
  if (nd == nullptr || !PyObject_TypeCheck(buf_.obj, nd)) return false;
  const auto* a = reinterpret_cast<const PyArrayObject_fields*>(buf_.obj);
  if (a->data != buf_.buf || a->nd != buf_.ndim) return true;
  // Shape and data pointer only: the exported strides of a contiguous array
  // are canonical and may differ from the array's own for length-1 axes.
  for (int k = 0; k < a->nd; ++k) {
    if (a->dimensions[k] != buf_.shape[k]) return true;
  }
  return false;
}

void check_unmoved(const Buffer* const* buffers, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) {
    if (buffers[i] != nullptr && buffers[i]->moved()) {
      fail(ErrorKind::RuntimeError, "an input array was resized while it was in use");
    }
  }
}

Buffer::Buffer(Buffer&& o) noexcept : buf_(o.buf_), held_(o.held_) { o.held_ = false; }

Buffer& Buffer::operator=(Buffer&& o) noexcept {
  if (this != &o) {
    release();
    buf_ = o.buf_;
    held_ = o.held_;
    o.held_ = false;
  }
  return *this;
}

void Buffer::release() {
  if (held_) {
    PyBuffer_Release(&buf_);
    held_ = false;
  }
}

void Buffer::acquire(PyObject* obj, Elem elem, int ndim, bool allow_none) {
  release();
  if (obj == Py_None && allow_none) return;
  Py_buffer b;
  if (PyObject_GetBuffer(obj, &b, PyBUF_RECORDS_RO) != 0) fail_pending();
  if (b.ndim != ndim) {
    const int got = b.ndim;
    PyBuffer_Release(&b);
    fail(ErrorKind::ValueError, "Buffer has wrong number of dimensions (expected " +
                                    std::to_string(ndim) + ", got " + std::to_string(got) + ")");
  }
  if (b.format && (b.format[0] == '>' || b.format[0] == '!')) {
    PyBuffer_Release(&b);
    fail(ErrorKind::ValueError, "Big-endian buffer not supported on little-endian compiler");
  }
  if (!format_matches(b, elem)) {
    std::string got = describe_format(b.format);
    PyBuffer_Release(&b);
    fail(ErrorKind::ValueError, std::string("Buffer dtype mismatch, expected '") +
                                    expected_name(elem) + "' but got " + got);
  }
  buf_ = b;
  held_ = true;
}

}  // namespace pelmora::py
