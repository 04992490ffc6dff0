// The statistics' figures of a run's trades, in one pass over their columns.
// Each sum is NumPy's sum of the values it documents (see numpy_sum.hpp), so
// the figures are those of the NumPy formulas bit for bit.
#pragma once

#include <cstdint>

#include "core/views.hpp"

namespace pelmora {

struct TradeFigures {
  std::int64_t counted = 0;  // trades whose pnl is not NaN
  std::int64_t wins = 0;     // ... above zero
  std::int64_t losses = 0;   // ... below zero
  double gains = 0.0;        // sum of the wins, in their order
  double lost = 0.0;         // sum of the losses
  double total = 0.0;        // sum of the counted pnl
};

// The figures of the pnl column.
TradeFigures trade_figures(const View1D<double>& pnl);

// The mean of x skipping NaN as pandas' Series.mean takes it: the sum of the
// values with zeros in place of NaN over the count of the others (NaN when
// every value is NaN or there is none).
double mean_skipping_nan(const View1D<double>& x);

// The same of two vectors of one length at once, read side by side (two
// columns of one matrix share their cache lines).
void means_skipping_nan(const View1D<double>& x, const View1D<double>& y, double& mean_x,
                        double& mean_y);

}  // namespace pelmora
