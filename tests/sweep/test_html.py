"""The sweep's page and notebook view: formatted as the report's, best runs first and marked."""

import re

import numpy as np
import pandas as pd
import pytest

import zelvor
from zelvor._render import page as render_page


@pytest.fixture(scope="module")
def result(market, momentum):
    weights = momentum(market, top=5, lookback=40)
    grid = {"stop_loss": [None, 0.05, 0.1], "take_profit": [None, 0.125, 0.3]}
    return zelvor.sweep(weights, market, grid, backend="serial", progress=False)


def rows_of(page):
    return re.findall(r"<tr( class=\"best\")?>(.*?)</tr>", page.split("<tbody>")[1])


def test_page_ranks_formats_and_marks_the_best(result, tmp_path):
    pytest.importorskip("matplotlib")
    path = tmp_path / "sweep.html"
    result.to_html(path, title="Grid")
    page = path.read_text(encoding="utf-8")
    assert page.startswith("<!DOCTYPE html>") and 'id="heatmap"' in page and "data:image/png;base64," in page
    rows = rows_of(page)
    assert len(rows) == len(result.table) == 9
    sharpe = result.table["sharpe"].to_numpy()
    order = np.argsort(-sharpe, kind="stable")
    # Ranked by Sharpe, best first; the three best carry the "best" class, the others none.
    assert [bool(best) for best, _ in rows] == [True] * 3 + [False] * 6
    first = rows[0][1]
    params = result.params[order[0]]
    expected = {None: "off", 0.05: "5%", 0.1: "10%", 0.125: "12.50%", 0.3: "30%"}
    assert f">{expected[params['stop_loss']]}</td>" in first and f">{expected[params['take_profit']]}</td>" in first
    row = result.table.iloc[order[0]]
    assert f">{row['total_return']:+.2%}</td>" in first and f">{row['max_drawdown']:.2%}</td>" in first
    assert f">{row['sharpe']:.2f}</td>" in first
    assert '<table class="sortable sweep">' in page and "http" not in page


def test_notebook_view_shows_the_best_rows(result):
    view = result._repr_html_()
    assert len(rows_of(view)) == 9 and "Sharpe" in view
    assert len(rows_of(render_page.sweep_summary_html(result, rows=4))) == 4


def test_failed_runs_are_last_with_their_error(result):
    table = result.table.copy()
    table.loc[0, "error"] = "ValueError: boom"
    table.loc[0, "sharpe"] = np.nan
    broken = type(result)(table=table, params=result.params, parameter_names=result.parameter_names,
                          seconds=result.seconds, _job=result._job)  # fmt: skip
    rows = rows_of(render_page.sweep_summary_html(broken, rows=20))
    assert "ValueError: boom" in rows[-1][1] and not rows[-1][0]
    assert pd.isna(table.loc[0, "sharpe"])
