// The next-period report and the weight normalisation it applies (see
// report.hpp). Python-object arithmetic where the report's values are Python
// objects (NumPy float64 scalars, int 0, true division), so every run entry
// reports exactly what backtest_ reports.
#include "boundary/report.hpp"

#include <cmath>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

#include "boundary/numpy.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"

namespace pelmora::py {
namespace {

PyObject* float64_scalar(double v) {
  PyObject* o = checked(PyArrayScalar_New(Double));
  PyArrayScalar_ASSIGN(o, Double, v);
  return o;
}


// Python's `items()` pairs of any mapping, or a dict walked directly.
template <class Fn>
void for_each_item(PyObject* weights, Fn&& fn) {
  if (PyDict_CheckExact(weights)) {
    Ref items(checked(PyDict_Items(weights)));
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
      PyObject* pair = PyList_GET_ITEM(items.get(), i);
      fn(PyTuple_GET_ITEM(pair, 0), PyTuple_GET_ITEM(pair, 1));
    }
    return;
  }
  Ref items(checked(PyObject_CallMethod(weights, "items", nullptr)));
  Ref it(checked(PyObject_GetIter(items.get())));
  while (Ref pair{PyIter_Next(it.get())}) {
    Ref pit(checked(PyObject_GetIter(pair.get())));
    Ref k(PyIter_Next(pit.get()));
    Ref v(k ? PyIter_Next(pit.get()) : nullptr);
    if (!k || !v) {
      check_pending();
      PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", k ? 1 : 0);
      fail_pending();
    }
    Ref extra(PyIter_Next(pit.get()));
    if (extra) {
      PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
      fail_pending();
    }
    check_pending();
    fn(k.get(), v.get());
  }
  check_pending();
}

template <class Fn>
void for_each_key(PyObject* weights, Fn&& fn) {
  Ref keys;
  if (PyDict_CheckExact(weights)) {
    keys.reset(checked(PyDict_Keys(weights)));
  } else {
    keys.reset(checked(PySequence_List(weights)));
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) fn(PyList_GET_ITEM(keys.get(), i));
}

void set_item(PyObject* dict, long key, PyObject* value) {
  Ref k(checked(PyLong_FromLong(key)));
  if (PyDict_SetItem(dict, k.get(), value) != 0) fail_pending();
}

// The action labels are few: each is made once and shared by every report.
void set_label(PyObject* actions, long key, const char* label) {
  static std::map<std::string, PyObject*> labels;
  PyObject*& v = labels[label];
  if (v == nullptr) v = checked(PyUnicode_InternFromString(label));
  set_item(actions, key, v);
}

bool greater_than_one(PyObject* x) {
  Ref one(checked(PyLong_FromLong(1)));
  const int t = PyObject_RichCompareBool(x, one.get(), Py_GT);
  if (t < 0) fail_pending();
  return t == 1;
}

// The divisor that brings weights of absolute sum `sum` to a gross of at most
// `max_gross`: `sum` itself above 1 under the unit rule, sum / max_gross
// above max_gross under leverage, else the integer 1.
PyObject* gross_divisor(PyObject* sum, double max_gross) {
  if (max_gross == 1.0) {
    return greater_than_one(sum) ? Py_NewRef(sum) : checked(PyLong_FromLong(1));
  }
  Ref limit(checked(PyFloat_FromDouble(max_gross)));
  const int t = PyObject_RichCompareBool(sum, limit.get(), Py_GT);
  if (t < 0) fail_pending();
  if (t == 0) return checked(PyLong_FromLong(1));
  return checked(PyNumber_TrueDivide(sum, limit.get()));
}

// Divides every value of `dict` by the gross divisor of `sum`.
void scale_down(PyObject* dict, PyObject* sum, double max_gross) {
  Ref keys(checked(PyDict_Keys(dict)));
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(keys.get()); ++i) {
    PyObject* key = PyList_GET_ITEM(keys.get(), i);
    Ref divisor_ref(gross_divisor(sum, max_gross));
    PyObject* divisor = divisor_ref.get();
    PyObject* value = PyDict_GetItemWithError(dict, key);
    if (value == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
      fail_pending();
    }
    Ref q(checked(PyNumber_TrueDivide(value, divisor)));
    if (PyDict_SetItem(dict, key, q.get()) != 0) fail_pending();
  }
}

