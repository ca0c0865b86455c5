"""`zelvor.backtest`: target weights (a DataFrame) and a `Market` in, a `Report` out.

For many runs over the same inputs (parameter sweeps), `prepare` validates and converts the
weights, dates and data once; `Prepared.run(**options)` then only checks the scalar options,
and `Prepared.stats(**options)` returns the figures of `Report.stats` without building any table.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import numpy as np
import pandas as pd

from zelvor import _engine
from zelvor._validate import check_options
from zelvor.market import Market, _date_index, _ns
from zelvor.report import Report, compute_stats

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


def _check_tz(index: pd.DatetimeIndex, market: Market, name: str) -> pd.DatetimeIndex:
    if (index.tz is None) != (market.dates.tz is None):
        raise ValueError(
            f"{name}: timezone-aware and timezone-naive dates mixed "
            f"({name} {index.tz or 'naive'}, market {market.dates.tz or 'naive'})"
        )
    return index


def _weights_matrix(
    weights: pd.DataFrame, market: Market
) -> tuple[pd.DatetimeIndex, np.ndarray, np.ndarray, pd.Index, np.ndarray]:
    """(dates, pos_values float64, engine labels, original labels, market columns) for the
    weights' usable columns."""
    if not isinstance(weights, pd.DataFrame):
        raise TypeError(f"weights: expected a DataFrame (dates x stocks), got {type(weights).__name__}")
    index = _check_tz(_date_index(weights.index, "weights"), market, "weights")
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
        bad_kinds = {t for t in kinds if not pd.api.types.is_numeric_dtype(t) or pd.api.types.is_bool_dtype(t)}
        if bad_kinds:
            bad = [str(c) for c, t in weights.dtypes.items() if t in bad_kinds]
            raise TypeError(
                f"weights: non-numeric weights in column(s) {', '.join(bad[:5])} (use numbers, or a bool frame)"
            )
        values = weights.to_numpy(dtype=np.float64, na_value=np.nan)
        finite = np.isfinite(values)
        if not finite.all():
            missing = np.isnan(values)
            infinite = ~finite & ~missing
            if infinite.any():
                r, c = np.argwhere(infinite)[0]
                raise ValueError(f"weights: infinite weight for {columns[c]} on {index[r]}")
            values = np.where(missing, 0.0, values)

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
        if len(market.dates) == 0:
            return np.zeros(0, dtype=np.int64)
        try:
            ends = market.dates.to_series().resample(alias).max().dropna()
        except (ValueError, TypeError) as exc:
            raise ValueError(
                f"resample: unknown frequency {resample!r} (use a pandas offset alias such as 'W', 'W-FRI', 'ME', "
                f"'QE', 'YE', or a sequence of dates)"
            ) from exc
        return _ns(
            pd.DatetimeIndex(ends.to_numpy()).tz_localize(None) if market.dates.tz is None else pd.DatetimeIndex(ends)
        )
    if isinstance(resample, Sequence | np.ndarray | pd.Index | pd.Series):
        dates = resample if isinstance(resample, pd.Index | pd.Series | np.ndarray) else list(resample)
        try:
            index = pd.DatetimeIndex(dates)
        except (TypeError, ValueError) as exc:
            raise TypeError(f"resample: expected dates, got {resample!r:.80}") from exc
        if index.hasnans:
            raise ValueError("resample: missing dates (NaT)")
        _check_tz(index, market, "resample")
        return np.unique(_ns(index))
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
        _check_tz(_date_index(frame.index, "trade_at"), market, "trade_at")
        if not (frame.index.equals(market.dates) and frame.columns.equals(market.stocks)):
            if set(frame.columns) != set(market.stocks) or not frame.index.equals(market.dates):
                raise ValueError("trade_at: the DataFrame must have the market's dates and stocks")
            frame = frame.reindex(columns=market.stocks)
        if not all(pd.api.types.is_numeric_dtype(t) for t in frame.dtypes.unique()):
            raise TypeError("trade_at: prices must be numeric")
        return frame.to_numpy(dtype=np.float64, na_value=np.nan)
    raise TypeError(
        f"trade_at must be one of {', '.join(_TRADE_AT)} or a DataFrame of prices, got {type(trade_at).__name__}"
    )


