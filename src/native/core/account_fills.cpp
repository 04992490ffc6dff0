#include "core/account_fills.hpp"

#include <cmath>

namespace pelmora {

namespace {

// Shares rounded to whole lots of the stock (as they are without lots).
double in_lots(const TradeCosts& c, int sid, double shares) {
  const double lot = c.exec->lot_of(sid);
  return lot > 0.0 ? whole_lots(shares, lot) : shares;
}

// Whether a fill must be counted in shares: lots, or a cap it exceeds.
bool counted(const TradeCosts& c, int sid) { return c.exec->lot_of(sid) > 0.0 || std::isfinite(c.cap); }

// Asked for `want` shares (> 0), how many may fill now: whole lots, at most the cap.
// An order that closes a holding asks for all of it, lots or not; only what
// one row fills of it is rounded.
double fillable(const TradeCosts& c, int sid, double want, double& unfilled, bool whole = false) {
  const double asked = whole ? want : in_lots(c, sid, want);
  double q = asked;
  if (q > c.cap) q = in_lots(c, sid, c.cap);
  if (!(q > 0.0)) q = 0.0;  // a NaN or negative cap fills nothing
  unfilled = asked - q;
  // Shares counted from values carry rounding: a remainder that small a
  // part of the order is that rounding, not an order.
  if (unfilled <= kShareTolerance * asked) unfilled = 0.0;
  return q;
}

// A capped fill that placed nothing (its minimum fee eats it) leaves its
// whole order open: the shares the cap allowed are still to trade.
void keep_unplaced(Plan& p, double q, double& unfilled) {
  if (!p.trades && unfilled != 0.0) unfilled += q;
}

// What moving a buy's price by the slippage and the impact `i` cost, of the
// `moved` money between what was paid for the holding and what it holds,
// split into its two causes: the impact takes the last rounding, so that
// the parts add up to the money moved.
void split_buy_move(Plan& p, double change, double moved, double i, double slippage) {
  p.slippage = i > 0.0 ? change * slippage : (slippage == 0.0 ? 0.0 : moved);
  p.impact = i > 0.0 ? moved - p.slippage : 0.0;
}

// The buy of exactly q > 0 shares: the money that buys them, fee included
// by the buy's own rule.
Plan exact_buy(const TradeCosts& c, double q, bool entry) {
  const Execution& x = *c.exec;
  Plan p;
  p.shares = q;
  p.change = q * c.price / x.capital;
  const double i = impact_of(c, q);
  const double at_fill = p.change * (1.0 + x.slippage + i);
  const double rate = entry ? c.fee_ratio : c.fee_ratio + c.tax_ratio;
  double paid = at_fill / (1.0 - rate);
  if (paid * c.fee_ratio < x.min_fee) {
    paid = (at_fill + x.min_fee) / (1.0 - (entry ? 0.0 : c.tax_ratio));
  }
  p.amount = paid;
  p.charge = charge_of(paid, entry, c);
  split_buy_move(p, p.change, (paid - p.charge.total) - p.change, i, x.slippage);
  p.cash_delta = -paid;
  p.trades = true;
  return p;
}

// The sale of `value` of the holding (at the reference price) for its price
// moved down by the slippage and the impact of `shares` (NaN: uncounted).
Plan sale_of(const TradeCosts& c, double value, double shares, bool entry) {
  const Execution& x = *c.exec;
  Plan p;
  const double i = std::isnan(shares) ? 0.0 : sale_impact(impact_of(c, shares), x.slippage);
  const double at_fill = i > 0.0 ? value * (1.0 - x.slippage - i) : value * (1.0 - x.slippage);
  p.charge = charge_of(at_fill, entry, c);
  if (!(at_fill - p.charge.total > 0.0)) return Plan{};  // the fee eats the sale: not placed
  p.slippage = i > 0.0 ? value * x.slippage : value - at_fill;
  p.impact = i > 0.0 ? (value - at_fill) - p.slippage : 0.0;
  p.amount = -value;
  p.change = -value;
  p.cash_delta = at_fill - p.charge.total;
  p.shares = shares;
  p.trades = true;
  return p;
}

}  // namespace

double impact_of(const TradeCosts& c, double shares) {
  const double k = c.exec->impact;
  if (!(k > 0.0) || !(c.sigma > 0.0) || !(c.volume > 0.0)) return 0.0;
  return k * c.sigma * std::sqrt(std::fabs(shares) / c.volume);
}

Charge charge_of(double traded, bool entry, const TradeCosts& c) {
  if (traded == 0.0) return {};  // nothing traded pays nothing
  // The rates' charge, in the unit portfolio's very expression, while the
  // fee rate reaches the minimum; else the minimum and the tax.
  const double rate_fee = traded * c.fee_ratio;
  if (!(rate_fee < c.exec->min_fee)) {
    if (entry) return {rate_fee, 0.0, traded * c.fee_ratio};
    const double total = traded * (c.fee_ratio + c.tax_ratio);
    return {rate_fee, total - rate_fee, total};
  }
  const double tax = entry ? 0.0 : traded * c.tax_ratio;
  return {c.exec->min_fee, tax, c.exec->min_fee + tax};
}

Plan plan_buy(const TradeCosts& c, int sid, double amount, bool entry) {
  const Execution& x = *c.exec;
  const Charge charge = charge_of(amount, entry, c);
  const double at_fill = amount - charge.total;
  if (!(at_fill > 0.0)) return Plan{};  // the minimum fee eats the order: not placed
  double change = at_fill / (1.0 + x.slippage);
  double i = 0.0;
  if (priced(c)) {
    // The impact of the order's size before its own impact is counted.
    i = impact_of(c, change * x.capital / c.price);
    if (i > 0.0) change = at_fill / (1.0 + x.slippage + i);
  }
  if (!priced(c) && std::isfinite(c.cap)) return Plan{};  // capped, no price to count: not placed
  // A fill pays the impact of the shares it moves: with an impact the buy
  // is counted in shares as with lots or a cap, and what the smaller impact
  // of the shares it buys leaves of the money stays in cash.
  if (priced(c) && (counted(c, sid) || i > 0.0)) {
    const double want = change * x.capital / c.price;
    double unfilled = 0.0;
    const double q = fillable(c, sid, want, unfilled);
    Plan p = q > 0.0 ? exact_buy(c, q, entry) : Plan{};
    p.requested = change;
    p.requested_shares = want;
    p.unfilled = unfilled;
    return p;
  }
  Plan p;
  p.amount = amount;
  p.change = change;
  p.requested = change;
  p.charge = charge;
  split_buy_move(p, change, at_fill - change, i, x.slippage);
  p.cash_delta = -amount;
  p.trades = true;
  return p;
}

Plan plan_sale(const TradeCosts& c, int sid, double value, bool entry) {
  const Execution& x = *c.exec;
  if (priced(c)) {
    const double want = value * x.capital / c.price;
    if (counted(c, sid)) {
      double unfilled = 0.0;
      const double q = fillable(c, sid, want, unfilled);
      Plan p = q > 0.0 ? sale_of(c, q * c.price / x.capital, -q, entry) : Plan{};
      keep_unplaced(p, q, unfilled);
      p.requested = -value;
      p.requested_shares = -want;
      p.unfilled = -unfilled;
      return p;
    }
    Plan p = sale_of(c, value, -want, entry);
    p.requested = -value;
    return p;
  }
  if (std::isfinite(c.cap)) return Plan{};  // capped, no price to count: not placed
  Plan p = sale_of(c, value, std::nan(""), entry);
  p.requested = -value;
  return p;
}

Plan plan_shares(const TradeCosts& c, int sid, double shares, bool entry, bool whole) {
  if (shares == 0.0) return Plan{};
  Plan p;
  if (!priced(c)) {
    p.unfilled = shares;  // no price to count by: the order waits whole
    return p;
  }
  double unfilled = 0.0;
  const double q = fillable(c, sid, std::fabs(shares), unfilled, whole);
  if (q > 0.0) {
    p = shares > 0 ? exact_buy(c, q, entry) : sale_of(c, q * c.price / c.exec->capital, -q, entry);
  }
  p.requested_shares = shares;
  p.requested = shares * c.price / c.exec->capital;
  // An order left unfilled stays pending in full, whether the cap or its
  // minimum fee kept it from trading.
  p.unfilled = !p.trades ? shares : shares > 0 ? unfilled : -unfilled;
  return p;
}

Plan plan_capped_close(const TradeCosts& c, int sid, double held) {
  if (!std::isfinite(c.cap) || held == 0.0 || std::isnan(held)) return Plan{};
  if (!priced(c)) {
    Plan p;  // no price ever known to count the shares by: nothing trades yet
    p.holds = true;
    return p;
  }
  const double all = held * c.exec->capital / c.price;  // shares held, signed
  if (std::fabs(all) <= c.cap) return Plan{};
  // A closing order is no entry: it pays the tax; the rest waits.
  Plan p = plan_shares(c, sid, -all, false, true);
  p.holds = true;
  return p;
}

}  // namespace pelmora
