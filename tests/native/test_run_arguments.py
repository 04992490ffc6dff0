"""backtest_'s argument handling: the 25 parameters, their defaults and
conversions, the order in which they are taken in, the exact error texts and
the two module flags every call sets."""

import inspect
import math
import traceback

import numpy as np
import pytest

from pelmora.core import runvane, swaylen
from run_helpers import ARRAY_NAMES, Inputs, build

OPTION_NAMES = (
    "fee_ratio", "tax_ratio", "stop_loss", "take_profit", "trail_stop", "trail_stop_activation",
    "touched_exit", "position_limit", "retain_cost_when_rebalance", "stop_trading_next_period",
    "swaylen_window", "swaylen_window_step", "periodically_rebalance", "delisting_bars",
)
DEFAULTS = (0.001425, 0.003, 1.0, math.inf, math.inf, 0.0, False, 1.0, False, True, 0, 1, True,
            None)


@pytest.fixture
def flags(monkeypatch):
    """Leaves the module flags as they were before the test."""
    monkeypatch.setattr(runvane, "RETAIN_COST_WHEN_REBALANCE", runvane.RETAIN_COST_WHEN_REBALANCE)
    monkeypatch.setattr(runvane, "RESAMPLE", runvane.RESAMPLE)


def two_period_market():
    # Buy one stock on row 1, sell it on row 3 (the second position row is 0).
    return build([10.0, 10.0, 12.0, 15.0, 15.0], [[1.0], [0.0]], pos_index=[0, 2])


def option_market():
    # Two stocks, a stop that fires, a second rebalance, excursion window:
    # enough moving parts that every option changes something.
    price = [[10.0, 20.0], [10.0, 20.0], [9.0, 22.0], [8.0, 25.0], [9.5, 24.0], [10.0, 23.0]]
    low = [[10.0, 20.0], [10.0, 20.0], [8.5, 21.0], [7.0, 24.0], [9.0, 22.0], [9.5, 22.5]]
    high = [[10.0, 20.0], [10.5, 21.0], [9.5, 23.0], [9.0, 26.0], [10.0, 25.0], [10.5, 24.0]]
    return build(price, [[0.6, 0.4], [0.3, 0.7]], low=low, high=high, pos_index=[0, 3])


NON_DEFAULT = dict(fee_ratio=0.002, tax_ratio=0.001, stop_loss=0.12, take_profit=0.3,
                   trail_stop=0.05, trail_stop_activation=0.02, touched_exit=True,
                   position_limit=0.65, retain_cost_when_rebalance=True,
                   stop_trading_next_period=False, swaylen_window=3, swaylen_window_step=2,
                   periodically_rebalance=False, delisting_bars=np.array([-1, 5], dtype=np.int64))


def snapshot(creturn):
    return (creturn.tolist(), [[int(x) for x in t] for t in swaylen.trades],
            [float(p) for p in swaylen.trade_positions], [a.tolist() for a in swaylen.swaylen],
            repr(runvane.get_stock_operations()))


# --- signature and defaults ------------------------------------------------------------


def test_signature_lists_the_25_parameters_with_their_defaults():
    params = list(inspect.signature(runvane.backtest_).parameters.values())
    assert [p.name for p in params] == list(ARRAY_NAMES + OPTION_NAMES)
    assert all(p.default is inspect.Parameter.empty for p in params[:11])
    assert all(p.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD for p in params)
    assert tuple(p.default for p in params[11:]) == DEFAULTS


def test_default_tuple_and_identity_of_the_entry():
    entry = runvane.backtest_
    assert entry.__defaults__ == DEFAULTS
    assert [type(d) for d in entry.__defaults__] == [type(d) for d in DEFAULTS]
    assert (entry.__name__, entry.__qualname__, entry.__module__) == (
        "backtest_", "backtest_", "pelmora.core.runvane")
    assert entry.__doc__.startswith("Run a backtest")


