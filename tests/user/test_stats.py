"""Performance statistics: benchmark figures against empyrical and SciPy, trades, months, and the
statistics of a run against figures computed by hand."""

import math
import os
import statistics
import warnings

import empyrical
import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from scipy import stats as scipy_stats

import pelmora
from pelmora.statistics._figures import series_mean, sum_skipping_nan
from pelmora.core import journal
from pelmora.stats import BENCHMARK_STAT_NAMES, STAT_NAMES, monthly_returns, performance_stats

from markets import one_stock_run

BENCH = list(BENCHMARK_STAT_NAMES)


def _market(seed, n=250, tz=None):
    """An equity curve from 1.0, its row returns and a correlated benchmark's returns."""
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-01-04", periods=n, tz=tz)
    port = rng.normal(0.0004, 0.012, n)
    bench = 0.7 * port + rng.normal(0.0002, 0.008, n)
    return pd.Series(np.cumprod(1 + port), dates), pd.Series(port, dates), pd.Series(bench, dates)


@settings(max_examples=40)
@given(st.integers(0, 2**32 - 1), st.floats(0, 0.1), st.sampled_from([12, 52, 252]))
def test_figures_match_empyrical(seed, risk_free, ppy):
    equity, port, bench = _market(seed)
    stats = performance_stats(equity, benchmark=bench, periods_per_year=ppy, risk_free=risk_free)
    rf = risk_free / ppy
    # empyrical compounds the per-row alpha over a year; undo that to reach the arithmetic alpha.
    geometric = empyrical.alpha(port, bench, risk_free=rf, annualization=ppy)
    expected = {
        "alpha": ((1 + geometric) ** (1 / ppy) - 1) * ppy,
        "beta": empyrical.beta(port, bench, risk_free=rf),
        "correlation": scipy_stats.pearsonr(port, bench).statistic,
        "tracking_error": empyrical.annual_volatility(port - bench, annualization=ppy),
        "information_ratio": empyrical.excess_sharpe(port, bench) * math.sqrt(ppy),
        "annual_volatility": empyrical.annual_volatility(port, annualization=ppy),
        "sharpe": empyrical.sharpe_ratio(port, risk_free=rf, annualization=ppy),
        # Same downside deviation as here: over all rows, gains as zeros.
        "sortino": empyrical.sortino_ratio(port, required_return=rf, annualization=ppy),
    }
    assert list(stats.index) == [*STAT_NAMES, *BENCH]
    for name, value in expected.items():
        assert stats[name] == pytest.approx(float(value), rel=1e-9, abs=1e-12), name


@pytest.mark.parametrize(("equity_tz", "bench_tz"), [(None, None), ("UTC", "America/New_York")])
def test_prices_read_as_their_returns(equity_tz, bench_tz):
    equity, _, bench = _market(1, tz=equity_tz)
    # One price before the window, so that the first row has a benchmark return too.
    dates = bench.index.insert(0, bench.index[0] - pd.Timedelta(days=3))
    prices = pd.Series(100 * np.cumprod(np.r_[1.0, 1 + bench.to_numpy()]), dates)
    if bench_tz:
        prices, bench = prices.tz_convert(bench_tz), bench.tz_convert(bench_tz)
    for last in (equity.index[-1], equity.index[99]):  # no price carried past the last one
        got = [
            performance_stats(equity, benchmark=b[b.index <= last])[BENCH].astype(float)
            for b in (prices, prices.pct_change(), bench)
        ]
        np.testing.assert_allclose(got[0], got[1], rtol=1e-10)
        np.testing.assert_allclose(got[0], got[2], rtol=1e-10)


_SPAN = ("benchmark covers only {} to {} of the equity's 2021-01-04 to 2021-06-18: the "
         "benchmark figures are computed over that span")


