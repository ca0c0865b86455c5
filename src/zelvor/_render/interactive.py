"""The interactive charts of a report page (bokeh, its scripts inlined: the page fetches nothing).

bokeh rather than plotly: its inlined scripts are about a quarter of plotly's, so a page stays
near 2.5 MB, and it works from a file with no network.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

import pandas as pd

from zelvor._stats import drawdown

if TYPE_CHECKING:
    from zelvor.report import Report

__all__ = ["interactive_parts"]

_COLORS = {"rebalance": "#7f7f7f", "stop_loss": "#d73027", "take_profit": "#1a9850", "trail_stop": "#e08214",
           "delisted": "#762a83", "open": "#000000"}  # fmt: skip


def _bokeh() -> Any:
    try:
        import bokeh
    except ImportError as exc:
        raise ImportError(
            "interactive=True needs bokeh: install the 'interactive' extra (pip install 'zelvor[interactive]')"
        ) from exc
    return bokeh


def interactive_parts(report: Report) -> tuple[str, str]:
    """(what goes in the page's head: bokeh's scripts and styles, inlined; the charts' markup)."""
    _bokeh()
    from bokeh.embed import components
    from bokeh.layouts import column
    from bokeh.models import ColumnDataSource, HoverTool, NumeralTickFormatter
    from bokeh.plotting import figure
    from bokeh.resources import Resources

    start = report.start
    equity = report.equity.loc[start:] if len(report.equity) else report.equity
    dates = pd.DatetimeIndex(equity.index)
    dates = dates.tz_localize(None) if dates.tz is not None else dates
    values = equity.to_numpy(dtype=float)
    data: dict[str, Any] = {"date": dates, "equity": values, "drawdown": drawdown(values)}
    bench = report.benchmark
    if bench is not None:
        data["benchmark"] = bench.loc[start:].to_numpy(dtype=float)
    source = ColumnDataSource(data)
    tools = "xpan,xwheel_zoom,box_zoom,reset,save"
    top = figure(height=360, sizing_mode="stretch_width", x_axis_type="datetime", tools=tools,
                 active_scroll="xwheel_zoom", title="Equity (start = 1.0): drag to pan, scroll to zoom")  # fmt: skip
    strategy = top.line("date", "equity", source=source, color="#2166ac", line_width=1.6, legend_label="strategy")
    tips = [("date", "@date{%F}"), ("equity", "@equity{0.0000}"), ("drawdown", "@drawdown{0.00%}")]
    if bench is not None:
        top.line("date", "benchmark", source=source, color="#7f7f7f", line_width=1.2, legend_label=str(bench.name))
        tips.append((str(bench.name), "@benchmark{0.0000}"))
    # One tooltip (on the strategy's line) carrying every series' value at the date.
    top.add_tools(HoverTool(tooltips=tips, formatters={"@date": "datetime"}, mode="vline", renderers=[strategy]))
    top.legend.location = "top_left"
    under = figure(height=160, sizing_mode="stretch_width", x_axis_type="datetime", x_range=top.x_range,
                   tools=tools, active_scroll="xwheel_zoom", title="Drawdown")  # fmt: skip
    under.varea(x="date", y1="drawdown", y2=0.0, source=source, color="#d73027", alpha=0.35)
    drawn = under.line("date", "drawdown", source=source, color="#d73027", line_width=1.0)
    under.yaxis.formatter = NumeralTickFormatter(format="0%")
    under.add_tools(HoverTool(tooltips=[("date", "@date{%F}"), ("drawdown", "@drawdown{0.00%}")],
                              formatters={"@date": "datetime"}, mode="vline", renderers=[drawn]))  # fmt: skip

    t = report.trades
    closed = t[t["exit_reason"] != "open"]
    exit_dates = pd.DatetimeIndex(closed["exit_date"])
    if exit_dates.tz is not None:
        exit_dates = exit_dates.tz_localize(None)
    trades = ColumnDataSource({
        "exit": exit_dates, "ret": closed["return"].to_numpy(dtype=float),
        "stock": closed["stock"].astype(str).to_numpy(), "reason": closed["exit_reason"].astype(str).to_numpy(),
        "entry": [str(d.date()) for d in closed["entry_date"]], "rows": closed["rows"].to_numpy(),
        "color": [_COLORS.get(str(r), "#7f7f7f") for r in closed["exit_reason"]],
    })  # fmt: skip
    scatter = figure(height=300, sizing_mode="stretch_width", x_axis_type="datetime", x_range=top.x_range,
                     tools=tools + ",tap", active_scroll="xwheel_zoom",
                     title="Closed trades: return at the exit date, coloured by exit reason")  # fmt: skip
    scatter.scatter("exit", "ret", source=trades, color="color", size=6, alpha=0.6)
    scatter.yaxis.formatter = NumeralTickFormatter(format="0%")
    scatter.add_tools(HoverTool(tooltips=[("stock", "@stock"), ("entry", "@entry"), ("exit", "@exit{%F}"),
                                          ("rows", "@rows"), ("return", "@ret{+0.00%}"), ("exit reason", "@reason")],
                                formatters={"@exit": "datetime"}))  # fmt: skip
    script, div = components(column(top, under, scatter, sizing_mode="stretch_width"))
    head = Resources(mode="inline", components=["bokeh"]).render()  # the core bundle is all these charts use
    return head + script, f'<h2 id="interactive">Equity, drawdown and trades</h2><div class="bk-root-box">{div}</div>'
