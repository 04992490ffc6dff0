"""The engine module's small entries and input guards.

Python-callable: ioft, get_stock_operations, get_trade_stocks (and their
argument handling). Native-only, reached through `pelmora.core._testsupport`:
validate_trade_price and map_columns. The last section throws malformed input
at every Python-callable entry: each call must end in a result or an ordinary
Python exception, never a crash or a SystemError.
"""

import datetime
import math
import types
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pelmora.core import _testsupport as ts
from pelmora.core import runvane as rv
from pelmora.core import swaylen as sw
from support import frame_names, python_error


# --- validate_trade_price ------------------------------------------------------------------

TAIL = ". Expected a positive finite price; check the trading-price dataset."


@pytest.mark.parametrize(
    "value", [1e-9, 1e308, 5e-324, 1.7976931348623157e308, 1.0, 12.5, math.nan, -math.nan]
)
def test_valid_prices_pass(value):
    assert ts.validate_trade_price(value, "AAA", 3) is None


@pytest.mark.parametrize(
    ("value", "text"),
    [(0.0, "0.0"), (-0.0, "-0.0"), (-1.0, "-1.0"), (-2.5, "-2.5"), (math.inf, "inf"),
     (-math.inf, "-inf"), (-5e-324, "-5e-324"), (-1e308, "-1e+308")],
)
def test_invalid_prices_raise(value, text):
    with pytest.raises(ValueError) as info:
        ts.validate_trade_price(value, "BBB", 17)
    assert str(info.value) == f"Invalid trading price for BBB at price row 17: {text}{TAIL}"
    assert "pelmora.core.runvane.validate_trade_price" in frame_names(info.value)


@pytest.mark.parametrize(
    ("value", "symbol", "row", "message"),
    [
        (0.0, "BBB", 17, "Invalid trading price for BBB at price row 17: 0.0. Expected a "
         "positive finite price; check the trading-price dataset."),
        (-1.5, "AAA", 0, "Invalid trading price for AAA at price row 0: -1.5. Expected a "
         "positive finite price; check the trading-price dataset."),
    ],
)
def test_documented_messages(value, symbol, row, message):
    with pytest.raises(ValueError) as info:
        ts.validate_trade_price(value, symbol, row)
    assert str(info.value) == message


class Labelled:
    def __format__(self, format_spec):
        return f"<label format={format_spec!r}>"

    def __str__(self):
        return "str-not-used"


@pytest.mark.parametrize(
    ("symbol", "text"),
    [
        ("2330.TW", "2330.TW"),
        ("台積電", "台積電"),
        ("", ""),
        (" A b ", " A b "),
        (2330, "2330"),
        (-7, "-7"),
        (10**30, str(10**30)),
        (1.5, "1.5"),
        (1e16, "1e+16"),
        (0.1, "0.1"),
        (math.nan, "nan"),
        (True, "True"),
        (None, "None"),
        (np.int64(5), "5"),
        (np.float64(2.5), "2.5"),
        (("A", 1), "('A', 1)"),
        (Fraction(1, 3), "1/3"),
        (Labelled(), "<label format=''>"),
    ],
)
def test_symbol_text(symbol, text):
    with pytest.raises(ValueError) as info:
        ts.validate_trade_price(-1.0, symbol, 2)
    assert str(info.value) == f"Invalid trading price for {text} at price row 2: -1.0{TAIL}"


@pytest.mark.parametrize("row", [0, 1, -1, -12, 2**31 - 1, -(2**31)])
def test_row_text(row):
    with pytest.raises(ValueError) as info:
        ts.validate_trade_price(0.0, "X", row)
    assert str(info.value) == f"Invalid trading price for X at price row {row}: 0.0{TAIL}"


def test_symbol_is_formatted_only_for_a_bad_price():
    class Unformattable:
        def __format__(self, format_spec):
            raise AssertionError("formatted")

    assert ts.validate_trade_price(3.0, Unformattable(), 0) is None


