"""Overfitting statistics: hand computations, SciPy reimplementations, a naive PBO loop."""

import itertools
import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy import stats as scipy_stats
from scipy.stats import norm

import pelmora
from pelmora import selection as ovf

GAMMA = 0.5772156649015329


def _emax(n, v):
    # isf(q) = ppf(1 - q) without rounding 1 - q: a deep-tail PSR magnifies that error many times.
    return math.sqrt(v) * ((1 - GAMMA) * norm.isf(1 / n) + GAMMA * norm.isf(1 / (n * math.e)))


def _psr(sr, t, g3, g4, sr0):
    return norm.cdf((sr - sr0) * math.sqrt(t - 1) / math.sqrt(1 - g3 * sr + (g4 - 1) / 4 * sr**2))


@pytest.mark.parametrize(("n", "expected"), [
    # (1 - g) * Phi^-1(0.9) + g * Phi^-1(1 - 1/(10 e)) = 0.42278 * 1.28155 + 0.57722 * 1.78949
    (10, 1.57459830134575),
    # 0.42278 * Phi^-1(1 - 1/45) + 0.57722 * Phi^-1(1 - 1/(45 e)) = 0.42278 * 2.00957 + 0.57722 * 2.40134
    (45, 2.2356401777664057),
])
def test_expected_max_sharpe_by_hand(n, expected):
    assert ovf.expected_max_sharpe(n_trials=n, sharpe_variance=1.0) == pytest.approx(expected, rel=1e-12)
    assert ovf.expected_max_sharpe(n_trials=n, sharpe_variance=4.0) == pytest.approx(2 * expected, rel=1e-12)
    # The published rule of thumb: 5 years of data allow about 45 trials at an annualised Sharpe of 1.
    assert ovf.min_backtest_length(n_trials=n, target_sharpe=2.0) == pytest.approx(expected**2 / 4, rel=1e-12)


def test_closed_forms_by_hand():
    # 1 - (-1)(0.1) + (6 - 1)/4 * 0.01 = 1.1125; z = 0.1 sqrt(251) / sqrt(1.1125) = 1.5020590...
    assert ovf.probabilistic_sharpe_ratio(0.1, n_obs=252, skew=-1, kurtosis=6) == pytest.approx(
        norm.cdf(0.1 * math.sqrt(251 / 1.1125)), rel=1e-14)
    assert norm.cdf(0.1 * math.sqrt(251 / 1.1125)) == pytest.approx(0.933459000948915, rel=1e-12)
    # 1 + (1 + 2/4 * 0.01) * (1.6448536269514722 / 0.1)^2 = 1 + 1.005 * 270.5543... = 272.9071...
    assert ovf.min_track_record_length(0.1, skew=0, kurtosis=3) == pytest.approx(272.907117136589, rel=1e-12)
    # The deflated Sharpe paper's example: 100 trials, annualised V = 1/2, SR = 2.5 over 1250 days,
    # skew -3, kurtosis 10, 250 days a year: SR0 = 0.1132 per day and DSR = 0.9004.
    assert ovf.expected_max_sharpe(n_trials=100, sharpe_variance=0.5 / 250) == pytest.approx(0.1132, abs=5e-5)
    assert ovf.deflated_sharpe_ratio(2.5 / math.sqrt(250), n_trials=100, sharpe_variance=0.5 / 250,
                                     n_obs=1250, skew=-3, kurtosis=10) == pytest.approx(0.9004, abs=5e-5)
    assert ovf.expected_max_sharpe(n_trials=1, sharpe_variance=3.0) == 0.0
    assert ovf.min_track_record_length(0.1, skew=0, kurtosis=3, benchmark=0.1) == math.inf


@given(st.floats(-0.5, 0.5), st.integers(2, 5000), st.floats(-2, 2), st.floats(0, 20),
       st.floats(-0.2, 0.2), st.integers(2, 10**6), st.floats(1e-4, 1))
