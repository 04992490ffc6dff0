"""Plain-Python reference model of the excursion module `pelmora.core.swaylen`.

The tests compare the native module with this model bit for bit, so every
floating-point expression here is written in exactly the order the module is
documented to evaluate it (Python floats are IEEE doubles, like the C++ core,
which is built without fused multiply-adds). Nothing here is clever on
purpose: readability first, one line per documented step.

Errors are raised with the same exception types and texts as the module, so a
test can compare ``(type(exc), str(exc))`` of both sides. Element access on the
price matrices and on the per-stock arrays goes through NumPy itself, which
gives NumPy's own index semantics and IndexError texts for free.
"""

from __future__ import annotations

import math

import numpy as np

INT_MIN = -(2**31)
INT_MAX = 2**31 - 1
SIZE_T_WRAP = 2**64  # a negative C int seen as an unsigned 64-bit size

OUT_OF_BOUNDS = "Out of bounds on buffer access (axis 0)"


def _float_division():
    return ZeroDivisionError("float division")


def to_c_int(value) -> int:
    """int(value) stored in a 32-bit C int, as the module converts array items."""
    v = int(value)
    if v < INT_MIN or v > INT_MAX:
        raise OverflowError("value too large to convert to int")
    return v


def array_size(window: int, window_step: int) -> int:
    """Length of an excursion array: S sample blocks plus one summary block."""
    if window_step == 0:
        raise ZeroDivisionError("integer division or modulo by zero")
    if window_step == -1 and window - 1 == INT_MIN:
        raise OverflowError("value too large to perform division")
    return ((window - 1) // window_step) * 6 + 12


class Path:
    """The six per-position series of one trade."""

    def __init__(self):
        self.returns: list[float] = []
        self.cummax: list[float] = []
        self.cummin: list[float] = []
        self.cummin_i: list[int] = []
        self.mdd: list[float] = []
        self.profit_period: list[float] = []


def _item(matrix, row: int, col: int) -> float:
    # matrix[row][col] with NumPy semantics (negative rows count from the end);
    # a None matrix fails the way subscripting None does.
    return float(matrix[row][col])


def excursion_path(price, close, pid, i_entry, i_exit, is_long, entry_tx, exit_tx,
                   fee_ratio, tax_ratio, window) -> Path:
    """Steps 2 to 6 of the excursion computation: the trade's day-by-day path."""
    i_exit_max = i_exit
    if i_entry + window > i_exit_max:
        i_exit_max = i_entry + window
    plength = int(price.shape[0])
    if i_exit_max >= plength:
        i_exit_max = plength - 1
    if i_exit_max - i_entry + 1 < 0:
        raise OverflowError("can't convert negative value to size_t")

    path = Path()
    entry_price = _item(price, i_entry, pid)
    entry_close = _item(close, i_entry, pid)
    long_trade = bool(is_long)
    if entry_price == 0:
        raise _float_division()
    if long_trade:
        price_ratio = entry_close / entry_price
    else:
        price_ratio = 2 - entry_close / entry_price
    if entry_tx:
        price_ratio = (1 - fee_ratio) * price_ratio

    path.returns.append(price_ratio)
    path.cummax.append(1.0 if 1 > price_ratio else price_ratio)
    path.cummin.append(1.0 if price_ratio > 1 else price_ratio)
    path.cummin_i.append(0)
    path.mdd.append(price_ratio - 1 if price_ratio - 1 < 0 else 0.0)
    path.profit_period.append(1.0 if price_ratio > 1 else 0.0)
    pv = _item(close, i_entry, pid)

    ith = i_entry
    for i, ith in enumerate(range(i_entry + 1, i_exit_max + 1)):
        v = _item(close, ith, pid)
        if not math.isnan(v):
            if pv == 0:
                raise _float_division()
            p = v / pv
            pv = v
            if not math.isnan(p):
                if long_trade:
                    price_ratio = p * price_ratio
                else:
                    price_ratio = 2 - p * (2 - price_ratio)
        cmax = path.cummax[i]
        cmin = path.cummin[i]
        if price_ratio > cmax:
            path.cummax.append(price_ratio)
            cmax = price_ratio
        else:
            path.cummax.append(cmax)
        if cmin > price_ratio:
            path.cummin.append(price_ratio)
            path.cummin_i.append(i)
        else:
            path.cummin.append(cmin)
            path.cummin_i.append(path.cummin_i[i])
        if cmax == 0:
            raise _float_division()
        newmdd = price_ratio / cmax - 1
        path.mdd.append(newmdd if path.mdd[i] > newmdd else path.mdd[i])
        if not math.isnan(v) and price_ratio > 1:
            path.profit_period.append(path.profit_period[i] + 1)
        else:
            path.profit_period.append(path.profit_period[i])
        path.returns.append(price_ratio)

    if exit_tx:
        last = path.returns[-1]
        if i_entry != i_exit_max:
            pv = _item(price, ith, pid)
            v = _item(close, ith, pid)
            if v == 0:
                raise _float_division()
            if long_trade:
                last = (pv / v) * last
            else:
                last = 2 - ((2 - last) * pv) / v
        path.returns[-1] = (1 - fee_ratio - tax_ratio) * last
    return path


def _store(ret: np.ndarray, index: int, value: float) -> None:
    # Signed index with wrap-around, bounds-checked like a typed buffer write.
    n = len(ret)
    if index < 0:
        index += n
    if index < 0 or index >= n:
        raise IndexError(OUT_OF_BOUNDS)
    ret[index] = value


def excursion_array(path: Path, i_entry: int, i_exit: int, window: int,
                    window_step: int) -> np.ndarray:
    """Steps 7 to 10: sample blocks over the window plus the exit summary."""
    arsize = array_size(window, window_step)
    ret = np.empty(arsize)
    ret.fill(-1)

    length = len(path.cummax)
    stop = min(length, window % SIZE_T_WRAP)
    index = 0
    for w in range(0, stop, window_step):
        _store(ret, index + 0, path.cummin[w] - 1)
        _store(ret, index + 1, path.cummax[w] - 1)
        _store(ret, index + 2, path.cummax[path.cummin_i[w]] - 1)
        _store(ret, index + 3, path.mdd[w])
        _store(ret, index + 4, path.profit_period[w])
        _store(ret, index + 5, path.returns[w] - 1)
        index += 6

    e = min(length - 1, (i_exit - i_entry) % SIZE_T_WRAP)
    mae = path.cummin[e] - 1
    gmfe = path.cummax[e] - 1
    mae_i = path.cummin_i[e]
    bmfe = path.cummax[mae_i] - 1
    n = len(ret)
    for k, value in enumerate((mae, gmfe, bmfe, path.mdd[e], path.profit_period[e],
                               path.returns[e] - 1)):
        _store(ret, n - 6 + k, value)
    return ret


def compute_excursion(price, close, pid, i_entry, i_exit, is_long, entry_tx=0, exit_tx=0,
                      fee_ratio=0.0, tax_ratio=0.0, window=0, window_step=1) -> np.ndarray:
    """The excursion array of one trade on explicit inputs."""
    path = excursion_path(price, close, pid, i_entry, i_exit, is_long, entry_tx, exit_tx,
                          fee_ratio, tax_ratio, window)
    return excursion_array(path, i_entry, i_exit, window, window_step)


class ExcursionModel:
    """The whole module: native state, result lists and the five entry points."""

    def __init__(self):
        self.price = np.zeros((0, 0))
        self.close = np.zeros((0, 0))
        self.pos2price: dict[int, int] = {}
        self.entry = np.zeros(0, dtype=np.int64)
        self.position = np.zeros(0)
        self.entry_trasnaction = np.zeros(0, dtype=np.int64)
        self.fee_ratio = 0.0
        self.tax_ratio = 0.0
        self.window = 0
        self.window_step = 0
        self.date = 0
        self.trades: list = []
        self.trade_positions: list = []
        self.swaylen: list = []

    @staticmethod
    def _check_matrix(m):
        if m is None:
            return
        if m.ndim != 2:
            raise ValueError(
                f"Buffer has wrong number of dimensions (expected 2, got {m.ndim})")
        if m.dtype != np.float64:
            raise ValueError("Buffer dtype mismatch, expected 'double' but got "
                             f"'{_C_TYPE_NAMES[m.dtype.char]}'")

    def start_analysis(self, price, close, pos2price, nstocks, fee_ratio, tax_ratio, window,
                       window_step):
        self._check_matrix(price)
        self._check_matrix(close)
        self.price = price
        self.close = close
        self.pos2price = dict(sorted(pos2price.items()))
        self.window = window
        self.window_step = window_step
        self.trades.clear()
        self.trade_positions.clear()
        self.swaylen.clear()
        self.entry = np.zeros(nstocks, dtype=np.int64)
        self.position = np.zeros(nstocks)
        self.entry_trasnaction = np.zeros(nstocks, dtype=np.int64)
        self.fee_ratio = fee_ratio
        self.tax_ratio = tax_ratio

    def record_date(self, d):
        self.date = d

    def record_entry(self, sid, position, has_entry_trasnaction):
        self.entry[sid] = self.date
        self.position[sid] = position
        self.entry_trasnaction[sid] = has_entry_trasnaction

    def swaylen_analysis(self, sid, i_entry, i_exit, is_long, i_entry_trasnaction,
                         i_exit_trasnaction):
        pid = self.pos2price.setdefault(sid, 0)
        self.pos2price = dict(sorted(self.pos2price.items()))
        return compute_excursion(self.price, self.close, pid, i_entry, i_exit, is_long,
                                 i_entry_trasnaction, i_exit_trasnaction, self.fee_ratio,
                                 self.tax_ratio, self.window, self.window_step)

    def _append_trade(self, sid, exit_row, i_exit, i_exit_trasnaction):
        self.trades.append([sid, self.entry[sid], exit_row])
        self.trade_positions.append(self.position[sid])
        ret = self.swaylen_analysis(sid, to_c_int(self.entry[sid]), i_exit,
                                    self.position[sid] > 0,
                                    to_c_int(self.entry_trasnaction[sid]), i_exit_trasnaction)
        self.swaylen.append(ret)

    def record_exit(self, sid, has_exit_trasnaction):
        self._append_trade(sid, self.date, self.date, has_exit_trasnaction)

    def end_analysis(self, pos):
        for sid in sorted(pos):
            if pos[sid] == 0:
                continue
            self._append_trade(sid, -1, self.date, 0)


# C type names of NumPy's type characters, as a buffer check names them.
_C_TYPE_NAMES = {
    "f": "float", "d": "double", "g": "long double", "b": "signed char", "h": "short",
    "i": "int", "l": "long", "q": "long long", "B": "unsigned char", "H": "unsigned short",
    "I": "unsigned int", "L": "unsigned long", "Q": "unsigned long long", "?": "bool",
    "F": "complex float", "D": "complex double", "O": "Python object",
}