# --- map_columns ---------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("price_columns", "pos_columns", "expected"),
    [
        (["A", "B", "A"], ["A", "C", "B"], {0: 2, 2: 1}),
        (["A", "B"], [], {}),
        ([], ["A", "B"], {}),
        ([], [], {}),
        (["A", "B"], ["B", "B", "A"], {0: 1, 1: 1, 2: 0}),
        (["a", " A", "A "], ["A"], {}),
        (["é"], ["e\u0301"], {}),  # composed vs decomposed: different UTF-8 bytes
        (["台積電", "2330"], ["2330", "台積電"], {0: 1, 1: 0}),
        (["x", "y", "z", "y", "x"], ["z", "y", "x", "w"], {0: 2, 1: 3, 2: 4}),
    ],
)
def test_map_columns(price_columns, pos_columns, expected):
    result = ts.map_columns(price_columns, pos_columns)
    assert result == expected
    assert list(result) == sorted(result)
    assert all(type(k) is int and type(v) is int for k, v in result.items())


def test_map_columns_takes_any_iterables():
    price = np.array(["A", "B", "C"], dtype=object)
    result = ts.map_columns(iter(price), (c for c in ["C", "A"]))
    assert result == {0: 2, 1: 0}
    assert ts.map_columns(price_columns=("A",), pos_columns=["A"]) == {0: 0}


def test_names_are_compared_by_their_utf8_bytes():
    class Encoded:
        def __init__(self, data):
            self.data = data
            self.encodings = []

        def encode(self, encoding):
            self.encodings.append(encoding)
            return self.data

    name = Encoded("A".encode())
    assert ts.map_columns(["B", "A"], [name]) == {0: 1}
    assert name.encodings == ["UTF-8"]
    assert ts.map_columns([Encoded("é".encode())], ["é"]) == {0: 0}


@pytest.mark.parametrize(
    ("price_columns", "pos_columns", "message"),
    [
        ([b"A"], ["A"], "'bytes' object has no attribute 'encode'"),
        (["A"], [b"A"], "'bytes' object has no attribute 'encode'"),
        ([1], ["A"], "'int' object has no attribute 'encode'"),
        (["A"], [None], "'NoneType' object has no attribute 'encode'"),
    ],
)
def test_names_without_encode(price_columns, pos_columns, message):
    with pytest.raises(AttributeError) as info:
        ts.map_columns(price_columns, pos_columns)
    assert str(info.value) == message
    assert "pelmora.core.runvane.map_columns" in frame_names(info.value)


def test_encode_must_give_bytes():
    class Texty:
        def encode(self, encoding):
            return "A"

    with pytest.raises(TypeError) as info:
        ts.map_columns([Texty()], ["A"])
    assert "pelmora.core.runvane.map_columns" in frame_names(info.value)


@pytest.mark.parametrize("label", ["\ud800", "a\udcffb"])
def test_unencodable_name(label):
    # The error a label's own encode method raises, whichever way the text is read.
    with pytest.raises(UnicodeEncodeError) as expected:
        label.encode("UTF-8")
    with pytest.raises(UnicodeEncodeError) as info:
        ts.map_columns([label], ["A"])
    assert info.value.args == expected.value.args


@pytest.mark.parametrize("bad", [None, 5, 1.5])
def test_columns_must_be_iterable(bad):
    with pytest.raises(TypeError):
        ts.map_columns(bad, [])
    with pytest.raises(TypeError):
        ts.map_columns([], bad)


# --- ioft ----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "v",
    [0, 1_500_000_000, 1.5e9, -1_000_000_000, 1_700_000_000_123_456_789, np.int64(86_400 * 10**9),
     np.float64(1.25e18), Fraction(3, 2), True],
)
def test_ioft(v):
    result = rv.ioft(v)
    assert result == datetime.datetime.fromtimestamp(v / 1e9)
    assert type(result) is datetime.datetime
    assert result.tzinfo is None


def test_ioft_documented_values():
    epoch = datetime.datetime.fromtimestamp(0)
    assert rv.ioft(0) == epoch
    assert rv.ioft(1.5e9) - epoch == datetime.timedelta(seconds=1.5)
    assert rv.ioft(v=1.5e9) == rv.ioft(1.5e9)


@pytest.mark.parametrize("v", [1e30, -1e30, math.nan, math.inf, "1", None, 10**400, 1j])
def test_ioft_errors_are_the_hosts(v):
    expected = python_error(lambda: datetime.datetime.fromtimestamp(v / 1e9))
    with pytest.raises(Exception) as info:
        rv.ioft(v)
    assert (type(info.value), str(info.value)) == expected
    assert "pelmora.core.runvane.ioft" in frame_names(info.value)


