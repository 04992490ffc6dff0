#include "core/excursion_worker.hpp"

namespace pelmora {

ExcursionWorker::ExcursionWorker(const ExcursionParams& params, std::int64_t out_size,
                                 std::int64_t keep)
    : params_(params), out_size_(out_size), keep_(keep), thread_([this] { loop(); }) {}

ExcursionWorker::~ExcursionWorker() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  work_.notify_one();
  thread_.join();
}

void ExcursionWorker::submit(std::vector<ExcursionJob>&& batch) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::uint64_t seq = queued_end_;
    queued_end_ += batch.size();
    queue_.push_back(Batch{seq, std::move(batch)});
    ++submitted_;
  }
  work_.notify_one();
}

void ExcursionWorker::keep_failure(std::uint64_t seq, Failure&& f) {
  if (!failed_ || seq < failed_at_) {
    failed_ = true;
    failed_at_ = seq;
    failure_ = std::move(f);
  }
}

std::int64_t ExcursionWorker::compute(const std::vector<ExcursionJob>& jobs,
                                      std::vector<ExcursionTrade>& trades,
                                      std::vector<double*>& outs, Failure& failure) const {
  // Only the summary block of each array is kept (the journal keeps no paths):
  // it is computed alone, straight into its place.
  const bool partial = keep_ < out_size_;
  std::int64_t failed = -1;
  for (std::size_t at = 0; at < jobs.size(); at += kExcursionBatch) {
    const int n = static_cast<int>(std::min<std::size_t>(kExcursionBatch, jobs.size() - at));
    trades.resize(static_cast<std::size_t>(n));
    outs.resize(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) {
      const ExcursionJob& job = jobs[at + static_cast<std::size_t>(k)];
      trades[static_cast<std::size_t>(k)] = job.trade;
      outs[static_cast<std::size_t>(k)] = job.out;
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
    const std::int64_t k = compute(jobs, trades, outs, f);
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
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      batch = std::move(queue_.front());
      queue_.pop_front();
    }
    Failure f{ErrorKind::Pending, {}, {}};
    const std::int64_t failed = compute(batch.jobs, trades, outs, f);
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failed >= 0) keep_failure(batch.seq + static_cast<std::uint64_t>(failed), std::move(f));
      ++completed_;
    }
    done_.notify_all();
  }
}

}  // namespace pelmora
