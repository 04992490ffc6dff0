"""Results that show themselves in a notebook: the HTML of :meth:`BacktestResult._repr_html_` and of
the walk-forward results (:class:`~pelmora.walkforward.WalkForwardResult`,
:class:`~pelmora.walkforward.PurgedResult`).

A notebook renders this for every result it displays, so it must be small (a few KB), quick (no
matplotlib: the equity is an inline SVG polyline) and inert: no script, no style sheet and no
picture from another address, every text escaped (stock ids are the user's and may hold markup).
The figures are formatted by the report's one rule (:func:`pelmora.report._html._format`).
"""

from __future__ import annotations

import html
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora.plotting._style import LOSS_COLOR, STOP_COLOR, STRATEGY_COLOR
from pelmora.report._html import _LABELS, _format, _missing

if TYPE_CHECKING:  # pragma: no cover
    from pelmora.research._purged import PurgedResult
    from pelmora.results.result import BacktestResult
    from pelmora.research.walkforward import WalkForwardResult

__all__ = [
    "HEADLINE", "MAX_ORDERS", "MAX_ROWS", "SPARK_POINTS", "purged_html", "result_html",
    "sparkline_svg", "walk_forward_html",
]

HEADLINE = (
    "total_return", "cagr", "annual_volatility", "sharpe", "sortino", "max_drawdown", "calmar",
    "psr", "n_trades", "win_rate", "profit_factor", "turnover",
)
"""The statistics a result shows in a notebook, in this order."""

SPARK_POINTS = 240
"""Most points of the sparkline: a longer equity is cut into buckets drawn by their low and high."""

MAX_ORDERS = 8
"""Most next-period orders listed; the rest are counted."""

MAX_ROWS = 8
"""Most windows, splits or paths listed in a walk-forward result's view; the rest are counted."""

_TRADE_FIGURES = {"n_trades", "win_rate", "profit_factor", "turnover"}
_PATH_FIGURES = ("mean", "std", "min", "median", "max", "share_negative")

_WIDTH, _HEIGHT, _PAD = 240, 48, 2


