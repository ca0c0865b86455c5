"""zelvor.sweep when workers die or the user presses Ctrl-C: reported, cleaned up, never hanging."""

from __future__ import annotations

import faulthandler
import os
import signal
import subprocess
import sys
import textwrap
import time
import warnings
from pathlib import Path

import pytest

import zelvor
from zelvor.datasets import momentum_weights

if not hasattr(zelvor, "backtest"):
    pytest.skip("needs the Python layer (zelvor.Market, zelvor.backtest)", allow_module_level=True)
pytest.importorskip("joblib")
if os.environ.get("ZELVOR_SANITIZED"):
    pytest.skip("worker processes are not run under the sanitizers", allow_module_level=True)

from sweep_helpers import assert_bit_identical  # noqa: E402


@pytest.fixture(autouse=True)
def deadline():
    """A hung test dumps its threads and ends the run instead of waiting forever."""
    faulthandler.dump_traceback_later(240, exit=True)
    yield
    faulthandler.cancel_dump_traceback_later()


def dying(market, lookback=20, die=False, parent=0, once=""):
    """Momentum weights; kills its own worker process when `die` (once only when `once` names a file)."""
    if die and os.getpid() != parent:
        if not once or not os.path.exists(once):
            if once:
                Path(once).touch()
            os.kill(os.getpid(), signal.SIGKILL)
    return momentum_weights(market, lookback=lookback)


@pytest.mark.slow
def test_a_set_that_kills_its_worker_is_reported_and_the_rest_completes(market):
    sets = [{"lookback": lb, "die": lb == 25} for lb in range(5, 65, 5)]
    with pytest.warns(RuntimeWarning, match="worker process died"):
        result = zelvor.sweep(dying, market, sets, n_jobs=2, backend="processes", progress=False, parent=os.getpid())
    errors = result.table["error"]
    assert errors[4].startswith("TerminatedWorkerError: ") and "SIGKILL" in errors[4]
    assert (errors.drop(index=4) == "").all()
    clean = [{"lookback": s["lookback"]} for s in sets]
    expected = zelvor.sweep(dying, market, clean, backend="serial", progress=False)
    # (dsr is a figure of the whole sweep, which counts the failed set out: not compared)
    stats = [c for c in expected.table.columns if c not in ("lookback", "error", "dsr")]
    # (the failed row makes the integer columns float in one table)
    assert_bit_identical(result.table.drop(index=4)[stats], expected.table.drop(index=4)[stats], check_dtype=False)


@pytest.mark.slow
def test_a_worker_killed_once_has_its_sets_rerun(market, tmp_path):
    grid = {"lookback": list(range(5, 45, 5)), "die": [True]}
    with pytest.warns(RuntimeWarning, match="re-running"):
        result = zelvor.sweep(
            dying,
            market,
            grid,
            backend="processes",
            n_jobs=2,
            progress=False,
            parent=os.getpid(),
            once=str(tmp_path / "died"),
        )
    assert (tmp_path / "died").exists()
    assert (result.table["error"] == "").all()
    expected = zelvor.sweep(dying, market, grid, backend="serial", progress=False, parent=os.getpid())
    assert_bit_identical(result.table, expected.table)


SCRIPT = textwrap.dedent(
    """
    import os, signal, sys, time
    import zelvor

    # Ctrl-C as a terminal's foreground job gets it, whatever the launcher left: a job started in
    # the background by a non-interactive shell inherits SIGINT ignored.
    signal.signal(signal.SIGINT, signal.default_int_handler)

    def slow(market, lookback, pids):
        open(os.path.join(pids, str(os.getpid())), "w").close()
        time.sleep(0.3)
        return market.close.iloc[::20] * 0.0 + 0.05

    if __name__ == "__main__":  # Dask's worker processes start by importing this file
        backend, pids = sys.argv[1], sys.argv[2]
        market = zelvor.Market.synthetic(stocks=20, years=1, seed=1)
        grid = {"lookback": list(range(200))}
        zelvor.sweep(slow, market, grid, n_jobs=2, backend=backend, progress=False, pids=pids)
        print("finished")
    """
)


def _session_members(session: int) -> list[int]:
    members = []
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            fields = (entry / "stat").read_text().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == session and fields[0] != "Z":  # fields: state, ppid, pgrp, session
            members.append(int(entry.name))
    return members


