// pelmora.core.journal: the run journal. `run` takes backtest_'s parameters,
// runs the same engine with the interpreter lock released from the first row
// to the last and returns everything the run did in a dict of arrays;
// `run_many` runs variants of one set of inputs on native threads.
//
// Nothing here is process-wide: each run owns its engine, journal and
// buffers, and only ever reads its inputs (pinned, see run_driver.hpp). This
// file holds the entries and the layout of their output; the run itself is
// the boundary's run driver.
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <climits>
#include <cmath>
#include <cstring>
#include <vector>

#include "boundary/arguments.hpp"
#include "boundary/converters.hpp"
#include "boundary/entry.hpp"
#include "boundary/execution_args.hpp"
#include "boundary/module_support.hpp"
#include "boundary/ndarray_out.hpp"
#include "boundary/price_checks.hpp"
#include "boundary/numpy.hpp"
#include "boundary/option_texts.hpp"
#include "boundary/pyerrors.hpp"
#include "boundary/pyref.hpp"
#include "boundary/report.hpp"
#include "boundary/run_args.hpp"
#include "boundary/run_driver.hpp"
#include "boundary/run_figures.hpp"
#include "boundary/run_output.hpp"
#include "boundary/sweep_figures.hpp"
#include "core/batching.hpp"
#include "core/engine.hpp"
#include "core/journal.hpp"
#include "core/mapping_pool.hpp"
#include "core/parallel.hpp"
#include "core/trade_figures.hpp"
#include "modules/build_id.hpp"

namespace pelmora::journal {
namespace {

using py::Dtype;
using py::Ref;

constexpr const char* kRun = "pelmora.core.journal.run";
constexpr const char* kRunMany = "pelmora.core.journal.run_many";
constexpr const char* kBatchType =
    "batch must be None, an int or a pair of ints (variants, rows), not %.200s";
constexpr const char* kBatchValue = "batch must be at least 1, got %lld";
// The keyword-only options after the run's 25: the two output switches and
// whether the closes were checked, then the account's options.
constexpr int kFlags = 4;
constexpr int kKeywords = kFlags + py::kExecutionCount;
const char* const* keyword_table(bool defaults) {
  static const char* names[kKeywords];
  static const char* texts[kKeywords];
  names[0] = "positions", names[1] = "excursions", names[2] = "closes_checked";
  names[3] = "constant_views";
  texts[0] = texts[1] = "True";
  texts[2] = texts[3] = "False";
  for (int i = 0; i < py::kExecutionCount; ++i) {
    names[kFlags + i] = py::kExecutionNames[i];
    texts[kFlags + i] = py::kExecutionDefaults[i];
  }
  return defaults ? texts : names;
}
const char* const* const kKeywordNames = keyword_table(false);
const char* const* const kKeywordDefaults = keyword_table(true);
constexpr int kAllNames = py::kRunTotal + kKeywords;

const char* const* all_names() {
  static const char* names[kAllNames];
  for (int i = 0; i < py::kRunTotal; ++i) names[i] = py::kRunParameterNames[i];
  for (int i = 0; i < kKeywords; ++i) names[py::kRunTotal + i] = kKeywordNames[i];
  return names;
}

// The account's keyword values of one run (nullptr: not given).
struct AccountArgs {
  PyObject* raw[py::kExecutionCount] = {};
};

class JournalReportHooks final : public py::ReportHooks {
 public:
  JournalReportHooks(bool stop_trading, double max_gross)
      : stop_trading_(stop_trading), max_gross_(max_gross) {}
  bool stop_trading() override { return stop_trading_; }
  PyObject* normalize(PyObject* weights, PyObject* limit) override {
    return py::normalize_weights(weights, limit, max_gross_);
  }

