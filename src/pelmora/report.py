"""Self-contained HTML reports of a backtest and of a sweep.

A report is one HTML file that opens anywhere, also offline and in a mail attachment: the pictures
are inline PNG data, the style sheet is inline, it runs no script and names no other address.
"""

from __future__ import annotations

import base64
import datetime as _dt
import html
import io
import math
import os
import tempfile
from collections.abc import Callable, Iterable, Sequence
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora import _require
from pelmora.stats import drawdown

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

    from pelmora.result import BacktestResult

__all__ = ["ROLLING_WINDOW", "backtest_report", "sweep_report", "worst_drawdowns"]

ROLLING_WINDOW = 126
"""Trading days of the rolling Sharpe ratio and volatility (about six months)."""
PERIODS_PER_YEAR = 252

_STRATEGY_COLOR = "#1f77b4"
_BENCHMARK_COLOR = "#7f7f7f"
_LOSS_COLOR = "#d62728"

_LABELS = {
    "start": "Start",
    "end": "End",
    "total_return": "Total return",
    "cagr": "CAGR",
    "annual_volatility": "Annual volatility",
    "sharpe": "Sharpe ratio",
    "sortino": "Sortino ratio",
    "max_drawdown": "Max drawdown",
    "max_drawdown_start": "Max drawdown peak",
    "max_drawdown_end": "Max drawdown trough",
    "win_rate": "Win rate",
    "avg_win": "Average win",
    "avg_loss": "Average loss",
    "profit_factor": "Profit factor",
    "expectancy": "Expectancy",
    "avg_mae": "Average MAE",
    "avg_mfe": "Average MFE",
    "turnover": "Turnover (per year)",
    "n_trades": "Trades",
    "calmar": "Calmar ratio",
    "omega": "Omega ratio",
    "psr": "Probabilistic Sharpe ratio",
    "skew": "Skew",
    "kurtosis": "Excess kurtosis",
    "tail_ratio": "Tail ratio",
    "value_at_risk": "Daily value at risk (95 %)",
    "conditional_value_at_risk": "Expected shortfall (95 %)",
    "ulcer_index": "Ulcer index",
    "recovery_factor": "Recovery factor",
    "best_day": "Best day",
    "worst_day": "Worst day",
    "best_month": "Best month",
    "worst_month": "Worst month",
    "win_days": "Winning days",
    "max_consecutive_wins": "Most winning days in a row",
    "max_consecutive_losses": "Most losing days in a row",
    "kelly": "Kelly fraction",
    "alpha": "Alpha (annual)",
    "beta": "Beta",
    "correlation": "Correlation",
    "tracking_error": "Tracking error",
    "information_ratio": "Information ratio",
}
# Returns, probabilities, and pnl in portfolio units (0.01 is 1 % of the initial capital), read
# best as percents.
_PERCENT = {
    "total_return", "cagr", "annual_volatility", "max_drawdown", "win_rate", "avg_win",
    "avg_loss", "expectancy", "avg_mae", "avg_mfe", "alpha", "tracking_error", "psr",
    "value_at_risk", "conditional_value_at_risk", "ulcer_index", "best_day", "worst_day",
    "best_month", "worst_month", "win_days", "kelly",
}
_COUNTS = {"n_trades", "max_consecutive_wins", "max_consecutive_losses"}
_PERFORMANCE = (
    "total_return", "cagr", "annual_volatility", "sharpe", "sortino", "max_drawdown",
    "max_drawdown_start", "max_drawdown_end", "turnover",
)
_TRADE_STATS = (
    "n_trades", "win_rate", "avg_win", "avg_loss", "profit_factor", "expectancy", "avg_mae",
    "avg_mfe",
)
_SWEEP_STATS = ("total_return", "cagr", "annual_volatility", "sharpe", "max_drawdown", "n_trades")

_CSS = """
body { margin: 0; background: #f6f7f9; color: #1f2328;
  font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, Helvetica, Arial, sans-serif; }
main { max-width: 1040px; margin: 0 auto; padding: 24px 28px 48px; background: #fff; }
h1 { margin: 0 0 4px; font-size: 26px; }
h2 { margin: 36px 0 12px; padding-bottom: 4px; border-bottom: 2px solid #e5e7eb; font-size: 20px; }
h3 { margin: 18px 0 6px; font-size: 16px; }
p.sub { margin: 0 0 8px; color: #57606a; }
p.note { color: #57606a; font-size: 13px; }
nav { margin: 12px 0 0; font-size: 13px; }
nav a { color: #0b5cad; text-decoration: none; margin-right: 14px; white-space: nowrap; }
.row { display: flex; flex-wrap: wrap; gap: 28px; align-items: flex-start; }
table { border-collapse: collapse; font-size: 13.5px; margin: 6px 0; }
th, td { padding: 4px 10px; border-bottom: 1px solid #eaecef; text-align: left;
  white-space: nowrap; }
th { background: #f3f4f6; font-weight: 600; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
td.neg { color: #b42318; }
td.wrap { white-space: normal; }
.side { max-width: 300px; }
img { display: block; max-width: 100%; height: auto; margin: 8px 0; }
"""