@pytest.mark.parametrize(("cut", "kind", "span"), [
    (slice(30, None), "prices", ("2021-02-16", "2021-06-18")),   # starts late: a return from
    (slice(30, None), "returns", ("2021-02-15", "2021-06-18")),  # the second price on
    (slice(None, -10), "prices", ("2021-01-05", "2021-06-04")),  # ends early
    (slice(None, -10), "returns", ("2021-01-04", "2021-06-04")),
])
def test_a_benchmark_over_part_of_the_window_warns_naming_the_span(cut, kind, span):
    equity, _, bench = _market(4, n=120)
    series = (100 * (1 + bench).cumprod() if kind == "prices" else bench).iloc[cut]
    with pytest.warns(UserWarning) as caught:
        stats = performance_stats(equity, benchmark=series)
    assert [(str(w.message), w.filename) for w in caught] == [(_SPAN.format(*span), __file__)]
    assert not math.isnan(stats["beta"])
    result = one_stock_run({"A": [10.0, 11, 12, 11, 13, 14, 15, 14]}, {"A": 1.0})
    with pytest.warns(UserWarning) as caught:
        result.stats(benchmark=result.equity.iloc[:-3])
    message = _SPAN.replace("2021-01-04 to 2021-06-18", "2024-01-02 to 2024-01-10")
    assert [(str(w.message), w.filename) for w in caught] == [
        (message.format("2024-01-02", "2024-01-05"), __file__)]


@pytest.mark.parametrize("kind", ["prices from the first date", "pct_change", "prices before"])
def test_a_benchmark_over_the_whole_window_is_taken_as_given(kind):
    # The first date's return may be missing (no price before it, pct_change's first NaN), as
    # may dates inside the window.
    equity, _, bench = _market(5, n=120)
    prices = 100 * (1 + bench).cumprod()
    given = {"prices from the first date": prices.drop(prices.index[50:60]),
             "pct_change": prices.pct_change(),
             "prices before": pd.concat([pd.Series([100.0], [equity.index[0] - pd.Timedelta("3D")]),
                                         prices])}[kind]
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        performance_stats(equity, benchmark=given)


@pytest.mark.parametrize(
    ("values", "auto"),
    [([0.01, 0.02, 0.03, 0.01], "prices"), ([101.0, np.nan, 99.0, 102.0], "prices"),
     ([0.01, 0.0, 0.03, 0.01], "returns"), ([0.01, -0.02, np.nan, 0.01], "returns")],
)
def test_auto_reads_positive_series_as_prices(values, auto):
    equity, _, _ = _market(2, n=4)
    bench = pd.Series(values, equity.index)
    read = performance_stats(equity, benchmark=bench)[BENCH]
    assert read.equals(performance_stats(equity, benchmark=bench, benchmark_kind=auto)[BENCH])
    if auto == "returns":  # not prices at all
        with pytest.raises(ValueError, match="benchmark read as prices"):
            performance_stats(equity, benchmark=bench, benchmark_kind="prices")
    else:  # the override: positive values that are returns
        forced = performance_stats(equity, benchmark=bench, benchmark_kind="returns")[BENCH]
        assert not read.equals(forced)


@pytest.mark.parametrize("bench", [np.full(50, 0.007), np.r_[np.nan, 0.01, np.full(48, np.nan)]])
def test_flat_or_single_pair_benchmark_is_nan(bench):
    equity, _, _ = _market(3, n=50)
    bench = pd.Series(bench, equity.index)
    stats = performance_stats(equity, benchmark=bench, benchmark_kind="returns")
    assert all(math.isnan(stats[name]) for name in ("alpha", "beta", "correlation"))


@pytest.mark.parametrize(
    ("pnl", "expected"),
    [
        ([0.3, -0.1, np.nan, -0.1, 0.2], (0.5, 0.25, -0.1, 2.5, 0.075, 5)),
        ([0.1, 0.2], (1.0, 0.15, math.nan, math.inf, 0.15, 2)),
        ([0.0, np.nan], (0.0, math.nan, math.nan, math.nan, 0.0, 2)),
        ([-0.2], (0.0, math.nan, -0.2, 0.0, -0.2, 1)),
        ([], (math.nan,) * 5 + (0,)),
        (None, (math.nan,) * 5 + (0,)),
    ],
)
def test_trade_stats_from_pnl(pnl, expected):
    trades = None if pnl is None else pd.DataFrame({"pnl": pnl, "mae": 0.1, "gmfe": 0.2})
    names = ["win_rate", "avg_win", "avg_loss", "profit_factor", "expectancy", "n_trades"]
    got = performance_stats(_market(4)[0], trades)[names].astype(float).to_numpy()
    np.testing.assert_allclose(got, expected, rtol=1e-12)


