"""What a run's statistics cost: computed by the numeric core (inside the run, the sweep row's path)
against the NumPy formulation they replaced (tests/reference_stats.py), in one process.

    python benchmarks/bench_stats.py           # workloads R (when the data set is there) and L
    python benchmarks/bench_stats.py --quick   # a smoke run

Runs the demo's monthly top-20 momentum strategy (stops, take-profit, trailing stop) with a
benchmark stock. Timed, interleaved (the order turning each round), median of the rounds:
  run         `Prepared._raw`: the native run alone, no statistics (the floor)
  run+stats   the same run asked for its statistics, computed in it without the interpreter lock
  row         `Prepared.stats_dict`: options checked, the run with its statistics (the sweep's row)
  row numpy   options checked, the run, then the NumPy statistics on its arrays (the row as it was)
  stats       `compute_stats` on the run's arrays (the numeric core, through `trevane._stats`)
  stats numpy the NumPy statistics on the same arrays
The statistics' cost against the run is (run+stats - run) / run natively and (row numpy - row +
run+stats - run) / run as it was; "stats numpy / stats" compares the two computations alone.
Workloads: R, the real data set (../shared/data/all_stocks_5yr.csv.gz, 1,259 rows x 505 stocks);
L, a synthetic 40-year market (about 10,400 rows x 200 stocks).
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import warnings
from pathlib import Path

import zelvor
from zelvor._stats import compute_stats, period
from zelvor.datasets import momentum_weights
from zelvor.demo import STRATEGY_OPTIONS

from _common import REAL_DATA

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "tests"))
import reference_stats  # noqa: E402 - the NumPy statistics, kept with the tests

RISK_FREE = 0.02


def workload(market: zelvor.Market, benchmark: str) -> dict:
    prepared = zelvor.prepare(momentum_weights(market), market, delisting="auto", benchmark=benchmark)
    _, engine = prepared._options(STRATEGY_OPTIONS)
    raw = prepared._raw(engine)
    dates = market.arrays.dates
    arrays = (raw.equity, dates, prepared.start_row, raw.trades, raw.fills, prepared._benchmark, RISK_FREE, 252)

    request = (prepared.start_row, RISK_FREE, 252, prepared._benchmark, dates)

    def row_numpy():
        _, checked = prepared._options(STRATEGY_OPTIONS)
        run = prepared._raw(checked)
        values = period(dates, prepared.start_row, market.dates.tz)
        values.update(reference_stats.compute_stats(run.equity, dates, prepared.start_row, run.trades, run.fills,
                                                    prepared._benchmark, RISK_FREE, 252))  # fmt: skip
        return values

    return {
        "run": lambda: prepared._raw(engine),
        "run+stats": lambda: prepared._raw(engine, request),
        "row": lambda: prepared.stats_dict(RISK_FREE, 252, **STRATEGY_OPTIONS),
        "row numpy": row_numpy,
        "stats": lambda: compute_stats(*arrays, market.dates.tz),
        "stats numpy": lambda: reference_stats.compute_stats(*arrays),
        "_size": (len(raw.equity), len(raw.trades["pnl"]), len(raw.fills["fee"])),
    }


def median_times(calls: dict, rounds: int, per_round: int) -> dict[str, float]:
    names = [k for k in calls if not k.startswith("_")]
    times: dict[str, list[float]] = {k: [] for k in names}
    for name in names:
        calls[name]()  # warm-up
    for k in range(rounds):
        for name in names[k % len(names) :] + names[: k % len(names)]:
            started = time.perf_counter()
            for _ in range(per_round):
                calls[name]()
            times[name].append((time.perf_counter() - started) / per_round)
    return {k: statistics.median(v) for k, v in times.items()}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="a smoke run: few rounds")
    parser.add_argument("--data", type=Path, default=REAL_DATA, help="the real data set (default ../shared/data/...)")
    options = parser.parse_args()
    rounds, per_round = (3, 3) if options.quick else (15, 20)

    workloads = []
    if options.data.exists():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            real = zelvor.read_csv(options.data)
        workloads.append(("R real data set", workload(real, "AAPL")))
    synthetic = zelvor.Market.synthetic(stocks=200, years=40, seed=1)
    workloads.append(("L synthetic 40 years", workload(synthetic, str(synthetic.stocks[0]))))

    print(f"per call, median of {rounds} rounds of {per_round} calls")
    for name, calls in workloads:
        rows, trades, fills = calls["_size"]
        t = median_times(calls, rounds, per_round)
        print(f"  {name} ({rows:,} rows, {trades:,} trades, {fills:,} fills)")
        for key, value in t.items():
            print(f"    {key:<12} {value * 1e3:8.3f} ms")
        native = t["run+stats"] - t["run"]
        numpy = t["row numpy"] - t["row"] + native
        print(f"    statistics against the run: native {native / t['run']:+.1%}, numpy {numpy / t['run']:+.1%}; "
              f"row numpy / row {t['row numpy'] / t['row']:.2f}x; "
              f"stats numpy / stats {t['stats numpy'] / t['stats']:.1f}x")  # fmt: skip
    return 0


if __name__ == "__main__":
    sys.exit(main())