# ------------------------------------------------------------------------------------ formatting


def _missing(value: Any) -> bool:
    if value is None:
        return True
    try:
        return bool(value != value)  # NaN and NaT are not equal to themselves
    except (TypeError, ValueError):
        return False


def _format(name: str, value: Any) -> str:
    """A statistic as a reader wants it: percents, two decimals, dates without a time."""
    if _missing(value):
        return "–"
    if hasattr(value, "strftime"):
        return str(value.strftime("%Y-%m-%d"))
    if isinstance(value, (bool, np.bool_)) or not isinstance(value, (int, float, np.number)):
        return str(value)
    number = float(value)
    if math.isinf(number):
        return "∞" if number > 0 else "-∞"
    if name in _COUNTS:
        return f"{int(number):,}"
    if name in _PERCENT:
        return f"{number * 100:.2f} %"
    return f"{number:,.2f}"


def _cell(text: str, *, numeric: bool = False, negative: bool = False, wrap: bool = False) -> str:
    classes = " ".join(c for c, on in (("num", numeric), ("neg", negative), ("wrap", wrap)) if on)
    attr = f' class="{classes}"' if classes else ""
    return f"<td{attr}>{html.escape(text)}</td>"


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float, np.number)) and not isinstance(value, (bool, np.bool_))


def _html_table(
    header: Sequence[str],
    rows: Iterable[Sequence[Any]],
    formatters: Sequence[Callable[[Any], str]] | None = None,
) -> str:
    """An HTML table; numbers right-aligned, negative ones in red, every text escaped."""
    rows = [list(r) for r in rows]
    numeric = [
        bool(rows) and all(_is_number(r[k]) or _missing(r[k]) for r in rows)
        for k in range(len(header))
    ]
    head = "".join(
        f'<th{" class=num" if numeric[k] else ""}>{html.escape(h)}</th>'
        for k, h in enumerate(header)
    )
    body = []
    for r in rows:
        cells = []
        for k, v in enumerate(r):
            text = formatters[k](v) if formatters else _format("", v)
            negative = _is_number(v) and not _missing(v) and float(v) < 0
            # Long texts (error messages) wrap instead of widening the page.
            cells.append(_cell(text, numeric=numeric[k], negative=negative, wrap=len(text) > 60))
        body.append("<tr>" + "".join(cells) + "</tr>")
    return f"<table><thead><tr>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"


def _stat_table(stats: Sequence[pd.Series], names: Sequence[str], columns: Sequence[str]) -> str:
    head = "".join(f'<th class="num">{html.escape(c)}</th>' for c in columns)
    body = []
    for name in names:
        cells = []
        for s in stats:
            v = s.get(name, math.nan)
            negative = _is_number(v) and not _missing(v) and float(v) < 0
            cells.append(_cell(_format(name, v), numeric=True, negative=negative))
        label = html.escape(_LABELS.get(name, name))
        body.append(f"<tr><th>{label}</th>{''.join(cells)}</tr>")
    return f"<table><thead><tr><th></th>{head}</tr></thead><tbody>{''.join(body)}</tbody></table>"


def _image(fig: Figure, alt: str, dpi: int = 100) -> str:
    buffer = io.BytesIO()
    # No "Software" text chunk: the file carries the picture and nothing that names a site.
    fig.savefig(buffer, format="png", dpi=dpi, metadata={"Software": None})
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img src="data:image/png;base64,{data}" alt="{html.escape(alt)}">'


def _page(title: str, subtitle: str, sections: Sequence[tuple[str, str, str]]) -> str:
    nav = "".join(f'<a href="#{key}">{html.escape(name)}</a>' for key, name, _ in sections)
    body = "".join(
        f'<section id="{key}"><h2>{html.escape(name)}</h2>{content}</section>'
        for key, name, content in sections
    )
    from pelmora import __version__

    stamp = _dt.datetime.now().strftime("%Y-%m-%d %H:%M")
    return (
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>{html.escape(title)}</title><style>{_CSS}</style></head><body><main>"
        f"<h1>{html.escape(title)}</h1><p class=sub>{html.escape(subtitle)}</p>"
        f"<nav>{nav}</nav>{body}"
        f'<p class="note">Made with pelmora {html.escape(__version__)} on {stamp}.</p>'
        "</main></body></html>\n"
    )


