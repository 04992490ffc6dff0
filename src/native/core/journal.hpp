// The run journal: everything one run did, recorded while it runs.
//
// A Journal is the run's hooks (it stands where the excursion module stands
// for backtest_: trade records and excursion arrays are made here, with the
// same arithmetic) and the engine's recorder: every fill with its reason and
// price, the cash after every row, the rows rebalanced and the book at every
// close. It owns all of its state and touches nothing outside the run, so
// runs on different threads never meet.
//
// Layout: struct-of-arrays columns that grow by amortised doubling (no
// allocation per row). Excursion arrays are rows of one flat buffer, all of
// the same length in a run.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "core/book.hpp"
#include "core/column.hpp"
#include "core/engine.hpp"
#include "core/excursion.hpp"
#include "core/excursion_worker.hpp"
#include "core/known_prices.hpp"
#include "core/streamed.hpp"

#include <memory>

namespace pelmora {

struct JournalOptions {
  int window = 0;
  int window_step = 1;
  bool split_on_resize = true;   // !retain_cost_when_rebalance && periodically_rebalance
  bool stop_trading = true;      // the truth of stop_trading_next_period, taken once
  bool positions = true;         // record the book at every close
  bool excursions = true;        // compute the excursion array of every trade record
  bool summary_only = false;     // keep only each array's summary block, not its path
  bool close_missing = false;    // the close matrix was None
  bool closes_checked = false;   // no close is zero (the caller checked)
  bool helper_thread = false;    // excursion arrays and positions on a helper thread
  // A unit portfolio's account columns (one value each) are not written: the
  // output hands them out as read-only views of their value.
  bool constant_views = false;
  // The caller reads the statistics' figures of the fills and trades, not
  // the columns (the output layer makes them from the columns at the end).
  bool figures = false;
  std::int64_t n_stocks = 0;     // len(pos_columns): the size of the per-stock entry arrays
};

struct FillColumns : TableRows<FillColumns> {
  Column<std::int64_t> row, sid;
  Column<std::int8_t> reason;
  // The price the fill traded at: the stop level of an intraday exit, else
  // the row's trade price or, when the stock had none that row, the last one
  // known on or before it (NaN when none was ever known).
  // With slippage, the fill price is that price moved against the trade.
  Column<double> before, after, price, fee, tax;
  Column<std::int8_t> suspended;  // 1: the row had no trade price for the stock
  Column<double> slippage, impact, written_off;
  // With a capital: the shares the fill moved (+ bought, - sold) and the
  // shares its order asked for before lots cut it; NaN without one.
  Column<double> shares, requested;

  // `account`: whether the last five columns are recorded fill by fill (a
  // unit portfolio's hold one value each, written once at the end).
  explicit FillColumns(bool account) : account_(account) {}
  bool account() const { return account_; }
  // A fill's first nine columns are gathered here kStaged fills at a time,
  // then streamed into the columns a whole cache line of each at once: the
  // columns' memory (an earlier run's, cold) is then written without each
  // line being read in first. Nothing reads them before the run ends.
  void push(std::int64_t at_row, std::int64_t of_sid, std::int8_t why, double value_before,
            double value_after, double at_price, double paid_fee, double paid_tax,
            bool was_suspended) {
    const std::size_t k = next_row();
    Staged& s = staged_[k - streamed_];
    s.row = at_row, s.sid = of_sid, s.before = value_before, s.after = value_after;
    s.price = at_price, s.fee = paid_fee, s.tax = paid_tax;
    reasons_[k - streamed_] = why;
    suspended_[k - streamed_] = was_suspended ? 1 : 0;
    if (k + 1 - streamed_ == kStaged) stream_staged();
  }
  // The columns' sizes, every staged fill written (before they are handed over).
  void seal() {
    const std::size_t n = size() - streamed_;
    for (std::size_t j = 0; j < n; ++j) {
      const std::size_t k = streamed_ + j;
      const Staged& s = staged_[j];
      row.data()[k] = s.row, sid.data()[k] = s.sid, before.data()[k] = s.before;
      after.data()[k] = s.after, price.data()[k] = s.price, fee.data()[k] = s.fee;
      tax.data()[k] = s.tax, reason.data()[k] = reasons_[j], suspended.data()[k] = suspended_[j];
    }
    streamed_ = size();
    TableRows<FillColumns>::seal();
  }
  // The account columns of the fill pushed last (only when they are recorded).
  void push_account(double paid_slippage, double paid_impact, double lost, double moved_shares,
                    double asked) {
    const std::size_t k = size() - 1;
    slippage.data()[k] = paid_slippage;
    impact.data()[k] = paid_impact;
    written_off.data()[k] = lost;
    shares.data()[k] = moved_shares;
    requested.data()[k] = asked;
  }
  template <class Fn>
  void for_each_column(Fn&& fn) {
    fn(row), fn(sid), fn(reason), fn(before), fn(after), fn(price), fn(fee), fn(tax),
        fn(suspended);
    if (account_) fn(slippage), fn(impact), fn(written_off), fn(shares), fn(requested);
  }

