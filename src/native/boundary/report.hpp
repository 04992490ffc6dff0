// The next-period report as the documented dict, from the run's final state,
// and the weight normalisation it applies (normalize_weight). Shared by every
// run entry, so each reports exactly what backtest_ reports.
#pragma once

#include <Python.h>

#include "core/engine.hpp"

namespace pelmora::py {

// What the report needs from its run entry.
class ReportHooks {
 public:
  virtual ~ReportHooks() = default;
  virtual bool stop_trading() = 0;
  // normalize_weight(weights, limit) as a new reference.
  virtual PyObject* normalize(PyObject* weights, PyObject* limit) = 0;
  // After each step that may have run Python code.
  virtual void check() {}
  // The report dict, as soon as it exists (it is then filled in place).
  virtual void created(PyObject* ops) { (void)ops; }
};

// The report dict (a new reference). Throws Failure.
PyObject* build_report(const RunState& st, const RunInputs& in, double position_limit,
                       ReportHooks& hooks, double max_gross = 1.0);

// Scales weights whose absolute sum exceeds 1 down to 1, then clips each to
// +-limit; changes `weights` in place and returns it (a new reference).
// Throws Failure.
// `max_gross`: the gross the weights are scaled to when above it (1: the
// unit rule, in its own order of operations).
PyObject* normalize_weights(PyObject* weights, PyObject* limit, double max_gross = 1.0);

}  // namespace pelmora::py
