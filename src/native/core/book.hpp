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
  std::pair<iterator, bool> emplace(int key, double value) {
    const iterator it = lower_bound(key);
    if (it != v_.end() && it->first == key) return {it, false};
    return {v_.insert(it, value_type{key, value}), true};
  }
  double& operator[](int key) { return emplace(key, 0.0).first->second; }
  // A new slot at `lower`, the lower_bound of `key`, which is not in the book.
  iterator insert_at(iterator lower, int key, double value) {
    return v_.insert(lower, value_type{key, value});
  }
  iterator erase(iterator it) { return v_.erase(it); }

 private:
  std::vector<value_type> v_;
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

struct TradeCosts {
  double fee_ratio;
  double tax_ratio;
  // The account's rules beyond the rates; null: the unit portfolio's fills.
  const Execution* exec = nullptr;
  // The price the holding is valued at for this trade (lots need it); NaN: none known.
  double price = std::nan("");
};

// The trade prices of one row by stock index, for the lot rounding of a rebalance.
struct TradePrices {
  View1D<double> row;
  const std::vector<int>* columns = nullptr;  // stock index -> price column (-1: none)
  double of(std::int64_t sid) const {
    if (columns == nullptr || sid < 0 || sid >= static_cast<std::int64_t>(columns->size())) {
      return std::nan("");
    }
    const int col = (*columns)[static_cast<std::size_t>(sid)];
    return col >= 0 && col < row.size ? row.get(col) : std::nan("");
  }
};

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

// Moves the book to the weights `newp` (one per stock index) and returns the
// cash left. Weights whose absolute values add to more than `max_gross` are
// scaled down to it. `prices`, when the account trades in lots, gives each
// stock's trade price. `scratch` is reused between calls. Trades made before
// a failure stay made.
double rebalance(Book& p, const View1D<double>& newp, double cash, TradeCosts costs,
                 double position_limit, RunHooks& hooks, std::vector<double>& scratch,
                 double max_gross = 1.0, const TradePrices* prices = nullptr);

// Sum of |x| in NumPy's pairwise order, so the result matches
// numpy.abs(x).sum() to the last bit.
double numpy_abs_sum(const View1D<double>& x, std::vector<double>& scratch);

}  // namespace pelmora