 private:
  // A multiple of 64: whole lines of the one-byte columns too.
  static constexpr std::size_t kStaged = 64;
  struct Staged {
    std::int64_t row, sid;
    double before, after, price, fee, tax;
  };

  void stream_staged() {
    const std::size_t at = streamed_;
    auto out = [&](auto* column, auto field) {
      for (std::size_t j = 0; j < kStaged; ++j) stream_store(column + at + j, staged_[j].*field);
    };
    out(row.data(), &Staged::row), out(sid.data(), &Staged::sid);
    out(before.data(), &Staged::before), out(after.data(), &Staged::after);
    out(price.data(), &Staged::price), out(fee.data(), &Staged::fee);
    out(tax.data(), &Staged::tax);
    auto bytes = [&](std::int8_t* column, const std::int8_t* from) {
      for (std::size_t j = 0; j < kStaged; j += 8) {
        std::int64_t eight;
        std::memcpy(&eight, from + j, sizeof eight);
        stream_store(reinterpret_cast<std::int64_t*>(column + at + j), eight);
      }
    };
    bytes(reason.data(), reasons_), bytes(suspended.data(), suspended_);
    streamed_ += kStaged;
  }

  bool account_;
  std::size_t streamed_ = 0;  // fills in the columns; the ones after are staged
  Staged staged_[kStaged];
  std::int8_t reasons_[kStaged], suspended_[kStaged];
};

// One accrual of financing: the calendar days since the previous row, the
// cash it was on and its interest (signed: paid when negative), and the
// shorts at the previous close with their fee.
// The orders a volume cap left open after each row: signed shares still to
// trade and why they were placed.
struct PendingColumns {
  Column<std::int64_t> row, sid;
  Column<double> shares;
  Column<std::int8_t> reason;
};

struct FinancingColumns {
  Column<std::int64_t> row;
  Column<double> days, balance, interest, short_value, short_fee;
};

struct TradeColumns : TableRows<TradeColumns> {
  Column<std::int64_t> sid, entry_row, exit_row;
  Column<double> position, entry_value, exit_value, cost, pnl;
  Column<std::int8_t> exit_reason;  // -1 while open
  // Indexes into the fills of the fill that opened the record and of the one
  // that closed it; -1 when there is none (an open record, or a record split
  // off a kept holding by a resize that traded nothing).
  Column<std::int64_t> entry_fill, exit_fill;

