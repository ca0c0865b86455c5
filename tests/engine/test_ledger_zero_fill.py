"""A holding that an intraday exit fills at a value of exactly 0 still closes its trade in the ledger.

The engine writes the fill value into the holding before it sells it, so a fill of exactly 0 (an
open of 0, or a low of 0 against a stop level of 0) reaches the trade primitive as a holding of 0:
the recorder hears of no exit and lists no trade. The layer refuses such prices; these runs go
through the raw engine.
"""

import numpy as np
import pandas as pd
import pytest

from zelvor import _engine
from zelvor.report import report_of_run

pytest.importorskip("zelvor.core.trevane")

DAY = 86_400 * 10**9
N = 6


def arrays(touch):
    """A at 10, 10, 11, 12, 13, 14 and B flat at 20, half each from row 1; row 2 of A gets `touch`."""
    price = np.array([[10.0, 10.0, 11.0, 12.0, 13.0, 14.0], [20.0] * N]).T.copy()
    high, low, open_ = price.copy(), price.copy(), price.copy()
    low[2, 0] = 10.5
    {"open": open_, "low": low}[touch][2, 0] = 0.0
    index = (np.arange(N) + 10) * DAY
    return {
        "price_values": price,
        "close_values": price.copy(),
        "high_values": high,
        "low_values": low,
        "open_values": open_,
        "price_index": index,
        "price_columns": np.array(["A", "B"], dtype=object),
        "pos_values": np.array([[0.5, 0.5], [0.5, 0.5]]),
        "pos_index": index[[0, 3]],
        "pos_columns": np.array(["A", "B"], dtype=object),
        "resample": index.copy(),
    }


@pytest.mark.parametrize(
    ("touch", "stop_loss"),
    [
        ("open", 0.05),  # the open's ratio 0 is below the 0.95 stop: filled at the open, 0
        ("low", 1.0),  # a stop at 0 (loss of 100 %) touched by a low of 0: filled at the level, 0
    ],
)
@pytest.mark.parametrize("stop_trading_next_period", [True, False])
def test_a_fill_at_zero_closes_its_trade_with_the_whole_loss(touch, stop_loss, stop_trading_next_period):
    # No costs. Row 1 buys A and B for 0.5 each. Row 2: A is filled at 0, so the equity drops to 0.5
    # and A's trade has lost its 0.5 there: pnl -0.5, exit row 2 at a price of 0, a stop-loss. B never
    # moves, so each of its trades has pnl 0. When stopped stocks may come back (False), row 4 buys
    # A again with half of 0.5; that trade rises from 13 to 14 and owes nothing to the first one.
    options = {
        "fee_ratio": 0.0,
        "tax_ratio": 0.0,
        "stop_loss": stop_loss,
        "touched_exit": True,
        "stop_trading_next_period": stop_trading_next_period,
        "quelmo_window": 2,
    }
    raw = _engine.run(arrays(touch), options)
    t = raw.trades
    assert raw.equity[2] == 0.5
    first = np.flatnonzero(t["sid"] == 0)[0]
    assert (t["entry_row"][first], t["exit_row"][first]) == (1, 2)
    assert (t["exit_price"][first], t["pnl"][first], t["listed"][first]) == (0.0, -0.5, False)
    assert _engine.REASONS[t["reason"][first]] == "stop_loss"
    assert np.all(t["pnl"][t["sid"] == 1] == 0.0)
    later = np.flatnonzero(t["sid"] == 0)[1:]
    if stop_trading_next_period:
        assert len(later) == 0
    else:
        assert len(later) == 1 and t["pnl"][later[0]] == pytest.approx(0.25 * (14 / 13 - 1))
    assert t["pnl"].sum() == pytest.approx(raw.equity[-1] - 1.0, abs=1e-15)
    # The sale is a fill: at price 0, from a holding already at its fill value of 0.
    f = raw.fills
    at_zero = (f["row"] == 2) & (f["sid"] == 0)
    assert at_zero.sum() == 1 and f["price"][at_zero][0] == 0.0 and f["value_after"][at_zero][0] == 0.0
    # The recorder's statistics belong to the listed trades only, in order.
    assert len(raw.stats) == int(t["listed"].sum())

    dates = pd.DatetimeIndex(raw_dates())
    report = report_of_run(
        raw,
        dates=dates,
        stocks=pd.Index(["A", "B"]),
        signal_dates=dates,
        start_row=0,
        touched_exit=True,
        window=2,
        window_step=1,
        benchmark=None,
        benchmark_name=None,
        options={},
    )
    trades = report.trades
    assert len(trades) == len(t["sid"])
    assert trades.loc[first, ["mae", "mfe", "trade_return"]].isna().all()
    listed = np.flatnonzero(t["listed"])
    exit_stats = np.array([s[-6:] for s in raw.stats])
    assert np.array_equal(trades.loc[listed, "trade_return"].to_numpy(), exit_stats[:, 5], equal_nan=True)
    assert sorted(set(report.window_stats.index.get_level_values("trade"))) == list(listed)


def raw_dates():
    return ((np.arange(N) + 10) * DAY).view("datetime64[ns]")
