// The hand-over of a run's columns to NumPy: a Column's buffer becomes an
// array's memory without a copy, and the array frees it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <utility>

#include "core/column.hpp"

namespace pelmora::py {

// NumPy type numbers of the column element types (numpy.hpp's NPY_* values,
// named here so that this header needs no NumPy include).
enum class Dtype { Bool, Int8, Int64, Float64 };

// A new 1-D array (or, with `width`, a 2-D array of rows of `width`) owning
// the column's buffer; the column is left empty. Throws Failure.
PyObject* ndarray_of(ColumnBuffer buffer, std::size_t size, Dtype dtype, std::int64_t width = -1);

template <class T>
PyObject* ndarray_of(Column<T>& c, Dtype dtype, std::int64_t width = -1) {
  const std::size_t size = c.size();
  if (c.empty()) return ndarray_of(ColumnBuffer{}, 0, dtype, width);
  return ndarray_of(c.release(), size, dtype, width);
}

// An empty 2-D float64 array of `rows` x `width`. Throws Failure.
PyObject* empty_matrix(std::int64_t rows, std::int64_t width);

// The same, its memory a mapping of the process's pool when it is large (a
// copy made on every run then faults its pages in once, not every time);
// the elements are left as they are. Throws Failure.
PyObject* pooled_matrix(std::int64_t rows, std::int64_t width);
// A 1-D float64 array of `n` the same way. Throws Failure.
PyObject* pooled_array(std::int64_t n);

// A read-only 1-D float64 array of `n` copies of `value`, all of them the
// one element of its base (stride 0): a column a run knows to be constant
// costs no memory and no writes. Throws Failure.
PyObject* constant_vector(std::int64_t n, double value);

// dict[key] = owned (the reference is consumed). Throws Failure.
void put(PyObject* dict, const char* key, PyObject* owned);

// A new dict of named columns (the references are consumed). Throws Failure.
PyObject* columns(std::initializer_list<std::pair<const char*, PyObject*>> items);

}  // namespace pelmora::py
