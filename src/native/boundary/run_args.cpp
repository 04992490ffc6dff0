#include "boundary/run_args.hpp"

#include <climits>
#include <cmath>

#include "boundary/converters.hpp"

#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"

namespace pelmora::py {

const RunParameter kRunParameters[kRunTotal] = {
    {"price_values", ParamKind::Matrix, 0, nullptr},
    {"close_values", ParamKind::Matrix, 0, nullptr},
    {"high_values", ParamKind::Matrix, 0, nullptr},
    {"low_values", ParamKind::Matrix, 0, nullptr},
    {"open_values", ParamKind::Matrix, 0, nullptr},
    {"price_index", ParamKind::Dates, 0, nullptr},
    {"price_columns", ParamKind::Labels, 0, nullptr},
    {"pos_values", ParamKind::Matrix, 0, nullptr},
    {"pos_index", ParamKind::Dates, 0, nullptr},
    {"pos_columns", ParamKind::Labels, 0, nullptr},
    {"resample", ParamKind::Dates, 0, nullptr},
    {"fee_ratio", ParamKind::Real, 0.001425, "0.001425"},
    {"tax_ratio", ParamKind::Real, 0.003, "0.003"},
    {"stop_loss", ParamKind::Real, 1.0, "1.0"},
    {"take_profit", ParamKind::Real, HUGE_VAL, "org_np.inf"},
    {"trail_stop", ParamKind::Real, HUGE_VAL, "org_np.inf"},
    {"trail_stop_activation", ParamKind::Real, 0.0, "0.0"},
    {"touched_exit", ParamKind::Flag, 0, "False"},
    {"position_limit", ParamKind::Real, 1.0, "1.0"},
    {"retain_cost_when_rebalance", ParamKind::Flag, 0, "False"},
    {"stop_trading_next_period", ParamKind::Truth, 1, "True"},
    {"swaylen_window", ParamKind::Int, 0, "0"},
    {"swaylen_window_step", ParamKind::Int, 1, "1"},
    {"periodically_rebalance", ParamKind::Flag, 1, "True"},
    {"delisting_bars", ParamKind::OptionalDates, 0, "None"},
};

const char* const kRunParameterNames[kRunTotal] = {
#define P(i) kRunParameters[i].name
    P(0),  P(1),  P(2),  P(3),  P(4),  P(5),  P(6),  P(7),  P(8),  P(9),  P(10), P(11), P(12),
    P(13), P(14), P(15), P(16), P(17), P(18), P(19), P(20), P(21), P(22), P(23), P(24),
#undef P
};

namespace {

struct ArraySpec {
  Elem elem;
  int ndim;
};

ArraySpec array_spec(ParamKind kind) {
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
  reals[11] = &o.fee_ratio;
  reals[12] = &o.tax_ratio;
  reals[13] = &o.stop_loss;
  reals[14] = &o.take_profit;
  reals[15] = &o.trail_stop;
  reals[16] = &o.trail_stop_activation;
  flags[17] = &o.touched_exit;
  reals[18] = &o.position_limit;
  flags[19] = &o.retain_cost_when_rebalance;
  ints[21] = &a.window;
  ints[22] = &a.window_step;
  flags[23] = &a.periodically_rebalance;
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
    const ArraySpec spec = array_spec(kRunParameters[i].kind);
    a.views[i].acquire(a.arrays[i], spec.elem, spec.ndim);
  }
}

RunInputs make_run_inputs(const RunArguments& a) {
  RunInputs in;
  in.price = a.views[0].view2d<double>();
  in.close = a.views[1].view2d<double>();
  in.high = a.views[2].view2d<double>();
  in.low = a.views[3].view2d<double>();
  in.open = a.views[4].view2d<double>();
  in.price_index = a.views[5].view1d<std::int64_t>();
  in.pos_values = a.views[7].view2d<double>();
  in.pos_index = a.views[8].view1d<std::int64_t>();
  in.resample = a.views[10].view1d<std::int64_t>();
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

std::string run_text_signature(const char* name, const char* const* kwonly, int n_kwonly) {
  std::string s = std::string(name) + "(";
  for (int i = 0; i < kRunTotal; ++i) {
    if (i) s += ", ";
    s += kRunParameters[i].name;
    if (kRunParameters[i].default_text) s += std::string("=") + kRunParameters[i].default_text;
  }
  if (n_kwonly > 0) s += ", *";
  for (int i = 0; i < n_kwonly; ++i) s += std::string(", ") + kwonly[i] + "=True";
  return s + ")";
}

}  // namespace pelmora::py
