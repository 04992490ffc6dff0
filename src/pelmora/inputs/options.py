"""The options of a backtest, described once: :class:`BacktestOptions`.

:func:`pelmora.backtest`, :func:`pelmora.api.prepare_inputs` and the sweeps take the same keywords;
their signatures and the parameter sections of their docstrings are made from the fields below, and
every scalar option is checked here, before any data is touched.
"""

from __future__ import annotations

import dataclasses
import inspect
import math
import numbers
import re
import warnings
from collections.abc import Callable, Iterable, Mapping
from typing import Any, Literal, TypeVar

from pelmora._checks import option_number as _real
from pelmora.inputs._fields import FieldAccess
from pelmora.inputs._options_doc import PARAMETERS_DOC
from pelmora._suggest import unknown_keyword
from pelmora.inputs._volume import check_liquidity
from pelmora.core.journal import MAX_RATE as _MAX_RATE
from pelmora.core.journal import OPTION_TEXTS as _TEXTS

__all__ = ["OPTION_NAMES", "BacktestOptions", "make_options"]

_F = TypeVar("_F", bound=Callable[..., Any])

_COST_WARNING = 0.02
"""Costs above this read like percentages given where fractions belong (0.1425 for 0.1425 %)."""


def _finite_fraction(name: str, value: Any) -> float:
    number = _real(name, value)
    if not (0.0 <= number < 1.0):
        raise ValueError(_TEXTS["fraction"].format(name=name, value=repr(value)))
    return number


def _cost(name: str, value: Any) -> float:
    """A fee or tax rate: a fraction, with a warning when it looks like a percentage."""
    number = _finite_fraction(name, value)
    if number > _COST_WARNING:
        warnings.warn(
            f"{name}={number!r} is {number * 100:g} % per trade: {name} reads as a fraction of the "
            f"traded value ({_DEFAULT_FEE!r} is {_DEFAULT_FEE * 100:g} %)",
            UserWarning,
            stacklevel=4,
        )
    return number


_PRICE_FIELDS = {"close": "Close", "adj close": "Adj Close"}


def _price_field(value: Any) -> str | None:
    """yfinance's spelling of a close field; "adj_close" or "adj close" name the same field."""
    if value is None:
        return None
    if isinstance(value, str):
        known = _PRICE_FIELDS.get(" ".join(value.replace("_", " ").lower().split()))
        if known is not None:
            return known
    raise ValueError(f'price_field must be "Close", "Adj Close" or None, got {value!r}')


def _distance(name: str, value: Any) -> float | None:
    """A stop distance: None (off) or a non-negative number (inf is off as well)."""
    if value is None:
        return None
    number = _real(name, value)
    if math.isnan(number) or number < 0.0:
        raise ValueError(f"{name} must be 0 or more, or None for no {name}, got {value!r}")
    return number


def _flag(name: str, value: Any) -> bool:
    # Only real booleans: a string such as "no" would otherwise be true.
    # NumPy's boolean is "bool_" before NumPy 2 and "bool" from it on.
    kind = type(value)
    numpy_bool = kind.__module__ == "numpy" and kind.__name__ in ("bool", "bool_")
    if isinstance(value, bool) or numpy_bool:
        return bool(value)
    raise TypeError(f"{name} must be True or False, got {value!r}")


def _count(name: str, value: Any, least: int, most: int | None = None) -> int:
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    number = int(value)
    if number < least:
        raise ValueError(f"{name} must be {least} or more, got {number}")
    if most is not None and number > most:
        raise ValueError(
            f"{name} must be at most {most}, got an integer of {number.bit_length()} bits"
        )
    return number


_INT_MAX = 2**31 - 1
"""The engine counts rows in a C int: a step beyond it cannot be handed over."""

_RATE_WARNING = 1.0
"""Annual rates above this (100 % a year) read like percentages given where fractions belong."""


def _capital(value: Any) -> float | None:
    if value is None:
        return None
    number = _real("capital", value)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(_TEXTS["capital"].format(value=repr(value)))
    return number


def _lot(value: Any) -> float:
    number = _real("lot_size", value)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(_TEXTS["lot_size"].format(value=repr(value)))
    return number


def _lot_size(value: Any) -> Any:
    """One lot for every stock (a float), or the per-stock lots as given, their values checked.

    Which stocks the lots cover is checked against the weights' columns later, in
    :func:`pelmora.inputs.prepare_inputs`.
    """
    if value is None or isinstance(value, numbers.Number):
        return None if value is None else _lot(value)
    if isinstance(value, Mapping):
        items: Iterable[tuple[Any, Any]] = value.items()
    elif hasattr(value, "reindex") and hasattr(value, "items"):  # a pandas Series
        items = value.items()
    else:
        raise TypeError(
            "lot_size must be a number, or a pandas Series or mapping of stock id to shares per "
            f"lot, got {type(value).__name__}"
        )
    for stock, lot in items:
        if lot is None or (isinstance(lot, numbers.Real) and math.isnan(lot)):
            continue  # this stock trades any number of shares
        if isinstance(lot, bool) or not isinstance(lot, numbers.Real) or not (
            math.isfinite(lot) and lot > 0
        ):
            raise ValueError(
                "lot_size must be a finite number of shares above 0 (NaN: no lots) for every "
                f"stock: {stock!r} has {lot!r}"
            )
    return value


