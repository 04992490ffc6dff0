#include "boundary/run_args.hpp"

#include <climits>

#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"

namespace pelmora::py {

const char* const kRunParameterNames[kRunTotal] = {
    "price_values", "close_values", "high_values", "low_values", "open_values", "price_index",
    "price_columns", "pos_values", "pos_index", "pos_columns", "resample", "fee_ratio",
    "tax_ratio", "stop_loss", "take_profit", "trail_stop", "trail_stop_activation",
    "touched_exit", "position_limit", "retain_cost_when_rebalance", "stop_trading_next_period",
    "swaylen_window", "swaylen_window_step", "periodically_rebalance", "delisting_bars"};

namespace {

constexpr struct {
  Elem elem;
  int ndim;
} kArraySpecs[kRunRequired] = {
    {Elem::Float64, 2}, {Elem::Float64, 2}, {Elem::Float64, 2}, {Elem::Float64, 2},
    {Elem::Float64, 2}, {Elem::Int64, 1},   {Elem::Object, 1},  {Elem::Float64, 2},
    {Elem::Int64, 1},   {Elem::Object, 1},  {Elem::Int64, 1},
};

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

// An int parameter: ints as they are, anything else through its own integer
// conversion (floats truncate), then the 32-bit range check.
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

}  // namespace

void convert_run_arguments(PyObject* const* raw, double inf_default, PyTypeObject* ndarray_type,
                           RunArguments& a) {
  for (int i = 0; i < kRunRequired; ++i) a.arrays[i] = raw[i];
  RunOptions& o = a.options;
  o.take_profit = inf_default;
  o.trail_stop = inf_default;
  if (raw[11]) o.fee_ratio = to_double(raw[11]);
  if (raw[12]) o.tax_ratio = to_double(raw[12]);
  if (raw[13]) o.stop_loss = to_double(raw[13]);
  if (raw[14]) o.take_profit = to_double(raw[14]);
  if (raw[15]) o.trail_stop = to_double(raw[15]);
  if (raw[16]) o.trail_stop_activation = to_double(raw[16]);
  if (raw[17]) o.touched_exit = to_bool(raw[17]);
  if (raw[18]) o.position_limit = to_double(raw[18]);
  if (raw[19]) o.retain_cost_when_rebalance = to_bool(raw[19]);
  if (raw[20]) a.stop_trading = raw[20];
  if (raw[21]) a.window = to_int(raw[21]);
  if (raw[22]) a.window_step = to_int(raw[22]);
  if (raw[23]) a.periodically_rebalance = to_bool(raw[23]);
  if (raw[24] && raw[24] != Py_None) {
    a.delisting.acquire(raw[24], Elem::Int64, 1, false);
    a.has_delisting_bars = true;
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
    a.views[i].acquire(a.arrays[i], kArraySpecs[i].elem, kArraySpecs[i].ndim);
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

}  // namespace pelmora::py
