"""Parameter sweeps: one backtest per parameter set of a grid, on all cores or on a Dask cluster.

`sweep` ships the market to the workers once per Market (shared memory-mapped files on one
machine, scattered on a multi-machine Dask cluster), runs many parameter sets per task, with each
worker's state kept between a call's tasks, and brings back one row of `Report.stats()` per set;
`Sweep` holds the table and re-runs the best set in full on demand. See `sweep` for the backends
and what each guarantees.
"""

from __future__ import annotations

import inspect
import itertools
import logging
import math
import os
import signal
import sys
import threading
import time
import uuid
import warnings
import weakref
from collections import OrderedDict
from collections.abc import Callable, Iterable, Iterator, Mapping, Sequence
from contextlib import contextmanager
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Literal, NamedTuple

from zelvor import _returns
from zelvor._returns import hidden_fields
from zelvor._validate import closest

if TYPE_CHECKING:  # pragma: no cover - names for the annotations only
    import pandas as pd
    from matplotlib.figure import Figure

    from zelvor._overfitting import Overfitting
    from zelvor._spa import SPAResult

__all__ = ["BestRun", "Sweep", "sweep"]

BACKENDS = ("serial", "threads", "processes", "dask")

# Parameter sets per task: enough tasks for every worker to get several (so one slow set does not
# leave the other cores idle at the end), as few as that allows, since each task pays a fixed cost
# (a few milliseconds with processes, about 15 with Dask's scheduler, see benchmarks/bench_sweep.py;
# the market and the weights are set up once per worker, not per task), and at most 256 sets, so
# that a dead worker or a progress update is never far away.
_TASKS_PER_WORKER = 4
# Dask's round trip per task is the larger cost there (measured: 15 ms against 7 with processes).
_DASK_TASKS_PER_WORKER = 2
_MAX_SETS_PER_TASK = 256

# Seconds a task of a call with a timeout may take beyond its sets' limits (to start, to send back).
_TASK_GRACE = 5.0

# How long a Dask sweep waits while a cluster it started has no worker at all (nannies restart a
# worker that died in a few seconds) before it starts new ones.
_REVIVE_AFTER = 10.0

# How long a Dask sweep waits while its cluster has no worker at all before giving up.
_NO_WORKER_TIMEOUT = 60.0

# The documented fields of Report.stats() and the error column: a grid key of one of these names
# would give the table two columns of that name.
_TABLE_COLUMNS = frozenset(
    (
        "start end total_return cagr annual_volatility sharpe sortino calmar max_drawdown "
        "max_drawdown_duration max_drawdown_days trades win_rate profit_factor avg_win avg_loss "
        "avg_holding_rows avg_holding_days exposure turnover fees taxes alpha beta psr min_track_record dsr error"
    ).split()
)

# Figures where the best row has the smallest value; every other figure is maximised
# (max_drawdown and avg_loss are negative, so their largest value is the mildest).
_LOWER_IS_BETTER = frozenset(
    ("annual_volatility", "max_drawdown_duration", "max_drawdown_days", "fees", "taxes", "turnover")
)

_SWEEP_EXTRA = "pip install 'zelvor[sweep]'"


# --------------------------------------------------------------------------------------------
# Argument checks


def _backtest_option_names() -> tuple[str, ...]:
    import zelvor

    parameters = list(inspect.signature(zelvor.backtest).parameters.values())
    return tuple(p.name for p in parameters[2:] if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY))


def _expand_grid(grid: Any) -> tuple[list[str], list[dict[str, Any]]]:
    """The parameter names (first-seen order) and the parameter sets, in the grid's order."""
    if isinstance(grid, Mapping):
        if not grid:
            raise ValueError("grid is empty: give at least one parameter and one value")
        keys = list(grid)
        values = []
        for key in keys:
            _check_key(key)
            choices = grid[key]
            if isinstance(choices, str | bytes) or not isinstance(choices, Iterable):
                raise TypeError(
                    f"grid[{key!r}] must be a list of values to try, got {type(choices).__name__} {choices!r}"
                )
            choices = list(choices)
            if not choices:
                raise ValueError(f"grid[{key!r}] is empty: give at least one value")
            values.append(choices)
        # Cartesian product, the last key varying fastest.
        return keys, [dict(zip(keys, combo, strict=True)) for combo in itertools.product(*values)]
    if isinstance(grid, Sequence) and not isinstance(grid, str | bytes):
        if not grid:
            raise ValueError("grid is empty: give at least one parameter set")
        names: list[str] = []
        sets = []
        for i, entry in enumerate(grid):
            if not isinstance(entry, Mapping):
                raise TypeError(f"grid[{i}] must be a dict of parameter values, got {type(entry).__name__}")
            for key in entry:
                _check_key(key)
                if key not in names:
                    names.append(key)
            sets.append(dict(entry))
        return names, sets
    raise TypeError(f"grid must be a dict of lists or a list of dicts, got {type(grid).__name__}")


def _check_key(key: Any) -> None:
    if not isinstance(key, str):
        raise TypeError(f"grid keys must be parameter names (str), got {key!r}")
    if key in _TABLE_COLUMNS:
        raise ValueError(f"grid key {key!r} is the name of a column of the sweep table; rename the parameter")


def _weights_parameters(weights: Callable) -> tuple[set[str] | None, set[str]]:
    """Keyword names `weights(market, **params)` accepts (None: any) and those it requires."""
    try:
        signature = inspect.signature(weights)
    except (TypeError, ValueError):  # a builtin without a signature: take its word for it
        return None, set()
    parameters = list(signature.parameters.values())
    if not parameters or parameters[0].kind not in (
        inspect.Parameter.POSITIONAL_ONLY,
        inspect.Parameter.POSITIONAL_OR_KEYWORD,
        inspect.Parameter.VAR_POSITIONAL,
    ):
        raise TypeError("weights must be a callable weights(market, **params) taking the market first")
    rest = parameters[1:] if parameters[0].kind != inspect.Parameter.VAR_POSITIONAL else parameters
    accepts_any = any(p.kind == inspect.Parameter.VAR_KEYWORD for p in rest)
    named = {
        p.name for p in rest if p.kind in (inspect.Parameter.POSITIONAL_OR_KEYWORD, inspect.Parameter.KEYWORD_ONLY)
    }
    required = {p.name for p in rest if p.name in named and p.default is inspect.Parameter.empty}
    return (None if accepts_any else named), required


def _resolve_n_jobs(n_jobs: Any) -> int:
    if isinstance(n_jobs, bool) or not isinstance(n_jobs, int):
        raise TypeError(f"n_jobs must be an int (-1 for all cores), got {type(n_jobs).__name__} {n_jobs!r}")
    if n_jobs == -1:
        return _cpu_count()
    if n_jobs < 1:
        raise ValueError(f"n_jobs must be -1 (all cores) or a positive number of workers, got {n_jobs}")
    return n_jobs


