"""Dask workers with several threads run several backtests at once: what a call costs, per row.

    python benchmarks/bench_dask_threads.py            # the real data set, 7 calls per figure
    python benchmarks/bench_dask_threads.py --quick    # 3 calls per figure

One Dask worker process with 1 thread, then the same with 2 threads (a `LocalCluster` each, started
and given the market before the timing); `zelvor.sweep(backend="dask", client=...)` on the real data
set's monthly momentum top-20 weights, with three grids of stop-loss x take-profit levels: 1 set
(the fixed cost of a call: the scheduler's round trips, the table), 64 sets (the 8 x 8 grid of
bench_sweep.py) and 512 sets (64 stop-loss levels over the same range x the same 8 take-profits).
Each figure is the median of the timed calls (wall clock), with, per call, the CPU time of the worker
process (all its threads), the page faults it took and the time its threads waited for a free core
(the kernel's run-queue wait: what other processes on a shared machine cost the worker). From them:
the marginal cost of a row, (512-set call - 64-set call) / 448, the 1 thread / 2 threads ratio at
each size, and the same grids serially in this process, so that a row in a worker can be compared
with a row here (measured in the same run).
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


Figures = dict[int, tuple[float, dict[str, float | None]]]


def timed_calls(weights, market, repeat: int, client=None, worker=None) -> Figures:
    """Per grid size: the median wall seconds of a call, and the worker's CPU seconds, page faults
    and run-queue seconds per call (None: not measured)."""
    backend = "serial" if client is None else "dask"
    figures = {}
    for n_sets, grid in GRIDS.items():
        times = []
        before = _worker_counters(worker)
        for _ in range(repeat):
            started = time.perf_counter()
            table = zelvor.sweep(weights, market, grid, backend=backend, client=client).table
            times.append(time.perf_counter() - started)
        assert len(table) == n_sets and not table["error"].any(), table["error"].unique()
        after = _worker_counters(worker)
        counters = {
            name: None if after[name] is None or before[name] is None else (after[name] - before[name]) / repeat
            for name in after
        }
        figures[n_sets] = (statistics.median(times), counters)
    return figures


def _worker_counters(process) -> dict[str, float | None]:
    """The worker's CPU seconds, minor page faults and seconds its threads waited on the run queue."""
    if process is None:
        return {"cpu": None, "faults": None, "waited": None}
    times = process.cpu_times()
    try:  # Linux: /proc/<pid>/stat's 10th field; each thread's schedstat (run, wait, slices in ns)
        with open(f"/proc/{process.pid}/stat") as f:
            faults: float | None = float(f.read().rpartition(")")[2].split()[7])
        waited: float | None = 0.0
        for thread in os.listdir(f"/proc/{process.pid}/task"):
            with open(f"/proc/{process.pid}/task/{thread}/schedstat") as f:
                waited += int(f.read().split()[1]) / 1e9
    except (OSError, IndexError, ValueError):
        faults = waited = None
    return {"cpu": times.user + times.system, "faults": faults, "waited": waited}


def on_cluster(weights, market, threads: int, repeat: int) -> Figures:
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


def marginal(figures: Figures, counter: str | None = None) -> float | None:
    """Seconds (or a worker counter) per row at the margin: between the 64-set and the 512-set call."""
    if counter is None:
        return (figures[512][0] - figures[64][0]) / (512 - 64)
    big, small = figures[512][1][counter], figures[64][1][counter]
    return None if big is None or small is None else (big - small) / (512 - 64)


def _ms(seconds: float | None, pattern: str = ".1f") -> str:
    return fmt(None if seconds is None else seconds * 1e3, pattern)


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
        for threads in (1, 2):
            seconds, counters = results[threads][n_sets]
            faults = counters["faults"]
            rows.append(
                [
                    f"{n_sets}",
                    f"{threads}",
                    f"{serial[n_sets][0] * 1e3:.1f}",
                    f"{seconds * 1e3:.1f}",
                    _ms(counters["cpu"]),
                    fmt(None if faults is None else faults / n_sets, ".1f"),
                    _ms(counters["waited"]),
                    f"{results[1][n_sets][0] / seconds:.2f}x",
                ]
            )
    print_table(
        ["sets", "threads", "serial ms", "Dask ms", "worker CPU ms", "faults/row", "run-queue ms", "vs 1 thread"],
        rows,
    )
    per_row = {name: marginal(figures) for name, figures in (("serial", serial), *results.items())}
    cpu_row = {threads: marginal(results[threads], "cpu") for threads in (1, 2)}
    print(
        f"a row at the margin (512-set call - 64-set call) / 448: serial {_ms(per_row['serial'], '.3f')} ms;"
        f" Dask, 1 thread {_ms(per_row[1], '.3f')} ms ({per_row[1] / per_row['serial']:.2f}x serial, worker CPU"
        f" {_ms(cpu_row[1], '.3f')} ms), 2 threads {_ms(per_row[2], '.3f')} ms (worker CPU {_ms(cpu_row[2], '.3f')} ms,"
        f" {per_row[1] / per_row[2]:.2f}x 1 thread)"
    )
    print(
        f"fixed cost of a call (1 set): serial {serial[1][0] * 1e3:.1f} ms, Dask {results[1][1][0] * 1e3:.1f} ms"
        f" (1 thread), {results[2][1][0] * 1e3:.1f} ms (2 threads)"
    )
    print(load_average())
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