def _write(path: str | os.PathLike[str], text: str) -> Path:
    """Write ``text`` to ``path`` through a temporary file in the same folder, then rename it.

    A reader (a browser reloading the page, a watcher) sees the old report or the new one, never
    half of one, and a failure leaves no partial file behind. A symbolic link is written
    through: its target gets the report and the link stays a link.

    Raises
    ------
    ValueError
        When ``path`` (or the target of a link) exists and is not a regular file: a folder, a
        device or a pipe is never replaced by a report.
    """
    given = Path(path)
    # Renaming onto a link would replace the link itself, and renaming onto a device node (as
    # root, /dev/null) would replace the device: resolve links and write only regular files.
    target = Path(os.path.realpath(given))
    if target.exists() and not target.is_file():
        kind = "a folder" if target.is_dir() else "not a regular file"
        shown = f"{str(given)!r}" + (f" (a link to {str(target)!r})" if given.is_symlink() else "")
        raise ValueError(f"path {shown} is {kind}: a report is written to a file")
    fd, temp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
    try:
        with os.fdopen(fd, "w", encoding="utf-8") as out:
            out.write(text)
            out.flush()
            os.fsync(out.fileno())
        os.chmod(temp, 0o644)
        os.replace(temp, target)
    except BaseException:
        Path(temp).unlink(missing_ok=True)
        raise
    return given


def _figure(size: tuple[float, float]) -> Figure:
    _require("matplotlib", "pelmora.report")
    from matplotlib.figure import Figure

    return Figure(figsize=size, layout="constrained")


def _percent_axis(ax: Any, axis: str = "y") -> None:
    from matplotlib.ticker import PercentFormatter

    getattr(ax, f"{axis}axis").set_major_formatter(PercentFormatter(1.0))


# ------------------------------------------------------------------------------------ drawdowns


def worst_drawdowns(equity: pd.Series, n: int = 5) -> pd.DataFrame:
    """The deepest drawdowns of an equity curve, one row each, deepest first.

    A drawdown runs from a peak to the first later value back at or above it (its recovery);
    the last one may not have recovered by the end of the curve.

    Parameters
    ----------
    equity : pandas.Series
        Portfolio values on dates.
    n : int, default 5
        How many drawdowns to keep.

    Returns
    -------
    pandas.DataFrame
        Columns ``peak``, ``trough``, ``recovery`` (NaT when not recovered), ``depth`` (the
        trough's value over the peak's, minus 1) and ``days`` (calendar days from the peak to the
        recovery, or to the last date when not recovered).
    """
    pandas = _require("pandas", "pelmora.report.worst_drawdowns")
    values = equity.to_numpy(dtype=np.float64)
    dates = equity.index
    columns = ["peak", "trough", "recovery", "depth", "days"]
    if len(values) == 0:
        return pandas.DataFrame(columns=columns)
    peak_values = np.fmax.accumulate(values)
    under = values < peak_values
    # Each run of days below the running maximum is one drawdown; its peak is the day before it.
    edges = np.diff(np.concatenate(([0], under.astype(np.int8), [0])))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    rows = []
    for first, stop in zip(starts.tolist(), ends.tolist(), strict=True):
        peak = first - 1 if first > 0 else first
        trough = first + int(np.nanargmin(values[first:stop]))
        recovered = stop < len(values)
        last = dates[stop] if recovered else dates[-1]
        rows.append(
            {
                "peak": dates[peak],
                "trough": dates[trough],
                "recovery": dates[stop] if recovered else pandas.NaT,
                "depth": float(values[trough] / peak_values[trough] - 1.0),
                "days": int((last - dates[peak]) / np.timedelta64(1, "D")),
            }
        )
    frame = pandas.DataFrame(rows, columns=columns)
    return frame.sort_values("depth", kind="stable").head(n).reset_index(drop=True)


# ------------------------------------------------------------------------------------ benchmark


def _benchmark_level(
    benchmark: pd.Series, dates: pd.DatetimeIndex, *, before: bool = False
) -> pd.Series:
    """The benchmark as a price level on ``dates``: the last level on (or, with ``before``,
    strictly before) each one.

    Returns are compounded into a level first, read as :meth:`BacktestResult.stats` reads them.
    No level is carried past the benchmark's last date, where it would read as a flat market.
    """
    pandas = _require("pandas", "pelmora.report")
    from pelmora.stats import _benchmark_kind, _ns

    series = benchmark.astype(np.float64).dropna().sort_index(kind="stable")
    values = series.to_numpy()
    if _benchmark_kind(values, "auto") == "returns":
        values = np.cumprod(1.0 + values)
    # Nanoseconds on both sides: the two indexes may hold different units.
    known, at = _ns(series.index), _ns(dates)
    rows = np.searchsorted(known, at, side="left" if before else "right") - 1
    valid = (rows >= 0) & (at <= known[-1]) if len(known) else np.zeros(len(at), bool)
    level = np.where(valid, values[np.maximum(rows, 0)] if len(values) else np.nan, np.nan)
    return pandas.Series(level, index=dates, name=benchmark.name or "benchmark")


