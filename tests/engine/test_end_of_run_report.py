"""The end-of-run record of a backtest: weights, next-period weights and next-period actions.

The runs are tiny: prices are constant unless a stop is wanted, trading, close, high, low and open
prices are the same matrix, and row r is day r + 1. Expected records are worked out in the comments.
"""

import math

import numpy as np
import pytest
import reference_model as rm

trevane = pytest.importorskip("zelvor.core.trevane")

DAY = 86_400 * 10**9
NAN = float("nan")
KEYS = ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]


def days(numbers):
    return np.array([d * DAY for d in numbers], dtype=np.int64)


def backtest(prices, weights, pos_days, resample_days, **options):
    """`prices` maps a label to its prices on days 1, 2, ...; returns the run's record."""
    labels = np.array(list(prices), dtype=object)
    matrix = np.array(list(prices.values()), dtype=float).T.copy()
    pos_values = np.array(weights, dtype=float).reshape(len(pos_days), len(labels))
    trevane.backtest_(
        matrix,
        matrix,
        matrix,
        matrix,
        matrix,
        days(range(1, len(matrix) + 1)),
        labels,
        pos_values,
        days(pos_days),
        labels,
        days(resample_days),
        **options,
    )
    return trevane.get_stock_operations()


def same_number(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == pytest.approx(b, rel=1e-12, abs=0)


def check(ops, actions, weights, next_weights, weight_time, next_weight_time):
    assert list(ops) == KEYS
    assert list(ops["actions"].items()) == list(actions.items())
    for key, want in (("weights", weights), ("next_weights", next_weights)):
        assert list(ops[key]) == list(want), key
        assert all(same_number(ops[key][k], want[k]) for k in want), (key, ops[key])
    assert ops["weight_time"] == weight_time
    assert ops["next_weight_time"] == next_weight_time


FLAT = {"A": [1.0] * 4, "B": [1.0] * 4, "C": [1.0] * 4}


@pytest.mark.parametrize(
    ("pending", "next_weights", "actions", "limit"),
    [
        # A held and kept, B held and dropped, C new
        ([0.5, 0.0, 0.5], {0: 0.5, 2: 0.5}, {0: "hold", 1: "exit", 2: "enter"}, 1.0),
        # NaN is a non-zero weight; it makes the gross sum NaN, so nothing is scaled
        ([NAN, 0.0, 0.3], {0: NAN, 2: 0.3}, {0: "hold", 1: "exit", 2: "enter"}, 1.0),
        # gross 1.6: 0.9 / 1.6 = 0.5625 clipped to 0.5, 0.7 / 1.6 = 0.4375
        ([0.9, 0.0, 0.7], {0: 0.5, 2: 0.4375}, {0: "hold", 1: "exit", 2: "enter"}, 0.5),
        # an empty pending row closes everything
        ([0.0, 0.0, 0.0], {}, {0: "exit", 1: "exit"}, 1.0),
    ],
)
def test_rebalance_decided_on_the_last_row(pending, next_weights, actions, limit):
    # Row 0 schedules position row 0 (A, B at 0.5), traded on row 1. Position row 1 is dated on the
    # last day, so it becomes current on the last row and is never traded.
    ops = backtest(FLAT, [0.5, 0.5, 0.0, *pending], (1, 4), (1, 2, 3, 4), position_limit=limit)
    check(ops, actions, {0: 0.5, 1: 0.5}, next_weights, 0, 1)


@pytest.mark.parametrize(
    ("row", "limit", "expected"),
    [
        ([0.4, 0.4], 1.0, [0.4, 0.4]),  # gross 0.8: not scaled
        ([0.8, 0.8], 1.0, [0.5, 0.5]),  # gross 1.6: divided by 1.6
        ([0.8, -0.8], 0.4, [0.4, -0.4]),  # divided by 1.6, then clipped
        ([0.3, 0.0], 0.2, [0.2]),  # the zero weight is neither held nor a next weight
    ],
)
def test_weights_after_the_last_rebalance(row, limit, expected):
    # Rebalanced on row 1; the current row was traded, so the next weights repeat it and no action
    # is pending.
    flat = {"A": [1.0] * 3, "B": [1.0] * 3}
    ops = backtest(flat, row, (1,), (1,), position_limit=limit)
    weights = dict(enumerate(expected))
    check(ops, {}, weights, weights, 0, 0)


def test_no_rebalance_executed():
    # No resample date: nothing is ever traded; the candidate is the current position row.
    ops = backtest(FLAT, [0.3, 0.0, -0.2], (1,), ())
    check(ops, {}, {}, {0: 0.3, 2: -0.2}, -1, 0)


STOPS = {
    # side: prices of A on days 1..5 and the option that fires on day 3
    "tp": ([1.0, 1.0, 1.2, 1.2, 1.2], {"take_profit": 0.1}),
    "sl": ([1.0, 1.0, 0.8, 0.8, 0.8], {"stop_loss": 0.1}),
}


@pytest.mark.parametrize("side", ["tp", "sl"])
@pytest.mark.parametrize("touched", [False, True])
@pytest.mark.parametrize("stop_trading", [True, False])
def test_stopped_since_the_last_rebalance(side, touched, stop_trading):
    # A is bought on row 1 and stopped on day 3: by the close (executed on row 3, key erased: weight
    # 0) or within the row (touched, key kept at 0: weight kept). With stop_trading_next_period it is
    # left out of the next weights.
    prices, option = STOPS[side]
    ops = backtest(
        {"A": prices},
        [0.5],
        (1,),
        (1,),
        touched_exit=touched,
        stop_trading_next_period=stop_trading,
        **option,
    )
    weights = {0: 0.5 if touched else 0.0}
    next_weights = {} if stop_trading else {0: 0.5}
    check(ops, {0: side + "_"}, weights, next_weights, 0, 0)


@pytest.mark.parametrize("side", ["tp", "sl"])
@pytest.mark.parametrize(
    ("stop_trading", "pos_days", "resample", "action", "next_weights", "next_time"),
    [
        # detected on the last row; held still, so its weight is 0.5. Position row 1 (0.4) is dated
        # on the last day (3) unless said otherwise.
        (True, (1, 3), (1,), "{}", {}, 1),
        (True, (1, 3), (1, 3), "{}", {}, 1),  # "hold" of the pending rebalance overwritten
        (False, (1, 3), (1,), "{}_enter", {0: 0.4}, 1),  # last date not after pos_index[1]
        (False, (1, 3), (1, 3), "{}_enter", {0: 0.4}, 1),
        (False, (1, 2), (1,), "{}", {0: 0.4}, 1),  # last date (3) after pos_index[1] (2)
        (False, (1,), (1,), "{}", {0: 0.5}, 0),  # no new row: the last target is repeated
    ],
)
def test_stop_due_on_the_next_row(side, stop_trading, pos_days, resample, action, next_weights, next_time):
    prices, option = STOPS[side]
    weights = [0.5, 0.4][: len(pos_days)]
    ops = backtest({"A": prices[:3]}, weights, pos_days, resample, stop_trading_next_period=stop_trading, **option)
    check(ops, {0: action.format(side)}, {0: 0.5}, next_weights, 0, next_time)


@pytest.mark.parametrize(
    ("stop_trading", "actions", "next_weights"),
    [(True, {0: "tp_", 1: "hold"}, {1: 0.3}), (False, {0: "enter", 1: "hold"}, {0: 0.3, 1: 0.3})],
)
def test_stop_since_the_rebalance_and_a_pending_rebalance(stop_trading, actions, next_weights):
    # A is stopped on row 3 (key erased); position row 1, dated on the last day, is pending. Its
    # rebalance would enter A again and hold B; with stop_trading_next_period the stop overwrites
    # A's "enter" in place, keeps A out of the next weights and out of their sum (0.3, not scaled).
    prices = {"A": [1.0, 1.0, 1.2, 1.2, 1.2], "B": [1.0] * 5}
    ops = backtest(prices, [0.3, 0.3, 0.3, 0.3], (1, 5), (1, 5), take_profit=0.1, stop_trading_next_period=stop_trading)
    check(ops, actions, {0: 0.0, 1: 0.3}, next_weights, 0, 1)


def test_stopped_stock_left_out_of_the_sum_only_when_a_rebalance_is_pending():
    # As above with weights of 0.6: with the rebalance pending the sum is 0.6 (B alone) and nothing is
    # scaled; without it (no resample on the last day) A still counts: 1.2, so B's 0.6 / 1.2 = 0.5.
    prices = {"A": [1.0, 1.0, 1.2, 1.2, 1.2], "B": [1.0] * 5}
    pending = backtest(prices, [0.3, 0.3, 0.6, 0.6], (1, 5), (1, 5), take_profit=0.1)
    check(pending, {0: "tp_", 1: "hold"}, {0: 0.0, 1: 0.3}, {1: 0.6}, 0, 1)
    idle = backtest(prices, [0.3, 0.3, 0.6, 0.6], (1, 5), (1,), take_profit=0.1)
    check(idle, {0: "tp_"}, {0: 0.0, 1: 0.3}, {1: 0.5}, 0, 1)


class Untruthy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


def test_failure_leaves_the_new_partly_filled_record():
    # Without stops or rebalances the loop never asks for the flag's truth; the record does, while
    # building the next weights.
    with pytest.raises(ZeroDivisionError, match="no truth") as info:
        backtest(FLAT, [0.3, 0.0, 0.0], (1,), (), stop_trading_next_period=Untruthy())
    assert "zelvor.core.trevane.backtest_" in [frame.name for frame in info.traceback]
    assert trevane.get_stock_operations() == {"actions": {}, "weights": {}, "next_weights": {}}


def test_normalize_weight_is_looked_up_by_name(monkeypatch):
    calls = []

    def stand_in(weights, position_limit):
        calls.append((dict(weights), position_limit))
        return ("normalized", len(calls))

    monkeypatch.setattr(trevane, "normalize_weight", stand_in)
    ops = backtest({"A": [1.0] * 3, "B": [1.0] * 3}, [0.8, 0.8], (1,), (1,), position_limit=1)
    # called with the divided weights (0.8 / 1.6) and the limit as a float
    assert calls == [({0: 0.5, 1: 0.5}, 1.0), ({0: 0.5, 1: 0.5}, 1.0)]
    assert all(type(limit) is float for _, limit in calls)
    assert ops["weights"] == ("normalized", 1) and ops["next_weights"] == ("normalized", 2)


# ---- against the reference model -------------------------------------------------


def random_market(seed):
    rng = np.random.default_rng(seed)
    n, m, k = int(rng.integers(2, 20)), int(rng.integers(1, 5)), int(rng.integers(1, 5))
    close = 10 * np.exp(np.cumsum(rng.normal(0, 0.08, (n, m)), axis=0))
    price = close * np.exp(rng.normal(0, 0.03, close.shape))
    high = np.maximum(price, close) * (1 + rng.uniform(0, 0.08, close.shape))
    low = np.minimum(price, close) * (1 - rng.uniform(0, 0.08, close.shape))
    price[rng.integers(0, n), rng.integers(0, m)] = NAN
    pos_days = np.sort(rng.choice(np.arange(-2, n + 3), size=k, replace=False))
    names = [f"S{j}" for j in range(m)]
    return dict(
        price_values=price,
        close_values=close,
        high_values=high,
        low_values=low,
        open_values=price * np.exp(rng.normal(0, 0.03, close.shape)),
        price_index=days(range(n)),
        price_columns=np.array(names, dtype=object),
        pos_values=rng.choice([0.0, 0.0, 0.2, 0.5, -0.3, 0.7, NAN], size=(k, m)),
        pos_index=days(pos_days),
        pos_columns=np.array(names[::-1], dtype=object),
        resample=days(np.sort(rng.integers(-1, n + 2, size=int(rng.integers(0, n + 2))))),
        stop_loss=float(rng.choice([1.0, 0.05])),
        take_profit=float(rng.choice([np.inf, 0.05])),
        touched_exit=bool(rng.integers(2)),
        position_limit=float(rng.choice([1.0, 0.3])),
        stop_trading_next_period=bool(rng.integers(2)),
    )


def same(a, b):
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=False))
    if isinstance(a, str) or isinstance(b, str):
        return a == b
    return same_number(float(a), float(b))


@pytest.mark.parametrize("seed", range(40))
def test_record_and_trade_rows_match_the_model(seed):
    kw = random_market(seed)
    model = rm.run_backtest(**kw)
    engine = rm.run_engine(**kw)
    assert same(engine.stock_operations, model.stock_operations)
    args = kw["pos_columns"], kw["price_index"], kw["touched_exit"]
    assert same(engine.trade_stock_rows(*args), model.trade_stock_rows(*args))
