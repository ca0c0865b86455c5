"""Small whole backtests whose results are worked out by hand.

Each case runs against the native engine (the `run` fixture of conftest.py).  Expected values are written as the
arithmetic that produces them; the comments show where each factor comes from.

Tolerance: the hand formulas group products differently from the engine, which
multiplies row by row (for example 0.5 * (1 - f) * 1.2 by hand against
((0.5 - 0.5 f) * 11 / 10) * 12 / 11 in the run), so floats are compared with a
relative tolerance of 1e-12.  Integers (rows, counts) are compared exactly.
"""

import re

import numpy as np
import pytest
from market_fixtures import ARRAY_NAMES

DAY = 86_400 * 10**9
F = 0.001425  # default fee ratio
T = 0.003  # default tax ratio
INF = float("inf")
NAN = float("nan")
NO_COSTS = {"fee_ratio": 0.0, "tax_ratio": 0.0}  # runs whose arithmetic is clearer without costs
OPS_KEYS = ["actions", "weights", "next_weights", "weight_time", "next_weight_time"]


def dates(days):
    return np.array([d * DAY for d in days], dtype=np.int64)


def build(
    prices,
    *,
    weights,
    pos_days=(1,),
    resample_days=(1,),
    close=None,
    high=None,
    low=None,
    opens=None,
    price_columns=None,
    pos_columns=None,
    **options,
):
    """Keyword arguments of one backtest.

    ``prices`` maps a label to its trading prices on days 1, 2, ... (row r is
    day r + 1).  ``close``, ``high``, ``low`` and ``opens`` override single
    columns of the other matrices, which otherwise equal the trading prices.
    ``weights`` holds one row per position date.
    """
    labels = list(prices)
    n = len(prices[labels[0]])

    def matrix(over):
        over = over or {}
        return np.array([over.get(k, prices[k]) for k in labels], dtype=float).T.copy()

    pos_labels = pos_columns or labels
    kw = dict(
        price_values=matrix(None),
        close_values=matrix(close),
        high_values=matrix(high),
        low_values=matrix(low),
        open_values=matrix(opens),
        price_index=dates(range(1, n + 1)),
        price_columns=np.array(price_columns or labels, dtype=object),
        pos_values=np.array(weights, dtype=float).reshape(len(pos_days), len(pos_labels)),
        pos_index=dates(pos_days),
        pos_columns=np.array(pos_labels, dtype=object),
        resample=dates(resample_days),
    )
    kw.update(options)
    return kw


def close_to(actual, expected):
    np.testing.assert_allclose(
        np.asarray(actual, dtype=float), np.asarray(expected, dtype=float), rtol=1e-12, atol=1e-15
    )


def figures(mae, mfe, bmfe, mdd, profit_rows, trade_return):
    return [mae, mfe, bmfe, mdd, profit_rows, trade_return]


def operations(*, weights, next_weights, actions=None, time=0):
    """The end-of-run record `check` expects: the actions (none by default), the weights held and
    those of the next period, both dated by the position row `time`."""
    return {
        "actions": {} if actions is None else actions,
        "weights": weights,
        "next_weights": next_weights,
        "weight_time": time,
        "next_weight_time": time,
    }


def check(res, *, pv, trades, positions, stats, ops=None):
    close_to(res.portfolio_value, pv)
    assert len(res.portfolio_value) == len(pv)
    assert res.trades == trades
    close_to(res.trade_positions, positions)
    assert len(res.stats) == len(stats)
    for got, want in zip(res.stats, stats, strict=True):
        assert len(got) == len(want)
        close_to(got, want)
    if ops is not None:
        got = res.stock_operations
        assert list(got) == OPS_KEYS
        assert list(got["actions"].items()) == list(ops["actions"].items())
        for key in ("weights", "next_weights"):
            assert list(got[key]) == list(ops[key]), key
            close_to(list(got[key].values()), list(ops[key].values()))
        assert got["weight_time"] == ops["weight_time"]
        assert got["next_weight_time"] == ops["next_weight_time"]


# ---------------------------------------------------------------------------


