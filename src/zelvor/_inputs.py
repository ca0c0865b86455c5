"""The inputs of a backtest checked and converted for the engine: the weights matrix, the
rebalance schedule, the trading prices, delistings and the benchmark, each refused up front with
a message naming the argument, and the warnings about weights that will not do what was meant."""

from __future__ import annotations

import numbers
from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from zelvor._arrays import PRICE_RULE, bad_prices
from zelvor._dates import as_ns, date_index, to_ns, zone_conflict, zone_name
from zelvor._validate import RunWarning, shown, warn
from zelvor.market import Market, bad_trading_rows, columns_of, stock_column

__all__ = [
    "ALIASES",
    "check_tz",
    "day",
    "benchmark_prices",
    "delisting_bars",
    "refuse_bad_prices",
    "resample_dates",
    "to_ns",
    "trading_prices",
    "warn_weights",
    "weights_matrix",
]

_TRADE_AT = ("close", "open", "high", "low")
# Old pandas aliases that name period ends; pandas 2.2 warns about them and pandas 3 refuses some.
ALIASES = {"M": "ME", "Q": "QE", "Y": "YE", "A": "YE", "BM": "BME", "BQ": "BQE", "BY": "BYE"}


def check_tz(index: pd.DatetimeIndex, market: Market, name: str) -> pd.DatetimeIndex:
    """`index` if its time zone is the market's. Dates in another zone are refused, never shifted:
    a date of one zone is a different row of the other's calendar."""
    mine, theirs = index.tz, market.dates.tz
    conflict = zone_conflict(index, market.dates)
    if conflict == "mixed":
        raise ValueError(
            f"{name}: timezone-aware and timezone-naive dates mixed "
            f"({name} {mine or 'naive'}, market {theirs or 'naive'})"
        )
    if conflict is not None:
        raise ValueError(
            f"{name}: dates in time zone {zone_name(mine)}, the market's in {zone_name(theirs)}; dates of different "
            f"zones fall on different rows, so none is shifted: give {name} in the market's zone "
            f"(.tz_convert({zone_name(theirs)!r}), or .tz_localize(None).tz_localize({zone_name(theirs)!r}) for the "
            f"same calendar dates)"
        )
    return index


def day(stamp: pd.Timestamp) -> str:
    return str(stamp.date()) if stamp == stamp.normalize() else str(stamp)


def _real_dtype_problem(dtypes: Any) -> str | None:
    """Why a set of column dtypes are not real prices or weights, or None when they are."""
    kinds = set(dtypes)
    if any(pd.api.types.is_complex_dtype(t) for t in kinds):
        return "complex numbers (use real numbers)"
    if any(pd.api.types.is_bool_dtype(t) for t in kinds):
        return "True/False values (use numbers)"
    if not all(pd.api.types.is_numeric_dtype(t) for t in kinds):
        return "not numbers"
    return None


def weights_matrix(
    weights: pd.DataFrame, market: Market
) -> tuple[pd.DatetimeIndex, np.ndarray, np.ndarray, pd.Index, np.ndarray]:
    """(dates, pos_values float64, engine labels, original labels, market columns) for the
    weights' usable columns. The values are the layer's own copy: later changes to the caller's
    frame do not reach a `Prepared`."""
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"weights: expected a DataFrame (dates x stocks), got {type(weights).__name__}")
    index = check_tz(date_index(weights.index, "weights"), market, "weights")
    if len(index) == 0:
        raise ValueError("weights: no dates (the frame has no rows)")
    columns = weights.columns
    if not columns.is_unique:
        raise ValueError(f"weights: duplicate stock columns: {', '.join(map(str, columns[columns.duplicated()][:5]))}")
    kinds = set(weights.dtypes)  # checked per distinct dtype: a wide frame has thousands of columns
    if kinds and all(pd.api.types.is_bool_dtype(t) for t in kinds):
        cells = weights.to_numpy(dtype=bool)
        counts = cells.sum(axis=1, keepdims=True)
        with np.errstate(invalid="ignore", divide="ignore"):
            values = np.where(cells, 1.0 / counts, 0.0)
    else:
        bad_kinds = {t for t in kinds if _real_dtype_problem([t]) is not None}
        if bad_kinds:
            bad = [str(c) for c, t in weights.dtypes.items() if t in bad_kinds]
            kind = _real_dtype_problem(bad_kinds)
            if kind == "not numbers":
                raise TypeError(
                    f"weights: non-numeric weights in column(s) {', '.join(bad[:5])} (use numbers, or a bool frame)"
                )
            raise TypeError(f"weights: column(s) {', '.join(bad[:5])} hold {kind}")
        values = weights.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
        finite = np.isfinite(values)
        if not finite.all():
            missing = np.isnan(values)
            infinite = ~finite & ~missing
            if infinite.any():
                r, c = np.argwhere(infinite)[0]
                raise ValueError(f"weights: infinite weight for {columns[c]} on {index[r]}")
            values[missing] = 0.0

    labels, where, usable = columns_of(market, columns)
    if not usable.all():
        used = (values[:, ~usable] != 0.0).any(axis=0)
        if used.any():
            names = ", ".join(map(str, columns[~usable][used][:10]))
            raise ValueError(f"weights: no prices in the market for stock(s) given a non-zero weight: {names}")
        values, labels, columns, where = values[:, usable], labels[usable], columns[usable], where[usable]
    return index, values, labels, columns, where


