"""Sweep.spa: Hansen's SPA p-values and StepM's superior sets, from arch's stationary bootstrap."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pytest

import zelvor
from zelvor._spa import superior_predictive_ability

pytest.importorskip("arch.bootstrap")


def noise(n_sets=30, n_days=750, seed=0, edge=None):
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2020-01-01", periods=n_days)
    values = rng.normal(0.0, 0.01, size=(n_days, n_sets))
    if edge is not None:
        values[:, edge] += 0.003  # a daily Sharpe of 0.3
    return pd.DataFrame(values, index=dates, columns=pd.RangeIndex(n_sets))


def test_noise_does_not_beat_cash_and_a_planted_edge_does():
    plain = superior_predictive_ability(noise(seed=1), seed=0, reps=300)
    assert plain.pvalues["consistent"] > 0.1 and plain.superior == []
    planted = superior_predictive_ability(noise(seed=1, edge=7), seed=0, reps=300)
    assert planted.pvalues["consistent"] < 0.01 and planted.best == 7 and planted.superior == [7]
    # lower <= consistent <= upper, as Hansen's three statistics are built
    p = planted.pvalues
    assert p["lower"] <= p["consistent"] <= p["upper"]


def test_seeded_runs_are_reproducible():
    returns = noise(seed=2)
    a = superior_predictive_ability(returns, seed=5, reps=200)
    b = superior_predictive_ability(returns, seed=5, reps=200)
    pd.testing.assert_series_equal(a.pvalues, b.pvalues)
    assert a.superior == b.superior


def test_benchmarks():
    returns = noise(seed=3, edge=4)
    # Against itself shifted up by more than any edge: nothing beats it.
    strong = returns[4] + 0.01
    result = superior_predictive_ability(returns, strong.rename("index"), seed=0, reps=200)
    assert result.benchmark == "index" and result.superior == [] and result.pvalues["consistent"] > 0.5
    # Against one of the sets: the mean excess of that set over itself is 0.
    against = superior_predictive_ability(returns, 4, seed=0, reps=200)
    assert against.benchmark == "set 4" and against.mean_excess[4] == 0.0
    np.testing.assert_allclose(against.mean_excess, (returns.sub(returns[4], axis=0)).mean())


@pytest.mark.parametrize(
    ("benchmark", "kwargs", "error", "match"),
    [
        (99, {}, ValueError, "not a row"),
        ("cash", {}, TypeError, "benchmark must be"),
        (pd.Series(0.0, index=pd.bdate_range("1990-01-01", periods=5)), {}, ValueError, "no return on any date"),
        (None, {"size": 1.5}, ValueError, "size"),
        (None, {"reps": 3}, ValueError, "reps"),
        (None, {"block_size": 0}, ValueError, "block_size"),
    ],
)
def test_bad_arguments(benchmark, kwargs, error, match):
    with pytest.raises(error, match=match):
        superior_predictive_ability(noise(n_sets=3, n_days=50), benchmark, **kwargs)


def test_from_a_sweep_with_a_failed_set(market):
    weights = market.close.iloc[::21].notna()
    sweep = zelvor.sweep(weights, market, {"stop_loss": [None, 0.05, -1.0]}, backend="serial", progress=False)
    result = sweep.spa(seed=1, reps=100)
    assert 2 not in result.mean_excess.index  # the failed set is left out
    assert result.best in (0, 1) and set(result.superior) <= {0, 1}
    assert 0.0 <= result.pvalues["consistent"] <= 1.0