def test_ioft_uses_the_module_global_datetime(monkeypatch):
    class Fake:
        @staticmethod
        def fromtimestamp(seconds):
            return ("fake", seconds)

    monkeypatch.setattr(rv, "datetime", types.SimpleNamespace(datetime=Fake))
    assert rv.ioft(3_000_000_000) == ("fake", 3.0)


# --- a small run -----------------------------------------------------------------------------

PRICE = np.array([[10.0, 20.0], [11.0, 21.0], [12.0, 19.0], [13.0, 22.0], [14.0, 23.0]])
INDEX = np.arange(5, dtype=np.int64) * 100
COLUMNS = np.array(["A", "B"], dtype=object)


def small_backtest():
    weights = np.array([[0.5, 0.5], [0.0, 1.0]])
    dates = np.array([0, 200], dtype=np.int64)
    return rv.backtest_(PRICE, PRICE, PRICE, PRICE, PRICE, INDEX, COLUMNS, weights, dates,
                        COLUMNS, dates, fee_ratio=0.0, tax_ratio=0.0)


def rows_from_records(columns, index, touched_exit):
    rows = []
    for i, t in enumerate(sw.trades):
        open_trade = t[2] == -1
        rows.append([
            columns[t[0]],
            int(index[t[1]]),
            -1 if open_trade else int(index[t[2]]),
            int(index[t[1] - 1]),
            -1 if open_trade else int(index[t[2]] if touched_exit else index[t[2] - 1]),
            sw.trade_positions[i],
            len(index) - t[1] if open_trade else t[2] - t[1],
            t[1],
            t[2],
        ])
    return rows


@pytest.mark.parametrize("touched_exit", [False, True])
def test_trade_rows_after_a_backtest(touched_exit):
    small_backtest()
    assert len(sw.trades) >= 2
    rows, ops = rv.get_trade_stocks(COLUMNS, INDEX, touched_exit)
    assert rows == rows_from_records(COLUMNS, INDEX, touched_exit)
    assert all(len(r) == 9 for r in rows)
    assert any(r[2] == -1 for r in rows)  # the run ends holding B
    assert ops is rv.get_trade_stocks(COLUMNS, INDEX, touched_exit)[1]


def test_stock_operations_copy_is_shallow():
    small_backtest()
    ops = rv.get_trade_stocks(COLUMNS, INDEX, False)[1]
    copy = rv.get_stock_operations()
    assert copy == ops
    assert copy is not ops and copy is not rv.get_stock_operations()
    assert set(copy) == set(ops)
    for key in ops:
        assert copy[key] is ops[key]
    copy["added to the copy"] = 1
    assert "added to the copy" not in rv.get_stock_operations()
    ops["added to the module dict"] = 2
    try:
        assert rv.get_stock_operations()["added to the module dict"] == 2
    finally:
        del ops["added to the module dict"]


# --- get_trade_stocks on recorded trades -------------------------------------------------------

DATES = np.array([10, 20, 30, 40, 50, 60], dtype=np.int64)
NAMES = np.array(["A", "B", "C"], dtype=object)


@pytest.fixture
def recorded():
    """Two closed trades and one still open, recorded the way a run records them."""
    price = np.full((6, 3), 10.0)
    ts.start_analysis(price, price, {0: 0, 1: 1, 2: 2}, 3, 0.0, 0.0, 0, 1)
    ts.record_date(0)
    ts.record_entry(1, 0.25, 1)
    ts.record_date(2)
    ts.record_entry(0, -0.5, 1)
    ts.record_date(3)
    ts.record_entry(2, 0.3, 1)
    ts.record_date(4)
    ts.record_exit(1, 1)
    ts.record_exit(0, 1)
    ts.record_date(5)
    ts.end_analysis({0: 0.0, 2: 30.0})
    assert sw.trades == [[1, 0, 4], [0, 2, 4], [2, 3, -1]]


