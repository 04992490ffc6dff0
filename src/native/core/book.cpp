// set_position / rebalance. The cash, fee and tax arithmetic is done in the
// documented order; every expression here is part of the bit-exact contract.
#include "core/book.hpp"

#include <climits>
#include <cmath>

namespace pelmora {

namespace {

constexpr const char* kSetPosition = "pelmora.core.runvane.set_position";
constexpr const char* kRebalance = "pelmora.core.runvane.rebalance";

double weight_of(double position, double balance) {
  if (balance == 0.0) fail(ErrorKind::ZeroDivisionError, "float division by zero");
  return position / balance;
}

// NumPy's pairwise summation over contiguous doubles (blocks of 8 partial
// sums up to 128 elements, halving above).
double pairwise_sum(const double* a, std::int64_t n) {
  if (n < 8) {
    double res = -0.0;
    for (std::int64_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (int k = 0; k < 8; ++k) r[k] = a[k];
    std::int64_t i;
    for (i = 8; i < n - (n % 8); i += 8) {
      for (int k = 0; k < 8; ++k) r[k] += a[i + k];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::int64_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
}

// An entry pays the fee only. On the reducing side the fee is the fee rate on
// the traded amount and the tax whatever else was charged, so that fee + tax
// is the charge the cash actually paid.
void report_fill(RunHooks& hooks, int sid, double before, double after, double traded,
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

// The charge of a fill of `traded` (at the fill price) under an account's
// minimum fee: the rates' charge, in the unit portfolio's very expression,
// while the fee rate reaches the minimum; else the minimum and the tax.
struct Charge {
  double fee, tax, total;
};
Charge charge_of(double traded, bool entry, const TradeCosts& c) {
  if (traded == 0.0) return {0.0, 0.0, 0.0};  // nothing traded pays nothing
  const double rate_fee = traded * c.fee_ratio;
  if (!(rate_fee < c.exec->min_fee)) {
    if (entry) return {rate_fee, 0.0, traded * c.fee_ratio};
    const double total = traded * (c.fee_ratio + c.tax_ratio);
    return {rate_fee, total - rate_fee, total};
  }
  const double tax = entry ? 0.0 : traded * c.tax_ratio;
  return {c.exec->min_fee, tax, c.exec->min_fee + tax};
}

// The quantity of a partial fill in whole lots, rounded toward zero: the
// holding's change `change` (at the reference price) becomes a whole number
// of lots times the price. Returns NaN when no lot applies (no lot for the
// stock, no capital, or no price to count shares with).
double lot_shares(const TradeCosts& c, int sid, double change) {
  const Execution& x = *c.exec;
  const double lot = x.lot_of(sid);
  if (!(lot > 0.0) || !(x.capital > 0.0) || !(c.price > 0.0) || !std::isfinite(c.price)) {
    return std::nan("");
  }
  const double shares = change * x.capital / c.price;
  return std::trunc(shares / lot) * lot;
}

// A partial fill under the account's rules, planned before anything changes:
// how much money moves (`amount`, the unit portfolio's order), the holding's
// change and what the fill costs.
struct Plan {
  bool trades = false;
  double amount = 0.0;   // position - held: cash paid on a buy, value sold on a sale
  double change = 0.0;   // the holding's change at the reference price
  double cash_delta = 0.0;
  Charge charge{0.0, 0.0, 0.0};
  double slippage = 0.0;
  double requested = 0.0;
  double shares = std::nan("");
};

// A buy pays `amount`; the fee (and the tax when it covers a short) comes
// out of it as the unit portfolio's buy does, and the rest buys at the price
// moved up by the slippage.
Plan plan_buy(const TradeCosts& c, int sid, double amount, bool entry) {
  const double s = c.exec->slippage;
  Plan p;
  p.charge = charge_of(amount, entry, c);
  double at_fill = amount - p.charge.total;
  if (!(at_fill > 0.0)) return p;  // the minimum fee eats the order: not placed
  p.change = at_fill / (1.0 + s);
  p.requested = p.change;
  p.amount = amount;
  const double q = lot_shares(c, sid, p.change);
  if (!std::isnan(q)) {
    if (q == 0.0) return p;
    p.shares = q;
    p.change = q * c.price / c.exec->capital;
    at_fill = p.change * (1.0 + s);
    // The money that buys exactly these lots, fee included by the same rule.
    const double rate = entry ? c.fee_ratio : c.fee_ratio + c.tax_ratio;
    double paid = at_fill / (1.0 - rate);
    if (paid * c.fee_ratio < c.exec->min_fee) {
      paid = (at_fill + c.exec->min_fee) / (1.0 - (entry ? 0.0 : c.tax_ratio));
    }
    p.amount = paid;
    p.charge = charge_of(paid, entry, c);
  }
  p.slippage = (p.amount - p.charge.total) - p.change;
  if (s == 0.0) p.slippage = 0.0;
  p.cash_delta = -p.amount;
  p.trades = true;
  return p;
}

// A sale gives up `value` of the holding (at the reference price) and
// receives it at the price moved down by the slippage, less the fee and tax.
Plan plan_sale(const TradeCosts& c, int sid, double value, bool entry) {
  Plan p;
  p.requested = -value;
  const double q = lot_shares(c, sid, value);
  if (!std::isnan(q)) {
    if (q == 0.0) return p;
    p.shares = -q;
    value = q * c.price / c.exec->capital;
  }
  const double at_fill = value * (1.0 - c.exec->slippage);
  p.charge = charge_of(at_fill, entry, c);
  if (!(at_fill - p.charge.total > 0.0)) return p;  // the minimum fee eats the sale
  p.slippage = value - at_fill;
  p.amount = -value;
  p.change = -value;
  p.cash_delta = at_fill - p.charge.total;
  p.trades = true;
  return p;
}

}  // namespace

double numpy_abs_sum(const View1D<double>& x, std::vector<double>& scratch) {
  scratch.resize(static_cast<std::size_t>(x.size));
  for (std::int64_t i = 0; i < x.size; ++i) scratch[i] = std::fabs(x.get(i));
  // The reduction starts from the additive identity and hands the whole
  // contiguous array to one pairwise kernel call.
  return 0.0 + pairwise_sum(scratch.data(), x.size);
}

double set_position(Book& p, int sid, double position, double cash, TradeCosts costs,
                    bool check_null, bool set_null, double balance, RunHooks& hooks) {
  return set_position(p, p.lower_bound(sid), sid, position, cash, costs, check_null, set_null,
                      balance, hooks);
}

double set_position(Book& p, Book::iterator lower, int sid, double position, double cash,
                    TradeCosts costs, bool check_null, bool set_null, double balance,
                    RunHooks& hooks) {
  return with_frame(kSetPosition, [&]() -> double {
    auto found = lower != p.end() && lower->first == sid ? lower : p.end();
    const bool exist = check_null ? found != p.end() : true;

    // Under an account's rules a partial fill is planned first: lots and a
    // minimum fee may cut it, or leave nothing worth placing (the holding
    // then stays as it is, as an order for its own size would).
    Plan plan;
    const bool planned = costs.exec != nullptr && position != 0.0;
    if (planned) {
      const double held = found != p.end() ? found->second : 0.0;
      const double amount = position - held;
      const bool entry = (amount > 0 && position >= 0) || (amount < 0 && position <= 0);
      if (amount > 0) {
        plan = plan_buy(costs, sid, amount, entry);
      } else if (amount < 0) {
        plan = plan_sale(costs, sid, -amount, entry);
      }
      if (!plan.trades) plan = Plan{};  // nothing placed: nothing moves, nothing is charged
      // A plan that leaves nothing held closes the holding as any close does.
      position = held + plan.change == 0.0 ? 0.0 : held + plan.amount;
      if (position == 0.0 && found == p.end()) return cash;
    }

    const bool prev_has_position = found != p.end() && found->second != 0.0;
    const bool next_has_position = position != 0.0;

    // Report to the excursion recorder before anything changes, so a failure
    // leaves book and cash as they were.
    if (!prev_has_position && next_has_position) {
      hooks.record_entry(sid, weight_of(position, balance), 1);
    } else if (prev_has_position && !next_has_position) {
      hooks.record_exit(sid, 1);
    } else if (prev_has_position && next_has_position) {
      if (hooks.split_on_resize()) {
        hooks.record_exit(sid, 0);
        hooks.record_entry(sid, weight_of(position, balance), 0);
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
        // the slippage moves its price against it.
        const double slip = std::fabs(held) * costs.exec->slippage;
        const double at_fill = held > 0 ? std::fabs(held) - slip : std::fabs(held) + slip;
        const Charge ch = charge_of(at_fill, false, costs);
        if (hooks.records_fills()) {
          FillReport f;
          f.before = held;
          f.fee = ch.fee;
          f.tax = ch.tax;
          f.slippage = slip;
          hooks.record_fill(sid, f);
        }
        return cash + ((held - slip) - ch.total);
      }
      const double charged = std::fabs(held) * (costs.fee_ratio + costs.tax_ratio);
      if (hooks.records_fills()) report_fill(hooks, sid, held, 0.0, std::fabs(held), charged, false, costs);
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
        f.requested = plan.requested;
        f.shares = plan.shares;
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
      report_fill(hooks, sid, before, after, std::fabs(amount), cost, is_entry, costs);
    }
    return cash;
  });
}

double rebalance(Book& p, const View1D<double>& newp, double cash, TradeCosts costs,
                 double position_limit, RunHooks& hooks, std::vector<double>& scratch,
                 double max_gross, const TradePrices* prices) {
  return with_frame(kRebalance, [&]() -> double {
    double balance = cash;
    for (const auto& kv : p) balance += kv.second;
    const double gross = numpy_abs_sum(newp, scratch);
    // max(gross, 1), NaN kept; under leverage, gross / max_gross once above it.
    const double divisor = max_gross == 1.0 ? (1 > gross ? 1.0 : gross)
                                            : (max_gross >= gross ? 1.0 : gross / max_gross);
    double ratio = balance / divisor;
    if (std::isnan(ratio)) ratio = 1.0;
    const double cap = position_limit * balance;
    // A zero target for a stock not in the book trades and records nothing,
    // so only held stocks and nonzero targets reach set_position; the book's
    // keys are followed with a cursor in the same ascending order.
    auto cursor = p.begin();
    for (std::int64_t sid = 0; sid < newp.size; ++sid) {
      if (sid > INT_MAX) fail(ErrorKind::OverflowError, "value too large to convert to int");
      double v2 = newp.get(sid) * ratio;
      if (std::fabs(v2) > cap) v2 = cap * (v2 > 0 ? 1 : -1);
      while (cursor != p.end() && cursor->first < sid) ++cursor;
      if (v2 == 0.0 && (cursor == p.end() || cursor->first != sid)) continue;
      const int key = static_cast<int>(sid);
      // set_position changes the slot of `key` only: the slots before it stay
      // where they are, so the cursor comes back at the same place (past
      // `key` if it is still or newly held).
      const auto at = cursor - p.begin();
      if (prices != nullptr) costs.price = prices->of(sid);
      cash = set_position(p, cursor, key, v2, cash, costs, true, true, balance, hooks);
      cursor = p.begin() + at;
      if (cursor != p.end() && cursor->first == key) ++cursor;
    }
    return cash;
  });
}

}  // namespace pelmora
