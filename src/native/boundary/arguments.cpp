// Argument handling of the native entries: FASTCALL matching with the host's
// exact errors, the column map from the labels, and the run_many dicts.
#include "boundary/arguments.hpp"

#include <algorithm>
#include <climits>
#include <cstring>
#include <deque>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "boundary/module_support.hpp"
#include "boundary/numpy.hpp"
#include "boundary/pyerrors.hpp"

namespace pelmora::py {

namespace {

// The UTF-8 bytes of a label's name. A str's are read in place (the label
// is kept alive by the caller); another object's come from its encode
// method, as the host would call it, and are kept in `owned`.
std::string_view encoded_name(PyObject* name, std::deque<std::string>& owned) {
  if (PyUnicode_CheckExact(name)) {
    // A str's own UTF-8, as its encode method would make it (the same error
    // for a lone surrogate), without a bytes object per label.
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) fail_pending();
    return std::string_view(text, static_cast<std::size_t>(size));
  }
  static PyObject* encode = intern("encode");
  static PyObject* utf8 = intern("UTF-8");
  Ref b(checked(PyObject_CallMethodOneArg(name, encode, utf8)));
  if (!PyBytes_Check(b.get())) {
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(b.get())->tp_name);
    fail_pending();
  }
  owned.emplace_back(PyBytes_AS_STRING(b.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.get())));
  return owned.back();
}

template <class Fn>
void enumerate(PyObject* iterable, Fn&& fn) {
  Ref it(checked(PyObject_GetIter(iterable)));
  long long i = 0;
  while (true) {
    Ref item(PyIter_Next(it.get()));
    if (!item) {
      check_pending();
      return;
    }
    if (i > INT_MAX) fail(ErrorKind::OverflowError, "value too large to convert to int");
    fn(static_cast<int>(i), item.get());
    ++i;
  }
}

void raise_argtuple_invalid(const char* fname, bool exact, Py_ssize_t num_min, Py_ssize_t num_max,
                            Py_ssize_t num_found) {
  Py_ssize_t expected;
  const char* more_or_less;
  if (num_found < num_min) {
    expected = num_min;
    more_or_less = "at least";
  } else {
    expected = num_max;
    more_or_less = "at most";
  }
  if (exact) more_or_less = "exactly";
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               fname, more_or_less, expected, expected == 1 ? "" : "s", num_found);
}

}  // namespace

std::map<int, int> map_columns(PyObject* price_columns, PyObject* pos_columns) {
  return with_frame("pelmora.core.runvane.map_columns", [&] {
    // The names are looked up by their bytes where they lie: every price
    // label is held until the map is made, and the bytes of a label that is
    // not a str are kept here.
    std::vector<Ref> held;
    std::deque<std::string> owned;
    std::unordered_map<std::string_view, int> by_name;
    const Py_ssize_t hint = PyObject_LengthHint(price_columns, 0);
    if (hint < 0) fail_pending();
    by_name.reserve(static_cast<std::size_t>(hint));
    held.reserve(static_cast<std::size_t>(hint));
    enumerate(price_columns, [&](int i, PyObject* n) {
      held.push_back(Ref::borrow(n));
      by_name[encoded_name(n, owned)] = i;
    });
    std::map<int, int> ret;
    enumerate(pos_columns, [&](int i, PyObject* n) {
      const auto it = by_name.find(encoded_name(n, owned));
      if (it != by_name.end()) ret.emplace_hint(ret.end(), i, it->second);  // i ascends
    });
    return ret;
  });
}

bool parse_arguments(const char* fname, const char* const* names, int n_required, int n_total,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out,
                     int n_positional) {
  if (n_positional < 0) n_positional = n_total;
  const bool exact = n_required == n_positional;
  if (nargs > n_positional) {
    raise_argtuple_invalid(fname, exact, n_required, n_positional, nargs);
    return false;
  }
  for (int i = 0; i < n_total; ++i) out[i] = i < nargs ? args[i] : nullptr;
  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  PyObject* const* kwvalues = args + nargs;
  Py_ssize_t used = 0;
  for (int i = static_cast<int>(nargs); i < n_total; ++i) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
        out[i] = kwvalues[k];
        ++used;
        break;
      }
    }
    if (out[i] == nullptr && i < n_required) {
      raise_argtuple_invalid(fname, exact, n_required, n_positional, i);
      return false;
    }
  }
  if (used == nkw) return true;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
      return false;
    }
    int match = -1;
    for (int i = 0; i < n_total; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, names[i]) == 0) {
        match = i;
        break;
      }
    }
    if (match < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
      return false;
    }
    if (match < nargs) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", fname,
                   key);
      return false;
    }
  }
  return true;
}

