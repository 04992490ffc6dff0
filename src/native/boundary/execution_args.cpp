#include "boundary/execution_args.hpp"

#include <cmath>
#include <string>
#include <string_view>
#include <utility>

#include "boundary/converters.hpp"
#include "boundary/option_texts.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"
#include "boundary/pyviews.hpp"
#include "core/failure.hpp"

namespace pelmora::py {

namespace {

enum : int { capital, lot_size, slippage, min_fee, max_gross, cash_rate, borrow_rate, short_fee,
             day_length, volume, max_participation, impact, impact_window, maintenance_margin };

std::string repr_of(PyObject* o) {
  Ref r(PyObject_Repr(o));
  if (!r) {
    PyErr_Clear();
    return "?";
  }
  const char* text = PyUnicode_AsUTF8(r.get());
  if (text == nullptr) {
    PyErr_Clear();
    return "?";
  }
  return text;
}

// type(o).__name__, as pelmora.options names a type ("bool" for NumPy's too).
std::string type_name(PyObject* o) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(o)), "__name__"));
  const char* text = name && PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8(name.get()) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    return Py_TYPE(o)->tp_name;
  }
  return text;
}

// isinstance(o, numbers.<abc>): NumPy's integers and floats are registered
// there, its bool is not.
bool is_instance_of(PyObject* o, const char* abc) {
  Ref numbers(checked(PyImport_ImportModule("numbers")));
  Ref cls(checked(PyObject_GetAttrString(numbers.get(), abc)));
  const int is = PyObject_IsInstance(o, cls.get());
  if (is < 0) fail_pending();
  return is == 1;
}

// A real number as pelmora.options takes one: bools, NumPy's included, and
// texts are refused (float("0.1") would read a text).
bool is_real(PyObject* o) {
  if (PyBool_Check(o)) return false;
  return PyFloat_Check(o) || PyLong_Check(o) || is_instance_of(o, "Real");
}

std::string bits_of(PyObject* integer) {
  Ref as_int(checked(PyNumber_Index(integer)));
  Ref bits(checked(PyObject_CallMethod(as_int.get(), "bit_length", nullptr)));
  return repr_of(bits.get());
}

[[noreturn]] void refuse(const char* key, const char* name, PyObject* o,
                         ErrorKind kind = ErrorKind::ValueError) {
  fail(kind, option_text(key, {{"name", name}, {"value", repr_of(o)}, {"type", type_name(o)}}));
}

double number(PyObject* o, const char* name, const char* type_key = "number") {
  if (!is_real(o)) refuse(type_key, name, o, ErrorKind::TypeError);
  const double v = PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) {
    // An int beyond the float range (10**400): its digits may be too many to print.
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) fail_pending();
    PyErr_Clear();
    fail(ErrorKind::ValueError, option_text("float_range", {{"name", name}, {"bits", bits_of(o)}}));
  }
  return v;
}

double finite_above_zero(PyObject* o, const char* name, const char* key = "positive") {
  const double v = number(o, name);
  if (!(v > 0.0) || !std::isfinite(v)) refuse(key, name, o);
  return v;
}

// An annual rate: finite, from `least` (above it when it is -1) to kMaxRate.
double rate(PyObject* o, const char* name, double least, const char* key) {
  const double v = number(o, name);
  const bool low = least < 0.0 ? !(v > least) : !(v >= least);
  if (low || !(v <= kMaxRate)) refuse(key, name, o);
  return v;
}

// The price dates' longest step in days of `day_length`, and the row it ends on.
std::pair<double, std::int64_t> longest_step(const View1D<std::int64_t>& dates, double day_length) {
  double most = 0.0;
  std::int64_t row = 0;
  for (std::int64_t t = 1; t < dates.size; ++t) {
    const double step = static_cast<double>(dates.get(t)) - static_cast<double>(dates.get(t - 1));
    if (step > most) most = step, row = t;
  }
  return {most / day_length, row};
}