def _cap_workers(requested: int, n_sets: int) -> int:
    """Workers worth starting: no more than the sets to run nor the cores to run them on."""
    return max(1, min(requested, n_sets, _cpu_count()))


def _cpu_count() -> int:
    try:
        from joblib import cpu_count  # respects CPU affinity and container quotas
    except ImportError:  # pragma: no cover - the serial backend without the extra
        return max(1, len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1)
    return max(1, cpu_count())


def _check_progress(progress: Any) -> bool:
    """Whether to draw the bar: True draws it only when stderr is a terminal, "force" always."""
    if progress is True or progress is False:
        if not progress:
            return False
        isatty = getattr(sys.stderr, "isatty", None)
        return bool(isatty and isatty())
    if isinstance(progress, str):
        if progress == "force":
            return True
        raise ValueError(f"progress must be True, False or 'force', got {progress!r}")
    raise TypeError(f"progress must be True, False or 'force', got {type(progress).__name__} {progress!r}")


def _check_timeout(timeout: Any) -> float | None:
    if timeout is None:
        return None
    import numbers

    if isinstance(timeout, bool) or not isinstance(timeout, numbers.Real):
        raise TypeError(
            f"timeout must be a number of seconds or None (no limit), got {type(timeout).__name__} {timeout!r}"
        )
    seconds = float(timeout)
    if not (math.isfinite(seconds) and seconds > 0):
        raise ValueError(f"timeout must be a positive, finite number of seconds or None (no limit), got {timeout!r}")
    if seconds >= 1e6:  # beyond what the interval timer takes (and 11 days per set is no limit anyway)
        raise ValueError(f"timeout must be under 1e6 seconds (None: no limit), got {timeout!r}")
    return seconds


def _check_client(client: Any, backend: str) -> None:
    if client is None:
        return
    if backend != "dask":
        raise ValueError(f"client is only used with backend='dask', not with backend={backend!r}")
    try:
        from distributed import Client
    except ImportError as exc:  # pragma: no cover - a client cannot exist without distributed
        raise ImportError(f"backend='dask' needs dask.distributed: {_SWEEP_EXTRA}") from exc
    if not isinstance(client, Client):
        raise TypeError(f"client must be a distributed.Client, got {type(client).__name__}")
    if client.status != "running":
        raise ValueError(f"client is not connected (status {client.status!r})")


def _require(module: str, backend: str) -> None:
    try:
        __import__(module)
    except ImportError as exc:
        raise ImportError(
            f"backend={backend!r} needs {module}, which is not installed: {_SWEEP_EXTRA} (or use backend='serial')"
        ) from exc


# --------------------------------------------------------------------------------------------
# What every worker runs


@dataclass(eq=False)
class _Job:
    """Everything the runs of one sweep call share.

    In the caller `market` is the `zelvor.Market` and `weights` the caller's weights. What the
    tasks of worker processes carry is a copy with the small handles instead (`_MarketFiles`,
    `_FrameFile`): the arrays are in shared files, memory-mapped by the workers. Pickled with a
    Market in it (Dask on several machines, or a pickled `Sweep`), the market travels once as its
    price matrices, out of band.
    """

    token: str  # one per sweep call: the key of the worker-side cache
    weights: Any  # DataFrame, callable weights(market, **params), or a _FrameFile
    market: Any  # zelvor.Market or a _MarketFiles
    fixed_options: dict[str, Any]
    option_names: frozenset[str]  # the keys that are options of zelvor.backtest
    returns: str | None = None  # the dtype each set's daily returns come back in, None: not kept
    timeout: float | None = None  # seconds per parameter set, None: no limit
    _parts: tuple | None = field(default=None, repr=False)

    def __reduce__(self):
        market = self.market
        if isinstance(market, _MarketFiles):
            return (
                _Job,
                (self.token, self.weights, market, self.fixed_options, self.option_names, self.returns, self.timeout),
            )
        # The market travels as its distinct price matrices (Dask sends them as buffers) plus its
        # dates and stocks: pickled as is, it would carry each matrix twice (the frames and the
        # engine-layout arrays that share their memory). The parts are made once per job.
        if self._parts is None:
            self._parts = _market_parts(market)
        return (
            _job_from_parts,
            (self.token, self.weights, *self._parts, self.fixed_options, self.option_names, self.returns, self.timeout),
        )


_PRICE_FIELDS = ("close", "open", "high", "low")


def _distinct_matrices(market: Any) -> dict[str, tuple[str, Any]]:
    """Per price field, (the field whose matrix it is, the matrix): a field filled from close (or
    given the same data) names close and is stored once."""
    arrays = market.arrays
    kept: dict[str, Any] = {}
    fields = {}
    for name in _PRICE_FIELDS:
        matrix = getattr(arrays, name)
        same = next((other for other, m in kept.items() if _same_data(m, matrix)), None)
        if same is None:
            kept[name] = matrix
            same = name
        fields[name] = (same, kept[same])
    return fields


def _same_data(a: Any, b: Any) -> bool:
    return a is b or (
        a.__array_interface__["data"] == b.__array_interface__["data"]
        and a.shape == b.shape
        and a.strides == b.strides
        and a.dtype == b.dtype
    )


def _market_parts(market: Any) -> tuple[Any, Any, dict[str, Any], Any]:
    # A field that shares another's matrix names the same array object: pickled once.
    return market.dates, market.stocks, _fields_to_pass(_distinct_matrices(market)), market._delisting


def _fields_to_pass(fields: Mapping[str, tuple[str, Any]]) -> dict[str, Any]:
    """The matrices to build a Market from: a field that shares close's is left out (Market fills
    it from close), one that shares another field's gets that same array."""
    return {name: matrix for name, (source, matrix) in fields.items() if name == "close" or source != "close"}


def _rebuild_market(dates: Any, stocks: Any, matrices: Mapping[str, Any], delisting: Any) -> Any:
    """The Market of `_market_parts`: frames around the given matrices (no copy), a field
    without a matrix filled from close, as in the caller's market."""
    import pandas as pd

    import zelvor

    frames = {name: pd.DataFrame(values, index=dates, columns=stocks, copy=False) for name, values in matrices.items()}
    market = zelvor.Market(**frames)
    if delisting is not None:  # the loader's delisting rows, as the caller's market has them
        market._delisting = delisting
    return market


def _job_from_parts(
    token, weights, dates, stocks, matrices, delisting, fixed_options, option_names, returns, timeout=None
) -> _Job:
    market = _rebuild_market(dates, stocks, matrices, delisting)
    return _Job(token, weights, market, fixed_options, option_names, returns, timeout)


