// The one way the boundary includes NumPy's C API.
//
// NumPy's API is a table of function pointers filled by import_array. Without
// PY_ARRAY_UNIQUE_SYMBOL every translation unit that includes the headers gets
// a private, never-filled table of its own; here every unit shares one symbol
// (hidden: each extension module links the boundary statically and so holds
// its own copy), numpy.cpp defines it and py::import_numpy fills it from the
// module's exec slot.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL pelmora_numpy_api
#ifndef PELMORA_NUMPY_API_DEFINITION
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

namespace pelmora::py {

// Fills the shared API table once per module; -1 with ImportError set on failure.
int import_numpy();

}  // namespace pelmora::py
