#include "boundary/run_figures.hpp"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "boundary/numpy.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"
#include "boundary/pyviews.hpp"
#include "core/journal.hpp"
#include "core/numpy_sum.hpp"
#include "core/parallel.hpp"
#include "core/trade_figures.hpp"

namespace pelmora::py {
namespace {

constexpr Py_ssize_t kFigureArgs = 8;  // pnl, mae, gmfe, then _turnover's five
constexpr std::int64_t kFiguresInParallel = 1 << 16;  // values read, below which one thread

// The inputs (held), the outputs and the tasks of one computation of the
// figures. Built under the lock; its tasks touch no Python object.
class FiguresWork {
 public:
  // Takes the arguments' buffers and makes the turnover's output. Throws
  // Failure (the argument errors of the figures, as `entry` names them).
  FiguresWork(PyObject* const* args, Py_ssize_t nargs, const char* entry)
      : n_sums_(nargs - kFigureArgs), buffers_(static_cast<std::size_t>(nargs)) {
    std::vector<const Buffer*> taken;
    for (Py_ssize_t k = 0; k < nargs; ++k) {
      buffers_[k].acquire(args[k], k == 3 ? Elem::Int64 : Elem::Float64, 1, false);
      taken.push_back(&buffers_[k]);
    }
    pnl_ = buffers_[0].view1d<double>(), mae_ = buffers_[1].view1d<double>();
    gmfe_ = buffers_[2].view1d<double>(), rows_ = buffers_[3].view1d<std::int64_t>();
    before_ = buffers_[4].view1d<double>(), after_ = buffers_[5].view1d<double>();
    written_off_ = buffers_[6].view1d<double>(), equity_ = buffers_[7].view1d<double>();
    if (mae_.size != gmfe_.size) fail_with(entry, "the excursion columns differ in length");
    if (before_.size != rows_.size || after_.size != rows_.size ||
        written_off_.size != rows_.size) {
      fail_with(entry, "the fill columns differ in length");
    }
    npy_intp n = static_cast<npy_intp>(equity_.size);
    per_row_.reset(checked(PyArray_ZEROS(1, &n, NPY_DOUBLE, 0)));
    check_unmoved(taken.data(), taken.size());  // allocating may have run Python code
    out_ = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(per_row_.get())));
    sums_.assign(static_cast<std::size_t>(n_sums_), 0.0);
    values_ = pnl_.size + 2 * mae_.size + 4 * rows_.size;
    for (Py_ssize_t k = 0; k < n_sums_; ++k) values_ += column(k).size;
  }

  std::int64_t n_tasks() const { return 3 + n_sums_; }
  bool worth_a_thread() const { return values_ >= kFiguresInParallel; }

  // Takes tasks until none is left (from any number of threads at once).
  void work() {
    for (std::int64_t k = next_++; k < n_tasks(); k = next_++) {
      task(k);
      finished_.fetch_add(1, std::memory_order_release);
    }
  }

  // Waits until every task is done, whichever thread took it (another
  // thread asking for the result may still be in one).
  void wait_all() const {
    while (finished_.load(std::memory_order_acquire) < n_tasks()) std::this_thread::yield();
  }

  // The figures, under the lock. Throws Failure.
  PyObject* result(const char* entry) const {
    if (!rows_ok_) fail_with(entry, "a fill's row lies outside the equity's rows");
    Ref cost_sums(checked(PyTuple_New(n_sums_)));
    for (Py_ssize_t k = 0; k < n_sums_; ++k) {
      PyTuple_SET_ITEM(cost_sums.get(), k, checked(PyFloat_FromDouble(sums_[k])));
    }
    return checked(Py_BuildValue(
        "(O(LLLddd)(dd)O)", per_row_.get(), static_cast<long long>(figures_.counted), static_cast<long long>(figures_.wins),
        static_cast<long long>(figures_.losses), figures_.gains, figures_.lost, figures_.total,
        mean_mae_, mean_gmfe_, cost_sums.get()));
  }

 private:
  [[noreturn]] static void fail_with(const char* entry, const char* what) {
    fail(ErrorKind::ValueError, std::string(entry) + ": " + what);
  }

  View1D<double> column(Py_ssize_t k) const {
    return buffers_[static_cast<std::size_t>(kFigureArgs + k)].view1d<double>();
  }

  void task(std::int64_t k) {
    if (k == 0) {
      rows_ok_ = turnover_per_row(rows_, before_, after_, written_off_, equity_, out_);
    } else if (k == 1) {
      figures_ = trade_figures(pnl_);
    } else if (k == 2) {
      means_skipping_nan(mae_, gmfe_, mean_mae_, mean_gmfe_);
    } else {
      sums_[static_cast<std::size_t>(k - 3)] = numpy_sum(column(k - 3));
    }
  }

  Py_ssize_t n_sums_;
  std::vector<Buffer> buffers_;
  View1D<double> pnl_, mae_, gmfe_, before_, after_, written_off_, equity_;
  View1D<std::int64_t> rows_;
  Ref per_row_;
  double* out_ = nullptr;
  std::int64_t values_ = 0;
  std::atomic<std::int64_t> next_{0}, finished_{0};
  // Each written by its own task only, read once every task is done.
  std::vector<double> sums_;
  TradeFigures figures_;
  double mean_mae_ = 0.0, mean_gmfe_ = 0.0;
  bool rows_ok_ = true;
};

constexpr const char* kRunFigures = "_run_figures";
constexpr const char* kTask = "pelmora.core.journal._FiguresTask.result";

bool enough_arguments(const char* name, Py_ssize_t nargs) {
  if (nargs >= kFigureArgs) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes at least %zd arguments (%zd given)", name,
               kFigureArgs, nargs);
  return false;
}