# --------------------------------------------------------------------------------------------
# Shared files: the market (once per Market) and large weights (once per call)
#
# A Market is treated as immutable, as Market itself does (its engine arrays are views of its
# frames and it caches figures derived from them): its files are written at its first sweep on
# more than one process and reused by every later sweep, until the Market is freed.

_SHARED_PREFIX = "zelvor-sweep-"
_INLINE_WEIGHTS_BYTES = 1 << 20  # smaller weights frames travel in the task itself


class SharedFilesUnavailable(RuntimeError):
    """A worker cannot see the shared files of a sweep (it runs on another machine)."""


_host_id: str | None = None


def _host() -> str:
    """This machine (and boot): workers with the same answer see the same shared files."""
    global _host_id
    if _host_id is None:
        import socket

        try:
            with open("/proc/sys/kernel/random/boot_id") as f:
                boot = f.read().strip()
        except OSError:
            boot = ""
        _host_id = f"{socket.gethostname()}/{boot}"
    return _host_id


def _shared_root() -> str:
    """/dev/shm when it is a writable directory (the pages stay in memory), else the temp directory."""
    import tempfile

    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK):
        return shm
    return tempfile.gettempdir()


def _machine_prefix() -> str:
    import hashlib

    return f"{_SHARED_PREFIX}{hashlib.blake2b(_host().encode(), digest_size=4).hexdigest()}-"


def _dir_prefix(pid: int | None = None) -> str:
    """How the names of a process's shared directories begin: this machine's tag, then its pid."""
    return f"{_machine_prefix()}{os.getpid() if pid is None else pid}-"


def _remove_orphans(root: str) -> None:
    """Delete the shared directories of this machine's processes that died without deleting them
    (killed): a directory's name holds its owner's pid. Another user's are left alone."""
    import shutil

    prefix = _machine_prefix()
    try:
        entries = list(os.scandir(root))
    except OSError:
        return
    for entry in entries:
        if not entry.name.startswith(prefix):
            continue
        pid = entry.name[len(prefix) :].split("-", 1)[0]
        if not pid.isdigit() or int(pid) == os.getpid():
            continue
        try:
            os.kill(int(pid), 0)
            continue  # alive
        except ProcessLookupError:
            pass
        except OSError:  # alive, another user's
            continue
        try:
            if entry.stat(follow_symlinks=False).st_uid == os.getuid() and entry.is_dir(follow_symlinks=False):
                shutil.rmtree(entry.path, ignore_errors=True)
        except OSError:
            pass


def _make_shared_dir(nbytes: int) -> str:
    """A new private directory for `nbytes` of shared files, where there is room for them."""
    import shutil
    import tempfile

    roots = [_shared_root()]
    if roots[0] != tempfile.gettempdir():
        roots.append(tempfile.gettempdir())
    for root in roots:
        _remove_orphans(root)
        try:
            if shutil.disk_usage(root).free < nbytes + (64 << 20):
                continue
        except OSError:
            continue
        return tempfile.mkdtemp(prefix=_dir_prefix(), dir=root)
    raise OSError(f"no room for the {nbytes / 2**20:.0f} MB of a sweep's shared files in {' or '.join(roots)}")


def _remove_dir(directory: str, owner: int) -> None:
    """Delete a shared directory; only its owner does (a forked child exiting must not)."""
    import shutil

    if os.getpid() == owner:
        shutil.rmtree(directory, ignore_errors=True)


def _write_arrays(directory: str, arrays: Mapping[str, Any]) -> dict[str, tuple[str, tuple, int]]:
    """np.save each array into `directory`: name -> (path, shape, file size)."""
    import numpy as np

    written = {}
    for name, values in arrays.items():
        path = os.path.join(directory, f"{name}.npy")
        np.save(path, values, allow_pickle=False)
        written[name] = (path, tuple(values.shape), os.path.getsize(path))
    return written


def _map_arrays(files: Mapping[str, tuple[str, tuple, int]]) -> dict[str, Any]:
    """Memory-map the shared arrays read-only, or SharedFilesUnavailable if they are not here."""
    import numpy as np

    mapped = {}
    for name, (path, shape, size) in files.items():
        try:
            if os.path.getsize(path) != size:
                raise OSError("wrong size")
            values = np.load(path, mmap_mode="r", allow_pickle=False)
        except (OSError, ValueError) as exc:
            raise SharedFilesUnavailable(
                f"the sweep's shared file {path} is not readable on worker host {_host()} ({exc})"
            ) from None
        if values.shape != shape:
            raise SharedFilesUnavailable(f"the sweep's shared file {path} does not hold the expected array")
        mapped[name] = values
    return mapped


@dataclass(frozen=True, eq=False)
class _MarketFiles:
    """A market as tasks carry it: where its matrices are, and its (small) dates and stocks."""

    token: str
    host: str
    owner: int  # the caller's process, which holds the Market itself
    directory: str
    files: dict[str, tuple[str, tuple, int]]  # distinct matrices: field -> (path, shape, size)
    sources: dict[str, str]  # price field -> the field whose file holds its matrix
    dates: Any
    stocks: Any
    delisting: Any

    def open(self) -> Any:
        """The Market around read-only maps of the files (no copy of the prices)."""
        mapped = _map_arrays(self.files)
        fields = {name: (source, mapped[source]) for name, source in self.sources.items()}
        return _rebuild_market(self.dates, self.stocks, _fields_to_pass(fields), self.delisting)


_shipping_lock = threading.Lock()
# Per Market, its shared files (deleted when the Market is freed, or at exit); per token, the
# Market itself, so that a task run in the caller's own process uses it instead of the files.
_shipped: weakref.WeakKeyDictionary[Any, _MarketFiles] = weakref.WeakKeyDictionary()
_local_markets: weakref.WeakValueDictionary[str, Any] = weakref.WeakValueDictionary()


def _ship_market(market: Any) -> _MarketFiles:
    """The market's shared files, written at its first sweep in worker processes."""
    with _shipping_lock:
        handle = _shipped.get(market)
        if handle is not None and os.path.isdir(handle.directory):
            return handle
        fields = _distinct_matrices(market)
        matrices = {name: matrix for name, (source, matrix) in fields.items() if source == name}
        directory = _make_shared_dir(sum(m.nbytes for m in matrices.values()))
        try:
            files = _write_arrays(directory, matrices)
        except BaseException:
            _remove_dir(directory, os.getpid())
            raise
        token = uuid.uuid4().hex
        handle = _MarketFiles(
            token=token,
            host=_host(),
            owner=os.getpid(),
            directory=directory,
            files=files,
            sources={name: source for name, (source, _) in fields.items()},
            dates=market.dates,
            stocks=market.stocks,
            delisting=market._delisting,
        )
        weakref.finalize(market, _remove_dir, directory, os.getpid())
        _shipped[market] = handle
        _local_markets[token] = market
        return handle


