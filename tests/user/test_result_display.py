"""A result shown in a notebook, and the next-period orders in words."""

from __future__ import annotations

import re

import pandas as pd
import pytest

import pelmora

DAYS = pd.bdate_range("2024-01-01", periods=6)
ENGINE_CODES = {"enter", "exit", "hold", "tp", "sl", "tp_enter", "sl_enter", "tp_", "sl_", None}


def one_stock(prices, weights, *, first="A", **options):
    """A run of stock "B" (the second column, so its codes carry a side) beside a flat "A"."""
    n = len(prices)
    order = ["A", "B"] if first == "A" else ["B", "A"]
    close = pd.DataFrame({"A": [10.0] * n, "B": prices}, index=DAYS[:n])[order]
    rows = {DAYS[k]: {"A": 0.0, "B": w} for k, w in weights.items()}
    frame = pd.DataFrame.from_dict(rows, orient="index")[order]
    data = {"close": close, "open": close, "high": close, "low": close}
    return pelmora.backtest(frame, data, rebalance=None, fee=0, tax=0, **options)


NO_RESTOP = dict(stop_trading_next_period=False)
CASES = [
    # prices of B, weights by day, options, engine code, order
    ([10, 10, 10, 10], {3: 1.0}, {}, "enter", "buy"),
    ([10, 10, 10, 10], {3: -0.5}, {}, "enter", "sell short"),
    ([10, 10, 10, 10], {0: 1.0, 3: 0.0}, {}, "exit", "sell"),
    ([10, 10, 10, 10], {0: -1.0, 3: 0.0}, {}, "exit", "cover"),
    ([10, 10, 10, 10], {0: 1.0, 3: 0.5}, {}, "hold", "hold"),
    ([10, 10, 10, 10], {0: 1.0, 3: -1.0}, {}, "hold", "sell and sell short"),
    ([10, 10, 10, 10], {0: 1.0}, {}, None, "hold"),
    ([10, 10, 10, 12], {0: 1.0}, dict(take_profit=0.1), "tp", "take-profit exit"),
    ([10, 10, 10, 8], {0: 1.0}, dict(stop_loss=0.1), "sl", "stop-loss exit"),
    # The codes name the threshold the close crossed: a short's upper one is its stop.
    ([10, 10, 10, 12], {0: -1.0}, dict(stop_loss=0.1), "tp", "stop-loss exit"),
    ([10, 10, 10, 8], {0: -1.0}, dict(take_profit=0.1), "sl", "take-profit exit"),
    ([10, 10, 10, 12], {0: 1.0, 3: 1.0}, dict(take_profit=0.1, **NO_RESTOP), "tp_enter",
     "hold (rebalance overrides take-profit exit)"),
    ([10, 10, 10, 8], {0: 1.0, 3: 1.0}, dict(stop_loss=0.1, **NO_RESTOP), "sl_enter",
     "hold (rebalance overrides stop-loss exit)"),
    ([10, 10, 12, 12, 12], {0: -1.0}, dict(stop_loss=0.1), "tp_", "none (stopped out)"),
    ([10, 10, 12, 12, 12], {0: 1.0}, dict(take_profit=0.1, intraday_stops=True), "tp_",
     "none (took profit)"),
    ([10, 10, 12, 13, 11, 11], {0: 1.0}, dict(trailing_stop=0.1, intraday_stops=True), "sl_",
     "none (trailing stop hit)"),
]


def test_the_cases_reach_every_code_the_engine_reports():
    assert {case[3] for case in CASES} == ENGINE_CODES


@pytest.mark.filterwarnings("ignore:pelmora.backtest. no rebalance")
@pytest.mark.parametrize(("prices", "weights", "options", "code", "order"), CASES)
def test_every_action_code_has_its_order_in_words(prices, weights, options, code, order):
    frame = one_stock(prices, weights, **options).next_period.set_index("stock")
    assert frame.loc["B", "action"] == code
    assert frame.loc["B", "order"] == order


def test_the_first_stock_cannot_tell_its_exits_apart_and_says_so():
    # Stock 0 has no signed index for an upper crossing: its take profit reports as "sl".
    frame = one_stock([10, 10, 10, 12], {0: 1.0}, first="B", take_profit=0.1).next_period
    row = frame.set_index("stock").loc["B"]
    assert (row["action"], row["order"]) == ("sl", "stop-loss or take-profit exit")


@pytest.mark.parametrize("n_days", [3, 2000])
def test_html_view_shows_the_statistics_and_an_svg_and_names_no_other_address(n_days):
    days = pd.bdate_range("2015-01-01", periods=n_days)
    close = pd.DataFrame({"<b>": [10.0 + (k % 7) for k in range(n_days)],
                          "x&y": 20.0}, index=days)
    weights = pd.DataFrame({"<b>": [0.5, -0.5], "x&y": [0.5, 0.0]},
                           index=[days[0], days[-1]])
    result = pelmora.backtest(weights, close, rebalance=None)
    page = result._repr_html_()
    stats = result.stats()
    assert "<svg" in page and f"{stats['total_return'] * 100:.2f} %" in page
    for label in ("Sharpe ratio", "Max drawdown", "CAGR", "Trades"):
        assert label in page
    # The user's stock ids are text, never markup.
    assert "<b>" not in page.replace("<b>BacktestResult", "") and "&lt;b&gt;" in page
    assert "x&amp;y" in page
    assert not re.search(r"https?:|src=|href=|<script|url\(", page)
    assert len(page) < 8_000
    assert repr(result).startswith("<BacktestResult 2015-01-01..")
