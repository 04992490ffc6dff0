"""BacktestResult: the trade table, excursions, next-period orders, statistics and plots."""

from __future__ import annotations

import io
import math
import statistics

import matplotlib

matplotlib.use("Agg")

import matplotlib.image  # noqa: E402
import numpy as np  # noqa: E402
import pandas as pd  # noqa: E402
import pytest  # noqa: E402

import pelmora  # noqa: E402
from pelmora.core import runvane, swaylen  # noqa: E402
from pelmora.result import EXCURSION_FIELDS  # noqa: E402

DATES = pd.bdate_range("2024-01-01", periods=60)


def random_market(seed: int, stocks=("AAA", "BBB", "CCC", "DDD", "EEE")) -> dict[str, pd.DataFrame]:
    rng = np.random.default_rng(seed)
    close = 30 * np.exp(np.cumsum(rng.normal(0, 0.03, (len(DATES), len(stocks))), axis=0))
    close[rng.uniform(size=close.shape) < 0.05] = np.nan  # suspensions
    open_ = close * np.exp(rng.normal(0, 0.01, close.shape))
    frame = lambda a: pd.DataFrame(a, index=DATES, columns=list(stocks))  # noqa: E731
    return {
        "open": frame(open_),
        "high": frame(np.fmax(open_, close) * 1.02),
        "low": frame(np.fmin(open_, close) * 0.98),
        "close": frame(close),
    }


def random_weights(seed: int, columns, every: int = 6) -> pd.DataFrame:
    rng = np.random.default_rng(seed)
    w = rng.uniform(-0.3, 0.6, (len(DATES[::every]), len(columns)))
    w[rng.uniform(size=w.shape) < 0.3] = 0.0
    return pd.DataFrame(w, index=DATES[::every], columns=list(columns))


def one_stock_run(prices: dict[str, list[float]], weights: dict[str, float], **options):
    """A run on a few hand-written price paths, weights set once on the first day, no costs."""
    dates = pd.bdate_range("2024-01-01", periods=len(next(iter(prices.values()))))
    close = pd.DataFrame(prices, index=dates, dtype=np.float64)
    w = pd.DataFrame(weights, index=dates[:1])
    return pelmora.backtest(w, close, fee=0.0, tax=0.0, **options)


# ------------------------------------------------------------------------------------------ trades

RUNS = [
    dict(stop_loss=0.05, excursion_window=5, excursion_step=2),
    dict(stop_loss=0.04, take_profit=0.06, intraday_stops=True, excursion_window=8),
    dict(trailing_stop=0.03, retain_cost=True, excursion_window=0),
    dict(split_trades=False, stop_trading_next_period=False, excursion_window=12, excursion_step=5),
]


@pytest.mark.parametrize("options", RUNS)
def test_trades_match_the_engine_trade_list_and_excursion_summaries(options):
    market = random_market(1)
    result = pelmora.backtest(random_weights(2, market["close"].columns), market, **options)
    args = result.inputs.arguments
    # The module-state engine on the same arrays, read straight after its run.
    runvane.backtest_(**args)
    rows, _ = runvane.get_trade_stocks(
        args["pos_columns"], args["price_index"], args["touched_exit"]
    )
    trades = result.trades
    assert len(trades) == len(rows) == len(swaylen.swaylen) > 0
    dates = lambda v: pd.Timestamp(np.int64(v).astype("datetime64[ns]"))  # noqa: E731
    for (_, t), row, positions, arr in zip(
        trades.iterrows(), rows, swaylen.trade_positions, swaylen.swaylen
    ):
        assert t["stock"] == row[0]
        assert t["entry_date"] == dates(row[1])
        assert (pd.isna(t["exit_date"]) and row[2] == -1) or t["exit_date"] == dates(row[2])
        assert t["entry_signal_date"] == dates(row[3])
        if not args["touched_exit"]:
            assert (pd.isna(t["exit_signal_date"]) and row[4] == -1) or (
                t["exit_signal_date"] == dates(row[4])
            )
        assert t["weight"] == row[5] == positions
        # Rows from entry to exit; an open trade counts to the last row, not one past it.
        assert t["bars_held"] == row[6] - (row[2] == -1)
        np.testing.assert_array_equal(t[list(EXCURSION_FIELDS)].to_numpy(np.float64), arr[-6:])
    assert list(trades.columns) == [
        "stock", "entry_date", "exit_date", "entry_signal_date", "exit_signal_date", "weight",
        "entry_price", "exit_price", "entry_value", "exit_value", "costs", "pnl", "return",
        "exit_reason", "bars_held", *EXCURSION_FIELDS,
    ]


