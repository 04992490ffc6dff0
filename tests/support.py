"""Helpers shared by the test modules: traceback frames, the host's own error
for a reference expression, a call's outcome, and the fuzz settings."""

from __future__ import annotations

import os

from hypothesis import HealthCheck, settings

# PELMORA_FUZZ_SCALE multiplies the example counts of the fuzz suite.
FUZZ_SCALE = float(os.environ.get("PELMORA_FUZZ_SCALE", "1"))
INT_MIN, INT_MAX = -(2**31), 2**31 - 1


def frame_names(exc):
    """Names of the frames in an exception's traceback, outermost first."""
    names = []
    tb = exc.__traceback__
    while tb is not None:
        names.append(tb.tb_frame.f_code.co_name)
        tb = tb.tb_next
    return names


def python_error(fn):
    """(type, message) of the exception the host raises for `fn`."""
    try:
        fn()
    except Exception as e:  # noqa: BLE001 - the host's own error is the reference
        return type(e), str(e)
    raise AssertionError("expected the reference expression to fail")


def fuzz_settings(n: int) -> settings:
    return settings(max_examples=max(25, int(n * FUZZ_SCALE)), deadline=None,
                    suppress_health_check=list(HealthCheck))


class Hostile(Exception):
    """Raised on purpose by the hostile objects of the tests."""


class EncodeRaises(str):
    """A label whose UTF-8 encoding fails."""

    def encode(self, *a, **k):
        raise Hostile("encode")


class EncodeToStr(str):
    """A label whose encoding is not bytes."""

    def encode(self, *a, **k):
        return str(self)


def outcome(fn, *args, **kwargs):
    """fn's result, or the Python exception it raised. SystemError is a bug."""
    try:
        return fn(*args, **kwargs)
    except SystemError:
        raise
    except Exception as e:  # noqa: BLE001 - any other Python exception is a clean failure
        return e
