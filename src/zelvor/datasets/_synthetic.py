"""A seeded synthetic market: daily OHLC prices with late listings, delistings and missing days."""

from __future__ import annotations

import numpy as np

from zelvor._arrays import MarketArrays

__all__ = ["synthetic_market"]


def _business_days(start: str, n_days: int) -> np.ndarray:
    first = np.busday_offset(np.datetime64(start, "D"), 0, roll="forward")
    days = np.busday_offset(first, np.arange(n_days), roll="forward")
    return days.astype("datetime64[ns]").astype(np.int64)


def synthetic_market(
    n_stocks: int = 500,
    n_days: int = 2610,
    *,
    seed: int = 0,
    start: str = "2010-01-04",
    volatility: float = 0.02,
    missing: float = 0.005,
    late_listed: float = 0.1,
    delisted: float = 0.03,
) -> MarketArrays:
    """A reproducible random market on weekdays from `start`.

    Daily log-returns are a common market factor plus stock-specific noise, about `volatility`
    in total, with a small positive drift that differs per stock (so momentum has something to
    find). The open gaps from the previous close, the high and low bracket open and close.
    A fraction `late_listed` of the stocks start trading part-way (NaN before), a fraction
    `delisted` stop trading part-way (NaN after; their last row is in `delisting_rows`), and a
    fraction `missing` of the remaining days have no prices at all (all four fields NaN).
    """
    if n_stocks < 1 or n_days < 2:
        raise ValueError("a synthetic market needs at least 1 stock and 2 days")
    rng = np.random.default_rng(seed)
    shape = (n_days, n_stocks)

    market_vol = volatility * 0.5
    stock_vol = volatility * rng.uniform(0.75, 1.25, n_stocks)
    idio_vol = np.sqrt(np.maximum(stock_vol**2 - market_vol**2, 0.0))
    drift = rng.normal(0.0002, 0.0004, n_stocks)

    log_ret = rng.standard_normal(shape)
    log_ret *= idio_vol
    log_ret += rng.normal(0.0, market_vol, (n_days, 1))
    log_ret += drift
    log_ret[0] = 0.0
    start_price = np.exp(rng.normal(np.log(50.0), 0.8, n_stocks))
    close = np.exp(np.cumsum(log_ret, axis=0, out=log_ret), out=log_ret)
    close *= start_price
    del log_ret

    # Open: yesterday's close with an overnight gap; high/low: beyond the body by a random
    # intraday range, so low <= min(open, close) <= max(open, close) <= high.
    gap = np.exp(rng.normal(0.0, volatility * 0.3, shape))
    open_ = np.empty(shape)
    open_[0] = close[0] * gap[0]
    np.multiply(close[:-1], gap[1:], out=open_[1:])
    del gap
    high = np.maximum(open_, close)
    high *= np.exp(np.abs(rng.normal(0.0, volatility * 0.5, shape)))
    low = np.minimum(open_, close)
    low *= np.exp(-np.abs(rng.normal(0.0, volatility * 0.5, shape)))

    # Listing span of every stock: [first_row, last_row].
    first_row = np.zeros(n_stocks, dtype=np.int64)
    last_row = np.full(n_stocks, n_days - 1, dtype=np.int64)
    n_late = int(round(late_listed * n_stocks))
    n_gone = int(round(delisted * n_stocks))
    if n_late and n_days >= 4:
        late = rng.choice(n_stocks, n_late, replace=False)
        first_row[late] = rng.integers(1, max(2, n_days // 2), n_late)
    if n_gone and n_days >= 4:
        gone = rng.choice(n_stocks, n_gone, replace=False)
        last_row[gone] = np.maximum(first_row[gone] + 1, rng.integers(n_days // 4, n_days - 1, n_gone))
        last_row = np.minimum(last_row, n_days - 1)

    rows = np.arange(n_days)[:, None]
    absent = (rows < first_row) | (rows > last_row)
    if missing > 0:
        gaps = rng.random(shape) < missing
        # The first and last day of a listing always have prices.
        gaps &= (rows > first_row) & (rows < last_row)
        absent |= gaps
    for matrix in (open_, high, low, close):
        matrix[absent] = np.nan

    delisting_rows = np.where(last_row < n_days - 1, last_row, -1).astype(np.int64)
    width = len(str(n_stocks - 1))
    columns = np.array([f"S{j:0{width}d}" for j in range(n_stocks)], dtype=object)
    return MarketArrays(
        dates=_business_days(start, n_days),
        columns=columns,
        open=open_,
        high=high,
        low=low,
        close=close,
        delisting_rows=delisting_rows,
    )
