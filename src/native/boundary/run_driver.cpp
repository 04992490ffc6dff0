#include "boundary/run_driver.hpp"

#include <atomic>
#include <algorithm>
#include <climits>

#include "boundary/arguments.hpp"
#include "boundary/engine_hooks.hpp"
#include "boundary/ndarray_out.hpp"
#include "boundary/numpy.hpp"
#include "boundary/pyerrors.hpp"
#include "core/parallel.hpp"

namespace pelmora::py {

// --- prepare ---------------------------------------------------------------------

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

double* PreparedRun::creturn_data() const {
  return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(creturn.get())));
}

void prepare(PyObject* const* raw, const Preparation& how, PreparedRun& p) {
  if (how.pin_inputs) {
    // Pinned before anything else: the conversions below may run Python code
    // (an option's __float__, a label's encode, a truth test), and once a view
    // is taken nothing may move the memory under it.
    for (int i = 0; i < kRunRequired; ++i) pin(raw[i], p.pins);
    if (raw[param::delisting_bars] != nullptr) pin(raw[param::delisting_bars], p.pins);
  }
  RunArguments& a = p.args;
  convert_run_arguments(raw, how.inf_default, &PyArray_Type, a);
  for (int i = 0; i < kRunRequired; ++i) p.views[i] = &a.views[i];
  p.views[kRunRequired] = &a.delisting;
  if (how.converted) how.converted(a);
  p.inputs = make_run_inputs(a);
  if (how.columns != nullptr) {
    p.inputs.columns = *how.columns;
  } else {
    if (how.check_label_counts) {
      check_label_counts(a.arrays[param::price_columns], a.arrays[param::pos_columns]);
    }
    p.inputs.columns =
        ColumnMap(map_columns(a.arrays[param::price_columns], a.arrays[param::pos_columns]));
  }
  const npy_intp n_rows = p.inputs.price_index.size;
  p.creturn.reset(how.pooled_creturn ? pooled_array(n_rows)
                                     : checked(PyArray_SimpleNew(1, &n_rows, NPY_DOUBLE)));
  // A label's encode ran Python code since the views were taken.
  check_unmoved(p.views, kRunRequired + 1);
}

// --- the lock-taking text hooks ------------------------------------------------------

LockingText::~LockingText() {
  if (saved_type_ || saved_value_ || saved_tb_) {
    PyGILState_STATE s = PyGILState_Ensure();
    Py_XDECREF(saved_type_);
    Py_XDECREF(saved_value_);
    Py_XDECREF(saved_tb_);
    PyGILState_Release(s);
  }
}

std::string LockingText::symbol_text(int sid) {
  return locked([&] {
    Ref label(object_at(labels_, sid));
    return format_symbol(label.get());
  });
}

std::string LockingText::float_text(double value) {
  return locked([&] { return float_repr(value); });
}

void LockingText::restore() {
  if (saved_type_) PyErr_Restore(saved_type_, saved_value_, saved_tb_);
  saved_type_ = saved_value_ = saved_tb_ = nullptr;
}