@dataclass(frozen=True, eq=False)
class _FrameFile:
    """A large float64 weights frame as tasks carry it: its values in a shared file."""

    index: Any
    columns: Any
    files: dict[str, tuple[str, tuple, int]]

    @property
    def directory(self) -> str:
        return os.path.dirname(self.files["values"][0])

    def open(self) -> Any:
        import pandas as pd

        values = _map_arrays(self.files)["values"]
        return pd.DataFrame(values, index=self.index, columns=self.columns, copy=False)


def _ship_weights(weights: Any, directory_for: Callable[[int], str]) -> Any:
    """Weights as tasks carry them: a large float64 frame in a shared file, the rest as it is."""
    import numpy as np
    import pandas as pd

    if not isinstance(weights, pd.DataFrame) or weights.size * 8 < _INLINE_WEIGHTS_BYTES:
        return weights
    if not (len(weights.columns) and all(dtype == np.float64 for dtype in weights.dtypes)):
        return weights  # validated as given in the worker: send it unchanged
    values = weights.to_numpy()
    files = _write_arrays(directory_for(values.nbytes), {"values": values})
    return _FrameFile(weights.index, weights.columns, files)


# Worker side: per process, the markets rebuilt from their files (the last two) and the state of
# the calls running here (the last two), so a worker maps the market once per Market and computes
# and validates the weights once per call, not once per task.
_MARKETS_KEPT = 2
_CALLS_KEPT = 2
_worker_markets: OrderedDict[str, tuple[_MarketFiles, Any]] = OrderedDict()
_worker_calls: OrderedDict[str, _WorkerState] = OrderedDict()
_worker_lock = threading.Lock()  # Dask runs tasks on threads


def _market_of(handle: _MarketFiles) -> Any:
    if handle.owner == os.getpid():
        market = _local_markets.get(handle.token)
        if market is not None:
            return market
    entry = _worker_markets.get(handle.token)
    if entry is not None:
        _worker_markets.move_to_end(handle.token)
        return entry[1]
    if handle.host != _host():
        raise SharedFilesUnavailable(
            f"the sweep's market is in files on host {handle.host}; this worker runs on {_host()}"
        )
    market = handle.open()
    _worker_markets[handle.token] = (handle, market)
    while len(_worker_markets) > _MARKETS_KEPT:
        _worker_markets.popitem(last=False)
    return market


def _drop_vanished_markets() -> None:
    """Forget markets, and calls, whose files are gone (the Market was freed in the caller, the
    call ended): unmapping them gives their memory back."""
    gone = [token for token, (handle, _) in _worker_markets.items() if not os.path.isdir(handle.directory)]
    for token in gone:
        del _worker_markets[token]
    ended = [
        call
        for call, state in _worker_calls.items()
        if state.market_token in gone or not all(map(os.path.isdir, state.directories))
    ]
    for call in ended:
        del _worker_calls[call]


def _state_of(job: _Job) -> _WorkerState:
    """This process's state for the job's call, made at its first task here."""
    with _worker_lock:
        _drop_vanished_markets()
        state = _worker_calls.get(job.token)
        if state is not None:
            _worker_calls.move_to_end(job.token)
            return state
        market = job.market
        token = None
        if isinstance(market, _MarketFiles):
            token = market.token
            market = _market_of(market)
        weights = job.weights
        directories = []
        if isinstance(weights, _FrameFile):
            directories.append(weights.directory)
            weights = weights.open()
        state = _WorkerState(market, weights, job.fixed_options, job.option_names, market_token=token)
        state.returns = job.returns
        state.timeout = job.timeout
        state.directories = directories
        _worker_calls[job.token] = state
        while len(_worker_calls) > _CALLS_KEPT:
            _worker_calls.popitem(last=False)
        return state


def _forget_call(token: str) -> None:
    """Drop a finished call's state (its weights and validated inputs) from this process."""
    with _worker_lock:
        _worker_calls.pop(token, None)


async def _forget_call_soon(token: str) -> None:
    """`_forget_call` in a form Dask's `Client.run` can start without waiting for it."""
    _forget_call(token)


# Options that `zelvor.prepare` takes (validated and converted once per weights); the others are
# the scalar options of `Prepared.stats_dict`, checked at every run.
_PREPARE_OPTIONS = ("resample", "trade_at", "delisting", "benchmark")
_CACHE_SIZE = 8


class _Same:
    """An unhashable parameter value (a frame) as a cache key: equal only to itself. It holds the
    value, so its id cannot be reused by another value while the key is in a cache."""

    __slots__ = ("value",)

    def __init__(self, value: Any):
        self.value = value

    def __hash__(self) -> int:
        return id(self.value)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _Same) and other.value is self.value


def _cache_key(values: Mapping[str, Any]) -> tuple:
    """A dict key for parameter values, by type and value: 5 and 5.0 (or True and 1) are equal
    but may not give the same weights. An unhashable value (a frame) is keyed by its identity."""
    return tuple((name, _typed(values[name])) for name in sorted(values))


def _typed(value: Any) -> Any:
    """`value` as a hashable key that tells apart equal values of different types, inside tuples too."""
    if type(value) is tuple:
        return (tuple, tuple(map(_typed, value)))
    try:
        hash(value)
    except TypeError:
        return _Same(value)
    return (type(value), value)


class _LRU(OrderedDict):
    def get_or_make(self, key: Any, make: Callable[[], Any]) -> Any:
        if key in self:
            self.move_to_end(key)
            return self[key]
        value = self[key] = make()
        if len(self) > _CACHE_SIZE:
            self.popitem(last=False)
        return value