  // A record with no exit value, reason or fill yet; returns its index.
  std::size_t push(std::int64_t of_sid, std::int64_t entered, std::int64_t exited,
                   double weight, double value_in, double paid, double gain,
                   std::int64_t entry_fill_at) {
    const std::size_t k = next_row();
    sid.data()[k] = of_sid;
    entry_row.data()[k] = entered;
    exit_row.data()[k] = exited;
    position.data()[k] = weight;
    entry_value.data()[k] = value_in;
    exit_value.data()[k] = 0.0;
    cost.data()[k] = paid;
    pnl.data()[k] = gain;
    exit_reason.data()[k] = -1;
    entry_fill.data()[k] = entry_fill_at;
    exit_fill.data()[k] = -1;
    return k;
  }
  template <class Fn>
  void for_each_column(Fn&& fn) {
    fn(sid), fn(entry_row), fn(exit_row), fn(position), fn(entry_value), fn(exit_value), fn(cost),
        fn(pnl), fn(exit_reason), fn(entry_fill), fn(exit_fill);
  }
};

struct PositionColumns {
  Column<std::int64_t> row, sid;
  Column<double> value;
};

class Journal final : public RunHooks {
 public:
  Journal(const RunInputs& in, const RunOptions& opt, const JournalOptions& jopt);
  ~Journal() { worker_.reset(); }  // the helper stops before the buffers it writes go

  // --- RunHooks: what set_position reports ---------------------------------
  void record_date(int row) override { date_ = row; }
  void record_entry(int sid, double weight, int has_transaction) override;
  void record_exit(int sid, int has_transaction) override;
  bool split_on_resize() override { return jopt_.split_on_resize; }
  bool stop_trading_next_period() override { return jopt_.stop_trading; }
  bool records_fills() const override { return true; }
  void record_fill(int sid, const FillReport& fill) override;

  // --- what the engine tells beyond the hooks ------------------------------
  // The next set_position calls trade on `row` for `reason`, at `price` when
  // given (an intraday exit), else at the row's trade price.
  void trade_context(std::int64_t row, ExitReason reason) {
    ctx_row_ = row;
    ctx_reason_ = reason;
    ctx_price_given_ = false;
  }
  void trade_context(std::int64_t row, ExitReason reason, double price) {
    trade_context(row, reason);
    ctx_price_ = price;
    ctx_price_given_ = true;
  }
  void rebalanced(std::int64_t row) { rebalance_rows.push_back(row); }
  void order_open(std::int64_t row, int sid, double shares, ExitReason reason) {
    pending.row.push_back(row);
    pending.sid.push_back(sid);
    pending.shares.push_back(shares);
    pending.reason.push_back(static_cast<std::int8_t>(reason));
  }
  void financed(std::int64_t row, double days, double balance, double interest,
                double short_value, double short_fee) {
    financing.row.push_back(row);
    financing.days.push_back(days);
    financing.balance.push_back(balance);
    financing.interest.push_back(interest);
    financing.short_value.push_back(short_value);
    financing.short_fee.push_back(short_fee);
  }
  void row_done(std::int64_t row, double cash_after) { cash[static_cast<std::size_t>(row)] = cash_after; }
  // The account stopped on `row` (see RunState::stopped).
  void stopped(std::int64_t row, std::int8_t reason, double equity, double gross) {
    stop_row = row;
    stop_reason = reason;
    stop_equity = equity;
    stop_gross = gross;
  }
  bool records_positions() const { return jopt_.positions; }
  // How many holdings have been recorded, and dropping those recorded since
  // (a close valuation the account's stop undoes).
  std::size_t positions_recorded() const { return positions.row.size(); }
  void unrecord_positions(std::size_t at) {
    positions.row.resize_down(at);
    positions.sid.resize_down(at);
    positions.value.resize_down(at);
  }
  void holding_at_close(std::int64_t row, int sid, double worth) {
    if (worth == 0.0) return;  // adds nothing to the valuation (NaN is kept)
    positions.row.push_back(row);
    positions.sid.push_back(sid);
    positions.value.push_back(worth);
  }
  // The same for rows first .. first + n - 1 at once: worths[i * n_held + k]
  // is the worth of stock sids[k] at the close of row first + i.
  void holdings_at_closes(std::int64_t first, std::int64_t n, const int* sids,
                          std::int64_t n_held, const double* worths) {
    const std::size_t most = static_cast<std::size_t>(n * n_held);
    if (positions_helper_ && most > 0 && zeros(worths, most) == 0) {
      // Every worth is an entry: the run streams the values out of its
      // buffer, and the helper writes the rows and stocks, which the
      // stretch alone decides, into the places set aside for them.
      if (stretches_handed_ >= kStretchSlots) {
        worker_->wait_positions(stretches_handed_ - kStretchSlots + 1);  // its slot is free
      }
      StretchPositions& s = stretches_[stretches_handed_ % kStretchSlots];
      s.row = positions.row.extend(most);
      s.sid = positions.sid.extend(most);
      // No fence: nothing reads them before the run ends, when finish() fences.
      stream_copy(positions.value.extend(most), worths, most);
      s.first = first;
      s.n = n;
      s.sids.assign(sids, sids + n_held);
      ++stretches_handed_;
      worker_->submit_positions();
      return;
    }
    const std::size_t at = positions.row.size();
    std::int64_t* row = positions.row.extend(most);
    auto* sid = positions.sid.extend(most);
    double* value = positions.value.extend(most);
    std::size_t kept = 0;
    for (std::int64_t i = 0; i < n; ++i) {
      for (std::int64_t k = 0; k < n_held; ++k) {
        const double worth = worths[i * n_held + k];
        if (worth == 0.0) continue;
        stream_store(row + kept, static_cast<std::int64_t>(first + i));
        stream_store(sid + kept, static_cast<std::int64_t>(sids[k]));
        stream_store(value + kept, worth);
        ++kept;
      }
    }
    stream_fence();
    positions.row.resize_down(at + kept);
    positions.sid.resize_down(at + kept);
    positions.value.resize_down(at + kept);
  }