def test_only_the_arrays_uses_the_documented_defaults(flags):
    inp = two_period_market()
    creturn = runvane.backtest_(*inp.args())
    # Entry on row 1 with the 0.001425 fee taken out of the holding ...
    held = 0.0 + (1.0 - abs(1.0) * 0.001425)
    cash = 1.0 - 1.0
    expected = [1.0, cash + held * 10.0 / 10.0]
    held = held * (12.0 / 10.0)
    expected.append(cash + held * 12.0 / 12.0)
    held = held * (15.0 / 12.0)
    # ... and the exit on row 3 paying fee and the 0.003 tax.
    cash = cash + (held - abs(held) * (0.001425 + 0.003))
    expected += [cash, cash]
    assert creturn.tolist() == expected
    assert runvane.RETAIN_COST_WHEN_REBALANCE is False
    assert runvane.RESAMPLE is True


def test_explicit_defaults_give_the_same_run_as_omitted_ones(flags):
    inp = option_market()
    plain = snapshot(runvane.backtest_(*inp.args()))
    explicit = snapshot(runvane.backtest_(*inp.args(), *DEFAULTS))
    assert plain == explicit


def test_default_stop_loss_keeps_a_long_through_a_95_percent_fall():
    inp = build([10.0, 10.0, 5.0, 1.0, 0.5], [1.0])
    creturn = runvane.backtest_(*inp.args())
    assert [t[2] for t in swaylen.trades] == [-1]  # still open at the end
    assert creturn[-1] < 0.06


# --- positional and keyword passing --------------------------------------------------------


@pytest.mark.parametrize("n_positional", [0, 5, 11, 17, 25])
def test_parameters_may_be_given_by_position_or_keyword(flags, n_positional):
    inp = option_market()
    values = list(inp.args()) + [NON_DEFAULT[n] for n in OPTION_NAMES]
    reference = snapshot(runvane.backtest_(*values))
    all_names = ARRAY_NAMES + OPTION_NAMES
    kwargs = dict(zip(all_names[n_positional:], values[n_positional:]))
    assert snapshot(runvane.backtest_(*values[:n_positional], **kwargs)) == reference


def test_the_options_change_the_run():
    # Guards the test above: the non-default options really are in effect.
    inp = option_market()
    assert snapshot(runvane.backtest_(*inp.args(), **NON_DEFAULT)) != snapshot(
        runvane.backtest_(*inp.args()))


# --- argument count and keyword errors -------------------------------------------------------


def test_too_few_positional_arguments():
    with pytest.raises(TypeError) as e:
        runvane.backtest_(1, 2, 3)
    assert str(e.value) == "backtest_() takes at least 11 positional arguments (3 given)"


def test_no_arguments():
    with pytest.raises(TypeError) as e:
        runvane.backtest_()
    assert str(e.value) == "backtest_() takes at least 11 positional arguments (0 given)"


def test_too_many_positional_arguments():
    inp = option_market()
    with pytest.raises(TypeError) as e:
        runvane.backtest_(*inp.args(), *DEFAULTS, None)
    assert str(e.value) == "backtest_() takes at most 25 positional arguments (26 given)"


def test_a_required_array_missing_between_keywords():
    kwargs = option_market().kwargs()
    del kwargs["pos_columns"]
    with pytest.raises(TypeError) as e:
        runvane.backtest_(**kwargs)
    assert str(e.value) == "backtest_() takes at least 11 positional arguments (9 given)"


def test_unexpected_keyword():
    with pytest.raises(TypeError) as e:
        runvane.backtest_(*option_market().args(), fee=0.1)
    assert str(e.value) == "backtest_() got an unexpected keyword argument 'fee'"


@pytest.mark.parametrize("name, position", [("fee_ratio", 11), ("price_values", 0),
                                            ("resample", 10), ("delisting_bars", 24)])
def test_a_parameter_given_twice(name, position):
    values = list(option_market().args()) + list(DEFAULTS)
    with pytest.raises(TypeError) as e:
        runvane.backtest_(*values[: max(position + 1, 11)], **{name: values[position]})
    assert str(e.value) == f"backtest_() got multiple values for keyword argument '{name}'"


