"""The fills of an account at their edges: shares counted from values land on whole lots, an
order spread over days pays the tax of the same order at once, a capped fill that places nothing
keeps its order whole, and no impact prices a fill at or below zero."""

from __future__ import annotations

import math

import numpy as np
import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from pelmora.core import journal
from run_helpers import build
from test_journal import market_run

FEES = {"fee_ratio": 0.001425, "tax_ratio": 0.003}


def run(inp, **kw):
    kw.setdefault("fee_ratio", 0.0)
    kw.setdefault("tax_ratio", 0.0)
    return journal.run(*inp.args(), **kw)


def test_a_target_of_whole_shares_counted_a_few_ulps_short_buys_them_all():
    # 0.75 of 100,000 at 1.5 is 50,000 shares; 55,000 are held: the order is 8749.99999999999.
    r = run(build([1.0, 1.0, 1.5, 1.5], [[0.55], [0.75]], pos_index=[0, 1]), capital=1e5,
            lot_size=1.0)
    f = r["fills"]
    assert f["requested"][1] < 8_750
    assert f["shares"].tolist() == [55_000, 8_750]


def test_a_capped_order_of_whole_lots_counted_short_fills_every_lot():
    # The order of 6,000 shares arrives as 5999.999999999997; the cap takes 3,000 a day.
    vol = np.full((6, 1), 30_000.0)
    vol[1] = 1e9
    r = run(build([1.0, 1.0, 3.0, 3.0, 3.0, 3.0], [[0.6], [0.9]], pos_index=[0, 1]),
            capital=1e5, lot_size=100.0, volume=vol, max_participation=0.1)
    f = r["fills"]
    assert f["row"].tolist() == [1, 2, 3]
    assert f["shares"].tolist() == [60_000, 3_000, 3_000]
    assert f["requested"][1] < 6_000 and f["requested"][2] == 3_000


@pytest.mark.parametrize("lots", [None, 100.0])
@pytest.mark.parametrize("before, after", [(1.0, -1.0), (-1.0, 1.0), (0.6, -0.3)])
def test_a_flip_spread_over_days_pays_no_tax_as_at_once(before, after, lots):
    n = 40
    inp = build([10.0] * n, [[before], [after]], pos_index=[0, 1])
    capped = np.full((n, 1), 2_000.0)
    capped[1] = 1e9
    kw = dict(capital=1e5, lot_size=lots, max_participation=0.5, **FEES)
    spread = run(inp, volume=capped, **kw)["fills"]
    once = run(inp, volume=np.full((n, 1), 1e9), **kw)["fills"]
    assert len(spread["row"]) > 5 and len(once["row"]) == 2
    assert spread["tax"].tolist() == [0.0] * len(spread["row"])
    assert once["tax"].tolist() == [0.0, 0.0]
    assert spread["shares"][1:].sum() == pytest.approx(once["shares"][1], rel=1e-12)


def test_a_flip_that_lands_on_zero_leaves_no_rounding_behind():
    # A short of 10,000 shares covered 1,000 a day lands within ulps of zero on its tenth day:
    # that holding is closed (not a holding of -1.4e-16), and the long is a record of its own.
    n = 24
    vol = np.full((n, 1), 2_000.0)
    vol[1] = 1e9
    r = run(build([10.0] * n, [[-1.0], [1.0]], pos_index=[0, 1]), volume=vol,
            max_participation=0.5, capital=1e5, lot_size=100.0, **FEES)
    f, t = r["fills"], r["trades"]
    assert f["after"][10] == 0.0 and f["tax"].sum() == 0.0
    assert np.abs(r["positions"]["value"]).min() == pytest.approx(0.1)
    assert t["entry_row"][-1] == 12 and t["position"][-1] > 0


def test_a_reducing_order_spread_over_days_pays_the_tax_of_its_values():
    n = 20
    inp = build([10.0] * n, [[1.0], [0.2]], pos_index=[0, 1])
    capped = np.full((n, 1), 2_000.0)
    capped[1] = 1e9
    kw = dict(capital=1e5, lot_size=100.0, max_participation=0.5, **FEES)
    spread = run(inp, volume=capped, **kw)["fills"]
    once = run(inp, volume=np.full((n, 1), 1e9), **kw)["fills"]
    values = np.abs(spread["after"] - spread["before"])[1:]
    assert spread["tax"][1:].tolist() == pytest.approx((values * 0.003).tolist(), rel=1e-12)
    assert spread["tax"].sum() == pytest.approx(once["tax"].sum(), rel=1e-12)


@pytest.mark.parametrize("impact, price", [(1.0, 5.0), (100.0, 5.0), (0.05, None)])
def test_a_sale_never_fills_at_or_below_half_its_price(impact, price):
    # 10,000 shares sold into a volume of 10 a day, the closes before swinging by 10 %.
    close = [10.0, 10.0] + [11.0, 10.0] * 4 + [10.0] * 4
    vol = np.full((14, 1), 10.0)
    vol[:11] = 1e12
    inp = build(close, [[1.0], [0.0]], pos_index=[0, 10])
    f = run(inp, volume=vol, capital=1e5, impact=impact)["fills"]
    assert f["shares"][1] == -10_000
    if price is not None:
        assert f["price"][1] == price
        assert f["impact"][1] == pytest.approx(0.5)
    else:  # an impact well above the floor is left alone
        sigma = np.std(np.log(np.array(close[1:11]) / close[:10]), ddof=1)
        assert f["price"][1] == pytest.approx(10 * (1 - impact * sigma * 1e3 ** 0.5), rel=1e-12)


