"""The module names read at every trade (the recorder's result lists, the engine's two flags) are
read as they stand at that moment: rebinding one in the middle of a run takes effect at the very
next trade, even though the engine remembers what it found while the namespace stays unchanged."""

import builtins

import numpy as np
import pytest
from market_fixtures import positional, small_market

trevane = pytest.importorskip("zelvor.core.trevane")
from zelvor.core import quelmo  # noqa: E402

N_ROWS, N_STOCKS = 30, 4
LISTS = ("trades", "trade_positions", "quelmo")


def daily_market():
    """Every stock held from row 1 on and re-weighted on every row: with RESAMPLE true, each
    rebalance closes and reopens each holding's record, so every row adds N_STOCKS records."""
    market = small_market(N_ROWS, N_STOCKS, seed=11)
    market["pos_values"] = np.full((N_ROWS, N_STOCKS), 0.2)
    market["pos_index"] = market["price_index"].copy()
    return market


class ActsOnUse:
    """A false truth value that calls `action` the `n`-th time the engine takes it (once a
    rebalance row here: no stop is ever due with the default levels)."""

    def __init__(self, n, action):
        self.n, self.action, self.uses = n, action, 0

    def __bool__(self):
        self.uses += 1
        if self.uses == self.n:
            self.action()
        return False


def run(stop_trading_next_period=False):
    return trevane.backtest_(
        *positional(daily_market()), stop_trading_next_period=stop_trading_next_period, quelmo_window=3
    )


def snapshot(trades, positions, stats):
    return [[[int(x) for x in t] for t in trades], [float(x) for x in positions], [s.tolist() for s in stats]]


@pytest.fixture
def restore_lists():
    saved = {name: getattr(quelmo, name) for name in LISTS}
    yield
    for name, value in saved.items():
        setattr(quelmo, name, value)
    if hasattr(builtins, "trades"):
        del builtins.trades


@pytest.mark.parametrize("use", [3, 10, 25])
def test_lists_rebound_mid_run_receive_the_later_records(restore_lists, use):
    run()
    whole = snapshot(quelmo.trades, quelmo.trade_positions, quelmo.quelmo)
    before = {}

    def rebind():
        for name in LISTS:
            before[name] = getattr(quelmo, name)
            setattr(quelmo, name, [])

    run(ActsOnUse(use, rebind))
    early = snapshot(*(before[name] for name in LISTS))
    late = snapshot(*(getattr(quelmo, name) for name in LISTS))
    assert early[0] and late[0], "the swap did not fall between two records"
    # the records are those of the plain run, split where the lists were swapped
    joined = [e + lt for e, lt in zip(early, late, strict=True)]
    assert repr(joined) == repr(whole)  # repr: NaN-proof


def test_a_list_found_only_among_the_builtins_is_used(restore_lists):
    run()
    n_whole = len(quelmo.trades)
    moved = []

    def move_to_builtins():
        moved.append(quelmo.trades)
        builtins.trades = []
        del quelmo.trades

    run(ActsOnUse(10, move_to_builtins))
    assert moved[0] and builtins.trades
    assert len(moved[0]) + len(builtins.trades) == n_whole


@pytest.mark.parametrize(
    ("name", "value"), [("RESAMPLE", False), ("RETAIN_COST_WHEN_REBALANCE", True), ("RESAMPLE", None)]
)
def test_a_flag_rebound_mid_run_stops_the_rebasing_at_once(name, value):
    run()
    n_whole = len(quelmo.trades)
    at_switch = []

    def rebind():
        at_switch.append(len(quelmo.trades))
        setattr(trevane, name, value)

    run(ActsOnUse(10, rebind))
    (n_before,) = at_switch
    later = [[int(x) for x in t] for t in quelmo.trades[n_before:]]
    # after the switch no holding is re-based: only end_analysis records the open holdings
    assert n_before > 0 and n_whole > n_before + N_STOCKS
    assert [t[2] for t in later] == [-1] * N_STOCKS
    # the next run sets both flags again and re-bases as before
    run()
    assert len(quelmo.trades) == n_whole
