"""Speed and memory of `zelvor.core.trevane.backtest_` against a plain NumPy equity curve.

    python benchmarks/bench_backtest.py            # full run (a few minutes)
    python benchmarks/bench_backtest.py --quick    # small smoke run

Market: seeded synthetic, 5,000 rows x 2,000 stocks, daily log-returns of about 2 % volatility,
OHLC consistent with the close, 0.5 % of prices missing, some stocks listed late or delisted.

Workloads (options of M: stop_loss 0.08, take_profit 0.3, trail_stop 0.1 after 0.05,
position_limit 0.1, quelmo_window 20 / step 5; trades filled at the close):
  M  monthly: at month ends, the 50 stocks with the best 60-row momentum, equal weight
  T  M with touched (intraday) exits
  D  daily: the best 200 stocks re-weighted every row
  R  real data (../shared/data/all_stocks_5yr.csv.gz): monthly top 20, options of M

For each workload: the median of 5 runs of `backtest_` and, timed in the same process, the
NumPy baseline: the same target weights held forward to every price row, times the rows'
trading-price returns, summed and compounded (no costs, no stops). Also the number of trades,
the row-holdings the engine carried (rows x holdings, summed over the trades), and the peak
resident-memory growth during `backtest_` as a fraction of the input matrices' size (peak RSS
reset through /proc/self/clear_refs; the engine holds the interpreter lock throughout, so a
sampling thread would not run).

Per trade record, for the sweeps that repeat runs back to back: the median time of a run made
right after another one, which therefore also frees the previous run's records (every run empties
the recorder's lists first), divided by the number of trade records; and the memory still resident
after a run divided by the number of records it keeps.

Through the layer: the same run by `Prepared.run` (prepared once; the Report kept, its trades not
asked for), and the first `Report.trades` of such a report, where the trades' excursions are
followed; each per trade record of that run and in bytes kept per record.

    python benchmarks/bench_backtest.py --only D --cpu   # CPU time of the calling thread
"""

from __future__ import annotations

import argparse
import ctypes
import gc
import os
import statistics
import sys
import time
import warnings

import numpy as np

from zelvor.datasets import momentum_strategy, synthetic_market
from zelvor.io import load_csv

from _common import (
    M_ENGINE_OPTIONS,
    M_OPTIONS,
    add_workload_arguments,
    clock,
    clock_name,
    fmt,
    load_average,
    print_table,
)

CLOCK = time.perf_counter  # time.thread_time with --cpu

OPTIONS = M_ENGINE_OPTIONS
LAYER_OPTIONS = M_OPTIONS  # the same under the layer's names


def numpy_equity_curve(price, pos_values, pos_index, price_index):
    """Equity curve of the target weights without costs or stops, in plain NumPy.

    A weight row dated D applies to the returns of the price rows dated after D (the engine
    trades it on the first such row); missing returns count as 0.
    """
    returns = np.zeros_like(price)
    np.divide(price[1:], price[:-1], out=returns[1:])
    returns[1:] -= 1.0
    np.nan_to_num(returns, copy=False, nan=0.0)
    row = np.searchsorted(pos_index, price_index, side="left") - 1
    weights = pos_values[np.maximum(row, 0)]
    weights[row < 0] = 0.0
    return np.cumprod(1.0 + (weights * returns).sum(axis=1))


# --------------------------------------------------------------------------------------------
# Memory


def _status_kib(field: str) -> int:
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise RuntimeError(f"{field} not in /proc/self/status")


def _peak_reset_supported() -> bool:
    try:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")
        return True
    except OSError:
        return False


_LIBC = None
if sys.platform.startswith("linux"):
    try:
        _LIBC = ctypes.CDLL("libc.so.6")
    except OSError:
        _LIBC = None


def _settle(quelmo) -> None:
    """Free the previous run's results so that they do not hide this run's growth."""
    for name in ("trades", "trade_positions", "quelmo"):
        getattr(quelmo, name).clear()
    gc.collect()
    if _LIBC is not None and hasattr(_LIBC, "malloc_trim"):
        _LIBC.malloc_trim(0)


