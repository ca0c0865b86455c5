"""`Market`: the daily prices of a set of stocks as aligned wide DataFrames (dates x stocks).

Underneath the frames, `Market.arrays` holds the same prices in the engine's layout
(`zelvor._arrays.MarketArrays`, shared with the frames, no copy). The loaders live in `zelvor.io`,
the synthetic market and the example strategy in `zelvor.datasets`.
"""

from __future__ import annotations

import warnings
from dataclasses import dataclass
from typing import Any, cast, overload

import numpy as np
import pandas as pd

from zelvor._arrays import (
    FIELDS,
    PRICE_RULE,
    MarketArrays,
    bad_prices,
    delisting_rows,
    first_bad_rows,
    forward_filled,
)
from zelvor._dates import as_ns, date_index, zone_conflict, zone_text
from zelvor._frames import as_pandas_frame, float_matrix, long_to_wide
from zelvor.datasets import synthetic_market

__all__ = ["DataWarning", "Market", "MarketParts"]

# One-day close ratios at or beyond these look like an unadjusted split (or a share dividend).
_SPLIT_DOWN, _SPLIT_UP = 0.55, 1.8


class _PriceFrame:
    """A market's price frame of one field, read-only, named by the attribute."""

    def __set_name__(self, owner: type, name: str) -> None:
        self.field = name

    @overload
    def __get__(self, market: None, owner: type | None = None) -> _PriceFrame: ...
    @overload
    def __get__(self, market: Market, owner: type | None = None) -> pd.DataFrame: ...
    def __get__(self, market: Market | None, owner: type | None = None) -> pd.DataFrame | _PriceFrame:
        return self if market is None else market._frames[self.field]

    def __set__(self, market: Market, value: object) -> None:
        raise AttributeError(f"the {self.field} prices of a Market cannot be replaced")


@dataclass(frozen=True, eq=False)
class MarketParts:
    """The checked parts of a `Market`, from which `Market.from_parts` rebuilds it unchecked.

    Attributes
    ----------
    frames : dict of str to pandas.DataFrame
        The price frames by field (``close``, and ``open``, ``high``, ``low``, each missing one
        taken as close's), with the dates and stocks of close, in its order.
    delisting_rows : numpy.ndarray or None
        Per stock, the row of its last price when it stops trading early, else -1 (int64);
        None: computed from the closes when first asked.
    """

    frames: dict[str, pd.DataFrame]
    delisting_rows: np.ndarray | None = None


