#include "core/weight_checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "core/streamed.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelmora {
namespace {

inline std::int64_t magnitude(std::int64_t stride) { return stride < 0 ? -stride : stride; }

// A sum of n terms of at most DBL_MAX / (2n) stays below DBL_MAX / 2 times
// (1 + n epsilon) whatever its order: finite for any n a matrix can have.
inline double plain_limit(std::int64_t cols) {
  const double n = static_cast<double>(std::max<std::int64_t>(cols, 1));
  return std::numeric_limits<double>::max() / (2.0 * n);
}

struct ColumnScan {
  bool odd = false;  // a cell that is not finite or exceeds the limit
  bool any = false;  // a cell other than zero (NaN included)
};

// ColumnScan of n contiguous doubles. !(|v| <= limit) holds for NaN, and
// v != 0 as well (unordered comparisons), as in the scalar rules below.
ColumnScan scan_column(const double* p, std::int64_t n, double limit) {
  std::int64_t i = 0;
  ColumnScan out;
#if defined(__SSE2__)
  const __m128d sign = _mm_set1_pd(-0.0), lim = _mm_set1_pd(limit), zero = _mm_setzero_pd();
  __m128d odd = _mm_setzero_pd(), any = _mm_setzero_pd();
  for (; i + 4 <= n; i += 4) {
    const __m128d a = _mm_loadu_pd(p + i), b = _mm_loadu_pd(p + i + 2);
    odd = _mm_or_pd(odd, _mm_or_pd(_mm_cmpnle_pd(_mm_andnot_pd(sign, a), lim),
                                   _mm_cmpnle_pd(_mm_andnot_pd(sign, b), lim)));
    any = _mm_or_pd(any, _mm_or_pd(_mm_cmpneq_pd(a, zero), _mm_cmpneq_pd(b, zero)));
  }
  out.odd = _mm_movemask_pd(odd) != 0;
  out.any = _mm_movemask_pd(any) != 0;
#endif
  for (; i < n; ++i) {
    out.odd |= !(std::fabs(p[i]) <= limit);
    out.any |= p[i] != 0.0;
  }
  return out;
}

// Copies a column-major `m` into `out` (rows x cols doubles, row-major) in
// tiles of kRows x kCols: a tile's part of each source column is one run of
// memory, few enough pages and lines to stay in the TLB and the cache while
// the tile's rows of the copy are written in order (a frame's values may sit
// on small pages, where a walk across every column would miss the TLB on each
// cell). Nothing reads the copy before the run: its whole lines go past the
// cache, not read in first.
void tiled_copy(const View2D<double>& m, double* out, std::int64_t from, std::int64_t to) {
  constexpr std::int64_t kRows = 64, kCols = 32;
  const std::int64_t rows = m.rows, cols = m.cols;
  for (std::int64_t r0 = 0; r0 < rows; r0 += kRows) {
    const std::int64_t r1 = std::min(rows, r0 + kRows);
    for (std::int64_t c0 = from; c0 < to; c0 += kCols) {
      const std::int64_t c1 = std::min(to, c0 + kCols);
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

void tiled_copy(const View2D<double>& m, double* out) { tiled_copy(m, out, 0, m.cols); }

}  // namespace

WeightScan scan_weights(const View2D<double>& w, std::int64_t from, double* rows_out,
                        std::uint8_t* held) {
  const double limit = plain_limit(w.cols);
  const std::int64_t rows = w.rows, cols = w.cols;
  const std::int64_t split = std::clamp<std::int64_t>(from, 0, rows);
  std::fill(held, held + cols, std::uint8_t{0});
  if (magnitude(w.row_stride) < magnitude(w.col_stride)) {
    // Column-major, as a DataFrame's values: each column is checked down its
    // own run of memory, then the copy is made in tiles. Two passes over
    // memory that stays in the cache between them cost less than one pass
    // that crosses every column on every few rows.
    bool odd = false;
    for (std::int64_t c = 0; c < cols; ++c) {
      const char* p = w.data + c * w.col_stride;
      bool any = false;
      if (w.row_stride == static_cast<std::int64_t>(sizeof(double))) {
        const auto* col = reinterpret_cast<const double*>(p);
        odd |= scan_column(col, split, limit).odd;
        const ColumnScan tail = scan_column(col + split, rows - split, limit);
        odd |= tail.odd;
        any = tail.any;
      } else {
        for (std::int64_t r = 0; r < rows; ++r) {
          double v;
          std::memcpy(&v, p + r * w.row_stride, sizeof v);
          odd |= !(std::fabs(v) <= limit);
          any |= (r >= split) & (v != 0.0);
        }
      }
      held[c] = static_cast<std::uint8_t>(any);
    }
    if (rows_out != nullptr) tiled_copy(w, rows_out);
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
  copy_row_major_columns(m, 0, m.cols, out);
}

void copy_row_major_columns(const View2D<double>& m, std::int64_t from, std::int64_t to,
                            double* out) {
  const std::int64_t rows = m.rows, cols = m.cols;
  if (magnitude(m.row_stride) >= magnitude(m.col_stride)) {
    for (std::int64_t r = 0; r < rows; ++r) {
      const char* row = m.data + r * m.row_stride;
      for (std::int64_t c = from; c < to; ++c) {
        std::memcpy(out + r * cols + c, row + c * m.col_stride, sizeof(double));
      }
    }
    return;
  }
  tiled_copy(m, out, from, to);
}

}  // namespace pelmora
