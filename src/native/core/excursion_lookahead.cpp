#include "core/excursion_lookahead.hpp"

#include <algorithm>
#include <chrono>
#include <limits>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelmora {

namespace {

// Rows of one walk the helper takes at a time before it turns to the next:
// the most the run waits for a walk it takes over.
constexpr std::int64_t kRowsPerTurn = 256;
// Looks at the bound with nothing to do before the helper sleeps (a few
// hundred microseconds): the run declares new rows every few microseconds
// while it walks a long panel, and a sleeping helper costs it a wake-up.
constexpr int kIdleSpins = 4000;

inline void cpu_relax() {
#if defined(__SSE2__)
  _mm_pause();
#endif
}

}  // namespace

ExcursionLookahead::~ExcursionLookahead() { end_run(); }

bool ExcursionLookahead::begin_run(const ExcursionParams& params, std::int64_t out_size) {
  end_run();
  params_ = params;
  out_size_ = out_size;
  bound_.store(-1);
  head_.store(0);
  tail_.store(0);
  stop_.store(false);
  try {
    thread_ = std::thread([this] { loop(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

void ExcursionLookahead::end_run() {
  if (thread_.joinable()) {
    stop_.store(true);
    wake();
    thread_.join();
  }
  open_.clear();
  spare_.clear();
  walks_.clear();
}

void ExcursionLookahead::wake() {
  // Through the lock: a helper between its look at the run's state and its
  // wait holds it, so the notification cannot fall in between.
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_one();
}

void ExcursionLookahead::bound(std::int64_t row) {
  bound_.store(row, std::memory_order_release);
  if (sleeping_.load(std::memory_order_relaxed)) wake();
}

void ExcursionLookahead::settle() {
  const std::int64_t bound = bound_.load(std::memory_order_relaxed);
  for (const auto& [sid, w] : open_) {
    while (w->done_to.load(std::memory_order_acquire) < bound) std::this_thread::yield();
  }
}

void ExcursionLookahead::claim(Walk& w) {
  int expected = kIdle;
  while (!w.owner.compare_exchange_weak(expected, kRun, std::memory_order_acquire)) {
    expected = kIdle;
    cpu_relax();
  }
}

void ExcursionLookahead::retire(Walk* w) {
  // The run's alone writes the generation; spare_ has room for every walk.
  w->generation.store(w->generation.load(std::memory_order_relaxed) + 1,
                      std::memory_order_release);
  spare_.push_back(w);
}

void ExcursionLookahead::entered(int sid, const ExcursionTrade& trade) {
  const auto it = open_.find(sid);
  if (it != open_.end()) {
    Walk* earlier = it->second;
    open_.erase(it);
    claim(*earlier);
    retire(earlier);
  }
  const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
  if (tail - head_.load(std::memory_order_acquire) >= kRing) return;  // the ring is full
  // Every allocation first: a walk is handed over whole or not at all.
  if (spare_.empty()) {
    walks_.push_back(std::make_unique<Walk>());
    try {
      spare_.reserve(walks_.size());  // retire() never allocates (it runs while a failure unwinds)
    } catch (...) {
      walks_.pop_back();
      throw;
    }
    spare_.push_back(walks_.back().get());
  }
  Walk* w = spare_.back();  // the run's until it is handed over below
  try {
    w->out.resize(static_cast<std::size_t>(out_size_));
    open_[sid] = w;
  } catch (...) {
    open_.erase(sid);
    throw;
  }
  spare_.pop_back();
  w->trade = trade;
  w->status = Status::kNew;
  w->done_to.store(-1, std::memory_order_relaxed);
  ring_[tail % kRing] = Handed{w, w->generation.load(std::memory_order_relaxed)};
  w->owner.store(kIdle, std::memory_order_release);
  tail_.store(tail + 1, std::memory_order_release);
  if (sleeping_.load(std::memory_order_relaxed)) wake();
}

bool ExcursionLookahead::take(int sid, const ExcursionTrade& trade, double* out) {
  const auto it = open_.find(sid);
  if (it == open_.end()) return false;
  Walk* w = it->second;
  open_.erase(it);
  claim(*w);
  struct Retire {
    ExcursionLookahead* self;
    Walk* w;
    ~Retire() { self->retire(w); }
  } retire_after{this, w};
  const ExcursionTrade& started = w->trade;
  if (started.pid != trade.pid || started.i_entry != trade.i_entry ||
      started.is_long != trade.is_long || started.entry_transaction != trade.entry_transaction) {
    return false;  // the stock's entry was rewritten since
  }
  switch (w->status) {
    case Status::kFailed: {
      // The walk stops at the failing row; the array's walk fails there too
      // when the row is part of its path.
      if (w->failed_row > path_end(params_, trade.i_entry, trade.i_exit)) return false;
      throw Failure(w->failure);
    }
    case Status::kWalking:
      if (!w->cursor.finish(trade.i_exit, trade.exit_transaction)) return false;
      std::copy(w->out.begin(), w->out.end(), out);
      return true;
    case Status::kNew:
    case Status::kUnusable:
      break;
  }
  return false;
}

bool ExcursionLookahead::advance(Walk& w, std::int64_t bound) {
  constexpr std::int64_t kNothingLeft = std::numeric_limits<std::int64_t>::max();
  try {
    if (w.status == Status::kNew) {
      // The start reads the entry row only, and fails the same for any exit.
      const bool started = w.cursor.start(params_, w.trade, w.out.data(), out_size_);
      w.status = started ? Status::kWalking : Status::kUnusable;
      w.done_to.store(started ? w.cursor.reached() : kNothingLeft, std::memory_order_relaxed);
      return true;
    }
    if (w.status != Status::kWalking) return false;
    const std::int64_t reached = w.cursor.reached();
    if (reached >= bound) return false;
    w.cursor.walk_to(std::min(bound, reached + kRowsPerTurn));
    // A walk at the data's end has nothing left to walk.
    const std::int64_t now = w.cursor.reached();
    w.done_to.store(now == reached ? kNothingLeft : now, std::memory_order_relaxed);
    return true;
  } catch (Failure& f) {
    w.failed_row = w.status == Status::kNew ? std::numeric_limits<std::int64_t>::min()
                                            : w.cursor.reached() + 1;
    w.failure = std::move(f);
    w.status = Status::kFailed;
  } catch (...) {
    w.status = Status::kUnusable;  // out of memory: the run computes the array
  }
  w.done_to.store(kNothingLeft, std::memory_order_relaxed);
  return true;
}

void ExcursionLookahead::loop() {
  // The walks handed over and not retired since (as far as this thread has
  // seen): every walk lives until the join, so a stale entry is harmless.
  std::vector<Handed> mine;
  mine.reserve(kRing);
  std::uint64_t head = 0;
  std::chrono::microseconds nap(100);
  while (!stop_.load()) {
    const std::uint64_t tail = tail_.load(std::memory_order_acquire);
    for (; head != tail; ++head) {
      if (mine.size() == mine.capacity()) break;  // none retired yet: later
      mine.push_back(ring_[head % kRing]);
    }
    head_.store(head, std::memory_order_release);
    const std::int64_t bound = bound_.load(std::memory_order_acquire);
    bool worked = false;
    for (std::size_t k = 0; k < mine.size();) {
      Walk* w = mine[k].walk;
      if (w->generation.load(std::memory_order_acquire) != mine[k].generation) {
        mine[k] = mine.back();  // retired since
        mine.pop_back();
        continue;
      }
      ++k;
      if (w->done_to.load(std::memory_order_relaxed) >= bound) continue;
      int expected = kIdle;
      if (!w->owner.compare_exchange_strong(expected, kHelper, std::memory_order_acquire)) continue;
      worked = advance(*w, bound) || worked;
      w->owner.store(kIdle, std::memory_order_release);
    }
    if (worked) {
      nap = std::chrono::microseconds(100);
      continue;
    }
    // Nothing to do until the run declares more rows or hands over a walk.
    auto unchanged = [&] {
      return bound_.load(std::memory_order_relaxed) == bound &&
             tail_.load(std::memory_order_relaxed) == head;
    };
    for (int spin = 0; spin < kIdleSpins && unchanged() && !stop_.load(); ++spin) cpu_relax();
    if (!unchanged()) continue;
    std::unique_lock<std::mutex> lock(mutex_);
    sleeping_.store(true);
    wake_.wait_for(lock, nap, [&] { return stop_.load() || !unchanged(); });
    sleeping_.store(false);
    // Longer naps while nothing happens (an abandoned run), none past 50 ms.
    nap = std::min<std::chrono::microseconds>(nap * 2, std::chrono::milliseconds(50));
  }
}

}  // namespace pelmora
