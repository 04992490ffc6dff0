// The backtest run: row loop, exit rules, rebalancing, delistings and the
// closing valuation, on plain doubles and the position book.
//
// Inputs are views of the caller's arrays (never copied). The run's working
// state lives in RunState, owned by the Engine, so independent runs never
// share anything; the only outside contact is through RunHooks.
#pragma once

#include <cmath>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "core/book.hpp"
#include "core/execution.hpp"
#include "core/known_prices.hpp"
#include "core/views.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace pelmora {

// Position column -> price column, from the labels: as the map they gave (the
// excursion module's published interface takes it so) and as the table the
// engine and the journal read, built once per set of labels.
struct ColumnMap {
  ColumnMap() = default;
  explicit ColumnMap(std::map<int, int> pos2price);
  std::map<int, int> by_sid;
  std::vector<int> table;  // indexed by position column; -1: no price column
};

struct RunInputs {
  View2D<double> price, close, high, low, open;
  View1D<std::int64_t> price_index;
  View2D<double> pos_values;
  View1D<std::int64_t> pos_index;
  View1D<std::int64_t> resample;
  bool has_delisting_bars = false;
  View1D<std::int64_t> delisting_bars;
  std::int64_t n_pos_columns = 0;  // len(pos_columns): stock labels for messages
  ColumnMap columns;
};

// The options of a run, with backtest_'s defaults.
struct RunOptions {
  double fee_ratio = 0.001425;
  double tax_ratio = 0.003;
  double stop_loss = 1.0;
  double take_profit = HUGE_VAL;
  double trail_stop = HUGE_VAL;
  double trail_stop_activation = 0.0;
  bool touched_exit = false;
  double position_limit = 1.0;
  bool retain_cost_when_rebalance = false;
  // The account's capital, lots, slippage, minimum fee, leverage and
  // financing (the journal's options; backtest_ leaves them off).
  Execution exec;
};

// Labels and float texts for error messages come from the caller's objects.
class MessageHooks {
 public:
  virtual ~MessageHooks() = default;
  // Text of pos_columns[sid]; throws IndexError when sid is outside.
  virtual std::string symbol_text(int sid) = 0;
  virtual std::string float_text(double value) = 0;
};

// Why a holding was traded. The names are the labels users see, in this order.
// WipedOut and MarginCall close the whole book when the account stops (see
// Engine::stop_account).
enum class ExitReason : std::int8_t {
  Rebalance,
  StopLoss,
  TakeProfit,
  TrailingStop,
  Delisting,
  WipedOut,
  MarginCall
};
inline constexpr const char* kExitReasonNames[] = {"rebalance",     "stop_loss", "take_profit",
                                                   "trailing_stop", "delisting", "wiped_out",
                                                   "margin_call"};
inline constexpr int kExitReasonCount = 7;

// An exit signalled at the close and carried out on the next row. The signed
// stock indexes of exit_stocks cannot tell a stop of stock 0 from its take
// profit; this record travels beside them, in the same order, and can.
struct PendingExit {
  int sid;
  std::int8_t side;  // +1: the upper threshold was crossed, -1: the lower one
  ExitReason reason;
};

class Journal;

// One row of a holding's walk: its return from the reference price (1 when
// the row has no price, so the holding keeps its value), applied to its
// value and to its return since entry, whose extremes follow. A reference
// never set takes this row's price. Returns the row's return.
inline double step_holding(double price, double& previous, double& value, double& cr,
                           double& maxcr, double& mincr) {
  if (std::isnan(previous)) previous = price;
  double r = price / previous;
  if (std::isnan(r)) r = 1;
  value = value * r;
  cr = cr * r;
  if (cr > maxcr) maxcr = cr;
  if (cr < mincr) mincr = cr;
  return r;
}

// A holding's worth at the close: its value moved from the row's trade price
// to its close, or left as it is when either is missing.
inline double worth_at_close(double value, double price, double close) {
  return (std::isnan(price) || std::isnan(close)) ? value : value * close / price;
}