def test_a_missing_array_is_reported_before_a_duplicate():
    values = option_market().args()
    with pytest.raises(TypeError) as e:
        runvane.backtest_(values[0], price_values=values[0])
    assert str(e.value) == "backtest_() takes at least 11 positional arguments (1 given)"


# --- array types and buffers -------------------------------------------------------------------


@pytest.mark.parametrize("name", ARRAY_NAMES)
@pytest.mark.parametrize("bad, type_name", [([[1.0]], "list"), (3.5, "float"), ("x", "str")])
def test_an_array_argument_that_is_not_an_ndarray(name, bad, type_name):
    kwargs = option_market().kwargs()
    kwargs[name] = bad
    with pytest.raises(TypeError) as e:
        runvane.backtest_(**kwargs)
    assert str(e.value) == (
        f"Argument '{name}' has incorrect type (expected numpy.ndarray, got {type_name})")


def test_price_values_given_as_a_list():
    kwargs = option_market().kwargs()
    kwargs["price_values"] = [[10.0]]
    with pytest.raises(TypeError) as e:
        runvane.backtest_(**kwargs)
    assert str(e.value) == (
        "Argument 'price_values' has incorrect type (expected numpy.ndarray, got list)")


def test_an_ndarray_subclass_passes_the_type_test():
    class Sub(np.ndarray):
        pass

    inp = option_market()
    plain = inp.run().tolist()
    assert inp.with_(price_values=inp.price_values.view(Sub)).run().tolist() == plain


