// pelmora.core.runvane: the backtest engine's CPython boundary.
//
// Argument handling, the module state (the two flags in the module dict, the
// native `stock_operations` dict, the excursion module's bound entry points),
// the run's orchestration around the C++ Engine, the next-period report and
// the small Python entries. All arithmetic of a run is in the C++ core.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "boundary/engine_hooks.hpp"
#include "boundary/module_support.hpp"
#include "boundary/native_api.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"
#include "boundary/pyviews.hpp"
#include "boundary/run_args.hpp"
#include "core/engine.hpp"

namespace pelmora::runvane {
namespace {

using py::Ref;

struct ModuleState {
  api::Bindings api;
  PyObject* module_dict = nullptr;       // owned
  PyObject* stock_operations = nullptr;  // owned; native, not a module attribute
  double inf_default = HUGE_VAL;
  bool running = false;
  PyObject* n_normalize_weight = nullptr;
  PyObject* n_swaylen = nullptr;
  PyObject* n_trades = nullptr;
  PyObject* n_trade_positions = nullptr;
  PyObject* n_datetime = nullptr;
  PyObject* n_fromtimestamp = nullptr;
};

ModuleState g;

constexpr const char* kBacktest = "pelmora.core.runvane.backtest_";

PyObject* float64_scalar(double v) {
  PyObject* o = py::checked(PyArrayScalar_New(Double));
  PyArrayScalar_ASSIGN(o, Double, v);
  return o;
}

bool to_bool(PyObject* o) {
  const int t = PyObject_IsTrue(o);
  if (t < 0) fail_pending();
  return t == 1;
}

// --- the next-period report ----------------------------------------------------

void set_item(PyObject* dict, long key, PyObject* value) {
  Ref k(py::checked(PyLong_FromLong(key)));
  if (PyDict_SetItem(dict, k.get(), value) != 0) fail_pending();
}

// The action labels are few: each is made once and shared by every report.
void set_label(PyObject* actions, long key, const char* label) {
  static std::map<std::string, PyObject*> labels;
  PyObject*& v = labels[label];
  if (v == nullptr) v = py::checked(PyUnicode_InternFromString(label));
  set_item(actions, key, v);
}

bool greater_than_one(PyObject* x) {
  Ref one(py::checked(PyLong_FromLong(1)));
  const int t = PyObject_RichCompareBool(x, one.get(), Py_GT);
  if (t < 0) fail_pending();
  return t == 1;
}

// Divides every value of `dict` by `sum` when sum > 1, else by the integer 1.
void scale_down(PyObject* dict, PyObject* sum) {
  Ref keys(py::checked(PyDict_Keys(dict)));
  Ref one(py::checked(PyLong_FromLong(1)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    PyObject* divisor = greater_than_one(sum) ? sum : one.get();
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
      fail_pending();
    }
    Ref q(py::checked(PyNumber_TrueDivide(value, divisor)));
    if (PyDict_SetItem(dict, key, q.get()) != 0) fail_pending();
  }
}

void add_abs(Ref& sum, PyObject* weight) {
  Ref a(py::checked(PyNumber_Absolute(weight)));
  sum.reset(py::checked(PyNumber_InPlaceAdd(sum.get(), a.get())));
}

void normalize_entry(PyObject* ops, const char* key, double position_limit) {
  PyObject* fn = py::get_global(g.module_dict, g.n_normalize_weight);
  if (fn == nullptr) fail_pending();
  Ref fn_ref = Ref::borrow(fn);
  PyObject* weights = PyDict_GetItemString(ops, key);
  Ref limit(py::checked(PyFloat_FromDouble(position_limit)));
  PyObject* call_args[] = {weights, limit.get()};
  Ref r(py::checked(PyObject_Vectorcall(fn_ref.get(), call_args, 2, nullptr)));
  if (PyDict_SetItemString(ops, key, r.get()) != 0) fail_pending();
}

void build_report(const RunState& st, const RunInputs& in, double position_limit,
                  py::PyRunHooks& hooks) {
  Ref actions(py::checked(PyDict_New()));
  Ref weights(py::checked(PyDict_New()));
  Ref next_weights(py::checked(PyDict_New()));
  Ref ops(py::checked(PyDict_New()));
  if (PyDict_SetItemString(ops.get(), "actions", actions.get()) != 0 ||
      PyDict_SetItemString(ops.get(), "weights", weights.get()) != 0 ||
      PyDict_SetItemString(ops.get(), "next_weights", next_weights.get()) != 0) {
    fail_pending();
  }
  Py_XSETREF(g.stock_operations, Py_NewRef(ops.get()));

  // Weights held since the last executed rebalance.
  Ref latest_weight_sum(py::checked(PyLong_FromLong(0)));
  Ref zero(py::checked(PyLong_FromLong(0)));
  for (const auto& kv : st.latest_rebalanced_pos) {
    const int sid = kv.first;
    Ref weight(float64_scalar(in.pos_values.at(st.current_position_id, sid)));
    set_item(weights.get(), sid, st.pos.count(sid) ? weight.get() : zero.get());
    add_abs(latest_weight_sum, weight.get());
  }
  scale_down(weights.get(), latest_weight_sum.get());

  // Weights for the next period.
  Ref total_next_weight_sum(py::checked(PyLong_FromLong(0)));
  const bool from_latest = st.pos_id == st.current_position_id;
  const View1D<double> row_view = from_latest ? View1D<double>{} : in.pos_values.row(st.pos_id);
  const std::int64_t n_next =
      from_latest ? static_cast<std::int64_t>(st.latest_rebalanced_row.size()) : row_view.size;
  for (std::int64_t sid = 0; sid < n_next; ++sid) {
    const double w = from_latest ? st.latest_rebalanced_row[sid] : row_view.get(sid);
    Ref weight(float64_scalar(w));
    bool skip = false;
    bool dropped = false;
    if (hooks.stop_trading_next_period()) {
      for (const int s : st.exited_stocks) {
        if (std::abs(s) == sid) {
          skip = true;
          dropped = true;
          break;
        }
      }
      if (!skip) {
        for (const int s : st.exit_stocks) {
          if (std::abs(s) == sid) {
            skip = true;
            const auto it = st.pos.find(static_cast<int>(sid));
            dropped = it != st.pos.end() && it->second != 0;
            break;
          }
        }
      }
    }
    if (!(dropped && st.should_rebalance)) add_abs(total_next_weight_sum, weight.get());
    if (skip) continue;
    if (w != 0) set_item(next_weights.get(), static_cast<long>(sid), weight.get());
  }

  {
    Ref wt(py::checked(PyLong_FromLong(st.current_position_id)));
    Ref nwt(py::checked(PyLong_FromLong(st.pos_id)));
    if (PyDict_SetItemString(ops.get(), "weight_time", wt.get()) != 0 ||
        PyDict_SetItemString(ops.get(), "next_weight_time", nwt.get()) != 0) {
      fail_pending();
    }
  }
  scale_down(next_weights.get(), total_next_weight_sum.get());
  normalize_entry(ops.get(), "weights", position_limit);
  normalize_entry(ops.get(), "next_weights", position_limit);
  hooks.check_guarded();

  // Actions of the pending rebalance.
  if (st.should_rebalance) {
    const View1D<double> row = in.pos_values.row(st.pos_id);
    for (std::int64_t sid = 0; sid < row.size; ++sid) {
      const double val1 = row.get(sid);
      const auto it = st.pos.find(static_cast<int>(sid));
      if (it == st.pos.end() || it->second == 0) {
        if (val1 != 0) set_label(actions.get(), static_cast<long>(sid), "enter");
      } else {
        if (val1 == 0) set_label(actions.get(), static_cast<long>(sid), "exit");
        if (val1 != 0) set_label(actions.get(), static_cast<long>(sid), "hold");
      }
    }
  }

  // Pending exits on the next bar.
  for (const int sid : st.exit_stocks) {
    const long abssid = std::abs(sid);
    if (hooks.stop_trading_next_period() || st.date > in.pos_index.at(st.pos_id)) {
      set_label(actions.get(), abssid, sid > 0 ? "tp" : "sl");
      continue;
    }
    PyObject* nw = PyDict_GetItemString(ops.get(), "next_weights");
    Ref key(py::checked(PyLong_FromLong(abssid)));
    const int has = nw ? PySequence_Contains(nw, key.get()) : 0;
    if (has < 0) fail_pending();
    if (has == 1) {
      Ref value(py::checked(PyObject_GetItem(nw, key.get())));
      const int nonzero = PyObject_RichCompareBool(value.get(), zero.get(), Py_NE);
      if (nonzero < 0) fail_pending();
      if (nonzero == 1) set_label(actions.get(), abssid, sid > 0 ? "tp_enter" : "sl_enter");
    }
    hooks.check_guarded();  // the membership test may have run Python code
  }

  // Stop exits since the last rebalance.
  for (const int sid : st.exited_stocks) {
    const long abssid = std::abs(sid);
    bool write = hooks.stop_trading_next_period();
    if (!write) {
      Ref key(py::checked(PyLong_FromLong(abssid)));
      const int has = PyDict_Contains(actions.get(), key.get());
      if (has < 0) fail_pending();
      write = has == 0;
    }
    if (write) set_label(actions.get(), abssid, sid > 0 ? "tp_" : "sl_");
  }
}

// --- backtest_ ---------------------------------------------------------------------

PyObject* run_backtest(PyObject* const* raw) {
  py::RunArguments a;
  py::convert_run_arguments(raw, g.inf_default, &PyArray_Type, a);

  if (PyDict_SetItem(g.module_dict, py::retain_cost_name(),
                     a.options.retain_cost_when_rebalance ? Py_True : Py_False) != 0 ||
      PyDict_SetItem(g.module_dict, py::resample_name(),
                     a.periodically_rebalance ? Py_True : Py_False) != 0) {
    fail_pending();
  }

  RunInputs in = py::make_run_inputs(a);
  const View1D<PyObject*> pos_columns = py::pos_columns_view(a);
  in.pos2price = py::map_columns(a.arrays[6], a.arrays[9]);
  const npy_intp n_rows = in.price_index.size;
  Ref creturn(py::checked(PyArray_SimpleNew(1, &n_rows, NPY_DOUBLE)));

  py::PyRunHooks hooks(g.api, g.module_dict, a.stop_trading, pos_columns);
  const py::Buffer* inputs[py::kRunRequired + 1];
  for (int i = 0; i < py::kRunRequired; ++i) inputs[i] = &a.views[i];
  inputs[py::kRunRequired] = &a.delisting;
  hooks.guard(inputs, py::kRunRequired + 1);
  Engine engine(in, a.options, hooks, hooks);
  engine.setup();

  if (pos_columns.size > INT_MAX) fail(ErrorKind::OverflowError, "value too large to convert to int");
  g.api.start_analysis(reinterpret_cast<PyArrayObject*>(a.arrays[0]),
                       reinterpret_cast<PyArrayObject*>(a.arrays[1]), in.pos2price,
                       static_cast<int>(pos_columns.size), a.options.fee_ratio,
                       a.options.tax_ratio, a.window, a.window_step);
  py::check_pending();

  double* out = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(creturn.get())));
  engine.run_rows(out);

