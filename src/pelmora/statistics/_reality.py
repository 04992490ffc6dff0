"""Does a sweep's best row beat a benchmark once the search is counted? White's reality check,
Hansen's test of superior predictive ability, Romano and Wolf's stepwise test and Hansen, Lunde
and Nason's model confidence set, over the daily returns a sweep kept.

Every test here resamples the same dates for every trial (:mod:`pelmora.statistics._bootstrap`, the
repetitions of ``arch``'s stationary bootstrap of the same seed), so the trials' correlation is
kept and the search is counted without a count of trials. A repetition needs only each trial's
mean over the resampled dates, and that is the product of the repetition's counts of each date
with the returns: one matrix product for every repetition and trial at once, where ``arch``
gathers the resampled rows of every trial one repetition at a time. The procedures on those
means follow ``arch.bootstrap`` (``SPA``, ``StepM``, ``MCS(method="max")``) step for step, so
with the same seed and block each gives that package's answer; the tests check it.

One deliberate difference: the SPA statistic and the stepwise test are studentized, as in
Hansen's and Romano and Wolf's papers: each trial's mean excess return is divided by its
standard deviation (Hansen's stationary-bootstrap kernel estimate of the long-run variance), so a
volatile trial does not dominate the maximum by its volatility alone. ``arch`` computes that
variance but compares raw means; with the trials' returns divided by it, it gives the p-values
here. White's reality check is the raw test, ``arch``'s upper p-value.
"""

from __future__ import annotations

import math
import numbers
from typing import TYPE_CHECKING, Any

import numpy as np

from pelmora.statistics._bootstrap import (
    arch_module, checked_block, checked_reps, checked_seed, count_chunks, optimal_block,
)
from pelmora.statistics._kept import trial_returns
from pelmora._optional import import_optional
from pelmora.statistics._returns import returns_matrix

if TYPE_CHECKING:  # pragma: no cover
    import pandas as pd

__all__ = ["REALITY_NAMES", "reality_check"]

REALITY_NAMES = (
    "n_trials", "block", "rc_pvalue", "spa_pvalue", "spa_pvalue_lower", "spa_pvalue_upper",
    "stepm", "mcs",
)
"""The index of the Series :func:`reality_check` returns, in its order."""

SIZE_OUT_OF_RANGE = "size must be a test size between 0 and 1 (such as 0.05), got {size!r}"
BENCHMARK_NOT_A_ROW = (
    "benchmark {label!r} is not a row of the table that ran: pass None (zero excess return), a "
    "Series of daily returns or a label of table.index"
)
BENCHMARK_MISSING_DATES = (
    "benchmark has no return on {n:,} of the table's {total:,} dates (the first {date}): give it "
    "a return for every price date of the sweep"
)
NO_TRIALS = "table has no trial to compare with the benchmark (every row failed, or none is left)"
TOO_FEW_DATES = "the table's returns need at least 2 dates, got {n}"

_CALLER = "pelmora.reality_check"
# Work (repetitions x dates x trials) above which a bar shows progress: about a second.
_PROGRESS_WORK = 3e8
_FLAT = 64 * np.finfo(np.float64).eps


