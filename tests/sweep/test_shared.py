"""zelvor.sweep's shared files: the market written once per Market, reused, never left behind."""

from __future__ import annotations

import gc
import os
import pickle
import sys
import time
from pathlib import Path

import pandas as pd
import pytest

import zelvor
from zelvor.sweeps import _backends, _dask, _shared, _worker

if not hasattr(zelvor, "backtest"):
    pytest.skip("needs the Python layer (zelvor.Market, zelvor.backtest)", allow_module_level=True)
pytest.importorskip("joblib")
if os.environ.get("ZELVOR_SANITIZED"):
    pytest.skip("worker processes are not run under the sanitizers", allow_module_level=True)

from sweep_helpers import assert_bit_identical, mapped_files  # noqa: E402

GRID = {"stop_loss": [None, 0.05], "take_profit": [None, 0.2], "lookback": [10, 40]}


def shared_dirs() -> set[Path]:
    """This process's sweep directories, wherever they were made."""
    import tempfile

    roots = {_shared._shared_root(), tempfile.gettempdir()}
    return {p for root in roots for p in Path(root).glob(f"{_shared._dir_prefix()}*")}


def file_stamps(directory: Path) -> dict[str, int]:
    return {p.name: p.stat().st_mtime_ns for p in directory.iterdir()}


def wait_until(condition, seconds: float = 60.0) -> bool:
    # Returns as soon as the condition holds; the collector runs each round, since a Dask future
    # still referenced from a reference cycle is released only when it does.
    deadline = time.monotonic() + seconds
    while not condition() and time.monotonic() < deadline:
        gc.collect()
        time.sleep(0.1)
    return condition()


@pytest.mark.slow
def test_the_market_is_written_once_and_deleted_with_it(momentum):
    market = zelvor.Market.synthetic(stocks=30, years=2, seed=3)
    before = shared_dirs()
    serial = zelvor.sweep(momentum, market, GRID, backend="serial", progress=False)
    assert not shared_dirs() - before  # one process: nothing to share

    first = zelvor.sweep(momentum, market, GRID, backend="processes", n_jobs=2, progress=False)
    new = shared_dirs() - before
    assert len(new) == 1
    (directory,) = new
    stamps = file_stamps(directory)
    # The four distinct price matrices of the synthetic market, nothing else.
    assert sorted(stamps) == ["close.npy", "high.npy", "low.npy", "open.npy"]

    time.sleep(0.05)  # a rewrite would show in the modification times
    second = zelvor.sweep(momentum, market, GRID, backend="processes", n_jobs=2, progress=False)
    assert shared_dirs() - before == {directory}
    assert file_stamps(directory) == stamps
    for result in (first, second):
        assert_bit_identical(serial.table, result.table)

    del market, first, second, serial, result
    gc.collect()
    assert not directory.exists()
    assert not shared_dirs() - before


@pytest.mark.parametrize(
    ("fields", "files"),
    [
        ({}, ["close.npy"]),  # open, high and low filled from close
        ({"open": "high", "high": "high", "low": "low"}, ["close.npy", "low.npy", "open.npy"]),  # open is high
    ],
)
def test_shared_matrices_are_written_once_and_rebuilt_as_given(fields, files, momentum):
    full = zelvor.Market.synthetic(stocks=20, years=1, seed=5)
    market = zelvor.Market(close=full.close, **{name: getattr(full, source) for name, source in fields.items()})
    handle = _shared._ship_market(market)
    assert sorted(p.name for p in Path(handle.directory).iterdir()) == files
    rebuilt = [handle.open(), pickle.loads(pickle.dumps(_worker._Job("t", None, market, {}, frozenset()))).market]
    for copy in rebuilt:
        for name in ("close", "open", "high", "low"):
            pd.testing.assert_frame_equal(getattr(copy, name), getattr(market, name))
    serial = zelvor.sweep(momentum, market, GRID, backend="serial", progress=False)
    result = zelvor.sweep(momentum, market, GRID, backend="processes", n_jobs=2, progress=False)
    assert_bit_identical(serial.table, result.table)


@pytest.mark.slow
@pytest.mark.parametrize("weights_kind", ["daily frame", "int frame"])
def test_large_weights_frames_travel_once_and_are_deleted_after_the_call(weights_kind, momentum):
    # 2,088 days x 100 stocks of float64 = 1.7 MB: above the size that travels inside the tasks.
    market = zelvor.Market.synthetic(stocks=100, years=8, seed=9)
    monthly = momentum(market).reindex(market.dates).ffill().fillna(0.0)
    weights = monthly if weights_kind == "daily frame" else (monthly * 20).astype("int64")
    assert weights.size * 8 > _shared._INLINE_WEIGHTS_BYTES
    grid = {"stop_loss": [None, 0.05, 0.1], "take_profit": [None, 0.3]}
    serial = zelvor.sweep(weights, market, grid, backend="serial", progress=False)
    before = shared_dirs()
    result = zelvor.sweep(weights, market, grid, backend="processes", n_jobs=2, progress=False)
    assert_bit_identical(serial.table, result.table)
    # Only the market's files stay (the weights' directory went with the call).
    assert len(shared_dirs() - before) <= 1
    assert all(sorted(p.name for p in d.iterdir()) != ["values.npy"] for d in shared_dirs())