  // How many of w[0 .. n - 1] are 0.0 (a quiet stretch's worths rarely are:
  // a whole block is tested at once).
  static std::size_t zeros(const double* w, std::size_t n) {
    std::size_t j = 0, count = 0;
#if defined(__SSE2__)
    const __m128d zero = _mm_setzero_pd();
    for (; j + 8 <= n; j += 8) {
      const __m128d a = _mm_or_pd(_mm_cmpeq_pd(_mm_loadu_pd(w + j), zero),
                                  _mm_cmpeq_pd(_mm_loadu_pd(w + j + 2), zero));
      const __m128d b = _mm_or_pd(_mm_cmpeq_pd(_mm_loadu_pd(w + j + 4), zero),
                                  _mm_cmpeq_pd(_mm_loadu_pd(w + j + 6), zero));
      if (_mm_movemask_pd(_mm_or_pd(a, b)) == 0) continue;
      for (std::size_t q = j; q < j + 8; ++q) count += w[q] == 0.0;
    }
#endif
    for (; j < n; ++j) count += w[j] == 0.0;
    return count;
  }

  // After the last row: the records of the holdings still open, valued at
  // the last close, in the book's order.
  void finish(const Book& pos);

  std::int64_t excursion_length() const { return excursion_length_; }

  // Computes the excursion arrays still waiting; throws the failure of the
  // first that fails. The run calls it before it reports any failure of its
  // own, since those trades exited first.
  void flush_excursions();

  Column<double> cash;
  Column<std::int64_t> rebalance_rows;
  FillColumns fills;
  TradeColumns trades;
  PositionColumns positions;
  FinancingColumns financing;
  PendingColumns pending;
  Column<double> excursions;  // trades x excursion_length(), row-major
  // Where the account stopped (-1: it never did), why, and its equity and
  // gross held then.
  std::int64_t stop_row = -1;
  std::int8_t stop_reason = 0;
  double stop_equity = 0.0, stop_gross = 0.0;

 private:
  struct PendingExcursion {
    ExcursionTrade trade;
    std::size_t offset;  // of its array in `excursions`
  };

