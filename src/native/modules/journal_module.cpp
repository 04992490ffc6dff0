// pelmora.core.journal: the run journal. `run` takes backtest_'s parameters,
// runs the same engine with the interpreter lock released from the first row
// to the last and returns everything the run did in a dict of arrays;
// `run_many` runs variants of one set of inputs on native threads.
//
// Nothing here is process-wide: each run owns its engine, journal and
// buffers, and only ever reads its inputs. While a run works without the
// lock, a weak reference pins every input array so that nobody can resize it
// (NumPy refuses to resize a weakly referenced array), and the buffers hold
// the arrays themselves.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <numpy/arrayobject.h>
#include <numpy/arrayscalars.h>
#include <sched.h>

#include <atomic>
#include <climits>
#include <map>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "boundary/converters.hpp"
#include "boundary/engine_hooks.hpp"
#include "boundary/entry.hpp"
#include "boundary/module_support.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"
#include "boundary/pyviews.hpp"
#include "boundary/report.hpp"
#include "boundary/run_args.hpp"
#include "core/engine.hpp"
#include "core/journal.hpp"

namespace pelmora::journal {
namespace {

using py::Ref;

constexpr const char* kRun = "pelmora.core.journal.run";
constexpr const char* kRunMany = "pelmora.core.journal.run_many";
constexpr int kFlags = 2;
const char* const kFlagNames[kFlags] = {"positions", "excursions"};
constexpr int kAllNames = py::kRunTotal + kFlags;

const char* const* all_names() {
  static const char* names[kAllNames];
  for (int i = 0; i < py::kRunTotal; ++i) names[i] = py::kRunParameterNames[i];
  for (int i = 0; i < kFlags; ++i) names[py::kRunTotal + i] = kFlagNames[i];
  return names;
}

// --- labels for messages -------------------------------------------------------
// Only a failing run formats a label; it takes the lock for that moment. A
// Python exception raised while formatting is kept here until the run is
// back under the lock.
class LockingText final : public MessageHooks {
 public:
  explicit LockingText(View1D<PyObject*> labels) : labels_(labels) {}
  ~LockingText() {
    if (saved_type_ || saved_value_ || saved_tb_) {
      PyGILState_STATE s = PyGILState_Ensure();
      Py_XDECREF(saved_type_);
      Py_XDECREF(saved_value_);
      Py_XDECREF(saved_tb_);
      PyGILState_Release(s);
    }
  }

  std::string symbol_text(int sid) override {
    return locked([&] {
      Ref label(py::object_at(labels_, sid));
      return py::format_symbol(label.get());
    });
  }
  std::string float_text(double value) override {
    return locked([&] { return py::float_repr(value); });
  }
  // Under the lock: puts back the exception a formatting step raised.
  void restore() {
    if (saved_type_) PyErr_Restore(saved_type_, saved_value_, saved_tb_);
    saved_type_ = saved_value_ = saved_tb_ = nullptr;
  }

 private:
  template <class Fn>
  std::string locked(Fn&& fn) {
    PyGILState_STATE s = PyGILState_Ensure();
    try {
      std::string text = fn();
      PyGILState_Release(s);
      return text;
    } catch (const Failure& f) {
      if (f.kind == ErrorKind::Pending) {
        Py_XDECREF(saved_type_);
        Py_XDECREF(saved_value_);
        Py_XDECREF(saved_tb_);
        PyErr_Fetch(&saved_type_, &saved_value_, &saved_tb_);
      }
      PyGILState_Release(s);
      throw;
    }
  }

  View1D<PyObject*> labels_;
  PyObject* saved_type_ = nullptr;
  PyObject* saved_value_ = nullptr;
  PyObject* saved_tb_ = nullptr;
};

// --- the report ------------------------------------------------------------------

class JournalReportHooks final : public py::ReportHooks {
 public:
  explicit JournalReportHooks(bool stop_trading) : stop_trading_(stop_trading) {}
  bool stop_trading() override { return stop_trading_; }
  PyObject* normalize(PyObject* weights, PyObject* limit) override {
    return py::normalize_weights(weights, limit);
  }