  Ref done(py::checked(g.api.end_analysis(engine.state().pos)));
  hooks.check_guarded();
  build_report(engine.state(), in, a.options.position_limit, hooks);
  return creturn.release();
}

PyObject* backtest_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (g.running) {
    PyErr_SetString(PyExc_RuntimeError, "backtest_ is already running");
    return nullptr;
  }
  PyObject* raw[25];
  if (!py::parse_arguments("backtest_", py::kRunParameterNames, py::kRunRequired, py::kRunTotal,
                          args, nargs, kwnames, raw)) {
    return nullptr;
  }
  g.running = true;
  // A run creates one small list per trade; letting the cyclic collector
  // rescan the growing result lists during the run costs more than the run.
  // Nothing the run creates forms a cycle, so collection simply waits.
  const int gc_was_enabled = PyGC_Disable();
  PyObject* r = py::guarded(kBacktest, [&] { return run_backtest(raw); });
  if (gc_was_enabled) PyGC_Enable();
  g.running = false;
  return r;
}

// --- backtest_ as a callable with its defaults ---------------------------------
// A builtin function cannot show its defaults; backtest_ is an object of its
// own small type so that `__defaults__` and `inspect.signature` show the
// parameters and defaults of the entry, while calls go straight to the C++
// entry through vectorcall.

