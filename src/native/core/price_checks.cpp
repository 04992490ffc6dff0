#include "core/price_checks.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "core/parallel.hpp"
#include "core/weight_checks.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelmora {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
// Columns per task: about 2 MB of one matrix, enough to repay handing it out.
constexpr std::int64_t kTaskCells = std::int64_t{1} << 18;
// Below this many cells in all the matrices together a thread costs more than it saves.
constexpr std::int64_t kThreadCells = std::int64_t{1} << 21;

// NaN compares false both ways, so a missing price never moves an extreme.
inline void take(double v, double& lo, double& hi) {
  lo = v < lo ? v : lo;
  hi = v > hi ? v : hi;
}

// The cells from `i` on of a high and a low column, one at a time, after a
// packed loop: their extremes taken into the running ones, and whether a
// high is below its low.
inline bool pair_rest(const double* ph, const double* pl, std::int64_t i, std::int64_t n,
                      double& hlo, double& hhi, double& llo, double& lhi) {
  bool any = false;
  for (; i < n; ++i) {
    take(ph[i], hlo, hhi), take(pl[i], llo, lhi);
    any = any || ph[i] < pl[i];
  }
  return any;
}

inline std::int64_t magnitude(std::int64_t stride) { return stride < 0 ? -stride : stride; }

// Visits the cells of `cols` in the order that follows `m`'s memory: down
// each column when rows are closer together than columns, along each row
// otherwise. fn(j, value) with j the position in `cols`.
template <class Fn>
void visit(const View2D<double>& m, const std::int64_t* cols, std::int64_t n, Fn&& fn) {
  if (magnitude(m.row_stride) <= magnitude(m.col_stride)) {
    for (std::int64_t j = 0; j < n; ++j) {
      for (std::int64_t r = 0; r < m.rows; ++r) fn(j, r, m.get(r, cols[j]));
    }
  } else {
    for (std::int64_t r = 0; r < m.rows; ++r) {
      for (std::int64_t j = 0; j < n; ++j) fn(j, r, m.get(r, cols[j]));
    }
  }
}

#if defined(__SSE2__)
// The extremes of n contiguous doubles. _mm_min_pd(v, acc) is `v < acc ? v :
// acc` lane by lane, the scalar rule, so a NaN keeps the accumulator.
void extremes_contiguous(const double* p, std::int64_t n, double& lo, double& hi) {
  __m128d l0 = _mm_set1_pd(kInf), l1 = l0, h0 = _mm_set1_pd(-kInf), h1 = h0;
  std::int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128d a = _mm_loadu_pd(p + i), b = _mm_loadu_pd(p + i + 2);
    l0 = _mm_min_pd(a, l0), l1 = _mm_min_pd(b, l1);
    h0 = _mm_max_pd(a, h0), h1 = _mm_max_pd(b, h1);
  }
  l0 = _mm_min_pd(l0, l1), h0 = _mm_max_pd(h0, h1);
  double l[2], h[2];
  _mm_storeu_pd(l, l0), _mm_storeu_pd(h, h0);
  lo = std::min(l[0], l[1]), hi = std::max(h[0], h[1]);
  for (; i < n; ++i) take(p[i], lo, hi);
}

// The same for a high and a low column, and whether a high is below its low
// (an ordered comparison: false with a NaN on either side).
bool extremes_pair_contiguous(const double* ph, const double* pl, std::int64_t n, double& hlo,
                              double& hhi, double& llo, double& lhi) {
  __m128d a0 = _mm_set1_pd(kInf), a1 = _mm_set1_pd(-kInf), b0 = a0, b1 = a1;
  __m128d below = _mm_setzero_pd();
  std::int64_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const __m128d h = _mm_loadu_pd(ph + i), l = _mm_loadu_pd(pl + i);
    a0 = _mm_min_pd(h, a0), a1 = _mm_max_pd(h, a1);
    b0 = _mm_min_pd(l, b0), b1 = _mm_max_pd(l, b1);
    below = _mm_or_pd(below, _mm_cmplt_pd(h, l));
  }
  double x[2];
  _mm_storeu_pd(x, a0), hlo = std::min(x[0], x[1]);
  _mm_storeu_pd(x, a1), hhi = std::max(x[0], x[1]);
  _mm_storeu_pd(x, b0), llo = std::min(x[0], x[1]);
  _mm_storeu_pd(x, b1), lhi = std::max(x[0], x[1]);
  bool any = _mm_movemask_pd(below) != 0;
  return pair_rest(ph, pl, i, n, hlo, hhi, llo, lhi) || any;
}
#endif

