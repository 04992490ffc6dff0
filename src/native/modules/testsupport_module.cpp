// pelmora.core._testsupport: private module for the test suite and the
// benchmarks. It binds the excursion module's capsule table exactly as the
// engine does and exposes thin Python wrappers around the native-only pieces
// (the excursion entry points, set_position, rebalance, map_columns,
// validate_trade_price) so they can be tested directly. Not a public API.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <climits>
#include <cmath>

#include "boundary/converters.hpp"
#include "boundary/arguments.hpp"
#include "boundary/engine_hooks.hpp"
#include "boundary/entry.hpp"
#include "boundary/module_support.hpp"
#include "boundary/native_api.hpp"
#include "boundary/numpy.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"
#include "boundary/pyviews.hpp"
#include "boundary/run_args.hpp"
#include "boundary/run_driver.hpp"
#include "core/book.hpp"
#include "core/engine.hpp"

namespace pelmora::testsupport {
namespace {

using py::Ref;

api::Bindings g_api;
PyObject* g_engine_dict = nullptr;  // pelmora.core.runvane's dict: the module flags

long as_long(PyObject* o) {
  const long v = PyLong_AsLong(o);
  if (v == -1 && PyErr_Occurred()) fail_pending();
  return v;
}

int as_int(PyObject* o) {
  const long v = as_long(o);
  if (v < INT_MIN || v > INT_MAX) fail(ErrorKind::OverflowError, "value too large to convert to int");
  return static_cast<int>(v);
}

template <class M, class Conv>
M dict_to_map(PyObject* d, Conv conv) {
  if (!PyDict_Check(d)) fail(ErrorKind::TypeError, "expected a dict");
  M m;
  PyObject *k, *v;
  Py_ssize_t pos = 0;
  while (PyDict_Next(d, &pos, &k, &v)) m[as_int(k)] = conv(v);
  return m;
}

void book_to_dict(const Book& book, PyObject* d) {
  PyDict_Clear(d);
  for (const auto& [sid, value] : book) {
    Ref k(py::checked(PyLong_FromLong(sid)));
    Ref v(py::checked(PyFloat_FromDouble(value)));
    if (PyDict_SetItem(d, k.get(), v.get()) != 0) fail_pending();
  }
}

bool parse(const char* fname, const char* const* names, int req, int total, PyObject* const* args,
           Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  return py::parse_arguments(fname, names, req, total, args, nargs, kwnames, out);
}

#define FASTCALL_ARGS PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames

// --- excursion entry points through the capsules --------------------------------

PyObject* start_analysis(FASTCALL_ARGS) {
  static const char* const names[] = {"price", "close", "pos2price", "nstocks", "fee_ratio",
                                      "tax_ratio", "window", "window_step"};
  PyObject* a[8];
  if (!parse("start_analysis", names, 8, 8, args, nargs, kwnames, a)) return nullptr;
  return py::guarded("pelmora.core._testsupport.start_analysis", [&]() -> PyObject* {
    auto m = dict_to_map<std::map<int, int>>(a[2], as_int);
    g_api.start_analysis(reinterpret_cast<PyArrayObject*>(a[0]),
                         reinterpret_cast<PyArrayObject*>(a[1]), m, as_int(a[3]), py::to_double(a[4]),
                         py::to_double(a[5]), as_int(a[6]), as_int(a[7]));
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* record_date(FASTCALL_ARGS) {
  static const char* const names[] = {"d"};
  PyObject* a[1];
  if (!parse("record_date", names, 1, 1, args, nargs, kwnames, a)) return nullptr;
  return py::guarded("pelmora.core._testsupport.record_date", [&]() -> PyObject* {
    g_api.record_date(as_int(a[0]));
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* record_entry(FASTCALL_ARGS) {
  static const char* const names[] = {"sid", "position", "has_entry_trasnaction"};
  PyObject* a[3];
  if (!parse("record_entry", names, 3, 3, args, nargs, kwnames, a)) return nullptr;
  return py::guarded("pelmora.core._testsupport.record_entry", [&]() -> PyObject* {
    g_api.record_entry(as_int(a[0]), py::to_double(a[1]), as_int(a[2]));
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* record_exit(FASTCALL_ARGS) {
  static const char* const names[] = {"sid", "has_exit_trasnaction"};
  PyObject* a[2];
  if (!parse("record_exit", names, 2, 2, args, nargs, kwnames, a)) return nullptr;
  return py::guarded("pelmora.core._testsupport.record_exit", [&]() -> PyObject* {
    g_api.record_exit(as_int(a[0]), as_int(a[1]));
    if (PyErr_Occurred()) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* end_analysis(FASTCALL_ARGS) {
  static const char* const names[] = {"pos"};
  PyObject* a[1];
  if (!parse("end_analysis", names, 1, 1, args, nargs, kwnames, a)) return nullptr;
  return py::guarded("pelmora.core._testsupport.end_analysis", [&]() -> PyObject* {
    auto book = dict_to_map<std::map<int, double>>(a[0], py::to_double);
    return g_api.end_analysis(book);
  });
}

// The live per-sid arrays, reached through the published variable pointers.
PyObject* excursion_state(PyObject*, PyObject*) {
  PyObject* entry = reinterpret_cast<PyObject*>(*g_api.entry);
  PyObject* position = reinterpret_cast<PyObject*>(*g_api.position);
  return Py_BuildValue("(OO)", entry ? entry : Py_None, position ? position : Py_None);
}

// --- engine pieces --------------------------------------------------------------------

struct BookCall {
  Book book;
  PyObject* dict;
  explicit BookCall(PyObject* d) : book(dict_to_map<Book>(d, py::to_double)), dict(d) {}
};

// Runs `body` on the book of `dict` and writes the book back even when the
// body failed (a failed rebalance leaves its earlier trades made).
template <class Body>
PyObject* with_book(const char* qualname, PyObject* dict, Body&& body) {
  return py::guarded(qualname, [&]() -> PyObject* {
    BookCall call(dict);
    try {
      const double cash = body(call.book);
      book_to_dict(call.book, dict);
      return PyFloat_FromDouble(cash);
    } catch (const Failure&) {
      PyObject *t, *v, *tb;
      PyErr_Fetch(&t, &v, &tb);
      book_to_dict(call.book, dict);
      PyErr_Restore(t, v, tb);
      throw;
    }
  });
}

PyObject* set_position(FASTCALL_ARGS) {
  static const char* const names[] = {"p", "sid", "position", "cash", "fee_ratio", "tax_ratio",
                                      "check_null", "set_null", "balance"};
  PyObject* a[9];
  if (!parse("set_position", names, 6, 9, args, nargs, kwnames, a)) return nullptr;
  return with_book("pelmora.core._testsupport.set_position", a[0], [&](Book& book) {
    const int sid = as_int(a[1]);
    const double position = py::to_double(a[2]);
    const double cash = py::to_double(a[3]);
    const TradeCosts costs{py::to_double(a[4]), py::to_double(a[5])};
    const bool check_null = a[6] ? py::to_bool(a[6]) : true;
    const bool set_null = a[7] ? py::to_bool(a[7]) : false;
    const double balance = a[8] ? py::to_double(a[8]) : 1.0;
    py::PyRunHooks hooks(g_api, g_engine_dict, Py_True, {});
    return pelmora::set_position(book, sid, position, cash, costs, check_null, set_null, balance,
                                 hooks);
  });
}

PyObject* rebalance(FASTCALL_ARGS) {
  static const char* const names[] = {"p", "newp", "cash", "fee_ratio", "tax_ratio",
                                      "position_limit"};
  PyObject* a[6];
  if (!parse("rebalance", names, 6, 6, args, nargs, kwnames, a)) return nullptr;
  return with_book("pelmora.core._testsupport.rebalance", a[0], [&](Book& book) {
    py::Buffer newp;
    try {
      newp.acquire(a[1], py::Elem::Float64, 1, false);
    } catch (Failure& f) {
      f.frames.push_back("pelmora.core.runvane.rebalance");
      throw;
    }
    const double cash = py::to_double(a[2]);
    const TradeCosts costs{py::to_double(a[3]), py::to_double(a[4])};
    const double limit = py::to_double(a[5]);
    py::PyRunHooks hooks(g_api, g_engine_dict, Py_True, {});
    const py::Buffer* guarded[1] = {&newp};
    hooks.guard(guarded, 1);
    return pelmora::rebalance(book, newp.view1d<double>(), cash, costs, limit, hooks);
  });
}

PyObject* map_columns(FASTCALL_ARGS) {
  static const char* const names[] = {"price_columns", "pos_columns"};
  PyObject* a[2];
  if (!parse("map_columns", names, 2, 2, args, nargs, kwnames, a)) return nullptr;
  return py::guarded("pelmora.core._testsupport.map_columns", [&]() -> PyObject* {
    const auto m = py::map_columns(a[0], a[1]);
    Ref d(py::checked(PyDict_New()));
    for (const auto& [k, v] : m) {
      Ref key(py::checked(PyLong_FromLong(k)));
      Ref val(py::checked(PyLong_FromLong(v)));
      if (PyDict_SetItem(d.get(), key.get(), val.get()) != 0) fail_pending();
    }
    return d.release();
  });
}

PyObject* validate_trade_price(FASTCALL_ARGS) {
  static const char* const names[] = {"value", "symbol", "row"};
  PyObject* a[3];
  if (!parse("validate_trade_price", names, 3, 3, args, nargs, kwnames, a)) return nullptr;
  return py::guarded("pelmora.core._testsupport.validate_trade_price", [&]() -> PyObject* {
    const double value = py::to_double(a[0]);
    const int row = as_int(a[2]);
    if (!trade_price_ok(value)) {
      throw Failure{ErrorKind::ValueError,
                    invalid_trade_price_message(py::format_symbol(a[1]), row, py::float_repr(value)),
                    {"pelmora.core.runvane.validate_trade_price"}};
    }
    Py_RETURN_NONE;
  });
}

PyObject* numpy_abs_sum(PyObject*, PyObject* arg) {
  return py::guarded("pelmora.core._testsupport.numpy_abs_sum", [&]() -> PyObject* {
    py::Buffer b;
    b.acquire(arg, py::Elem::Float64, 1, false);
    return PyFloat_FromDouble(pelmora::numpy_abs_sum(b.view1d<double>()));
  });
}

// The touch limit of a run: reads exactly the cells (rows[k], cols[k]) of
// every matrix, in that order, with each cell requested `ahead` cells before
// it is read (the freedom a row loop has when it asks for the next row's
// holdings one row early). What it returns (the sum) only keeps the reads
// from being optimised away.
PyObject* touch(FASTCALL_ARGS) {
  static const char* const names[] = {"rows", "cols", "matrices", "ahead"};
  PyObject* a[4] = {nullptr, nullptr, nullptr, nullptr};
  if (!parse("touch", names, 3, 4, args, nargs, kwnames, a)) return nullptr;
  return py::guarded("pelmora.core._testsupport.touch", [&]() -> PyObject* {
    py::Buffer rows_buf, cols_buf;
    rows_buf.acquire(a[0], py::Elem::Int64, 1, false);
    cols_buf.acquire(a[1], py::Elem::Int64, 1, false);
    const View1D<std::int64_t> rows = rows_buf.view1d<std::int64_t>();
    const View1D<std::int64_t> cols = cols_buf.view1d<std::int64_t>();
    if (rows.size != cols.size) fail(ErrorKind::ValueError, "rows and cols differ in length");
    const std::int64_t ahead = a[3] == nullptr ? 64 : as_int(a[3]);
    if (ahead < 0) fail(ErrorKind::ValueError, "ahead must be 0 or more");
    Ref seq(py::checked(PySequence_Tuple(a[2])));
    const Py_ssize_t n_mat = PyTuple_GET_SIZE(seq.get());
    std::vector<py::Buffer> bufs(static_cast<std::size_t>(n_mat));
    std::vector<View2D<double>> mats;
    for (Py_ssize_t m = 0; m < n_mat; ++m) {
      bufs[static_cast<std::size_t>(m)].acquire(PyTuple_GET_ITEM(seq.get(), m), py::Elem::Float64,
                                                2, false);
      mats.push_back(bufs[static_cast<std::size_t>(m)].view2d<double>());
    }
    for (std::int64_t k = 0; k < rows.size; ++k) {
      for (const View2D<double>& v : mats) {
        if (rows.get(k) < 0 || rows.get(k) >= v.rows || cols.get(k) < 0 || cols.get(k) >= v.cols) {
          fail(ErrorKind::IndexError, "cell " + std::to_string(k) + " is outside a matrix");
        }
      }
    }
    double sum = 0.0;
    Py_BEGIN_ALLOW_THREADS
    const std::int64_t n = rows.size;
    for (std::int64_t k = 0; k < n; ++k) {
      const std::int64_t j = k + ahead;
      if (ahead > 0 && j < n) {
        for (const View2D<double>& v : mats) {
          __builtin_prefetch(v.data + rows.get(j) * v.row_stride + cols.get(j) * v.col_stride);
        }
      }
      for (const View2D<double>& v : mats) {
        sum += v.get(rows.get(k), cols.get(k));
      }
    }
    Py_END_ALLOW_THREADS
    return PyFloat_FromDouble(sum);
  });
}

// Labels for messages without Python objects: the floor run never formats a
// label unless it fails, and then only the stock index matters.
class PlainText final : public MessageHooks {
 public:
  std::string symbol_text(int sid) override { return std::to_string(sid); }
  std::string float_text(double value) override { return py::float_repr(value); }
};

// backtest_'s arithmetic with every Python output switched off: no trade
// records, no excursion arrays, no report. The numeric floor of a run.
PyObject* backtest_floor(FASTCALL_ARGS) {
  PyObject* raw[py::kRunTotal];
  if (!parse("backtest_floor", py::kRunParameterNames, py::kRunRequired, py::kRunTotal, args, nargs,
             kwnames, raw)) {
    return nullptr;
  }
  return py::guarded("pelmora.core._testsupport.backtest_floor", [&]() -> PyObject* {
    py::PreparedRun p;
    py::prepare(raw, py::Preparation{}, p);
    const bool stop_trading = py::to_bool(p.args.stop_trading);
    // The truth test is the Python code this run calls after the
    // preparation's check: an input resized by it is refused before the run
    // reads it.
    py::check_unmoved(p.views, py::kRunRequired + 1);
    SilentHooks hooks(stop_trading);
    PlainText text;
    Engine engine(p.inputs, p.args.options, hooks, text);
    engine.setup();
    engine.run_rows(p.creturn_data());
    return p.creturn.release();
  });
}

PyObject* floor_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return backtest_floor(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

py::EntryInfo g_floor_info{
    "backtest_floor", "pelmora.core._testsupport",
    "backtest_'s arithmetic with trade records, excursion arrays and the report switched off.",
    floor_call, nullptr, 0, HUGE_VAL, nullptr};

PyMethodDef methods[] = {
    {"start_analysis", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(start_analysis)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"record_date", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(record_date)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"record_entry", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(record_entry)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"record_exit", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(record_exit)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"end_analysis", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(end_analysis)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"excursion_state", excursion_state, METH_NOARGS, nullptr},
    {"set_position", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(set_position)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"rebalance", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(rebalance)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"map_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(map_columns)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"validate_trade_price",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(validate_trade_price)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"numpy_abs_sum", numpy_abs_sum, METH_O, nullptr},
    {"touch", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(touch)),
     METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (py::import_numpy() < 0) return -1;
  Ref floor(py::make_run_entry(&g_floor_info));
  if (!floor || PyModule_AddObjectRef(module, "backtest_floor", floor.get()) != 0) return -1;
  if (!api::bind(g_api)) return -1;
  Ref engine(PyImport_ImportModule("pelmora.core.runvane"));
  if (!engine) return -1;
  Py_XSETREF(g_engine_dict, Py_NewRef(PyModule_GetDict(engine.get())));
  return 0;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "pelmora.core._testsupport", "Private test support.", 0, methods,
    py::module_slots<exec_module>, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace pelmora::testsupport

PyMODINIT_FUNC PyInit__testsupport(void) {
  return PyModuleDef_Init(&pelmora::testsupport::module_def);
}