struct EntryObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* defaults;  // the Python-visible default tuple
};

PyObject* entry_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
  return backtest_(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

PyObject* entry_defaults(PyObject* self, void*) {
  return Py_NewRef(reinterpret_cast<EntryObject*>(self)->defaults);
}

PyObject* entry_name(PyObject*, void*) { return PyUnicode_FromString("backtest_"); }

PyObject* entry_module(PyObject*, void*) { return PyUnicode_FromString("pelmora.core.runvane"); }

PyObject* entry_signature(PyObject* self, void*) {
  Ref inspect(PyImport_ImportModule("inspect"));
  if (!inspect) return nullptr;
  Ref parameter(PyObject_GetAttrString(inspect.get(), "Parameter"));
  if (!parameter) return nullptr;
  Ref kind(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD"));
  if (!kind) return nullptr;
  Ref params(PyList_New(0));
  if (!params) return nullptr;
  PyObject* defaults = reinterpret_cast<EntryObject*>(self)->defaults;
  for (int i = 0; i < py::kRunTotal; ++i) {
    Ref name(PyUnicode_FromString(py::kRunParameterNames[i]));
    Ref args(name ? PyTuple_Pack(2, name.get(), kind.get()) : nullptr);
    Ref kwargs(PyDict_New());
    if (!args || !kwargs) return nullptr;
    if (i >= py::kRunRequired &&
        PyDict_SetItemString(kwargs.get(), "default",
                             PyTuple_GET_ITEM(defaults, i - py::kRunRequired)) != 0) {
      return nullptr;
    }
    Ref param(PyObject_Call(parameter.get(), args.get(), kwargs.get()));
    if (!param || PyList_Append(params.get(), param.get()) != 0) return nullptr;
  }
  return PyObject_CallMethod(inspect.get(), "Signature", "O", params.get());
}

PyObject* entry_repr(PyObject*) { return PyUnicode_FromString("<built-in function backtest_>"); }

void entry_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<EntryObject*>(self)->defaults);
  Py_TYPE(self)->tp_free(self);
}

