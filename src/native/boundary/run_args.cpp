#include "boundary/run_args.hpp"

#include <climits>
#include <cmath>

#include "boundary/converters.hpp"

#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"

namespace pelmora::py {


const char* const kRunParameterNames[kRunTotal] = {
#define P(i) kRunParameters[i].name
    P(0),  P(1),  P(2),  P(3),  P(4),  P(5),  P(6),  P(7),  P(8),  P(9),  P(10), P(11), P(12),
    P(13), P(14), P(15), P(16), P(17), P(18), P(19), P(20), P(21), P(22), P(23), P(24),
#undef P
};

namespace {

struct ArrayLayout {
  Elem elem;
  int ndim;
};

ArrayLayout array_layout(ParamKind kind) {
  switch (kind) {
    case ParamKind::Matrix: return {Elem::Float64, 2};
    case ParamKind::Labels: return {Elem::Object, 1};
    default: return {Elem::Int64, 1};
  }
}

}  // namespace

void convert_run_arguments(PyObject* const* raw, double inf_default, PyTypeObject* ndarray_type,
                           RunArguments& a) {
  for (int i = 0; i < kRunRequired; ++i) a.arrays[i] = raw[i];
  RunOptions& o = a.options;
  // Where each option lands; the table gives the order and the kinds.
  double* reals[kRunTotal] = {};
  bool* flags[kRunTotal] = {};
  int* ints[kRunTotal] = {};
  reals[param::fee_ratio] = &o.fee_ratio;
  reals[param::tax_ratio] = &o.tax_ratio;
  reals[param::stop_loss] = &o.stop_loss;
  reals[param::take_profit] = &o.take_profit;
  reals[param::trail_stop] = &o.trail_stop;
  reals[param::trail_stop_activation] = &o.trail_stop_activation;
  flags[param::touched_exit] = &o.touched_exit;
  reals[param::position_limit] = &o.position_limit;
  flags[param::retain_cost_when_rebalance] = &o.retain_cost_when_rebalance;
  ints[param::swaylen_window] = &a.window;
  ints[param::swaylen_window_step] = &a.window_step;
  flags[param::periodically_rebalance] = &a.periodically_rebalance;
  for (int i = kRunRequired; i < kRunTotal; ++i) {
    const RunParameter& p = kRunParameters[i];
    PyObject* v = raw[i];
    switch (p.kind) {
      case ParamKind::Real:
        *reals[i] = v ? to_double(v) : (std::isinf(p.default_value) ? inf_default : p.default_value);
        break;
      case ParamKind::Flag: *flags[i] = v ? to_bool(v) : p.default_value != 0; break;
      case ParamKind::Int: *ints[i] = v ? to_int(v) : static_cast<int>(p.default_value); break;
      case ParamKind::Truth: a.stop_trading = v ? v : Py_True; break;
      case ParamKind::OptionalDates:
        if (v && v != Py_None) {
          a.delisting.acquire(v, Elem::Int64, 1, false);
          a.has_delisting_bars = true;
        }
        break;
      default: break;
    }
  }
  for (int i = 0; i < kRunRequired; ++i) {
    PyObject* arr = a.arrays[i];
    if (arr != Py_None && !PyObject_TypeCheck(arr, ndarray_type)) {
      PyErr_Format(PyExc_TypeError,
                   "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                   kRunParameterNames[i], ndarray_type->tp_name, Py_TYPE(arr)->tp_name);
      fail_pending();
    }
  }
  for (int i = 0; i < kRunRequired; ++i) {
    const ArrayLayout layout = array_layout(kRunParameters[i].kind);
    a.views[i].acquire(a.arrays[i], layout.elem, layout.ndim);
  }
}

RunInputs make_run_inputs(const RunArguments& a) {
  RunInputs in;
  in.price = a.views[param::price_values].view2d<double>();
  in.close = a.views[param::close_values].view2d<double>();
  in.high = a.views[param::high_values].view2d<double>();
  in.low = a.views[param::low_values].view2d<double>();
  in.open = a.views[param::open_values].view2d<double>();
  in.price_index = a.views[param::price_index].view1d<std::int64_t>();
  in.pos_values = a.views[param::pos_values].view2d<double>();
  in.pos_index = a.views[param::pos_index].view1d<std::int64_t>();
  in.resample = a.views[param::resample].view1d<std::int64_t>();
  in.has_delisting_bars = a.has_delisting_bars;
  in.delisting_bars = a.delisting.view1d<std::int64_t>();
  in.n_pos_columns = pos_columns_view(a).size;
  return in;
}

PyObject* run_defaults(double inf_default) {
  Ref t(checked(PyTuple_New(kRunTotal - kRunRequired)));
  for (int i = kRunRequired; i < kRunTotal; ++i) {
    const RunParameter& p = kRunParameters[i];
    PyObject* v = nullptr;
    switch (p.kind) {
      case ParamKind::Real:
        v = PyFloat_FromDouble(std::isinf(p.default_value) ? inf_default : p.default_value);
        break;
      case ParamKind::Flag:
      case ParamKind::Truth: v = Py_NewRef(p.default_value != 0 ? Py_True : Py_False); break;
      case ParamKind::Int: v = PyLong_FromLong(static_cast<long>(p.default_value)); break;
      default: v = Py_NewRef(Py_None); break;
    }
    PyTuple_SET_ITEM(t.get(), i - kRunRequired, checked(v));
  }
  return t.release();
}

std::string run_text_signature(const char* name, const char* const* kwonly, int n_kwonly,
                               const char* const* kwonly_defaults) {
  std::string s = std::string(name) + "(";
  for (int i = 0; i < kRunTotal; ++i) {
    if (i) s += ", ";
    s += kRunParameters[i].name;
    if (kRunParameters[i].default_text) s += std::string("=") + kRunParameters[i].default_text;
  }
  if (n_kwonly > 0) s += ", *";
  for (int i = 0; i < n_kwonly; ++i) {
    s += std::string(", ") + kwonly[i] + "=" + (kwonly_defaults ? kwonly_defaults[i] : "True");
  }
  return s + ")";
}

}  // namespace pelmora::py
