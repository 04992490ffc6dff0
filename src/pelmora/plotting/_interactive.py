"""Interactive figures (plotly): zoom, hover, legends that hide a curve.

The same pictures as the matplotlib ones, in the same palette, for ``interactive=True``:
:meth:`BacktestResult.plot`, :func:`pelmora.plot_heatmap`, :func:`pelmora.plot_capacity` and
:meth:`Comparison.plot`. plotly is the ``interactive`` extra and is imported only here, when a
figure is made. The figures carry their data as NumPy arrays, which plotly writes compactly.
"""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._optional import import_optional
from pelmora.plotting._style import (
    BENCHMARK_COLOR, LOSS_COLOR, MISSING_COLOR, SERIES_COLORS, STOP_COLOR, STRATEGY_COLOR,
    WIN_COLOR,
)
from pelmora.statistics.performance import COST_NAMES, drawdown

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = [
    "capacity_interactive", "curves_figure", "excursion_interactive", "heatmap_interactive",
    "rolling_interactive",
]

# The title on the left above the plot, the legend on the right of the same line.
_LAYOUT = dict(template="plotly_white", hovermode="x unified", margin=dict(l=60, r=20, t=60, b=40),
               legend=dict(orientation="h", yanchor="bottom", y=1.02, xanchor="right", x=1.0))


def _plotly(caller: str) -> tuple[Any, Any]:
    """plotly's graph objects and make_subplots, or the ImportError naming the extra."""
    go = import_optional("plotly.graph_objects", caller=caller)
    return go, import_optional("plotly.subplots", caller=caller).make_subplots


def _dates(index: Any) -> np.ndarray:
    return np.asarray(index.to_numpy())


def curves_figure(
    equity: pd.DataFrame, benchmark: pd.Series | None = None, *, log_scale: bool = False,
    title: str = "Equity", caller: str = "Comparison.plot(interactive=True)",
) -> Any:
    """Equities on one axis (from a capital of 1.0), their drawdowns under it; the benchmark
    grey. A column per strategy, NaN outside its window."""
    go, make_subplots = _plotly(caller)
    fig = make_subplots(rows=2, cols=1, shared_xaxes=True, row_heights=(0.7, 0.3),
                        vertical_spacing=0.04)
    curves = [(str(name), equity[name].dropna(), SERIES_COLORS[k % len(SERIES_COLORS)])
              for k, name in enumerate(equity.columns)]
    if benchmark is not None and len(benchmark):
        curves.append((str(benchmark.name or "benchmark"), benchmark.dropna(), BENCHMARK_COLOR))
    for name, curve, color in curves:
        x = _dates(curve.index)
        fig.add_trace(go.Scatter(x=x, y=curve.to_numpy(dtype=np.float64), name=name,
                                 legendgroup=name, line=dict(color=color, width=1.5),
                                 hovertemplate="%{y:.4f}"), row=1, col=1)
        under = drawdown(curve, initial=1.0).to_numpy()
        fig.add_trace(go.Scatter(x=x, y=under, name=name, legendgroup=name, showlegend=False,
                                 line=dict(color=color, width=1.0), hovertemplate="%{y:.2%}"),
                      row=2, col=1)
    fig.add_hline(y=1.0, line=dict(color="#999999", width=1, dash="dash"), row=1, col=1)
    fig.update_yaxes(title_text="value (start = 1)", type="log" if log_scale else "linear",
                     row=1, col=1)
    fig.update_yaxes(title_text="drawdown", tickformat=".0%", row=2, col=1)
    fig.update_layout(title=title, height=560, **_LAYOUT)
    return fig


