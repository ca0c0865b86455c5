"""The probability of backtest overfitting (CSCV): against a plain loop over the splits, on noise
and on a planted edge, and from a sweep."""

from __future__ import annotations

import itertools
import math

import numpy as np
import pandas as pd
import pytest

import zelvor
from zelvor import probability_of_overfitting


def brute_force(returns: np.ndarray, n_splits: int, metric: str) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Logits, in-sample and out-of-sample metric of the chosen set, one split at a time."""
    blocks = np.array_split(np.arange(len(returns)), n_splits)

    def measure(rows):
        r = returns[rows]
        if metric == "mean":
            return r.mean(axis=0) * 252
        if metric == "sharpe":
            return r.mean(axis=0) / r.std(axis=0, ddof=1) * math.sqrt(252)
        return r.mean(axis=0) / np.sqrt((np.minimum(r, 0) ** 2).mean(axis=0)) * math.sqrt(252)

    logits, ins, outs = [], [], []
    for chosen in itertools.combinations(range(n_splits), n_splits // 2):
        inside = np.concatenate([blocks[b] for b in chosen])
        outside = np.concatenate([blocks[b] for b in range(n_splits) if b not in chosen])
        is_m, oos_m = measure(inside), measure(outside)
        best = int(np.argmax(is_m))
        rank = 1 + np.sum(oos_m < oos_m[best])  # no ties in continuous data
        w = rank / (returns.shape[1] + 1)
        logits.append(math.log(w / (1 - w)))
        ins.append(is_m[best])
        outs.append(oos_m[best])
    return np.array(logits), np.array(ins), np.array(outs)


@pytest.mark.parametrize("metric", ["sharpe", "sortino", "mean"])
@pytest.mark.parametrize("n_splits", [2, 6])
def test_matches_a_loop_over_the_splits(metric, n_splits):
    rng = np.random.default_rng(n_splits)
    returns = rng.normal(0.0003, 0.01, size=(203, 7))  # 203 rows: blocks of unequal size
    result = probability_of_overfitting(returns, n_splits=n_splits, metric=metric)
    logits, ins, outs = brute_force(returns, n_splits, metric)
    np.testing.assert_allclose(result.logits, logits, rtol=1e-12)
    np.testing.assert_allclose(result.is_metric, ins, rtol=1e-9)
    np.testing.assert_allclose(result.oos_metric, outs, rtol=1e-9)
    assert result.pbo == np.mean(logits <= 0) and result.prob_loss == np.mean(outs < 0)
    assert result.n_combinations == math.comb(n_splits, n_splits // 2)


def test_a_winner_that_always_reverses_is_overfit_every_time():
    # Two sets, two blocks: set 0 rises then falls, set 1 the other way round. Whichever half is
    # in sample, its winner is the worse of two out of sample: rank 1 of 2, w = 1/3, logit ln(1/2).
    up_down = np.r_[np.full(50, 0.01), np.full(50, -0.01)] + np.tile([0.001, -0.001], 50)
    returns = np.c_[up_down, -up_down]
    result = probability_of_overfitting(returns, n_splits=2)
    np.testing.assert_allclose(result.logits, [math.log(0.5)] * 2)
    assert result.pbo == 1.0 and result.prob_loss == 1.0


def test_noise_is_a_coin_flip_and_a_planted_edge_is_not():
    # One noise matrix's PBO varies a lot (its splits share their rows): average 24 of them.
    pbos = [
        probability_of_overfitting(np.random.default_rng(seed).normal(0.0, 0.01, size=(500, 50)), n_splits=8).pbo
        for seed in range(24)
    ]
    assert 0.4 < np.mean(pbos) < 0.6
    noise = np.random.default_rng(20).normal(0.0, 0.01, size=(1000, 200))
    planted = noise.copy()
    planted[:, 17] += 0.003  # a daily Sharpe of 0.3 (4.8 a year) among coin flips
    result = probability_of_overfitting(planted, n_splits=10)
    assert result.pbo < 0.05
    assert np.mean(result.chosen == 17) > 0.9


def test_failed_sets_and_late_starts():
    rng = np.random.default_rng(1)
    returns = rng.normal(0.0, 0.01, size=(300, 6))
    returns[:, 2] = np.nan  # a failed set: left out
    returns[:40, :] = np.nan  # nothing active yet: dropped
    returns[40:90, 4] = np.nan  # a set starting later: holds cash meanwhile
    result = probability_of_overfitting(returns, n_splits=4)
    assert result.n_sets == 5
    filled = np.nan_to_num(np.delete(returns, 2, axis=1)[40:])
    np.testing.assert_allclose(result.logits, brute_force(filled, 4, "sharpe")[0], rtol=1e-12)


@pytest.mark.parametrize(
    ("kwargs", "error", "match"),
    [
        ({"n_splits": 5}, ValueError, "even"),
        ({"n_splits": 0}, ValueError, "even"),
        ({"n_splits": 26}, ValueError, "at most 24"),
        ({"n_splits": 4.0}, TypeError, "n_splits"),
        ({"metric": "calmar"}, ValueError, "metric"),
    ],
)
def test_bad_arguments(kwargs, error, match):
    with pytest.raises(error, match=match):
        probability_of_overfitting(np.zeros((100, 3)) + 0.001, **kwargs)


def test_too_little_data():
    with pytest.raises(ValueError, match="too few"):
        probability_of_overfitting(np.ones((20, 3)), n_splits=16)
    with pytest.raises(ValueError, match="at least 2 sets"):
        probability_of_overfitting(np.c_[np.ones(100), np.full(100, np.nan)])


def test_from_a_sweep(market, momentum):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    grid = {"lookback": [5, 10, 20, 40], "top": [2, 4, 8]}
    sweep = zelvor.sweep(momentum, market, grid, backend="serial", progress=False)
    result = sweep.overfitting(n_splits=8)
    direct = probability_of_overfitting(sweep.returns, n_splits=8)
    np.testing.assert_array_equal(result.logits, direct.logits)
    assert result.n_sets == 12 and 0.0 <= result.pbo <= 1.0
    summary = result.summary()
    assert summary["pbo"] == result.pbo and summary["n_combinations"] == 70
    fig, axes = plt.subplots(1, 2)
    assert result.plot(ax=axes) is fig and len(axes[0].patches) > 0 and len(axes[1].collections) == 1
    assert len(result.plot().axes) == 2
    plt.close("all")
    off = zelvor.sweep(momentum, market, grid, backend="serial", progress=False, returns=None)
    with pytest.raises(ValueError, match="returns='float64'"):
        off.overfitting()
    assert isinstance(sweep.returns, pd.DataFrame)


def test_best_set_figures_and_the_sweep_page(market, momentum):
    from zelvor._overfitting import best_set_figures

    sweep = zelvor.sweep(momentum, market, {"lookback": [5, 20, 60], "top": [2, 8]}, backend="serial", progress=False)
    figures = best_set_figures(sweep)
    row = int(sweep.table["sharpe"].idxmax())
    assert figures["row"] == row and figures["dsr"] == sweep.table.loc[row, "dsr"]
    assert figures["pbo"] == sweep.overfitting().pbo
    off = zelvor.sweep(momentum, market, {"lookback": [5, 20]}, backend="serial", progress=False, returns=None)
    assert math.isnan(best_set_figures(off)["pbo"])  # nothing kept: no PBO, the dsr still there
    assert best_set_figures(off)["dsr"] == off.table.loc[int(off.table["sharpe"].idxmax()), "dsr"]


@pytest.mark.slow
def test_demo_sweep_prints_and_writes_the_pbo_and_the_deflated_sharpe(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    import re

    from zelvor import demo

    page = tmp_path / "sweep.html"
    assert demo.main(["--sweep", "--jobs", "1", "--stocks", "40", "--years", "2", "--html", str(page)]) == 0
    out = capsys.readouterr().out
    dsr = re.search(r"deflated Sharpe ratio (\d\.\d{3})", out)
    pbo = re.search(r"probability of backtest overfitting (\d+\.\d)%", out)
    assert dsr and pbo and 0 <= float(pbo.group(1)) <= 100
    text = page.read_text()
    assert 'id="overfitting"' in text
    page_dsr = re.search(r"deflated Sharpe ratio (\d\.\d\d)", text)
    page_pbo = re.search(r"probability of backtest overfitting (\d+)%", text)
    assert page_dsr and abs(float(page_dsr.group(1)) - float(dsr.group(1))) <= 0.0051
    assert page_pbo and abs(int(page_pbo.group(1)) - float(pbo.group(1))) <= 0.55
