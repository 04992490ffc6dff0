// The fills of an account (capital, lots, slippage, a minimum fee, volume
// caps and market impact), planned before set_position changes anything.
//
// The unit portfolio's conventions hold: a buy pays an amount of money and
// its fee (and, covering a short, its tax) comes out of that amount; a sale
// gives up value of the holding and receives it less its fee and tax. On
// top, the fill price moves against the trade by the slippage and the
// impact, lots round the shares toward zero, and a cap leaves the rest of
// the order unfilled.
#pragma once

#include <cmath>

#include "core/book.hpp"

namespace pelmora {

// Shares counted from values carry a few ulps of rounding (a target of 8,750
// shares arrives as 8749.99999999999): a count within this fraction of
// itself of a whole number of lots is that number. The one rule of rounding
// to lots (whole_lots); the order ticket (src/pelmora/results/_ticket.py) rounds with
// the same value, and a remainder of an order within it is no order.
inline constexpr double kShareTolerance = 1e-9;

// `shares` rounded toward zero to whole lots of `lot` (> 0), a count within
// kShareTolerance of a whole number of lots snapping to it.
inline double whole_lots(double shares, double lot) {
  const double n = shares / lot;
  const double nearest = std::nearbyint(n);
  return (std::fabs(n - nearest) <= kShareTolerance * std::fabs(n) ? nearest : std::trunc(n)) * lot;
}

// Whether a holding a fill leaves at `left`, from `held`, is only the
// rounding of values that should have cancelled: no holding.
inline bool residue(double left, double held) {
  return std::fabs(left) <= kShareTolerance * std::fabs(held);
}

// The most a sale's impact takes of its price after the slippage: however
// large the order, a sale fills at no less than half of that price, never at
// zero or below (a buy's impact only raises its price).
inline constexpr double kMostSaleImpact = 0.5;
inline double sale_impact(double i, double slippage) {
  const double most = (1.0 - slippage) * kMostSaleImpact;
  return i > most ? most : i;
}

struct Charge {
  double fee = 0.0, tax = 0.0, total = 0.0;
};

struct Plan {
  bool trades = false;
  double amount = 0.0;      // the money of the order: cash paid on a buy, value sold on a sale
  double change = 0.0;      // the holding's change at the reference price
  double cash_delta = 0.0;  // what the cash gains (negative on a buy)
  Charge charge;
  double slippage = 0.0, impact = 0.0;
  double requested = 0.0;   // the change asked for, at the reference price
  double requested_shares = std::nan("");  // the order in shares when it was counted in shares
  double shares = std::nan("");            // the shares moved when counted exactly
  double unfilled = 0.0;    // signed shares the cap left for later (all of them when nothing traded)
  bool holds = false;       // a capped close: the holding stays, partly sold at most
};

// A buy of `amount` of money (entry: it opens or adds to a long).
Plan plan_buy(const TradeCosts& c, int sid, double amount, bool entry);
// A sale of `value` of the holding (entry: it opens or adds to a short).
Plan plan_sale(const TradeCosts& c, int sid, double value, bool entry);
// Exactly `shares` (signed: + buys), a pending order's fill; `whole`: the
// order closes the holding, so its remainder is not rounded to lots.
Plan plan_shares(const TradeCosts& c, int sid, double shares, bool entry, bool whole = false);
// The close of holding `held` when a cap keeps it from closing at once
// (`holds`: a partial fill, or none on a row without volume); a plan that
// does not hold lets the whole holding go.
Plan plan_capped_close(const TradeCosts& c, int sid, double held);
// Whether the fill has a price and a capital to count shares with.
inline bool priced(const TradeCosts& c) {
  return c.exec->capital > 0.0 && c.price > 0.0 && std::isfinite(c.price);
}
// The charge of a fill of `traded` at the fill price (entry: no tax).
Charge charge_of(double traded, bool entry, const TradeCosts& c);
// The impact of moving `shares` as a fraction of the price (0: none).
double impact_of(const TradeCosts& c, double shares);

}  // namespace pelmora
