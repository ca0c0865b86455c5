"""The Dask backend: tasks on a client's cluster or on a LocalCluster started for the call, with
the market in shared files when every worker can map them and scattered otherwise.
"""

from __future__ import annotations

import itertools
import logging
import shutil
import tempfile
import time
import uuid
import warnings
from collections.abc import Mapping
from concurrent.futures import CancelledError
from contextlib import ExitStack
from typing import TYPE_CHECKING

from zelvor.sweeps._backends import _Progress, _shipped_job, _split
from zelvor.sweeps._grid import Params
from zelvor.sweeps._shared import SharedFilesUnavailable, _FrameFile, _host, _MarketFiles
from zelvor.sweeps._worker import _forget_call_soon, _Job, _Row, _run_sets

if TYPE_CHECKING:  # pragma: no cover - names for the annotations only
    from distributed import Client, Future, LocalCluster

# Dask's round trip per task is the larger cost there (measured: 15 ms against 7 with processes).
_DASK_TASKS_PER_WORKER = 2


# How long a Dask sweep waits while a cluster it started has no worker at all (nannies restart a
# worker that died in a few seconds) before it starts new ones.
_REVIVE_AFTER = 10.0


# How long a Dask sweep waits while its cluster has no worker at all before giving up.
_NO_WORKER_TIMEOUT = 60.0


def _run_dask(
    job: _Job,
    sets: list[Params],
    client: Client | None,
    n_jobs: int,
    progress: _Progress,
    call_dirs: list[str],
    rows: dict[int, _Row],
) -> dict[int, _Row]:
    """Tasks on the client's Dask cluster, or on a LocalCluster of `n_jobs` workers started for the
    call and closed at its end, with its files, however the call ends."""
    with ExitStack() as stack:
        cluster = None
        if client is None:
            from distributed import Client

            cluster = stack.enter_context(_call_cluster(n_jobs, stack))
            client = stack.enter_context(Client(cluster))
        return _run_on_client(job, sets, client, progress, call_dirs, rows, cluster=cluster)


def _call_cluster(n_workers: int, stack: ExitStack) -> LocalCluster:
    """A LocalCluster for one call. Its scheduler, nannies and workers keep their scratch files
    (spill space, lock files) in a directory of the call's own, deleted when the stack closes
    after the cluster: workers stopped by Ctrl-C leave nothing in the temporary directory."""
    from distributed import LocalCluster

    scratch = tempfile.mkdtemp(prefix="zelvor-dask-")
    stack.callback(shutil.rmtree, scratch, ignore_errors=True)
    return LocalCluster(
        n_workers=n_workers,
        threads_per_worker=1,  # one run holds the interpreter lock throughout
        processes=True,
        host="127.0.0.1",  # one machine: nothing listens beyond loopback
        dashboard_address="127.0.0.1:0",  # its HTTP server starts anyway; any free port
        silence_logs=logging.ERROR,
        local_directory=scratch,  # the nannies' and workers'
        scheduler_kwargs={"local_directory": scratch},
    )


def _revive_cluster(cluster: LocalCluster, n_workers: int) -> None:
    """Start new workers in a call's own cluster that has lost all of its own for good (their
    nannies gave up): the dead ones leave `cluster.worker_spec`, new ones under new names join."""
    dead = [name for name in cluster.worker_spec if _nanny_gone(cluster.workers.get(name))]
    for name in dead:
        del cluster.worker_spec[name]
    while len(cluster.worker_spec) < n_workers:
        cluster.worker_spec[f"zelvor-{uuid.uuid4().hex[:8]}"] = cluster.new_spec
    cluster.scale(n_workers)


def _nanny_gone(nanny: object) -> bool:
    status = getattr(getattr(nanny, "status", None), "name", "closed")
    return status in ("closing", "closed", "closing_gracefully", "failed")


# Answers of `_workers_see_files` per (client, its workers, market): a sweep on the same market and
# the same workers asks them only once. A wrong "yes" costs nothing but time: a task that finds no
# files on its worker is run again with the scattered market.
_probes: dict[tuple[str, frozenset[str], str], bool] = {}


_MAX_PROBES = 64


def _probed_workers_see_files(client: Client, nthreads: Mapping[str, int], files_job: _Job) -> bool:
    market = files_job.market
    if not isinstance(market, _MarketFiles):  # a job with the market itself: nothing to map
        return False
    key = (client.id, frozenset(nthreads), market.token)
    answer = _probes.get(key)
    if answer is None:
        answer = _workers_see_files(client, files_job)
        if len(_probes) >= _MAX_PROBES:
            _probes.clear()
        _probes[key] = answer
    return answer


def _workers_see_files(client: Client, files_job: _Job) -> bool:
    """Whether every worker of the client runs on this machine and can map the shared files."""
    frames = [files_job.weights] if isinstance(files_job.weights, _FrameFile) else []
    try:
        answers = client.run(_can_map, files_job.market, frames)
    except Exception:  # a worker that cannot answer cannot be counted on
        return False
    return bool(answers) and all(answers.values())


def _can_map(market: _MarketFiles, frames: list[_FrameFile]) -> bool:
    """In a worker: whether it runs on the caller's machine and can map every shared file."""
    if market.host != _host():
        return False
    try:
        for handle in (market, *frames):
            handle.mapped()
    except SharedFilesUnavailable:
        return False
    return True


