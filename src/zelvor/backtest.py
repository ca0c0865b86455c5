"""`zelvor.backtest`: target weights (a DataFrame) and a `Market` in, a `Report` out.

For many runs over the same inputs (parameter sweeps), `prepare` validates and converts the
weights, dates and data once; `Prepared.run(**options)` then only checks the scalar options,
and `Prepared.stats(**options)` returns the figures of `Report.stats` without building any table.
"""

from __future__ import annotations

import functools
import inspect
import numbers
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from typing import Any, ParamSpec, TypeVar

import numpy as np
import pandas as pd

from zelvor import _engine, _stats
from zelvor._arrays import PRICE_RULE, bad_prices, first_bad_rows
from zelvor._dates import as_ns, date_index
from zelvor._validate import RunWarning, UnitWarning, check_options, closest, shown, unit_slips, warn
from zelvor.market import Market
from zelvor.report import Report, stats_series

__all__ = ["Prepared", "backtest", "prepare", "run_stats"]

_TRADE_AT = ("close", "open", "high", "low")
# Old pandas aliases that name period ends; pandas 2.2 warns about them and pandas 3 refuses some.
_ALIASES = {"M": "ME", "Q": "QE", "Y": "YE", "A": "YE", "BM": "BME", "BQ": "BQE", "BY": "BYE"}
# The engine's argument names for the options whose public names differ.
_ENGINE_NAMES = {"window": "quelmo_window", "window_step": "quelmo_window_step"}
_DEFAULTS: dict[str, Any] = {
    "fee_ratio": 0.001425,
    "tax_ratio": 0.003,
    "stop_loss": None,
    "take_profit": None,
    "trail_stop": None,
    "trail_stop_activation": 0.0,
    "touched_exit": False,
    "position_limit": 1.0,
    "retain_cost_when_rebalance": False,
    "stop_trading_next_period": True,
    "periodically_rebalance": True,
    "window": 0,
    "window_step": 1,
}

DateLike = str | pd.Timestamp | np.datetime64


# Names of the zone of UTC (zoneinfo, pytz, dateutil and datetime spell it differently).
_UTC_NAMES = frozenset(("UTC", "Etc/UTC", "UCT", "Etc/UCT", "Universal", "Etc/Universal", "Zulu", "Etc/Zulu"))


def _zone(tz: Any) -> str:
    """A comparable name of a time zone (pytz, zoneinfo, dateutil or datetime.timezone)."""
    name = getattr(tz, "key", None) or getattr(tz, "zone", None) or str(tz)
    if name.startswith("tzfile("):  # dateutil: tzfile('/usr/share/zoneinfo/America/New_York')
        name = name.split("zoneinfo/")[-1].strip("')")
    return "UTC" if name in _UTC_NAMES or name in ("tzutc()", "UTC+00:00") else name


def _check_tz(index: pd.DatetimeIndex, market: Market, name: str) -> pd.DatetimeIndex:
    """`index` if its time zone is the market's. Dates in another zone are refused, never shifted:
    a date of one zone is a different row of the other's calendar."""
    mine, theirs = index.tz, market.dates.tz
    if (mine is None) != (theirs is None):
        raise ValueError(
            f"{name}: timezone-aware and timezone-naive dates mixed "
            f"({name} {mine or 'naive'}, market {theirs or 'naive'})"
        )
    if mine is not None and mine != theirs and _zone(mine) != _zone(theirs):
        raise ValueError(
            f"{name}: dates in time zone {_zone(mine)}, the market's in {_zone(theirs)}; dates of different "
            f"zones fall on different rows, so none is shifted: give {name} in the market's zone "
            f"(.tz_convert({_zone(theirs)!r}), or .tz_localize(None).tz_localize({_zone(theirs)!r}) for the "
            f"same calendar dates)"
        )
    return index


def _to_ns(index: pd.DatetimeIndex, name: str) -> np.ndarray:
    """`as_ns`, or a ValueError naming `name` for dates beyond the nanosecond range (1677..2262)."""
    try:
        return as_ns(index)
    except (OverflowError, ValueError) as exc:  # pandas' OutOfBoundsDatetime is a ValueError
        raise ValueError(
            f"{name}: dates from {index.min()} to {index.max()} reach beyond {pd.Timestamp.min.date()} .. "
            f"{pd.Timestamp.max.date()}, the range of the engine's nanosecond timestamps"
        ) from exc


