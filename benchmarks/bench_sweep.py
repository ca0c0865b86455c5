"""Throughput and memory of `zelvor.sweep`: serial, 2 threads, 2 worker processes, Dask LocalCluster of 2.

    python benchmarks/bench_sweep.py               # both markets, a 64-set grid, every backend
    python benchmarks/bench_sweep.py --quick       # small smoke run
    python benchmarks/bench_sweep.py --headline    # 10,000 backtests on the real data set
    python benchmarks/bench_sweep.py --readme      # the README's 27-set example, per backend
    python benchmarks/bench_sweep.py --threads     # real data set: serial against 2 threads only

Markets: R, the real data set (../shared/data/all_stocks_5yr.csv.gz, 505 stocks x 1,259 days)
when present; S, the seeded synthetic market of 5,000 days x 2,000 stocks.
Strategy: at month ends, the 20 stocks with the best 60-day return at equal weight. Grid: 8
stop-loss levels x 8 take-profit levels (off included), every row of the table with its stats.

For each backend: runs per second of one `zelvor.sweep` call (the median of --repeat warm calls,
after a small warm-up call on a tiny market, so the worker processes and the cluster exist already;
their start is timed apart), its ratio to serial in the same run, and the time of the first call
on the market (which writes the market's shared files and has the workers map them); the CPU time
of all processes per run over the timed calls (user + system: a busy machine changes it less than
the wall-clock figures). Memory, sampled every 0.1 s during one more call (not timed) over this
process and all its descendants: the peak of the summed proportional set sizes (PSS: shared pages
counted once) and what the calls added to it since the warm-up, the largest private memory (USS) of
one worker, and the size of the memory-mapped files the sweep shared with its workers. Targets:
processes >= 1.7x serial, Dask >= 1.5x serial, and the memory the calls add at most one copy of the
market plus 150 MB per worker.

Per-task overhead: the same grid run with one set per task and with the default tasks; the
difference in time divided by the difference in the number of tasks.

--headline: 10,000 parameter sets (20 look-backs x 25 stop-losses x 20 take-profits) on the real
data set on 2 workers of --backend (threads by default), --repeat calls: runs per minute of each, their
median and range, and a profile of one serial run (where the time goes) to compare with.
"""

from __future__ import annotations

import argparse
import cProfile
import glob
import io
import math
import os
import pstats
import statistics
import sys
import tempfile
import threading
import time
from pathlib import Path

import numpy as np

import zelvor
from zelvor.sweeps import _backends, _dask, _shared

from _common import REAL_DATA

MB = 1024 * 1024


def momentum(market, lookback=60, top=20):
    """Month-end equal weights of the `top` stocks with the best `lookback`-day return."""
    close = market.close.ffill()
    dates = close.index
    month_end = np.ones(len(dates), dtype=bool)
    month_end[:-1] = dates.year[1:] * 12 + dates.month[1:] != dates.year[:-1] * 12 + dates.month[:-1]
    score = close.pct_change(lookback, fill_method=None)[month_end]
    chosen = score.rank(axis=1, ascending=False, method="first") <= top
    return chosen.astype(float) / top


GRID = {
    "stop_loss": [None, 0.03, 0.05, 0.07, 0.1, 0.13, 0.16, 0.2],
    "take_profit": [None, 0.1, 0.15, 0.2, 0.3, 0.4, 0.5, 0.7],
}


# --------------------------------------------------------------------------------------------
# Memory of this process and its descendants