def _min_fee(value: Any) -> float:
    number = _real("min_fee", value)
    if not (math.isfinite(number) and number >= 0.0):
        raise ValueError(_TEXTS["min_fee"].format(value=repr(value)))
    return number


def _positive(name: str, value: Any) -> float:
    number = _real(name, value)
    if not (math.isfinite(number) and number > 0.0):
        raise ValueError(_TEXTS["positive"].format(name=name, value=repr(value)))
    return number


def _rate(name: str, value: Any, least: float) -> float:
    """An annual rate: above ``least`` (-1) or at least it (0), at most ``MAX_RATE`` (100), warned
    above 100 %."""
    number = _real(name, value)
    low = number <= least if least < 0.0 else number < least
    if low or not number <= _MAX_RATE:
        text = _TEXTS["cash_rate" if least < 0.0 else "rate"]
        raise ValueError(text.format(name=name, value=repr(value)))
    if number > _RATE_WARNING:
        warnings.warn(
            f"{name}={number!r} is {number * 100:g} % a year: rates read as annual fractions "
            "(0.05 is 5 %)",
            UserWarning,
            stacklevel=4,
        )
    return number


@dataclasses.dataclass(frozen=True)
class BacktestOptions(FieldAccess):
    """Every option of a backtest, checked when made.

    Build it with keywords (``BacktestOptions(stop_loss=0.1)``) or with :func:`make_options`;
    ``dataclasses.replace(options, fee=0.0)`` gives a changed copy, checked again. A value that
    cannot be right raises here, naming the option: a cost that is NaN, negative or 1 and above; a
    position limit that is NaN or not above 0; a stop distance or activation that is NaN or
    negative; a flag that is not a bool; an excursion window below 0 or a step below 1; a
    capital, lot or gross limit that is not finite and above 0; a slippage outside [0, 1); a
    minimum fee below 0; a rate that is not finite or above 100 (10,000 % a year), a cash rate
    of -1 or below, a borrow rate or short fee below 0; lots or a minimum fee without a capital;
    a participation outside (0, 1], an impact below 0 or an impact window below 2, either of the
    first two without a capital; a maintenance margin outside [0, 1).

    Parameters
    ----------
    {parameters}
    """

    rebalance: Any = None
    fee: float = 0.001425
    tax: float = 0.003
    stop_loss: float | None = None
    take_profit: float | None = None
    trailing_stop: float | None = None
    trailing_activation: float | None = 0.0
    intraday_stops: bool = False
    position_limit: float = 1.0
    retain_cost: bool = False
    stop_trading_next_period: bool = True
    split_trades: bool = True
    excursion_window: int = 20
    excursion_step: int = 1
    delistings: Any = None
    trade_at: Literal["close", "open"] | None = None
    calendar: Any = None
    price_field: str | None = None
    index: str | None = None
    capital: float | None = None
    lot_size: Any = None
    slippage: float = 0.0
    min_fee: float = 0.0
    max_gross: float = 1.0
    cash_rate: float = 0.0
    borrow_rate: float = 0.0
    short_fee: float = 0.0
    volume: Any = None
    max_participation: float | None = None
    impact: float = 0.0
    impact_window: int = 20
    maintenance_margin: float | None = None

    def __post_init__(self) -> None:
        checked: dict[str, Any] = {
            "fee": _cost("fee", self.fee),
            "tax": _cost("tax", self.tax),
            "stop_loss": _distance("stop_loss", self.stop_loss),
            "take_profit": _distance("take_profit", self.take_profit),
            "trailing_stop": _distance("trailing_stop", self.trailing_stop),
            "trailing_activation": _distance("trailing_activation", self.trailing_activation)
            or 0.0,
            "excursion_window": _count("excursion_window", self.excursion_window, 0),
            # The window is capped to the data's rows later; the step goes to the engine as it is.
            "excursion_step": _count("excursion_step", self.excursion_step, 1, _INT_MAX),
        }
        limit = _real("position_limit", self.position_limit)
        if not limit > 0.0:
            raise ValueError(f"position_limit must be above 0, got {self.position_limit!r}")
        checked["position_limit"] = limit
        for name in ("intraday_stops", "retain_cost", "stop_trading_next_period", "split_trades"):
            checked[name] = _flag(name, getattr(self, name))
        if self.trade_at not in (None, "close", "open"):
            raise ValueError(f'trade_at must be "close", "open" or None, got {self.trade_at!r}')
        if isinstance(self.rebalance, (bool, numbers.Number)):
            raise TypeError(
                "rebalance must be a frequency alias, a sequence of dates or None, "
                f"got {type(self.rebalance).__name__}"
            )
        if self.delistings is not None and not (
            isinstance(self.delistings, Mapping) or hasattr(self.delistings, "reindex")
        ):
            raise TypeError(
                "delistings must be a pandas Series or a mapping of stock id to last trading "
                f"date, got {type(self.delistings).__name__}"
            )
        checked["price_field"] = _price_field(self.price_field)
        if self.index is not None and not isinstance(self.index, str):
            raise TypeError(f"index must be a column name (str) or None, got {self.index!r}")
        checked.update(
            capital=_capital(self.capital),
            lot_size=_lot_size(self.lot_size),
            slippage=_cost("slippage", self.slippage),
            min_fee=_min_fee(self.min_fee),
            max_gross=_positive("max_gross", self.max_gross),
            cash_rate=_rate("cash_rate", self.cash_rate, -1.0),
            borrow_rate=_rate("borrow_rate", self.borrow_rate, 0.0),
            short_fee=_rate("short_fee", self.short_fee, 0.0),
            maintenance_margin=None if self.maintenance_margin is None
            else _finite_fraction("maintenance_margin", self.maintenance_margin),
        )
        checked.update(check_liquidity(self.volume, self.max_participation, self.impact,
                                       self.impact_window, checked["capital"]))
        # Lots and a minimum fee are counted in shares and currency: without a capital the unit
        # portfolio has neither.
        if checked["capital"] is None:
            if checked["lot_size"] is not None:
                raise ValueError(_TEXTS["lot_size_capital"])
            if checked["min_fee"] > 0.0:
                raise ValueError(_TEXTS["min_fee_capital"])
        for name, value in checked.items():
            object.__setattr__(self, name, value)

    def to_dict(self) -> dict[str, Any]:
        """The options as a plain dict, in field order."""
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self)}