def resample_dates(resample: object, market: Market, pos_index: np.ndarray) -> np.ndarray:
    if resample is None:
        return pos_index
    if isinstance(resample, str):
        alias = ALIASES.get(resample, resample)
        unknown = ValueError(
            f"resample: unknown frequency {resample!r} (use a pandas offset alias such as 'W', 'W-FRI', 'ME', "
            f"'QE', 'YE', or a sequence of dates)"
        )
        try:
            offset = pd.tseries.frequencies.to_offset(alias)
        except (ValueError, TypeError) as exc:
            raise unknown from exc
        if offset.n <= 0:
            raise ValueError(f"resample: the period must be positive, got {resample!r} (for example 'W', '5D', 'ME')")
        if len(market.dates) == 0:
            return np.zeros(0, dtype=np.int64)
        try:
            ends = market.dates.to_series().resample(alias).max().dropna()
        except (ValueError, TypeError, ZeroDivisionError, OverflowError) as exc:
            raise unknown from exc
        return as_ns(
            pd.DatetimeIndex(ends.to_numpy()).tz_localize(None) if market.dates.tz is None else pd.DatetimeIndex(ends)
        )
    if isinstance(resample, bytes | bytearray | memoryview):
        raise TypeError(f"resample: expected a str alias such as 'ME' or a sequence of dates, got {shown(resample)}")
    if isinstance(resample, Sequence | np.ndarray | pd.Index | pd.Series):
        dates = resample if isinstance(resample, pd.Index | pd.Series | np.ndarray) else list(resample)
        # Numbers are not dates: pandas would read 20 as 20 ns after 1970.
        dtype = getattr(dates, "dtype", None)
        if dtype is not None and dtype.kind in "biufc":
            raise TypeError(f"resample: expected dates, got numbers ({dtype}); give dates such as '2021-03-31'")
        if dtype is None or dtype.kind == "O":
            number = next((d for d in dates if isinstance(d, numbers.Number | np.number)), None)
            if number is not None:
                raise TypeError(
                    f"resample: expected dates, got the number {shown(number)}; give dates such as '2021-03-31'"
                )
        try:
            index = pd.DatetimeIndex(dates)
        except (TypeError, ValueError, OverflowError) as exc:
            raise TypeError(f"resample: expected dates, got {resample!r:.80}") from exc
        if index.hasnans:
            raise ValueError("resample: missing dates (NaT)")
        check_tz(index, market, "resample")
        return np.unique(to_ns(index, "resample"))
    raise TypeError(
        f"resample: expected None, a pandas offset alias or a sequence of dates, got {type(resample).__name__}"
    )


