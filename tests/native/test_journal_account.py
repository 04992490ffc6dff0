"""The account options of the journal: capital, lots, slippage, minimum fee, leverage, financing."""

from __future__ import annotations

import math
import re

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

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


@pytest.mark.parametrize("kw, error, text", [
    ({"capital": -1.0}, ValueError, "capital must be a finite number above 0, got -1.0"),
    ({"capital": "1e6"}, TypeError, "capital must be a number, not str"),
    ({"lot_size": 100}, ValueError, "lot_size needs capital"),
    ({"capital": 1e6, "lot_size": np.ones(3)}, ValueError,
     r"lot_size must have one entry per position label \(1\), got 3"),
    ({"slippage": 1.0}, ValueError, "slippage must be at least 0 and below 1, got 1.0"),
    ({"min_fee": 1.0}, ValueError, "min_fee needs capital"),
    ({"max_gross": 0.0}, ValueError, "max_gross must be a finite number above 0, got 0.0"),
    ({"borrow_rate": math.nan}, ValueError, "borrow_rate must be a finite number, got nan"),
    ({"day_length": 0}, ValueError, "day_length must be a finite number above 0, got 0"),
])
def test_account_options_are_refused_by_name(kw, error, text):
    with pytest.raises(error, match=text):
        run(build([10, 10], [1.0]), **kw)
    variants = [{**kw}]
    got = journal.run_many(build([10, 10], [1.0]).kwargs(), variants)[0]
    assert isinstance(got, error) and re.search(text, str(got))


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
