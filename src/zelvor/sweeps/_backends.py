"""The backends that run a call's parameter sets: serial, threads of this process, loky worker
processes (Dask is in `_dask`), how the sets are cut into tasks, and the progress bar.
"""

from __future__ import annotations

import math
import queue
import sys
import threading
import warnings
from multiprocessing import TimeoutError as TaskTimedOut
from typing import Literal, get_args

from zelvor.sweeps._checks import _SWEEP_EXTRA
from zelvor.sweeps._grid import Params
from zelvor.sweeps._shared import _make_shared_dir, _ship_market, _ship_weights
from zelvor.sweeps._signals import _timeout_error
from zelvor.sweeps._worker import _Job, _Row, _rows, _run_sets, _WorkerState

Backend = Literal["serial", "threads", "processes", "dask"]
BACKENDS: tuple[Backend, ...] = get_args(Backend)


# Parameter sets per task: enough tasks for every worker to get several (so one slow set does not
# leave the other cores idle at the end), as few as that allows, since each task pays a fixed cost
# (a few milliseconds with processes, about 15 with Dask's scheduler, see benchmarks/bench_sweep.py;
# the market and the weights are set up once per worker, not per task), and at most 256 sets, so
# that a dead worker or a progress update is never far away.
_TASKS_PER_WORKER = 4


_MAX_SETS_PER_TASK = 256


# Seconds a task of a call with a timeout may take beyond its sets' limits (to start, to send back).
_TASK_GRACE = 5.0


def _split(n_sets: int, n_workers: int, per_worker: int | None = None) -> list[range]:
    """Consecutive index ranges covering 0..n_sets, several per worker, none above the cap."""
    n_tasks = max(n_workers * (per_worker or _TASKS_PER_WORKER), math.ceil(n_sets / _MAX_SETS_PER_TASK))
    n_tasks = min(n_tasks, n_sets)
    bounds = [round(i * n_sets / n_tasks) for i in range(n_tasks + 1)]
    return [range(bounds[i], bounds[i + 1]) for i in range(n_tasks)]


class _Progress:
    """A tqdm bar on stderr (runs done, runs/s, ETA), or nothing."""

    def __init__(self, total: int, show: bool, forced: bool):
        self._bar = None
        if not show:
            return
        try:
            from tqdm.auto import tqdm
        except ImportError as exc:
            if forced:
                raise ImportError(f"progress='force' needs tqdm: {_SWEEP_EXTRA}") from exc
            return
        self._bar = tqdm(total=total, unit="run", desc="sweep", file=sys.stderr, smoothing=0.1, dynamic_ncols=True)

    def update(self, n: int) -> None:
        if self._bar is not None:
            self._bar.update(n)

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()


def _run_serial(job: _Job, sets: list[Params], progress: _Progress, rows: dict[int, _Row]) -> dict[int, _Row]:
    # A state of its own, not the worker cache: this process must not keep the market afterwards.
    state = _WorkerState.of(job)
    for index, params in enumerate(sets):
        rows[index] = _rows(state, [(index, params)])[0]
        progress.update(1)
    return rows


def _run_threads(
    job: _Job, sets: list[Params], n_workers: int, progress: _Progress, rows: dict[int, _Row]
) -> dict[int, _Row]:
    """Threads of this process, sharing the market in place: no copies, no files, no start-up.

    The engine simulates without the interpreter lock, so runs on different threads use different
    cores; the weights and the prepared inputs of each distinct strategy are made once (one thread
    at a time) and shared. The threads are daemons that take one set at a time: when the call ends
    early (Ctrl-C, an exception that ends it) they start no further set, and one stuck in the
    weights callable does not keep the interpreter from exiting.
    """
    state = _WorkerState.of(job)
    pending: queue.SimpleQueue[int] = queue.SimpleQueue()
    for index in range(len(sets)):
        pending.put(index)
    done: queue.SimpleQueue[tuple[_Row | None, BaseException | None]] = queue.SimpleQueue()
    stop = threading.Event()

    def work() -> None:
        while not stop.is_set():
            try:
                index = pending.get_nowait()
            except queue.Empty:
                return
            try:
                done.put((_rows(state, [(index, sets[index])])[0], None))
            except BaseException as exc:  # noqa: BLE001 - ends the call, in the caller's thread
                done.put((None, exc))
                return

    threads = [threading.Thread(target=work, name=f"zelvor-sweep-{k}", daemon=True) for k in range(n_workers)]
    for thread in threads:
        thread.start()
    try:
        for _ in range(len(sets)):
            while True:
                try:
                    row, exc = done.get(timeout=0.1)  # a short wait, so that Ctrl-C is seen at once
                    break
                except queue.Empty:
                    continue
            if exc is not None:
                raise exc
            assert row is not None
            rows[row[0]] = row
            progress.update(1)
    finally:
        stop.set()
    return rows


