"""A child forked while a backtest is under way can run backtests of its own.

Each child reports through its exit status and is bounded in time twice: an alarm ends it if a run
waits for the engine lock, and the parent gives up waiting for it after a deadline.
"""

import os
import signal
import sys
import threading

import numpy as np
import pytest
from forked_children import wait_for
from market_fixtures import positional, small_market

trevane = pytest.importorskip("zelvor.core.trevane")

pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork") or sys.platform == "win32", reason="needs fork"),
    # forking a process that runs threads is what these tests are about
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]

CHILD_ALARM_S = 20
PARENT_DEADLINE_S = 60


def child_runs_a_backtest(expected):
    """In a forked child: run one backtest and leave with status 0 when it gives `expected`."""
    try:
        signal.alarm(CHILD_ALARM_S)  # a run waiting for the lock forever dies of the alarm
        value = trevane.backtest_(*positional(small_market()))
        status = 0 if np.array_equal(value, expected) else 3
    except BaseException:
        status = 4
    os._exit(status)


class HoldsTheRun:
    """A truth value that keeps its run inside a callback until released (bounded in time)."""

    def __init__(self):
        self.inside, self.release = threading.Event(), threading.Event()

    def __bool__(self):
        self.inside.set()
        self.release.wait(PARENT_DEADLINE_S)
        return True


def test_child_forked_while_another_thread_is_inside_a_run():
    expected = trevane.backtest_(*positional(small_market()))
    holder = HoldsTheRun()
    errors = []

    def run():
        try:
            trevane.backtest_(*positional(small_market()), stop_trading_next_period=holder)
        except BaseException as error:  # reported by the main thread
            errors.append(error)

    thread = threading.Thread(target=run)
    thread.start()
    try:
        assert holder.inside.wait(PARENT_DEADLINE_S), "the run never reached its callback"
        pid = os.fork()
        if pid == 0:
            child_runs_a_backtest(expected)
        status = wait_for(pid, PARENT_DEADLINE_S)
    finally:
        holder.release.set()
        thread.join(PARENT_DEADLINE_S)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, f"child ended with status {status:#x}"
    # the parent's own run finished normally, and the engine is free in the parent too
    assert not errors and not thread.is_alive()
    np.testing.assert_array_equal(trevane.backtest_(*positional(small_market())), expected)


class ForksOnce:
    """A truth value that forks the first time it is taken; the child goes on with the run."""

    def __init__(self):
        self.pid = None

    def __bool__(self):
        if self.pid is None:
            signal.alarm(0)
            self.pid = os.fork()
            if self.pid == 0:
                signal.alarm(CHILD_ALARM_S)
        return True


def test_child_forked_from_inside_a_run_finishes_it_and_runs_again():
    expected = trevane.backtest_(*positional(small_market()))
    forks = ForksOnce()
    value = trevane.backtest_(*positional(small_market()), stop_trading_next_period=forks)
    if forks.pid == 0:  # the child: its copy of the run has finished, and the lock is free again
        status = 0 if np.array_equal(value, expected) else 5
        if status == 0:
            child_runs_a_backtest(expected)
        os._exit(status)
    status = wait_for(forks.pid, PARENT_DEADLINE_S)
    assert os.WIFEXITED(status) and os.WEXITSTATUS(status) == 0, f"child ended with status {status:#x}"
    np.testing.assert_array_equal(value, expected)