 private:
  bool stop_trading_;
  double max_gross_;
};

// --- one run ----------------------------------------------------------------------------

// The keyword-only switches of a run: what to record, and what the caller
// has checked already.
struct Switches {
  bool positions = true;
  int excursions = 1;  // off (0), every trade's array (1), the summary blocks (2)
  bool closes_checked = false;
  bool constant_views = false;
  bool figures = false;  // the statistics' figures in place of the fills and trades
};

// The journal's options, under the lock after the preparation (the truth of
// stop_trading_next_period is taken here, once). Throws Failure.
void configure(py::PreparedRun& p, const Switches& on, bool single,
               const AccountArgs& account) {
  py::RunArguments& a = p.args;
  py::convert_execution(account.raw, py::pos_columns_view(a).size, p.inputs.price,
                        p.inputs.price_index, a.volume, a.options.exec);
  JournalOptions& j = p.jopt;
  j.window = a.window;
  j.window_step = a.window_step;
  j.split_on_resize = !a.options.retain_cost_when_rebalance && a.periodically_rebalance;
  j.stop_trading = py::to_bool(a.stop_trading);
  j.positions = on.positions;
  j.excursions = on.excursions != 0;
  j.summary_only = on.excursions == 2;
  j.closes_checked = on.closes_checked;
  // The figures read a unit portfolio's account columns as their one value:
  // nothing needs them written.
  j.constant_views = on.constant_views || on.figures;
  j.figures = on.figures;
  j.close_missing = a.arrays[py::param::close_values] == Py_None;
  j.n_stocks = py::pos_columns_view(a).size;
  // A single run may use a second core for its excursion arrays and its
  // positions when it is big enough to repay starting a thread; the variants
  // of run_many already share the cores among themselves.
  constexpr double kHelperCells = 1 << 18;
  j.helper_thread = single &&
                       static_cast<double>(p.inputs.price_index.size) *
                               static_cast<double>(p.inputs.pos_values.cols) >=
                           kHelperCells &&
                       usable_cpus() > 1;
}

std::int64_t excursion_width(const Journal& j, const JournalOptions& o) {
  if (j.excursion_length() >= 0) return j.excursion_length();
  try {
    const std::int64_t size = std::max<std::int64_t>(excursion_array_size(o.window, o.window_step), 0);
    return o.summary_only ? std::min<std::int64_t>(kExcursionBlock, size) : size;
  } catch (const Failure&) {
    return 0;
  }
}

// The fill, trade and excursion columns of the output, handed over to NumPy.
void columns_into(PyObject* out, py::PreparedRun& p, Journal& j, std::int64_t n_trades) {
  using py::columns;
  using py::ndarray_of;
  using py::put;
  FillColumns& f = j.fills;
  // Unwritten constants when asked for: read-only views of their one value.
  const bool views = p.jopt.constant_views && !f.account();
  const std::int64_t n_fills = static_cast<std::int64_t>(f.row.size());
  auto account = [&](Column<double>& c, double unit_value) {
    return views ? py::constant_vector(n_fills, unit_value) : ndarray_of(c, Dtype::Float64);
  };
  const double nan = std::nan("");
  put(out, "fills",
      columns({{"row", ndarray_of(f.row, Dtype::Int64)}, {"sid", ndarray_of(f.sid, Dtype::Int64)},
               {"reason", ndarray_of(f.reason, Dtype::Int8)},
               {"before", ndarray_of(f.before, Dtype::Float64)},
               {"after", ndarray_of(f.after, Dtype::Float64)},
               {"price", ndarray_of(f.price, Dtype::Float64)},
               {"fee", ndarray_of(f.fee, Dtype::Float64)}, {"tax", ndarray_of(f.tax, Dtype::Float64)},
               {"suspended", ndarray_of(f.suspended, Dtype::Bool)},
               {"slippage", account(f.slippage, 0.0)}, {"impact", account(f.impact, 0.0)},
               {"written_off", account(f.written_off, 0.0)},
               {"shares", account(f.shares, nan)}, {"requested", account(f.requested, nan)}}));
  TradeColumns& t = j.trades;
  put(out, "trades",
      columns({{"sid", ndarray_of(t.sid, Dtype::Int64)},
               {"entry_row", ndarray_of(t.entry_row, Dtype::Int64)},
               {"exit_row", ndarray_of(t.exit_row, Dtype::Int64)},
               {"position", ndarray_of(t.position, Dtype::Float64)},
               {"entry_value", ndarray_of(t.entry_value, Dtype::Float64)},
               {"exit_value", ndarray_of(t.exit_value, Dtype::Float64)},
               {"cost", ndarray_of(t.cost, Dtype::Float64)}, {"pnl", ndarray_of(t.pnl, Dtype::Float64)},
               {"exit_reason", ndarray_of(t.exit_reason, Dtype::Int8)},
               {"entry_fill", ndarray_of(t.entry_fill, Dtype::Int64)},
               {"exit_fill", ndarray_of(t.exit_fill, Dtype::Int64)}}));
  // The paths under "excursions", or the summary blocks alone under
  // "excursion_summary" when the paths were not asked for.
  const char* kept_as = p.jopt.summary_only ? "excursion_summary" : "excursions";
  put(out, p.jopt.summary_only ? "excursions" : "excursion_summary", Py_NewRef(Py_None));
  if (p.jopt.excursions) {
    const std::int64_t width = excursion_width(j, p.jopt);
    put(out, kept_as, j.excursions.empty() ? py::empty_matrix(n_trades, width)
                                                 : ndarray_of(j.excursions, Dtype::Float64, width));
  } else {
    put(out, kept_as, Py_NewRef(Py_None));
  }
}

// The output: the journal's columns handed over to NumPy, and the next-period orders.
PyObject* result_dict(py::PreparedRun& p, py::Outcome& o) {
  using py::columns;
  using py::ndarray_of;
  using py::put;
  Journal& j = *o.journal;
  const std::int64_t n_trades = static_cast<std::int64_t>(j.trades.sid.size());
  Ref out(py::new_run_output());
  if (PyDict_SetItemString(out.get(), "creturn", p.creturn.get()) != 0) fail_pending();
  put(out.get(), "cash", ndarray_of(j.cash, Dtype::Float64));
  put(out.get(), "rebalance_rows", ndarray_of(j.rebalance_rows, Dtype::Int64));
  // A caller that reads only the statistics gets their figures, not the
  // columns they are made of (unless the figures need the columns).
  Ref figures;
  if (p.jopt.figures) {
    figures = py::statistics_figures(j, p.creturn_data(), p.inputs.price_index.size,
                                     excursion_width(j, p.jopt));
  }
  if (figures) {
    for (const char* name : {"fills", "trades", "excursions", "excursion_summary"}) {
      put(out.get(), name, Py_NewRef(Py_None));
    }
    put(out.get(), "figures", figures.release());
  } else {
    columns_into(out.get(), p, j, n_trades);
  }
  if (p.jopt.positions) {
    PositionColumns& q = j.positions;
    put(out.get(), "positions",
        columns({{"row", ndarray_of(q.row, Dtype::Int64)}, {"sid", ndarray_of(q.sid, Dtype::Int64)},
                 {"value", ndarray_of(q.value, Dtype::Float64)}}));
  } else {
    put(out.get(), "positions", Py_NewRef(Py_None));
  }
  FinancingColumns& m = j.financing;
  put(out.get(), "financing",
      columns({{"row", ndarray_of(m.row, Dtype::Int64)},
               {"days", ndarray_of(m.days, Dtype::Float64)},
               {"balance", ndarray_of(m.balance, Dtype::Float64)},
               {"interest", ndarray_of(m.interest, Dtype::Float64)},
               {"short_value", ndarray_of(m.short_value, Dtype::Float64)},
               {"short_fee", ndarray_of(m.short_fee, Dtype::Float64)}}));
  PendingColumns& orders = j.pending;
  put(out.get(), "pending",
      columns({{"row", ndarray_of(orders.row, Dtype::Int64)},
               {"sid", ndarray_of(orders.sid, Dtype::Int64)},
               {"shares", ndarray_of(orders.shares, Dtype::Float64)},
               {"reason", ndarray_of(orders.reason, Dtype::Int8)}}));
  // Where the account stopped: its row, the reason of its closing fills
  // (a REASONS code), and the equity and gross held that stopped it.
  if (j.stop_row >= 0) {
    put(out.get(), "stopped",
        py::checked(Py_BuildValue("{s:L,s:i,s:d,s:d}", "row", static_cast<long long>(j.stop_row),
                                  "reason", static_cast<int>(j.stop_reason), "equity",
                                  j.stop_equity, "gross", j.stop_gross)));
  } else {
    put(out.get(), "stopped", Py_NewRef(Py_None));
  }
  JournalReportHooks report_hooks(p.jopt.stop_trading, p.args.options.exec.max_gross);
  put(out.get(), "next_period",
      py::build_report(o.engine->state(), p.inputs, p.args.options.position_limit, report_hooks,
                       p.args.options.exec.max_gross));
  return out.release();
}

// One whole run under the lock (released while it runs); `columns`: the
// labels' map when run_many has made it already.
PyObject* run_one(PyObject* const* raw, const Switches& on, const ColumnMap* columns,
                  const AccountArgs& account) {
  py::Preparation how;
  how.pin_inputs = true;
  how.pooled_creturn = true;
  how.check_label_counts = true;
  how.columns = columns;
  return py::run_released(
      kRun, raw, how,
      [&](py::PreparedRun& p) {
        configure(p, on, columns == nullptr, account);
      },
      result_dict);
}

// --- run -------------------------------------------------------------------------------

// The `excursions` switch: off (0), every trade's array (1) or "summary"
// (2: each trade's summary block, not its path). -1 with an exception set.
int excursion_mode(PyObject* o) {
  if (o == nullptr) return 1;
  if (PyUnicode_Check(o)) {
    if (PyUnicode_CompareWithASCIIString(o, "summary") == 0) return 2;
    PyErr_Format(PyExc_ValueError, "excursions must be True, False or \"summary\", got %R", o);
    return -1;
  }
  const int t = PyObject_IsTrue(o);
  return t < 0 ? -1 : t;
}

// The switches from their keywords (nullptr: not given); false with an
// exception set.
bool switch_arguments(PyObject* positions, PyObject* excursions, PyObject* closes_checked,
                      Switches& on) {
  const int t = positions == nullptr ? 1 : PyObject_IsTrue(positions);
  if (t < 0) return false;
  on.positions = t != 0;
  on.excursions = excursion_mode(excursions);
  if (on.excursions < 0) return false;
  const int c = closes_checked == nullptr ? 0 : PyObject_IsTrue(closes_checked);
  on.closes_checked = c > 0;
  return c >= 0;
}

PyObject* run(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* raw[kAllNames];
  static const char* const* names = all_names();
  if (!py::parse_arguments("run", names, py::kRunRequired, kAllNames, args, nargs, kwnames, raw,
                           py::kRunTotal)) {
    return nullptr;
  }
  Switches on;
  if (!switch_arguments(raw[py::kRunTotal], raw[py::kRunTotal + 1], raw[py::kRunTotal + 2], on)) {
    return nullptr;
  }
  const int views = raw[py::kRunTotal + 3] == nullptr ? 0 : PyObject_IsTrue(raw[py::kRunTotal + 3]);
  if (views < 0) return nullptr;
  on.constant_views = views != 0;
  AccountArgs account;
  for (int i = 0; i < py::kExecutionCount; ++i) account.raw[i] = raw[py::kRunTotal + kFlags + i];
  pool_new_run();
  return run_one(raw, on, nullptr, account);
}

PyObject* run_entry_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
  return run(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

extern const char kRunDoc[];
const char kRunDoc[] =
    "Run a backtest with the interpreter lock released and return everything it did.\n\n"
    "Takes backtest_'s 25 parameters (same names, order, defaults and errors), the\n"
    "keyword-only switches `positions` and `excursions` (True, False, or \"summary\": each\n"
    "trade's summary block under 'excursion_summary', without the paths), `closes_checked`\n"
    "(True: the caller has checked that no close is zero, as pelmora.prepare_inputs does; a\n"
    "summary then reads no close past its trade's exit, which only a zero close there could\n"
    "fail on), `constant_views` (True: a unit portfolio's slippage, impact, written_off,\n"
    "shares and requested, one value each, come as read-only views of it, not written)\n"
    "and the account's options:\n"
    "capital (currency at the start; None: the unit portfolio), lot_size (a number or\n"
    "one per position label; needs capital), slippage (fraction of the price paid per\n"
    "fill), min_fee (currency per fill; needs capital), max_gross (largest sum of\n"
    "absolute weights), cash_rate, borrow_rate, short_fee (annual, ACT/365),\n"
    "day_length (price-index units per day), volume (shares traded, shaped like\n"
    "price_values), max_participation (largest fraction of a row's volume a fill takes;\n"
    "the rest waits as a pending order), impact and impact_window (the square-root\n"
    "impact), maintenance_margin (an equity at a close below this fraction of the gross\n"
    "held closes the book: a margin call). At their defaults the run is backtest_'s bit\n"
    "for bit. Returns a dict: creturn, cash, rebalance_rows, fills, trades, excursions,\n"
    "positions, financing, pending, stopped (None, or where an equity of 0 or less or a\n"
    "margin call closed the book: row, reason, equity, gross), next_period (a RunOutput:\n"
    "a dict where the old\n"
    "key 'report' still reads, with a DeprecationWarning). Module state of runvane and\n"
    "swaylen is never touched.";

py::EntryInfo g_run_info{"run", "pelmora.core.journal", kRunDoc, run_entry_call, kKeywordNames,
                         kKeywords, HUGE_VAL, kKeywordDefaults};

// --- run_many ----------------------------------------------------------------------------

// The most stocks one row of `weights` holds, when it is a 2-D float64
// array (the last row: what a run holds at its end), else -1.
std::int64_t held_in_last_row(PyObject* weights) {
  if (weights == nullptr || !PyArray_Check(weights)) return -1;
  PyArrayObject* a = reinterpret_cast<PyArrayObject*>(weights);
  if (PyArray_NDIM(a) != 2 || PyArray_TYPE(a) != NPY_DOUBLE || PyArray_DIM(a, 0) < 1) return -1;
  const npy_intp rows = PyArray_DIM(a, 0), cols = PyArray_DIM(a, 1);
  const char* row = static_cast<const char*>(PyArray_DATA(a)) + (rows - 1) * PyArray_STRIDE(a, 0);
  std::int64_t held = 0;
  for (npy_intp c = 0; c < cols; ++c) {
    double w;
    std::memcpy(&w, row + c * PyArray_STRIDE(a, 1), sizeof w);
    held += w != 0.0;
  }
  return held;
}

// One positive count of run_many's `batch`; false with an exception set.
bool batch_count(PyObject* obj, std::int64_t& count) {
  if (!PyLong_Check(obj) || PyBool_Check(obj)) {
    PyErr_Format(PyExc_TypeError, kBatchType, Py_TYPE(obj)->tp_name);
    return false;
  }
  const long long b = PyLong_AsLongLong(obj);
  if (b == -1 && PyErr_Occurred()) return false;
  if (b < 1) {
    PyErr_Format(PyExc_ValueError, kBatchValue, b);
    return false;
  }
  count = b;
  return true;
}

// run_many's `batch`: None (0: chosen from the cache), the variants per
// batch, or a pair (variants, rows each walks before the next one does).
bool batch_argument(PyObject* obj, std::int64_t& variants, std::int64_t& rows) {
  if (obj == nullptr || obj == Py_None) return true;
  if (PyTuple_Check(obj) && PyTuple_GET_SIZE(obj) == 2) {
    return batch_count(PyTuple_GET_ITEM(obj, 0), variants) &&
           batch_count(PyTuple_GET_ITEM(obj, 1), rows);
  }
  return batch_count(obj, variants);
}

PyObject* run_many(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"arrays",     "variants",       "threads", "positions",
                                      "excursions", "closes_checked", "batch",   "figures"};
  PyObject* a[8];
  if (!py::parse_arguments("run_many", names, 2, 8, args, nargs, kwnames, a, 2)) return nullptr;
  return py::guarded(kRunMany, [&]() -> PyObject* {
    pool_new_run();  // the variants together are one run to the pool
    // Strong references to the arrays before any Python code of the call runs.
    Ref base[py::kRunTotal];
    if (!py::run_arrays(a[0], base)) return nullptr;
    Ref variants(PySequence_List(a[1]));
    if (!variants) {
      // Only "not iterable" is the argument's fault; whatever the iteration
      // itself raised (an interrupt included) goes out as it is.
      if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
      PyErr_Clear();
      PyErr_Format(PyExc_TypeError,
                   "run_many() argument 'variants' must be an iterable of dicts, not %.200s",
                   Py_TYPE(a[1])->tp_name);
      return nullptr;
    }
    const Py_ssize_t n = PyList_GET_SIZE(variants.get());
    int threads = usable_cpus();
    if (!py::threads_argument(a[2], threads)) return nullptr;
    Switches on;
    if (!switch_arguments(a[3], a[4], a[5], on)) return nullptr;
    const int figures = a[7] == nullptr ? 0 : PyObject_IsTrue(a[7]);
    if (figures < 0) return nullptr;
    on.figures = figures != 0;
    std::int64_t requested = 0, requested_rows = 0;
    if (!batch_argument(a[6], requested, requested_rows)) return nullptr;
    // Every slot is set by the thread that runs its variant.
    Ref results(py::checked(PyList_New(n)));
    if (n == 0) return results.release();

    // Every variant's arguments, taken now (the list holds the dicts; the
    // dicts' contents are copied as strong references).
    std::vector<py::VariantArgs> variant_args(static_cast<std::size_t>(n));
    std::int64_t holdings = 1;
    for (Py_ssize_t k = 0; k < n; ++k) {
      py::VariantArgs& v = variant_args[static_cast<std::size_t>(k)];
      if (!py::variant_arguments(base, PyList_GET_ITEM(variants.get(), k), v, k,
                                 py::kExecutionNames, py::kExecutionCount)) {
        v.error.reset(py::fetch_exception());
        if (py::raised_by_signal(v.error.get())) {
          PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(v.error.get())), v.error.get());
          return nullptr;
        }
        continue;
      }
      holdings = std::max(holdings, held_in_last_row(v.values[py::param::pos_values].get()));
    }

    // The column map depends only on the labels, which no variant changes.
    py::check_label_counts(base[py::param::price_columns].get(), base[py::param::pos_columns].get());
    const ColumnMap columns(
        py::map_columns(base[py::param::price_columns].get(), base[py::param::pos_columns].get()));
    Py_ssize_t price_columns = PyObject_Length(base[py::param::price_columns].get());
    if (price_columns < 0) {
      PyErr_Clear();
      price_columns = 1;
    }
    BatchShape shape =
        batch_shape(n, threads, price_columns, holdings, requested, batch_cache_bytes());
    if (requested_rows > 0) shape.block_rows = requested_rows;
    const std::int64_t n_batches = (n + shape.variants - 1) / shape.variants;

    py::Preparation how;
    how.pin_inputs = true;
    how.pooled_creturn = true;
    how.check_label_counts = true;
    how.columns = &columns;
    // A batch's results in a list of its own; a failure of the batch as a
    // whole (no memory for that list) lands in every slot of the batch.
    Ref batches(py::checked(PyList_New(n_batches)));
    auto one = [&](std::int64_t b) -> PyObject* {
      const std::int64_t first = b * shape.variants;
      const std::int64_t count = std::min<std::int64_t>(shape.variants, n - first);
      Ref out(PyList_New(count));
      if (!out) return nullptr;
      std::vector<std::array<PyObject*, py::kRunTotal>> raw(static_cast<std::size_t>(count));
      std::vector<PyObject* const*> raws(static_cast<std::size_t>(count), nullptr);
      for (std::int64_t i = 0; i < count; ++i) {
        py::VariantArgs& v = variant_args[static_cast<std::size_t>(first + i)];
        if (v.error) {
          PyList_SET_ITEM(out.get(), i, v.error.release());
          continue;
        }
        for (int j = 0; j < py::kRunTotal; ++j) raw[static_cast<std::size_t>(i)][j] = v.values[j].get();
        raws[static_cast<std::size_t>(i)] = raw[static_cast<std::size_t>(i)].data();
      }
      const auto configure_one = [&](std::size_t i, py::PreparedRun& p) {
        AccountArgs account;
        const py::VariantArgs& v = variant_args[static_cast<std::size_t>(first) + i];
        for (int j = 0; j < py::kExecutionCount; ++j) account.raw[j] = v.extra[j].get();
        configure(p, on, false, account);
      };
      if (!py::run_batch_released(kRun, raws, how, shape.block_rows, configure_one, result_dict,
                                  out.get())) {
        return nullptr;
      }
      return out.release();
    };
    if (!py::run_each(batches.get(), n_batches, threads, one)) return nullptr;
    for (std::int64_t b = 0; b < n_batches; ++b) {
      PyObject* got = PyList_GET_ITEM(batches.get(), b);
      const std::int64_t first = b * shape.variants;
      const std::int64_t count = std::min<std::int64_t>(shape.variants, n - first);
      for (std::int64_t i = 0; i < count; ++i) {
        PyObject* item = got != nullptr && PyList_Check(got) ? PyList_GET_ITEM(got, i) : got;
        PyList_SET_ITEM(results.get(), first + i, Py_NewRef(item != nullptr ? item : Py_None));
      }
    }
    return results.release();
  });
}

