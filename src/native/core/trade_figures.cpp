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

double mean_skipping_nan(const View1D<double>& x, std::vector<double>& scratch) {
  const std::int64_t n = x.size;
  scratch.resize(static_cast<std::size_t>(n));
  std::int64_t missing = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    const double v = x.get(i);
    const bool nan = v != v;
    missing += nan;
    scratch[static_cast<std::size_t>(i)] = nan ? 0.0 : v;
  }
  return numpy_sum(scratch.data(), n) / static_cast<double>(n - missing);
}

void means_skipping_nan(const View1D<double>& x, const View1D<double>& y,
                        std::vector<double>& scratch, double& mean_x, double& mean_y) {
  const std::int64_t n = x.size;
  scratch.resize(2 * static_cast<std::size_t>(n));
  double* zx = scratch.data();
  double* zy = zx + n;
  std::int64_t missing_x = 0, missing_y = 0;
  for (std::int64_t i = 0; i < n; ++i) {
    const double a = x.get(i), b = y.get(i);
    missing_x += a != a;
    missing_y += b != b;
    zx[i] = a != a ? 0.0 : a;
    zy[i] = b != b ? 0.0 : b;
  }
  mean_x = numpy_sum(zx, n) / static_cast<double>(n - missing_x);
  mean_y = numpy_sum(zy, n) / static_cast<double>(n - missing_y);
}

}  // namespace pelmora
