#include "core/mapping_pool.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <mutex>

namespace pelmora {

namespace {

struct Slot {
  void* data;
  std::size_t bytes;
  std::size_t backed;  // what counts against the cap
  bool sparse;
  unsigned long given;  // g_runs when it came back
};

// A spin lock rather than a mutex: the child of a fork may find it taken by
// a thread that does not exist there, and a flag can simply be cleared.
std::atomic_flag g_lock = ATOMIC_FLAG_INIT;
Slot g_slots[kPoolSlots];
std::size_t g_count = 0;
std::size_t g_bytes = 0;
unsigned long g_runs = 0;  // pool_new_run calls so far

struct Locked {
  Locked() {
    while (g_lock.test_and_set(std::memory_order_acquire)) {
    }
  }
  ~Locked() { g_lock.clear(std::memory_order_release); }
};

// The child keeps the parent's mappings (copy-on-write) but not its lock:
// it forgets the pool, which the parent still owns.
void forget_in_child() {
  g_lock.clear(std::memory_order_release);
  g_count = 0;
  g_bytes = 0;
}

// Takes the slots `drop` selects out of the pool (under the lock) and unmaps
// them after it: munmap may take a while, and other threads spin on the lock.
// Returns the bytes they counted.
template <class Drop>
std::size_t unmap_where(Drop drop) {
  Slot gone[kPoolSlots];
  std::size_t n_gone = 0, bytes = 0;
  {
    Locked lock;
    std::size_t kept = 0;
    for (std::size_t i = 0; i < g_count; ++i) {
      if (drop(g_slots[i])) {
        gone[n_gone++] = g_slots[i];
        bytes += g_slots[i].backed;
      } else {
        g_slots[kept++] = g_slots[i];
      }
    }
    g_count = kept;
    g_bytes -= bytes;
  }
  for (std::size_t i = 0; i < n_gone; ++i) munmap(gone[i].data, gone[i].bytes);
  return bytes;
}

std::once_flag g_registered;

void register_fork_handler() {
  std::call_once(g_registered, [] { pthread_atfork(nullptr, nullptr, forget_in_child); });
}

}  // namespace

void* pool_take(std::size_t bytes, std::size_t& got, bool sparse) {
  register_fork_handler();
  Locked lock;
  std::size_t best = kPoolSlots;
  for (std::size_t i = 0; i < g_count; ++i) {
    const Slot& s = g_slots[i];
    // A dense mapping more than twice the size asked for waits for a larger
    // column: a small one in it would keep all its pages resident, run after
    // run (a reservation is backed only where written, whatever its size).
    const bool fits = s.sparse ? sparse : !sparse && s.bytes / 2 <= bytes;
    if (fits && s.bytes >= bytes && (best == kPoolSlots || s.bytes < g_slots[best].bytes)) {
      best = i;
    }
  }
  if (best == kPoolSlots) return nullptr;
  const Slot s = g_slots[best];
  g_slots[best] = g_slots[--g_count];
  g_bytes -= s.backed;
  got = s.bytes;
  return s.data;
}

// The cap: kPoolBytes, or an eighth of the machine's memory when that is less.
std::size_t pool_cap() {
  static const std::size_t cap = [] {
    const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || size <= 0) return kPoolBytes;
    const std::size_t eighth = static_cast<std::size_t>(pages) / 8 * static_cast<std::size_t>(size);
    return eighth < kPoolBytes ? eighth : kPoolBytes;
  }();
  return cap;
}

void pool_give(void* data, std::size_t bytes, std::size_t backed, bool sparse) {
  if (data == nullptr) return;
  register_fork_handler();
  const std::size_t cap = pool_cap();
  if (backed > bytes) backed = bytes;
  if (sparse) {
    // A reservation may hold pages an earlier, longer user wrote past this
    // one's end: they go now, so the pool holds no more than it counts.
    const std::size_t page = 4096;
    const std::size_t keep = (backed + page - 1) / page * page;
    if (keep < bytes) madvise(static_cast<char*>(data) + keep, bytes - keep, MADV_DONTNEED);
  }
  {
    Locked lock;
    if (g_count < kPoolSlots && g_bytes + backed <= cap) {
      g_slots[g_count++] = Slot{data, bytes, backed, sparse, g_runs};
      g_bytes += backed;
      return;
    }
  }
  munmap(data, bytes);
}

void* take_mapping(std::size_t bytes, std::size_t& got, bool sparse) {
  if (void* p = pool_take(bytes, got, sparse)) return p;
  const int flags = MAP_PRIVATE | MAP_ANONYMOUS | (sparse ? MAP_NORESERVE : 0);
  void* p = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, flags, -1, 0);
  if (p == MAP_FAILED) return nullptr;
  if (huge_mapping(bytes)) madvise(p, bytes, MADV_HUGEPAGE);
  got = bytes;
  return p;
}

std::size_t pool_bytes() {
  Locked lock;
  return g_bytes;
}

void pool_new_run() {
  register_fork_handler();
  unsigned long now;
  {
    Locked lock;
    now = ++g_runs;
  }
  // A slot given back during run r waited through runs r+1 ... now-1 untaken
  // (a taken slot leaves the pool; given back again, it is stamped anew).
  unmap_where([now](const Slot& s) { return now - s.given > kIdleRuns; });
}

std::size_t pool_release() {
  register_fork_handler();
  return unmap_where([](const Slot&) { return true; });
}

}  // namespace pelmora
