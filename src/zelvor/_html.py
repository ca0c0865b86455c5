"""A `Report` as one self-contained HTML page: inline CSS, plots as inline PNG, nothing fetched."""

from __future__ import annotations

import base64
import html
import io
import math
from typing import TYPE_CHECKING, Any

import pandas as pd

if TYPE_CHECKING:
    from zelvor.report import Report

__all__ = ["report_html", "summary_html"]

_CSS = """
body{font-family:-apple-system,Segoe UI,Helvetica,Arial,sans-serif;margin:24px auto;max-width:1100px;color:#222}
h1{font-size:22px;margin-bottom:4px} h2{font-size:17px;margin-top:28px;border-bottom:1px solid #ddd}
.sub{color:#666;font-size:13px}
table{border-collapse:collapse;font-size:12px;font-variant-numeric:tabular-nums}
th,td{padding:3px 8px;border-bottom:1px solid #eee;text-align:right;white-space:nowrap}
th{background:#f6f6f6;position:sticky;top:0} td.t,th.t{text-align:left}
.stats{display:grid;grid-template-columns:repeat(auto-fill,minmax(170px,1fr));gap:6px 18px;font-size:13px}
.stats div{display:flex;justify-content:space-between;border-bottom:1px dotted #ddd;padding:2px 0}
.stats span.k{color:#555} .pos{color:#1a7f37} .neg{color:#c62828}
.scroll{max-height:480px;overflow:auto;border:1px solid #eee}
.fig img{max-width:100%;height:auto}
"""

# Figures of stats() shown as percentages, and how each is labelled.
_PERCENT = {
    "total_return",
    "cagr",
    "annual_volatility",
    "max_drawdown",
    "win_rate",
    "avg_win",
    "avg_loss",
    "exposure",
    "alpha",
}
_LABELS = {
    "total_return": "Total return", "cagr": "CAGR", "annual_volatility": "Volatility (annual)",
    "sharpe": "Sharpe", "sortino": "Sortino", "calmar": "Calmar", "max_drawdown": "Max drawdown",
    "max_drawdown_duration": "Longest drawdown (rows)", "trades": "Trades", "win_rate": "Win rate",
    "profit_factor": "Profit factor", "avg_win": "Average win", "avg_loss": "Average loss",
    "avg_holding_rows": "Average holding (rows)", "exposure": "Exposure", "turnover": "Turnover (per year)",
    "fees": "Fees", "taxes": "Taxes", "alpha": "Alpha (annual)", "beta": "Beta", "start": "Start", "end": "End",
}  # fmt: skip


def _fmt(key: str, value: Any) -> str:
    if isinstance(value, pd.Timestamp):
        return str(value.date()) if value is not pd.NaT else "–"
    if isinstance(value, int | float) and not isinstance(value, bool):
        if isinstance(value, float) and math.isnan(value):
            return "–"
        if key in _PERCENT:
            return (
                f"{value:+.2%}" if key in {"total_return", "cagr", "alpha", "avg_win", "avg_loss"} else f"{value:.2%}"
            )
        if key in {"fees", "taxes"}:
            return f"{value:.4f}"
        if isinstance(value, int):
            return f"{value:,}"
        return f"{value:.2f}"
    return html.escape(str(value))


def _stats_block(report: Report) -> str:
    s = report.stats()
    cells = []
    for key, value in s.items():
        text = _fmt(str(key), value)
        tone = ""
        if key in {"total_return", "cagr", "alpha"} and isinstance(value, float) and not math.isnan(value):
            tone = " pos" if value > 0 else " neg" if value < 0 else ""
        cells.append(
            f'<div><span class="k">{_LABELS.get(str(key), key)}</span><span class="v{tone}">{text}</span></div>'
        )
    return '<div class="stats">' + "".join(cells) + "</div>"


def _png(fig: Any, alt: str) -> str:
    """The figure as an inline PNG image (a data URI: nothing to fetch)."""
    import matplotlib.pyplot as plt

    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=110)
    plt.close(fig)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{data}">'