def reality_check(
    table: pd.DataFrame,
    *,
    benchmark: Any = None,
    reps: int = 1000,
    seed: int = 0,
    block: float | None = None,
    size: float = 0.05,
    progress: bool | None = None,
) -> pd.Series:
    """Does the best row of a sweep beat a benchmark once the search is counted, and which rows do?

    Parameters
    ----------
    table : pandas.DataFrame
        A table of :func:`pelmora.sweep` run with ``keep="returns"``, or rows of it. Failed rows
        are left out. The trials are compared on every price date of the sweep (a trial earns 0
        before its first fill), as :func:`pelmora.overfitting` does.
    benchmark : None, pandas.Series or a label of ``table.index``, default None
        What to beat. None: zero, so a trial's excess return is its return. A Series: daily
        returns with a value on every date of the table's returns. A label: that row of the
        table, which is then left out of the trials.
    reps : int, default 1000
        Repetitions of the stationary bootstrap, at least 1.
    seed : int, default 0
        Seed of the repetitions: the same seed gives the same figures.
    block : float, optional
        Mean block length in days, at least 1; by default the median over the trials of Politis
        and White's estimate for their excess returns (at least 1).
    size : float, default 0.05
        The family-wise error rate of ``stepm`` and the size of ``mcs``, in (0, 1).
    progress : bool, optional
        Show a bar over the repetitions; by default when the work takes about a second or more.

    Returns
    -------
    pandas.Series
        Of dtype object, indexed by :data:`REALITY_NAMES`:

        - ``n_trials``: the trials compared; ``block``: the mean block length used.
        - ``rc_pvalue``: White's reality check: the share of repetitions whose largest
          recentred mean excess return exceeds the largest observed one (the raw means).
        - ``spa_pvalue``: Hansen's consistent p-value of superior predictive ability: the same
          with each trial's mean over its standard deviation, and the trials that are far below
          the benchmark (studentized mean under -sqrt(2 log log T / T)) not recentred. Small:
          the best trial beats the benchmark even after the search.
        - ``spa_pvalue_lower``, ``spa_pvalue_upper``: Hansen's bounds, recentring only the
          trials above the benchmark, and every trial.
        - ``stepm``: the labels of the rows that beat the benchmark with the family-wise error
          held at ``size``: Romano and Wolf's stepwise test, studentized, with the consistent
          recentring (a list, in the table's order; empty when none does).
        - ``mcs``: the labels of the model confidence set at ``size``: the rows among which the
          best is, with probability 1 - size (Hansen, Lunde and Nason's T-max method, the
          trials' losses being their negative returns; a list in the table's order).

        ``series.attrs`` records reps, seed and size.

    Raises
    ------
    ImportError
        Without ``arch``: ``pip install 'pelmora[inference]'``.
    TypeError
        ``table`` not a DataFrame; a non-numeric option.
    ValueError
        A table without its daily returns (run the sweep with ``keep="returns"``), with a NaN
        or infinite return, fewer than 2 dates or no trial; a benchmark that is not a row or
        lacks a date; ``size`` outside (0, 1), ``reps`` below 1, ``seed`` below 0, ``block``
        below 1.

    References
    ----------
    White, "A reality check for data snooping", Econometrica 68(5), 2000. Hansen, "A test for
    superior predictive ability", Journal of Business & Economic Statistics 23(4), 2005.
    Romano and Wolf, "Stepwise multiple testing as formalized data snooping", Econometrica
    73(4), 2005. Hansen, Lunde and Nason, "The model confidence set", Econometrica 79(2), 2011.
    """
    pandas = import_optional("pandas", caller=_CALLER)
    size = checked_size(size)
    reps, seed, block = checked_reps(reps), checked_seed(seed), checked_block(block)
    arch_module(_CALLER)
    _, frame = trial_returns(table, pandas)
    models, bench = _models_and_benchmark(frame, benchmark, pandas)
    if not models.shape[1]:
        raise ValueError(NO_TRIALS)
    if len(models) < 2:
        raise ValueError(TOO_FEW_DATES.format(n=len(models)))
    found = compare(returns_matrix(models), bench, reps=reps, seed=seed, block=block, size=size,
                    progress=progress)
    labels = list(models.columns)
    found["stepm"] = [labels[i] for i in found["stepm"]]
    found["mcs"] = [labels[i] for i in found["mcs"]]
    series: pd.Series = pandas.Series({name: found[name] for name in REALITY_NAMES},
                                      dtype=object, name="reality_check")
    series.attrs.update(reps=reps, seed=seed, size=size)
    return series


def checked_size(size: Any) -> float:
    if isinstance(size, (bool, np.bool_)) or not isinstance(size, numbers.Real):
        raise TypeError(f"size must be a real number, got {type(size).__name__}")
    if not 0.0 < float(size) < 1.0:
        raise ValueError(SIZE_OUT_OF_RANGE.format(size=size))
    return float(size)


