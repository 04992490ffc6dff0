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
  bool running() const { return running_; }

  // Every exit still to be recorded is at row `row` or later.
  void bound(std::int64_t row);
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
    ExcursionTrade trade{};
    Status status = Status::kNew;
    ExcursionCursor cursor;
    std::vector<double> out;
    Failure failure{ErrorKind::Pending, {}, {}};
    std::int64_t failed_row = 0;  // the row whose step failed (the entry row for the start)
    std::size_t slot = 0;         // index in active_
  };

  void loop();
  bool advance(Walk& w, std::int64_t bound);  // the helper's turn at one walk; false: nothing to do
  void claim(Walk& w);
  void retire(Walk* w);  // the run's: out of active_, kept for reuse
  void wake();           // the run's: a sleeping helper is woken

  ExcursionParams params_{};
  std::int64_t out_size_ = 0;
  bool running_ = false;
  // The run's alone.
  std::unordered_map<int, Walk*> open_;
  std::vector<Walk*> spare_;
  std::vector<std::unique_ptr<Walk>> walks_;
  // Shared with the helper.
  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Walk*> active_;             // under mutex_
  std::atomic<std::int64_t> bound_{-1};
  std::atomic<std::uint64_t> version_{0};  // one more at every change of active_
  std::atomic<bool> sleeping_{false};
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace pelmora