def test_alternating_markets_never_mix(tmp_path, momentum):
    """Workers keep the last markets mapped; each call must still run on its own market."""
    markets = [zelvor.Market.synthetic(stocks=25, years=2, seed=seed) for seed in (1, 2, 3)]
    expected = [zelvor.sweep(momentum, m, GRID, backend="serial", progress=False) for m in markets]
    for i in (0, 1, 2, 0, 2, 1):
        result = zelvor.sweep(momentum, markets[i], GRID, backend="processes", n_jobs=2, progress=False)
        assert_bit_identical(expected[i].table, result.table)


def test_weights_are_computed_once_per_worker_and_call(tmp_path, momentum):
    """With the call's state kept between tasks, each worker computes a look-back's weights once."""
    market = zelvor.Market.synthetic(stocks=30, years=2, seed=4)
    log = tmp_path / "calls"
    log.mkdir()

    def counted(market, lookback, log=str(log)):
        Path(log, f"{os.getpid()}-{lookback}-{time.monotonic_ns()}").touch()
        return momentum(market, lookback=lookback)

    grid = {"lookback": [10, 40], "stop_loss": [None, 0.02, 0.05, 0.1, 0.2], "take_profit": [None, 0.1, 0.3]}
    result = zelvor.sweep(counted, market, grid, backend="processes", n_jobs=2, progress=False)
    assert (result.table["error"] == "").all()
    calls = [name.rsplit("-", 1)[0] for name in os.listdir(log)]
    assert len(_backends._split(len(result), 2)) > 4  # more tasks than (workers x look-backs)
    assert sorted(set(calls)) == sorted(calls)  # no (worker, look-back) pair twice


needs_proc = pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the workers' maps in /proc")


def deleted_weights() -> set[str]:
    """The deleted weights files of this process's sweeps that other processes still map."""
    prefix = os.path.join(_shared._shared_root(), _shared._dir_prefix())
    return {f for f in mapped_files(prefix) if f.endswith("values.npy (deleted)")}


@pytest.mark.slow
@needs_proc
def test_dask_workers_on_this_machine_map_the_files_and_forget_the_call(dask_client, momentum):
    # 2,088 days x 100 stocks of daily weights: a file of the call's own, deleted when it ends.
    market = zelvor.Market.synthetic(stocks=100, years=8, seed=8)
    daily = momentum(market).reindex(market.dates).ffill().fillna(0.0)
    grid = {"stop_loss": [None, 0.05], "take_profit": [None, 0.2]}
    serial_daily = zelvor.sweep(daily, market, grid, backend="serial", progress=False)
    earlier, before = deleted_weights(), shared_dirs()
    result = zelvor.sweep(daily, market, grid, backend="dask", client=dask_client, progress=False)
    assert_bit_identical(serial_daily.table, result.table)
    (directory,) = shared_dirs() - before  # the market's; the weights' went with the call
    # The call's state (its weights) is dropped after the call returns, without the call waiting for it.
    assert wait_until(lambda: not deleted_weights() - earlier)
    assert mapped_files(str(directory))  # the market was mapped, not sent
    serial = zelvor.sweep(momentum, market, GRID, backend="serial", progress=False)
    # A second sweep on the same market and workers does not ask them again, and still maps the files.
    asked = []
    probe = _dask._workers_see_files
    try:
        _dask._workers_see_files = lambda client, job: asked.append(job) or probe(client, job)
        again = zelvor.sweep(momentum, market, GRID, backend="dask", client=dask_client, progress=False)
    finally:
        _dask._workers_see_files = probe
    assert asked == []
    assert_bit_identical(serial.table, again.table)


@pytest.mark.slow
@needs_proc
@pytest.mark.parametrize("case", ["probe says no", "worker on another host"])
def test_dask_workers_without_the_files_get_the_market_itself(dask_client, monkeypatch, case, momentum):
    market = zelvor.Market.synthetic(stocks=30, years=2, seed=12)
    serial = zelvor.sweep(momentum, market, GRID, backend="serial", progress=False)
    if case == "probe says no":
        monkeypatch.setattr(_dask, "_workers_see_files", lambda client, job: False)
    else:
        # The files claim another machine, as they would to a worker that joined later elsewhere,
        # and the probe saw none of it: every task must fail over to the scattered market.
        monkeypatch.setattr(_dask, "_workers_see_files", lambda client, job: True)
        monkeypatch.setattr(_shared, "_host_id", "elsewhere/0")
    result = zelvor.sweep(momentum, market, GRID, backend="dask", client=dask_client, progress=False)
    assert_bit_identical(serial.table, result.table)
    assert mapped_files(_shared._shipped[market].directory) == set()  # never mapped
    assert wait_until(lambda: not dask_client.who_has())


def test_directories_of_killed_processes_are_deleted_by_the_next_sweep(tmp_path):
    import subprocess
    import sys

    dead = subprocess.run([sys.executable, "-c", "import os; print(os.getpid())"], capture_output=True, text=True)
    root = Path(_shared._shared_root())
    orphan = root / f"{_shared._dir_prefix(int(dead.stdout))}x1"
    alive = root / f"{_shared._dir_prefix(os.getppid())}x2"  # its owner still runs: kept
    for directory in (orphan, alive):
        directory.mkdir()
        (directory / "close.npy").write_bytes(b"0")
    try:
        market = zelvor.Market.synthetic(stocks=10, years=1, seed=13)
        _shared._ship_market(market)
        assert not orphan.exists()
        assert alive.exists()
    finally:
        import shutil

        for directory in (orphan, alive):
            shutil.rmtree(directory, ignore_errors=True)