def test_buy_and_hold_with_fees(run):
    # The position row is dated day 1 = row 0 and row 0 is flagged by resample,
    # so the buy happens on row 1: 0.5 of the balance 1.0 each, fee paid out of
    # the holding: h = 0.5 * (1 - F), cash 1 - 0.5 - 0.5 = 0.
    kw = build(
        {"A": [10, 11, 12, 10.5, 13], "B": [20, 20, 22, 24, 21]},
        weights=[[0.5, 0.5]],
    )
    res = run(**kw)
    h = 0.5 * (1 - F)
    pv = [
        1.0,
        2 * h,
        h * 12 / 11 + h * 22 / 20,  # prices relative to the buy row (A 11, B 20)
        h * 10.5 / 11 + h * 24 / 20,
        h * 13 / 11 + h * 21 / 20,
    ]
    g = 1 - F  # the entry row's value ratio after the entry fee
    stats_a = figures(
        # A's value track: g, g*12/11, g*10.5/11, g*13/11; the trough falls on
        # track index 2 (recorded as row index 1, where the peak was g*12/11)
        g * 10.5 / 11 - 1,
        g * 13 / 11 - 1,
        g * 12 / 11 - 1,
        10.5 / 12 - 1,  # drawdown from the peak g*12/11
        2,  # indices 1 and 3 are above 1.0
        g * 13 / 11 - 1,  # open trade: no exit price or exit cost
    )
    stats_b = figures(
        # B: g, g*1.1, g*1.2, g*1.05; never below the entry value g
        g - 1,
        g * 1.2 - 1,
        0.0,
        1.05 / 1.2 - 1,
        3,
        g * 1.05 - 1,
    )
    ops = operations(weights={0: 0.5, 1: 0.5}, next_weights={0: 0.5, 1: 0.5})
    check(res, pv=pv, trades=[[0, 1, -1], [1, 1, -1]], positions=[0.5, 0.5], stats=[stats_a, stats_b], ops=ops)
    rows = res.trade_stock_rows(kw["pos_columns"], kw["price_index"], False)
    # stock, entry date (row 1 = day 2), exit -1, signal date (row 0 = day 1),
    # exit signal -1, size, period 5 - 1 = 4, entry row, exit row
    assert [list(r) for r in rows] == [
        ["A", 2 * DAY, -1, 1 * DAY, -1, 0.5, 4, 1, -1],
        ["B", 2 * DAY, -1, 1 * DAY, -1, 0.5, 4, 1, -1],
    ]


def test_rebalance_scales_gross_weight_and_caps_at_position_limit(run):
    f = 0.001
    kw = build(
        {"A": [10, 10, 12, 12], "B": [5, 5, 5, 4], "C": [8, 8, 8, 10]},
        weights=[[0.9, 0.6, 0.3]],
        fee_ratio=f,
        tax_ratio=0.0,
        position_limit=0.4,
    )
    res = run(**kw)
    # gross weight 1.8 > 1: one unit of weight buys 1.0 / 1.8; A's 0.9 / 1.8 =
    # 0.5 exceeds the cap 0.4 * 1.0 and is bought at 0.4; B 1/3, C 1/6.
    # cash = 1 - 0.4 - 1/3 - 1/6 = 0.1; holdings net of the fee: x * (1 - f)
    g = 1 - f
    pv = [
        1.0,
        0.1 + g * (0.4 + 1 / 3 + 1 / 6),
        0.1 + g * (0.4 * 1.2 + 1 / 3 + 1 / 6),  # A 10 -> 12
        0.1 + g * (0.4 * 1.2 + 1 / 3 * 0.8 + 1 / 6 * 1.25),  # B 5 -> 4, C 8 -> 10
    ]
    stats = [
        # A: track g, 1.2g, 1.2g
        figures(g - 1, 1.2 * g - 1, 0.0, g - 1, 2, 1.2 * g - 1),
        # B: g, g, 0.8g; peak stays 1.0, drawdown 0.8g - 1
        figures(0.8 * g - 1, 0.0, 0.0, 0.8 * g - 1, 0, 0.8 * g - 1),
        # C: g, g, 1.25g
        figures(g - 1, 1.25 * g - 1, 0.0, g - 1, 1, 1.25 * g - 1),
    ]
    # end-of-run weights: 0.9, 0.6, 0.3 divided by their sum 1.8, then A
    # clipped to the limit 0.4
    w = {0: 0.4, 1: 0.6 / 1.8, 2: 0.3 / 1.8}
    ops = operations(weights=w, next_weights=w)
    positions = [0.4, 0.6 / 1.8, 0.3 / 1.8]  # value / balance 1.0
    check(res, pv=pv, trades=[[0, 1, -1], [1, 1, -1], [2, 1, -1]], positions=positions, stats=stats, ops=ops)


