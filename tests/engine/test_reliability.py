"""Many runs in one process, successful and failing at different points, leave nothing behind."""

import gc
import os
import sys

import pytest
from market_fixtures import positional, small_market

trevane = pytest.importorskip("zelvor.core.trevane")


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def failing_runs(market):
    """Each yields (call, expected exception): failures in binding, in the checks, and mid-run."""
    args = positional(market)
    bad_price = dict(market)
    bad_price["price_values"] = market["price_values"].copy()
    bad_price["price_values"][5, :] = 0.0  # held stocks meet a zero trading price on row 5
    return [
        (lambda: trevane.backtest_(*args[:5]), TypeError),
        (lambda: trevane.backtest_(*args, quelmo_window="x"), TypeError),
        (lambda: trevane.backtest_(*args[:6], list(args[6]), *args[7:]), TypeError),
        (lambda: trevane.backtest_(*positional(bad_price)), ValueError),
        # the recorder fails on the first closed trade: a window step of 0 cannot lay out statistics
        (lambda: trevane.backtest_(*args, quelmo_window_step=0), ZeroDivisionError),
        (lambda: trevane.backtest_(*args, stop_trading_next_period=Truthless()), RuntimeError),
    ]


class Truthless:
    def __bool__(self):
        raise RuntimeError("no truth value")


@pytest.mark.slow
@pytest.mark.skipif(sys.platform != "linux", reason="reads /proc")
def test_repeated_runs_do_not_leak():
    market = small_market(n_rows=60, n_stocks=6)
    other = small_market()
    inputs = list(market.values())
    # the recorder keeps the last run's price and close arrays: make it hold another market's
    trevane.backtest_(*positional(other))
    counts_before = [sys.getrefcount(a) for a in inputs]
    failures = failing_runs(market)

    def one_round():
        for call, error in failures:
            value = trevane.backtest_(*positional(market), quelmo_window=5, quelmo_window_step=2)
            assert value.shape == (60,)
            with pytest.raises(error):
                call()

    rounds = 40 if os.environ.get("ZELVOR_SANITIZED") else 120
    for _ in range(10):  # warm-up: caches, interned strings, the first allocations
        one_round()
    gc.collect()
    objects_before, rss_before = len(gc.get_objects()), rss_bytes()
    for _ in range(rounds):
        one_round()
    gc.collect()
    # a leak of even one object or a few hundred bytes per run would add thousands of objects or
    # several MB over these runs
    assert len(gc.get_objects()) - objects_before < 50
    if not os.environ.get("ZELVOR_SANITIZED"):  # the address sanitizer holds freed memory back
        assert rss_bytes() - rss_before < 4 * 1024 * 1024
    failures.clear()  # the calls hold the inputs
    trevane.backtest_(*positional(other))
    gc.collect()
    assert [sys.getrefcount(a) for a in inputs] == counts_before