class Market:
    """Daily prices of a set of stocks, as aligned wide DataFrames (dates x stocks).

    `close` is required: a DataFrame with a sorted, unique ``DatetimeIndex`` (one row per trading
    day, timezone-naive or -aware, within 1677-09-22 .. 2262-04-11) and one column per stock, NaN
    for a missing price. `open`, `high` and `low` are optional; a missing one is filled from
    `close` (so intraday exits then see the close as the whole day's range). A given one must
    have the dates and stocks of `close`, in the same time zone, in any order: it is aligned to
    `close`'s. Prices are real numbers (integer or float dtypes; booleans, complex numbers, text
    and dates are refused), converted to float64 once, here; frames that are float64 already are
    handed to the engine without a copy, so do not modify them afterwards. A polars DataFrame or
    a pyarrow Table (any frame with ``to_pandas()`` or ``__dataframe__``) is converted to pandas,
    its column named ``date`` (or its one datetime column) becoming the index.

    ``market.dates`` is the DatetimeIndex, ``market.stocks`` the column Index; ``market.close``
    (and ``open``, ``high``, ``low``) the frames. ``market.check()`` lists suspicious data.

    Parameters
    ----------
    close : pandas.DataFrame
        Closing prices, dates x stocks.
    open, high, low : pandas.DataFrame, optional
        The other prices of the day; default: `close`.

    Raises
    ------
    TypeError, ValueError
        A message naming the argument: not a frame, an index that is not dates, unsorted (close)
        or repeated dates, dates out of range, other dates, stocks or zone than close's, prices
        that are not real numbers.

    Examples
    --------
    >>> dates = pd.bdate_range("2024-01-02", periods=3)
    >>> close = pd.DataFrame({"AAA": [10.0, 10.5, 10.2], "BBB": [20.0, 19.5, 19.9]}, index=dates)
    >>> Market(close, open=close.shift(1).fillna(close))
    <Market: 2 stocks x 3 days, 2024-01-02 .. 2024-01-04>
    """

    __slots__ = (
        "_frames",
        "_arrays",
        "_dates",
        "_stocks",
        "_labels",
        "_label_pos",
        "_delisting",
        "_cache",
        "__weakref__",
    )

    def __init__(
        self,
        close: pd.DataFrame,
        open: pd.DataFrame | None = None,  # noqa: A002 - the field's name
        high: pd.DataFrame | None = None,
        low: pd.DataFrame | None = None,
    ) -> None:
        close = as_pandas_frame(close, "close", what="a DataFrame of prices (dates x stocks)")
        dates = date_index(close.index, "close")
        stocks = close.columns
        if not stocks.is_unique:
            dupes = stocks[stocks.duplicated()].unique()[:5]
            raise ValueError(f"close: duplicate stock columns: {', '.join(map(str, dupes))}")
        labels = np.array([str(c) for c in stocks], dtype=object)
        if len(set(labels)) != len(labels):
            raise ValueError("close: two stock columns have the same text label")
        frames = {"close": close}
        arrays = {"close": float_matrix(close, "close")}
        for name, given in (("open", open), ("high", high), ("low", low)):
            if given is None:
                frames[name], arrays[name] = close, arrays["close"]
                continue
            frame = as_pandas_frame(given, name, what="a DataFrame of prices or None")
            index = date_index(frame.index, name, ordered=False)
            conflict = zone_conflict(index, dates)
            if conflict == "mixed":
                raise ValueError(f"{name}: timezone-aware and timezone-naive dates mixed with close")
            if conflict is not None:
                raise ValueError(f"{name}: dates {zone_text(index)}, close's {zone_text(dates)}: give both in one zone")
            if not (index.equals(dates) and frame.columns.equals(stocks)):
                if set(frame.columns) != set(stocks) or len(index) != len(dates) or not index.isin(dates).all():
                    raise ValueError(f"{name}: the dates and stocks must be those of close")
                frame = frame.reindex(index=dates, columns=stocks)
            frames[name] = frame
            arrays[name] = float_matrix(frame, name)
        self._adopt(frames, arrays, labels, None)

    def _adopt(
        self,
        frames: dict[str, pd.DataFrame],
        matrices: dict[str, np.ndarray],
        labels: np.ndarray,
        delisting: np.ndarray | None,
    ) -> None:
        """Take checked frames aligned to close's dates and stocks, their float64 matrices and the
        stocks' text labels as this market's."""
        close = frames["close"]
        self._frames = frames
        self._dates = cast(pd.DatetimeIndex, close.index)
        self._stocks = close.columns
        self._labels = labels
        self._label_pos = {label: j for j, label in enumerate(labels)}
        self._arrays = MarketArrays(
            dates=as_ns(self._dates),
            columns=labels,
            open=matrices["open"],
            high=matrices["high"],
            low=matrices["low"],
            close=matrices["close"],
            delisting_rows=np.empty(0, dtype=np.int64),  # computed on demand: delisting_rows()
        )
        self._delisting = delisting
        self._cache: dict[str, Any] = {}

    # ---- constructors

    @classmethod
    def from_arrays(cls, arrays: MarketArrays, tz: str | None = None) -> Market:
        """Wrap the engine-layout arrays of a loader (no copy of the price matrices)."""
        dates = pd.DatetimeIndex(arrays.dates.astype("datetime64[ns]"))
        if tz is not None:
            dates = dates.tz_localize("UTC").tz_convert(tz)
        stocks = pd.Index(list(arrays.columns), dtype=object)

        def frame(values: np.ndarray) -> pd.DataFrame:
            return pd.DataFrame(values, index=dates, columns=stocks, copy=False)

        close = frame(arrays.close)
        market = cls(
            close,
            open=close if arrays.open is arrays.close else frame(arrays.open),
            high=close if arrays.high is arrays.close else frame(arrays.high),
            low=close if arrays.low is arrays.close else frame(arrays.low),
        )
        if len(arrays.delisting_rows) == len(arrays.columns):
            market._delisting = arrays.delisting_rows
        return market

    @classmethod
    def from_parts(cls, parts: MarketParts) -> Market:
        """The market of `parts`, without checking them again (no copy of the prices).

        The parts must come from `Market.parts`, possibly with each frame replaced by one of the
        same dates, stocks and values (a copy, or a frame around a memory map of its matrix):
        nothing here checks them. This is how a pickled `Market` is rebuilt.

        Parameters
        ----------
        parts : MarketParts
            The checked frames and delisting rows of a market.

        Returns
        -------
        Market
            The market the parts were taken from, or its copy (see the example of `Market.parts`).
        """
        close = parts.frames["close"]
        frames = {name: parts.frames.get(name, close) for name in FIELDS}
        by_frame: dict[int, np.ndarray] = {}
        matrices = {}
        for name, frame in frames.items():
            if id(frame) not in by_frame:  # a frame two fields share is converted once
                by_frame[id(frame)] = frame.to_numpy(dtype=np.float64, na_value=np.nan)
            matrices[name] = by_frame[id(frame)]
        labels = np.array([str(c) for c in close.columns], dtype=object)
        market = cls.__new__(cls)
        market._adopt(frames, matrices, labels, parts.delisting_rows)
        return market

    @classmethod
    def from_long(cls, frame: pd.DataFrame, *, warn: bool = True) -> Market:
        """A market from one row per date and stock.

        Columns (any case): ``date``, ``close``, optionally ``open``, ``high``, ``low``, and the
        stock (the first of ``name``, ``ticker``, ``symbol``, ``stock``, ``stock_id``, ``code``,
        ``asset`` present); others are ignored. Two columns that differ only in case (``Close``
        and ``close``) are refused as ambiguous. A stock without a row on a date has NaN prices
        there. A polars DataFrame or pyarrow Table is converted to pandas first.

        Parameters
        ----------
        frame : pandas.DataFrame
            The rows. Dates are datetimes or text such as ``2024-01-02`` (numbers are refused:
            they would read as nanoseconds since 1970); every row names its stock, all names of
            one type; prices are real numbers or numeric text (NaN or None for a missing one).
        warn : bool, default True
            Warn (`DataWarning`, once, with their count) when `Market.check` finds suspicious
            prices.

        Returns
        -------
        Market
            Dates ascending, stocks sorted.

        Raises
        ------
        TypeError, ValueError
            A message naming the frame's column and, for a bad value, its row: a missing or
            ambiguous column, a missing, unreadable or out-of-range date, a missing stock name,
            names of mixed types, a price that is not a real number, two rows for one stock and
            date.

        Examples
        --------
        >>> rows = pd.DataFrame({"date": ["2024-01-02", "2024-01-02", "2024-01-03"],
        ...                      "symbol": ["AAA", "BBB", "AAA"], "close": [10.0, 20.0, 10.5]})
        >>> Market.from_long(rows).close
                     AAA   BBB
        2024-01-02  10.0  20.0
        2024-01-03  10.5   NaN
        """
        market = cls(**long_to_wide(frame))
        if warn:
            warn_problems(market)
        return market

    @classmethod
    def synthetic(cls, stocks: int = 500, years: float = 10, seed: int = 0) -> Market:
        """The seeded synthetic market of the demo: `years` of weekdays (261 a year) from 2010-01-04.

        Prices follow a common factor plus stock noise (about 2 % daily volatility); some stocks
        list late, some stop trading (delisted), a few days have no prices.
        """
        n_days = max(2, round(years * 261))
        return cls.from_arrays(synthetic_market(int(stocks), n_days, seed=seed))

    # ---- views

    @property
    def dates(self) -> pd.DatetimeIndex:
        """The trading days (the index of every price frame)."""
        return self._dates

    @property
    def stocks(self) -> pd.Index:
        """The stock labels (the columns of every price frame)."""
        return self._stocks

    close = _PriceFrame()
    """The closing prices (dates x stocks)."""
    open = _PriceFrame()
    """The opening prices; close's frame when none was given."""
    high = _PriceFrame()
    """The day's highest prices; close's frame when none was given."""
    low = _PriceFrame()
    """The day's lowest prices; close's frame when none was given."""

    @property
    def shape(self) -> tuple[int, int]:
        """(trading days, stocks)."""
        return self._arrays.close.shape

    @property
    def arrays(self) -> MarketArrays:
        """The engine-layout arrays (shared with the frames; read them, do not write them)."""
        return self._arrays

    def delisting_rows(self) -> np.ndarray:
        """Per stock, the row of its last close when its prices end before the last date, else -1."""
        if self._delisting is None:
            self._delisting = delisting_rows(self._arrays.close)
        return self._delisting

    def parts(self) -> MarketParts:
        """What rebuilds this market elsewhere without checking it again (`Market.from_parts`).

        The price frames (a field filled from close is close's frame itself, and a pickle of the
        parts carries it once) and the delisting rows when they are known (those of a loader, or
        once computed). The engine-layout arrays are left out: they share the frames' memory and
        are derived from them again. A pickled `Market` carries its parts.

        Returns
        -------
        MarketParts

        Examples
        --------
        >>> market = Market.synthetic(stocks=3, years=0.1)
        >>> sorted(market.parts().frames)
        ['close', 'high', 'low', 'open']
        >>> Market.from_parts(market.parts())
        <Market: 3 stocks x 26 days, 2010-01-04 .. 2010-02-08>
        """
        return MarketParts(frames=dict(self._frames), delisting_rows=self._delisting)

    def __reduce__(self) -> tuple[Any, tuple[MarketParts]]:
        # Pickled as its parts: the frames once (not also the arrays that share their memory),
        # rebuilt without checking them again.
        return (Market.from_parts, (self.parts(),))

    def __repr__(self) -> str:
        n, p = self.shape
        if n == 0:
            return f"<Market: {p} stocks, no dates>"
        return f"<Market: {p} stocks x {n} days, {self._dates[0].date()} .. {self._dates[-1].date()}>"

    # ---- data checks

    def check(self) -> pd.DataFrame:
        """Suspicious prices, one row each: ``date, stock, field, value, problem``.

        Problems: a price that is not NaN and not between 1e-12 and 1e15 (zero, negative,
        infinite, subnormal or absurdly large: `zelvor.backtest` refuses these for the stocks
        it trades); a high below the low; a one-day
        close ratio of 0.55 or less, or 1.8 or more (a split, reverse split or share dividend
        that the prices were not adjusted for). An empty frame means nothing was found.
        """
        a = self._arrays
        found: list[tuple[np.ndarray, np.ndarray, str, np.ndarray, str]] = []
        seen: set[int] = set()
        for name in FIELDS:
            values = getattr(a, name)
            if id(values) in seen:
                continue
            seen.add(id(values))
            r, c = np.nonzero(bad_prices(values))
            found.append((r, c, name, values[r, c], f"not a usable price ({PRICE_RULE})"))
        if a.high is not a.low:
            with np.errstate(invalid="ignore"):
                r, c = np.nonzero(a.high < a.low)
            found.append((r, c, "high", a.high[r, c], "high below low"))
        filled, _ = forward_filled(a.close)
        with np.errstate(invalid="ignore", divide="ignore"):
            ratio = a.close[1:] / filled[:-1]
            r, c = np.nonzero((ratio <= _SPLIT_DOWN) | (ratio >= _SPLIT_UP))
        found.append(
            (r + 1, c, "close", ratio[r, c], "one-day move that looks like an unadjusted split (value: the ratio)")
        )
        rows = np.concatenate([f[0] for f in found])
        cols = np.concatenate([f[1] for f in found])
        out = pd.DataFrame(
            {
                "date": self._dates[rows],
                "stock": self._stocks[cols],
                "field": np.concatenate([np.full(len(f[0]), f[2], dtype=object) for f in found]),
                "value": np.concatenate([f[3] for f in found]).astype(np.float64),
                "problem": np.concatenate([np.full(len(f[0]), f[4], dtype=object) for f in found]),
            }
        )
        return out.sort_values(["date", "stock"], kind="stable").reset_index(drop=True)