_DEFAULT_FEE: float = BacktestOptions.fee
"""The default fee rate, the example of a fraction in the cost warning."""


def _parameters_doc() -> str:
    """The options' parameter descriptions, each ", default" completed with the field's default."""
    defaults = {f.name: f.default for f in dataclasses.fields(BacktestOptions)}

    def completed(match: re.Match[str]) -> str:
        return f"{match.group(0)} {defaults[match.group(1)]!r}"

    text = re.sub(r"(?m)^(\w+) : .*, default$", completed, PARAMETERS_DOC)
    return text.replace("\n", "\n    ").rstrip()


BacktestOptions.__doc__ = (BacktestOptions.__doc__ or "").replace("{parameters}", _parameters_doc())

OPTION_NAMES: tuple[str, ...] = tuple(f.name for f in dataclasses.fields(BacktestOptions))
"""The keywords of a backtest, in order."""


def make_options(
    options: BacktestOptions | None, given: Mapping[str, Any], caller: str
) -> BacktestOptions:
    """The options of a call: ``options`` (or the defaults) with the keywords ``given`` applied.

    Raises
    ------
    TypeError
        A keyword that is not an option (named, as Python names an unexpected keyword), or an
        ``options`` that is not a :class:`BacktestOptions`.
    """
    for name in given:
        if name not in OPTION_NAMES:
            raise TypeError(unknown_keyword(caller, name, OPTION_NAMES))
    if options is None:
        return BacktestOptions(**given)
    if not isinstance(options, BacktestOptions):
        raise TypeError(f"options must be a BacktestOptions, got {type(options).__name__}")
    return dataclasses.replace(options, **given) if given else options


def with_options(leading: Iterable[str], keywords: Iterable[str] = ()) -> Callable[[_F], _F]:
    """Give a function ``f(*leading, *, *keywords, options=None, **kwargs)`` the options as its
    signature.

    Introspection (``help``, ``inspect.signature``, IDEs) then shows every option with its
    default after the ``leading`` parameters and the function's own ``keywords``, and
    ``{parameters}`` in the docstring becomes the options' parameter descriptions.
    """

    def decorate(func: _F) -> _F:
        own = inspect.signature(func).parameters
        params = [own[name] for name in (*leading, *keywords)]
        kw = inspect.Parameter.KEYWORD_ONLY
        params.append(inspect.Parameter("options", kw, default=None))
        params += [
            inspect.Parameter(f.name, kw, default=f.default)
            for f in dataclasses.fields(BacktestOptions)
        ]
        func.__signature__ = inspect.Signature(  # type: ignore[attr-defined]
            params, return_annotation=inspect.signature(func).return_annotation
        )
        if func.__doc__:
            func.__doc__ = func.__doc__.replace("{parameters}", _parameters_doc())
        return func

    return decorate