def _run_on_client(
    job: _Job,
    sets: list[Params],
    client: Client,
    progress: _Progress,
    call_dirs: list[str],
    rows: dict[int, _Row],
    cluster: LocalCluster | None = None,
) -> dict[int, _Row]:
    """Tasks on the client's workers. When they all run on this machine (always, for a cluster
    the call started) they get the job with handles to the shared files: one copy of the market
    in the machine. Otherwise the whole job is scattered to every worker (a copy in each); a task
    that finds no shared files (a worker that joined later, on another machine) is run again that
    way. A `cluster` the call started is given new workers when it has lost all of its own."""
    from distributed import wait
    from distributed.scheduler import KilledWorker

    try:
        client.wait_for_workers(1, timeout=_NO_WORKER_TIMEOUT)
    except TimeoutError:
        raise RuntimeError(f"the Dask cluster has had no workers for {_NO_WORKER_TIMEOUT:.0f} s") from None
    local = cluster is not None
    nthreads = client.nthreads()
    n_workers = max(1, sum(nthreads.values()))
    files_job = _shipped_job(job, call_dirs)
    payload = [files_job if local or _probed_workers_see_files(client, nthreads, files_job) else job]
    # The job with handles is a few kilobytes and travels in each task; the market itself is
    # scattered to every worker once.
    shared = [] if payload[0] is files_job else [client.scatter(job, broadcast=True, hash=False)]
    pending: dict[Future, list[int]] = {}
    attempt = itertools.count()

    def submit(*tasks: list[int]) -> None:
        """Submit tasks (lists of set indices) in one message to the scheduler: submitted one by
        one, each would reach the worker a few milliseconds after the one before."""
        if not tasks:
            return
        # Scattered data is lost for good when every worker holding it dies: send it again.
        if shared and shared[-1].status != "finished":
            shared.append(client.scatter(payload[0], broadcast=True, hash=False))
        futures = client.map(
            _run_sets,
            [shared[-1] if shared else payload[0]] * len(tasks),
            [0] * len(tasks),
            [[(i, sets[i]) for i in indices] for indices in tasks],
            key=[f"zelvor-sweep-{job.token}-{indices[0]}-{len(indices)}-{next(attempt)}" for indices in tasks],
            pure=False,
            retries=0,
            batch_size=len(tasks),
        )
        pending.update(zip(futures, tasks, strict=True))

    def drain() -> tuple[list[list[int]], list[list[int]], BaseException | None]:
        """Wait for the pending tasks. Returns the tasks whose worker died (the scheduler gave up
        on them), those cancelled because the market was lost with its workers, and an error."""
        killed: list[list[int]] = []
        lost: list[list[int]] = []
        error: BaseException | None = None
        no_workers_since: float | None = None
        revived = 0.0
        while pending:
            try:
                done, _ = wait(list(pending), timeout=2.0, return_when="FIRST_COMPLETED")
            except TimeoutError:
                done = ()
            except CancelledError:  # a task cancelled with its lost input fails the wait itself
                done = [future for future in pending if future.status != "pending"]
            if not done:
                # Every wait is bounded: a cluster that has lost all its workers fails the call.
                now = time.monotonic()
                if client.nthreads():
                    no_workers_since = None
                elif no_workers_since is None:
                    no_workers_since = now
                elif cluster is not None and now - max(no_workers_since, revived) > _REVIVE_AFTER:
                    _revive_cluster(cluster, n_workers)
                    revived = now
                elif now - no_workers_since > _NO_WORKER_TIMEOUT:
                    raise RuntimeError(
                        f"the Dask cluster has had no workers for {_NO_WORKER_TIMEOUT:.0f} s; "
                        f"{sum(len(v) for v in pending.values())} parameter sets were not run"
                    )
                continue
            for future in done:
                indices = pending.pop(future)
                try:
                    _, done_rows = future.result()
                except KilledWorker as exc:
                    killed.append(indices)
                    error = exc
                    continue
                except CancelledError as exc:  # its input (the scattered market) was lost
                    lost.append(indices)
                    error = error or exc
                    continue
                except SharedFilesUnavailable:  # a worker on another machine: send the market itself
                    client.cancel([future])  # the scheduler would keep the failed task while it is referenced
                    lost.append(indices)
                    if payload[0] is not job:
                        payload[0] = job
                        shared.append(client.scatter(job, broadcast=True, hash=False))
                    continue
                for row in done_rows:
                    rows[row[0]] = row
                progress.update(len(done_rows))
        return killed, lost, error

    try:
        tasks = [list(part) for part in _split(len(sets), n_workers, _DASK_TASKS_PER_WORKER)]
        suspects: list[int] = []
        error: BaseException | None = None
        for _ in range(3):  # tasks cancelled with a lost market go again, as they were
            submit(*tasks)
            killed, tasks, failure = drain()
            error = failure or error
            suspects.extend(i for indices in killed for i in indices)
            if not tasks:
                break
        suspects.extend(i for indices in tasks for i in indices)
        if suspects:
            warnings.warn(
                f"Dask workers died running a sweep ({type(error).__name__}); re-running the {len(suspects)} "
                "parameter sets of their tasks one at a time",
                RuntimeWarning,
                stacklevel=5,
            )
        # The scheduler already retried those tasks; a task queued on a dying worker is blamed with
        # the guilty one, so each set runs alone now, where a death can only be its own.
        for i in sorted(suspects):
            for _ in range(2):  # once more if only the market was lost (a death elsewhere)
                submit([i])
                killed, lost, _ = drain()
                if not lost:
                    break
            if killed or lost:
                rows[i] = (i, (), (), "KilledWorker: the worker process died running this parameter set, also alone")
                progress.update(1)
    except BaseException:
        client.cancel(list(pending))
        raise
    finally:
        client.cancel(shared)
        if not local:  # a long-lived cluster must not keep the call's weights and inputs
            try:  # not waited for: the rows are in, and a worker forgets before its next task
                client.run(_forget_call_soon, job.token, wait=False)
            except Exception:  # a worker gone meanwhile has nothing left to forget
                pass
    return rows
