// The position book and the two operations that change it: set_position (one
// holding) and rebalance (the whole book to a target weight vector).
//
// The book maps a stock index to the money value held at the current row's
// trade price (negative for a short) and is walked in ascending key order.
// A key may stay in the book with 0.0 (a holding closed intraday until the
// next rebalance); operator[] creating 0.0 is part of the contract.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

#include "core/execution.hpp"
#include "core/views.hpp"

namespace pelmora {

// The book as one sorted array of (stock, value): the walks of every row go
// through it in ascending key order, contiguously, instead of chasing tree
// nodes; a rebalance's copy of it is one allocation. It keeps the part of
// std::map's interface the engine uses, with the same ordering and the same
// operator[] that makes a 0.0 slot. Unlike a map, inserting or erasing moves
// the later slots: iterators are not kept across either.
class Book {
 public:
  using value_type = std::pair<int, double>;
  using iterator = std::vector<value_type>::iterator;
  using const_iterator = std::vector<value_type>::const_iterator;

  Book() = default;
  Book(const Book& o) : v_(o.v_) {}
  // An assignment changes the keys as far as anyone caching them can tell.
  Book& operator=(const Book& o) {
    v_ = o.v_;
    ++keys_version_;
    return *this;
  }

  // Changes whenever a key comes or goes (never for a value change): what
  // the engine caches per holding stays right while it is unchanged.
  std::uint64_t keys_version() const { return keys_version_; }

  iterator begin() { return v_.begin(); }
  iterator end() { return v_.end(); }
  const_iterator begin() const { return v_.begin(); }
  const_iterator end() const { return v_.end(); }

  iterator lower_bound(int key) {
    return std::lower_bound(v_.begin(), v_.end(), key,
                            [](const value_type& e, int k) { return e.first < k; });
  }
  const_iterator lower_bound(int key) const {
    return std::lower_bound(v_.begin(), v_.end(), key,
                            [](const value_type& e, int k) { return e.first < k; });
  }
  iterator find(int key) {
    const iterator it = lower_bound(key);
    return it != v_.end() && it->first == key ? it : v_.end();
  }
  const_iterator find(int key) const {
    const const_iterator it = lower_bound(key);
    return it != v_.end() && it->first == key ? it : v_.end();
  }
  std::size_t count(int key) const { return find(key) != v_.end() ? 1 : 0; }
  std::size_t size() const { return v_.size(); }
  std::pair<iterator, bool> emplace(int key, double value) {
    const iterator it = lower_bound(key);
    if (it != v_.end() && it->first == key) return {it, false};
    ++keys_version_;
    return {v_.insert(it, value_type{key, value}), true};
  }
  double& operator[](int key) { return emplace(key, 0.0).first->second; }
  // A new slot at `lower`, the lower_bound of `key`, which is not in the book.
  iterator insert_at(iterator lower, int key, double value) {
    ++keys_version_;
    return v_.insert(lower, value_type{key, value});
  }
  iterator erase(iterator it) {
    ++keys_version_;
    return v_.erase(it);
  }

 private:
  std::vector<value_type> v_;
  std::uint64_t keys_version_ = 0;
};

// Everything a run needs from outside the arithmetic: the excursion recorder,
// the module flags and the truth of stop_trading_next_period. Implementations
// throw Failure when the outside world fails.
class RunHooks {
 public:
  virtual ~RunHooks() = default;
  virtual void record_date(int row) = 0;
  virtual void record_entry(int sid, double weight, int has_transaction) = 0;
  virtual void record_exit(int sid, int has_transaction) = 0;
  // Whether resizing a held position splits it into a new trade record
  // (read afresh from the module flags at every resize).
  virtual bool split_on_resize() = 0;
  virtual bool stop_trading_next_period() = 0;
  // A trade of holding `sid` that set_position has just carried out: the
  // holding's value before and after it and the money charged (the fee and,
  // on the reducing side, the tax; the slippage when the account has one).
  // Only hooks that ask for fills get them.
  virtual bool records_fills() const { return false; }
  virtual void record_fill(int sid, const FillReport& fill) { (void)sid, (void)fill; }
};

// Hooks that record nothing: the pure arithmetic of a run.
class SilentHooks final : public RunHooks {
 public:
  explicit SilentHooks(bool stop_trading = true) : stop_trading_(stop_trading) {}
  void record_date(int) override {}
  void record_entry(int, double, int) override {}
  void record_exit(int, int) override {}
  bool split_on_resize() override { return false; }
  bool stop_trading_next_period() override { return stop_trading_; }