def measured_call(fn, quelmo, track_memory: bool):
    """(seconds, (peak, kept) RSS growth in bytes or None, result) of one call of `fn`.

    `peak` is the highest resident size during the call over the size before it; `kept` is
    what is still resident after it (the results: the returned array and the recorder's
    lists), so `peak - kept` is what the call used transiently, where a copy would show.
    """
    _settle(quelmo)
    if track_memory:
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # VmHWM := VmRSS
        before = _status_kib("VmRSS")
    started = CLOCK()
    result = fn()
    seconds = CLOCK() - started
    growth = None
    if track_memory:
        growth = ((_status_kib("VmHWM") - before) * 1024, (_status_kib("VmRSS") - before) * 1024)
    return seconds, growth, result


# --------------------------------------------------------------------------------------------
# Workloads


def run_workload(name, market, strategy, touched_exit, repeat, track_memory):
    from zelvor.core import quelmo, trevane

    args = dict(**market.backtest_arrays("close"), **strategy.backtest_arrays())

    def engine():
        return trevane.backtest_(**args, touched_exit=touched_exit, delisting_bars=market.delisting_rows, **OPTIONS)

    def baseline():
        return numpy_equity_curve(market.close, strategy.pos_values, strategy.pos_index, market.dates)

    engine_times, base_times, growths = [], [], []
    for _ in range(repeat):
        seconds, growth, value = measured_call(engine, quelmo, track_memory)
        engine_times.append(seconds)
        if growth is not None:
            growths.append(growth)
        started = CLOCK()
        baseline()
        base_times.append(CLOCK() - started)
    # Back to back, as a sweep runs: each of these runs also frees the records of the one before.
    chained_times = []
    for _ in range(repeat):
        started = CLOCK()
        engine()
        chained_times.append(CLOCK() - started)

    n_rows = len(market.dates)
    row_holdings = sum(
        (n_rows if int(exit_row) == -1 else int(exit_row)) - int(entry_row)
        for _, entry_row, exit_row in (t[:3] for t in quelmo.trades)
    )
    n_trades = len(quelmo.trades)
    # The layer's path: the same run through the private native call (inputs prepared once), its
    # result kept as the layer keeps it; timed back to back like the chained runs above.
    native_inputs = trevane._prepare_native(**args, delisting_bars=market.delisting_rows)

    def held_and_timed(call):
        """(median seconds of back-to-back calls, the most memory a call's result kept, or None)."""
        kept, times = [], []
        for _ in range(repeat):
            _, growth, result = measured_call(call, quelmo, track_memory)
            if growth is not None:
                kept.append(growth[1])
            del result
        for _ in range(repeat):
            started = CLOCK()
            call()
            times.append(CLOCK() - started)
        return statistics.median(times), max(kept) if kept else None

    native_s, native_kept = held_and_timed(
        lambda: trevane._run_native(native_inputs, touched_exit=touched_exit, **OPTIONS)
    )
    # What a sweep row of this workload runs: only the columns the statistics read, no excursions.
    lean_s, lean_kept = held_and_timed(
        lambda: trevane._run_native(native_inputs, touched_exit=touched_exit, **OPTIONS, stats_only=True)
    )

    layer = layer_columns(market, strategy, touched_exit, repeat, track_memory, quelmo)
    layer_ratio = {k: layer[k + "_s"] / statistics.median(chained_times) for k in ("run", "trades")}

    inputs = {id(a): a.nbytes for a in args.values() if isinstance(a, np.ndarray) and a.ndim == 2}
    input_bytes = sum(inputs.values())
    engine_s = statistics.median(engine_times)
    base_s = statistics.median(base_times)
    kept = max(g[1] for g in growths) if growths else None
    return {
        "name": name,
        "shape": f"{n_rows}x{market.shape[1]}",
        "engine_ms": engine_s * 1e3,
        "numpy_ms": base_s * 1e3,
        "ratio": engine_s / base_s,
        "trades": n_trades,
        "us_per_record": statistics.median(chained_times) / n_trades * 1e6 if n_trades else None,
        "bytes_per_record": kept / n_trades if kept is not None and n_trades else None,
        "native_ratio": native_s / statistics.median(chained_times),
        "native_us_per_record": native_s / n_trades * 1e6 if n_trades else None,
        "native_bytes_per_record": native_kept / n_trades if native_kept is not None and n_trades else None,
        "lean_ratio": lean_s / statistics.median(chained_times),
        "lean_us_per_record": lean_s / n_trades * 1e6 if n_trades else None,
        "lean_bytes_per_record": lean_kept / n_trades if lean_kept is not None and n_trades else None,
        "layer_records": layer["records"],
        **{f"layer_{k}_ratio": v for k, v in layer_ratio.items()},
        **{f"layer_{k}_us_per_record": per(layer[k + "_s"] * 1e6, layer["records"]) for k in ("run", "trades")},
        **{f"layer_{k}_bytes_per_record": per(layer[k + "_kept"], layer["records"]) for k in ("run", "trades")},
        "layer_array_bytes_per_record": per(layer["run_array_bytes"], layer["records"]),
        "row_holdings": row_holdings,
        "growth_mb": max(g[0] for g in growths) / 2**20 if growths else None,
        "growth_pct": max(g[0] for g in growths) / input_bytes * 100 if growths else None,
        "kept_mb": max(g[1] for g in growths) / 2**20 if growths else None,
        "input_mb": input_bytes / 2**20,
        "final": float(value[-1]),
    }


