"""A complete backtest from the command line: ``python -m zelvor.demo``.

By default it generates a seeded synthetic market (about 10 years x 500 stocks, with missing
prices, late listings and delistings), runs a monthly momentum strategy with a stop-loss, a
take-profit and a trailing stop, and prints the performance, the trades with the worst adverse
excursion and the orders for the next session. ``--csv FILE`` runs the same strategy on daily
prices in long format (one row per date and stock; see `zelvor.market.load_csv`).

`run_backtest` returns the figures it prints as a `Report`, so scripts can use them directly.
"""

from __future__ import annotations

import argparse
import datetime as _dt
import math
import sys
import time
from dataclasses import dataclass, field

import numpy as np

from zelvor.market import (
    NS_PER_DAY,
    DataError,
    Market,
    Strategy,
    load_csv,
    momentum_strategy,
    synthetic_market,
)

WEEKDAYS_PER_YEAR = 261

# The strategy's trading options (fees and tax are the engine's defaults).
STRATEGY_OPTIONS = {
    "stop_loss": 0.08,
    "take_profit": 0.30,
    "trail_stop": 0.10,
    "trail_stop_activation": 0.05,
    "position_limit": 0.10,
    "quelmo_window": 20,
    "quelmo_window_step": 5,
}

# Offsets of the figures in a trade's statistics array; the last six are taken at the exit.
MAE, MFE, BMFE, MDD, PROFIT_ROWS, TRADE_RETURN = range(-6, 0)


@dataclass
class TradeLine:
    stock: str
    entry: str  # date of the entry fill
    exit: str  # date of the exit fill, or "open"
    mae: float
    mfe: float
    trade_return: float


@dataclass
class Report:
    """What the demo prints, together with the engine outputs it was computed from."""

    title: str
    first_row: int  # first row of the active period (the first signal date)
    start: str
    end: str
    active_rows: int
    backtest_seconds: float
    final_value: float
    annual_return: float
    max_drawdown: float
    volatility: float
    n_trades: int
    n_open: int
    win_rate: float
    worst: list[TradeLine]
    operations: dict
    next_signal: str | None
    last_signal: str | None
    labels: np.ndarray
    portfolio_value: np.ndarray
    trade_rows: list = field(repr=False)
    trade_stats: list = field(repr=False)


# --------------------------------------------------------------------------------------------
# Figures


def equity_statistics(values: np.ndarray, dates: np.ndarray, first_row: int) -> dict:
    """Performance of a value series from `first_row` on (the rows before are the warm-up).

    Annualised return compounds over calendar time (365.25-day years); volatility is the
    standard deviation of the row-to-row returns scaled by the number of rows per year of this
    calendar; the maximum drawdown is the deepest fall from a running peak, as a fraction.
    """
    v = np.asarray(values[first_row:], dtype=np.float64)
    years = (int(dates[-1]) - int(dates[first_row])) / NS_PER_DAY / 365.25
    growth = v[-1] / v[0]
    annual = growth ** (1.0 / years) - 1.0 if years > 0 and growth > 0 else math.nan
    drawdown = float(np.min(v / np.maximum.accumulate(v) - 1.0))
    returns = v[1:] / v[:-1] - 1.0
    if len(returns) >= 2 and years > 0:
        volatility = float(np.std(returns, ddof=1) * math.sqrt(len(returns) / years))
    else:
        volatility = math.nan
    return {
        "final_value": float(values[-1]),
        "annual_return": float(annual),
        "max_drawdown": drawdown,
        "volatility": volatility,
    }


def trade_statistics(trade_rows: list, trade_stats: list, date_text, worst: int = 5) -> dict:
    """Trade count, open trades, win rate and the `worst` trades by MAE.

    A trade wins when its return (after costs, last element of its statistics) is above 0;
    trades whose return is NaN (a missing entry close) are left out of the win rate and of the
    ranking. `date_text` turns an engine timestamp into the text printed.
    """
    returns = np.array([s[TRADE_RETURN] for s in trade_stats], dtype=np.float64)
    maes = np.array([s[MAE] for s in trade_stats], dtype=np.float64)
    known = ~np.isnan(returns)
    win_rate = float(np.mean(returns[known] > 0)) if known.any() else math.nan
    ranked = [i for i in np.argsort(maes, kind="stable") if not np.isnan(maes[i])][:worst]
    lines = []
    for i in ranked:
        row, stats = trade_rows[i], trade_stats[i]
        lines.append(
            TradeLine(
                stock=str(row[0]),
                entry=date_text(row[1]),
                exit="open" if row[8] == -1 else date_text(row[2]),
                mae=float(stats[MAE]),
                mfe=float(stats[MFE]),
                trade_return=float(stats[TRADE_RETURN]),
            )
        )
    return {
        "n_trades": len(trade_rows),
        "n_open": sum(1 for row in trade_rows if row[8] == -1),
        "win_rate": win_rate,
        "worst": lines,
    }


