"""Every trade's pnl adds up to the equity curve, and the fills are the ones the engine used."""

import math

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from layer_fixtures import run_shapes

import zelvor

pytest.importorskip("zelvor.core.trevane")

DATES = pd.bdate_range("2022-03-01", periods=6)


def one_stock(close, open_=None, high=None, low=None):
    def frame(values):
        return None if values is None else pd.DataFrame({"A": values}, index=DATES[: len(values)], dtype=float)

    return zelvor.Market(frame(close), open=frame(open_), high=frame(high), low=frame(low))


def assert_reconciled(report):
    total = float(np.sum(report.trades["pnl"].to_numpy()))
    expected = report.equity.iloc[-1] - 1.0
    assert total == pytest.approx(expected, rel=1e-9, abs=1e-12)


@pytest.mark.slow
@settings(max_examples=150, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(run_shapes())
def test_pnl_of_all_trades_adds_up_to_the_equity(shape):
    market, weights, options = shape
    report = zelvor.backtest(weights, market, **options)
    assert_reconciled(report)
    t = report.trades
    closed = t["exit_reason"] != "open"
    # Open trades are those still held at the end; closed ones have an exit fill.
    assert t.loc[closed, "exit_date"].notna().all() and t.loc[~closed, "exit_date"].isna().all()
    # Each fill's costs are what the engine charged: the fee on the traded amount, tax on reductions.
    f = report.transactions
    assert (f["fee"] >= 0).all() and (f["tax"] >= 0).all()
    assert (f.loc[f["reason"] != "rebalance", "weight_after"] == 0).all()


def test_buy_then_sell_by_hand():
    # Weight 1 decided on day 0, traded at day 1's close (10); weight 0 decided on day 2, sold at
    # day 3's close (12). Fee 1 %, tax 2 %: cash -1; holding 0.99 -> 0.99 * 1.2 = 1.188 sold for
    # 1.188 * (1 - 0.03) = 1.15236. pnl 0.15236, return 0.15236.
    market = one_stock([8.0, 10.0, 11.0, 12.0, 13.0])
    weights = pd.DataFrame({"A": [1.0, 0.0]}, index=DATES[[0, 2]])
    report = zelvor.backtest(weights, market, fee_ratio=0.01, tax_ratio=0.02)
    t = report.trades
    assert len(t) == 1
    row = t.iloc[0]
    assert (row["entry_date"], row["exit_date"]) == (DATES[1], DATES[3])
    assert (row["entry_price"], row["exit_price"]) == (10.0, 12.0)
    assert row["pnl"] == pytest.approx(0.15236)
    assert row["return"] == pytest.approx(0.15236)
    assert row["exit_reason"] == "rebalance"
    assert report.equity.iloc[-1] == pytest.approx(1.15236)
    f = report.transactions
    assert f["price"].tolist() == [10.0, 12.0]
    assert f["fee"].tolist() == pytest.approx([0.01, 0.01188])
    assert f["tax"].tolist() == pytest.approx([0.0, 0.02376])
    # Weights are fractions of the portfolio at the fill: cash 0 + holding 1.188 when selling.
    assert f["weight_before"].tolist() == pytest.approx([0.0, 1.0])
    assert f["weight_after"].tolist() == [pytest.approx(0.99), 0.0]  # the fee came out of the holding


def test_touched_exit_fills_at_the_touched_level():
    # Bought at 10 (day 1). Day 2: open 9.8, low 8.5 touches the 10 % stop at 9.0, close 9.5.
    # The fill is at 9.0 (the level), not at the close: no fees, so pnl = 0.9 - 1 = -0.1.
    close = [10.0, 10.0, 9.5, 9.6]
    market = one_stock(close, open_=[10, 10, 9.8, 9.6], high=[10, 10, 9.9, 9.7], low=[10, 10, 8.5, 9.5])
    weights = pd.DataFrame({"A": [1.0]}, index=DATES[[0]])
    report = zelvor.backtest(weights, market, fee_ratio=0, tax_ratio=0, stop_loss=0.1, touched_exit=True)
    row = report.trades.iloc[0]
    assert row["exit_reason"] == "stop_loss"
    assert row["exit_price"] == pytest.approx(9.0)
    assert row["pnl"] == pytest.approx(-0.1) and row["return"] == pytest.approx(-0.1)
    # The recorder's own return is measured on closes: it says -5 %, the fill says -10 %.
    assert row["trade_return"] == pytest.approx(-0.05)
    assert_reconciled(report)


@pytest.mark.parametrize(
    ("opens", "lows", "expected_price", "reason"),
    [
        ([10, 10, 8.0], [10, 10, 7.5], 8.0, "stop_loss"),  # gaps through the stop: filled at the open
        ([10, 10, 10.0], [10, 10, 9.5], None, None),  # never touched
    ],
)
def test_gap_through_the_stop_fills_at_the_open(opens, lows, expected_price, reason):
    market = one_stock([10.0, 10.0, 9.8], open_=opens, high=[10, 10, 10.5], low=lows)
    weights = pd.DataFrame({"A": [1.0]}, index=DATES[[0]])
    report = zelvor.backtest(weights, market, fee_ratio=0, tax_ratio=0, stop_loss=0.1, touched_exit=True)
    row = report.trades.iloc[0]
    if expected_price is None:
        assert row["exit_reason"] == "open" and math.isnan(row["exit_price"])
    else:
        assert (row["exit_price"], row["exit_reason"]) == (expected_price, reason)
    assert_reconciled(report)


def test_trailing_stop_and_short_take_profit_are_named():
    # Both entered at day 1's close. Long A: up to 12 (+20 %), trail 10 % activated at +5 %: its
    # stop level becomes 1.2 - 0.1 = 1.1 (11.0), crossed by the close 10.5 on day 3: sold on day 4,
    # reason trail_stop (its 25 % take-profit is never reached). Short B: falls 30 % on day 2, past
    # its 25 % take-profit: bought back on day 3, reason take_profit, pnl 0.5 x 30 % = 0.15.
    frame = pd.DataFrame(
        {"A": [10.0, 10.0, 12.0, 10.5, 10.4, 10.4], "B": [10.0, 10.0, 7.0, 7.0, 7.0, 7.0]}, index=DATES
    )
    market = zelvor.Market(frame)
    weights = pd.DataFrame({"A": [0.5], "B": [-0.5]}, index=DATES[[0]])
    report = zelvor.backtest(
        weights, market, trail_stop=0.1, trail_stop_activation=0.05, take_profit=0.25, fee_ratio=0, tax_ratio=0
    )
    t = report.trades.set_index("stock")
    assert t.loc["A", "exit_reason"] == "trail_stop" and t.loc["A", "exit_date"] == DATES[4]
    assert t.loc["B", "exit_reason"] == "take_profit" and t.loc["B", "exit_date"] == DATES[3]
    assert t.loc["B", "pnl"] == pytest.approx(0.15)
    assert_reconciled(report)


def test_delisted_holding_is_closed_on_its_last_price():
    frame = pd.DataFrame({"A": [10.0, 10.0, 11.0, np.nan, np.nan], "B": [5.0] * 5}, index=DATES[:5])
    weights = pd.DataFrame({"A": [0.5], "B": [0.5]}, index=DATES[[0]])
    report = zelvor.backtest(weights, zelvor.Market(frame), delisting="auto", fee_ratio=0, tax_ratio=0)
    t = report.trades.set_index("stock")
    assert t.loc["A", "exit_reason"] == "delisted" and t.loc["A", "exit_date"] == DATES[2]
    assert t.loc["A", "exit_price"] == 11.0 and t.loc["A", "pnl"] == pytest.approx(0.05)
    assert t.loc["B", "exit_reason"] == "open"
    assert_reconciled(report)


def test_costs_that_consume_a_flipped_holding_still_reconcile():
    # A short of -0.9 flipped to a long of +0.1 with a 10 % fee: the buy of 1.0 costs 0.1, which
    # leaves the long holding at exactly 0. The engine's recorder then lists no trade for it;
    # its money is kept with the stock's previous trade, so the pnl still adds up.
    frame = pd.DataFrame({"A": [10.0] * 6}, index=DATES)
    weights = pd.DataFrame({"A": [-0.9, 0.1]}, index=DATES[[0, 2]])
    for retain in (False, True):
        report = zelvor.backtest(
            weights, zelvor.Market(frame), fee_ratio=0.1, tax_ratio=0.0, retain_cost_when_rebalance=retain
        )
        assert_reconciled(report)


def test_get_transactions_returns_the_last_runs_log_as_arrays():
    from zelvor.core import quelmo, trevane

    with pytest.raises(TypeError, match=r"get_transactions\(\) takes no arguments \(1 given\)"):
        trevane.get_transactions(1)
    market = one_stock([8.0, 10.0, 11.0, 12.0, 13.0])
    weights = pd.DataFrame({"A": [1.0, 0.5]}, index=DATES[[0, 2]])
    # The layer's runs leave nothing in module state: run backtest_ itself on the layer's arrays.
    prepared = zelvor.prepare(weights, market)
    trevane.backtest_(**prepared._arrays, **prepared._options({})[1])
    trades, fills = trevane.get_transactions()
    # The log lists the recorder's trades in the recorder's order, with the same rows and sizes.
    assert [
        [int(s), int(e), int(x)] for s, e, x in zip(trades["sid"], trades["entry_row"], trades["exit_row"], strict=True)
    ] == [list(map(int, t)) for t in quelmo.trades]
    assert trades["position"].tolist() == [float(p) for p in quelmo.trade_positions]
    # A buy on day 1, then a partial sale on day 3 (re-basing the record: exit, entry).
    assert fills["row"].tolist() == [1, 3] and fills["sid"].tolist() == [0, 0]
    assert {k: v.dtype.kind for k, v in fills.items()} == {
        "row": "i", "sid": "i", "reason": "u", "value_before": "f", "value_after": "f", "balance": "f",
        "price": "f", "fee": "f", "tax": "f",
    }  # fmt: skip


def test_the_fill_log_changes_no_result_and_can_be_left_off():
    from zelvor.core import quelmo, trevane

    market = one_stock([8.0, 10.0, 11.0, 9.0, 13.0], low=[8, 9, 10, 8, 12], high=[9, 11, 12, 10, 14])
    weights = pd.DataFrame({"A": [1.0, 0.5]}, index=DATES[[0, 2]])
    report = zelvor.backtest(weights, market, stop_loss=0.1, touched_exit=True)
    prepared = zelvor.prepare(weights, market)
    _, engine_options = prepared._options({"stop_loss": 0.1, "touched_exit": True})
    trevane._fill_log = False  # the benchmark's switch
    try:
        value = trevane.backtest_(**prepared._arrays, **engine_options)
        trades, fills = trevane.get_transactions()
    finally:
        del trevane._fill_log
    assert value.tobytes() == report.equity.to_numpy().tobytes()
    assert len(quelmo.trades) == len(report.trades) > 0
    assert len(trades["pnl"]) == 0 and len(fills["row"]) == 0  # nothing kept, nothing stale
