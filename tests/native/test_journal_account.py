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
    if opts.get("max_participation"):
        # A short still open at its delisting is covered in full.
        traded = placed & ~((f["reason"] == journal.REASONS.index("delisting")) & (f["shares"] > 0))
        cap = opts["max_participation"] * opts["volume"][f["row"], f["sid"]]
        assert (np.abs(f["shares"][traded]) <= np.nan_to_num(cap[traded]) * (1 + 1e-12)).all()
