"""Messages that say what to do next: the accepted forms, the closest name, the reader to use,
and the user's own path, never an internal detail (pandas' nested text, a temporary file)."""

from __future__ import annotations

import io
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import pelmora
from pelmora.research.sweeps._progress import TextProgress

DATES = pd.bdate_range("2024-01-01", periods=30)
PRICES = pd.DataFrame(
    100 + np.cumsum(np.random.default_rng(0).standard_normal((30, 3)), axis=0),
    index=DATES, columns=["A", "B", "C"],
)
WEIGHTS = pd.DataFrame(1 / 3, index=DATES[::10], columns=["A", "B", "C"])
FORMS = (
    'Accepted: "ME" (month end), "W-FRI" (weekly, Fridays), "QE" (quarter end), "YE" (year end), '
    "any pandas offset alias, a list of dates, or None (trade on every weight row)"
)


@pytest.mark.parametrize(
    "rule, message",
    [
        ("monthly", f"rebalance='monthly' is not a pandas frequency; did you mean \"ME\"? {FORMS}"),
        ("Weekly", f"rebalance='Weekly' is not a pandas frequency; did you mean \"W-FRI\"? {FORMS}"),
        ("fortnightly", f"rebalance='fortnightly' is not a pandas frequency. {FORMS}"),
    ],
)
def test_an_unknown_frequency_lists_the_accepted_forms(rule, message):
    with pytest.raises(ValueError) as info:
        pelmora.backtest(WEIGHTS, PRICES, rebalance=rule)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: pelmora.backtest(WEIGHTS, PRICES, stop_los=0.1),
         "backtest() got an unexpected keyword argument 'stop_los' (did you mean stop_loss?)"),
        (lambda: pelmora.backtest(WEIGHTS, PRICES, colour="red"),
         "backtest() got an unexpected keyword argument 'colour'"),
        (lambda: pelmora.sweep({"take_proft": [0.1]}, WEIGHTS, PRICES, progress=False),
         "grid names an unknown backtest option 'take_proft' (did you mean take_profit?)"),
    ],
)
def test_a_mistyped_option_suggests_the_closest_name(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_a_long_table_points_to_from_long():
    long = PRICES.stack().rename("close").rename_axis(["date", "ticker"]).reset_index()
    with pytest.raises(TypeError) as info:
        pelmora.backtest(WEIGHTS, long)
    assert str(info.value) == (
        "the index of prices must hold dates, got RangeIndex of int64 values; its column 'date' "
        "repeats dates, as a long table (one row per date and stock) does: make it wide with "
        "pelmora.from_long(frame, date='date', stock='ticker', value='close')"
    )
    # The advice works as given.
    wide = pelmora.from_long(long, date="date", stock="ticker", value="close")
    assert pelmora.backtest(WEIGHTS, wide).equity.equals(pelmora.backtest(WEIGHTS, PRICES).equity)


def test_a_frame_with_a_date_column_points_to_index():
    flat = WEIGHTS.rename_axis("day").reset_index()
    with pytest.raises(TypeError) as info:
        pelmora.backtest(flat, PRICES)
    assert str(info.value) == (
        "the index of weights must hold dates, got RangeIndex of int64 values; its column 'day' "
        "holds the dates: pass index='day'"
    )
    run = pelmora.backtest(flat, PRICES.rename_axis("day").reset_index(), index="day")
    assert run.equity.equals(pelmora.backtest(WEIGHTS, PRICES).equity)


def test_a_report_into_a_missing_folder_names_the_users_path(tmp_path):
    result = pelmora.backtest(WEIGHTS, PRICES)
    target = tmp_path / "no such folder" / "run.html"
    with pytest.raises(FileNotFoundError) as info:
        result.report(target)
    assert str(info.value) == (
        f"cannot write the report to {str(target)!r}: its folder "
        f"{str(target.parent)!r} does not exist"
    )
    assert list(tmp_path.iterdir()) == []


def _without(blocked: str, code: str) -> subprocess.CompletedProcess:
    script = textwrap.dedent(
        f"""
        import sys
        sys.modules[{blocked!r}] = None
        import numpy as np, pandas as pd, pelmora
        p = pd.DataFrame(np.linspace(10, 12, 40)[:, None] * [1.0, 1.1],
                         index=pd.bdate_range("2024-01-01", periods=40), columns=["A", "B"])
        w = p.iloc[::5] * 0 + 0.5
        try:
            {code}
        except ImportError as exc:
            print(exc)
        """
    )
    return subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)


def test_walk_forward_names_itself_when_its_backend_is_missing():
    out = _without(
        "distributed",
        "pelmora.walk_forward({'fee': [0.0]}, w, p, train='10D', test='10D', backend='dask')",
    )
    assert out.stdout.strip() == (
        "pelmora.walk_forward(backend='dask') needs dask[distributed]: "
        "pip install 'pelmora[sweep]'"
    ), out.stderr


def test_a_sweep_shows_progress_without_tqdm():
    out = _without("tqdm", "print(len(pelmora.sweep({'fee': [0.0, 0.001]}, w, p)))")
    assert out.stdout.strip() == "2", out.stderr
    assert "sweep: 2/2 runs (100%)" in out.stderr
    assert "failed=0" in out.stderr


def test_the_text_progress_line_throttles_and_finishes():
    stream = io.StringIO()
    bar = TextProgress(10, "sweep", "run", file=stream, interval=3600.0)
    bar.update(1)  # the first update draws
    bar.update(3)  # within the interval: not drawn
    bar.set_postfix(failed=2, refresh=False)
    bar.update(6)  # the last one always draws
    bar.close()
    frames = stream.getvalue().split("\r")[1:]
    assert [f.split(",")[0] for f in frames] == [
        "sweep: 1/10 runs (10%)", "sweep: 10/10 runs (100%)", "sweep: 10/10 runs (100%)"
    ]
    assert frames[-1].endswith(" failed=2\n")