extern const char kBacktestDoc[];

PyObject* entry_doc(PyObject*, void*) {
  const char* body = std::strstr(kBacktestDoc, "--\n\n");
  return PyUnicode_FromString(body ? body + 4 : kBacktestDoc);
}

PyGetSetDef entry_getset[] = {
    {"__defaults__", entry_defaults, nullptr, nullptr, nullptr},
    {"__name__", entry_name, nullptr, nullptr, nullptr},
    {"__qualname__", entry_name, nullptr, nullptr, nullptr},
    {"__module__", entry_module, nullptr, nullptr, nullptr},
    {"__doc__", entry_doc, nullptr, nullptr, nullptr},
    {"__signature__", entry_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject EntryType = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "pelmora.core.runvane.native_entry";
  t.tp_basicsize = sizeof(EntryObject);
  t.tp_dealloc = entry_dealloc;
  t.tp_vectorcall_offset = offsetof(EntryObject, vectorcall);
  t.tp_repr = entry_repr;
  t.tp_call = PyVectorcall_Call;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL;
  t.tp_getset = entry_getset;
  return t;
}();

PyObject* make_backtest_entry() {
  if (PyType_Ready(&EntryType) < 0) return nullptr;
  Ref inf(PyFloat_FromDouble(g.inf_default));
  if (!inf) return nullptr;
  PyObject* defaults = Py_BuildValue("(dddOOdOdOOiiOO)", 0.001425, 0.003, 1.0, inf.get(), inf.get(),
                                     0.0, Py_False, 1.0, Py_False, Py_True, 0, 1, Py_True, Py_None);
  if (!defaults) return nullptr;
  EntryObject* e = PyObject_New(EntryObject, &EntryType);
  if (!e) {
    Py_DECREF(defaults);
    return nullptr;
  }
  e->vectorcall = entry_vectorcall;
  e->defaults = defaults;
  return reinterpret_cast<PyObject*>(e);
}

// --- small entries ---------------------------------------------------------------

PyObject* get_stock_operations(PyObject*, PyObject*) {
  return py::guarded("pelmora.core.runvane.get_stock_operations", [&]() -> PyObject* {
    if (g.stock_operations == nullptr || g.stock_operations == Py_None) {
      PyErr_Format(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", "copy");
      return nullptr;
    }
    return PyDict_Copy(g.stock_operations);
  });
}

PyObject* ioft(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"v"};
  PyObject* v;
  if (!py::parse_arguments("ioft", names, 1, 1, args, nargs, kwnames, &v)) return nullptr;
  return py::guarded("pelmora.core.runvane.ioft", [&]() -> PyObject* {
    PyObject* dt_module = py::get_global(g.module_dict, g.n_datetime);
    if (dt_module == nullptr) return nullptr;
    Ref cls(py::checked(PyObject_GetAttr(dt_module, g.n_datetime)));
    Ref scale(py::checked(PyFloat_FromDouble(1e9)));
    Ref seconds(py::checked(PyNumber_TrueDivide(v, scale.get())));
    return PyObject_CallMethodOneArg(cls.get(), g.n_fromtimestamp, seconds.get());
  });
}

// Python's `items()` pairs of any mapping, or a dict walked directly.
template <class Fn>
void for_each_item(PyObject* weights, Fn&& fn) {
  if (PyDict_CheckExact(weights)) {
    Ref items(py::checked(PyDict_Items(weights)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      fn(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
    return;
  }
  Ref items(py::checked(PyObject_CallMethod(weights, "items", nullptr)));
  Ref it(py::checked(PyObject_GetIter(items.get())));
  while (Ref pair{PyIter_Next(it.get())}) {
    Ref pit(py::checked(PyObject_GetIter(pair.get())));
    Ref k(PyIter_Next(pit.get()));
    Ref v(k ? PyIter_Next(pit.get()) : nullptr);
    if (!k || !v) {
      py::check_pending();
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", k ? 1 : 0);
      fail_pending();
    }
    Ref extra(PyIter_Next(pit.get()));
    if (extra) {
      PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
      fail_pending();
    }
    py::check_pending();
    fn(k.get(), v.get());
  }
  py::check_pending();
}

template <class Fn>
void for_each_key(PyObject* weights, Fn&& fn) {
  Ref keys;
  if (PyDict_CheckExact(weights)) {
    keys.reset(py::checked(PyDict_Keys(weights)));
  } else {
    keys.reset(py::checked(PySequence_List(weights)));
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) fn(PyList_GET_ITEM(keys.get(), i));
}

PyObject* normalize_weight(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"weights", "position_limit"};
  PyObject* a[2];
  if (!py::parse_arguments("normalize_weight", names, 2, 2, args, nargs, kwnames, a)) {
    return nullptr;
  }
  PyObject* weights = a[0];
  PyObject* limit = a[1];
  return py::guarded("pelmora.core.runvane.normalize_weight", [&]() -> PyObject* {
    Ref weight_sum(py::checked(PyFloat_FromDouble(0.0)));
    for_each_item(weights, [&](PyObject*, PyObject* w) { add_abs(weight_sum, w); });
    Ref one(py::checked(PyLong_FromLong(1)));
    for_each_key(weights, [&](PyObject* sid) {
      if (!greater_than_one(weight_sum.get())) return;
      Ref factor(py::checked(PyNumber_TrueDivide(one.get(), weight_sum.get())));
      Ref w(py::checked(PyObject_GetItem(weights, sid)));
      Ref scaled(py::checked(PyNumber_Multiply(w.get(), factor.get())));
      if (PyObject_SetItem(weights, sid, scaled.get()) != 0) fail_pending();
    });
    Ref neg_limit;
    for_each_key(weights, [&](PyObject* sid) {
      Ref w(py::checked(PyObject_GetItem(weights, sid)));
      int t = PyObject_RichCompareBool(w.get(), limit, Py_GT);
      if (t < 0) fail_pending();
      if (t == 1) {
        if (PyObject_SetItem(weights, sid, limit) != 0) fail_pending();
        return;
      }
      if (!neg_limit) neg_limit.reset(py::checked(PyNumber_Negative(limit)));
      t = PyObject_RichCompareBool(w.get(), neg_limit.get(), Py_LT);
      if (t < 0) fail_pending();
      if (t == 1) {
        Ref fresh(py::checked(PyNumber_Negative(limit)));
        if (PyObject_SetItem(weights, sid, fresh.get()) != 0) fail_pending();
      }
    });
    return Py_NewRef(weights);
  });
}

// A Python index object as an index (IndexError when it does not fit).
Py_ssize_t as_index(PyObject* i) {
  const Py_ssize_t k = PyNumber_AsSsize_t(i, PyExc_IndexError);
  if (k == -1 && PyErr_Occurred()) fail_pending();
  return k;
}

// price_index[k], with buffer indexing semantics.
PyObject* date_at(const View1D<std::int64_t>& index, Py_ssize_t k) {
  return py::checked(PyLong_FromLongLong(index.at(k)));
}

PyObject* get_trade_stocks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"pos_columns", "price_index", "touched_exit"};
  PyObject* a[3];
  if (!py::parse_arguments("get_trade_stocks", names, 3, 3, args, nargs, kwnames, a)) {
    return nullptr;
  }
  return py::guarded("pelmora.core.runvane.get_trade_stocks", [&]() -> PyObject* {
    static const char* const array_names[] = {"pos_columns", "price_index"};
    for (int k = 0; k < 2; ++k) {
      if (a[k] != Py_None && !PyArray_Check(a[k])) {
        PyErr_Format(PyExc_TypeError,
                     "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                     array_names[k], PyArray_Type.tp_name, Py_TYPE(a[k])->tp_name);
        return nullptr;
      }
    }
    py::Buffer columns_buf, index_buf;
    columns_buf.acquire(a[0], py::Elem::Object, 1);
    index_buf.acquire(a[1], py::Elem::Int64, 1);
    const bool touched_exit = to_bool(a[2]);
    const View1D<PyObject*> columns = columns_buf.view1d<PyObject*>();
    const View1D<std::int64_t> index = index_buf.view1d<std::int64_t>();
    const py::Buffer* views[2] = {&columns_buf, &index_buf};

    PyObject* module = py::get_global(g.module_dict, g.n_swaylen);
    if (module == nullptr) fail_pending();
    Ref module_ref = Ref::borrow(module);
    Ref trades(py::checked(PyObject_GetAttr(module, g.n_trades)));
    Ref rows(py::checked(PyList_New(0)));
    Ref minus_one(py::checked(PyLong_FromLong(-1)));
    Ref one(py::checked(PyLong_FromLong(1)));
    Ref n_index(py::checked(PyLong_FromSsize_t(static_cast<Py_ssize_t>(index.size))));
    Ref it(py::checked(PyObject_GetIter(trades.get())));
    Py_ssize_t i = 0;
    while (Ref t{PyIter_Next(it.get())}) {
      Ref t0(py::checked(PySequence_GetItem(t.get(), 0)));
      Ref t1(py::checked(PySequence_GetItem(t.get(), 1)));
      Ref t2(py::checked(PySequence_GetItem(t.get(), 2)));
      const int closed = PyObject_RichCompareBool(t2.get(), minus_one.get(), Py_NE);
      if (closed < 0) fail_pending();
      // Every index is worked out (which may run Python code) before the
      // views are read, and the views are checked to be still in place.
      Ref before(py::checked(PyNumber_Subtract(t1.get(), one.get())));
      Ref prev;
      if (closed && !touched_exit) prev.reset(py::checked(PyNumber_Subtract(t2.get(), one.get())));
      const Py_ssize_t col = as_index(t0.get());
      const Py_ssize_t entry_row = as_index(t1.get());
      const Py_ssize_t exit_row = closed ? as_index(t2.get()) : 0;
      const Py_ssize_t before_row = as_index(before.get());
      const Py_ssize_t decision_row = !closed ? 0 : touched_exit ? exit_row : as_index(prev.get());
      Ref positions(py::checked(PyObject_GetAttr(module, g.n_trade_positions)));
      Ref position(py::checked(PySequence_GetItem(positions.get(), i)));
      Ref held(py::checked(closed ? PyNumber_Subtract(t2.get(), t1.get())
                                  : PyNumber_Subtract(n_index.get(), t1.get())));
      py::check_unmoved(views, 2);
      Ref stock(py::object_at(columns, col));
      Ref entry_date(date_at(index, entry_row));
      Ref exit_date(closed ? date_at(index, exit_row) : Py_NewRef(minus_one.get()));
      Ref before_date(date_at(index, before_row));
      Ref decision(closed ? date_at(index, decision_row) : Py_NewRef(minus_one.get()));
      PyObject* items[9] = {stock.release(),    entry_date.release(), exit_date.release(),
                            before_date.release(), decision.release(),   position.release(),
                            held.release(),     Py_NewRef(t1.get()),  Py_NewRef(t2.get())};
      Ref row(PyList_New(9));
      if (!row) {
        for (PyObject* o : items) Py_DECREF(o);
        fail_pending();
      }
      for (int k = 0; k < 9; ++k) PyList_SET_ITEM(row.get(), k, items[k]);
      if (PyList_Append(rows.get(), row.get()) != 0) fail_pending();
      ++i;
    }
    py::check_pending();
    return PyTuple_Pack(2, rows.get(), g.stock_operations);
  });
}

// --- module ------------------------------------------------------------------------

extern const char kBacktestDoc[];
const char kBacktestDoc[] =
    "backtest_(price_values, close_values, high_values, low_values, open_values, price_index, "
    "price_columns, pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, "
    "tax_ratio=0.003, stop_loss=1.0, take_profit=org_np.inf, trail_stop=org_np.inf, "
    "trail_stop_activation=0.0, touched_exit=False, position_limit=1.0, "
    "retain_cost_when_rebalance=False, stop_trading_next_period=True, swaylen_window=0, "
    "swaylen_window_step=1, periodically_rebalance=True, delisting_bars=None)\n--\n\n"
    "Run a backtest and return the equity curve `creturn` (one float64 per price row).\n\n"
    "The trades, their entry positions and excursion arrays are left in\n"
    "pelmora.core.swaylen.trades / trade_positions / swaylen; the next-period\n"
    "report is read with get_stock_operations().";

PyMethodDef methods[] = {
    {"get_stock_operations", reinterpret_cast<PyCFunction>(get_stock_operations), METH_NOARGS,
     "get_stock_operations($module, /)\n--\n\nA shallow copy of the last run's next-period report."},
    {"normalize_weight", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(normalize_weight)),
     METH_FASTCALL | METH_KEYWORDS,
     "normalize_weight($module, /, weights, position_limit)\n--\n\n"
     "Scale weights whose absolute sum exceeds 1 down to 1, then clip each to "
     "+-position_limit. Changes `weights` in place and returns it."},
    {"ioft", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(ioft)),
     METH_FASTCALL | METH_KEYWORDS,
     "ioft($module, /, v)\n--\n\nNanoseconds since the epoch to a naive local datetime."},
    {"get_trade_stocks", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(get_trade_stocks)),
     METH_FASTCALL | METH_KEYWORDS,
     "get_trade_stocks($module, /, pos_columns, price_index, touched_exit)\n--\n\n"
     "One row per trade of the last run, and the stock_operations dict itself."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  api::Bindings bindings;
  if (!api::bind(bindings)) return -1;
  g.api = bindings;

  g.n_normalize_weight = py::intern("normalize_weight");
  g.n_swaylen = py::intern("swaylen");
  g.n_trades = py::intern("trades");
  g.n_trade_positions = py::intern("trade_positions");
  g.n_datetime = py::intern("datetime");
  g.n_fromtimestamp = py::intern("fromtimestamp");
  if (!g.n_normalize_weight || !g.n_swaylen || !g.n_datetime || !g.n_fromtimestamp) return -1;

  Ref np(PyImport_ImportModule("numpy"));
  if (!np || PyModule_AddObjectRef(module, "org_np", np.get()) != 0) return -1;
  Ref sw(PyImport_ImportModule("pelmora.core.swaylen"));
  if (!sw || PyModule_AddObjectRef(module, "swaylen", sw.get()) != 0) return -1;
  Ref dt(PyImport_ImportModule("datetime"));
  if (!dt || PyModule_AddObjectRef(module, "datetime", dt.get()) != 0) return -1;
  if (PyModule_AddObjectRef(module, "RETAIN_COST_WHEN_REBALANCE", Py_False) != 0 ||
      PyModule_AddObjectRef(module, "RESAMPLE", Py_None) != 0) {
    return -1;
  }
  PyObject* ops = PyDict_New();
  if (!ops) return -1;
  Py_XSETREF(g.stock_operations, ops);

  Ref inf(PyObject_GetAttrString(np.get(), "inf"));
  if (!inf) return -1;
  g.inf_default = PyFloat_AsDouble(inf.get());
  if (g.inf_default == -1.0 && PyErr_Occurred()) return -1;

  PyObject* name = PyModule_GetNameObject(module);
  if (!name) return -1;
  Ref name_ref(name);
  for (PyMethodDef* def = methods; def->ml_name; ++def) {
    Ref fn(PyCFunction_NewEx(def, module, name));
    if (!fn || PyModule_AddObjectRef(module, def->ml_name, fn.get()) != 0) return -1;
    if (std::strcmp(def->ml_name, "ioft") == 0) {  // backtest_ comes between ioft and get_trade_stocks
      Ref entry(make_backtest_entry());
      if (!entry || PyModule_AddObjectRef(module, "backtest_", entry.get()) != 0) return -1;
    }
  }
  PyObject* dict = PyModule_GetDict(module);
  Py_XSETREF(g.module_dict, Py_NewRef(dict));
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(&py::create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(&exec_module)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pelmora.core.runvane",
    "Backtest engine: backtest_, normalize_weight, get_trade_stocks, get_stock_operations, ioft.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelmora::runvane

PyMODINIT_FUNC PyInit_runvane(void) { return PyModuleDef_Init(&pelmora::runvane::module_def); }