class DataWarning(UserWarning):
    """Prices that look wrong (see `Market.check`)."""


# ---- what the layer asks of a market beyond its public views (not part of the public API)


def stock_column(market: Market, label: str) -> int:
    """The column of the stock whose text label is `label`, or -1 when the market has none."""
    return market._label_pos.get(label, -1)


def _priced_columns(market: Market) -> np.ndarray:
    """Per stock, whether it has at least one close (cached)."""
    cache = market._cache
    if "priced" not in cache:
        cache["priced"] = ~np.isnan(market.arrays.close).all(axis=0)
    return cache["priced"]


def columns_of(market: Market, columns: pd.Index) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """(text labels, column in `market` or -1, has prices there) for a weights frame's columns;
    the last answer is kept, since a sweep hands the same columns again and again."""
    cached = market._cache.get("columns")
    if cached is not None and cached[0] is columns:
        return cached[1], cached[2], cached[3]
    labels = np.array([str(c) for c in columns], dtype=object)
    position = market._label_pos
    where = np.fromiter((position.get(label, -1) for label in labels), dtype=np.int64, count=len(labels))
    usable = (where >= 0) & _priced_columns(market)[np.maximum(where, 0)] if len(labels) else where >= 0
    market._cache["columns"] = (columns, labels, where, usable)
    return labels, where, usable


def bad_trading_rows(market: Market, field: str) -> np.ndarray:
    """Per stock, the first row of a `field` price outside the price rule (`bad_prices`), or -1 (cached)."""
    key = "bad_" + field
    if key not in market._cache:
        market._cache[key] = first_bad_rows(getattr(market.arrays, field))
    return market._cache[key]


def warn_problems(market: Market) -> None:
    """A `DataWarning` for the caller of the loader that calls this when `market.check()` finds anything."""
    problems = market.check()
    if len(problems):
        warnings.warn(f"{len(problems)} suspicious price(s) in the data: see Market.check()", DataWarning, stacklevel=3)