@pytest.mark.usefixtures("recorded")
class TestTradeRows:
    @pytest.mark.parametrize(
        ("touched_exit", "decisions"), [(False, [40, 40, -1]), (True, [50, 50, -1]),
                                        ([], [40, 40, -1]), ("yes", [50, 50, -1])]
    )
    def test_nine_items(self, touched_exit, decisions):
        rows, ops = rv.get_trade_stocks(NAMES, DATES, touched_exit)
        assert rows == [
            # The entry at row 0 reads the date "before" it at index -1: the last date.
            ["B", 10, 50, 60, decisions[0], 0.25, 4, 0, 4],
            ["A", 30, 50, 20, decisions[1], -0.5, 2, 2, 4],
            ["C", 40, -1, 30, decisions[2], 0.3, 3, 3, -1],
        ]

    def test_items_are_the_recorded_objects(self):
        rows, _ = rv.get_trade_stocks(NAMES, DATES, False)
        for i, row in enumerate(rows):
            t = sw.trades[i]
            assert row[0] is NAMES[t[0]]
            assert row[5] is sw.trade_positions[i]
            assert row[7] is t[1] and row[8] is t[2]
            assert type(row[1]) is int and type(row[2]) is int and type(row[3]) is int

    def test_keyword_arguments(self):
        by_position = rv.get_trade_stocks(NAMES, DATES, True)
        by_keyword = rv.get_trade_stocks(touched_exit=True, price_index=DATES, pos_columns=NAMES)
        assert by_position == by_keyword

    def test_strided_arrays(self):
        names = np.array(["A", "x", "B", "x", "C", "x"], dtype=object)[::2]
        dates = np.repeat(DATES, 2)[::2]
        assert rv.get_trade_stocks(names, dates, False) == rv.get_trade_stocks(NAMES, DATES, False)

    @pytest.mark.parametrize(
        ("names", "dates"),
        [(NAMES[:1], DATES), (NAMES, DATES[:4]), (NAMES, DATES[:0])],
        ids=["sid-past-columns", "exit-past-dates", "no-dates"],
    )
    def test_index_out_of_range(self, names, dates):
        with pytest.raises(IndexError) as info:
            rv.get_trade_stocks(names, dates, False)
        assert "pelmora.core.runvane.get_trade_stocks" in frame_names(info.value)

    def test_failing_truth_test(self):
        class Bad:
            def __bool__(self):
                raise RuntimeError("no truth")

        with pytest.raises(RuntimeError, match="no truth"):
            rv.get_trade_stocks(NAMES, DATES, Bad())