void check_label_counts(PyObject* price_columns, PyObject* pos_columns) {
  const std::pair<const char*, PyObject*> labels[] = {{"price_columns", price_columns},
                                                       {"pos_columns", pos_columns}};
  for (const auto& [name, obj] : labels) {
    if (obj == nullptr || !PyArray_Check(obj)) continue;
    auto* arr = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_NDIM(arr) >= 1 && PyArray_DIM(arr, 0) > INT_MAX) {
      fail(ErrorKind::OverflowError,
           std::string(name) + " has " + std::to_string(PyArray_DIM(arr, 0)) +
               " labels; a run indexes at most " + std::to_string(INT_MAX) + " stocks");
    }
  }
}

bool run_arrays(PyObject* arrays, Ref (&base)[kRunTotal]) {
  if (!PyDict_Check(arrays)) {
    PyErr_Format(PyExc_TypeError, "run_many() argument 'arrays' must be a dict, not %.200s",
                 Py_TYPE(arrays)->tp_name);
    return false;
  }
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(arrays, &pos, &key, &value)) {
    int found = -1;
    for (int i = 0; i < kRunTotal && PyUnicode_Check(key); ++i) {
      if ((i < kRunRequired || i == kRunTotal - 1) &&
          PyUnicode_CompareWithASCIIString(key, kRunParameterNames[i]) == 0) {
        found = i;
      }
    }
    if (found < 0) {
      Ref held_key = Ref::borrow(key);
      PyErr_Format(PyExc_TypeError,
                   "run_many() argument 'arrays' has an unexpected key %R (it takes the 11 "
                   "arrays and delisting_bars; options go in the variants)",
                   held_key.get());
      return false;
    }
    base[found] = Ref::borrow(value);
  }
  for (int i = 0; i < kRunRequired; ++i) {
    if (!base[i]) {
      PyErr_Format(PyExc_TypeError, "run_many() argument 'arrays' is missing '%s'",
                   kRunParameterNames[i]);
      return false;
    }
  }
  return true;
}

bool threads_argument(PyObject* obj, int& threads) {
  if (obj == nullptr || obj == Py_None) return true;
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "threads must be an int or None, not %.200s",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  const long t = PyLong_AsLong(obj);
  if (t == -1 && PyErr_Occurred()) return false;
  if (t < 1) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1, got %ld", t);
    return false;
  }
  threads = static_cast<int>(std::min<long>(t, 1024));
  return true;
}

namespace {

int option_index(PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (int i = kRunRequired; i < kRunTotal; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, kRunParameterNames[i]) == 0) return i;
  }
  return -1;
}

}  // namespace

bool variant_arguments(const Ref* base, PyObject* variant, VariantArgs& out, std::int64_t k,
                       const char* const* extra_names, int n_extra) {
  for (int i = 0; i < kRunTotal; ++i) out.values[i] = Ref::borrow(base[i].get());
  if (!PyDict_Check(variant)) {
    PyErr_Format(PyExc_TypeError, "variant %lld must be a dict, not %.200s",
                 static_cast<long long>(k), Py_TYPE(variant)->tp_name);
    return false;
  }
  PyObject* pos_values = base[param::pos_values].get();
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  // Nothing in this loop runs Python code until it fails, so the borrowed
  // key and value stay valid while they are looked at.
  while (PyDict_Next(variant, &pos, &key, &value)) {
    const int i = option_index(key);
    if (i >= 0) {
      out.values[i] = Ref::borrow(value);
      continue;
    }
    int extra = -1;
    for (int e = 0; e < n_extra && PyUnicode_Check(key); ++e) {
      if (PyUnicode_CompareWithASCIIString(key, extra_names[e]) == 0) extra = e;
    }
    if (extra >= 0) {
      out.extra[extra] = Ref::borrow(value);
      continue;
    }
    if (PyUnicode_Check(key) && PyUnicode_CompareWithASCIIString(key, "pos_values") == 0) {
      if (!PyArray_Check(value) || !PyArray_Check(pos_values) ||
          PyArray_NDIM(reinterpret_cast<PyArrayObject*>(value)) != 2 ||
          PyArray_NDIM(reinterpret_cast<PyArrayObject*>(pos_values)) != 2 ||
          PyArray_DIM(reinterpret_cast<PyArrayObject*>(value), 0) !=
              PyArray_DIM(reinterpret_cast<PyArrayObject*>(pos_values), 0) ||
          PyArray_DIM(reinterpret_cast<PyArrayObject*>(value), 1) !=
              PyArray_DIM(reinterpret_cast<PyArrayObject*>(pos_values), 1)) {
        PyErr_Format(PyExc_ValueError,
                     "variant %lld: pos_values must be a 2-D array of the shape of "
                     "arrays['pos_values']",
                     static_cast<long long>(k));
        return false;
      }
      out.values[param::pos_values] = Ref::borrow(value);
      continue;
    }
    Ref held_key = Ref::borrow(key);  // its repr may run code that edits the dict
    PyErr_Format(PyExc_TypeError, "variant %lld: unexpected key %R", static_cast<long long>(k),
                 held_key.get());
    return false;
  }
  return true;
}

}  // namespace pelmora::py
