"""The native price checks find the fault a plain NumPy reading of the rules finds: the same
kind, the same matrix and the same first cell, whatever the memory layout of the matrices."""

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pelmora.inputs._prices import MODERATE, PRICE_RANGE
from pelmora.core.journal import _price_fault, _row_major, _weights_scan

BOUNDS = (*PRICE_RANGE, *MODERATE)
TINY = PRICE_RANGE[0]
# Ordinary prices, missing ones, and every edge of the accepted range and of the span rule.
FAR = [np.nan, 1e75, np.nextafter(1e75, 0), 1e-75, 1e-76, 1e80, 1e-80, 1e140, 1e-140, TINY,
       np.nextafter(1e150, 0)]
ODD = FAR + [np.inf, -np.inf, 0.0, -0.0, -3.0, 1e150, 1e151, np.nextafter(TINY, 0), 5e-324]


def reference(matrices, used, high, low):
    """The first fault, read off whole boolean matrices in the order the checks run."""
    lowest, highest, moderate_low, moderate_high = BOUNDS
    mask = np.zeros(matrices[0].shape[1], dtype=bool)
    mask[used] = True
    with np.errstate(invalid="ignore", over="ignore"):
        for k, m in enumerate(matrices):
            bad = ~np.isnan(m) & ~((m >= lowest) & (m < highest)) & mask
            if bad.any():
                return ("outside", k, *map(int, np.argwhere(bad)[0]))
        cells = np.concatenate(matrices)
        n = matrices[0].shape[0]
        far = (~np.isnan(cells) & ~((cells >= moderate_low) & (cells < moderate_high))).any(0)
        for col in np.flatnonzero(far & mask):
            lo, hi = int(np.nanargmin(cells[:, col])), int(np.nanargmax(cells[:, col]))
            if cells[hi, col] / cells[lo, col] >= highest:
                return ("span", int(col), lo // n, lo % n, hi // n, hi % n)
        if high >= 0:
            below = (matrices[high] < matrices[low]) & mask
            if below.any():
                return ("below", *map(int, np.argwhere(below)[0]))
    return None


def laid_out(m, layout):
    """``m``'s values in another memory layout: the checks must read them all the same."""
    if layout == "F":
        return np.asfortranarray(m)
    if layout == "reversed":
        return m[::-1, ::-1].copy()[::-1, ::-1]
    if layout == "strided":
        big = np.full((2 * m.shape[0], 3 * m.shape[1]), np.inf)
        big[::2, ::3] = m
        return big[::2, ::3]
    return np.ascontiguousarray(m)


@st.composite
def markets(draw):
    rows, cols = draw(st.integers(1, 19)), draw(st.integers(1, 7))
    n = draw(st.integers(1, 4))
    # Prices in range in two markets of three, so that spans and highs below lows are reached.
    odd = draw(st.sampled_from([ODD, FAR, [np.nan]]))
    matrices = []
    for _ in range(n):
        cells = draw(st.lists(st.one_of(st.floats(0.5, 200.0), st.sampled_from(odd)),
                              min_size=rows * cols, max_size=rows * cols))
        layout = draw(st.sampled_from(["C", "F", "reversed", "strided"]))
        matrices.append(laid_out(np.array(cells).reshape(rows, cols), layout))
    used = sorted(draw(st.sets(st.integers(0, cols - 1))))
    pair = draw(st.lists(st.integers(0, n - 1), min_size=2, max_size=2, unique=True)) if n > 1 \
        and draw(st.booleans()) else [-1, -1]
    return matrices, np.array(used, dtype=np.int64), pair[0], pair[1]


@settings(max_examples=400)
@given(markets())
def test_first_fault_matches_numpy(market):
    matrices, used, high, low = market
    expected = reference(matrices, used, high, low)
    assert _price_fault(matrices, used, high, low, BOUNDS) == expected
    # Asked for, the same pass tells which used columns of each matrix hold no price at all.
    fault, unpriced = _price_fault(matrices, used, high, low, BOUNDS, True)
    assert fault == expected and unpriced.shape == (len(matrices), len(used))
    if fault is None:
        assert unpriced.tolist() == [np.isnan(m[:, used]).all(axis=0).tolist() for m in matrices]


@pytest.mark.parametrize("layout", ["C", "F", "reversed", "strided"])
@pytest.mark.parametrize("fault", ["outside", "span", "below", None])
def test_large_matrices_shared_among_threads(layout, fault):
    # Large enough for several tasks and threads; each fault planted twice, the later one in an
    # earlier column, so the first cell in row-major order is not the first found by column.
    rng = np.random.default_rng(7)
    shape = (700, 1500)
    high = rng.uniform(10.0, 20.0, shape)
    low, close = high / 2.0, high / 1.5
    if fault == "outside":
        close[400, 1200], close[500, 3] = -1.0, np.inf
    elif fault == "span":
        low[600, 900], high[30, 900], low[650, 1100] = 1e-80, 1e80, 1e-140
    elif fault == "below":
        high[300, 1400], high[301, 2] = 1.0, 1.0
    matrices = [laid_out(m, layout) for m in (close, high, low)]
    used = np.arange(0, shape[1], dtype=np.int64)
    expected = reference(matrices, used, 1, 2)
    assert (expected is None) == (fault is None)
    assert _price_fault(matrices, used, 1, 2, BOUNDS) == expected
    # The weights read by the same threads, beside the prices: the same fault, the same scan.
    weights = laid_out(rng.choice([0.0, 0.5, np.nan], size=(40, shape[1])), layout)
    found, unpriced, scan = _price_fault(matrices, used, 1, 2, BOUNDS, False, weights, 3)
    alone = _weights_scan(weights, 3, not weights.flags.c_contiguous)
    assert found == expected and unpriced is None
    assert scan[0] == alone[0] and scan[1].tolist() == alone[1].tolist()
    assert (scan[2] is None) == (alone[2] is None) == (layout == "C")
    if scan[2] is not None:
        assert scan[2].tobytes() == alone[2].tobytes()
    # Row-major copies made band by band by the same tasks, whatever the fault.
    *_, copies = _price_fault(matrices, used, 1, 2, BOUNDS, False, None, 0, (2, 0))
    for copy, m in zip(copies, (matrices[2], matrices[0])):
        assert copy.flags.c_contiguous and copy.tobytes() == np.ascontiguousarray(m).tobytes()


@pytest.mark.parametrize(("used", "copies", "match"), [
    ([0], (0,), "copies need every column used"),
    ([0, 1], (-1,), "copies must index the matrices"),
    ([0, 1], (1,), "copies must be -1 or the index of one of the matrices"),
])
def test_copies_refused(used, copies, match):
    with pytest.raises(ValueError, match=match):
        _price_fault([np.ones((3, 2))], np.array(used, dtype=np.int64), -1, -1, BOUNDS, False,
                     None, 0, copies)


@pytest.mark.parametrize(
    ("matrices", "used", "error", "match"),
    [
        ([np.ones((2, 2), np.float32)], [0], ValueError,
         "Buffer dtype mismatch, expected 'double' but got 'float'"),
        ([np.ones(3)], [0], ValueError,
         r"Buffer has wrong number of dimensions \(expected 2, got 1\)"),
        ([np.ones((2, 2)), np.ones((3, 2))], [0], ValueError, "one shape"),
        ([np.ones((2, 2))], [1, 0], ValueError, "increasing column indexes"),
        ([np.ones((2, 2))], [2], ValueError, "increasing column indexes"),
        ([np.ones((2, 2))], [-1], ValueError, "increasing column indexes"),
        ([[1.0, 2.0]], [0], TypeError, "a bytes-like object is required, not 'list'"),
    ],
)
def test_refuses_malformed_arguments(matrices, used, error, match):
    with pytest.raises(error, match=match):
        _price_fault(matrices, np.array(used, dtype=np.int64), -1, -1, BOUNDS)


# The weights' pass: every weight finite and below the largest a row can sum without overflow
# (``plain``), the columns weighted from a row on, and the row-major copy the engine reads.
WEIGHT_CELLS = [0.0, -0.0, 0.25, -1.5, np.nan, np.inf, -np.inf, 1e300, -1e308, 5e-324]


@st.composite
def weight_matrices(draw):
    rows, cols = draw(st.integers(1, 21)), draw(st.integers(0, 6))
    # Mostly zeros, as a portfolio's weights are: a column's one nonzero cell decides it.
    cells = draw(st.lists(st.sampled_from(WEIGHT_CELLS + [0.0] * 30), min_size=rows * cols,
                          max_size=rows * cols))
    layout = draw(st.sampled_from(["C", "F", "reversed", "strided"]))
    values = laid_out(np.array(cells, dtype=np.float64).reshape(rows, cols), layout)
    return values, draw(st.integers(0, rows)), draw(st.booleans())


@settings(max_examples=300)
@given(weight_matrices())
def test_weights_scan_matches_numpy(case):
    values, first_row, copy = case
    plain, held, rows = _weights_scan(values, first_row, copy)
    limit = np.finfo(np.float64).max / (2.0 * max(values.shape[1], 1))
    with np.errstate(invalid="ignore"):
        assert plain == bool((np.abs(values) <= limit).all())
    assert held.dtype == np.bool_
    assert held.tolist() == (values[first_row:] != 0).any(axis=0).tolist()
    if copy:
        assert rows.flags.c_contiguous and rows.tobytes() == np.ascontiguousarray(values).tobytes()
    else:
        assert rows is None


@pytest.mark.parametrize("cell", [np.nan, -np.inf, -0.5])
@pytest.mark.parametrize("layout", ["C", "F"])
def test_weights_scan_finds_a_lone_cell_at_every_row(cell, layout):
    # Column-major columns are read several cells at a time: one odd or nonzero cell must count
    # wherever it falls in a group, and only from first_row on for the holdings.
    for row in range(13):
        values = np.zeros((13, 3))
        values[row, 1] = cell
        values = laid_out(values, layout)
        plain, held, _ = _weights_scan(values, 4, False)
        assert plain == (cell == -0.5)
        assert held.tolist() == [False, row >= 4, False]


@pytest.mark.parametrize(("args", "error", "match"), [
    ((np.ones((2, 2)), 3, False), ValueError, "first_row must lie from 0 to the number of rows"),
    ((np.ones((2, 2)), -1, False), ValueError, "first_row must lie from 0"),
    ((np.ones(2), 0, False), ValueError, r"wrong number of dimensions \(expected 2, got 1\)"),
])
def test_weights_scan_refuses_malformed_arguments(args, error, match):
    with pytest.raises(error, match=match):
        _weights_scan(*args)


@pytest.mark.parametrize("shape", [(0, 5), (1, 1), (63, 31), (64, 32), (65, 33), (300, 129)])
@pytest.mark.parametrize("view", ["F", "C", "reversed", "strided"])
def test_the_row_major_copy_is_the_matrix_bit_for_bit(shape, view):
    a = np.asfortranarray(np.random.default_rng(1).normal(size=shape))
    a = {"F": a, "C": np.ascontiguousarray(a), "reversed": a[::-1, ::-1],
         "strided": np.asfortranarray(np.tile(a, (2, 3)))[::2, ::3]}[view]
    (copy,) = _row_major(a)
    assert copy.flags.c_contiguous and copy.shape == a.shape
    assert copy.tobytes() == np.ascontiguousarray(a).tobytes()


@pytest.mark.parametrize("args, error, text", [
    ((np.zeros(3),), ValueError, "^Buffer has wrong number of dimensions \\(expected 2, got 1\\)$"),
    ((np.zeros((2, 2), dtype=np.float32),), ValueError,
     "^Buffer dtype mismatch, expected 'double' but got 'float'$"),
    ((np.zeros((2, 2)), None), TypeError, "^a bytes-like object is required, not 'NoneType'$"),
])
def test_the_row_major_copy_refuses_what_is_not_a_float64_matrix(args, error, text):
    with pytest.raises(error, match=text):
        _row_major(*args)
    assert _row_major() == ()
