#include "boundary/pyerrors.hpp"

namespace pelmora::py {

namespace {
PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::IndexError: return PyExc_IndexError;
    case ErrorKind::ValueError: return PyExc_ValueError;
    case ErrorKind::TypeError: return PyExc_TypeError;
    case ErrorKind::ZeroDivisionError: return PyExc_ZeroDivisionError;
    case ErrorKind::OverflowError: return PyExc_OverflowError;
    case ErrorKind::RuntimeError: return PyExc_RuntimeError;
    case ErrorKind::MemoryError: return PyExc_MemoryError;
    case ErrorKind::Pending: break;
  }
  return PyExc_SystemError;
}
}  // namespace

void add_traceback(const char* qualname) {
  if (!PyErr_Occurred()) return;
  _PyTraceback_Add(qualname, "<pelmora native>", 0);
}

void raise(const Failure& f) {
  if (f.kind == ErrorKind::Pending) {
    if (!PyErr_Occurred()) {
      PyErr_SetString(PyExc_SystemError, "pelmora: native failure without a Python exception");
    }
  } else {
    // The text may carry any character of a stock label, NUL included.
    PyObject* text = PyUnicode_DecodeUTF8(f.message.data(),
                                          static_cast<Py_ssize_t>(f.message.size()), "replace");
    if (text != nullptr) {
      PyErr_SetObject(exception_type(f.kind), text);
      Py_DECREF(text);
    }
  }
  for (const char* frame : f.frames) add_traceback(frame);
}

}  // namespace pelmora::py