 private:
  bool stop_trading_;
};

// --- one prepared run --------------------------------------------------------------

// Weak references to every input array and the arrays whose memory it views.
void pin(PyObject* obj, std::vector<Ref>& pins) {
  while (obj != nullptr && obj != Py_None) {
    PyObject* w = PyWeakref_NewRef(obj, nullptr);
    if (w == nullptr) {
      PyErr_Clear();  // not weakly referable: an exporter that cannot resize while exported
    } else {
      pins.emplace_back(w);
    }
    obj = PyArray_Check(obj) ? PyArray_BASE(reinterpret_cast<PyArrayObject*>(obj)) : nullptr;
  }
}

struct PreparedRun {
  py::RunArguments args;
  RunInputs inputs;
  JournalOptions jopt;
  Ref creturn;
  std::vector<Ref> pins;
};

// Everything that needs the lock before a run: conversions, the column map,
// the equity array and the pins. Throws Failure.
int usable_cpus();
void check_label_counts(PyObject* price_columns, PyObject* pos_columns);

std::unique_ptr<PreparedRun> prepare(PyObject* const* raw, bool positions, bool excursions,
                                     const std::map<int, int>* shared_map) {
  auto p = std::make_unique<PreparedRun>();
  // Pinned before anything else: the conversions below may run Python code
  // (an option's __float__, a label's encode, a truth test), and once a view
  // is taken nothing may move the memory under it.
  for (int i = 0; i < py::kRunRequired; ++i) pin(raw[i], p->pins);
  if (raw[py::param::delisting_bars] != nullptr) pin(raw[py::param::delisting_bars], p->pins);
  py::RunArguments& a = p->args;
  py::convert_run_arguments(raw, HUGE_VAL, &PyArray_Type, a);
  p->inputs = py::make_run_inputs(a);
  if (shared_map) {
    p->inputs.pos2price = *shared_map;
  } else {
    check_label_counts(a.arrays[py::param::price_columns], a.arrays[py::param::pos_columns]);
    p->inputs.pos2price =
        py::map_columns(a.arrays[py::param::price_columns], a.arrays[py::param::pos_columns]);
  }
  const npy_intp n_rows = p->inputs.price_index.size;
  p->creturn.reset(py::checked(PyArray_SimpleNew(1, &n_rows, NPY_DOUBLE)));
  JournalOptions& j = p->jopt;
  j.window = a.window;
  j.window_step = a.window_step;
  j.split_on_resize = !a.options.retain_cost_when_rebalance && a.periodically_rebalance;
  j.stop_trading = py::to_bool(a.stop_trading);
  j.positions = positions;
  j.excursions = excursions;
  j.close_missing = a.arrays[py::param::close_values] == Py_None;
  j.n_stocks = py::pos_columns_view(a).size;
  // A single run may use a second core for its excursion arrays when it is
  // big enough to repay starting a thread; the variants of run_many already
  // share the cores among themselves.
  constexpr double kHelperCells = 1 << 18;
  j.excursion_thread = shared_map == nullptr &&
                       static_cast<double>(p->inputs.price_index.size) *
                               static_cast<double>(p->inputs.pos_values.cols) >=
                           kHelperCells &&
                       usable_cpus() > 1;
  return p;
}

// The part of a run that needs no lock. Returns false with `failure` set.
struct Outcome {
  std::unique_ptr<Journal> journal;
  std::unique_ptr<Engine> engine;
  bool ok = false;
  bool no_memory = false;
  Failure failure{ErrorKind::Pending, {}, {}};
};

void execute(PreparedRun& p, LockingText& text, Outcome& out) {
  try {
    out.journal = std::make_unique<Journal>(p.inputs, p.args.options, p.jopt);
    out.engine = std::make_unique<Engine>(p.inputs, p.args.options, *out.journal, text,
                                          out.journal.get());
    out.engine->setup();
    if (p.jopt.n_stocks > INT_MAX) {
      fail(ErrorKind::OverflowError, "value too large to convert to int");
    }
    double* cr = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(p.creturn.get())));
    out.engine->run_rows(cr);
    out.journal->finish(out.engine->state().pos);
    out.ok = true;
  } catch (const Failure& f) {
    out.failure = f;
    // Trades that exited before the failure may still be waiting for their
    // excursion arrays; a failure among them happened first.
    try {
      if (out.journal) out.journal->flush_excursions();
    } catch (const Failure& earlier) {
      out.failure = earlier;
    } catch (const std::bad_alloc&) {
    }
  } catch (const std::bad_alloc&) {
    out.no_memory = true;
  }
}

// --- results as Python objects -------------------------------------------------------