@pytest.mark.parametrize("name, bad, message", [
    ("price_values", np.ones((6, 2), dtype=np.float32),
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ("close_values", np.ones((6, 2), dtype=np.int64),
     "Buffer dtype mismatch, expected 'double' but got 'long'"),
    ("open_values", np.ones(6), "Buffer has wrong number of dimensions (expected 2, got 1)"),
    ("high_values", np.ones((6, 2, 1)), "Buffer has wrong number of dimensions (expected 2, got 3)"),
    ("price_index", np.arange(6, dtype=np.float64),
     "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    ("pos_index", np.array([0], dtype=np.int32),
     "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    ("resample", np.zeros((1, 1), dtype=np.int64),
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("pos_values", np.ones((2, 2), dtype=np.float16),
     "Buffer dtype mismatch, expected 'double' but got 'half'"),
    ("pos_columns", np.array(["S0", "S1"]),
     "Buffer dtype mismatch, expected 'Python object' but got a string"),
])
def test_buffer_errors_of_the_arrays(name, bad, message):
    kwargs = option_market().kwargs()
    kwargs[name] = bad
    with pytest.raises(ValueError) as e:
        runvane.backtest_(**kwargs)
    assert str(e.value) == message


@pytest.mark.parametrize("bad, message", [
    (np.array([-1, 5], dtype=np.int32), "Buffer dtype mismatch, expected 'int64_t' but got 'int'"),
    (np.array([-1.0, 5.0]), "Buffer dtype mismatch, expected 'int64_t' but got 'double'"),
    (np.array([[-1, 5]], dtype=np.int64),
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
])
def test_buffer_errors_of_delisting_bars(bad, message):
    with pytest.raises(ValueError) as e:
        option_market().run(delisting_bars=bad)
    assert str(e.value) == message


def test_delisting_bars_may_be_any_int64_buffer_even_read_only():
    inp = two_period_market()
    bars = np.array([3], dtype=np.int64)
    bars.setflags(write=False)
    from_array = inp.run(delisting_bars=bars).tolist()
    assert inp.run(delisting_bars=memoryview(bars)).tolist() == from_array


def test_single_precision_prices_are_rejected_not_converted():
    inp = option_market()
    with pytest.raises(ValueError, match="expected 'double' but got 'float'"):
        inp.with_(price_values=inp.price_values.astype(np.float32)).run()


# --- conversions and their order ---------------------------------------------------------------


@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**80, 1e12])
@pytest.mark.parametrize("name", ["swaylen_window", "swaylen_window_step"])
def test_int_parameter_out_of_range(flags, name, value):
    runvane.RETAIN_COST_WHEN_REBALANCE = "untouched"
    runvane.RESAMPLE = "untouched"
    with pytest.raises(OverflowError) as e:
        option_market().run(**{name: value}, retain_cost_when_rebalance=True)
    assert str(e.value) == "value too large to convert to int"
    # Raised while the arguments are taken in, before any flag is set.
    assert runvane.RETAIN_COST_WHEN_REBALANCE == "untouched"
    assert runvane.RESAMPLE == "untouched"


@pytest.mark.parametrize("value", ["3", None, [3], object()])
def test_int_parameter_without_integer_conversion(value):
    with pytest.raises(TypeError) as e:
        option_market().run(swaylen_window=value)
    assert str(e.value) == "an integer is required"


def excursion_lengths(inp, **options):
    inp.run(**options)
    return [len(a) for a in swaylen.swaylen]


@pytest.mark.parametrize("window, same_as", [(2.7, 2), (np.int64(3), 3), (True, 1), (-0.9, 0),
                                             (3.999, 3)])
def test_int_parameter_conversion_truncates(window, same_as):
    inp = option_market()
    assert excursion_lengths(inp, swaylen_window=window) == excursion_lengths(
        inp, swaylen_window=same_as)


def test_a_window_of_2_point_7_is_a_window_of_2():
    # Two sample blocks and the summary block for every trade.
    lengths = excursion_lengths(option_market(), swaylen_window=2.7)
    assert lengths and set(lengths) == {18}


@pytest.mark.parametrize("name", ["fee_ratio", "tax_ratio", "stop_loss", "take_profit",
                                  "trail_stop", "trail_stop_activation", "position_limit"])
@pytest.mark.parametrize("bad", ["0.1", None, [0.1]])
def test_double_parameter_without_float_value(name, bad):
    with pytest.raises(TypeError, match="must be real number"):
        option_market().run(**{name: bad})


def test_double_parameters_accept_anything_with_a_float_value():
    class Half:
        def __float__(self):
            return 0.5

    inp = build([10.0, 10.0, 10.0], [1.0])
    creturn = inp.run(fee_ratio=Half())
    assert creturn[1] == 0.0 + (0.0 + (1.0 - abs(1.0) * 0.5)) * 10.0 / 10.0
    assert inp.run(fee_ratio=np.float32(0.5)).tolist() == creturn.tolist()
    assert inp.run(fee_ratio=1).tolist() == inp.run(fee_ratio=1.0).tolist()


def test_optional_arguments_are_converted_in_parameter_order():
    inp = option_market()
    kwargs = inp.kwargs()
    kwargs["price_values"] = [[1.0]]
    # fee_ratio comes first, then the int parameters, delisting_bars last;
    # all of them before the arrays are looked at.
    with pytest.raises(TypeError, match="must be real number"):
        runvane.backtest_(**kwargs, fee_ratio="x", swaylen_window=2**31)
    with pytest.raises(OverflowError):
        runvane.backtest_(**kwargs, swaylen_window=2**31, swaylen_window_step="x")
    with pytest.raises(TypeError, match="an integer is required"):
        runvane.backtest_(**kwargs, swaylen_window_step="x",
                          delisting_bars=np.zeros(2, dtype=np.int32))
    with pytest.raises(ValueError, match="expected 'int64_t' but got 'int'"):
        runvane.backtest_(**kwargs, delisting_bars=np.zeros(2, dtype=np.int32))


def test_truth_of_a_bool_option_failing_ends_the_call():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError, match="no truth"):
        option_market().run(touched_exit=Bad())


def test_every_array_is_type_tested_before_any_buffer_is_taken():
    kwargs = option_market().kwargs()
    kwargs["price_values"] = np.ones(3, dtype=np.float32)  # would fail the buffer check
    kwargs["resample"] = [0]                                # fails the type test
    with pytest.raises(TypeError, match="Argument 'resample' has incorrect type"):
        runvane.backtest_(**kwargs)


