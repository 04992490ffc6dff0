// pelmora.core.runvane: the backtest engine's CPython boundary.
//
// Argument handling, the module state (the two flags in the module dict, the
// native `stock_operations` dict, the excursion module's bound entry points),
// the run's orchestration around the C++ Engine, the next-period report and
// the small Python entries. All arithmetic of a run is in the C++ core.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "boundary/arguments.hpp"
#include "boundary/engine_hooks.hpp"
#include "boundary/module_support.hpp"
#include "boundary/native_api.hpp"
#include "boundary/numpy.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"
#include "boundary/pyviews.hpp"
#include "boundary/converters.hpp"
#include "boundary/entry.hpp"
#include "boundary/report.hpp"
#include "boundary/run_args.hpp"
#include "boundary/run_driver.hpp"
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

// --- backtest_ ---------------------------------------------------------------------

// backtest_'s report: the module's stock_operations, normalised by the
// module's normalize_weight as it is found at report time, and the truth of
// stop_trading_next_period asked each time it is needed.
class BacktestReportHooks final : public py::ReportHooks {
 public:
  explicit BacktestReportHooks(py::PyRunHooks& hooks) : hooks_(hooks) {}
  bool stop_trading() override { return hooks_.stop_trading_next_period(); }
  PyObject* normalize(PyObject* weights, PyObject* limit) override {
    PyObject* fn = py::get_global(g.module_dict, g.n_normalize_weight);
    if (fn == nullptr) fail_pending();
    Ref fn_ref = Ref::borrow(fn);
    PyObject* call_args[] = {weights, limit};
    return PyObject_Vectorcall(fn_ref.get(), call_args, 2, nullptr);
  }
  void check() override { hooks_.check_guarded(); }
  void created(PyObject* ops) override { Py_XSETREF(g.stock_operations, Py_NewRef(ops)); }

 private:
  py::PyRunHooks& hooks_;
};

PyObject* run_backtest(PyObject* const* raw) {
  py::Preparation how;
  how.inf_default = g.inf_default;
  how.converted = [](const py::RunArguments& a) {
    if (PyDict_SetItem(g.module_dict, py::retain_cost_name(),
                       a.options.retain_cost_when_rebalance ? Py_True : Py_False) != 0 ||
        PyDict_SetItem(g.module_dict, py::resample_name(),
                       a.periodically_rebalance ? Py_True : Py_False) != 0) {
      fail_pending();
    }
  };
  py::PreparedRun p;
  py::prepare(raw, how, p);
  const py::RunArguments& a = p.args;
  const RunInputs& in = p.inputs;
  const View1D<PyObject*> pos_columns = py::pos_columns_view(a);

  py::PyRunHooks hooks(g.api, g.module_dict, a.stop_trading, pos_columns);
  hooks.guard(p.views, py::kRunRequired + 1);
  Engine engine(in, a.options, hooks, hooks);
  engine.setup();

  if (pos_columns.size > INT_MAX) fail(ErrorKind::OverflowError, "value too large to convert to int");
  g.api.start_analysis(reinterpret_cast<PyArrayObject*>(a.arrays[py::param::price_values]),
                       reinterpret_cast<PyArrayObject*>(a.arrays[py::param::close_values]), in.columns.by_sid,
                       static_cast<int>(pos_columns.size), a.options.fee_ratio,
                       a.options.tax_ratio, a.window, a.window_step);
  py::check_pending();

  engine.run_rows(p.creturn_data());

  // The excursion module's published interface takes the book as a map.
  std::map<int, double> book(engine.state().pos.begin(), engine.state().pos.end());
  Ref done(py::checked(g.api.end_analysis(book)));
  hooks.check_guarded();
  BacktestReportHooks report_hooks(hooks);
  Ref ops(py::build_report(engine.state(), in, a.options.position_limit, report_hooks));
  return p.creturn.release();
}

PyObject* backtest_(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (g.running) {
    PyErr_SetString(PyExc_RuntimeError, "backtest_ is already running");
    return nullptr;
  }
  PyObject* raw[py::kRunTotal];
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

extern const char kBacktestDoc[];

PyObject* entry_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
  return backtest_(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

py::EntryInfo g_entry_info{"backtest_", "pelmora.core.runvane", kBacktestDoc, entry_vectorcall,
                           nullptr, 0, HUGE_VAL, nullptr};

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

PyObject* normalize_weight(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"weights", "position_limit"};
  PyObject* a[2];
  if (!py::parse_arguments("normalize_weight", names, 2, 2, args, nargs, kwnames, a)) {
    return nullptr;
  }
  PyObject* weights = a[0];
  PyObject* limit = a[1];
  return py::guarded("pelmora.core.runvane.normalize_weight", [&]() -> PyObject* {
    return py::normalize_weights(weights, limit);
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
    const bool touched_exit = py::to_bool(a[2]);
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
  if (py::import_numpy() < 0) return -1;
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
      g_entry_info.inf_default = g.inf_default;
      Ref entry(py::make_run_entry(&g_entry_info));
      if (!entry || PyModule_AddObjectRef(module, "backtest_", entry.get()) != 0) return -1;
    }
  }
  PyObject* dict = PyModule_GetDict(module);
  Py_XSETREF(g.module_dict, Py_NewRef(dict));
  return 0;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pelmora.core.runvane",
    "Backtest engine: backtest_, normalize_weight, get_trade_stocks, get_stock_operations, ioft.",
    0,
    nullptr,
    py::module_slots<exec_module>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelmora::runvane

PyMODINIT_FUNC PyInit_runvane(void) { return PyModuleDef_Init(&pelmora::runvane::module_def); }
