"""The account options of the journal: capital, lots, slippage, minimum fee, leverage, financing."""

from __future__ import annotations

import math
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import pelmora
from pelmora.core import journal
from run_helpers import build
from test_journal import market_run

DAY = 86_400 * 10**9


def run(inp, **kw):
    kw.setdefault("fee_ratio", 0.0)
    kw.setdefault("tax_ratio", 0.0)
    return journal.run(*inp.args(), **kw)


def test_lots_round_the_shares_down_and_keep_the_rest_in_cash():
    r = run(build([33, 33, 33], [1.0]), capital=10_000, lot_size=100)
    f = r["fills"]
    assert f["shares"].tolist() == [300.0]
    assert f["requested"][0] == pytest.approx(10_000 / 33)
    assert r["cash"][1] * 10_000 == pytest.approx(100)
    assert r["creturn"][-1] == pytest.approx(1.0)


def test_a_minimum_fee_comes_out_of_the_buy():
    r = run(build([10, 10, 10], [1.0]), capital=1_000, min_fee=5, fee_ratio=0.001)
    assert r["fills"]["fee"][0] * 1_000 == pytest.approx(5)
    assert r["fills"]["after"][0] * 1_000 == pytest.approx(995)


def test_slippage_moves_both_fills_against_the_trade():
    r = run(build([10] * 4, [[1.0], [0.0]]), slippage=0.01, capital=1_000)
    f, t = r["fills"], r["trades"]
    assert f["price"].tolist() == pytest.approx([10.1, 9.9])
    assert f["shares"].tolist() == pytest.approx([1_000 / 10.1, -1_000 / 10.1])
    assert r["creturn"][-1] == pytest.approx(9.9 / 10.1)
    assert t["cost"].sum() == pytest.approx(f["slippage"].sum())
    assert t["pnl"].sum() == pytest.approx(r["creturn"][-1] - 1)


def test_a_year_of_borrowing_for_a_2x_book_on_flat_prices():
    n = 366
    inp = build([[10, 20]] * n, [1.0, 1.0], price_index=np.arange(n) * DAY)
    r = run(inp, max_gross=2.0, borrow_rate=0.05)
    assert r["cash"][1] == -1.0
    assert r["creturn"][-1] == pytest.approx(2 - math.exp(0.05), abs=2e-4)
    m = r["financing"]
    assert (m["days"] == 1.0).all() and (m["interest"][1:] < 0).all()
    assert r["creturn"][-1] - 1 == pytest.approx(m["interest"].sum())


def test_a_100_100_book_pays_the_short_fee_and_earns_on_its_cash():
    n = 31
    inp = build([[10, 20]] * n, [1.0, -1.0], price_index=np.arange(n) * DAY)
    r = run(inp, max_gross=2.0, short_fee=0.01, cash_rate=0.02)
    m = r["financing"]
    # The first day's interest is on the cash of 1.0 before the trades; the long is paid
    # with the short's proceeds, and the shorts are charged from the day after.
    assert m["row"][0] == 1 and r["cash"][1] == 1.0 + m["interest"][0]
    assert m["short_value"].tolist() == pytest.approx([0.0] + [1.0] * 29, rel=1e-4)
    assert m["short_fee"].sum() == pytest.approx(29 * 0.01 / 365, rel=1e-4)
    assert r["creturn"][-1] - 1 == pytest.approx(m["interest"].sum() - m["short_fee"].sum())
    assert sum(abs(v) for v in r["next_period"]["next_weights"].values()) == pytest.approx(2.0)


RATE = "must be a finite annual rate from 0 to 100 (10,000 % a year), got"
CASH_RATE = "cash_rate must be a finite annual rate above -1 and at most 100 (10,000 % a year), got"
NEEDS_CAPITAL = ("needs capital: it compares the shares of a fill with the day's volume, and shares "
                 "need the account's value in currency (give capital=...)")