def test_closed_forms_match_scipy(sr, t, g3, extra, sr0, n, v):
    g4 = 1 + g3**2 + extra  # every distribution has kurtosis >= 1 + skew^2
    assert ovf.probabilistic_sharpe_ratio(sr, n_obs=t, skew=g3, kurtosis=g4, benchmark=sr0) == pytest.approx(
        _psr(sr, t, g3, g4, sr0), rel=1e-11, abs=1e-300)
    assert ovf.expected_max_sharpe(n_trials=n, sharpe_variance=v) == pytest.approx(_emax(n, v), rel=1e-10)
    assert ovf.deflated_sharpe_ratio(sr, n_trials=n, sharpe_variance=v, n_obs=t, skew=g3, kurtosis=g4) == (
        pytest.approx(_psr(sr, t, g3, g4, _emax(n, v)), rel=1e-9, abs=1e-300))
    if sr > sr0 + 1e-3:  # the track record length is where the PSR reaches the confidence
        trl = ovf.min_track_record_length(sr, skew=g3, kurtosis=g4, benchmark=sr0, confidence=0.9)
        assert ovf.probabilistic_sharpe_ratio(sr, n_obs=trl, skew=g3, kurtosis=g4, benchmark=sr0) == (
            pytest.approx(0.9, rel=1e-12))


def test_inverse_normal_to_the_last_bits():
    p = np.concatenate([np.logspace(-300, -1, 300), np.linspace(0.01, 0.99, 99), 1 - np.logspace(-16, -1, 50)])
    ours = np.array([ovf._norm_ppf(x) for x in p])
    np.testing.assert_allclose(ours, norm.ppf(p), rtol=2e-15, atol=2e-15)


psr, emax, Z = ovf.probabilistic_sharpe_ratio, ovf.expected_max_sharpe, np.zeros
DAYS = pd.date_range("2024-01-01", periods=3)


@pytest.mark.parametrize(("call", "error", "match"), [
    (lambda: psr(0.1, n_obs=1, skew=0, kurtosis=3), ValueError, "n_obs must be more than 1"),
    (lambda: psr(math.nan, n_obs=9, skew=0, kurtosis=3), ValueError, "sharpe must be finite"),
    (lambda: psr(0.1, n_obs=9, skew="0", kurtosis=3), TypeError, "skew must be a real"),
    (lambda: ovf.min_track_record_length(0.1, skew=0, kurtosis=3, confidence=1), ValueError,
     "confidence must be strictly between 0 and 1"),
    (lambda: emax(n_trials=0, sharpe_variance=1), ValueError, "n_trials must be at least 1"),
    (lambda: emax(n_trials=True, sharpe_variance=1), TypeError, "n_trials must be an integer"),
    (lambda: emax(n_trials=5, sharpe_variance=-1), ValueError, "sharpe_variance must be at least 0"),
    (lambda: ovf.min_backtest_length(n_trials=5, target_sharpe=0), ValueError,
     "target_sharpe must be more than 0"),
    (lambda: ovf.pbo(Z((20, 3)), n_splits=5), ValueError, "n_splits must be even"),
    (lambda: ovf.pbo(Z((20, 3)), n_splits=22), ValueError,
     "n_splits must be at most the number of dates in returns .20., got 22"),
    (lambda: ovf.pbo(Z((40, 3)), n_splits=28), ValueError, "n_splits=28 makes 40,116,600 splits"),
    (lambda: ovf.pbo(Z((20, 3)), metric="sortino"), ValueError, "metric must be one of 'sharpe'"),
    (lambda: ovf.pbo(Z(20)), ValueError, "returns must be 2-D"),
    (lambda: ovf.pbo(Z((20, 1))), ValueError, "at least 2 trials"),
    (lambda: ovf.pbo(np.array([["a", "b"]] * 4)), TypeError, "returns must hold numbers"),
    (lambda: ovf.pbo(np.full((8, 2), -2.0), n_splits=2, metric="total_return"), ValueError,
     "below -100% at row 0"),
    (lambda: ovf.pbo(pd.DataFrame({"x": [0.1, np.nan, 0], "y": 0.0}, DAYS), n_splits=2), ValueError,
     "missing or infinite value at Timestamp.'2024-01-02.*trial 'x'"),
    (lambda: ovf.effective_trials(Z((9, 2)), threshold=1.0), ValueError, "threshold must be in"),
])
def test_bad_arguments_are_named(call, error, match):
    with pytest.raises(error, match=match):
        call()


