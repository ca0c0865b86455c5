"""A `Report` and a `Sweep` as plain text: the one-line repr and the printed summary."""

from __future__ import annotations

import math
from typing import TYPE_CHECKING, Any

import pandas as pd

from zelvor._overfitting import best_set_figures

if TYPE_CHECKING:
    from zelvor.report import Report

__all__ = ["costs_text", "report_repr", "report_text", "sweep_repr", "sweep_text"]


def costs_text(report: Report) -> str:
    """The run's cost rates in words, e.g. "fee 0.1425 % per trade, tax 0.3 % on sales"."""
    fee = report.options.get("fee_ratio")
    tax = report.options.get("tax_ratio")
    if not isinstance(fee, int | float) or not isinstance(tax, int | float):
        return "costs unknown"
    if fee == 0 and tax == 0:
        return "no fees, no tax"
    return f"fee {fee * 100:.6g} % per trade (buys and sells), tax {tax * 100:.6g} % on sales"


def report_repr(report: Report) -> str:
    if len(report.equity) == 0:
        return "<Report: no dates>"
    s = report.stats()
    return (
        f"<Report {report.start.date()} .. {report.end.date()}: total return {s['total_return']:+.2%}, "
        f"CAGR {s['cagr']:+.2%}, max drawdown {s['max_drawdown']:.2%}, Sharpe {s['sharpe']:.2f}, "
        f"{int(s['trades'])} trades; {costs_text(report)}>"
    )


def _pct(x: float, signed: bool = True) -> str:
    if x is None or (isinstance(x, float) and math.isnan(x)):
        return "n/a"
    return f"{x:+.2%}" if signed else f"{x:.2%}"


def _day(value: Any) -> str:
    return "none" if value is None or value is pd.NaT else str(pd.Timestamp(value).date())


# Order of the actions in the next-period list: what the next session does first.
_ACTION_ORDER = ["exit", "stop_loss", "take_profit", "enter", "stop_loss_reenter", "take_profit_reenter",
                 "stopped_out", "took_profit", "hold"]  # fmt: skip


def report_text(report: Report, title: str = "", max_orders: int = 15) -> str:
    """`Report.to_text`: the period, performance, trades, the worst trades by MAE and the next period."""
    s = report.stats()
    t = report.trades
    start, end = report.period
    n_days = len(report.equity.loc[start:]) if len(report.equity) else 0
    out: list[str] = [title] if title else []
    add = out.append
    add(f"Period             {_day(start)} .. {_day(end)} ({n_days} trading days from the first signal)")
    add("")
    add("Performance (from 1.0 at the start)")
    add(f"  Final value        {report.equity.iloc[-1] if n_days else 1.0:.6f}")
    add(f"  Annualised return  {_pct(s['cagr'])}")
    add(f"  Maximum drawdown   {_pct(s['max_drawdown'])}")
    add(f"  Volatility         {_pct(s['annual_volatility'], signed=False)} a year")
    add(f"  Sharpe, Sortino    {s['sharpe']:.2f}, {s['sortino']:.2f}")
    add(f"  Fees and taxes     {s['fees'] + s['taxes']:.4f} (of the starting 1.0; {costs_text(report)})")
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
    out += _next_period(report, max_orders)
    return "\n".join(out)


def _next_period(report: Report, max_orders: int) -> list[str]:
    a = report.actions
    out = ["Next period"]
    add = out.append
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
        return out
    counts = acting["action"].value_counts()
    rank = {n: k for k, n in enumerate(_ACTION_ORDER)}
    names = sorted(counts.index, key=lambda n: rank.get(n, 99))
    add("  Actions            " + ", ".join(f"{n} {int(counts[n])}" for n in names))
    add(f"  {'stock':<12}  {'action':<19}  {'weight now':>10}   {'next weight':>11}   why")
    ordered = acting.assign(_rank=acting["action"].map(rank).fillna(99)).sort_values(["_rank"], kind="stable")
    for stock, row in ordered.head(max_orders).iterrows():
        now = "-" if math.isnan(row["weight"]) else _pct(row["weight"], signed=False)
        then = "-" if math.isnan(row["next_weight"]) else _pct(row["next_weight"], signed=False)
        add(f"  {str(stock):<12}  {row['action']:<19}  {now:>10}   {then:>11}   {row['why']}")
    if len(ordered) > max_orders:
        add(f"  ... and {len(ordered) - max_orders} more (all in Report.actions)")
    return out


def sweep_repr(sweep: Any) -> str:
    failed = int((sweep.table["error"] != "").sum())
    return (
        f"Sweep({len(sweep.table)} runs over {', '.join(sweep.parameter_names)}; {failed} failed; "
        f"{sweep.seconds:.1f} s)"
    )


# The figures a sweep's text shows after its parameters.
SWEEP_FIGURES = ["total_return", "cagr", "sharpe", "max_drawdown", "trades", "win_rate"]


def sweep_text(sweep: Any, title: str = "", rows: int = 10) -> str:
    """`Sweep.to_text`: the run count and time, the `rows` best runs by Sharpe ratio (the
    parameters, then `SWEEP_FIGURES`), and whether the best is distinguishable from luck."""
    table = sweep.table
    best = table.sort_values("sharpe", ascending=False, kind="stable").head(rows)
    shown = best[[c for c in [*sweep.parameter_names, *SWEEP_FIGURES] if c in best.columns]]
    failed = int((table["error"] != "").sum())
    over = " x ".join(name.replace("_", "-") for name in sweep.parameter_names)
    lines = [title] if title else []
    lines += [
        f"Sweep              {len(table)} runs ({over}) in {sweep.seconds:.2f} s"
        + (f", {failed} failed" if failed else ""),
        "",
        f"The {len(shown)} best by Sharpe ratio (NaN: the option is off)",
        shown.to_string(index=False, float_format=lambda x: f"{x:.4f}"),
    ]
    f = best_set_figures(sweep)
    if f["row"] is not None:
        pbo = f"{f['pbo']:.1%}" if math.isfinite(f["pbo"]) else "n/a (too few rows)"
        lines += [
            "",
            f"Best row ({f['row']})    deflated Sharpe ratio {f['dsr']:.3f} (probabilistic Sharpe {f['psr']:.3f};"
            " below 0.95: not distinguishable from luck)",
            f"Overfitting        probability of backtest overfitting {pbo} (CSCV, {f['n_splits']} blocks;"
            " near 50 %: choosing the best row is a coin flip)",
        ]
    return "\n".join(lines)