void lots_array(PyObject* o, std::int64_t n_stocks, Execution& x) {
  Buffer b;
  b.acquire(o, Elem::Float64, 1, false);
  const View1D<double> v = b.view1d<double>();
  if (v.size != n_stocks) {
    fail(ErrorKind::ValueError, "lot_size must have one entry per position label (" +
                                    std::to_string(n_stocks) + "), got " +
                                    std::to_string(v.size));
  }
  x.lots.resize(static_cast<std::size_t>(v.size));
  for (std::int64_t i = 0; i < v.size; ++i) {
    const double lot = v.get(i);
    if (lot < 0.0 || std::isinf(lot)) {
      fail(ErrorKind::ValueError, "lot_size must be above 0 (0 or NaN: no lots) for every "
                                  "stock, got " + std::to_string(lot) + " at position " +
                                  std::to_string(i));
    }
    x.lots[static_cast<std::size_t>(i)] = lot;
  }
}

// The most calendar days one step between price dates may span. Financing
// accrues for the days since the previous row; a day_length in the wrong
// unit (1.0 with nanosecond dates) makes a day's step 8.64e13 days and the
// interest of one row swamp the account. No price series has rows a century
// apart, so a longer step can only be a unit mistake.
constexpr double kMaxStepDays = 36525.0;
constexpr const char* kDayLengthText =
    "day_length must be the price index's units in one day (86400000000000 for nanosecond "
    "dates): with {value}, price rows {before} and {row} are {days} days apart, more than 36525 "
    "(100 years)";

void check_day_length(const View1D<std::int64_t>& dates, double day_length) {
  const auto [days, row] = longest_step(dates, day_length);
  if (!(days > kMaxStepDays)) return;
  Ref value(checked(PyFloat_FromDouble(day_length))), step(checked(PyFloat_FromDouble(days)));
  fail(ErrorKind::ValueError,
       format_text(kDayLengthText, {{"value", repr_of(value.get())},
                                    {"before", std::to_string(row - 1)},
                                    {"row", std::to_string(row)},
                                    {"days", repr_of(step.get())}}));
}

}  // namespace

std::string format_text(const char* text,
                        std::initializer_list<std::pair<const char*, std::string>> fields) {
  std::string out(text);
  for (const auto& [field, value] : fields) {
    const std::string braced = std::string("{") + field + "}";
    for (std::size_t at = out.find(braced); at != std::string::npos;
         at = out.find(braced, at + value.size())) {
      out.replace(at, braced.size(), value);
    }
  }
  return out;
}

std::string option_text(const char* key,
                        std::initializer_list<std::pair<const char*, std::string>> fields) {
  for (const OptionText& t : kOptionTexts) {
    if (std::string_view(t.key) == key) return format_text(t.text, fields);
  }
  return key;
}

int execution_index(PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (int i = 0; i < kExecutionCount; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, kExecutionNames[i]) == 0) return i;
  }
  return -1;
}