def trading_prices(trade_at: object, market: Market) -> np.ndarray:
    if isinstance(trade_at, str):
        if trade_at not in _TRADE_AT:
            raise ValueError(
                f"trade_at must be one of {', '.join(_TRADE_AT)} or a DataFrame of prices, got {trade_at!r}"
            )
        return getattr(market.arrays, trade_at)
    if isinstance(trade_at, pd.DataFrame):
        frame = trade_at
        check_tz(date_index(frame.index, "trade_at"), market, "trade_at")
        if not (frame.index.equals(market.dates) and frame.columns.equals(market.stocks)):
            if set(frame.columns) != set(market.stocks) or not frame.index.equals(market.dates):
                raise ValueError("trade_at: the DataFrame must have the market's dates and stocks")
            frame = frame.reindex(columns=market.stocks)
        problem = _real_dtype_problem(frame.dtypes.unique())
        if problem:
            raise TypeError(f"trade_at: prices must be real numbers, got {problem}")
        # A copy: the prices are checked here, and later changes to the caller's frame must not
        # reach the runs of a `Prepared`.
        return frame.to_numpy(dtype=np.float64, na_value=np.nan, copy=True)
    raise TypeError(
        f"trade_at must be one of {', '.join(_TRADE_AT)} or a DataFrame of prices, got {type(trade_at).__name__}"
    )


def refuse_bad_prices(fields: list[tuple[str, str, np.ndarray, np.ndarray]], market: Market, held: np.ndarray) -> None:
    """Refuse the first price outside the price rule among the `held` market columns.

    `fields`: (argument, field, matrix [dates, market columns], first bad row per column or -1).
    """
    for argument, name, values, first in fields:
        bad = (first >= 0) & held
        if bad.any():
            col = int(np.argmax(bad))
            row = int(first[col])
            raise ValueError(
                f"{argument}: the {name} price of {market.stocks[col]} on {day(market.dates[row])} is "
                f"{float(values[row, col])!r}, not a usable price (a price is {PRICE_RULE}); set it to NaN to "
                f"mark the price missing (Market.check() lists every such price)"
            )


def delisting_bars(delisting: object, market: Market, columns: np.ndarray, cols: np.ndarray) -> np.ndarray | None:
    """Per weights column (`columns` its labels, `cols` its market columns), the delisting row or -1."""
    if delisting is None:
        return None
    if isinstance(delisting, str):
        if delisting != "auto":
            raise ValueError(f"delisting must be None, 'auto' or a Series stock -> date, got {delisting!r}")
        return market.delisting_rows()[cols]
    if isinstance(delisting, pd.Series):
        unknown = [s for s in delisting.index if stock_column(market, str(s)) < 0]
        if unknown:
            raise ValueError(f"delisting: stock(s) not in the market: {', '.join(map(str, unknown[:10]))}")
        named = pd.Index([str(s) for s in delisting.index])
        if named.has_duplicates:
            twice = ", ".join(named[named.duplicated()].unique()[:5])
            raise ValueError(f"delisting: stock(s) named more than once: {twice} (give one date per stock)")
        if delisting.dtype.kind in "biufc":
            raise TypeError(f"delisting: the Series' values must be dates, got numbers ({delisting.dtype})")
        try:
            when = pd.DatetimeIndex(delisting)
        except (TypeError, ValueError) as exc:
            raise TypeError("delisting: the Series' values must be dates") from exc
        if when.hasnans:
            raise ValueError("delisting: missing dates (NaT); leave those stocks out instead")
        check_tz(when, market, "delisting")
        rows = np.searchsorted(market.arrays.dates, to_ns(when, "delisting"), side="right") - 1
        if (rows < 0).any():
            first = delisting.index[int(np.argmax(rows < 0))]
            raise ValueError(f"delisting: the date for {first} is before the first market date")
        by_label = dict(zip((str(s) for s in delisting.index), rows.tolist(), strict=True))
        return np.array([by_label.get(label, -1) for label in columns], dtype=np.int64)
    raise TypeError(f"delisting must be None, 'auto' or a Series stock -> date, got {type(delisting).__name__}")


