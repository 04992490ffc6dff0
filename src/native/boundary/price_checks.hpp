// The price checks of the user layer as a Python-callable function: the
// buffers are taken and checked here, the matrices are read without the
// interpreter lock, and the first fault comes back as a small tuple for the
// user layer to put into words (it knows the stocks, the dates and the fields).
#pragma once

#include <Python.h>

namespace pelmora::py {

// _price_fault(matrices, used, high, low, bounds), METH_FASTCALL:
//   matrices  sequence of 2-D float64 arrays of one shape (each distinct matrix once)
//   used      1-D int64 array of increasing column indexes
//   high, low indexes into `matrices` of the high and the low (-1: no such check)
//   bounds    (lowest, highest, moderate_low, moderate_high)
// Returns None, ("outside", matrix, row, col), ("span", col, lo_matrix,
// lo_row, hi_matrix, hi_row) or ("below", row, col): the first fault in the
// order the checks run (see core/price_checks.hpp).
PyObject* price_fault(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace pelmora::py