def _dead_worker_error(exc: BaseException | None) -> str:
    name = type(exc).__name__ if exc else "TerminatedWorkerError"
    detail = str(exc or "")
    codes = f" ({detail[detail.find('The exit codes') :].strip()})" if "The exit codes" in detail else ""
    return f"{name}: the worker process died running this parameter set, also when it was re-run alone{codes}"


def _run_processes(
    job: _Job, sets: list[Params], n_workers: int, progress: _Progress, rows: dict[int, _Row]
) -> dict[int, _Row]:
    """Loky worker processes; tasks carry the job's handles, the workers map the shared files.

    A worker that dies (killed, out of memory) breaks the whole pool: the tasks it had taken are
    re-run, set by set; a set that kills its worker when run alone is reported as an error. So is
    a task that outlasts the time its sets may take (a set stuck where the timeout cannot
    interrupt it): the pool's workers are stopped and replaced, and a set that does it again
    alone is reported as timed out.
    """
    from joblib import Parallel, delayed
    from joblib.externals.loky.process_executor import TerminatedWorkerError

    def run_round(
        tasks: list[list[int]], pre_dispatch: str
    ) -> tuple[list[list[int]], list[list[int]], Exception | None]:
        """Run tasks (lists of set indices); on a pool failure, (taken, untouched, error)."""
        taken: list[int] = []

        def feed():
            for t, indices in enumerate(tasks):
                taken.append(t)  # joblib pulls a task when it hands it to the pool
                yield delayed(_run_sets)(job, t, [(i, sets[i]) for i in indices])

        parallel = Parallel(
            n_jobs=n_workers,
            backend="loky",
            return_as="generator_unordered",
            batch_size=1,
            pre_dispatch=pre_dispatch,
            max_nbytes="1M",  # large fixed options (a trade_at frame) are still memory-mapped per call
            mmap_mode="r",
            timeout=_task_time_limit(job.timeout, max(map(len, tasks))),
        )
        finished: set[int] = set()
        try:
            for t, done in parallel(feed()):
                finished.add(t)
                for row in done:
                    rows[row[0]] = row
                progress.update(len(done))
        except (TerminatedWorkerError, TaskTimedOut) as exc:  # other pool failures propagate
            pulled = set(taken)
            in_doubt = [tasks[t] for t in sorted(pulled - finished)]
            untouched = [tasks[t] for t in range(len(tasks)) if t not in pulled]
            return in_doubt, untouched, exc
        return [], [], None

    tasks = [list(r) for r in _split(len(sets), n_workers)]
    suspects: list[int] = []
    died: Exception | None = None
    while tasks:
        in_doubt, tasks, exc = run_round(tasks, "2*n_jobs")
        died = exc or died
        suspects.extend(i for indices in in_doubt for i in indices)
    if not suspects:
        return rows
    what = "was stopped past its time limit" if isinstance(died, TaskTimedOut) else "died"
    warnings.warn(
        f"a sweep worker process {what} ({type(died).__name__}); re-running the {len(suspects)} parameter "
        "sets it may have been running",
        RuntimeWarning,
        stacklevel=4,
    )
    # Second pass: the sets in doubt one per task, so a new failure narrows to a few sets; those
    # are then run alone, where a death can only be theirs.
    remaining = [[i] for i in suspects]
    while remaining:
        in_doubt, remaining, exc = run_round(remaining, "n_jobs")
        for indices in in_doubt:
            alone, _, exc_alone = run_round([indices], "n_jobs")
            if alone:
                for i in indices:
                    timed_out = isinstance(exc_alone, TaskTimedOut)
                    rows[i] = (
                        i,
                        (),
                        (),
                        _timeout_error(job.timeout, True) if timed_out else _dead_worker_error(exc_alone),
                    )
                progress.update(len(indices))
    return rows


def _task_time_limit(timeout: float | None, sets_per_task: int) -> float | None:
    """How long the pool waits for a task before it stops its workers: its sets' time limits, twice
    over (a task may wait for another in its worker's queue), and a few seconds to start."""
    return None if timeout is None else 2 * sets_per_task * timeout + _TASK_GRACE


def _shipped_job(job: _Job, call_dirs: list[str]) -> _Job:
    """The job as tasks in other processes carry it: the market and large weights in shared files.

    The market's files are kept for later calls on the same Market; the weights' directory is
    added to `call_dirs`, which the call deletes at its end.
    """

    def directory_for(nbytes: int) -> str:
        call_dirs.append(_make_shared_dir(nbytes))
        return call_dirs[-1]

    market, weights = job.held()
    files = _ship_market(market)  # first: kept for later calls even when the weights fail
    return _Job(
        job.token,
        _ship_weights(weights, directory_for),
        files,
        job.fixed_options,
        job.option_names,
        job.returns,
        job.timeout,
        origin=job.origin,
    )