 private:
  bool stop_trading_;
};

// The part of an order a volume cap left for later: signed shares, whether
// the order closes the holding and whether it is an entry (pays no tax).
struct OpenOrder {
  double shares = 0.0;
  bool closes = false;
  bool entry = false;
  double filled = 0.0;  // the shares the fill moved (absolute), against the row's cap
};

struct TradeCosts {
  double fee_ratio;
  double tax_ratio;
  // The account's rules beyond the rates; null: the unit portfolio's fills.
  const Execution* exec = nullptr;
  // What the account's rules need of this fill: the price the holding is
  // valued at (NaN: none known), the most shares it may move (a volume
  // cap), the stock's volatility and the row's volume for the impact.
  double price = std::nan("");
  double cap = HUGE_VAL;
  double sigma = 0.0;
  double volume = std::nan("");
  // A pending order's fill: exactly these signed shares, within the trade
  // record already open (NaN: an order from a target).
  double exact = std::nan("");
  // A pending order that closes the holding: its last fill closes it, so
  // no rounding dust stays behind.
  bool closes = false;
  // A pending order's tax class, decided once when it was placed (-1: the
  // fill decides). A flip spread over days is one entry as it is at once,
  // and a fill that crosses zero or starts from a rounding residue pays
  // the tax of its order, not of the side it starts from.
  int order_entry = -1;
  // Out: the order a cap left open (set on every fill under the account's rules).
  OpenOrder* unfilled = nullptr;
};

// Sets up each fill of a rebalance under an account's rules (its price,
// cap, impact inputs) and hears what was left unfilled.
class FillSetup {
 public:
  virtual ~FillSetup() = default;
  virtual void before(int sid, TradeCosts& costs) = 0;
  virtual void after(int sid) = 0;
  // The cap of a buy of `amount` lowered to the shares `cash` pays for
  // when it does not pay for the buy (CashRule::BuysWait); `balance`: the
  // rebalance's, the measure of the cash's rounding.
  virtual void limit_to_cash(int sid, TradeCosts& costs, double amount, double cash,
                             double balance) {
    (void)sid, (void)costs, (void)amount, (void)cash, (void)balance;
  }
};

// How a rebalance pays for its buys. MayBorrow: the cash may go below 0
// (the unit portfolio, leverage). An account that does not borrow either
// scales its buys down together to the cash the rebalance leaves
// (ScaleBuys), or, when volume caps make orders wait anyway, fills each
// buy as far as the cash at hand pays for and leaves the rest of the order
// pending (BuysWait).
enum class CashRule : std::int8_t { MayBorrow, ScaleBuys, BuysWait };

// Moves holding `sid` to `position` and returns the new cash. `balance` turns
// the position into the weight reported to the excursion recorder (1.0 when
// the caller has no balance). Book and cash are unchanged when it throws.
double set_position(Book& p, int sid, double position, double cash, TradeCosts costs,
                    bool check_null, bool set_null, double balance, RunHooks& hooks);
// The same, with `lower` the book's lower_bound of `sid` (a walk in key order
// has it at hand).
double set_position(Book& p, Book::iterator lower, int sid, double position, double cash,
                    TradeCosts costs, bool check_null, bool set_null, double balance,
                    RunHooks& hooks);

// A cash below 0 by no more than this fraction of the balance is the
// rounding of its sums (a rebalance to a gross of exactly 1 ends within a
// few ulps of 0 either way), not a loan: an account that does not borrow
// tolerates it rather than cut a buy by a fraction of a share.
inline constexpr double kCashRounding = 1e-12;

// Moves the book to the weights `newp` (one per stock index) and returns the
// cash left. Weights whose absolute values add to more than `max_gross` are
// scaled down to it; a weight within four ulps of 0 (of the scaled row) is
// 0. `setup`, under an account's rules, prepares each fill. Trades made
// before a failure stay made. `targets`, when given, lists the indexes of
// the nonzero weights of `newp` (NaN included), ascending. `cash_rule`: how
// the buys are paid for (see CashRule).
double rebalance(Book& p, const View1D<double>& newp, double cash, TradeCosts costs,
                 double position_limit, RunHooks& hooks, double max_gross = 1.0,
                 FillSetup* setup = nullptr, const std::vector<std::int64_t>* targets = nullptr,
                 CashRule cash_rule = CashRule::MayBorrow);

// Sum of |x| in NumPy's pairwise order, so the result matches
// numpy.abs(x).sum() to the last bit.
double numpy_abs_sum(const View1D<double>& x);

}  // namespace pelmora