def _benchmark_equity(
    benchmark: pd.Series, equity: pd.Series
) -> tuple[pd.Series, pd.Series]:
    """The benchmark over the statistics window: rebased to 1 on its first day (to draw), and
    measured from the level before the window (to describe as the strategy is, from 1.0)."""
    level = _benchmark_level(benchmark, equity.index)
    known = level.dropna()
    first = known.iloc[0] if len(known) else math.nan
    drawn = level / first
    before = _benchmark_level(benchmark, equity.index[:1], before=True)
    base = before.iloc[0] if len(before) and not _missing(before.iloc[0]) else first
    return drawn, level / base


# ----------------------------------------------------------------------------- backtest figures


def _equity_figure(
    equity: pd.Series, bench: pd.Series | None, name: str, log_scale: bool
) -> Figure:
    fig = _figure((10.0, 6.2))
    grid = fig.add_gridspec(2, 1, height_ratios=(3, 1.3))
    top = fig.add_subplot(grid[0])
    bottom = fig.add_subplot(grid[1], sharex=top)
    top.plot(
        equity.index, equity.to_numpy(), color=_STRATEGY_COLOR, linewidth=1.4, label="strategy"
    )
    if bench is not None:
        top.plot(bench.index, bench.to_numpy(), color=_BENCHMARK_COLOR, linewidth=1.1, label=name)
    top.axhline(1.0, color="0.6", linewidth=0.8, linestyle="--")
    if log_scale:
        _log_axis(top, [equity] + ([bench] if bench is not None else []))
    top.set_ylabel("value (start = 1)" + (", log scale" if log_scale else ""))
    top.set_title("Equity")
    top.legend(loc="upper left")
    top.grid(True, alpha=0.3)
    top.tick_params(labelbottom=False)
    for curve, color, label in ((equity, _LOSS_COLOR, "strategy"), (bench, _BENCHMARK_COLOR, name)):
        if curve is None:
            continue
        # The strategy starts from its capital of 1.0; the benchmark is drawn rebased to 1.0 on
        # its first day, so its own first value is its first peak.
        dd = drawdown(curve, initial=1.0 if curve is equity else None)
        if curve is equity:
            bottom.fill_between(dd.index, dd.to_numpy(), 0.0, color=color, alpha=0.3, linewidth=0)
        bottom.plot(dd.index, dd.to_numpy(), color=color, linewidth=0.9, label=label)
    _percent_axis(bottom)
    bottom.set_ylabel("drawdown")
    bottom.grid(True, alpha=0.3)
    if bench is not None:
        bottom.legend(loc="lower left", fontsize=8)
    return fig


def _log_axis(ax: Any, curves: Sequence[pd.Series]) -> None:
    """A log scale labelled with plain numbers ("1.5", "20") rather than powers of ten."""
    from matplotlib.ticker import FuncFormatter, LogFormatter, MaxNLocator, NullFormatter

    ax.set_yscale("log")
    values = np.concatenate([c.to_numpy(dtype=np.float64) for c in curves])
    values = values[np.isfinite(values) & (values > 0)]
    if len(values) and values.max() < 10 * values.min():
        # Within a decade a log axis has one or two ticks of its own: place evenly spaced
        # round values instead.
        ax.yaxis.set_major_locator(MaxNLocator(7))
        ax.yaxis.set_major_formatter(FuncFormatter(lambda v, _: f"{v:g}"))
        ax.yaxis.set_minor_formatter(NullFormatter())
    else:
        ax.yaxis.set_major_formatter(LogFormatter(labelOnlyBase=False))
        ax.yaxis.set_minor_formatter(LogFormatter(labelOnlyBase=False, minor_thresholds=(2, 1)))


def _diverging(values: np.ndarray) -> Any:
    from matplotlib.colors import TwoSlopeNorm

    finite = np.abs(values[np.isfinite(values)])
    limit = float(finite.max()) if len(finite) and finite.max() > 0 else 0.01
    return TwoSlopeNorm(0.0, -limit, limit)


def _monthly_figure(months: pd.DataFrame) -> Figure:
    from matplotlib import colormaps

    cmap = colormaps["RdYlGn"].with_extremes(bad="#f0f0f0")
    fig = _figure((10.0, 0.42 * len(months) + 1.3))
    grid = fig.add_gridspec(1, 2, width_ratios=(12, 1.4))
    left, right = fig.add_subplot(grid[0]), fig.add_subplot(grid[1])
    years = [str(y) for y in months.index]
    # The year column has its own colour scale: a year's return dwarfs any month's.
    for ax, block in ((left, months.iloc[:, :12]), (right, months[["Year"]])):
        z = block.to_numpy(dtype=np.float64)
        norm = _diverging(z)
        ax.imshow(np.ma.masked_invalid(z), cmap=cmap, norm=norm, aspect="auto")
        ax.set_xticks(range(z.shape[1]), list(block.columns))
        ax.xaxis.tick_top()
        ax.set_yticks(range(len(years)), years)
        ax.tick_params(length=0)
        for (i, j), v in np.ndenumerate(z):
            if np.isfinite(v):
                strong = abs(norm(v) - 0.5) > 0.38  # the darkest ends of the map
                ax.text(
                    j, i, f"{v * 100:.1f}", ha="center", va="center", fontsize=9,
                    color="white" if strong else "black",
                )
    right.tick_params(labelleft=False)
    fig.suptitle("Monthly returns (%)", fontsize=11)
    return fig


