"""The entry point: `sweep` checks its arguments, runs every set on the chosen backend and builds the `Sweep`;
whatever ends the call, the rows finished so far are kept.
"""

from __future__ import annotations

import importlib.util
import os
import time
import uuid
from typing import TYPE_CHECKING, Any, Literal

import pandas as pd

from zelvor.market import Market
from zelvor.sweeps import _returns
from zelvor.sweeps._backends import (
    BACKENDS,
    Backend,
    _Progress,
    _run_processes,
    _run_serial,
    _run_threads,
    _shipped_job,
)
from zelvor.sweeps._checks import (
    _cap_workers,
    _check_client,
    _check_progress,
    _check_timeout,
    _require,
    _resolve_n_jobs,
)
from zelvor.sweeps._dask import _run_dask
from zelvor.sweeps._grid import Grid, Params, _backtest_option_names, _check_names, _expand_grid
from zelvor.sweeps._result import Sweep
from zelvor.sweeps._shared import Weights, _remove_dir
from zelvor.sweeps._signals import _sigterm_as_exit
from zelvor.sweeps._table import _build_table
from zelvor.sweeps._worker import _forget_call, _Job, _Row

if TYPE_CHECKING:  # pragma: no cover - names for the annotations only
    from distributed import Client


def _unfinished_error(exc: BaseException) -> str:
    return f"interrupted: the sweep ended ({type(exc).__name__}) before this parameter set finished"


def _keep_partial(exc: BaseException, partial: Sweep) -> None:
    """Attach the rows finished before `exc` ended the call to it, as `exc.partial`."""
    try:
        exc.partial = partial  # type: ignore[attr-defined]
    except AttributeError:  # pragma: no cover - an exception type with __slots__
        return
    done = int((~partial.table["error"].str.startswith("interrupted: ")).sum())
    exc.add_note(
        f"zelvor.sweep: {done} of {len(partial)} parameter sets finished before the call ended; "
        "their rows are in this exception's `partial` (a Sweep)"
    )