constexpr const char* kBufferCapsule = "pelmora.core.journal.buffer";

void free_buffer(PyObject* capsule) {
  auto* b = static_cast<ColumnBuffer*>(PyCapsule_GetPointer(capsule, kBufferCapsule));
  if (b == nullptr) return;
  release_buffer(*b);
  delete b;
}

// The column's buffer becomes the array's memory (no copy); the array frees
// it through a capsule base.
template <class T>
PyObject* array_of(Column<T>& c, int type_num, int ndim = 1, npy_intp width = 0) {
  npy_intp dims[2] = {static_cast<npy_intp>(c.size()), width};
  if (ndim == 2) dims[0] = width ? static_cast<npy_intp>(c.size()) / width : 0;
  if (c.empty()) return py::checked(PyArray_SimpleNew(ndim, dims, type_num));
  auto* buffer = new ColumnBuffer(c.release());
  Ref base(PyCapsule_New(buffer, kBufferCapsule, free_buffer));
  if (!base) {
    release_buffer(*buffer);
    delete buffer;
    fail_pending();
  }
  Ref a(py::checked(PyArray_SimpleNewFromData(ndim, dims, type_num, buffer->data)));
  if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(a.get()), base.release()) != 0) {
    fail_pending();
  }
  return a.release();
}

void put(PyObject* dict, const char* key, PyObject* owned) {
  Ref value(owned);
  if (PyDict_SetItemString(dict, key, value.get()) != 0) fail_pending();
}

PyObject* columns(std::initializer_list<std::pair<const char*, PyObject*>> items) {
  Ref d(py::checked(PyDict_New()));
  for (const auto& [k, v] : items) put(d.get(), k, v);
  return d.release();
}

std::int64_t excursion_width(const Journal& j, const JournalOptions& o) {
  if (j.excursion_length() >= 0) return j.excursion_length();
  try {
    return std::max<std::int64_t>(excursion_array_size(o.window, o.window_step), 0);
  } catch (const Failure&) {
    return 0;
  }
}

PyObject* result_dict(PreparedRun& p, Outcome& o) {
  Journal& j = *o.journal;
  const npy_intp n_trades = static_cast<npy_intp>(j.trades.sid.size());
  Ref out(py::checked(PyDict_New()));
  if (PyDict_SetItemString(out.get(), "creturn", p.creturn.get()) != 0) fail_pending();
  put(out.get(), "cash", array_of(j.cash, NPY_DOUBLE));
  put(out.get(), "rebalance_rows", array_of(j.rebalance_rows, NPY_INT64));
  FillColumns& f = j.fills;
  put(out.get(), "fills",
      columns({{"row", array_of(f.row, NPY_INT64)}, {"sid", array_of(f.sid, NPY_INT64)},
               {"reason", array_of(f.reason, NPY_INT8)}, {"before", array_of(f.before, NPY_DOUBLE)},
               {"after", array_of(f.after, NPY_DOUBLE)}, {"price", array_of(f.price, NPY_DOUBLE)},
               {"fee", array_of(f.fee, NPY_DOUBLE)}, {"tax", array_of(f.tax, NPY_DOUBLE)},
               {"suspended", array_of(f.suspended, NPY_BOOL)}}));
  TradeColumns& t = j.trades;
  put(out.get(), "trades",
      columns({{"sid", array_of(t.sid, NPY_INT64)},
               {"entry_row", array_of(t.entry_row, NPY_INT64)},
               {"exit_row", array_of(t.exit_row, NPY_INT64)},
               {"position", array_of(t.position, NPY_DOUBLE)},
               {"entry_value", array_of(t.entry_value, NPY_DOUBLE)},
               {"exit_value", array_of(t.exit_value, NPY_DOUBLE)},
               {"cost", array_of(t.cost, NPY_DOUBLE)}, {"pnl", array_of(t.pnl, NPY_DOUBLE)},
               {"exit_reason", array_of(t.exit_reason, NPY_INT8)},
               {"entry_fill", array_of(t.entry_fill, NPY_INT64)},
               {"exit_fill", array_of(t.exit_fill, NPY_INT64)}}));
  if (p.jopt.excursions) {
    const npy_intp width = static_cast<npy_intp>(excursion_width(j, p.jopt));
    if (j.excursions.empty()) {
      npy_intp dims[2] = {n_trades, width};
      put(out.get(), "excursions", py::checked(PyArray_SimpleNew(2, dims, NPY_DOUBLE)));
    } else {
      put(out.get(), "excursions", array_of(j.excursions, NPY_DOUBLE, 2, width));
    }
  } else {
    put(out.get(), "excursions", Py_NewRef(Py_None));
  }
  if (p.jopt.positions) {
    PositionColumns& q = j.positions;
    put(out.get(), "positions",
        columns({{"row", array_of(q.row, NPY_INT64)}, {"sid", array_of(q.sid, NPY_INT64)},
                 {"value", array_of(q.value, NPY_DOUBLE)}}));
  } else {
    put(out.get(), "positions", Py_NewRef(Py_None));
  }
  JournalReportHooks report_hooks(p.jopt.stop_trading);
  put(out.get(), "report",
      py::build_report(o.engine->state(), p.inputs, p.args.options.position_limit, report_hooks));
  return out.release();
}