@pytest.mark.parametrize(
    ("names", "dates", "error", "message"),
    [
        (np.array([1.0, 2.0]), DATES, ValueError,
         "Buffer dtype mismatch, expected 'Python object' but got 'double'"),
        (NAMES, DATES.astype(np.float64), ValueError,
         "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
        (NAMES, DATES.astype(np.int32), ValueError,
         "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
        (NAMES.reshape(3, 1), DATES, ValueError,
         "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (NAMES, DATES.reshape(2, 3), ValueError,
         "Buffer has wrong number of dimensions (expected 1, got 2)"),
        (NAMES, np.int64(5), TypeError, None),
        (["A"], DATES, TypeError, None),
        (NAMES, list(DATES), TypeError, None),
    ],
)
def test_arrays_are_checked(names, dates, error, message):
    with pytest.raises(error) as info:
        rv.get_trade_stocks(names, dates, False)
    if message is not None:
        assert str(info.value) == message
    assert "pelmora.core.runvane.get_trade_stocks" in frame_names(info.value)


def test_no_trades_gives_an_empty_list_and_the_dict(monkeypatch):
    monkeypatch.setattr(sw, "trades", [])
    monkeypatch.setattr(sw, "trade_positions", [])
    rows, ops = rv.get_trade_stocks(NAMES, DATES, False)
    assert rows == []
    assert ops == rv.get_stock_operations() and type(ops) is dict


def test_records_follow_python_indexing(monkeypatch):
    # Any sequence works as a record; t[2] is compared with -1 the Python way.
    monkeypatch.setattr(sw, "trades", [(-1, 1, np.int64(-1)), [0, np.int64(5), -1.0],
                                       (1, True, 3)])
    monkeypatch.setattr(sw, "trade_positions", ["p0", "p1", "p2"])
    rows, _ = rv.get_trade_stocks(NAMES, DATES, False)
    assert rows == [
        ["C", 20, -1, 10, -1, "p0", 5, 1, -1],
        ["A", 60, -1, 50, -1, "p1", 1, 5, -1.0],
        ["B", 20, 40, 10, 30, "p2", 2, True, 3],
    ]


def test_records_are_read_through_the_module_global(monkeypatch):
    fake = types.SimpleNamespace(trades=[[2, 1, 3]], trade_positions=[0.75])
    monkeypatch.setattr(rv, "swaylen", fake)
    assert rv.get_trade_stocks(NAMES, DATES, True)[0] == [["C", 20, 40, 10, 40, 0.75, 2, 1, 3]]


def test_missing_trade_position(monkeypatch):
    monkeypatch.setattr(sw, "trades", [[0, 1, 2], [1, 1, 2]])
    monkeypatch.setattr(sw, "trade_positions", [0.5])
    with pytest.raises(IndexError):
        rv.get_trade_stocks(NAMES, DATES, False)


# --- argument counts -------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("fn", "args", "kwargs", "message"),
    [
        (rv.ioft, (), {}, r"^ioft\(\) takes exactly 1 positional argument \(0 given\)$"),
        (rv.ioft, (1, 2), {}, r"^ioft\(\) takes exactly 1 positional argument \(2 given\)$"),
        (rv.ioft, (), {"x": 1}, r"^ioft\(\) takes exactly 1 positional argument \(0 given\)$"),
        (rv.ioft, (1,), {"w": 1}, r"^ioft\(\) got an unexpected keyword argument 'w'$"),
        (rv.ioft, (1,), {"v": 1}, r"^ioft\(\) got multiple values for keyword argument 'v'$"),
        (rv.get_trade_stocks, (), {},
         r"^get_trade_stocks\(\) takes exactly 3 positional arguments \(0 given\)$"),
        (rv.get_trade_stocks, (NAMES, DATES), {},
         r"^get_trade_stocks\(\) takes exactly 3 positional arguments \(2 given\)$"),
        (rv.get_trade_stocks, (NAMES, DATES, 1, 2), {},
         r"^get_trade_stocks\(\) takes exactly 3 positional arguments \(4 given\)$"),
        (rv.get_stock_operations, (1,), {},
         r"get_stock_operations\(\) takes no arguments \(1 given\)$"),
        (rv.get_stock_operations, (), {"x": 1},
         r"get_stock_operations\(\) takes no keyword arguments$"),
    ],
)
def test_wrong_argument_count(fn, args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        fn(*args, **kwargs)


# --- malformed input never crashes ---------------------------------------------------------------


class Hostile:
    """Fails every protocol it is asked for."""

    def __bool__(self):
        raise RuntimeError("bool")

    def __index__(self):
        raise RuntimeError("index")

    def __float__(self):
        raise RuntimeError("float")

    def __iter__(self):
        raise RuntimeError("iter")

    def __len__(self):
        raise RuntimeError("len")

    def __getitem__(self, key):
        raise RuntimeError("getitem")

    def __abs__(self):
        raise RuntimeError("abs")

    def __format__(self, format_spec):
        raise RuntimeError("format")

    def encode(self, encoding):
        raise RuntimeError("encode")

    def items(self):
        raise RuntimeError("items")

    def __truediv__(self, other):
        raise RuntimeError("truediv")

    def __gt__(self, other):
        raise RuntimeError("gt")

    def __lt__(self, other):
        raise RuntimeError("lt")

    __hash__ = object.__hash__


arrays = st.sampled_from([
    np.zeros(0), np.zeros(3), np.array([np.nan, 1.0, -1.0]), np.zeros((2, 2)),
    np.zeros(3, np.int64),
    np.array([5, -1, 2**40], dtype=np.int64), np.zeros(2, np.int32), np.zeros(2, np.float32),
    np.array(["A", 1, None], dtype=object), np.array([]), np.array(["A", "B"]), np.zeros((0, 3)),
    np.zeros(4)[::2], np.array(3.0), np.zeros(2, dtype=bool),
])
scalars = st.one_of(
    st.none(), st.booleans(), st.integers(), st.integers(-3, 3), st.floats(), st.text(max_size=4),
    st.binary(max_size=4), st.just(Hostile()), st.just(1j), st.just(Fraction(1, 3)),
    st.sampled_from([np.int64(-1), np.float64(np.nan), np.float32(2.0), np.bool_(True)]),
)
junk = st.recursive(
    st.one_of(scalars, arrays),
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.tuples(inner, inner),
        st.dictionaries(st.one_of(st.integers(-3, 3), st.text(max_size=2)), inner, max_size=4),
    ),
    max_leaves=8,
)

ENTRIES = {
    "normalize_weight": (rv.normalize_weight, ["weights", "position_limit"]),
    "ioft": (rv.ioft, ["v"]),
    "get_trade_stocks": (rv.get_trade_stocks, ["pos_columns", "price_index", "touched_exit"]),
    "get_stock_operations": (rv.get_stock_operations, []),
    "set_position": (ts.set_position, ["p", "sid", "position", "cash", "fee_ratio", "tax_ratio",
                                       "check_null", "set_null", "balance"]),
    "rebalance": (ts.rebalance, ["p", "newp", "cash", "fee_ratio", "tax_ratio",
                                 "position_limit"]),
    "map_columns": (ts.map_columns, ["price_columns", "pos_columns"]),
    "validate_trade_price": (ts.validate_trade_price, ["value", "symbol", "row"]),
}


def call_and_check(fn, args, kwargs):
    try:
        fn(*args, **kwargs)
    except SystemError as e:  # a native error path that forgot to set its exception
        raise AssertionError(f"SystemError from {fn.__name__}: {e}") from e
    except Exception:  # noqa: BLE001 - any ordinary exception is an acceptable outcome
        pass


@pytest.mark.parametrize("name", sorted(ENTRIES))
@settings(max_examples=40)
@given(data=st.data())
def test_malformed_arguments_raise_python_exceptions(name, data):
    fn, params = ENTRIES[name]
    n = data.draw(st.integers(0, len(params) + 1), label="positional count")
    args = data.draw(st.lists(junk, min_size=n, max_size=n), label="args")
    names = params + ["bogus"]
    kwargs = data.draw(st.dictionaries(st.sampled_from(names), junk, max_size=min(2, len(names))),
                       label="kwargs")
    call_and_check(fn, args, kwargs)


@pytest.mark.parametrize("name", ["set_position", "rebalance"])
@settings(max_examples=60)
@given(data=st.data())
def test_malformed_books_raise_python_exceptions(name, data):
    price = np.full((3, 3), 10.0)
    ts.start_analysis(price, price, {}, 3, 0.0, 0.0, 0, 1)
    fn, params = ENTRIES[name]
    keys = st.one_of(st.integers(-5, 5), st.integers(), st.floats(), st.text(max_size=2),
                     st.none(), st.just(Hostile()))
    book = data.draw(st.dictionaries(keys, st.one_of(st.floats(), junk), max_size=3))
    values = st.one_of(st.floats(), st.integers(-5, 5), junk)
    rest = data.draw(st.lists(values, min_size=len(params) - 1, max_size=len(params) - 1))
    if name == "rebalance":
        rest[0] = data.draw(st.one_of(
            arrays, st.lists(st.floats(), max_size=4).map(lambda v: np.array(v, dtype=float))))
    call_and_check(fn, [book, *rest], {})


record = st.one_of(
    junk,
    st.lists(st.one_of(st.integers(-8, 8), st.just(-1), scalars), min_size=0, max_size=4),
    st.tuples(st.integers(-4, 4), st.integers(-8, 8), st.integers(-8, 8)),
)


@settings(max_examples=120)
@given(
    trades=st.one_of(st.lists(record, max_size=4), junk),
    positions=st.one_of(st.lists(scalars, max_size=4), junk),
    names=st.one_of(st.just(NAMES), arrays),
    dates=st.one_of(st.just(DATES), arrays),
    touched_exit=st.one_of(st.booleans(), scalars),
)
def test_malformed_trade_records_raise_python_exceptions(trades, positions, names, dates,
                                                         touched_exit):
    saved = sw.trades, sw.trade_positions
    sw.trades, sw.trade_positions = trades, positions
    try:
        call_and_check(rv.get_trade_stocks, (names, dates, touched_exit), {})
    finally:
        sw.trades, sw.trade_positions = saved
