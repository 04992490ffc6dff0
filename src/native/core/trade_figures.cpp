#include "core/trade_figures.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <memory>
#include <numeric>
#include <utility>

#include "core/numpy_sum.hpp"

namespace pelmora {

TradeFigures trade_figures(const View1D<double>& pnl) {
  // One buffer holds the wins from the front and the losses from the back
  // (reversed, put back in order below), then the counted values: each is
  // summed as the compacted array NumPy would sum. Left uninitialised: every
  // slot summed is written first.
  const std::int64_t n = pnl.size;
  std::unique_ptr<double[]> owned(new double[static_cast<std::size_t>(n > 0 ? n : 1)]);
  double* buf = owned.get();
  TradeFigures f;
  // Without a branch (a pnl's sign is a coin toss): each value is written to
  // both free ends, and only the end it belongs to moves past it. The free
  // slots lie between the ends, so no kept value is overwritten.
  std::int64_t back = n;
  for (std::int64_t i = 0; i < n; ++i) {
    const double v = pnl.get(i);
    buf[f.wins] = v;
    f.wins += v > 0.0;
    buf[back - 1] = v;
    back -= v < 0.0;
    f.counted += v == v;
  }
  f.losses = n - back;
  for (std::int64_t i = back, j = n - 1; i < j; ++i, --j) std::swap(buf[i], buf[j]);
  f.gains = numpy_sum(buf, f.wins);
  f.lost = numpy_sum(buf + back, f.losses);
  if (f.counted == n) {
    // No NaN: the counted pnl is the column itself, summed where it lies.
    f.total = numpy_sum(pnl);
    return f;
  }
  std::int64_t k = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    const double v = pnl.get(i);
    buf[k] = v;
    k += v == v;
  }
  f.total = numpy_sum(buf, k);
  return f;
}

namespace {

// pandas' rule for a NaN in a mean: a zero in the sum, one less in the count.
inline double zero_if_nan(double v, std::int64_t& missing) {
  const bool nan = v != v;
  missing += nan;
  return nan ? 0.0 : v;
}

}  // namespace

double mean_skipping_nan(const View1D<double>& x) {
  std::int64_t missing = 0;
  auto load = [&](std::int64_t i, double* v) { v[0] = zero_if_nan(x.get(i), missing); };
  const double sum = numpy_sum_of(load, x.size);
  return sum / static_cast<double>(x.size - missing);
}

void means_skipping_nan(const View1D<double>& x, const View1D<double>& y, double& mean_x,
                        double& mean_y) {
  // Both sums in one pass: the zeroed values go straight into the pairwise
  // tree (the same tree for both, as the lengths are equal), no copy of either.
  std::int64_t missing_x = 0, missing_y = 0;
  auto load = [&](std::int64_t i, double* v) {
    v[0] = zero_if_nan(x.get(i), missing_x);
    v[1] = zero_if_nan(y.get(i), missing_y);
  };
  double sums[2];
  numpy_sums<2>(load, x.size, sums);
  mean_x = sums[0] / static_cast<double>(x.size - missing_x);
  mean_y = sums[1] / static_cast<double>(x.size - missing_y);
}

namespace {

// The records grouped by stock in their own order (a counting sort), which
// is the order by the row they opened when, as a run records them, a stock's
// records open in the order they were recorded. False when the stocks' ids
// span too wide a range for the count or a stock's records are out of order:
// the caller sorts them then.
bool by_stock_in_order(const View1D<std::int64_t>& sid, const View1D<std::int64_t>& entry_row,
                       std::vector<std::int64_t>& order) {
  const std::int64_t n = sid.size;
  std::int64_t lo = sid.get(0), hi = lo;
  for (std::int64_t i = 1; i < n; ++i) lo = std::min(lo, sid.get(i)), hi = std::max(hi, sid.get(i));
  if (hi - lo > 4 * n + 1024 || hi - lo < 0) return false;
  std::vector<std::int64_t> start(static_cast<std::size_t>(hi - lo + 2), 0);
  for (std::int64_t i = 0; i < n; ++i) ++start[static_cast<std::size_t>(sid.get(i) - lo + 1)];
  for (std::size_t k = 1; k < start.size(); ++k) start[k] += start[k - 1];
  std::vector<std::int64_t> last_entry(start.size() - 1, INT64_MIN);
  for (std::int64_t i = 0; i < n; ++i) {
    const auto slot = static_cast<std::size_t>(sid.get(i) - lo);
    if (entry_row.get(i) < last_entry[slot]) return false;
    last_entry[slot] = entry_row.get(i);
    order[static_cast<std::size_t>(start[slot]++)] = i;
  }
  return true;
}

}  // namespace