def test_close_based_stop_loss_executes_on_the_next_row(run):
    kw = build(
        {"A": [10, 10, 9.5, 8.8, 8.0, 8.5], "B": [20] * 6},
        weights=[[0.5, 0.5]],
        stop_loss=0.1,
    )
    res = run(**kw)
    h = 0.5 * (1 - F)
    # A's close ratio: row 2 0.95 (>= 0.9, kept), row 3 0.88 < 0.9: stop
    # detected; sold on row 4 at that row's price 8.0 (ratio 0.8), paying fee and
    # tax on the proceeds: cash = 0.8 h (1 - F - T)
    cash = 0.8 * h * (1 - F - T)
    pv = [1.0, 2 * h, 0.95 * h + h, 0.88 * h + h, cash + h, cash + h]
    g = 1 - F
    stats = [
        # A's closes 10, 9.5, 8.8, 8.0 from the entry: g, .95g, .88g, .8g; the
        # last is then adjusted by price/close (8/8) and (1 - F - T)
        figures(0.8 * g - 1, 0.0, 0.0, 0.8 * g - 1, 0, 0.8 * g * (1 - F - T) - 1),
        # B: flat, open
        figures(g - 1, 0.0, 0.0, g - 1, 0, g - 1),
    ]
    # actions: stopped since the last rebalance, on the stop-loss side; weights: A's key was erased
    # by the exit, weight 0, and the sum 1.0 is not scaled; next_weights: a stopped stock is kept out
    # of the next period
    ops = operations(actions={0: "sl_"}, weights={0: 0.0, 1: 0.5}, next_weights={1: 0.5})
    check(res, pv=pv, trades=[[0, 1, 4], [1, 1, -1]], positions=[0.5, 0.5], stats=stats, ops=ops)
    rows = res.trade_stock_rows(kw["pos_columns"], kw["price_index"], False)
    # the exit signal is the row before the exit row (day 4), period 4 - 1 = 3
    assert list(rows[0]) == ["A", 2 * DAY, 5 * DAY, 1 * DAY, 4 * DAY, 0.5, 3, 1, 4]


def test_touched_take_profit_fills_at_the_open(run):
    kw = build(
        {"A": [10, 10, 11.8, 12], "B": [20] * 4},
        close={"A": [10, 10, 11.9, 12]},
        opens={"A": [10, 10, 11.5, 11.9]},
        high={"A": [10, 10, 12, 12.1]},
        low={"A": [10, 10, 11.2, 11.9]},
        weights=[[0.5, 0.3]],
        take_profit=0.1,
        touched_exit=True,
    )
    res = run(**kw)
    # row 1: buy A 0.5, B 0.3 (gross 0.8, not scaled); cash 0.2
    # row 2: A's open ratio 11.5 / 10 = 1.15 >= 1.1: sold at once at
    # 0.5 (1 - F) * 1.15, not at the trading price 11.8 and not at the level 1.1
    sold = 0.5 * (1 - F) * 1.15
    cash = 0.2 + sold * (1 - F - T)
    b = 0.3 * (1 - F)
    # row 3: A stays as a 0 entry; its ratios 12.1 / 11.8 etc. touch nothing
    pv = [1.0, 0.2 + 0.8 * (1 - F), cash + b, cash + b]
    g = 1 - F
    stats = [
        # the statistics follow trading price and closes: entry 10, close 11.9,
        # exit adjusted by price/close 11.8 / 11.9 and (1 - F - T)
        figures(g - 1, 1.19 * g - 1, 0.0, g - 1, 1, 1.19 * g * (11.8 / 11.9) * (1 - F - T) - 1),
        figures(g - 1, 0.0, 0.0, g - 1, 0, g - 1),
    ]
    # weights: the touched exit keeps A's key (value 0), so its weight stays
    ops = operations(actions={0: "tp_"}, weights={0: 0.5, 1: 0.3}, next_weights={1: 0.3})
    check(res, pv=pv, trades=[[0, 1, 2], [1, 1, -1]], positions=[0.5, 0.3], stats=stats, ops=ops)
    rows = res.trade_stock_rows(kw["pos_columns"], kw["price_index"], True)
    # touched exit: the exit signal date is the exit row itself (day 3)
    assert list(rows[0]) == ["A", 2 * DAY, 3 * DAY, 1 * DAY, 3 * DAY, 0.5, 1, 1, 2]


