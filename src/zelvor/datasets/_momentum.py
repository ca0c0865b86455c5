"""The example strategy: equal-weight the stocks with the best trailing return, rebalanced at
month ends (or daily), in the engine's layout (`momentum_strategy`) or as a weights frame for
`zelvor.backtest` (`momentum_weights`)."""

from __future__ import annotations

from typing import TYPE_CHECKING

import numpy as np
import pandas as pd

from zelvor._arrays import MarketArrays, Strategy, forward_filled

if TYPE_CHECKING:  # pragma: no cover
    from zelvor.market import Market

__all__ = ["momentum_strategy", "momentum_weights", "month_end_rows"]


def month_end_rows(dates: np.ndarray) -> np.ndarray:
    """Rows that are the last trading day of their month in `dates`; the last row always is."""
    months = np.asarray(dates, dtype=np.int64).astype("datetime64[ns]").astype("datetime64[M]")
    if len(months) == 0:
        return np.zeros(0, dtype=np.int64)
    last = np.ones(len(months), dtype=bool)
    last[:-1] = months[1:] != months[:-1]
    return np.flatnonzero(last)


def momentum_strategy(
    market: MarketArrays,
    *,
    top: int = 20,
    lookback: int = 60,
    rebalance: str = "monthly",
    stale_rows: int = 5,
) -> Strategy:
    """Equal-weight the `top` stocks with the best trailing `lookback`-row return.

    Signals are taken at the close of each month end (``rebalance="monthly"``; the last row of
    the data counts as one, so the report shows the orders for the next session) or of every
    row (``"daily"``), from the first row with a full look-back. A stock qualifies when it has
    a close `lookback` rows earlier and a close within the last `stale_rows` rows; each
    selected stock gets weight 1/`top`, so fewer qualifying stocks leave the rest in cash.
    The trades are allowed on the signal dates themselves (`resample` = the signal dates):
    the engine fills them on the next row.
    """
    if top < 1 or lookback < 1:
        raise ValueError("top and lookback must be at least 1")
    n_days, n_stocks = market.shape
    if rebalance == "monthly":
        rows = month_end_rows(market.dates)
    elif rebalance == "daily":
        rows = np.arange(n_days)
    else:
        raise ValueError(f"rebalance must be 'monthly' or 'daily', not {rebalance!r}")
    rows = rows[rows >= lookback]
    if len(rows) == 0:
        raise ValueError(f"the data has {n_days} rows: too few for a {lookback}-row momentum look-back")

    filled, source = forward_filled(market.close)
    now, then = filled[rows], filled[rows - lookback]
    with np.errstate(divide="ignore", invalid="ignore"):
        score = now / then - 1.0
    eligible = np.isfinite(score) & (source[rows] >= rows[:, None] - stale_rows)
    score = np.where(eligible, score, -np.inf)

    k = min(top, n_stocks)
    chosen = np.argpartition(-score, k - 1, axis=1)[:, :k]
    weights = np.zeros((len(rows), n_stocks))
    picked = np.take_along_axis(eligible, chosen, axis=1)
    np.put_along_axis(weights, chosen, np.where(picked, 1.0 / top, 0.0), axis=1)

    signal_dates = market.dates[rows].copy()
    return Strategy(
        pos_values=weights,
        pos_index=signal_dates,
        pos_columns=market.columns,
        resample=signal_dates.copy(),
    )


def momentum_weights(market: Market, top: int = 20, lookback: int = 60) -> pd.DataFrame:
    """Month-end target weights: the `top` stocks by trailing `lookback`-row return, equal weight
    (see `momentum_strategy`; the last market row counts as a month end)."""
    strategy = momentum_strategy(market.arrays, top=top, lookback=lookback)
    index = market.dates[market.arrays.dates.searchsorted(strategy.pos_index)]
    return pd.DataFrame(strategy.pos_values, index=index, columns=market.stocks, copy=False)
