"""The statistics of one run (`compute_stats`, the sweep's per-run figures) against another revision's.

    python benchmarks/bench_stats.py                  # against main's report.py
    python benchmarks/bench_stats.py --baseline REV   # against REV's (any git revision)
    python benchmarks/bench_stats.py --quick          # a smoke run

Runs the demo's monthly top-20 momentum strategy (stops, take-profit, trailing stop) with a
benchmark stock, then times `compute_stats` on that run's arrays, this tree's and the baseline's
interleaved (the order turning each round), median of the rounds. Workloads: R, the real data set
(../shared/data/all_stocks_5yr.csv.gz, 1,259 rows x 505 stocks) when present; L, a synthetic
40-year market (about 10,400 rows x 200 stocks).
"""

from __future__ import annotations

import argparse
import importlib.util
import statistics
import subprocess
import sys
import tempfile
import time
import warnings
from pathlib import Path

import zelvor
from zelvor.datasets import momentum_weights
from zelvor.demo import STRATEGY_OPTIONS
from zelvor.report import compute_stats

ROOT = Path(__file__).resolve().parents[1]
REAL_DATA = ROOT / ".." / "shared" / "data" / "all_stocks_5yr.csv.gz"


def baseline_function(revision: str):
    """`compute_stats` of report.py at `revision`, loaded as a module of its own."""
    text = subprocess.run(
        ["git", "show", f"{revision}:src/zelvor/report.py"], cwd=ROOT, check=True, capture_output=True, text=True
    ).stdout
    path = Path(tempfile.mkdtemp()) / "baseline_report.py"
    path.write_text(text, encoding="utf-8")
    module_spec = importlib.util.spec_from_file_location("baseline_report", path)
    assert module_spec is not None and module_spec.loader is not None
    module = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(module)
    return module.compute_stats


def arguments(market: zelvor.Market, benchmark: str) -> tuple:
    prepared = zelvor.prepare(momentum_weights(market), market, delisting="auto", benchmark=benchmark)
    _, engine = prepared._options(STRATEGY_OPTIONS)
    raw = prepared._raw(engine)
    return (raw.equity, market.arrays.dates, prepared._start_row, raw.trades, raw.fills,
            prepared._benchmark, 0.02, 252, market.dates.tz)  # fmt: skip


def time_per_call(function, args: tuple, calls: int) -> float:
    started = time.perf_counter()
    for _ in range(calls):
        function(*args)
    return (time.perf_counter() - started) / calls


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--baseline", default="main", help="git revision to compare with (default main)")
    parser.add_argument("--quick", action="store_true", help="a smoke run: few rounds")
    parser.add_argument("--data", type=Path, default=REAL_DATA, help="the real data set (default ../shared/data/...)")
    options = parser.parse_args()
    rounds, calls = (3, 50) if options.quick else (15, 400)
    baseline = baseline_function(options.baseline)

    workloads = []
    if options.data.exists():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            real = zelvor.read_csv(options.data)
        workloads.append(("R real data set", arguments(real, "AAPL")))
    synthetic = zelvor.Market.synthetic(stocks=200, years=40, seed=1)
    workloads.append(("L synthetic 40 years", arguments(synthetic, str(synthetic.stocks[0]))))

    print(f"compute_stats per call, median of {rounds} rounds of {calls} calls; baseline {options.baseline}")
    for name, args in workloads:
        rows, trades = len(args[0]), len(args[3]["pnl"])
        for function in (compute_stats, baseline):
            function(*args)  # warm up (caches, imports)
        now: list[float] = []
        then: list[float] = []
        for k in range(rounds):
            pair = ((compute_stats, now), (baseline, then))
            for function, sink in pair if k % 2 == 0 else pair[::-1]:
                sink.append(time_per_call(function, args, calls))
        a, b = statistics.median(now), statistics.median(then)
        print(f"  {name} ({rows:,} rows, {trades:,} trades): this tree {a * 1e3:.3f} ms, "
              f"baseline {b * 1e3:.3f} ms, ratio {a / b:.2f}x")  # fmt: skip
    return 0


if __name__ == "__main__":
    sys.exit(main())