@pytest.mark.parametrize(
    "trail_stop, activation, stopped",
    [
        (0.1, 0.05, True),
        (INF, 0.05, False),  # no trailing distance
        (0.1, 0.25, False),  # the peak 1.2 never reaches the activation 1.25
    ],
)
def test_trailing_stop(run, trail_stop, activation, stopped):
    kw = build(
        {"A": [10, 10, 11, 12, 10.9, 10.5, 10.5], "B": [50] * 7},
        weights=[[0.6, 0.4]],
        **NO_COSTS,
        trail_stop=trail_stop,
        trail_stop_activation=activation,
    )
    res = run(**kw)
    # A's ratio: 1.1 (trail active at >= 1.05, level 1.0), 1.2 (level 1.1),
    # 1.09 < 1.1 on row 4: stop, sold on row 5 at 10.5 / 10 = 1.05
    if stopped:
        pv = [1.0, 1.0, 0.4 + 0.66, 0.4 + 0.72, 0.4 + 0.654, 0.4 + 0.63, 0.4 + 0.63]
        trades = [[0, 1, 5], [1, 1, -1]]
        # track 1, 1.1, 1.2, 1.09, 1.05; never below 1; drawdown 1.05/1.2 - 1
        stats_a = figures(0.0, 0.2, 0.0, 1.05 / 1.2 - 1, 4, 0.05)
        stats = [stats_a, figures(0, 0, 0, 0, 0, 0)]
        positions = [0.6, 0.4]
    else:
        pv = [1.0, 1.0, 0.4 + 0.66, 0.4 + 0.72, 0.4 + 0.654, 0.4 + 0.63, 0.4 + 0.63]
        trades = [[0, 1, -1], [1, 1, -1]]
        # open until row 6: one more track element of 1.05
        stats_a = figures(0.0, 0.2, 0.0, 1.05 / 1.2 - 1, 5, 0.05)
        stats = [stats_a, figures(0, 0, 0, 0, 0, 0)]
        positions = [0.6, 0.4]
    check(res, pv=pv, trades=trades, positions=positions, stats=stats)
    expected_actions = {0: "sl_"} if stopped else {}
    assert res.stock_operations["actions"] == expected_actions


def test_short_position(run):
    kw = build({"A": [10, 10, 9, 8, 11], "B": [20] * 5}, weights=[[-0.4, 0.4]])
    res = run(**kw)
    # row 1: selling A short brings 0.4 - 0.4 F into cash, the holding is -0.4;
    # buying B takes 0.4 from cash and leaves 0.4 (1 - F) in the holding
    cash = 1 + (0.4 - 0.4 * F) - 0.4
    b = 0.4 * (1 - F)
    pv = [1.0, cash - 0.4 + b, cash - 0.36 + b, cash - 0.32 + b, cash - 0.44 + b]
    # mirrored track of the short: v -> 2 - (2 - v) * r
    #   (1-F), 2-(1+F)*0.9 = 1.1-0.9F, 2-(0.9+0.9F)*8/9 = 1.2-0.8F,
    #   2-(0.8+0.8F)*11/8 = 0.9-1.1F (lowest; trough row index 2, peak 1.2-0.8F)
    v1, v2, v3 = 1.1 - 0.9 * F, 1.2 - 0.8 * F, 0.9 - 1.1 * F
    stats = [
        figures(v3 - 1, v2 - 1, v2 - 1, v3 / v2 - 1, 2, v3 - 1),
        figures(-F, 0.0, 0.0, -F, 0, -F),
    ]
    assert v1 > 1  # the second element counts as a row in profit
    ops = operations(weights={0: -0.4, 1: 0.4}, next_weights={0: -0.4, 1: 0.4})
    check(res, pv=pv, trades=[[0, 1, -1], [1, 1, -1]], positions=[-0.4, 0.4], stats=stats, ops=ops)