#if defined(__SSE2__)
// The two functions above on two lanes at once, for walks that carry two
// holdings (or two rows) side by side. Each lane makes the same operations
// in the same order as its scalar model, and IEEE arithmetic rounds a lane
// of a packed operation exactly as the scalar one, so each lane's results
// are the scalar ones bit for bit. (_mm_max_pd(a, b) is `a > b ? a : b` and
// _mm_min_pd(a, b) is `a < b ? a : b`, NaNs and signed zeros included. No
// product flows straight into a sum, so no contraction could fuse one.)

// mask ? a : b, lane by lane; the mask is all ones or all zeros per lane.
inline __m128d select_pd(__m128d mask, __m128d a, __m128d b) {
  return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}

// step_holding followed by the walks' `if (!std::isnan(price)) previous =
// price`, lane by lane. `unset` holds the lanes whose previous is NaN, kept
// beside it: the reference a row leaves is its price, or the reference it
// found when the price is missing and that one was set, which makes the
// chain carried from row to row two logic operations long instead of a
// comparison and two selections (a packed walk is latency-bound). A lane's
// previous stays NaN only if its price is missing too: unset &= that.
inline void step_holding_pd(__m128d price, __m128d& previous, __m128d& unset, __m128d& value,
                            __m128d& cr, __m128d& maxcr, __m128d& mincr) {
  const __m128d missing = _mm_cmpunord_pd(price, price);
  __m128d r = _mm_div_pd(price, select_pd(unset, price, previous));
  r = select_pd(_mm_cmpunord_pd(r, r), _mm_set1_pd(1.0), r);
  value = _mm_mul_pd(value, r);
  cr = _mm_mul_pd(cr, r);
  maxcr = _mm_max_pd(cr, maxcr);
  mincr = _mm_min_pd(cr, mincr);
  previous = select_pd(_mm_andnot_pd(unset, missing), previous, price);
  unset = _mm_and_pd(unset, missing);
}

// worth_at_close, lane by lane.
inline __m128d worth_at_close_pd(__m128d value, __m128d price, __m128d close) {
  const __m128d moved = _mm_div_pd(_mm_mul_pd(value, close), price);
  return select_pd(_mm_cmpunord_pd(price, close), value, moved);
}
#endif

// A holding as a walk down its price column leaves it: its value, its
// return since entry and that return's extremes, and its reference price.
struct ColumnWalk {
  double value, cr, maxcr, mincr, previous;
};

struct RunState {
  Book pos;
  double cash = 1.0;
  std::vector<double> cr, maxcr, mincr, previous_price;
  std::vector<unsigned char> date_rebalance;
  bool has_delisting = false;
  double stop_loss_abs = 0, take_profit_abs = 0, trail_stop_abs = 0, trail_stop_activation_abs = 0;
  Book latest_rebalanced_pos;
  // The weights of the last executed rebalance: a view of its row of
  // pos_values (held for the run), or of latest_rebalanced_copy when the row
  // was changed before it traded (stopped-out stocks set to 0).
  View1D<double> latest_rebalanced_row;
  std::vector<double> latest_rebalanced_copy;
  std::vector<int> exit_stocks, exit_stocks_temp, exited_stocks, delisted_stocks;
  std::vector<PendingExit> pending_exits, pending_exits_temp;  // beside exit_stocks(_temp)
  bool should_rebalance = false;
  int pos_id = 0;
  int current_position_id = -1;
  std::int64_t date = 0;  // date of the last row walked
  bool worked = false;    // a row dated on or after the first weights was worked
  std::int64_t rows_walked = 0;
  // Financing: the date of the last row worked (-1 before the first) and
  // the absolute value of the shorts at its close.
  // Whether this row's fills may have added holdings (a rebalance, a pending
  // order) since mark_to_market walked the book.
  bool book_changed = false;
  std::int64_t financed_row = -1;
  std::int64_t financed_date = 0;
  double shorts_at_close = 0.0;
  // The account stopped: its equity reached 0 or less (or the maintenance
  // margin) on row stopped_row and the book was closed there; nothing
  // trades after it. The equity and gross held that stopped it, and why.
  bool stopped = false;
  std::int64_t stopped_row = -1;
  double stopped_equity = 0.0, stopped_gross = 0.0;
  ExitReason stopped_reason = ExitReason::WipedOut;
};