// Under the lock, after a run: the result dict, or null with the run's
// exception set.
PyObject* finish(PreparedRun& p, LockingText& text, Outcome& o) {
  if (o.no_memory) {
    PyErr_NoMemory();
    py::add_traceback(kRun);
    return nullptr;
  }
  if (!o.ok) {
    text.restore();
    py::raise(o.failure);
    py::add_traceback(kRun);
    return nullptr;
  }
  return py::guarded(kRun, [&] { return result_dict(p, o); });
}

// One whole run from its raw arguments, called under the lock: prepared
// with it, run and torn down without it, converted with it again. Returns
// the result dict, or null with the run's exception set.
PyObject* run_locked(PyObject* const* raw, bool positions, bool excursions,
                     const std::map<int, int>* shared_map) {
  std::unique_ptr<PreparedRun> p;
  PyObject* r = py::guarded(kRun, [&]() -> PyObject* {
    p = prepare(raw, positions, excursions, shared_map);
    return Py_NewRef(Py_None);
  });
  if (r == nullptr) return nullptr;
  Py_DECREF(r);
  LockingText text(py::pos_columns_view(p->args));
  Outcome o;
  Py_BEGIN_ALLOW_THREADS
  execute(*p, text, o);
  Py_END_ALLOW_THREADS
  PyObject* result = finish(*p, text, o);
  Py_BEGIN_ALLOW_THREADS
  o.engine.reset();
  o.journal.reset();  // also stops its helper thread
  Py_END_ALLOW_THREADS
  return result;  // buffers and pins go with `p`, under the lock
}

// --- run -------------------------------------------------------------------------------

bool flag_arguments(PyObject* const* raw, bool* flags) {
  for (int i = 0; i < kFlags; ++i) {
    flags[i] = true;
    if (raw[py::kRunTotal + i] == nullptr) continue;
    const int t = PyObject_IsTrue(raw[py::kRunTotal + i]);
    if (t < 0) return false;
    flags[i] = t == 1;
  }
  return true;
}

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* raw[kAllNames];
  static const char* const* names = all_names();
  if (!py::parse_arguments("run", names, py::kRunRequired, kAllNames, args, nargs, kwnames, raw,
                           py::kRunTotal)) {
    return nullptr;
  }
  bool flags[kFlags];
  if (!flag_arguments(raw, flags)) return nullptr;
  return run_locked(raw, flags[0], flags[1], nullptr);
}

PyObject* run_entry_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return run(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

extern const char kRunDoc[];
const char kRunDoc[] =
    "Run a backtest with the interpreter lock released and return everything it did.\n\n"
    "Takes backtest_'s 25 parameters (same names, order, defaults and errors) and the\n"
    "keyword-only switches `positions` and `excursions`. Returns a dict: creturn, cash,\n"
    "rebalance_rows, fills, trades, excursions, positions, report. Module state of\n"
    "runvane and swaylen is never touched.";

py::EntryInfo g_run_info{"run", "pelmora.core.journal", kRunDoc, run_entry_call, kFlagNames,
                         kFlags, HUGE_VAL};

// --- run_many ----------------------------------------------------------------------------

int usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

int option_index(PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (int i = py::kRunRequired; i < py::kRunTotal; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, py::kRunParameterNames[i]) == 0) return i;
  }
  return -1;
}

// The fetched exception of a failed variant, as an instance with its traceback.
PyObject* fetch_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value ? value : Py_NewRef(Py_None);
}