// --- the statistics' turnover ------------------------------------------------------------

PyObject* turnover(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 5) {
    PyErr_Format(PyExc_TypeError, "_turnover() takes exactly 5 arguments (%zd given)", nargs);
    return nullptr;
  }
  return py::guarded("pelmora.core.journal._turnover", [&]() -> PyObject* {
    py::Buffer b[5];
    b[0].acquire(args[0], py::Elem::Int64, 1, false);
    for (int i = 1; i < 5; ++i) b[i].acquire(args[i], py::Elem::Float64, 1, false);
    const View1D<std::int64_t> rows = b[0].view1d<std::int64_t>();
    const View1D<double> before = b[1].view1d<double>(), after = b[2].view1d<double>();
    const View1D<double> written_off = b[3].view1d<double>(), equity = b[4].view1d<double>();
    if (before.size != rows.size || after.size != rows.size || written_off.size != rows.size) {
      fail(ErrorKind::ValueError, "_turnover: the fill columns differ in length");
    }
    npy_intp n = static_cast<npy_intp>(equity.size);
    Ref out(py::checked(PyArray_ZEROS(1, &n, NPY_DOUBLE, 0)));
    const py::Buffer* taken[] = {&b[0], &b[1], &b[2], &b[3], &b[4]};
    py::check_unmoved(taken, 5);
    double* data = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    if (!turnover_per_row(rows, before, after, written_off, equity, data)) {
      fail(ErrorKind::ValueError, "_turnover: a fill's row lies outside the equity's rows");
    }
    return out.release();
  });
}

