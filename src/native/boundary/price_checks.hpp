// The price and weight checks of the user layer as Python-callable functions: the
// buffers are taken and checked here, the matrices are read without the
// interpreter lock, and the first fault comes back as a small tuple for the
// user layer to put into words (it knows the stocks, the dates and the fields).
#pragma once

#include <Python.h>

namespace pelmora::py {

// _price_fault(matrices, used, high, low, bounds[, unpriced[, weights, first_row]]),
// METH_FASTCALL:
//   matrices  sequence of 2-D float64 arrays of one shape (each distinct matrix once)
//   used      1-D int64 array of increasing column indexes
//   high, low indexes into `matrices` of the high and the low (-1: no such check)
//   bounds    (lowest, highest, moderate_low, moderate_high)
// Returns None, ("outside", matrix, row, col), ("span", col, lo_matrix,
// lo_row, hi_matrix, hi_row) or ("below", row, col): the first fault in the
// order the checks run (see core/price_checks.hpp). With `unpriced` true, the
// result is (fault, unpriced): a bool array of matrices x used columns, True
// where the column has no price at all (meaningful when fault is None). With
// `weights` (a 2-D float64 array, or None) and `first_row`, the result is
// (fault, unpriced or None, scan or None), scan what _weights_scan returns
// (the copy made unless the weights are row-major): the weights' pass runs on
// the same threads, beside the prices', whatever the prices hold.
PyObject* price_fault(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _weights_scan(values, first_row, copy), METH_FASTCALL:
//   values     2-D float64 array of the weights
//   first_row  the rows from which a nonzero weight counts as held (0..rows)
//   copy       whether to return the weights as a new row-major array
// Returns (plain, held, rows): plain is True when every weight is finite and
// no row's sum of absolute weights can overflow (see core/weight_checks.hpp);
// held a bool array per column; rows the row-major copy, or None. One pass
// over the weights, with the interpreter lock (it is short).
PyObject* weights_scan(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

// _row_major(*matrices), METH_FASTCALL: a tuple of row-major copies of 2-D
// float64 arrays, bit for bit, in memory of the process's pool when they are
// large; made without the interpreter lock, side by side on the usable cores.
PyObject* row_major(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace pelmora::py
