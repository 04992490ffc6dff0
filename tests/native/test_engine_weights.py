"""normalize_weight: scale a weight mapping down to a gross weight of 1, then clip.

The function works on Python objects with Python semantics, so the expected
values below are computed with the same Python operations in the same order:
the gross weight is 0.0 plus each abs(w) in turn, a weight is scaled by
w * (1 / gross), and clipping stores the limit object itself.
"""

import math
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from pelmora.core import runvane as rv
from support import frame_names

normalize_weight = rv.normalize_weight


def gross(values):
    total = 0.0
    for w in values:
        total += abs(w)
    return total


@pytest.mark.parametrize(
    ("weights", "limit", "expected"),
    [
        ({1: 0.6, 2: 0.6}, 1.0, {1: 0.6 * (1 / 1.2), 2: 0.6 * (1 / 1.2)}),
        ({1: 0.6, 2: -0.6}, 0.3, {1: 0.3, 2: -0.3}),
        ({1: 0.2, 2: 0.3}, 1.0, {1: 0.2, 2: 0.3}),
        ({}, 1.0, {}),
        ({"a": 0.5, "b": -0.5}, 1.0, {"a": 0.5, "b": -0.5}),
        ({1: 0.9, 2: 0.05}, 0.4, {1: 0.4, 2: 0.05}),
        ({1: -0.9, 2: 0.05}, 0.4, {1: -0.4, 2: 0.05}),
        ({1: 3.0}, 0.5, {1: 0.5}),
        ({1: 0.0, 2: -0.0}, 0.0, {1: 0.0, 2: -0.0}),
    ],
)
def test_examples(weights, limit, expected):
    result = normalize_weight(weights, limit)
    assert result is weights
    assert result == expected
    assert list(result) == list(expected)


def test_documented_scaling_is_one_half():
    assert normalize_weight({1: 0.6, 2: 0.6}, 1.0) == pytest.approx({1: 0.5, 2: 0.5})


def test_weights_within_limits_are_left_as_the_same_objects():
    a, b = 0.25, -0.75  # absolute sum exactly 1: not scaled
    weights = {1: a, 2: b}
    normalize_weight(weights, 1.0)
    assert weights[1] is a and weights[2] is b


def test_scaling_multiplies_by_the_reciprocal():
    weights = {1: 0.7, 2: 0.9, 3: -0.3}
    total = gross(weights.values())
    factor = 1 / total
    normalize_weight(weights, 1.0)
    assert weights == {1: 0.7 * factor, 2: 0.9 * factor, 3: -0.3 * factor}


def test_scaling_then_clipping_leaves_the_sum_below_one():
    weights = {1: 0.9, 2: 0.9, 3: 0.2}
    factor = 1 / gross(weights.values())
    normalize_weight(weights, 0.3)
    assert weights == {1: 0.3, 2: 0.3, 3: 0.2 * factor}
    assert gross(weights.values()) < 1


def test_integer_weights_follow_python_arithmetic():
    weights = {1: 2, 2: -2}
    normalize_weight(weights, 1)
    assert weights == {1: 0.5, 2: -0.5}
    assert all(type(v) is float for v in weights.values())

    weights = {1: 1}
    normalize_weight(weights, 1)
    assert weights == {1: 1} and type(weights[1]) is int

    weights = {1: 5, 2: -5}
    limit = 0
    normalize_weight(weights, limit)  # sum 10 scales to 0.5 / -0.5, then clipped to 0
    assert weights == {1: 0, 2: 0}
    assert weights[1] is limit
    assert type(weights[2]) is int


def test_limit_object_itself_is_stored():
    limit = Fraction(1, 4)
    weights = {1: 0.5, 2: -0.375, 3: Fraction(1, 8)}  # gross 1: not scaled
    normalize_weight(weights, limit)
    assert weights[1] is limit
    assert weights[2] == Fraction(-1, 4) and type(weights[2]) is Fraction
    assert weights[3] == Fraction(1, 8)


@pytest.mark.parametrize(
    ("values", "limit"),
    [
        ([np.float32(0.75), np.float32(0.75)], 1.0),
        ([np.int64(3), np.int64(-1)], 0.5),
        ([np.float64(0.6), 0.6, 1], 0.45),
        ([np.int8(1), np.float16(0.5)], 2.0),
    ],
    ids=["float32", "int64", "mixed", "int8-float16"],
)
def test_numpy_scalars_follow_python_arithmetic(values, limit):
    weights = dict(enumerate(values))
    total = gross(values)
    expected = {}
    for sid, w in enumerate(values):
        if total > 1:
            w = w * (1 / total)
        if w > limit:
            w = limit
        elif w < -limit:
            w = -limit
        expected[sid] = w
    normalize_weight(weights, limit)
    assert weights == expected
    assert [type(v) for v in weights.values()] == [type(v) for v in expected.values()]


class LoggingMapping:
    """A mapping that is not a dict and logs how it is used."""

    def __init__(self, data):
        self.data = dict(data)
        self.log = []

    def items(self):
        self.log.append("items")
        return list(self.data.items())

    def __iter__(self):
        self.log.append("iter")
        return iter(list(self.data))

    def __getitem__(self, key):
        self.log.append(("get", key))
        return self.data[key]

    def __setitem__(self, key, value):
        self.log.append(("set", key))
        self.data[key] = value


