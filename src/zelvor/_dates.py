"""The rules on dates shared by `Market`, the loaders and `backtest`: a price index is a unique
DatetimeIndex within the engine's nanosecond range, and the engine's dates are int64 nanoseconds
since the epoch.
"""

from __future__ import annotations

import datetime as _dt

import numpy as np
import pandas as pd

__all__ = ["FIRST_DAY", "LAST_DAY", "as_ns", "date_index", "zone_text"]

# The calendar days whose midnight fits int64 nanoseconds (the engine's and pandas' range).
FIRST_DAY = _dt.date(1677, 9, 22)
LAST_DAY = _dt.date(2262, 4, 11)


def date_index(index: object, name: str, *, ordered: bool = True) -> pd.DatetimeIndex:
    """`index` as a unique DatetimeIndex within the engine's date range, sorted unless not
    `ordered`, or a ValueError/TypeError naming `name`."""
    if not isinstance(index, pd.DatetimeIndex):
        raise TypeError(f"{name}: the index must be a DatetimeIndex of dates, got {type(index).__name__}")
    if index.hasnans:
        raise ValueError(f"{name}: the index has missing dates (NaT)")
    if ordered and not index.is_monotonic_increasing:
        raise ValueError(f"{name}: the dates are not sorted in ascending order")
    if not index.is_unique:
        dupes = index[index.duplicated()].unique()[:5]
        raise ValueError(f"{name}: duplicate dates in the index: {', '.join(str(d.date()) for d in dupes)}")
    if len(index) and index.unit != "ns":
        try:
            index.as_unit("ns")
        except (OverflowError, ValueError):  # pandas' OutOfBoundsDatetime is a ValueError
            raise ValueError(
                f"{name}: dates from {index.min().date()} to {index.max().date()} reach beyond "
                f"{FIRST_DAY} .. {LAST_DAY}, the range of the engine's nanosecond dates"
            ) from None
    return index


def as_ns(index: pd.DatetimeIndex) -> np.ndarray:
    """Int64 nanoseconds since the epoch (UTC for a timezone-aware index)."""
    return np.asarray(index.as_unit("ns").asi8, dtype=np.int64)


def zone_text(index: pd.DatetimeIndex) -> str:
    return "timezone-naive" if index.tz is None else f"in {index.tz}"