def _day(stamp: pd.Timestamp) -> str:
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


def _weights_matrix(
    weights: pd.DataFrame, market: Market
) -> tuple[pd.DatetimeIndex, np.ndarray, np.ndarray, pd.Index, np.ndarray]:
    """(dates, pos_values float64, engine labels, original labels, market columns) for the
    weights' usable columns. The values are the layer's own copy: later changes to the caller's
    frame do not reach a `Prepared`."""
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"weights: expected a DataFrame (dates x stocks), got {type(weights).__name__}")
    index = _check_tz(date_index(weights.index, "weights"), market, "weights")
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

    labels, where, usable = market._columns_of(columns)
    if not usable.all():
        used = (values[:, ~usable] != 0.0).any(axis=0)
        if used.any():
            names = ", ".join(map(str, columns[~usable][used][:10]))
            raise ValueError(f"weights: no prices in the market for stock(s) given a non-zero weight: {names}")
        values, labels, columns, where = values[:, usable], labels[usable], columns[usable], where[usable]
    return index, values, labels, columns, where


def _resample_dates(resample: object, market: Market, pos_index: np.ndarray) -> np.ndarray:
    if resample is None:
        return pos_index
    if isinstance(resample, str):
        alias = _ALIASES.get(resample, resample)
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
        _check_tz(index, market, "resample")
        return np.unique(_to_ns(index, "resample"))
    raise TypeError(
        f"resample: expected None, a pandas offset alias or a sequence of dates, got {type(resample).__name__}"
    )


def _trading_prices(trade_at: object, market: Market) -> np.ndarray:
    if isinstance(trade_at, str):
        if trade_at not in _TRADE_AT:
            raise ValueError(
                f"trade_at must be one of {', '.join(_TRADE_AT)} or a DataFrame of prices, got {trade_at!r}"
            )
        return getattr(market.arrays, trade_at)
    if isinstance(trade_at, pd.DataFrame):
        frame = trade_at
        _check_tz(date_index(frame.index, "trade_at"), market, "trade_at")
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


def _refuse_bad_prices(fields: list[tuple[str, str, np.ndarray, np.ndarray]], market: Market, held: np.ndarray) -> None:
    """Refuse the first price outside the price rule among the `held` market columns.

    `fields`: (argument, field, matrix [dates, market columns], first bad row per column or -1).
    """
    for argument, name, values, first in fields:
        bad = (first >= 0) & held
        if bad.any():
            col = int(np.argmax(bad))
            row = int(first[col])
            raise ValueError(
                f"{argument}: the {name} price of {market.stocks[col]} on {_day(market.dates[row])} is "
                f"{float(values[row, col])!r}, not a usable price (a price is {PRICE_RULE}); set it to NaN to "
                f"mark the price missing (Market.check() lists every such price)"
            )


def _delisting_bars(delisting: object, market: Market, columns: np.ndarray, cols: np.ndarray) -> np.ndarray | None:
    """Per weights column (`columns` its labels, `cols` its market columns), the delisting row or -1."""
    if delisting is None:
        return None
    if isinstance(delisting, str):
        if delisting != "auto":
            raise ValueError(f"delisting must be None, 'auto' or a Series stock -> date, got {delisting!r}")
        return market.delisting_rows()[cols]
    if isinstance(delisting, pd.Series):
        unknown = [s for s in delisting.index if str(s) not in market._label_pos]
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
        _check_tz(when, market, "delisting")
        rows = np.searchsorted(market.arrays.dates, _to_ns(when, "delisting"), side="right") - 1
        if (rows < 0).any():
            first = delisting.index[int(np.argmax(rows < 0))]
            raise ValueError(f"delisting: the date for {first} is before the first market date")
        by_label = dict(zip((str(s) for s in delisting.index), rows.tolist(), strict=True))
        return np.array([by_label.get(label, -1) for label in columns], dtype=np.int64)
    raise TypeError(f"delisting must be None, 'auto' or a Series stock -> date, got {type(delisting).__name__}")


