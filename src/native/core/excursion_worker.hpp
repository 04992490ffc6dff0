// A helper thread of one run that computes its excursion arrays while the
// run goes on. The run hands over batches of trades whose arrays have their
// place in memory that never moves; the helper fills them and keeps the
// failure of the earliest trade (in the order the trades were handed over),
// which the run raises when it drains the helper. Everything here belongs to
// the one run; the inputs are only read.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "core/excursion.hpp"

namespace pelmora {

struct ExcursionJob {
  ExcursionTrade trade;
  double* out;  // the array's last `keep` elements, filled by the helper
};

class ExcursionWorker {
 public:
  // `keep`: how many of the array's last elements a job keeps (out_size:
  // the whole array; the summary block alone when the paths are not kept).
  ExcursionWorker(const ExcursionParams& params, std::int64_t out_size, std::int64_t keep);
  ~ExcursionWorker();
  ExcursionWorker(const ExcursionWorker&) = delete;
  ExcursionWorker& operator=(const ExcursionWorker&) = delete;

  void submit(std::vector<ExcursionJob>&& batch);
  // Waits for every batch handed over; true (and `first` set) when one of
  // their trades failed. `tail`, the trades not handed over yet (they follow
  // every batch), and the batches the helper has not started are computed
  // on the calling thread meanwhile: the run's last trades are not left to
  // one thread while the other waits for it.
  bool drain(Failure& first, std::vector<ExcursionJob>& tail);

 private:
  void loop();
  // Computes `jobs` on this thread; -1, or the index of the first that
  // failed, with its failure in `failure`.
  std::int64_t compute(const std::vector<ExcursionJob>& jobs, std::vector<ExcursionTrade>& trades,
                       std::vector<double*>& outs, Failure& failure) const;
  // Keeps `f` when its trade (sequence number `seq`) is the earliest failed
  // so far; under the lock.
  void keep_failure(std::uint64_t seq, Failure&& f);

  const ExcursionParams params_;
  const std::int64_t out_size_;
  const std::int64_t keep_;
  std::mutex mutex_;
  std::condition_variable work_, done_;
  // Batches waiting, each with the sequence number of its first trade.
  struct Batch {
    std::uint64_t seq;
    std::vector<ExcursionJob> jobs;
  };
  std::deque<Batch> queue_;
  std::uint64_t submitted_ = 0, completed_ = 0;  // batches
  std::uint64_t queued_end_ = 0;  // sequence number past the last trade handed over
  bool stop_ = false;
  bool failed_ = false;
  std::uint64_t failed_at_ = 0;  // sequence number of the failed trade
  Failure failure_{ErrorKind::Pending, {}, {}};
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace pelmora
