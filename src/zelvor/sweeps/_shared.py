"""The market (once per Market) and large weights (once per call) in shared files for workers.

A Market is treated as immutable, as Market itself does (its engine arrays are views of its
frames and it caches figures derived from them): its files are written at its first sweep on
more than one process and reused by every later sweep, until the Market is freed. Pickled
(Dask on several machines, or a pickled `Sweep`), a market travels as its distinct price
matrices instead.
"""

from __future__ import annotations

import hashlib
import os
import shutil
import socket
import tempfile
import threading
import uuid
import weakref
from collections.abc import Callable, Mapping
from dataclasses import dataclass

import numpy as np
import pandas as pd

from zelvor.market import Market, MarketParts

# Where a shared array is: (path, shape, file size), checked by the worker that maps it.
FileEntry = tuple[str, tuple[int, ...], int]
# A Market as a sweep ships it to its workers: dates, stocks, the distinct price matrices (one
# array per matrix, however many fields share it), the delisting rows.
ShippedMarket = tuple[pd.DatetimeIndex, pd.Index, dict[str, np.ndarray], np.ndarray | None]
# The weights of a sweep: a frame, or a callable weights(market, **params) returning one.
Weights = pd.DataFrame | Callable[..., pd.DataFrame]

_PRICE_FIELDS = ("close", "open", "high", "low")


def _distinct_matrices(market: Market) -> dict[str, tuple[str, np.ndarray]]:
    """Per price field, (the field whose matrix it is, the matrix): a field filled from close (or
    given the same data) names close and is stored once."""
    arrays = market.arrays
    kept: dict[str, np.ndarray] = {}
    fields = {}
    for name in _PRICE_FIELDS:
        matrix = getattr(arrays, name)
        same = next((other for other, m in kept.items() if _same_data(m, matrix)), None)
        if same is None:
            kept[name] = matrix
            same = name
        fields[name] = (same, kept[same])
    return fields


def _same_data(a: np.ndarray, b: np.ndarray) -> bool:
    return a is b or (
        a.__array_interface__["data"] == b.__array_interface__["data"]
        and a.shape == b.shape
        and a.strides == b.strides
        and a.dtype == b.dtype
    )


def _shipped_market(market: Market) -> ShippedMarket:
    # A field that shares another's matrix names the same array object: pickled once.
    return market.dates, market.stocks, _fields_to_pass(_distinct_matrices(market)), market.parts().delisting_rows


def _fields_to_pass(fields: Mapping[str, tuple[str, np.ndarray]]) -> dict[str, np.ndarray]:
    """The matrices to build a Market from: a field that shares close's is left out (Market fills
    it from close), one that shares another field's gets that same array."""
    return {name: matrix for name, (source, matrix) in fields.items() if name == "close" or source != "close"}


def _rebuild_market(
    dates: pd.DatetimeIndex, stocks: pd.Index, matrices: Mapping[str, np.ndarray], delisting: np.ndarray | None
) -> Market:
    """The Market of `_shipped_market`: frames around the given matrices (no copy), a field
    without a matrix filled from close, as in the caller's market."""
    frames = {name: pd.DataFrame(values, index=dates, columns=stocks, copy=False) for name, values in matrices.items()}
    return Market.from_parts(MarketParts(frames, delisting))  # checked in the caller's process


_SHARED_PREFIX = "zelvor-sweep-"


_INLINE_WEIGHTS_BYTES = 1 << 20  # smaller weights frames travel in the task itself


class SharedFilesUnavailable(RuntimeError):
    """A worker cannot see the shared files of a sweep (it runs on another machine)."""


_host_id: str | None = None


def _host() -> str:
    """This machine (and boot): workers with the same answer see the same shared files."""
    global _host_id
    if _host_id is None:
        try:
            with open("/proc/sys/kernel/random/boot_id") as f:
                boot = f.read().strip()
        except OSError:
            boot = ""
        _host_id = f"{socket.gethostname()}/{boot}"
    return _host_id


def _shared_root() -> str:
    """/dev/shm when it is a writable directory (the pages stay in memory), else the temp directory."""
    shm = "/dev/shm"
    if os.path.isdir(shm) and os.access(shm, os.W_OK | os.X_OK):
        return shm
    return tempfile.gettempdir()


