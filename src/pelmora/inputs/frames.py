"""From the tables users hold to the pandas frames a run takes.

A run reads pandas frames with dates down and stock ids across. Data rarely arrives that way:
yfinance gives one frame with (field, ticker) column levels, polars and pyarrow hold the dates in a
column, and databases hand out long tables of (date, stock, value) rows. This module turns each of
them into exactly the frames a pandas user would have built, so that the run is the same bit for
bit. polars and pyarrow are never imported here unless the object given is one of theirs: they are
recognised by the module of their type, and converted through Arrow.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from typing import TYPE_CHECKING, Any, overload

import numpy as np

from pelmora.inputs._arrow import arrow_table, is_temporal, is_text, table_kind, table_to_pandas
from pelmora.inputs._dates import when
from pelmora._optional import import_optional

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["YAHOO_FIELDS", "as_pandas_inputs", "from_long", "price_mapping", "to_pandas_frame"]

YAHOO_FIELDS = (
    "Open", "High", "Low", "Close", "Adj Close", "Volume", "Dividends", "Stock Splits",
    "Capital Gains",
)
"""The fields of a yfinance download; the four prices, "Adj Close" and "Volume" are read."""

# Field names as compared: lower case, "_" as a space ("adj_close" is "Adj Close").
_PRICE_KEYS = {"open": "open", "high": "high", "low": "low", "close": "close"}
_KNOWN = {" ".join(f.lower().split()) for f in YAHOO_FIELDS}
_FIELD_LEVELS = {"price", "field", "fields", "attributes"}


def _pandas(feature: str = "pelmora.backtest") -> Any:
    return import_optional("pandas", caller=feature)


def _norm(label: Any) -> str | None:
    if not isinstance(label, str):
        return None
    return " ".join(label.replace("_", " ").lower().split())


# ---------------------------------------------------------------------------------- tables


def _date_index(values: Any, name: Any, what: str) -> Any:
    """A column of dates as a nanosecond DatetimeIndex, its time zone kept."""
    pd = _pandas()
    index = pd.Index(values, name=name)
    if isinstance(index, pd.DatetimeIndex):
        try:
            return index.as_unit("ns")
        except (OverflowError, ValueError) as exc:
            raise ValueError(
                f"the dates of {what} ({name!r}) do not fit in nanoseconds: {exc}"
            ) from exc
    # Text or other labels: the date checks of a run parse or refuse them, naming the argument.
    return index


def _column_text(names: Sequence[Any]) -> str:
    shown = [str(n) for n in names[:10]]
    return repr(shown)[:-1] + (f", ... {len(names) - 10} more]" if len(names) > 10 else "]")


def to_pandas_frame(obj: Any, what: str = "prices", index: str | None = None) -> Any:
    """One wide table as the pandas frame a run takes: dates down, stock ids across.

    Parameters
    ----------
    obj : pandas.DataFrame, polars.DataFrame, polars.LazyFrame, pyarrow.Table or RecordBatch
        A wide table: one column of dates and one column per stock.
    what : str, default "prices"
        How errors name the argument.
    index : str, optional
        The column of dates. None: for a polars or pyarrow table its first Date or Datetime
        column; a pandas frame keeps its index. A pandas frame with a column of that name has it
        made its index; one that has no such column but a DatetimeIndex is kept as it is.

    Returns
    -------
    pandas.DataFrame or object
        The frame, its index the dates (a DatetimeIndex in nanoseconds, time zone kept) and its
        columns the other columns in their order; anything else than a table or pandas frame is
        returned as it is, for the checks of the run to name.

    Raises
    ------
    TypeError
        A polars or pyarrow table without a Date or Datetime column when ``index`` is not given.
    ValueError
        ``index`` names no column.
    ImportError
        A polars table while pyarrow is missing.
    """
    kind = table_kind(obj)
    if kind is not None:
        table = arrow_table(obj, kind, what)
        names = list(table.column_names)
        if index is not None:
            if index not in names:
                raise ValueError(
                    f"index={index!r} is not a column of {what}; its columns are "
                    f"{_column_text(names)}"
                )
            at = names.index(index)
        else:
            temporal = [i for i, f in enumerate(table.schema) if is_temporal(f.type)]
            if not temporal:
                raise TypeError(
                    f"{what} (a {kind} table) has no column of dates: give it a Date or Datetime "
                    f"column, or name the column with index=; its columns are "
                    f"{_column_text(names)}"
                )
            at = temporal[0]
        for i, field in enumerate(table.schema):
            if i != at and is_text(field.type):
                # Text has no place among prices or weights: this is a long table.
                raise TypeError(
                    f"{what} (a {kind} table) has a column of text, {field.name!r}: a wide table "
                    "has one column per stock; a long table of (date, stock, value) rows becomes "
                    f"one with pelmora.from_long(frame, stock={field.name!r}, value=...)"
                )
        dates = table.column(at).to_pandas(date_as_object=False)
        frame = table_to_pandas(table.select([i for i in range(len(names)) if i != at]))
        # pa.Table.from_pandas names an unnamed index so; the pandas frame had no name.
        name = None if names[at].startswith("__index_level_") else names[at]
        return frame.set_axis(_date_index(dates, name, what), axis=0)
    pd = _pandas()
    if index is None or not isinstance(obj, pd.DataFrame):
        return obj
    if index in obj.columns:
        frame = obj.set_index(index)
        return frame.set_axis(_date_index(frame.index, index, what), axis=0)
    if isinstance(obj.index, pd.DatetimeIndex):
        return obj
    raise ValueError(
        f"index={index!r} is not a column of {what}; its columns are "
        f"{_column_text(list(obj.columns))}"
    )


def as_pandas_inputs(weights: Any, prices: Any, *, index: str | None = None) -> tuple[Any, Any]:
    """``weights`` and ``prices`` with every polars or pyarrow table made a pandas frame.

    Parameters
    ----------
    weights : frame or mapping of names to frames
        A weight table, or strategy variants (as :func:`pelmora.sweep` takes them).
    prices : frame or mapping of fields to frames
        One price table, or the mapping form (``"close"``, ``"open"``, ...).
    index : str, optional
        The column of dates (see :func:`to_pandas_frame`).

    Returns
    -------
    tuple
        ``(weights, prices)``; pandas inputs without ``index`` are returned as they are, so the
        call costs nothing for them.
    """
    return _converted(weights, "weights", index), _converted(prices, "prices", index)


def _converted(value: Any, what: str, index: str | None) -> Any:
    if not isinstance(value, Mapping):
        return to_pandas_frame(value, what, index)
    frames = {k: to_pandas_frame(v, f"{what}[{k!r}]", index) for k, v in value.items()}
    # A mapping with nothing to convert is kept as it is (it may be more than a dict).
    return value if all(frames[k] is v for k, v in value.items()) else frames


# -------------------------------------------------------------------------- field levels


def _level_text(columns: Any, level: int) -> str:
    name = columns.names[level]
    return f"level {level}" + (f" ({name!r})" if name is not None else "")


def _field_level(columns: Any) -> int:
    """Which of two column levels holds the fields."""
    unknown: list[list[Any]] = []
    known: list[int] = []
    for level in (0, 1):
        labels = list(dict.fromkeys(columns.get_level_values(level)))
        unknown.append([v for v in labels if _norm(v) not in _KNOWN])
        known.append(len(labels) - len(unknown[-1]))
    clean = [level for level in (0, 1) if not unknown[level]]
    if len(clean) == 1:
        return clean[0]
    if len(clean) == 2:
        # Tickers can be field names (Lowe's is "LOW"): yfinance's level names then decide.
        named = [level for level in (0, 1) if _norm(columns.names[level]) in _FIELD_LEVELS]
        if len(named) == 1:
            return named[0]
        raise ValueError(
            "prices has price fields in both column levels, so the fields cannot be told from the "
            'stocks; name the field level "Price" or give a mapping of DataFrames'
        )
    if known[0] or known[1]:
        level = 0 if known[0] >= known[1] else 1
        raise ValueError(
            f"prices has unknown fields {[str(v) for v in unknown[level][:10]]} in column "
            f"{_level_text(columns, level)}; expected some of {list(YAHOO_FIELDS)}"
        )
    raise ValueError(
        "prices has two column levels and neither holds price fields; expected (field, stock) "
        f"or (stock, field) levels with fields among {list(YAHOO_FIELDS)}"
    )


def _one_ticker(columns: Any) -> bool:
    """Columns that are all yfinance fields, a close among them: one ticker's download, whose
    stock would otherwise be read as stocks named "Open", "Close", ..."""
    names = {_norm(c) for c in columns}
    return len(columns) >= 2 and names <= _KNOWN and bool(names & {"close", "adj close"})


def _field_frame(frame: Any, level: int, labels: list[Any]) -> Any:
    """The columns of one field, labelled by the stock level alone."""
    if len(labels) > 1:
        raise ValueError(
            f"prices has the field {labels[0]!r} more than once in its column level "
            f"({[str(v) for v in labels]})"
        )
    positions = np.flatnonzero(frame.columns.get_level_values(level) == labels[0])
    part = frame.iloc[:, positions]
    return part.set_axis(part.columns.get_level_values(1 - level), axis=1)


def price_mapping(prices: Any, price_field: str | None = None) -> Any:
    """The mapping form of a price frame with (field, stock) column levels, as yfinance gives.

    Parameters
    ----------
    prices : pandas.DataFrame or mapping
        A frame with two column levels, fields and stocks in either order (fields "Open",
        "High", "Low", "Close", "Adj Close", "Volume"; "Dividends", "Stock Splits" and "Capital
        Gains" are ignored; case and "_" for a space do not matter). Anything else is returned
        as it is.
    price_field : {"Close", "Adj Close"} or None
        The close. None means "Close" and is refused when the frame also has "Adj Close" (the
        two give different returns whenever a dividend or split falls in the data). With "Adj
        Close" the open, high and low are multiplied by ``Adj Close / Close`` of their row, so
        that intraday stops and trades at the open compare prices on one scale.

    Returns
    -------
    dict or object
        ``{"close": ..., "open": ..., "high": ..., "low": ...}`` with the fields the frame has,
        and ``"volume"`` (shares, as given: not scaled by Adj Close / Close) with "Volume".

    Raises
    ------
    ValueError
        Unknown fields, fields in both levels or neither, a level count other than two, no
        close, an ambiguous close, "Adj Close" with open/high/low but no "Close" to scale them
        by, or ``price_field`` given for prices that are not such a frame.
    """
    pd = _pandas()
    if not (isinstance(prices, pd.DataFrame) and isinstance(prices.columns, pd.MultiIndex)):
        if isinstance(prices, pd.DataFrame) and _one_ticker(prices.columns):
            raise ValueError(
                "prices has the columns of one ticker's download, "
                f"{[str(c) for c in prices.columns]}: "
                "fields, not stocks; give it a ticker level, for example "
                "pd.concat({'AAPL': data}, axis=1, names=['Ticker', 'Price'])"
            )
        if price_field is not None:
            raise ValueError(
                f"price_field={price_field!r} chooses the close of a prices frame with (field, "
                "stock) column levels, as yfinance gives; these prices are not one: give the "
                "close you want as the prices (or as prices['close'])"
            )
        return prices
    columns = prices.columns
    if columns.nlevels != 2:
        raise ValueError(
            f"prices has {columns.nlevels} column levels; a frame of several fields needs two, "
            "(field, stock) or (stock, field)"
        )
    level = _field_level(columns)
    fields: dict[str, list[Any]] = {}
    for label in dict.fromkeys(columns.get_level_values(level)):
        fields.setdefault(_norm(label) or "", []).append(label)

    def get(name: str) -> Any:
        return _field_frame(prices, level, fields[name])

    if price_field is None:
        if "close" in fields and "adj close" in fields:
            raise ValueError(
                'prices has both "Close" and "Adj Close": choose the close with '
                'price_field="Adj Close" (adjusted for splits and dividends) or price_field="Close"'
            )
        if "close" not in fields:
            hint = ': choose it with price_field="Adj Close"' if "adj close" in fields else ""
            raise ValueError(f'prices has no "Close" field{hint}')
    elif price_field == "Close" and "close" not in fields:
        raise ValueError('price_field="Close" but prices has no "Close" field')
    elif price_field == "Adj Close" and "adj close" not in fields:
        raise ValueError('price_field="Adj Close" but prices has no "Adj Close" field')

    out: dict[str, Any] = {}
    if price_field == "Adj Close":
        adjusted = get("adj close")
        out["close"] = adjusted
        intraday = [k for k in ("open", "high", "low") if k in fields]
        if intraday and "close" not in fields:
            raise ValueError(
                'price_field="Adj Close" needs "Close" as well to put "Open", "High" and "Low" '
                "on the adjusted scale (Adj Close / Close)"
            )
        if intraday:
            # One factor per row and stock, as yfinance's own adjustment does: the day's prices
            # keep their ratios to its close, so a stop level crossed intraday is crossed on the
            # adjusted scale too.
            factor = adjusted / get("close")
            for key in intraday:
                out[key] = get(key) * factor
    else:
        out["close"] = get("close")
        for key in ("open", "high", "low"):
            if key in fields:
                out[key] = get(key)
    if "volume" in fields:
        out["volume"] = get("volume")
    return out


# ---------------------------------------------------------------------------- long frames


def _long_pandas(frame: Any, date: str | None) -> tuple[Any, str | None]:
    """The long frame in pandas and the name of its date column (None: its index)."""
    pd = _pandas("pelmora.from_long")
    kind = table_kind(frame)
    if kind is not None:
        table = arrow_table(frame, kind, "frame")
        if date is None:
            temporal = [f.name for f in table.schema if is_temporal(f.type)]
            date = temporal[0] if temporal else None
        frame = table_to_pandas(table)
    elif not isinstance(frame, pd.DataFrame):
        raise TypeError(
            "frame must be a pandas, polars or pyarrow table of (date, stock, value) rows, got "
            f"{type(frame).__name__}"
        )
    elif date is None:
        temporal = [c for c in frame.columns if isinstance(frame[c].dtype, pd.DatetimeTZDtype)
                    or pd.api.types.is_datetime64_dtype(frame[c].dtype)]
        if temporal:
            date = temporal[0]
        elif isinstance(frame.index, pd.DatetimeIndex):
            return frame, None
    if date is None:
        raise TypeError(
            "frame has no column of dates: give it a Date or Datetime column, or name the column "
            f"with date=; its columns are {_column_text(list(frame.columns))}"
        )
    return frame, date


@overload
def from_long(
    frame: Any, *, date: str | None = None, stock: str = "stock", value: str = "value"
) -> pd.DataFrame: ...


@overload
def from_long(
    frame: Any, *, date: str | None = None, stock: str = "stock", value: Sequence[str]
) -> dict[str, pd.DataFrame]: ...


def from_long(
    frame: Any,
    *,
    date: str | None = None,
    stock: str = "stock",
    value: str | Sequence[str] = "value",
) -> pd.DataFrame | dict[str, pd.DataFrame]:
    """A wide frame (dates down, stock ids across) from a long table of (date, stock, value) rows.

    Parameters
    ----------
    frame : pandas.DataFrame, polars.DataFrame, polars.LazyFrame or pyarrow.Table
        One row per date and stock.
    date : str, optional
        The column of dates; None: the first Date or Datetime column (for a pandas frame without
        one, its DatetimeIndex).
    stock : str, default "stock"
        The column of stock ids.
    value : str or sequence of str, default "value"
        The column of values (weights or prices; numbers or booleans), or several columns (for
        example ``["open", "high", "low", "close"]``) for a mapping of one wide frame each.

    Returns
    -------
    pandas.DataFrame or dict of str to pandas.DataFrame
        Dates ascending (a DatetimeIndex in nanoseconds, time zone kept) and stocks in sorted
        order (in order of appearance when their ids cannot be sorted). A date and stock without
        a row is NaN (a missing price, no weight), or False in a boolean column.

    Raises
    ------
    ValueError
        A date and stock with more than one row (the first is named), a missing date or stock
        id, a column that is not there.
    TypeError
        No column of dates, dates that are not dates, a value column that holds neither numbers
        nor booleans.

    Examples
    --------
    >>> import pandas as pd, pelmora
    >>> rows = pd.DataFrame({"date": pd.to_datetime(["2024-01-02", "2024-01-02", "2024-01-03"]),
    ...                      "stock": ["B", "A", "A"], "value": [20.0, 10.0, 11.0]})
    >>> pelmora.from_long(rows)  # doctest: +NORMALIZE_WHITESPACE
    stock          A     B
    date
    2024-01-02  10.0  20.0
    2024-01-03  11.0   NaN
    """
    pd = _pandas("pelmora.from_long")
    frame, date = _long_pandas(frame, date)
    several = not isinstance(value, str)
    values = [value] if isinstance(value, str) else list(value)
    for name in ([date] if date is not None else []) + [stock] + values:
        if name not in frame.columns:
            raise ValueError(
                f"frame has no column {name!r}; its columns are {_column_text(list(frame.columns))}"
            )
    raw_dates = frame.index if date is None else frame[date]
    kind = raw_dates.dtype
    if pd.api.types.is_numeric_dtype(kind) or pd.api.types.is_bool_dtype(kind):
        # Numbers would be read as nanoseconds since 1970.
        raise TypeError(f"frame[{date!r}] must hold dates, got {raw_dates.dtype} values")
    try:
        dates = pd.DatetimeIndex(raw_dates)
    except (TypeError, ValueError) as exc:
        raise TypeError(f"frame[{date!r}] must hold dates: {exc}") from exc
    stocks = frame[stock].to_numpy(dtype=object)
    missing_stock = pd.isna(stocks)
    if missing_stock.any():
        row = int(np.flatnonzero(missing_stock)[0])
        raise ValueError(
            f"frame has a missing stock id in column {stock!r} on {when(dates[row])} (row {row})"
        )
    if dates.hasnans:
        row = int(np.flatnonzero(dates.isna())[0])
        raise ValueError(
            f"frame has a missing date in column {date!r} for stock {stocks[row]!r} (row {row})"
        )
    date_codes, unique_dates = pd.factorize(dates, sort=True)
    try:
        stock_codes, unique_stocks = pd.factorize(stocks, sort=True)
    except TypeError:  # ids of several kinds (1 and "A") cannot be sorted
        stock_codes, unique_stocks = pd.factorize(stocks, sort=False)
    cells = date_codes.astype(np.int64) * len(unique_stocks) + stock_codes
    repeated = pd.Index(cells).duplicated()
    if repeated.any():
        row = int(np.flatnonzero(repeated)[0])
        first = int(np.flatnonzero(cells == cells[row])[0])
        raise ValueError(
            f"frame has more than one row for stock {stocks[row]!r} on {when(dates[row])} (rows "
            f"{first} and {row}); a long frame holds one value per date and stock"
        )
    index = pd.DatetimeIndex(unique_dates, name=date).as_unit("ns")
    columns = pd.Index(unique_stocks, name=stock)
    out: dict[str, Any] = {}
    for name in values:
        column = frame[name]
        if pd.api.types.is_bool_dtype(column.dtype):
            matrix = np.zeros((len(index), len(columns)), dtype=bool)
            matrix[date_codes, stock_codes] = column.to_numpy(dtype=bool, na_value=False)
        elif pd.api.types.is_numeric_dtype(column.dtype):
            matrix = np.full((len(index), len(columns)), np.nan)
            matrix[date_codes, stock_codes] = column.to_numpy(dtype=np.float64, na_value=np.nan)
        else:
            raise TypeError(f"frame[{name!r}] must hold numbers or booleans, got {column.dtype}")
        out[name] = pd.DataFrame(matrix, index=index, columns=columns)
    return out if several else out[values[0]]
