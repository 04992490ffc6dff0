#include "boundary/price_checks.hpp"

#include <atomic>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "boundary/ndarray_out.hpp"
#include "boundary/numpy.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"
#include "boundary/pyviews.hpp"
#include "boundary/run_driver.hpp"
#include "core/parallel.hpp"
#include "core/price_checks.hpp"
#include "core/weight_checks.hpp"

namespace pelmora::py {
namespace {

constexpr const char* kQualname = "pelmora.core.journal._price_fault";
constexpr const char* kWeightsQualname = "pelmora.core.journal._weights_scan";
constexpr const char* kRowMajorQualname = "pelmora.core.journal._row_major";

int matrix_index(PyObject* obj, const char* name, Py_ssize_t n) {
  const long k = PyLong_AsLong(obj);
  if (k == -1 && PyErr_Occurred()) fail_pending();
  if (k < -1 || k >= static_cast<long>(n)) {
    fail(ErrorKind::ValueError, std::string("_price_fault: ") + name +
                                    " must be -1 or the index of one of the matrices");
  }
  return static_cast<int>(k);
}

PriceBounds bounds_of(PyObject* obj) {
  Ref items(checked(PySequence_Tuple(obj)));
  if (PyTuple_GET_SIZE(items.get()) != 4) {
    fail(ErrorKind::ValueError, "_price_fault: bounds must be 4 numbers");
  }
  double b[4];
  for (Py_ssize_t i = 0; i < 4; ++i) {
    b[i] = PyFloat_AsDouble(PyTuple_GET_ITEM(items.get(), i));
    if (b[i] == -1.0 && PyErr_Occurred()) fail_pending();
  }
  return PriceBounds{b[0], b[1], b[2], b[3]};
}

PyObject* fault_tuple(const PriceFaultAt& f) {
  switch (f.kind) {
    case PriceFault::None: Py_RETURN_NONE;
    case PriceFault::Outside:
      return checked(Py_BuildValue("(siLL)", "outside", f.matrix, static_cast<long long>(f.row),
                                   static_cast<long long>(f.col)));
    case PriceFault::Span:
      return checked(Py_BuildValue("(sLiLiL)", "span", static_cast<long long>(f.col), f.matrix,
                                   static_cast<long long>(f.row), f.hi_matrix,
                                   static_cast<long long>(f.hi_row)));
    case PriceFault::Below:
      return checked(Py_BuildValue("(sLL)", "below", static_cast<long long>(f.row),
                                   static_cast<long long>(f.col)));
  }
  Py_RETURN_NONE;
}

// What the weights' pass writes: the held flags and, when asked, the row-major copy.
struct WeightsOut {
  Ref held, rows;
  std::uint8_t* held_data = nullptr;
  double* rows_data = nullptr;
};

// The outputs of the weights' pass over `buffer` (taken), after checking
// `first_row`; allocating them may run Python code, so the buffer is checked
// to be where it was. The row-major copy is made when `copy` is set.
WeightsOut weights_out(const Buffer& buffer, long long first_row, bool copy) {
  const View2D<double> w = buffer.view2d<double>();
  if (first_row < 0 || first_row > w.rows) {
    fail(ErrorKind::ValueError, "_weights_scan: first_row must lie from 0 to the number of rows");
  }
  auto data = [](PyObject* a) { return PyArray_DATA(reinterpret_cast<PyArrayObject*>(a)); };
  WeightsOut out;
  npy_intp n_cols = static_cast<npy_intp>(w.cols);
  out.held.reset(checked(PyArray_ZEROS(1, &n_cols, NPY_BOOL, 0)));
  out.held_data = static_cast<std::uint8_t*>(data(out.held.get()));
  if (copy) {
    out.rows.reset(pooled_matrix(w.rows, w.cols));
    out.rows_data = static_cast<double*>(data(out.rows.get()));
  }
  const Buffer* taken[] = {&buffer};
  check_unmoved(taken, 1);
  return out;
}

PyObject* scan_tuple(const WeightScan& found, const WeightsOut& out) {
  return checked(Py_BuildValue("(OOO)", found.plain ? Py_True : Py_False, out.held.get(),
                               out.rows ? out.rows.get() : Py_None));
}

PyObject* find(PyObject* const* args, Py_ssize_t nargs) {
  // The numbers first: converting them may run Python code, which must not
  // happen once the buffers are taken.
  Ref seq(checked(PySequence_Tuple(args[0])));
  const Py_ssize_t n = PyTuple_GET_SIZE(seq.get());
  const int high = matrix_index(args[2], "high", n);
  const int low = matrix_index(args[3], "low", n);
  const PriceBounds bounds = bounds_of(args[4]);
  const int with_unpriced = nargs > 5 ? PyObject_IsTrue(args[5]) : 0;
  if (with_unpriced < 0) fail_pending();
  PyObject* const weights = nargs > 6 ? args[6] : Py_None;
  const long long first_row = nargs > 7 ? PyLong_AsLongLong(args[7]) : 0;
  if (first_row == -1 && PyErr_Occurred()) fail_pending();
  // The matrices to copy row-major as they are checked, by index.
  std::vector<int> to_copy;
  if (nargs > 8) {
    Ref wanted(checked(PySequence_Tuple(args[8])));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(wanted.get()); ++i) {
      const int k = matrix_index(PyTuple_GET_ITEM(wanted.get(), i), "copies", n);
      if (k < 0) fail(ErrorKind::ValueError, "_price_fault: copies must index the matrices");
      to_copy.push_back(k);
    }
  }
  // Made before the price buffers are taken: allocating may run Python code (a collection).
  Ref unpriced;
  if (with_unpriced) {
    const Py_ssize_t n_used = PyObject_Size(args[1]);
    if (n_used < 0) fail_pending();
    npy_intp dims[2] = {static_cast<npy_intp>(n), static_cast<npy_intp>(n_used)};
    unpriced.reset(checked(PyArray_ZEROS(2, dims, NPY_BOOL, 0)));
  }
  Buffer weights_buffer;
  WeightsOut scanned;
  if (weights != Py_None) {
    weights_buffer.acquire(weights, Elem::Float64, 2, false);
    const View2D<double> w = weights_buffer.view2d<double>();
    const auto item = static_cast<std::int64_t>(sizeof(double));
    const bool row_major = w.col_stride == item && w.row_stride == w.cols * item;
    scanned = weights_out(weights_buffer, first_row, !row_major);
  }

