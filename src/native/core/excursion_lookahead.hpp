// Excursion walks of open trades, ahead of their exits, on a thread of their own.
//
// The excursion analysis computes a trade's array when the trade exits, on the
// thread of the run, which waits for it. On a long panel most of that walk is
// over rows the run passed long before the exit. A lookahead starts each
// trade's walk (an ExcursionCursor) when it enters and walks it on its helper
// thread over the rows the run has declared to come before any exit still to
// be recorded; at the exit the run takes the walk over, finishes it and gets
// the array compute_excursion_array gives, bit for bit, or the failure it
// raises. When the walk cannot be used (it went past the exit, the trade is
// not the one it started with, or it never started), the run is told to
// compute the array itself, as it would without a lookahead.
//
// The helper reads the price matrices only (the run holds them for as long as
// the lookahead runs) and writes only into the walks' own state; a walk is in
// the hands of one thread at a time (an atomic state per walk). Walks are
// reused during a run, never freed before end_run has joined the helper.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "core/excursion.hpp"
#include "core/failure.hpp"

namespace pelmora {

class ExcursionLookahead {
 public:
  ExcursionLookahead() = default;
  ~ExcursionLookahead();  // ends the run
  ExcursionLookahead(const ExcursionLookahead&) = delete;
  ExcursionLookahead& operator=(const ExcursionLookahead&) = delete;

  // A run begins (ending any run before it): the trades entered from now on
  // are walked ahead with `params` (copied; the matrices it views must stay
  // put until end_run) into arrays of out_size elements. False, and nothing
  // started, when the helper thread cannot be started.
  bool begin_run(const ExcursionParams& params, std::int64_t out_size);
  // The run is over or abandoned: the helper stops and every walk is dropped.
  void end_run();

  // Every exit still to be recorded is at row `row` or later.
  void bound(std::int64_t row);
  // Waits until the helper has nothing more to do for any open walk: each
  // has walked every row declared so far, or failed, or cannot go on. Only a
  // test calls it, to have a walk go past an exit before the exit comes.
  void settle();
  // Stock `sid` entered `trade` (its exit unknown): its walk starts, in place
  // of any walk of an earlier trade of the stock.
  void entered(int sid, const ExcursionTrade& trade);
  // Stock `sid` exits `trade` (its exit now known). True with the trade's
  // excursion array in `out` (out_size elements) when its walk could be
  // finished; throws the failure the walk met when computing the array on
  // the spot would meet it too; false when the caller must compute the array.
  bool take(int sid, const ExcursionTrade& trade, double* out);

 private:
  enum class Status { kNew, kWalking, kFailed, kUnusable };
  // The walk's owner: kIdle (the helper may take it), kHelper (the helper is
  // walking it), kRun (the run's: being set up, taken or retired).
  enum Owner : int { kIdle = 0, kHelper = 1, kRun = 2 };
  struct Walk {
    std::atomic<int> owner{kRun};
    // One more each time the run retires the walk: the helper drops what it
    // was handed of it before.
    std::atomic<std::uint64_t> generation{0};
    // The last row the helper has nothing more to do for (past every row
    // once the walk failed or cannot go on): read without taking the walk.
    std::atomic<std::int64_t> done_to{-1};
    ExcursionTrade trade{};
    Status status = Status::kNew;
    ExcursionCursor cursor;
    std::vector<double> out;
    Failure failure{ErrorKind::Pending, {}, {}};
    std::int64_t failed_row = 0;  // the row whose step failed (the entry row for the start)
  };
  // A walk handed to the helper, as of its generation then.
  struct Handed {
    Walk* walk;
    std::uint64_t generation;
  };

  void loop();
  bool advance(Walk& w, std::int64_t bound);  // the helper's turn at one walk; false: nothing to do
  void claim(Walk& w);
  void retire(Walk* w);  // the run's: the helper lets it go, kept for reuse
  void wake();           // the run's: a sleeping helper is woken

  ExcursionParams params_{};
  std::int64_t out_size_ = 0;
  // The run's alone.
  std::unordered_map<int, Walk*> open_;
  std::vector<Walk*> spare_;
  std::vector<std::unique_ptr<Walk>> walks_;
  // Walks handed to the helper: a ring the run writes at tail_ and the helper
  // reads at head_, each side storing its own index only. The run's side
  // takes no locked instruction but the claim of a walk at its exit: on a
  // long panel it hands over a walk every few microseconds.
  static constexpr std::uint64_t kRing = 1 << 12;
  std::vector<Handed> ring_ = std::vector<Handed>(kRing);
  std::atomic<std::uint64_t> head_{0}, tail_{0};
  std::atomic<std::int64_t> bound_{-1};
  // The helper's sleep: it waits with a timeout, so a wake-up the run does
  // not send (it looks at sleeping_ without a fence) costs a delay, never a
  // walk.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::atomic<bool> sleeping_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace pelmora
