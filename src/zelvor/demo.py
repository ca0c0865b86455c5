"""A complete backtest from the command line: ``python -m zelvor.demo``.

By default it generates a seeded synthetic market (about 10 years x 500 stocks, with missing
prices, late listings and delistings), runs a monthly momentum strategy with a stop-loss, a
take-profit and a trailing stop through `zelvor.backtest`, and prints the performance, the trades
with the worst adverse excursion and the orders for the next session. ``--csv FILE`` runs the same
strategy on daily prices in long format (see `zelvor.io.load_csv`); ``--html FILE`` writes
the full report as one self-contained page and ``--json FILE`` the figures, trades and actions.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
import warnings
from typing import Any

import pandas as pd

from zelvor._render.text import SWEEP_FIGURES
from zelvor.backtest import backtest
from zelvor.datasets import momentum_weights
from zelvor.io import DataError, read_csv
from zelvor.market import DataWarning, Market
from zelvor.report import Report
from zelvor.sweeps import Sweep, sweep

WEEKDAYS_PER_YEAR = 261

# The strategy's trading options (fees and tax are the defaults).
STRATEGY_OPTIONS: dict[str, Any] = {
    "stop_loss": 0.08,
    "take_profit": 0.30,
    "trail_stop": 0.10,
    "trail_stop_activation": 0.05,
    "position_limit": 0.10,
    "window": 20,
    "window_step": 5,
}


def equal_weight_index(market: Market) -> pd.Series:
    """The benchmark of the demo's pages: every stock with a price, equal weight, rebalanced daily
    (the mean of the day's close-to-close returns, compounded; 1.0 on the first date)."""
    daily = market.close.pct_change(fill_method=None).mean(axis=1).fillna(0.0)
    return (1.0 + daily).cumprod().rename("equal weight")


def run(market: Market, *, top: int = 20, touched_exit: bool = False, trade_at: str = "close") -> Report:
    """The demo's strategy on `market`, as a `Report`."""
    weights = momentum_weights(market, top=top, lookback=60)
    return backtest(weights, market, trade_at=trade_at, touched_exit=touched_exit, delisting="auto", **STRATEGY_OPTIONS)


# --------------------------------------------------------------------------------------------
# Printing: the report's and the sweep's own text


def format_report(report: Report, title: str = "", seconds: float = math.nan, max_orders: int = 15) -> str:
    """`Report.to_text` after `title` and, when given, the run time of `zelvor.backtest`."""
    if math.isfinite(seconds):
        title = "\n".join([*([title] if title else []), f"Run time           {seconds:.3f} s in zelvor.backtest"])
    return report.to_text(title=title, max_orders=max_orders)


# --------------------------------------------------------------------------------------------
# Command line


def _positive_int(text: str) -> int:
    value = int(text)
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be at least 1, got {value}")
    return value


def _positive_float(text: str) -> float:
    value = float(text)
    if not value > 0 or math.isinf(value):
        raise argparse.ArgumentTypeError(f"must be a positive number, got {text}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="python -m zelvor.demo",
        description="Backtest a monthly momentum strategy (top stocks by 60-day return, equal"
        " weight, 8% stop-loss, 30% take-profit, 10% trailing stop after +5%)"
        " on a synthetic market or on your own daily prices.",
    )
    parser.add_argument("--seed", type=int, default=0, help="synthetic market seed (default 0)")
    parser.add_argument(
        "--stocks", type=_positive_int, default=500, help="synthetic market: number of stocks (default 500)"
    )
    parser.add_argument(
        "--years", type=_positive_float, default=10.0, help="synthetic market: years of weekdays (default 10)"
    )
    parser.add_argument("--top", type=_positive_int, default=20, help="number of stocks held (default 20)")
    parser.add_argument(
        "--touched-exit",
        action="store_true",
        help="fill stops within the day at the touched level (default: check the close and exit on the next day)",
    )
    parser.add_argument(
        "--trade-at", choices=("close", "open"), default="close", help="price trades are filled at (default close)"
    )
    parser.add_argument(
        "--csv",
        metavar="FILE",
        help="daily prices in long format: one row per date and stock with columns date, open, high, low, close"
        " and a stock name (Name, ticker or symbol); .gz accepted",
    )
    parser.add_argument("--html", metavar="FILE", help="also write the full report as one self-contained HTML page")
    parser.add_argument(
        "--interactive",
        action="store_true",
        help="with --html: add zoomable equity, drawdown and trade charts (needs the 'interactive' extra)",
    )
    parser.add_argument("--json", metavar="FILE", help="also write the statistics, trades and actions as JSON")
    parser.add_argument(
        "--sweep",
        action="store_true",
        help="instead of one backtest, sweep a stop-loss x take-profit grid and print the best rows"
        " (--html then writes the Sharpe heatmap and the table, --json the table)",
    )
    parser.add_argument(
        "--jobs", type=int, default=-1, help="--sweep: worker processes (default -1: one per core; 1: this process)"
    )
    return parser


# The sweep's grid; the other options are the strategy's.
SWEEP_GRID: dict[str, list[Any]] = {
    "stop_loss": [None, 0.04, 0.06, 0.08, 0.10, 0.15],
    "take_profit": [None, 0.15, 0.20, 0.30, 0.50],
}
_SWEEP_COLUMNS = [*SWEEP_GRID, *SWEEP_FIGURES]  # what the printed table shows


def run_sweep(
    market: Market, weights: pd.DataFrame, *, n_jobs: int = -1, touched_exit: bool = False, trade_at: str = "close"
) -> Sweep:
    """The demo's strategy over `SWEEP_GRID`, on threads of this process (the engine runs without
    the interpreter lock, so they use every core with no start-up)."""
    fixed = {k: v for k, v in STRATEGY_OPTIONS.items() if k not in SWEEP_GRID}
    return sweep(
        weights,
        market,
        SWEEP_GRID,
        n_jobs=n_jobs,
        backend="threads",
        trade_at=trade_at,
        touched_exit=touched_exit,
        delisting="auto",
        **fixed,
    )


def format_sweep(result: Sweep, *, title: str, rows: int = 10) -> str:
    """The sweep's text: its `rows` best runs by Sharpe ratio and whether the best is luck."""
    return result.to_text(rows, title=title)


def main(argv: list[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    prog = "zelvor.demo"
    started = time.perf_counter()
    notes: list[str] = []
    try:
        if args.csv:
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always", DataWarning)
                market = read_csv(args.csv)
            notes = [str(w.message) for w in caught if issubclass(w.category, DataWarning)]
            source = f"{args.csv}: {market.shape[1]} stocks, {market.shape[0]} days"
        else:
            market = Market.synthetic(stocks=args.stocks, years=args.years, seed=args.seed)
            source = f"synthetic market, seed {args.seed}: {args.stocks} stocks, {market.shape[0]} weekdays"
        weights = momentum_weights(market, top=args.top, lookback=60)
    except DataError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
    except OSError as exc:
        print(f"{prog}: error: cannot read {args.csv}: {exc.strerror or exc}", file=sys.stderr)
        return 2
    except ValueError as exc:
        print(f"{prog}: error: {exc}", file=sys.stderr)
        return 2
    prepared = time.perf_counter() - started

    exits = (
        "touched within the day, filled at the touched level"
        if args.touched_exit
        else "checked at the close, filled the next day"
    )
    lines = [
        f"Monthly momentum: top {args.top} by 60-day return, equal weight, traded at the {args.trade_at}",
        f"Data               {source} (prepared in {prepared:.2f} s)",
        *(f"                   {note}" for note in notes),
        "Exits              8% stop-loss, 30% take-profit, 10% trailing stop once up 5%",
        f"                   {exits}",
        "Costs              fee 0.1425% per trade, tax 0.3% on sells; position limit 10%",
    ]
    title = "\n".join(lines)
    if args.sweep:
        return _main_sweep(args, market, weights, title, prog)
    started = time.perf_counter()
    report = backtest(
        weights,
        market,
        trade_at=args.trade_at,
        touched_exit=args.touched_exit,
        delisting="auto",
        benchmark=equal_weight_index(market),
        **STRATEGY_OPTIONS,
    )
    seconds = time.perf_counter() - started
    print(format_report(report, title=title, seconds=seconds))
    try:
        if args.html:
            report.to_html(args.html, title=f"Monthly momentum, top {args.top}", interactive=args.interactive)
            print(f"\nReport written to {args.html}")
        if args.json:
            report.to_json(args.json, indent=1, orient="records")
            print(f"Figures written to {args.json}")
    except OSError as exc:
        print(f"{prog}: error: cannot write: {exc}", file=sys.stderr)
        return 2
    return 0


def _main_sweep(args: argparse.Namespace, market: Market, weights: pd.DataFrame, title: str, prog: str) -> int:
    if args.jobs == 0 or args.jobs < -1:
        print(f"{prog}: error: --jobs must be -1 (all cores) or a positive number, got {args.jobs}", file=sys.stderr)
        return 2
    result = run_sweep(market, weights, n_jobs=args.jobs, touched_exit=args.touched_exit, trade_at=args.trade_at)
    title = title.replace("Exits              8% stop-loss, 30% take-profit,", "Exits              swept stops,")
    print(format_sweep(result, title=title))
    try:
        if args.html:
            result.to_html(args.html, title=f"Monthly momentum, top {args.top}: stop-loss x take-profit")
            print(f"\nHeatmap and table written to {args.html}")
        if args.json:
            result.to_json(args.json, indent=1)  # null for a stop that is off
            print(f"Table written to {args.json}")
    except OSError as exc:
        print(f"{prog}: error: cannot write: {exc}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
