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
import json
import math
import sys
import time
import warnings
from typing import Any

import pandas as pd

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
# Printing


def _pct(x: float, signed: bool = True) -> str:
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "n/a"
    return f"{x:+.2%}" if signed else f"{x:.2%}"


def _day(value: Any) -> str:
    return "none" if value is None or value is pd.NaT else str(pd.Timestamp(value).date())


# Order of the actions in the next-period list: what the next session does first.
_ACTION_ORDER = ["exit", "stop_loss", "take_profit", "enter", "stop_loss_reenter", "take_profit_reenter",
                 "stopped_out", "took_profit", "hold"]  # fmt: skip


def format_report(report: Report, title: str = "", seconds: float = math.nan, max_orders: int = 15) -> str:
    s = report.stats()
    t = report.trades
    start, end = report.period
    n_days = len(report.equity.loc[start:])
    out: list[str] = []
    add = out.append
    if title:
        add(title)
    add(f"Period             {_day(start)} .. {_day(end)} ({n_days} trading days from the first signal)")
    add(f"Run time           {seconds:.3f} s in zelvor.backtest")
    add("")
    add("Performance (from 1.0 at the start)")
    add(f"  Final value        {report.equity.iloc[-1]:.6f}")
    add(f"  Annualised return  {_pct(s['cagr'])}")
    add(f"  Maximum drawdown   {_pct(s['max_drawdown'])}")
    add(f"  Volatility         {_pct(s['annual_volatility'], signed=False)} a year")
    add(f"  Sharpe, Sortino    {s['sharpe']:.2f}, {s['sortino']:.2f}")
    add(f"  Fees and taxes     {s['fees'] + s['taxes']:.4f} (of the starting 1.0; {report._costs_text()})")
    add("")
    n_open = int((t["exit_reason"] == "open").sum())
    add(f"Trades             {int(s['trades'])} ({n_open} still open at the end)")
    add(f"Win rate           {_pct(s['win_rate'], signed=False)} of closed trades with a positive pnl after costs")
    add(f"Profit factor      {s['profit_factor']:.2f}")
    reasons = t["exit_reason"].value_counts()
    add("Exits              " + ", ".join(f"{name} {int(n)}" for name, n in reasons.items() if n))
    add("  (a holding kept through a rebalance is recorded as a new trade from that day)")
    add("")
    worst = t[t["mae"].notna()].sort_values("mae", kind="stable").head(5)
    if len(worst):
        add(f"The {len(worst)} trades with the worst MAE (maximum adverse excursion, on closes)")
        add(f"  {'stock':<12}  {'entry':<10}  {'exit':<10}  {'MAE':>8}  {'MFE':>8}  {'return':>8}  exit reason")
        for _, row in worst.iterrows():
            exit_day = "open" if row["exit_date"] is pd.NaT else _day(row["exit_date"])
            add(
                f"  {str(row['stock']):<12}  {_day(row['entry_date'])}  {exit_day:<10}  {_pct(row['mae']):>8}  "
                f"{_pct(row['mfe']):>8}  {_pct(row['return']):>8}  {row['exit_reason']}"
            )
        add("")
    add(_format_next_period(report, max_orders))
    return "\n".join(out)


def _format_next_period(report: Report, max_orders: int) -> str:
    a = report.actions
    out: list[str] = []
    add = out.append
    add("Next period")
    weight = a["weight"].dropna()
    nxt = a["next_weight"].dropna()
    add(
        f"  Last rebalance     signal of {_day(a.attrs['weight_date'])}: {len(weight)} stocks, gross weight "
        f"{_pct(float(weight.abs().sum()), signed=False)}"
    )
    add(
        f"  Next weights       signal of {_day(a.attrs['next_weight_date'])}: {int((nxt != 0).sum())} stocks, "
        f"gross weight {_pct(float(nxt.abs().sum()), signed=False)}"
    )
    if a.attrs["next_weight_date"] is not pd.NaT and a.attrs["next_weight_date"] != a.attrs["weight_date"]:
        add("                     not traded yet: the next session rebalances to them")
    acting = a[a["action"].notna()]
    if not len(acting):
        add("  Actions            none (no rebalance or stop exit pending)")
        return "\n".join(out)
    counts = acting["action"].value_counts()
    names = sorted(counts.index, key=lambda n: _ACTION_ORDER.index(n) if n in _ACTION_ORDER else 99)
    add("  Actions            " + ", ".join(f"{n} {int(counts[n])}" for n in names))
    add(f"  {'stock':<12}  {'action':<19}  {'weight now':>10}   {'next weight':>11}   why")
    rank = {n: k for k, n in enumerate(_ACTION_ORDER)}
    ordered = acting.assign(_rank=acting["action"].map(rank).fillna(99)).sort_values(["_rank"], kind="stable")
    for stock, row in ordered.head(max_orders).iterrows():
        now = "-" if math.isnan(row["weight"]) else _pct(row["weight"], signed=False)
        then = "-" if math.isnan(row["next_weight"]) else _pct(row["next_weight"], signed=False)
        add(f"  {str(stock):<12}  {row['action']:<19}  {now:>10}   {then:>11}   {row['why']}")
    if len(ordered) > max_orders:
        add(f"  ... and {len(ordered) - max_orders} more (all in Report.actions)")
    return "\n".join(out)