bool position_pnl(const View1D<double>& pnl, const View1D<std::int64_t>& sid,
                  const View1D<std::int64_t>& entry_row, const View1D<std::int64_t>& exit_row,
                  const View1D<std::int64_t>& exit_fill, const View1D<double>& after,
                  std::vector<double>& out) {
  const std::int64_t n = pnl.size;
  out.resize(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) out[static_cast<std::size_t>(i)] = pnl.get(i);
  if (n < 2) return true;
  std::vector<char> continued(static_cast<std::size_t>(n));
  bool any = false;
  for (std::int64_t i = 0; i < n; ++i) {
    const std::int64_t fill = exit_fill.get(i);
    if (fill >= after.size) return false;
    const bool kept = fill < 0 || after.get(fill) != 0.0;
    continued[static_cast<std::size_t>(i)] = exit_row.get(i) >= 0 && kept;
    any = any || continued[static_cast<std::size_t>(i)];
  }
  if (!any) return true;
  // The records by stock, then by the row they opened, then in their order.
  std::vector<std::int64_t> order(static_cast<std::size_t>(n));
  if (!by_stock_in_order(sid, entry_row, order)) {
    std::iota(order.begin(), order.end(), std::int64_t{0});
    std::sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
      const std::int64_t sa = sid.get(a), sb = sid.get(b);
      if (sa != sb) return sa < sb;
      const std::int64_t ea = entry_row.get(a), eb = entry_row.get(b);
      return ea != eb ? ea < eb : a < b;
    });
  }
  // Each position's total and the index of its last record, in sorted order.
  std::vector<std::pair<std::int64_t, double>> positions;
  for (std::int64_t k = 0; k < n; ++k) {
    const std::int64_t cur = order[static_cast<std::size_t>(k)];
    bool joined = false;
    if (k > 0) {
      const std::int64_t prev = order[static_cast<std::size_t>(k - 1)];
      joined = sid.get(cur) == sid.get(prev) && continued[static_cast<std::size_t>(prev)] &&
               entry_row.get(cur) == exit_row.get(prev);
    }
    if (!joined) positions.emplace_back(cur, 0.0);
    auto& p = positions.back();
    p.first = std::max(p.first, cur);
    p.second += pnl.get(cur);
  }
  std::sort(positions.begin(), positions.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  out.resize(positions.size());
  for (std::size_t g = 0; g < positions.size(); ++g) out[g] = positions[g].second;
  return true;
}

double fill_rate_of_fills(const View1D<double>& shares, const View1D<double>& requested,
                          const View1D<double>& written_off) {
  const std::int64_t n = requested.size;
  for (std::int64_t i = 0; i < n; ++i) {
    if (std::isnan(requested.get(i))) return std::nan("");
  }
  // The traded fills' absolute values, compacted as NumPy's boolean index
  // leaves them, each column summed as NumPy sums it.
  std::vector<double> filled, asked;
  filled.reserve(static_cast<std::size_t>(n)), asked.reserve(static_cast<std::size_t>(n));
  for (std::int64_t i = 0; i < n; ++i) {
    if (written_off.get(i) != 0.0) continue;
    filled.push_back(std::fabs(shares.get(i)));
    asked.push_back(std::fabs(requested.get(i)));
  }
  const double total_asked = numpy_sum(asked.data(), static_cast<std::int64_t>(asked.size()));
  if (total_asked == 0.0) return std::nan("");
  return numpy_sum(filled.data(), static_cast<std::int64_t>(filled.size())) / total_asked;
}

}  // namespace pelmora
