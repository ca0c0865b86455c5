"""A `Report` or a `Sweep` as one self-contained HTML page (inline CSS, plots as inline PNG,
nothing fetched), and their notebook views."""

from __future__ import annotations

import base64
import html
import io
import math
from typing import TYPE_CHECKING, Any

import numpy as np
import pandas as pd

from zelvor._overfitting import best_set_figures
from zelvor._render.format import SIGNED_TONE, figure_label, figure_text
from zelvor._render.interactive import interactive_parts
from zelvor._render.text import costs_text

if TYPE_CHECKING:
    from zelvor.report import Report

__all__ = ["report_html", "summary_html", "sweep_html", "sweep_summary_html"]

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
.fig img{max-width:100%;height:auto;display:block}
.fig{margin-top:6px}
table.cmp td:first-child{text-align:left}
.sortable th{cursor:pointer;user-select:none} .sortable th[data-dir=asc]::after{content:" \25B2"}
.sortable th[data-dir=desc]::after{content:" \25BC"} td.why{color:#999;font-style:italic}
.filters{margin:6px 0;font-size:13px} .filters input,.filters select{font-size:13px;margin-right:10px}
"""


def _fmt(key: str, value: Any) -> str:
    return html.escape(figure_text(key, value))


def _stats_block(report: Report) -> str:
    s = report.stats()
    cells = []
    for key, value in s.items():
        text = _fmt(str(key), value)
        tone = ""
        if key in SIGNED_TONE and isinstance(value, float) and not math.isnan(value):
            tone = " pos" if value > 0 else " neg" if value < 0 else ""
        cells.append(f'<div><span class="k">{figure_label(str(key))}</span><span class="v{tone}">{text}</span></div>')
    return '<div class="stats">' + "".join(cells) + "</div>"


def _png(fig: Any, alt: str) -> str:
    """The figure as an inline PNG image (a data URI: nothing to fetch)."""
    import matplotlib.pyplot as plt

    buffer = io.BytesIO()
    fig.savefig(buffer, format="png", dpi=110, bbox_inches="tight", pad_inches=0.08)
    plt.close(fig)
    data = base64.b64encode(buffer.getvalue()).decode("ascii")
    return f'<img alt="{html.escape(alt)}" src="data:image/png;base64,{data}">'


def _figure(title: str, draw: Any, section: str = "") -> str:
    """A section with one plot; a title inside the plot that repeats the heading is dropped."""
    fig = draw()
    for ax in fig.axes:
        if ax.get_title(loc="left").strip() == title:
            ax.set_title("", loc="left")
    anchor = f' id="{section}"' if section else ""
    return f'<h2{anchor}>{title}</h2><div class="fig">{_png(fig, title)}</div>'


def _figures(report: Report, *, equity: bool = True) -> str:
    parts = [
        ("Equity and drawdown", report.plot, "equity"),
        ("Trades: excursions against return", report.plot_trades, "excursions"),
        ("Monthly returns", report.plot_monthly, "monthly"),
    ][0 if equity else 1 :]
    try:
        return "".join(_figure(title, draw, section) for title, draw, section in parts)
    except ImportError as exc:  # no usable matplotlib: the page is still written, without plots
        return f"<p>No plots: {html.escape(str(exc))}.</p>"


def _more_figures(report: Report) -> str:
    """The rolling figures and the return distributions."""
    rows = len(report.returns.loc[report.start :]) - 1 if len(report.returns) else 0
    window = 126 if rows >= 252 else max(rows // 3, 2)

    def rolling() -> Any:
        return report.plot_rolling(window)

    parts: list[tuple[str, Any, str]] = [("Return distribution", report.plot_distribution, "distribution")]
    if rows > window:
        parts.insert(0, (f"Rolling figures ({window} rows)", rolling, "rolling"))
    try:
        return "".join(_figure(title, draw, section) for title, draw, section in parts)
    except ImportError:  # said once, in the first plots' place
        return ""


_NO_PRICE = {
    "entry_price": ("no price", "entered on a row without a trading price: the holding kept its money value"
                    " until the stock's next price"),
    "exit_price": ("no price", "left on a row without a trading price (the money value of its last price)"),
    "exit_date": ("open", "still held at the end of the data"),
}  # fmt: skip
_NO_PRICE.update(dict.fromkeys(("mae", "mfe", "bmfe", "mdd", "profit_rows", "trade_return"),
                               ("n/a", "no closing price while the trade was held: nothing to measure")))  # fmt: skip


def _sort_key(value: Any) -> str:
    if value is None or value is pd.NaT or (isinstance(value, float) and math.isnan(value)):
        return ""
    if isinstance(value, pd.Timestamp):
        return str(value.value)
    return html.escape(str(value), quote=True)


def _table(
    frame: pd.DataFrame, text_columns: set[str], index: bool = False, *, sortable: bool = False, table_id: str = ""
) -> str:
    attrs = (' class="sortable"' if sortable else "") + (f' id="{table_id}"' if table_id else "")
    out = [f"<table{attrs}><thead><tr>"]
    if index:
        out.append(f'<th class="t">{html.escape(str(frame.index.name or ""))}</th>')
    out += [f'<th class="{"t" if c in text_columns else ""}">{html.escape(str(c))}</th>' for c in frame.columns]
    out.append("</tr></thead><tbody>")
    for label, row in zip(frame.index, frame.itertuples(index=False), strict=True):
        out.append("<tr>")
        if index:
            out.append(f'<td class="t">{html.escape(str(label))}</td>')
        for column, value in zip(frame.columns, row, strict=True):
            text, why = _cell(column, value), ""
            if not text and column in {"exit_price", "exit_signal_date"} and not row_closed(frame, row):
                text, why = _NO_PRICE["exit_date"]
            elif not text and column in _NO_PRICE:
                text, why = _NO_PRICE[column]
            css = ("t" if column in text_columns else "") + (" why" if why else "")
            data = f' data-v="{_sort_key(value)}"' if sortable else ""
            hint = f' title="{html.escape(why)}"' if why else ""
            out.append(f'<td class="{css.strip()}"{data}{hint}>{text}</td>')
        out.append("</tr>")
    out.append("</tbody></table>")
    return "".join(out)


def row_closed(frame: pd.DataFrame, row: Any) -> bool:
    """Whether a trades row is closed (its exit price is then expected)."""
    if "exit_reason" not in frame.columns:
        return True
    return str(row[list(frame.columns).index("exit_reason")]) != "open"


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


# Sorting by a click on a column's heading and filtering by text and exit reason; no library.
_TABLE_SCRIPT = """
(function(){
function key(td){var v=td.getAttribute('data-v');if(v===null||v==='')return null;
 var n=Number(v);return isNaN(n)?v.toLowerCase():n;}
document.querySelectorAll('table.sortable').forEach(function(t){
 var heads=t.tHead.rows[0].cells;
 Array.prototype.forEach.call(heads,function(th,i){th.addEventListener('click',function(){
  var asc=th.getAttribute('data-dir')!=='asc';
  Array.prototype.forEach.call(heads,function(h){h.removeAttribute('data-dir');});
  th.setAttribute('data-dir',asc?'asc':'desc');
  var body=t.tBodies[0],rows=Array.prototype.slice.call(body.rows);
  rows.sort(function(a,b){var x=key(a.cells[i]),y=key(b.cells[i]);
   if(x===y)return 0;if(x===null)return 1;if(y===null)return -1;
   if(typeof x!==typeof y){x=String(x);y=String(y);}return (x<y?-1:1)*(asc?1:-1);});
  rows.forEach(function(r){body.appendChild(r);});});});});
var text=document.getElementById('trade-filter'),reason=document.getElementById('trade-reason'),
 count=document.getElementById('trade-count'),table=document.getElementById('trades');
function filter(){if(!table)return;var q=text.value.toLowerCase(),r=reason.value,shown=0;
 var col=Array.prototype.map.call(table.tHead.rows[0].cells,function(c){return c.textContent;}).indexOf('exit_reason');
 Array.prototype.forEach.call(table.tBodies[0].rows,function(row){
  var ok=(!q||row.textContent.toLowerCase().indexOf(q)>=0)&&(!r||row.cells[col].textContent===r);
  row.style.display=ok?'':'none';if(ok)shown++;});
 count.textContent=shown+' shown';}
if(text){text.addEventListener('input',filter);reason.addEventListener('change',filter);filter();}
})();
"""


def _trades_block(report: Report, max_trades: int | None) -> str:
    t = report.trades
    shown = t if max_trades is None else t.head(max_trades)
    note = f" (the first {len(shown)} of {len(t)})" if len(shown) < len(t) else f" ({len(t)})"
    reasons = "".join(
        f'<option value="{html.escape(str(r))}">{html.escape(str(r))}</option>'
        for r in t["exit_reason"].cat.categories
        if (t["exit_reason"] == r).any()
    )
    filters = (
        '<div class="filters"><input id="trade-filter" type="search" placeholder="filter: stock, date, ..."'
        ' aria-label="filter trades">'
        f'<select id="trade-reason" aria-label="exit reason"><option value="">every exit reason</option>{reasons}'
        '</select><span id="trade-count" class="sub"></span><span class="sub"> · click a heading to sort</span></div>'
    )
    table = _table(shown, {"stock", "exit_reason"}, sortable=True, table_id="trades")
    return f'<h2 id="trades-section">Trades{note}</h2>{filters}<div class="scroll">{table}</div>'


def _benchmark_block(report: Report) -> str:
    """The strategy's return figures beside the benchmark's."""
    if report.benchmark is None:
        return ""
    frame = report.stats(compare=True)
    keys = ["total_return", "cagr", "annual_volatility", "sharpe", "sortino", "max_drawdown", "calmar",
            "avg_drawdown", "skew", "kurtosis", "var_95", "cvar_95", "omega", "tail_ratio", "stability"]  # fmt: skip
    name = html.escape(str(frame.attrs.get("benchmark_name", "benchmark")))
    rows = "".join(
        f'<tr><td class="t">{figure_label(k)}</td><td>{_fmt(k, frame.loc[k, "strategy"])}</td>'
        f"<td>{_fmt(k, frame.loc[k, 'benchmark'])}</td></tr>"
        for k in keys
        if k in frame.index
    )
    return (
        f'<h2 id="benchmark">Strategy and benchmark</h2><table class="cmp"><thead><tr><th class="t">figure</th>'
        f"<th>strategy</th><th>{name}</th></tr></thead><tbody>{rows}</tbody></table>"
    )


def _drawdowns_block(report: Report, top: int = 5) -> str:
    table = report.drawdowns(top=top)
    head = (
        f'<h2 id="drawdowns">Deepest drawdowns</h2><p class="sub">The {len(table)} deepest periods below a'
        " previous high (recovery: the first date back at that high).</p>"
    )
    if not len(table):
        return head + "<p>None: the equity never fell below a previous high.</p>"
    shown = table.assign(
        depth=[f"{v:.2%}" for v in table["depth"]],
        recovery=["not yet" if pd.isna(v) else str(v.date()) for v in table["recovery"]],
    ).rename(columns={"rows": "rows under water", "days": "calendar days"})
    shown.index = pd.Index(range(1, len(shown) + 1), name="rank")
    body = _table(shown, set(), index=True)
    try:
        picture = f'<div class="fig">{_png(report.plot_drawdowns(top=top), "Underwater curve")}</div>'
    except ImportError:
        picture = ""
    return head + body + picture


def _actions_block(report: Report) -> str:
    a = report.actions
    when = a.attrs.get("next_weight_date", pd.NaT)
    last = a.attrs.get("weight_date", pd.NaT)
    head = (
        f'<h2 id="next-period">Next period</h2><p class="sub">Last rebalance to the weights of '
        f"{_fmt('d', last)}; next weights of {_fmt('d', when)}.</p>"
    )
    if a.attrs.get("partial_period"):
        head += (
            f'<p class="sub">Partial period: the data end on {_fmt("d", report.end)}, before the period '
            f"ends on {_fmt('d', a.attrs['period_end'])}; the last market date was taken as the period's end, "
            "so the last rebalance and these actions rest on a partial period.</p>"
        )
    if not len(a):
        return head + "<p>No actions.</p>"
    return head + '<div class="scroll">' + _table(a, {"action", "why"}, index=True) + "</div>"


def report_html(
    report: Report, *, title: str = "Backtest report", max_trades: int | None = 500, interactive: bool = False
) -> str:
    """The whole page as text; with `interactive`, equity, drawdown and trades as bokeh charts too."""
    head, charts = "", ""
    if interactive:
        head, charts = interactive_parts(report)
    start, end = report.period
    period = f"{_fmt('start', start)} .. {_fmt('end', end)}; {html.escape(costs_text(report))}"
    return (
        f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>'
        f'<style>{_CSS}</style>{head}</head><body><h1>{html.escape(title)}</h1><div class="sub">{period}</div>'
        f'<h2 id="statistics">Statistics</h2>{_stats_block(report)}{_benchmark_block(report)}{charts}'
        f"{_figures(report, equity=not interactive)}"
        f"{_drawdowns_block(report)}{_more_figures(report)}{_trades_block(report, max_trades)}"
        f"{_actions_block(report)}<script>{_TABLE_SCRIPT}</script></body></html>\n"
    )


def write_report(
    report: Report,
    path: Any,
    *,
    title: str = "Backtest report",
    max_trades: int | None = 500,
    interactive: bool = False,
) -> None:
    """`Report.to_html`: the arguments checked, then the page written to `path`."""
    if max_trades is not None and (
        isinstance(max_trades, bool) or not isinstance(max_trades, int | np.integer) or max_trades < 0
    ):
        raise ValueError(f"max_trades: expected None (all trades) or a whole number >= 0, got {max_trades!r:.40}")
    if not isinstance(title, str):
        raise TypeError(f"title: expected a str, got {type(title).__name__}")
    text = report_html(report, title=title, max_trades=max_trades, interactive=interactive)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def summary_html(report: Report) -> str:
    """The notebook view: the statistics and the first trades (no plots)."""
    t = report.trades
    return (
        f"<div><style>{_CSS}</style><b>zelvor Report</b> "
        f'<span class="sub">{_fmt("start", report.start)} .. {_fmt("end", report.end)}; '
        f"{html.escape(costs_text(report))}</span>{_stats_block(report)}"
        f'<p class="sub">{len(t)} trades; first 10:</p>{_table(t.head(10), {"stock", "exit_reason"})}</div>'
    )


# ---- sweeps

# The sweep table's figures shown on the page, in this order (the table keeps them all).
_SWEEP_FIGURES = ["total_return", "cagr", "sharpe", "dsr", "sortino", "max_drawdown", "calmar", "annual_volatility",
                  "trades", "win_rate", "profit_factor"]  # fmt: skip
_SWEEP_LABELS = {"annual_volatility": "Volatility"}  # shorter, for a table as wide as the page


def _param_text(value: Any) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "off"
    if isinstance(value, float) and 0 < abs(value) < 1:
        return f"{value:.0%}" if round(value * 100, 6) == round(value * 100) else f"{value:.2%}"
    return html.escape(str(value))


def _sweep_table(sweep: Any, rows: int | None, metric: str = "sharpe", best: int = 3) -> str:
    table = sweep.table
    names = list(sweep.parameter_names)
    figures = [c for c in _SWEEP_FIGURES if c in table.columns]
    failed = table["error"] != ""
    ranked = table.assign(_ok=~failed).sort_values([metric, "_ok"], ascending=False, kind="stable", na_position="last")
    if rows is not None:
        ranked = ranked.head(rows)
    top = set(ranked.index[~failed.loc[ranked.index] & ranked[metric].notna()][:best])
    head = "".join(f'<th class="t">{html.escape(n)}</th>' for n in names)
    head += "".join(f"<th>{html.escape(_SWEEP_LABELS.get(c, figure_label(c)))}</th>" for c in figures)
    head += '<th class="t">error</th>' if failed.any() else ""
    body = []
    for index in ranked.index:
        params = sweep.params[index]
        cells = "".join(f'<td class="t" data-v="{_sort_key(params.get(n))}">{_param_text(params.get(n))}</td>'
                        for n in names)  # fmt: skip
        for c in figures:
            value = table.at[index, c]
            value = int(value) if c == "trades" and value == value else float(value)
            tone = ""
            if c in {"total_return", "cagr"} and value == value and value != 0:
                tone = ' class="pos"' if value > 0 else ' class="neg"'
            cells += f'<td{tone} data-v="{_sort_key(value)}">{_fmt(c, value)}</td>'
        if failed.any():
            cells += f'<td class="t">{html.escape(str(table.at[index, "error"]))}</td>'
        css = ' class="best"' if index in top else ""
        body.append(f"<tr{css}>{cells}</tr>")
    return f'<table class="sortable sweep"><thead><tr>{head}</tr></thead><tbody>{"".join(body)}</tbody></table>'


_SWEEP_CSS = """
table.sweep{width:100%} table.sweep td,table.sweep th{padding:3px 6px}
tr.best td{background:#e8f3ea;font-weight:600}
"""


def _sweep_heading(sweep: Any) -> str:
    failed = int((sweep.table["error"] != "").sum())
    return (
        f"{len(sweep.table)} runs over {html.escape(', '.join(sweep.parameter_names))}"
        f"{f'; {failed} failed' if failed else ''}; {sweep.seconds:.2f} s. Parameters: off = not used."
    )


def _overfitting_line(sweep: Any, metric: str) -> str:
    """One line of a sweep's page: the best run's deflated Sharpe ratio and the sweep's PBO."""
    f = best_set_figures(sweep, metric)
    if f["row"] is None:
        return ""
    parts = [f"Best run (row {f['row']}): deflated Sharpe ratio {f['dsr']:.2f} (psr {f['psr']:.2f})"]
    if math.isfinite(f["pbo"]):
        parts.append(f"probability of backtest overfitting {f['pbo']:.0%} (CSCV, {f['n_splits']} blocks)")
    text = "; ".join(parts) + ". A dsr below 0.95 or a PBO near 50 % says the winner may be luck."
    return f'<p class="sub" id="overfitting">{html.escape(text)}</p>'


def sweep_html(sweep: Any, *, title: str = "Parameter sweep", metric: str = "sharpe") -> str:
    """A sweep as one self-contained page: the heatmap of `metric` over the first two parameters,
    then every run ranked by it (the best three highlighted), sortable by any column."""
    names = list(sweep.parameter_names)
    picture = ""
    if len(names) >= 2:
        try:
            fig = sweep.plot_heatmap(names[1], names[0], metric)
            picture = f'<h2 id="heatmap">{html.escape(figure_label(metric))} by parameter</h2>'
            picture += f'<div class="fig">{_png(fig, "heatmap of " + metric)}</div>'
        except ImportError as exc:
            picture = f"<p>No heatmap: {html.escape(str(exc))}.</p>"
        except ValueError as exc:  # every run failed: nothing to draw
            picture = f"<p>No heatmap: {html.escape(str(exc))}</p>"
    return (
        f'<!DOCTYPE html><html lang="en"><head><meta charset="utf-8"><title>{html.escape(title)}</title>'
        f"<style>{_CSS}{_SWEEP_CSS}</style></head><body><h1>{html.escape(title)}</h1>"
        f'<div class="sub">{_sweep_heading(sweep)}</div>{_overfitting_line(sweep, metric)}{picture}'
        f'<h2 id="runs">Runs by {html.escape(figure_label(metric))}</h2>'
        f'<p class="sub">Best first; the three best highlighted; click a heading to sort.</p>'
        f"{_sweep_table(sweep, None, metric)}<script>{_TABLE_SCRIPT}</script></body></html>\n"
    )


def write_sweep(sweep: Any, path: Any, *, title: str = "Parameter sweep", metric: str = "sharpe") -> None:
    """`Sweep.to_html`: the page written to `path`."""
    text = sweep_html(sweep, title=title, metric=metric)
    with open(path, "w", encoding="utf-8") as out:
        out.write(text)


def sweep_summary_html(sweep: Any, rows: int = 10) -> str:
    """The notebook view of a sweep: its `rows` best runs by Sharpe ratio."""
    return (
        f"<div><style>{_CSS}{_SWEEP_CSS}</style><b>zelvor Sweep</b>"
        f'<p class="sub">{_sweep_heading(sweep)} The {min(rows, len(sweep.table))} best by Sharpe:</p>'
        f"{_sweep_table(sweep, rows)}</div>"
    )