class MemorySampler:
    """Peak summed PSS of the process tree, peak USS per process, peak size of shared files."""

    def __init__(self, interval: float = 0.1):
        import psutil

        self._psutil = psutil
        self._interval = interval
        self._stop = threading.Event()
        self.peak_pss = 0
        self.peak_uss: dict[int, int] = {}
        self.peak_shared_files = 0
        self._thread = threading.Thread(target=self._run, daemon=True)

    def __enter__(self):
        self._sample()
        self._thread.start()
        return self

    def __exit__(self, *exc):
        self._stop.set()
        self._thread.join()
        self._sample()

    def _run(self):
        while not self._stop.wait(self._interval):
            self._sample()

    def _sample(self):
        me = self._psutil.Process()
        total = 0
        for proc in [me, *me.children(recursive=True)]:
            try:
                info = proc.memory_full_info()
            except (self._psutil.NoSuchProcess, self._psutil.AccessDenied):
                continue
            total += info.pss
            if proc.pid != me.pid:
                self.peak_uss[proc.pid] = max(self.peak_uss.get(proc.pid, 0), info.uss)
        self.peak_pss = max(self.peak_pss, total)
        self.peak_shared_files = max(self.peak_shared_files, shared_file_bytes())

    @property
    def worker_uss(self) -> int:
        return max(self.peak_uss.values(), default=0)


def shared_file_bytes() -> int:
    """Bytes in the sweep's shared files and joblib's memory-mapping folders (on /dev/shm or in
    the temporary directory)."""
    total = 0
    folders = (f"{_shared._dir_prefix()}*", f"joblib_memmapping_folder_{os.getpid()}_*")
    for root, folder in ((root, folder) for root in ("/dev/shm", tempfile.gettempdir()) for folder in folders):
        for path in glob.glob(os.path.join(root, folder, "*")):
            try:
                total += os.path.getsize(path)
            except OSError:
                pass
    return total


def tree_pss() -> int:
    """Summed PSS of this process and its descendants (worker pools and clusters included)."""
    sampler = MemorySampler()
    sampler._sample()
    return sampler.peak_pss


def tree_cpu() -> float:
    """CPU seconds (user + system) used so far by this process and its living descendants."""
    import psutil

    total = 0.0
    me = psutil.Process()
    for proc in [me, *me.children(recursive=True)]:
        try:
            times = proc.cpu_times()
        except (psutil.NoSuchProcess, psutil.AccessDenied):
            continue
        total += times.user + times.system
    return total


# --------------------------------------------------------------------------------------------
# Runs


def timed_sweep(weights, market, grid, **kwargs):
    started = time.perf_counter()
    result = zelvor.sweep(weights, market, grid, progress=False, **kwargs)
    seconds = time.perf_counter() - started
    failed = int((result.table["error"] != "").sum())
    if failed:
        raise RuntimeError(f"{failed} runs failed: {result.table['error'][result.table['error'] != ''].iloc[0]}")
    return result, seconds