def _year_labels(years: pd.Index, dates: pd.DatetimeIndex) -> list[str]:
    """Year ticks; the first and last years say where the window cuts them."""
    labels = [str(y) for y in years]
    if len(dates) and len(labels):
        first, last = dates[0], dates[-1]
        if (first.month, first.day) > (1, 7):
            labels[0] += f"\n(from {first.strftime('%b %d')})"
        if (last.month, last.day) < (12, 24):
            labels[-1] += f"\n(to {last.strftime('%b %d')})"
    return labels


def _yearly_figure(
    strategy: pd.Series, bench: pd.Series | None, name: str, dates: pd.DatetimeIndex
) -> Figure:
    fig = _figure((10.0, 3.6))
    ax = fig.add_subplot()
    x = np.arange(len(strategy))
    width = 0.38 if bench is not None else 0.6
    pairs = [(strategy, _STRATEGY_COLOR, "strategy", -width / 2 if bench is not None else 0.0)]
    if bench is not None:
        pairs.append((bench.reindex(strategy.index), _BENCHMARK_COLOR, name, width / 2))
    for series, color, label, shift in pairs:
        values = series.to_numpy(dtype=np.float64)
        bars = ax.bar(x + shift, np.nan_to_num(values), width, color=color, label=label)
        ax.bar_label(
            bars, labels=[f"{v * 100:.1f} %" if np.isfinite(v) else "" for v in values],
            fontsize=8, padding=2,
        )
    ax.set_xticks(x, _year_labels(strategy.index, dates))
    ax.axhline(0.0, color="0.4", linewidth=0.8)
    ax.margins(y=0.18)
    _percent_axis(ax)
    ax.set_title("Yearly returns")
    ax.grid(True, axis="y", alpha=0.3)
    ax.legend(loc="best", fontsize=9)
    return fig


def _rolling_figure(returns: pd.Series, bench: pd.Series | None, name: str) -> Figure:
    fig = _figure((10.0, 5.0))
    top = fig.add_subplot(2, 1, 1)
    bottom = fig.add_subplot(2, 1, 2, sharex=top)
    root = math.sqrt(PERIODS_PER_YEAR)
    curves = [(returns, _STRATEGY_COLOR, "strategy")]
    if bench is not None:
        curves.append((bench, _BENCHMARK_COLOR, name))
    for series, color, label in curves:
        window = series.rolling(ROLLING_WINDOW)
        mean, std = window.mean(), window.std()
        sharpe = (mean / std * root).to_numpy()
        top.plot(series.index, sharpe, color=color, linewidth=1.1, label=label)
        bottom.plot(series.index, (std * root).to_numpy(), color=color, linewidth=1.1, label=label)
    if len(returns):  # the whole window, as the other pictures, even before the first value
        top.set_xlim(returns.index[0], returns.index[-1])
    top.axhline(0.0, color="0.5", linewidth=0.8)
    top.set_title(f"Rolling Sharpe ratio and volatility ({ROLLING_WINDOW} days, annualised)")
    top.set_ylabel("Sharpe ratio")
    top.tick_params(labelbottom=False)
    bottom.set_ylabel("volatility")
    _percent_axis(bottom)
    for ax in (top, bottom):
        ax.grid(True, alpha=0.3)
    top.legend(loc="upper left", fontsize=8)
    if len(returns) < ROLLING_WINDOW:
        top.text(0.5, 0.5, f"fewer than {ROLLING_WINDOW} days", transform=top.transAxes,
                 ha="center", va="center", color="0.4")
    return fig


def _exposure_figure(exposure: pd.DataFrame) -> Figure:
    fig = _figure((10.0, 3.6))
    ax = fig.add_subplot()
    # Gross wide and pale underneath: in a long-only book gross, net and long are one line, and
    # the thinner ones on top stay visible.
    styles = {
        "gross": ("#c5b0e8", "-", 3.2), "net": ("#1f77b4", "-", 1.2),
        "long": ("#2ca02c", "--", 1.0), "short": ("#d62728", "--", 1.0),
    }
    for column, (color, line, width) in styles.items():
        ax.plot(exposure.index, exposure[column].to_numpy(), color=color, linestyle=line,
                linewidth=width, label=column)
    ax.axhline(0.0, color="0.5", linewidth=0.8)
    _percent_axis(ax)
    ax.set_title("Exposure (share of equity)")
    ax.grid(True, alpha=0.3)
    ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.1), ncol=4, fontsize=9, frameon=False)
    return fig


# ------------------------------------------------------------------------------ backtest report


def _options_table(options: dict[str, Any]) -> str:
    rows = []
    for name, value in options.items():
        if hasattr(value, "__len__") and not isinstance(value, str):
            value = f"{len(value)} stocks" if name == "delistings" else type(value).__name__
        rows.append((name, "–" if value is None else str(value)))
    return _html_table(("option", "value"), rows, [str, str])


