"""The memory order the engine reads the trade price and the close in.

pandas stores a frame by column, so the engine gets column-major matrices, and it walks them
row by row. A run that holds a few stocks for weeks reads each held column down its own cache
lines, eight rows to a line: column-major suits it, and copying would only cost time and memory.
A run that trades many stocks on most rows reads, for every stock it buys, a cell of a column it
has not touched lately: one cache miss per fill. A row-major matrix hands such a run each row as
one run of memory, which the processor streams in ahead of use. For that kind of run (and only
for matrices small enough that the copy costs less than it saves) the trade price and the close
are copied row-major once, after every check; the values are the same, so is every result.
"""

from __future__ import annotations

import numpy as np

from pelmora.core.journal import _row_major

__all__ = ["engine_prices", "worth_copying"]

# The largest matrix worth copying: past a few tens of megabytes the transposition itself
# leaves the cache and costs more than the run saves.
_MOST_CELLS = 1 << 21
# The turnover is told from this many blocks of consecutive weight rows, each of this many
# pairs: a block is one run of memory per column of a column-major frame, so the look costs a
# few hundred kilobytes of reads whatever the layout.
_BLOCKS, _PAIRS = 4, 64
# At most this many columns, spread over the frame, are looked at: the share of stocks coming
# in is estimated well enough from them, and each column of a block costs its own cache lines.
_COLUMNS = 64


def _trades_many_stocks_on_most_rows(pos_values: np.ndarray, n_price_rows: int) -> bool:
    """Whether new weights come on at least every other price row and, on average, bring in
    at least a sixteenth of the stocks (a cache line of a row-major row holds eight)."""
    n_rows, n_stocks = pos_values.shape
    if n_rows < 2 or n_stocks == 0 or 2 * n_rows < n_price_rows:
        return False
    if n_rows <= _BLOCKS * (_PAIRS + 1):
        starts, length = [0], n_rows
    else:
        starts = np.linspace(0, n_rows - _PAIRS - 1, _BLOCKS).astype(np.int64).tolist()
        length = _PAIRS + 1
    looked_at: np.ndarray | slice = (
        np.linspace(0, n_stocks - 1, _COLUMNS).astype(np.int64) if n_stocks > _COLUMNS
        else slice(None)
    )
    entering = pairs = 0
    for start in starts:
        block = pos_values[start:start + length, looked_at]
        entering += int(np.count_nonzero((block[1:] != 0) & (block[:-1] == 0)))
        pairs += len(block) - 1
    return bool(16 * entering >= min(n_stocks, _COLUMNS) * pairs)


def worth_copying(trade: np.ndarray, close: np.ndarray, pos_values: np.ndarray) -> bool:
    """Whether the engine should read row-major copies of ``trade`` and ``close`` (see the
    module's note): column-major matrices small enough, for a run that trades many stocks on
    most rows (``pos_values``: its weights, in any layout)."""
    column_major = all(m.flags.f_contiguous and not m.flags.c_contiguous for m in (trade, close))
    return bool(column_major and max(trade.size, close.size) <= _MOST_CELLS
                and _trades_many_stocks_on_most_rows(pos_values, close.shape[0]))


def engine_prices(
    trade: np.ndarray,
    close: np.ndarray,
    pos_values: np.ndarray,
    copies: dict[str, np.ndarray] | None = None,
) -> tuple[np.ndarray, np.ndarray]:
    """The trade price and close matrices as the engine should read them (see the module's
    note): row-major copies of column-major ones for a run that trades many stocks on most
    rows, else the matrices as they are. ``copies`` holds the copies the price checks made
    (by the names "trade" and "close"), when they made them. A matrix standing in for both is
    copied once."""
    if copies:
        return copies["trade"], copies["close"]
    if not worth_copying(trade, close, pos_values):
        return trade, close
    # Copied side by side without the interpreter lock, into memory the next run's copies reuse.
    if trade is close:
        (close_rows,) = _row_major(close)
        return close_rows, close_rows
    trade_rows, close_rows = _row_major(trade, close)
    return trade_rows, close_rows