def bench_market(
    name, market, weights, grid, client, n_jobs, repeat, backends=("serial", "threads", "processes", "dask")
):
    n_sets = math.prod(len(v) for v in grid.values())
    market_bytes = sum(
        getattr(market, f).to_numpy().nbytes
        for f in {id(getattr(market, f)): f for f in ("close", "open", "high", "low")}.values()
    )
    print(
        f"\n== market {name}: {len(market.stocks)} stocks x {len(market.dates)} days, "
        f"{market_bytes / MB:.0f} MB of prices; {n_sets} parameter sets =="
    )
    rows = []
    tables = {}
    tiny = zelvor.Market.synthetic(stocks=30, years=1, seed=2)
    for backend in backends:
        kwargs = {"backend": backend}
        if backend in ("threads", "processes"):
            kwargs["n_jobs"] = n_jobs
        if backend == "dask":
            kwargs["client"] = client
        started = time.perf_counter()
        timed_sweep(momentum, tiny, {"stop_loss": [0.1]}, **kwargs)  # warm-up: workers, imports
        warm_up = time.perf_counter() - started
        base = tree_pss()  # the workers exist now: what follows is what the calls add
        # The first call on this market (its files written and mapped), the timed warm calls, then
        # one call under the memory sampler (reading /proc/PID/smaps stalls the sampled
        # processes, so it is kept out of the timing).
        _, first = timed_sweep(weights, market, grid, **kwargs)
        times = []
        cpu = tree_cpu()
        for _ in range(repeat):
            result, seconds = timed_sweep(weights, market, grid, **kwargs)
            times.append(seconds)
        # CPU time of every process per run: what the backend costs beyond the runs themselves,
        # whatever else the machine is doing (wall-clock ratios suffer from a busy machine).
        cpu_per_run = (tree_cpu() - cpu) / (repeat * n_sets)
        with MemorySampler() as memory:
            timed_sweep(weights, market, grid, **kwargs)
        tables[backend] = result.table
        rows.append(
            (backend, statistics.median(times), (min(times), max(times)), cpu_per_run, first, warm_up, memory, base)
        )
    serial_seconds = rows[0][1]
    print(
        f"{'backend':<10} {'runs/s':>8} {'(range)':>13} {'x serial':>9} {'CPU ms/run':>11} {'first s':>8} "
        f"{'warm-up s':>10} {'peak PSS MB':>12} {'added MB':>9} {'worker USS MB':>14} {'shared MB':>10}"
    )
    for backend, seconds, (fastest, slowest), cpu_per_run, first, warm_up, memory, base in rows:
        spread = f"{n_sets / slowest:.0f}-{n_sets / fastest:.0f}"
        print(
            f"{backend:<10} {n_sets / seconds:8.1f} {spread:>13} {serial_seconds / seconds:9.2f} "
            f"{cpu_per_run * 1000:11.2f} {first:8.2f} {warm_up:10.2f} "
            f"{memory.peak_pss / MB:12.0f} {(memory.peak_pss - base) / MB:9.0f} {memory.worker_uss / MB:14.0f} "
            f"{memory.peak_shared_files / MB:10.0f}"
        )
    same = all(tables[b].equals(tables["serial"]) for b in tables)
    print(f"tables identical across backends: {same} (load average {os.getloadavg()[0]:.2f})")
    return rows


def lock_share(weights, market, grid, repeat):
    """Where a row's CPU time goes on one thread: the native call (which simulates without the
    interpreter lock) and the rest, which holds the lock and so runs one thread at a time. With
    `locked` ms of a row's `total` under the lock, 2 threads reach at most min(2, total / locked) x
    serial (the native call's own argument binding and result building count as unlocked here)."""
    from zelvor import _engine

    n_sets = math.prod(len(v) for v in grid.values())
    inside = [0.0]
    original = _engine.run_for_stats

    def timed(*args):
        started = time.thread_time()
        try:
            return original(*args)
        finally:
            inside[0] += time.thread_time() - started

    timed_sweep(weights, market, grid, backend="serial")  # warm: weights and inputs made
    _engine.run_for_stats = timed
    try:
        started = time.thread_time()
        for _ in range(repeat):
            timed_sweep(weights, market, grid, backend="serial")
        total = (time.thread_time() - started) / (repeat * n_sets)
    finally:
        _engine.run_for_stats = original
    native = inside[0] / (repeat * n_sets)
    locked = total - native
    print(
        f"row CPU time (serial, whole call / sets): {total * 1000:.3f} ms, the native call {native * 1000:.3f} ms, "
        f"under the interpreter lock {locked * 1000:.3f} ms ({locked / total:.0%}): 2 threads at most "
        f"{min(2.0, total / locked):.2f}x serial (load average {os.getloadavg()[0]:.2f})"
    )