  struct OpenTrade {
    std::int64_t entry_row = 0;
    double position = 0.0;
    int entry_transaction = 0;
    double flows = 0.0;  // sum of (before - after) of its fills
    double cost = 0.0;
    double entry_value = 0.0;
    std::int64_t entry_fill = -1;
  };

  std::int64_t stock_slot(int sid, const char* frame) const {
    if (sid >= 0 && static_cast<std::size_t>(sid) < open_.size()) return sid;  // the usual case
    return outside_slot(sid, frame);
  }
  std::int64_t outside_slot(int sid, const char* frame) const;
  int price_column(int sid) const {
    if (sid < 0 || sid >= static_cast<std::int64_t>(sid_to_price_.size())) return -1;
    return sid_to_price_[static_cast<std::size_t>(sid)];
  }
  std::size_t push_record(int sid, const OpenTrade& t, std::int64_t exit_row);
  void add_excursion(int sid, const OpenTrade& t, int i_exit, int exit_transaction);
  void hand_over();  // the waiting trades to the helper thread
  // Trades go to the helper this many at a time (it looks for them now and
  // then), or sooner once their walks add up to kHandOverRows rows:
  // a run of long trades then keeps the helper busy from early on, and few
  // are left for the run's end, where the run computes them itself.
  static constexpr std::size_t kHandOver = 2048;
  static constexpr double kHandOverRows = 1 << 16;
  double pending_rows_ = 0;  // the rows the waiting trades' walks read, at most
  // Runs whose positions may reach this many entries reserve them at once.
  static constexpr double kReservePositionsAbove = 1 << 20;
  double worth_at_close(int sid, double value, std::int64_t row) const;

