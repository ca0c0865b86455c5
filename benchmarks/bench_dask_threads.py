"""Dask workers with several threads run several backtests at once: what a call costs, per row.

    python benchmarks/bench_dask_threads.py            # the real data set, 7 calls per figure
    python benchmarks/bench_dask_threads.py --quick    # 3 calls per figure

One Dask worker process with 1 thread, then the same with 2 threads (a `LocalCluster` each, started
and given the market before the timing); `zelvor.sweep(backend="dask", client=...)` on the real data
set's monthly momentum top-20 weights, with three grids of stop-loss x take-profit levels: 1 set
(the fixed cost of a call: the scheduler's round trips, the table), 64 sets (the 8 x 8 grid of
bench_sweep.py) and 512 sets (64 stop-loss levels over the same range x the same 8 take-profits).
Each figure is the median of the timed calls (wall clock), with the CPU time of the worker process
(all its threads) per call. From them: the marginal cost of a row, (512-set call - 64-set call) /
448, the 1 thread / 2 threads ratio at each size, and the same grids serially in this process, so a
row in a worker can be compared with a row here (measured in the same run).
"""

from __future__ import annotations

import argparse
import os
import statistics
import time
import warnings
from pathlib import Path

import numpy as np

import zelvor

from _common import REAL_DATA, fmt, load_average, print_table

GRID_64 = {
    "stop_loss": [None, 0.03, 0.05, 0.07, 0.1, 0.13, 0.16, 0.2],
    "take_profit": [None, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.7],
}
GRID_512 = {
    "stop_loss": [None, *np.round(np.linspace(0.03, 0.2, 63), 4).tolist()],
    "take_profit": GRID_64["take_profit"],
}
GRID_1 = {"stop_loss": [0.1], "take_profit": [0.3]}
GRIDS = {1: GRID_1, 64: GRID_64, 512: GRID_512}


def timed_calls(weights, market, repeat: int, client=None, worker=None) -> dict[int, tuple[float, float | None]]:
    """Per grid size: the median wall seconds of a call and the worker's CPU seconds per call."""
    backend = "serial" if client is None else "dask"
    figures = {}
    for n_sets, grid in GRIDS.items():
        times = []
        cpu_before = _cpu(worker)
        for _ in range(repeat):
            started = time.perf_counter()
            table = zelvor.sweep(weights, market, grid, backend=backend, client=client).table
            times.append(time.perf_counter() - started)
        assert len(table) == n_sets and not table["error"].any(), table["error"].unique()
        cpu = None if worker is None else (_cpu(worker) - cpu_before) / repeat
        figures[n_sets] = (statistics.median(times), cpu)
    return figures


def _cpu(process) -> float:
    if process is None:
        return 0.0
    times = process.cpu_times()
    return times.user + times.system


def on_cluster(weights, market, threads: int, repeat: int) -> dict[int, tuple[float, float | None]]:
    import psutil
    from distributed import Client, LocalCluster

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        cluster = LocalCluster(n_workers=1, threads_per_worker=threads, processes=True, dashboard_address=None)
    try:
        with Client(cluster) as client:
            (pid,) = client.run(os.getpid).values()
            zelvor.sweep(weights, market, GRID_64, backend="dask", client=client)  # ships the market
            return timed_calls(weights, market, repeat, client, psutil.Process(pid))
    finally:
        cluster.close()


def marginal(figures: dict[int, tuple[float, float | None]]) -> float:
    """Seconds per row at the margin: between the 64-set and the 512-set call."""
    return (figures[512][0] - figures[64][0]) / (512 - 64)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="3 timed calls per figure")
    parser.add_argument("--repeat", type=int, default=7, help="timed calls per figure (default 7)")
    parser.add_argument("--data", type=Path, default=REAL_DATA, help="the real data set (CSV)")
    args = parser.parse_args(argv)
    if not args.data.exists():
        print(f"skipped: {args.data} not found")
        return 0
    market = zelvor.read_csv(args.data, warn=False)
    repeat = 3 if args.quick else args.repeat
    from zelvor.datasets import momentum_weights

    weights = momentum_weights(market, top=20, lookback=60)
    print(f"{market.shape[0]} rows x {market.shape[1]} stocks, median of {repeat} calls; {load_average()}")
    serial = timed_calls(weights, market, repeat)
    results = {threads: on_cluster(weights, market, threads, repeat) for threads in (1, 2)}
    rows = []
    for n_sets in GRIDS:
        cells = [f"{n_sets}", f"{serial[n_sets][0] * 1e3:.1f}"]
        for threads in (1, 2):
            seconds, cpu = results[threads][n_sets]
            cells += [f"{seconds * 1e3:.1f}", fmt(None if cpu is None else cpu * 1e3, ".1f")]
        cells.append(f"{results[1][n_sets][0] / results[2][n_sets][0]:.2f}x")
        rows.append(cells)
    print_table(
        ["sets", "serial ms", "1 thread ms", "worker CPU ms", "2 threads ms", "worker CPU ms", "2 thr / 1 thr"], rows
    )
    per_row = {name: marginal(figures) for name, figures in (("serial", serial), *results.items())}
    print(
        f"marginal cost of a row: serial {per_row['serial'] * 1e3:.3f} ms, 1 worker x 1 thread"
        f" {per_row[1] * 1e3:.3f} ms ({per_row[1] / per_row['serial']:.2f}x serial), 1 worker x 2 threads"
        f" {per_row[2] * 1e3:.3f} ms ({per_row[1] / per_row[2]:.2f}x faster than 1 thread)"
    )
    worker_cpu = {t: (results[t][512][1] - results[t][64][1]) / (512 - 64) for t in (1, 2)}  # type: ignore[operator]
    print(
        f"worker CPU per row at the margin: 1 thread {worker_cpu[1] * 1e3:.3f} ms,"
        f" 2 threads {worker_cpu[2] * 1e3:.3f} ms; fixed cost of a call (1 set): serial"
        f" {serial[1][0] * 1e3:.1f} ms, Dask {results[1][1][0] * 1e3:.1f} ms (1 thread),"
        f" {results[2][1][0] * 1e3:.1f} ms (2 threads)"
    )
    print(load_average())
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
