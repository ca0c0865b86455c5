"""backtest_'s parameter table and small deterministic markets, shared by the engine's tests."""

import numpy as np

# backtest_'s parameters in positional order: the eleven arrays, then the options with their defaults.
ARRAY_NAMES = (
    "price_values",
    "close_values",
    "high_values",
    "low_values",
    "open_values",
    "price_index",
    "price_columns",
    "pos_values",
    "pos_index",
    "pos_columns",
    "resample",
)
DEFAULTS = {
    "fee_ratio": 0.001425,
    "tax_ratio": 0.003,
    "stop_loss": 1.0,
    "take_profit": np.inf,
    "trail_stop": np.inf,
    "trail_stop_activation": 0.0,
    "touched_exit": False,
    "position_limit": 1.0,
    "retain_cost_when_rebalance": False,
    "stop_trading_next_period": True,
    "quelmo_window": 0,
    "quelmo_window_step": 1,
    "periodically_rebalance": True,
    "delisting_bars": None,
}
PARAMETER_NAMES = (*ARRAY_NAMES, *DEFAULTS)


def bind(args, kwargs):
    """backtest_'s arguments by parameter name, defaults filled in, bound as backtest_ binds them."""
    if len(args) > len(PARAMETER_NAMES):
        raise TypeError(f"backtest_() takes at most {len(PARAMETER_NAMES)} positional arguments ({len(args)} given)")
    bound = {**DEFAULTS, **dict(zip(PARAMETER_NAMES, args, strict=False))}
    for name, value in kwargs.items():
        if name not in PARAMETER_NAMES:
            raise TypeError(f"backtest_() got an unexpected keyword argument '{name}'")
        if PARAMETER_NAMES.index(name) < len(args):
            raise TypeError(f"backtest_() got multiple values for keyword argument '{name}'")
        bound[name] = value
    missing = [name for name in ARRAY_NAMES if name not in bound]
    if missing:
        raise TypeError(f"backtest_() is missing {missing}")
    return bound


DAY = 86_400_000_000_000  # nanoseconds


def dates(n, start_day=0):
    return (np.arange(n, dtype=np.int64) + start_day) * DAY


def labels(*names):
    out = np.empty(len(names), dtype=object)
    out[:] = names
    return out


def small_market(n_rows=8, n_stocks=3, seed=7):
    """A random walk with a gap, and a monthly-like weight table: returns the 11 arrays as a dict."""
    rng = np.random.default_rng(seed)
    close = 10.0 * np.exp(np.cumsum(rng.normal(0, 0.03, (n_rows, n_stocks)), axis=0))
    price = close * np.exp(rng.normal(0, 0.01, close.shape))
    high = np.maximum(price, close) * 1.02
    low = np.minimum(price, close) * 0.98
    open_ = price * 1.001
    price[3, 1] = np.nan
    names = [f"S{k}" for k in range(n_stocks)]
    pos_values = rng.uniform(-0.2, 0.6, (3, n_stocks))
    pos_values[1, 0] = 0.0
    arrays = (
        price,
        close,
        high,
        low,
        open_,
        dates(n_rows),
        labels(*names),
        pos_values,
        dates(3) * 3,
        labels(*names[::-1]),
        dates(n_rows),
    )
    return dict(zip(ARRAY_NAMES, arrays, strict=True))


def positional(market):
    return [market[name] for name in ARRAY_NAMES]


# The recorder's published entries and their exact capsule names, in publishing order.
SIGNATURES = {
    "entry": "PyArrayObject *",
    "position": "PyArrayObject *",
    "start_analysis": "void (PyArrayObject *, PyArrayObject *, std::map<int,int> , int, double, double, int, int)",
    "record_date": "void (int)",
    "record_entry": "void (int, double, int)",
    "record_exit": "void (int, int)",
    "end_analysis": "PyObject *(std::map<int,double>  &)",
}
