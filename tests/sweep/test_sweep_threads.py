"""`zelvor.sweep(..., backend="threads")`: the grid on threads of this process, sharing the market."""

from __future__ import annotations

import threading

import pytest

import zelvor

if not hasattr(zelvor, "sweep"):
    pytest.skip("needs zelvor.sweep", allow_module_level=True)

from sweep_helpers import assert_bit_identical  # noqa: E402

GRID = {"lookback": [10, 40], "stop_loss": [None, 0.05, -1.0], "take_profit": [None, 0.2]}


@pytest.mark.parametrize("n_jobs", [1, 2, 4])
def test_threads_table_equals_the_serial_one_bit_for_bit(market, n_jobs, momentum):
    # stop_loss=-1.0 is refused by the options check: those rows carry the error, in grid order.
    serial = zelvor.sweep(momentum, market, GRID, backend="serial", progress=False)
    threads = zelvor.sweep(momentum, market, GRID, backend="threads", n_jobs=n_jobs, progress=False)
    assert_bit_identical(serial.table, threads.table)
    assert (threads.table["error"] != "").sum() == 4


def test_threads_share_the_market_and_each_strategys_inputs(market, momentum):
    # The weights of each look-back are computed once for the whole call, whatever thread asks.
    calls: list[int] = []
    lock = threading.Lock()

    def counted(m, lookback):
        assert m is market  # the caller's own Market: no copy, no files
        with lock:
            calls.append(lookback)
        return momentum(m, lookback=lookback)

    grid = {"lookback": [10, 20, 40], "stop_loss": [None, 0.03, 0.05, 0.1]}
    result = zelvor.sweep(counted, market, grid, backend="threads", n_jobs=2, progress=False)
    assert sorted(calls) == [10, 20, 40]
    assert (result.table["error"] == "").all()
