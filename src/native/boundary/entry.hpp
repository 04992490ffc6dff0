// A run entry as a Python callable. A builtin function cannot show its
// defaults, so each run entry is an object of a small type of its own whose
// `__defaults__`, `__kwdefaults__` and `__signature__` come from the run's
// parameter table, while calls go straight to the C++ entry by vectorcall.
#pragma once

#include <Python.h>

namespace pelmora::py {

struct EntryInfo {
  const char* name;    // "backtest_"
  const char* module;  // "pelmora.core.runvane"
  const char* doc;     // the body of __doc__
  vectorcallfunc call;
  const char* const* kwonly;  // keyword-only flags after the 25 parameters, default True
  int n_kwonly;
  double inf_default;
  // The keyword-only defaults as the signature shows them ("True", "None",
  // "0.0", "86400"); null: every one is True.
  const char* const* kwonly_defaults = nullptr;
};

// `info` must outlive the entry (a static of the module).
PyObject* make_run_entry(const EntryInfo* info);

}  // namespace pelmora::py