def _benchmark_prices(benchmark: object, market: Market) -> tuple[np.ndarray | None, str | None]:
    if benchmark is None:
        return None, None
    if isinstance(benchmark, pd.Series):
        index = _check_tz(date_index(benchmark.index, "benchmark"), market, "benchmark")
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
                f"benchmark: the price on {_day(index[i])} is {float(given[i])!r}, not a usable price (a price is "
                f"{PRICE_RULE}); set it to NaN to mark the price missing"
            )
        aligned = pd.Series(given, index=index).reindex(index.union(market.dates)).ffill().reindex(market.dates)
        values = aligned.to_numpy(dtype=np.float64, na_value=np.nan)
        if np.isnan(values).all():
            raise ValueError("benchmark: no price on or before any market date")
        return values, str(benchmark.name) if benchmark.name is not None else "benchmark"
    if isinstance(benchmark, bool | np.bool_):
        raise TypeError(f"benchmark must be None, a price Series or a stock of the market, got {benchmark!r}")
    if isinstance(benchmark, str | int) and str(benchmark) in market._label_pos:
        col = market._label_pos[str(benchmark)]
        _refuse_bad_prices(
            [("benchmark", "close", market.arrays.close, market._bad_trading_rows("close"))],
            market,
            np.arange(market.shape[1]) == col,
        )
        # Carried forward over its gaps, as a Series is: one rule for both ways of naming it.
        close = pd.Series(market.arrays.close[:, col]).ffill()
        return close.to_numpy(dtype=np.float64, na_value=np.nan), str(benchmark)
    raise ValueError(f"benchmark must be None, a price Series or a stock of the market, got {benchmark!r:.80}")


@dataclass
class _Checks:
    """What a `Prepared` checks at its runs beyond the scalar options' own table.

    held: per market column, whether the weights ever give it a non-zero weight.
    has_long, has_short: whether the weights ever go long / short.
    touched_ok: the open, high and low of the held stocks passed the price rule (checked at
        the first run with touched_exit=True).
    warned: the causes already warned about (one warning per cause, however many runs).
    """

    held: np.ndarray
    has_long: bool = False
    has_short: bool = False
    touched_ok: bool = False
    warned: set[str] = field(default_factory=set)

    def warn_once(self, cause: str, message: str, category: type[Warning]) -> None:
        if cause not in self.warned:
            self.warned.add(cause)
            warn(message, category)


def _check_run(prepared: Prepared, given: dict[str, Any], checked: dict[str, Any]) -> None:
    """The checks of one run's options that depend on the weights and the market: unit slips of
    the stop levels and costs, and the price rule for the fields touched exits read."""
    checks = prepared._checks
    for name, message in unit_slips(given, checked, checks.has_long, checks.has_short):
        checks.warn_once(name, message, UnitWarning)
    if checked["touched_exit"]:
        market = prepared.market
        a = market.arrays
        if not checks.touched_ok:
            fields = [("touched_exit", f, getattr(a, f), market._bad_trading_rows(f)) for f in ("open", "high", "low")]
            _refuse_bad_prices(fields, market, checks.held)
            checks.touched_ok = True
        if a.high is a.close and a.low is a.close:  # the Market filled them from close
            checks.warn_once(
                "touched_exit",
                "touched_exit=True on a market with no highs and lows to touch (Market(close=...) alone): the "
                "close stands in for the day's open, high and low, so exits see only the close; give the "
                "market open=, high= and low= frames for intraday exits",
                RunWarning,
            )


_T = TypeVar("_T")  # what an engine call returns


