// The last price known on or before a row, per price column, for a walk
// whose rows only move forward: each column is walked back at most once
// over, a lookup stopping at the row the previous one reached.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/views.hpp"

namespace pelmora {

class KnownPrices {
 public:
  // `col` and `row` inside `prices` (the caller has checked them); NaN when
  // the column has no price on or before `row`.
  double at(const View2D<double>& prices, int col, std::int64_t row) {
    if (done_.empty()) {
      done_.assign(static_cast<std::size_t>(prices.cols), -1);
      known_.assign(static_cast<std::size_t>(prices.cols), std::nan(""));
    }
    std::int64_t& done = done_[static_cast<std::size_t>(col)];
    double& known = known_[static_cast<std::size_t>(col)];
    const std::int64_t stop = done <= row ? done : -1;
    double found = stop >= 0 ? known : std::nan("");
    for (std::int64_t r = row; r > stop; --r) {
      const double p = prices.get(r, col);
      if (!std::isnan(p)) {
        found = p;
        break;
      }
    }
    done = row;
    known = found;
    return found;
  }

 private:
  std::vector<std::int64_t> done_;  // per column: the row looked back from last
  std::vector<double> known_;       // and the price found then
};

}  // namespace pelmora
