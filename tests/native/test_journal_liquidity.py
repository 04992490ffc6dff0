"""Volume caps, pending orders and market impact in the journal, worked by hand."""

from __future__ import annotations

import math

import numpy as np
import pytest

from pelmora.core import journal
from run_helpers import build

REASON = {name: k for k, name in enumerate(journal.REASONS)}


def run(inp, volume, **kw):
    kw.setdefault("fee_ratio", 0.0)
    kw.setdefault("tax_ratio", 0.0)
    return journal.run(*inp.args(), volume=np.asarray(volume, dtype=float), **kw)


def test_a_capped_buy_fills_200_shares_a_day_for_50_days():
    n = 60
    r = run(build([10.0] * n, [1.0]), np.full((n, 1), 1_000.0), capital=1e5, max_participation=0.2)
    f, p = r["fills"], r["pending"]
    assert f["row"].tolist() == list(range(1, 51)) and (f["shares"] == 200).all()
    assert f["requested"][:3].tolist() == [10_000, 9_800, 9_600]
    assert p["row"][-1] == 49 and p["shares"][-1] == 200 and (p["reason"] == REASON["rebalance"]).all()
    # Each day's 2,000 of currency leave the cash; the equity stays flat.
    assert np.allclose(r["cash"][:52] * 1e5, [100_000] + [100_000 - 2_000 * d for d in range(1, 51)] + [0],
                       atol=1e-6)
    assert np.allclose(r["creturn"], 1.0)


def test_the_next_rebalance_replaces_an_order_still_open():
    n = 8
    inp = build([10.0] * n, [[1.0], [0.1]], pos_index=[0, 3])
    r = run(inp, np.full((n, 1), 1_000.0), capital=1e5, max_participation=0.2)
    f = r["fills"]
    # Rows 1-3 buy 600 shares; the rebalance on row 4 wants 1,000 in all: 400 more, 200 a day.
    assert f["row"].tolist() == [1, 2, 3, 4, 5] and f["shares"].tolist() == pytest.approx([200.0] * 5)
    assert r["pending"]["shares"][r["pending"]["row"] == 4].tolist() == pytest.approx([200.0])
    assert 6 not in r["pending"]["row"]


def test_a_capped_stop_exit_sells_over_several_days_and_gets_no_second_signal():
    price = [10.0, 10.0, 10.0, 8.0, 8.0, 8.0, 8.0, 8.0]
    vol = np.full((8, 1), 1_000.0)
    vol[1] = 1e9  # the entry fills at once
    r = run(build(price, [1.0]), vol, capital=1e5, max_participation=0.2, stop_loss=0.1)
    f = r["fills"]
    exits = f["reason"] == REASON["stop_loss"]
    # 10,000 shares bought; the close of row 3 signals; 200 a day from row 4.
    assert f["shares"][0] == 10_000 and f["row"][exits].tolist() == list(range(4, 8))
    assert (f["shares"][exits] == -200).all()
    t = r["trades"]
    assert len(t["sid"]) == 1 and t["exit_row"][0] == -1  # still open, one record


def test_a_delisting_sells_what_the_cap_allows_and_writes_off_the_rest():
    vol = np.full((5, 1), 1e9)
    vol[3] = 100.0
    r = run(build([10.0] * 5, [1.0]), vol, capital=1e5, max_participation=0.5,
            delisting_bars=np.array([3]))
    f = r["fills"]
    assert f["shares"].tolist() == [10_000, -50, -9_950]
    assert f["written_off"].tolist() == [0.0, 0.0, pytest.approx(0.995)]
    assert r["creturn"][-1] == pytest.approx(0.005)
    assert r["trades"]["pnl"].sum() == pytest.approx(r["creturn"][-1] - 1)


