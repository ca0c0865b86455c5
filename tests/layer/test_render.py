"""What the rendering modules write for a report: the records JSON, the text, the figures' labels
and formats, and the shared plot helper."""

import json
import math
import re

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zelvor
from zelvor._render.format import _FIGURES, figure_text
from zelvor._render.plots import figure_axes


@pytest.fixture(scope="module")
def report(market):
    ranks = market.close.ffill().pct_change(20, fill_method=None).rank(axis=1, ascending=False)
    weights = (ranks <= 6).resample("ME").last()
    return zelvor.backtest(weights, market, stop_loss=0.06, touched_exit=True, benchmark=market.close.columns[0])


def _plain(value):
    """What the records form holds for a value: None for NaN and NaT, ISO text for a date."""
    if value is None or value is pd.NaT or (isinstance(value, float) and not math.isfinite(value)):
        return None
    return value.isoformat() if isinstance(value, pd.Timestamp) else value


def test_records_form_holds_every_row_as_plain_json(report):
    data = report.to_dict(orient="records")
    json.dumps(data, allow_nan=False)  # raises on a NaN or a value JSON cannot hold
    assert data == json.loads(report.to_json(orient="records"))
    trades = report.trades
    assert [t["pnl"] for t in data["trades"]] == trades["pnl"].tolist()
    assert [t["exit_date"] for t in data["trades"]] == [_plain(d) for d in trades["exit_date"]]
    assert [t["exit_reason"] for t in data["trades"]] == trades["exit_reason"].astype(str).tolist()
    # The index comes first, under the name the records form gives it.
    assert [r["date"] for r in data["equity"]] == [d.isoformat() for d in report.equity.index]
    assert [r["equity"] for r in data["equity"]] == report.equity.tolist()
    assert [r["stock"] for r in data["actions"]] == report.actions.index.tolist()
    monthly = report.monthly_returns()
    assert [r["year"] for r in data["monthly_returns"]] == monthly.index.tolist()
    # The yearly column shares the index's name: it is written as whole_year.
    assert [r["whole_year"] for r in data["monthly_returns"]] == [_plain(v) for v in monthly["year"]]
    assert data["stats"] == {k: _plain(v) for k, v in report.stats().items()}
    assert data["next_period"] == {k: _plain(v) for k, v in report.actions.attrs.items()}
    assert data["period"] == {"start": report.start.isoformat(), "end": report.end.isoformat()}


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda r: r.to_dict(orient="split"), ValueError, "orient must be 'table'"),
        (lambda r: zelvor.Report.read_json(r.to_json(orient="records")), ValueError, "orient='records'"),
    ],
)
def test_records_form_is_asked_for_by_name_and_not_read_back(report, call, error, message):
    with pytest.raises(error, match=message):
        call(report)


def test_text_starts_with_the_title_and_lists_at_most_max_orders(report):
    acting = report.actions["action"].notna().sum()
    assert acting > 2
    lines = report.to_text(title="Momentum\nsecond line", max_orders=2).splitlines()
    assert lines[:3] == ["Momentum", "second line", lines[2]] and lines[2].startswith("Period ")
    orders = lines[lines.index(next(x for x in lines if x.split()[:2] == ["stock", "action"])) + 1 :]
    assert len(orders) == 3 and orders[-1] == f"  ... and {acting - 2} more (all in Report.actions)"
    # Final value: the last equity, six decimals.
    final = next(x for x in lines if "Final value" in x)
    assert final.split()[-1] == f"{report.equity.iloc[-1]:.6f}"


def test_every_figure_on_the_page_has_a_label(report):
    view = report._repr_html_()
    keys = re.findall(r'<span class="k">([^<]*)</span>', view)
    assert len(keys) == len(report.stats())
    assert not set(keys) & set(report.stats().index)  # a raw name means a figure without a label


@given(name=st.sampled_from(sorted(k for k, (_, kind) in _FIGURES.items() if kind != "date")),
       value=st.floats(-1e6, 1e6, allow_nan=False))  # fmt: skip
def test_a_figure_reads_back_to_its_value_within_the_digits_shown(name, value):
    text = figure_text(name, value)
    kind = _FIGURES[name][1]
    number = float(text.rstrip("%").replace(",", ""))
    # Percentages: two decimals of the value x 100; money: four decimals; counts: the whole
    # part; other figures: two decimals.
    scale, digits = {"signed": (100, 2), "percent": (100, 2), "money": (1, 4)}.get(kind, (1, 2))
    if kind == "count":
        assert number == int(value)
    else:
        assert number == pytest.approx(value * scale, abs=0.51 * 10**-digits + 1e-9 * abs(value * scale))
    assert text.endswith("%") == (kind in ("signed", "percent"))
    if kind == "signed":
        assert text[0] in "+-"


def test_figure_axes_uses_the_callers_axes_or_names_the_count():
    plt = pytest.importorskip("matplotlib.pyplot")
    fig, axes = plt.subplots(1, 2)
    try:
        assert figure_axes("x", axes, 2, 1, "a, b") == (fig, list(axes))
        with pytest.raises(ValueError, match=r"ax must be 2 Axes \(a, b\), got 1"):
            figure_axes("x", [axes[0]], 1, 2, "a, b")
        new, made = figure_axes("x", None, 3, 1, "a, b, c")
        assert len(made) == 3 and all(a.figure is new for a in made)
        plt.close(new)
    finally:
        plt.close(fig)


def test_nan_figures_read_as_a_dash():
    assert {figure_text(k, math.nan) for k in _FIGURES} == {"–"}
    assert figure_text("start", pd.Timestamp("2021-03-04 15:00")) == "2021-03-04"
    assert figure_text("trades", np.float64(1234.0)) == "1,234"