template <class Fn>
std::string LockingText::locked(Fn&& fn) {
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

// --- execute and finish ------------------------------------------------------------------

namespace {

// Runs `fn`, one step of a run; a failure is kept in `out`. False when the
// run failed.
template <class Fn>
bool run_step(Outcome& out, Fn&& fn) {
  try {
    fn();
    return true;
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
  return false;
}

void start(PreparedRun& p, LockingText& text, Outcome& out) {
  out.journal = std::make_unique<Journal>(p.inputs, p.args.options, p.jopt);
  out.engine = std::make_unique<Engine>(p.inputs, p.args.options, *out.journal, text,
                                        out.journal.get());
  out.engine->setup();
  if (p.jopt.n_stocks > INT_MAX) {
    fail(ErrorKind::OverflowError, "value too large to convert to int");
  }
}

void end(Outcome& out) {
  out.journal->finish(out.engine->state().pos);
  out.ok = true;
}

}  // namespace

void execute(PreparedRun& p, LockingText& text, Outcome& out) {
  run_step(out, [&] {
    start(p, text, out);
    out.engine->run_rows(p.creturn_data());
    end(out);
  });
}

namespace {

// Under the lock, after a run: the result, or null with the run's exception set.
PyObject* finish(const char* qualname, PreparedRun& p, LockingText& text, Outcome& o,
                 const std::function<PyObject*(PreparedRun&, Outcome&)>& build) {
  if (o.no_memory) {
    PyErr_NoMemory();
    add_traceback(qualname);
    return nullptr;
  }
  if (!o.ok) {
    text.restore();
    raise(o.failure);
    add_traceback(qualname);
    return nullptr;
  }
  return guarded(qualname, [&] { return build(p, o); });
}

}  // namespace

PyObject* run_released(const char* qualname, PyObject* const* raw, const Preparation& how,
                       const std::function<void(PreparedRun&)>& configure,
                       const std::function<PyObject*(PreparedRun&, Outcome&)>& build) {
  std::unique_ptr<PreparedRun> p;
  PyObject* r = guarded(qualname, [&]() -> PyObject* {
    auto prepared = std::make_unique<PreparedRun>();
    prepare(raw, how, *prepared);
    configure(*prepared);
    p = std::move(prepared);
    return Py_NewRef(Py_None);
  });
  if (r == nullptr) return nullptr;
  Py_DECREF(r);
  LockingText text(pos_columns_view(p->args));
  Outcome o;
  Py_BEGIN_ALLOW_THREADS
  execute(*p, text, o);
  Py_END_ALLOW_THREADS
  PyObject* result = finish(qualname, *p, text, o, build);
  Py_BEGIN_ALLOW_THREADS
  o.engine.reset();
  o.journal.reset();  // also stops its helper thread
  Py_END_ALLOW_THREADS
  return result;  // buffers and pins go with `p`, under the lock
}

// --- a batch of runs over the same prices --------------------------------------------------

namespace {

struct BatchRun {
  std::unique_ptr<PreparedRun> prepared;
  std::unique_ptr<LockingText> text;
  Outcome outcome;
  bool running = false;
};

// Slot k of `results` takes `item` (a new reference).
void put(PyObject* results, std::size_t k, PyObject* item) {
  PyObject* old = PyList_GET_ITEM(results, static_cast<Py_ssize_t>(k));
  PyList_SET_ITEM(results, static_cast<Py_ssize_t>(k), item);
  Py_XDECREF(old);
}

// The exception just raised into slot k; false (the exception set again)
// when a signal raised it.
bool keep_failure(PyObject* results, std::size_t k) {
  Ref exc(fetch_exception());
  if (raised_by_signal(exc.get())) {
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return false;
  }
  put(results, k, exc.release());
  return true;
}

// Without the lock: every run of the batch walks rows [r, r + block_rows)
// before any walks the next block. A failed run stops there, the others go on.
void execute_batch(std::vector<BatchRun>& runs, std::int64_t block_rows) {
  std::int64_t n_rows = 0;
  for (BatchRun& b : runs) {
    if (!b.prepared) continue;
    b.running = run_step(b.outcome, [&] { start(*b.prepared, *b.text, b.outcome); });
    n_rows = std::max(n_rows, b.prepared->inputs.price_index.size);
  }
  for (std::int64_t r = 0; r < n_rows; r += block_rows) {
    const std::int64_t until = r + std::min(block_rows, n_rows - r);
    for (BatchRun& b : runs) {
      if (!b.running) continue;
      double* creturn = b.prepared->creturn_data();
      b.running = run_step(b.outcome, [&] { b.outcome.engine->run_rows_until(until, creturn); });
    }
  }
  for (BatchRun& b : runs) {
    if (b.running) run_step(b.outcome, [&] { end(b.outcome); });
    b.running = false;
  }
}

}  // namespace

bool run_batch_released(const char* qualname, const std::vector<PyObject* const*>& raws,
                        const Preparation& how, std::int64_t block_rows,
                        const std::function<void(std::size_t, PreparedRun&)>& configure,
                        const std::function<PyObject*(PreparedRun&, Outcome&)>& build,
                        PyObject* results) {
  std::vector<BatchRun> runs(raws.size());
  for (std::size_t k = 0; k < raws.size(); ++k) {
    if (raws[k] == nullptr) continue;
    PyObject* r = guarded(qualname, [&]() -> PyObject* {
      auto prepared = std::make_unique<PreparedRun>();
      prepare(raws[k], how, *prepared);
      configure(k, *prepared);
      runs[k].text = std::make_unique<LockingText>(pos_columns_view(prepared->args));
      runs[k].prepared = std::move(prepared);
      return Py_NewRef(Py_None);
    });
    if (r == nullptr) {
      if (!keep_failure(results, k)) return false;
      continue;
    }
    Py_DECREF(r);
  }
  Py_BEGIN_ALLOW_THREADS
  execute_batch(runs, std::max<std::int64_t>(1, block_rows));
  Py_END_ALLOW_THREADS
  bool ok = true;
  for (std::size_t k = 0; k < runs.size(); ++k) {
    BatchRun& b = runs[k];
    if (!b.prepared) continue;
    if (ok) {
      PyObject* result = finish(qualname, *b.prepared, *b.text, b.outcome, build);
      if (result != nullptr) {
        put(results, k, result);
      } else {
        ok = keep_failure(results, k);
      }
    }
    Py_BEGIN_ALLOW_THREADS
    b.outcome.engine.reset();
    b.outcome.journal.reset();
    Py_END_ALLOW_THREADS
  }
  return ok;  // buffers and pins go with `runs`, under the lock
}

// --- exceptions of runs on other threads -------------------------------------------------

PyObject* fetch_exception() {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
  Py_XDECREF(type);
  Py_XDECREF(tb);
  return value ? value : Py_NewRef(Py_None);
}

namespace {

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

}  // namespace

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

// --- runs on native threads ---------------------------------------------------------------

namespace {

struct Tasks {
  Tasks(PyObject* r, const std::function<PyObject*(std::int64_t)>& o) : results(r), one(o) {}
  PyObject* results;
  const std::function<PyObject*(std::int64_t)>& one;
  // Set, under the lock, by the first signal-raised exception: no call
  // starts after it and run_each raises it.
  std::atomic<bool> aborted{false};
  Ref abort_with;
};

// Stores in slot k the result of call k or the exception it raised. Runs on
// a native thread and takes the lock for the call.
void run_task(Tasks& t, std::int64_t k) {
  PyGILState_STATE s = PyGILState_Ensure();
  if (!t.aborted.load()) {
    PyObject* result = nullptr;
    // The main thread runs the handlers of signals that came while it ran
    // without the lock (elsewhere this returns 0 at once).
    const bool signalled = PyErr_CheckSignals() < 0;
    if (!signalled) result = t.one(k);
    if (result == nullptr) {
      Ref exc(fetch_exception());
      if (signalled || raised_by_signal(exc.get())) {
        if (!t.aborted.exchange(true)) t.abort_with = std::move(exc);
      } else {
        result = exc.release();
      }
    }
    if (result != nullptr) PyList_SET_ITEM(t.results, k, result);
  }
  PyGILState_Release(s);
}

}  // namespace

bool run_each(PyObject* results, std::int64_t n, int threads,
              const std::function<PyObject*(std::int64_t)>& one) {
  Tasks tasks(results, one);
  Py_BEGIN_ALLOW_THREADS
  run_tasks(n, threads, tasks.aborted, [&tasks](std::int64_t k) { run_task(tasks, k); });
  Py_END_ALLOW_THREADS
  if (tasks.abort_with) {
    PyObject* exc = tasks.abort_with.get();
    PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
    return false;
  }
  // A signal that came while this thread waited for the others is the
  // call's: its handler runs now, and what it raises goes out of the call.
  return PyErr_CheckSignals() >= 0;
}

}  // namespace pelmora::py