// --- the statistics' trade figures ------------------------------------------------------

// A float64 vector argument of the figures below, as a view.
View1D<double> figures_column(py::Buffer& b, PyObject* obj) {
  b.acquire(obj, py::Elem::Float64, 1, false);
  return b.view1d<double>();
}

// --- the output memory pool -------------------------------------------------------------

PyObject* release_memory(PyObject*, PyObject*) {
  std::size_t released = 0;
  Py_BEGIN_ALLOW_THREADS
  released = pool_release();
  Py_END_ALLOW_THREADS
  return PyLong_FromSize_t(released);
}

PyObject* pooled_bytes(PyObject*, PyObject*) { return PyLong_FromSize_t(pool_bytes()); }

PyObject* trade_figures_of(PyObject*, PyObject* arg) {
  return py::guarded("pelmora.core.journal._trade_figures", [&]() -> PyObject* {
    py::Buffer b;
    const TradeFigures f = trade_figures(figures_column(b, arg));
    return py::checked(Py_BuildValue("(LLLddd)", static_cast<long long>(f.counted),
                                     static_cast<long long>(f.wins),
                                     static_cast<long long>(f.losses), f.gains, f.lost, f.total));
  });
}

PyObject* nan_means(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 2) {
    PyErr_Format(PyExc_TypeError, "_means_skipping_nan() takes exactly 2 arguments (%zd given)",
                 nargs);
    return nullptr;
  }
  return py::guarded("pelmora.core.journal._means_skipping_nan", [&]() -> PyObject* {
    py::Buffer bx, by;
    const View1D<double> x = figures_column(bx, args[0]), y = figures_column(by, args[1]);
    if (x.size != y.size) fail(ErrorKind::ValueError, "_means_skipping_nan: the vectors differ in length");
    double mx = 0.0, my = 0.0;
    means_skipping_nan(x, y, mx, my);
    return py::checked(Py_BuildValue("(dd)", mx, my));
  });
}