// The code objects of the signal handlers written in Python. Only a module
// already imported is asked (an import would run Python code): without
// _signal no handler can have been installed.
std::vector<Ref> signal_handler_codes() {
  std::vector<Ref> codes;
  Ref name(PyUnicode_FromString("_signal"));
  Ref module(name ? PyImport_GetModule(name.get()) : nullptr);
  Ref valid(module ? PyObject_CallMethod(module.get(), "valid_signals", nullptr) : nullptr);
  Ref it(valid ? PyObject_GetIter(valid.get()) : nullptr);
  while (it) {
    Ref sig(PyIter_Next(it.get()));
    if (!sig) break;
    Ref handler(PyObject_CallMethod(module.get(), "getsignal", "O", sig.get()));
    if (!handler) {
      PyErr_Clear();
      continue;
    }
    PyObject* fn = handler.get();
    Ref call;
    if (!PyFunction_Check(fn) && !PyMethod_Check(fn)) {
      call.reset(PyObject_GetAttrString(fn, "__call__"));  // a callable object
      fn = call.get();
      if (fn == nullptr) PyErr_Clear();
    }
    if (fn != nullptr && PyMethod_Check(fn)) fn = PyMethod_GET_FUNCTION(fn);
    if (fn != nullptr && PyFunction_Check(fn)) codes.push_back(Ref::borrow(PyFunction_GET_CODE(fn)));
  }
  PyErr_Clear();  // a signal module we cannot ask leaves only the exception types to go by
  return codes;
}

// Whether `exc` came from a signal rather than from the variant: an
// interrupt or an exit (anything that is not an Exception), or an exception
// whose traceback passes through a signal handler (the main thread runs
// pending handlers inside whatever Python code a conversion calls).
bool raised_by_signal(PyObject* exc) {
  if (exc == nullptr || !PyExceptionInstance_Check(exc)) return false;
  if (!PyObject_TypeCheck(exc, reinterpret_cast<PyTypeObject*>(PyExc_Exception))) return true;
  Ref tb(PyException_GetTraceback(exc));
  if (!tb || !PyTraceBack_Check(tb.get())) return false;
  const std::vector<Ref> codes = signal_handler_codes();
  if (codes.empty()) return false;
  for (auto* t = reinterpret_cast<PyTracebackObject*>(tb.get()); t != nullptr; t = t->tb_next) {
    if (t->tb_frame == nullptr) continue;
    Ref code(reinterpret_cast<PyObject*>(PyFrame_GetCode(t->tb_frame)));
    for (const Ref& c : codes) {
      if (c.get() == code.get()) return true;
    }
  }
  return false;
}

// One variant's 25 raw arguments as strong references, taken when the call
// starts: neither the `arrays` dict nor the variant dicts are read again, so
// code that edits them (an option's conversion hook, another thread) cannot
// free what a variant still reads.
struct VariantArgs {
  Ref values[py::kRunTotal];  // null: the option was not given
  Ref error;                  // the exception of a malformed variant
};

// Takes variant `k`'s arguments from its dict. Sets an exception and returns
// false when the variant is malformed.
bool variant_arguments(const Ref* base, PyObject* variant, VariantArgs& out, std::int64_t k) {
  for (int i = 0; i < py::kRunTotal; ++i) out.values[i] = Ref::borrow(base[i].get());
  if (!PyDict_Check(variant)) {
    PyErr_Format(PyExc_TypeError, "variant %lld must be a dict, not %.200s",
                 static_cast<long long>(k), Py_TYPE(variant)->tp_name);
    return false;
  }
  PyObject* pos_values = base[py::param::pos_values].get();
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
      out.values[py::param::pos_values] = Ref::borrow(value);
      continue;
    }
    Ref held_key = Ref::borrow(key);  // its repr may run code that edits the dict
    PyErr_Format(PyExc_TypeError, "variant %lld: unexpected key %R", static_cast<long long>(k),
                 held_key.get());
    return false;
  }
  return true;
}

struct ManyJob {
  PyObject* results;  // list, one slot per variant
  std::vector<VariantArgs>* args;
  const std::map<int, int>* map;
  bool positions, excursions;
  std::atomic<Py_ssize_t> next{0};
  // Set, under the lock, by the first signal-raised exception: no variant
  // starts after it and the call raises it.
  std::atomic<bool> aborted{false};
  Ref abort_with;
};

