"""The HTML report of a sweep: the parameter surface, the distribution, the ranking, the failures,
and, for a sweep that kept its returns, how far its best result is explained by the number of
trials."""

from __future__ import annotations

import html
import os
from collections.abc import Callable, Sequence
from functools import partial
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._optional import import_optional
from pelmora.research._overfitting import overfitting
from pelmora.plotting._sweep import (
    histogram_figure, label, parameter_columns, pbo_figure, plot_heatmap,
)
from pelmora.report._html import _format, _html_table, _image, _missing, _page, _write
from pelmora.report._interactive import plotly_block, plotly_scripts
from pelmora.statistics.performance import BENCHMARK_STAT_NAMES, STAT_NAMES

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["sweep_report"]

_SWEEP_STATS = ("total_return", "cagr", "annual_volatility", "sharpe", "max_drawdown", "n_trades")


def sweep_report(
    table: pd.DataFrame,
    path: str | os.PathLike[str],
    *,
    x: str | None = None,
    y: str | None = None,
    value: str = "sharpe",
    title: str | None = None,
    interactive: bool = False,
) -> Path:
    """Write a one-file HTML report of a sweep table.

    The report lists the combinations by ``value``, highest first (the top 50), then the failed
    ones with their error; draws ``value`` over two parameters with
    :func:`pelmora.plotting.plot_heatmap`; and shows the distribution of ``value``. A table of
    a sweep run with ``keep="returns"`` also gets an overfitting section: the figures of
    :func:`pelmora.overfitting` (always ranked by "sharpe") and the two pictures of its
    probability of backtest overfitting, the logit histogram and the degradation scatter.

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
    interactive : bool, default False
        Draw the heatmap with plotly, its script inline (extra ``interactive``).

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
    pandas = import_optional("pandas", caller="pelmora.sweep_report")
    import_optional("matplotlib", caller="pelmora.sweep_report")

    if not isinstance(table, pandas.DataFrame):
        raise TypeError(f"table must be a pandas DataFrame, got {type(table).__name__}")
    for role, column in (("value", value), ("x", x), ("y", y)):
        if column is not None and column not in table.columns:
            raise ValueError(f"{role} column {column!r} is not in the table")
    outputs = {*STAT_NAMES, *BENCHMARK_STAT_NAMES, "error", "equity", "result"}
    parameters = [c for c in table.columns if c not in outputs and c != value]
    varying = parameter_columns(table, {value})
    shown = varying or parameters
    errors = table["error"] if "error" in table.columns else pandas.Series(None, index=table.index)
    failed = errors.map(lambda e: not _missing(e))
    scores = pandas.to_numeric(table[value], errors="coerce")
    good = table[~failed].assign(**{value: scores[~failed]})
    ranked = good.sort_values(value, ascending=False, na_position="last", kind="stable")

    extra = [s for s in _SWEEP_STATS if s in table.columns and s != value]
    param_text = label
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
            f"{c} = {label(best[c])}" for c in shown
        )
    fixed = [c for c in parameters if c not in varying]
    if fixed and len(table):
        summary += "; the same in every run: " + ", ".join(
            f"{c} = {label(table[c].iloc[0])}" for c in fixed
        )
    x, y = _heatmap_axes(x, y, varying)
    if x is not None and y is not None:
        rest = [c for c in varying if c not in (x, y)]
        panels = rest[0] if len(rest) == 1 and table[rest[0]].nunique(dropna=False) <= 6 else None
        fig = plot_heatmap(table, x, y, value, panels=panels, interactive=interactive)
        picture = (plotly_block(fig, f"{value} by {y} and {x}") if interactive
                   else _image(fig, f"{value} by {y} and {x}"))
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
    if isinstance(table.attrs.get("returns"), pandas.DataFrame) and "sharpe" in table.columns:
        sections.append(("overfitting", "Is the best result real?", _overfitting_section(table)))
    return _write(path, _page(title or "Sweep report", summary, sections,
                              plotly_scripts() if interactive else ""))


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
    return _image(histogram_figure(values, name), f"distribution of {name}")


_OVERFITTING_ROWS = (
    ("n_trials", "Trials (runs without error)", "{:,}",
     "Every combination that ran is a trial searched."),
    ("effective_trials", "Effective trials (near-copies count once)", "{:,}",
     "The N of the deflation and the haircut."),
    ("best", "Best by Sharpe ratio", None, "The row the figures below judge."),
    ("best_sharpe", "Its Sharpe ratio (per day)", "{:.4f}",
     "Times sqrt(252) for the annual figure."),
    ("expected_max_sharpe", "Expected best Sharpe ratio by chance (per day)", "{:.4f}",
     "What the best of this many skill-less trials reaches by luck."),
    ("deflated_sharpe", "Deflated Sharpe ratio (probability)", "psr",
     "Probability that the best's true Sharpe ratio beats that luck; 95 % or more passes."),
    ("pbo", "Probability of backtest overfitting", "psr",
     "Share of splits whose in-sample best ranks below the median out of sample; well below "
     "50 % passes."),
    ("min_backtest_length", "Minimum backtest length (years)", "{:.2f}",
     "Below this much data, luck alone is expected to reach the best's Sharpe ratio."),
    ("degradation_slope", "Degradation slope (out-of-sample on in-sample Sharpe)", "{:.3f}",
     "Below 0: the better a row looks in sample, the worse it does out of sample."),
    ("spa_pvalue", "SPA p-value (Hansen, consistent)", "{:.3f}",
     "Chance of a best row this good if no row beats zero; 0.05 or less: it does, the search "
     "counted."),
    ("stepm_survivors", "Rows that beat zero (StepM)", "{:,}",
     "Romano and Wolf's stepwise test, family-wise error at 5 %."),
    ("fdr_survivors", "Rows above zero at a 5 % false discovery rate", "{:,}",
     "Benjamini-Hochberg on each row's one-sided t-test of its Sharpe ratio."),
    ("haircut_sharpe", "Haircut Sharpe ratio of the best (annual)", "{:.2f}",
     "Harvey and Liu's Bonferroni haircut for the effective trials."),
)


def _overfitting_section(table: pd.DataFrame) -> str:
    """The figures of :func:`pelmora.overfitting` and its PBO's pictures."""
    try:
        found = overfitting(table)
    except ValueError as exc:  # a table whose rows no longer match its returns
        return f'<p class="note">No overfitting figures: {html.escape(str(exc))}</p>'
    rows = []
    for name, text, pattern, reading in _OVERFITTING_ROWS:
        value = found[name]
        if name == "best":
            shown = "–" if not value else ", ".join(f"{k} = {label(v)}" for k, v in value.items())
        else:
            # Probabilities read as percents, as the psr of the statistics tables.
            shown = _format(pattern, value) if pattern == "psr" or _missing(value) else (
                pattern.format(value))
        rows.append((text, shown, reading))
    numbers = _html_table(["figure", "value", "how to read it"], rows, [str, str, str])
    note = (
        f'<p><strong>{html.escape(found["verdict"])}</strong></p>'
        '<p class="note">Sharpe ratios per day (the table\'s annualised ones over sqrt(252)) '
        "unless marked annual; the tests compare each row's daily returns with zero over every "
        "price date (1,000 bootstrap repetitions, seed 0). See pelmora.overfitting and "
        "pelmora.reality_check for each figure.</p>"
    )
    split = found.attrs.get("pbo")
    if split is None:
        picture = '<p class="note">PBO needs at least 2 trials and 16 dates.</p>'
    else:
        picture = _image(pbo_figure(split), "logits of PBO and the degradation of the best")
    return note + numbers + picture
