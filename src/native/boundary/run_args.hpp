// backtest_'s 25 parameters: names, defaults and conversions, shared by the
// engine module and the private floor runner of the benchmarks.
#pragma once

#include <Python.h>

#include "boundary/pyviews.hpp"
#include "core/engine.hpp"

namespace pelmora::py {

inline constexpr int kRunRequired = 11;
inline constexpr int kRunTotal = 25;
extern const char* const kRunParameterNames[kRunTotal];

struct RunArguments {
  PyObject* arrays[kRunRequired] = {};  // borrowed from the call
  RunOptions options;
  PyObject* stop_trading = Py_True;  // borrowed
  int window = 0;
  int window_step = 1;
  bool periodically_rebalance = true;
  Buffer delisting;
  bool has_delisting_bars = false;
  Buffer views[kRunRequired];
};

// Converts the optional arguments in parameter order, then type-tests and
// views the eleven arrays. `raw` holds 25 borrowed references (nullptr for an
// optional not given). Throws Failure.
void convert_run_arguments(PyObject* const* raw, double inf_default, PyTypeObject* ndarray_type,
                           RunArguments& a);

// The run's inputs as views of the converted arrays (pos2price left empty).
RunInputs make_run_inputs(const RunArguments& a);

inline View1D<PyObject*> pos_columns_view(const RunArguments& a) {
  return a.views[9].view1d<PyObject*>();
}

}  // namespace pelmora::py
