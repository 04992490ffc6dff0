// The row loop. Within one processed row the order is fixed: revalue each
// holding and apply its exit rules, carry out the exits signalled on the
// previous row, rebalance when due, sell delisted stocks, value the book at
// the close, then decide the next row's rebalance.
#include "core/engine.hpp"

#include "core/account_fills.hpp"
#include "core/journal.hpp"

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <cstdio>

namespace pelmora {

namespace {
constexpr const char* kValidate = "pelmora.core.runvane.validate_trade_price";
}

bool trade_price_ok(double value) {
  if (std::isnan(value)) return true;
  return !(std::fabs(value) > DBL_MAX || value <= 0);
}

std::string invalid_trade_price_message(const std::string& symbol, std::int64_t row,
                                        const std::string& value_text) {
  return "Invalid trading price for " + symbol + " at price row " + std::to_string(row) + ": " +
         value_text + ". Expected a positive finite price; check the trading-price dataset.";
}

Engine::Engine(const RunInputs& in, const RunOptions& opt, RunHooks& hooks, MessageHooks& text,
               Journal* journal)
    : in_(in),
      opt_(opt),
      hooks_(hooks),
      text_(text),
      journal_(journal),
      costs_{opt.fee_ratio, opt.tax_ratio, opt.exec.changes_fills() ? &opt.exec : nullptr},
      sid_to_price_(in.columns.table),
      caps_(opt.exec.caps()) {}

ColumnMap::ColumnMap(std::map<int, int> pos2price) : by_sid(std::move(pos2price)) {
  std::int64_t size = 0;
  for (const auto& kv : by_sid) size = std::max<std::int64_t>(size, kv.first + 1);
  table.assign(static_cast<std::size_t>(size), -1);
  for (const auto& kv : by_sid) {
    if (kv.first >= 0) table[static_cast<std::size_t>(kv.first)] = kv.second;
  }
}

void Engine::setup() {
  // One tracker per position column, one reference price per price column;
  // both sizes come from row 0, so an empty matrix fails here.
  const std::int64_t n_pos = in_.pos_values.row(0).size;
  st_.cr.assign(n_pos, 1.0);
  st_.maxcr.assign(n_pos, 1.0);
  st_.mincr.assign(n_pos, 1.0);
  const std::int64_t n_price_cols = in_.price.row(0).size;
  st_.previous_price.assign(n_price_cols, 1.0);

  st_.has_delisting = false;
  if (in_.has_delisting_bars) {
    for (std::int64_t i = 0; i < in_.delisting_bars.size; ++i) {
      if (in_.delisting_bars.get(i) >= 0) {
        st_.has_delisting = true;
        break;
      }
    }
  }
  st_.stop_loss_abs = std::fabs(opt_.stop_loss);
  st_.take_profit_abs = std::fabs(opt_.take_profit);
  st_.trail_stop_abs = std::fabs(opt_.trail_stop);
  st_.trail_stop_activation_abs = std::fabs(opt_.trail_stop_activation);
  long_exits_never_ = !opt_.touched_exit && st_.take_profit_abs == HUGE_VAL &&
                      1 - st_.stop_loss_abs <= 0 && st_.trail_stop_abs == HUGE_VAL;

  // Each rebalance date marks the last price row dated on or before it.
  const std::int64_t n_rows = in_.price_index.size;
  st_.date_rebalance.assign(n_rows, 0);
  std::int64_t ptr = 0;
  const View1D<std::int64_t>& index = in_.price_index;
  for (std::int64_t k = 0; k < in_.resample.size; ++k) {
    const std::int64_t d = in_.resample.get(k);
    // Four rows at a time while all four are dated on or before d (a long
    // panel has a million rows and a rebalance every few hundred), then row
    // by row: the same rows, whatever the order of the dates.
    while (ptr + 4 < n_rows && (index.get(ptr + 1) <= d) & (index.get(ptr + 2) <= d) &
                                   (index.get(ptr + 3) <= d) & (index.get(ptr + 4) <= d)) {
      ptr += 4;
    }
    while (ptr + 1 < n_rows && index.get(ptr + 1) <= d) ++ptr;
    if (n_rows > 0) st_.date_rebalance[ptr] = 1;
  }

  row_copy_.reserve(n_pos);
  worth_.reserve(n_pos);
  hot_.reserve(n_pos);
  hot_sids_.reserve(n_pos);
  quiet_end_.reserve(n_pos);
  quiet_values_.assign(2 * kQuietStretch, 0.0);
  if (journal_ && journal_->records_positions()) quiet_worths_.assign(kQuietWorths, 0.0);
  hot_cached_ = false;
  row_wise_until_ = 0;
  next_row_ = 0;
  st_.latest_rebalanced_copy.reserve(n_pos);
  if (caps_) {
    order_shares_.assign(n_pos, 0.0);
    order_reason_.assign(n_pos, ExitReason::Rebalance);
    order_closes_.assign(n_pos, 0);
    order_entry_.assign(n_pos, 0);
    orders_.reserve(n_pos);
    used_shares_.assign(static_cast<std::size_t>(n_price_cols), 0.0);
    used_row_.assign(static_cast<std::size_t>(n_price_cols), -1);
  }
}

// The three lookups every holding makes on every row are inlined into the
// walks; their failures stay out of line.
inline __attribute__((always_inline)) double& Engine::tracker(std::vector<double>& v,
                                                              std::int64_t sid) {
  return v[item_index(sid, static_cast<std::int64_t>(v.size()))];
}

void Engine::no_price_column(int sid, std::int64_t d) {
  // A held stock must be priced from its own column, never another stock's.
  fail(ErrorKind::ValueError, "No price column for stock " + text_.symbol_text(sid) +
                                  "; it is held at price row " + std::to_string(d) + ".");
}

inline __attribute__((always_inline)) int Engine::price_column(int sid, std::int64_t d) {
  if (sid >= 0 && sid < static_cast<std::int64_t>(sid_to_price_.size())) {
    const int col = sid_to_price_[sid];
    if (col >= 0) return col;
  }
  no_price_column(sid, d);
}

void Engine::invalid_trade_price(int sid, std::int64_t d, double price) {
  Failure f{ErrorKind::ValueError,
            invalid_trade_price_message(text_.symbol_text(sid), d, text_.float_text(price)),
            {kValidate}};
  throw f;
}

inline __attribute__((always_inline)) double Engine::validated_trade_price(int sid, int sidprice,
                                                                           std::int64_t d) {
  const double price = in_.price.at(d, sidprice);
  wrap_index(sid, in_.n_pos_columns, 0);  // the label is read before the check
  if (!trade_price_ok(price)) [[unlikely]] invalid_trade_price(sid, d, price);
  return price;
}

namespace {
// always_inline: GCC 12 drops a __builtin_prefetch inlined from an ordinary inline
// function (the call has no result, so the inliner treats it as dead).
inline __attribute__((always_inline)) void prefetch_cell(const View2D<double>& m, std::int64_t d,
                                                        int col) {
  if (d < m.rows && col < m.cols) {
    __builtin_prefetch(m.data + d * m.row_stride + col * m.col_stride);
  }
}
}  // namespace

void Engine::run_rows(double* creturn) { run_rows_until(in_.price_index.size, creturn); }

void Engine::run_rows_until(std::int64_t end, double* creturn) {
  end = std::min(end, in_.price_index.size);
  std::int64_t d = next_row_;
  while (d < end) {
    if (d >= row_wise_until_) {
      const std::int64_t walked = run_quiet_rows(d, end, creturn);
      if (walked > 0) {
        d += walked;
        next_row_ = d;
        continue;
      }
    }
    process_row(d, creturn);
    next_row_ = ++d;
  }
}

void Engine::process_row(std::int64_t d, double* creturn) {
  st_.date = in_.price_index.get(d);
  st_.rows_walked = d + 1;
  if (st_.date < in_.pos_index.at(0)) {
    // Before the first weights the account holds its cash, which earns
    // (or pays) from the first row on. A row dated back before them after
    // rows were worked (dates that go back) is not worked: it reads 1.0.
    if (opt_.exec.finances() && !st_.worked) {
      accrue_financing(d);
      creturn[d] = st_.cash;
    } else {
      creturn[d] = 1.0;
    }
    if (journal_) journal_->row_done(d, st_.cash);
    return;
  }
  st_.worked = true;
  if (d > INT_MAX) fail(ErrorKind::OverflowError, "value too large to convert to int");
  hooks_.record_date(static_cast<int>(d));
  st_.exit_stocks_temp.clear();
  st_.pending_exits_temp.clear();
  if (opt_.exec.finances()) accrue_financing(d);
  st_.book_changed = false;
  mark_to_market(d);
  if (!st_.stopped) {
    execute_pending_exits();
    if (st_.should_rebalance || (caps_ && !orders_.empty())) st_.book_changed = true;
    if (st_.should_rebalance) {
      // A rebalance sizes its targets from the balance: at 0 or below
      // there is nothing to size them from, and the book is closed instead.
      const double balance = balance_at_trade();
      if (balance <= 0.0) {
        st_.book_changed = true;
        stop_account(d, ExitReason::WipedOut, balance, std::nan(""), false);
      } else {
        rebalance_step(d);
      }
    } else if (caps_ && !orders_.empty()) {
      fill_orders(d);
    }
    if (st_.has_delisting) delisting_exits(d);
  }
  creturn[d] = close_and_check(d);
  if (journal_) journal_->row_done(d, st_.cash);
  if (caps_) {
    for (const int sid : orders_) {
      const double q = order_shares_[static_cast<std::size_t>(sid)];
      if (q == 0.0) continue;
      if (journal_) journal_->order_open(d, sid, q, order_reason_[static_cast<std::size_t>(sid)]);
      // The order fills on the next row: its volume cell is asked for now.
      const int col = sid < static_cast<std::int64_t>(sid_to_price_.size()) ? sid_to_price_[sid] : -1;
      if (col >= 0) prefetch_cell(opt_.exec.volume, d + 1, col);
    }
  }
  schedule_next_row(d);
}


// always_inline as well, for the same reason: the walks below must keep its prefetches.
inline __attribute__((always_inline)) void Engine::prefetch_cells(std::int64_t d, int col) {
  prefetch_cell(in_.price, d, col);
  prefetch_cell(in_.close, d, col);
  if (!opt_.touched_exit) return;
  // Intraday exits read the row's open, high and low as well.
  prefetch_cell(in_.open, d, col);
  prefetch_cell(in_.high, d, col);
  prefetch_cell(in_.low, d, col);
}

void Engine::mark_to_market(std::int64_t d) {
  if (mark_hot(d)) return;
  // The walk changes values only (an intraday exit keeps its key at 0.0), so
  // iterating the map in place is safe. It also values each holding at the
  // close as close_valuation would: on a row whose fills leave the book as
  // the walk left it, the close valuation adds these up instead of walking
  // the book again.
  worth_.clear();
  worth_ok_ = true;
  for (auto& [sid, value] : st_.pos) {
    const int sidprice = price_column(sid, d);
    // A row ahead: by the time the walk comes back to this holding its next
    // row's cells are in cache (the book rarely changes between rows).
    prefetch_cells(d + 1, sidprice);
    const double price = validated_trade_price(sid, sidprice, d);
    double& cr = tracker(st_.cr, sid);
    const double r = step_holding(price, st_.previous_price[sidprice], value, cr,
                                  tracker(st_.maxcr, sid), tracker(st_.mincr, sid));
    // A holding closed intraday waits at 0.0 for the next rebalance; it has
    // no side, so no exit rule applies to it.
    if (value != 0.0 && !(caps_ && exiting(sid)) &&
        !(long_exits_never_ && quiet_long(d, sidprice, price, value, cr))) {
      apply_exit_rules(d, sid, sidprice, price, r, value);
    }
    if (!std::isnan(price)) st_.previous_price[sidprice] = price;
    if (worth_ok_) {
      // A close cell out of the matrix fails in close_valuation, in its turn.
      if (sidprice < in_.close.cols && d < in_.close.rows) {
        worth_.push_back(worth_at_close(value, price, in_.close.get(d, sidprice)));
      } else {
        worth_ok_ = false;
      }
    }
  }
}

namespace {
// See Engine::quiet_long.
inline __attribute__((always_inline)) bool quiet_long_at(double price, double close, double value,
                                                         double cr) {
  if (!(value > 0x1p-500 && value < 0x1p500 && cr > 0x1p-500 && cr < 0x1p500)) return false;
  if (!(close > 0.0) || !(price > 0.0)) return false;
  const double t = cr * close;
  return t < HUGE_VAL && t <= price * 0x1p1000;
}
}  // namespace

// One holding's walk down its column over a stretch of rows: the return of
// each row from its trade prices, its value, its return since entry and
// that return's extremes, and the reference price, exactly as the row walk
// computes them; values[i] is its value after row i.
namespace {

// The walk without a check per row: whether the stretch was quiet is
// decided afterwards from the range of its prices. Returns false when that
// range does not prove it, and the walk must be made again with the checks.
//
// Why the range proves it: the return since the start of the stretch is the
// product of the rows' price ratios, which telescopes to (a price) / (the
// reference price) within 1024 roundings, so it stays within a factor of
// max/min of the prices (times 2, far beyond the rounding). The value and
// the return since entry then stay well inside the bounds quiet_long_at
// asks for, the product of that return and any close stays finite and far
// below the trade price times 2^1000, and every price is a valid trade
// price. A missing price or close signals nothing on the close.
//
// quiet_range is that decision, for a holding that started the stretch
// with value0 and cr0 and whose prices and closes ranged over
// [pmin, pmax] and [cmin, cmax] (a range that was never set, for prices or
// closes that are all missing, has its minimum above its maximum).
inline bool quiet_range(double value0, double cr0, double pmin, double pmax, double cmin,
                        double cmax) {
  if (!(pmin > 0x1p-400 && pmax < 0x1p400)) return false;
  const double spread = pmax / pmin * 2;
  if (!(spread < 0x1p100)) return false;
  const bool closes = cmax >= cmin;  // at least one close seen
  if (closes && !(cmin > 0.0 && cmax < 0x1p400)) return false;
  if (value0 == 0.0) return true;  // no side: no rule applies, and it stays 0
  if (!(value0 > 0.0 && cr0 > 0.0)) return false;
  const bool inside = value0 / spread > 0x1p-500 && value0 * spread < 0x1p500 &&
                      cr0 / spread > 0x1p-500 && cr0 * spread < 0x1p500;
  return inside && (!closes || cr0 * spread * cmax * 2 <= pmin * 0x1p1000);
}

// The rows of a stretch come from memory with the first walk down them, a
// cache line per row and matrix (a narrow panel's holdings share a row's
// line); the walks ask for the lines kAhead rows down while they work on
// this one, also across the page boundaries where the processor's own
// prefetching stops (measured on W3: 2-3 ms of 20 saved).
constexpr std::int64_t kAhead = 32;

// The walk itself, and its proof.
inline bool walk_quiet(const char* price_at, const char* close_at, std::int64_t price_step,
                       std::int64_t close_step, std::int64_t n, std::int64_t ahead,
                       ColumnWalk& w, double* values) {
  const double value0 = w.value, cr0 = w.cr;
  double pmin = HUGE_VAL, pmax = -HUGE_VAL, cmin = HUGE_VAL, cmax = -HUGE_VAL;
  if (!std::isnan(w.previous)) pmin = pmax = w.previous;
  for (std::int64_t i = 0; i < n; ++i, price_at += price_step, close_at += close_step) {
    if (i < ahead) {
      __builtin_prefetch(price_at + kAhead * price_step);
      __builtin_prefetch(close_at + kAhead * close_step);
    }
    double price, close;
    std::memcpy(&price, price_at, sizeof price);
    std::memcpy(&close, close_at, sizeof close);
    step_holding(price, w.previous, w.value, w.cr, w.maxcr, w.mincr);
    if (!std::isnan(price)) w.previous = price;
    // NaN compares false: a missing price or close leaves the range alone.
    pmin = price < pmin ? price : pmin;
    pmax = price > pmax ? price : pmax;
    cmin = close < cmin ? close : cmin;
    cmax = close > cmax ? close : cmax;
    values[i] = w.value;
  }
  return quiet_range(value0, cr0, pmin, pmax, cmin, cmax);
}

#if defined(__SSE2__)
inline __m128d load_pair(const char* lo, const char* hi) {
  double a, b;
  std::memcpy(&a, lo, sizeof a);
  std::memcpy(&b, hi, sizeof b);
  return _mm_set_pd(b, a);
}

// walk_quiet for two holdings side by side, holding a in the low lane and b
// in the high one: their chains of products share each multiplication's
// latency and each division. Each lane is its holding's scalar walk (the
// range is kept the same way too: _mm_min_pd(x, m) is `x < m ? x : m`), so
// each holding's results and its proof are walk_quiet's; quiet[0] and
// quiet[1] say whether each proof held.
inline void walk_quiet_pair(const char* price_a, const char* close_a, const char* price_b,
                            const char* close_b, std::int64_t price_step,
                            std::int64_t close_step, std::int64_t n, std::int64_t ahead,
                            ColumnWalk& a, ColumnWalk& b, double* values_a, double* values_b,
                            bool quiet[2]) {
  __m128d previous = _mm_set_pd(b.previous, a.previous);
  __m128d value = _mm_set_pd(b.value, a.value), cr = _mm_set_pd(b.cr, a.cr);
  __m128d maxcr = _mm_set_pd(b.maxcr, a.maxcr), mincr = _mm_set_pd(b.mincr, a.mincr);
  __m128d unset = _mm_cmpunord_pd(previous, previous);
  __m128d pmin = select_pd(unset, _mm_set1_pd(HUGE_VAL), previous);
  __m128d pmax = select_pd(unset, _mm_set1_pd(-HUGE_VAL), previous);
  __m128d cmin = _mm_set1_pd(HUGE_VAL), cmax = _mm_set1_pd(-HUGE_VAL);
  const std::int64_t gap_price = price_b - price_a, gap_close = close_b - close_a;
  for (std::int64_t i = 0; i < n; ++i, price_a += price_step, close_a += close_step) {
    if (i < ahead) {
      __builtin_prefetch(price_a + kAhead * price_step);
      __builtin_prefetch(close_a + kAhead * close_step);
    }
    const __m128d price = load_pair(price_a, price_a + gap_price);
    const __m128d close = load_pair(close_a, close_a + gap_close);
    step_holding_pd(price, previous, unset, value, cr, maxcr, mincr);
    pmin = _mm_min_pd(price, pmin);
    pmax = _mm_max_pd(price, pmax);
    cmin = _mm_min_pd(close, cmin);
    cmax = _mm_max_pd(close, cmax);
    _mm_storel_pd(values_a + i, value);
    _mm_storeh_pd(values_b + i, value);
  }
  double lanes[4][2];
  _mm_storeu_pd(lanes[0], pmin);
  _mm_storeu_pd(lanes[1], pmax);
  _mm_storeu_pd(lanes[2], cmin);
  _mm_storeu_pd(lanes[3], cmax);
  const double value0[2] = {a.value, b.value}, cr0[2] = {a.cr, b.cr};
  ColumnWalk* const walks[2] = {&a, &b};
  double ends[5][2];
  _mm_storeu_pd(ends[0], value);
  _mm_storeu_pd(ends[1], cr);
  _mm_storeu_pd(ends[2], maxcr);
  _mm_storeu_pd(ends[3], mincr);
  _mm_storeu_pd(ends[4], previous);
  for (int l = 0; l < 2; ++l) {
    *walks[l] = ColumnWalk{ends[0][l], ends[1][l], ends[2][l], ends[3][l], ends[4][l]};
    quiet[l] = quiet_range(value0[l], cr0[l], lanes[0][l], lanes[1][l], lanes[2][l], lanes[3][l]);
  }
}
#endif

// How far a stretch from row d may run (at most limit rows): it ends with
// the row after which a rebalance is due, before a row dated ahead of the
// first weights, and before the delisting row given. Also what the row
// walk would leave after its rows: the weights' position, whether the next
// row rebalances, the last row's date. A function of its own, over copies
// of the views, so that its per-row loop keeps everything in registers.
struct QuietSchedule {
  std::int64_t n, pos_id, last_date;
  bool rebalance_next;
};

inline QuietSchedule quiet_schedule(const View1D<std::int64_t> price_index,
                                    const View1D<std::int64_t> pos_index,
                                    const unsigned char* date_rebalance,
                                    const int current_position_id, const std::int64_t d,
                                    const std::int64_t limit, const std::int64_t delisting,
                                    std::int64_t pos_id, std::int64_t last_date) {
  const std::int64_t n_rows = price_index.size;
  const std::int64_t first_weights = pos_index.get(0);
  const std::int64_t last_weights = pos_index.size - 1;
  bool rebalance_next = false;
  std::int64_t n = 0;
  const bool contiguous = price_index.stride == sizeof(std::int64_t);
  auto date_at = [&](std::int64_t t) {
    std::int64_t v;
    std::memcpy(&v, price_index.data + t * sizeof v, sizeof v);
    return v;
  };
  while (n < limit && !rebalance_next) {
    if (contiguous) {
      // The rows on which nothing but the date moves, in a tight loop over
      // the dates: dated on or after the first weights, not the delisting
      // row, followed by a row (so the next bar is a date), whose next bar
      // is not after the next weights' date (the weights' position stays),
      // and unmarked when a mark would rebalance. The row loop below would
      // leave everything as it was on them but the last date.
      const std::int64_t bound =
          pos_id < last_weights ? pos_index.get(pos_id + 1) : INT64_MAX;
      const bool watch = pos_id != current_position_id;
      std::int64_t end = std::min(limit, n_rows - 1 - d);
      if (delisting >= d + n) end = std::min(end, delisting - d);
      std::int64_t m = n;
      for (; m < end; ++m) {
        const std::int64_t t = d + m;
        if (date_at(t) < first_weights || date_at(t + 1) > bound ||
            (watch && date_rebalance[t] != 0)) {
          break;
        }
      }
      if (m > n) {
        last_date = date_at(d + m - 1);
        n = m;
        if (n >= limit) break;
      }
    }
    const std::int64_t t = d + n;
    const std::int64_t date = price_index.get(t);
    if (date < first_weights || t == delisting) break;
    const bool last = t >= n_rows - 1;
    const std::int64_t next_bar = last ? 0 : price_index.get(t + 1);
    while (pos_id < last_weights && (last || pos_index.get(pos_id + 1) < next_bar)) ++pos_id;
    rebalance_next = pos_id != current_position_id && date_rebalance[t] != 0;
    last_date = date;
    ++n;
  }
  return QuietSchedule{n, pos_id, last_date, rebalance_next};
}

// Adds one holding's worth at each close of the stretch (its values after
// each row in values) to that row's balance; with kRecord, also keeps it in
// worths[i * stride]. The rows depend on nothing carried from one to the
// next, so they go two to a packed operation where the processor has one.
template <bool kRecord>
inline void add_worths(const char* price_at, const char* close_at, std::int64_t price_step,
                       std::int64_t close_step, std::int64_t n, const double* values,
                       double* balance, double* worths, std::int64_t stride) {
  std::int64_t i = 0;
#if defined(__SSE2__)
  for (; i + 1 < n; i += 2, price_at += 2 * price_step, close_at += 2 * close_step) {
    const __m128d price = load_pair(price_at, price_at + price_step);
    const __m128d close = load_pair(close_at, close_at + close_step);
    const __m128d worth = worth_at_close_pd(_mm_loadu_pd(values + i), price, close);
    _mm_storeu_pd(balance + i, _mm_add_pd(_mm_loadu_pd(balance + i), worth));
    if constexpr (kRecord) {
      _mm_storel_pd(worths + i * stride, worth);
      _mm_storeh_pd(worths + (i + 1) * stride, worth);
    }
  }
#endif
  for (; i < n; ++i, price_at += price_step, close_at += close_step) {
    double price, close;
    std::memcpy(&price, price_at, sizeof price);
    std::memcpy(&close, close_at, sizeof close);
    const double worth = worth_at_close(values[i], price, close);
#if defined(__SSE2__)
    // The balance first, as in the packed loop: when both are NaN, the sum
    // keeps the balance's, whichever way the compiler would have ordered `+`.
    balance[i] = _mm_cvtsd_f64(_mm_add_sd(_mm_set_sd(balance[i]), _mm_set_sd(worth)));
#else
    balance[i] = balance[i] + worth;
#endif
    if constexpr (kRecord) worths[i * stride] = worth;
  }
}

// The same walk with the row walk's checks on every row; returns the first
// row that is not quiet (an invalid trade price, or a long the exit rules
// may act on), or n.
inline std::int64_t walk_checked(const char* price_at, const char* close_at,
                                 std::int64_t price_step, std::int64_t close_step, std::int64_t n,
                                 ColumnWalk& w, double* values) {
  for (std::int64_t i = 0; i < n; ++i, price_at += price_step, close_at += close_step) {
    double price, close;
    std::memcpy(&price, price_at, sizeof price);
    std::memcpy(&close, close_at, sizeof close);
    if (!trade_price_ok(price)) return i;
    step_holding(price, w.previous, w.value, w.cr, w.maxcr, w.mincr);
    // Without a price or a close the close rule compares NaN and signals nothing.
    if (w.value != 0.0 && !std::isnan(price) && !std::isnan(close) &&
        !quiet_long_at(price, close, w.value, w.cr)) {
      return i;
    }
    if (!std::isnan(price)) w.previous = price;
    values[i] = w.value;
  }
  return n;
}

}  // namespace

// The book's keys change on a rebalance and on the odd exit; between them a
// long panel walks the same few holdings for hundreds of rows. What the walk
// looks up and checks per holding (its price column, that every index it
// reads is inside its array) depends on the keys only, so it is done once
// per set of keys. A holding that fails a check leaves the rows to the
// general walk, which raises the error in its place.
void Engine::cache_holdings() {
  hot_cached_ = true;
  hot_version_ = st_.pos.keys_version();
  hot_.clear();
  hot_sids_.clear();
  // Intraday exits change the book during the walk, and a capped run's
  // pending orders bar exits: those runs take the general walk.
  hot_ok_ = !opt_.touched_exit && !caps_;
  if (!hot_ok_) return;
  const std::int64_t n_mapped = static_cast<std::int64_t>(sid_to_price_.size());
  const std::int64_t n_trackers = static_cast<std::int64_t>(
      std::min({st_.cr.size(), st_.maxcr.size(), st_.mincr.size()}));
  const std::int64_t n_prev = static_cast<std::int64_t>(st_.previous_price.size());
  quiet_ok_ = long_exits_never_;
  column_seen_.assign(static_cast<std::size_t>(in_.price.cols), 0);
  for (const auto& [sid, value] : st_.pos) {
    const int col = sid >= 0 && sid < n_mapped ? sid_to_price_[static_cast<std::size_t>(sid)] : -1;
    if (col < 0 || col >= in_.price.cols || col >= in_.close.cols || col >= n_prev ||
        sid >= in_.n_pos_columns || sid >= n_trackers) {
      hot_ok_ = quiet_ok_ = false;
      hot_.clear();
      return;
    }
    // Two holdings on one price column see each other's reference price
    // within a row: only a row-by-row walk keeps that order.
    unsigned char& seen = column_seen_[static_cast<std::size_t>(col)];
    if (seen) quiet_ok_ = false;
    seen = 1;
    std::int64_t delisting = -1;
    if (st_.has_delisting) {
      if (sid < in_.delisting_bars.size) {
        delisting = in_.delisting_bars.get(sid);
      } else {
        quiet_ok_ = false;  // the row walk raises for it, in its place
      }
    }
    hot_.push_back(HotHolding{col * in_.price.col_stride, col * in_.close.col_stride, delisting,
                              sid, col});
    hot_sids_.push_back(sid);
  }
}

// A long panel rebalances every few hundred rows, and a long-only book that
// no exit rule can touch trades on none of the rows between. Those rows are
// worked out holding by holding over a whole stretch: each holding's chain
// of returns runs down its column, its worth at each close is added to that
// row's balance (in the book's order, so every sum is the row walk's), and
// nothing per row is left but the schedule and the journal's cash.
//
// The stretch is quiet only if every holding's every row is: a valid trade
// price and a long the rules provably leave alone. Its results are kept
// aside until that is known; otherwise nothing is changed and the rows up to
// the first one that was not quiet are walked one at a time, which raises
// any error in the order the row walk does.
std::int64_t Engine::run_quiet_rows(std::int64_t d, std::int64_t end, double* creturn) {
  if (st_.should_rebalance || !st_.exit_stocks.empty() || caps_ || opt_.exec.finances() ||
      !long_exits_never_ || in_.pos_index.size == 0) {
    return 0;
  }
  if (!hot_cached_ || hot_version_ != st_.pos.keys_version()) cache_holdings();

  if (!hot_ok_ || !quiet_ok_) return 0;
  const std::int64_t n_rows = in_.price_index.size;
  std::int64_t limit = std::min({kQuietStretch, n_rows - d, end - d, in_.price.rows - d, in_.close.rows - d});
  // A journal of positions takes every holding's worth at every close, in
  // row order: they are kept for the stretch and handed over after it.
  const bool record = journal_ && journal_->records_positions();
  const std::int64_t n_held = static_cast<std::int64_t>(hot_.size());
  if (record && n_held > 0) limit = std::min(limit, kQuietWorths / n_held);
  if (d > INT_MAX) return 0;
  limit = std::min<std::int64_t>(limit, static_cast<std::int64_t>(INT_MAX) - d + 1);
  // The schedule first.
  std::int64_t delisting = INT64_MAX;  // the first delisting row of a holding from d on
  for (const HotHolding& h : hot_) {
    if (h.delisting >= d && h.delisting < delisting) delisting = h.delisting;
  }
  const QuietSchedule plan =
      quiet_schedule(in_.price_index, in_.pos_index, st_.date_rebalance.data(),
                     st_.current_position_id, d, limit, delisting, st_.pos_id, st_.date);
  const std::int64_t n = plan.n;
  if (n < 2) return 0;
  // No trade enters or exits before the stretch's last row: the recorders
  // may take that row as the date from now on (an excursion analysis walks
  // its open trades over the stretch meanwhile). A stretch given up below is
  // walked row by row, each row naming its own date again.
  hooks_.record_date(static_cast<int>(d + n - 1));

  // The rows from d + i + kAhead on, for i < ahead, are inside both matrices.
  const std::int64_t ahead = std::clamp<std::int64_t>(
      std::min(in_.price.rows, in_.close.rows) - d - kAhead, 0, n);
  double* const balance = creturn + d;
  const double cash = st_.cash;
  for (std::int64_t i = 0; i < n; ++i) balance[i] = cash;
  quiet_end_.resize(hot_.size());  // within the capacity reserved at setup
  const std::int64_t price_step = in_.price.row_stride, close_step = in_.close.row_stride;
  const char* const price_row = in_.price.data + d * price_step;
  const char* const close_row = in_.close.data + d * close_step;
  std::int64_t loud = n;  // the first row found not quiet
  double* const values = quiet_values_.data();
  double* const worths = record ? quiet_worths_.data() : nullptr;
  auto held = st_.pos.begin();
  const std::size_t n_hot = hot_.size();
  const auto start_of = [&](std::size_t k, double value) {
    const HotHolding& h = hot_[k];
    return ColumnWalk{value, st_.cr[static_cast<std::size_t>(h.sid)],
                      st_.maxcr[static_cast<std::size_t>(h.sid)],
                      st_.mincr[static_cast<std::size_t>(h.sid)],
                      st_.previous_price[static_cast<std::size_t>(h.col)]};
  };
  // Holding k's walk is kept if quiet, else made again row by row with the
  // checks (false: a row that is not quiet, in loud); then its worths.
  const auto finish = [&](std::size_t k, bool quiet, const ColumnWalk& start, ColumnWalk& w,
                          double* vals) {
    const HotHolding& h = hot_[k];
    const char* const price_at = price_row + h.price_off;
    const char* const close_at = close_row + h.close_off;
    if (!quiet) {
      w = start;
      loud = walk_checked(price_at, close_at, price_step, close_step, n, w, vals);
      if (loud < n) return false;
    }
    quiet_end_[k] = w;
    if (record) {
      add_worths<true>(price_at, close_at, price_step, close_step, n, vals, balance,
                       worths + k, n_held);
    } else {
      add_worths<false>(price_at, close_at, price_step, close_step, n, vals, balance, nullptr,
                        0);
    }
    return true;
  };
  std::size_t k = 0;
#if defined(__SSE2__)
  // Two holdings at a time; each one's worths are still added in the book's order.
  for (; k + 1 < n_hot; k += 2) {
    const ColumnWalk start_a = start_of(k, held->second);
    ++held;
    const ColumnWalk start_b = start_of(k + 1, held->second);
    ++held;
    ColumnWalk a = start_a, b = start_b;
    bool quiet[2];
    walk_quiet_pair(price_row + hot_[k].price_off, close_row + hot_[k].close_off,
                    price_row + hot_[k + 1].price_off, close_row + hot_[k + 1].close_off,
                    price_step, close_step, n, ahead, a, b, values, values + kQuietStretch,
                    quiet);
    if (!finish(k, quiet[0], start_a, a, values)) break;
    if (!finish(k + 1, quiet[1], start_b, b, values + kQuietStretch)) break;
  }
#endif
  for (; k < n_hot && loud == n; ++k, ++held) {
    const HotHolding& h = hot_[k];
    const ColumnWalk start = start_of(k, held->second);
    ColumnWalk w = start;
    const bool quiet = walk_quiet(price_row + h.price_off, close_row + h.close_off, price_step,
                                  close_step, n, ahead, w, values);
    if (!finish(k, quiet, start, w, values)) break;
  }

  // The account's check at each close: a stretch whose every close is
  // clearly above 0 and above the maintenance margin needs none (a long
  // book on cash of 0 or more always is); otherwise its rows are walked
  // one at a time, each checked exactly.
  if (loud == n && cash < 0.0 && !st_.stopped) {
    const double margin = opt_.exec.maintenance_margin;
    for (std::int64_t i = 0; i < n; ++i) {
      const double b = balance[i];
      if (b <= 0.0 || (margin > 0.0 && b < margin * (b - cash) * (1.0 + 0x1p-40))) {
        row_wise_until_ = d + n;
        return 0;
      }
    }
  }
  if (loud < n) {
    row_wise_until_ = d + loud + 1;
    return 0;
  }
  held = st_.pos.begin();
  for (std::size_t k = 0; k < hot_.size(); ++k, ++held) {
    const HotHolding& h = hot_[k];
    const ColumnWalk& e = quiet_end_[k];
    held->second = e.value;
    st_.cr[static_cast<std::size_t>(h.sid)] = e.cr;
    st_.maxcr[static_cast<std::size_t>(h.sid)] = e.maxcr;
    st_.mincr[static_cast<std::size_t>(h.sid)] = e.mincr;
    st_.previous_price[static_cast<std::size_t>(h.col)] = e.previous;
  }
  if (journal_) {
    if (record) journal_->holdings_at_closes(d, n, hot_sids_.data(), n_held, worths);
    for (std::int64_t i = 0; i < n; ++i) journal_->row_done(d + i, cash);
  }
  // The recorders keep only the last row named.
  hooks_.record_date(static_cast<int>(d + n - 1));
  st_.date = plan.last_date;
  st_.rows_walked = d + n;
  st_.pos_id = plan.pos_id;
  st_.should_rebalance = plan.rebalance_next;
  st_.book_changed = false;
  worth_ok_ = false;
  return n;
}

// mark_to_market's walk, arithmetic for arithmetic, over the cached holdings:
// the only failure left to meet is an invalid trade price, raised for the
// same holding as the general walk would.
bool Engine::mark_hot(std::int64_t d) {
  if (!hot_cached_ || hot_version_ != st_.pos.keys_version()) cache_holdings();
  if (!hot_ok_ || d >= in_.price.rows || d >= in_.close.rows) return false;
  const char* const price_row = in_.price.data + d * in_.price.row_stride;
  const char* const close_row = in_.close.data + d * in_.close.row_stride;
  // The next row's cells are asked for now, as the general walk does.
  const bool ahead = d + 1 < in_.price.rows && d + 1 < in_.close.rows;
  const std::int64_t price_step = in_.price.row_stride;
  const std::int64_t close_step = in_.close.row_stride;
  double* const previous = st_.previous_price.data();
  double* const crs = st_.cr.data();
  double* const maxcrs = st_.maxcr.data();
  double* const mincrs = st_.mincr.data();
  const std::size_t n = hot_.size();
  worth_.resize(n);  // within the capacity reserved at setup
  double* const worth = worth_.data();
  const HotHolding* const hot = hot_.data();
  auto held = st_.pos.begin();
  for (std::size_t k = 0; k < n; ++k, ++held) {
    const HotHolding& h = hot[k];
    if (ahead) {
      __builtin_prefetch(price_row + price_step + h.price_off);
      __builtin_prefetch(close_row + close_step + h.close_off);
    }
    double price, close;
    std::memcpy(&price, price_row + h.price_off, sizeof price);
    std::memcpy(&close, close_row + h.close_off, sizeof close);
    if (!trade_price_ok(price)) [[unlikely]] invalid_trade_price(h.sid, d, price);
    double& value = held->second;
    double& cr = crs[h.sid];
    const double r =
        step_holding(price, previous[h.col], value, cr, maxcrs[h.sid], mincrs[h.sid]);
    if (value != 0.0 && !(long_exits_never_ && quiet_long_at(price, close, value, cr))) {
      apply_exit_rules(d, h.sid, h.col, price, r, value);
    }
    if (!std::isnan(price)) previous[h.col] = price;
    worth[k] = worth_at_close(value, price, close);
  }
  worth_ok_ = true;
  return true;
}

// Without a take profit, a trailing stop or a stop-loss short of the whole
// entry (and with exits on the close), a long exits only when its return at
// the close is +inf or below a threshold of 0 or less: with a positive
// finite close and price and a product cr x close far from overflowing, the
// return is a positive finite number and nothing is signalled, so the rules
// need not be walked (nor the division made). Anything else takes the rules.
inline __attribute__((always_inline)) bool Engine::quiet_long(std::int64_t d, int sidprice,
                                                              double price, double value,
                                                              double cr) {
  if (!(value > 0x1p-500 && value < 0x1p500 && cr > 0x1p-500 && cr < 0x1p500)) return false;
  return quiet_long_at(price, in_.close.at(d, sidprice), value, cr);
}

void Engine::apply_exit_rules(std::int64_t d, int sid, int sidprice, double price, double r,
                              double value_now) {
  const double cr = st_.cr[sid];
  double max_r, min_r;
  // Which exit each threshold stands for: a long takes profit above and
  // stops below, a short the other way round; the stop side is a trailing
  // stop when the trailing floor (or ceiling) is the one in force.
  // The entry value is value / cr; its sign alone decides the side, and
  // that sign is the product of the two signs whenever the quotient can
  // neither underflow to zero nor be NaN (both far from 0 and from the
  // largest doubles), so the division is only made when it could differ.
  const double av = std::fabs(value_now), ac = std::fabs(cr);
  const bool plain = av >= 0x1p-500 && av <= 0x1p500 && ac >= 0x1p-500 && ac <= 0x1p500;
  const bool is_long = plain ? (value_now > 0) == (cr > 0) : value_now / cr > 0;
  bool trailing = false;
  if (is_long) {
    const double maxcr = st_.maxcr[sid];
    const bool trail_stop_active = maxcr >= 1 + st_.trail_stop_activation_abs;
    max_r = 1 + st_.take_profit_abs;
    min_r = 1 - st_.stop_loss_abs;
    if (trail_stop_active && maxcr - st_.trail_stop_abs > min_r) {
      min_r = maxcr - st_.trail_stop_abs;
      trailing = true;
    }
  } else {
    const double mincr = st_.mincr[sid];
    const bool trail_stop_active = mincr <= 1 - st_.trail_stop_activation_abs;
    max_r = 1 + st_.stop_loss_abs;
    if (trail_stop_active && mincr + st_.trail_stop_abs < max_r) {
      max_r = mincr + st_.trail_stop_abs;
      trailing = true;
    }
    min_r = 1 - st_.take_profit_abs;
  }
  const ExitReason stop_reason = trailing ? ExitReason::TrailingStop : ExitReason::StopLoss;
  const ExitReason upper_reason = is_long ? ExitReason::TakeProfit : stop_reason;
  const ExitReason lower_reason = is_long ? stop_reason : ExitReason::TakeProfit;

  if (opt_.touched_exit) {
    const double prev = st_.previous_price[sidprice];
    const double base = cr / r;  // cumulative return at the previous known price
    const double high_r = base * (in_.high.at(d, sidprice) / prev);
    const double low_r = base * (in_.low.at(d, sidprice) / prev);
    const double open_r = base * (in_.open.at(d, sidprice) / prev);
    const bool touch_low = low_r <= min_r;
    const bool touch_high = high_r >= max_r;
    const bool touch_open = open_r >= max_r || open_r <= min_r;
    if (!(touch_open || touch_high || touch_low)) return;
    const double entry_pos = value_now / cr;
    double& value = st_.pos[sid];
    if (touch_open) {
      value = open_r * entry_pos;
    } else if (touch_high) {
      value = max_r * entry_pos;
    } else {
      value = min_r * entry_pos;
    }
    const bool stop_side = (touch_low && value > 0) || (touch_high && value < 0);
    st_.exited_stocks.push_back(stop_side ? -sid : sid);
    // The fill is at the open when the open was already past a threshold,
    // else at the price where the threshold was crossed.
    const bool upper = touch_open ? open_r >= max_r : touch_high;
    const ExitReason reason = upper ? upper_reason : lower_reason;
    const bool account = costs_.exec != nullptr;
    const double fill_price = (journal_ || account) ? (touch_open ? in_.open.get(d, sidprice)
                                                       : prev * ((upper ? max_r : min_r) / base))
                                                    : 0.0;
    if (journal_) journal_->trade_context(d, reason, fill_price);
    trading_for_ = reason;
    fill_row_ = d;
    TradeCosts costs = account ? fill_costs(sid, d, fill_price) : costs_;
    st_.cash = set_position(st_.pos, sid, 0.0, st_.cash, costs, false, false, 1.0, hooks_);
    if (caps_) {
      keep_order(sid);
      // What the cap kept is held on, valued again at the price the book
      // follows it by: the row's trade price, or the last one known.
      const double reference = std::isnan(price) ? st_.previous_price[sidprice] : price;
      const auto it = st_.pos.find(sid);
      if (it != st_.pos.end() && it->second != 0.0 && fill_price > 0.0) {
        it->second = it->second * (reference / fill_price);
      }
    }
    return;
  }

  const double cr_at_close = cr * in_.close.at(d, sidprice) / price;
  if (cr_at_close >= max_r) {
    signal_exit(sid, 1, upper_reason);
  } else if (cr_at_close < min_r) {
    signal_exit(sid, -1, lower_reason);
  }
}

void Engine::signal_exit(int sid, std::int8_t side, ExitReason reason) {
  st_.exit_stocks_temp.push_back(side > 0 ? sid : -sid);
  st_.pending_exits_temp.push_back(PendingExit{sid, side, reason});
}

void Engine::execute_pending_exits() {
  for (std::size_t k = 0; k < st_.exit_stocks.size(); ++k) {
    const int sid = st_.exit_stocks[k];
    const int abssid = std::abs(sid);
    const bool will_be_set_by_rebalance = st_.should_rebalance &&
                                          !hooks_.stop_trading_next_period() &&
                                          in_.pos_values.at(st_.pos_id, abssid) != 0;
    const auto it = st_.pos.find(abssid);
    if (it == st_.pos.end() || it->second == 0.0 || will_be_set_by_rebalance) continue;
    const std::int64_t row = st_.rows_walked - 1;
    trade_for(row, st_.pending_exits[k].reason);
    const TradeCosts costs = costs_.exec != nullptr ? fill_costs(abssid, row) : costs_;
    st_.book_changed = true;
    st_.cash = set_position(st_.pos, abssid, 0.0, st_.cash, costs, false, true, 1.0, hooks_);
    if (caps_) keep_order(abssid);
    st_.exited_stocks.push_back(sid);
    tracker(st_.cr, abssid) = 1;
    tracker(st_.maxcr, abssid) = 1;
    tracker(st_.mincr, abssid) = 1;
    auto& temp = st_.exit_stocks_temp;
    const auto fresh =
        std::find_if(temp.begin(), temp.end(), [&](int s) { return s == sid || s == -sid; });
    if (fresh != temp.end()) {
      st_.pending_exits_temp.erase(st_.pending_exits_temp.begin() + (fresh - temp.begin()));
      temp.erase(fresh);
    }
  }
  if (st_.exit_stocks.empty() && st_.exit_stocks_temp.empty()) return;  // the usual row
  st_.exit_stocks = st_.exit_stocks_temp;
  st_.pending_exits = st_.pending_exits_temp;
}

void Engine::rebalance_step(std::int64_t d) {
  const View1D<double> target = in_.pos_values.row(st_.pos_id);
  if (opt_.retain_cost_when_rebalance) {
    // Only fresh entries and side changes restart; a stock kept on its side
    // keeps its stop levels tied to its first entry.
    for (std::int64_t sid = 0; sid < target.size; ++sid) {
      const double pv = target.get(sid);
      if (pv == 0) continue;
      const auto it = st_.pos.find(static_cast<int>(sid));
      if (it == st_.pos.end() || it->second * pv <= 0) {
        tracker(st_.cr, sid) = 1;
        tracker(st_.maxcr, sid) = 1;
        tracker(st_.mincr, sid) = 1;
      }
    }
  } else {
    std::fill(st_.cr.begin(), st_.cr.end(), 1.0);
    std::fill(st_.maxcr.begin(), st_.maxcr.end(), 1.0);
    std::fill(st_.mincr.begin(), st_.mincr.end(), 1.0);
  }

  View1D<double> rebalance_row = target;
  if (hooks_.stop_trading_next_period() && !st_.exited_stocks.empty()) {
    row_copy_.resize(target.size);
    for (std::int64_t i = 0; i < target.size; ++i) row_copy_[i] = target.get(i);
    for (const int s : st_.exited_stocks) tracker(row_copy_, std::abs(s)) = 0;
    rebalance_row = View1D<double>{reinterpret_cast<const char*>(row_copy_.data()), target.size,
                                   static_cast<std::int64_t>(sizeof(double))};
  }

  // A held stock without a price on this row keeps its last known price as
  // reference, so its move across the gap is not lost.
  kept_prices_.clear();
  for (const auto& [sid, value] : st_.pos) {
    if (value == 0.0) continue;
    const int sidprice = price_column(sid, d);
    if (std::isnan(in_.price.at(d, sidprice))) {
      kept_prices_.emplace_back(sidprice, st_.previous_price[sidprice]);
    }
  }

  if (journal_) journal_->rebalanced(d);
  trade_for(d, ExitReason::Rebalance);
  // The rebalance's orders replace every order still pending.
  if (caps_) clear_orders();
  // The stocks it buys are read on this row (their price by the journal,
  // their close by the valuation, their volume by a cap): those cells are
  // asked for first, all at once, instead of one cache miss per fill when a
  // row of the matrices is not one run of memory.
  // The nonzero weights are listed first, without a branch per weight (a
  // daily rebalance's zeros and nonzeros alternate at random).
  targets_.resize(static_cast<std::size_t>(rebalance_row.size) + 1);
  std::size_t n_targets = 0;
  for (std::int64_t sid = 0; sid < rebalance_row.size; ++sid) {
    targets_[n_targets] = sid;
    n_targets += rebalance_row.get(sid) != 0.0;
  }
  targets_.resize(n_targets);
  const std::int64_t n_mapped = static_cast<std::int64_t>(sid_to_price_.size());
  for (const std::int64_t sid : targets_) {
    if (sid >= n_mapped) break;
    const int col = sid_to_price_[static_cast<std::size_t>(sid)];
    if (col < 0) continue;
    prefetch_cell(in_.price, d, col);
    prefetch_cell(in_.close, d, col);
    if (caps_) prefetch_cell(opt_.exec.volume, d, col);
  }
  fill_row_ = d;
  // A journal is the run's hooks: its rebalance calls them directly.
  FillSetup* const setup = costs_.exec != nullptr ? this : nullptr;
  const CashRule cash_rule = !opt_.exec.keeps_cash() ? CashRule::MayBorrow
                             : caps_                  ? CashRule::BuysWait
                                                      : CashRule::ScaleBuys;
  st_.cash = journal_ != nullptr && static_cast<RunHooks*>(journal_) == &hooks_
                 ? rebalance_journal(st_.pos, rebalance_row, st_.cash, costs_,
                                     opt_.position_limit, *journal_,
                                     opt_.exec.max_gross, setup, &targets_, cash_rule)
                 : rebalance(st_.pos, rebalance_row, st_.cash, costs_, opt_.position_limit,
                             hooks_, opt_.exec.max_gross, setup, &targets_, cash_rule);
  st_.latest_rebalanced_pos = st_.pos;
  if (rebalance_row.data == target.data) {
    st_.latest_rebalanced_row = target;  // the input row itself: no copy per rebalance
  } else {
    st_.latest_rebalanced_copy.assign(row_copy_.begin(), row_copy_.end());
    st_.latest_rebalanced_row =
        View1D<double>{reinterpret_cast<const char*>(st_.latest_rebalanced_copy.data()),
                       static_cast<std::int64_t>(st_.latest_rebalanced_copy.size()),
                       static_cast<std::int64_t>(sizeof(double))};
  }
  st_.exited_stocks.clear();
  st_.current_position_id = st_.pos_id;

  // The reference prices restart at this row's prices. Only a holding's
  // reference is ever read (a stock enters the book only through a fill,
  // which sets its own), so only the columns the book holds are set: a
  // whole row is thousands of cache lines apart in a column-major matrix.
  const View1D<double> prices = in_.price.row(d);
  st_.previous_price.resize(prices.size);
  for (const auto& [sid, value] : st_.pos) {
    if (sid < 0 || sid >= static_cast<std::int64_t>(sid_to_price_.size())) continue;
    const int col = sid_to_price_[static_cast<std::size_t>(sid)];
    if (col >= 0 && col < prices.size) st_.previous_price[col] = prices.get(col);
  }
  for (const auto& [col, price] : kept_prices_) st_.previous_price[col] = price;
}

void Engine::delisting_exits(std::int64_t d) {
  st_.delisted_stocks.clear();
  for (const auto& [sid, value] : st_.pos) {
    if (in_.delisting_bars.at(sid) == d && value != 0) st_.delisted_stocks.push_back(sid);
  }
  if (!st_.delisted_stocks.empty()) {
    trade_for(d, ExitReason::Delisting);
    st_.book_changed = true;
  }
  for (const int sid : st_.delisted_stocks) {
    const TradeCosts costs = costs_.exec != nullptr ? fill_costs(sid, d) : costs_;
    st_.cash = set_position(st_.pos, sid, 0, st_.cash, costs, false, true, 1.0, hooks_);
    if (caps_) {
      // The stock trades no more. What the cap left of a long is written
      // off; a short left open is covered in full at the last price, so a
      // delisting never pays a short for shares it could not buy back.
      if (unfilled_.shares < 0.0) write_off(sid);
      if (unfilled_.shares > 0.0) {
        TradeCosts uncapped = costs;
        uncapped.cap = HUGE_VAL;
        st_.cash = set_position(st_.pos, sid, 0, st_.cash, uncapped, false, true, 1.0, hooks_);
      }
      order_shares_[static_cast<std::size_t>(sid)] = 0.0;
    }
    tracker(st_.cr, sid) = 1;
    tracker(st_.maxcr, sid) = 1;
    tracker(st_.mincr, sid) = 1;
  }
}

double Engine::close_valuation(std::int64_t d, double* gross) {
  double balance = st_.cash;
  const bool record = journal_ != nullptr && journal_->records_positions();
  const bool finances = opt_.exec.finances();
  double shorts = 0.0, held = 0.0;
  if (!st_.book_changed && worth_ok_ && worth_.size() == st_.pos.size()) {
    // No fill since mark_to_market: the same worths, added in the same order.
    std::size_t k = 0;
    for (const auto& [sid, value] : st_.pos) {
      const double worth = worth_[k++];
      balance = balance + worth;
      if (finances && worth < 0) shorts += -worth;
      if (gross != nullptr) held += std::fabs(worth);
      if (record) journal_->holding_at_close(d, sid, worth);
    }
    if (finances) st_.shorts_at_close = shorts;
    if (gross != nullptr) *gross = held;
    return balance;
  }
  for (const auto& [sid, value] : st_.pos) {
    const int sidprice = price_column(sid, d);
    // The next row's cells of the holdings the row began with were asked for
    // by the walk of mark_to_market; only those a fill of this row added are
    // asked for here.
    if (st_.book_changed) prefetch_cells(d + 1, sidprice);
    const double trade_price = validated_trade_price(sid, sidprice, d);
    // The holding's worth at the close, added exactly as it is recorded.
    const double worth = worth_at_close(value, trade_price, in_.close.at(d, sidprice));
    balance = balance + worth;
    if (finances && worth < 0) shorts += -worth;
    if (gross != nullptr) held += std::fabs(worth);
    if (record) journal_->holding_at_close(d, sid, worth);
  }
  if (finances) st_.shorts_at_close = shorts;
  if (gross != nullptr) *gross = held;
  return balance;
}

// The account at the close. A NaN balance (a run whose arithmetic left the
// finite range) is no verdict on the account and stops nothing.
double Engine::close_and_check(std::int64_t d) {
  if (st_.stopped) return close_valuation(d);  // the cash: nothing is held
  const double margin = opt_.exec.maintenance_margin;
  const bool record = journal_ != nullptr && journal_->records_positions();
  const std::size_t recorded = record ? journal_->positions_recorded() : 0;
  double gross = std::nan("");
  const double balance = close_valuation(d, margin > 0.0 ? &gross : nullptr);
  const bool wiped = balance <= 0.0;
  if (!wiped && !(margin > 0.0 && balance < margin * gross)) return balance;
  // The book is closed at this close: the holdings valued at it are not
  // held at it after all.
  if (record) journal_->unrecord_positions(recorded);
  if (std::isnan(gross)) {
    gross = 0.0;
    for (const auto& [sid, value] : st_.pos) {
      const int col = price_column(sid, d);
      gross += std::fabs(worth_at_close(value, in_.price.at(d, col), in_.close.at(d, col)));
    }
  }
  stop_account(d, wiped ? ExitReason::WipedOut : ExitReason::MarginCall, balance, gross, true);
  return close_valuation(d);
}

double Engine::balance_at_trade() const {
  double balance = st_.cash;
  for (const auto& kv : st_.pos) balance += kv.second;
  return balance;
}

// The account stops: every holding is sold or covered on row d, whatever a
// volume cap would allow (a forced closing), paying its costs; the orders
// still open and the exits signalled are dropped. What is left is cash.
void Engine::stop_account(std::int64_t d, ExitReason reason, double equity, double gross,
                          bool at_close) {
  st_.stopped = true;
  st_.stopped_row = d;
  st_.stopped_reason = reason;
  st_.stopped_equity = equity;
  if (std::isnan(gross)) {
    gross = 0.0;
    for (const auto& kv : st_.pos) gross += std::fabs(kv.second);
  }
  st_.stopped_gross = gross;
  if (caps_) clear_orders();
  st_.exit_stocks.clear();
  st_.pending_exits.clear();
  st_.exit_stocks_temp.clear();
  st_.pending_exits_temp.clear();
  if (journal_) journal_->stopped(d, static_cast<std::int8_t>(reason), equity, gross);
  if (st_.pos.size() == 0) return;
  st_.book_changed = true;
  while (st_.pos.size() != 0) {
    const auto it = st_.pos.begin();
    const int sid = it->first;
    const int col = price_column(sid, d);
    double price = std::nan("");
    if (at_close) {
      // The holding at its worth at the close, sold at the close (at the
      // trade price, or the last known one, when either is missing).
      const double trade = validated_trade_price(sid, col, d);
      const double close = in_.close.at(d, col);
      it->second = worth_at_close(it->second, trade, close);
      if (!std::isnan(trade) && !std::isnan(close)) price = close;
    }
    trade_for(d, reason);
    if (journal_ && !std::isnan(price)) journal_->trade_context(d, reason, price);
    TradeCosts costs = costs_.exec != nullptr ? fill_costs(sid, d, price) : costs_;
    costs.cap = HUGE_VAL;
    st_.cash = set_position(st_.pos, sid, 0.0, st_.cash, costs, false, true, 1.0, hooks_);
  }
}

// Interest on the cash and the fee on the shorts held at the previous row's
// close, for the calendar time since that row (ACT/365), taken from the cash
// before the row trades. The first row worked has no previous close.
void Engine::accrue_financing(std::int64_t d) {
  const Execution& x = opt_.exec;
  if (st_.financed_row >= 0) {
    const double days = static_cast<double>(st_.date - st_.financed_date) / x.day_length;
    const double years = days / 365.0;
    const double balance = st_.cash;
    double interest = 0.0;
    if (balance > 0) {
      interest = balance * (x.cash_rate * years);
    } else if (balance < 0) {
      interest = balance * (x.borrow_rate * years);
    }
    const double fee = st_.shorts_at_close * (x.short_fee * years);
    st_.cash = (balance + interest) - fee;
    if (journal_) journal_->financed(d, days, balance, interest, st_.shorts_at_close, fee);
  }
  st_.financed_row = d;
  st_.financed_date = st_.date;
}

void Engine::schedule_next_row(std::int64_t d) {
  const std::int64_t n_rows = in_.price_index.size;
  const bool last = d >= n_rows - 1;
  if (last) in_.price_index.at(-1);  // bounds-checked like the date read it stands for
  const std::int64_t next_bar = last ? 0 : in_.price_index.get(d + 1);
  while (st_.pos_id < in_.pos_index.size - 1 &&
         (last || in_.pos_index.at(st_.pos_id + 1) < next_bar)) {
    ++st_.pos_id;
  }
  st_.should_rebalance = st_.pos_id != st_.current_position_id && st_.date_rebalance[d] != 0;
}

// --- an account's fills -------------------------------------------------------------

void Engine::trade_for(std::int64_t d, ExitReason reason) {
  if (journal_) journal_->trade_context(d, reason);
  trading_for_ = reason;
  fill_row_ = d;
}

TradeCosts Engine::fill_costs(int sid, std::int64_t d, double price) {
  TradeCosts c = costs_;
  const Execution& x = opt_.exec;
  const int col = sid >= 0 && sid < static_cast<std::int64_t>(sid_to_price_.size())
                      ? sid_to_price_[static_cast<std::size_t>(sid)]
                      : -1;
  c.unfilled = &unfilled_;
  unfilled_ = OpenOrder{};
  used_col_ = col;
  if (col < 0) return c;
  const double row_price = in_.price.at(d, col);
  // Without a price on the row the shares are counted at the last one known.
  if (std::isnan(price)) price = std::isnan(row_price) ? known_.at(in_.price, col, d) : row_price;
  c.price = price;
  double volume = std::nan("");
  if (x.has_volume) volume = x.volume.at(d, col);
  // A row without a price or without volume fills nothing; the fills of a
  // row share its volume.
  if (caps_) {
    c.cap = !std::isnan(row_price) && volume > 0.0 ? x.max_participation * volume : 0.0;
    const std::size_t k = static_cast<std::size_t>(col);
    if (k < used_row_.size() && used_row_[k] == d) {
      c.cap = c.cap > used_shares_[k] ? c.cap - used_shares_[k] : 0.0;
    }
  }
  if (x.impacts()) {
    c.volume = volume;
    c.sigma = volume > 0.0 ? impact_sigma(col, d) : 0.0;
  }
  return c;
}

// The close-to-close log return of column `col` into row t; false when
// either close is missing, not above 0 or not finite.
bool Engine::close_return(int col, std::int64_t t, double& r) const {
  const double a = in_.close.at(t - 1, col), b = in_.close.at(t, col);
  if (!(a > 0.0) || !(b > 0.0) || !std::isfinite(a) || !std::isfinite(b)) return false;
  r = std::log(b / a);
  return true;
}

// The sample standard deviation of the close-to-close log returns of the
// impact window's rows before d (0 with fewer than two).
double Engine::impact_sigma(int col, std::int64_t d) {
  // Every fill of a stock on one row has the same volatility: kept per column.
  if (sigma_row_.empty()) {
    sigma_row_.assign(static_cast<std::size_t>(in_.price.cols), -1);
    sigma_.assign(static_cast<std::size_t>(in_.price.cols), 0.0);
  }
  const std::size_t k = static_cast<std::size_t>(col);
  if (sigma_row_[k] == d) return sigma_[k];
  sigma_row_[k] = d;
  sigma_[k] = 0.0;  // a failing read below leaves no stale value behind
  // A window longer than the data reaches back to its first return either
  // way: capped, 2**31-1 and the row count are one window.
  const std::int64_t window =
      std::min<std::int64_t>(opt_.exec.impact_window, in_.price_index.size);
  const std::int64_t first = std::max<std::int64_t>(1, d - window);
  if (window > kTwoPassWindow) {
    sigma_[k] = running_sigma(col, first, d);
    return sigma_[k];
  }
  double sum = 0.0;
  std::int64_t n = 0;
  auto each = [&](auto&& fn) {
    double r;
    for (std::int64_t t = first; t < d; ++t) {
      if (close_return(col, t, r)) fn(r);
    }
  };
  each([&](double r) { sum += r, ++n; });
  if (n < 2) return 0.0;
  const double mean = sum / static_cast<double>(n);
  double squares = 0.0;
  each([&](double r) { squares += (r - mean) * (r - mean); });
  sigma_[k] = std::sqrt(squares / static_cast<double>(n - 1));
  return sigma_[k];
}

// The same standard deviation over rows [first, d) from the column's running
// window (Welford's updates): the returns the window reached since the last
// fill are added, those it left removed, so a run reads each return at most
// twice whatever the window's length. The rows of a run only advance, and so
// do both ends of the window.
double Engine::running_sigma(int col, std::int64_t first, std::int64_t d) {
  if (running_.empty()) running_.assign(static_cast<std::size_t>(in_.price.cols), RunningWindow{});
  RunningWindow& w = running_[static_cast<std::size_t>(col)];
  // Nothing in common with the window held: start afresh at its first row.
  if (first >= w.hi || first < w.lo) w = RunningWindow{first, first, 0, 0.0, 0.0};
  double r;
  for (; w.lo < first; ++w.lo) {
    if (!close_return(col, w.lo, r)) continue;
    if (--w.n == 0) {
      w.mean = w.m2 = 0.0;
      continue;
    }
    const double before = w.mean;
    w.mean = before - (r - before) / static_cast<double>(w.n);
    w.m2 = std::max(0.0, w.m2 - (r - w.mean) * (r - before));
  }
  for (; w.hi < d; ++w.hi) {
    if (!close_return(col, w.hi, r)) continue;
    ++w.n;
    const double before = w.mean;
    w.mean = before + (r - before) / static_cast<double>(w.n);
    w.m2 += (r - before) * (r - w.mean);
  }
  return w.n < 2 ? 0.0 : std::sqrt(w.m2 / static_cast<double>(w.n - 1));
}

void Engine::count_fill() {
  if (used_col_ < 0 || static_cast<std::size_t>(used_col_) >= used_row_.size()) return;
  const std::size_t k = static_cast<std::size_t>(used_col_);
  if (used_row_[k] != fill_row_) {
    used_row_[k] = fill_row_;
    used_shares_[k] = 0.0;
  }
  used_shares_[k] += unfilled_.filled;
}

void Engine::keep_order(int sid) {
  count_fill();
  const std::size_t k = static_cast<std::size_t>(item_index(sid, static_cast<std::int64_t>(order_shares_.size())));
  const bool listed = order_shares_[k] != 0.0;
  order_shares_[k] = unfilled_.shares;
  order_reason_[k] = trading_for_;
  order_closes_[k] = unfilled_.closes ? 1 : 0;
  order_entry_[k] = unfilled_.entry ? 1 : 0;
  if (unfilled_.shares != 0.0 && !listed &&
      std::find(orders_.begin(), orders_.end(), sid) == orders_.end()) {
    orders_.push_back(sid);
  }
}

void Engine::clear_orders() {
  for (const int sid : orders_) order_shares_[static_cast<std::size_t>(sid)] = 0.0;
  orders_.clear();
}

bool Engine::exiting(int sid) const {
  if (sid < 0 || static_cast<std::size_t>(sid) >= order_shares_.size()) return false;
  return order_shares_[static_cast<std::size_t>(sid)] != 0.0 &&
         order_reason_[static_cast<std::size_t>(sid)] != ExitReason::Rebalance;
}

// Each pending order fills what the row's volume allows, in the order the
// orders were placed; a filled one leaves the list. An account that does
// not borrow buys no more than its cash pays for: a buy the cash at hand
// cannot pay for in full waits until the row's other orders have filled
// (their sales bring cash), then fills as far as the cash pays for, and
// the rest of its order waits.
void Engine::fill_orders(std::int64_t d) {
  const bool keep_cash = opt_.exec.keeps_cash();
  deferred_.clear();
  // One order's fill; false: a buy put off to the end of the row.
  const auto fill = [&](int sid, bool may_wait) {
    const double q = order_shares_[static_cast<std::size_t>(sid)];
    if (q == 0.0) return true;
    trade_for(d, order_reason_[static_cast<std::size_t>(sid)]);
    TradeCosts c = fill_costs(sid, d);
    c.exact = q;
    c.closes = order_closes_[static_cast<std::size_t>(sid)] != 0;
    c.order_entry = order_entry_[static_cast<std::size_t>(sid)];
    const auto it = st_.pos.find(sid);
    const double held = it != st_.pos.end() ? it->second : 0.0;
    double withheld = 0.0;
    if (keep_cash && q > 0.0 && held >= 0.0 && c.cap > 0.0) {
      const double reach = q < c.cap ? q : c.cap;  // what the volume lets fill on this row
      const double paid_for = affordable_shares(c, sid, reach, st_.cash, balance_at_trade());
      if (paid_for < reach) {
        if (may_wait || paid_for == 0.0) return !may_wait;
        c.exact = paid_for;
        withheld = q - paid_for;
        // As for a cap: a billionth of the order left is rounding, not an order.
        if (withheld <= 1e-9 * q) withheld = 0.0;
      }
    }
    st_.cash = set_position(st_.pos, sid, held, st_.cash, c, false, true, 1.0, hooks_);
    count_fill();
    // A stock this fill made a holding follows its price from this row on,
    // as one bought by a rebalance does.
    const int col = used_col_;
    if (held == 0.0 && col >= 0 && st_.pos.count(sid) != 0) {
      const double price = in_.price.at(d, col);
      if (!std::isnan(price)) st_.previous_price[static_cast<std::size_t>(col)] = price;
    }
    order_shares_[static_cast<std::size_t>(sid)] = unfilled_.shares + withheld;
    return true;
  };
  for (const int sid : orders_) {
    if (!fill(sid, keep_cash)) deferred_.push_back(sid);
  }
  for (const int sid : deferred_) fill(sid, false);
  std::size_t kept = 0;
  for (const int sid : orders_) {
    if (order_shares_[static_cast<std::size_t>(sid)] != 0.0) orders_[kept++] = sid;
  }
  orders_.resize(kept);
}

// The most of a buy of q shares (whole lots) whose fill from `cash`, costs
// included, leaves the cash at 0 or more: q itself when it leaves no less
// than the rounding of the cash's sums (kCashRounding of the balance).
double Engine::affordable_shares(TradeCosts c, int sid, double q, double cash, double balance) {
  c.cap = HUGE_VAL;  // what the cash pays for, whatever the volume
  const auto left = [&](double shares) {
    if (!(shares > 0.0)) return cash;
    const Plan plan = plan_shares(c, sid, shares, true, c.closes);
    return plan.trades ? cash + plan.cash_delta : cash;
  };
  if (!(left(q) < -kCashRounding * std::fabs(balance))) return q;
  const double lot = opt_.exec.lot_of(sid);
  const auto shares_at = [&](double f) {
    return lot > 0.0 ? std::trunc(q * f / lot) * lot : q * f;
  };
  double best = 0.0, low = 0.0, high = 1.0;
  for (int i = 0; i < 40; ++i) {
    const double mid = 0.5 * (low + high);
    if (left(shares_at(mid)) >= 0.0) {
      low = mid;
      best = shares_at(mid);
    } else {
      high = mid;
    }
  }
  return best;
}

// A delisted holding the cap kept from selling: its value at the last price
// leaves the book, and nothing comes back for it.
void Engine::write_off(int sid) {
  const auto it = st_.pos.find(sid);
  if (it == st_.pos.end() || it->second == 0.0) return;
  const double held = it->second;
  hooks_.record_exit(sid, 1);
  st_.pos.erase(it);
  if (hooks_.records_fills()) {
    FillReport f;
    f.before = held;
    f.written_off = held;
    hooks_.record_fill(sid, f);
  }
}

void Engine::before(int sid, TradeCosts& costs) {
  const TradeCosts c = fill_costs(sid, fill_row_);
  costs.price = c.price;
  costs.cap = c.cap;
  costs.sigma = c.sigma;
  costs.volume = c.volume;
  costs.unfilled = c.unfilled;
}

void Engine::after(int sid) {
  if (caps_) keep_order(sid);
}

void Engine::limit_to_cash(int sid, TradeCosts& costs, double amount, double cash,
                           double balance) {
  if (!(costs.cap > 0.0) || !priced(costs)) return;
  const Plan plan = plan_buy(costs, sid, amount, true);
  if (!plan.trades || !(cash + plan.cash_delta < -kCashRounding * std::fabs(balance))) return;
  // What the order asks, in shares, and of it what the cash pays for.
  const double want = std::isnan(plan.requested_shares) ? plan.shares : plan.requested_shares;
  if (!(want > 0.0)) return;
  const double paid_for = affordable_shares(costs, sid, want, cash, balance);
  if (paid_for < costs.cap) costs.cap = paid_for;
}

}  // namespace pelmora