def per(value, records):
    return value / records if value is not None and records else None


def layer_columns(market, strategy, touched_exit, repeat, track_memory, quelmo):
    """The same run through the layer: `Prepared.run` (the Report kept, trades not asked for) and
    the first `Report.trades` of such a report. Seconds (medians of back-to-back calls), bytes still
    resident while the result is held (the most of `repeat` calls, or None), and the run's trade
    records (the trades the recorder lists)."""
    import pandas as pd

    import zelvor
    from zelvor.market import Market

    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # the synthetic market's gaps and the weights' gross
        prices = Market.from_arrays(market) if not isinstance(market, Market) else market
        dates = pd.DatetimeIndex(strategy.pos_index.astype("datetime64[ns]"))
        weights = pd.DataFrame(strategy.pos_values, index=dates, columns=list(strategy.pos_columns), copy=False)
        # The raw run's delisting rows are each delisted stock's last priced row: "auto".
        bars = market.delisting_rows
        delisting = "auto" if bars is not None and (bars >= 0).any() else None
        prepared = zelvor.prepare(weights, prices, delisting=delisting)
        options = {**LAYER_OPTIONS, "touched_exit": touched_exit}
        prepared.run(**options)  # makes the prepared native inputs

    run_times, run_kept = [], []
    for _ in range(repeat):
        _, growth, report = measured_call(lambda: prepared.run(**options), quelmo, track_memory)
        if growth is not None:
            run_kept.append(growth[1])
        del report
    for _ in range(repeat):
        started = CLOCK()
        prepared.run(**options)
        run_times.append(CLOCK() - started)

    trades_times, trades_kept = [], []
    for _ in range(repeat):
        report = prepared.run(**options)
        seconds, growth, _ = measured_call(lambda r=report: r.trades, quelmo, track_memory)
        trades_times.append(seconds)
        if growth is not None:
            trades_kept.append(growth[1])
        del report
    report = prepared.run(**options)
    return {
        "records": int(report._raw.trades["listed"].sum()),
        "run_array_bytes": report_array_bytes(report),
        "run_s": statistics.median(run_times),
        "run_kept": max(run_kept) if run_kept else None,
        "trades_s": statistics.median(trades_times),
        "trades_kept": max(trades_kept) if trades_kept else None,
    }


def report_array_bytes(report) -> int:
    """The bytes of the arrays a report holds of its own (not the market's prices it follows the
    trades on): what it keeps, without the allocator's share that RSS also shows."""
    raw = report._raw
    tables = [raw.trades, raw.fills, raw._followups or {}, raw._native_operations or {}]
    owned = [v for t in tables for k, v in t.items() if isinstance(v, np.ndarray) and not k.endswith("_values")]
    implied = (raw._followups or {}).get("implied_by") or {}
    return (
        raw.equity.nbytes
        + sum(a.nbytes for a in owned)
        + sum(v.nbytes for v in implied.values() if isinstance(v, np.ndarray))
    )


COLUMNS = [
    *("", "rows x stocks", "backtest_ ms", "numpy ms", "ratio", "trades", "row-holdings", "inputs MB"),
    *("peak growth", "kept MB", "us/rec", "B/rec", "final value"),
    *("native/raw", "native us/rec", "native B/rec", "stats/raw", "stats us/rec", "stats B/rec"),
    *("layer recs", "run/raw", "run us/rec", "run B/rec", "arrays B/rec"),
    *("trades/raw", "trades us/rec", "trades B/rec"),
]


