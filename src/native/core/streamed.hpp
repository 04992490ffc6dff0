// Stores past the cache. Outputs that nothing reads before a run ends (a long
// run's positions, the row-major copies of its inputs) are written without
// reading each line in first, which halves their memory traffic. The stores
// are weakly ordered: stream_fence() makes them seen before what follows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelmora {

template <class T>
inline void stream_store(T* at, T v) {
#if defined(__SSE2__)
  long long bits;
  static_assert(sizeof(T) == sizeof bits, "8-byte values");
  std::memcpy(&bits, &v, sizeof bits);
  _mm_stream_si64(reinterpret_cast<long long*>(at), bits);
#else
  *at = v;
#endif
}

// to[0 .. n - 1] = from[0 .. n - 1], streamed (two at a time once `to` is
// aligned for it). No fence.
inline void stream_copy(double* to, const double* from, std::size_t n) {
  std::size_t j = 0;
#if defined(__SSE2__)
  for (; j < n && (reinterpret_cast<std::uintptr_t>(to + j) & 15) != 0; ++j) {
    stream_store(to + j, from[j]);
  }
  for (; j + 2 <= n; j += 2) _mm_stream_pd(to + j, _mm_loadu_pd(from + j));
#endif
  for (; j < n; ++j) stream_store(to + j, from[j]);
}

inline void stream_fence() {
#if defined(__SSE2__)
  _mm_sfence();
#endif
}

}  // namespace pelmora