# --------------------------------------------------------------------------------------------
# Running


def run_backtest(
    market: Market,
    strategy: Strategy,
    *,
    touched_exit: bool = False,
    trade_at: str = "close",
    title: str = "",
) -> Report:
    """Run the strategy through the engine and collect the figures of the report."""
    from zelvor.core import quelmo, trevane

    def date_text(ns) -> str:
        # ioft gives local wall-clock time; the dates are UTC midnights, so convert back.
        return trevane.ioft(ns).astimezone(_dt.UTC).date().isoformat()

    started = time.perf_counter()
    portfolio_value = trevane.backtest_(
        **market.backtest_arrays(trade_at),
        **strategy.backtest_arrays(),
        touched_exit=touched_exit,
        delisting_bars=market.delisting_rows,
        **STRATEGY_OPTIONS,
    )
    seconds = time.perf_counter() - started
    trade_rows, _ = trevane.get_trade_stocks(strategy.pos_columns, market.dates, touched_exit)
    trade_stats = list(quelmo.quelmo)
    operations = trevane.get_stock_operations()

    first_row = int(np.searchsorted(market.dates, strategy.pos_index[0], side="left"))
    first_row = min(first_row, len(market.dates) - 1)

    def signal(key):
        row = operations.get(key, -1)
        return date_text(strategy.pos_index[row]) if row is not None and row >= 0 else None

    return Report(
        title=title,
        first_row=first_row,
        start=date_text(market.dates[first_row]),
        end=date_text(market.dates[-1]),
        active_rows=len(market.dates) - first_row,
        backtest_seconds=seconds,
        **equity_statistics(portfolio_value, market.dates, first_row),
        **trade_statistics(trade_rows, trade_stats, date_text),
        operations=operations,
        last_signal=signal("weight_time"),
        next_signal=signal("next_weight_time"),
        labels=strategy.pos_columns,
        portfolio_value=portfolio_value,
        trade_rows=trade_rows,
        trade_stats=trade_stats,
    )


# --------------------------------------------------------------------------------------------
# Printing

_ACTION_ORDER = {
    "exit": 0,
    "sl": 1,
    "tp": 2,
    "enter": 3,
    "sl_enter": 4,
    "tp_enter": 5,
    "sl_": 6,
    "tp_": 7,
    "hold": 8,
}
_ACTION_HELP = {
    "enter": "buy",
    "exit": "sell",
    "hold": "keep, re-weighted",
    "sl": "stop-loss exit due",
    "tp": "take-profit exit due",
    "sl_enter": "stop-loss exit due, target kept",
    "tp_enter": "take-profit exit due, target kept",
    "sl_": "stopped out since the last rebalance",
    "tp_": "took profit since the last rebalance",
}


def _pct(x: float, signed: bool = True) -> str:
    if math.isnan(x):
        return "n/a"
    return f"{x:+.2%}" if signed else f"{x:.2%}"


def format_report(report: Report, max_orders: int = 15) -> str:
    out = []
    add = out.append
    if report.title:
        add(report.title)
    add(f"Period             {report.start} .. {report.end} ({report.active_rows} trading days from the first signal)")
    add(f"Run time           {report.backtest_seconds:.3f} s in backtest_")
    add("")
    add("Performance (from 1.0 at the start)")
    add(f"  Final value        {report.final_value:.6f}")
    add(f"  Annualised return  {_pct(report.annual_return)}")
    add(f"  Maximum drawdown   {_pct(report.max_drawdown)}")
    add(f"  Volatility         {_pct(report.volatility, signed=False)} a year")
    add("")
    add(f"Trades             {report.n_trades} ({report.n_open} still open at the end)")
    add(f"Win rate           {_pct(report.win_rate, signed=False)} of trades with a positive return after costs")
    add("  (a holding kept through a rebalance is recorded as a new trade from that day)")
    add("")
    if report.worst:
        add(f"The {len(report.worst)} trades with the worst MAE (maximum adverse excursion, on closes)")
        add(f"  {'stock':<12}  {'entry':<10}  {'exit':<10}  {'MAE':>8}  {'MFE':>8}  {'return':>8}")
        for t in report.worst:
            add(
                f"  {t.stock:<12}  {t.entry}  {t.exit:<10}  {_pct(t.mae):>8}  {_pct(t.mfe):>8}"
                f"  {_pct(t.trade_return):>8}"
            )
        add("")
    add(_format_next_period(report, max_orders))
    return "\n".join(out)