// --- the task --------------------------------------------------------------------------

// A computation started on a thread of its own. The thread only ever runs
// FiguresWork::work; it is joined by result() or, at the latest, when the
// task dies, before its inputs are let go.
struct FiguresTask {
  PyObject_HEAD
  FiguresWork* work;
  pthread_t thread;
  bool started;      // the thread exists (in the process that started it)
  bool joined;       // guarded by `join_lock`
  pid_t owner;       // the process that started the thread
  std::mutex* join_lock;
  PyObject* args;    // the arguments, for the child of a fork to start again from
  PyObject* result;  // the figures, once computed
};

PyTypeObject* g_task_type = nullptr;

void* run_work(void* work) {
  static_cast<FiguresWork*>(work)->work();
  return nullptr;
}

// Whether this is the child of a fork made while the thread ran: there the
// thread does not exist, its work may stop halfway, and its lock may be held
// for ever by a thread of the parent.
bool forked_away(const FiguresTask* t) { return t->started && getpid() != t->owner; }

// Waits for the thread, once; without the interpreter lock, from any thread.
void join(FiguresTask* t) {
  if (!t->started || forked_away(t)) return;
  std::lock_guard<std::mutex> guard(*t->join_lock);
  if (t->joined) return;
  pthread_join(t->thread, nullptr);
  t->joined = true;
}

void task_dealloc(PyObject* self) {
  auto* t = reinterpret_cast<FiguresTask*>(self);
  PyTypeObject* type = Py_TYPE(self);
  if (t->work != nullptr) {
    // The thread never takes the interpreter lock: it is waited for with it
    // held (a few milliseconds at most), which is safe even at shutdown.
    join(t);
    delete t->work;  // lets the inputs go, under the lock
  }
  delete t->join_lock;
  Py_CLEAR(t->args);
  Py_CLEAR(t->result);
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* task_result(PyObject* self, PyObject*) {
  auto* t = reinterpret_cast<FiguresTask*>(self);
  if (t->result != nullptr) return Py_NewRef(t->result);
  return guarded(kTask, [&]() -> PyObject* {
    if (forked_away(t)) {
      // Computed again from the arguments, on this thread alone.
      PyObject* const* a = &PyTuple_GET_ITEM(t->args, 0);
      FiguresWork fresh(a, PyTuple_GET_SIZE(t->args), kRunFigures);
      Py_BEGIN_ALLOW_THREADS
      fresh.work();
      Py_END_ALLOW_THREADS
      if (t->result == nullptr) t->result = fresh.result(kRunFigures);
      return Py_NewRef(t->result);
    }
    FiguresWork& w = *t->work;
    Py_BEGIN_ALLOW_THREADS
    w.work();  // what the thread has not started yet
    w.wait_all();
    join(t);
    Py_END_ALLOW_THREADS
    // Another thread may have asked at the same time: one result is kept.
    if (t->result == nullptr) t->result = w.result(kRunFigures);
    return Py_NewRef(t->result);
  });
}

PyMethodDef task_methods[] = {
    {"result", task_result, METH_NOARGS,
     "result($self, /)\n--\n\n"
     "The figures (what _run_figures returns), computed by now: this thread takes the\n"
     "tasks the task's own thread has not started."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot task_slots[] = {
    {Py_tp_doc, const_cast<char*>("The figures of _run_figures, being computed on a thread of "
                                  "their own (private; made by _start_figures).")},
    {Py_tp_dealloc, reinterpret_cast<void*>(task_dealloc)},
    {Py_tp_methods, task_methods},
    {0, nullptr},
};

PyType_Spec task_spec = {"pelmora.core.journal._FiguresTask", sizeof(FiguresTask), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, task_slots};

}  // namespace

PyObject* run_figures(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!enough_arguments(kRunFigures, nargs)) return nullptr;
  return guarded("pelmora.core.journal._run_figures", [&]() -> PyObject* {
    FiguresWork w(args, nargs, kRunFigures);
    const std::atomic<bool> never{false};
    Py_BEGIN_ALLOW_THREADS
    run_tasks(w.n_tasks(), w.worth_a_thread() ? usable_cpus() : 1, never,
              [&](std::int64_t) { w.work(); });
    Py_END_ALLOW_THREADS
    return w.result(kRunFigures);
  });
}

PyObject* start_figures(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (!enough_arguments("_start_figures", nargs)) return nullptr;
  return guarded("pelmora.core.journal._start_figures", [&]() -> PyObject* {
    Ref self(checked(g_task_type->tp_alloc(g_task_type, 0)));
    auto* t = reinterpret_cast<FiguresTask*>(self.get());
    t->join_lock = new std::mutex;
    t->args = checked(PyTuple_New(nargs));
    for (Py_ssize_t k = 0; k < nargs; ++k) PyTuple_SET_ITEM(t->args, k, Py_NewRef(args[k]));
    t->work = new FiguresWork(args, nargs, kRunFigures);
    // A second thread only where the second CPU has enough to do; else the
    // figures are computed when they are asked for.
    if (t->work->worth_a_thread() && usable_cpus() > 1) {
      t->owner = getpid();
      t->started = pthread_create(&t->thread, nullptr, run_work, t->work) == 0;
    }
    return self.release();
  });
}

int add_figures_task_type(PyObject* module) {
  if (g_task_type == nullptr) {
    PyObject* type = PyType_FromSpec(&task_spec);
    if (type == nullptr) return -1;
    g_task_type = reinterpret_cast<PyTypeObject*>(type);
  }
  return PyModule_AddObjectRef(module, "_FiguresTask", reinterpret_cast<PyObject*>(g_task_type));
}

}  // namespace pelmora::py