def benchmark_prices(benchmark: object, market: Market) -> tuple[np.ndarray | None, str | None]:
    if benchmark is None:
        return None, None
    if isinstance(benchmark, pd.Series):
        index = check_tz(date_index(benchmark.index, "benchmark"), market, "benchmark")
        problem = _real_dtype_problem([benchmark.dtype])
        if problem == "not numbers":
            raise TypeError("benchmark: prices must be numeric")
        if problem:
            raise TypeError(f"benchmark: prices must be real numbers, got {problem}")
        given = benchmark.to_numpy(dtype=np.float64, na_value=np.nan)
        bad = bad_prices(given)
        if bad.any():
            i = int(np.argmax(bad))
            raise ValueError(
                f"benchmark: the price on {day(index[i])} is {float(given[i])!r}, not a usable price (a price is "
                f"{PRICE_RULE}); set it to NaN to mark the price missing"
            )
        aligned = pd.Series(given, index=index).reindex(index.union(market.dates)).ffill().reindex(market.dates)
        values = aligned.to_numpy(dtype=np.float64, na_value=np.nan)
        if np.isnan(values).all():
            raise ValueError("benchmark: no price on or before any market date")
        return values, str(benchmark.name) if benchmark.name is not None else "benchmark"
    if isinstance(benchmark, bool | np.bool_):
        raise TypeError(f"benchmark must be None, a price Series or a stock of the market, got {benchmark!r}")
    col = stock_column(market, str(benchmark)) if isinstance(benchmark, str | int) else -1
    if col >= 0:
        refuse_bad_prices(
            [("benchmark", "close", market.arrays.close, bad_trading_rows(market, "close"))],
            market,
            np.arange(market.shape[1]) == col,
        )
        # Carried forward over its gaps, as a Series is: one rule for both ways of naming it.
        close = pd.Series(market.arrays.close[:, col]).ffill()
        return close.to_numpy(dtype=np.float64, na_value=np.nan), str(benchmark)
    raise ValueError(f"benchmark must be None, a price Series or a stock of the market, got {benchmark!r:.80}")


def _rebalances_into_weights(
    active: np.ndarray, pos_index: np.ndarray, dates: np.ndarray, resample: np.ndarray
) -> bool:
    """Whether the engine's schedule ever rebalances to a weights row with a non-zero weight.

    A resample date marks the last market row not later than it (the first row for an earlier
    date); a marked row `i` before the last, on or after the first weights date, rebalances on
    row i + 1 to the latest weights row dated before row i + 1.
    """
    n = len(dates)
    if n < 2 or len(resample) == 0:
        return False
    marked = np.unique(np.maximum(np.searchsorted(dates, resample, side="right") - 1, 0))
    marked = marked[(marked < n - 1) & (dates[marked] >= pos_index[0])]
    current = np.searchsorted(pos_index, dates[marked + 1], side="left") - 1
    return bool(active[current[current >= 0]].any())


def warn_weights(values: np.ndarray, signal_dates: pd.DatetimeIndex, market: Market, resample: np.ndarray) -> None:
    """Warn about weights that the engine scales down, and about weights that never hold anything."""
    gross = np.abs(values).sum(axis=1)
    # Bool weights sum to 1 within rounding; the engine scales a row whose gross exceeds 1.
    over = gross > 1.0 + 1e-9
    if over.any():
        warn(
            f"weights: the gross exposure (sum of absolute weights) exceeds 1 on {int(over.sum())} of "
            f"{len(gross)} dates (largest {float(gross.max()):.6g}); the engine does not lever: it scales such "
            f"a row down to a gross of 1, so weights * 2 trade as weights (divide by the gross to silence this)",
            RunWarning,
        )
    active = (values != 0.0).any(axis=1)
    dates = market.arrays.dates
    why = None
    if not active.any():
        why = "every weight is zero, NaN or False (or names a stock without prices)"
    elif len(dates) and signal_dates[int(np.argmax(active))] >= market.dates[-1]:
        why = (
            f"the first non-zero weights are dated {day(signal_dates[int(np.argmax(active))])}, on or after the "
            f"market's last date {day(market.dates[-1])}, and weights trade on the next market row"
        )
    elif len(dates) > 1 and not _rebalances_into_weights(active, as_ns(signal_dates), dates, resample):
        why = (
            "no rebalancing date of `resample` falls between the first non-zero weights "
            f"({day(signal_dates[int(np.argmax(active))])}) and the market's last date ({day(market.dates[-1])})"
        )
    if why:
        warn(f"weights: the run never holds anything: {why}", RunWarning)
