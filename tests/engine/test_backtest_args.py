"""backtest_'s parameters: binding, conversions, array checks and their exact messages."""

import numpy as np
import pytest
from market_fixtures import DEFAULTS, positional, small_market

trevane = pytest.importorskip("zelvor.core.trevane")
from zelvor.core import quelmo  # noqa: E402


def run(market=None, *args, **kwargs):
    market = small_market() if market is None else market
    value = trevane.backtest_(*positional(market), *args, **kwargs)
    stats = [s.copy() for s in quelmo.quelmo]
    return value, [list(t) for t in quelmo.trades], list(quelmo.trade_positions), stats


def assert_same_run(a, b):
    np.testing.assert_array_equal(a[0], b[0])
    assert a[1] == b[1] and a[2] == b[2]
    assert len(a[3]) == len(b[3])
    for x, y in zip(a[3], b[3], strict=False):
        np.testing.assert_array_equal(x, y)


def test_defaults_equal_explicit_values_and_the_result_has_one_value_per_row():
    implicit = run()
    assert implicit[0].shape == (8,) and implicit[0].dtype == np.float64
    assert implicit[1], "the fixture market trades"
    assert_same_run(implicit, run(**DEFAULTS))
    assert_same_run(implicit, run(None, *DEFAULTS.values()))


@pytest.mark.parametrize(
    ("given", "meant"),
    [
        ({"stop_trading_next_period": 0}, {"stop_trading_next_period": False}),
        ({"stop_trading_next_period": ""}, {"stop_trading_next_period": False}),
        ({"stop_trading_next_period": []}, {"stop_trading_next_period": False}),
        ({"stop_trading_next_period": [0]}, {"stop_trading_next_period": True}),
        ({"fee_ratio": 1}, {"fee_ratio": 1.0}),
        ({"fee_ratio": np.float32(0.5)}, {"fee_ratio": float(np.float32(0.5))}),
        ({"quelmo_window": 2.9, "quelmo_window_step": True}, {"quelmo_window": 2, "quelmo_window_step": 1}),
        ({"quelmo_window": np.int64(3)}, {"quelmo_window": 3}),
        ({"stop_loss": -0.05, "trail_stop": -0.02}, {"stop_loss": 0.05, "trail_stop": 0.02}),
        ({"delisting_bars": np.full(3, -1, dtype=np.int64)}, {"delisting_bars": None}),
        ({"touched_exit": 1, "stop_loss": 0.01}, {"touched_exit": True, "stop_loss": 0.01}),
    ],
)
def test_conversions(given, meant):
    assert_same_run(run(**given), run(**meant))


def test_read_only_and_strided_inputs_are_read_in_place():
    market = small_market(n_stocks=4)
    wide = small_market(n_stocks=4)
    for name in ("price_values", "close_values", "high_values", "low_values", "open_values"):
        # every other column of a wider matrix: a strided view, and read-only
        doubled = np.repeat(market[name], 2, axis=1)
        wide[name] = doubled[:, ::2]
        wide[name].flags.writeable = False
    bars = np.array([-1, 6, -1, -1], dtype=np.int64)
    bars.flags.writeable = False
    assert_same_run(run(market, delisting_bars=bars.copy()), run(wide, delisting_bars=bars))


class Float:
    def __float__(self):
        raise RuntimeError("no float today")


class BadInt:
    def __int__(self):
        return 2.5