def test_buffers_are_checked_in_parameter_order():
    kwargs = option_market().kwargs()
    kwargs["low_values"] = np.ones(3)
    kwargs["high_values"] = np.ones((3, 2), dtype=np.float32)
    with pytest.raises(ValueError, match="expected 'double' but got 'float'"):
        runvane.backtest_(**kwargs)


def test_arrays_of_any_layout_are_read_in_place():
    inp = option_market()
    reference = snapshot(inp.run(touched_exit=True, stop_loss=0.1))

    def strided(a):
        # Every other element of a twice-as-large array, Fortran order for matrices.
        big = np.repeat(a, 2, axis=0)[::2]
        return np.asfortranarray(big) if a.ndim == 2 else big

    views = Inputs(*[strided(a) for a in inp.args()])
    assert not views.price_values.flags.c_contiguous
    assert views.price_index.strides == (16,)
    assert snapshot(views.run(touched_exit=True, stop_loss=0.1)) == reference


def test_read_only_arrays_are_accepted():
    inp = option_market()
    reference = inp.run().tolist()
    for a in inp.args():
        a.setflags(write=False)
    assert inp.run().tolist() == reference


def test_none_passes_the_type_test_of_an_array_never_read():
    # high, low and open are read only by intraday exits.
    inp = option_market()
    plain = inp.run().tolist()
    assert inp.with_(high_values=None, low_values=None, open_values=None).run().tolist() == plain


@pytest.mark.parametrize("truth, intraday", [(True, True), (1, True), ("yes", True), ([0], True),
                                             (False, False), (0, False), ("", False),
                                             (None, False), ([], False)])
def test_touched_exit_uses_the_truth_value(truth, intraday):
    # The low touches the 10% stop on row 2; the close never falls that far.
    inp = build([10.0, 10.0, 9.8, 9.8], [1.0], low=[10.0, 10.0, 8.0, 9.8])
    creturn = inp.run(stop_loss=0.1, touched_exit=truth)
    assert creturn[-1] == (0.9 if intraday else 0.98)


# --- the module flags ------------------------------------------------------------------------


@pytest.mark.parametrize("retain, periodic", [(True, False), (False, True), (1, 0), ("x", "")])
def test_flags_are_set_from_the_arguments(flags, retain, periodic):
    option_market().run(retain_cost_when_rebalance=retain, periodically_rebalance=periodic)
    assert runvane.RETAIN_COST_WHEN_REBALANCE is bool(retain)
    assert runvane.RESAMPLE is bool(periodic)


@pytest.mark.parametrize("break_run, error", [
    (lambda inp: inp.with_(pos_index=np.array([], dtype=np.int64)), IndexError),
    (lambda inp: inp.with_(price_values=inp.price_values * 0.0), ValueError),
    (lambda inp: inp.with_(pos_values=np.zeros((0, 2))), IndexError),
])
def test_flags_stay_set_when_the_run_fails_later(flags, break_run, error):
    runvane.RETAIN_COST_WHEN_REBALANCE = False
    runvane.RESAMPLE = True
    with pytest.raises(error):
        break_run(option_market()).run(retain_cost_when_rebalance=True,
                                       periodically_rebalance=False)
    assert runvane.RETAIN_COST_WHEN_REBALANCE is True
    assert runvane.RESAMPLE is False


def test_flags_are_not_set_when_a_buffer_is_rejected(flags):
    runvane.RETAIN_COST_WHEN_REBALANCE = "untouched"
    inp = option_market()
    with pytest.raises(ValueError):
        inp.with_(open_values=np.ones(2)).run(retain_cost_when_rebalance=True)
    assert runvane.RETAIN_COST_WHEN_REBALANCE == "untouched"


def test_flags_set_by_hand_between_runs_are_overwritten(flags):
    runvane.RETAIN_COST_WHEN_REBALANCE = True
    runvane.RESAMPLE = None
    option_market().run()
    assert runvane.RETAIN_COST_WHEN_REBALANCE is False
    assert runvane.RESAMPLE is True


