// Conversions of Python arguments to C++ values with the host's own errors,
// shared by every module: truth values, floats, checked C ints.
#pragma once

#include <Python.h>

namespace pelmora::py {

// PyObject_IsTrue; throws Failure{Pending} when the truth test raises.
bool to_bool(PyObject* o);
// float(o); throws Failure{Pending} on error.
double to_double(PyObject* o);
// An int parameter: ints as they are, anything else through its own integer
// conversion (floats truncate), then the 32-bit range check (OverflowError
// "value too large to convert to int").
int to_int(PyObject* o);

}  // namespace pelmora::py