@given(st.integers(0, 2**32 - 1), st.integers(0, 3000), st.floats(0.0, 0.5))
def test_trade_figures_of_columns_are_those_of_the_frame_bit_for_bit(seed, n, holes):
    # A result hands its trade columns over as Series; the figures are the frame's, and each
    # average is NumPy's mean of the wins, losses or excursions (pandas skipping NaN), exactly.
    rng = np.random.default_rng(seed)
    pnl, mae, gmfe = rng.normal(0.0, 0.01, (3, n))
    pnl[rng.random(n) < holes] = np.nan
    mae[rng.random(n) < holes] = np.nan
    frame = pd.DataFrame({"pnl": pnl, "mae": mae, "gmfe": gmfe})
    equity = _market(5)[0]
    got = performance_stats(equity, {name: frame[name] for name in frame})
    assert [repr(v) for v in got] == [repr(v) for v in performance_stats(equity, frame)]
    kept = pnl[~np.isnan(pnl)]
    wins, losses = kept[kept > 0], kept[kept < 0]
    expected = [wins.mean() if len(wins) else math.nan, losses.mean() if len(losses) else math.nan,
                frame["mae"].mean() if n else math.nan, gmfe.mean() if n else math.nan]
    assert repr(got[["avg_win", "avg_loss", "avg_mae", "avg_mfe"]].astype(float).tolist()) == repr(
        [float(v) for v in expected])


@given(st.integers(0, 2**32 - 1), st.floats(0.5, 2.0))
def test_monthly_returns_compound_to_the_year(seed, initial):
    rng = np.random.default_rng(seed)
    days = np.sort(rng.choice(2000, size=int(rng.integers(1, 40)), replace=False))
    dates = pd.Timestamp("2019-11-20") + pd.to_timedelta(days, unit="D")
    equity = pd.Series(np.cumprod(rng.lognormal(0, 0.05, len(days))), dates)
    table = monthly_returns(equity, initial=initial)
    assert table.index.name == "year"
    assert list(table.index) == list(range(dates[0].year, dates[-1].year + 1))
    months = (1 + table.iloc[:, :12]).prod(axis=1, skipna=True) - 1
    has_data = table.iloc[:, :12].notna().any(axis=1)
    np.testing.assert_allclose(months[has_data], table["Year"][has_data], rtol=1e-9, atol=1e-12)
    before = equity[equity.index.year < dates[-1].year]
    start = before.iloc[-1] if len(before) else initial
    assert table["Year"].iloc[-1] == pytest.approx(equity.iloc[-1] / start - 1, rel=1e-12)


_EQUITY, _, _BENCH = _market(5, n=30, tz="UTC")


@pytest.mark.parametrize(
    ("kwargs", "error", "name"),
    [
        ({"periods_per_year": 0}, ValueError, "periods_per_year"),
        ({"periods_per_year": math.inf}, ValueError, "periods_per_year"),
        ({"risk_free": -1.0}, ValueError, "risk_free"),
        ({"risk_free": math.nan}, ValueError, "risk_free"),
        ({"benchmark_kind": "price"}, ValueError, "benchmark_kind"),
        ({"benchmark": _BENCH.to_numpy()}, TypeError, "benchmark"),
        ({"benchmark": _BENCH.reset_index(drop=True)}, TypeError, "benchmark"),
        ({"benchmark": _BENCH.tz_localize(None)}, ValueError, "benchmark"),
        ({"benchmark": _BENCH.shift(1000, freq="D")}, ValueError, "benchmark"),
        ({"benchmark": (1 + _BENCH).cumprod().shift(-1000, freq="D")}, ValueError, "benchmark"),
    ],
)
def test_argument_errors_name_the_argument(kwargs, error, name):
    with pytest.raises(error, match=name) as caught:
        performance_stats(_EQUITY, **kwargs)
    assert type(caught.value) is error


@pytest.mark.parametrize(
    ("equity", "initial", "error", "name"),
    [
        (_EQUITY, 0.0, ValueError, "initial"),
        (_EQUITY.reset_index(drop=True), 1.0, TypeError, "equity"),
    ],
)
def test_monthly_returns_errors(equity, initial, error, name):
    with pytest.raises(error, match=name) as caught:
        monthly_returns(equity, initial=initial)
    assert type(caught.value) is error