@pytest.mark.parametrize("slippage", [0.0, 0.3])
def test_a_close_under_a_huge_impact_keeps_half_the_slipped_price(slippage):
    close = [10.0, 10.0] + [11.0, 10.0] * 4 + [10.0] * 4
    vol = np.full((14, 1), 1.0)
    vol[:11] = 1e12
    inp = build(close, [[1.0], [0.0]], pos_index=[0, 10])
    f = run(inp, volume=vol, capital=1e5, impact=1e6, slippage=slippage)["fills"]
    assert f["price"][-1] == pytest.approx(10 * (1 - slippage) / 2, rel=1e-12)


# --- properties over random markets ----------------------------------------------------------


@st.composite
def account_market(draw):
    inp, opts = draw(market_run())
    shape = inp.price_values.shape
    volume = st.sampled_from([0.0, math.nan, 1.0, 50.0, 1e3, 1e6])
    opts.update(
        capital=draw(st.sampled_from([1e3, 1e5, 1e7])),
        lot_size=draw(st.sampled_from([None, 1.0, 10.0, 100.0])),
        slippage=draw(st.sampled_from([0.0, 0.001, 0.3])),
        min_fee=draw(st.sampled_from([0.0, 1e-4, 5e-3])),
        volume=np.array(draw(st.lists(volume, min_size=shape[0] * shape[1],
                                      max_size=shape[0] * shape[1]))).reshape(shape),
        max_participation=draw(st.sampled_from([None, 0.05, 0.5, 1.0])),
        impact=draw(st.sampled_from([0.0, 0.5, 1.0, 5.0, 1e3])),
        impact_window=draw(st.integers(2, 5)),
    )
    return inp, opts


@settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(account_market())
def test_fills_are_priced_above_zero_in_whole_lots_and_the_ledger_holds(case):
    inp, opts = case
    r = journal.run(*inp.args(), **opts)
    creturn, cash, f, pos = r["creturn"], r["cash"], r["fills"], r["positions"]
    known = ~np.isnan(f["price"])
    assert (f["price"][known] > 0).all() and np.isfinite(f["price"][known]).all()
    if opts["lot_size"]:
        # Whole lots, but for a close (all of a holding goes) and a suspended stock's fill.
        kept = (f["after"] != 0) & ~f["suspended"] & (f["written_off"] == 0)
        lots = f["shares"][kept] / opts["lot_size"]
        assert (lots == np.round(lots)).all()
    # Cash replayed from the fills, the equity from cash and holdings, the pnl from the trades.
    flows = (f["before"] - f["after"]) - f["fee"] - f["tax"] - f["slippage"] - f["impact"] \
        - f["written_off"]
    replay = 1.0 + np.cumsum(np.bincount(f["row"], weights=flows, minlength=len(cash)))
    assert np.allclose(replay, cash, rtol=1e-9, atol=1e-12, equal_nan=True)
    held = np.bincount(pos["row"], weights=pos["value"], minlength=len(cash))
    assert np.allclose(cash + held, creturn, rtol=1e-9, atol=1e-12, equal_nan=True)
    if not math.isnan(creturn[-1]):
        assert r["trades"]["pnl"].sum() == pytest.approx(creturn[-1] - 1, rel=1e-9, abs=1e-12)
    # No holding is the rounding of values that should have cancelled.
    assert not ((pos["value"] != 0) & (np.abs(pos["value"]) < 1e-12)).any()


@settings(max_examples=100, deadline=None)
@given(start=st.sampled_from([1.0, 0.7, -0.5, -1.0]), end=st.sampled_from([0.3, -0.2, -0.9, 0.8]),
       price=st.sampled_from([3.3, 10.0, 47.0]), lots=st.sampled_from([None, 1.0, 100.0]),
       capital=st.sampled_from([1e5, 3e6]), per_day=st.sampled_from([0.05, 0.2, 0.7]),
       slippage=st.sampled_from([0.0, 0.002]))
def test_an_order_spread_over_days_pays_the_tax_it_pays_at_once(start, end, price, lots, capital,
                                                                per_day, slippage):
    n = 60
    inp = build([price] * n, [[start], [end]], pos_index=[0, 1])
    # A day's cap takes `per_day` of the order, and at least a lot (the order is two or more).
    traded = abs(end - start) * capital / price
    capped = np.full((n, 1), max(traded * per_day, lots or 1) / 0.5)
    capped[1] = 1e12
    kw = dict(capital=capital, lot_size=lots, max_participation=0.5, slippage=slippage, **FEES)
    spread = run(inp, volume=capped, **kw)
    once = run(inp, volume=np.full((n, 1), 1e12), **kw)
    assume(len(spread["pending"]["row"]) > 0)  # an order of one lot is not spread
    assert len(once["pending"]["row"]) == 0
    tax_spread, tax_once = spread["fills"]["tax"][1:].sum(), once["fills"]["tax"][1:].sum()
    if start * end < 0:
        assert tax_spread == tax_once == 0.0
    else:
        assert tax_spread == pytest.approx(tax_once, rel=1e-9, abs=1e-15)
