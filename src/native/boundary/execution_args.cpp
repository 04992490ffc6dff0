#include "boundary/execution_args.hpp"

#include <cmath>
#include <string>

#include "boundary/converters.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"
#include "boundary/pyviews.hpp"
#include "core/failure.hpp"

namespace pelmora::py {

namespace {

enum : int { capital, lot_size, slippage, min_fee, max_gross, cash_rate, borrow_rate, short_fee,
             day_length, volume, max_participation, impact, impact_window };

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

// A real number: bools and texts are refused (float("0.1") would read a text).
double number(PyObject* o, const char* name) {
  if (PyBool_Check(o) || PyUnicode_Check(o) || PyBytes_Check(o) || !PyNumber_Check(o)) {
    fail(ErrorKind::TypeError,
         std::string(name) + " must be a number, not " + Py_TYPE(o)->tp_name);
  }
  return to_double(o);
}

[[noreturn]] void refuse(const char* name, const char* rule, PyObject* o) {
  fail(ErrorKind::ValueError, std::string(name) + " must be " + rule + ", got " + repr_of(o));
}

double finite_above_zero(PyObject* o, const char* name) {
  const double v = number(o, name);
  if (!(v > 0.0) || !std::isfinite(v)) refuse(name, "a finite number above 0", o);
  return v;
}

double finite(PyObject* o, const char* name) {
  const double v = number(o, name);
  if (!std::isfinite(v)) refuse(name, "a finite number", o);
  return v;
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

}  // namespace

int execution_index(PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  for (int i = 0; i < kExecutionCount; ++i) {
    if (PyUnicode_CompareWithASCIIString(key, kExecutionNames[i]) == 0) return i;
  }
  return -1;
}

void convert_execution(PyObject* const* raw, std::int64_t n_stocks, const View2D<double>& price,
                       Buffer& volume_buffer, Execution& x) {
  auto given = [&](int i) { return raw[i] != nullptr && raw[i] != Py_None; };
  x = Execution{};
  if (given(capital)) x.capital = finite_above_zero(raw[capital], "capital");
  if (given(lot_size)) {
    if (!(x.capital > 0.0)) {
      fail(ErrorKind::ValueError,
           "lot_size needs capital: lots count shares, and shares need the account's value");
    }
    if (PyObject_CheckBuffer(raw[lot_size])) {
      lots_array(raw[lot_size], n_stocks, x);
    } else {
      x.lot_all = finite_above_zero(raw[lot_size], "lot_size");
    }
  }
  if (given(slippage)) {
    x.slippage = number(raw[slippage], "slippage");
    if (!(x.slippage >= 0.0 && x.slippage < 1.0)) {
      refuse("slippage", "at least 0 and below 1", raw[slippage]);
    }
  }
  if (given(min_fee)) {
    const double fee = number(raw[min_fee], "min_fee");
    if (!(fee >= 0.0) || !std::isfinite(fee)) refuse("min_fee", "a finite number, 0 or more", raw[min_fee]);
    if (fee > 0.0) {
      if (!(x.capital > 0.0)) {
        fail(ErrorKind::ValueError,
             "min_fee needs capital: it is in currency, and the account's value turns it into "
             "a fraction of the portfolio");
      }
      x.min_fee = fee / x.capital;
    }
  }
  if (given(max_gross)) x.max_gross = finite_above_zero(raw[max_gross], "max_gross");
  if (given(cash_rate)) x.cash_rate = finite(raw[cash_rate], "cash_rate");
  if (given(borrow_rate)) x.borrow_rate = finite(raw[borrow_rate], "borrow_rate");
  if (given(short_fee)) x.short_fee = finite(raw[short_fee], "short_fee");
  if (given(day_length)) x.day_length = finite_above_zero(raw[day_length], "day_length");
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
  const bool liquid = x.has_volume && x.capital > 0.0;
  if (given(max_participation)) {
    const double v = number(raw[max_participation], "max_participation");
    if (!(v > 0.0 && v <= 1.0)) refuse("max_participation", "above 0 and at most 1", raw[max_participation]);
    if (!liquid) {
      fail(ErrorKind::ValueError,
           "max_participation needs capital and volume: the cap is a share of the shares traded");
    }
    x.max_participation = v;
  }
  if (given(impact)) {
    const double v = number(raw[impact], "impact");
    if (!(v >= 0.0) || !std::isfinite(v)) refuse("impact", "a finite number, 0 or more", raw[impact]);
    if (v > 0.0 && !liquid) {
      fail(ErrorKind::ValueError,
           "impact needs capital and volume: it grows with the shares traded against the volume");
    }
    x.impact = v;
  }
  if (given(impact_window)) {
    if (PyBool_Check(raw[impact_window]) || !PyLong_Check(raw[impact_window])) {
      fail(ErrorKind::TypeError, std::string("impact_window must be an int, not ") +
                                     Py_TYPE(raw[impact_window])->tp_name);
    }
    const long w = PyLong_AsLong(raw[impact_window]);
    if (w == -1 && PyErr_Occurred()) {
      PyErr_Clear();
      refuse("impact_window", "an int from 2 to 2**31-1", raw[impact_window]);
    }
    if (w < 2 || w > 2147483647L) refuse("impact_window", "an int from 2 to 2**31-1", raw[impact_window]);
    x.impact_window = static_cast<int>(w);
  }
}

}  // namespace pelmora::py