  // Pinned (a weakly referenced array refuses to resize) while the lock is away.
  std::vector<Ref> pins;
  if (weights != Py_None) pin(weights, pins);
  for (Py_ssize_t k = 0; k < n; ++k) pin(PyTuple_GET_ITEM(seq.get(), k), pins);
  pin(args[1], pins);
  std::vector<Buffer> buffers(static_cast<std::size_t>(n));
  std::vector<View2D<double>> views;
  for (Py_ssize_t k = 0; k < n; ++k) {
    Buffer& b = buffers[static_cast<std::size_t>(k)];
    b.acquire(PyTuple_GET_ITEM(seq.get(), k), Elem::Float64, 2, false);
    views.push_back(b.view2d<double>());
    if (views.back().rows != views[0].rows || views.back().cols != views[0].cols) {
      fail(ErrorKind::ValueError, "_price_fault: the matrices must have one shape");
    }
  }
  Buffer used_buffer;
  used_buffer.acquire(args[1], Elem::Int64, 1, false);
  const View1D<std::int64_t> used_view = used_buffer.view1d<std::int64_t>();
  const std::int64_t cols = views.empty() ? 0 : views[0].cols;
  std::vector<std::int64_t> used(static_cast<std::size_t>(used_view.size));
  for (std::int64_t i = 0; i < used_view.size; ++i) {
    const std::int64_t c = used_view.get(i);
    if (c < 0 || c >= cols || (i > 0 && c <= used[static_cast<std::size_t>(i - 1)])) {
      fail(ErrorKind::ValueError,
           "_price_fault: used must hold increasing column indexes of the matrices");
    }
    used[static_cast<std::size_t>(i)] = c;
  }

