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
    queue_.push_back(std::move(batch));
    ++submitted_;
  }
  work_.notify_one();
}

bool ExcursionWorker::drain(Failure& first) {
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [&] { return completed_ == submitted_; });
  if (!failed_) return false;
  first = failure_;
  return true;
}

void ExcursionWorker::loop() {
  std::uint64_t sequence = 0;  // of the first trade of the batch in hand
  std::vector<ExcursionTrade> trades;
  std::vector<double*> outs;
  // Only the summary block of each array is kept (the journal keeps no paths):
  // it is computed alone, straight into its place.
  const bool partial = keep_ < out_size_;
  while (true) {
    std::vector<ExcursionJob> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      work_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      if (stop_) return;
      batch = std::move(queue_.front());
      queue_.pop_front();
    }
    Failure f{ErrorKind::Pending, {}, {}};
    std::int64_t failed = -1;
    for (std::size_t at = 0; at < batch.size(); at += kExcursionBatch) {
      const int n = static_cast<int>(std::min<std::size_t>(kExcursionBatch, batch.size() - at));
      trades.resize(static_cast<std::size_t>(n));
      outs.resize(static_cast<std::size_t>(n));
      for (int k = 0; k < n; ++k) {
        const ExcursionJob& job = batch[at + static_cast<std::size_t>(k)];
        trades[static_cast<std::size_t>(k)] = job.trade;
        outs[static_cast<std::size_t>(k)] = job.out;
      }
      Failure g{ErrorKind::Pending, {}, {}};
      const std::int64_t k = compute_excursion_arrays(params_, trades.data(), outs.data(),
                                                      out_size_, n, g, partial);
      if (k >= 0 && failed < 0) {
        failed = static_cast<std::int64_t>(at) + k;
        f = std::move(g);
      }
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (failed >= 0) {
        const std::uint64_t seq = sequence + static_cast<std::uint64_t>(failed);
        if (!failed_ || seq < failed_at_) {
          failed_ = true;
          failed_at_ = seq;
          failure_ = std::move(f);
        }
      }
      ++completed_;
    }
    sequence += batch.size();
    done_.notify_all();
  }
}

}  // namespace pelmora