void add_abs(Ref& sum, PyObject* weight) {
  Ref a(checked(PyNumber_Absolute(weight)));
  sum.reset(checked(PyNumber_InPlaceAdd(sum.get(), a.get())));
}

void normalize_entry(PyObject* ops, const char* key, double position_limit, ReportHooks& hooks) {
  PyObject* weights = PyDict_GetItemString(ops, key);
  Ref limit(checked(PyFloat_FromDouble(position_limit)));
  Ref r(checked(hooks.normalize(weights, limit.get())));
  if (PyDict_SetItemString(ops, key, r.get()) != 0) fail_pending();
}

}  // namespace

PyObject* build_report(const RunState& st, const RunInputs& in, double position_limit,
                       ReportHooks& hooks, double max_gross) {
  Ref actions(checked(PyDict_New()));
  Ref weights(checked(PyDict_New()));
  Ref next_weights(checked(PyDict_New()));
  Ref ops(checked(PyDict_New()));
  if (PyDict_SetItemString(ops.get(), "actions", actions.get()) != 0 ||
      PyDict_SetItemString(ops.get(), "weights", weights.get()) != 0 ||
      PyDict_SetItemString(ops.get(), "next_weights", next_weights.get()) != 0) {
    fail_pending();
  }
  hooks.created(ops.get());

  // Weights held since the last executed rebalance.
  Ref latest_weight_sum(checked(PyLong_FromLong(0)));
  Ref zero(checked(PyLong_FromLong(0)));
  for (const auto& kv : st.latest_rebalanced_pos) {
    const int sid = kv.first;
    Ref weight(float64_scalar(in.pos_values.at(st.current_position_id, sid)));
    set_item(weights.get(), sid, st.pos.count(sid) ? weight.get() : zero.get());
    add_abs(latest_weight_sum, weight.get());
  }
  scale_down(weights.get(), latest_weight_sum.get(), max_gross);

  // Weights for the next period.
  Ref total_next_weight_sum(checked(PyLong_FromLong(0)));
  const bool from_latest = st.pos_id == st.current_position_id;
  const View1D<double> row_view = from_latest ? View1D<double>{} : in.pos_values.row(st.pos_id);
  // The last rebalance's weights may be a view of the input: read them all
  // before the loop makes Python objects.
  std::vector<double> latest;
  if (from_latest) {
    latest.resize(static_cast<std::size_t>(st.latest_rebalanced_row.size));
    for (std::int64_t i = 0; i < st.latest_rebalanced_row.size; ++i) {
      latest[static_cast<std::size_t>(i)] = st.latest_rebalanced_row.get(i);
    }
  }
  const std::int64_t n_next = from_latest ? static_cast<std::int64_t>(latest.size()) : row_view.size;
  for (std::int64_t sid = 0; sid < n_next; ++sid) {
    const double w = from_latest ? latest[static_cast<std::size_t>(sid)] : row_view.get(sid);
    Ref weight(float64_scalar(w));
    bool skip = false;
    bool dropped = false;
    if (hooks.stop_trading()) {
      for (const int s : st.exited_stocks) {
        if (std::abs(s) == sid) {
          skip = true;
          dropped = true;
          break;
        }
      }
      if (!skip) {
        for (const int s : st.exit_stocks) {
          if (std::abs(s) == sid) {
            skip = true;
            const auto it = st.pos.find(static_cast<int>(sid));
            dropped = it != st.pos.end() && it->second != 0;
            break;
          }
        }
      }
    }
    if (!(dropped && st.should_rebalance)) add_abs(total_next_weight_sum, weight.get());
    if (skip) continue;
    if (w != 0) set_item(next_weights.get(), static_cast<long>(sid), weight.get());
  }

  {
    Ref wt(checked(PyLong_FromLong(st.current_position_id)));
    Ref nwt(checked(PyLong_FromLong(st.pos_id)));
    if (PyDict_SetItemString(ops.get(), "weight_time", wt.get()) != 0 ||
        PyDict_SetItemString(ops.get(), "next_weight_time", nwt.get()) != 0) {
      fail_pending();
    }
  }
  scale_down(next_weights.get(), total_next_weight_sum.get(), max_gross);
  normalize_entry(ops.get(), "weights", position_limit, hooks);
  normalize_entry(ops.get(), "next_weights", position_limit, hooks);
  hooks.check();

  // Actions of the pending rebalance.
  if (st.should_rebalance) {
    const View1D<double> row = in.pos_values.row(st.pos_id);
    for (std::int64_t sid = 0; sid < row.size; ++sid) {
      const double val1 = row.get(sid);
      const auto it = st.pos.find(static_cast<int>(sid));
      if (it == st.pos.end() || it->second == 0) {
        if (val1 != 0) set_label(actions.get(), static_cast<long>(sid), "enter");
      } else {
        if (val1 == 0) set_label(actions.get(), static_cast<long>(sid), "exit");
        if (val1 != 0) set_label(actions.get(), static_cast<long>(sid), "hold");
      }
    }
  }

  // Pending exits on the next bar.
  for (const int sid : st.exit_stocks) {
    const long abssid = std::abs(sid);
    if (hooks.stop_trading() || st.date > in.pos_index.at(st.pos_id)) {
      set_label(actions.get(), abssid, sid > 0 ? "tp" : "sl");
      continue;
    }
    PyObject* nw = PyDict_GetItemString(ops.get(), "next_weights");
    Ref key(checked(PyLong_FromLong(abssid)));
    const int has = nw ? PySequence_Contains(nw, key.get()) : 0;
    if (has < 0) fail_pending();
    if (has == 1) {
      Ref value(checked(PyObject_GetItem(nw, key.get())));
      const int nonzero = PyObject_RichCompareBool(value.get(), zero.get(), Py_NE);
      if (nonzero < 0) fail_pending();
      if (nonzero == 1) set_label(actions.get(), abssid, sid > 0 ? "tp_enter" : "sl_enter");
    }
    hooks.check();  // the membership test may have run Python code
  }

  // Stop exits since the last rebalance.
  for (const int sid : st.exited_stocks) {
    const long abssid = std::abs(sid);
    bool write = hooks.stop_trading();
    if (!write) {
      Ref key(checked(PyLong_FromLong(abssid)));
      const int has = PyDict_Contains(actions.get(), key.get());
      if (has < 0) fail_pending();
      write = has == 0;
    }
    if (write) set_label(actions.get(), abssid, sid > 0 ? "tp_" : "sl_");
  }
  return ops.release();
}

