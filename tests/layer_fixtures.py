"""Random markets and weights as DataFrames, and hypothesis strategies for the layer's options."""

import numpy as np
import pandas as pd
from hypothesis import strategies as st

import zelvor


def random_market(n_rows, n_stocks, seed, *, gaps=0.05, tz=None, start="2021-01-04"):
    """Daily prices on weekdays: a random walk, open/high/low around it, some missing cells,
    a late listing and an early end when there are enough stocks."""
    rng = np.random.default_rng(seed)
    close = 20.0 * np.exp(np.cumsum(rng.normal(0.0, 0.04, (n_rows, n_stocks)), axis=0))
    open_ = close * np.exp(rng.normal(0.0, 0.015, close.shape))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.02, close.shape)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.02, close.shape)))
    missing = rng.random(close.shape) < gaps
    if n_stocks >= 3 and n_rows >= 6:
        missing[: n_rows // 3, 1] = True  # listed late
        missing[-(n_rows // 4) :, 2] = True  # stops trading early
    for m in (open_, high, low, close):
        m[missing] = np.nan
    dates = pd.bdate_range(start, periods=n_rows, tz=tz)
    names = [f"S{j}" for j in range(n_stocks)]

    def frame(values):
        return pd.DataFrame(values, index=dates, columns=names)

    return zelvor.Market(frame(close), open=frame(open_), high=frame(high), low=frame(low))


def random_weights(market, n_signals, seed, *, shorts=True, sparse=0.3):
    """`n_signals` rows of weights on dates drawn from the market's (sorted, unique)."""
    rng = np.random.default_rng(seed)
    n_rows, n_stocks = market.shape
    rows = np.sort(rng.choice(n_rows, size=min(n_signals, n_rows), replace=False))
    low = -0.6 if shorts else 0.0
    values = rng.uniform(low, 0.6, (len(rows), n_stocks))
    values[rng.random(values.shape) < sparse] = 0.0
    return pd.DataFrame(values, index=market.dates[rows], columns=market.stocks)


@st.composite
def run_shapes(draw):
    """(market, weights, keyword arguments of zelvor.backtest) over stops, intraday exits, shorts,
    delistings, position limits, retained costs and rebalancing modes."""
    n_rows = draw(st.integers(4, 45))
    n_stocks = draw(st.integers(1, 5))
    seed = draw(st.integers(0, 2**31))
    market = random_market(n_rows, n_stocks, seed)
    weights = random_weights(market, draw(st.integers(1, 8)), seed + 1, shorts=draw(st.booleans()))
    level = st.one_of(st.none(), st.floats(0.01, 0.5))
    options = {
        "stop_loss": draw(level),
        "take_profit": draw(level),
        "trail_stop": draw(level),
        "trail_stop_activation": draw(st.sampled_from([0.0, 0.02, 0.1])),
        "touched_exit": draw(st.booleans()),
        "position_limit": draw(st.sampled_from([1.0, 0.5, 0.25])),
        "retain_cost_when_rebalance": draw(st.booleans()),
        "stop_trading_next_period": draw(st.booleans()),
        "periodically_rebalance": draw(st.booleans()),
        "fee_ratio": draw(st.sampled_from([0.0, 0.001425, 0.01])),
        "tax_ratio": draw(st.sampled_from([0.0, 0.003])),
        "trade_at": draw(st.sampled_from(["close", "open"])),
        "delisting": draw(st.sampled_from([None, "auto"])),
        "resample": draw(st.sampled_from([None, "W", "ME"])),
        "window": draw(st.sampled_from([0, 3])),
        "window_step": draw(st.sampled_from([1, 2])),
    }
    return market, weights, options
