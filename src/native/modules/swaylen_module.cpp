// pelmora.core.swaylen: per-trade excursion analysis driven by the engine.
//
// Module state (process-wide, one analysis at a time): references to the
// engine's trade-price and close matrices, a copy of its column map, the
// per-stock entry arrays, the rates and the window. The Python-visible results
// are the module globals `trades`, `trade_positions` and `swaylen`, looked up
// by name at every append so a caller that rebinds one redirects the output.
// The native entry points are published in the capsule dict `__native_api__`.
// An analysis over at least `_lookahead_rows` price rows (a module global when
// set, else kLookaheadRows) walks its open trades ahead of their exits on a
// helper thread, which reads the matrices only; each exit takes its walk over.
// With `_lookahead_settle` set to True (a test's knob), each new date first
// waits for the helper to have walked every row declared before it.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <pthread.h>

#include <climits>
#include <cstring>
#include <vector>
#include <cmath>
#include <map>

#include "boundary/module_support.hpp"
#include "boundary/native_api.hpp"
#include "boundary/numpy.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"
#include "boundary/pyviews.hpp"
#include "core/excursion.hpp"
#include "core/excursion_lookahead.hpp"
#include "core/parallel.hpp"

namespace pelmora::swaylen {
namespace {

using py::Ref;

// A scratch buffer larger than this many elements is not kept between trades.
constexpr npy_intp kScratchLimit = 1 << 16;
constexpr const char* kAnalysisName = "pelmora.core.swaylen.swaylen_analysis";

struct State {
  Ref price, close;            // the matrices as given (ndarray or None)
  py::Buffer price_buf, close_buf;
  std::map<int, int> pos2price;
  PyArrayObject* entry = nullptr;  // owned; published by address
  PyArrayObject* position = nullptr;
  PyArrayObject* entry_trasnaction = nullptr;
  double fee_ratio = 0.0;
  double tax_ratio = 0.0;
  int window = 0;
  int window_step = 0;
  int date = 0;
  PyObject* module_dict = nullptr;  // owned
  ExcursionPath path;               // reused between trades
  std::vector<double> scratch;      // reused between trades
  PyObject* n_trades = nullptr;
  PyObject* n_trade_positions = nullptr;
  PyObject* n_swaylen = nullptr;
  PyObject* n_clear = nullptr;
  PyObject* n_org_np = nullptr;
  PyObject* n_zeros = nullptr;
  PyObject* n_lookahead_rows = nullptr;
  PyObject* n_lookahead_settle = nullptr;
  // Walks of open trades ahead of their exits, on a thread of their own, for
  // runs of at least `_lookahead_rows` price rows (a module global).
  ExcursionLookahead* lookahead = nullptr;
  bool ahead = false;  // this analysis walks ahead
  bool settle = false;  // each date waits for the walks (`_lookahead_settle`)
};

// Never destroyed: its references must not be released by static destructors
// after the interpreter has finalized.
State& g = *new State();

// Runs shorter than this many price rows compute each array at its exit: the
// walks are short, and a thread would cost more than it saves.
constexpr long long kLookaheadRows = 1 << 17;

// The lookahead is dropped, not joined, in the child of a fork: its thread is
// not there, and its lock may have been taken when the fork happened.
void forget_lookahead_in_child() {
  g.lookahead = nullptr;
  g.ahead = false;
}

void stop_lookahead() {
  if (g.ahead) g.lookahead->end_run();
  g.ahead = false;
}

ExcursionParams excursion_params() {
  ExcursionParams params;
  params.price = g.price_buf.view2d<double>();
  params.close = g.close_buf.view2d<double>();
  params.close_missing = g.close.get() == Py_None;
  params.fee_ratio = g.fee_ratio;
  params.tax_ratio = g.tax_ratio;
  params.window = g.window;
  params.window_step = g.window_step;
  return params;
}

// Starts walking ahead for the analysis just set up, when it is long enough
// (`_lookahead_rows`, an int, when the module has one), every array has its
// fixed size, and a second CPU is there to walk.
void start_lookahead() {
  if (g.window < 1 || g.window_step < 1 || g.close.get() == Py_None) return;
  long long min_rows = kLookaheadRows;
  PyObject* knob = PyDict_GetItemWithError(g.module_dict, g.n_lookahead_rows);
  if (knob == nullptr && PyErr_Occurred()) fail_pending();
  if (knob != nullptr && PyLong_CheckExact(knob)) {
    min_rows = PyLong_AsLongLong(knob);
    if (min_rows == -1 && PyErr_Occurred()) fail_pending();
  }
  const ExcursionParams params = excursion_params();
  if (params.price.rows < min_rows || usable_cpus() < 2) return;
  // Every open trade's walk keeps an array of its own: not for windows whose
  // arrays are too large to keep one per open trade.
  const std::int64_t size = excursion_array_size(g.window, g.window_step);
  if (size > kScratchLimit) return;
  static const int registered = pthread_atfork(nullptr, nullptr, forget_lookahead_in_child);
  (void)registered;
  if (g.lookahead == nullptr) g.lookahead = new ExcursionLookahead();
  g.ahead = g.lookahead->begin_run(params, size);
  PyObject* settle = PyDict_GetItemWithError(g.module_dict, g.n_lookahead_settle);
  if (settle == nullptr && PyErr_Occurred()) fail_pending();
  g.settle = settle == Py_True;
}

// --- per-sid arrays ------------------------------------------------------
// The arrays are ours (1-D, contiguous, int64/float64) unless someone swapped
// them through the published variable pointers; then the generic item
// protocol is used so nothing is assumed about them.

bool is_plain(PyArrayObject* a, int type_num) {
  return a != nullptr && PyArray_CheckExact(a) && PyArray_NDIM(a) == 1 &&
         PyArray_TYPE(a) == type_num && PyArray_ISBEHAVED(a) && PyArray_ISNOTSWAPPED(a);
}

// Resolves a NumPy-style index or throws NumPy's IndexError.
npy_intp np_index(PyArrayObject* a, npy_intp i) {
  return item_index(i, PyArray_DIM(a, 0));
}

PyObject* array_or_none(PyArrayObject* a) { return a ? reinterpret_cast<PyObject*>(a) : Py_None; }

// a[sid] as a new NumPy scalar.
PyObject* get_item(PyArrayObject* a, int sid, int type_num) {
  if (is_plain(a, type_num)) {
    npy_intp j = np_index(a, sid);
    // The scalar types of the two dtypes the module creates, filled directly.
    if (type_num == NPY_INT64 && PyArray_DESCR(a)->type_num == NPY_LONG) {
      PyObject* o = py::checked(PyArrayScalar_New(Long));
      PyArrayScalar_ASSIGN(o, Long, *static_cast<npy_long*>(PyArray_GETPTR1(a, j)));
      return o;
    }
    if (type_num == NPY_DOUBLE) {
      PyObject* o = py::checked(PyArrayScalar_New(Double));
      PyArrayScalar_ASSIGN(o, Double, *static_cast<npy_double*>(PyArray_GETPTR1(a, j)));
      return o;
    }
    return py::checked(PyArray_Scalar(PyArray_GETPTR1(a, j), PyArray_DESCR(a),
                                      reinterpret_cast<PyObject*>(a)));
  }
  Ref idx(py::checked(PyLong_FromLong(sid)));
  return py::checked(PyObject_GetItem(array_or_none(a), idx.get()));
}

void set_item_long(PyArrayObject* a, int sid, long value) {
  if (is_plain(a, NPY_INT64)) {
    *static_cast<npy_int64*>(PyArray_GETPTR1(a, np_index(a, sid))) = value;
    return;
  }
  Ref idx(py::checked(PyLong_FromLong(sid)));
  Ref v(py::checked(PyLong_FromLong(value)));
  if (PyObject_SetItem(array_or_none(a), idx.get(), v.get()) != 0) fail_pending();
}

void set_item_double(PyArrayObject* a, int sid, double value) {
  if (is_plain(a, NPY_DOUBLE)) {
    *static_cast<double*>(PyArray_GETPTR1(a, np_index(a, sid))) = value;
    return;
  }
  Ref idx(py::checked(PyLong_FromLong(sid)));
  Ref v(py::checked(PyFloat_FromDouble(value)));
  if (PyObject_SetItem(array_or_none(a), idx.get(), v.get()) != 0) fail_pending();
}

// int(a[sid]) as a C int, OverflowError outside the int range.
int get_int(PyArrayObject* a, int sid) {
  long long v;
  if (is_plain(a, NPY_INT64)) {
    v = *static_cast<npy_int64*>(PyArray_GETPTR1(a, np_index(a, sid)));
  } else {
    Ref item(get_item(a, sid, NPY_INT64));
    Ref as_int(py::checked(PyNumber_Long(item.get())));
    int overflow = 0;
    v = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
    if (overflow) fail(ErrorKind::OverflowError, "value too large to convert to int");
    if (v == -1 && PyErr_Occurred()) fail_pending();
  }
  if (v < INT_MIN || v > INT_MAX) fail(ErrorKind::OverflowError, "value too large to convert to int");
  return static_cast<int>(v);
}

double get_double(PyArrayObject* a, int sid) {
  if (is_plain(a, NPY_DOUBLE)) return *static_cast<double*>(PyArray_GETPTR1(a, np_index(a, sid)));
  Ref item(get_item(a, sid, NPY_DOUBLE));
  const double v = PyFloat_AsDouble(item.get());
  if (v == -1.0 && PyErr_Occurred()) fail_pending();
  return v;
}

void append_global(PyObject* name, PyObject* item) {
  PyObject* target = py::get_global(g.module_dict, name);
  if (target == nullptr || !py::append_to(target, item)) fail_pending();
}

// --- the excursion of one trade ----------------------------------------------

PyObject* analysis(int sid, int i_entry, int i_exit, bool is_long, int i_entry_trasnaction,
                   int i_exit_trasnaction) {
  try {
    const int pid = g.pos2price.try_emplace(sid, 0).first->second;
    if (g.price.get() == Py_None) {
      PyErr_SetString(PyExc_AttributeError, "'NoneType' object has no attribute 'shape'");
      fail_pending();
    }
    const ExcursionParams params = excursion_params();
    const ExcursionTrade trade{pid, i_entry, i_exit, is_long, i_entry_trasnaction != 0,
                              i_exit_trasnaction != 0};
    // Built in a reused buffer, then copied into the result, so a failing
    // trade never allocates an array: by the walk done ahead when it can be
    // used (it fails as the array's walk would), else here.
    npy_intp arsize = 0;
    if (g.ahead) {
      arsize = excursion_array_size(params.window, params.window_step);
      g.scratch.resize(static_cast<std::size_t>(arsize));
    }
    if (!g.ahead || !g.lookahead->take(sid, trade, g.scratch.data())) {
      arsize = build_excursion_array(params, trade, g.path, [](std::int64_t n) {
        if (n < 0) negative_dimensions();
        g.scratch.resize(static_cast<std::size_t>(n));
        return g.scratch.data();
      });
    }
    Ref ret(py::checked(PyArray_SimpleNew(1, &arsize, NPY_DOUBLE)));
    std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(ret.get())), g.scratch.data(),
                static_cast<std::size_t>(arsize) * sizeof(double));
    if (arsize > kScratchLimit) std::vector<double>().swap(g.scratch);  // keep no huge buffer
    return ret.release();
  } catch (Failure& f) {
    f.frames.push_back(kAnalysisName);
    throw;
  }
}

