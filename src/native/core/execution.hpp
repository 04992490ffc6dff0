// How an account trades beyond the unit portfolio: its capital, whole lots,
// slippage, a minimum fee per fill, leverage and the financing of cash and
// shorts. All of it is off by default, and a run with everything off takes
// the very arithmetic of a run without any of it.
//
// Money stays in portfolio units (the run starts with 1.0 of cash); the
// capital turns units into currency where a rule is stated in currency (a
// minimum fee) or in shares (lots).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "core/views.hpp"

namespace pelmora {

struct Execution {
  double capital = 0.0;      // the account at the start in currency; 0: none
  double lot_all = 0.0;      // one lot size for every stock; 0: none
  std::vector<double> lots;  // a lot size per stock (0 or NaN: none); empty: lot_all
  double slippage = 0.0;     // fraction of the trading price paid on every fill
  double min_fee = 0.0;      // least fee of a fill, in portfolio units (currency / capital)
  double max_gross = 1.0;    // rows whose absolute weights add to more are scaled to it
  // The equity at a close below this fraction of the gross held closes the
  // book (a margin call); 0: only an equity of 0 or less does.
  double maintenance_margin = 0.0;
  double cash_rate = 0.0;    // annual, on positive cash
  double borrow_rate = 0.0;  // annual, on negative cash
  double short_fee = 0.0;    // annual, on the absolute value of the shorts
  double day_length = 86400e9;  // price-index units in one calendar day (ns by default)
  // Liquidity: shares traded per row and price column; no fill moves more
  // than max_participation of them (0: no cap). The impact coefficient
  // moves the fill price by impact * sigma * sqrt(shares / volume), sigma
  // from the close-to-close log returns of the impact_window rows before.
  View2D<double> volume;
  bool has_volume = false;
  double max_participation = 0.0;
  double impact = 0.0;
  int impact_window = 20;

  bool has_lots() const { return lot_all > 0.0 || !lots.empty(); }
  // Whether a fill's arithmetic differs from the unit portfolio's.
  bool caps() const { return has_volume && max_participation > 0.0; }
  bool impacts() const { return has_volume && impact > 0.0; }
  bool changes_fills() const {
    return slippage != 0.0 || min_fee > 0.0 || has_lots() || caps() || impacts();
  }
  bool finances() const { return cash_rate != 0.0 || borrow_rate != 0.0 || short_fee != 0.0; }
  // An account (a capital) without leverage never borrows: its rebalances
  // cut their buys to the cash the rest of the rebalance leaves.
  bool keeps_cash() const { return capital > 0.0 && max_gross <= 1.0; }
  // The lot of stock `sid` (0: trade any quantity).
  double lot_of(int sid) const {
    if (lots.empty()) return lot_all;
    if (sid < 0 || static_cast<std::size_t>(sid) >= lots.size()) return 0.0;
    const double lot = lots[static_cast<std::size_t>(sid)];
    return lot > 0.0 ? lot : 0.0;  // NaN: none
  }
};

// One fill as set_position carried it out, for the hooks that record fills.
// `before`/`after` are the holding's value at the reference price (the price
// the book values it at); fee, tax and slippage are what the cash paid beyond
// the change of the holding: cash moves by
// before - after - fee - tax - slippage - impact - written_off.
struct FillReport {
  double before = 0.0, after = 0.0, fee = 0.0, tax = 0.0;
  double slippage = 0.0, impact = 0.0;
  // The holding's value lost when a delisting left shares unsold.
  double written_off = 0.0;
  // The change of the holding the order asked for, at the reference price
  // (NaN: the fill is what was asked for), and in shares when it was counted.
  double requested = std::nan("");
  double requested_shares = std::nan("");
  // The shares moved when counted exactly (NaN: from the values).
  double shares = std::nan("");
  // False: an order that placed nothing (the record of a split still closes).
  bool placed = true;
};

}  // namespace pelmora