def test_exit_signal_date_is_the_day_before_the_exit_for_close_stops_and_the_day_for_intraday():
    market = random_market(3)
    weights = random_weights(4, market["close"].columns).abs()
    for intraday in (False, True):
        trades = pelmora.backtest(
            weights, market, stop_loss=0.03, intraday_stops=intraday
        ).trades.dropna(subset=["exit_date"])
        position = DATES.get_indexer(trades["exit_date"])
        # A rebalance exit is decided the day before in both modes.
        same_day = intraday & (trades["exit_reason"] == "stop_loss").to_numpy()
        expected = np.where(same_day, DATES[position], DATES[position - 1])
        assert same_day.any() == intraday
        assert (trades["exit_signal_date"].to_numpy() == expected).all()


def test_trade_returns_are_measured_at_the_fills():
    result = one_stock_run(
        {
            "UP": [10.0, 10.0, 9.5, 11.0, 12.0],
            "DOWN": [20.0, 20.0, 19.0, 16.0, 15.0],
            "SHORT": [5.0, 5.0, 4.0, 4.5, 4.0],
        },
        {"UP": 0.3, "DOWN": 0.3, "SHORT": -0.3},
        stop_loss=0.1,
    )
    trades = result.trades.set_index("stock")
    # DOWN closes below -10 % on day 3 and is sold on day 4 at 15; the others stay open.
    assert trades.loc["DOWN", "exit_date"] == pd.Timestamp("2024-01-05")
    assert trades.loc["DOWN", "return"] == pytest.approx(15.0 / 20.0 - 1.0, rel=1e-14)
    assert trades.loc["DOWN", ["entry_price", "exit_price"]].tolist() == [20.0, 15.0]
    assert pd.isna(trades.loc["UP", "exit_date"])
    assert trades.loc["UP", "return"] == pytest.approx(12.0 / 10.0 - 1.0, rel=1e-14)
    assert trades.loc["SHORT", "return"] == pytest.approx(1.0 - 4.0 / 5.0, rel=1e-14)
    assert trades.loc["DOWN", "trade_return"] == pytest.approx(-0.25)
    assert trades.loc["UP", "mae"] == pytest.approx(-0.05)
    assert trades.loc["UP", "gmfe"] == pytest.approx(0.2)


def test_a_missing_price_on_the_exit_day_is_bridged_by_the_last_known_one():
    # B keeps trading: rows where every stock is missing would not be trading days.
    result = one_stock_run({"A": [10.0, 10.0, 12.0, np.nan, np.nan], "B": [5.0] * 5}, {"A": 1.0})
    assert result.trades["return"].tolist() == [pytest.approx(12.0 / 10.0 - 1.0, rel=1e-14)]
    assert result.trades["exit_price"].tolist() == [12.0]


def test_no_trades_gives_empty_tables_with_the_columns():
    result = one_stock_run({"A": [10.0, 11.0, 12.0]}, {"A": 0.0})
    assert result.trades.empty and result.excursions.empty
    assert "trade_return" in result.trades and "bar" in result.excursions
    assert result.stats()["n_trades"] == 0 and math.isnan(result.stats()["win_rate"])


# -------------------------------------------------------------------------------------- excursions