# What pelmora.backtest refuses, the journal refuses in the same words: a bool is never a number
# (NumPy's neither), rates end at 100 a year.
REFUSED = [
    ({"capital": -1.0}, ValueError, "capital must be a finite number above 0 (the account's value "
                                    "in currency) or None, got -1.0"),
    ({"capital": "1e6"}, TypeError, "capital must be a number, got str"),
    ({"capital": True}, TypeError, "capital must be a number, got bool"),
    ({"capital": np.True_}, TypeError, "capital must be a number, got bool"),
    ({"capital": 10**400}, ValueError,
     "capital must be a number a float can hold, got an integer of 1329 bits"),
    ({"lot_size": 100}, ValueError, "lot_size needs capital: lots are whole numbers of shares, and "
                                    "shares need the account's value in currency (give capital=...)"),
    ({"capital": 1e6, "lot_size": 0.0}, ValueError,
     "lot_size must be a finite number of shares above 0, got 0.0"),
    ({"slippage": 1.0}, ValueError, "slippage must be at least 0 and below 1, got 1.0"),
    ({"slippage": np.False_}, TypeError, "slippage must be a number, got bool"),
    ({"min_fee": -1.0}, ValueError, "min_fee must be a finite amount of currency, 0 or more, got -1.0"),
    ({"min_fee": 1.0}, ValueError,
     "min_fee needs capital: it is an amount of currency per fill (give capital=...)"),
    ({"max_gross": 0.0}, ValueError, "max_gross must be a finite number above 0, got 0.0"),
    ({"cash_rate": True}, TypeError, "cash_rate must be a number, got bool"),
    ({"cash_rate": np.True_}, TypeError, "cash_rate must be a number, got bool"),
    ({"cash_rate": 1e300}, ValueError, f"{CASH_RATE} 1e+300"),
    ({"cash_rate": -1.0}, ValueError, f"{CASH_RATE} -1.0"),
    ({"borrow_rate": math.nan}, ValueError, f"borrow_rate {RATE} nan"),
    ({"borrow_rate": 100.5}, ValueError, f"borrow_rate {RATE} 100.5"),
    ({"short_fee": -0.01}, ValueError, f"short_fee {RATE} -0.01"),
    ({"max_participation": np.True_}, TypeError, "max_participation must be a number or None, got bool"),
    ({"capital": 1e5, "max_participation": 1.5}, ValueError,
     "max_participation must be a fraction of the day's volume above 0 and at most 1, or None, "
     "got 1.5"),
    ({"max_participation": 0.1}, ValueError, f"max_participation {NEEDS_CAPITAL}"),
    ({"impact": 0.5}, ValueError, f"impact {NEEDS_CAPITAL}"),
    ({"impact": -0.1}, ValueError, "impact must be a finite coefficient, 0 or more, got -0.1"),
    ({"impact_window": 1}, ValueError, "impact_window must be 2 or more (days of returns), got 1"),
    ({"impact_window": np.int64(1)}, ValueError,
     "impact_window must be 2 or more (days of returns), got 1"),
    ({"impact_window": 2.0}, TypeError, "impact_window must be an integer, got float"),
    ({"impact_window": np.True_}, TypeError, "impact_window must be an integer, got bool"),
    ({"impact_window": 2**31}, ValueError,
     "impact_window must be below 2**31, got an integer of 32 bits"),
    ({"maintenance_margin": 1.0}, ValueError,
     "maintenance_margin must be at least 0 and below 1, got 1.0"),
    ({"maintenance_margin": -0.1}, ValueError,
     "maintenance_margin must be at least 0 and below 1, got -0.1"),
    ({"maintenance_margin": "0.5"}, TypeError, "maintenance_margin must be a number, got str"),
]


@pytest.mark.parametrize("kw, error, text", REFUSED)
def test_account_options_are_refused_as_backtest_refuses_them(kw, error, text):
    with pytest.raises(error) as raised:
        run(build([10, 10], [1.0]), **kw)
    assert str(raised.value) == text
    got = journal.run_many(build([10, 10], [1.0]).kwargs(), [{**kw}])[0]
    assert type(got) is error and str(got) == text
    with pytest.raises(error) as raised:
        pelmora.BacktestOptions(**kw)
    assert str(raised.value) == text


@pytest.mark.parametrize("kw", [
    {"capital": np.float64(1e6), "lot_size": np.float64(100)},
    {"capital": 1e6, "impact_window": np.int64(5)},
    {"cash_rate": -0.999, "borrow_rate": 100, "short_fee": 0},
])
def test_numpy_numbers_and_the_edges_of_the_rates_are_taken(kw):
    r = run(build([10, 10, 11], [1.0]), **kw)
    assert r["creturn"][-1] > 0


def test_the_journal_refuses_with_the_texts_pelmora_options_formats():
    # One table for both layers: pelmora.options formats these very strings.
    assert journal.OPTION_TEXTS["rate"].format(name="short_fee", value="-0.01") == f"short_fee {RATE} -0.01"
    assert journal.MAX_RATE == 100.0


