"""zelvor.sweep past its time limit and when stopped: hung sets reported, finished rows kept, the
workers and files of the call gone."""

from __future__ import annotations

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import zelvor
from zelvor.datasets import momentum_weights

if not hasattr(zelvor, "backtest"):
    pytest.skip("needs the Python layer (zelvor.Market, zelvor.backtest)", allow_module_level=True)

from sweep_helpers import assert_bit_identical  # noqa: E402

needs_workers = pytest.mark.skipif(
    bool(os.environ.get("ZELVOR_SANITIZED")) or not hasattr(signal, "setitimer"),
    reason="worker processes are not run under the sanitizers; needs POSIX signals",
)
BACKENDS = ["serial", pytest.param("processes", marks=needs_workers)]


def stalling(market, lookback=20, hang="", flag="", deaf=False):
    """Momentum weights; with `hang` it never returns: "sleep" waits, "spin" computes forever.
    `flag` names a file made when it starts hanging; `deaf` blocks the timeout's signal first."""
    if hang:
        if deaf:
            signal.pthread_sigmask(signal.SIG_BLOCK, {signal.SIGALRM})
        if flag:
            Path(flag).touch()
        if hang == "sleep":
            # Long enough for any test to interrupt it; bounded, so a lost interrupt fails the test
            # instead of hanging the suite.
            time.sleep(300)
            raise RuntimeError("a hanging set was never interrupted")
        while hang == "spin":
            pass
    return momentum_weights(market, lookback=lookback)


STATS = ["total_return", "sharpe", "max_drawdown", "trades"]


@pytest.mark.slow
@pytest.mark.parametrize("backend", BACKENDS)
def test_a_set_past_the_timeout_is_reported_and_the_rest_completes(market, backend, momentum):
    sets = [{"lookback": 10}, {"lookback": 15, "hang": "sleep"}, {"lookback": 20, "hang": "spin"}, {"lookback": 25}]
    started = time.monotonic()
    result = zelvor.sweep(stalling, market, sets, backend=backend, n_jobs=2, timeout=2, progress=False)
    assert time.monotonic() - started < 60
    errors = result.table["error"].tolist()
    expected = "TimeoutError: the parameter set did not finish within the timeout of 2 s"
    assert errors == ["", expected, expected, ""]
    clean = zelvor.sweep(momentum, market, {"lookback": [10, 25]}, backend="serial", progress=False)
    # (the failed rows make the integer columns float in one table)
    assert_bit_identical(result.table.loc[[0, 3], STATS].reset_index(drop=True), clean.table[STATS], check_dtype=False)


@pytest.mark.slow
@needs_workers
def test_a_set_the_timeout_cannot_interrupt_has_its_worker_replaced(market, monkeypatch, momentum):
    from zelvor.sweeps import _backends

    monkeypatch.setattr(_backends, "_TASK_GRACE", 1.0)  # the pool waits 2 x 1 + 1 s per one-set task
    sets = [{"lookback": 10}, {"lookback": 15, "hang": "sleep", "deaf": True}, {"lookback": 20}]
    with pytest.warns(RuntimeWarning, match="stopped past its time limit"):
        result = zelvor.sweep(stalling, market, sets, n_jobs=2, timeout=1, progress=False)
    errors = result.table["error"].tolist()
    assert errors[0] == errors[2] == ""
    assert errors[1].startswith("TimeoutError: ") and "worker process was stopped and replaced" in errors[1]
    # The pool works again (its workers were replaced).
    again = zelvor.sweep(momentum, market, {"lookback": [10, 20]}, n_jobs=2, progress=False)
    assert (again.table["error"] == "").all()


@pytest.mark.slow
@pytest.mark.parametrize("backend", BACKENDS)
def test_ctrl_c_keeps_the_finished_rows_on_the_exception(market, backend, tmp_path, monkeypatch, momentum):
    from zelvor.sweeps import _backends

    # Four quick sets, then one hanging set per worker: Ctrl-C once every worker is stuck and the
    # quick sets' rows are in (the progress bar counts them as they come).
    hanging = 1 if backend == "serial" else 2
    received = []
    update = _backends._Progress.update
    monkeypatch.setattr(_backends._Progress, "update", lambda self, n: (received.append(n), update(self, n))[1])
    sets = [{"lookback": lb} for lb in (10, 15, 20, 25)]
    sets += [{"lookback": 30 + i, "hang": "sleep", "flag": str(tmp_path / f"hung{i}")} for i in range(hanging)]

    def press_ctrl_c():
        try:
            deadline = time.monotonic() + 60
            while (len(list(tmp_path.iterdir())) < hanging or sum(received) < 4) and time.monotonic() < deadline:
                time.sleep(0.05)
        finally:  # whatever happened above, the sweep must be interrupted
            signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    threading.Thread(target=press_ctrl_c, daemon=True).start()
    with pytest.raises(KeyboardInterrupt) as caught:
        zelvor.sweep(stalling, market, sets, backend=backend, n_jobs=2, progress=False)
    partial = caught.value.partial
    assert isinstance(partial, zelvor.Sweep) and partial.params == sets
    errors = partial.table["error"].tolist()
    assert (
        errors
        == [""] * 4 + ["interrupted: the sweep ended (KeyboardInterrupt) before this parameter set finished"] * hanging
    )
    assert "4 of" in caught.value.__notes__[-1]
    clean = zelvor.sweep(momentum, market, {"lookback": [10, 15, 20, 25]}, backend="serial", progress=False)
    assert_bit_identical(partial.table.loc[:3, STATS], clean.table[STATS], check_dtype=False)
    assert partial.best("sharpe").params == clean.best("sharpe").params  # the finished rows are usable