def excursion_interactive(
    trades: pd.DataFrame, *, stop_loss: float | None = None, take_profit: float | None = None,
    title: str | None = None, threshold: int = 2000,
) -> Any:
    """Each trade's maximum adverse against its maximum favourable excursion, the trade named
    on hover; two density panels (winners, losers) above ``threshold`` trades."""
    go, make_subplots = _plotly("BacktestResult.plot(interactive=True)")
    adverse = -trades["mae"].to_numpy(dtype=np.float64)
    favourable = trades["gmfe"].to_numpy(dtype=np.float64)
    win = trades["pnl"].to_numpy(dtype=np.float64) > 0
    dense = len(trades) > threshold
    fig = make_subplots(rows=1, cols=2 if dense else 1, shared_yaxes=True,
                        subplot_titles=("winners", "losers") if dense else None)
    for k, (mask, color, label) in enumerate(((win, WIN_COLOR, "winners"),
                                              (~win, LOSS_COLOR, "losers"))):
        name = f"{label} ({int(mask.sum())})"
        if dense:
            fig.add_trace(go.Histogram2d(
                x=adverse[mask], y=favourable[mask], name=name, nbinsx=40, nbinsy=40,
                colorscale="Greens" if k == 0 else "Reds", showscale=False,
                hovertemplate="MAE %{x:.1%}<br>MFE %{y:.1%}<br>%{z} trades"), row=1, col=k + 1)
            continue
        chosen = trades[mask]
        text = [f"{s}, {a:%Y-%m-%d} to {'open' if b != b else f'{b:%Y-%m-%d}'}, pnl {p:.4f}"
                for s, a, b, p in zip(chosen["stock"], chosen["entry_date"],
                                      chosen["exit_date"], chosen["pnl"])]
        fig.add_trace(go.Scatter(x=adverse[mask], y=favourable[mask], mode="markers",
                                 name=name, text=text, marker=dict(color=color, size=6,
                                                                   opacity=0.7),
                                 hovertemplate="%{text}<br>MAE %{x:.1%}<br>MFE %{y:.1%}"
                                               "<extra></extra>"))
    top = float(np.nanmax(np.concatenate([adverse, favourable, [0.01]])))
    for col in range(1, 3 if dense else 2):
        fig.add_trace(go.Scatter(x=[0.0, top], y=[0.0, top], mode="lines", name="MFE = MAE",
                                 showlegend=col == 1, hoverinfo="skip",
                                 line=dict(color="#888888", width=1, dash="dash")),
                      row=1, col=col)
        if stop_loss is not None:
            fig.add_vline(x=stop_loss, line=dict(color=STOP_COLOR, dash="dot"), row=1, col=col)
        if take_profit is not None:
            fig.add_hline(y=take_profit, line=dict(color=STOP_COLOR, dash="dashdot"), row=1,
                          col=col)
    fig.update_xaxes(title_text="maximum adverse excursion", tickformat=".0%", rangemode="tozero")
    fig.update_yaxes(title_text="maximum favourable excursion", tickformat=".0%",
                     rangemode="tozero", col=1)
    fig.update_layout(title=title or "Trade excursions", height=520,
                      **{**_LAYOUT, "hovermode": "closest"})
    return fig


def rolling_interactive(
    returns: pd.DataFrame, benchmark: pd.Series | None, *, window: int,
    periods_per_year: float,
) -> Any:
    """The rolling Sharpe ratio above the rolling volatility, annualised, a line per column."""
    go, make_subplots = _plotly("pelmora.report(interactive=True)")
    fig = make_subplots(rows=2, cols=1, shared_xaxes=True, vertical_spacing=0.06)
    root = math.sqrt(periods_per_year)
    columns = [(str(n), returns[n].dropna(), SERIES_COLORS[k % len(SERIES_COLORS)])
               for k, n in enumerate(returns.columns)]
    if benchmark is not None:
        columns.append((str(benchmark.name or "benchmark"), benchmark.dropna(), BENCHMARK_COLOR))
    for name, series, color in columns:
        rolling = series.rolling(window)
        mean, std = rolling.mean(), rolling.std()
        x = _dates(series.index)
        fig.add_trace(go.Scatter(x=x, y=(mean / std * root).to_numpy(), name=name,
                                 legendgroup=name, line=dict(color=color, width=1.2),
                                 hovertemplate="%{y:.2f}"), row=1, col=1)
        fig.add_trace(go.Scatter(x=x, y=(std * root).to_numpy(), name=name, legendgroup=name,
                                 showlegend=False, line=dict(color=color, width=1.2),
                                 hovertemplate="%{y:.1%}"), row=2, col=1)
    fig.update_yaxes(title_text="Sharpe ratio", row=1, col=1)
    fig.update_yaxes(title_text="volatility", tickformat=".0%", row=2, col=1)
    fig.update_layout(title=f"Rolling Sharpe ratio and volatility ({window} days, annualised)",
                      height=480, **_LAYOUT)
    return fig


