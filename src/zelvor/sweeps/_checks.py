"""Checks of `sweep`'s arguments that are not the grid: workers, progress, timeout, Dask client,
and the optional libraries a backend needs.
"""

from __future__ import annotations

import math
import numbers
import os
import sys

_SWEEP_EXTRA = "pip install 'zelvor[sweep]'"


def _resolve_n_jobs(n_jobs: object) -> int:
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


def _check_progress(progress: object) -> bool:
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


def _check_timeout(timeout: object) -> float | None:
    if timeout is None:
        return None
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


def _check_client(client: object, backend: str) -> None:
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