def test_delisting_closes_at_the_delisting_row_price(run):
    kw = build(
        {"A": [10, 10, 11, 12, 12], "B": [20] * 5},
        close={"A": [10, 10, 11, 12.5, 12]},
        weights=[[0.5, 0.5]],
        delisting_bars=np.array([3, -1], dtype=np.int64),
    )
    res = run(**kw)
    h = 0.5 * (1 - F)
    # row 3: A carried at the trading price 12 (ratio 1.2) and sold there
    cash = 1.2 * h * (1 - F - T)
    pv = [1.0, 2 * h, 1.1 * h + h, cash + h, cash + h]
    g = 1 - F
    stats = [
        # closes 10, 11, 12.5: g, 1.1g, 1.25g; the exit element becomes
        # (12 / 12.5) * 1.25g * (1 - F - T); the peak keeps the close value
        figures(g - 1, 1.25 * g - 1, 0.0, g - 1, 2, 1.2 * g * (1 - F - T) - 1),
        figures(g - 1, 0.0, 0.0, g - 1, 0, g - 1),
    ]
    # a delisting is not a stop: no action, and A stays in next_weights
    ops = operations(weights={0: 0.0, 1: 0.5}, next_weights={0: 0.5, 1: 0.5})
    check(res, pv=pv, trades=[[0, 1, 3], [1, 1, -1]], positions=[0.5, 0.5], stats=stats, ops=ops)


@pytest.mark.parametrize(
    "retain_cost, periodic, rebased",
    [(False, True, True), (False, False, False), (True, True, False)],
)
def test_periodic_rebalance_rebases_a_continuing_holding(run, retain_cost, periodic, rebased):
    kw = build(
        {"A": [10, 10, 11, 12, 12.6], "B": [20, 20, 19, 18, 18]},
        weights=[[0.5, 0.5], [0.5, 0.0]],
        pos_days=(1, 3),
        resample_days=(1, 3),
        retain_cost_when_rebalance=retain_cost,
        periodically_rebalance=periodic,
    )
    res = run(**kw)
    # row 1 buys h = 0.5 (1 - F) of each, cash 0; the second position row
    # (day 3 = row 2) is traded on row 3 at A 12 (ratio 1.2), B 18 (0.9)
    h = 0.5 * (1 - F)
    va, vb = 1.2 * h, 0.9 * h
    bal = va + vb
    diff = 0.5 * bal - va  # A is reduced to half the balance: fee and tax
    cash = -diff - (F + T) * abs(diff)
    a = diff + va
    cash += vb - (F + T) * vb  # B closed
    pv = [1.0, 2 * h, 1.1 * h + 0.95 * h, cash + a, cash + a * 12.6 / 12]
    g = 1 - F
    b_stats = figures(0.9 * g - 1, 0.0, 0.0, 0.9 * g - 1, 0, 0.9 * g * (1 - F - T) - 1)
    if rebased:
        # A's first record ends at row 3 with exit flag 0 (no exit price/cost),
        # its second starts there with entry flag 0 (no fee): 12 -> 12.6
        trades = [[0, 1, 3], [1, 1, 3], [0, 3, -1]]
        positions = [0.5, 0.5, 0.5]
        stats = [
            figures(g - 1, 1.2 * g - 1, 0.0, g - 1, 2, 1.2 * g - 1),
            b_stats,
            figures(0.0, 0.05, 0.0, 0.0, 1, 0.05),
        ]
    else:
        trades = [[1, 1, 3], [0, 1, -1]]
        positions = [0.5, 0.5]
        stats = [b_stats, figures(g - 1, 1.26 * g - 1, 0.0, g - 1, 3, 1.26 * g - 1)]
    ops = operations(weights={0: 0.5}, next_weights={0: 0.5}, time=1)
    check(res, pv=pv, trades=trades, positions=positions, stats=stats, ops=ops)