@pytest.mark.parametrize("window, step", [(0, 1), (5, 1), (10, 3), (40, 7)])
def test_excursions_are_the_sampled_blocks_of_every_trade(window, step):
    market = random_market(5)
    result = pelmora.backtest(
        random_weights(6, market["close"].columns), market, stop_loss=0.05,
        excursion_window=window, excursion_step=step,
    )
    runvane.backtest_(**result.inputs.arguments)
    arrays = list(swaylen.swaylen)
    excursions = result.excursions
    assert list(excursions.columns) == ["trade", "stock", "bar", *EXCURSION_FIELDS]
    expected_rows = 0
    for k, arr in enumerate(arrays):
        blocks = arr[:-6].reshape(-1, 6)
        inside = blocks[blocks[:, 4] != -1.0]
        part = excursions[excursions["trade"] == k]
        expected_rows += len(inside)
        np.testing.assert_array_equal(part[list(EXCURSION_FIELDS)].to_numpy(), inside)
        assert part["bar"].tolist() == list(range(0, len(inside) * step, step))
        assert (part["stock"] == result.trades["stock"].iloc[k]).all()
    assert len(excursions) == expected_rows
    if window == 0:
        assert excursions.empty


def test_excursion_samples_stop_at_the_end_of_the_data():
    result = one_stock_run({"A": [10.0, 10.0, 11.0, 12.0]}, {"A": 1.0}, excursion_window=10)
    # Entry on day 1, three rows of data from there on.
    assert result.excursions["bar"].tolist() == [0, 1, 2]
    assert result.excursions["gmfe"].iloc[-1] == pytest.approx(0.2)


# ------------------------------------------------------------------------------------- next period


def test_next_period_matches_the_engine_report():
    market = random_market(7)
    columns = market["close"].columns
    weights = random_weights(8, columns, every=1)
    result = pelmora.backtest(weights, market, stop_loss=0.03, rebalance="W-FRI")
    runvane.backtest_(**result.inputs.arguments)
    ops = runvane.get_stock_operations()
    assert ops["actions"], "the last row is a Friday: a rebalance is pending"
    frame = result.next_period
    sids = sorted(set(ops["actions"]) | set(ops["weights"]) | set(ops["next_weights"]))
    assert frame["stock"].tolist() == [columns[s] for s in sids]
    assert frame["action"].tolist() == [ops["actions"].get(s) for s in sids]
    assert frame["weight"].tolist() == [ops["weights"].get(s, 0) for s in sids]
    assert frame["next_weight"].tolist() == [ops["next_weights"].get(s, 0) for s in sids]
    assert (frame["weight_date"] == weights.index[ops["weight_time"]]).all()
    assert (frame["next_weight_date"] == weights.index[ops["next_weight_time"]]).all()


@pytest.mark.filterwarnings("ignore:pelmora.backtest. no rebalance")
def test_next_period_before_any_rebalance_has_no_weight_date():
    close = pd.DataFrame({"A": [10.0, 11.0]}, index=pd.bdate_range("2024-01-01", periods=2))
    weights = pd.DataFrame({"A": [1.0]}, index=[pd.Timestamp("2024-01-02")])
    frame = pelmora.backtest(weights, close).next_period
    assert frame["stock"].tolist() == ["A"]
    assert frame["action"].tolist() == ["enter"] and frame["next_weight"].tolist() == [1.0]
    assert frame["weight_date"].isna().all()


@pytest.mark.parametrize("key", ["next_period", "report"])
def test_run_record_reads_the_next_period_orders_by_either_key_and_warns_on_the_old_name(key):
    from pelmora.core import journal
    from pelmora.result import RunRecord

    market = random_market(7)
    result = pelmora.backtest(random_weights(8, market["close"].columns, every=1), market,
                              rebalance="W-FRI")
    output = journal.run(**result.inputs.arguments)
    orders = output.pop("next_period", None) or output.pop("report")
    output.pop("report", None)
    output[key] = orders
    record = RunRecord.from_journal(output)
    assert record.next_period is orders and orders["actions"]
    with pytest.warns(DeprecationWarning, match="RunRecord.report is renamed next_period"):
        assert record.report is orders