def _figures(report: Report) -> str:
    parts = [
        ("Equity and drawdown", report.plot),
        ("Trades: excursions against return", report.plot_trades),
        ("Monthly returns", report.plot_monthly),
    ]
    try:
        return "".join(f'<h2>{title}</h2><div class="fig">{_png(draw(), title)}</div>' for title, draw in parts)
    except ImportError as exc:  # no usable matplotlib: the page is still written, without plots
        return f"<p>No plots: {html.escape(str(exc))}.</p>"


def _table(frame: pd.DataFrame, text_columns: set[str], index: bool = False) -> str:
    out = ["<table><thead><tr>"]
    if index:
        out.append(f'<th class="t">{html.escape(str(frame.index.name or ""))}</th>')
    out += [f'<th class="{"t" if c in text_columns else ""}">{html.escape(str(c))}</th>' for c in frame.columns]
    out.append("</tr></thead><tbody>")
    for label, row in zip(frame.index, frame.itertuples(index=False), strict=True):
        out.append("<tr>")
        if index:
            out.append(f'<td class="t">{html.escape(str(label))}</td>')
        for column, value in zip(frame.columns, row, strict=True):
            out.append(f'<td class="{"t" if column in text_columns else ""}">{_cell(column, value)}</td>')
        out.append("</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def _cell(column: str, value: Any) -> str:
    if value is None or value is pd.NaT or (isinstance(value, float) and math.isnan(value)):
        return ""
    if isinstance(value, pd.Timestamp):
        return str(value.date())
    if isinstance(value, float):
        if column in {"pnl"}:
            return f"{value:+.5f}"
        if column in {"entry_price", "exit_price", "price", "profit_rows"}:
            return f"{value:.2f}" if column != "profit_rows" else f"{value:.0f}"
        return f"{value:+.2%}" if column in {"return", "mae", "mfe", "bmfe", "mdd", "trade_return"} else f"{value:.2%}"
    return html.escape(str(value))


def _trades_block(report: Report, max_trades: int) -> str:
    t = report.trades
    shown = t.head(max_trades)
    note = f" (the first {max_trades} of {len(t)})" if len(t) > max_trades else f" ({len(t)})"
    return f'<h2>Trades{note}</h2><div class="scroll">' + _table(shown, {"stock", "exit_reason"}) + "</div>"


def _actions_block(report: Report) -> str:
    a = report.actions
    when = a.attrs.get("next_weight_date", pd.NaT)
    last = a.attrs.get("weight_date", pd.NaT)
    head = (
        f'<h2>Next period</h2><p class="sub">Last rebalance to the weights of '
        f"{_fmt('d', last)}; next weights of {_fmt('d', when)}.</p>"
    )
    if not len(a):
        return head + "<p>No actions.</p>"
    return head + '<div class="scroll">' + _table(a, {"action", "why"}, index=True) + "</div>"


def report_html(report: Report, *, title: str = "Backtest report", max_trades: int = 500) -> str:
    """The whole page as text."""
    s = report.stats()
    period = f"{_fmt('start', s['start'])} .. {_fmt('end', s['end'])}"
    return (
        f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>'
        f'<style>{_CSS}</style></head><body><h1>{html.escape(title)}</h1><div class="sub">{period}</div>'
        f"<h2>Statistics</h2>{_stats_block(report)}{_figures(report)}{_trades_block(report, max_trades)}"
        f"{_actions_block(report)}</body></html>\n"
    )


def summary_html(report: Report) -> str:
    """The notebook view: the statistics and the first trades (no plots)."""
    t = report.trades
    return (
        f"<div><style>{_CSS}</style><b>zelvor Report</b>{_stats_block(report)}"
        f'<p class="sub">{len(t)} trades; first 10:</p>{_table(t.head(10), {"stock", "exit_reason"})}</div>'
    )
