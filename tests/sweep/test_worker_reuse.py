"""What a sweep's worker processes keep between tasks and calls, seen from outside: the shared
files they map, and results that reuse never changes."""

from __future__ import annotations

import gc
import os
import sys
from pathlib import Path

import pandas as pd
import pytest

import zelvor
from zelvor.sweeps import _shared

pytest.importorskip("joblib")
if os.environ.get("ZELVOR_SANITIZED"):
    pytest.skip("worker processes are not run under the sanitizers", allow_module_level=True)
if not sys.platform.startswith("linux"):
    pytest.skip("reads the processes' maps in /proc", allow_module_level=True)

from sweep_helpers import assert_bit_identical, mapped_files  # noqa: E402
from test_shared import GRID, shared_dirs  # noqa: E402


def test_workers_map_the_market_keep_it_between_calls_and_let_it_go_with_it(momentum):
    market = zelvor.Market.synthetic(stocks=30, years=2, seed=21)
    before = shared_dirs()
    first = zelvor.sweep(momentum, market, GRID, backend="processes", n_jobs=2, progress=False)
    (directory,) = shared_dirs() - before
    # Rebuilt in the workers around the shared files, not sent, and kept for the next call.
    assert {Path(f).name for f in mapped_files(str(directory))} == {"close.npy", "high.npy", "low.npy", "open.npy"}
    again = zelvor.sweep(momentum, market, GRID, backend="processes", n_jobs=2, progress=False)
    assert_bit_identical(first.table, again.table)

    # Freed in the caller, its files are deleted; the workers' next call lets go of their maps.
    del market, first, again
    gc.collect()
    assert not directory.exists()
    other = zelvor.Market.synthetic(stocks=30, years=2, seed=22)
    zelvor.sweep(momentum, other, {**GRID, "top": [5, 10, 20]}, backend="processes", n_jobs=2, progress=False)
    assert mapped_files(str(directory)) == set()


def test_a_finished_calls_weights_file_is_let_go_by_the_workers(momentum):
    # 2,088 days x 100 stocks: weights above the size that travels in the tasks go to a file of
    # the call's own, deleted when the call ends; the workers' next call lets go of its map.
    market = zelvor.Market.synthetic(stocks=100, years=8, seed=9)
    daily = momentum(market).reindex(market.dates).ffill().fillna(0.0)
    grid = {"stop_loss": [None, 0.05, 0.1], "take_profit": [None, 0.3]}
    prefix = os.path.join(_shared._shared_root(), _shared._dir_prefix())

    def deleted_weights() -> set[str]:
        return {f for f in mapped_files(prefix) if f.endswith("values.npy (deleted)")}

    earlier = deleted_weights()  # left by other tests in workers this test may not reach
    serial = zelvor.sweep(daily, market, grid, backend="serial", progress=False)
    result = zelvor.sweep(daily, market, grid, backend="processes", n_jobs=2, progress=False)
    assert_bit_identical(serial.table, result.table)
    zelvor.sweep(momentum, market, {**GRID, "top": [5, 10, 20]}, backend="processes", n_jobs=2, progress=False)
    assert deleted_weights() - earlier == set()


def test_frame_parameters_each_get_their_own_weights_in_a_worker(momentum):
    # A 1x1 frame as the look-back, a different one per set: unhashable, so a worker keys the
    # weights it keeps by the frame itself. A task's frames are unpickled anew and freed after
    # it; a key that did not hold its frame would let a later frame take a freed one's id, and
    # its weights.
    market = zelvor.Market.synthetic(stocks=30, years=2, seed=7)

    def by_frame(market, lookback):
        return momentum(market, lookback=int(lookback.iloc[0, 0]))

    sets = [{"lookback": pd.DataFrame({"rows": [rows]})} for rows in range(10, 90, 2)]
    serial = zelvor.sweep(by_frame, market, sets, backend="serial", progress=False)
    workers = zelvor.sweep(by_frame, market, sets, backend="processes", n_jobs=2, progress=False)
    columns = [c for c in serial.table.columns if c != "lookback"]
    assert_bit_identical(serial.table[columns], workers.table[columns])
    assert serial.table["sharpe"].nunique() > 20  # the look-backs give different runs