# ------------------------------------------------------------------------------------------ stats


def test_stats_against_figures_computed_here():
    prices = [10.0, 10.0, 11.0, 12.0, 9.0, 10.0, 13.0, 12.0, 12.5, 11.0]
    result = one_stock_run({"A": prices}, {"A": 1.0})
    eq = result.equity.to_numpy()
    # Bought on day 1 at 10 with no costs: the value follows the price.
    np.testing.assert_allclose(eq, [1.0] + [p / 10.0 for p in prices[1:]], rtol=1e-15)
    stats = result.stats()
    # The window starts with the first executed rebalance (day 1); before it all is cash at 1.0.
    eq = eq[1:]
    rets = [eq[0] - 1.0] + [eq[i] / eq[i - 1] - 1.0 for i in range(1, len(eq))]
    sd = statistics.stdev(rets)
    mean = statistics.fmean(rets)
    downside = math.sqrt(sum(min(r, 0.0) ** 2 for r in rets) / len(rets))
    years = (result.equity.index[-1] - result.equity.index[1]).days / 365.25
    assert stats["start"] == pd.Timestamp("2024-01-02")
    assert stats["end"] == pd.Timestamp("2024-01-12")
    assert stats["total_return"] == eq[-1] - 1.0
    assert stats["cagr"] == pytest.approx(eq[-1] ** (1 / years) - 1, rel=1e-12)
    assert stats["annual_volatility"] == pytest.approx(sd * math.sqrt(252), rel=1e-12)
    assert stats["sharpe"] == pytest.approx(mean / sd * math.sqrt(252), rel=1e-12)
    assert stats["sortino"] == pytest.approx(mean / downside * math.sqrt(252), rel=1e-12)
    assert stats["max_drawdown"] == pytest.approx(9.0 / 12.0 - 1.0, rel=1e-12)
    assert stats["max_drawdown_start"] == pd.Timestamp("2024-01-04")
    assert stats["max_drawdown_end"] == pd.Timestamp("2024-01-05")
    assert stats["n_trades"] == 1
    assert stats["turnover"] == pytest.approx(1.0 / years, rel=1e-12)
    excess = result.stats(risk_free=0.05, periods_per_year=250)
    shifted = [r - 0.05 / 250 for r in rets]
    assert excess["sharpe"] == pytest.approx(
        statistics.fmean(shifted) / sd * math.sqrt(250), rel=1e-12
    )


def test_trade_statistics_count_winners_and_average_excursions():
    result = one_stock_run(
        {"UP": [10.0, 10.0, 9.5, 11.0, 12.0], "DOWN": [20.0, 20.0, 19.0, 16.0, 15.0]},
        {"UP": 0.5, "DOWN": 0.5},
        stop_loss=0.1,
    )
    stats = result.stats()
    assert stats["n_trades"] == 2
    assert stats["win_rate"] == 0.5
    assert stats["avg_mae"] == pytest.approx((-0.05 - 0.25) / 2)
    assert stats["avg_mfe"] == pytest.approx((0.2 + 0.0) / 2)


def test_turnover_counts_each_executed_switch_of_target_weights():
    dates = pd.bdate_range("2024-01-01", "2024-12-31")
    close = pd.DataFrame({"A": 10.0, "B": 20.0}, index=dates)
    month_ends = close.resample("ME").last().index
    # Full weight alternating between A and B each month, plus a repeated row that trades nothing.
    weights = pd.DataFrame(
        [[1.0, 0.0] if i % 2 == 0 else [0.0, 1.0] for i in range(len(month_ends))],
        index=month_ends, columns=["A", "B"],
    )
    result = pelmora.backtest(weights, close, rebalance="ME", fee=0.0, tax=0.0)
    years = (dates[-1] - dates[dates > month_ends[0]][0]).days / 365.25
    # The December row is decided on the last day and never executed: 11 executed rebalances.
    assert result.stats()["turnover"] == pytest.approx((1.0 + 2.0 * 10) / years, rel=1e-12)


