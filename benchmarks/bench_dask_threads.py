"""Dask workers with several threads run several backtests at once.

    python benchmarks/bench_dask_threads.py            # the real data set, a 64-set grid
    python benchmarks/bench_dask_threads.py --quick    # 3 calls a configuration

One Dask worker process with 1 thread, then the same with 2 threads (a `LocalCluster` each, started
before the timing); `zelvor.sweep(backend="dask", client=...)` on the 8 x 8 stop-loss/take-profit
grid of bench_sweep.py, the median of --repeat warm calls. The native run releases the interpreter
lock, so the second thread of one worker runs a second backtest on the other core; the ratio
1 thread / 2 threads (measured in the same run) says how much of a row runs outside the lock.
"""

from __future__ import annotations

import argparse
import statistics
import time
import warnings
from pathlib import Path

import zelvor

from _common import REAL_DATA

GRID = {
    "stop_loss": [None, 0.03, 0.05, 0.07, 0.1, 0.13, 0.16, 0.2],
    "take_profit": [None, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.7],
}


def timed_sweeps(weights, market, threads: int, repeat: int) -> list[float]:
    from distributed import Client, LocalCluster

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = LocalCluster(n_workers=1, threads_per_worker=threads, processes=True, dashboard_address=None)
    try:
        with Client(cluster) as client:
            zelvor.sweep(weights, market, GRID, backend="dask", client=client)  # ships the market
            times = []
            for _ in range(repeat):
                started = time.perf_counter()
                zelvor.sweep(weights, market, GRID, backend="dask", client=client)
                times.append(time.perf_counter() - started)
            return times
    finally:
        cluster.close()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="3 timed calls per configuration")
    parser.add_argument("--repeat", type=int, default=7, help="timed calls per configuration (default 7)")
    parser.add_argument("--data", type=Path, default=REAL_DATA, help="the real data set (CSV)")
    args = parser.parse_args(argv)
    if not args.data.exists():
        print(f"skipped: {args.data} not found")
        return 0
    market = zelvor.read_csv(args.data, warn=False)
    repeat = 3 if args.quick else args.repeat
    from zelvor.datasets import momentum_weights

    weights = momentum_weights(market, top=20, lookback=60)
    n_sets = len(GRID["stop_loss"]) * len(GRID["take_profit"])
    medians = {}
    for threads in (1, 2):
        medians[threads] = statistics.median(timed_sweeps(weights, market, threads, repeat))
    print(f"{market.shape[0]} rows x {market.shape[1]} stocks, {n_sets} sets a call, median of {repeat} calls")
    for threads, seconds in medians.items():
        print(
            f"  1 worker x {threads} thread{'s' if threads > 1 else ''}:"
            f" {seconds:7.3f} s  {n_sets / seconds:8.0f} runs/s"
        )
    print(f"  2 threads / 1 thread: {medians[1] / medians[2]:.2f}x")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