// Appends [sid, entry[sid], exit_row], position[sid] and the excursion array.
void append_trade(int sid, PyObject* exit_row, int i_exit, int i_exit_trasnaction) {
  {
    Ref sid_obj(py::checked(PyLong_FromLong(sid)));
    Ref entry_row(get_item(g.entry, sid, NPY_INT64));
    PyObject* target = py::get_global(g.module_dict, g.n_trades);
    if (target == nullptr) fail_pending();
    Ref target_ref = Ref::borrow(target);
    Ref record(py::checked(PyList_New(3)));
    PyList_SET_ITEM(record.get(), 0, sid_obj.release());
    PyList_SET_ITEM(record.get(), 1, entry_row.release());
    Py_INCREF(exit_row);
    PyList_SET_ITEM(record.get(), 2, exit_row);
    if (!py::append_to(target_ref.get(), record.get())) fail_pending();
  }
  {
    Ref pos(get_item(g.position, sid, NPY_DOUBLE));
    append_global(g.n_trade_positions, pos.get());
  }
  PyObject* target = py::get_global(g.module_dict, g.n_swaylen);
  if (target == nullptr) fail_pending();
  Ref target_ref = Ref::borrow(target);
  // The appends may have run Python code; the matrices must still be where
  // the views say.
  const py::Buffer* matrices[2] = {&g.price_buf, &g.close_buf};
  py::check_unmoved(matrices, 2);
  const int i_entry = get_int(g.entry, sid);
  const bool is_long = get_double(g.position, sid) > 0;
  const int entry_tx = get_int(g.entry_trasnaction, sid);
  Ref ret(analysis(sid, i_entry, i_exit, is_long, entry_tx, i_exit_trasnaction));
  if (!py::append_to(target_ref.get(), ret.get())) fail_pending();
}

template <class Body>
void run_void(const char* qualname, Body&& body) {
  try {
    body();
  } catch (const Failure& f) {
    py::raise(f);
    py::add_traceback(qualname);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    py::add_traceback(qualname);
  }
}

// --- the published native interface -----------------------------------------

void start_analysis(PyArrayObject* price_, PyArrayObject* close_, std::map<int, int> pos2price_,
                    int nstocks, double fee_ratio_, double tax_ratio_, int window_,
                    int window_step_) {
  run_void("pelmora.core.swaylen.start_analysis", [&] {
    // The walks of the last analysis read its matrices: they stop first.
    stop_lookahead();
    PyObject* p = price_ ? reinterpret_cast<PyObject*>(price_) : Py_None;
    PyObject* c = close_ ? reinterpret_cast<PyObject*>(close_) : Py_None;
    py::Buffer pb, cb;
    pb.acquire(p, py::Elem::Float64, 2);
    cb.acquire(c, py::Elem::Float64, 2);
    g.price_buf = std::move(pb);
    g.close_buf = std::move(cb);
    g.price = Ref::borrow(p);
    g.close = Ref::borrow(c);
    g.pos2price = std::move(pos2price_);
    g.window = window_;
    g.window_step = window_step_;
    for (PyObject* name : {g.n_trades, g.n_trade_positions, g.n_swaylen}) {
      PyObject* lst = py::get_global(g.module_dict, name);
      if (lst == nullptr) fail_pending();
      Ref r(py::checked(PyObject_CallMethodNoArgs(lst, g.n_clear)));
    }
    // org_np.zeros(nstocks, dtype=int|float), looked up by name like every
    // module global.
    Ref n(py::checked(PyLong_FromLong(nstocks)));
    auto zeros = [&](PyTypeObject* dtype, PyArrayObject*& slot) {
      PyObject* np = py::get_global(g.module_dict, g.n_org_np);
      if (np == nullptr) fail_pending();
      Ref fn(py::checked(PyObject_GetAttr(np, g.n_zeros)));
      Ref kwargs(py::checked(Py_BuildValue("{sO}", "dtype", reinterpret_cast<PyObject*>(dtype))));
      Ref args(py::checked(PyTuple_Pack(1, n.get())));
      PyObject* a = py::checked(PyObject_Call(fn.get(), args.get(), kwargs.get()));
      if (!PyArray_Check(a)) {
        Py_DECREF(a);
        PyErr_SetString(PyExc_TypeError, "org_np.zeros did not return an ndarray");
        fail_pending();
      }
      PyArrayObject* old = slot;
      slot = reinterpret_cast<PyArrayObject*>(a);
      Py_XDECREF(old);
    };
    zeros(&PyLong_Type, g.entry);
    zeros(&PyFloat_Type, g.position);
    zeros(&PyLong_Type, g.entry_trasnaction);
    g.fee_ratio = fee_ratio_;
    g.tax_ratio = tax_ratio_;
    start_lookahead();
  });
}

void record_date(int d) {
  g.date = d;
  // Rows from here on may be walked ahead: exits to come are recorded at
  // this date or later.
  if (g.ahead) {
    if (g.settle) g.lookahead->settle();
    g.lookahead->bound(d);
  }
}

void record_entry(int sid, double position_sid, int has_entry_trasnaction) {
  run_void("pelmora.core.swaylen.record_entry", [&] {
    set_item_long(g.entry, sid, g.date);
    set_item_double(g.position, sid, position_sid);
    set_item_long(g.entry_trasnaction, sid, has_entry_trasnaction);
    if (g.ahead) {
      const auto it = g.pos2price.find(sid);
      const ExcursionTrade trade{it == g.pos2price.end() ? 0 : it->second, g.date, 0,
                                position_sid > 0, has_entry_trasnaction != 0, false};
      try {
        g.lookahead->entered(sid, trade);
      } catch (const std::bad_alloc&) {
        // Not walked ahead: the array is computed at the exit.
      }
    }
  });
}

void record_exit(int sid, int has_exit_trasnaction) {
  run_void("pelmora.core.swaylen.record_exit", [&] {
    Ref exit_row(py::checked(PyLong_FromLong(g.date)));
    append_trade(sid, exit_row.get(), g.date, has_exit_trasnaction);
  });
}

PyObject* end_analysis(std::map<int, double>& pos) {
  return py::guarded("pelmora.core.swaylen.end_analysis", [&]() -> PyObject* {
    struct Stop {
      ~Stop() { stop_lookahead(); }
    } stop_after;
    Ref open_row(py::checked(PyLong_FromLong(-1)));
    for (const auto& [sid, size] : pos) {
      if (size == 0) continue;  // a NaN size counts as held
      append_trade(sid, open_row.get(), g.date, 0);
    }
    Py_RETURN_NONE;
  });
}

