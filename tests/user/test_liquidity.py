"""Volume, participation and impact through the user layer: refusals by name, a participation
worked by hand with its pending orders, the three ways of giving a volume, sweeps varying the cap,
and the capacity curve against direct backtests."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import pelmora

from markets import ohlc_market, random_weights

NO_COSTS = {"fee": 0.0, "tax": 0.0}
DATES = pd.bdate_range("2024-01-01", periods=60)


def flat(value: float, n_days: int = 60, stock: str = "A") -> pd.DataFrame:
    return pd.DataFrame({stock: [float(value)] * n_days}, index=DATES[:n_days])


def same(a, b) -> bool:
    """Equal, NaN and NaT equal to themselves."""
    return bool(a == b) or (pd.isna(a) and pd.isna(b))


@pytest.mark.parametrize("options, error, message", [
    ({"capital": 1e5, "max_participation": 0}, ValueError,
     r"^max_participation must be a fraction of the day's volume above 0 and at most 1, or "
     r"None, got 0$"),
    ({"capital": 1e5, "max_participation": 1.5}, ValueError, r"^max_participation must be .*1.5$"),
    ({"capital": 1e5, "max_participation": "5%"}, TypeError,
     r"^max_participation must be a number or None, got str$"),
    ({"max_participation": 0.1}, ValueError, r"^max_participation needs capital: it compares"),
    ({"impact": 0.5}, ValueError, r"^impact needs capital: it compares the shares"),
    ({"capital": 1e5, "impact": -0.1}, ValueError,
     r"^impact must be a finite coefficient, 0 or more, got -0.1$"),
    ({"capital": 1e5, "impact": math.nan}, ValueError, r"^impact must be a finite coefficient"),
    ({"impact_window": 1}, ValueError,
     r"^impact_window must be 2 or more \(days of returns\), got 1$"),
    ({"impact_window": 2.5}, TypeError, r"^impact_window must be an integer, got float$"),
    ({"volume": [1, 2]}, TypeError, r"^volume must be a DataFrame of shares traded .*got list$"),
])
def test_option_refusals_name_the_option(options, error, message):
    with pytest.raises(error, match=message):
        pelmora.BacktestOptions(**options)


def _volume(values, stock="A", n_days=60):
    return pd.DataFrame({stock: values}, index=DATES[:n_days])


@pytest.mark.parametrize("prices, options, message", [
    (flat(10), {"max_participation": 0.1}, r"^max_participation needs volume: the shares"),
    (flat(10), {"impact": 0.1}, r"^impact needs volume: the shares traded per day"),
    (flat(10), {"max_participation": 0.1, "volume": _volume([1e3] * 30 + [-1.0] + [1e3] * 29)},
     r"^volume of 'A' on 2024-02-12 is -1.0: shares traded must be finite and 0 or more "
     r"\(NaN: no volume that day\)$"),
    ({"close": flat(10), "volume": _volume([1e3] * 59 + [math.inf])}, {"impact": 0.1},
     r"^prices\[\"volume\"\] of 'A' on 2024-03-22 is inf: shares traded must be finite"),
    ({"close": flat(10), "volume": _volume([1e3] * 60)},
     {"impact": 0.1, "volume": _volume([1e3] * 60)}, r"^volume is given twice, as volume= and"),
    (flat(10), {"impact": 0.1, "volume": _volume([1e3] * 60, stock="B")},
     r"^volume has no column for 'A', which weights hold"),
])
def test_volume_refusals_name_the_stock_and_date(prices, options, message):
    with pytest.raises(ValueError, match=message):
        pelmora.backtest(flat(1.0, 1), prices, capital=1e5, **options)


def test_participation_by_hand_fills_200_shares_a_day_for_50_days():
    run = pelmora.backtest(flat(1.0, 1), flat(10), capital=100_000, volume=flat(1_000),
                           max_participation=0.2, **NO_COSTS)
    fills = run.fills
    assert fills["shares"].tolist() == [200.0] * 50
    assert fills["date"].tolist() == list(DATES[1:51])  # ordered on day 0, done on day 50
    assert fills["requested"].tolist() == [10_000.0 - 200 * k for k in range(50)]
    assert (fills["reason"] == "rebalance").all() and (fills[["impact", "written_off"]] == 0).all().all()
    pending = run.pending
    assert list(pending.columns) == ["date", "stock", "shares", "reason"]
    assert pending["date"].tolist() == list(DATES[1:50])
    assert pending["shares"].tolist() == [10_000.0 - 200 * k for k in range(1, 50)]
    assert set(pending["stock"]) == {"A"} and set(pending["reason"]) == {"rebalance"}
    # Cash in portfolio units: 2,000 of the 100,000 leave on each fill day; the equity stays.
    expected = [1.0] + [1.0 - 0.02 * k for k in range(1, 51)] + [0.0] * 9
    np.testing.assert_allclose(run.cash, expected, rtol=0, atol=1e-15)
    np.testing.assert_allclose(run.equity, 1.0, rtol=0, atol=1e-15)
    stats = run.stats()
    assert (stats["fill_rate"], stats["impact_cost"]) == (1.0, 0.0)


def test_an_order_replaced_before_it_completes_lowers_the_fill_rate():
    weights = pd.DataFrame({"A": [1.0, 0.0]}, index=DATES[[0, 10]])
    run = pelmora.backtest(weights, flat(10), capital=100_000, volume=flat(1_000),
                           max_participation=0.2, **NO_COSTS)
    # Bought 200 a day for 10 days; the sale of those 2,000 then takes 10 days as well.
    assert run.fills["shares"].tolist() == pytest.approx([200.0] * 10 + [-200.0] * 10)
    assert run.pending.empty or run.pending["date"].max() < DATES[20]
    # Orders of 10,000 and -2,000 shares, 2,000 of each filled.
    assert run.stats()["fill_rate"] == pytest.approx(4_000 / 12_000, rel=1e-15)


def test_a_capped_close_its_minimum_fee_eats_stays_pending_in_full():
    # 150 shares (2,000 less the minimum fee of 500) are sold into 3,000 a day from day 4: the
    # 30 shares a day the cap allows are worth 300, less than the fee, so nothing trades and the
    # order waits whole until the volume comes back on day 10.
    dates = DATES[:12]
    volume = pd.DataFrame({"A": 1e9}, index=dates)
    volume.iloc[3:9] = 3_000.0
    weights = pd.DataFrame({"A": [0.002, 0.0]}, index=dates[[0, 2]])
    run = pelmora.backtest(weights, flat(10, 12), volume=volume, capital=1e6, min_fee=500,
                           max_participation=0.01)
    assert run.fills["shares"].tolist() == [150.0, -150.0]
    assert run.fills["date"].tolist() == [dates[1], dates[9]]
    assert run.pending["shares"].tolist() == [-150.0] * 6
    assert run.pending["date"].tolist() == list(dates[3:9])
    assert (run.positions.iloc[-1] == 0).all()


def impact_market(sale_volume: float) -> tuple[pd.DataFrame, pd.DataFrame, pd.DataFrame]:
    """Half the account bought at 10 on day 1, all of it sold on day 11 into ``sale_volume``;
    the closes before swing by 10 %."""
    close = pd.DataFrame({"A": [10.0, 10.0] + [11.0, 10.0] * 4 + [10.0] * 4}, index=DATES[:14])
    volume = pd.DataFrame({"A": [1e12] * 11 + [sale_volume] * 3}, index=DATES[:14])
    weights = pd.DataFrame({"A": [0.5, 0.0]}, index=DATES[[0, 10]])
    return weights, close, volume


def test_an_impact_above_a_tenth_of_the_price_warns_and_a_sale_keeps_half_its_price():
    weights, close, volume = impact_market(10.0)
    with pytest.warns(UserWarning) as caught:
        run = pelmora.backtest(weights, close, volume=volume, capital=1e6, impact=100.0,
                               **NO_COSTS)
    assert [str(w.message) for w in caught] == [pelmora.runner.IMPACT_WARNING.format(
        impact=100.0, stock="A", date="2024-01-16", fraction=0.5, large=0.1)]
    assert str(caught[0].message).startswith(
        "pelmora.backtest: impact=100.0 moves the price of 'A' on 2024-01-16 by 50.0% (above 10%)")
    assert run.fills["shares"].tolist() == [50_000.0, -50_000.0]
    assert run.fills["price"].tolist() == [10.0, 5.0]


def test_an_impact_within_a_tenth_of_the_price_does_not_warn():
    weights, close, volume = impact_market(1e9)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        run = pelmora.backtest(weights, close, volume=volume, capital=1e6, impact=1.0, **NO_COSTS)
    assert run.fills["impact"].iloc[-1] > 0


def market_with_volume(seed=3, n_days=80):
    frames = ohlc_market(seed, pd.bdate_range("2024-01-01", periods=n_days), ["A", "B", "C"])
    rng = np.random.default_rng(seed)
    volume = pd.DataFrame(rng.uniform(50, 5_000, (n_days, 3)), index=frames["close"].index,
                          columns=["A", "B", "C"])
    volume.iloc[5, 1] = np.nan  # no volume that day
    weights = random_weights(seed + 1, frames["close"].index[::10], ["A", "B", "C"], low=-0.4)
    return frames, volume, weights


def test_the_three_ways_of_giving_volume_give_one_run():
    frames, volume, weights = market_with_volume()
    options = dict(capital=2e6, max_participation=0.1, impact=0.5, stop_loss=0.05)
    direct = pelmora.backtest(weights, frames, volume=volume, **options)
    mapped = pelmora.backtest(weights, {**frames, "volume": volume}, **options)
    yahoo = pd.concat({"Open": frames["open"], "High": frames["high"], "Low": frames["low"],
                       "Close": frames["close"], "Volume": volume}, axis=1)
    downloaded = pelmora.backtest(weights, yahoo, **options)
    assert direct.record.pending["row"].size > 0  # the cap bit
    for run in (mapped, downloaded):
        assert np.array_equal(run.equity.to_numpy(), direct.equity.to_numpy())
        pd.testing.assert_frame_equal(run.fills, direct.fills)
        pd.testing.assert_frame_equal(run.pending, direct.pending)


@pytest.mark.filterwarnings("ignore:pelmora.backtest. impact=")
def test_a_sweep_varying_cap_and_impact_gives_the_direct_runs():
    frames, volume, weights = market_with_volume(5)
    grid = {"max_participation": [None, 0.05], "impact": [0.0, 1.0]}
    fixed = {"capital": 5e6, "volume": volume}
    table = pelmora.sweep(grid, weights, frames, progress=False, **fixed)
    assert table["error"].isna().all() and table["impact_cost"].gt(0).sum() == 2
    for row in table.itertuples():
        cap = None if pd.isna(row.max_participation) else row.max_participation
        direct = pelmora.backtest(weights, frames, max_participation=cap, impact=row.impact,
                                  **fixed).stats()
        assert (row.total_return, row.fill_rate) == (direct["total_return"], direct["fill_rate"])
    with pytest.raises(ValueError, match=r"max_participation=0.05 is refused: a cap or an impact"):
        pelmora.sweep({"max_participation": [None, 0.05]}, weights, frames, progress=False,
                      capital=5e6)


def test_capacity_falls_with_capital_and_each_row_is_the_direct_backtest():
    rng = np.random.default_rng(11)
    close = pd.DataFrame({"A": 20 * np.exp(np.cumsum(rng.normal(0, 0.02, 60)))}, index=DATES)
    hold = flat(1.0, 11).iloc[10:]  # bought on day 11: the impact's sigma has 10 returns
    capitals = [1e4, 1e5, 1e6, 1e7]
    table = pelmora.capacity(hold, close, capitals=capitals, volume=flat(50_000), impact=1.0,
                             threads=2, **NO_COSTS)
    assert list(table.index) == capitals and table.index.name == "capital"
    final = 1.0 + table["total_return"].to_numpy()
    assert (np.diff(final) < 0).all() and (np.diff(table["impact_cost"]) > 0).all()
    for capital, row in table.iterrows():
        direct = pelmora.backtest(hold, close, capital=capital, volume=flat(50_000), impact=1.0,
                                  **NO_COSTS).stats()
        assert list(row.index) == list(direct.index)
        assert all(same(row[name], direct[name]) for name in direct.index), capital


@pytest.mark.parametrize("cap, fill_rate, total_return", [
    # 200 shares a day: 1,000 shares in 5 days, 10,000 in 50, of 100,000 only 11,800 in the
    # 59 days there are (11,600 at 10, the last 200 at 11): 1,011,600 at the end.
    (0.2, [1.0, 1.0, 0.118], [0.1, 0.1, 0.0116]),
    (None, [1.0, 1.0, 1.0], [0.1, 0.1, 0.1]),  # uncapped: all bought on the first day
])
def test_the_participation_cap_bends_the_capacity_curve_by_hand(cap, fill_rate, total_return):
    close = pd.DataFrame({"A": [10.0] * 59 + [11.0]}, index=DATES)  # up 10 % on the last day
    table = pelmora.capacity(flat(1.0, 1), close, capitals=[1e4, 1e5, 1e6], volume=flat(1_000),
                             max_participation=cap, **NO_COSTS)
    assert table["fill_rate"].tolist() == pytest.approx(fill_rate, rel=1e-15)
    assert table["total_return"].tolist() == pytest.approx(total_return, rel=1e-12)


@pytest.mark.parametrize("capitals, options, error, message", [
    ([], {}, ValueError, r"^capitals is empty"),
    ([1e5, -1.0], {}, ValueError, r"^capitals must be finite amounts above 0, got -1.0$"),
    ([1e5, 1e5], {}, ValueError, r"^capitals has 100000.0 twice"),
    ("1e5", {}, TypeError, r"^capitals must be a list of amounts of currency, got str$"),
    ([1e5], {"capital": 1e6}, TypeError, r"^capacity\(\) runs one backtest per amount"),
])
def test_capacity_refusals(capitals, options, error, message):
    with pytest.raises(error, match=message):
        pelmora.capacity(flat(1.0, 1), flat(10), capitals=capitals, volume=flat(1e3), **options)


def test_the_capacity_figure_and_report(tmp_path):
    frames, volume, weights = market_with_volume(9)
    table = pelmora.capacity(weights, frames, capitals=[1e5, 1e6, 1e7], volume=volume,
                             max_participation=0.1, impact=0.5)
    fig = pelmora.plot_capacity(table)
    assert [ax.get_xscale() for ax in fig.axes[:3]] == ["log"] * 3
    run = pelmora.backtest(weights, frames)
    text = run.report(tmp_path / "r.html", capacity=table).read_text()
    section = text.split('<section id="capacity"><h2>Capacity</h2>')[1].split("</section>")[0]
    # The curve comes with what it assumed, read from the table pelmora.capacity made.
    assert section.startswith(
        '<p class="note">Assumed: every fill capped at 10 % of the day\'s volume; square-root '
        "impact with k = 0.5, its volatility over 20 days; volume from volume=.</p><img"
    )
    bare = table.copy()
    bare.attrs = {}
    text = run.report(tmp_path / "r.html", capacity=bare).read_text()
    assert "carries no record of its liquidity options" in text
    with pytest.raises(ValueError, match=r"^table has no column 'sharpe'"):
        pelmora.plot_capacity(table.drop(columns="sharpe"))


def test_walk_forward_slices_the_volume_with_the_prices():
    frames, volume, weights = market_with_volume(4, n_days=300)
    options = dict(train="6M", test="3M", capital=1e7, impact=0.5, progress=False)
    grid = {"max_participation": [0.02, 0.5]}
    given = pelmora.walk_forward(grid, weights, frames, volume=volume, **options)
    mapped = pelmora.walk_forward(grid, weights, {**frames, "volume": volume}, **options)
    assert len(given.windows) > 1
    pd.testing.assert_frame_equal(given.windows, mapped.windows)
    assert np.array_equal(given.returns.to_numpy(), mapped.returns.to_numpy())


@st.composite
def liquid_runs(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    dates = pd.bdate_range("2024-01-01", periods=draw(st.integers(5, 40)))
    stocks = ["S0", "S1", "S2"]
    frames = ohlc_market(rng, dates, stocks, start=20.0, vol=0.05)
    volume = pd.DataFrame(rng.uniform(0, 2_000, (len(dates), 3)), index=dates, columns=stocks)
    volume[volume < 200] = np.nan  # days without volume
    weights = random_weights(rng, dates[::draw(st.integers(1, 6))], stocks, low=-0.8, high=1.0)
    options = draw(st.fixed_dictionaries({
        "capital": st.sampled_from([1e4, 1e6]),
        "max_participation": st.sampled_from([None, 0.05, 0.5]),
        "impact": st.sampled_from([0.0, 0.3, 2.0]),
        "stop_loss": st.sampled_from([None, 0.05]),
        "delistings": st.sampled_from([None, {"S1": dates[len(dates) // 2]}]),
    }))
    return weights, frames, volume, options


@pytest.mark.filterwarnings("ignore:pelmora.backtest. no rebalance")
@pytest.mark.filterwarnings("ignore:pelmora.backtest. impact=")
@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(liquid_runs())
def test_capped_runs_reconcile_and_never_fill_above_the_cap(run):
    weights, frames, volume, options = run
    result = pelmora.backtest(weights, frames, volume=volume, **options)
    fills, equity = result.fills, result.equity
    costs = fills[["fee", "tax", "slippage", "impact", "written_off"]].sum(axis=1)
    moves = np.zeros(len(equity))
    np.add.at(moves, equity.index.get_indexer(fills["date"]),
              (fills["before"] - fills["after"] - costs).to_numpy())
    np.testing.assert_allclose(result.cash, 1.0 + np.cumsum(moves), rtol=1e-9, atol=1e-12)
    held = result.positions.mul(equity, axis=0).sum(axis=1)
    np.testing.assert_allclose(result.cash + held, equity, rtol=1e-9, atol=1e-12)
    # (An impact far above the volume can take the equity to many times the capital.)
    assert result.trades["pnl"].sum() == pytest.approx(equity.iloc[-1] - 1, rel=1e-9, abs=1e-9)
    # A short still open at its delisting is covered in full, whatever the volume.
    covered = (fills["reason"] == "delisting") & (fills["shares"] > 0)
    traded = fills[(fills["written_off"] == 0) & ~covered]
    if options["max_participation"] is not None and len(traded):
        day_volume = volume.stack().reindex(list(zip(traded["date"], traded["stock"])))
        cap = options["max_participation"] * day_volume.to_numpy()
        assert (traded["shares"].abs().to_numpy() <= cap * (1 + 1e-12)).all()
    rate = result.stats()["fill_rate"]
    assert 0.0 <= rate <= 1.0 + 1e-12 or (math.isnan(rate) and fills.empty)
