#include "boundary/sweep_figures.hpp"

#include <algorithm>
#include <cmath>
#include <type_traits>
#include <vector>

#include "boundary/numpy.hpp"
#include "boundary/pyerrors.hpp"
#include "core/column.hpp"
#include "core/numpy_sum.hpp"
#include "core/trade_figures.hpp"

namespace pelmora::py {
namespace {

// A column as a view; one the run left unwritten (a unit portfolio's account
// columns hold one value each) as a view of `value` at every fill.
template <class T>
View1D<T> column_view(const Column<T>& c, std::size_t n, const std::type_identity_t<T>* value) {
  if (c.size() != n && value == nullptr) {
    fail(ErrorKind::ValueError, "statistics figures: the run's columns differ in length");
  }
  if (c.size() == n) {
    return View1D<T>{reinterpret_cast<const char*>(c.data()), static_cast<std::int64_t>(n),
                     static_cast<std::int64_t>(sizeof(T))};
  }
  return View1D<T>{reinterpret_cast<const char*>(value), static_cast<std::int64_t>(n), 0};
}

bool any_nan(const View1D<double>& x) {
  for (std::int64_t i = 0; i < x.size; ++i) {
    if (std::isnan(x.get(i))) return true;
  }
  return false;
}

}  // namespace

Ref statistics_figures(const Journal& j, const double* equity, std::int64_t n_rows,
                       std::int64_t summary_width) {
  static const double zero = 0.0;
  static const double nan = std::nan("");
  const FillColumns& f = j.fills;
  const TradeColumns& t = j.trades;
  const std::size_t n_fills = f.row.size();
  const std::size_t n_trades = t.sid.size();
  const View1D<double> requested = column_view(f.requested, n_fills, &nan);
  const bool no_capital = any_nan(requested);
  if (!j.pending.row.empty() && !no_capital) return Ref();
  // The mae and the gmfe are the first two fields of a trade's summary block.
  const bool summarised =
      summary_width >= 2 && j.excursions.size() == n_trades * static_cast<std::size_t>(summary_width);
  if (n_trades > 0 && !summarised) return Ref();

  const View1D<double> written_off = column_view(f.written_off, n_fills, &zero);
  const double fill_rate =
      no_capital ? nan
                 : fill_rate_of_fills(column_view(f.shares, n_fills, &nan), requested, written_off);
  std::vector<double> pnl;
  if (!position_pnl(column_view(t.pnl, n_trades, &nan), column_view(t.sid, n_trades, nullptr),
                    column_view(t.entry_row, n_trades, nullptr),
                    column_view(t.exit_row, n_trades, nullptr),
                    column_view(t.exit_fill, n_trades, nullptr),
                    column_view(f.after, n_fills, nullptr), pnl)) {
    fail(ErrorKind::ValueError, "statistics figures: a trade's exit fill lies outside the fills");
  }
  const TradeFigures figures = trade_figures(
      View1D<double>{reinterpret_cast<const char*>(pnl.data()),
                     static_cast<std::int64_t>(pnl.size()), sizeof(double)});
  const std::int64_t stride = summary_width * static_cast<std::int64_t>(sizeof(double));
  const char* blocks = reinterpret_cast<const char*>(j.excursions.data());
  const auto trades = static_cast<std::int64_t>(n_trades);
  double mean_mae = nan, mean_gmfe = nan;
  means_skipping_nan(View1D<double>{blocks, summarised ? trades : 0, stride},
                     View1D<double>{blocks + sizeof(double), summarised ? trades : 0, stride},
                     mean_mae, mean_gmfe);

  npy_intp rows = static_cast<npy_intp>(n_rows);
  Ref turnover(checked(PyArray_ZEROS(1, &rows, NPY_DOUBLE, 0)));
  const View1D<std::int64_t> fill_rows = column_view(f.row, n_fills, nullptr);
  if (!turnover_per_row(
          fill_rows, column_view(f.before, n_fills, nullptr), column_view(f.after, n_fills, nullptr),
          written_off, View1D<double>{reinterpret_cast<const char*>(equity), n_rows, sizeof(double)},
          static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(turnover.get())))) ) {
    fail(ErrorKind::ValueError, "statistics figures: a fill's row lies outside the equity's rows");
  }
  std::int64_t first_fill = n_rows;
  for (std::int64_t i = 0; i < fill_rows.size; ++i) first_fill = std::min(first_fill, fill_rows.get(i));

  return Ref(checked(Py_BuildValue(
      "{s:O,s:(LLLddd),s:n,s:(dd),s:(dddd),s:L,s:d}", "turnover", turnover.get(), "trade_figures",
      static_cast<long long>(figures.counted), static_cast<long long>(figures.wins),
      static_cast<long long>(figures.losses), figures.gains, figures.lost, figures.total,
      "positions", static_cast<Py_ssize_t>(pnl.size()), "means", mean_mae, mean_gmfe, "costs",
      numpy_sum(column_view(f.fee, n_fills, nullptr)), numpy_sum(column_view(f.tax, n_fills, nullptr)),
      numpy_sum(column_view(f.slippage, n_fills, &zero)),
      numpy_sum(column_view(f.impact, n_fills, &zero)), "window_start",
      static_cast<long long>(first_fill), "fill_rate", fill_rate)));
}

}  // namespace pelmora::py
