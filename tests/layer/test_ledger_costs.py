"""Which trade pays which cost in the fill ledger: a cut's fee and tax belong to the trade that is cut."""

import numpy as np
import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from layer_fixtures import random_weights

import zelvor

pytest.importorskip("zelvor.core.trevane")

FEE, TAX = 0.001425, 0.003
DATES = pd.bdate_range("2022-03-01", periods=4)


def test_costs_of_a_cut_are_paid_by_the_trade_that_is_cut():
    # A held at 0.9 of the portfolio, then cut to 0.005 and kept there; B takes the rest. Both
    # stocks trade at 50, 50.5, 50.5, 50.2; weights decided on rows 0-2 trade on rows 1-3.
    # Row 1 (50.5): buys A 0.9 (fee 0.9 * FEE, out of the holding: A = 0.8987175) and B 0.1.
    # Row 2 (50.5, no move): balance 0.8987175 + 0.0998575 = 0.998575; A's target 0.005 * that =
    # 0.004992875, so 0.893724625 is sold at FEE + TAX. The first trade of A paid 0.9 and hands
    # its holding (0.8987175) to the next trade, less the cut's costs:
    #   pnl = -0.9 + 0.8987175 - 0.893724625 * (FEE + TAX) = -0.0052372315...
    # The second trade of A holds 0.004992875 from 50.5 to 50.2 and pays only row 3's small cut,
    # (about 1.3e-5 of A at FEE + TAX, 6e-8 on a basis of 0.005), so its return is the price move,
    # -0.594 %, within 2e-5 (it read -79.8 % when the first cut's costs were booked on it).
    prices = [50.0, 50.5, 50.5, 50.2]
    market = zelvor.Market(pd.DataFrame({"A": prices, "B": prices}, index=DATES))
    weights = pd.DataFrame({"A": [0.9, 0.005, 0.005], "B": [0.1, 0.9, 0.9]}, index=DATES[:3])
    report = zelvor.backtest(weights, market, fee_ratio=FEE, tax_ratio=TAX)
    a = report.trades[report.trades["stock"] == "A"].reset_index(drop=True)
    assert list(a["exit_reason"]) == ["rebalance", "rebalance", "open"]
    first_pnl = -0.9 + 0.8987175 - 0.893724625 * (FEE + TAX)
    assert a.loc[0, "pnl"] == pytest.approx(first_pnl, rel=1e-12)
    assert a.loc[0, "return"] == pytest.approx(first_pnl / 0.9, rel=1e-12)
    assert a.loc[1, "return"] == pytest.approx(50.2 / 50.5 - 1.0, abs=3e-5)
    assert report.trades["pnl"].sum() == pytest.approx(report.equity.iloc[-1] - 1.0, rel=1e-12)


def test_return_of_a_trade_that_grows_counts_the_money_added():
    # Costs kept across rebalances: A's trade opens at 0.1 (row 1) and grows to 0.9 (row 2) as one
    # trade, then the price rises 1 % (50 -> 50.5). No fees: pnl = 0.9 * 1 % = 0.009, and the money
    # put in is 0.1 + 0.8 = 0.9, so the return is 1 % (not 0.009 / 0.1 = 9 %).
    market = zelvor.Market(pd.DataFrame({"A": [50.0, 50.0, 50.0, 50.5]}, index=DATES))
    weights = pd.DataFrame({"A": [0.1, 0.9]}, index=DATES[:2])
    report = zelvor.backtest(weights, market, fee_ratio=0, tax_ratio=0, retain_cost_when_rebalance=True)
    assert len(report.trades) == 1
    trade = report.trades.iloc[0]
    assert trade["pnl"] == pytest.approx(0.009) and trade["return"] == pytest.approx(0.01)


def _own_costs(raw):
    """The costs each trade should carry, worked out from the fills alone (money values).

    A fill belongs to the trade of its stock open on its row (an open trade runs to the end). On
    a rebalance row that ends one trade and starts the next of the same stock, the part of the
    traded amount that moves the holding toward 0 belongs to the trade that ends, the rest to the
    one that starts.
    """
    t, f = raw.trades, raw.fills
    exit_row = np.where(t["exit_row"] < 0, np.iinfo(np.int64).max, t["exit_row"].astype(np.int64))
    owed = np.zeros(len(t["sid"]))
    for k in range(len(f["row"])):
        row, sid = f["row"][k], f["sid"][k]
        mine = np.flatnonzero((t["sid"] == sid) & (t["entry_row"] <= row) & (exit_row >= row))
        cost = f["fee"][k] + f["tax"][k]
        if len(mine) == 1:
            owed[mine[0]] += cost
            continue
        assert len(mine) == 2, "at most two trades of a stock meet on a row here"
        old, new = sorted(mine, key=lambda j: t["entry_row"][j])
        before = f["value_before"][k]
        # A buy's costs come out of the holding: the target was the value after plus the costs.
        after = f["value_after"][k]
        target = after + cost if after > before else after
        diff = target - before
        share = min(abs(before), abs(diff)) / abs(diff) if diff * before < 0 else 0.0
        owed[old] += cost * share
        owed[new] += cost * (1.0 - share)
    return owed


# Random weights often sum past 1 or never trade: the layer's warnings about that are expected here.
@pytest.mark.slow
@pytest.mark.filterwarnings("ignore::zelvor._validate.RunWarning")
@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    seed=st.integers(0, 2**31),
    n_rows=st.integers(3, 30),
    n_stocks=st.integers(1, 4),
    n_signals=st.integers(1, 8),
    shorts=st.booleans(),
    retain=st.booleans(),
    periodic=st.booleans(),
    fee=st.sampled_from([0.0, 0.001425, 0.01]),
    tax=st.sampled_from([0.0, 0.003, 0.008]),
    limit=st.sampled_from([1.0, 0.4]),
)
def test_with_flat_prices_each_trade_loses_exactly_its_own_costs(
    seed, n_rows, n_stocks, n_signals, shorts, retain, periodic, fee, tax, limit
):
    # Prices that never move: whatever a trade gains or loses is what it paid in fees and tax.
    rng = np.random.default_rng(seed)
    dates = pd.bdate_range("2021-01-04", periods=n_rows)
    levels = rng.uniform(5.0, 100.0, n_stocks)
    close = pd.DataFrame(np.tile(levels, (n_rows, 1)), index=dates, columns=[f"S{j}" for j in range(n_stocks)])
    market = zelvor.Market(close)
    weights = random_weights(market, n_signals, seed + 1, shorts=shorts)
    report = zelvor.backtest(
        weights,
        market,
        fee_ratio=fee,
        tax_ratio=tax,
        position_limit=limit,
        retain_cost_when_rebalance=retain,
        periodically_rebalance=periodic,
    )
    trades = report.trades
    pnl = trades["pnl"].to_numpy()
    assert pnl.sum() == pytest.approx(report.equity.iloc[-1] - 1.0, rel=1e-9, abs=1e-12)
    assert pnl == pytest.approx(-_own_costs(report._raw), rel=1e-9, abs=1e-15)
