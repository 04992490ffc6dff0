#include "core/weight_checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/streamed.hpp"

namespace pelmora {
namespace {

inline std::int64_t magnitude(std::int64_t stride) { return stride < 0 ? -stride : stride; }

// A sum of n terms of at most DBL_MAX / (2n) stays below DBL_MAX / 2 times
// (1 + n epsilon) whatever its order: finite for any n a matrix can have.
inline double plain_limit(std::int64_t cols) {
  const double n = static_cast<double>(std::max<std::int64_t>(cols, 1));
  return std::numeric_limits<double>::max() / (2.0 * n);
}

// Copies a column-major `m` into `out` (rows x cols doubles, row-major) in
// tiles of kRows x kCols: a tile's part of each source column is one run of
// memory, few enough pages and lines to stay in the TLB and the cache while
// the tile's rows of the copy are written in order (a frame's values may sit
// on small pages, where a walk across every column would miss the TLB on each
// cell). Nothing reads the copy before the run: its whole lines go past the
// cache, not read in first.
void tiled_copy(const View2D<double>& m, double* out) {
  constexpr std::int64_t kRows = 64, kCols = 32;
  const std::int64_t rows = m.rows, cols = m.cols;
  for (std::int64_t r0 = 0; r0 < rows; r0 += kRows) {
    const std::int64_t r1 = std::min(rows, r0 + kRows);
    for (std::int64_t c0 = 0; c0 < cols; c0 += kCols) {
      const std::int64_t c1 = std::min(cols, c0 + kCols);
      for (std::int64_t r = r0; r < r1; ++r) {
        const char* cell = m.data + r * m.row_stride + c0 * m.col_stride;
        for (std::int64_t c = c0; c < c1; ++c, cell += m.col_stride) {
          double v;
          std::memcpy(&v, cell, sizeof v);
          stream_store(out + r * cols + c, v);
        }
      }
    }
  }
  stream_fence();
}

}  // namespace

WeightScan scan_weights(const View2D<double>& w, std::int64_t from, double* rows_out,
                        std::uint8_t* held) {
  const double limit = plain_limit(w.cols);
  const std::int64_t rows = w.rows, cols = w.cols;
  const std::int64_t split = std::clamp<std::int64_t>(from, 0, rows);
  std::fill(held, held + cols, std::uint8_t{0});
  if (magnitude(w.row_stride) < magnitude(w.col_stride)) {
    // Column-major, as a DataFrame's values: a band of kBand rows is read column by column
    // (each column's part of it is one run of memory, read once) and written to the copy's
    // kBand rows, each filled in order: the copy is written as streams, not a cell per line.
    constexpr std::int64_t kBand = 8;
    bool odd = false;
    auto band = [&](std::int64_t r0, std::int64_t n, auto rows_of_band) {
      const std::int64_t counted = std::clamp<std::int64_t>(split - r0, 0, n);  // rows before
      for (std::int64_t c = 0; c < cols; ++c) {
        const char* p = w.data + r0 * w.row_stride + c * w.col_stride;
#if defined(__GNUC__)
        // The same column's part of the next band, read after every other column of this one:
        // asked for now, it waits in the cache instead of being fetched then.
        __builtin_prefetch(p + kBand * w.row_stride);
#endif
        bool any = false;
        for (std::int64_t k = 0; k < rows_of_band(n); ++k) {
          double v;
          std::memcpy(&v, p + k * w.row_stride, sizeof v);
          odd |= !(std::fabs(v) <= limit);
          any |= (k >= counted) & (v != 0.0);
          if (rows_out != nullptr) rows_out[(r0 + k) * cols + c] = v;
        }
        held[c] |= static_cast<std::uint8_t>(any);
      }
    };
    std::int64_t r0 = 0;
    // Full bands with their length known to the compiler, which unrolls them.
    for (; r0 + kBand <= rows; r0 += kBand) band(r0, kBand, [](std::int64_t) { return kBand; });
    if (r0 < rows) band(r0, rows - r0, [](std::int64_t n) { return n; });
    return WeightScan{!odd};
  }
  // Row-major (or any other layout), row by row. Bitwise `|` keeps the loops free of
  // branches; `!(|v| <= limit)` holds for NaN too.
  bool odd = false;
  for (std::int64_t r = 0; r < rows; ++r) {
    const bool counts = r >= split;
    const char* row = w.data + r * w.row_stride;
    double* out = rows_out != nullptr ? rows_out + r * cols : nullptr;
    for (std::int64_t c = 0; c < cols; ++c) {
      double v;
      std::memcpy(&v, row + c * w.col_stride, sizeof v);
      odd |= !(std::fabs(v) <= limit);
      held[c] |= static_cast<std::uint8_t>(counts & (v != 0.0));
      if (out != nullptr) out[c] = v;
    }
  }
  return WeightScan{!odd};
}

void copy_row_major(const View2D<double>& m, double* out) {
  const std::int64_t rows = m.rows, cols = m.cols;
  if (magnitude(m.row_stride) >= magnitude(m.col_stride)) {
    for (std::int64_t r = 0; r < rows; ++r) {
      const char* row = m.data + r * m.row_stride;
      for (std::int64_t c = 0; c < cols; ++c) {
        std::memcpy(out + r * cols + c, row + c * m.col_stride, sizeof(double));
      }
    }
    return;
  }
  tiled_copy(m, out);
}

}  // namespace pelmora
