#include "core/excursion_lookahead.hpp"

#include <algorithm>
#include <limits>
#include <system_error>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelmora {

namespace {

// Rows of one walk the helper takes at a time before it turns to the next:
// the most the run waits for a walk it takes over.
constexpr std::int64_t kRowsPerTurn = 512;
// Passes with nothing to do before the helper sleeps (a few hundred
// microseconds): the run declares new rows every few microseconds while it
// walks a long panel, and a sleeping helper costs it a wake-up.
constexpr int kIdlePasses = 4000;

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
  stop_.store(false);
  try {
    thread_ = std::thread([this] { loop(); });
  } catch (const std::system_error&) {
    return false;
  }
  running_ = true;
  return true;
}

void ExcursionLookahead::end_run() {
  if (thread_.joinable()) {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_.store(true);
    }
    wake_.notify_one();
    thread_.join();
  }
  running_ = false;
  active_.clear();
  open_.clear();
  spare_.clear();
  walks_.clear();
}

void ExcursionLookahead::wake() {
  // Through the lock: a helper between its last look at the bound and its
  // wait holds it, so the notification cannot fall in between.
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_one();
}

void ExcursionLookahead::bound(std::int64_t row) {
  // Sequentially consistent with the helper's sleeping_: either the helper
  // sees the new bound before it sleeps, or the run sees it asleep.
  bound_.store(row);
  if (sleeping_.load()) wake();
}

void ExcursionLookahead::claim(Walk& w) {
  int expected = kIdle;
  while (!w.owner.compare_exchange_weak(expected, kRun, std::memory_order_acquire)) {
    expected = kIdle;
    cpu_relax();
  }
}

void ExcursionLookahead::retire(Walk* w) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    Walk* moved = active_.back();
    active_[w->slot] = moved;
    moved->slot = w->slot;  // slots are read and written under the lock only
    active_.pop_back();
  }
  version_.fetch_add(1);
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
  Walk* w;
  if (!spare_.empty()) {
    w = spare_.back();
    spare_.pop_back();
  } else {
    walks_.push_back(std::make_unique<Walk>());
    w = walks_.back().get();
    // retire() keeps every walk in spare_ without allocating (it runs while
    // a failure unwinds).
    spare_.reserve(walks_.size());
  }
  // The run's until it is handed over below.
  w->trade = trade;
  w->status = Status::kNew;
  w->out.resize(static_cast<std::size_t>(out_size_));
  open_[sid] = w;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    w->slot = active_.size();
    active_.push_back(w);
  }
  w->owner.store(kIdle, std::memory_order_release);
  version_.fetch_add(1);
  if (sleeping_.load()) wake();
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
      std::int64_t i_exit_max = trade.i_exit;
      if (trade.i_entry + params_.window > i_exit_max) i_exit_max = trade.i_entry + params_.window;
      if (i_exit_max >= params_.price.rows) i_exit_max = params_.price.rows - 1;
      if (w->failed_row > i_exit_max) return false;
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
  try {
    if (w.status == Status::kNew) {
      // The start reads the entry row only, and fails the same for any exit.
      w.status = w.cursor.start(params_, w.trade, w.out.data(), out_size_) ? Status::kWalking
                                                                           : Status::kUnusable;
      return true;
    }
    if (w.status != Status::kWalking) return false;
    const std::int64_t reached = w.cursor.reached();
    if (reached >= bound) return false;
    w.cursor.walk_to(std::min(bound, reached + kRowsPerTurn));
    return true;
  } catch (Failure& f) {
    w.failed_row = w.status == Status::kNew ? std::numeric_limits<std::int64_t>::min()
                                            : w.cursor.reached() + 1;
    w.failure = std::move(f);
    w.status = Status::kFailed;
    return true;
  } catch (...) {
    w.status = Status::kUnusable;  // out of memory: the run computes the array
    return true;
  }
}

void ExcursionLookahead::loop() {
  std::vector<Walk*> mine;
  std::uint64_t seen = std::numeric_limits<std::uint64_t>::max();
  int idle = 0;
  while (!stop_.load()) {
    const std::uint64_t version = version_.load();
    if (version != seen) {
      std::lock_guard<std::mutex> lock(mutex_);
      mine.assign(active_.begin(), active_.end());
      seen = version;
    }
    // A walk taken from `mine` may have left active_ since: it is then the
    // run's (or, reused, a walk to do), and never freed before the join.
    const std::int64_t bound = bound_.load();
    bool worked = false;
    for (Walk* w : mine) {
      int expected = kIdle;
      if (!w->owner.compare_exchange_strong(expected, kHelper, std::memory_order_acquire)) continue;
      worked = advance(*w, bound) || worked;
      w->owner.store(kIdle, std::memory_order_release);
    }
    if (worked) {
      idle = 0;
      continue;
    }
    if (++idle < kIdlePasses) {
      cpu_relax();
      continue;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    sleeping_.store(true);
    wake_.wait(lock, [&] {
      return stop_.load() || bound_.load() != bound || version_.load() != seen;
    });
    sleeping_.store(false);
    idle = 0;
  }
}

}  // namespace pelmora