PyObject* nan_mean(PyObject*, PyObject* arg) {
  return py::guarded("pelmora.core.journal._mean_skipping_nan", [&]() -> PyObject* {
    py::Buffer b;
    return py::checked(PyFloat_FromDouble(mean_skipping_nan(figures_column(b, arg))));
  });
}

// --- module ---------------------------------------------------------------------------------

PyObject* name_tuple(const char* const* names, int n) {
  Ref t(PyTuple_New(n));
  if (!t) return nullptr;
  for (int i = 0; i < n; ++i) {
    PyObject* s = PyUnicode_InternFromString(names[i]);
    if (!s) return nullptr;
    PyTuple_SET_ITEM(t.get(), i, s);
  }
  return t.release();
}

PyMethodDef methods[] = {
    {"run_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(run_many)),
     METH_FASTCALL | METH_KEYWORDS,
     "run_many($module, /, arrays, variants, *, threads=None, positions=True, excursions=True,\n"
     "         closes_checked=False, batch=None, figures=False)\n"
     "--\n\n"
     "Run variants of one set of inputs on native threads, the interpreter lock released.\n\n"
     "`arrays`: the 11 arrays (and optionally delisting_bars) by name; `variants`: dicts\n"
     "overriding options (the account's options of run included) and optionally pos_values. Returns one result per variant, in\n"
     "order; a variant that fails holds the exception instance it raised. The values of\n"
     "both dicts are taken when the call starts. An interrupt (KeyboardInterrupt,\n"
     "SystemExit, or what a signal handler raises) leaves the whole call. `batch`:\n"
     "variants that walk the rows together, a block of rows at a time (None: chosen\n"
     "from the cache and the stocks the weights hold; 1: each variant on its own; a\n"
     "pair (variants, rows) also sets the rows each walks before the next one does);\n"
     "threads take whole batches. Every variant's result is bit for bit its own run's.\n"
     "`figures`: in place of the fill, trade and excursion columns (None), a dict\n"
     "'figures' of what the statistics read from them: turnover (per row),\n"
     "trade_figures (counted, wins, losses, gains, lost, total of the positions'\n"
     "pnl), positions, means (mae, gmfe), costs (fee, tax, slippage, impact),\n"
     "window_start and fill_rate; a variant whose figures need its columns (orders\n"
     "left open with a capital) gets its columns and no 'figures'."},
    {"release_memory", release_memory, METH_NOARGS,
     "release_memory()\n--\n\n"
     "Give the memory of dead outputs back to the system and return its size in bytes.\n\n"
     "The large output columns of a run live in mappings that come back to a pool when\n"
     "NumPy lets go of them, so that the next run writes into memory already faulted in;\n"
     "a mapping no run took through four runs is unmapped when the next one starts. This\n"
     "unmaps the whole pool at once (after a large run, before other work); the next run\n"
     "maps afresh. Outputs still alive are not touched."},
    {"_pooled_bytes", pooled_bytes, METH_NOARGS,
     "_pooled_bytes()\n--\n\n"
     "The bytes the output pool holds now (private; for tests and benchmarks)."},
    {"_price_fault", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py::price_fault)),
     METH_FASTCALL,
     "_price_fault(matrices, used, high, low, bounds, unpriced=False, weights=None, first_row=0,\n"
     "             copies=(), /)"
     "\n--\n\n"
     "The first fault of the price checks of pelmora's user layer (private)."},
    {"_weights_scan", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py::weights_scan)),
     METH_FASTCALL,
     "_weights_scan(values, first_row, copy, /)\n--\n\n"
     "The weight checks of pelmora's user layer in one pass, with the row-major copy (private)."},
    {"_turnover", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(turnover)),
     METH_FASTCALL,
     "_turnover(rows, before, after, written_off, equity, /)\n--\n\n"
     "The weight each row traded, from the fill columns (private; see pelmora.result)."},
    {"_trade_figures", trade_figures_of, METH_O,
     "_trade_figures(pnl, /)\n--\n\n"
     "(counted, wins, losses, sum of wins, sum of losses, sum) of a float64 pnl vector, the\n"
     "sums NumPy's (private; see pelmora.stats)."},
    {"_means_skipping_nan", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(nan_means)),
     METH_FASTCALL,
     "_means_skipping_nan(x, y, /)\n--\n\n"
     "_mean_skipping_nan of two float64 vectors of one length, read side by side (private)."},
    {"_mean_skipping_nan", nan_mean, METH_O,
     "_mean_skipping_nan(values, /)\n--\n\n"
     "pandas' Series.mean of a float64 vector, NaN skipped, bit for bit (private)."},
    {"_start_figures", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py::start_figures)),
     METH_FASTCALL,
     "_start_figures(pnl, mae, gmfe, rows, before, after, written_off, equity, *columns)\n"
     "--\n\n"
     "_run_figures' figures, started on a thread of their own: a _FiguresTask whose\n"
     "result() returns them (private; see pelmora.result)."},
    {"_run_figures", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py::run_figures)),
     METH_FASTCALL,
     "_run_figures(pnl, mae, gmfe, rows, before, after, written_off, equity, *columns)\n--\n\n"
     "(_turnover(...), _trade_figures(pnl), _means_skipping_nan(mae, gmfe), NumPy's sum of\n"
     "each column), computed side by side on the CPUs (private; see pelmora.result)."},
    {"_row_major", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(py::row_major)),
     METH_FASTCALL,
     "_row_major(*matrices)\n--\n\n"
     "Row-major copies of 2-D float64 arrays, in pooled memory when large (private)."},
    {nullptr, nullptr, 0, nullptr},
};

