"""backtest_ from several threads: runs are serialised by the engine, never interleaved.

Each thread runs its own market many times and checks its results against a run made alone
beforehand. The interpreter is told to switch threads as often as it can, so a run that let
another thread's run into the recorder would see its arrays replaced mid-run.
"""

import contextlib
import itertools
import os
import sys
import threading

import numpy as np
import pytest
from market_fixtures import positional, small_market

trevane = pytest.importorskip("zelvor.core.trevane")
from zelvor.core import quelmo  # noqa: E402

ROUNDS = 6 if os.environ.get("ZELVOR_SANITIZED") else 15
OPTIONS = {"stop_loss": 0.03, "quelmo_window": 4, "quelmo_window_step": 2}


def rebalancing_daily(n_rows, n_stocks, seed):
    """A market with a new target row on every price row: each rebalance calls into NumPy, where the
    interpreter may switch threads, so a run offers another thread many chances to get in."""
    market = small_market(n_rows, n_stocks, seed=seed)
    market["pos_values"] = np.random.default_rng(seed).uniform(-0.2, 0.6, (n_rows, n_stocks))
    market["pos_index"] = market["price_index"].copy()
    return market


def recorded():
    """What the recorder holds: trades, sizes and statistics."""
    trades = [[int(cell) for cell in t] for t in quelmo.trades]
    return trades, np.array(quelmo.trade_positions, dtype=float), [s.copy() for s in quelmo.quelmo]


def run_and_read(market):
    value = trevane.backtest_(*positional(market), **OPTIONS)
    rows, _ = trevane.get_trade_stocks(market["pos_columns"], market["price_index"], False)
    return value, recorded(), repr(rows)  # repr: a NaN-proof comparison of the rows


def assert_same_record(a, b):
    assert a[0] == b[0]
    np.testing.assert_array_equal(a[1], b[1])  # NaN-aware
    assert [len(s) for s in a[2]] == [len(s) for s in b[2]]
    if a[2]:
        np.testing.assert_array_equal(np.concatenate(a[2]), np.concatenate(b[2]))


class RunReadLock:
    """The test's own lock: runs share it with each other, a run followed by reading its results
    takes it alone (and waiting readers go first, so they are not starved)."""

    def __init__(self):
        self._changed = threading.Condition()
        self._runs = 0
        self._readers = 0  # waiting or reading

    @contextlib.contextmanager
    def run(self):
        with self._changed:
            self._changed.wait_for(lambda: self._readers == 0)
            self._runs += 1
        try:
            yield
        finally:
            with self._changed:
                self._runs -= 1
                self._changed.notify_all()

    @contextlib.contextmanager
    def run_and_read(self):
        with self._changed:
            self._readers += 1
            self._changed.wait_for(lambda: self._runs == 0 and self._reading is None)
            self._reading = threading.get_ident()
        try:
            yield
        finally:
            with self._changed:
                self._readers -= 1
                self._reading = None
                self._changed.notify_all()

    _reading = None


@pytest.fixture
def fast_switching():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


@pytest.fixture
def seen_at_end_of_run(monkeypatch):
    """Per thread, what the recorder held when the run's end-of-run block called normalize_weight:
    inside the run, so after the engine's lock works, it is this run's own record even while other
    threads' runs wait."""
    seen = threading.local()
    original = trevane.normalize_weight

    def snapshot_then_normalize(weights, position_limit):
        seen.recorded = recorded()
        return original(weights, position_limit)

    monkeypatch.setattr(trevane, "normalize_weight", snapshot_then_normalize)
    return seen


def run_in_threads(markets, rounds, seen):
    """Runs each market in its own thread `rounds` times; returns the failures seen."""
    expected = [run_and_read(m) for m in markets]  # alone, before any thread starts
    for _, (trades, _, _), _ in expected:
        assert trades, "each market trades, so the trade comparisons mean something"
    lock = RunReadLock()
    start = threading.Barrier(len(markets))
    failures = []

    unfinished = [len(markets)]  # threads that have not yet done their rounds
    counting = threading.Lock()

    def done_with_rounds():
        with counting:
            unfinished[0] -= 1

    def work(market, alone):
        k = 0
        try:
            start.wait()
            # a quick market keeps running until the slow ones are done, so the runs overlap throughout
            for k in itertools.count():
                if k == rounds:
                    done_with_rounds()
                if k >= rounds and unfinished[0] == 0:
                    break
                if k % 3 == 0:
                    with lock.run_and_read():
                        value, record, rows = run_and_read(market)
                    assert_same_record(record, alone[1])
                    assert rows == alone[2]
                else:
                    with lock.run():
                        value = trevane.backtest_(*positional(market), **OPTIONS)
                np.testing.assert_array_equal(value, alone[0])
                assert_same_record(seen.recorded, alone[1])
        except BaseException as error:  # noqa: BLE001 - reported by the main thread
            failures.append(error)
            if k < rounds:
                done_with_rounds()

    threads = [threading.Thread(target=work, args=(m, e), daemon=True) for m, e in zip(markets, expected, strict=True)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=120)
    # a thread still alive here is deadlocked, which must never happen
    assert not any(thread.is_alive() for thread in threads), "a backtest_ thread is stuck"
    return failures


@pytest.mark.filterwarnings("ignore::RuntimeWarning")  # NumPy scalars divide inf by inf in the report
@pytest.mark.parametrize(
    "markets",
    [
        # shapes that differ: the smaller run's recorder arrays would make the larger one index out of range
        [rebalancing_daily(80, 40, seed=1), rebalancing_daily(8, 3, seed=2)],
        # shapes that agree: an interleaving raises nothing and could only show in wrong results
        [rebalancing_daily(40, 12, seed=3), rebalancing_daily(40, 12, seed=4), rebalancing_daily(40, 12, seed=5)],
    ],
    ids=["different shapes", "same shapes"],
)
def test_threads_each_get_their_own_run(markets, fast_switching, seen_at_end_of_run):
    failures = run_in_threads(markets, ROUNDS, seen_at_end_of_run)
    assert not failures, failures[:3]


class CallsBacktest:
    """A truth value that starts a backtest from inside the running one, and keeps what happened."""

    def __init__(self):
        self.errors = []

    def __bool__(self):
        try:
            trevane.backtest_(*positional(small_market()))
        except RuntimeError as error:
            self.errors.append(str(error))
        return True


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_a_backtest_started_from_inside_a_run_is_refused_not_deadlocked():
    market = small_market()
    alone = trevane.backtest_(*positional(market), stop_trading_next_period=True)
    nested = CallsBacktest()
    value = trevane.backtest_(*positional(market), stop_trading_next_period=nested)
    assert nested.errors, "the truth value was taken during the run"
    assert set(nested.errors) == {
        "backtest_() was called from inside a running backtest on the same thread (from a callback such as a "
        "label's comparison or a truth value); runs cannot be nested"
    }
    # the refused inner call left the outer run alone, and the engine is free again afterwards
    np.testing.assert_array_equal(value, alone)
    np.testing.assert_array_equal(trevane.backtest_(*positional(market)), alone)


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_a_failed_run_releases_the_engine(seen_at_end_of_run):
    market = small_market()
    with pytest.raises(ZeroDivisionError):
        trevane.backtest_(*positional(market), stop_trading_next_period=Explodes())
    # another thread can run afterwards (a lock left held would make it wait forever)
    failures = run_in_threads([market], 2, seen_at_end_of_run)
    assert not failures, failures


class Explodes:
    def __bool__(self):
        raise ZeroDivisionError("from a truth value")