def _naive_pbo(x, s, metric):
    """One split at a time, straight from the paper, with SciPy's average ranks."""
    blocks = np.array_split(np.arange(len(x)), s)
    measure = {"sharpe": lambda r: r.mean(0) / r.std(0, ddof=1), "mean": lambda r: r.mean(0),
               "total_return": lambda r: np.prod(1 + r, axis=0) - 1}[metric]
    out = []
    for chosen in itertools.combinations(range(s), s // 2):
        inside = np.concatenate([blocks[b] for b in chosen])
        outside = np.setdiff1d(np.arange(len(x)), inside)
        perf_in, perf_out = measure(x[inside]), measure(x[outside])
        n = int(np.argmax(perf_in))
        w = scipy_stats.rankdata(perf_out)[n] / (x.shape[1] + 1)
        out.append((math.log(w / (1 - w)), perf_in[n], perf_out[n]))
    return np.array(out).T


@pytest.mark.parametrize("metric", ["sharpe", "mean", "total_return"])
@pytest.mark.parametrize(("rows", "trials", "splits"), [(61, 7, 6), (40, 30, 8), (9, 3, 2)])
def test_pbo_matches_a_naive_loop(metric, rows, trials, splits):
    x = np.random.default_rng(rows * trials).normal(0.001, 0.02, (rows, trials))
    x[:, 1] = x[:, 2]  # a tie out of sample in every split
    got = ovf.pbo(x, n_splits=splits, metric=metric)
    logits, ins, outs = _naive_pbo(x, splits, metric)
    np.testing.assert_allclose(got.logits, logits, rtol=1e-12)
    np.testing.assert_allclose(got.in_sample, ins, rtol=1e-9)
    np.testing.assert_allclose(got.out_of_sample, outs, rtol=1e-9)
    assert got.pbo == np.mean(logits <= 0) and got.prob_loss == np.mean(outs < 0)
    slope, intercept = np.polyfit(ins, outs, 1)
    assert (got.slope, got.intercept) == (pytest.approx(slope, rel=1e-6), pytest.approx(intercept, rel=1e-6, abs=1e-12))
    assert (got.n_splits, got.n_trials, got.n_combinations) == (splits, trials, math.comb(splits, splits // 2))


def test_pbo_dominant_trial_noise_and_frames():
    rng = np.random.default_rng(7)
    noise = rng.normal(0, 0.01, (1000, 40))
    assert 0.35 < ovf.pbo(noise, n_splits=10).pbo < 0.65
    skilled = noise.copy()
    skilled[:, 5] += 0.01
    result = ovf.pbo(skilled, n_splits=10)
    assert result.pbo == 0.0 and result.prob_loss == 0.0
    np.testing.assert_allclose(result.logits, math.log(40), rtol=1e-14)  # the winner is the best out of sample too
    frame = pd.DataFrame(skilled, pd.bdate_range("2020-01-01", periods=1000))
    assert np.array_equal(pelmora.pbo(frame, n_splits=10).logits, result.logits)
    # A trial that never trades (std 0) ranks by the sign of its mean instead of failing.
    assert ovf.pbo(np.c_[np.zeros(50), noise[:50, :3]], n_splits=4).n_combinations == 6


def test_pbo_plot(monkeypatch):
    result = ovf.pbo(np.random.default_rng(1).normal(0, 0.01, (200, 10)), n_splits=8)
    fig = result.plot()
    assert type(fig).__name__ == "Figure" and len(fig.axes) == 2
    assert "PBO = " in fig.axes[0].get_title() and fig.axes[1].get_xlabel() == "in-sample sharpe (per period)"
    with pytest.raises(AttributeError):
        result.pbo = 0.0  # frozen
    monkeypatch.setitem(__import__("sys").modules, "matplotlib", None)
    with pytest.raises(ImportError, match=r"pelmora\[plot\]"):
        result.plot()


def test_effective_trials():
    rng = np.random.default_rng(3)
    base = rng.normal(0, 0.01, (500, 1))
    assert pelmora.effective_trials(np.tile(base, 3)) == 1  # three identical trials
    assert ovf.effective_trials(rng.normal(0, 0.01, (500, 25))) == 25  # independent noise
    mixed = np.hstack([base, 2 * base + 1e-4, base + rng.normal(0, 1e-3, (500, 4)),  # one family
                       rng.normal(0, 0.01, (500, 3)),  # three strangers
                       np.zeros((500, 4)), np.full((500, 2), 1e-4)])  # never trades; constant
    assert ovf.effective_trials(mixed) == 1 + 3 + 1 + 1
    assert ovf.effective_trials(mixed, threshold=0.0) <= 6


@given(st.integers(0, 2**32 - 1), st.integers(2, 40), st.floats(0, 0.95))
def test_effective_trials_is_scipys_complete_linkage(seed, n, threshold):
    from scipy.cluster.hierarchy import fcluster, linkage
    from scipy.spatial.distance import squareform

    rng = np.random.default_rng(seed)  # trials driven by a few common factors, clusters of all sizes
    x = rng.normal(size=(200, 4)) @ (rng.normal(size=(4, n)) * rng.uniform(0, 3, n)) + rng.normal(size=(200, n))
    distance = np.sqrt(np.clip((1 - np.corrcoef(x.T)) / 2, 0, None))
    np.fill_diagonal(distance, 0)
    tree = linkage(squareform(distance, checks=False), "complete")
    expected = fcluster(tree, t=math.sqrt((1 - threshold) / 2), criterion="distance").max()
    assert ovf.effective_trials(x, threshold=threshold) == expected


# ---------------------------------------------------------------------------------------------
# The shape of a distribution, and figures at the ends of the doubles.

BOUND = ("kurtosis must be at least 1 + skew**2 = {}, which every distribution has (plain kurtosis, 3 "
         "for a normal distribution; an excess kurtosis needs 3 added), got {}")
DSR = ovf.deflated_sharpe_ratio


@pytest.mark.parametrize(("call", "message"), [
    (lambda: psr(0.1, n_obs=100, skew=0, kurtosis=0.0), BOUND.format(1.0, 0.0)),
    # Kurtosis 1.9 at skew 1 passed before (the variance term stays positive at 0.1): no
    # distribution has it, in any of the functions that take a shape.
    (lambda: psr(0.1, n_obs=100, skew=1, kurtosis=1.9), BOUND.format(2.0, 1.9)),
    (lambda: ovf.min_track_record_length(0.1, skew=-1, kurtosis=1.9), BOUND.format(2.0, 1.9)),
    (lambda: DSR(0.1, n_trials=5, sharpe_variance=0.01, n_obs=100, skew=1, kurtosis=1.9),
     BOUND.format(2.0, 1.9)),
    (lambda: psr(0.1, n_obs=100, skew=1e200, kurtosis=1e300), BOUND.format(math.inf, 1e300)),
    # At the bound the Sharpe ratio 2/skew has a variance term of 0.
    (lambda: psr(2.0, n_obs=5, skew=1, kurtosis=2), "1 - skew*sharpe + (kurtosis - 1)/4*sharpe**2 is not "
     "positive for sharpe=2.0, skew=1.0, kurtosis=2.0: at kurtosis = 1 + skew**2 the Sharpe ratio 2/skew "
     "has no estimation error to judge it by"),
    (lambda: emax(n_trials=10**400, sharpe_variance=1), "n_trials must be at most 10**300, got about 10**400.0"),
    (lambda: ovf.min_backtest_length(n_trials=10**301, target_sharpe=1),
     "n_trials must be at most 10**300, got about 10**301.0"),
    (lambda: DSR(0.1, n_trials=10**400, sharpe_variance=0.01, n_obs=100, skew=0, kurtosis=3),
     "n_trials must be at most 10**300, got about 10**400.0"),
])
def test_impossible_shapes_and_counts_are_refused_by_name(call, message):
    with pytest.raises(ValueError) as caught:
        call()
    assert str(caught.value) == message


def test_moments_at_the_bound_pass_within_rounding():
    # A two-point distribution sits on the bound; its computed moments may land an ulp under it.
    g3 = 0.7
    at = 1 + g3 * g3
    assert psr(0.1, n_obs=50, skew=g3, kurtosis=at * (1 - 2**-52)) == pytest.approx(_psr(0.1, 50, g3, at, 0))


def test_stats_psr_is_nan_for_moments_no_distribution_has():
    from pelmora.stats import performance_stats

    r = np.array([0.05, -0.01, -0.01, 0.03, 0.03, 0.04])
    got = performance_stats(pd.Series(np.cumprod(1 + r), index=pd.bdate_range("2024-01-01", periods=6)))
    assert got["kurtosis"] + 3 < 1 + got["skew"] ** 2  # the small-sample corrections go below the bound
    assert math.isnan(got["psr"])


def _limit(t, g4, sign):
    """The PSR's limit as the Sharpe ratio goes to sign * inf."""
    return norm.cdf(sign * 2 * math.sqrt((t - 1) / (g4 - 1))) if g4 > 1 else (1 + sign) / 2


@pytest.mark.parametrize(("sharpe", "t", "g3", "g4"), [
    (1e200, 252, 0.0, 3.0), (-1e200, 252, 0.0, 3.0), (1e300, 3, 0.5, 10.0), (-1e300, 3, 0.5, 10.0),
    (1e160, 40, -1.0, 2.5), (1e308, 2, 0.0, 1.5),
])
def test_psr_of_a_huge_sharpe_is_its_limit(sharpe, t, g3, g4):
    # (SR - SR*) sqrt(T - 1) / sqrt(1 - g3 SR + (g4 - 1)/4 SR^2) -> sign(SR) 2 sqrt((T - 1) / (g4 - 1)):
    # the term overflowed to inf before, and the PSR of a Sharpe ratio of 1e200 was 0.5.
    assert psr(sharpe, n_obs=t, skew=g3, kurtosis=g4) == pytest.approx(_limit(t, g4, math.copysign(1, sharpe)),
                                                                       rel=1e-14)
    assert psr(1e200, n_obs=252, skew=0, kurtosis=3) == 1.0
    assert psr(1e300, n_obs=9, skew=0, kurtosis=1) == 1.0  # kurtosis 1: no limit short of 1


def test_lengths_past_the_largest_double_are_inf():
    # Both squared a ratio of 1e200 and raised OverflowError.
    assert ovf.min_track_record_length(1e-200, skew=0, kurtosis=3) == math.inf
    assert ovf.min_backtest_length(n_trials=10, target_sharpe=1e-200) == math.inf
    assert ovf.min_track_record_length(1e200, skew=0, kurtosis=3) == pytest.approx(1 + 0.5 * norm.ppf(0.95) ** 2)
    assert emax(n_trials=10**300, sharpe_variance=1.0) == pytest.approx(_emax(10**300, 1.0), rel=1e-12)


@given(st.floats(-1e300, 1e300), st.floats(-1e300, 1e300), st.integers(2, 10**6), st.floats(-3, 3),
       st.floats(0, 20))
def test_psr_rises_with_the_sharpe_where_skew_times_sharpe_is_below_2(a, b, t, g3, extra):
    # d z / d SR has the sign of 1 - g3 SR / 2 (benchmark 0): monotone on that side of 2 / g3.
    g4 = 1 + g3 * g3 + extra
    low, high = sorted((a, b))
    assume = g3 * low < 2 and g3 * high < 2
    if not assume:
        return
    p_low, p_high = (psr(x, n_obs=t, skew=g3, kurtosis=g4) for x in (low, high))
    assert 0.0 <= p_low <= p_high + 4e-16 <= 1.0 + 4e-16
    # Rising towards the limit at the end of the Sharpe ratios where it is monotone.
    if g3 <= 0:
        assert p_high <= _limit(t, g4, 1) + 1e-15
    if g3 >= 0:
        assert p_low >= _limit(t, g4, -1) - 1e-15


# ---------------------------------------------------------------------------------------------
# PBO where trials stand still or tie.

NOTHING = "pbo: every trial ties in sample in every split ({}), so there is nothing to choose: pbo is NaN"


def _naive_constant_aware_pbo(x, s):
    """The naive loop with a constant half's Sharpe ratio 0 at 0 and +-inf by its sign otherwise."""
    blocks = np.array_split(np.arange(len(x)), s)

    def sharpe(r):
        flat = (r == r[0]).all(axis=0)
        with np.errstate(divide="ignore", invalid="ignore"):
            out = r.mean(0) / r.std(0, ddof=1)
        return np.where(flat, np.where(r[0] > 0, np.inf, np.where(r[0] < 0, -np.inf, 0.0)), out)

    logits = []
    for chosen in itertools.combinations(range(s), s // 2):
        inside = np.concatenate([blocks[b] for b in chosen])
        outside = np.setdiff1d(np.arange(len(x)), inside)
        w = scipy_stats.rankdata(np.nan_to_num(sharpe(x[outside])))[np.argmax(np.nan_to_num(sharpe(x[inside])))]
        logits.append(math.log(w / (x.shape[1] + 1 - w)))
    return np.array(logits)


def test_a_trial_at_zero_over_a_half_has_a_sharpe_of_zero_there():
    # A sweep stores 0 before a run's first fill. The sums gave that half a Sharpe ratio of +inf
    # here (a variance of 1e-35 over a mean of 1e-19), and trial 0 won in sample with it.
    rng = np.random.default_rng(2)
    m = 0.01 * rng.standard_normal((400, 4))
    m[:200, 0] = 0
    got = ovf.pbo(m, n_splits=2)
    assert np.isfinite(got.in_sample).all()
    np.testing.assert_allclose(got.logits, _naive_constant_aware_pbo(m, 2), rtol=1e-14)
    # The same with a constant trial: +inf where its value is above 0, as for every such half.
    m[:, 3] = 1e-4
    assert (ovf.pbo(m, n_splits=4).in_sample == np.inf).all()
    assert (ovf.pbo(-m, n_splits=4).in_sample < np.inf).all()


def test_metrics_equal_to_the_last_bits_tie():
    # Trials 0 and 1 are the same noise shifted by 1/6 computed two ways (1 - 5/6 is 2 ulps less):
    # the two tie in sample and out of sample, w = 2.5 / 4 in both splits. One of them used to
    # rank alone by its last bits, below the other: a logit of 0 and a PBO of 1.
    noise = 0.01 * np.random.default_rng(3).standard_normal(40)
    m = np.c_[noise + 1 / 6, noise + (1 - 5 / 6), noise]
    for metric in ("sharpe", "mean"):
        got = ovf.pbo(m, n_splits=2, metric=metric)
        np.testing.assert_array_equal(got.logits, [math.log(2.5 / 1.5)] * 2)
        assert got.pbo == 0.0


def test_of_trials_tied_in_sample_the_worst_out_of_sample_is_chosen():
    # Trials 0 and 1 share their first half, the best there; out of sample trial 0 is the best and
    # trial 1 the worst. Whichever column comes first, trial 1 is the choice (the first column was).
    rng = np.random.default_rng(5)
    first = 0.01 + 0.01 * rng.standard_normal(30)
    m = np.c_[np.r_[first, 0.02 + 0.01 * rng.standard_normal(30)],
              np.r_[first, -0.02 + 0.01 * rng.standard_normal(30)],
              0.01 * rng.standard_normal((60, 2))]
    for order in ([0, 1, 2, 3], [1, 0, 3, 2]):
        got = ovf.pbo(m[:, order], n_splits=2)
        assert got.logits[0] == math.log(1 / 4) and got.out_of_sample[0] == pytest.approx(
            m[30:, 1].mean() / m[30:, 1].std(ddof=1), rel=1e-12)


def test_identical_trials_have_nothing_to_choose():
    m = np.tile(0.01 * np.random.default_rng(1).standard_normal((60, 1)), 3)  # used to be PBO 1.0
    with pytest.warns(UserWarning) as caught:
        got = ovf.pbo(m, n_splits=6)
    assert [str(w.message) for w in caught] == [NOTHING.format(20)]
    assert math.isnan(got.pbo) and math.isnan(got.prob_loss) and math.isnan(got.slope)
    assert np.isnan(got.logits).all() and got.logits.size == 20 and got.n_trials == 3
    with pytest.warns(UserWarning) as caught:
        got = ovf.pbo(np.r_[np.zeros((30, 3)), 0.01 * np.random.default_rng(1).standard_normal((30, 3))], n_splits=2)
    assert [str(w.message) for w in caught] == [
        "pbo: every trial ties in sample in 1 of 2 splits, so those have nothing to choose and are left out "
        "(their logits are NaN)"]
    assert np.isnan(got.logits[0]) and got.logits[1] == 0.0 and got.pbo == 1.0  # a tie out of sample: w = 1/2
    assert len(got.plot().axes) == 2


def _trials(seed, shape):
    """Noise with the ties of a sweep: duplicated columns, columns at 0 before a start, constants."""
    rng = np.random.default_rng(seed)
    m = rng.normal(0.0005, 0.01, shape)
    n = shape[1]
    for j in rng.choice(n, size=n // 3, replace=False):
        kind = rng.integers(3)
        if kind == 0:
            m[:, j] = m[:, rng.integers(n)]
        elif kind == 1:
            m[: rng.integers(len(m)), j] = 0.0
        else:
            m[:, j] = rng.choice([0.0, 1e-4, -1e-4])
    return m


@given(st.integers(0, 2**32 - 1), st.integers(-990, 990), st.sampled_from([2, 4, 6]))
def test_pbo_is_free_of_scale_and_of_the_columns_order(seed, power, splits):
    m = _trials(seed, (36, 7))
    if (m == m[:, :1]).all():
        return
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # splits without a choice, counted elsewhere
        base = ovf.pbo(m, n_splits=splits)
        order = np.random.default_rng(seed).permutation(m.shape[1])
        for other in (ovf.pbo(m[:, order], n_splits=splits), ovf.pbo(np.ldexp(m, power), n_splits=splits)):
            # Bit for bit: a power of two scales exactly, and the distinct columns are computed in an
            # order of their own.
            for name in ("logits", "in_sample", "out_of_sample"):
                np.testing.assert_array_equal(getattr(other, name), getattr(base, name))
            assert other.pbo == base.pbo or math.isnan(base.pbo) and math.isnan(other.pbo)
        # A decimal factor rounds every value, so trials tied to within the tie tolerance (the
        # same figure computed two ways) can land a few ulps either side of it: a split may then
        # choose another of the tied trials. Nothing else may move.
        decimal = ovf.pbo(m * 10.0 ** (power * 300 // 990), n_splits=splits)
        moved = decimal.logits != base.logits
        assert moved.sum() <= max(1, len(moved) // 10), (decimal.logits, base.logits)
        np.testing.assert_allclose(decimal.in_sample, base.in_sample, rtol=1e-12)
        means = ovf.pbo(np.ldexp(m, power), n_splits=splits, metric="mean")
        np.testing.assert_array_equal(means.logits, ovf.pbo(m, n_splits=splits, metric="mean").logits)


@given(st.integers(0, 2**32 - 1), st.integers(-300, 300))
def test_effective_trials_is_free_of_scale(seed, power):
    rng = np.random.default_rng(seed)
    c = rng.normal(size=(120, 3)) @ rng.normal(size=(3, 9)) + 0.3 * rng.normal(size=(120, 9))
    c[:, 0] = 0.0
    # 1e-300 underflowed the squares (every trial flat, one trial); 1e300 overflowed them.
    assert ovf.effective_trials(c * 10.0**power) == ovf.effective_trials(c)