// Stores in slot k the result of variant k or the exception it raised. Runs
// on a native thread; takes the lock only around conversions. An exception
// that a signal raised belongs to the whole call, never to a slot.
void run_variant(ManyJob& job, Py_ssize_t k) {
  PyGILState_STATE s = PyGILState_Ensure();
  if (!job.aborted.load()) {
    PyObject* result = nullptr;
    VariantArgs& v = (*job.args)[static_cast<std::size_t>(k)];
    // The main thread runs the handlers of signals that came while it ran
    // without the lock (elsewhere this returns 0 at once).
    const bool signalled = PyErr_CheckSignals() < 0;
    if (!signalled) {
      if (v.error) {
        result = v.error.release();
      } else {
        PyObject* raw[py::kRunTotal];
        for (int i = 0; i < py::kRunTotal; ++i) raw[i] = v.values[i].get();
        result = run_locked(raw, job.positions, job.excursions, job.map);
      }
    }
    if (result == nullptr) {
      Ref exc(fetch_exception());
      if (signalled || raised_by_signal(exc.get())) {
        if (!job.aborted.exchange(true)) job.abort_with = std::move(exc);
      } else {
        result = exc.release();
      }
    }
    if (result != nullptr) PyList_SET_ITEM(job.results, k, result);
  }
  PyGILState_Release(s);
}

// Labels are walked one by one in Python to map the columns, and a run
// indexes stocks with C ints: a label array longer than that is refused by
// its length first (a broadcast view of a single label can be any length).
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

PyObject* run_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"arrays", "variants", "threads", "positions", "excursions"};
  PyObject* a[5];
  if (!py::parse_arguments("run_many", names, 2, 5, args, nargs, kwnames, a, 2)) return nullptr;
  return py::guarded(kRunMany, [&]() -> PyObject* {
    PyObject* arrays = a[0];
    if (!PyDict_Check(arrays)) {
      PyErr_Format(PyExc_TypeError, "run_many() argument 'arrays' must be a dict, not %.200s",
                   Py_TYPE(arrays)->tp_name);
      return nullptr;
    }
    // Strong references to the arrays before any Python code of the call runs.
    Ref base[py::kRunTotal];
    {
      PyObject *key, *value;
      Py_ssize_t pos = 0;
      while (PyDict_Next(arrays, &pos, &key, &value)) {
        int found = -1;
        for (int i = 0; i < py::kRunTotal && PyUnicode_Check(key); ++i) {
          if ((i < py::kRunRequired || i == py::kRunTotal - 1) &&
              PyUnicode_CompareWithASCIIString(key, py::kRunParameterNames[i]) == 0) {
            found = i;
          }
        }
        if (found < 0) {
          Ref held_key = Ref::borrow(key);
          PyErr_Format(PyExc_TypeError,
                       "run_many() argument 'arrays' has an unexpected key %R (it takes the 11 "
                       "arrays and delisting_bars; options go in the variants)",
                       held_key.get());
          return nullptr;
        }
        base[found] = Ref::borrow(value);
      }
      for (int i = 0; i < py::kRunRequired; ++i) {
        if (!base[i]) {
          PyErr_Format(PyExc_TypeError, "run_many() argument 'arrays' is missing '%s'",
                       py::kRunParameterNames[i]);
          return nullptr;
        }
      }
    }
    Ref variants(PySequence_List(a[1]));
    if (!variants) {
      // Only "not iterable" is the argument's fault; whatever the iteration
      // itself raised (an interrupt included) goes out as it is.
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "run_many() argument 'variants' must be an iterable of dicts, not %.200s",
                   Py_TYPE(a[1])->tp_name);
      return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(variants.get());
    int threads = usable_cpus();
    if (a[2] != nullptr && a[2] != Py_None) {
      if (!PyLong_Check(a[2]) || PyBool_Check(a[2])) {
        PyErr_Format(PyExc_TypeError, "threads must be an int or None, not %.200s",
                     Py_TYPE(a[2])->tp_name);
        return nullptr;
      }
      const long t = PyLong_AsLong(a[2]);
      if (t == -1 && PyErr_Occurred()) return nullptr;
      if (t < 1) {
        PyErr_Format(PyExc_ValueError, "threads must be at least 1, got %ld", t);
        return nullptr;
      }
      threads = static_cast<int>(std::min<long>(t, 1024));
    }
    bool flags[kFlags] = {true, true};
    for (int i = 0; i < kFlags; ++i) {
      if (a[3 + i] != nullptr) flags[i] = py::to_bool(a[3 + i]);
    }
    // Every slot is set by the thread that runs its variant.
    Ref results(py::checked(PyList_New(n)));
    if (n == 0) return results.release();

    // Every variant's arguments, taken now (the list holds the dicts; the
    // dicts' contents are copied as strong references).
    std::vector<VariantArgs> variant_args(static_cast<std::size_t>(n));
    for (Py_ssize_t k = 0; k < n; ++k) {
      VariantArgs& v = variant_args[static_cast<std::size_t>(k)];
      if (!variant_arguments(base, PyList_GET_ITEM(variants.get(), k), v, k)) {
        v.error.reset(fetch_exception());
        if (raised_by_signal(v.error.get())) {
          PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(v.error.get())), v.error.get());
          return nullptr;
        }
      }
    }

    // The column map depends only on the labels, which no variant changes.
    check_label_counts(base[py::param::price_columns].get(), base[py::param::pos_columns].get());
    std::map<int, int> shared_map =
        py::map_columns(base[py::param::price_columns].get(), base[py::param::pos_columns].get());
    ManyJob job{results.get(), &variant_args, &shared_map, flags[0], flags[1]};
    const int n_threads = static_cast<int>(std::min<Py_ssize_t>(threads, n));
    auto worker = [&job, n] {
      for (Py_ssize_t k = job.next++; k < n && !job.aborted.load(); k = job.next++) {
        run_variant(job, k);
      }
    };
    std::vector<std::thread> pool;
    Py_BEGIN_ALLOW_THREADS
    try {
      for (int t = 1; t < n_threads; ++t) pool.emplace_back(worker);
    } catch (const std::system_error&) {
      // Fewer threads than asked: the ones started and this one share the work.
    }
    worker();
    for (std::thread& th : pool) th.join();
    Py_END_ALLOW_THREADS
    if (job.abort_with) {
      PyObject* exc = job.abort_with.get();
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
      return nullptr;
    }
    // A signal that came while this thread waited for the others is the
    // call's: its handler runs now, and what it raises goes out of the call.
    if (PyErr_CheckSignals() < 0) return nullptr;
    return results.release();
  });
}