@pytest.mark.parametrize("stop_trading", [True, False])
def test_stopped_stock_and_the_next_rebalance(run, stop_trading):
    kw = build(
        {"A": [10, 10, 8.5, 9, 9, 9], "B": [20] * 6},
        weights=[[0.5, 0.5], [0.5, 0.5]],
        pos_days=(1, 4),
        resample_days=(1, 4),
        stop_loss=0.1,
        stop_trading_next_period=stop_trading,
    )
    res = run(**kw)
    # row 1 buys h of each; row 2: A's close ratio 0.85 < 0.9; row 3: A sold at
    # 9 / 10 = 0.9 h less fee and tax; the second position row (day 4 = row 3)
    # is traded on row 4 with balance cash + h (B is flat)
    h = 0.5 * (1 - F)
    cash = 0.9 * h * (1 - F - T)
    bal = cash + h
    # B is cut from h to half the balance: fee and tax on the difference
    diff_b = 0.5 * bal - h
    b = diff_b + h
    if stop_trading:
        # A was stopped since the last rebalance: its target is zeroed
        cash4 = cash + (-diff_b - (F + T) * abs(diff_b))
        a = 0.0
        trades = [[0, 1, 3], [1, 1, 4], [1, 4, -1]]
        weights = {1: 0.5}
    else:
        # A is bought back at half the balance, fee out of the holding
        a = 0.5 * bal * (1 - F)
        cash4 = cash - 0.5 * bal + (-diff_b - (F + T) * abs(diff_b))
        trades = [[0, 1, 3], [1, 1, 4], [0, 4, -1], [1, 4, -1]]
        weights = {0: 0.5, 1: 0.5}
    pv = [1.0, 2 * h, 0.85 * h + h, cash + h, cash4 + a + b, cash4 + a + b]
    close_to(res.portfolio_value, pv)
    assert res.trades == trades
    close_to(res.trade_positions, [0.5] * len(trades))  # 0.5 * bal / bal
    ops = res.stock_operations
    assert ops["actions"] == {}
    assert ops["weights"] == weights
    assert ops["next_weights"] == weights
    assert (ops["weight_time"], ops["next_weight_time"]) == (1, 1)


# Long trade from row 1, open at the end (row 7), no costs: closes 10 (entry),
# 11, 12, 11, 13, 14, 15 give the track 1.0, 1.1, 1.2, 1.1, 1.3, 1.4, 1.5.
_PEAK = [1.0, 1.1, 1.2, 1.2, 1.3, 1.4, 1.5]
_DD = [0, 0, 0, 1.1 / 1.2 - 1, 1.1 / 1.2 - 1, 1.1 / 1.2 - 1, 1.1 / 1.2 - 1]
_TRACK = [1.0, 1.1, 1.2, 1.1, 1.3, 1.4, 1.5]


def _fig(k, track=_TRACK):
    # never below 1.0: mae 0 and bmfe = peak[0] - 1 = 0; rows in profit = k
    return figures(0.0, _PEAK[k] - 1, 0.0, _DD[k], k, track[k] - 1)


_MISSING = [-1.0] * 6


@pytest.mark.parametrize(
    "window, step, groups",
    [
        (0, 1, []),  # exit group only
        (5, 2, [0, 2, 4]),  # q = 4 // 2 = 2: three window groups
        (3, 3, [0]),  # q = 2 // 3 = 0
        (4, 3, [0, 3]),  # q = 3 // 3 = 1
        (10, 1, [0, 1, 2, 3, 4, 5, 6, None, None, None]),  # data ends 6 rows in
    ],
)
def test_statistics_window_layout(run, window, step, groups):
    kw = build(
        {"A": [10, 10, 11, 12, 11, 13, 14, 15], "B": [5] * 8},
        weights=[[1.0, 0.0]],
        **NO_COSTS,
        quelmo_window=window,
        quelmo_window_step=step,
    )
    res = run(**kw)
    assert res.trades == [[0, 1, -1]]
    expected = []
    for k in groups:
        expected += _MISSING if k is None else _fig(k)
    expected += _fig(6)  # exit group at min(L - 1, 7 - 1) = 6
    assert len(res.stats[0]) == len(expected)
    close_to(res.stats[0], expected)


def test_statistics_window_reaches_past_the_exit(run):
    # A delisted on row 3 (held from row 1), window 5: the track runs to row
    # 1 + 5 = 6; the exit group is taken at k = 3 - 1 = 2 without adjustment,
    # which lands on the last element (row 6), reported by no group
    kw = build(
        {"A": [10, 10, 11, 12, 11, 13, 14, 15], "B": [5] * 8},
        close={"A": [10, 10, 11, 12, 11, 13, 14, 15.5]},
        weights=[[1.0, 0.0]],
        fee_ratio=0.0,
        tax_ratio=0.003,
        quelmo_window=5,
        quelmo_window_step=1,
        delisting_bars=np.array([3, -1], dtype=np.int64),
    )
    res = run(**kw)
    assert res.trades == [[0, 1, 3]]
    expected = _fig(0) + _fig(1) + _fig(2) + _fig(3) + _fig(4) + _fig(2)
    close_to(res.stats[0], expected)
    # the sale: 1.0 * 12 / 10 = 1.2 minus tax 0.003
    close_to(res.portfolio_value[3:], [1.2 * (1 - 0.003)] * 5)