@pytest.mark.parametrize("empty_first", [False, True])
def test_stats_start_at_the_first_fill(empty_first):
    dates = pd.bdate_range("2024-01-01", periods=5)
    close = pd.DataFrame({"A": [10.0, 20.0, 5.0, 5.0, 6.0]}, index=dates)
    # A rebalance that buys nothing deploys no capital: the window waits for the first fill.
    weights = pd.DataFrame({"A": [0.0, 1.0]}, index=dates[[0, 2]])
    weights = weights.iloc[1:] if not empty_first else weights
    stats = pelmora.backtest(weights, close, fee=0.0, tax=0.0).stats()
    assert stats["start"] == pd.Timestamp("2024-01-04")
    assert stats["total_return"] == 6.0 / 5.0 - 1.0


def test_max_drawdown_is_the_lowest_drawdown_from_the_starting_capital():
    dates = pd.bdate_range("2024-01-01", periods=4)
    trade = pd.DataFrame({"A": [10.0, 10.0, 10.0, 10.0]}, index=dates)
    close = pd.DataFrame({"A": [10.0, 8.0, 7.0, 7.5]}, index=dates)
    weights = pd.DataFrame({"A": [1.0]}, index=dates[:1])
    result = pelmora.backtest(weights, {"close": close, "trade": trade}, fee=0.0, tax=0.0)
    stats = result.stats()
    # Bought at 10 on the second day, closed at 8 then 7: -20 % then -30 % from 1.0.
    assert stats["max_drawdown"] == pytest.approx(-0.3, abs=1e-12)
    assert stats["max_drawdown"] == result.drawdown.iloc[result.window_start :].min()
    assert (stats["max_drawdown_start"], stats["max_drawdown_end"]) == (dates[0], dates[2])


# ------------------------------------------------------------------------------------------- plots


def png_pixels(fig) -> np.ndarray:
    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=60)
    data = buffer.getvalue()
    assert data[:8] == b"\x89PNG\r\n\x1a\n" and len(data) > 2000
    buffer.seek(0)
    return matplotlib.image.imread(buffer)


@pytest.mark.parametrize("kind", ["equity", "excursions"])
def test_plots_render_headless_to_non_empty_png(kind):
    market = random_market(9)
    result = pelmora.backtest(random_weights(10, market["close"].columns), market, stop_loss=0.05)
    fig = result.plot(kind, title=f"test {kind}")
    pixels = png_pixels(fig)
    assert pixels.ndim == 3 and pixels.std() > 0.01  # not a blank canvas
    if kind == "equity":
        top, bottom = fig.axes
        np.testing.assert_array_equal(top.lines[0].get_ydata(), result.equity.to_numpy())
        assert top.get_title() == "test equity" and bottom.get_ylabel() == "drawdown (%)"
    else:
        (ax,) = fig.axes
        points = sum(len(c.get_offsets()) for c in ax.collections)
        assert points == len(result.trades)
        winners = int((result.trades["trade_return"] > 0).sum())
        assert ax.get_legend().get_texts()[0].get_text() == f"winners ({winners})"


def test_excursion_plot_without_trades_says_so():
    fig = one_stock_run({"A": [10.0, 11.0]}, {"A": 0.0}).plot("excursions")
    assert [t.get_text() for t in fig.axes[0].texts] == ["no trades"]
    png_pixels(fig)


def test_unknown_plot_kind_is_rejected():
    with pytest.raises(ValueError, match='kind must be "equity" or "excursions"'):
        one_stock_run({"A": [10.0, 11.0]}, {"A": 1.0}).plot("candles")
