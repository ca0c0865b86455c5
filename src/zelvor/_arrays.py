"""Market data in the engine's layout, and the rule every price obeys.

`MarketArrays` holds plain NumPy arrays in the layout the engine takes: rows are dates (int64
nanoseconds since the epoch, midnight UTC of the trading day), columns are stocks (one-dimensional
object arrays of ``str``), prices are float64 with NaN for a missing price. `Strategy` holds target
weights in the same layout. The price rule (`bad_prices`) and the delisting rows of a close matrix
are stated here once, for the loaders, `Market` and `backtest`.
"""

from __future__ import annotations

from dataclasses import dataclass

import numpy as np

__all__ = [
    "FIELDS",
    "NS_PER_DAY",
    "PRICE_MAX",
    "PRICE_MIN",
    "PRICE_RULE",
    "MarketArrays",
    "Strategy",
    "bad_prices",
    "delisting_rows",
    "first_bad_rows",
    "forward_filled",
]

NS_PER_DAY = 86_400 * 10**9
# The price fields of a market, close first (the one every market has).
FIELDS = ("close", "open", "high", "low")


@dataclass(frozen=True, eq=False)
class MarketArrays:
    """Daily OHLC prices of a set of stocks, one row per trading day, as the engine's arrays."""

    dates: np.ndarray  # int64 ns, ascending
    columns: np.ndarray  # object array of str, one label per stock
    open: np.ndarray  # float64 (days, stocks)
    high: np.ndarray
    low: np.ndarray
    close: np.ndarray
    # Per stock, the row of its last price when it stops trading before the last day
    # (usable as the engine's `delisting_bars`); -1 for stocks that trade to the end.
    delisting_rows: np.ndarray

    @property
    def shape(self) -> tuple[int, int]:
        return self.close.shape

    def trading_prices(self, trade_at: str = "close") -> np.ndarray:
        """The matrix trades are filled at: the day's close or its open."""
        if trade_at == "close":
            return self.close
        if trade_at == "open":
            return self.open
        raise ValueError(f"trade_at must be 'close' or 'open', not {trade_at!r}")

    def backtest_arrays(self, trade_at: str = "close") -> dict:
        """The price-side keyword arguments of `backtest_` (no copies are made)."""
        return {
            "price_values": self.trading_prices(trade_at),
            "close_values": self.close,
            "high_values": self.high,
            "low_values": self.low,
            "open_values": self.open,
            "price_index": self.dates,
            "price_columns": self.columns,
        }


@dataclass(frozen=True, eq=False)
class Strategy:
    """Target weights per signal date, and the dates on which they may be traded."""

    pos_values: np.ndarray  # float64 (signal dates, stocks)
    pos_index: np.ndarray  # int64 ns
    pos_columns: np.ndarray  # object array of str
    resample: np.ndarray  # int64 ns

    def backtest_arrays(self) -> dict:
        return {
            "pos_values": self.pos_values,
            "pos_index": self.pos_index,
            "pos_columns": self.pos_columns,
            "resample": self.resample,
        }


# A price is NaN (missing) or lies in [PRICE_MIN, PRICE_MAX]. Every real price does: the cheapest
# traded tokens quote near 1e-10, and prices in the smallest unit of a hyperinflated currency stay
# below 1e15. The bounds keep the engine's arithmetic finite and exact to rounding: the ratio of any
# two prices (a row's return, a trade's gain) lies within 1e-27..1e27, so its square (variances) and
# a run of ten such extreme moves stay far below the float maximum of 1.8e308, and no price or
# ratio of prices is ever subnormal (below 2.2e-308), where floats lose their precision. Zero,
# negative, infinite, subnormal and absurdly large values (1e308) are all outside.
PRICE_MIN, PRICE_MAX = 1e-12, 1e15
PRICE_RULE = "positive and finite, between 1e-12 and 1e15, or NaN for a missing price"


def bad_prices(values: np.ndarray) -> np.ndarray:
    """Mask of the cells that are neither NaN (a missing price) nor within [PRICE_MIN, PRICE_MAX]."""
    with np.errstate(invalid="ignore"):
        return ~np.isnan(values) & ~((values >= PRICE_MIN) & (values <= PRICE_MAX))


def first_bad_rows(values: np.ndarray) -> np.ndarray:
    """Per column of a price matrix, the first row of a price `bad_prices` marks, or -1."""
    bad = bad_prices(values)
    if bad.shape[0] == 0:
        return np.full(bad.shape[1], -1, dtype=np.int64)
    return np.where(bad.any(axis=0), np.argmax(bad, axis=0), -1)


def delisting_rows(close: np.ndarray) -> np.ndarray:
    """Per stock (column of `close`), the row of its last close when its closes end before the
    last row, else -1 (also for a stock without any close): the engine's `delisting_bars`."""
    n_rows, n_stocks = close.shape
    if n_rows == 0:
        return np.full(n_stocks, -1, dtype=np.int64)
    has = ~np.isnan(close)
    last = n_rows - 1 - np.argmax(has[::-1], axis=0)
    return np.where(has.any(axis=0) & (last < n_rows - 1), last, -1).astype(np.int64)


def forward_filled(close: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each cell's last valid close (NaN before the first one) and the row it comes from."""
    n_days, n_stocks = close.shape
    source = np.where(np.isnan(close), -1, np.arange(n_days)[:, None])
    np.maximum.accumulate(source, axis=0, out=source)
    filled = close[np.maximum(source, 0), np.arange(n_stocks)]
    filled[source < 0] = np.nan
    return filled, source