// The account options' error texts, by key, for pelmora.options to format.
PyObject* option_texts() {
  Ref d(PyDict_New());
  if (!d) return nullptr;
  for (const py::OptionText& t : py::kOptionTexts) {
    Ref text(PyUnicode_FromString(t.text));
    if (!text || PyDict_SetItemString(d.get(), t.key, text.get()) != 0) return nullptr;
  }
  return d.release();
}

int exec_module(PyObject* module) {
  if (py::import_numpy() < 0 || py::add_run_output_type(module) < 0 ||
      py::add_figures_task_type(module) < 0) {
    return -1;
  }
  Ref entry(py::make_run_entry(&g_run_info));
  if (!entry || PyModule_AddObjectRef(module, "run", entry.get()) != 0) return -1;
  Ref reasons(name_tuple(kExitReasonNames, kExitReasonCount));
  Ref fields(name_tuple(kExcursionFields, kExcursionBlock));
  if (!reasons || PyModule_AddObjectRef(module, "REASONS", reasons.get()) != 0) return -1;
  if (!fields || PyModule_AddObjectRef(module, "EXCURSION_FIELDS", fields.get()) != 0) return -1;
  if (PyModule_AddStringConstant(module, "BUILD_ID", kBuildId) != 0) return -1;
  Ref texts(option_texts());
  Ref max_rate(PyFloat_FromDouble(py::kMaxRate));
  if (!texts || PyModule_AddObjectRef(module, "OPTION_TEXTS", texts.get()) != 0) return -1;
  if (!max_rate || PyModule_AddObjectRef(module, "MAX_RATE", max_rate.get()) != 0) return -1;
  return 0;
}

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "pelmora.core.journal",
    "The run journal: run (one run, the interpreter lock released, every fill, trade,\n"
    "holding and the next-period orders), run_many (variants on native threads) and\n"
    "release_memory (the memory of dead outputs back to the system).",
    0,
    methods,
    py::module_slots<exec_module>,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace pelmora::journal

PyMODINIT_FUNC PyInit_journal(void) { return PyModuleDef_Init(&pelmora::journal::module_def); }