@pytest.mark.slow
@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads the process table from /proc")
@pytest.mark.parametrize(
    ("backend", "target"),
    [("processes", "group"), ("processes", "parent"), pytest.param("dask", "group", id="dask-group")],
)
def test_ctrl_c_stops_the_workers_and_leaves_no_process(tmp_path, backend, target):
    if backend == "dask":
        pytest.importorskip("distributed")
    script = tmp_path / "ctrl_c.py"
    script.write_text(SCRIPT)
    pids = tmp_path / "pids"
    pids.mkdir()
    temp = tmp_path / "temp"  # the child's temporary directory, checked for leftovers at the end
    temp.mkdir()
    proc = subprocess.Popen(
        [sys.executable, str(script), backend, str(pids)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,  # its own session, as a terminal's foreground job would be
        env={**os.environ, "TMPDIR": str(temp)},
    )
    try:
        deadline = time.monotonic() + 120
        while not any(int(p.name) != proc.pid for p in pids.iterdir()):
            assert proc.poll() is None, proc.communicate()
            assert time.monotonic() < deadline, "the workers never started"
            time.sleep(0.1)
        workers = {int(p.name) for p in pids.iterdir()}
        if target == "group":  # what a terminal's Ctrl-C does
            os.killpg(proc.pid, signal.SIGINT)
        else:
            os.kill(proc.pid, signal.SIGINT)
        out, err = proc.communicate(timeout=90)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert "finished" not in out, err[-2000:]
    assert proc.returncode != 0 and "KeyboardInterrupt" in err, err[-2000:]
    # Every worker, the pool's helpers included, is gone (allow them a moment to exit).
    deadline = time.monotonic() + 30
    while _session_members(proc.pid) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert _session_members(proc.pid) == []
    assert not [pid for pid in workers if Path(f"/proc/{pid}").exists() and _session_members(proc.pid)]
    # Nor is any of its shared files (the market's, written for its workers).
    import tempfile

    from zelvor.sweeps import _shared

    roots = {_shared._shared_root(), tempfile.gettempdir(), str(temp)}
    assert not [p for root in roots for p in Path(root).glob(f"{_shared._dir_prefix(proc.pid)}*")]
    # Nor the scratch files of a Dask cluster's workers (their lock files, spill space).
    assert not [p for p in temp.rglob("*") if "dask" in p.name], sorted(temp.rglob("*"))


def slow_or_dying(market, lookback=20, die=False, sleep=0.0, parent=0):
    time.sleep(sleep)
    return dying(market, lookback=lookback, die=die, parent=parent)


@pytest.mark.slow
def test_dask_reports_the_sets_that_kill_their_workers(market):
    distributed = pytest.importorskip("distributed")
    import dask

    # No retries by the scheduler, so the test sees the split and the report after few deaths.
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, host="127.0.0.1", dashboard_address="127.0.0.1:0"
        ) as cluster:
            with distributed.Client(cluster) as client:
                # One set outlasts the call's 2-second waits; two kill their workers, so both
                # workers die and the scattered market is lost with them: it is sent again.
                sets = [
                    {"lookback": 10, "sleep": 2.5},
                    *({"lookback": lb, "die": lb in (20, 35)} for lb in range(15, 45, 5)),
                ]
                with pytest.warns(RuntimeWarning, match="one at a time"):
                    result = zelvor.sweep(
                        slow_or_dying, market, sets, backend="dask", client=client, progress=False, parent=os.getpid()
                    )
    errors = result.table["error"].tolist()
    assert [i for i, e in enumerate(errors) if e] == [2, 5], errors
    assert all(errors[i].startswith("KilledWorker: ") for i in (2, 5))


@pytest.mark.slow
def test_dask_without_workers_fails_instead_of_waiting(market, monkeypatch, momentum):
    distributed = pytest.importorskip("distributed")
    from zelvor.sweeps import _dask

    monkeypatch.setattr(_dask, "_NO_WORKER_TIMEOUT", 1.0)
    with distributed.LocalCluster(n_workers=0, host="127.0.0.1", dashboard_address="127.0.0.1:0") as cluster:
        with distributed.Client(cluster) as client:
            started = time.monotonic()
            with pytest.raises(RuntimeError, match="no workers") as caught:
                zelvor.sweep(momentum, market, {"stop_loss": [0.1]}, backend="dask", client=client, progress=False)
            assert time.monotonic() - started < 30
    # The call's table comes with the error, every set marked as not run.
    assert caught.value.partial.table["error"][0].startswith("interrupted: the sweep ended (RuntimeError)")


def closing_its_worker(market, lookback=20, once=""):
    """Momentum weights; the first time (no file `once` yet) it closes its worker and the worker's
    nanny, which then does not start another: the cluster has lost that worker for good."""
    if once and not os.path.exists(once):
        import distributed

        Path(once).touch()
        worker = distributed.get_worker()
        worker.loop.add_callback(worker.close, nanny=True, reason="closed by a test")
        time.sleep(30)  # the worker goes away under this set
    return momentum_weights(market, lookback=lookback)


@pytest.mark.slow
def test_dask_cluster_of_the_call_gets_new_workers_when_it_has_lost_all(market, monkeypatch, tmp_path, momentum):
    pytest.importorskip("distributed")
    from zelvor.sweeps import _dask

    monkeypatch.setattr(_dask, "_REVIVE_AFTER", 1.0, raising=False)
    monkeypatch.setattr(_dask, "_NO_WORKER_TIMEOUT", 30.0)  # without new workers: fail, not hang
    grid = {"lookback": [10, 20, 30], "once": [str(tmp_path / "closed")]}
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", RuntimeWarning)  # the set may be blamed once, then re-run
        result = zelvor.sweep(closing_its_worker, market, grid, backend="dask", n_jobs=1, progress=False)
    assert (tmp_path / "closed").exists()
    assert result.table["error"].tolist() == ["", "", ""]
    expected = zelvor.sweep(momentum, market, {"lookback": [10, 20, 30]}, backend="serial", progress=False)
    assert_bit_identical(result.table.drop(columns="once"), expected.table)