void convert_execution(PyObject* const* raw, std::int64_t n_stocks, const View2D<double>& price,
                       const View1D<std::int64_t>& dates, Buffer& volume_buffer, Execution& x) {
  auto given = [&](int i) { return raw[i] != nullptr && raw[i] != Py_None; };
  x = Execution{};
  // Each value is checked first, then what it needs, as pelmora.options does.
  if (given(capital)) x.capital = finite_above_zero(raw[capital], "capital", "capital");
  const bool has_capital = x.capital > 0.0;
  if (given(lot_size)) {
    PyObject* o = raw[lot_size];
    if (is_real(o) || !PyObject_CheckBuffer(o)) {
      x.lot_all = finite_above_zero(o, "lot_size", "lot_size");
    } else {
      lots_array(o, n_stocks, x);
    }
    if (!has_capital) fail(ErrorKind::ValueError, option_text("lot_size_capital", {}));
  }
  if (given(slippage)) {
    x.slippage = number(raw[slippage], "slippage");
    if (!(x.slippage >= 0.0 && x.slippage < 1.0)) refuse("fraction", "slippage", raw[slippage]);
  }
  if (given(min_fee)) {
    const double fee = number(raw[min_fee], "min_fee");
    if (!(fee >= 0.0) || !std::isfinite(fee)) refuse("min_fee", "min_fee", raw[min_fee]);
    if (fee > 0.0) {
      if (!has_capital) fail(ErrorKind::ValueError, option_text("min_fee_capital", {}));
      x.min_fee = fee / x.capital;
    }
  }
  if (given(max_gross)) x.max_gross = finite_above_zero(raw[max_gross], "max_gross");
  if (given(cash_rate)) x.cash_rate = rate(raw[cash_rate], "cash_rate", -1.0, "cash_rate");
  if (given(borrow_rate)) x.borrow_rate = rate(raw[borrow_rate], "borrow_rate", 0.0, "rate");
  if (given(short_fee)) x.short_fee = rate(raw[short_fee], "short_fee", 0.0, "rate");
  if (given(day_length)) x.day_length = finite_above_zero(raw[day_length], "day_length");
  if (x.finances()) check_day_length(dates, x.day_length);
  if (given(volume)) {
    volume_buffer.acquire(raw[volume], Elem::Float64, 2, false);
    x.volume = volume_buffer.view2d<double>();
    if (x.volume.rows != price.rows || x.volume.cols != price.cols) {
      fail(ErrorKind::ValueError,
           "volume must have the shape of price_values (" + std::to_string(price.rows) + ", " +
               std::to_string(price.cols) + "), got (" + std::to_string(x.volume.rows) + ", " +
               std::to_string(x.volume.cols) + ")");
    }
    x.has_volume = true;
  }
  // A cap and an impact count shares against the volume: they need both.
  auto needs_volume = [&](const char* name) {
    if (!has_capital) fail(ErrorKind::ValueError, option_text("volume_capital", {{"name", name}}));
    if (!x.has_volume) {
      fail(ErrorKind::ValueError,
           std::string(name) + " needs volume: the shares traded per row and price column (give "
                               "volume=..., shaped like price_values)");
    }
  };
  if (given(max_participation)) {
    const double v = number(raw[max_participation], "max_participation", "number_or_none");
    if (!(v > 0.0 && v <= 1.0)) {
      refuse("max_participation", "max_participation", raw[max_participation]);
    }
    needs_volume("max_participation");
    x.max_participation = v;
  }
  if (given(impact)) {
    const double v = number(raw[impact], "impact");
    if (!(v >= 0.0) || !std::isfinite(v)) refuse("impact", "impact", raw[impact]);
    if (v > 0.0) needs_volume("impact");
    x.impact = v;
  }
  if (given(impact_window)) {
    PyObject* o = raw[impact_window];
    if (PyBool_Check(o) || !(PyLong_Check(o) || is_instance_of(o, "Integral"))) {
      refuse("integer", "impact_window", o, ErrorKind::TypeError);
    }
    Ref as_int(checked(PyNumber_Index(o)));
    int overflow = 0;
    const long long w = PyLong_AsLongLongAndOverflow(as_int.get(), &overflow);
    if (w == -1 && PyErr_Occurred()) fail_pending();
    if (overflow < 0 || (overflow == 0 && w < 2)) {
      // Python's int() of it, as pelmora.options prints it.
      refuse("impact_window", "impact_window", as_int.get());
    }
    if (overflow > 0 || w > 2147483647LL) {
      fail(ErrorKind::ValueError, option_text("impact_window_bits", {{"bits", bits_of(o)}}));
    }
    x.impact_window = static_cast<int>(w);
  }
  if (given(maintenance_margin)) {
    const double v = number(raw[maintenance_margin], "maintenance_margin");
    if (!(v >= 0.0 && v < 1.0)) refuse("fraction", "maintenance_margin", raw[maintenance_margin]);
    x.maintenance_margin = v;
  }
}

}  // namespace pelmora::py
