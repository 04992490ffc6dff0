// set_position / rebalance over any hooks type. The run's engine calls them
// through RunHooks (book.cpp); a recorder whose type is known where it is
// defined (the journal) instantiates them for itself, so its hooks are
// called directly, not through the table of virtual functions. The cash,
// fee and tax arithmetic is done in the documented order; every expression
// here is part of the bit-exact contract.
#pragma once

#include <cfloat>
#include <climits>
#include <cmath>

#include "core/account_fills.hpp"
#include "core/book.hpp"

namespace pelmora {

namespace book_detail {

inline constexpr const char* kSetPosition = "pelmora.core.runvane.set_position";
inline constexpr const char* kRebalance = "pelmora.core.runvane.rebalance";

inline double weight_of(double position, double balance) {
  if (balance == 0.0) fail(ErrorKind::ZeroDivisionError, "float division by zero");
  return position / balance;
}

// An entry pays the fee only. On the reducing side the fee is the fee rate on
// the traded amount and the tax whatever else was charged, so that fee + tax
// is the charge the cash actually paid.
template <class Hooks>
void report_fill(Hooks& hooks, int sid, double before, double after, double traded,
                 double charged, bool entry, TradeCosts costs) {
  FillReport f;
  f.before = before;
  f.after = after;
  if (entry) {
    f.fee = charged;
  } else {
    f.fee = traded * costs.fee_ratio;
    f.tax = charged - f.fee;
  }
  hooks.record_fill(sid, f);
}

}  // namespace book_detail

template <class Hooks>
double set_position_with(Book& p, Book::iterator lower, int sid, double position, double cash,
                         TradeCosts costs, bool check_null, bool set_null, double balance,
                         Hooks& hooks) {
  return with_frame(book_detail::kSetPosition, [&]() -> double {
    auto found = lower != p.end() && lower->first == sid ? lower : p.end();
    const bool exist = check_null ? found != p.end() : true;

    // Under an account's rules a fill is planned first: lots, a minimum fee
    // and a volume cap may cut it, or leave nothing worth placing (the
    // holding then stays as it is, as an order for its own size would).
    Plan plan;
    bool planned = false;
    bool continuing = false;  // a fill of an order under way: no new trade record
    bool entry = false;       // the order pays no tax (an entry, or a flip at once)
    if (costs.exec != nullptr) {
      const double held = found != p.end() ? found->second : 0.0;
      if (!std::isnan(costs.exact)) {
        const double q = costs.exact;
        entry = costs.order_entry >= 0 ? costs.order_entry != 0
                                       : (q > 0 && held >= 0) || (q < 0 && held <= 0);
        plan = plan_shares(costs, sid, q, entry, costs.closes);
        planned = continuing = true;
      } else if (position != 0.0) {
        const double amount = position - held;
        entry = (amount > 0 && position >= 0) || (amount < 0 && position <= 0);
        if (amount > 0) {
          plan = plan_buy(costs, sid, amount, entry);
        } else if (amount < 0) {
          plan = plan_sale(costs, sid, -amount, entry);
        }
        planned = true;
      } else if (found != p.end()) {
        plan = plan_capped_close(costs, sid, held);
        planned = continuing = plan.holds;
      }
      if (costs.unfilled != nullptr) {
        costs.unfilled->shares = planned ? plan.unfilled : 0.0;
        costs.unfilled->closes = plan.holds || (continuing && costs.closes);
        costs.unfilled->entry = entry && !plan.holds;
        if (planned && plan.trades && priced(costs)) {
          costs.unfilled->filled = !std::isnan(plan.shares)
                                       ? std::fabs(plan.shares)
                                       : std::fabs(plan.change) * costs.exec->capital / costs.price;
        }
      }
      // The last fill of an order that closes the holding closes it whole.
      const bool last = continuing && costs.closes && plan.trades && plan.unfilled == 0.0;
      if (planned && last) {
        position = 0.0;
      } else if (planned) {
        if (!plan.trades) {  // nothing placed: nothing moves, nothing is charged
          plan.change = plan.amount = plan.cash_delta = plan.slippage = plan.impact = 0.0;
          plan.charge = Charge{};
        }
        // A plan that leaves nothing held, or only the rounding of values
        // that should have cancelled, closes the holding as any close does
        // (an entry order's close, the zero a flip crosses, pays no tax).
        const double left = held + plan.change;
        position = left == 0.0 || (plan.trades && residue(left, held)) ? 0.0 : held + plan.amount;
        if (position == 0.0 && found == p.end()) return cash;
      }
    }

    const bool prev_has_position = found != p.end() && found->second != 0.0;
    const bool next_has_position = position != 0.0;

    // Report to the excursion recorder before anything changes, so a failure
    // leaves book and cash as they were.
    if (!prev_has_position && next_has_position) {
      hooks.record_entry(sid, book_detail::weight_of(position, balance), 1);
    } else if (prev_has_position && !next_has_position) {
      hooks.record_exit(sid, 1);
    } else if (prev_has_position && next_has_position) {
      if (!continuing && hooks.split_on_resize()) {
        hooks.record_exit(sid, 0);
        hooks.record_entry(sid, book_detail::weight_of(position, balance), 0);
      }
    }

    // One lookup: the slot found above, or a 0.0 slot made where the book's
    // operator[] would make it.
    auto slot_of = [&]() { return found != p.end() ? found : p.insert_at(lower, sid, 0.0); };
    if (position == 0.0) {
      if (!exist) return cash;
      const auto slot = slot_of();
      const double held = slot->second;
      if (set_null) {
        p.erase(slot);
      } else {
        slot->second = 0.0;
      }
      if (costs.exec != nullptr) {
        // A close sells (or covers) all of the holding, whatever the lots;
        // the slippage and the impact move its price against it.
        const Execution& x = *costs.exec;
        double i = 0.0;
        if (priced(costs) && held == held) {
          i = impact_of(costs, held * x.capital / costs.price);
          if (held > 0) i = sale_impact(i, x.slippage);
        }
        if (costs.unfilled != nullptr && priced(costs)) {
          costs.unfilled->filled = std::fabs(held) * x.capital / costs.price;
        }
        const double slip = std::fabs(held) * x.slippage;
        const double moved = std::fabs(held) * i;
        const double at_fill =
            held > 0 ? (std::fabs(held) - slip) - moved : (std::fabs(held) + slip) + moved;
        const Charge ch = charge_of(at_fill, planned && entry, costs);
        if (hooks.records_fills()) {
          FillReport f;
          f.before = held;
          f.fee = ch.fee;
          f.tax = ch.tax;
          f.slippage = slip;
          f.impact = moved;
          hooks.record_fill(sid, f);
        }
        return cash + (((held - slip) - moved) - ch.total);
      }
      const double charged = std::fabs(held) * (costs.fee_ratio + costs.tax_ratio);
      if (hooks.records_fills()) book_detail::report_fill(hooks, sid, held, 0.0, std::fabs(held), charged, false, costs);
      return cash + (held - charged);
    }

    const auto slot = slot_of();
    double& held = slot->second;
    const double before = held;
    if (planned) {
      held = held + plan.change;
      cash = cash + plan.cash_delta;
      const double after = held;
      if (set_null && held == 0.0) p.erase(slot);
      if (hooks.records_fills()) {
        FillReport f;
        f.before = before;
        f.after = after;
        f.fee = plan.charge.fee;
        f.tax = plan.charge.tax;
        f.slippage = plan.slippage;
        f.impact = plan.impact;
        f.requested = plan.requested;
        f.requested_shares = plan.requested_shares;
        f.shares = plan.shares;
        f.placed = plan.trades;
        hooks.record_fill(sid, f);
      }
      return cash;
    }
    const double amount = position - held;
    const bool buy = amount > 0;
    const bool is_entry = (amount > 0 && position >= 0) || (amount < 0 && position <= 0);
    const double cost = is_entry ? std::fabs(amount) * costs.fee_ratio
                                 : std::fabs(amount) * (costs.fee_ratio + costs.tax_ratio);
    if (buy) {
      cash = cash - amount;
      held = held + (amount - cost);  // the buy fee comes out of the holding
    } else {
      cash = cash + (-amount - cost);
      held = held + amount;
    }
    const double after = held;
    if (set_null && held == 0.0) p.erase(slot);
    if (hooks.records_fills()) {
      book_detail::report_fill(hooks, sid, before, after, std::fabs(amount), cost, is_entry, costs);
    }
    return cash;
  });
}

namespace book_detail {

// A weight whose share of the equity, once the row is scaled to its gross,
// is at most four ulps of 1 is the rounding of a sum that meant 0 (0.1 +
// 0.2 - 0.3 is 2^-54): it is 0, so the rebalance closes the holding.
inline constexpr double kDustWeight = 4.0 * DBL_EPSILON;


// The hooks of a rebalance tried on a copy of the book: nothing is recorded.
class TrialHooks final : public RunHooks {
 public:
  void record_date(int) override {}
  void record_entry(int, double, int) override {}
  void record_exit(int, int) override {}
  bool split_on_resize() override { return false; }
  bool stop_trading_next_period() override { return false; }
};

}  // namespace book_detail

template <class Hooks>
double rebalance_with(Book& p, const View1D<double>& newp, double cash, TradeCosts costs,
                      double position_limit, Hooks& hooks, double max_gross,
                      FillSetup* setup, const std::vector<std::int64_t>* targets,
                      CashRule cash_rule) {
  return with_frame(book_detail::kRebalance, [&]() -> double {
    double balance = cash;
    for (const auto& kv : p) balance += kv.second;
    const double gross = numpy_abs_sum(newp);
    // max(gross, 1), NaN kept; under leverage, gross / max_gross once above it.
    const double divisor = max_gross == 1.0 ? (1 > gross ? 1.0 : gross)
                                            : (max_gross >= gross ? 1.0 : gross / max_gross);
    double ratio = balance / divisor;
    if (std::isnan(ratio)) ratio = 1.0;
    const double cap = position_limit * balance;
    const double dust = std::isfinite(divisor) ? book_detail::kDustWeight * divisor : 0.0;
    // The target of stock `sid`, held at `*held` (nullptr: not held), with
    // the buys scaled by `scale` from what is already held long.
    const auto target = [&](std::int64_t sid, const double* held, double scale) {
      double w = newp.get(sid);
      if (w != 0.0 && std::fabs(w) <= dust) w = 0.0;
      double v2 = w * ratio;
      if (std::fabs(v2) > cap) v2 = cap * (v2 > 0 ? 1 : -1);
      // A target the holding's trade would round away leaves it at exactly
      // 0: it is a close, recorded as one.
      if (held != nullptr && v2 != 0.0 && *held + (v2 - *held) == 0.0) v2 = 0.0;
      if (scale != 1.0) {
        const double base = held != nullptr && *held > 0.0 ? *held : 0.0;
        if (v2 > base) v2 = base + scale * (v2 - base);
      }
      return v2;
    };
    // With a finite ratio and a cap of 0 or more, a zero weight is a zero
    // target: only the stocks of `targets` (the nonzero weights) and the
    // held ones can trade, visited in the same ascending order without
    // reading the other weights (whose zeros a branch would guess wrong).
    const bool sparse = targets != nullptr && std::isfinite(ratio) && !(cap < 0.0) &&
                        newp.size - 1 <= static_cast<std::int64_t>(INT_MAX);
    // The rebalance on `book` from `cash`, through `on`; a trial tells the
    // fills' setup nothing of what they left. `moved`, when given, gets what
    // each visit moved the cash by (0 for a buy); `later`, when given,
    // holds for each visit what the visits after it that are not buys
    // move the cash by, which a buy may count on (BuysWait).
    const auto walk = [&](Book& book, auto& on, double scale, bool trial,
                          std::vector<double>* moved,
                          const std::vector<double>* later) -> double {
      double left = cash;
      std::size_t n_visits = 0;
      // A zero target for a stock not in the book trades and records
      // nothing, so only held stocks and nonzero targets reach
      // set_position; the book's keys are followed with a cursor in the
      // same ascending order.
      auto cursor = book.begin();
      const auto visit = [&](std::int64_t sid) {
        while (cursor != book.end() && cursor->first < sid) ++cursor;
        const bool held = cursor != book.end() && cursor->first == sid;
        const double v2 = target(sid, held ? &cursor->second : nullptr, scale);
        if (v2 == 0.0 && !held) return;
        const bool buy = v2 > 0.0 && !(held && cursor->second >= v2);
        const std::size_t k = n_visits++;
        const int key = static_cast<int>(sid);
        // set_position changes the slot of `key` only: the slots before it
        // stay where they are, so the cursor comes back at the same place
        // (past `key` if it is still or newly held).
        const auto at = cursor - book.begin();
        if (setup != nullptr) {
          setup->before(key, costs);
          if (buy && later != nullptr && k < later->size()) {
            const double amount = v2 - (held ? cursor->second : 0.0);
            setup->limit_to_cash(key, costs, amount, left + (*later)[k], balance);
          }
        }
        const double was = left;
        left = set_position_with(book, cursor, key, v2, left, costs, true, true, balance, on);
        if (moved != nullptr) moved->push_back(buy ? 0.0 : left - was);
        if (setup != nullptr && !trial) setup->after(key);
        cursor = book.begin() + at;
        if (cursor != book.end() && cursor->first == key) ++cursor;
      };
      if (sparse) {
        std::size_t k = 0;
        while (true) {
          const std::int64_t held =
              cursor != book.end() && cursor->first < newp.size ? cursor->first : INT64_MAX;
          const std::int64_t next = k < targets->size() ? (*targets)[k] : INT64_MAX;
          const std::int64_t sid = held < next ? held : next;
          if (sid == INT64_MAX) break;
          if (sid == next) ++k;
          visit(sid);
        }
        return left;
      }
      for (std::int64_t sid = 0; sid < newp.size; ++sid) {
        if (sid > INT_MAX) fail(ErrorKind::OverflowError, "value too large to convert to int");
        visit(sid);
      }
      return left;
    };
    if (cash_rule == CashRule::MayBorrow) return walk(p, hooks, 1.0, false, nullptr, nullptr);
    book_detail::TrialHooks quiet;
    if (cash_rule == CashRule::BuysWait) {
      // Orders wait for volume anyway: each buy fills as far as the cash
      // pays for, counting the cash the rebalance's sales (in any order)
      // bring on this row, and the rest of it waits with its order. What
      // each visit that is not a buy moves the cash by is tried first on a
      // copy of the book; it does not depend on the buys.
      std::vector<double> later;
      {
        Book copy = p;
        walk(copy, quiet, 1.0, true, &later, nullptr);
      }
      double after = 0.0;
      for (std::size_t k = later.size(); k-- > 0;) {
        const double own = later[k];
        later[k] = after;
        after += own;
      }
      return walk(p, hooks, 1.0, false, nullptr, &later);
    }
    // An account that does not borrow: when the rebalance would leave the
    // cash below 0 beyond its rounding (the sales' fees and taxes, lots
    // rounded down on the sales, a minimum fee), its buys are scaled down
    // together, each to whole lots, to the largest scale that leaves the
    // cash at 0 or more.
    // The cash a rebalance leaves only grows as its buys shrink, so the
    // scale is found by halving the interval, each try on a copy of the
    // book; the rebalance that leaves 0 or more is then made as tried.
    const auto left_at = [&](double scale) {
      Book copy = p;
      return walk(copy, quiet, scale, true, nullptr, nullptr);
    };
    double scale = 1.0;
    const double full = left_at(1.0);
    if (full < -kCashRounding * std::fabs(balance)) {
      // The cash left is close to linear in the scale (lots and a minimum
      // fee step it): its line through the scales 0 and 1 brackets the
      // scale sought, and the halving works inside that bracket.
      const double none = left_at(0.0);
      double low = 0.0, high = 1.0;
      scale = 0.0;
      if (none >= 0.0) {
        const double guess = none / (none - full);
        if (guess > 0.0 && guess < 1.0 && left_at(guess) >= 0.0) low = scale = guess;
      }
      for (int i = 0; i < 16 && high - low > 0x1p-40; ++i) {
        const double mid = 0.5 * (low + high);
        if (left_at(mid) >= 0.0) {
          low = scale = mid;
        } else {
          high = mid;
        }
      }
    }
    return walk(p, hooks, scale, false, nullptr, nullptr);
  });
}

}  // namespace pelmora