def test_a_day_length_in_the_wrong_unit_is_refused_when_interest_accrues():
    # 1.0 with nanosecond dates made a day 8.64e13 days long: the equity was 7e9 after one row.
    inp = build([10.0, 10.0, 11.0], [1.0], price_index=np.arange(3) * DAY)
    with pytest.raises(ValueError) as raised:
        run(inp, cash_rate=0.05, day_length=1.0)
    assert str(raised.value) == (
        "day_length must be the price index's units in one day (86400000000000 for nanosecond "
        "dates): with 1.0, price rows 0 and 1 are 86400000000000.0 days apart, more than 36525 "
        "(100 years)")
    assert run(inp, cash_rate=0.05, day_length=DAY)["creturn"][-1] == pytest.approx(1.1, rel=1e-3)
    # Without a rate nothing accrues and the day's length is never read.
    assert run(inp, day_length=1.0)["creturn"][-1] == pytest.approx(1.1)


@pytest.mark.parametrize("days", [36525, 36526])
def test_a_century_between_two_price_dates_is_the_longest_step_taken(days):
    inp = build([10.0, 10.0, 10.0], [0.5], price_index=np.array([0, DAY, DAY + days * DAY]))
    if days > 36525:
        with pytest.raises(ValueError) as raised:
            run(inp, borrow_rate=0.01)
        assert str(raised.value) == (
            "day_length must be the price index's units in one day (86400000000000 for "
            "nanosecond dates): with 86400000000000.0, price rows 1 and 2 are 36526.0 days apart, "
            "more than 36525 (100 years)")
    else:
        assert run(inp, borrow_rate=0.01)["financing"]["days"].tolist() == [1.0, 36525.0]


@st.composite
def account_run(draw):
    inp, opts = draw(market_run())
    capital = draw(st.sampled_from([1e3, 1e5, 1e7]))
    opts.update(
        capital=capital,
        lot_size=draw(st.sampled_from([None, 1.0, 10.0, 100.0])),
        slippage=draw(st.sampled_from([0.0, 0.001, 0.02])),
        min_fee=draw(st.sampled_from([0.0, 1.0, 5.0])),
        max_gross=draw(st.sampled_from([1.0, 1.5, 2.0])),
        position_limit=draw(st.sampled_from([1.0, 2.0])),
        cash_rate=draw(st.sampled_from([0.0, 0.03])),
        borrow_rate=draw(st.sampled_from([0.0, 0.07])),
        short_fee=draw(st.sampled_from([0.0, 0.02])),
        day_length=1.0,
        maintenance_margin=draw(st.sampled_from([None, 0.0, 0.3])),
    )
    if draw(st.booleans()):
        shape = inp.price_values.shape
        volume = st.sampled_from([0.0, math.nan, 50.0, 1e3, 1e6])
        opts.update(
            volume=np.array(draw(st.lists(volume, min_size=shape[0] * shape[1],
                                          max_size=shape[0] * shape[1]))).reshape(shape),
            max_participation=draw(st.sampled_from([None, 0.05, 0.5])),
            impact=draw(st.sampled_from([0.0, 0.5])),
            impact_window=draw(st.integers(2, 5)),
        )
    return inp, opts


@settings(max_examples=150)
@given(account_run())
def test_the_ledger_reconciles_under_every_account_option(case):
    inp, opts = case
    r = journal.run(*inp.args(), **opts)
    creturn, cash, f, m = r["creturn"], r["cash"], r["fills"], r["financing"]
    replay, c = np.ones(len(creturn)), 1.0
    for d in range(len(creturn)):
        for k in np.flatnonzero(m["row"] == d):
            assert m["balance"][k] == pytest.approx(c, rel=1e-9, abs=1e-12)
            c += m["interest"][k] - m["short_fee"][k]
        for k in np.flatnonzero(f["row"] == d):
            c += (f["before"][k] - f["after"][k]) - f["fee"][k] - f["tax"][k] - f["slippage"][k] \
                - f["impact"][k] - f["written_off"][k]
        replay[d] = c
    assert np.allclose(replay, cash, rtol=1e-9, atol=1e-12, equal_nan=True)
    pos = r["positions"]
    for d in range(len(creturn)):
        held = pos["value"][pos["row"] == d].sum()
        assert math.isclose(cash[d] + held, creturn[d], rel_tol=1e-9, abs_tol=1e-12) or math.isnan(
            creturn[d])
    if not math.isnan(creturn[-1]):
        line = r["trades"]["pnl"].sum() + m["interest"].sum() - m["short_fee"].sum()
        assert line == pytest.approx(creturn[-1] - 1, rel=1e-9, abs=1e-12)
    if opts["lot_size"]:
        lots = f["shares"][~f["suspended"]] / opts["lot_size"]
        partial = f["after"][~f["suspended"]] != 0
        assert np.allclose(lots[partial], np.round(lots[partial]))
    placed = f["written_off"] == 0
    assert (f["slippage"] >= 0).all() and (f["written_off"] >= 0).all()
    # (An impact as large as the price leaves a sale nothing to pay a fee on.)
    charged = placed & (f["price"] > 0)
    assert (f["fee"][charged] * opts["capital"] >= opts["min_fee"] - 1e-9).all()
    assert (f["impact"] >= 0).all()
    assert_the_account_stops_and_never_borrows(inp, opts, r)
    if opts.get("max_participation"):
        # A short still open at its delisting is covered in full, and so is the book closed
        # when the account stops.
        traded = placed & ~((f["reason"] == journal.REASONS.index("delisting")) & (f["shares"] > 0))
        traded &= f["reason"] < journal.REASONS.index("wiped_out")
        cap = opts["max_participation"] * opts["volume"][f["row"], f["sid"]]
        assert (np.abs(f["shares"][traded]) <= np.nan_to_num(cap[traded]) * (1 + 1e-12)).all()


