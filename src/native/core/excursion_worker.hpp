// A helper thread of one run that computes its excursion arrays and writes
// the book of its quiet stretches into the positions while the run goes on.
// The run hands over batches of trades whose arrays have their place in
// memory that never moves; the helper fills them and keeps the failure of
// the earliest trade (in the order the trades were handed over), which the
// run raises when it drains the helper. Writing positions cannot fail: it
// is memory traffic the run would otherwise wait for. Everything here
// belongs to the one run; the inputs are only read.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>
#include "core/excursion.hpp"
#include "core/streamed.hpp"

namespace pelmora {

// The rows and stocks of a quiet stretch's positions, bound for places of
// their columns that the run has set aside (it writes the values itself):
// row first + i holds every stock of `sids`, in that order, for i < n.
struct StretchPositions {
  std::vector<std::int64_t> sids;
  std::int64_t first = 0, n = 0;
  std::int64_t* row = nullptr;
  std::int64_t* sid = nullptr;

  void write() const {
    const std::size_t n_held = sids.size();
    std::size_t at = 0;
    for (std::int64_t i = 0; i < n; ++i) {
      for (std::size_t k = 0; k < n_held; ++k, ++at) {
        stream_store(row + at, first + i);
        stream_store(sid + at, sids[k]);
      }
    }
  }
};

// A trade handed to the helper: 16 bytes, four to a cache line (the lines
// cross from one core to the other). Its array is the one of its place in
// the order of hand-over (see the worker's `base`).
struct ExcursionJob {
  std::int32_t pid = 0;  // price column
  std::int32_t i_entry = 0;
  std::int32_t i_exit = 0;
  std::uint8_t is_long = 0, entry_transaction = 0, exit_transaction = 0;

  ExcursionTrade trade() const {
    return ExcursionTrade{pid, i_entry, i_exit, is_long != 0, entry_transaction != 0,
                          exit_transaction != 0};
  }
};

class ExcursionWorker {
 public:
  // `keep`: how many of the array's last elements a job keeps (out_size:
  // the whole array; the summary block alone when the paths are not kept).
  // The k-th job handed over (counting from 0) fills base[k * keep ...], in
  // memory that never moves.
  ExcursionWorker(const ExcursionParams& params, std::int64_t out_size, std::int64_t keep,
                  double* base);
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

  // Stretch t's positions are slots[t % n_slots], written in the order of
  // t; the run fills a slot only once the helper is done with it.
  void attach_positions(const StretchPositions* slots, std::uint64_t n_slots);
  // One more stretch is in its slot. A sleeping helper is woken once a few
  // are waiting: a wake-up per stretch would cost the run more than the
  // stretch's writes. No fence, no locked instruction: either would wait
  // for the run's own streamed stores to drain.
  void submit_positions();
  // Waits until the first `count` stretches are written.
  void wait_positions(std::uint64_t count);
  std::uint64_t positions_written() const { return positions_done_.load(std::memory_order_acquire); }

 private:
  void loop();
  // Computes `jobs` on this thread; -1, or the index of the first that
  // failed, with its failure in `failure`. The helper (`helper`) writes the
  // stretches waiting between each few trades.
  std::int64_t compute(const std::vector<ExcursionJob>& jobs, std::uint64_t seq,
                       std::vector<ExcursionTrade>& trades,
                       std::vector<double*>& outs, Failure& failure, bool helper);
  // Keeps `f` when its trade (sequence number `seq`) is the earliest failed
  // so far; under the lock.
  void keep_failure(std::uint64_t seq, Failure&& f);
  void write_positions();  // every stretch waiting, in order; the helper's alone
  static constexpr std::uint64_t kWakeAfter = 64;
  // How often a waiting helper looks for batches (a batch is never a
  // reason to wake it: see submit).
  static constexpr std::chrono::microseconds kPoll{100};

  const ExcursionParams params_;
  const std::int64_t out_size_;
  const std::int64_t keep_;
  double* const base_;
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
  const StretchPositions* slots_ = nullptr;
  std::uint64_t n_slots_ = 0;
  // Stretches handed over (set by the run) and written (set by the helper):
  // neither side takes the lock for them unless the other may be asleep.
  std::atomic<std::uint64_t> positions_submitted_{0};
  std::atomic<std::uint64_t> positions_done_{0};
  std::atomic<bool> sleeping_{false};  // the helper waits for work (set under the lock)
  std::atomic<bool> waiting_{false};   // the run waits for positions (set under the lock)
  bool stop_ = false;
  bool failed_ = false;
  std::uint64_t failed_at_ = 0;  // sequence number of the failed trade
  Failure failure_{ErrorKind::Pending, {}, {}};
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace pelmora