def backtest_report(
    result: BacktestResult,
    path: str | os.PathLike[str],
    *,
    benchmark: pd.Series | None = None,
    log_scale: bool = False,
    title: str | None = None,
) -> Path:
    """Write a one-file HTML report of a backtest.

    The report holds the headline statistics (against the benchmark when one is given), the
    equity and drawdown curves, the monthly and yearly returns, the rolling Sharpe ratio and
    volatility, the exposure, the trade statistics with the excursion picture, the worst
    drawdowns, the last fills and the orders due on the next trading day. Everything covers the
    statistics window (from the first executed rebalance). The file is self-contained: pictures
    inline, no script, no other address, so it opens offline and can be mailed as it is.

    Parameters
    ----------
    result : BacktestResult
        The run to describe.
    path : str or os.PathLike
        The HTML file to write (replaced as a whole if it exists).
    benchmark : pandas.Series, optional
        Benchmark prices or returns on dates, read as :meth:`BacktestResult.stats` reads them;
        drawn rebased to 1 on the first day of the window.
    log_scale : bool, default False
        Draw the equity on a log scale.
    title : str, optional
        Page title (default "Backtest report").

    Returns
    -------
    pathlib.Path
        ``path``.

    Raises
    ------
    TypeError
        ``result`` not a :class:`BacktestResult`; and as :meth:`BacktestResult.stats` for the
        benchmark.
    """
    from pelmora.result import BacktestResult

    if not isinstance(result, BacktestResult):
        raise TypeError(f"result must be a BacktestResult, got {type(result).__name__}")
    _require("matplotlib", "pelmora.report")
    title = title or "Backtest report"
    stats = result.stats(benchmark)
    start = result.window_start
    equity = result.equity.iloc[start:]
    name = "benchmark"
    drawn = bench_equity = None
    if benchmark is not None:
        name = str(benchmark.name) if benchmark.name is not None else "benchmark"
        drawn, bench_equity = _benchmark_equity(benchmark, equity)

    from pelmora.stats import performance_stats

    columns, tables = ["strategy"], [stats]
    if bench_equity is not None and bench_equity.notna().any():
        columns.append(name)
        tables.append(performance_stats(bench_equity.dropna()))
    headline = _stat_table(tables, _PERFORMANCE, columns)
    if benchmark is not None:
        headline += _stat_table([stats], ("alpha", "beta", "correlation", "tracking_error",
                                          "information_ratio"), [f"against {name}"])
    sections = [("statistics", "Statistics", f'<div class="row">{headline}</div>')]
    if len(equity):
        sections += _curve_sections(result, stats, drawn, bench_equity, name, log_scale)
    else:  # no rebalance ran: the curves would be empty axes, the orders still matter
        sections.append(("equity", "Equity", '<p class="note">No rebalance was executed, so '
                         "there is no statistics window to draw.</p>"))
    sections.append(("fills", "Last fills", _fills_section(result.fills)))
    sections.append(("orders", "Next-period orders", _orders_section(result.next_period)))
    sections.append(("options", "Run options", _options_table(result.options)))
    subtitle = (
        f"{_format('', stats['start'])} to {_format('', stats['end'])} · "
        f"{len(result.inputs.stocks)} stocks · {len(result.trades):,} trades · "
        f"final equity {equity.iloc[-1]:.3f}" if len(equity) else "no rebalance was executed"
    )
    return _write(path, _page(title, subtitle, sections))


def _curve_sections(
    result: BacktestResult,
    stats: pd.Series,
    drawn: pd.Series | None,
    bench_equity: pd.Series | None,
    name: str,
    log_scale: bool,
) -> list[tuple[str, str, str]]:
    """The pictures and tables of the statistics window."""
    from pelmora.stats import monthly_returns

    start = result.window_start
    equity = result.equity.iloc[start:]
    known = bench_equity.dropna() if bench_equity is not None else None
    picture = _image(_equity_figure(equity, drawn, name, log_scale), "equity and drawdown")
    sections = [("equity", "Equity and drawdown", picture)]
    months = result.monthly_returns()
    if len(months):
        years = monthly_returns(known)["Year"] if known is not None and len(known) else None
        sections.append(("returns", "Monthly and yearly returns",
                         _image(_monthly_figure(months), "monthly returns")
                         + _image(_yearly_figure(months["Year"], years, name, equity.index),
                                  "yearly returns")))
    bench_returns = None
    if bench_equity is not None:
        bench_returns = bench_equity / bench_equity.shift(1, fill_value=1.0) - 1.0
    rolling = _rolling_figure(result.returns.iloc[start:], bench_returns, name)
    exposure = _exposure_figure(result.exposure.iloc[start:])
    sections += [
        ("rolling", "Rolling risk", _image(rolling, "rolling Sharpe ratio and volatility")),
        ("exposure", "Exposure", _image(exposure, "exposure")),
        ("trades", "Trades", _trades_section(result, stats)),
        # From the last all-cash day: a loss on the window's first day is a drawdown from 1.0.
        ("drawdowns", "Worst drawdowns",
         _drawdown_section(result.equity.iloc[max(start - 1, 0):])),
    ]
    return sections