# --- the account at its edges ---------------------------------------------------------------

REASON = {name: k for k, name in enumerate(journal.REASONS)}
STOPS = (REASON["wiped_out"], REASON["margin_call"])


def assert_the_account_stops_and_never_borrows(inp, opts, r):
    """From the first close worth 0 or less (or below the maintenance margin) nothing trades and
    nothing is held; a long book at a gross of at most 1 never borrows."""
    creturn, cash, f, pos, stop = r["creturn"], r["cash"], r["fills"], r["positions"], r["stopped"]
    worked = inp.price_index >= inp.pos_index[0]
    gross = np.bincount(pos["row"], weights=np.abs(pos["value"]), minlength=len(creturn))
    margin = opts.get("maintenance_margin") or 0.0
    end = len(creturn) if stop is None else stop["row"]
    called = (creturn[:end] <= 0.0) | (creturn[:end] < margin * gross[:end])
    assert not (called & worked[:end]).any()
    closing = np.isin(f["reason"], STOPS)
    if stop is None:
        assert not closing.any()
    else:
        s = stop["row"]
        assert worked[s] and (stop["equity"] <= 0.0 or stop["equity"] < margin * stop["gross"])
        assert (f["row"] <= s).all() and (f["row"][closing] == s).all()
        assert closing[len(closing) - closing.sum():].all()  # the row's last fills
        assert (pos["row"] < s).all() and (creturn[s:] == cash[s:]).all()
    longs = np.nan_to_num(inp.pos_values) >= 0.0
    if longs.all() and opts.get("max_gross", 1.0) <= 1.0 and opts.get("capital"):
        assert (cash >= -1e-12 * np.abs(creturn)).all() or np.isnan(creturn).any()

# A short of the whole book on row 1 at 10; A closes at 20 on row 2, where the book is worth
# nothing, and at 25 on row 3, where the second weights (A -0.2, B 0.5, C 0) would trade.
WIPED = build([[10, 10, 10], [10, 10, 10], [20, 10, 10], [25, 10, 10]],
              [[-1.0, 0.0, 0.0], [-0.2, 0.5, 0.0]], pos_index=[0, 2])
COSTS = {"fee_ratio": 0.001425, "tax_ratio": 0.003}


@pytest.mark.parametrize("costs", [{}, COSTS])
def test_a_book_worth_nothing_is_closed_at_that_close_and_trades_no_more(costs):
    r = run(WIPED, **costs)
    f, t, creturn, cash = r["fills"], r["trades"], r["creturn"], r["cash"]
    # Sized from -0.5, the rebalance on row 3 bought B and C (weight 0) for 0.5 each.
    assert f["reason"].tolist() == [REASON["rebalance"], REASON["wiped_out"]]
    assert f["row"].tolist() == [1, 2] and f["price"][1] == 20.0
    assert (f["before"][1], f["after"][1]) == (-2.0, 0.0)
    assert r["stopped"] == {"row": 2, "reason": REASON["wiped_out"], "equity": cash[1] - 2.0,
                            "gross": 2.0}
    # The equity stays where the closing (and its costs) left it.
    paid = 2.0 * (costs.get("fee_ratio", 0.0) + costs.get("tax_ratio", 0.0))
    assert creturn[2] == (cash[1] + (-2.0 - paid)) and (creturn[2:] == cash[2]).all()
    assert t["exit_reason"].tolist() == [REASON["wiped_out"]] and t["exit_row"].tolist() == [2]
    assert t["pnl"].sum() == pytest.approx(creturn[-1] - 1, abs=1e-15)
    assert r["positions"]["row"].max() == 1
    # backtest_ and run_many walk the same rows.
    assert np.array_equal(WIPED.run(**costs), creturn)
    many = journal.run_many(WIPED.kwargs(), [{"fee_ratio": 0.0, "tax_ratio": 0.0, **costs}])[0]
    assert np.array_equal(many["creturn"], creturn) and many["stopped"] == r["stopped"]