#if defined(__GNUC__) && defined(__x86_64__)
#define PELMORA_AVX2 1
#include <immintrin.h>

// The same two passes four lanes wide, for processors with AVX2 (chosen at run
// time: the build targets the baseline). _mm256_min_pd keeps the scalar rule
// lane by lane, so the extremes are the same numbers.
__attribute__((target("avx2"))) void extremes_contiguous_avx2(const double* p, std::int64_t n,
                                                              double& lo, double& hi) {
  __m256d l0 = _mm256_set1_pd(kInf), l1 = l0, h0 = _mm256_set1_pd(-kInf), h1 = h0;
  std::int64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const __m256d a = _mm256_loadu_pd(p + i), b = _mm256_loadu_pd(p + i + 4);
    l0 = _mm256_min_pd(a, l0), l1 = _mm256_min_pd(b, l1);
    h0 = _mm256_max_pd(a, h0), h1 = _mm256_max_pd(b, h1);
  }
  double l[4], h[4];
  _mm256_storeu_pd(l, _mm256_min_pd(l0, l1)), _mm256_storeu_pd(h, _mm256_max_pd(h0, h1));
  lo = std::min(std::min(l[0], l[1]), std::min(l[2], l[3]));
  hi = std::max(std::max(h[0], h[1]), std::max(h[2], h[3]));
  for (; i < n; ++i) take(p[i], lo, hi);
}

__attribute__((target("avx2"))) bool extremes_pair_contiguous_avx2(
    const double* ph, const double* pl, std::int64_t n, double& hlo, double& hhi, double& llo,
    double& lhi) {
  __m256d a0 = _mm256_set1_pd(kInf), a1 = _mm256_set1_pd(-kInf), b0 = a0, b1 = a1;
  __m256d below = _mm256_setzero_pd();
  std::int64_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d h = _mm256_loadu_pd(ph + i), l = _mm256_loadu_pd(pl + i);
    a0 = _mm256_min_pd(h, a0), a1 = _mm256_max_pd(h, a1);
    b0 = _mm256_min_pd(l, b0), b1 = _mm256_max_pd(l, b1);
    below = _mm256_or_pd(below, _mm256_cmp_pd(h, l, _CMP_LT_OQ));
  }
  double x[4];
  _mm256_storeu_pd(x, a0), hlo = std::min(std::min(x[0], x[1]), std::min(x[2], x[3]));
  _mm256_storeu_pd(x, a1), hhi = std::max(std::max(x[0], x[1]), std::max(x[2], x[3]));
  _mm256_storeu_pd(x, b0), llo = std::min(std::min(x[0], x[1]), std::min(x[2], x[3]));
  _mm256_storeu_pd(x, b1), lhi = std::max(std::max(x[0], x[1]), std::max(x[2], x[3]));
  bool any = _mm256_movemask_pd(below) != 0;
  return pair_rest(ph, pl, i, n, hlo, hhi, llo, lhi) || any;
}

bool has_avx2() {
  static const bool yes = (__builtin_cpu_init(), __builtin_cpu_supports("avx2") != 0);
  return yes;
}
#endif

// Extremes of one matrix over the columns cols[0..n).
void extremes(const View2D<double>& m, const std::int64_t* cols, std::int64_t n, double* lo,
              double* hi) {
  std::fill(lo, lo + n, kInf);
  std::fill(hi, hi + n, -kInf);
#if defined(__SSE2__)
  if (m.row_stride == static_cast<std::int64_t>(sizeof(double))) {
    for (std::int64_t j = 0; j < n; ++j) {
      const auto* p = reinterpret_cast<const double*>(m.data + cols[j] * m.col_stride);
#if defined(PELMORA_AVX2)
      if (has_avx2()) {
        extremes_contiguous_avx2(p, m.rows, lo[j], hi[j]);
        continue;
      }
#endif
      extremes_contiguous(p, m.rows, lo[j], hi[j]);
    }
    return;
  }
#endif
  visit(m, cols, n, [&](std::int64_t j, std::int64_t, double v) { take(v, lo[j], hi[j]); });
}

