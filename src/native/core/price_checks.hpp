// The checks of the price matrices a run reads, as the user layer states
// them, without a temporary matrix: each matrix is read once.
//
// A price is missing (NaN) or lies in [lowest, highest). A column whose
// prices all lie in [moderate_low, moderate_high) cannot hold two prices
// `highest` apart; only the other ("far") columns have their span looked at.
// The first fault is reported in the order the user layer checks: a price
// outside its range (matrix by matrix, the first cell in row-major order),
// then a stock whose prices over every matrix span a ratio of `highest` or
// more (the first such column), then a high below its low (the first cell in
// row-major order). Only the used columns (the stocks of the weights) count.
//
// The pass keeps per column the smallest and the largest price of each
// matrix (NaN skipped) and whether a high is below its low: everything a
// fault needs to be known to exist. Only a column that holds a fault is read
// again, to place the fault's first cell.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "core/views.hpp"

namespace pelmora {

struct PriceBounds {
  double lowest;         // the smallest price accepted
  double highest;        // prices must be below; also the largest ratio refused
  double moderate_low;   // a column from moderate_low to below moderate_high
  double moderate_high;  // cannot span a ratio of `highest`
};

enum class PriceFault { None, Outside, Span, Below };

struct PriceFaultAt {
  PriceFault kind = PriceFault::None;
  // Outside: the matrix; Span: the matrices of the smallest and the largest price.
  int matrix = -1;
  int hi_matrix = -1;
  // Outside and Below: the cell. Span: the column, and the first rows of the
  // smallest (`row`) and the largest (`hi_row`) price in their matrices.
  std::int64_t row = -1;
  std::int64_t col = -1;
  std::int64_t hi_row = -1;
};

// The first fault of `matrices` (all of one shape) over the columns `used`
// (increasing, inside the shape; the caller checks). `high` and `low` index
// into `matrices` (-1: no high/low check). Up to `threads` native threads
// share the columns. With `unpriced` (matrices x used cells, row-major), the
// pass also marks each used column of each matrix that has no price at all
// (every cell NaN): what a fault-free result needs to tell that a stock is
// never priced, without reading the matrices again. `alongside`, when given,
// runs once as one more task of the same threads (another input's pass that
// should not wait for this one); it must not throw. With `row_major` (one
// pointer per matrix, null for most), a matrix with a buffer of its shape
// is copied there row-major, each band of columns right after its check,
// while it is still in the cache; `used` must then be every column, in
// order. Pure computation: no Python; throws only std::bad_alloc.
PriceFaultAt find_price_fault(const std::vector<View2D<double>>& matrices,
                              const std::vector<std::int64_t>& used, int high, int low,
                              const PriceBounds& bounds, int threads,
                              std::uint8_t* unpriced = nullptr,
                              const std::function<void()>* alongside = nullptr,
                              double* const* row_major = nullptr);

}  // namespace pelmora
