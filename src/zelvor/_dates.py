"""The rules on dates shared by `Market`, the loaders and `backtest`: a price index is a unique
DatetimeIndex within the engine's nanosecond range, and the engine's dates are int64 nanoseconds
since the epoch.
"""

from __future__ import annotations

import datetime as _dt
from typing import Any

import numpy as np
import pandas as pd

__all__ = [
    "FIRST_DAY",
    "LAST_DAY",
    "as_ns",
    "date_index",
    "range_error",
    "to_ns",
    "zone_conflict",
    "zone_name",
    "zone_text",
]

# The calendar days whose midnight fits int64 nanoseconds (the engine's and pandas' range).
FIRST_DAY = _dt.date(1677, 9, 22)
LAST_DAY = _dt.date(2262, 4, 11)
# Names of the zone of UTC (zoneinfo, pytz, dateutil and datetime spell it differently).
_UTC_NAMES = frozenset(("UTC", "Etc/UTC", "UCT", "Etc/UCT", "Universal", "Etc/Universal", "Zulu", "Etc/Zulu"))


def range_error(name: str, first: pd.Timestamp, last: pd.Timestamp) -> ValueError:
    """The error of dates from `first` to `last` that reach beyond the engine's nanosecond dates."""
    return ValueError(
        f"{name}: dates from {first.date()} to {last.date()} reach beyond "
        f"{FIRST_DAY} .. {LAST_DAY}, the range of the engine's nanosecond dates"
    )


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
            raise range_error(name, index.min(), index.max()) from None
    return index


def as_ns(index: pd.DatetimeIndex) -> np.ndarray:
    """Int64 nanoseconds since the epoch (UTC for a timezone-aware index)."""
    return np.asarray(index.as_unit("ns").asi8, dtype=np.int64)


def to_ns(index: pd.DatetimeIndex, name: str) -> np.ndarray:
    """`as_ns`, or a ValueError naming `name` for dates beyond the nanosecond range."""
    try:
        return as_ns(index)
    except (OverflowError, ValueError):  # pandas' OutOfBoundsDatetime is a ValueError
        raise range_error(name, index.min(), index.max()) from None


def zone_name(tz: Any) -> str:
    """A comparable name of a time zone (pytz, zoneinfo, dateutil or datetime.timezone)."""
    name = getattr(tz, "key", None) or getattr(tz, "zone", None) or str(tz)
    if name.startswith("tzfile("):  # dateutil: tzfile('/usr/share/zoneinfo/America/New_York')
        name = name.split("zoneinfo/")[-1].strip("')")
    return "UTC" if name in _UTC_NAMES or name in ("tzutc()", "UTC+00:00") else name


def zone_conflict(index: pd.DatetimeIndex, reference: pd.DatetimeIndex) -> str | None:
    """Why the dates of `index` cannot be matched with those of `reference`: ``"mixed"`` (one is
    timezone-aware, the other naive), ``"zones"`` (two time zones), or None.

    Dates are never shifted from one zone to another, since a date of one zone is a different row
    of the other's calendar. Zones are compared by name: the spellings of one zone (zoneinfo's,
    pytz's, dateutil's, datetime's UTC) are one zone.
    """
    mine, theirs = index.tz, reference.tz
    if (mine is None) != (theirs is None):
        return "mixed"
    if mine is not None and mine != theirs and zone_name(mine) != zone_name(theirs):
        return "zones"
    return None


def zone_text(index: pd.DatetimeIndex) -> str:
    return "timezone-naive" if index.tz is None else f"in {index.tz}"