class Prepared:
    """Validated, converted inputs of backtests over one set of weights and one market.

    Made by `prepare`; `run(**options)` and `stats(**options)` take the scalar options of
    `backtest` (fees, stops, limits, window) and check only those.
    """

    __slots__ = (
        "market",
        "_arrays",
        "_columns",
        "_signal_dates",
        "_start_row",
        "_benchmark",
        "_benchmark_name",
        "_given",
        "_checks",
        "_inputs",
    )

    def __init__(
        self,
        market: Market,
        arrays: dict[str, Any],
        columns: pd.Index,
        signal_dates: pd.DatetimeIndex,
        benchmark: np.ndarray | None,
        benchmark_name: str | None,
        given: dict[str, Any],
    ) -> None:
        self.market = market
        self._arrays = arrays
        self._columns = columns
        self._signal_dates = signal_dates
        dates = market.arrays.dates
        self._start_row = min(int(np.searchsorted(dates, arrays["pos_index"][0], side="left")), max(len(dates) - 1, 0))
        self._benchmark = benchmark
        self._benchmark_name = benchmark_name
        self._given = given
        self._checks = _Checks(held=np.ones(market.shape[1], dtype=bool), has_long=True, has_short=True)
        self._inputs: Any = None  # the engine's prepared inputs, made at the first run

    def __repr__(self) -> str:
        dates = self._signal_dates
        span = f"{dates[0].date()} .. {dates[-1].date()}" if len(dates) else "no dates"
        given = ", ".join(f"{k}={v!r}" for k, v in self._given.items() if v is not None)
        return (
            f"<Prepared: {len(self._columns)} stocks weighted on {len(dates)} dates ({span}) "
            f"of {self.market!r}{'; ' + given if given else ''}>"
        )

    def _options(self, options: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
        unknown = set(options) - set(_DEFAULTS)
        if unknown:
            names = [*_DEFAULTS, "risk_free", "periods_per_year"]
            raise TypeError("unknown option(s): " + ", ".join(f"{k}{closest(k, names)}" for k in sorted(unknown)))
        merged = {**_DEFAULTS, **options}
        checked = check_options(merged)
        _check_run(self, merged, checked)
        engine = {_ENGINE_NAMES.get(k, k): v for k, v in checked.items()}
        return merged, engine

    def _raw(self, engine: dict[str, Any], stats: tuple | None = None) -> _engine.RawRun:
        return self._engine_call(lambda inputs, checked: _engine.run(inputs, checked, stats), engine)

    def _engine_call(self, call: Callable[[Any, dict[str, Any]], _T], engine: dict[str, Any]) -> _T:
        inputs = self._inputs
        if inputs is None:
            # Made once (labels matched, gross weights summed); concurrent first runs may each
            # make one, which is harmless. Runs share it read-only.
            inputs = self._inputs = _engine.prepare_inputs(self._arrays)
        try:
            return call(inputs, engine)
        except ValueError as exc:
            # The trading prices were checked for the weighted stocks; say which input is at fault.
            if str(exc).startswith("Invalid trading price"):
                raise ValueError(f"trade_at: {exc}") from exc
            raise

    def run(self, **options: Any) -> Report:
        """Run one backtest with these options (see `backtest`) and return its `Report`."""
        merged, engine = self._options(options)
        raw = self._raw(engine)
        return Report._from_run(
            raw,
            dates=self.market.dates,
            stocks=self._columns,
            signal_dates=self._signal_dates,
            start_row=self._start_row,
            touched_exit=engine["touched_exit"],
            window=engine["quelmo_window"],
            window_step=engine["quelmo_window_step"],
            benchmark=self._benchmark,
            benchmark_name=self._benchmark_name,
            options={**self._given, **merged},
        )

    def stats(self, risk_free: float = 0.0, periods_per_year: int = 252, **options: Any) -> pd.Series:
        """`Report.stats` of one run with these options, without building the report's tables."""
        return stats_series(self.stats_dict(risk_free, periods_per_year, **options))

    def stats_dict(self, risk_free: float = 0.0, periods_per_year: int = 252, **options: Any) -> dict[str, Any]:
        """The same figures as a plain dict (cheapest: for sweeps that collect rows)."""
        return self.stats_and_equity(risk_free, periods_per_year, **options)[0]

    def stats_and_equity(
        self, risk_free: float = 0.0, periods_per_year: int = 252, **options: Any
    ) -> tuple[dict[str, Any], np.ndarray]:
        """`stats_dict` and the run's equity (one value per market date), for sweeps that keep
        each run's daily returns."""
        _, engine = self._options(options)
        dates = self.market.arrays.dates
        request = _stats.request(dates, self._start_row, self._benchmark, risk_free, periods_per_year)
        # Only what the figures read (no excursions, no end-of-run operations), and the figures
        # computed in the run itself: the whole row runs without the interpreter lock.
        equity, figures = self._engine_call(
            lambda inputs, checked: _engine.run_for_stats(inputs, checked, request), engine
        )
        values = _stats.period(dates, self._start_row, self.market.dates.tz)
        values.update(figures)
        return values, equity


_P = ParamSpec("_P")
_R = TypeVar("_R")


def _keywords_checked(func: Callable[_P, _R]) -> Callable[_P, _R]:
    """`func` with a TypeError that suggests the closest parameter for a mistyped keyword
    (stoploss=0.1 -> did you mean 'stop_loss'?) instead of Python's plain message."""
    names = tuple(inspect.signature(func).parameters)
    known = frozenset(names)

    @functools.wraps(func)
    def checked(*args: _P.args, **kwargs: _P.kwargs) -> _R:
        if not known.issuperset(kwargs):
            name = next(k for k in kwargs if k not in known)
            later = " (an option of Prepared.run and Prepared.stats, not of prepare)" if name in _DEFAULTS else ""
            raise TypeError(
                f"{func.__name__}() got an unexpected keyword argument {name!r}{later or closest(name, names)}"
            )
        return func(*args, **kwargs)

    return checked


@_keywords_checked
def prepare(
    weights: pd.DataFrame,
    market: Market,
    resample: str | Sequence[DateLike] | pd.DatetimeIndex | None = None,
    trade_at: str | pd.DataFrame = "close",
    delisting: str | pd.Series | None = None,
    benchmark: pd.Series | str | None = None,
) -> Prepared:
    """Validate and convert everything of a backtest but its scalar options, for many runs.

    Parameters
    ----------
    weights, market, resample, trade_at, delisting, benchmark
        As for `backtest`, and checked the same way (the price rule for the trading price and
        the close of the stocks the weights ever hold; the open, high and low at the first run
        with ``touched_exit=True``). The weights (and a `trade_at` frame) are copied: changing
        the caller's frame afterwards does not change what the runs trade.

    Returns
    -------
    Prepared
        ``.run(**options)`` returns a `Report`, ``.stats(**options)`` its statistics; the
        options are the scalar ones of `backtest` (fees, stops, limits, window), checked at
        every run. A unit slip among them warns once per `Prepared`, however many runs repeat
        it.

    Warns
    -----
    RunWarning
        Weights whose gross exceeds 1 on some dates (the engine scales them down), or weights
        that never hold anything.

    Examples
    --------
    >>> prepared = zelvor.prepare(weights, market, resample="ME")  # doctest: +SKIP
    >>> [prepared.stats(stop_loss=s)["sharpe"] for s in (0.05, 0.1, None)]  # doctest: +SKIP
    """
    if not isinstance(market, Market):
        raise TypeError(f"market: expected a zelvor.Market, got {type(market).__name__}")
    signal_dates, values, labels, columns, cols = _weights_matrix(weights, market)
    pos_index = _to_ns(signal_dates, "weights")
    trading = _trading_prices(trade_at, market)
    # The price rule, for the stocks the weights ever hold: the trading price and the close here,
    # the open, high and low at the first run with touched exits.
    checks = _Checks(held=np.zeros(market.shape[1], dtype=bool))
    checks.held[cols[(values != 0.0).any(axis=0)]] = True
    checks.has_long, checks.has_short = bool((values > 0.0).any()), bool((values < 0.0).any())
    fields = [("market", "close", market.arrays.close, market._bad_trading_rows("close"))]
    if isinstance(trade_at, str) and trade_at != "close":
        fields.insert(0, ("trade_at", trade_at, trading, market._bad_trading_rows(trade_at)))
    elif not isinstance(trade_at, str):
        fields.insert(0, ("trade_at", "trading", trading, first_bad_rows(trading)))
    _refuse_bad_prices(fields, market, checks.held)
    schedule = _resample_dates(resample, market, pos_index)
    arrays = {
        "price_values": trading,
        "close_values": market.arrays.close,
        "high_values": market.arrays.high,
        "low_values": market.arrays.low,
        "open_values": market.arrays.open,
        "price_index": market.arrays.dates,
        "price_columns": market.arrays.columns,
        "pos_values": values,
        "pos_index": pos_index,
        "pos_columns": labels,
        "resample": schedule,
        "delisting_bars": _delisting_bars(delisting, market, labels, cols),
    }
    bench, bench_name = _benchmark_prices(benchmark, market)
    given = {
        "resample": resample,
        "trade_at": trade_at if isinstance(trade_at, str) else "DataFrame",
        "delisting": delisting if delisting is None or isinstance(delisting, str) else "Series",
        "benchmark": bench_name,
    }
    prepared = Prepared(market, arrays, columns, signal_dates, bench, bench_name, given)
    prepared._checks = checks
    _warn_weights(values, signal_dates, market, schedule)
    return prepared


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


def _warn_weights(values: np.ndarray, signal_dates: pd.DatetimeIndex, market: Market, resample: np.ndarray) -> None:
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
            f"the first non-zero weights are dated {_day(signal_dates[int(np.argmax(active))])}, on or after the "
            f"market's last date {_day(market.dates[-1])}, and weights trade on the next market row"
        )
    elif len(dates) > 1 and not _rebalances_into_weights(active, as_ns(signal_dates), dates, resample):
        why = (
            "no rebalancing date of `resample` falls between the first non-zero weights "
            f"({_day(signal_dates[int(np.argmax(active))])}) and the market's last date ({_day(market.dates[-1])})"
        )
    if why:
        warn(f"weights: the run never holds anything: {why}", RunWarning)


