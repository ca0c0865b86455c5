"""What every worker runs: the job a call sends, the worker-side caches (markets mapped once per
Market, each call's weights and validated inputs once per call) and the rows of a task.
"""

from __future__ import annotations

import os
import threading
from collections import OrderedDict
from collections.abc import Callable, Hashable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import TypeVar

import numpy as np
import pandas as pd

from zelvor._options import PREPARE_NAMES
from zelvor._prepared import stats_run
from zelvor._validate import OptionChecks
from zelvor.backtest import Prepared, backtest, prepare
from zelvor.market import Market
from zelvor.report import Report
from zelvor.sweeps._grid import Params
from zelvor.sweeps._malloc import keep_run_buffers
from zelvor.sweeps._returns import hidden_fields
from zelvor.sweeps._shared import (
    SharedFilesUnavailable,
    ShippedMarket,
    Weights,
    _FrameFile,
    _host,
    _local_markets,
    _MarketFiles,
    _rebuild_market,
    _shipped_market,
)
from zelvor.sweeps._signals import _SetTimedOut, _time_limit, _timeout_error
from zelvor.sweeps._table import _Row


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
    weights: Weights | _FrameFile
    market: Market | _MarketFiles
    fixed_options: Params
    option_names: frozenset[str]  # the keys that are options of zelvor.backtest
    returns: str | None = None  # the dtype each set's daily returns come back in, None: not kept
    timeout: float | None = None  # seconds per parameter set, None: no limit
    _parts: ShippedMarket | None = field(default=None, repr=False)
    origin: int = field(default_factory=os.getpid, repr=False)  # the process of the call (0: unknown)

    def held(self) -> tuple[Market, Weights]:
        """The market and the weights themselves, as the caller's job holds them."""
        if isinstance(self.market, _MarketFiles) or isinstance(self.weights, _FrameFile):
            raise TypeError("this job carries shared-file handles: it is opened where it runs, by _state_of")
        return self.market, self.weights

    def __reduce__(self) -> tuple[Callable[..., _Job], tuple[object, ...]]:
        market = self.market
        if isinstance(market, _MarketFiles):
            return (
                _Job,
                (
                    self.token,
                    self.weights,
                    market,
                    self.fixed_options,
                    self.option_names,
                    self.returns,
                    self.timeout,
                    None,
                    self.origin,
                ),
            )
        # The market travels as its distinct price matrices (Dask sends them as buffers) plus its
        # dates and stocks: pickled as is, it would carry each matrix twice (the frames and the
        # engine-layout arrays that share their memory). The parts are made once per job.
        if self._parts is None:
            self._parts = _shipped_market(market)
        return (
            _job_from_parts,
            (
                self.token,
                self.weights,
                *self._parts,
                self.fixed_options,
                self.option_names,
                self.returns,
                self.timeout,
                self.origin,
            ),
        )


def _job_from_parts(
    token: str,
    weights: Weights | _FrameFile,
    dates: pd.DatetimeIndex,
    stocks: pd.Index,
    matrices: dict[str, np.ndarray],
    delisting: np.ndarray | None,
    fixed_options: Params,
    option_names: frozenset[str],
    returns: str | None,
    timeout: float | None = None,
    origin: int = 0,
) -> _Job:
    market = _rebuild_market(dates, stocks, matrices, delisting)
    return _Job(token, weights, market, fixed_options, option_names, returns, timeout, None, origin)


# Worker side: per process, the markets rebuilt from their files (the last two) and the state of
# the calls running here (the last two), so a worker maps the market once per Market and computes
# and validates the weights once per call, not once per task.
_MARKETS_KEPT = 2


_CALLS_KEPT = 2


_worker_markets: OrderedDict[str, tuple[_MarketFiles, Market]] = OrderedDict()


_worker_calls: OrderedDict[str, _WorkerState] = OrderedDict()


_worker_lock = threading.Lock()  # Dask runs tasks on threads


def _market_of(handle: _MarketFiles) -> Market:
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
        if job.origin != os.getpid():
            keep_run_buffers()
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


_CACHE_SIZE = 8


class _Same:
    """An unhashable parameter value (a frame) as a cache key: equal only to itself. It holds the
    value, so its id cannot be reused by another value while the key is in a cache."""

    __slots__ = ("value",)

    def __init__(self, value: object):
        self.value = value

    def __hash__(self) -> int:
        return id(self.value)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, _Same) and other.value is self.value