def native_frames(error):
    return [f.name for f in traceback.extract_tb(error.__traceback__)
            if f.filename == "<pelmora native>"]


def test_a_flag_removed_during_the_run_fails_the_resize_that_reads_it(flags):
    # The second truth test of stop_trading_next_period comes on row 3, just
    # before the rebalance that resizes both holdings.
    inp = build([[10.0, 20.0]] * 2 + [[11.0, 19.0]] * 4, [[0.5, 0.5], [0.3, 0.7]],
                pos_index=[0, 2])

    class Remover:
        calls = 0

        def __bool__(self):
            Remover.calls += 1
            if Remover.calls == 2:
                del runvane.RESAMPLE
            return True

    with pytest.raises(NameError) as e:
        inp.run(stop_trading_next_period=Remover())
    assert str(e.value) == "name 'RESAMPLE' is not defined"
    assert native_frames(e.value) == ["pelmora.core.runvane.backtest_",
                                      "pelmora.core.runvane.rebalance",
                                      "pelmora.core.runvane.set_position"]


def test_an_invalid_price_names_the_check_in_the_traceback():
    with pytest.raises(ValueError) as e:
        build([10.0, 10.0, -2.0], [1.0]).run()
    assert native_frames(e.value) == ["pelmora.core.runvane.backtest_",
                                      "pelmora.core.runvane.validate_trade_price"]


# --- the result and re-entry ---------------------------------------------------------------------


def test_the_result_is_a_new_float64_array_per_call():
    inp = option_market()
    a = inp.run()
    b = inp.run()
    assert a is not b
    assert a.dtype == np.float64 and a.ndim == 1 and a.shape == (6,)
    assert a.flags.c_contiguous and a.flags.writeable and a.flags.owndata


def test_inputs_are_left_unchanged():
    inp = option_market()
    copies = [np.array(a, copy=True) for a in inp.args()]
    inp.run(stop_trading_next_period=True, touched_exit=True, stop_loss=0.05)
    for before, after in zip(copies, inp.args()):
        assert np.array_equal(before, after, equal_nan=before.dtype != object)


def test_a_run_started_from_inside_a_run_is_refused():
    inp = option_market()
    inner_errors = []

    class Reentrant:
        def __bool__(self):
            try:
                inp.run()
            except RuntimeError as e:
                inner_errors.append(str(e))
            return True

    reference = inp.run().tolist()
    assert inp.run(stop_trading_next_period=Reentrant()).tolist() == reference
    assert inner_errors and set(inner_errors) == {"backtest_ is already running"}
    # The guard is released afterwards.
    assert inp.run().tolist() == reference


def test_a_refused_inner_run_fails_the_outer_one_when_not_caught():
    inp = option_market()

    class Reentrant:
        def __bool__(self):
            inp.run()
            return True

    with pytest.raises(RuntimeError) as e:
        inp.run(stop_trading_next_period=Reentrant())
    assert str(e.value) == "backtest_ is already running"
    assert inp.run().shape == (6,)


def test_a_run_started_from_a_replaced_result_list_is_refused(monkeypatch):
    inp = option_market()

    class Reentrant(list):
        def append(self, item):
            inp.run()
            super().append(item)

    monkeypatch.setattr(swaylen, "trades", Reentrant())
    with pytest.raises(RuntimeError) as e:
        inp.run()
    assert str(e.value) == "backtest_ is already running"
    monkeypatch.undo()
    assert inp.run().shape == (6,)


def test_a_failing_truth_test_of_stop_trading_next_period_ends_the_run():
    class Bad:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(ZeroDivisionError, match="no truth"):
        option_market().run(stop_trading_next_period=Bad())


def test_the_stop_trading_object_is_only_tested_for_truth():
    class Counted:
        calls = 0

        def __bool__(self):
            Counted.calls += 1
            return False

    inp = option_market()
    assert inp.run(stop_trading_next_period=Counted()).tolist() == inp.run(
        stop_trading_next_period=False).tolist()
    assert Counted.calls > 0