// Extremes of a high and a low matrix read side by side, and per column
// whether a high is below its low.
void extremes_pair(const View2D<double>& h, const View2D<double>& l, const std::int64_t* cols,
                   std::int64_t n, double* hlo, double* hhi, double* llo, double* lhi,
                   std::uint8_t* below) {
  std::fill(hlo, hlo + n, kInf), std::fill(llo, llo + n, kInf);
  std::fill(hhi, hhi + n, -kInf), std::fill(lhi, lhi + n, -kInf);
  std::fill(below, below + n, std::uint8_t{0});
#if defined(__SSE2__)
  constexpr auto kContiguous = static_cast<std::int64_t>(sizeof(double));
  if (h.row_stride == kContiguous && l.row_stride == kContiguous) {
    for (std::int64_t j = 0; j < n; ++j) {
      const auto* ph = reinterpret_cast<const double*>(h.data + cols[j] * h.col_stride);
      const auto* pl = reinterpret_cast<const double*>(l.data + cols[j] * l.col_stride);
#if defined(PELMORA_AVX2)
      if (has_avx2()) {
        below[j] = extremes_pair_contiguous_avx2(ph, pl, h.rows, hlo[j], hhi[j], llo[j], lhi[j]);
        continue;
      }
#endif
      below[j] = extremes_pair_contiguous(ph, pl, h.rows, hlo[j], hhi[j], llo[j], lhi[j]);
    }
    return;
  }
#endif
  visit(h, cols, n, [&](std::int64_t j, std::int64_t r, double vh) {
    const double vl = l.get(r, cols[j]);
    take(vh, hlo[j], hhi[j]), take(vl, llo[j], lhi[j]);
    below[j] |= static_cast<std::uint8_t>(vh < vl);
  });
}

// The first row above `limit` for which pred(row) holds; -1 if none.
template <class Pred>
std::int64_t first_row(std::int64_t limit, Pred&& pred) {
  for (std::int64_t r = 0; r < limit; ++r) {
    if (pred(r)) return r;
  }
  return -1;
}

}  // namespace