@pytest.mark.parametrize(
    ("values", "depth", "peak"),
    [
        ([0.8, 0.7, 0.75], -0.3, "before"),  # the capital of 1.0 is the first peak
        ([1.1, 0.77, 1.2, 1.08], -0.3, 0),
        ([1.0, 1.2, 1.3], 0.0, None),
    ],
)
def test_max_drawdown_counts_the_starting_capital(values, depth, peak):
    dates = pd.bdate_range("2024-01-02", periods=len(values))
    before = pd.Timestamp("2024-01-01")
    s = performance_stats(pd.Series(values, index=dates), initial_date=before)
    assert s["max_drawdown"] == pytest.approx(depth, abs=1e-12)
    expected = pd.NaT if peak is None else before if peak == "before" else dates[peak]
    assert s["max_drawdown_start"] is expected or s["max_drawdown_start"] == expected


@pytest.mark.parametrize(("seed", "risk_free"), [(0, 0.0), (1, 0.03), (2, 0.1)])
def test_tear_sheet_figures_match_quantstats(seed, risk_free):
    qs = pytest.importorskip("quantstats").stats
    rng = np.random.default_rng(seed)
    r = rng.standard_t(4, 400) * 0.008 + 0.0004
    r[rng.random(400) < 0.1] = 0.0  # flat days: neither wins nor losses
    port = pd.Series(r, pd.bdate_range("2021-01-04", periods=400))
    equity = (1 + port).cumprod()
    stats = performance_stats(equity, risk_free=risk_free)
    rf = (1 + risk_free / 252) ** 252 - 1  # compounded down to a row by quantstats: risk_free/252
    years = (port.index[-1] - port.index[0]).days / 365.25
    expected = {
        "calmar": qs.calmar(port, periods=400 / years),  # its CAGR over calendar years
        "omega": qs.omega(port, rf=rf),
        "psr": qs.probabilistic_sharpe_ratio(port, rf=rf),
        "skew": qs.skew(port),
        "kurtosis": qs.kurtosis(port),
        "tail_ratio": qs.tail_ratio(port),
        "conditional_value_at_risk": qs.cvar(port, method="historical"),
        "ulcer_index": qs.ulcer_index(port) * math.sqrt(399 / 400),  # mean over n, not n - 1
        "recovery_factor": (equity.iloc[-1] - 1) / -qs.max_drawdown(port),  # compounded, signed
        "best_day": qs.best(port),
        "worst_day": qs.worst(port),
        "best_month": qs.best(port, aggregate="ME"),
        "worst_month": qs.worst(port, aggregate="ME"),
        "win_days": qs.win_rate(port),
        "max_consecutive_wins": qs.consecutive_wins(port),
        "max_consecutive_losses": qs.consecutive_losses(port),
        "kelly": qs.kelly_criterion(port),
        "value_at_risk": port.quantile(0.05),  # quantstats' own is parametric
    }
    for name, value in expected.items():
        assert stats[name] == pytest.approx(float(value), rel=1e-9), name


_WINS = [0.01, 0.02, 0.01, 0.03]


@pytest.mark.parametrize(
    ("returns", "risk_free", "expected"),
    [
        # A flat day ends a run; 4 of the 7 days that moved are wins, paying 0.0175 / (0.04 / 3).
        ([0.01, 0.02, 0.0, 0.01, -0.01, -0.02, -0.01, 0.03], 0.0,
         {"max_consecutive_wins": 2, "max_consecutive_losses": 3, "win_days": 4 / 7,
          "kelly": 4 / 7 - 3 / 7 / (0.0175 / (0.04 / 3))}),
        # Gains 0.05 over losses 0.03; against 1 % a row (2.52 a year), 0.03 over 0.05.
        ([0.02, -0.01, 0.03, -0.02], 0.0, {"omega": 5 / 3}),
        ([0.02, -0.01, 0.03, -0.02], 2.52, {"omega": 0.6}),
        (_WINS, 0.0, {"omega": math.inf, "kelly": math.nan, "max_consecutive_wins": 4,
                      "max_consecutive_losses": 0, "recovery_factor": math.nan}),
        # The 5th percentile of five returns lies a fifth of the way from the lowest to the next.
        ([0.01, -0.04, 0.03, 0.0, -0.02], 0.0,
         {"value_at_risk": -0.036, "conditional_value_at_risk": -0.04,
          "tail_ratio": 0.026 / 0.036}),
        # Equity 0.8, 0.9, 1.2: drawdowns of -20 % and -10 % from the starting capital of 1.0.
        ([-0.2, 0.125, 1 / 3], 0.0, {"ulcer_index": math.sqrt(0.05 / 3), "recovery_factor": 1.0}),
        ([0.05], 0.0, {"best_day": 0.05, "best_month": 0.05, "win_days": 1.0,
                       "value_at_risk": math.nan, "skew": math.nan, "psr": math.nan}),
    ],
)
def test_figures_by_hand(returns, risk_free, expected):
    dates = pd.bdate_range("2024-01-02", periods=len(returns))
    stats = performance_stats(pd.Series(np.cumprod(np.add(returns, 1.0)), dates),
                              risk_free=risk_free)
    for name, value in expected.items():
        assert stats[name] == pytest.approx(value, rel=1e-9, nan_ok=True), name