def test_any_mapping_is_accepted():
    weights = LoggingMapping({"x": 0.75, "y": 0.75})
    assert normalize_weight(weights, 0.4) is weights
    assert weights.data == {"x": 0.4, "y": 0.4}
    assert weights.log[0] == "items"
    assert weights.log.count("items") == 1
    assert weights.log.count("iter") == 2


def test_mapping_below_one_is_only_read():
    weights = LoggingMapping({"x": 0.25, "y": 0.5})
    normalize_weight(weights, 1.0)
    assert weights.data == {"x": 0.25, "y": 0.5}
    assert not any(isinstance(e, tuple) and e[0] == "set" for e in weights.log)


def test_dict_subclass_is_summed_through_its_items():
    class Weights(dict):
        def items(self):
            return [("ignored", 4.0)]

    weights = Weights({1: 1.0, 2: 0.5})
    normalize_weight(weights, 1.0)
    assert dict(weights) == {1: 1.0 * (1 / 4.0), 2: 0.5 * (1 / 4.0)}


@pytest.mark.parametrize(
    ("pairs", "error"),
    [([(1,)], ValueError), ([(1, 0.5, 3)], ValueError), ([1], TypeError), (None, TypeError)],
    ids=["short-pair", "long-pair", "not-a-pair", "items-not-iterable"],
)
def test_items_must_yield_pairs(pairs, error):
    class Bad:
        def items(self):
            return pairs

        def __iter__(self):
            return iter(())

    with pytest.raises(error):
        normalize_weight(Bad(), 1.0)


def test_none_raises_attribute_error():
    with pytest.raises(AttributeError) as info:
        normalize_weight(None, 1.0)
    assert str(info.value) == "'NoneType' object has no attribute 'items'"
    assert "pelmora.core.runvane.normalize_weight" in frame_names(info.value)


@pytest.mark.parametrize(
    ("weights", "error"),
    [
        ({1: "0.5"}, TypeError),
        ({1: None}, TypeError),
        ({1: 0.5, 2: [1]}, TypeError),
        ({1: 1 + 2j}, TypeError),  # abs works, the comparison does not
        ({1: 10**400}, OverflowError),  # 0.0 + abs(w) does not fit a float
    ],
)
def test_invalid_values_raise_the_python_error(weights, error):
    with pytest.raises(error) as info:
        normalize_weight(weights, 1.0)
    assert "pelmora.core.runvane.normalize_weight" in frame_names(info.value)


def test_invalid_limit_raises_the_python_error():
    with pytest.raises(TypeError):
        normalize_weight({1: 0.5}, "1")
    with pytest.raises(TypeError):
        normalize_weight({1: 0.5}, None)


def test_changes_made_before_a_failure_stay():
    class Stubborn:
        def __abs__(self):
            return 0.8

        def __mul__(self, other):
            raise ArithmeticError("cannot scale")

    bad = Stubborn()
    weights = {1: 0.8, 2: bad, 3: 0.8}
    with pytest.raises(ArithmeticError, match="cannot scale"):
        normalize_weight(weights, 1.0)
    factor = 1 / (0.0 + 0.8 + 0.8 + 0.8)
    assert weights == {1: 0.8 * factor, 2: bad, 3: 0.8}


def test_nan_weight():
    weights = {1: math.nan, 2: 0.5}
    normalize_weight(weights, 1.0)
    # A NaN gross weight is not greater than 1; NaN compares false to the limit.
    assert math.isnan(weights[1]) and weights[2] == 0.5


def test_keyword_arguments():
    weights = {1: 2.0}
    assert normalize_weight(position_limit=0.5, weights=weights) is weights
    assert weights == {1: 0.5}


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "normalize_weight() takes exactly 2 positional arguments (0 given)"),
        (({},), {}, "normalize_weight() takes exactly 2 positional arguments (1 given)"),
        (({}, 1.0, 2), {}, "normalize_weight() takes exactly 2 positional arguments (3 given)"),
        (
            ({},),
            {"limit": 1.0},
            "normalize_weight() takes exactly 2 positional arguments (1 given)",
        ),
        (
            ({}, 1.0),
            {"extra": 1},
            "normalize_weight() got an unexpected keyword argument 'extra'",
        ),
        (
            ({}, 1.0),
            {"weights": {}},
            "normalize_weight() got multiple values for keyword argument 'weights'",
        ),
    ],
)
def test_wrong_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        normalize_weight(*args, **kwargs)
    assert str(info.value) == message


finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)


@settings(max_examples=150)
@given(
    st.dictionaries(st.integers(-5, 50), finite, max_size=12),
    st.floats(min_value=0.0, max_value=2.0),
)
def test_result_is_within_the_band_and_at_most_one_in_gross(weights, limit):
    original = dict(weights)
    result = normalize_weight(weights, limit)
    assert result is weights
    assert list(result) == list(original)
    assert all(-limit <= v <= limit for v in result.values())
    assert gross(result.values()) <= 1 + 1e-12
    if gross(original.values()) <= 1:
        # Never scaled up: only clipping can change a weight.
        for k, v in original.items():
            assert result[k] == min(max(v, -limit), limit)
