#include "core/trade_figures.hpp"

#include <memory>
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

}  // namespace pelmora