# ---------------------------------------------------------------------------
# sound behaviour where a naive implementation goes wrong


def test_position_columns_sharing_a_price_column_are_all_revalued(run):
    kw = build(
        {"A": [10, 10, 20, 20]},
        weights=[[0.3, 0.2]],
        pos_columns=["A", "A"],
        **NO_COSTS,
    )
    res = run(**kw)
    # both holdings follow A's doubling on row 2: 0.5 cash + 0.6 + 0.4
    close_to(res.portfolio_value, [1.0, 1.0, 1.5, 1.5])
    assert res.trades == [[0, 1, -1], [1, 1, -1]]
    close_to(res.stats[0], figures(0.0, 1.0, 0.0, 0.0, 2, 1.0))
    close_to(res.stats[1], figures(0.0, 1.0, 0.0, 0.0, 2, 1.0))


def test_negative_balance_closes_everything_and_opens_nothing(run):
    kw = build(
        {"A": [10, 10, 30, 30, 30], "B": [10] * 5},
        weights=[[-1.0, 0.0], [-1.0, 0.5]],
        pos_days=(1, 3),
        resample_days=(1, 3),
        **NO_COSTS,
        stop_loss=5.0,
    )
    res = run(**kw)
    # row 1: short A for 1.0: cash 2, holding -1; row 2: A triples: -3,
    # value -1; row 3: balance -1 < 0, so A is closed (cash 2 - 3 = -1) and B
    # is not bought
    close_to(res.portfolio_value, [1.0, 1.0, -1.0, -1.0, -1.0])
    assert res.trades == [[0, 1, 3]]
    close_to(res.trade_positions, [-1.0])
    # short track: 1, 2 - 1 * 3 = -1, -1; exit adjustment 2 - 30 * 3 / 30 = -1
    close_to(res.stats[0], figures(-2.0, 0.0, 0.0, -2.0, 0, -2.0))
    ops = res.stock_operations
    assert ops["weights"] == {}
    # next weights -1.0 and 0.5 divided by their gross sum 1.5
    assert list(ops["next_weights"]) == [0, 1]
    close_to(list(ops["next_weights"].values()), [-1 / 1.5, 0.5 / 1.5])


@pytest.mark.parametrize(
    "x_weight, fails",
    [(0.0, False), (0.5, True), (NAN, True)],
)
def test_stock_without_price_column(run, x_weight, fails):
    kw = build(
        {"A": [10, 10, 11]},
        weights=[[0.5, x_weight]],
        pos_columns=["A", "X"],
        **NO_COSTS,
    )
    if fails:
        msg = "No price column for stock X: its label is not among the price columns."
        with pytest.raises(ValueError, match=re.escape(msg)):
            run(**kw)
    else:
        res = run(**kw)
        # X never traded; A: 0.5 cash + 0.5 * 11 / 10
        close_to(res.portfolio_value, [1.0, 1.0, 1.05])
        assert res.trades == [[0, 1, -1]]


@pytest.mark.parametrize("bad", [0.0, -0.0, -1.5, INF, -INF])
def test_invalid_trading_price_of_a_held_stock(run, bad):
    kw = build({"A": [10, 10, bad, 10], "B": [10, 10, bad, 10]}, weights=[[0.5, 0.0]])
    msg = (
        f"Invalid trading price for A at price row 2: {bad!r}. "
        "Expected a positive finite price; check the trading-price dataset."
    )
    with pytest.raises(ValueError) as info:
        run(**kw)
    assert str(info.value) == msg


def test_missing_trading_price_keeps_the_holding_value(run):
    # B is not held, so its bad price is never checked; A's NaN keeps its value
    kw = build(
        {"A": [10, 10, NAN, 12], "B": [10, 10, 0.0, 10]},
        weights=[[0.5, 0.0]],
        **NO_COSTS,
    )
    res = run(**kw)
    # row 2 values A at its carried 0.5; row 3 compares 12 with the last valid 10
    close_to(res.portfolio_value, [1.0, 1.0, 1.0, 0.5 + 0.6])


@pytest.mark.parametrize("name", ARRAY_NAMES)
def test_none_array_argument(run, name):
    kw = build({"A": [10, 10, 11]}, weights=[[0.5]])
    kw[name] = None
    with pytest.raises(TypeError) as info:
        run(**kw)
    assert str(info.value) == f"Argument '{name}' must not be None"
