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
  double unfilled = 0.0;    // signed shares the cap left for later
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