// --- module ---------------------------------------------------------------------------------

PyObject* name_tuple(const char* const* names, int n) {
  Ref t(PyTuple_New(n));
  if (!t) return nullptr;
  for (int i = 0; i < n; ++i) {
    PyObject* s = PyUnicode_InternFromString(names[i]);
    if (!s) return nullptr;
    PyTuple_SET_ITEM(t.get(), i, s);
  }
  return t.release();
}

PyMethodDef methods[] = {
    {"run_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(run_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "run_many($module, /, arrays, variants, *, threads=None, positions=True, excursions=True)\n"
     "--\n\n"
     "Run variants of one set of inputs on native threads, the interpreter lock released.\n\n"
     "`arrays`: the 11 arrays (and optionally delisting_bars) by name; `variants`: dicts\n"
     "overriding options and optionally pos_values. Returns one result per variant, in\n"
     "order; a variant that fails holds the exception instance it raised. The values of\n"
     "both dicts are taken when the call starts. An interrupt (KeyboardInterrupt,\n"
     "SystemExit, or what a signal handler raises) leaves the whole call."},
    {nullptr, nullptr, 0, nullptr},
};

int exec_module(PyObject* module) {
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  Ref entry(py::make_run_entry(&g_run_info));
  if (!entry || PyModule_AddObjectRef(module, "run", entry.get()) != 0) return -1;
  Ref reasons(name_tuple(kExitReasonNames, kExitReasonCount));
  Ref fields(name_tuple(kExcursionFields, kExcursionBlock));
  if (!reasons || PyModule_AddObjectRef(module, "REASONS", reasons.get()) != 0) return -1;
  if (!fields || PyModule_AddObjectRef(module, "EXCURSION_FIELDS", fields.get()) != 0) return -1;
  return 0;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pelmora.core.journal",
    "The run journal: run (one run, the interpreter lock released, every fill, trade,\n"
    "holding and the report) and run_many (variants on native threads).",
    0,
    methods,
    py::module_slots<exec_module>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelmora::journal

PyMODINIT_FUNC PyInit_journal(void) { return PyModuleDef_Init(&pelmora::journal::module_def); }