def heatmap_interactive(
    surfaces: Sequence[np.ndarray], panels: Sequence[Any], xs: Sequence[str], ys: Sequence[str],
    *, x: str, y: str, value: str, heading: str, panel_name: str | None,
) -> Any:
    """A sweep's surfaces, one panel per value of ``panel_name``, on one colour scale; a
    cell's figure on hover, a cell without a result grey."""
    go, make_subplots = _plotly("pelmora.plot_heatmap(interactive=True)")
    n = len(surfaces)
    ncols = min(n, 3)
    nrows = math.ceil(n / ncols)
    titles = [f"{panel_name} = {p}" for p in panels] if panel_name is not None else None
    fig = make_subplots(rows=nrows, cols=ncols, subplot_titles=titles)
    finite = np.concatenate([s[np.isfinite(s)] for s in surfaces])
    low, high = (float(finite.min()), float(finite.max())) if len(finite) else (0.0, 1.0)
    both = low < 0.0 < high
    limit = max(abs(low), abs(high))
    for k, z in enumerate(surfaces):
        fig.add_trace(go.Heatmap(
            z=z, x=list(xs), y=list(ys), colorscale="RdYlGn" if both or high <= 0 else "YlGn",
            zmin=-limit if both else low, zmax=limit if both else high, showscale=k == 0,
            colorbar=dict(title=value), hoverongaps=False, xgap=1, ygap=1,
            hovertemplate=f"{x} %{{x}}<br>{y} %{{y}}<br>{value} %{{z:.4g}}<extra></extra>"),
            row=k // ncols + 1, col=k % ncols + 1)
    fig.update_xaxes(title_text=x, type="category")
    fig.update_yaxes(title_text=y, type="category")
    fig.update_layout(title=heading.replace("\n", "<br>"), plot_bgcolor=MISSING_COLOR,
                      height=max(360, 320 * nrows), **{**_LAYOUT, "hovermode": "closest"})
    return fig


def capacity_interactive(frame: pd.DataFrame, *, title: str | None = None) -> Any:
    """Return (and fill rate), Sharpe ratio and costs against capital, on a log axis."""
    go, make_subplots = _plotly("pelmora.plot_capacity(interactive=True)")
    fig = make_subplots(rows=3, cols=1, shared_xaxes=True, vertical_spacing=0.05)
    capital = frame.index.to_numpy(dtype=np.float64)

    def line(name: str, column: str, color: str, row: int, dash: str = "solid") -> None:
        values = frame[column].to_numpy(dtype=np.float64, na_value=np.nan)
        fig.add_trace(go.Scatter(x=capital, y=values, name=name, mode="lines+markers",
                                 line=dict(color=color, dash=dash), marker=dict(size=5)),
                      row=row, col=1)

    line("total return", "total_return", STRATEGY_COLOR, 1)
    if "fill_rate" in frame.columns:
        line("fill rate", "fill_rate", BENCHMARK_COLOR, 1, "dash")
    line("Sharpe ratio", "sharpe", STRATEGY_COLOR, 2)
    costs = [c for c in COST_NAMES if c in frame.columns]
    for k, cost in enumerate(costs):
        line(cost.replace("_", " "), cost, SERIES_COLORS[(k + 1) % len(SERIES_COLORS)], 3)
    fig.update_xaxes(type="log", title_text="capital", row=3, col=1)
    fig.update_yaxes(tickformat=".0%", row=1, col=1)
    fig.update_yaxes(title_text="Sharpe ratio", row=2, col=1)
    fig.update_yaxes(tickformat=".2%", title_text="costs", row=3, col=1)
    fig.update_layout(title=title or "Capacity", height=720,
                      **{**_LAYOUT, "hovermode": "x unified"})
    return fig