class _WorkerState:
    """One call's runs in one process: weights and validated inputs are kept for the later sets
    that share them.

    Sets that differ only in scalar options (stop levels, fees) share their weights and their
    `zelvor.prepare`d inputs, so a grid of stops x look-backs computes and validates each
    look-back's weights once per process, not once per run.
    """

    def __init__(
        self,
        market: Any,
        weights: Any,
        fixed_options: dict[str, Any],
        option_names: frozenset[str],
        market_token: str | None = None,
    ):
        import zelvor

        self.market = market
        self.weights = weights
        self.fixed_options = fixed_options
        self.option_names = option_names
        self.market_token = market_token
        self.directories: list[str] = []  # of the call's own shared files (a weights frame)
        self.returns: str | None = None  # the dtype of the daily returns rows carry, None: not kept
        self.timeout: float | None = None  # seconds a parameter set may take
        self._prepare = getattr(zelvor, "prepare", None)  # the layer's fast path for many runs
        self._weights: _LRU = _LRU()
        self._prepared: _LRU = _LRU()
        self._lock = threading.Lock()  # tasks of one call may share the state on Dask threads

    @classmethod
    def of(cls, job: _Job) -> _WorkerState:
        state = cls(job.market, job.weights, job.fixed_options, job.option_names)
        state.returns = job.returns
        state.timeout = job.timeout
        return state

    def split(self, params: Mapping[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
        merged = {**self.fixed_options, **params}
        options = {k: v for k, v in merged.items() if k in self.option_names}
        strategy = {k: v for k, v in merged.items() if k not in self.option_names}
        return options, strategy

    def weights_for(self, strategy: dict[str, Any]):
        weights = self.weights
        if not callable(weights):
            return weights
        return self._weights.get_or_make(_cache_key(strategy), lambda: weights(self.market, **strategy))

    def stats_row(self, params: Mapping[str, Any]) -> tuple[tuple[str, ...], tuple[Any, ...]]:
        with self._lock:
            options, strategy = self.split(params)
            weights = self.weights_for(strategy)
            prepare = self._prepare
            if prepare is None:
                import zelvor

                report = zelvor.backtest(weights, self.market, **options)
                stats = report.stats()
                extra = hidden_fields(report.equity.to_numpy(), report._start_row, self.returns)
                return (*stats.index, *extra[0]), (*stats.to_numpy(dtype=object), *extra[1])
            inputs = {k: options.pop(k) for k in _PREPARE_OPTIONS if k in options}
            prepared = self._prepared.get_or_make(
                (_cache_key(strategy), _cache_key(inputs)),
                lambda: prepare(weights, self.market, **inputs),
            )
        # The run needs no lock: it shares the prepared inputs read-only and simulates without the
        # interpreter lock, so sets on several threads (backend "threads", Dask workers) run at once.
        stats, equity = prepared.stats_and_equity(**options)
        extra = hidden_fields(equity, prepared._start_row, self.returns)
        return (*stats, *extra[0]), (*stats.values(), *extra[1])


def _describe(exc: BaseException) -> str:
    message = str(exc).strip()
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def _run_sets(job: _Job, task: int, sets: Sequence[tuple[int, Mapping[str, Any]]]) -> tuple[int, list]:
    """Run parameter sets in a worker; one row per set: (index, fields, values, error).

    The call's state (market, weights, validated inputs) is made at the call's first task in this
    process and kept for its later tasks.
    """
    return task, _rows(_state_of(job), sets)


# --------------------------------------------------------------------------------------------
# Time limits


class _SetTimedOut(BaseException):
    """A parameter set ran past the call's timeout. A BaseException, so that the strategy's own
    `except Exception` does not swallow it."""


def _timeout_error(seconds: float | None, stopped: bool = False) -> str:
    how = "; its worker process was stopped and replaced" if stopped else ""
    return f"TimeoutError: the parameter set did not finish within the timeout of {seconds:g} s{how}"


@contextmanager
def _time_limit(seconds: float | None) -> Iterator[None]:
    """Raise _SetTimedOut in this thread once `seconds` have passed inside the block.

    In the main thread (the caller, a loky worker) an interval timer's SIGALRM interrupts even a
    sleep or a wait; in other threads (Dask's) the exception is set asynchronously and interrupts
    Python code only. Code that never returns to the interpreter is not interrupted here: the
    process backend stops its worker instead.
    """
    if seconds is None:
        yield
    elif threading.current_thread() is threading.main_thread() and hasattr(signal, "setitimer"):
        with _alarm(seconds):
            yield
    else:
        with _async_raise_after(seconds):
            yield


@contextmanager
def _alarm(seconds: float) -> Iterator[None]:
    inside = [True]

    def expired(signum: int, frame: Any) -> None:
        if inside[0]:  # a signal handled just after the block must not fail the code after it
            raise _SetTimedOut

    previous = signal.signal(signal.SIGALRM, expired)
    earlier, _ = signal.setitimer(signal.ITIMER_REAL, seconds)
    started = time.monotonic()
    try:
        yield
    finally:
        inside[0] = False
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        if earlier:  # the caller's own timer goes on, less the time spent here
            signal.setitimer(signal.ITIMER_REAL, max(earlier - (time.monotonic() - started), 1e-6))


@contextmanager
def _async_raise_after(seconds: float) -> Iterator[None]:
    import ctypes

    thread = ctypes.c_ulong(threading.get_ident())
    guard = threading.Lock()
    inside = [True]

    def expired() -> None:
        with guard:
            if inside[0]:
                ctypes.pythonapi.PyThreadState_SetAsyncExc(thread, ctypes.py_object(_SetTimedOut))

    timer = threading.Timer(seconds, expired)
    timer.daemon = True
    timer.start()
    try:
        yield
    finally:
        with guard:
            inside[0] = False
            timer.cancel()
            ctypes.pythonapi.PyThreadState_SetAsyncExc(thread, None)  # one not raised yet is dropped


# --------------------------------------------------------------------------------------------
# Signals and what an interrupted call keeps


@contextmanager
def _sigterm_as_exit() -> Iterator[None]:
    """For the call's duration, SIGTERM raises SystemExit(128 + SIGTERM) in the main thread instead
    of killing the process at once, so the call stops its workers and deletes its files as on
    Ctrl-C, and the process then exits with the status a shell reports for SIGTERM (143). Only
    where SIGTERM has its default action: a handler of the caller's (or an ignored SIGTERM) stays."""
    if threading.current_thread() is not threading.main_thread() or not hasattr(signal, "SIGTERM"):
        yield
        return
    try:
        previous = signal.getsignal(signal.SIGTERM)
        if previous is not signal.SIG_DFL:
            previous = None
        else:
            signal.signal(signal.SIGTERM, _exit_on_sigterm)
    except (OSError, ValueError):  # no signals here (an embedded interpreter)
        previous = None
    try:
        yield
    finally:
        if previous is not None:
            signal.signal(signal.SIGTERM, previous)


def _exit_on_sigterm(signum: int, frame: Any) -> None:
    signal.signal(signum, signal.SIG_IGN)  # a second SIGTERM must not break off the clean-up
    raise SystemExit(128 + signum)


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


# One table row as it travels back: (set index, stats fields, their values, error or "").
_Row = tuple[int, tuple[str, ...], tuple[Any, ...], str]


def _rows(state: _WorkerState, sets: Sequence[tuple[int, Mapping[str, Any]]]) -> list[_Row]:
    rows: list[_Row] = []
    last_fields: tuple[str, ...] = ()
    for index, params in sets:
        try:
            with _time_limit(state.timeout):
                fields, values = state.stats_row(params)
        except _SetTimedOut:
            rows.append((index, (), (), _timeout_error(state.timeout)))
            continue
        except Exception as exc:  # one failing set must not stop the sweep
            rows.append((index, (), (), _describe(exc)))
            continue
        if fields == last_fields:
            fields = last_fields  # the same tuple object, pickled once per task
        last_fields = fields
        rows.append((index, fields, values, ""))
    return rows


# --------------------------------------------------------------------------------------------
# Backends


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


def _run_serial(job: _Job, sets: list[dict], progress: _Progress, rows: dict[int, tuple]) -> dict[int, tuple]:
    # A state of its own, not the worker cache: this process must not keep the market afterwards.
    state = _WorkerState.of(job)
    for index, params in enumerate(sets):
        rows[index] = _rows(state, [(index, params)])[0]
        progress.update(1)
    return rows


def _run_threads(
    job: _Job, sets: list[dict], n_workers: int, progress: _Progress, rows: dict[int, tuple]
) -> dict[int, tuple]:
    """Threads of this process, sharing the market in place: no copies, no files, no start-up.

    The engine simulates without the interpreter lock, so runs on different threads use different
    cores; the weights and the prepared inputs of each distinct strategy are made once (one thread
    at a time) and shared. The threads are daemons that take one set at a time: when the call ends
    early (Ctrl-C, an exception that ends it) they start no further set, and one stuck in the
    weights callable does not keep the interpreter from exiting.
    """
    import queue

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
    job: _Job, sets: list[dict], n_workers: int, progress: _Progress, rows: dict[int, tuple]
) -> dict[int, tuple]:
    """Loky worker processes; tasks carry the job's handles, the workers map the shared files.

    A worker that dies (killed, out of memory) breaks the whole pool: the tasks it had taken are
    re-run, set by set; a set that kills its worker when run alone is reported as an error. So is
    a task that outlasts the time its sets may take (a set stuck where the timeout cannot
    interrupt it): the pool's workers are stopped and replaced, and a set that does it again
    alone is reported as timed out.
    """
    from multiprocessing import TimeoutError as TaskTimedOut

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

    market = _ship_market(job.market)
    weights = _ship_weights(job.weights, directory_for)
    return _Job(job.token, weights, market, job.fixed_options, job.option_names, job.returns, job.timeout)


def _run_dask(
    job: _Job,
    sets: list[dict],
    client: Any,
    n_jobs: int,
    progress: _Progress,
    call_dirs: list[str],
    rows: dict[int, tuple],
) -> dict[int, tuple]:
    """Tasks on the client's Dask cluster, or on a LocalCluster of `n_jobs` workers started for the
    call and closed at its end, with its files, however the call ends."""
    from contextlib import ExitStack

    with ExitStack() as stack:
        cluster = None
        if client is None:
            from distributed import Client

            cluster = stack.enter_context(_call_cluster(n_jobs, stack))
            client = stack.enter_context(Client(cluster))
        return _run_on_client(job, sets, client, progress, call_dirs, rows, cluster=cluster)


def _call_cluster(n_workers: int, stack: Any) -> Any:
    """A LocalCluster for one call. Its scheduler, nannies and workers keep their scratch files
    (spill space, lock files) in a directory of the call's own, deleted when the stack closes
    after the cluster: workers stopped by Ctrl-C leave nothing in the temporary directory."""
    import shutil
    import tempfile

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


def _revive_cluster(cluster: Any, n_workers: int) -> None:
    """Start new workers in a call's own cluster that has lost all of its own for good (their
    nannies gave up): the dead ones leave `cluster.worker_spec`, new ones under new names join."""
    dead = [name for name in cluster.worker_spec if _nanny_gone(cluster.workers.get(name))]
    for name in dead:
        del cluster.worker_spec[name]
    while len(cluster.worker_spec) < n_workers:
        cluster.worker_spec[f"zelvor-{uuid.uuid4().hex[:8]}"] = cluster.new_spec
    cluster.scale(n_workers)


def _nanny_gone(nanny: Any) -> bool:
    status = getattr(getattr(nanny, "status", None), "name", "closed")
    return status in ("closing", "closed", "closing_gracefully", "failed")


# Answers of `_workers_see_files` per (client, its workers, market): a sweep on the same market and
# the same workers asks them only once. A wrong "yes" costs nothing but time: a task that finds no
# files on its worker is run again with the scattered market.
_probes: dict[tuple, bool] = {}
_MAX_PROBES = 64


def _probed_workers_see_files(client: Any, nthreads: Mapping[str, int], files_job: _Job) -> bool:
    key = (client.id, frozenset(nthreads), files_job.market.token)
    answer = _probes.get(key)
    if answer is None:
        answer = _workers_see_files(client, files_job)
        if len(_probes) >= _MAX_PROBES:
            _probes.clear()
        _probes[key] = answer
    return answer


def _workers_see_files(client: Any, files_job: _Job) -> bool:
    """Whether every worker of the client runs on this machine and can map the shared files."""
    handles = [files_job.market]
    if isinstance(files_job.weights, _FrameFile):
        handles.append(files_job.weights)
    try:
        answers = client.run(_can_map, handles)
    except Exception:  # a worker that cannot answer cannot be counted on
        return False
    return bool(answers) and all(answers.values())


def _can_map(handles: list[Any]) -> bool:
    """In a worker: whether it runs on the caller's machine and can map every shared file."""
    if handles[0].host != _host():
        return False
    try:
        for handle in handles:
            _map_arrays(handle.files)
    except SharedFilesUnavailable:
        return False
    return True


def _run_on_client(
    job: _Job,
    sets: list[dict],
    client: Any,
    progress: _Progress,
    call_dirs: list[str],
    rows: dict[int, tuple],
    cluster: Any = None,
) -> dict[int, tuple]:
    """Tasks on the client's workers. When they all run on this machine (always, for a cluster
    the call started) they get the job with handles to the shared files: one copy of the market
    in the machine. Otherwise the whole job is scattered to every worker (a copy in each); a task
    that finds no shared files (a worker that joined later, on another machine) is run again that
    way. A `cluster` the call started is given new workers when it has lost all of its own."""
    from concurrent.futures import CancelledError

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
    pending: dict[Any, list[int]] = {}
    attempt = itertools.count()

    def submit(indices: list[int]) -> None:
        # Scattered data is lost for good when every worker holding it dies: send it again.
        if shared and shared[-1].status != "finished":
            shared.append(client.scatter(payload[0], broadcast=True, hash=False))
        future = client.submit(
            _run_sets,
            shared[-1] if shared else payload[0],
            0,
            [(i, sets[i]) for i in indices],
            key=f"zelvor-sweep-{job.token}-{indices[0]}-{len(indices)}-{next(attempt)}",
            pure=False,
            retries=0,
        )
        pending[future] = indices

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
                elif local and now - max(no_workers_since, revived) > _REVIVE_AFTER:
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
            for indices in tasks:
                submit(indices)
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


# --------------------------------------------------------------------------------------------
# The table


def _build_table(keys: list[str], sets: list[dict], rows: dict[int, tuple]):
    import numpy as np
    import pandas as pd

    fields: list[str] = []
    seen: set[tuple] = set()
    for index in range(len(sets)):
        names = rows[index][1]
        if names and names not in seen:
            seen.add(names)
            fields.extend(name for name in names if name not in fields)
    columns: dict[str, list] = {key: [params.get(key) for params in sets] for key in keys}
    for name in fields:
        columns[name] = [np.nan] * len(sets)
    for index in range(len(sets)):
        _, names, values, _ = rows[index]
        for name, value in zip(names, values, strict=True):
            columns[name][index] = value
    table = pd.DataFrame({name: _column(values) for name, values in columns.items()}, index=pd.RangeIndex(len(sets)))
    table["error"] = pd.Series([rows[i][3] for i in range(len(sets))], dtype=object)
    return table


def _column(values: list):
    """A column with pandas' usual inference, but all-NaN timestamps stay datetimes."""
    import pandas as pd

    series = pd.Series(values)
    if series.dtype == object:
        series = series.infer_objects()
    return series


# --------------------------------------------------------------------------------------------
# Public surface


class BestRun(NamedTuple):
    """The best parameter set of a sweep and its full report (`params, report = sweep.best(...)`)."""

    params: dict[str, Any]
    report: Any  # zelvor.Report


@dataclass(eq=False)
class Sweep:
    """The result of `zelvor.sweep`: one table row per parameter set, in the grid's order.

    `table` has the parameters as columns, then every field of `Report.stats()`, then ``dsr``
    (the deflated Sharpe ratio: the set's ``psr`` against the Sharpe ratio the best of this
    many sets would reach by luck, given the spread of their Sharpe ratios; Bailey and López de
    Prado 2014), then `error` (empty for a run that succeeded; otherwise the exception's type
    and message, and the stats columns hold NaN). The original parameter values, e.g. `None`
    for a stop that is off (shown as NaN in a float column), are in `params`.
    """

    table: pd.DataFrame
    params: list[dict[str, Any]] = field(repr=False)
    parameter_names: list[str]
    seconds: float
    _job: _Job = field(repr=False)
    returns: pd.DataFrame | None = field(default=None, repr=False)
    """Each set's daily returns: market dates x sets (the table's index), NaN before a set's
    first active row and in the column of a failed set; None when the sweep did not keep them."""

    def __len__(self) -> int:
        return len(self.table)

    def _metric(self, metric: str) -> pd.Series:
        if not isinstance(metric, str):
            raise TypeError(f"metric must be the name of a column of the table, got {type(metric).__name__}")
        if metric not in self.table.columns or metric == "error":
            stats = [c for c in self.table.columns if c not in self.parameter_names and c != "error"]
            failed = (self.table["error"] != "").to_numpy()
            if not stats and len(failed) and failed.all():
                first = self.table["error"].iloc[0]
                raise ValueError(
                    f"every set of the sweep failed, so it has no figure {metric!r} to rank; "
                    f"the first set's error: {first}"
                )
            raise ValueError(f"metric {metric!r} is not a figure of the table; one of: {', '.join(stats)}")
        values = self.table[metric]
        if values.dtype.kind not in "biuf":
            raise ValueError(f"metric {metric!r} is not numeric (dtype {values.dtype})")
        return values

    def best(self, metric: str = "sharpe", *, minimize: bool | None = None) -> BestRun:
        """The parameter set with the best `metric` and its full `Report`, re-run here.

        Largest value wins, except for annual_volatility, max_drawdown_duration, fees, taxes and
        turnover, where the smallest does (`minimize` overrides). Failed runs and NaN values are
        skipped; of equal values the first in grid order wins.
        """
        values = self._metric(metric)
        if minimize is None:
            minimize = metric in _LOWER_IS_BETTER
        import numpy as np

        valid = np.flatnonzero((self.table["error"] == "").to_numpy() & values.notna().to_numpy())
        if not len(valid):
            raise ValueError(f"no run of the sweep has a value for {metric!r}")
        figures = values.to_numpy(dtype=np.float64)[valid]
        row = int(valid[np.argmin(figures) if minimize else np.argmax(figures)])  # ties: the first set
        params = dict(self.params[row])
        return BestRun(params, self.rerun(params))

    def rerun(self, params: Mapping[str, Any]):
        """The full `Report` of one parameter set, with the sweep's weights, market and fixed options."""
        import zelvor

        state = _WorkerState.of(self._job)
        options, strategy = state.split(params)
        return zelvor.backtest(state.weights_for(strategy), self._job.market, **options)

    def overfitting(self, n_splits: int = 16, metric: str = "sharpe") -> Overfitting:
        """The probability that choosing the best set by `metric` overfits (PBO, by CSCV).

        The kept daily returns are cut into `n_splits` blocks of rows; for each of the
        C(n_splits, n_splits / 2) ways of taking half of them as in-sample, the set best in
        sample is ranked out of sample. Failed sets are left out. See
        `zelvor.probability_of_overfitting` for the details and the result's figures (Bailey,
        Borwein, López de Prado and Zhu, "The Probability of Backtest Overfitting", 2017).

        >>> sweep.overfitting().pbo    # doctest: +SKIP
        0.31
        """
        from zelvor._overfitting import probability_of_overfitting

        return probability_of_overfitting(self._kept_returns("overfitting"), n_splits, metric)

    def spa(
        self,
        benchmark: Any = None,
        *,
        size: float = 0.05,
        reps: int = 1000,
        block_size: int | None = None,
        seed: int | None = None,
    ) -> SPAResult:
        """Is the best set better than `benchmark` once the search over all sets is accounted for?

        Hansen's test of superior predictive ability (2005; its upper p-value is White's 2000
        reality check) on the sets' daily returns, with p-values from a stationary bootstrap
        (Politis and Romano 1994), and Romano and Wolf's StepM (2005): the sets that beat the
        benchmark at level `size`. Both from the `arch` package (``pip install
        'zelvor[research]'``).

        benchmark: None (cash: a return of 0), a set of the sweep (its row in the table), or a
            Series of daily returns on the market's dates (e.g. an index's ``pct_change()``).
        size: StepM's family-wise error rate (0.05).
        reps: bootstrap replications (1000). Their cost grows with the sets: 10,000 sets over
            5 years take minutes.
        block_size: mean block length of the bootstrap in rows (None: the square root of the rows).
        seed: makes the p-values reproducible.

        >>> sweep.spa(seed=0).pvalues["consistent"]   # doctest: +SKIP
        0.41
        """
        from zelvor._spa import superior_predictive_ability

        return superior_predictive_ability(
            self._kept_returns("spa"), benchmark, size=size, reps=reps, block_size=block_size, seed=seed
        )

    def _kept_returns(self, what: str) -> pd.DataFrame:
        if self.returns is None:
            raise ValueError(
                f"{what} needs the sets' daily returns: run the sweep with returns='float64' (the default)"
            )
        return self.returns

    def plot_heatmap(self, x: str, y: str, metric: str = "sharpe", *, agg: str = "mean", ax=None) -> Figure:
        """Heatmap of `metric` over two parameters (x across, y down), values written in the cells.

        Where other parameters vary too, each cell aggregates their runs with `agg` ("mean",
        "max", "min", "median"); failed runs are left out, and a cell with none is blank. Returns
        the Figure; draws into `ax` when given. Needs matplotlib (`pip install 'zelvor[plot]'`).
        """
        import numpy as np
        import pandas as pd

        for name, value in (("x", x), ("y", y)):
            if value not in self.parameter_names:
                raise ValueError(f"{name}={value!r} is not a parameter of the sweep; one of: {self.parameter_names}")
        if x == y:
            raise ValueError(f"x and y must be two different parameters, got {x!r} twice")
        values = self._metric(metric)
        if agg not in ("mean", "max", "min", "median"):
            raise ValueError(f"agg must be 'mean', 'max', 'min' or 'median', got {agg!r}")
        try:
            import matplotlib.pyplot as plt

            from zelvor.plotting import annotate_cells
        except ImportError as exc:
            raise ImportError("plot_heatmap needs matplotlib: pip install 'zelvor[plot]'") from exc

        # Parameter values in grid order; None (an option that is off) is a value of its own.
        x_codes, x_values = pd.factorize(
            pd.Series([p.get(x) for p in self.params], dtype=object), use_na_sentinel=False
        )
        y_codes, y_values = pd.factorize(
            pd.Series([p.get(y) for p in self.params], dtype=object), use_na_sentinel=False
        )
        ok = (self.table["error"] == "").to_numpy() & values.notna().to_numpy()
        frame = pd.DataFrame({"x": x_codes[ok], "y": y_codes[ok], "v": values.to_numpy(dtype=float)[ok]})
        cells = frame.groupby(["y", "x"])["v"].agg(agg)
        grid = np.full((len(y_values), len(x_values)), np.nan)
        grid[cells.index.get_level_values("y"), cells.index.get_level_values("x")] = cells.to_numpy()

        if ax is None:
            fig, ax = plt.subplots(figsize=(1.0 + 0.9 * len(x_values), 1.0 + 0.6 * len(y_values)), layout="constrained")
        else:
            fig = ax.figure
        image = ax.imshow(np.ma.masked_invalid(grid), cmap="viridis", aspect="auto", origin="lower")
        ax.set_xticks(range(len(x_values)), [_label(v) for v in x_values])
        ax.set_yticks(range(len(y_values)), [_label(v) for v in y_values])
        ax.set_xlabel(x)
        ax.set_ylabel(y)
        varying = [p for p in self.parameter_names if p not in (x, y)]
        ax.set_title(metric if not varying else f"{metric} ({agg} over {', '.join(varying)})")
        if grid.size <= 400:
            finite = grid[np.isfinite(grid)]
            middle = (finite.min() + finite.max()) / 2 if finite.size else 0.0
            annotate_cells(ax, grid, ".3g", fontsize=8, dark=lambda v: v <= middle)
        fig.colorbar(image, ax=ax, label=metric)
        return fig

    def to_html(self, path: str | os.PathLike[str], *, title: str = "Parameter sweep", metric: str = "sharpe") -> None:
        """Write one self-contained page: the heatmap of `metric` over the first two parameters and
        every run ranked by it, formatted as the report page (see `zelvor._html.sweep_html`)."""
        from zelvor._html import sweep_html

        with open(path, "w", encoding="utf-8") as out:
            out.write(sweep_html(self, title=title, metric=metric))

    def _repr_html_(self) -> str:
        from zelvor._html import sweep_summary_html

        return sweep_summary_html(self)

    def __repr__(self) -> str:
        failed = int((self.table["error"] != "").sum())
        return (
            f"Sweep({len(self.table)} runs over {', '.join(self.parameter_names)}; {failed} failed; "
            f"{self.seconds:.1f} s)"
        )


def _label(value: Any) -> str:
    # None (an option that is off) comes back from pandas' factorize as NaN.
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "off"
    if isinstance(value, float):
        return f"{value:g}"
    return str(value)


def sweep(
    weights: Any,
    market: Any,
    grid: Mapping[str, Iterable[Any]] | Sequence[Mapping[str, Any]],
    n_jobs: int = -1,
    backend: Literal["serial", "threads", "processes", "dask"] | None = None,
    client: Any = None,
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
    import pandas as pd

    import zelvor

    if backend is None:
        # Threads unless a set may need stopping: a thread stuck in a set cannot be stopped.
        backend = "threads"
        if timeout is not None:
            import importlib.util

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
    if not isinstance(market, zelvor.Market):
        raise TypeError(f"market must be a zelvor.Market, got {type(market).__name__}")
    if not (callable(weights) or isinstance(weights, pd.DataFrame)):
        raise TypeError(
            f"weights must be a DataFrame or a callable weights(market, **params), got {type(weights).__name__}"
        )
    keys, sets = _expand_grid(grid)
    workers = _cap_workers(workers, len(sets))

    option_names = frozenset(_backtest_option_names())
    clash = sorted(set(keys) & set(fixed_options))
    if clash:
        raise ValueError(f"{', '.join(clash)} given both in grid and as a fixed option")
    strategy_keys = [k for k in (*keys, *fixed_options) if k not in option_names]
    if strategy_keys and not callable(weights):
        raise ValueError(
            f"{', '.join(repr(k) + closest(k, option_names) for k in strategy_keys)} not an option of "
            f"zelvor.backtest (options: "
            f"{', '.join(sorted(option_names))}); strategy parameters need weights to be a callable"
        )
    if callable(weights):
        accepted, required = _weights_parameters(weights)
        if accepted is not None:
            unknown = [k for k in strategy_keys if k not in accepted]
            if unknown:
                raise ValueError(
                    f"{', '.join(repr(k) + closest(k, [*option_names, *accepted]) for k in unknown)} is neither "
                    f"an option of zelvor.backtest nor a parameter of weights {getattr(weights, '__name__', weights)!r}"
                )
        given = set(fixed_options) | {k for k in keys if all(k in s for s in sets)}
        missing = sorted(required - given)
        if missing:
            raise ValueError(f"weights needs {', '.join(map(repr, missing))}: add it to grid or pass it as an option")
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
    rows: dict[int, tuple] = {}  # filled as sets finish: what an interrupted call still returns

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
    sets: list[dict],
    backend: str,
    workers: int,
    client: Any,
    show_progress: bool,
    forced: bool,
    rows: dict[int, tuple],
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
