// The shape of a batch of runs over the same prices: how many variants walk
// the rows together, and how many rows each walks before the next one does.
// Pure arithmetic on sizes; the row loop itself is the engine's.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace pelmora {

struct BatchShape {
  std::int64_t variants = 1;    // per batch
  std::int64_t block_rows = 1;  // rows every run of a batch walks before the next run
};

// The cache every run of a batch works in (per core): the block's price
// lines and the holdings' state of every variant of the batch should fit
// in half of it, the other half left to the outputs each run writes.
inline std::int64_t batch_cache_bytes() {
  const long l2 = sysconf(_SC_LEVEL2_CACHE_SIZE);
  return l2 > 0 ? static_cast<std::int64_t>(l2) : std::int64_t{1} << 20;
}

// What a row costs in the cache: a holding touches its book entry and its
// trackers (about five lines) in every run; a row of prices is its trade
// price and close lines (the intraday exits' three more are read only where
// a holding is).
constexpr std::int64_t kHoldingBytes = 5 * 64;
constexpr std::int64_t kMaxBatch = 64;
constexpr std::int64_t kMaxBlockRows = 4096;

// `requested`: the caller's variants per batch (0: chosen here). The batch
// never leaves a thread without one; `holdings` is the most stocks a variant
// holds at once, as far as its weights show.
inline BatchShape batch_shape(std::int64_t n_variants, int threads, std::int64_t price_columns,
                              std::int64_t holdings, std::int64_t requested,
                              std::int64_t cache_bytes) {
  const std::int64_t half = std::max<std::int64_t>(cache_bytes / 2, 4096);
  const std::int64_t row_bytes = std::max<std::int64_t>(price_columns, 1) * 2 * 8;
  BatchShape s;
  s.block_rows = std::clamp<std::int64_t>(half / row_bytes, 8, kMaxBlockRows);
  if (requested > 0) {
    s.variants = requested;
  } else {
    const std::int64_t per_variant = std::max<std::int64_t>(holdings, 1) * kHoldingBytes;
    const std::int64_t share = (n_variants + std::max(threads, 1) - 1) / std::max(threads, 1);
    s.variants = std::clamp<std::int64_t>(std::min(half / per_variant, share), 1, kMaxBatch);
  }
  s.variants = std::max<std::int64_t>(1, std::min(s.variants, std::max<std::int64_t>(n_variants, 1)));
  return s;
}

}  // namespace pelmora
