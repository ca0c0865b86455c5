"""The Python layer's cost around the engine: `zelvor.backtest` against `backtest_` alone.

    python benchmarks/bench_layer.py            # workloads M and R (about a minute)
    python benchmarks/bench_layer.py --quick    # small smoke run

Workloads:
  M  synthetic market of 5,000 rows x 2,000 stocks; at month ends the 50 stocks with the best
     60-row momentum, equal weight; stop_loss 0.08, take_profit 0.3, trail_stop 0.1 after 0.05,
     position_limit 0.1, window 20 / step 5 (the M of bench_backtest.py, as DataFrames)
  R  the real data set (../shared/data/all_stocks_5yr.csv.gz, 1,259 rows x 505 stocks): monthly
     top 20, the same options

Timed in one process, interleaved (the order turning each round), median of the runs:
  engine   `trevane.backtest_` on the arrays the layer hands it (the floor)
  no log   the same with the engine's fill log switched off (the module's private `_fill_log`);
           "log" is what keeping it costs, (engine - no log) / no log
  backtest `zelvor.backtest(weights, market, ...)` then `report.stats()`: validation, conversion
           of the weights, the native run, the figures
  report+  the same, also building the trades and transactions tables
  prepared `prepare(...)` once, then `Prepared.stats_dict(**options)` per run (the sweep's path)
  native   the private native call alone (`trevane._run_native` on the prepared inputs), the
           floor of the layer's own path: no Python call and no interpreter lock during the run
  stats    the same with ``stats_only=True``, the call `Prepared.stats_dict` and a sweep row make:
           only the columns the statistics read, no excursion follow-up, no end-of-run weights
The share outside the engine is (layer - engine) / layer; "vs raw" is prepared / engine (the layer's
sweep path against the raw `backtest_` of the same run). Also checked: the price matrices and a
float64 weights frame reach the engine without a copy.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time

import numpy as np
import pandas as pd

import zelvor
from zelvor import _engine
from zelvor.datasets import momentum_weights

from _common import M_OPTIONS, add_workload_arguments, clock, clock_name, load_average, print_table

OPTIONS = M_OPTIONS
CLOCK = time.perf_counter  # time.thread_time with --cpu


def measure(name: str, market: zelvor.Market, weights: pd.DataFrame, repeat: int) -> dict:
    from zelvor.core import trevane

    prepared = zelvor.prepare(weights, market, delisting="auto")
    arrays = prepared._arrays
    _, engine_options = prepared._options(OPTIONS)

    def engine():
        trevane.backtest_(**arrays, **engine_options)

    def engine_without_log():
        trevane._fill_log = False
        try:
            trevane.backtest_(**arrays, **engine_options)
        finally:
            del trevane._fill_log

    def layer():
        zelvor.backtest(weights, market, delisting="auto", **OPTIONS).stats()

    def layer_tables():
        r = zelvor.backtest(weights, market, delisting="auto", **OPTIONS)
        r.stats()
        r.trades  # noqa: B018 - built on access
        r.transactions  # noqa: B018

    def fast():
        prepared.stats_dict(**OPTIONS)

    prepared._raw(engine_options)  # makes the prepared native inputs
    inputs = prepared._inputs
    native_options = {k: v for k, v in engine_options.items()}

    def native():
        trevane._run_native(inputs, **native_options)

    def native_stats():
        trevane._run_native(inputs, **native_options, stats_only=True)

    calls = {
        "engine": engine,
        "no log": engine_without_log,
        "backtest": layer,
        "report+": layer_tables,
        "prepared": fast,
        "native": native,
        "stats only": native_stats,
    }
    times: dict[str, list[float]] = {k: [] for k in calls}
    for call in calls.values():  # warm-up
        call()
    keys = list(calls)
    for k in range(repeat):
        # The order turns each round, so no variant always follows the same other one.
        for key in keys[k % len(keys) :] + keys[: k % len(keys)]:
            started = CLOCK()
            calls[key]()
            times[key].append(CLOCK() - started)
    medians = {k: statistics.median(v) for k, v in times.items()}

    a = market.arrays
    shared = [np.shares_memory(getattr(a, f), getattr(market, f).to_numpy()) for f in ("close", "open", "high", "low")]
    shared.append(np.shares_memory(arrays["pos_values"], weights.to_numpy()))
    raw = _engine.run(inputs, engine_options)
    return {
        "name": name,
        "shape": f"{market.shape[0]}x{market.shape[1]}",
        "trades": len(raw.trades["pnl"]),
        "fills": len(raw.fills["row"]),
        "medians": medians,
        "no_copy": all(shared),
    }


def table_row(r: dict) -> list[str]:
    m = r["medians"]
    e = m["engine"]

    def share(key: str) -> str:
        """The share of the layer's time spent outside backtest_."""
        return f"{(m[key] - e) / m[key]:.1%}"

    return [
        r["name"],
        r["shape"],
        f"{r['trades']:d}",
        f"{r['fills']:d}",
        f"{m['no log'] * 1e3:.2f}",
        f"{(e - m['no log']) / m['no log']:.1%}",
        f"{e * 1e3:.2f}",
        f"{m['backtest'] * 1e3:.2f}",
        share("backtest"),
        f"{m['report+'] * 1e3:.2f}",
        share("report+"),
        f"{m['prepared'] * 1e3:.2f}",
        f"{m['prepared'] / e:.2f}",
        f"{m['native'] * 1e3:.2f}",
        f"{m['stats only'] * 1e3:.2f}",
        "yes" if r["no_copy"] else "NO",
    ]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_workload_arguments(parser, workloads="MR", quick="1,000 rows x 300 stocks, 3 runs", repeat="15 for M, 60 for R")
    args = parser.parse_args(argv)
    global CLOCK
    CLOCK = clock(args.cpu)
    print(f"median of the {clock_name(args.cpu)} shown; {load_average()}")

    rows, stocks = (1000, 300) if args.quick else (5000, 2000)
    results = []
    if "M" in args.only:
        years = rows / 261
        started = time.perf_counter()
        market = zelvor.Market.synthetic(stocks=stocks, years=years, seed=12345)
        weights = momentum_weights(market, top=50, lookback=60)
        print(f"M: market built in {time.perf_counter() - started:.1f} s")
        results.append(measure("M", market, weights, args.repeat or (3 if args.quick else 15)))
        del market, weights
    if "R" in args.only and not args.quick:
        if args.data.exists():
            market = zelvor.read_csv(args.data, warn=False)
            weights = momentum_weights(market, top=20, lookback=60)
            results.append(measure("R", market, weights, args.repeat or 60))
        else:
            print(f"R skipped: {args.data} not found")

    columns = ["", "rows x stocks", "trades", "fills", "no log ms", "log", "engine ms", "backtest ms", "outside"]
    columns += ["report+ ms", "outside", "prepared ms", "vs raw", "native ms", "stats ms", "no copy"]
    print_table(columns, [table_row(r) for r in results])
    print("log: the fill log's cost in backtest_, (engine - no log) / no log.")
    print("outside: share of the layer's time spent outside backtest_, (layer - engine) / layer.")
    print(
        "vs raw: Prepared.stats_dict over backtest_ of the same run (the layer's own path is the native one;"
        " target <= 0.30)."
    )
    for r in results:
        m = r["medians"]
        print(
            f"{r['name']}: native / backtest_ {m['native'] / m['engine']:.2f}, stats only / backtest_"
            f" {m['stats only'] / m['engine']:.2f}, stats_dict outside the native call"
            f" {(m['prepared'] - m['stats only']) * 1e3:.2f} ms"
        )
    print(f"after the runs: {load_average()}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
