"""Loading long-format prices: `zelvor.read_csv` against plain pandas `read_csv` and four pivots.

    python benchmarks/bench_csv.py                  # the real data set, 7 rounds
    python benchmarks/bench_csv.py --data FILE --repeat 3

Timed in one process, interleaved (the order turning each round), median and best of the runs:
  pandas     `pd.read_csv(path)` then `pivot(index=date, columns=name, values=field)` for open,
             high, low and close (what a user writes by hand; no checks, no Market)
  load_csv   `zelvor.io.load_csv(path)`: the checked wide matrices, with the reader
             installed (pyarrow's when present, pandas' C reader otherwise)
  load_csv/c the same with pandas' C reader forced
  read_csv   `zelvor.read_csv(path, warn=False)`: the same plus the Market
  read_csv+  `zelvor.read_csv(path)`: also `Market.check()` for the suspicious-price warning
The ratios are each row's median over the pandas row's median.
"""

from __future__ import annotations

import argparse
import statistics
import sys
import time
import warnings
from pathlib import Path

import pandas as pd

import zelvor
import zelvor.io._csv as zm

from _common import REAL_DATA


def plain_pandas(path: Path) -> list[pd.DataFrame]:
    frame = pd.read_csv(path)
    name = next(c for c in frame.columns if c.lower() in ("name", "ticker", "symbol"))
    return [frame.pivot(index="date", columns=name, values=field) for field in ("open", "high", "low", "close")]


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--data", type=Path, default=REAL_DATA)
    parser.add_argument("--repeat", type=int, default=7)
    args = parser.parse_args(argv)
    if not args.data.exists():
        print(f"no data file {args.data}", file=sys.stderr)
        return 2

    def read_csv_checked():
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", zelvor.DataWarning)
            return zelvor.read_csv(args.data)

    cases = {
        "pandas": lambda: plain_pandas(args.data),
        "load_csv": lambda: zm.load_csv(args.data),
        "load_csv/c": lambda: zm._load_csv(args.data, "c"),
        "read_csv": lambda: zelvor.read_csv(args.data, warn=False),
        "read_csv+": read_csv_checked,
    }
    times: dict[str, list[float]] = {name: [] for name in cases}
    names = list(cases)
    for name in names:  # warm-up: imports, page cache
        cases[name]()
    for round_ in range(args.repeat):
        for name in names[round_ % len(names) :] + names[: round_ % len(names)]:
            start = time.perf_counter()
            cases[name]()
            times[name].append(time.perf_counter() - start)

    print(f"{args.data.name}: {zm.columnar_engine()} reader installed, {args.repeat} rounds")
    base = statistics.median(times["pandas"])
    print(f"{'':12}{'median s':>10}{'best s':>10}{'/ pandas':>10}")
    for name in names:
        median = statistics.median(times[name])
        print(f"{name:12}{median:10.3f}{min(times[name]):10.3f}{median / base:10.2f}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
