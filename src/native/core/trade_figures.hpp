// The statistics' figures of a run's trades, in one pass over their columns.
// Each sum is NumPy's sum of the values it documents (see numpy_sum.hpp), so
// the figures are those of the NumPy formulas bit for bit.
#pragma once

#include <cstdint>
#include <vector>

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

// The pnl of each position from its entry to its exit, in the order of their
// last records: a run that splits trades starts a new record for a holding at
// each rebalance that resizes or keeps it, and the figures users count are of
// positions. A record continues into the next record of its stock (in the
// order they opened) that opens on the row it exited, when it exited without
// the holding going flat: by a resize (its exit fill leaves a holding) or by
// a split that traded nothing (no exit fill). Each position's pnl is added
// from 0.0 in that order; with no record continuing, out is pnl itself.
// `after`: the fills' after column, read at the records' exit fills. False
// when an exit fill lies outside it.
bool position_pnl(const View1D<double>& pnl, const View1D<std::int64_t>& sid,
                  const View1D<std::int64_t>& entry_row, const View1D<std::int64_t>& exit_row,
                  const View1D<std::int64_t>& exit_fill, const View1D<double>& after,
                  std::vector<double>& out);

// The shares the fills moved over the shares they asked for, both in absolute
// value and summed over the fills that wrote nothing off, for a run that left
// no order open (each fill is then an order of its own): NaN when a request is
// NaN (no capital) or nothing was asked.
double fill_rate_of_fills(const View1D<double>& shares, const View1D<double>& requested,
                          const View1D<double>& written_off);

// The mean of x skipping NaN as pandas' Series.mean takes it: the sum of the
// values with zeros in place of NaN over the count of the others (NaN when
// every value is NaN or there is none).
double mean_skipping_nan(const View1D<double>& x);

// The same of two vectors of one length at once, read side by side (two
// columns of one matrix share their cache lines).
void means_skipping_nan(const View1D<double>& x, const View1D<double>& y, double& mean_x,
                        double& mean_y);

}  // namespace pelmora
