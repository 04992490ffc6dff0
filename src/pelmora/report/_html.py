"""The HTML kit of the reports: formatting, tables, inline pictures, the page, the one atomic write.

A report is one HTML file that opens anywhere, also offline and in a mail attachment: the pictures
are inline PNG data, the style sheet is inline, it runs no script and names no other address (an
interactive report runs plotly's script, inline too: :mod:`~pelmora.report._interactive`).
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
from pathlib import Path
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora._version import __version__

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd
    from matplotlib.figure import Figure

# The kit is private to the report package; these are the names its rooms import.
__all__ = ["_format", "_html_table", "_image", "_missing", "_page", "_stat_table", "_write"]

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

_CSS = """
body { margin: 0; background: #f6f7f9; color: #1f2328;
  font: 15px/1.45 system-ui, -apple-system, "Segoe UI", Roboto, Helvetica, Arial, sans-serif; }
main { max-width: 1040px; margin: 0 auto; padding: 24px 28px 48px; background: #fff; }
h1 { margin: 0 0 4px; font-size: 26px; }
h2 { margin: 36px 0 12px; padding-bottom: 4px; border-bottom: 2px solid #e5e7eb; font-size: 20px; }
h3 { margin: 18px 0 6px; font-size: 16px; }
p.sub { margin: 0 0 8px; color: #57606a; }
p.note { color: #57606a; font-size: 13px; }
nav { margin: 12px 0 0; font-size: 13px; display: flex; flex-wrap: wrap; gap: 4px 14px; }
nav a { color: #0b5cad; text-decoration: none; white-space: nowrap; }
.scroll { max-width: 100%; overflow-x: auto; }
@media (max-width: 640px) { main { padding: 12px 10px 32px; } .side { max-width: none; } }
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
div.pelmora-plot { margin: 8px 0; color: #57606a; font-size: 13px; }
"""


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
    return (f'<div class="scroll"><table><thead><tr>{head}</tr></thead>'
            f"<tbody>{''.join(body)}</tbody></table></div>")


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
    return (f'<div class="scroll"><table><thead><tr><th></th>{head}</tr></thead>'
            f"<tbody>{''.join(body)}</tbody></table></div>")


def _image(fig: Figure, alt: str, dpi: int = 100) -> str:
    buffer = io.BytesIO()
    # No "Software" text chunk: the file carries the picture and nothing that names a site.
    fig.savefig(buffer, format="png", dpi=dpi, metadata={"Software": None})
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img src="data:image/png;base64,{data}" alt="{html.escape(alt)}">'


def _page(title: str, subtitle: str, sections: Sequence[tuple[str, str, str]], tail: str = ""
          ) -> str:
    nav = "".join(f'<a href="#{key}">{html.escape(name)}</a>' for key, name, _ in sections)
    body = "".join(
        f'<section id="{key}"><h2>{html.escape(name)}</h2>{content}</section>'
        for key, name, content in sections
    )
    stamp = _dt.datetime.now().strftime("%Y-%m-%d %H:%M")
    return (
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8">'
        '<meta name="viewport" content="width=device-width, initial-scale=1">'
        f"<title>{html.escape(title)}</title><style>{_CSS}</style></head><body><main>"
        f"<h1>{html.escape(title)}</h1><p class=sub>{html.escape(subtitle)}</p>"
        f"<nav>{nav}</nav>{body}"
        f'<p class="note">Made with pelmora {html.escape(__version__)} on {stamp}.</p>'
        f"</main>{tail}</body></html>\n"
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
    if not target.parent.is_dir():
        # Said here, with the path as given: the temporary file's name would only confuse.
        raise FileNotFoundError(
            f"cannot write the report to {str(given)!r}: its folder "
            f"{str(target.parent)!r} does not exist"
        )
    try:
        fd, temp = tempfile.mkstemp(dir=target.parent, prefix=f".{target.name}.", suffix=".tmp")
    except OSError as exc:
        raise type(exc)(f"cannot write the report to {str(given)!r}: {exc.strerror}") from exc
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