@_keywords_checked
def backtest(
    weights: pd.DataFrame,
    market: Market,
    resample: str | Sequence[DateLike] | pd.DatetimeIndex | None = None,
    trade_at: str | pd.DataFrame = "close",
    fee_ratio: float = 0.001425,
    tax_ratio: float = 0.003,
    stop_loss: float | None = None,
    take_profit: float | None = None,
    trail_stop: float | None = None,
    trail_stop_activation: float = 0.0,
    touched_exit: bool = False,
    position_limit: float = 1.0,
    retain_cost_when_rebalance: bool = False,
    stop_trading_next_period: bool = True,
    periodically_rebalance: bool = True,
    window: int = 0,
    window_step: int = 1,
    delisting: str | pd.Series | None = None,
    benchmark: pd.Series | str | None = None,
) -> Report:
    """Backtest target weights on a market and return the `Report`.

    Parameters
    ----------
    weights : DataFrame
        Target weights: index = the dates the weights are decided (a sorted DatetimeIndex in
        the market's time zone), columns = stock labels of the market. A weight is a signed
        fraction of the portfolio value (negative: short); each row holds from its date until
        the next and is traded at the first market row strictly after its date. NaN counts as
        0. A bool frame means equal weights among the True cells of each row. The engine does
        not lever: a row whose absolute weights add up to more than 1 is scaled down to 1 (a
        `RunWarning` counts such rows). Real numbers only (not complex); dates within
        1677..2262.
    market : Market
        The prices. Every price the run reads of the stocks the weights ever hold (the trading
        price, the close, and the open, high and low with ``touched_exit=True``) must be NaN
        (missing) or between 1e-12 and 1e15; any other is a ValueError naming the field, stock
        and date (set it to NaN to mark it missing; `Market.check` lists them all).
    resample : str, sequence of dates or None, default None
        When the portfolio may rebalance. None: on every weights date; a pandas offset alias
        with a positive period ("W", "W-FRI", "M"/"ME", "Q"/"QE", "Y"/"YE"): at the last market
        date of each period, to the latest weights row; or a sequence of dates (not numbers).
    trade_at : {"close", "open", "high", "low"} or DataFrame, default "close"
        The price every trade is filled at, or a DataFrame of real prices with the market's
        dates and stocks (copied by `prepare`).
    fee_ratio : float, default 0.001425
        Fee on every traded amount, a fraction (0.001425 = 0.1425 %); 0: off.
    tax_ratio : float, default 0.003
        Tax on amounts that reduce a holding (0.003 = 0.3 %); 0: off. Both ratios are >= 0
        with a sum below 1; 0.02 (2 %) or more gets a `UnitWarning` (probably percent meant).
    stop_loss, take_profit : float or None, default None
        Exit when a holding has lost / gained this fraction since its cost basis (0.08 = 8 %);
        None: off. A stop-loss of 1 (100 %) or more never fires on a long holding: refused for
        long-only weights, warned otherwise; a take-profit of 1 or more never fires on a short
        one (refused for short-only weights) and one of 10 (1,000 %) or more is warned.
    trail_stop : float or None, default None
        Exit when the holding falls this fraction of its entry price below its best level
        since entry, once it has gained `trail_stop_activation`; None: off (1 or more warns).
    trail_stop_activation : float, default 0.0
        The gain (a fraction) after which the trailing stop starts; 0: at once.
    touched_exit : bool, default False
        False: exits compare the close and fill at the next row's trading price. True: exits
        fill within the row at the touched level (or the open beyond it), using the day's
        high, low and open (a market of closes alone has none: a `RunWarning` says so). Bool
        options take True/False, NumPy bools or the ints 0 and 1.
    position_limit : float, default 1.0
        Largest absolute weight of one stock (1.0: no limit beyond the portfolio).
    retain_cost_when_rebalance : bool, default False
        A holding kept through a rebalance keeps its cost basis (its stops and trade record go
        on) instead of starting afresh.
    stop_trading_next_period : bool, default True
        Stocks stopped out since the last rebalance stay out of the next one.
    periodically_rebalance : bool, default True
        With False, holdings kept through a rebalance continue their trade record (as with
        retain_cost_when_rebalance) though their stops restart.
    window, window_step : int, default 0 and 1
        Also record the excursion statistics over the first `window` rows of every trade,
        every `window_step` rows (`Report.window_stats`); 0: off.
    delisting : None, "auto" or Series, default None
        None: off; "auto": a stock whose prices end before the last market date is sold on its
        last priced row; or a Series stock -> date (one date per stock, in the market's zone):
        sold on the last market row not later than the date.
    benchmark : None, Series or str, default None
        A price Series (real prices in the market's zone, aligned to the market's dates) or a
        stock label of the market (its close); adds alpha and beta to the stats. None: off.
        Either way a missing price is carried forward from the last known one (so a label and
        its close Series give the same figures); rows before the first price are left out.

    Returns
    -------
    Report
        The run's equity, trades, fills, statistics and next-period actions (owned copies).

    Raises
    ------
    TypeError, ValueError
        Before the engine runs, for a bad argument, naming it; a mistyped keyword gets the
        closest option suggested (``stoploss`` -> ``stop_loss``).

    Warns
    -----
    UnitWarning
        A legal option that is almost surely a unit slip (8 meant as 8 %), with what was meant.
    RunWarning
        Weights scaled down (gross above 1), weights that never hold anything, touched exits
        on closes alone.

    Notes
    -----
    Timezone-aware inputs give timezone-aware outputs; inputs in another zone than the
    market's are refused, never shifted. Safe to call from several threads: the simulation
    runs without the interpreter lock, so backtests on different threads run at the same time.

    Examples
    --------
    >>> market = zelvor.Market.synthetic(stocks=50, years=2)
    >>> weights = market.close.ffill().pct_change(60, fill_method=None).rank(axis=1, ascending=False) <= 5
    >>> report = zelvor.backtest(weights, market, resample="ME", stop_loss=0.08)
    >>> report.stats()["total_return"]  # doctest: +SKIP
    """
    options = {
        "fee_ratio": fee_ratio,
        "tax_ratio": tax_ratio,
        "stop_loss": stop_loss,
        "take_profit": take_profit,
        "trail_stop": trail_stop,
        "trail_stop_activation": trail_stop_activation,
        "touched_exit": touched_exit,
        "position_limit": position_limit,
        "retain_cost_when_rebalance": retain_cost_when_rebalance,
        "stop_trading_next_period": stop_trading_next_period,
        "periodically_rebalance": periodically_rebalance,
        "window": window,
        "window_step": window_step,
    }
    check_options(options)
    prepared = prepare(weights, market, resample=resample, trade_at=trade_at, delisting=delisting, benchmark=benchmark)
    return prepared.run(**options)


def run_stats(
    prepared: Prepared, risk_free: float = 0.0, periods_per_year: int = 252, **options: Any
) -> dict[str, Any]:
    """The sweep's fast path: `Report.stats` figures of one run, as a dict (see `Prepared.stats_dict`)."""
    return prepared.stats_dict(risk_free, periods_per_year, **options)