def _models_and_benchmark(frame: Any, benchmark: Any, pandas: Any) -> tuple[Any, np.ndarray]:
    """The trials' returns without the benchmark's row, and the benchmark's returns."""
    if benchmark is None:
        return frame, np.zeros(len(frame))
    if isinstance(benchmark, pandas.Series):
        aligned = benchmark.reindex(frame.index).to_numpy(dtype=np.float64)
        missing = np.flatnonzero(~np.isfinite(aligned))
        if len(missing):
            raise ValueError(BENCHMARK_MISSING_DATES.format(
                n=len(missing), total=len(frame), date=frame.index[missing[0]]))
        return frame, aligned
    if isinstance(benchmark, pandas.DataFrame) or not _is_label(benchmark, frame.columns):
        raise ValueError(BENCHMARK_NOT_A_ROW.format(label=benchmark))
    bench = returns_matrix(frame[[benchmark]])[:, 0]
    return frame.drop(columns=[benchmark]), bench


def _is_label(value: Any, labels: Any) -> bool:
    try:
        return bool(value in labels)
    except TypeError:  # an unhashable value is no label
        return False


def compare(
    returns: np.ndarray, bench: np.ndarray, *, reps: int, seed: int, block: float | None,
    size: float, progress: bool | None = None,
) -> dict[str, Any]:
    """The figures of :func:`reality_check` for the (dates x trials) ``returns`` against the
    benchmark's ``bench``; ``stepm`` and ``mcs`` as column positions."""
    n, k = returns.shape
    excess = returns - bench[:, None]
    if block is None:
        block = optimal_block(excess, _CALLER)
    means = _resampled_means(np.column_stack((excess, bench)), reps, block, seed, progress)
    boot, boot_bench = means[:, :k], means[:, k]
    mean = excess.mean(axis=0)
    flat = _flat_columns(excess)
    raw = boot - mean
    raw[:, flat] = 0.0  # every resample of a constant has its mean
    out: dict[str, Any] = {"n_trials": k, "block": block}
    out["rc_pvalue"] = float(np.mean(raw.max(axis=1) > mean.max()))

    omega = np.sqrt(np.maximum(_kernel_variance(excess, block), 0.0))
    flat |= omega == 0
    raw[:, flat] = 0.0
    with np.errstate(divide="ignore", invalid="ignore"):
        t = np.where(flat, np.sign(mean) * np.inf, mean / np.where(flat, 1.0, omega))
        t[flat & (mean == 0)] = 0.0
        z = raw / np.where(flat, 1.0, omega)
        far = t < -math.sqrt(2.0 * math.log(math.log(n)) / n)
    best = t.max()
    offsets = {"lower": np.where(t < 0, t, 0.0), "consistent": np.where(far, t, 0.0),
               "upper": np.zeros(k)}
    for name, offset in offsets.items():
        simulated = (z + offset).max(axis=1)
        out["spa_pvalue" if name == "consistent" else f"spa_pvalue_{name}"] = float(
            np.mean(simulated > best))
    out["stepm"] = _stepm(z + offsets["consistent"], t, size)
    # The trials' bootstrap means of their own returns, for the confidence set of the best.
    out["mcs"] = _confidence_set(boot + boot_bench[:, None], returns.mean(axis=0), size)
    return out


def _resampled_means(
    values: np.ndarray, reps: int, block: float, seed: int, progress: bool | None
) -> np.ndarray:
    """Each column's mean over the dates of each repetition, (reps x columns)."""
    n, k = values.shape
    show = progress if progress is not None else reps * n * k >= _PROGRESS_WORK
    bar = _bar(reps) if show else None
    out = np.empty((reps, k))
    row = 0
    try:
        for _, counts in count_chunks(n, reps, block, seed):
            out[row:row + len(counts)] = counts @ values
            row += len(counts)
            if bar is not None:
                bar.update(len(counts))
    finally:
        if bar is not None:
            bar.close()
    out /= n
    return out


