"""A process forked while another thread runs `zelvor.backtest` can run backtests of its own.

The child reports through its exit status and is bounded in time twice: an alarm ends it if a run
waits for a lock the fork copied held, and the parent gives up waiting for it after a deadline.
"""

import os
import signal
import sys
import threading
import time

import numpy as np
import pytest
from forked_children import wait_for

import zelvor

if not hasattr(zelvor, "backtest"):
    pytest.skip("needs the Python layer (zelvor.Market, zelvor.backtest)", allow_module_level=True)

pytestmark = [
    pytest.mark.skipif(not hasattr(os, "fork") or sys.platform == "win32", reason="needs fork"),
    # forking a process that runs threads is what this test is about
    pytest.mark.filterwarnings("ignore::DeprecationWarning"),
]

FORKS = 10
CHILD_ALARM_S = 5
PARENT_DEADLINE_S = 30


def _case():
    market = zelvor.Market.synthetic(stocks=8, years=1, seed=3)
    weights = market.close.iloc[::21] * 0.0 + 0.1
    return market, weights


@pytest.mark.slow
def test_child_forked_while_a_thread_runs_backtests_runs_one_too():
    market, weights = _case()
    expected = zelvor.backtest(weights, market).equity.to_numpy()
    stop = threading.Event()

    def loop():
        while not stop.is_set():
            zelvor.backtest(weights, market)

    thread = threading.Thread(target=loop, daemon=True)
    # Frequent thread switches, so that forks often find the other thread in the middle of a run.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    thread.start()
    statuses = []
    try:
        for _ in range(FORKS):
            time.sleep(0.002)  # let the thread get back inside a run
            pid = os.fork()
            if pid == 0:  # the child: one run of its own, then leave at once
                status = 4
                try:
                    signal.alarm(CHILD_ALARM_S)
                    equity = zelvor.backtest(weights, market).equity.to_numpy()
                    status = 0 if np.array_equal(equity, expected) else 3
                finally:
                    os._exit(status)
            statuses.append(wait_for(pid, PARENT_DEADLINE_S))
    finally:
        stop.set()
        thread.join(PARENT_DEADLINE_S)
        sys.setswitchinterval(interval)
    # Each child left with status 0: neither killed by its alarm nor by the parent's deadline.
    exits = [os.WEXITSTATUS(s) if os.WIFEXITED(s) else -os.WTERMSIG(s) for s in statuses]
    assert exits == [0] * FORKS
