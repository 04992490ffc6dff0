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