@pytest.mark.parametrize("tz", [None, "America/New_York"])
def test_best_and_worst_month_are_those_of_the_monthly_table(tz):
    equity = _market(6, n=300, tz="UTC" if tz else None)[0]
    if tz:  # midnight UTC is the evening before: the first day of a month falls in the previous
        equity = equity.tz_convert(tz)
    months = monthly_returns(equity).iloc[:, :12].stack()
    stats = performance_stats(equity)
    got = (stats["best_month"], stats["worst_month"])
    assert got == pytest.approx((months.max(), months.min()), rel=1e-12)


def test_huge_finite_returns_give_nan_moments_not_an_overflow_error():
    equity = pd.Series([1.0, 1e-80, 10.0, 5.0, 7.0, 8.0], index=pd.bdate_range("2024-01-01", periods=6))
    with np.errstate(all="ignore"):
        s = performance_stats(equity)
    assert math.isnan(s["kurtosis"]) and math.isnan(s["psr"]) and s["total_return"] == 7.0


# ------------------------------------------------------------------------- the statistics of a run


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


finite_or_not = st.floats(allow_nan=True, allow_infinity=True, width=64)


@settings(max_examples=200, deadline=None)
@given(st.integers(1, 6).flatmap(lambda n: st.tuples(
    st.lists(st.floats(-2, 2) | finite_or_not, min_size=n, max_size=n),
    st.lists(st.tuples(st.integers(0, n - 1), finite_or_not, finite_or_not, finite_or_not),
             max_size=12))), st.booleans())
def test_the_native_turnover_is_the_numpy_formula(case, in_row_order):
    # Per row, in the fills' order: (|after - before| - written_off) / the equity before the row.
    # A run's fills come in row order; the formula holds in any order.
    equity, fills = case
    fills = sorted(fills, key=lambda f: f[0]) if in_row_order else fills
    rows = np.array([f[0] for f in fills], dtype=np.int64)
    before, after, written_off = (np.array([f[i] for f in fills], dtype=np.float64)
                                  for i in (1, 2, 3))
    equity = np.array(equity, dtype=np.float64)
    base = np.concatenate(([1.0], equity[:-1]))[rows]
    with np.errstate(all="ignore"):
        weight = (np.abs(after - before) - written_off) / base
    expected = np.bincount(rows, weights=weight, minlength=len(equity))
    got = journal._turnover(rows, before, after, written_off, equity)
    # Which of two NaNs an addition keeps is the compiler's choice: NaN is compared as NaN.
    same = (got.view(np.int64) == expected.view(np.int64)) | (np.isnan(got) & np.isnan(expected))
    assert same.all()


@settings(max_examples=200, deadline=None)
@given(st.lists(finite_or_not, max_size=40), st.integers(1, 6), st.integers(0, 5),
       st.sampled_from([0, 1, 7, 8, 129, 300, 1037]))
def test_the_average_excursion_is_pandas_mean_bit_for_bit(values, width, column, rows):
    # The statistics' mean of a column of the excursion summary (a strided view), NaN skipped;
    # past 128 rows the sum is split in halves, as NumPy's pairwise sum does.
    rows = rows if values else 0
    matrix = np.resize(np.array(values, dtype=np.float64), (max(rows, len(values)), width))
    series = pd.Series(matrix[:, column % width], copy=False)
    expected, got = float(series.mean()), series_mean(series)
    assert _same_float(expected, got)
    # Two columns at once (the statistics' average MAE and MFE), read side by side.
    other = pd.Series(matrix[:, (column + 1) % width], copy=False)
    both = journal._means_skipping_nan(series.to_numpy(), other.to_numpy())
    assert _same_float(both[0], expected) and _same_float(both[1], float(other.mean()))


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