bool trade_price_ok(double value);
std::string invalid_trade_price_message(const std::string& symbol, std::int64_t row,
                                        const std::string& value_text);

class Engine final : private FillSetup {
 public:
  // `journal`, when given, is told every trade's reason and price, the rows
  // rebalanced, the cash and the book at every close.
  Engine(const RunInputs& in, const RunOptions& opt, RunHooks& hooks, MessageHooks& text,
         Journal* journal = nullptr);

  // Trackers, thresholds, delisting flag and rebalance-row marks.
  void setup();
  // Walks every price row; creturn has one slot per row of price_index.
  void run_rows(double* creturn);
  // Walks the rows from the first not yet walked up to `end` (excluded). The
  // runs of a batch over the same prices take their rows a block at a time,
  // each run the whole block before the next: the block's price lines are
  // read from memory once. A run walked in any blocks is the run walked at
  // once, bit for bit (a quiet stretch ends at the block's end as it ends at
  // the last row).
  void run_rows_until(std::int64_t end, double* creturn);

  RunState& state() { return st_; }
  const RunState& state() const { return st_; }

 private:
  void process_row(std::int64_t d, double* creturn);
  int price_column(int sid, std::int64_t d);
  [[noreturn]] __attribute__((noinline, cold)) void no_price_column(int sid, std::int64_t d);
  double validated_trade_price(int sid, int sidprice, std::int64_t d);
  [[noreturn]] __attribute__((noinline, cold)) void invalid_trade_price(int sid, std::int64_t d,
                                                                        double price);
  void prefetch_cells(std::int64_t d, int col);
  void mark_to_market(std::int64_t d);
  // The same walk over the holdings cached in hot_, for a row whose cells
  // are all known to be inside the matrices; false: not such a row.
  bool mark_hot(std::int64_t d);
  void cache_holdings();
  // Rows from d on that are known in advance to trade nothing, walked
  // holding by holding; returns how many (0: none, walk row d as usual).
  std::int64_t run_quiet_rows(std::int64_t d, std::int64_t end, double* creturn);
  void apply_exit_rules(std::int64_t d, int sid, int sidprice, double price, double r,
                        double value_now);
  void execute_pending_exits();
  void rebalance_step(std::int64_t d);
  void delisting_exits(std::int64_t d);
  // The close valuation with the account's check at the close: a balance at
  // 0 or below, or below the maintenance margin of the gross held, closes
  // the book at the close. Returns the row's equity.
  double close_and_check(std::int64_t d);
  double close_valuation(std::int64_t d, double* gross = nullptr);
  // The cash plus the book at the trade price, in the book's order (the
  // balance a rebalance sizes its targets from).
  double balance_at_trade() const;
  // Closes every holding on row d, at the trade price or (at_close) at
  // each holding's close, and stops the account for `reason`.
  void stop_account(std::int64_t d, ExitReason reason, double equity, double gross,
                    bool at_close);
  void schedule_next_row(std::int64_t d);
  void accrue_financing(std::int64_t d);

  // --- an account's fills: prices, volume caps, impact, pending orders -----
  // The journal's reason for the fills that follow, kept for their orders.
  void trade_for(std::int64_t d, ExitReason reason);
  // The costs of one fill of stock `sid` on row d, valued at `price` (NaN:
  // the row's trade price or, without one, the last known price).
  TradeCosts fill_costs(int sid, std::int64_t d, double price = std::nan(""));
  double impact_sigma(int col, std::int64_t d);
  double running_sigma(int col, std::int64_t first, std::int64_t d);
  bool close_return(int col, std::int64_t t, double& r) const;
  // What the last fill left unfilled becomes the stock's order.
  void keep_order(int sid);
  // What the fill last set up took of its row's volume.
  void count_fill();
  void clear_orders();
  void fill_orders(std::int64_t d);
  double affordable_shares(TradeCosts c, int sid, double q, double cash, double balance);
  bool exiting(int sid) const;
  void write_off(int sid);
  void before(int sid, TradeCosts& costs) override;
  void after(int sid) override;
  void limit_to_cash(int sid, TradeCosts& costs, double amount, double cash,
                     double balance) override;
  double& tracker(std::vector<double>& v, std::int64_t sid);
  void signal_exit(int sid, std::int8_t side, ExitReason reason);
  bool quiet_long(std::int64_t d, int sidprice, double price, double value, double cr);

