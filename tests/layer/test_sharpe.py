"""Probabilistic and deflated Sharpe ratios, the minimum track record, and their place in
`Report.stats` and the sweep table."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zelvor
from zelvor._sharpe import (
    deflated_sharpe_ratio,
    expected_max_sharpe,
    min_track_record,
    probabilistic_sharpe_ratio,
    sharpe_moments,
)


def test_the_deflated_sharpe_papers_worked_example():
    # Bailey and López de Prado (2014), numerical example: annual Sharpe 2.5 over 1,250 daily
    # returns, 100 trials whose annual Sharpe ratios have variance 0.5, skewness -3, kurtosis 10.
    # The paper prints E[max SR] = 0.1132 (per day) and DSR = 0.9004.
    variance = 0.5 / 250
    assert round(expected_max_sharpe(100, variance), 4) == 0.1132
    assert round(deflated_sharpe_ratio(2.5 / math.sqrt(250), 1250, -3.0, 10.0, 100, variance), 4) == 0.9004


def test_hand_computed_cases():
    # A zero Sharpe ratio is as likely above 0 as below: Phi(0).
    assert probabilistic_sharpe_ratio(0.0, 100, -1.0, 8.0) == 0.5
    # Normal returns, SR 0.1 over 101 returns: Phi(0.1 * 10 / sqrt(1 + 2/4 * 0.01)) = Phi(0.99751).
    assert probabilistic_sharpe_ratio(0.1, 101) == pytest.approx(0.840741, abs=1e-6)
    # MinTRL: 1 + 1.005 * (1.644854 / 0.1)^2 = 272.908
    assert min_track_record(0.1) == pytest.approx(272.908, abs=1e-3)
    assert min_track_record(-0.1) == math.inf and min_track_record(0.0) == math.inf
    # One trial: nothing to deflate; the DSR is the PSR against 0.
    assert expected_max_sharpe(1, 0.3) == 0.0
    assert deflated_sharpe_ratio(0.05, 500, 0.2, 4.0, 1, 0.0) == probabilistic_sharpe_ratio(0.05, 500, 0.2, 4.0)


@settings(max_examples=60, deadline=None)
@given(
    sr=st.floats(0.01, 0.5),
    skew=st.floats(-2.0, 2.0),
    kurt=st.floats(3.0, 20.0),
    confidence=st.floats(0.6, 0.999),
)
def test_psr_at_the_minimum_track_record_is_the_confidence(sr, skew, kurt, confidence):
    # MinTRL solves PSR(n) = confidence for n: they must invert each other.
    if 1.0 - skew * sr + (kurt - 1.0) / 4.0 * sr * sr <= 0:
        return
    n = min_track_record(sr, skew, kurt, confidence=confidence)
    assert probabilistic_sharpe_ratio(sr, n, skew, kurt) == pytest.approx(confidence, abs=1e-9)


def test_more_trials_or_more_spread_deflate_more():
    values = [deflated_sharpe_ratio(0.08, 1000, 0.0, 3.0, n, 0.001) for n in (1, 10, 100, 1000)]
    assert values == sorted(values, reverse=True) and values[0] > 0.99 and values[-1] < values[0]
    spread = [deflated_sharpe_ratio(0.08, 1000, 0.0, 3.0, 50, v) for v in (1e-5, 1e-4, 1e-3)]
    assert spread == sorted(spread, reverse=True)


def test_moments_match_scipy():
    stats = pytest.importorskip("scipy.stats")
    r = np.random.default_rng(3).standard_t(5, 800) * 0.01 + 0.0005
    n, sr, skew, kurt = sharpe_moments(r)
    assert n == 800
    assert sr == pytest.approx(r.mean() / r.std(ddof=1), rel=1e-12)
    assert skew == pytest.approx(stats.skew(r), rel=1e-10)
    assert kurt == pytest.approx(stats.kurtosis(r, fisher=False), rel=1e-10)
    assert all(math.isnan(x) for x in sharpe_moments(np.ones(5))[1:])


@pytest.mark.parametrize(
    ("returns", "sharpe"),
    [
        # Mean 0, so a Sharpe ratio of 0; the squares are 1e220, their square and cube pass the float
        # range (inf; inf - inf or inf / inf: NaN).
        ([1e110, -1e110], 0.0),
        # Mean 0 again; the squares are subnormal (1e-320), m2**1.5 and m2**2 underflow to 0: 0 / 0.
        ([1e-160, -1e-160], 0.0),
    ],
)
def test_moments_of_extreme_returns_are_ieee_values(returns, sharpe):
    n, sr, skew, kurt = sharpe_moments(np.array(returns))
    assert (n, sr) == (2, sharpe)
    assert math.isnan(skew) and math.isnan(kurt)


@given(st.lists(st.floats(allow_nan=False, allow_infinity=False), min_size=2, max_size=30))
def test_moments_never_raise_nor_warn(returns):
    # Any finite returns, however large or small: four floats back, and no warning escapes (the
    # sweep's deflated Sharpe column and walk_forward call this on every set's returns).
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        n, *ratios = sharpe_moments(np.array(returns))
    assert n == len(returns) and all(isinstance(x, float) for x in ratios)
    r = np.array(returns) * 0.5**8  # an exact rescaling, well inside the range: the ratios do not change
    if np.all(np.abs(r) < 1e100) and np.all((r == 0) | (np.abs(r) > 1e-100)) and math.isfinite(ratios[1]):
        assert sharpe_moments(r)[2] == pytest.approx(ratios[1], rel=1e-9, abs=1e-9)


def test_report_stats_psr_and_min_track_record(market):
    weights = market.close.iloc[::21].notna()
    report = zelvor.backtest(weights, market)
    stats = report.stats()
    r = report.returns.to_numpy()[report.start_row + 1 :]
    n, sr, skew, kurt = sharpe_moments(r)
    assert stats["sharpe"] == pytest.approx(sr * math.sqrt(252), rel=1e-12)
    assert stats["psr"] == probabilistic_sharpe_ratio(sr, n, skew, kurt)
    assert stats["min_track_record"] == min_track_record(sr, skew, kurt)
    assert 0.0 <= stats["psr"] <= 1.0
    # A losing run: no track record is long enough, which the stats say with NaN (as JSON can).
    short = -weights.astype(float).div(weights.sum(axis=1), axis=0)  # equal weights, all short
    losing = zelvor.backtest(short, market).stats()
    assert losing["sharpe"] < 0 and math.isnan(losing["min_track_record"]) and losing["psr"] < 0.5
