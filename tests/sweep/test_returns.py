"""Sweep.returns: each set's daily returns brought back from the workers, and the table's dsr."""

from __future__ import annotations

import os

import numpy as np
import pandas as pd
import pytest

import zelvor
from zelvor._sharpe import deflated_sharpe_ratio, sharpe_moments

needs_workers = pytest.mark.skipif(
    bool(os.environ.get("ZELVOR_SANITIZED")), reason="worker processes are not run under the sanitizers"
)


# stop_loss -1 fails (a bad option): that set's column must be NaN.
GRID = {"lookback": [10, 40], "stop_loss": [None, 0.05, -1.0]}


@pytest.fixture(scope="module")
def serial(market, momentum):
    return zelvor.sweep(momentum, market, GRID, backend="serial", progress=False)


def test_each_column_is_the_sets_own_report_returns(serial, market):
    returns = serial.returns
    assert returns.shape == (len(market.dates), len(serial))
    assert returns.index.equals(market.dates) and list(returns.columns) == list(range(len(serial)))
    assert returns.dtypes.eq(np.float64).all()
    for row, params in enumerate(serial.params):
        if params["stop_loss"] == -1.0:
            assert serial.table.loc[row, "error"] and returns[row].isna().all()
            continue
        report = serial.rerun(params)
        expected = report.returns.to_numpy().copy()
        expected[: report.start_row + 1] = np.nan  # nothing is held before the first active row
        np.testing.assert_array_equal(returns[row].to_numpy(), expected)


def test_dsr_column_deflates_each_sharpe_for_all_the_sets(serial):
    ok = serial.table["error"] == ""
    moments = np.array([sharpe_moments(serial.returns[i].dropna().to_numpy()) for i in np.flatnonzero(ok)])
    n, sr, skew, kurt = moments.T
    expected = deflated_sharpe_ratio(sr, n, skew, kurt, len(sr), float(np.var(sr, ddof=1)))
    np.testing.assert_allclose(serial.table.loc[ok, "dsr"].to_numpy(dtype=float), expected, rtol=1e-12)
    assert serial.table.loc[~ok, "dsr"].isna().all()
    # Deflation only lowers the probability: each dsr is below the set's psr (against 0).
    assert (serial.table.loc[ok, "dsr"] < serial.table.loc[ok, "psr"]).all()


@needs_workers
@pytest.mark.parametrize("backend", ["threads", "processes", pytest.param("dask", marks=pytest.mark.slow)])
def test_returns_are_the_same_from_every_backend(serial, market, backend, request, momentum):
    pytest.importorskip({"threads": "threading", "processes": "joblib", "dask": "distributed"}[backend])
    extra = {"client": request.getfixturevalue("dask_client")} if backend == "dask" else {"n_jobs": 2}
    other = zelvor.sweep(momentum, market, GRID, backend=backend, progress=False, **extra)
    pd.testing.assert_frame_equal(other.returns, serial.returns, check_exact=True)
    pd.testing.assert_frame_equal(other.table, serial.table, check_exact=True)


def test_float32_and_not_kept(serial, market, momentum):
    small = zelvor.sweep(momentum, market, GRID, backend="serial", progress=False, returns="float32")
    assert small.returns.dtypes.eq(np.float32).all()
    np.testing.assert_array_equal(small.returns.to_numpy(), serial.returns.to_numpy().astype(np.float32))
    off = zelvor.sweep(momentum, market, GRID, backend="serial", progress=False, returns=None)
    assert off.returns is None
    # The table does not depend on whether the returns are kept.
    pd.testing.assert_frame_equal(off.table, serial.table, check_exact=True)
    pd.testing.assert_frame_equal(small.table, serial.table, check_exact=True)


@pytest.mark.parametrize("bad", ["float16", "yes", 32])
def test_bad_returns_argument(market, bad, momentum):
    with pytest.raises(ValueError, match="returns must be"):
        zelvor.sweep(momentum, market, GRID, backend="serial", progress=False, returns=bad)