def _bar(total: int) -> Any:
    try:
        tqdm = import_optional("tqdm", caller=_CALLER)
    except ImportError:  # a plain line on stderr does without tqdm
        from pelmora.research.sweeps._progress import TextProgress

        return TextProgress(total, "reality check", "repetition")
    return tqdm.tqdm(total=total, desc="reality check", unit="repetition")


def _flat_columns(values: np.ndarray) -> np.ndarray:
    """Columns without spread beyond rounding noise (a trial that equals the benchmark, or beats
    it by the same amount every day): every resample has their mean, no variance to divide by."""
    centered = values - values.mean(axis=0)
    flat: np.ndarray = np.abs(centered).max(axis=0) <= _FLAT * np.abs(values).max(axis=0)
    return flat


def _kernel_variance(values: np.ndarray, block: float) -> np.ndarray:
    """Hansen's estimate of each column's long-run variance under the stationary bootstrap:
    gamma_0 + 2 sum_i kappa_i gamma_i, kappa_i = (1 - i/n)(1 - p)^i + (i/n)(1 - p)^(n - i),
    p = 1 / block, gamma_i the autocovariance at lag i (divided by n), all lags at once by FFT."""
    n = len(values)
    centered = values - values.mean(axis=0)
    length = 1 << (2 * n - 1).bit_length()
    spectrum = np.fft.rfft(centered, n=length, axis=0)
    power = spectrum.real**2 + spectrum.imag**2
    autocovariance = np.fft.irfft(power, n=length, axis=0)[:n] / n
    lag = np.arange(1, n)
    q = 1.0 - 1.0 / block
    kappa = (1.0 - lag / n) * q**lag + (lag / n) * q ** (n - lag)
    variance: np.ndarray = autocovariance[0] + 2.0 * (kappa @ autocovariance[1:])
    return variance


def _critical(simulated: np.ndarray, selected: np.ndarray, size: float) -> float:
    return float(np.percentile(simulated[:, selected].max(axis=1), 100.0 * (1 - size)))


def _stepm(simulated: np.ndarray, t: np.ndarray, size: float) -> list[int]:
    """Romano and Wolf's steps, as arch's StepM takes them: the trials above the critical value
    of the maximum over those not yet found are found; repeat without them while a step finds
    some (and fewer than all)."""
    selected = np.ones(len(t), dtype=bool)
    better = np.flatnonzero((t > _critical(simulated, selected, size)) & selected)
    found = list(better)
    while len(better) and len(better) < len(t):
        selected[found] = False
        if not selected.any():
            break
        better = np.flatnonzero((t > _critical(simulated, selected, size)) & selected)
        found += list(better)
    return sorted(int(i) for i in found)


def _confidence_set(boot: np.ndarray, mean: np.ndarray, size: float) -> list[int]:
    """The T-max model confidence set of the trials' losses (negative returns), as arch's
    MCS(method="max"): eliminate the worst while the test of equal ability rejects at ``size``.

    A step's p-value is the share of repetitions whose largest studentized deviation from the
    set's average exceeds the observed one; the set is the trials left when the running maximum
    of the p-values first exceeds ``size`` (arch goes on to give every trial its p-value).
    """
    errors = -(boot - mean)  # the resampled mean losses, less the observed ones
    loss = -mean
    included = np.arange(len(mean))
    while len(included) > 1:
        part = errors[:, included]
        part = part - part.mean(axis=1, keepdims=True)
        std = np.sqrt((part * part).mean(axis=0))
        if not std.any():  # the trials left are the same trial
            break
        spread = std > 0
        simulated = np.divide(part, std, out=np.zeros_like(part), where=spread).max(axis=1)
        deviation = loss[included] - loss[included].mean()
        t = np.divide(deviation, std, out=np.zeros_like(deviation), where=spread)
        worst = t.max()
        if float(np.mean(worst < simulated)) > size:
            break
        included = included[t != worst]
    return [int(i) for i in included]
