#include "core/weight_checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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


// One column of contiguous weights: whether every weight v has |v| <= limit
// (false for NaN), and whether one from row `split` on is not zero.
#if defined(__SSE2__)
void scan_column(const double* p, std::int64_t rows, std::int64_t split, double limit,
                 bool& fine, bool& any) {
  const __m128d sign = _mm_set1_pd(-0.0), lim = _mm_set1_pd(limit), zero = _mm_setzero_pd();
  __m128d ok = _mm_castsi128_pd(_mm_set1_epi32(-1)), nz = zero;
  std::int64_t r = 0;
  for (; r + 2 <= split; r += 2) {
    const __m128d v = _mm_loadu_pd(p + r);
    ok = _mm_and_pd(ok, _mm_cmple_pd(_mm_andnot_pd(sign, v), lim));
  }
  for (; r < split; ++r) fine = fine && std::fabs(p[r]) <= limit;
  for (; r + 2 <= rows; r += 2) {
    const __m128d v = _mm_loadu_pd(p + r);
    ok = _mm_and_pd(ok, _mm_cmple_pd(_mm_andnot_pd(sign, v), lim));
    nz = _mm_or_pd(nz, _mm_cmpneq_pd(v, zero));
  }
  for (; r < rows; ++r) {
    fine = fine && std::fabs(p[r]) <= limit;
    any = any || p[r] != 0.0;
  }
  fine = fine && _mm_movemask_pd(ok) == 3;
  any = any || _mm_movemask_pd(nz) != 0;
}
#else
void scan_column(const double* p, std::int64_t rows, std::int64_t split, double limit,
                 bool& fine, bool& any) {
  for (std::int64_t r = 0; r < rows; ++r) {
    fine = fine && std::fabs(p[r]) <= limit;
    any = any || (r >= split && p[r] != 0.0);
  }
}
#endif

}  // namespace

WeightScan scan_weights(const View2D<double>& w, std::int64_t from, double* rows_out,
                        std::uint8_t* held) {
  const double limit = plain_limit(w.cols);
  const std::int64_t rows = w.rows, cols = w.cols;
  const std::int64_t split = std::clamp<std::int64_t>(from, 0, rows);
  std::fill(held, held + cols, std::uint8_t{0});
  if (w.row_stride == static_cast<std::int64_t>(sizeof(double))) {
    // Column-major, as a DataFrame's values: each column is checked as its memory runs, then
    // written across the rows of the copy (a cache line of the copy fills over 8 columns).
    bool fine = true;
    for (std::int64_t c = 0; c < cols; ++c) {
      const auto* p = reinterpret_cast<const double*>(w.data + c * w.col_stride);
      bool any = false;
      scan_column(p, rows, split, limit, fine, any);
      held[c] = static_cast<std::uint8_t>(any);
      if (rows_out != nullptr) {
        for (std::int64_t r = 0; r < rows; ++r) rows_out[r * cols + c] = p[r];
      }
    }
    return WeightScan{fine};
  }
  // Any other layout, row by row. Bitwise `|` keeps the loop free of branches;
  // `!(|v| <= limit)` holds for NaN too.
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

}  // namespace pelmora