PyObject* normalize_weights(PyObject* weights, PyObject* limit, double max_gross) {
  Ref weight_sum(checked(PyFloat_FromDouble(0.0)));
  for_each_item(weights, [&](PyObject*, PyObject* w) { add_abs(weight_sum, w); });
  if (max_gross == 1.0) {
    Ref one(checked(PyLong_FromLong(1)));
    for_each_key(weights, [&](PyObject* sid) {
      if (!greater_than_one(weight_sum.get())) return;
      Ref factor(checked(PyNumber_TrueDivide(one.get(), weight_sum.get())));
      Ref w(checked(PyObject_GetItem(weights, sid)));
      Ref scaled(checked(PyNumber_Multiply(w.get(), factor.get())));
      if (PyObject_SetItem(weights, sid, scaled.get()) != 0) fail_pending();
    });
  } else {
    Ref divisor(gross_divisor(weight_sum.get(), max_gross));
    for_each_key(weights, [&](PyObject* sid) {
      Ref w(checked(PyObject_GetItem(weights, sid)));
      Ref scaled(checked(PyNumber_TrueDivide(w.get(), divisor.get())));
      if (PyObject_SetItem(weights, sid, scaled.get()) != 0) fail_pending();
    });
  }
  Ref neg_limit;
  for_each_key(weights, [&](PyObject* sid) {
    Ref w(checked(PyObject_GetItem(weights, sid)));
    int t = PyObject_RichCompareBool(w.get(), limit, Py_GT);
    if (t < 0) fail_pending();
    if (t == 1) {
      if (PyObject_SetItem(weights, sid, limit) != 0) fail_pending();
      return;
    }
    if (!neg_limit) neg_limit.reset(checked(PyNumber_Negative(limit)));
    t = PyObject_RichCompareBool(w.get(), neg_limit.get(), Py_LT);
    if (t < 0) fail_pending();
    if (t == 1) {
      Ref fresh(checked(PyNumber_Negative(limit)));
      if (PyObject_SetItem(weights, sid, fresh.get()) != 0) fail_pending();
    }
  });
  return Py_NewRef(weights);
}

}  // namespace pelmora::py
