"""What the benchmark scripts share: the real data set's path, workload M's options, the command-line
options every workload script takes, the clock, the load average and the fixed-width result table.

The scripts run as `python benchmarks/<script>.py`, which puts this folder on the import path.
"""

from __future__ import annotations

import argparse
import os
import time
from collections.abc import Callable, Sequence
from pathlib import Path

REAL_DATA = Path(__file__).resolve().parents[1] / ".." / "shared" / "data" / "all_stocks_5yr.csv.gz"

# Workload M's exits and size limit, in the layer's names (zelvor.backtest, Prepared.stats_dict).
M_OPTIONS = {
    "stop_loss": 0.08,
    "take_profit": 0.3,
    "trail_stop": 0.1,
    "trail_stop_activation": 0.05,
    "position_limit": 0.1,
    "window": 20,
    "window_step": 5,
}
# The same in the raw engine's names (zelvor.core.trevane.backtest_).
M_ENGINE_OPTIONS = {("quelmo_" + k if k.startswith("window") else k): v for k, v in M_OPTIONS.items()}


def add_workload_arguments(parser: argparse.ArgumentParser, *, workloads: str, quick: str, repeat: str) -> None:
    """Adds --quick, --repeat, --only, --data and --cpu; `workloads` is --only's default (all of them),
    `quick` and `repeat` say what the smoke run and the default number of runs are."""
    parser.add_argument("--quick", action="store_true", help=f"smoke run: {quick}")
    parser.add_argument("--repeat", type=int, default=None, help=f"runs per workload (default {repeat})")
    parser.add_argument("--only", default=workloads, help=f"workloads to run, e.g. {workloads[-1]}")
    parser.add_argument("--data", type=Path, default=REAL_DATA, help="CSV of workload R")
    parser.add_argument(
        "--cpu",
        action="store_true",
        help="time the calling thread's CPU time instead of the wall clock (a busy machine)",
    )


def clock(cpu: bool) -> Callable[[], float]:
    """The timer of a run: the calling thread's CPU seconds with `cpu`, else the wall clock's."""
    return time.thread_time if cpu else time.perf_counter


def clock_name(cpu: bool) -> str:
    return "thread CPU time" if cpu else "wall-clock time"


def load_average() -> str:
    """The 1, 5 and 15 minute load averages, to print beside every figure of a shared machine."""
    one, five, fifteen = os.getloadavg()
    return f"load average {one:.2f} {five:.2f} {fifteen:.2f} ({os.cpu_count()} cores)"


def print_table(titles: Sequence[str], rows: Sequence[Sequence[str]]) -> None:
    """Prints a header, a rule and one line a row of already formatted cells.

    Each column is as wide as its title or its widest cell; the first (the workload's letter) is
    aligned left, the others right.
    """
    for row in rows:
        if len(row) != len(titles):
            raise ValueError(f"a row of {len(row)} cells for {len(titles)} columns")
    widths = [max([len(title), *(len(row[i]) for row in rows)]) for i, title in enumerate(titles)]
    header = " ".join(_cell(title, width, i) for i, (title, width) in enumerate(zip(titles, widths, strict=True)))
    print(header)
    print("-" * len(header))
    for row in rows:
        print(" ".join(_cell(text, width, i) for i, (text, width) in enumerate(zip(row, widths, strict=True))))


def fmt(value: float | None, pattern: str) -> str:
    """`value` formatted by the format `pattern` (".2f"), or "n/a" for None (a figure this machine
    could not measure)."""
    return "n/a" if value is None else format(value, pattern)


def _cell(text: str, width: int, index: int) -> str:
    return f"{text:<{width}}" if index == 0 else f"{text:>{width}}"