def test_stats_against_a_benchmark_given_as_prices_or_returns():
    dates = pd.bdate_range("2024-01-01", periods=250)
    rng = np.random.default_rng(3)
    prices = pd.DataFrame({"A": 10 * np.exp(np.cumsum(rng.normal(0, 0.02, 250)))}, index=dates)
    # Holding the benchmark itself: beta 1 but for the entry day, whose move it did not make.
    result = pelmora.backtest(pd.DataFrame({"A": [1.0]}, index=dates[:1]), prices)
    by_price = result.stats(prices["A"])
    by_return = result.stats(prices["A"].pct_change(), benchmark_kind="returns")
    assert by_price["beta"] == pytest.approx(1.0, abs=0.05)
    assert by_price["correlation"] > 0.95
    assert by_price[["alpha", "beta"]].tolist() == pytest.approx(by_return[["alpha", "beta"]])
    table = result.monthly_returns()
    assert table.loc[2024, "Year"] == pytest.approx(result.stats()["total_return"], rel=1e-12)


def _same_float(a: float, b: float) -> bool:
    # Which of two NaNs an addition keeps is the compiler's choice: NaN is compared as NaN.
    return (math.isnan(a) and math.isnan(b)) or np.float64(a).tobytes() == np.float64(b).tobytes()


@settings(max_examples=300, deadline=None)
@given(st.lists(st.one_of(st.floats(-1.0, 1.0), finite_or_not, st.sampled_from([-0.0, np.nan])),
                max_size=300), st.integers(1, 3))
def test_trade_figures_are_numpys_sums_of_the_compacted_pnl(values, step):
    # The native pass against the NumPy formulas it replaces, on strided pnl with every kind of
    # float: counts of the counted, winning and losing trades, and NumPy's sums of each group.
    pnl = np.repeat(np.array(values, dtype=np.float64), step)[::step]
    kept = pnl[~np.isnan(pnl)]
    wins, losses = kept[kept > 0], kept[kept < 0]
    counted, n_wins, n_losses, gains, lost, total = journal._trade_figures(pnl)
    assert (counted, n_wins, n_losses) == (len(kept), len(wins), len(losses))
    with np.errstate(invalid="ignore", over="ignore"):
        expected = (float(wins.sum()), float(losses.sum()), float(kept.sum()))
    assert all(map(_same_float, (gains, lost, total), expected))


@settings(max_examples=30, deadline=None)
@given(st.integers(0, 2**32 - 1), st.sampled_from([0, 9, 300, 40_000]), st.floats(0.0, 0.3),
       st.integers(1, 3))
