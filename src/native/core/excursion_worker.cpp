#include "core/excursion_worker.hpp"

namespace pelmora {

ExcursionWorker::ExcursionWorker(const ExcursionParams& params, std::int64_t out_size,
                                 std::int64_t keep, double* base)
    : params_(params), out_size_(out_size), keep_(keep), base_(base), thread_([this] { loop(); }) {}

ExcursionWorker::~ExcursionWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_one();
  thread_.join();
}

void ExcursionWorker::submit(std::vector<ExcursionJob>&& batch) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::uint64_t seq = queued_end_;
  queued_end_ += batch.size();
  queue_.push_back(Batch{seq, std::move(batch)});
  ++submitted_;
  // No wake-up: the helper looks for batches every kPoll, and waking it
  // would cost the run a system call per batch. The run computes what is
  // left at its end itself (drain).
}

void ExcursionWorker::attach_positions(const StretchPositions* slots, std::uint64_t n_slots) {
  std::lock_guard<std::mutex> lock(mutex_);
  slots_ = slots;
  n_slots_ = n_slots;
}

// The run publishes a stretch and looks now and then whether the helper
// sleeps. A helper that went to sleep just before a stretch was seen is
// woken at the next look, or when the run waits for it (under the lock):
// it may start late, never not at all.
void ExcursionWorker::submit_positions() {
  const std::uint64_t handed = positions_submitted_.load(std::memory_order_relaxed) + 1;
  positions_submitted_.store(handed, std::memory_order_release);
  if (handed % kWakeAfter == 0 && sleeping_.load(std::memory_order_relaxed)) {
    std::lock_guard<std::mutex> lock(mutex_);  // the helper is inside its wait, or sees them
    work_.notify_one();
  }
}

void ExcursionWorker::wait_positions(std::uint64_t count) {
  if (positions_written() >= count) return;
  std::unique_lock<std::mutex> lock(mutex_);
  waiting_.store(true);
  // Fewer than kWakeAfter may be waiting: the helper is woken for them.
  if (sleeping_.load()) work_.notify_one();
  done_.wait(lock, [&] { return positions_done_.load() >= count; });
  waiting_.store(false);
}

// The run says it waits (under the lock) and then looks at the count; the
// helper sets the count and then looks whether the run waits: with
// sequentially consistent order one of them sees the other.
void ExcursionWorker::write_positions() {
  while (true) {
    const std::uint64_t from = positions_done_.load(std::memory_order_relaxed);
    const std::uint64_t to = positions_submitted_.load();
    if (from == to) return;
    for (std::uint64_t t = from; t < to; ++t) slots_[t % n_slots_].write();
    stream_fence();  // the streamed stores are seen before the count that says so
    positions_done_.store(to);
    if (waiting_.load()) {
      std::lock_guard<std::mutex> lock(mutex_);  // the run is inside its wait, or sees them
      done_.notify_all();
    }
  }
}

void ExcursionWorker::keep_failure(std::uint64_t seq, Failure&& f) {
  if (!failed_ || seq < failed_at_) {
    failed_ = true;
    failed_at_ = seq;
    failure_ = std::move(f);
  }
}

std::int64_t ExcursionWorker::compute(const std::vector<ExcursionJob>& jobs, std::uint64_t seq,
                                      std::vector<ExcursionTrade>& trades,
                                      std::vector<double*>& outs, Failure& failure,
                                      bool helper) {
  // Only the summary block of each array is kept (the journal keeps no paths):
  // it is computed alone, straight into its place.
  const bool partial = keep_ < out_size_;
  std::int64_t failed = -1;
  for (std::size_t at = 0; at < jobs.size(); at += kExcursionBatch) {
    // The run waits for a free slot when the stretches fall behind: they go
    // first, between the trades.
    if (helper) write_positions();
    const int n = static_cast<int>(std::min<std::size_t>(kExcursionBatch, jobs.size() - at));
    trades.resize(static_cast<std::size_t>(n));
    outs.resize(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
      const std::size_t j = at + static_cast<std::size_t>(k);
      trades[static_cast<std::size_t>(k)] = jobs[j].trade();
      outs[static_cast<std::size_t>(k)] = base_ + static_cast<std::int64_t>(seq + j) * keep_;
    }
    Failure g{ErrorKind::Pending, {}, {}};
    const std::int64_t k =
        compute_excursion_arrays(params_, trades.data(), outs.data(), out_size_, n, g, partial);
    if (k >= 0 && failed < 0) {
      failed = static_cast<std::int64_t>(at) + k;
      failure = std::move(g);
    }
  }
  return failed;
}

bool ExcursionWorker::drain(Failure& first, std::vector<ExcursionJob>& tail) {
  std::vector<ExcursionTrade> trades;
  std::vector<double*> outs;
  std::vector<ExcursionJob> jobs = std::move(tail);
  tail.clear();
  std::uint64_t seq;  // of the first trade of `jobs`
  {
    std::lock_guard<std::mutex> lock(mutex_);
    seq = queued_end_;
    queued_end_ += jobs.size();
  }
  while (true) {
    Failure f{ErrorKind::Pending, {}, {}};
    const std::int64_t k = compute(jobs, seq, trades, outs, f, false);
    std::lock_guard<std::mutex> lock(mutex_);
    if (k >= 0) keep_failure(seq + static_cast<std::uint64_t>(k), std::move(f));
    // The helper takes batches from the front; the last one queued, if it
    // has not started it, is this thread's next.
    if (queue_.empty()) break;
    seq = queue_.back().seq;
    jobs = std::move(queue_.back().jobs);
    queue_.pop_back();
    ++completed_;
  }
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return completed_ == submitted_; });
  if (!failed_) return false;
  first = failure_;
  return true;
}

void ExcursionWorker::loop() {
  std::vector<ExcursionTrade> trades;
  std::vector<double*> outs;
  while (true) {
    Batch batch;
    bool have_batch = false;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      sleeping_.store(true);
      work_.wait_for(lock, kPoll, [&] {
        return stop_ || !queue_.empty() ||
               positions_done_.load(std::memory_order_relaxed) < positions_submitted_.load();
      });
      sleeping_.store(false);
      if (stop_) return;
      if (!queue_.empty()) {
        batch = std::move(queue_.front());
        queue_.pop_front();
        have_batch = true;
      }
    }
    write_positions();
    if (!have_batch) continue;
    Failure f{ErrorKind::Pending, {}, {}};
    const std::int64_t failed = compute(batch.jobs, batch.seq, trades, outs, f, true);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failed >= 0) keep_failure(batch.seq + static_cast<std::uint64_t>(failed), std::move(f));
      ++completed_;
    }
    done_.notify_all();
  }
}

}  // namespace pelmora
