#include "boundary/engine_hooks.hpp"

#include "boundary/module_support.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"

namespace pelmora::py {

PyObject* retain_cost_name() {
  static PyObject* name = intern("RETAIN_COST_WHEN_REBALANCE");
  return name;
}

PyObject* resample_name() {
  static PyObject* name = intern("RESAMPLE");
  return name;
}

std::string format_symbol(PyObject* symbol) {
  Ref text;
  if (PyUnicode_CheckExact(symbol)) {
    text = Ref::borrow(symbol);
  } else if (PyLong_CheckExact(symbol)) {
    text.reset(checked(PyObject_Str(symbol)));
  } else if (PyFloat_CheckExact(symbol)) {
    text.reset(checked(PyObject_Repr(symbol)));
  } else {
    Ref format_spec(checked(PyUnicode_FromString("")));
    text.reset(checked(PyObject_Format(symbol, format_spec.get())));
  }
  Py_ssize_t n = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &n);
  if (utf8 == nullptr) fail_pending();
  return std::string(utf8, static_cast<std::size_t>(n));
}

std::string float_repr(double value) {
  Ref f(checked(PyFloat_FromDouble(value)));
  Ref r(checked(PyObject_Repr(f.get())));
  const char* utf8 = PyUnicode_AsUTF8(r.get());
  if (utf8 == nullptr) fail_pending();
  return utf8;
}

PyRunHooks::PyRunHooks(const api::Bindings& api, PyObject* flags_dict, PyObject* stop_trading,
                       View1D<PyObject*> pos_columns)
    : api_(api), flags_dict_(flags_dict), stop_trading_(stop_trading), pos_columns_(pos_columns) {}

void PyRunHooks::record_date(int row) {
  api_.record_date(row);
  check_pending();
}

void PyRunHooks::record_entry(int sid, double weight, int has_transaction) {
  api_.record_entry(sid, weight, has_transaction);
  check_pending();
  check_guarded();
}

void PyRunHooks::record_exit(int sid, int has_transaction) {
  api_.record_exit(sid, has_transaction);
  check_pending();
  check_guarded();
}

bool PyRunHooks::split_on_resize() {
  auto truth = [&](PyObject* name) {
    PyObject* v = get_global(flags_dict_, name);
    if (v == nullptr) fail_pending();
    const int t = PyObject_IsTrue(v);
    if (t < 0) fail_pending();
    return t == 1;
  };
  const bool split = !truth(retain_cost_name()) && truth(resample_name());
  check_guarded();
  return split;
}

bool PyRunHooks::stop_trading_next_period() {
  if (stop_trading_ == Py_True) return true;
  if (stop_trading_ == Py_False || stop_trading_ == Py_None) return false;
  const int t = PyObject_IsTrue(stop_trading_);
  if (t < 0) fail_pending();
  check_guarded();
  return t == 1;
}

std::string PyRunHooks::symbol_text(int sid) {
  Ref label(object_at(pos_columns_, sid));
  return format_symbol(label.get());
}

std::string PyRunHooks::float_text(double value) { return float_repr(value); }

}  // namespace pelmora::py

#include <climits>
#include <cstring>

namespace pelmora::py {

namespace {

std::string encoded_name(PyObject* name) {
  static PyObject* encode = intern("encode");
  static PyObject* utf8 = intern("UTF-8");
  Ref b(checked(PyObject_CallMethodOneArg(name, encode, utf8)));
  if (!PyBytes_Check(b.get())) {
    PyErr_Format(PyExc_TypeError, "expected bytes, %.200s found", Py_TYPE(b.get())->tp_name);
    fail_pending();
  }
  return std::string(PyBytes_AS_STRING(b.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(b.get())));
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
    std::map<std::string, int> by_name;
    enumerate(price_columns, [&](int i, PyObject* n) { by_name[encoded_name(n)] = i; });
    std::map<int, int> ret;
    enumerate(pos_columns, [&](int i, PyObject* n) {
      const auto it = by_name.find(encoded_name(n));
      if (it != by_name.end()) ret[i] = it->second;
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

}  // namespace pelmora::py
