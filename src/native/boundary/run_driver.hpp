// A run from its raw arguments, shared by every run entry: prepare (pin,
// convert, view, map the columns, make the equity array), execute without
// the interpreter lock, and finish under it again. backtest_ and the floor
// runner use the preparation and run under the lock with their own hooks;
// the journal runs the whole sequence.
#pragma once

#include <Python.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "boundary/pyref.hpp"
#include "boundary/pyviews.hpp"
#include "boundary/run_args.hpp"
#include "core/engine.hpp"
#include "core/journal.hpp"

namespace pelmora::py {

// Weak references to `obj` and to every array whose memory it views: NumPy
// refuses to resize a weakly referenced array, even with refcheck=False.
void pin(PyObject* obj, std::vector<Ref>& pins);

struct Preparation {
  double inf_default = HUGE_VAL;  // the value of "org_np.inf"
  // Pin every input array before any Python code of the call runs (a run
  // that reads its inputs without the lock cannot check them between steps).
  bool pin_inputs = false;
  // Refuse label arrays longer than a run can index before mapping them.
  bool check_label_counts = false;
  // The column map of labels already mapped (run_many's variants share theirs).
  const ColumnMap* columns = nullptr;
  // The equity curve in memory of the process's pool when it is large (a
  // research loop faults its pages in once); else a plain NumPy array.
  bool pooled_creturn = false;
  // Called after the conversions, before the labels are mapped.
  std::function<void(const RunArguments&)> converted;
};

struct PreparedRun {
  RunArguments args;
  RunInputs inputs;
  Ref creturn;              // float64, one slot per price row
  std::vector<Ref> pins;
  JournalOptions jopt;      // the journal's, set by its entry
  const Buffer* views[kRunRequired + 1] = {};  // every input view, for check_unmoved

  double* creturn_data() const;
};

// Everything a run needs the lock for before it starts. The labels' encode is
// Python code that runs after the views are taken: the views are checked to
// be still in place afterwards (an input resized there raises RuntimeError,
// or, when pinned, the resize itself is refused). Throws Failure.
void prepare(PyObject* const* raw, const Preparation& how, PreparedRun& p);

// Labels and float texts for messages, for a run without the lock: only a
// failing run formats a label, and it takes the lock for that moment. A
// Python exception raised while formatting is kept until the run is back
// under the lock.
class LockingText final : public MessageHooks {
 public:
  explicit LockingText(View1D<PyObject*> labels) : labels_(labels) {}
  ~LockingText();
  std::string symbol_text(int sid) override;
  std::string float_text(double value) override;
  // Under the lock: puts back the exception a formatting step raised.
  void restore();

 private:
  template <class Fn>
  std::string locked(Fn&& fn);

  View1D<PyObject*> labels_;
  PyObject* saved_type_ = nullptr;
  PyObject* saved_value_ = nullptr;
  PyObject* saved_tb_ = nullptr;
};

// What a run without the lock left: its engine and journal, or its failure.
struct Outcome {
  std::unique_ptr<Journal> journal;
  std::unique_ptr<Engine> engine;
  bool ok = false;
  bool no_memory = false;
  Failure failure{ErrorKind::Pending, {}, {}};
};

// The journal's run, without the lock. Never throws: sets `out`.
void execute(PreparedRun& p, LockingText& text, Outcome& out);

// One whole run from its raw arguments, called under the lock: prepared with
// it, executed and torn down without it, `build` (under the lock, may throw
// Failure) makes the result. Returns the result, or null with the run's
// exception set and a traceback entry named `qualname`.
PyObject* run_released(const char* qualname, PyObject* const* raw, const Preparation& how,
                       const std::function<void(PreparedRun&)>& configure,
                       const std::function<PyObject*(PreparedRun&, Outcome&)>& build);

// A batch of runs over the same price arrays, each from its raw arguments
// (raws[k]; null: no run, its slot stays as it is). Every run is prepared and
// configured under the lock, then all are executed without it a block of
// `block_rows` rows at a time (every run of the batch walks a block before
// any walks the next: the block's prices stay in the cache between them),
// then each result is built under the lock again. Slot k of `results` (a
// list) receives run k's result or the exception instance it raised; a run's
// failure stops that run only. An exception that a signal raised belongs to
// the whole call: it is set, with false returned.
bool run_batch_released(const char* qualname, const std::vector<PyObject* const*>& raws,
                        const Preparation& how, std::int64_t block_rows,
                        const std::function<void(std::size_t, PreparedRun&)>& configure,
                        const std::function<PyObject*(PreparedRun&, Outcome&)>& build,
                        PyObject* results);

// --- runs on native threads -------------------------------------------------------

// Calls one(k) for every k in [0, n) on at most `threads` native threads, each
// call under the lock (one(k): a new reference, or null with an exception set)
// and the lock released between them. Slot k of `results` (a list of n empty
// slots) receives the result or the exception instance the call raised. An
// exception that a signal raised belongs to the whole call, never to a slot:
// no call starts after it and it is set here with false returned.
bool run_each(PyObject* results, std::int64_t n, int threads,
              const std::function<PyObject*(std::int64_t)>& one);

// --- exceptions of runs on other threads ---------------------------------------

// The fetched exception as an instance with its traceback (None if none).
PyObject* fetch_exception();

// Whether `exc` came from a signal rather than from the run: an interrupt or
// an exit (anything that is not an Exception), or an exception whose
// traceback passes through a signal handler (the main thread runs pending
// handlers inside whatever Python code a conversion calls).
bool raised_by_signal(PyObject* exc);

}  // namespace pelmora::py
