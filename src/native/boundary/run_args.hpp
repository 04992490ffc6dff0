// The run's 25 parameters, described once: name, kind and default. The
// argument parser, the conversions, the defaults tuple, the signature and
// the text signature of every run entry (backtest_, journal.run and the
// private floor runner) are derived from this table.
#pragma once

#include <Python.h>

#include <string>

#include "boundary/pyviews.hpp"
#include "core/engine.hpp"

namespace pelmora::py {

inline constexpr int kRunRequired = 11;
inline constexpr int kRunTotal = 25;

struct RunArguments;

enum class ParamKind {
  Matrix,         // 2-D float64 array
  Dates,          // 1-D int64 array
  Labels,         // 1-D object array
  Real,           // float(x)
  Flag,           // truth value, converted at once
  Truth,          // any object, its truth asked for when needed
  Int,            // C int through the object's integer conversion
  OptionalDates,  // None or a 1-D int64 buffer
};

struct RunParameter {
  const char* name;
  ParamKind kind;
  double default_value;       // Real/Flag/Truth/Int: the default (inf for "org_np.inf")
  const char* default_text;   // as the text signature shows it
};

extern const RunParameter kRunParameters[kRunTotal];
// The names alone, in order, for the argument parser.
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

// The Python-visible defaults of the 14 options, in order.
PyObject* run_defaults(double inf_default);

// "name(price_values, ..., delisting_bars=None[, *, kw=True...])".
std::string run_text_signature(const char* name, const char* const* kwonly, int n_kwonly);

}  // namespace pelmora::py