def per_task_overhead(weights, market, grid, client, n_jobs):
    """Seconds per task: the grid with one set per task against the default tasks."""
    n_sets = math.prod(len(v) for v in grid.values())
    print("\n== per-task overhead ==")
    saved = _backends._MAX_SETS_PER_TASK, _backends._TASKS_PER_WORKER, _dask._DASK_TASKS_PER_WORKER
    for backend in ("processes", "dask"):
        kwargs = (
            {"backend": backend, "n_jobs": n_jobs} if backend == "processes" else {"backend": backend, "client": client}
        )
        workers = n_jobs if backend == "processes" else sum(client.nthreads().values())
        per_worker = _backends._TASKS_PER_WORKER if backend == "processes" else _dask._DASK_TASKS_PER_WORKER
        default_tasks = len(_backends._split(n_sets, workers, per_worker))
        _, default_seconds = timed_sweep(weights, market, grid, **kwargs)
        try:
            _backends._MAX_SETS_PER_TASK, _backends._TASKS_PER_WORKER, _dask._DASK_TASKS_PER_WORKER = 1, n_sets, n_sets
            _, single_seconds = timed_sweep(weights, market, grid, **kwargs)
        finally:
            _backends._MAX_SETS_PER_TASK, _backends._TASKS_PER_WORKER, _dask._DASK_TASKS_PER_WORKER = saved
        overhead = (single_seconds - default_seconds) * workers / (n_sets - default_tasks)
        print(
            f"{backend:<10} {default_tasks} tasks: {default_seconds:.2f} s; {n_sets} tasks: {single_seconds:.2f} s; "
            f"about {overhead * 1000:.1f} ms of worker time per task"
        )


def readme_example(market, n_jobs, repeat):
    """The README's 27-set example (3 look-backs x 3 stop-losses x 3 take-profits), per backend:
    what a user pays for a small grid, start-up included (a fresh pool per call for processes)."""
    grid = {"lookback": [20, 60, 120], "stop_loss": [None, 0.05, 0.1], "take_profit": [None, 0.2, 0.4]}
    print(f"\n== the README's 27-set example on the real data set, {n_jobs} workers ==")
    for backend in ("serial", "threads", "processes"):
        kwargs = {"backend": backend} if backend == "serial" else {"backend": backend, "n_jobs": n_jobs}
        times = []
        for _ in range(repeat):
            if backend == "processes":
                from joblib.externals.loky import get_reusable_executor

                get_reusable_executor().shutdown(wait=True)  # a cold pool, as a script's first call has
            times.append(timed_sweep(momentum, market, grid, fee_ratio=0.001, **kwargs)[1])
        print(f"{backend:<10} median {statistics.median(times):.3f} s (range {min(times):.3f}-{max(times):.3f})")