  // The copies' memory, made now that the shape is known (allocating may run
  // Python code: the buffers are checked to be where they were below). A
  // copy needs every column checked, each band copied after its check.
  Ref copies;
  std::vector<double*> row_major(static_cast<std::size_t>(n), nullptr);
  if (nargs > 8) {
    if (!to_copy.empty() && used_view.size != cols) {
      fail(ErrorKind::ValueError, "_price_fault: copies need every column used");
    }
    copies.reset(checked(PyTuple_New(static_cast<Py_ssize_t>(to_copy.size()))));
    for (std::size_t i = 0; i < to_copy.size(); ++i) {
      const View2D<double>& m = views[static_cast<std::size_t>(to_copy[i])];
      PyObject* copy = pooled_matrix(m.rows, m.cols);
      PyTuple_SET_ITEM(copies.get(), static_cast<Py_ssize_t>(i), copy);
      row_major[static_cast<std::size_t>(to_copy[i])] =
          static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy)));
    }
    std::vector<const Buffer*> taken;
    for (const Buffer& b : buffers) taken.push_back(&b);
    taken.push_back(&used_buffer);
    check_unmoved(taken.data(), taken.size());
  }

  std::uint8_t* unpriced_cells = nullptr;
  if (with_unpriced) {
    if (PyArray_DIM(reinterpret_cast<PyArrayObject*>(unpriced.get()), 1) != used_view.size) {
      fail(ErrorKind::ValueError, "_price_fault: used changed its size during the call");
    }
    unpriced_cells = static_cast<std::uint8_t*>(
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(unpriced.get())));
  }

  if (weights != Py_None) {
    const Buffer* taken[] = {&weights_buffer};  // pinning may have run Python code
    check_unmoved(taken, 1);
  }
  // The weights are read beside the prices, as one more task of the same threads.
  WeightScan weights_found;
  const View2D<double> w = weights_buffer.view2d<double>();
  const std::function<void()> weights_task = [&] {
    weights_found = scan_weights(w, first_row, scanned.rows_data, scanned.held_data);
  };
  PriceFaultAt fault;
  bool no_memory = false;
  const int threads = usable_cpus();
  Py_BEGIN_ALLOW_THREADS
  try {
    fault = find_price_fault(views, used, high, low, bounds, threads, unpriced_cells,
                             weights != Py_None ? &weights_task : nullptr,
                             copies ? row_major.data() : nullptr);
  } catch (const std::bad_alloc&) {
    no_memory = true;
  }
  Py_END_ALLOW_THREADS
  if (no_memory) throw std::bad_alloc();
  if (nargs <= 5) return fault_tuple(fault);
  Ref found(fault_tuple(fault));
  if (nargs == 6) return checked(PyTuple_Pack(2, found.get(), unpriced.get()));
  Ref weights_result(weights == Py_None ? Py_NewRef(Py_None) : scan_tuple(weights_found, scanned));
  if (nargs <= 8) {
    return checked(PyTuple_Pack(3, found.get(), with_unpriced ? unpriced.get() : Py_None,
                                weights_result.get()));
  }
  return checked(PyTuple_Pack(4, found.get(), with_unpriced ? unpriced.get() : Py_None,
                              weights_result.get(), copies.get()));
}

PyObject* scan(PyObject* const* args) {
  // The numbers first: converting them may run Python code, which must not
  // happen once the buffer is taken.
  const long long first_row = PyLong_AsLongLong(args[1]);
  if (first_row == -1 && PyErr_Occurred()) fail_pending();
  const int copy = PyObject_IsTrue(args[2]);
  if (copy < 0) fail_pending();
  Buffer buffer;
  buffer.acquire(args[0], Elem::Float64, 2, false);
  const WeightsOut out = weights_out(buffer, first_row, copy != 0);
  // No Python code runs from here on: the buffer cannot move under the pass.
  const WeightScan found = scan_weights(buffer.view2d<double>(), first_row, out.rows_data,
                                        out.held_data);
  return scan_tuple(found, out);
}

// Row-major copies of the 2-D float64 arrays args[0..n), made side by side on
// the process's usable cores (each copy is memory-bound work of its own).
PyObject* copy_rows(PyObject* const* args, Py_ssize_t n) {
  std::vector<Buffer> buffers(static_cast<std::size_t>(n));
  std::vector<const Buffer*> taken;
  for (Py_ssize_t k = 0; k < n; ++k) {
    buffers[static_cast<std::size_t>(k)].acquire(args[k], Elem::Float64, 2, false);
    taken.push_back(&buffers[static_cast<std::size_t>(k)]);
  }
  Ref out(checked(PyTuple_New(n)));
  std::vector<double*> data;
  for (Py_ssize_t k = 0; k < n; ++k) {
    const View2D<double> m = buffers[static_cast<std::size_t>(k)].view2d<double>();
    PyObject* copy = pooled_matrix(m.rows, m.cols);
    PyTuple_SET_ITEM(out.get(), k, copy);
    data.push_back(static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(copy))));
  }
  check_unmoved(taken.data(), taken.size());  // allocating may have run Python code
  const std::atomic<bool> never{false};
  Py_BEGIN_ALLOW_THREADS
  run_tasks(n, usable_cpus(), never, [&](std::int64_t k) {
    copy_row_major(buffers[static_cast<std::size_t>(k)].view2d<double>(),
                   data[static_cast<std::size_t>(k)]);
  });
  Py_END_ALLOW_THREADS
  return out.release();
}

}  // namespace

PyObject* row_major(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  return guarded(kRowMajorQualname, [&]() -> PyObject* { return copy_rows(args, nargs); });
}

PyObject* weights_scan(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 3) {
    PyErr_Format(PyExc_TypeError, "_weights_scan() takes exactly 3 arguments (%zd given)", nargs);
    return nullptr;
  }
  return guarded(kWeightsQualname, [&]() -> PyObject* { return scan(args); });
}

PyObject* price_fault(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs < 5 || nargs > 9) {
    PyErr_Format(PyExc_TypeError, "_price_fault() takes 5 to 9 arguments (%zd given)", nargs);
    return nullptr;
  }
  return guarded(kQualname, [&]() -> PyObject* { return find(args, nargs); });
}

}  // namespace pelmora::py
