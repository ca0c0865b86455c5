"""The daily returns and their Sharpe moments that a sweep row asks the native run for: bit for bit
the NumPy formulation (`_sharpe.sharpe_moments` over the row-to-row change of equity)."""

from __future__ import annotations

import math
import warnings

import numpy as np
import pandas as pd
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import zelvor
from zelvor._prepared import stats_run
from zelvor._sharpe import sharpe_moments


def numpy_daily_returns(equity: np.ndarray, start_row: int) -> np.ndarray:
    """Row-to-row change of equity, NaN up to and including the start row (the layer's rule)."""
    out = np.full(len(equity), np.nan)
    if len(equity) > start_row + 1:
        active = equity[start_row:]
        out[start_row + 1 :] = active[1:] / active[:-1] - 1.0
    return out


def run(prepared, options, returns=None):
    return stats_run(prepared, options, moments=True, returns=returns)[1]


def same_floats(a, b) -> bool:
    """Equal bit for bit (NaN equal to NaN, 0.0 not equal to -0.0)."""
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


@st.composite
def runs(draw):
    seed = draw(st.integers(0, 2**16))
    years = draw(st.sampled_from([0.05, 0.5, 2.0]))
    market = zelvor.Market.synthetic(stocks=draw(st.integers(2, 12)), years=years, seed=seed)
    rng = np.random.default_rng(seed)
    every = draw(st.integers(1, 40))
    dates = market.dates[::every]
    # Some rows hold nothing at all (flat equity: no variation, so NaN ratios).
    picks = rng.random((len(dates), len(market.stocks))) < draw(st.sampled_from([0.0, 0.3, 0.8]))
    weights = picks / np.maximum(picks.sum(axis=1, keepdims=True), 1)
    weights = pd.DataFrame(weights, index=dates, columns=market.stocks)
    options = {
        "stop_loss": draw(st.sampled_from([None, 0.02, 0.1])),
        "take_profit": draw(st.sampled_from([None, 0.05, 0.5])),
        "fee_ratio": draw(st.sampled_from([0.0, 0.001425])),
    }
    return market, weights, options


@settings(max_examples=40, deadline=None)
@given(runs(), st.sampled_from([None, "float64", "float32"]))
def test_moments_and_returns_are_numpys(case, dtype):
    market, weights, options = case
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # weights that never hold anything warn; irrelevant here
        prepared = zelvor.prepare(weights, market)
        result = run(prepared, options, returns=dtype)
    start = prepared.start_row
    r = numpy_daily_returns(result["equity"], start)
    n, sr, skew, kurt = result["moments"]
    expected = sharpe_moments(r[start + 1 :])
    assert type(n) is int and n == expected[0] == max(len(r) - start - 1, 0)
    assert same_floats([sr, skew, kurt], expected[1:])
    if dtype is None:
        assert "returns" not in result
    else:
        assert result["returns"].dtype == np.dtype(dtype)
        assert same_floats(result["returns"], r.astype(dtype))


def test_flat_and_short_runs_have_no_ratios(market):
    # Weights that hold nothing: equity stays 1, every return is 0, m2 == 0, so the ratios are NaN
    # and n is the number of returns after the start row.
    weights = pd.DataFrame(0.0, index=market.dates[:5], columns=market.stocks)
    with pytest.warns(UserWarning):
        prepared = zelvor.prepare(weights, market)
    n, *ratios = run(prepared, {})["moments"]
    assert n == len(market.dates) - prepared.start_row - 1 and all(math.isnan(x) for x in ratios)


@pytest.mark.parametrize("bad", ["float16", 64, b"float64"])
def test_returns_of_another_type_are_refused(market, momentum, bad):
    prepared = zelvor.prepare(momentum(market), market)
    with pytest.raises(ValueError, match="stats: returns must be"):
        run(prepared, {}, returns=bad)
