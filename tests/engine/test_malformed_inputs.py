"""Malformed inputs of every shape end in a Python exception, never in a crash or a stray read.

Each array gets its own random shape, so the matrices, labels and dates disagree in every way;
the sanitizer build of CI runs this too, where a read outside a buffer aborts the process.
"""

import array
import ctypes

import numpy as np
import pytest
from fuzzing import fuzz
from hypothesis import given
from hypothesis import strategies as st

trevane = pytest.importorskip("zelvor.core.trevane")

VALUES = [1.0, 2.0, 0.5, np.nan, 0.0, -1.0, np.inf]
ALLOWED = (IndexError, ValueError, ZeroDivisionError, OverflowError)


# delisting_bars takes any buffer: exporters other than NumPy leave out strides, shape, etc.
FOREIGN_BUFFERS = [
    lambda v: np.array(v, dtype=np.int64),
    lambda v: (ctypes.c_int64 * len(v))(*v),
    lambda v: (ctypes.c_int32 * len(v))(*v),
    lambda v: (ctypes.c_double * len(v))(*v),
    lambda v: array.array("q", v),
    lambda v: array.array("i", v),
    lambda v: memoryview(array.array("q", [x for x in v for _ in (0, 1)]))[::2],
    lambda v: memoryview(array.array("q", v[::-1]))[::-1],
    lambda v: memoryview(array.array("q", v * 2)).cast("B").cast("q", (2, len(v))) if v else memoryview(b""),
]


@st.composite
def malformed_call(draw):
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    sizes = st.integers(0, 4)

    def matrix():
        shape = (draw(sizes), draw(sizes))
        values = rng.choice(VALUES[:3] if draw(st.booleans()) else VALUES, size=shape)
        return values if draw(st.booleans()) else np.asfortranarray(values)

    def dates():
        return np.sort(rng.integers(-3, 6, size=draw(sizes))).astype(np.int64)

    def labels():
        return np.array([f"L{k}" for k in rng.integers(0, 4, size=draw(sizes))] or [], dtype=object)

    price = matrix()
    args = [price, matrix(), matrix(), matrix(), matrix(), dates(), labels(), matrix(), dates(), labels(), dates()]
    if draw(st.booleans()):  # the usual case: the price matrices share a shape
        args[1:5] = [price * f for f in (1.0, 1.05, 0.95, 1.01)]
    options = {
        "touched_exit": draw(st.booleans()),
        "stop_loss": draw(st.sampled_from([1.0, 0.05, 0.0])),
        "trail_stop": draw(st.sampled_from([np.inf, 0.02])),
        "quelmo_window": draw(st.integers(-2, 5)),
        "quelmo_window_step": draw(st.integers(-1, 3)),
        "stop_trading_next_period": draw(st.booleans()),
        "retain_cost_when_rebalance": draw(st.booleans()),
    }
    if draw(st.booleans()):
        bars = rng.integers(-6, 6, size=draw(sizes)).tolist()
        options["delisting_bars"] = draw(st.sampled_from(FOREIGN_BUFFERS))(bars)
    return args, options


@pytest.mark.slow
@fuzz(examples=300, sanitized=100)
@given(call=malformed_call())
def test_malformed_inputs_raise_cleanly(call):
    args, options = call
    try:
        value = trevane.backtest_(*args, **options)
    except ALLOWED:
        pass
    else:
        assert value.shape == (len(args[5]),)
    # the query reads the records back through the caller's (possibly shorter) arrays
    try:
        rows, _ = trevane.get_trade_stocks(args[9], args[5], options["touched_exit"])
    except IndexError:
        pass
    else:
        assert all(len(row) == 9 for row in rows)
