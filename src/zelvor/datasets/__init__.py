"""Example data: a seeded synthetic market and a momentum strategy to run on it.

`synthetic_market` gives the engine-layout arrays (`zelvor.Market.synthetic` wraps them in a
`Market`); `momentum_strategy` the target weights of a momentum strategy in the same layout, and
`momentum_weights` those weights as the DataFrame `zelvor.backtest` takes.
"""

from zelvor.datasets._momentum import momentum_strategy, momentum_weights, month_end_rows
from zelvor.datasets._synthetic import synthetic_market

__all__ = ["momentum_strategy", "momentum_weights", "month_end_rows", "synthetic_market"]
