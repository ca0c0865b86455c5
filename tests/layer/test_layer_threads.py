"""Backtests from several threads each get their own results."""

import threading

import numpy as np
from layer_fixtures import random_market, random_weights

import zelvor


def test_two_threads_get_their_own_results():
    market = random_market(120, 8, seed=11)
    jobs = [
        (random_weights(market, 10, seed=12), {"stop_loss": 0.05}),
        (random_weights(market, 20, seed=13, shorts=False), {"take_profit": 0.1, "touched_exit": True}),
    ]
    expected = []
    for weights, options in jobs:
        r = zelvor.backtest(weights, market, **options)
        expected.append((r.equity.to_numpy().copy(), r._raw.trades["pnl"].copy(), r.trades["stock"].tolist()))
    assert not np.array_equal(expected[0][0], expected[1][0])

    failures = []
    start = threading.Barrier(len(jobs))

    def worker(k):
        weights, options = jobs[k]
        start.wait()
        for _ in range(25):
            r = zelvor.backtest(weights, market, **options)
            equity, pnl, stocks = expected[k]
            if not (
                np.array_equal(r.equity.to_numpy(), equity)
                and np.array_equal(r._raw.trades["pnl"], pnl)
                and r.trades["stock"].tolist() == stocks
            ):
                failures.append(k)

    threads = [threading.Thread(target=worker, args=(k,)) for k in range(len(jobs))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []
