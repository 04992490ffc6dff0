#include "core/weight_checks.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace pelmora {
namespace {

inline std::int64_t magnitude(std::int64_t stride) { return stride < 0 ? -stride : stride; }

// A sum of n terms of at most DBL_MAX / (2n) stays below DBL_MAX / 2 times
// (1 + n epsilon) whatever its order: finite for any n a matrix can have.
inline double plain_limit(std::int64_t cols) {
  const double n = static_cast<double>(std::max<std::int64_t>(cols, 1));
  return std::numeric_limits<double>::max() / (2.0 * n);
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

}  // namespace pelmora