def _bad_price_columns(prices: np.ndarray) -> np.ndarray:
    """Per column, the first row of a zero, negative or infinite price; -1 if none."""
    with np.errstate(invalid="ignore"):
        bad = ~np.isnan(prices) & ~((prices > 0) & (prices < np.inf))
    first = np.argmax(bad, axis=0)
    return np.where(bad.any(axis=0), first, -1)


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
        try:
            when = pd.DatetimeIndex(delisting.to_numpy())
        except (TypeError, ValueError) as exc:
            raise TypeError("delisting: the Series' values must be dates") from exc
        if when.hasnans:
            raise ValueError("delisting: missing dates (NaT); leave those stocks out instead")
        _check_tz(when, market, "delisting")
        rows = np.searchsorted(market.arrays.dates, _ns(when), side="right") - 1
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
        index = _check_tz(_date_index(benchmark.index, "benchmark"), market, "benchmark")
        if not pd.api.types.is_numeric_dtype(benchmark.dtype):
            raise TypeError("benchmark: prices must be numeric")
        aligned = benchmark.astype(np.float64).reindex(index.union(market.dates)).ffill().reindex(market.dates)
        values = aligned.to_numpy(dtype=np.float64, na_value=np.nan)
        if np.isnan(values).all():
            raise ValueError("benchmark: no price on or before any market date")
        return values, str(benchmark.name) if benchmark.name is not None else "benchmark"
    if isinstance(benchmark, str | int) and str(benchmark) in market._label_pos:
        # Carried forward over its gaps, as a Series is: one rule for both ways of naming it.
        close = pd.Series(market.arrays.close[:, market._label_pos[str(benchmark)]]).ffill()
        return close.to_numpy(dtype=np.float64, na_value=np.nan), str(benchmark)
    raise ValueError(f"benchmark must be None, a price Series or a stock of the market, got {benchmark!r:.80}")


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

    def _options(self, options: dict[str, Any]) -> tuple[dict[str, Any], dict[str, Any]]:
        unknown = set(options) - set(_DEFAULTS)
        if unknown:
            raise TypeError(f"unknown option(s): {', '.join(sorted(unknown))}")
        merged = {**_DEFAULTS, **options}
        checked = check_options(merged)
        engine = {_ENGINE_NAMES.get(k, k): v for k, v in checked.items()}
        return merged, engine

    def _raw(self, engine: dict[str, Any]) -> _engine.RawRun:
        try:
            return _engine.run(self._arrays, engine)
        except ValueError as exc:
            # The trading prices were checked for the weighted stocks; say which input is at fault.
            if str(exc).startswith("Invalid trading price"):
                raise ValueError(f"trade_at: {exc}") from exc
            raise

    def run(self, **options: Any) -> Report:
        """Run one backtest with these options (see `backtest`) and return its `Report`."""
        merged, engine = self._options(options)
        raw = self._raw(engine)
        return Report(
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
        return pd.Series(self.stats_dict(risk_free, periods_per_year, **options), dtype=object, name="stats")

    def stats_dict(self, risk_free: float = 0.0, periods_per_year: int = 252, **options: Any) -> dict[str, Any]:
        """The same figures as a plain dict (cheapest: for sweeps that collect rows)."""
        return self.stats_and_equity(risk_free, periods_per_year, **options)[0]

    def stats_and_equity(
        self, risk_free: float = 0.0, periods_per_year: int = 252, **options: Any
    ) -> tuple[dict[str, Any], np.ndarray]:
        """`stats_dict` and the run's equity (one value per market date), for sweeps that keep
        each run's daily returns."""
        _, engine = self._options(options)
        raw = self._raw(engine)
        return compute_stats(
            raw.equity,
            self.market.arrays.dates,
            self._start_row,
            raw.trades,
            raw.fills,
            self._benchmark,
            risk_free,
            periods_per_year,
            self.market.dates.tz,
        ), raw.equity


def prepare(
    weights: pd.DataFrame,
    market: Market,
    resample: str | Sequence[DateLike] | pd.DatetimeIndex | None = None,
    trade_at: str | pd.DataFrame = "close",
    delisting: str | pd.Series | None = None,
    benchmark: pd.Series | str | None = None,
) -> Prepared:
    """Validate and convert everything of a backtest but its scalar options (see `backtest`)."""
    if not isinstance(market, Market):
        raise TypeError(f"market: expected a zelvor.Market, got {type(market).__name__}")
    signal_dates, values, labels, columns, cols = _weights_matrix(weights, market)
    pos_index = _ns(signal_dates)
    trading = _trading_prices(trade_at, market)
    if len(labels):
        bad = market._bad_trading_rows(trade_at) if isinstance(trade_at, str) else _bad_price_columns(trading)
        bad_used = (bad[cols] >= 0) & (values != 0.0).any(axis=0)
        if bad_used.any():
            j = int(np.argmax(bad_used))
            row = int(bad[cols[j]])
            raise ValueError(
                f"trade_at: zero, negative or infinite trading price for {columns[j]} on "
                f"{market.dates[row].date()} ({trading[row, cols[j]]!r}); see Market.check()"
            )
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
        "resample": _resample_dates(resample, market, pos_index),
        "delisting_bars": _delisting_bars(delisting, market, labels, cols),
    }
    bench, bench_name = _benchmark_prices(benchmark, market)
    given = {
        "resample": resample,
        "trade_at": trade_at if isinstance(trade_at, str) else "DataFrame",
        "delisting": delisting if delisting is None or isinstance(delisting, str) else "Series",
        "benchmark": bench_name,
    }
    return Prepared(market, arrays, columns, signal_dates, bench, bench_name, given)


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

    weights: DataFrame of target weights, index = the dates the weights are decided (a sorted
        DatetimeIndex), columns = stock labels of the market. A weight is a signed fraction of
        the portfolio value (negative: short); each row holds from its date until the next.
        NaN counts as 0. A bool frame means equal weights among the True cells of each row.
        Rows whose absolute weights add up to more than 1 are scaled down to 1. A weights
        date's row is traded at the first market row strictly after that date.
    market: the `Market` of prices.
    resample: when the portfolio may rebalance. None: on every weights date; a pandas offset
        alias ("W", "W-FRI", "M"/"ME", "Q"/"QE", "Y"/"YE"): at the last market date of each
        period, to the latest weights row; or a sequence of dates.
    trade_at: the price every trade is filled at: "close", "open", "high", "low", or a
        DataFrame of prices with the market's dates and stocks.
    fee_ratio: fee on every traded amount (0.001425 = 0.1425 %). tax_ratio: tax on amounts
        that reduce a holding (0.003). Both >= 0, their sum below 1.
    stop_loss, take_profit: exit when a holding has lost / gained this fraction since its cost
        basis (0.08 = 8 %); None: off. trail_stop: exit when the holding falls this fraction
        below its best level since entry, once it has gained trail_stop_activation; None: off.
        Close-based by default: the close is compared and the exit filled at the next row's
        trading price. touched_exit=True: exits fill within the row at the touched level (or
        the open beyond it), using the day's high, low and open.
    position_limit: largest absolute weight of one stock (1.0: no limit beyond the portfolio).
    retain_cost_when_rebalance: a holding kept through a rebalance keeps its cost basis (its
        stops and trade record go on) instead of starting afresh.
    stop_trading_next_period: stocks stopped out since the last rebalance stay out of the next
        one. periodically_rebalance: with False, holdings kept through a rebalance continue
        their trade record (as with retain_cost_when_rebalance) though their stops restart.
    window, window_step: also record the excursion statistics over the first `window` rows of
        every trade, every `window_step` rows (`Report.window_stats`); 0: off.
    delisting: None; "auto" (a stock whose prices end before the last market date is sold on
        its last priced row); or a Series stock -> date (sold on the last market row not later
        than the date).
    benchmark: None, a price Series (aligned to the market's dates), or a stock label of the
        market (its close); it adds alpha and beta to the stats. Either way a missing price is
        carried forward from the last known one (so a label and its close Series give the same
        figures); rows before the first price are left out.

    Every argument is checked before the engine runs: a bad one raises TypeError or ValueError
    naming it. Timezone-aware inputs give timezone-aware outputs (all inputs must agree).
    Safe to call from several threads (runs are serialised by a lock).
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