def headline(market, n_jobs, backend="threads", repeat=3):
    grid = {
        "lookback": list(range(20, 220, 10)),
        "stop_loss": [None, *np.round(np.linspace(0.02, 0.25, 24), 4).tolist()],
        "take_profit": [None, *np.round(np.linspace(0.05, 1.0, 19), 4).tolist()],
    }
    n_sets = math.prod(len(v) for v in grid.values())
    print(f"\n== headline: {n_sets} backtests on the real data set, backend {backend!r}, {n_jobs} workers ==")
    timed_sweep(momentum, market, {"stop_loss": [0.1]}, n_jobs=n_jobs, backend=backend)  # warm-up
    # This machine's speed drifts by a fifth and more from one minute to the next: the call is
    # repeated and the median given with the range.
    rates, cpu_times = [], []
    for k in range(repeat):
        cpu = tree_cpu()
        result, seconds = timed_sweep(momentum, market, grid, n_jobs=n_jobs, backend=backend)
        cpu_per_run = (tree_cpu() - cpu) / n_sets
        rates.append(n_sets / seconds * 60)
        cpu_times.append(cpu_per_run)
        print(
            f"call {k + 1}: {n_sets} runs in {seconds:.1f} s, {rates[-1]:,.0f} backtests a minute "
            f"({seconds / n_sets * n_jobs * 1000:.2f} ms of worker time per run, CPU time {cpu_per_run * 1000:.2f} ms "
            f"per run; load average {os.getloadavg()[0]:.2f})"
        )
    cpu_per_run = statistics.median(cpu_times)
    print(
        f"median of {repeat} calls: {statistics.median(rates):,.0f} backtests a minute "
        f"(range {min(rates):,.0f} to {max(rates):,.0f})"
    )
    # CPU time is what a loaded machine changes least: what the call would do with its cores to itself.
    print(
        f"CPU time {cpu_per_run * 1000:.2f} ms per run (all threads and processes, median): {n_jobs} cores kept "
        f"busy would make {n_jobs * 60 / cpu_per_run:,.0f} backtests a minute"
    )

    # Where the time of one run goes: one serial sweep of 200 sets under the profiler.
    small = {"lookback": [60], "stop_loss": grid["stop_loss"][:10], "take_profit": grid["take_profit"][:20]}
    _, serial_seconds = timed_sweep(momentum, market, small, backend="serial")
    per_run = serial_seconds / 200
    profiler = cProfile.Profile()
    profiler.enable()
    timed_sweep(momentum, market, small, backend="serial")
    profiler.disable()
    out = io.StringIO()
    pstats.Stats(profiler, stream=out).sort_stats("tottime").print_stats(15)
    print(
        f"serial: {per_run * 1000:.2f} ms per run (load average {os.getloadavg()[0]:.2f}); the most expensive "
        "functions of 200 runs (profiled):"
    )
    print("\n".join(out.getvalue().splitlines()[6:28]))
    return result


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="smoke run: small synthetic market only")
    parser.add_argument("--headline", action="store_true", help="10,000 backtests on the real data set")
    parser.add_argument(
        "--repeat", type=int, default=3, help="timed calls per backend, or of --headline (median; default 3)"
    )
    parser.add_argument("--jobs", type=int, default=2, help="worker processes (default 2)")
    parser.add_argument("--data", type=Path, default=REAL_DATA, help="CSV of market R")
    parser.add_argument("--backend", default="threads", help="backend of --headline (default threads)")
    parser.add_argument("--readme", action="store_true", help="the README's 27-set example, per backend")
    parser.add_argument("--threads", action="store_true", help="market R only, serial and threads (no Dask)")
    args = parser.parse_args(argv)
    from distributed import Client, LocalCluster

    print(f"python {sys.version.split()[0]}, {os.cpu_count()} cores, load average {os.getloadavg()[0]:.2f}")
    if args.headline:
        headline(zelvor.read_csv(args.data, warn=False), args.jobs, args.backend, args.repeat)
        return 0
    if args.readme:
        readme_example(zelvor.read_csv(args.data, warn=False), args.jobs, args.repeat)
        return 0
    if args.threads:
        market = zelvor.read_csv(args.data, warn=False)
        weights = momentum(market)
        bench_market("R", market, weights, GRID, None, args.jobs, args.repeat, ("serial", "threads"))
        lock_share(weights, market, GRID, args.repeat)
        return 0

    markets = []
    if args.quick:
        markets.append(("S-quick", zelvor.Market.synthetic(stocks=200, years=4, seed=1)))
    else:
        if args.data.exists():
            markets.append(("R", zelvor.read_csv(args.data, warn=False)))
        else:
            print(f"(real data set not found at {args.data}: market R skipped)")
        markets.append(("S", zelvor.Market.synthetic(stocks=2000, years=5000 / 261, seed=1)))

    started = time.perf_counter()
    with (
        LocalCluster(
            n_workers=args.jobs, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0"
        ) as cluster,
        Client(cluster) as client,
    ):
        print(f"Dask LocalCluster of {args.jobs} workers started in {time.perf_counter() - started:.1f} s")
        for name, market in markets:
            weights = momentum(market)
            bench_market(name, market, weights, GRID, client, args.jobs, args.repeat)
        per_task_overhead(momentum(markets[0][1]), markets[0][1], GRID, client, args.jobs)
    print(f"\nload average after: {os.getloadavg()[0]:.2f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