def _trades_section(result: BacktestResult, stats: pd.Series) -> str:
    trades = result.trades
    table = _stat_table([stats], _TRADE_STATS, ["all trades"])
    reasons = trades["exit_reason"].astype(object).where(trades["exit_reason"].notna(), "open")
    counts = reasons.value_counts()
    exits = (
        _html_table(("exit", "trades"), counts.items(), [str, lambda v: f"{int(v):,}"])
        if len(counts) else ""
    )
    options = result.inputs.options
    fig = result.plot("excursions", title="Trade excursions: MFE against MAE")
    from pelmora.plotting import HEXBIN_THRESHOLD

    dense = len(trades) > HEXBIN_THRESHOLD
    fig.set_size_inches((10.0, 4.8) if dense else (6.1, 5.0))
    note = (
        '<p class="note">Averages of pnl are in % of the initial capital; MAE and MFE in % of '
        "the entry price"
        + (f"; stop loss at {options.stop_loss * 100:g} %" if options.stop_loss else "")
        + (f"; take profit at {options.take_profit * 100:g} %" if options.take_profit else "")
        + ".</p>"
    )
    picture = _image(fig, "trade excursions")
    if dense:  # two density panels need the whole width
        return f'<div class="row">{table}{exits}</div>{note}{picture}'
    return (
        f'<div class="row"><div class="side">{table}{exits}{note}</div>'
        f"<div>{picture}</div></div>"
    )



def _drawdown_section(equity: pd.Series) -> str:
    frame = worst_drawdowns(equity, 5)
    if frame.empty:
        return '<p class="note">No drawdown in the window.</p>'
    rows = [
        (r.peak, r.trough, r.recovery, r.depth, r.days)
        for r in frame.itertuples(index=False)
    ]
    day = lambda v: _format("", v) if not _missing(v) else "not recovered"  # noqa: E731
    return _html_table(
        ("peak", "trough", "recovery", "depth", "length (days)"), rows,
        [day, day, day, lambda v: f"{v * 100:.2f} %", lambda v: f"{int(v):,}"],
    )


def _fills_section(fills: pd.DataFrame) -> str:
    if fills.empty:
        return '<p class="note">No fills.</p>'
    last = fills.tail(20)
    columns = ("date", "stock", "reason", "side", "price", "value", "fee", "tax")
    rows = [tuple(r) for r in last[list(columns)].astype(object).itertuples(index=False)]
    text = lambda v: _format("", v)  # noqa: E731
    return (
        f'<p class="note">The last {len(last)} of {len(fills):,} fills; value, fee and tax in '
        "portfolio units (1.0 is the initial capital).</p>"
        + _html_table(columns, rows, [text, str, str, str, lambda v: f"{v:,.4g}",
                                      lambda v: f"{v:.4f}", lambda v: f"{v:.5f}",
                                      lambda v: f"{v:.5f}"])
    )


def _orders_section(next_period: pd.DataFrame) -> str:
    due = next_period[next_period["action"].notna()]
    if due.empty:
        return '<p class="note">No orders due on the next trading day.</p>'
    columns = ("stock", "action", "weight", "next_weight", "weight_date", "next_weight_date")
    rows = [tuple(r) for r in due[list(columns)].astype(object).itertuples(index=False)]
    weight = lambda v: f"{v * 100:.2f} %"  # noqa: E731
    date = lambda v: _format("", v)  # noqa: E731
    return _html_table(
        ("stock", "action", "weight", "next weight", "weight date", "next weight date"), rows,
        [str, str, weight, weight, date, date],
    )


# --------------------------------------------------------------------------------- sweep report