PriceFaultAt find_price_fault(const std::vector<View2D<double>>& matrices,
                              const std::vector<std::int64_t>& used, int high, int low,
                              const PriceBounds& bounds, int threads, std::uint8_t* unpriced,
                              const std::function<void()>* alongside,
                              double* const* row_major) {
  PriceFaultAt fault;
  const std::int64_t n_used = static_cast<std::int64_t>(used.size());
  if (matrices.empty() || n_used == 0) {
    if (alongside != nullptr) (*alongside)();
    return fault;  // no columns: no copy has anything to hold
  }
  const std::int64_t rows = matrices[0].rows;
  const std::size_t n_mat = matrices.size();
  const bool pair = high >= 0 && low >= 0 && high != low;

  // Per matrix and used column: the smallest and largest price; per used
  // column: a high below its low.
  std::vector<std::vector<double>> lo(n_mat, std::vector<double>(used.size()));
  std::vector<std::vector<double>> hi(n_mat, std::vector<double>(used.size()));
  std::vector<std::uint8_t> below(pair ? used.size() : 0);

  const std::int64_t per_task = std::max<std::int64_t>(1, kTaskCells / std::max<std::int64_t>(rows, 1));
  const std::int64_t n_tasks = (n_used + per_task - 1) / per_task;
  const double cells = static_cast<double>(rows) * static_cast<double>(n_used) *
                       static_cast<double>(n_mat);
  const int n_threads = cells < static_cast<double>(kThreadCells) ? 1 : std::max(threads, 1);
  const std::atomic<bool> never{false};
  // The task alongside comes first, so that it runs beside the columns, not after them.
  const std::int64_t extra = alongside != nullptr ? 1 : 0;
  run_tasks(n_tasks + extra, n_threads, never, [&](std::int64_t t) {
    if (t < extra) {
      (*alongside)();
      return;
    }
    t -= extra;
    const std::int64_t u0 = t * per_task, n = std::min(per_task, n_used - u0);
    const std::int64_t* cols = used.data() + u0;
    for (std::size_t k = 0; k < n_mat; ++k) {
      const int ki = static_cast<int>(k);
      if (pair && ki == low) continue;  // read with its high
      if (pair && ki == high) {
        extremes_pair(matrices[k], matrices[static_cast<std::size_t>(low)], cols, n,
                      lo[k].data() + u0, hi[k].data() + u0,
                      lo[static_cast<std::size_t>(low)].data() + u0,
                      hi[static_cast<std::size_t>(low)].data() + u0, below.data() + u0);
      } else {
        extremes(matrices[k], cols, n, lo[k].data() + u0, hi[k].data() + u0);
      }
    }
    // The copies of this band, read again while the checks left it in the cache.
    for (std::size_t k = 0; row_major != nullptr && k < n_mat; ++k) {
      if (row_major[k] != nullptr) {
        copy_row_major_columns(matrices[k], cols[0], cols[n - 1] + 1, row_major[k]);
      }
    }
  });

  // A column without a price keeps the extremes it started with; one that has a
  // price has a smallest one below +inf (an infinite price is a fault, found below).
  if (unpriced != nullptr) {
    for (std::size_t k = 0; k < n_mat; ++k) {
      for (std::int64_t u = 0; u < n_used; ++u) {
        unpriced[k * used.size() + static_cast<std::size_t>(u)] =
            static_cast<std::uint8_t>(!(lo[k][u] < kInf));
      }
    }
  }

  // A price outside [lowest, highest): the extremes tell which columns hold
  // one; the first cell is the smallest (row, column), so a later column is
  // read only above the best row so far.
  auto outside = [&](double v) { return v == v && !(v >= bounds.lowest && v < bounds.highest); };
  for (std::size_t k = 0; k < n_mat; ++k) {
    const View2D<double>& m = matrices[k];
    for (std::int64_t u = 0; u < n_used; ++u) {
      if (!(lo[k][u] < bounds.lowest || hi[k][u] >= bounds.highest)) continue;
      const std::int64_t c = used[u];
      const std::int64_t limit = fault.row >= 0 ? fault.row : rows;
      const std::int64_t r = first_row(limit, [&](std::int64_t i) { return outside(m.get(i, c)); });
      if (r >= 0) fault.row = r, fault.col = c;
    }
    if (fault.row >= 0) {
      fault.kind = PriceFault::Outside;
      fault.matrix = static_cast<int>(k);
      return fault;
    }
  }

  // A span of `highest` or more, over every matrix, in a far column. Every
  // price is in range here, so the ratio is a finite positive number. The
  // first smallest (largest) price is that of the first matrix holding it.
  for (std::int64_t u = 0; u < n_used; ++u) {
    bool far = false;
    int kl = -1, kh = -1;
    for (std::size_t k = 0; k < n_mat; ++k) {
      far = far || lo[k][u] < bounds.moderate_low || hi[k][u] >= bounds.moderate_high;
      if (kl < 0 || lo[k][u] < lo[static_cast<std::size_t>(kl)][u]) kl = static_cast<int>(k);
      if (kh < 0 || hi[k][u] > hi[static_cast<std::size_t>(kh)][u]) kh = static_cast<int>(k);
    }
    if (!far) continue;
    const double vl = lo[static_cast<std::size_t>(kl)][u], vh = hi[static_cast<std::size_t>(kh)][u];
    if (!(vh / vl >= bounds.highest)) continue;
    const std::int64_t c = used[u];
    const View2D<double>& ml = matrices[static_cast<std::size_t>(kl)];
    const View2D<double>& mh = matrices[static_cast<std::size_t>(kh)];
    fault.kind = PriceFault::Span;
    fault.col = c;
    fault.matrix = kl, fault.hi_matrix = kh;
    fault.row = first_row(rows, [&](std::int64_t i) { return ml.get(i, c) == vl; });
    fault.hi_row = first_row(rows, [&](std::int64_t i) { return mh.get(i, c) == vh; });
    return fault;
  }

  if (pair) {
    const View2D<double>& mh = matrices[static_cast<std::size_t>(high)];
    const View2D<double>& ml = matrices[static_cast<std::size_t>(low)];
    for (std::int64_t u = 0; u < n_used; ++u) {
      if (!below[static_cast<std::size_t>(u)]) continue;
      const std::int64_t c = used[u];
      const std::int64_t limit = fault.row >= 0 ? fault.row : rows;
      const std::int64_t r =
          first_row(limit, [&](std::int64_t i) { return mh.get(i, c) < ml.get(i, c); });
      if (r >= 0) fault.row = r, fault.col = c;
    }
    if (fault.row >= 0) fault.kind = PriceFault::Below;
  }
  return fault;
}

}  // namespace pelmora
