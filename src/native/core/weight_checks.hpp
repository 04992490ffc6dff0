// The checks of the target weights a run reads, in the one pass that also
// makes the row-major copy the engine reads (a weights frame's values are
// column-major), so that the common case reads the weights once.
#pragma once

#include <cstdint>

#include "core/views.hpp"

namespace pelmora {

struct WeightScan {
  // Every weight is finite, and no larger in magnitude than a row's sum of
  // absolute weights can take without overflow, whatever the order of the
  // sum. Otherwise the caller looks closer (what is infinite, NaN, or
  // overflows); `plain` only says that it need not.
  bool plain = true;
};

// Scans `w`. held[c] (one per column) is 1 when column c has a weight other
// than zero (NaN included) in a row from `from` on. With `rows_out` (rows x
// cols doubles) the weights are copied there row-major, bit for bit. `from` is
// taken within [0, rows]. Pure computation: no Python, no
// allocation, no throw.
WeightScan scan_weights(const View2D<double>& w, std::int64_t from, double* rows_out,
                        std::uint8_t* held);

// Copies `m` into `out` (rows x cols doubles, row-major), bit for bit. Pure
// computation: no allocation, no throw.
void copy_row_major(const View2D<double>& m, double* out);

// The same for the columns [from, to) of `m` only, into their places of
// `out` (still rows x cols): copies of column bands may run side by side.
void copy_row_major_columns(const View2D<double>& m, std::int64_t from, std::int64_t to,
                            double* out);

}  // namespace pelmora
