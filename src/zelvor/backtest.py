"""`zelvor.backtest`: target weights (a DataFrame) and a `Market` in, a `Report` out.

For many runs over the same inputs (parameter sweeps), `prepare` validates and converts the
weights, dates and data once; `Prepared.run(**options)` then only checks the scalar options,
and `Prepared.stats(**options)` returns the figures of `Report.stats` without building any table.
"""

from __future__ import annotations

import functools
import inspect
from collections.abc import Callable, Sequence
from typing import Any, ParamSpec, TypeVar

import numpy as np
import pandas as pd

from zelvor._arrays import first_bad_rows
from zelvor._inputs import (
    benchmark_prices,
    delisting_bars,
    refuse_bad_prices,
    resample_dates,
    to_ns,
    trading_prices,
    warn_weights,
    weights_matrix,
)
from zelvor._options import RUN_NAMES
from zelvor._prepared import Checks, Prepared
from zelvor._validate import check_options, closest
from zelvor.market import Market, bad_trading_rows
from zelvor.report import Report

__all__ = ["Prepared", "backtest", "prepare", "run_stats"]

DateLike = str | pd.Timestamp | np.datetime64

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
            later = " (an option of Prepared.run and Prepared.stats, not of prepare)" if name in RUN_NAMES else ""
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
    signal_dates, values, labels, columns, cols = weights_matrix(weights, market)
    pos_index = to_ns(signal_dates, "weights")
    trading = trading_prices(trade_at, market)
    # The price rule, for the stocks the weights ever hold: the trading price and the close here,
    # the open, high and low at the first run with touched exits.
    checks = Checks(held=np.zeros(market.shape[1], dtype=bool))
    checks.held[cols[(values != 0.0).any(axis=0)]] = True
    checks.has_long, checks.has_short = bool((values > 0.0).any()), bool((values < 0.0).any())
    fields = [("market", "close", market.arrays.close, bad_trading_rows(market, "close"))]
    if isinstance(trade_at, str) and trade_at != "close":
        fields.insert(0, ("trade_at", trade_at, trading, bad_trading_rows(market, trade_at)))
    elif not isinstance(trade_at, str):
        fields.insert(0, ("trade_at", "trading", trading, first_bad_rows(trading)))
    refuse_bad_prices(fields, market, checks.held)
    schedule = resample_dates(resample, market, pos_index)
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
        "delisting_bars": delisting_bars(delisting, market, labels, cols),
    }
    bench, bench_name = benchmark_prices(benchmark, market)
    given = {
        "resample": resample,
        "trade_at": trade_at if isinstance(trade_at, str) else "DataFrame",
        "delisting": delisting if delisting is None or isinstance(delisting, str) else "Series",
        "benchmark": bench_name,
    }
    prepared = Prepared(market, arrays, columns, signal_dates, bench, bench_name, given, checks)
    warn_weights(values, signal_dates, market, schedule)
    return prepared


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
    given = locals()
    options = {name: given[name] for name in RUN_NAMES}
    check_options(options)
    prepared = prepare(weights, market, resample=resample, trade_at=trade_at, delisting=delisting, benchmark=benchmark)
    return prepared.run(**options)


def run_stats(
    prepared: Prepared, risk_free: float = 0.0, periods_per_year: int = 252, **options: Any
) -> dict[str, Any]:
    """The sweep's fast path: `Report.stats` figures of one run, as a dict (see `Prepared.stats_dict`)."""
    return prepared.stats_dict(risk_free, periods_per_year, **options)
