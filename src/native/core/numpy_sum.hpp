// Sums in NumPy's order. numpy.sum of a float64 vector (contiguous or not)
// starts from the additive identity and adds the pairwise sum of the whole
// vector: blocks of 8 partial sums up to 128 elements, halving above. A sum in
// any other order may differ in its last bits, so every figure documented as
// NumPy's sum or mean is computed through these.
#pragma once

#include <cstdint>

#include "core/views.hpp"

namespace pelmora {

// The pairwise kernel over the n values load(i0), ..., load(i0 + n - 1), each
// loaded exactly once and in order, for K vectors of one length at once:
// load(i, v) writes the i-th value of each into v[0..K). Summing several
// vectors side by side shares one pass over memory they have in common (two
// columns of one matrix), and a load may transform its value (a NaN zeroed)
// with no temporary array.
template <int K, class Load>
void pairwise_sums(Load& load, std::int64_t i0, std::int64_t n, double* res) {
  double v[K];
  if (n < 8) {
    for (int c = 0; c < K; ++c) res[c] = -0.0;
    for (std::int64_t i = 0; i < n; ++i) {
      load(i0 + i, v);
      for (int c = 0; c < K; ++c) res[c] += v[c];
    }
    return;
  }
  if (n <= 128) {
    // Unrolled, so that the 8 x K partial sums stay in registers.
    double r[K][8];
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) {
      load(i0 + k, v);
#pragma GCC unroll 4
      for (int c = 0; c < K; ++c) r[c][k] = v[c];
    }
    std::int64_t i;
    for (i = 8; i < n - (n % 8); i += 8) {
#pragma GCC unroll 8
      for (int k = 0; k < 8; ++k) {
        load(i0 + i + k, v);
#pragma GCC unroll 4
        for (int c = 0; c < K; ++c) r[c][k] += v[c];
      }
    }
    for (int c = 0; c < K; ++c) {
      res[c] = ((r[c][0] + r[c][1]) + (r[c][2] + r[c][3])) +
               ((r[c][4] + r[c][5]) + (r[c][6] + r[c][7]));
    }
    for (; i < n; ++i) {
      load(i0 + i, v);
      for (int c = 0; c < K; ++c) res[c] += v[c];
    }
    return;
  }
  std::int64_t n2 = n / 2;
  n2 -= n2 % 8;
  double low[K], high[K];
  pairwise_sums<K>(load, i0, n2, low);
  pairwise_sums<K>(load, i0 + n2, n - n2, high);
  for (int c = 0; c < K; ++c) res[c] = low[c] + high[c];
}

// numpy.sum of the K vectors `load` hands out (see pairwise_sums): the
// additive identity plus each one's pairwise sum.
template <int K, class Load>
void numpy_sums(Load& load, std::int64_t n, double* res) {
  pairwise_sums<K>(load, 0, n, res);
  for (int c = 0; c < K; ++c) res[c] = 0.0 + res[c];
}

// The same of one vector.
template <class Load>
double numpy_sum_of(Load& load, std::int64_t n) {
  double res;
  numpy_sums<1>(load, n, &res);
  return res;
}

// numpy.sum of n contiguous doubles.
inline double numpy_sum(const double* a, std::int64_t n) {
  auto load = [a](std::int64_t i, double* v) { v[0] = a[i]; };
  return numpy_sum_of(load, n);
}

// numpy.sum of a float64 vector, strided or not: NumPy sums a strided vector
// in the same tree.
inline double numpy_sum(const View1D<double>& x) {
  auto load = [&x](std::int64_t i, double* v) { v[0] = x.get(i); };
  return numpy_sum_of(load, x.size);
}

}  // namespace pelmora