// --- module ---------------------------------------------------------------------

bool publish(PyObject* module) {
  Ref table(PyDict_New());
  if (!table) return false;
  auto put = [&](const char* name, void* ptr, const char* sig) {
    Ref cap(PyCapsule_New(ptr, sig, nullptr));
    return cap && PyDict_SetItemString(table.get(), name, cap.get()) == 0;
  };
  using namespace pelmora::api;
  if (!put(kEntryName, &g.entry, kArraySig) || !put(kPositionName, &g.position, kArraySig) ||
      !put(kStartAnalysisName, reinterpret_cast<void*>(&start_analysis), kStartAnalysisSig) ||
      !put(kRecordDateName, reinterpret_cast<void*>(&record_date), kRecordDateSig) ||
      !put(kRecordEntryName, reinterpret_cast<void*>(&record_entry), kRecordEntrySig) ||
      !put(kRecordExitName, reinterpret_cast<void*>(&record_exit), kRecordExitSig) ||
      !put(kEndAnalysisName, reinterpret_cast<void*>(&end_analysis), kEndAnalysisSig)) {
    return false;
  }
  return PyModule_AddObjectRef(module, kCapsuleDictName, table.get()) == 0;
}

int exec_module(PyObject* module) {
  if (py::import_numpy() < 0) return -1;
  g.n_trades = py::intern("trades");
  g.n_trade_positions = py::intern("trade_positions");
  g.n_swaylen = py::intern("swaylen");
  g.n_clear = py::intern("clear");
  g.n_org_np = py::intern("org_np");
  g.n_lookahead_rows = py::intern("_lookahead_rows");
  g.n_lookahead_settle = py::intern("_lookahead_settle");
  g.n_zeros = py::intern("zeros");
  if (!g.n_trades || !g.n_trade_positions || !g.n_swaylen || !g.n_clear) return -1;
  if (!publish(module)) return -1;
  Ref np(PyImport_ImportModule("numpy"));
  if (!np || PyModule_AddObjectRef(module, "org_np", np.get()) != 0) return -1;

  npy_intp empty2[2] = {0, 0};
  Ref p(PyArray_ZEROS(2, empty2, NPY_DOUBLE, 0));
  Ref c(PyArray_ZEROS(2, empty2, NPY_DOUBLE, 0));
  if (!p || !c) return -1;
  try {
    g.price_buf.acquire(p.get(), py::Elem::Float64, 2);
    g.close_buf.acquire(c.get(), py::Elem::Float64, 2);
  } catch (const Failure& f) {
    py::raise(f);
    return -1;
  }
  g.price = std::move(p);
  g.close = std::move(c);
  for (PyObject* name : {g.n_trades, g.n_trade_positions, g.n_swaylen}) {
    Ref lst(PyList_New(0));
    if (!lst || PyModule_AddObjectRef(module, PyUnicode_AsUTF8(name), lst.get()) != 0) return -1;
  }
  npy_intp zero = 0;
  auto zeros = [&](int type_num, PyArrayObject*& slot) {
    PyObject* a = PyArray_ZEROS(1, &zero, type_num, 0);
    if (!a) return false;
    Py_XDECREF(slot);
    slot = reinterpret_cast<PyArrayObject*>(a);
    return true;
  };
  if (!zeros(NPY_INT64, g.entry) || !zeros(NPY_DOUBLE, g.position) ||
      !zeros(NPY_INT64, g.entry_trasnaction)) {
    return -1;
  }
  g.pos2price.clear();
  g.fee_ratio = 0.0;
  g.tax_ratio = 0.0;
  g.window = 0;
  g.window_step = 0;
  g.date = 0;
  PyObject* dict = PyModule_GetDict(module);
  Py_INCREF(dict);
  Py_XDECREF(g.module_dict);
  g.module_dict = dict;
  return 0;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pelmora.core.swaylen",
    "Per-trade excursion analysis (MAE/MFE, drawdown, rows in profit, return).\n\n"
    "Results of the last run: `trades`, `trade_positions`, `swaylen`.",
    0,
    nullptr,
    py::module_slots<exec_module>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelmora::swaylen

PyMODINIT_FUNC PyInit_swaylen(void) { return PyModuleDef_Init(&pelmora::swaylen::module_def); }