def _cache_key(values: Mapping[str, object]) -> tuple[tuple[str, Hashable], ...]:
    """A dict key for parameter values, by type and value: 5 and 5.0 (or True and 1) are equal
    but may not give the same weights. An unhashable value (a frame) is keyed by its identity."""
    return tuple((name, _typed(values[name])) for name in sorted(values))


def _typed(value: object) -> Hashable:
    """`value` as a hashable key that tells apart equal values of different types, inside tuples too."""
    if type(value) is tuple:
        return (tuple, tuple(map(_typed, value)))
    try:
        hash(value)
    except TypeError:
        return _Same(value)
    return (type(value), value)


_V = TypeVar("_V")


class _LRU(OrderedDict[Hashable, _V]):
    """The last `_CACHE_SIZE` values made, by key."""

    def get_or_make(self, key: Hashable, make: Callable[[], _V]) -> _V:
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
        market: Market,
        weights: Weights,
        fixed_options: Params,
        option_names: frozenset[str],
        market_token: str | None = None,
    ):
        self.market = market
        self.weights = weights
        self.fixed_options = fixed_options
        self.option_names = option_names
        self.market_token = market_token
        self.directories: list[str] = []  # of the call's own shared files (a weights frame)
        self.returns: str | None = None  # the dtype of the daily returns rows carry, None: not kept
        self.timeout: float | None = None  # seconds a parameter set may take
        self._weights: _LRU[pd.DataFrame] = _LRU()
        self._prepared: _LRU[Prepared] = _LRU()
        self._checks = OptionChecks()  # each distinct option value of the call checked once
        self._lock = threading.Lock()  # tasks of one call may share the state on Dask threads

    @classmethod
    def of(cls, job: _Job) -> _WorkerState:
        """The state of a job that holds the market and the weights themselves (the caller's)."""
        market, weights = job.held()
        state = cls(market, weights, job.fixed_options, job.option_names)
        state.returns = job.returns
        state.timeout = job.timeout
        return state

    def split(self, params: Mapping[str, object]) -> tuple[Params, Params]:
        """The options of `zelvor.backtest` and the weights callable's parameters of a set."""
        merged = {**self.fixed_options, **params}
        options = {k: v for k, v in merged.items() if k in self.option_names}
        strategy = {k: v for k, v in merged.items() if k not in self.option_names}
        return options, strategy

    def weights_for(self, strategy: Params) -> pd.DataFrame:
        """The weights for these strategy parameters, made once per call and process."""
        weights = self.weights
        if not callable(weights):
            return weights
        return self._weights.get_or_make(_cache_key(strategy), lambda: weights(self.market, **strategy))

    def report(self, params: Mapping[str, object]) -> Report:
        """The full `Report` of one parameter set."""
        options, strategy = self.split(params)
        return backtest(self.weights_for(strategy), self.market, **options)

    def stats_row(self, params: Mapping[str, object]) -> tuple[tuple[str, ...], tuple[object, ...]]:
        """The fields of one set's table row and their values (the statistics, then the hidden
        fields of `_returns`)."""
        with self._lock:
            options, strategy = self.split(params)
            weights = self.weights_for(strategy)
            inputs = {k: options.pop(k) for k in PREPARE_NAMES if k in options}
            prepared = self._prepared.get_or_make(
                (_cache_key(strategy), _cache_key(inputs)),
                lambda: prepare(weights, self.market, **inputs),
            )
        # The run needs no lock: the option checks remember the values they have seen (a dict),
        # the run shares the prepared inputs read-only and simulates without the interpreter lock,
        # so sets on several threads (backend "threads", Dask workers) run at once.
        stats, result = stats_run(prepared, options, memo=self._checks, moments=True, returns=self.returns)
        names, values = hidden_fields(result)
        return (*stats, *names), (*stats.values(), *values)


def _describe(exc: BaseException) -> str:
    message = str(exc).strip()
    return f"{type(exc).__name__}: {message}" if message else type(exc).__name__


def _run_sets(job: _Job, task: int, sets: Sequence[tuple[int, Mapping[str, object]]]) -> tuple[int, list[_Row]]:
    """Run parameter sets in a worker; one row per set: (index, fields, values, error).

    The call's state (market, weights, validated inputs) is made at the call's first task in this
    process and kept for its later tasks.
    """
    return task, _rows(_state_of(job), sets)


def _rows(state: _WorkerState, sets: Sequence[tuple[int, Mapping[str, object]]]) -> list[_Row]:
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