def report_json(report: Report) -> dict[str, Any]:
    """The figures, the trades and the next-period actions as JSON-ready data."""

    def plain(value: Any) -> Any:
        if isinstance(value, pd.Timestamp):
            return None if value is pd.NaT else value.isoformat()
        if value is pd.NaT or value is None:
            return None
        if isinstance(value, float) and not math.isfinite(value):
            return None
        if hasattr(value, "item"):
            return plain(value.item())
        return value

    def records(frame: pd.DataFrame) -> list[dict[str, Any]]:
        columns = list(frame.columns)
        return [{c: plain(v) for c, v in zip(columns, row, strict=True)} for row in frame.itertuples(index=False)]

    actions = report.actions.reset_index()
    trades = report.trades.assign(exit_reason=report.trades["exit_reason"].astype(str))
    return {
        "period": {"start": plain(report.start), "end": plain(report.end)},
        "stats": {str(k): plain(v) for k, v in report.stats().items()},
        "trades": records(trades),
        "actions": {
            "weight_date": plain(actions.attrs.get("weight_date")),
            "next_weight_date": plain(actions.attrs.get("next_weight_date")),
            "stocks": records(actions.astype({"stock": str})),
        },
        "options": {k: plain(v) for k, v in report.options.items()},
    }


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
_SWEEP_COLUMNS = ["stop_loss", "take_profit", "total_return", "cagr", "sharpe", "max_drawdown", "trades", "win_rate"]


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
    best = result.table.sort_values("sharpe", ascending=False, kind="stable").head(rows)
    shown = best[[c for c in _SWEEP_COLUMNS if c in best.columns]]
    failed = int((result.table["error"] != "").sum())
    lines = [
        title,
        f"Sweep              {len(result.table)} runs (stop-loss x take-profit) in {result.seconds:.2f} s"
        + (f", {failed} failed" if failed else ""),
        "",
        f"The {len(shown)} best by Sharpe ratio (NaN: the stop is off)",
        shown.to_string(index=False, float_format=lambda x: f"{x:.4f}"),
        *_overfitting_lines(result),
    ]
    return "\n".join(lines)


def _overfitting_lines(result: Sweep) -> list[str]:
    """Whether the best row is real: its deflated Sharpe ratio and the sweep's PBO."""
    from zelvor._overfitting import best_set_figures

    f = best_set_figures(result)
    if f["row"] is None:
        return []
    pbo = f"{f['pbo']:.1%}" if math.isfinite(f["pbo"]) else "n/a (too few rows)"
    return [
        "",
        f"Best row ({f['row']})    deflated Sharpe ratio {f['dsr']:.3f} (probabilistic Sharpe {f['psr']:.3f};"
        " below 0.95: not distinguishable from luck)",
        f"Overfitting        probability of backtest overfitting {pbo} (CSCV, {f['n_splits']} blocks;"
        " near 50 %: choosing the best row is a coin flip)",
    ]


def sweep_html(result: Sweep, path: str, *, title: str) -> None:
    """One self-contained page: the Sharpe heatmap and every run, ranked (`Sweep.to_html`)."""
    result.to_html(path, title=title)


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
            with open(args.json, "w", encoding="utf-8") as out:
                json.dump(report_json(report), out, indent=1)
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
            sweep_html(result, args.html, title=f"Monthly momentum, top {args.top}: stop-loss x take-profit")
            print(f"\nHeatmap and table written to {args.html}")
        if args.json:
            rows = json.loads(result.table.to_json(orient="records", date_format="iso"))
            for row, params in zip(rows, result.params, strict=True):
                row.update(params)  # None for a stop that is off, not NaN
            with open(args.json, "w", encoding="utf-8") as out:
                json.dump(rows, out, indent=1)
            print(f"Table written to {args.json}")
    except OSError as exc:
        print(f"{prog}: error: cannot write: {exc}", file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main())