def _thinned(values: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Positions and values to draw: all of them, or each bucket's low and high in time order.

    Keeping both extremes of a bucket keeps every drawdown visible, which a plain every-k-th
    sample can step over.
    """
    n = len(values)
    if n <= SPARK_POINTS:
        return np.arange(n), values
    edges = np.linspace(0, n, SPARK_POINTS // 2 + 1).astype(np.int64)
    picks: list[int] = []
    for lo, hi in zip(edges[:-1], edges[1:]):
        chunk = values[lo:hi]
        picks.extend(sorted({lo + int(np.argmin(chunk)), lo + int(np.argmax(chunk))}))
    picks[-1] = n - 1  # end on the final equity
    index = np.asarray(picks)
    return index, values[index]


def sparkline_svg(equity: np.ndarray, title: str = "equity") -> str:
    """The equity as a small inline SVG line, with the initial 1.0 dashed when in range.

    Parameters
    ----------
    equity : numpy.ndarray
        The equity after each day.
    title : str, default "equity"
        The picture's tooltip and accessible name (escaped here).

    Returns
    -------
    str
        An ``<svg>`` element; an empty string for fewer than two values.
    """
    values = np.asarray(equity, dtype=np.float64)
    values = values[np.isfinite(values)]
    if len(values) < 2:
        return ""
    x, y = _thinned(values)
    low, high = float(min(y.min(), 1.0)), float(max(y.max(), 1.0))
    if high == low:  # a flat equity: a line across the middle
        low, high = low - 1.0, high + 1.0
    span = high - low
    sx = (_WIDTH - 2 * _PAD) / max(int(x[-1]), 1)
    to_y = lambda v: _HEIGHT - _PAD - (v - low) / span * (_HEIGHT - 2 * _PAD)  # noqa: E731
    points = " ".join(f"{_PAD + i * sx:.1f},{to_y(v):.1f}" for i, v in zip(x, y))
    base = to_y(1.0)
    colour = STRATEGY_COLOR if values[-1] >= 1.0 else LOSS_COLOR
    return (
        # No namespace attribute: inline in HTML it is implied, and the fragment names no address.
        f'<svg width="{_WIDTH}" height="{_HEIGHT}" '
        f'viewBox="0 0 {_WIDTH} {_HEIGHT}" role="img" aria-label="{html.escape(title)}">'
        f"<title>{html.escape(title)}</title>"
        f'<line x1="0" x2="{_WIDTH}" y1="{base:.1f}" y2="{base:.1f}" stroke="{STOP_COLOR}" '
        'stroke-width="0.5" stroke-dasharray="2,2"/>'
        f'<polyline fill="none" stroke="{colour}" stroke-width="1.2" points="{points}"/></svg>'
    )


def _rows(pairs: list[tuple[str, str]]) -> str:
    return "".join(
        f'<tr><th style="text-align:left">{html.escape(k)}</th><td>{html.escape(v)}</td></tr>'
        for k, v in pairs
    )


def _orders(next_period: Any) -> str:
    # What to trade: holds and stops already done need nothing on the next day.
    due = next_period[~next_period["order"].str.startswith(("hold", "none"))]
    if due.empty:
        return ""
    lines = "".join(
        f"<tr><td>{html.escape(str(stock))}</td><td>{html.escape(order)}</td>"
        f"<td>{_format('', weight * 100)} %</td></tr>"
        for stock, order, weight in due[["stock", "order", "next_weight"]].head(MAX_ORDERS)
        .itertuples(index=False)
    )
    more = len(due) - MAX_ORDERS
    tail = f"<tr><td colspan=3>… and {more} more</td></tr>" if more > 0 else ""
    return (
        '<table style="font-size:11px"><caption style="text-align:left">Next period</caption>'
        f"<tr><th>stock</th><th>order</th><th>next weight</th></tr>{lines}{tail}</table>"
    )


def result_html(result: BacktestResult) -> str:
    """The notebook view of a result: what its repr says, headline statistics, equity, orders.

    Parameters
    ----------
    result : pelmora.BacktestResult
        The run to show.

    Returns
    -------
    str
        An HTML fragment without script or external reference.
    """
    stats = result.stats()
    equity = result.equity
    span = _span(equity.index)
    head = f"BacktestResult {span}, {len(result.inputs.stocks):,} stocks, {_final(equity)}"
    shown = [(_LABELS.get(n, n), _format(n, stats.get(n))) for n in HEADLINE if n in stats]
    if not _missing(stats.get("max_drawdown_start")):
        shown.insert(
            HEADLINE.index("max_drawdown") + 1,
            ("Max drawdown span", f"{_format('', stats['max_drawdown_start'])} .. "
                                  f"{_format('', stats['max_drawdown_end'])}"),
        )
    spark = sparkline_svg(equity.to_numpy(), title=f"equity, {span}")
    return _view(head, shown, spark, _orders(result.next_period))


def _span(index: Any) -> str:
    return f"{_format('start', index[0])} .. {_format('end', index[-1])}" if len(index) else "no rows"


def _final(equity: Any) -> str:
    return f"final equity {equity.iloc[-1]:.4f}" if len(equity) else "final equity –"


def _validation_head(
    result: WalkForwardResult | PurgedResult, counted: str
) -> tuple[Any, str, str]:
    """A validation's equity, its span and the first line of its view: the kind, the span and
    what was chosen by which figure."""
    equity = result.equity
    span = _span(equity.index)
    return equity, span, f"{type(result).__name__} {span}, {counted} chosen by {result.metric}"


def _listing(caption: str, header: list[str], rows: list[list[str]], total: int) -> str:
    """A small table of texts (escaped here), with a line counting the rows left out."""
    head = "".join(f"<th>{html.escape(h)}</th>" for h in header)
    body = "".join(
        "<tr>" + "".join(f"<td>{html.escape(cell)}</td>" for cell in row) + "</tr>"
        for row in rows[:MAX_ROWS]
    )
    more = total - min(len(rows), MAX_ROWS)
    tail = f"<tr><td colspan={len(header)}>… and {more} more</td></tr>" if more > 0 else ""
    return (
        f'<table style="font-size:11px"><caption style="text-align:left">{html.escape(caption)}'
        f"</caption><tr>{head}</tr>{body}{tail}</table>"
    )


def _view(head: str, figures: list[tuple[str, str]], picture: str, listing: str) -> str:
    return (
        '<div style="font-family:sans-serif;font-size:12px">'
        f"<div><b>{html.escape(head)}</b></div>"
        '<div style="display:flex;gap:16px;align-items:flex-start">'
        f'<table style="font-size:12px">{_rows(figures)}</table>'
        f"<div>{picture}{listing}</div></div></div>"
    )


def walk_forward_html(result: WalkForwardResult) -> str:
    """The notebook view of a walk-forward: its span, the out-of-sample figures, the stitched
    equity and the windows with the options each chose.

    Parameters
    ----------
    result : pelmora.walkforward.WalkForwardResult
        The walk-forward to show.

    Returns
    -------
    str
        An HTML fragment without script or external reference.
    """
    equity, span, head = _validation_head(result, f"{len(result.windows)} windows")
    head += f", {_final(equity)}"
    stats = result.stats()
    # Figures of the returns only: the stitched equity has no trade list of its own.
    shown = [(_LABELS.get(n, n), _format(n, stats.get(n))) for n in HEADLINE
             if n not in _TRADE_FIGURES and n in stats and not _missing(stats.get(n))]
    windows = result.windows
    chosen = [c for c in windows.columns
              if c not in ("train_start", "train_end", "test_start", "test_end")
              and not c.startswith(("train_", "test_"))]
    metric = result.metric
    rows = [
        [f"{_format('', w['test_start'])} .. {_format('', w['test_end'])}",
         *(_format("", w[c]) for c in chosen),
         _format(metric, w[f"train_{metric}"]), _format(metric, w[f"test_{metric}"])]
        for w in windows.head(MAX_ROWS).to_dict("records")
    ]
    listing = _listing("Windows", ["test span", *chosen, f"train {metric}", f"test {metric}"],
                       rows, len(windows))
    return _view(head, shown, sparkline_svg(equity.to_numpy(), title=f"equity, {span}"), listing)


def purged_html(result: PurgedResult) -> str:
    """The notebook view of a purged cross-validation: the spread of the paths' Sharpe ratios,
    the first path's equity and each path's figure.

    Parameters
    ----------
    result : pelmora.walkforward.PurgedResult
        The cross-validation to show.

    Returns
    -------
    str
        An HTML fragment without script or external reference.
    """
    equity, span, head = _validation_head(
        result, f"{len(result.splits)} splits, {result.equity.shape[1]} paths")
    stats = result.stats()
    shown = [(f"path Sharpe {n.replace('_', ' ')}",
              _format("win_rate" if n == "share_negative" else "", stats[n]))
             for n in _PATH_FIGURES]
    rows = [[str(path), _format("", sharpe), _format("", equity[path].iloc[-1])]
            for path, sharpe in result.path_sharpe.head(MAX_ROWS).items()]
    listing = _listing("Paths", ["path", "sharpe", "final equity"], rows, len(result.path_sharpe))
    picture = (sparkline_svg(equity.iloc[:, 0].to_numpy(), title=f"path 0 equity, {span}")
               if equity.shape[1] else "")
    return _view(head, shown, picture, listing)
