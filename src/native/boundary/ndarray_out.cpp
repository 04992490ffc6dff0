#include "boundary/ndarray_out.hpp"

#include "boundary/numpy.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"

namespace pelmora::py {
namespace {

constexpr const char* kBufferCapsule = "pelmora.core.journal.buffer";

void free_buffer(PyObject* capsule) {
  auto* b = static_cast<ColumnBuffer*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
  if (b == nullptr) return;
  release_buffer(*b);
  delete b;
}

int type_num(Dtype d) {
  switch (d) {
    case Dtype::Bool: return NPY_BOOL;
    case Dtype::Int8: return NPY_INT8;
    case Dtype::Int64: return NPY_INT64;
    case Dtype::Float64: return NPY_DOUBLE;
  }
  return NPY_DOUBLE;
}

}  // namespace

// The column's buffer becomes the array's memory (no copy); the array frees
// it through a capsule base.
PyObject* ndarray_of(ColumnBuffer taken, std::size_t size, Dtype dtype, std::int64_t width) {
  const int ndim = width >= 0 ? 2 : 1;
  npy_intp dims[2] = {static_cast<npy_intp>(size), static_cast<npy_intp>(width)};
  if (ndim == 2) dims[0] = width ? static_cast<npy_intp>(size) / width : 0;
  if (size == 0) return checked(PyArray_SimpleNew(ndim, dims, type_num(dtype)));
  auto* buffer = new ColumnBuffer(taken);
  Ref base(PyCapsule_New(buffer, kBufferCapsule, free_buffer));
  if (!base) {
    release_buffer(*buffer);
    delete buffer;
    fail_pending();
  }
  Ref a(checked(PyArray_SimpleNewFromData(ndim, dims, type_num(dtype), buffer->data)));
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(a.get()), base.release()) != 0) {
    fail_pending();
  }
  return a.release();
}

PyObject* empty_matrix(std::int64_t rows, std::int64_t width) {
  npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(width)};
  return checked(PyArray_SimpleNew(2, dims, NPY_DOUBLE));
}

namespace {

// `size` doubles (rows of `width`, or 1-D with width -1) in a pooled mapping;
// nullptr when they are too few to be worth one.
PyObject* pooled(std::size_t size, std::int64_t width) {
  constexpr std::size_t kPooledAbove = std::size_t{1} << 20;
  if (size * sizeof(double) < kPooledAbove) return nullptr;
  const std::size_t bytes = mapping_bytes(size * sizeof(double));
  std::size_t got = bytes;
  void* p = take_mapping(bytes, got);
  if (p == nullptr) throw std::bad_alloc();
  return ndarray_of(ColumnBuffer{p, got, false, got}, size, Dtype::Float64, width);
}

}  // namespace

PyObject* pooled_matrix(std::int64_t rows, std::int64_t width) {
  const double cells = static_cast<double>(rows) * static_cast<double>(width);
  if (rows > 0 && width > 0 && cells < 0x1p60) {
    const std::size_t size = static_cast<std::size_t>(rows) * static_cast<std::size_t>(width);
    if (PyObject* a = pooled(size, width)) return a;
  }
  return empty_matrix(rows, width);
}

PyObject* pooled_array(std::int64_t n) {
  if (n > 0 && n < (std::int64_t{1} << 60)) {
    if (PyObject* a = pooled(static_cast<std::size_t>(n), -1)) return a;
  }
  npy_intp dims[1] = {static_cast<npy_intp>(n)};
  return checked(PyArray_SimpleNew(1, dims, NPY_DOUBLE));
}

PyObject* constant_vector(std::int64_t n, double value) {
  npy_intp one = 1;
  Ref cell(checked(PyArray_SimpleNew(1, &one, NPY_DOUBLE)));
  auto* c = reinterpret_cast<PyArrayObject*>(cell.get());
  *static_cast<double*>(PyArray_DATA(c)) = value;
  npy_intp dims[1] = {static_cast<npy_intp>(n)}, strides[1] = {0};
  PyArray_Descr* descr = PyArray_DESCR(c);
  Py_INCREF(descr);  // stolen below
  Ref view(checked(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, strides, PyArray_DATA(c),
                                        0, nullptr)));
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), cell.release()) != 0) {
    fail_pending();
  }
  return view.release();
}

void put(PyObject* dict, const char* key, PyObject* owned) {
  Ref value(owned);
  if (PyDict_SetItemString(dict, key, value.get()) != 0) fail_pending();
}

PyObject* columns(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  Ref d(checked(PyDict_New()));
  for (const auto& [k, v] : items) put(d.get(), k, v);
  return d.release();
}

}  // namespace pelmora::py