@pytest.mark.parametrize(
    ("kwargs", "error", "message"),
    [
        ({"quelmo_window": "3"}, TypeError, "an integer is required"),
        ({"quelmo_window_step": None}, TypeError, "an integer is required"),
        ({"quelmo_window": BadInt()}, TypeError, "__int__ returned non-int (type float)"),
        ({"quelmo_window": 2**31}, OverflowError, "value too large to convert to int"),
        ({"quelmo_window_step": -(2**31) - 1}, OverflowError, "value too large to convert to int"),
        # beyond 64 bits too: the same message, not the host's "too large to convert to C long"
        ({"quelmo_window": 2**64}, OverflowError, "value too large to convert to int"),
        ({"fee_ratio": "x"}, TypeError, "must be real number, not str"),
        ({"position_limit": Float()}, RuntimeError, "no float today"),
        (
            {"delisting_bars": np.zeros((1, 3), dtype=np.int64)},
            ValueError,
            "Buffer has wrong number of dimensions (expected 1, got 2)",
        ),
        (
            {"delisting_bars": np.zeros(3, dtype=np.int32)},
            ValueError,
            "Buffer dtype mismatch, expected 'const int64_t' but got 'int'",
        ),
        ({"delisting_bars": 5}, TypeError, "a bytes-like object is required, not 'int'"),
    ],
)
def test_refused_scalars(kwargs, error, message):
    with pytest.raises(error) as info:
        run(**kwargs)
    assert str(info.value) == message


def replaced(name, value):
    market = small_market()
    market[name] = value
    return market


