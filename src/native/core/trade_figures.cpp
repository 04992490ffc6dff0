#include "core/trade_figures.hpp"

#include <utility>

#include "core/numpy_sum.hpp"

namespace pelmora {

TradeFigures trade_figures(const View1D<double>& pnl, std::vector<double>& scratch) {
  // One buffer holds the wins from the front and the losses from the back
  // (reversed, put back in order below), then the counted values: each is
  // summed as the compacted array NumPy would sum.
  const std::int64_t n = pnl.size;
  scratch.resize(static_cast<std::size_t>(n));
  double* buf = scratch.data();
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

// The mean of the n values of `zeroed` (NaN already zeroed), `missing` of them NaN.
inline double zeroed_mean(const double* zeroed, std::int64_t n, std::int64_t missing) {
  return numpy_sum(zeroed, n) / static_cast<double>(n - missing);
}

}  // namespace

double mean_skipping_nan(const View1D<double>& x, std::vector<double>& scratch) {
  const std::int64_t n = x.size;
  scratch.resize(static_cast<std::size_t>(n));
  std::int64_t missing = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    scratch[static_cast<std::size_t>(i)] = zero_if_nan(x.get(i), missing);
  }
  return zeroed_mean(scratch.data(), n, missing);
}

void means_skipping_nan(const View1D<double>& x, const View1D<double>& y,
                        std::vector<double>& scratch, double& mean_x, double& mean_y) {
  const std::int64_t n = x.size;
  scratch.resize(2 * static_cast<std::size_t>(n));
  double* zx = scratch.data();
  double* zy = zx + n;
  std::int64_t missing_x = 0, missing_y = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    zx[i] = zero_if_nan(x.get(i), missing_x);
    zy[i] = zero_if_nan(y.get(i), missing_y);
  }
  mean_x = zeroed_mean(zx, n, missing_x);
  mean_y = zeroed_mean(zy, n, missing_y);
}

}  // namespace pelmora