def sweep_report(
    table: pd.DataFrame,
    path: str | os.PathLike[str],
    *,
    x: str | None = None,
    y: str | None = None,
    value: str = "sharpe",
    title: str | None = None,
) -> Path:
    """Write a one-file HTML report of a sweep table.

    The report lists the combinations by ``value``, highest first (the top 50), then the failed
    ones with their error; draws ``value`` over two parameters with
    :func:`pelmora.plotting.plot_heatmap`; and shows the distribution of ``value``.

    Parameters
    ----------
    table : pandas.DataFrame
        As :func:`pelmora.sweep` returns: the grid's columns, the statistics, "error".
    path : str or os.PathLike
        The HTML file to write (replaced as a whole if it exists).
    x, y : str, optional
        The parameters across and down the heatmap (default: the first parameter columns that
        vary). With a third varying parameter of at most six values, one panel per value.
    value : str, default "sharpe"
        The statistic to rank and draw.
    title : str, optional
        Page title (default "Sweep report").

    Returns
    -------
    pathlib.Path
        ``path``.

    Raises
    ------
    TypeError
        ``table`` not a DataFrame.
    ValueError
        ``value``, ``x`` or ``y`` not a column of ``table``.
    """
    pandas = _require("pandas", "pelmora.sweep_report")
    _require("matplotlib", "pelmora.sweep_report")
    from pelmora import plotting
    from pelmora.stats import BENCHMARK_STAT_NAMES, STAT_NAMES

    if not isinstance(table, pandas.DataFrame):
        raise TypeError(f"table must be a pandas DataFrame, got {type(table).__name__}")
    for role, column in (("value", value), ("x", x), ("y", y)):
        if column is not None and column not in table.columns:
            raise ValueError(f"{role} column {column!r} is not in the table")
    outputs = {*STAT_NAMES, *BENCHMARK_STAT_NAMES, "error", "equity", "result"}
    parameters = [c for c in table.columns if c not in outputs and c != value]
    varying = plotting._parameter_columns(table, {value})
    shown = varying or parameters
    errors = table["error"] if "error" in table.columns else pandas.Series(None, index=table.index)
    failed = errors.map(lambda e: not _missing(e))
    scores = pandas.to_numeric(table[value], errors="coerce")
    good = table[~failed].assign(**{value: scores[~failed]})
    ranked = good.sort_values(value, ascending=False, na_position="last", kind="stable")

    extra = [s for s in _SWEEP_STATS if s in table.columns and s != value]
    param_text = lambda v: plotting._label(v)  # noqa: E731
    stat_text: list[Callable[[Any], str]] = [partial(_format, s) for s in (value, *extra)]
    top = ranked.head(50)
    rows = [tuple(r) for r in top[[*shown, value, *extra]].astype(object).itertuples(index=False)]
    listing = _html_table([*shown, value, *extra], rows, [param_text] * len(shown) + stat_text)

    sections = []
    finite = scores[~failed & np.isfinite(scores)]
    summary = f"{len(table):,} combinations, {int(failed.sum()):,} failed"
    if len(finite):
        best = ranked.iloc[0]
        summary += f"; best {value} {_format(value, best[value])} with " + ", ".join(
            f"{c} = {plotting._label(best[c])}" for c in shown
        )
    fixed = [c for c in parameters if c not in varying]
    if fixed and len(table):
        summary += "; the same in every run: " + ", ".join(
            f"{c} = {plotting._label(table[c].iloc[0])}" for c in fixed
        )
    x, y = _heatmap_axes(x, y, varying)
    if x is not None and y is not None:
        rest = [c for c in varying if c not in (x, y)]
        panels = rest[0] if len(rest) == 1 and table[rest[0]].nunique(dropna=False) <= 6 else None
        fig = plotting.plot_heatmap(table, x, y, value, panels=panels)
        picture = _image(fig, f"{value} by {y} and {x}")
    else:
        picture = '<p class="note">A heatmap needs two parameters that vary.</p>'
    sections.append(("surface", f"Parameter surface: {value}", picture))
    sections.append(("distribution", f"Distribution of {value}", _histogram(finite, value)))
    note = (
        f'<p class="note">The {len(top)} best of {len(good):,} runs by {value}, highest first.</p>'
    )
    sections.append(("ranking", "Ranking", note + listing))
    if failed.any():
        bad = table[failed]
        rows = [tuple(r) for r in bad[[*shown, "error"]].astype(object).itertuples(index=False)]
        body = _html_table([*shown, "error"], rows, [param_text] * len(shown) + [str])
        sections.append(("failed", f"Failed runs ({int(failed.sum())})", body))
    return _write(path, _page(title or "Sweep report", summary, sections))


def _heatmap_axes(
    x: str | None, y: str | None, varying: Sequence[str]
) -> tuple[str | None, str | None]:
    spare = [c for c in varying if c not in (x, y)]
    if x is None and spare:
        x = spare.pop(0)
    if y is None and spare:
        y = spare.pop(0)
    return x, y


def _histogram(values: pd.Series, name: str) -> str:
    if values.empty:
        return f'<p class="note">No run has a value of {html.escape(name)}.</p>'
    fig = _figure((8.0, 3.4))
    ax = fig.add_subplot()
    data = values.to_numpy(dtype=np.float64)
    ax.hist(data, bins=int(min(40, max(5, len(data) // 3))), color=_STRATEGY_COLOR, alpha=0.8)
    ax.axvline(float(np.median(data)), color="0.3", linestyle="--", linewidth=1.0,
               label=f"median {np.median(data):.3g}")
    ax.axvline(float(data.max()), color="#2ca02c", linewidth=1.2, label=f"best {data.max():.3g}")
    ax.set_xlabel(name)
    ax.set_ylabel("runs")
    ax.grid(True, alpha=0.3)
    ax.legend(fontsize=9)
    return _image(fig, f"distribution of {name}")