def test_the_figures_computed_together_are_each_figure_alone(seed, n, holes, step):
    # One call shares the statistics' sums among the CPUs (past a size, on two threads): each
    # figure is the one its own function gives, on strided columns with NaN among them.
    rng = np.random.default_rng(seed)
    pnl, mae, gmfe = (rng.normal(0.0, 1.0, n * step)[::step] for _ in range(3))
    pnl[rng.random(n) < holes] = np.nan
    mae[rng.random(n) < holes] = np.nan
    n_fills, n_rows = 2 * n, max(n // 50, 1)
    rows = rng.integers(0, n_rows, n_fills)
    rows = np.sort(rows) if seed % 2 else rows
    before, after, written_off, fee = rng.normal(0.0, 0.1, (4, n_fills))
    equity = np.exp(rng.normal(0.0, 0.1, n_rows))
    columns = (rows, before, after, written_off, equity)
    args = (pnl, mae, gmfe, *columns, fee, fee[::2])
    together = journal._run_figures(*args)
    per_row, figures, means, sums = together
    assert per_row.tobytes() == journal._turnover(*columns).tobytes()
    alone = (journal._trade_figures(pnl), journal._means_skipping_nan(mae, gmfe))
    assert repr((figures, means)) == repr(alone)
    assert repr(sums) == repr((float(np.sum(fee)), float(np.sum(fee[::2]))))
    # Started on a thread of their own, they are the same, and asked twice, the same object.
    task = journal._start_figures(*args)
    aside = task.result()
    assert aside is task.result() and aside[0].tobytes() == per_row.tobytes()
    assert repr(aside[1:]) == repr(together[1:])
    journal._start_figures(*args)  # dropped unasked: its thread is waited for


@pytest.mark.parametrize("change, text", [
    (lambda a: [a[0], a[1][:-1], *a[2:]], "^_run_figures: the excursion columns differ in length$"),
    (lambda a: [*a[:4], a[4][:-1], *a[5:]], "^_run_figures: the fill columns differ in length$"),
    (lambda a: [*a[:3], a[3] + 2, *a[4:]],
     "^_run_figures: a fill's row lies outside the equity's rows$"),
])
def test_the_figures_computed_together_refuse_columns_they_cannot_read(change, text):
    args = [np.zeros(2), np.zeros(2), np.zeros(2), np.array([0, 1]), *np.zeros((3, 2)), np.ones(2)]
    assert journal._run_figures(*args)[0].tolist() == [0.0, 0.0]
    # A row out of range is found by the computation: the task raises when asked.
    for run in (journal._run_figures, lambda *a: journal._start_figures(*a).result()):
        with pytest.raises(ValueError, match=text):
            run(*change(args))
    for name in ("_run_figures", "_start_figures"):
        with pytest.raises(TypeError, match=rf"^{name}\(\) takes at least 8 arguments \(7 given\)$"):
            getattr(journal, name)(*args[:7])
    with pytest.raises(TypeError):
        type(journal._start_figures(*args))()


def test_a_results_statistics_are_those_of_its_tables():
    # A result computes its trade figures, costs and turnover together from the run's columns;
    # the public function on the result's own tables gives the same figures, bit for bit.
    rng = np.random.default_rng(11)
    dates = pd.bdate_range("2022-01-03", periods=600)
    close = pd.DataFrame(np.exp(np.cumsum(rng.normal(0, 0.02, (600, 100)), axis=0)), dates)
    weights = pd.DataFrame(rng.random((600, 100)) * (rng.random((600, 100)) < 0.3), dates)
    weights = weights.div(weights.sum(axis=1), axis=0)
    options = dict(fee=0.001, tax=0.002, capital=1e8)
    result = pelmora.backtest(weights, close, **options)
    fills, equity = result.fills, result.equity.to_numpy()
    assert len(fills) > 20_000  # enough to share the sums between threads
    start = result.window_start
    # The turnover from the fills: on each row, in the fills' order, the weight each fill
    # moved, |after - before| less what was written off, of the equity before the row.
    rows = result.equity.index.get_indexer(fills["date"])
    moved = (np.abs(fills["after"] - fills["before"]) - fills["written_off"]).to_numpy()
    per_row = np.bincount(rows, weights=moved / np.concatenate(([1.0], equity[:-1]))[rows],
                          minlength=len(equity))
    # No cap and no lots: each fill is an order of its own, its shares all it asked for.
    fill_rate = float(fills["shares"].abs().sum() / fills["requested"].abs().sum())
    assert fill_rate == 1.0
    expected = performance_stats(
        result.equity.iloc[start:], result.trades,
        turnover=float(pd.Series(per_row[start:]).sum()),
        initial_date=result.equity.index[start - 1] if start else None,
        costs={"fee_cost": fills["fee"].sum(), "tax_cost": fills["tax"].sum(),
               "slippage_cost": 0.0, "impact_cost": 0.0, "financing_cost": 0.0},
        fill_rate=fill_rate)
    got = pelmora.backtest(weights, close, **options).stats()
    assert [repr(v) for v in got] == [repr(v) for v in expected]


@given(st.lists(finite_or_not, max_size=300), st.integers(0, 3))
def test_a_sum_skipping_nan_is_pandas_sum_bit_for_bit(values, repeat):
    values = np.tile(np.array(values, dtype=np.float64), repeat)
    assert _same_float(sum_skipping_nan(values), float(pd.Series(values).sum()))


def test_each_statistics_series_has_an_index_of_its_own():
    stats = performance_stats(_market(6)[0])
    stats.index.name = "figure"
    again = performance_stats(_market(6)[0])
    assert again.index.name is None and list(again.index) == list(stats.index)
    assert again.index.dtype == pd.Series(dict.fromkeys(STAT_NAMES), dtype=object).index.dtype


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs os.fork")
def test_figures_started_before_a_fork_are_computed_again_in_the_child():
    # The task's thread does not exist in the child: its figures are computed there anew.
    rng = np.random.default_rng(4)
    n = 60_000
    args = (*rng.normal(0, 1, (3, n)), np.sort(rng.integers(0, 100, n)), *rng.normal(0, 1, (3, n)),
            np.ones(100), rng.normal(0, 1, n))
    expected = journal._run_figures(*args)
    task = journal._start_figures(*args)
    read, write = os.pipe()
    pid = os.fork()
    if pid == 0:  # pragma: no cover - the child
        got = task.result()
        same = got[0].tobytes() == expected[0].tobytes() and repr(got[1:]) == repr(expected[1:])
        os.write(write, b"1" if same else b"0")
        os._exit(0)
    os.close(write)
    assert os.read(read, 1) == b"1"
    os.waitpid(pid, 0)
    assert repr(task.result()[1:]) == repr(expected[1:])


def test_figures_asked_for_from_several_threads_at_once_are_one_result():
    # Each asking thread takes sums not started yet and waits for the task's own thread once.
    import threading

    rng = np.random.default_rng(8)
    n = 200_000
    args = (*rng.normal(0, 1, (3, n)), np.sort(rng.integers(0, 1000, n)),
            *rng.normal(0, 1, (3, n)), np.ones(1000), rng.normal(0, 1, n), rng.normal(0, 1, n))
    expected = repr(journal._run_figures(*args)[1:])
    for _ in range(20):
        task, got = journal._start_figures(*args), []
        threads = [threading.Thread(target=lambda: got.append(task.result())) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        # No thread builds the result while another is still in a sum it took.
        assert len(got) == 4 and all(g is got[0] for g in got)
        assert repr(got[0][1:]) == expected


# ------------------------------------------------------------------------ trades as users count them

_TRADE_FIGURES = ["win_rate", "avg_win", "avg_loss", "profit_factor", "expectancy"]


@given(st.integers(0, 2**32 - 1), st.booleans())
@settings(max_examples=40, deadline=None)
def test_the_trade_figures_count_positions_whatever_split_trades_says(seed, stops):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2024-01-01", periods=90)
    stocks = list("ABCDE")
    prices = pd.DataFrame(50 * np.exp(np.cumsum(rng.normal(0, 0.02, (90, 5)), axis=0)),
                          index=dates, columns=stocks)
    weights = pd.DataFrame(rng.choice([-0.3, 0.0, 0.15, 0.2], (9, 5)), index=dates[::10],
                           columns=stocks)
    options = {"stop_loss": 0.04} if stops else {}
    split = pelmora.backtest(weights, prices, **options)
    whole = pelmora.backtest(weights, prices, split_trades=False, **options)
    a, b = split.stats(), whole.stats()
    # One row of whole.trades per position; split.trades has a row per rebalance held through.
    assert a["n_trades"] == b["n_trades"] == len(whole.trades) <= len(split.trades)
    for name in _TRADE_FIGURES:
        assert a[name] == pytest.approx(b[name], rel=1e-9, abs=1e-15, nan_ok=True), name


def test_a_position_resized_across_rebalances_is_one_trade():
    dates = pd.bdate_range("2024-01-01", periods=40)
    prices = pd.DataFrame({"A": np.linspace(10.0, 14.0, 40),
                           "B": np.r_[np.linspace(10.0, 9.0, 11), np.linspace(9.1, 12.0, 29)]},
                          index=dates)
    # A is held through three rebalances (resized twice) and sold; B is bought, flipped short
    # in one fill and covered: two positions, with three and four records in the trades.
    weights = pd.DataFrame({"A": [0.3, 0.5, 0.4, 0.0], "B": [0.2, -0.2, -0.1, 0.0]},
                           index=dates[[0, 10, 20, 30]])
    result = pelmora.backtest(weights, prices, fee=0.001, tax=0.0)
    trades = result.trades
    assert trades.groupby("stock").size().to_dict() == {"A": 3, "B": 3}
    stats = result.stats()
    assert stats["n_trades"] == 2
    per_stock = trades.groupby("stock")["pnl"].sum()
    assert per_stock["A"] > 0 > per_stock["B"]  # B lost while long and while short
    assert stats["win_rate"] == 0.5
    assert stats["avg_win"] == pytest.approx(per_stock["A"], rel=1e-12)
    assert stats["avg_loss"] == pytest.approx(per_stock["B"], rel=1e-12)
    assert stats["expectancy"] == pytest.approx(per_stock.sum() / 2, rel=1e-12)