@pytest.mark.parametrize("price, close, pos_index, fill_price, equity", [
    # A rebalance due on row 2, at a trade price of 25 (the close is 12): nothing to size its
    # targets from, so the book is closed at that price instead.
    ([10, 10, 25, 25], [10, 10, 12, 12], [0, 1], 25.0, 2.0 - 2.5),
    # No rebalance on row 2, at a trade price of 10 and a close of 21: closed at the close.
    ([10, 10, 10, 10], [10, 10, 21, 10], [0, 3], 21.0, 2.0 - 2.1),
])
def test_the_book_is_closed_where_the_equity_is_found_at_or_below_zero(
        price, close, pos_index, fill_price, equity):
    inp = build(np.c_[price, [10.0] * 4], [[-1.0, 0.0], [-0.2, 0.5]],
                close=np.c_[close, [10.0] * 4], pos_index=pos_index)
    r = run(inp)
    f = r["fills"]
    assert f["reason"].tolist() == [REASON["rebalance"], REASON["wiped_out"]]
    assert f["row"][-1] == 2 and f["price"][-1] == fill_price
    assert r["stopped"]["equity"] == pytest.approx(equity, abs=1e-15)
    assert (r["creturn"][2:] == r["stopped"]["equity"]).all()
    assert np.array_equal(inp.run(), r["creturn"])


@pytest.mark.parametrize("price, weight, options, row, reason, equity", [
    # A short of the book: at 14 it is worth 0.6 against 1.4 held, at 20 nothing.
    ([10, 10, 14, 20, 20], -1.0, {}, 3, "wiped_out", 0.0),
    ([10, 10, 14, 20, 20], -1.0, {"maintenance_margin": 0.3}, 3, "wiped_out", 0.0),
    ([10, 10, 14, 20, 20], -1.0, {"maintenance_margin": 0.5}, 2, "margin_call", 0.6),
    # A long bought twice over on borrowed cash: at 8 worth 0.6 against 1.6 held, at 5 nothing.
    ([10, 10, 8, 5, 5], 2.0, {"max_gross": 2.0}, 3, "wiped_out", 0.0),
    ([10, 10, 8, 5, 5], 2.0, {"max_gross": 2.0, "maintenance_margin": 0.4}, 2, "margin_call", 0.6),
])
def test_a_margin_call_closes_the_book_where_a_broker_would(price, weight, options, row, reason,
                                                           equity):
    r = run(build(price, [weight]), position_limit=2.0, **options)
    f, stop = r["fills"], r["stopped"]
    assert (stop["row"], journal.REASONS[stop["reason"]]) == (row, reason)
    assert stop["equity"] == pytest.approx(equity, abs=1e-15)
    assert stop["gross"] == pytest.approx(abs(weight) * price[row] / 10)
    assert f["reason"].tolist() == [REASON["rebalance"], REASON[reason]]
    assert f["row"][-1] == row and (r["creturn"][row:] == r["creturn"][row]).all()


@pytest.mark.parametrize("inp, options, rate", [
    (WIPED, {**COSTS, "borrow_rate": 0.1}, "borrow_rate"),  # a debt of 0.010275
    (build([10, 10, 14, 20, 20], [-1.0]), {"maintenance_margin": 0.5, "cash_rate": 0.1},
     "cash_rate"),  # 0.6 of cash
])
def test_the_cash_left_by_the_closing_is_still_financed(inp, options, rate):
    n = len(inp.price_index)
    dated = inp.with_(price_index=np.arange(n) * DAY, pos_index=inp.pos_index * DAY,
                      resample=inp.resample * DAY)
    r = run(dated, **options, day_length=DAY)
    stop, cash, m = r["stopped"]["row"], r["cash"], r["financing"]
    assert (r["creturn"][stop:] == cash[stop:]).all()
    for d in range(stop + 1, n):
        k = int(np.flatnonzero(m["row"] == d)[0])
        assert m["interest"][k] == cash[d - 1] * (options[rate] * (1.0 / 365.0))
        assert cash[d] == cash[d - 1] + m["interest"][k]
    assert (cash[-1] < cash[stop]) == (rate == "borrow_rate")


