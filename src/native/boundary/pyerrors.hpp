// One way to turn a failure into a Python exception, and the traceback entry
// each failing native function adds under its qualified name.
#pragma once

#include <Python.h>

#include "core/failure.hpp"

namespace pelmora::py {

// Adds a traceback entry named `qualname` to the pending exception.
void add_traceback(const char* qualname);

// Sets the Python exception described by `f` (unless one is already pending
// for a Pending failure) and adds one traceback entry per frame, innermost first.
void raise(const Failure& f);

// Throws Failure{Pending} when a Python exception is set.
inline void check_pending() {
  if (PyErr_Occurred()) fail_pending();
}

// Throws Failure{Pending} if `obj` is null (the call that made it failed).
inline PyObject* checked(PyObject* obj) {
  if (obj == nullptr) fail_pending();
  return obj;
}

// Runs `body` (returning PyObject*) and converts a Failure into a pending
// exception with its traceback entries plus one for `qualname`.
template <class Body>
PyObject* guarded(const char* qualname, Body&& body) {
  try {
    PyObject* r = body();
    if (r == nullptr) add_traceback(qualname);
    return r;
  } catch (const Failure& f) {
    raise(f);
    add_traceback(qualname);
    return nullptr;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    add_traceback(qualname);
    return nullptr;
  }
}

}  // namespace pelmora::py
