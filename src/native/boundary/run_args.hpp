// The run's 25 parameters, described once: name, kind and default. The
// argument parser, the conversions, the defaults tuple, the signature and
// the text signature of every run entry (backtest_, journal.run and the
// private floor runner) are derived from this table.
#pragma once

#include <Python.h>

#include <cmath>
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

inline constexpr RunParameter kRunParameters[kRunTotal] = {
    {"price_values", ParamKind::Matrix, 0, nullptr},
    {"close_values", ParamKind::Matrix, 0, nullptr},
    {"high_values", ParamKind::Matrix, 0, nullptr},
    {"low_values", ParamKind::Matrix, 0, nullptr},
    {"open_values", ParamKind::Matrix, 0, nullptr},
    {"price_index", ParamKind::Dates, 0, nullptr},
    {"price_columns", ParamKind::Labels, 0, nullptr},
    {"pos_values", ParamKind::Matrix, 0, nullptr},
    {"pos_index", ParamKind::Dates, 0, nullptr},
    {"pos_columns", ParamKind::Labels, 0, nullptr},
    {"resample", ParamKind::Dates, 0, nullptr},
    {"fee_ratio", ParamKind::Real, 0.001425, "0.001425"},
    {"tax_ratio", ParamKind::Real, 0.003, "0.003"},
    {"stop_loss", ParamKind::Real, 1.0, "1.0"},
    {"take_profit", ParamKind::Real, HUGE_VAL, "org_np.inf"},
    {"trail_stop", ParamKind::Real, HUGE_VAL, "org_np.inf"},
    {"trail_stop_activation", ParamKind::Real, 0.0, "0.0"},
    {"touched_exit", ParamKind::Flag, 0, "False"},
    {"position_limit", ParamKind::Real, 1.0, "1.0"},
    {"retain_cost_when_rebalance", ParamKind::Flag, 0, "False"},
    {"stop_trading_next_period", ParamKind::Truth, 1, "True"},
    {"swaylen_window", ParamKind::Int, 0, "0"},
    {"swaylen_window_step", ParamKind::Int, 1, "1"},
    {"periodically_rebalance", ParamKind::Flag, 1, "True"},
    {"delisting_bars", ParamKind::OptionalDates, 0, "None"},
};

// The parameters by name, for the code that needs one of them in particular.
namespace param {
enum : int {
  price_values, close_values, high_values, low_values, open_values, price_index, price_columns,
  pos_values, pos_index, pos_columns, resample, fee_ratio, tax_ratio, stop_loss, take_profit,
  trail_stop, trail_stop_activation, touched_exit, position_limit, retain_cost_when_rebalance,
  stop_trading_next_period, swaylen_window, swaylen_window_step, periodically_rebalance,
  delisting_bars,
};
}  // namespace param

constexpr bool same_name(const char* a, const char* b) {
  while (*a && *a == *b) ++a, ++b;
  return *a == *b;
}
static_assert(same_name(kRunParameters[param::fee_ratio].name, "fee_ratio") &&
                  same_name(kRunParameters[param::swaylen_window].name, "swaylen_window") &&
                  same_name(kRunParameters[param::delisting_bars].name, "delisting_bars") &&
                  same_name(kRunParameters[param::resample].name, "resample") &&
                  param::delisting_bars == kRunTotal - 1 && param::resample == kRunRequired - 1,
              "the names follow the table");
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
  Buffer volume;  // the journal's volume matrix, held for the run
};

// Converts the optional arguments in parameter order, then type-tests and
// views the eleven arrays. `raw` holds 25 borrowed references (nullptr for an
// optional not given). Throws Failure.
void convert_run_arguments(PyObject* const* raw, double inf_default, PyTypeObject* ndarray_type,
                           RunArguments& a);

// The run's inputs as views of the converted arrays (pos2price left empty).
RunInputs make_run_inputs(const RunArguments& a);

inline View1D<PyObject*> pos_columns_view(const RunArguments& a) {
  return a.views[param::pos_columns].view1d<PyObject*>();
}

// The Python-visible defaults of the 14 options, in order.
PyObject* run_defaults(double inf_default);

// "name(price_values, ..., delisting_bars=None[, *, kw=True...])".
// `kwonly_defaults`: the keyword-only defaults' texts (null: all "True").
std::string run_text_signature(const char* name, const char* const* kwonly, int n_kwonly,
                               const char* const* kwonly_defaults = nullptr);

}  // namespace pelmora::py
