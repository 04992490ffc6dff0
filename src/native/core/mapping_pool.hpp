// A process-wide pool of the anonymous mappings that large output columns
// live in. When NumPy lets go of an output (its capsule base dies) the
// mapping comes back here instead of being unmapped, its pages still
// backed; the next run's columns take it and write into memory that is
// already faulted in. On a machine where touching fresh memory is slow, a
// research loop or a sweep then pays for its output pages once, not on
// every run, and threads stop serialising on page faults in the kernel.
//
// The pool is capped (kPoolBytes); what does not fit is unmapped. It also
// gives back what a loop no longer needs: each run (pool_new_run) unmaps the
// mappings that waited in the pool through the last kIdleRuns runs without
// being taken, so after a large run a loop of smaller ones settles at what
// they use. pool_release empties it on request. A lock of its own guards it
// (runs on several threads give back and take at once); a child process
// after fork starts with an empty pool, never with a lock another thread
// held.
#pragma once

#include <sys/mman.h>

#include <cstddef>

namespace pelmora {

// A mapping of a huge page or more is whole huge pages, so that the kernel
// may back it with some. A smaller one is whole pages and asks for none: the
// kernel backs a huge page entirely on its first touch, and a column of a few
// hundred kilobytes in one would hold its whole 2 MiB resident (a sweep's
// variants hold a score of such columns each).
inline constexpr std::size_t kHugePage = std::size_t{2} << 20;
inline constexpr std::size_t kPage = std::size_t{4} << 10;

inline constexpr bool huge_mapping(std::size_t bytes) { return bytes >= kHugePage; }

// The size of the mapping that holds `bytes`.
inline constexpr std::size_t mapping_bytes(std::size_t bytes) {
  const std::size_t unit = huge_mapping(bytes) ? kHugePage : kPage;
  return (bytes + unit - 1) & ~(unit - 1);
}

// 1 GiB kept at most (an eighth of the machine's memory when that is less).
inline constexpr std::size_t kPoolBytes = std::size_t{1} << 30;
inline constexpr std::size_t kPoolSlots = 256;
// Runs a pooled mapping may wait through untaken before it is unmapped: a
// loop alternating between a few workloads keeps what each of them needs.
inline constexpr unsigned kIdleRuns = 4;

// A mapping of at least `bytes` (the smallest pooled one of the same kind;
// a dense one at most twice that), or nullptr with `got` untouched. Its contents are whatever its last user
// left. `sparse`: a reservation of address space whose pages are backed only
// where written (the two kinds are never mixed: a column taking a huge
// reservation would leave the next reservation to fault afresh).
void* pool_take(std::size_t bytes, std::size_t& got, bool sparse = false);
// Gives a mapping of `bytes` back, `backed` of them written (the pool counts
// those against its cap): kept when the pool has room, else unmapped.
void pool_give(void* data, std::size_t bytes, std::size_t backed, bool sparse = false);
// A pooled mapping of at least `bytes` (a multiple of kHugePage) of that
// kind, else a fresh one asking for huge pages (a sparse one reserves no swap:
// only what is written is ever backed); `got` is its size. nullptr when the
// system refuses.
void* take_mapping(std::size_t bytes, std::size_t& got, bool sparse = false);
// The bytes the pool holds now (for tests and benchmarks).
std::size_t pool_bytes();
// A run starts: unmaps what waited untaken through the last kIdleRuns runs.
void pool_new_run();
// Unmaps everything the pool holds; returns the bytes it held.
std::size_t pool_release();

}  // namespace pelmora