  const RunInputs& in_;
  JournalOptions jopt_;
  double capital_ = 0.0;   // 0: no shares to report
  double slippage_ = 0.0;
  ExcursionParams params_;
  ExcursionPath path_;
  const std::vector<int>& sid_to_price_;  // the inputs' table
  KnownPrices known_;  // a suspended fill's last known price
  // Indexed by stock at every entry, fill and exit: a Column, so that in a
  // research loop it sits in a pooled mapping on huge pages rather than on
  // small pages of its own, which a wide row's reads push out of the TLB.
  Column<OpenTrade> open_;
  std::vector<PendingExcursion> pending_;  // without a helper
  std::vector<ExcursionJob> jobs_;          // the helper's next batch
  std::int64_t keep_ = -1;                  // elements kept per array, once known
  std::vector<double> whole_;  // a whole array when only its summary is kept (windows below 1)
  std::unique_ptr<ExcursionWorker> worker_;
  bool excursion_helper_ = false;  // the helper computes the excursion arrays
  // ... and writes the rows and stocks of the quiet stretches' positions,
  // which cycle through these slots.
  bool positions_helper_ = false;
  static constexpr std::uint64_t kStretchSlots = 256;
  StretchPositions stretches_[kStretchSlots];
  std::uint64_t stretches_handed_ = 0;
  int date_ = 0;
  std::int64_t excursion_length_ = -1;  // known at the first record
  std::int64_t ctx_row_ = 0;
  ExitReason ctx_reason_ = ExitReason::Rebalance;
  double ctx_price_ = 0.0;
  bool ctx_price_given_ = false;
  std::int64_t closing_ = -1;  // record closed by the set_position call in progress
  OpenTrade closing_trade_;    // its figures before that call's fill
  int opening_ = -1;           // stock opened by it
};

// rebalance with the journal's hooks called directly (instantiated in
// journal.cpp, where they are defined): the engine's rebalances when it
// records into a journal.
double rebalance_journal(Book& p, const View1D<double>& newp, double cash, TradeCosts costs,
                         double position_limit, Journal& hooks, double max_gross,
                         FillSetup* setup, const std::vector<std::int64_t>* targets,
                         CashRule cash_rule);

// The weight each row traded: over the fills in their order, the moved value
// less what was written off, over the equity before the fill's row (1 before
// the first), added into out[row] (n_rows zeros to start). False, with out
// left partly written, when a fill's row lies outside [0, n_rows).
bool turnover_per_row(const View1D<std::int64_t>& rows, const View1D<double>& before,
                      const View1D<double>& after, const View1D<double>& written_off,
                      const View1D<double>& equity, double* out);

// A fill's record, inlined into the journal's own rebalances (one call per fill).
__attribute__((always_inline)) inline void Journal::record_fill(int sid, const FillReport& f) {
  const double before = f.before, after = f.after, fee = f.fee, tax = f.tax;
  double cost = fee + tax;
  // The trade paid these as it paid the fee.
  if (f.slippage != 0.0) cost += f.slippage;
  if (f.impact != 0.0) cost += f.impact;
  if (f.written_off != 0.0) cost += f.written_off;
  // A call that moved nothing and cost nothing is no fill; the records it
  // closed or opened have no fill of their own.
  const bool traded = f.placed && !(before == after && cost == 0.0);
  const std::int64_t fill = traded ? static_cast<std::int64_t>(fills.size()) : -1;
  if (closing_ >= 0) {
    const std::size_t k = static_cast<std::size_t>(closing_);
    trades.exit_value[k] = before;
    trades.exit_reason[k] = static_cast<std::int8_t>(ctx_reason_);
    trades.exit_fill[k] = fill;
    double paid = closing_trade_.cost;
    if (opening_ < 0) paid += cost;  // the trade that ends pays for its exit
    trades.cost[k] = paid;
    trades.pnl[k] = (closing_trade_.flows + before) - paid;
  }
  if (sid >= 0 && sid < static_cast<std::int64_t>(open_.size())) {
    OpenTrade& t = open_[static_cast<std::size_t>(sid)];
    if (opening_ >= 0) {
      // A fresh record (or the new one of a split) pays for the fill that made it.
      t.entry_value = after;
      t.flows -= after;
      t.cost += cost;
      t.entry_fill = fill;
    } else if (closing_ < 0) {
      t.flows += before - after;  // a resize within one record
      t.cost += cost;
    }
  }
  closing_ = -1;
  opening_ = -1;
  if (!traded) return;

  double price = ctx_price_;
  bool suspended = false;
  if (!ctx_price_given_) {
    // The row's trade price; a stock the matrix does not reach (labels and
    // matrices of different widths) has none. A suspended stock trades at
    // its last known value, so its fill is at its last known price: never
    // one seen after this row.
    const int col = price_column(sid);
    const bool inside = col >= 0 && col < in_.price.cols && ctx_row_ >= 0 &&
                        ctx_row_ < in_.price.rows;
    price = inside ? in_.price.get(ctx_row_, col) : std::nan("");
    suspended = std::isnan(price);
    if (suspended && inside) price = known_.at(in_.price, col, ctx_row_);
  }
  // The reference price values the holding; the fill itself trades at that
  // price moved against the trade by the slippage.
  const double reference = price;
  // The fill price carries the slippage and the impact the fill paid.
  if (f.written_off == 0.0 && before != after && (slippage_ != 0.0 || f.impact != 0.0)) {
    const double moved =
        f.impact == 0.0 ? slippage_ : (f.slippage + f.impact) / std::fabs(after - before);
    price = after > before ? price * (1.0 + moved) : price * (1.0 - moved);
  }
  double shares = std::nan(""), requested = std::nan("");
  if (capital_ > 0.0) {
    shares = std::isnan(f.shares) ? (after - before) * capital_ / reference : f.shares;
    requested = !std::isnan(f.requested_shares) ? f.requested_shares
                : std::isnan(f.requested)       ? shares
                                                : f.requested * capital_ / reference;
  }
  fills.push(ctx_row_, sid, static_cast<std::int8_t>(ctx_reason_), before, after, price, fee, tax,
             suspended);
  if (fills.account()) fills.push_account(f.slippage, f.impact, f.written_off, shares, requested);
}

}  // namespace pelmora