@pytest.mark.parametrize(
    ("name", "value", "error", "message"),
    [
        ("price_values", np.ones(8), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
        (
            "price_values",
            np.ones((8, 3), dtype=np.int64),
            ValueError,
            "Buffer dtype mismatch, expected 'float64_t' but got 'long'",
        ),
        (
            "low_values",
            np.ones((8, 3), dtype=np.float32),
            ValueError,
            "Buffer dtype mismatch, expected 'float64_t' but got 'float'",
        ),
        (
            "open_values",
            np.ones((8, 3), dtype=">f8"),
            ValueError,
            "Big-endian buffer not supported on little-endian compiler",
        ),
        (
            "high_values",
            np.ones((8, 3), dtype=np.complex128),
            ValueError,
            "Buffer dtype mismatch, expected 'float64_t' but got 'complex double'",
        ),
        (
            "close_values",
            np.ones((8, 3), dtype=object),
            ValueError,
            "Buffer dtype mismatch, expected 'float64_t' but got Python object",
        ),
        (
            "price_index",
            np.arange(8, dtype=np.uint64),
            ValueError,
            "Buffer dtype mismatch, expected 'int64_t' but got 'unsigned long'",
        ),
        (
            "pos_columns",
            np.ones(3),
            ValueError,
            "Buffer dtype mismatch, expected 'unicode object' but got 'double'",
        ),
        (
            "resample",
            np.zeros(3, dtype=bool),
            ValueError,
            "Buffer dtype mismatch, expected 'int64_t' but got 'bool'",
        ),
        (
            "price_index",
            list(range(8)),
            TypeError,
            "Argument 'price_index' has incorrect type (expected numpy.ndarray, got list)",
        ),
        ("pos_index", None, TypeError, "Argument 'pos_index' must not be None"),
        ("price_values", None, TypeError, "Argument 'price_values' must not be None"),
    ],
)
def test_refused_arrays(name, value, error, message):
    with pytest.raises(error) as info:
        run(replaced(name, value))
    assert str(info.value) == message


def test_a_refused_call_changes_no_module_state():
    run(retain_cost_when_rebalance=True)
    operations = trevane.get_stock_operations()
    trades = list(quelmo.trades)
    with pytest.raises(TypeError):
        trevane.backtest_(*positional(replaced("resample", None)), retain_cost_when_rebalance=False)
    assert trevane.RETAIN_COST_WHEN_REBALANCE is True
    assert trevane.get_stock_operations() == operations
    assert list(quelmo.trades) == trades


def test_flags_are_set_from_the_call():
    run(retain_cost_when_rebalance=[1], periodically_rebalance=0)
    assert trevane.RETAIN_COST_WHEN_REBALANCE is True and trevane.RESAMPLE is False
    run()
    assert trevane.RETAIN_COST_WHEN_REBALANCE is False and trevane.RESAMPLE is True


ARRAYS = positional(small_market())


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((), {}, "backtest_() takes at least 11 positional arguments (0 given)"),
        (ARRAYS[:4], {}, "backtest_() takes at least 11 positional arguments (4 given)"),
        (ARRAYS + [0.0] * 15, {}, "backtest_() takes at most 25 positional arguments (26 given)"),
        # keywords fill the gap up to the first missing required parameter
        (ARRAYS[:3], {"low_values": ARRAYS[3], "pos_index": ARRAYS[8]}, "(4 given)"),
        (
            ARRAYS,
            {"price_values": ARRAYS[0]},
            "backtest_() got multiple values for keyword argument 'price_values'",
        ),
        (ARRAYS, {"fee": 0.1}, "backtest_() got an unexpected keyword argument 'fee'"),
        (ARRAYS[:10], {"fee": 0.1}, "backtest_() takes at least 11 positional arguments (10 given)"),
    ],
)
def test_argument_binding(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        trevane.backtest_(*args, **kwargs)
    assert str(info.value).endswith(message)


def test_all_by_keyword():
    market = small_market()
    assert_same_run(run(market), (trevane.backtest_(**market),) + run(market)[1:])


@pytest.mark.parametrize(
    ("name", "value", "message"),
    [
        # more price labels than price columns: the third label's column is read past the matrix
        (
            "price_values",
            small_market()["price_values"][:, :2].copy(),
            "Out of bounds on buffer access (axis 1)",
        ),
        (
            "close_values",
            small_market()["close_values"][:5].copy(),
            "Out of bounds on buffer access (axis 0)",
        ),
        ("pos_index", np.zeros(0, dtype=np.int64), "Out of bounds on buffer access (axis 0)"),
        ("pos_values", np.zeros((0, 3)), "index 0 is out of bounds for axis 0 with size 0"),
    ],
)
def test_shapes_that_disagree_raise_index_errors(name, value, message):
    with pytest.raises(IndexError) as info:
        run(replaced(name, value))
    assert str(info.value) == message


def test_a_stock_without_price_column_is_refused_when_bought():
    market = small_market()
    market["pos_columns"] = np.array(["S2", "ZZZ", "S0"], dtype=object)
    with pytest.raises(ValueError) as info:
        run(market)
    assert str(info.value) == "No price column for stock ZZZ: its label is not among the price columns."
    # never bought (weight 0 throughout): no error, and the column is simply not traded
    market["pos_values"][:, 1] = 0.0
    run(market)
    assert all(t[0] != 1 for t in quelmo.trades)


class OddLabel:
    """A label whose encode gives back text instead of bytes."""

    def encode(self, encoding):
        return "S0"


@pytest.mark.parametrize(
    ("label", "error", "message"),
    [
        (7, AttributeError, "'int' object has no attribute 'encode'"),
        (b"S0", AttributeError, "'bytes' object has no attribute 'encode'"),
        ("S\ud800", UnicodeEncodeError, "surrogates not allowed"),
        (OddLabel(), TypeError, "expected bytes, str found"),
    ],
)
def test_labels_that_cannot_be_encoded(label, error, message):
    market = small_market()
    market["price_columns"][1] = label
    with pytest.raises(error, match=message):
        run(market)


def test_labels_match_by_utf8_bytes():
    # "Ñu" built two ways (precomposed vs. combining tilde) differ in bytes, so only the identical
    # spelling matches; the last of two equal price labels wins.
    market = small_market()
    market["price_columns"] = np.array(["\u00d1u", "S1", "\u00d1u"], dtype=object)
    market["pos_columns"] = np.array(["N\u0303u", "S1", "\u00d1u"], dtype=object)
    market["pos_values"][:, 0] = 0.0  # the unmatched label is never bought
    run(market)
    held = {t[0] for t in quelmo.trades}
    assert 0 not in held and held <= {1, 2}
    # position column 2 is valued on price column 2 (the last "Ñu"): changing that column's prices
    # changes the run, which it would not if the first "Ñu" (price column 0) had won
    moved = dict(market)
    for name in ("price_values", "close_values", "high_values", "low_values", "open_values"):
        moved[name] = market[name].copy()
        moved[name][:, 2] = market[name][:, 2] * np.linspace(1.0, 1.5, len(market[name]))
    assert not np.array_equal(run(moved)[0], run(market)[0])
