// Sums in NumPy's order. numpy.sum of a float64 vector (contiguous or not)
// starts from the additive identity and adds the pairwise sum of the whole
// vector: blocks of 8 partial sums up to 128 elements, halving above. A sum in
// any other order may differ in its last bits, so every figure documented as
// NumPy's sum or mean is computed through these.
#pragma once

#include <cstdint>

namespace pelmora {

// The pairwise kernel over n contiguous doubles.
inline double pairwise_sum(const double* a, std::int64_t n) {
  if (n < 8) {
    double res = -0.0;
    for (std::int64_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (int k = 0; k < 8; ++k) r[k] = a[k];
    std::int64_t i;
    for (i = 8; i < n - (n % 8); i += 8) {
      for (int k = 0; k < 8; ++k) r[k] += a[i + k];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::int64_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// numpy.sum of n contiguous doubles.
inline double numpy_sum(const double* a, std::int64_t n) { return 0.0 + pairwise_sum(a, n); }

}  // namespace pelmora
