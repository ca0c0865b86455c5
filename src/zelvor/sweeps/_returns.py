"""Each parameter set's daily returns in a sweep, and the table figures made from all of them.

A worker appends two hidden fields to the row of each set it runs: ``_moments`` (the numbers
of returns, the per-period Sharpe ratio, the skewness and the kurtosis: what the deflated
Sharpe ratio needs) and, when the sweep keeps them, ``_returns`` (the set's daily returns as
float64 or float32). The caller takes them out of the rows before the table is built.
"""

from __future__ import annotations

from typing import Any

import numpy as np

from zelvor._sharpe import deflated_sharpe_ratio

__all__ = ["DTYPES", "check_dtype", "collect", "hidden_fields"]

DTYPES = ("float64", "float32")
_RETURNS = "_returns"
_MOMENTS = "_moments"


def check_dtype(returns: Any) -> str | None:
    """The sweep's `returns` argument: "float64", "float32", or None (not kept)."""
    if returns is None or returns is False:
        return None
    if returns is True:
        return "float64"
    if isinstance(returns, str) and returns in DTYPES:
        return returns
    if isinstance(returns, type | np.dtype) and np.dtype(returns).name in DTYPES:
        return np.dtype(returns).name
    raise ValueError(f"returns must be 'float64', 'float32' or None (not kept), got {returns!r}")


def hidden_fields(result: dict[str, Any]) -> tuple[tuple[str, ...], tuple[Any, ...]]:
    """The hidden fields a worker appends to a set's row (see the module's docstring), from the
    native run's result (`zelvor._stats.request` with moments, and returns when kept)."""
    if "returns" not in result:
        return (_MOMENTS,), (result["moments"],)
    return (_MOMENTS, _RETURNS), (result["moments"], result["returns"])


def collect(rows: dict[int, tuple], n_sets: int, dates: Any, dtype: str | None) -> tuple[Any, np.ndarray]:
    """Take the hidden fields out of the rows (in place): (the returns frame or None, moments).

    The frame is dates x sets (columns 0..n_sets-1, as the table's index), a NaN column for a
    set that failed. `moments` is (n_sets, 4): observations, Sharpe, skewness, kurtosis.
    """
    import pandas as pd

    moments = np.full((n_sets, 4), np.nan)
    matrix = np.full((len(dates), n_sets), np.nan, dtype=dtype) if dtype is not None else None
    for index in range(n_sets):
        i, fields, values, error = rows[index]
        if _MOMENTS not in fields:
            continue
        keep = [k for k, name in enumerate(fields) if name not in (_MOMENTS, _RETURNS)]
        extra = dict(zip(fields[len(keep) :], values[len(keep) :], strict=True))
        moments[index] = extra[_MOMENTS]
        if matrix is not None and _RETURNS in extra:
            matrix[:, index] = extra[_RETURNS]
        rows[index] = (i, fields[: len(keep)], values[: len(keep)], error)
    frame = None
    if matrix is not None:
        frame = pd.DataFrame(matrix, index=dates, columns=pd.RangeIndex(n_sets), copy=False)
    return frame, moments


def deflated_column(moments: np.ndarray) -> np.ndarray:
    """Per set, its Sharpe ratio deflated for the number of sets with a Sharpe ratio and their
    variance (Bailey and López de Prado 2014); NaN for a set without one."""
    n, sr, skew, kurt = moments.T
    valid = np.isfinite(sr) & np.isfinite(skew) & np.isfinite(kurt)
    out = np.full(len(moments), np.nan)
    if not valid.any():
        return out
    variance = float(np.var(sr[valid], ddof=1)) if valid.sum() > 1 else 0.0
    out[valid] = deflated_sharpe_ratio(sr[valid], n[valid], skew[valid], kurt[valid], int(valid.sum()), variance)
    return out
