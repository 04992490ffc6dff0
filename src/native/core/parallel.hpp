// The thread pool of the run entries: independent tasks 0..n-1 shared among
// a few native threads, the calling thread included. Pure C++; the caller
// decides what a task may touch (a run owns everything it writes).
#pragma once

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

namespace pelmora {

// The CPUs this process may run on (its affinity mask), at least 1.
inline int usable_cpus() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof(set), &set) == 0) {
    const int n = CPU_COUNT(&set);
    if (n > 0) return n;
  }
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

// Runs task(k) for every k in [0, n) on at most `threads` threads, each
// taking the next task as it finishes one, until `stop` is set (a task that
// has started finishes). A thread that cannot be started leaves its share to
// the ones that did.
template <class Task>
void run_tasks(std::int64_t n, int threads, const std::atomic<bool>& stop, Task&& task) {
  std::atomic<std::int64_t> next{0};
  auto worker = [&] {
    for (std::int64_t k = next++; k < n && !stop.load(); k = next++) task(k);
  };
  const int n_threads = static_cast<int>(std::min<std::int64_t>(threads, n));
  std::vector<std::thread> pool;
  try {
    for (int t = 1; t < n_threads; ++t) pool.emplace_back(worker);
  } catch (const std::system_error&) {
    // Fewer threads than asked: the ones started and this one share the work.
  }
  worker();
  for (std::thread& th : pool) th.join();
}

}  // namespace pelmora