def test_cash_earns_from_the_first_row_not_the_first_weights():
    n = 6
    inp = build([10.0] * n, [1.0], price_index=np.arange(n) * DAY, pos_index=[3 * DAY])
    r = run(inp, cash_rate=0.0365, day_length=DAY)
    m, creturn = r["financing"], r["creturn"]
    assert m["row"].tolist() == [1, 2, 3, 4, 5]
    assert m["balance"][0] == 1.0 and creturn[1] == 1.0 + 0.0365 * (1.0 / 365.0)
    assert 1.0 < creturn[1] < creturn[2] < creturn[3] == r["cash"][3]
    assert creturn[-1] - 1 == pytest.approx(m["interest"].sum(), abs=1e-15)


@pytest.mark.parametrize("tiny", [1e-17, 0.1 + 0.2 - 0.3, -1e-17])
def test_a_weight_a_few_ulps_from_zero_closes_the_holding(tiny):
    inp = build([[10, 10], [11, 10], [12, 11], [13, 11], [12, 12]], [[0.5, 0.5], [tiny, 0.5]],
                pos_index=[0, 2])
    r = run(inp, **COSTS)
    f, t = r["fills"], r["trades"]
    sold = np.flatnonzero((f["sid"] == 0) & (f["row"] == 3))
    assert len(sold) == 1 and f["after"][sold[0]] == 0.0 and f["tax"][sold[0]] > 0
    assert (t["sid"] == 0).sum() == 1 and (t["exit_row"][t["sid"] == 0] == 3).all()
    assert t["pnl"].sum() == pytest.approx(r["creturn"][-1] - 1, abs=1e-15)


def test_a_target_the_holding_would_round_away_closes_it():
    # 1e-15 is above the weights' rounding, but a 64-fold holding rounds it away: 64 + (1e-15 -
    # 64) is 0. It is a close, recorded as one, not a holding that vanishes from the book.
    r = run(build([10.0] * 4, [[64.0], [1e-15]]), max_gross=64.0, position_limit=64.0)
    t = r["trades"]
    assert r["fills"]["after"].tolist() == [64.0, 0.0]
    assert t["exit_row"].tolist() == [2] and t["pnl"].sum() == r["creturn"][-1] - 1


def long_market(n_rows=80, n_cols=6, seed=0, every=5):
    rng = np.random.default_rng(seed)
    price = 20.0 * np.exp(np.cumsum(rng.normal(0, 0.03, (n_rows, n_cols)), axis=0))
    w = rng.uniform(0.0, 1.0, (n_rows // every, n_cols))
    w /= w.sum(axis=1, keepdims=True)
    return build(price, w, pos_index=np.arange(0, n_rows, every)[: len(w)])


def capped(shares):
    """Orders that wait for volume: a tenth of `shares` a day fills."""
    return {"volume": np.full((80, 6), shares), "max_participation": 0.1}


@pytest.mark.parametrize("account", [
    {"capital": 1e5, "lot_size": 100},                        # sales rounded down to whole lots
    {"capital": 1e5, "lot_size": 100, **COSTS},
    {"capital": 1e5, **COSTS},                                # the sales' fee and tax
    {"capital": 1e5, "min_fee": 20.0, "slippage": 0.001, **COSTS},
    {"capital": 1e5, "lot_size": 100, **COSTS, **capped(1e4)},
    {"capital": 1e7, **COSTS, **capped(2e5)},                 # a sale over several days
])
def test_an_account_without_leverage_never_borrows(account):
    inp = long_market()
    r = run(inp, **account)
    cash, creturn = r["cash"], r["creturn"]
    assert cash.min() >= -1e-12 and (cash[10:] < 0.25 * creturn[10:]).all()
    # The same weights on a book allowed to borrow a hair go below 0: its buys were cut.
    borrowing = run(inp, **account, max_gross=1.0 + 1e-9)
    assert borrowing["cash"].min() < -1e-6
    # The unit portfolio's sales pay their costs out of the cash (documented).
    if "fee_ratio" in account:
        assert run(inp, **COSTS)["cash"].min() < 0.0