def sweep(
    weights: Weights,
    market: Market,
    grid: Grid,
    n_jobs: int = -1,
    backend: Backend | None = None,
    client: Client | None = None,
    progress: bool | Literal["force"] = True,
    returns: Literal["float64", "float32"] | None = "float64",
    timeout: float | None = None,
    **fixed_options: Any,
) -> Sweep:
    """Backtest every parameter set of `grid` on one market; one row of statistics per set.

    Parameters
    ----------
    weights : DataFrame or callable
        Target weights (as `zelvor.backtest` takes), or a callable
        ``weights(market, **params) -> DataFrame`` for a strategy with parameters of its own
        (look-back, names held). The callable is called once per distinct set of its own
        parameters (told apart by type and value: ``5`` and ``5.0`` are two sets) in each worker
        process during a call, and must depend on nothing else.
    market : zelvor.Market
        The market every run uses.
    grid : dict of lists or list of dicts
        A dict of lists (every combination, in the dict's order, the last key varying fastest)
        or a list of dicts (the sets as given; a key missing from a set takes the default).
        Keys that are options of `zelvor.backtest` go to it; the others go to `weights`.
    n_jobs : int, default -1
        Worker threads or processes (-1: one per core), at most one per core and one per
        parameter set. Ignored by "serial" and when a Dask `client` is given (its workers decide).
    backend : {"threads", "serial", "processes", "dask"}, optional
        None (the default): "threads", or with a `timeout` "processes" ("serial" without
        joblib), since a set stuck on a thread cannot be stopped. "threads" (threads of this
        process sharing the market in place: the engine runs without the interpreter lock, so
        they use every core with no start-up and no copy; the weights callable runs on one
        thread at a time), "serial" (this process, one set after another),
        "processes" (loky worker processes on this machine: for a weights callable heavy in
        Python, which threads would serialise) or "dask" (`client`, or a `LocalCluster` of
        `n_jobs` processes started and closed for the call). "processes" and "dask" need
        ``pip install 'zelvor[sweep]'``.
    client : distributed.Client, optional
        The Dask cluster to run on (``backend="dask"`` only).
    progress : bool or "force", default True
        True shows a bar on stderr (runs done, runs/s, ETA) when stderr is a terminal; "force"
        shows it anyway; False never.
    returns : {"float64", "float32"} or None, default "float64"
        Keep each set's daily returns in `Sweep.returns` (dates x sets) in this dtype, for
        `Sweep.overfitting` and `Sweep.spa`: "float64" (8 bytes a day and set, 100 MB for
        10,000 sets over 5 years), "float32" (half that) or None (not kept).
    timeout : float, optional
        Seconds one parameter set (its weights and its run) may take; None (the default) is no
        limit. A set past it is stopped and reported in `error` as ``TimeoutError: ...``, and the
        sweep goes on. Python code is interrupted wherever it is, a sleep or a wait too. With
        "processes", a set stuck where it cannot be interrupted (inside a C extension, or with
        signals blocked) has its worker process stopped and replaced when its task outlasts
        twice its sets' limits. On Dask (tasks on threads) only code that comes back to the
        interpreter is interrupted: a set stuck in a sleep, a wait or a C call is waited for.
    **fixed_options
        Options of `zelvor.backtest` (or, for a callable `weights`, parameters of it) that every
        run gets.

    Returns
    -------
    Sweep
        The table (parameters, every field of `Report.stats()`, `error`) in grid order, the
        same bit for bit whatever the backend and `n_jobs`.

    Raises
    ------
    KeyboardInterrupt, SystemExit, or any exception that ends the call
        Ctrl-C (SIGINT) stops the workers, deletes the call's files and raises KeyboardInterrupt;
        SIGTERM does the same and raises ``SystemExit(143)`` (in the main thread, where SIGTERM
        has its default action, for the call's duration only). Whatever ends the call, the rows
        finished so far are kept: the exception's ``partial`` is a `Sweep` of every set, those
        not finished marked ``interrupted: ...`` in `error`. Sets of a task still running on a
        worker when the call ended count as not finished.

    Notes
    -----
    A set whose run raises records the exception's type and message in `error`, and the sweep
    goes on. With "processes", a worker that dies (killed, out of memory) has its sets re-run (a
    warning says so); a set that kills its worker again, run alone, is reported in `error`. With
    "dask" the scheduler retries a task whose worker died, then the sets are run one by one. A
    cluster the call started keeps its scratch files in a directory of the call's own (deleted
    however the call ends) and gets new workers when it has lost all of its own for 10 s; the
    call fails if a `client`'s cluster has had no worker for a minute.

    Shared data: at a market's first sweep on worker processes its price matrices are written once
    to memory-mapped files (in /dev/shm when writable, else the temporary directory), which every
    later sweep on the same `Market` reuses; they are deleted when the Market is freed (or at
    exit). The Market is taken as immutable, as `Market` itself does: do not modify its frames.
    A float64 weights frame over 1 MB goes the same way, for the call only. Each worker maps the
    files once and keeps the last two markets mapped while it lives (loky workers exit after 5
    idle minutes; a worker drops a market whose files are gone at its next task); it computes and
    validates the weights once per call. Dask workers on this machine map the same files (one
    copy of the market in the machine); when some worker cannot (another machine), the market is
    scattered to every worker instead, and a task that lands on a worker without the files (one
    that joined later, elsewhere) is run again that way. At the end of a call on a given
    `client` its workers drop the call's weights and inputs.

    Examples
    --------
    >>> import zelvor
    >>> market = zelvor.Market.synthetic(stocks=20, years=2, seed=1)
    >>> def momentum(market, lookback=20):
    ...     score = market.close.pct_change(lookback, fill_method=None).iloc[::21]
    ...     return (score.rank(axis=1, ascending=False) <= 5).astype(float) / 5
    >>> result = zelvor.sweep(momentum, market, {"lookback": [20, 60], "stop_loss": [None, 0.1]},
    ...                       backend="serial", progress=False, timeout=60)
    >>> result.table[["lookback", "stop_loss", "error"]].shape
    (4, 3)
    >>> try:
    ...     result = zelvor.sweep(momentum, market, {"lookback": range(5, 200)}, progress=False)
    ... except KeyboardInterrupt as stopped:  # Ctrl-C: keep what finished
    ...     result = stopped.partial
    """
    if backend is None:
        # Threads unless a set may need stopping: a thread stuck in a set cannot be stopped.
        backend = "threads"
        if timeout is not None:
            backend = "processes" if importlib.util.find_spec("joblib") is not None else "serial"
    if not isinstance(backend, str):
        raise TypeError(f"backend must be one of {', '.join(map(repr, BACKENDS))}, got {type(backend).__name__}")
    if backend not in BACKENDS:
        raise ValueError(f"backend must be one of {', '.join(map(repr, BACKENDS))}, got {backend!r}")
    workers = _resolve_n_jobs(n_jobs)
    _check_client(client, backend)
    show_progress = _check_progress(progress)
    returns_dtype = _returns.check_dtype(returns)
    timeout = _check_timeout(timeout)
    if not isinstance(market, Market):
        raise TypeError(f"market must be a zelvor.Market, got {type(market).__name__}")
    if not (callable(weights) or isinstance(weights, pd.DataFrame)):
        raise TypeError(
            f"weights must be a DataFrame or a callable weights(market, **params), got {type(weights).__name__}"
        )
    keys, sets = _expand_grid(grid)
    workers = _cap_workers(workers, len(sets))

    option_names = frozenset(_backtest_option_names())
    _check_names(keys, sets, fixed_options, weights, option_names)
    if backend == "processes":
        _require("joblib", backend)
    elif backend == "dask":
        _require("distributed", backend)

    job = _Job(
        token=uuid.uuid4().hex,
        weights=weights,
        market=market,
        fixed_options=dict(fixed_options),
        option_names=option_names,
        returns=returns_dtype,
        timeout=timeout,
    )
    started = time.perf_counter()
    rows: dict[int, _Row] = {}  # filled as sets finish: what an interrupted call still returns

    def result(unfinished: str = "") -> Sweep:
        for index in range(len(sets)):
            rows.setdefault(index, (index, (), (), unfinished))
        kept, moments = _returns.collect(rows, len(sets), market.dates, returns_dtype)
        table = _build_table(keys, sets, rows)
        if len(table.columns) > len(keys) + 1:  # some set ran: its figures, then the deflated Sharpe
            table.insert(len(table.columns) - 1, "dsr", _returns.deflated_column(moments))
        return Sweep(
            table=table,
            params=sets,
            parameter_names=keys,
            seconds=time.perf_counter() - started,
            _job=job,
            returns=kept,
        )

    try:
        with _sigterm_as_exit():
            _run_backend(job, sets, backend, workers, client, show_progress, progress == "force", rows)
    except BaseException as exc:
        _keep_partial(exc, result(_unfinished_error(exc)))
        raise
    return result()


def _run_backend(
    job: _Job,
    sets: list[Params],
    backend: str,
    workers: int,
    client: Client | None,
    show_progress: bool,
    forced: bool,
    rows: dict[int, _Row],
) -> None:
    """Run every set on the backend into `rows`; whatever ends the call, its workers are stopped
    and its own files deleted."""
    bar = _Progress(len(sets), show_progress, forced=forced)
    call_dirs: list[str] = []  # shared files of this call alone (large weights)
    try:
        if backend == "serial":
            _run_serial(job, sets, bar, rows)
        elif backend == "threads":
            _run_threads(job, sets, workers, bar, rows)
        elif backend == "processes":
            # One worker: joblib runs the tasks here, on the caller's own objects.
            tasks_job = _shipped_job(job, call_dirs) if workers > 1 else job
            _run_processes(tasks_job, sets, workers, bar, rows)
        else:
            _run_dask(job, sets, client, workers, bar, call_dirs, rows)
    finally:
        bar.close()
        _forget_call(job.token)  # tasks run in this process (one worker, Dask threads) kept a state
        for directory in call_dirs:
            _remove_dir(directory, os.getpid())