def _format_next_period(report: Report, max_orders: int) -> str:
    ops = report.operations
    if not ops:
        return "Next period: no report (the run produced none)"
    actions, weights, next_weights = ops["actions"], ops["weights"], ops["next_weights"]
    out = []
    add = out.append
    pending = ops["next_weight_time"] != ops["weight_time"]
    add("Next period")
    add(
        f"  Last rebalance     signal of {report.last_signal or 'none'}: {len(weights)} stocks,"
        f" gross weight {_pct(sum(abs(w) for w in weights.values()), signed=False)}"
    )
    add(
        f"  Next weights       signal of {report.next_signal or 'none'}: "
        f"{sum(1 for w in next_weights.values() if w)} stocks, gross weight "
        f"{_pct(sum(abs(w) for w in next_weights.values()), signed=False)}"
    )
    if pending:
        add("                     not traded yet: the next session rebalances to them")
    if not actions:
        add("  Actions            none (no rebalance or stop exit pending)")
        return "\n".join(out)
    counts: dict[str, int] = {}
    for name in actions.values():
        counts[name] = counts.get(name, 0) + 1
    names = sorted(counts, key=lambda a: _ACTION_ORDER.get(a, 99))
    add("  Actions            " + ", ".join(f"{name} {counts[name]}" for name in names))
    add(f"  {'stock':<12}  {'action':<10}  {'weight now':>10}   {'next weight':>10}")
    ordered = sorted(actions.items(), key=lambda kv: (_ACTION_ORDER.get(kv[1], 99), str(report.labels[kv[0]])))
    for sid, name in ordered[:max_orders]:
        now = weights.get(sid)
        nxt = next_weights.get(sid)
        add(
            f"  {str(report.labels[sid]):<12}  {name:<10}  "
            f"{'-' if now is None else _pct(now, signed=False):>10}   "
            f"{'-' if nxt is None else _pct(nxt, signed=False):>10}   "
            f"{_ACTION_HELP.get(name, '')}"
        )
    if len(ordered) > max_orders:
        add(f"  ... and {len(ordered) - max_orders} more (all in zelvor.core.trevane.get_stock_operations())")
    return "\n".join(out)


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
        " weight, 8%% stop-loss, 30%% take-profit, 10%% trailing stop after +5%%)"
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
        "--trade-at",
        choices=("close", "open"),
        default="close",
        help="price trades are filled at (default close)",
    )
    parser.add_argument(
        "--csv",
        metavar="FILE",
        help="daily prices in long format: one row per date and stock with"
        " columns date, open, high, low, close and a stock name (Name,"
        " ticker or symbol); .gz accepted",
    )
    return parser


def main(argv=None) -> int:
    args = _parser().parse_args(argv)
    prog = "zelvor.demo"
    started = time.perf_counter()
    try:
        if args.csv:
            market = load_csv(args.csv)
            source = f"{args.csv}: {market.shape[1]} stocks, {market.shape[0]} days"
        else:
            n_days = max(2, round(args.years * WEEKDAYS_PER_YEAR))
            market = synthetic_market(args.stocks, n_days, seed=args.seed)
            source = f"synthetic market, seed {args.seed}: {args.stocks} stocks, {n_days} weekdays"
        strategy = momentum_strategy(market, top=args.top, lookback=60)
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
    title = "\n".join(
        (
            f"Monthly momentum: top {args.top} by 60-day return, equal weight, traded at the {args.trade_at}",
            f"Data               {source} (prepared in {prepared:.2f} s)",
            "Exits              8% stop-loss, 30% take-profit, 10% trailing stop once up 5%",
            f"                   {exits}",
            "Costs              fee 0.1425% per trade, tax 0.3% on sells; position limit 10%",
        )
    )
    report = run_backtest(market, strategy, touched_exit=args.touched_exit, trade_at=args.trade_at, title=title)
    print(format_report(report))
    return 0


if __name__ == "__main__":
    sys.exit(main())