  const RunInputs& in_;
  const RunOptions& opt_;
  RunHooks& hooks_;
  MessageHooks& text_;
  Journal* journal_;
  TradeCosts costs_;
  RunState st_;
  const std::vector<int>& sid_to_price_;  // the inputs' table
  std::vector<double> row_copy_;
  std::vector<std::int64_t> targets_;  // the nonzero weights of a rebalance, by index
  std::vector<std::pair<int, double>> kept_prices_;
  // Pending orders (capped runs): signed shares per stock index, why, and
  // the stocks that have one, in the order they got it.
  bool caps_ = false;
  bool long_exits_never_ = false;  // no rule can exit a long on the close
  // Each holding's worth at the close, as mark_to_market left the book.
  std::vector<double> worth_;
  bool worth_ok_ = false;
  // Per holding, in the book's order: what the walk of every row looks up
  // afresh otherwise (its columns and their byte offsets), validated once
  // for the book's keys of hot_version_.
  struct HotHolding {
    std::int64_t price_off, close_off;
    std::int64_t delisting;  // its delisting row (-1: none known)
    int sid, col;
  };
  std::vector<HotHolding> hot_;
  std::vector<int> hot_sids_;  // their stocks, for the journal
  std::uint64_t hot_version_ = 0;
  bool hot_cached_ = false;  // hot_ describes the keys of hot_version_
  bool hot_ok_ = false;      // ... and every one passed the checks
  // ... and the holdings may be walked one after the other over many rows:
  // no two share a price column, and their delisting rows are known.
  bool quiet_ok_ = false;
  std::vector<unsigned char> column_seen_;
  // Each holding's state at the end of a quiet stretch, kept aside until
  // the whole stretch is known to be quiet.
  std::vector<ColumnWalk> quiet_end_;
  // The longest stretch, and two holdings' values over it (the walk takes
  // them in pairs where the processor has packed arithmetic).
  static constexpr std::int64_t kQuietStretch = 512;
  std::vector<double> quiet_values_;
  // Every holding's worth at every close of a stretch, row by row, for a
  // journal of positions; the stretch is shortened to fit.
  static constexpr std::int64_t kQuietWorths = 1 << 15;
  std::vector<double> quiet_worths_;
  // Rows before this one are walked one at a time: a stretch tried from an
  // earlier row met something that was not quiet on the row before it.
  std::int64_t row_wise_until_ = 0;
  // The first row run_rows_until has not walked yet.
  std::int64_t next_row_ = 0;
  std::vector<double> order_shares_;
  std::vector<ExitReason> order_reason_;
  std::vector<unsigned char> order_closes_;
  std::vector<unsigned char> order_entry_;  // the order pays no tax (OpenOrder::entry)
  std::vector<int> orders_;
  std::vector<int> deferred_;  // buys a row's fill_orders put off until its other orders
  OpenOrder unfilled_;
  // Per price column: the shares its fills took of the row's volume.
  std::vector<double> used_shares_;
  std::vector<std::int64_t> used_row_;
  int used_col_ = -1;  // the column of the fill last set up
  // Per price column: the impact's volatility and the row it is of.
  std::vector<double> sigma_;
  std::vector<std::int64_t> sigma_row_;
  // Windows up to this many rows are summed afresh for every fill, in two
  // passes (the default of 20 and a quarter's 63 among them); a longer one
  // would cost its length in logarithms per fill, and a year's window on a
  // daily rebalance minutes, so each column keeps a running one instead.
  static constexpr std::int64_t kTwoPassWindow = 64;
  struct RunningWindow {
    std::int64_t lo = 1, hi = 1;  // the rows [lo, hi) whose returns it holds
    std::int64_t n = 0;           // of which a return
    double mean = 0.0, m2 = 0.0;  // their mean and sum of squared deviations
  };
  std::vector<RunningWindow> running_;
  KnownPrices known_;  // a row's last known price, for counting shares
  std::int64_t fill_row_ = 0;
  ExitReason trading_for_ = ExitReason::Rebalance;
};

}  // namespace pelmora