class Abort(BaseException):
    """Not a failure of one set (an Exception would be): it ends the call."""


def test_other_exceptions_keep_the_finished_rows_too(market, momentum):
    def failing_hard(market, lookback):
        if lookback == 20:
            raise Abort
        return momentum(market, lookback=lookback)

    with pytest.raises(Abort) as caught:
        zelvor.sweep(failing_hard, market, {"lookback": [10, 15, 20, 25]}, backend="serial", progress=False)
    assert caught.value.partial.table["error"].str.startswith("interrupted: ").tolist() == [False, False, True, True]


@pytest.mark.parametrize(
    ("timeout", "error", "words"),
    [
        (0, ValueError, "positive"),
        (float("nan"), ValueError, "finite"),
        (True, TypeError, "bool"),
        ("5", TypeError, "str"),
    ],
)
def test_bad_timeouts_are_named(market, timeout, error, words, momentum):
    with pytest.raises(error, match=f"timeout.*{words}"):
        zelvor.sweep(momentum, market, {"lookback": [10]}, backend="serial", timeout=timeout, progress=False)


def test_the_callers_alarm_and_handlers_are_left_as_they_were(market, momentum):
    fired = []
    previous = signal.signal(signal.SIGALRM, lambda *_: fired.append(1))
    try:
        signal.setitimer(signal.ITIMER_REAL, 30.0)
        term = signal.getsignal(signal.SIGTERM)
        zelvor.sweep(momentum, market, {"lookback": [10, 15]}, backend="serial", timeout=5, progress=False)
        remaining, _ = signal.setitimer(signal.ITIMER_REAL, 0)
        assert 0 < remaining < 30 and not fired  # the caller's timer still runs, nearly untouched
        assert signal.getsignal(signal.SIGTERM) is term
    finally:
        signal.signal(signal.SIGALRM, previous)


TERM_SCRIPT = textwrap.dedent(
    """
    import os, sys, time
    import zelvor
    from zelvor.sweeps import _backends, _shared

    def slow(market, lookback, pids):
        hangs = lookback >= 20
        open(os.path.join(pids, f"{'hang' if hangs else 'run'}-{os.getpid()}-{lookback}"), "w").close()
        time.sleep(3600 if hangs else 0.01)
        return market.close.iloc[::20] * 0.0 + 0.05

    if __name__ == "__main__":
        pids = sys.argv[1]
        received, update = [], _backends._Progress.update

        def counted(self, n):  # a file once the first four tasks' rows are in
            received.append(n)
            update(self, n)
            if sum(received) == 20:
                open(os.path.join(pids, "rows-20"), "w").close()

        _backends._Progress.update = counted
        market = zelvor.Market.synthetic(stocks=20, years=1, seed=1)
        try:  # 8 tasks of 5 sets: the first four finish, the next two hang
            zelvor.sweep(
                slow, market, {"lookback": list(range(40))}, backend="processes", n_jobs=2, progress=False, pids=pids
            )
        except SystemExit as exc:
            finished = (exc.partial.table["error"] == "").sum()
            print("finished", finished, "of", len(exc.partial), flush=True)
            raise
        print("returned")
    """
)


@pytest.mark.slow
@needs_workers
@pytest.mark.skipif(not Path("/proc/self/stat").exists(), reason="reads the process table from /proc")
def test_sigterm_stops_the_workers_deletes_the_files_and_exits_143(tmp_path):
    from test_failures import _session_members

    from zelvor.sweeps import _shared

    script = tmp_path / "term.py"
    script.write_text(TERM_SCRIPT)
    pids = tmp_path / "pids"
    pids.mkdir()
    proc = subprocess.Popen(
        [sys.executable, str(script), str(pids)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        deadline = time.monotonic() + 120
        while len(list(pids.glob("hang-*"))) < 2 or not (pids / "rows-20").exists():  # both workers stuck
            assert proc.poll() is None, proc.communicate()
            assert time.monotonic() < deadline, "the workers never got stuck"
            time.sleep(0.1)
        os.kill(proc.pid, signal.SIGTERM)  # to the caller alone, as a service manager does
        out, err = proc.communicate(timeout=90)
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
    assert proc.returncode == 128 + signal.SIGTERM, err[-2000:]
    assert out.split() == ["finished", "20", "of", "40"], out
    # Every worker, the pool's helpers included, is gone (allow them a moment to exit).
    deadline = time.monotonic() + 30
    while _session_members(proc.pid) and time.monotonic() < deadline:
        time.sleep(0.2)
    assert _session_members(proc.pid) == []
    import tempfile

    roots = {_shared._shared_root(), tempfile.gettempdir()}
    assert not [p for root in roots for p in Path(root).glob(f"{_shared._dir_prefix(proc.pid)}*")]


@pytest.mark.slow
@needs_workers
def test_dask_interrupts_a_set_past_the_timeout_on_its_thread(market, dask_client):
    sets = [{"lookback": 10}, {"lookback": 20, "hang": "spin"}, {"lookback": 25}]
    result = zelvor.sweep(stalling, market, sets, backend="dask", client=dask_client, timeout=2, progress=False)
    expected = "TimeoutError: the parameter set did not finish within the timeout of 2 s"
    assert result.table["error"].tolist() == ["", expected, ""]
