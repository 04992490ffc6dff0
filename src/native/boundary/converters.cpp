#include "boundary/converters.hpp"

#include <climits>

#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"

namespace pelmora::py {

double to_double(PyObject* o) {
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) fail_pending();
  return v;
}

bool to_bool(PyObject* o) {
  const int t = PyObject_IsTrue(o);
  if (t < 0) fail_pending();
  return t == 1;
}

int to_int(PyObject* o) {
  Ref as_int;
  if (PyLong_Check(o)) {
    as_int = Ref::borrow(o);
  } else {
    PyNumberMethods* m = Py_TYPE(o)->tp_as_number;
    if (m == nullptr || m->nb_int == nullptr) {
      PyErr_SetString(PyExc_TypeError, "an integer is required");
      fail_pending();
    }
    as_int.reset(checked(m->nb_int(o)));
    if (!PyLong_Check(as_int.get())) {
      PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                   Py_TYPE(as_int.get())->tp_name);
      fail_pending();
    }
  }
  int overflow = 0;
  const long long v = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) fail_pending();
  if (overflow || v < INT_MIN || v > INT_MAX) {
    fail(ErrorKind::OverflowError, "value too large to convert to int");
  }
  return static_cast<int>(v);
}

}  // namespace pelmora::py
