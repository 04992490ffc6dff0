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
  // their trades failed.
  bool drain(Failure& first);

 private:
  void loop();

  const ExcursionParams params_;
  const std::int64_t out_size_;
  const std::int64_t keep_;
  std::mutex mutex_;
  std::condition_variable work_, done_;
  std::deque<std::vector<ExcursionJob>> queue_;
  std::uint64_t submitted_ = 0, completed_ = 0;  // batches
  bool stop_ = false;
  bool failed_ = false;
  std::uint64_t failed_at_ = 0;  // sequence number of the failed trade
  Failure failure_{ErrorKind::Pending, {}, {}};
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace pelmora