def test_the_impact_of_one_fill_by_hand():
    close = [10.0, 11.0, 10.0, 12.0, 12.0, 12.0]
    vol = np.full((6, 1), 40_000.0)
    inp = build(close, [[0.0], [0.0], [0.0], [1.0]], pos_index=[0, 1, 2, 3])
    r = run(inp, vol, capital=1e5, impact=0.5, impact_window=3)
    f = r["fills"]
    returns = np.log([11 / 10, 10 / 11, 12 / 10])  # the closes of the three rows before row 4
    sigma = np.std(returns, ddof=1)
    # The order's size before its own impact sizes the buy: 100,000 / 12 shares ...
    i = 0.5 * sigma * math.sqrt((1e5 / 12) / 40_000)
    shares = 1e5 / (12 * (1 + i))
    # ... and the fill pays the impact of the shares it buys; the rest stays in cash.
    paid = 0.5 * sigma * math.sqrt(shares / 40_000)
    assert f["row"].tolist() == [4]
    assert f["shares"][0] == pytest.approx(shares, rel=1e-12)
    assert f["impact"][0] == pytest.approx(shares * 12 * paid / 1e5, rel=1e-12)
    assert f["price"][0] == pytest.approx(12 * (1 + paid), rel=1e-12)
    assert r["cash"][4] == pytest.approx(shares * 12 * (i - paid) / 1e5, rel=1e-9)


def impact_market(n=160, seed=3):
    """One stock with missing closes, bought and sold on alternate rows: a fill every row."""
    rng = np.random.default_rng(seed)
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.02, n)))
    close[rng.random(n) < 0.05] = np.nan
    close[:2] = 10.0
    weights = np.array([[1.0], [0.0]] * (n // 2 - 1))
    return build(close, weights, pos_index=np.arange(len(weights))), close


@pytest.mark.parametrize("window", [2, 3, 20, 64, 65, 100, 160, 2**31 - 1])
def test_the_impact_sigma_is_the_standard_deviation_of_the_window_before_the_fill(window):
    # Short windows are summed afresh for each fill, long ones kept running: both are the sample
    # standard deviation of the window's log returns. A closing sale moves its whole holding, so
    # its impact k * sigma * sqrt(shares / volume) gives sigma back.
    inp, close = impact_market()
    r = run(inp, np.full((len(close), 1), 1e5), capital=1e5, impact=0.5, impact_window=window)
    f = r["fills"]
    returns = np.log(close[1:] / close[:-1])
    checked = 0
    for row, price, shares in zip(f["row"], f["price"], f["shares"]):
        window_returns = returns[max(1, row - window) - 1: row - 1]
        window_returns = window_returns[np.isfinite(window_returns)]
        if shares > 0 or len(window_returns) < 2 or np.isnan(close[row]):
            continue
        sigma = (1 - price / close[row]) / (0.5 * math.sqrt(-shares / 1e5))
        assert sigma == pytest.approx(np.std(window_returns, ddof=1), rel=1e-11), row
        checked += 1
    assert checked > 40


def test_a_window_longer_than_the_data_is_the_data():
    inp, close = impact_market()
    volume = np.full((len(close), 1), 1e5)
    runs = [run(inp, volume, capital=1e5, impact=0.5, impact_window=w)
            for w in (len(close), len(close) + 1, 2**31 - 1)]
    for other in runs[1:]:
        assert np.array_equal(other["creturn"], runs[0]["creturn"])
        for col, values in runs[0]["fills"].items():
            assert np.array_equal(other["fills"][col], values, equal_nan=True), col


@pytest.mark.parametrize("name, value", [("max_participation", 0.1), ("impact", 0.1)])
def test_a_cap_or_an_impact_without_volume_is_refused_by_name(name, value):
    # The values' own refusals are those of pelmora.backtest (test_journal_account.py).
    with pytest.raises(ValueError) as raised:
        journal.run(*build([10.0, 10.0], [1.0]).args(), capital=1e5, **{name: value})
    assert str(raised.value) == (f"{name} needs volume: the shares traded per row and price column "
                                 "(give volume=..., shaped like price_values)")
    with pytest.raises(ValueError, match=r"volume must have the shape of price_values \(2, 1\)"):
        run(build([10.0, 10.0], [1.0]), np.ones((3, 1)))


def test_a_stock_first_bought_by_a_pending_order_follows_its_price_from_that_day():
    # No volume on the rebalance's day (10): the order of 5,000 shares buys at 20 the next day
    # (all the cash), then the price goes to 30: the holding gains half, not the move from 10.
    price = [10.0, 10.0, 20.0, 30.0]
    vol = np.array([[1e9], [0.0], [1e9], [1e9]])
    r = run(build(price, [0.5]), vol, capital=1e5, max_participation=1.0)
    f = r["fills"]
    assert f["row"].tolist() == [2] and f["price"][0] == 20.0
    assert f["shares"].tolist() == [5_000.0] and r["cash"][2] == 0.0
    assert r["creturn"].tolist() == pytest.approx([1.0, 1.0, 1.0, 1.5])
