"""Small deterministic markets shared by the engine's tests."""

import numpy as np

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
    return {
        "price_values": price,
        "close_values": close,
        "high_values": high,
        "low_values": low,
        "open_values": open_,
        "price_index": dates(n_rows),
        "price_columns": labels(*names),
        "pos_values": pos_values,
        "pos_index": dates(3) * 3,
        "pos_columns": labels(*names[::-1]),
        "resample": dates(n_rows),
    }


ARRAY_NAMES = list(small_market())


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