def table_row(r):
    growth = "n/a" if r["growth_mb"] is None else f"{r['growth_mb']:.1f} MB {r['growth_pct']:.2f}%"
    return [
        r["name"],
        r["shape"],
        f"{r['engine_ms']:.1f}",
        f"{r['numpy_ms']:.1f}",
        f"{r['ratio']:.2f}",
        f"{r['trades']:d}",
        f"{r['row_holdings']:,d}",
        f"{r['input_mb']:.0f}",
        growth,
        fmt(r["kept_mb"], ".1f"),
        fmt(r["us_per_record"], ".2f"),
        fmt(r["bytes_per_record"], ".0f"),
        f"{r['final']:.4f}",
        *per_record_cells(r, "native"),
        *per_record_cells(r, "lean"),
        f"{r['layer_records']:d}",
        *per_record_cells(r, "layer_run"),
        fmt(r["layer_array_bytes_per_record"], ".1f"),
        *per_record_cells(r, "layer_trades"),
    ]


def per_record_cells(r, path):
    """A path's time over backtest_'s chained time, and its time and kept bytes per trade record."""
    return [
        f"{r[path + '_ratio']:.2f}",
        fmt(r[path + "_us_per_record"], ".2f"),
        fmt(r[path + "_bytes_per_record"], ".0f"),
    ]


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    add_workload_arguments(parser, workloads="MTDR", quick="1,000 rows x 300 stocks, 3 runs per workload", repeat="5")
    parser.add_argument("--seed", type=int, default=12345)
    args = parser.parse_args(argv)
    global CLOCK
    CLOCK = clock(args.cpu)

    rows, stocks = (1000, 300) if args.quick else (5000, 2000)
    repeat = args.repeat or (3 if args.quick else 5)
    track_memory = _peak_reset_supported()

    import zelvor.core.trevane  # noqa: F401  (fail early, before building the market)

    started = time.perf_counter()
    market = synthetic_market(stocks, rows, seed=args.seed, missing=0.005)
    monthly = momentum_strategy(market, top=50, lookback=60)
    print(
        f"market {rows} rows x {stocks} stocks built in {time.perf_counter() - started:.1f} s;"
        f" {repeat} runs per workload, median of the {clock_name(args.cpu)} shown; numpy {np.__version__};"
        f" {load_average()}"
    )
    if not track_memory:
        print("peak memory: /proc/self/clear_refs not writable here, growth not measured")

    results = []
    if "M" in args.only:
        results.append(run_workload("M", market, monthly, False, repeat, track_memory))
    if "T" in args.only:
        results.append(run_workload("T", market, monthly, True, repeat, track_memory))
    if "D" in args.only:
        del monthly
        daily = momentum_strategy(market, top=min(200, stocks // 2), lookback=60, rebalance="daily")
        results.append(run_workload("D", market, daily, False, repeat, track_memory))
        del daily
    skipped = None
    if "R" in args.only:
        if args.data.exists():
            del market
            real = load_csv(args.data)
            results.append(
                run_workload("R", real, momentum_strategy(real, top=20, lookback=60), False, repeat, track_memory)
            )
        else:
            skipped = f"R  skipped: {os.path.normpath(args.data)} not found"

    print_table(COLUMNS, [table_row(r) for r in results])
    if skipped:
        print(skipped)
    print(
        "ratio: backtest_ median / NumPy baseline median. peak growth: highest resident memory"
        " during backtest_ over\nthe size before it, and as a share of the input price and"
        " weight matrices; kept: still resident after\nthe call (the returned values and the"
        " recorder's trades and statistics).\nus/rec: median time of a run made right after"
        " another (so freeing that run's records too) per trade\nrecord; B/rec: kept per trade record."
        "\nnative: the same run through the layer's private native call (_run_native on inputs prepared"
        " once),\nits result held: native/raw is its time over backtest_'s chained time (targets: 0.15x, 120 B/rec)."
        "\nstats: the same with stats_only=True, what a sweep row or Prepared.stats_dict runs (the columns the"
        " statistics\nread, no excursions): its time over backtest_'s chained time, and the bytes it keeps per record."
        "\nrun: Prepared.run on inputs prepared once (the layer's real entry), the Report held, its trades"
        " not asked for;\ntrades: the first Report.trades of such a report (the excursions followed then);"
        " both per record of that run\n(layer recs: the trades the recorder lists) and over backtest_'s chained"
        " time of the whole run.\narrays B/rec: the bytes of the arrays the run's report holds (RSS kept, run B/rec,"
        " also counts what the allocator\nkeeps of the run's transient buffers for the next run)."
        f"\nclock: the {clock_name(CLOCK is not time.perf_counter)}; after the runs: {load_average()}"
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