def _machine_prefix() -> str:
    return f"{_SHARED_PREFIX}{hashlib.blake2b(_host().encode(), digest_size=4).hexdigest()}-"


def _dir_prefix(pid: int | None = None) -> str:
    """How the names of a process's shared directories begin: this machine's tag, then its pid."""
    return f"{_machine_prefix()}{os.getpid() if pid is None else pid}-"


def _remove_orphans(root: str) -> None:
    """Delete the shared directories of this machine's processes that died without deleting them
    (killed): a directory's name holds its owner's pid. Another user's are left alone."""
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
    if os.getpid() == owner:
        shutil.rmtree(directory, ignore_errors=True)


def _write_arrays(directory: str, arrays: Mapping[str, np.ndarray]) -> dict[str, FileEntry]:
    """np.save each array into `directory`: name -> (path, shape, file size)."""
    written = {}
    for name, values in arrays.items():
        path = os.path.join(directory, f"{name}.npy")
        np.save(path, values, allow_pickle=False)
        written[name] = (path, tuple(values.shape), os.path.getsize(path))
    return written


def _map_arrays(files: Mapping[str, FileEntry]) -> dict[str, np.ndarray]:
    """Memory-map the shared arrays read-only, or SharedFilesUnavailable if they are not here."""
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
class _SharedArrays:
    """Arrays in the files of one shared directory, as tasks carry them: name -> (path, shape, size)."""

    directory: str
    files: dict[str, FileEntry]

    def mapped(self) -> dict[str, np.ndarray]:
        """Read-only maps of the files, or SharedFilesUnavailable where they cannot be read."""
        return _map_arrays(self.files)


@dataclass(frozen=True, eq=False)
class _MarketFiles(_SharedArrays):
    """A market as tasks carry it: its distinct matrices in files (one per field that is not a
    copy of another), and its (small) dates and stocks."""

    token: str
    host: str
    owner: int  # the caller's process, which holds the Market itself
    sources: dict[str, str]  # price field -> the field whose file holds its matrix
    dates: pd.DatetimeIndex
    stocks: pd.Index
    delisting: np.ndarray | None

    def open(self) -> Market:
        """The Market around read-only maps of the files (no copy of the prices)."""
        mapped = self.mapped()
        fields = {name: (source, mapped[source]) for name, source in self.sources.items()}
        return _rebuild_market(self.dates, self.stocks, _fields_to_pass(fields), self.delisting)


_shipping_lock = threading.Lock()


# Per Market, its shared files (deleted when the Market is freed, or at exit); per token, the
# Market itself, so that a task run in the caller's own process uses it instead of the files.
_shipped: weakref.WeakKeyDictionary[Market, _MarketFiles] = weakref.WeakKeyDictionary()


_local_markets: weakref.WeakValueDictionary[str, Market] = weakref.WeakValueDictionary()


def _ship_market(market: Market) -> _MarketFiles:
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
            delisting=market.parts().delisting_rows,
        )
        weakref.finalize(market, _remove_dir, directory, os.getpid())
        _shipped[market] = handle
        _local_markets[token] = market
        return handle


@dataclass(frozen=True, eq=False)
class _FrameFile(_SharedArrays):
    """A large float64 weights frame as tasks carry it: its values in a shared file."""

    index: pd.Index
    columns: pd.Index

    def open(self) -> pd.DataFrame:
        values = self.mapped()["values"]
        return pd.DataFrame(values, index=self.index, columns=self.columns, copy=False)


def _ship_weights(weights: Weights, directory_for: Callable[[int], str]) -> Weights | _FrameFile:
    """Weights as tasks carry them: a large float64 frame in a shared file, the rest as it is."""
    if not isinstance(weights, pd.DataFrame) or weights.size * 8 < _INLINE_WEIGHTS_BYTES:
        return weights
    if not (len(weights.columns) and all(dtype == np.float64 for dtype in weights.dtypes)):
        return weights  # validated as given in the worker: send it unchanged
    values = weights.to_numpy()
    directory = directory_for(values.nbytes)
    files = _write_arrays(directory, {"values": values})
    return _FrameFile(directory=directory, files=files, index=weights.index, columns=weights.columns)
