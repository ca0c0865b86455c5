"""A sweep's own text and JSON: the best runs by Sharpe ratio, failures counted, parameters as given."""

import json
import math

import numpy as np
import pytest

import zelvor
from zelvor._render.text import SWEEP_FIGURES


@pytest.fixture(scope="module")
def result():
    market = zelvor.Market.synthetic(stocks=30, years=2, seed=3)
    close = market.close
    weights = (close.ffill().pct_change(40, fill_method=None).rank(axis=1, ascending=False) <= 5).resample("ME").last()
    grid = {"stop_loss": [None, 0.05, 0.1], "take_profit": [None, 0.125, 0.3]}
    return zelvor.sweep(weights, market, grid, backend="serial", progress=False)


@pytest.fixture(scope="module")
def broken(result):
    """The same sweep with its best run marked failed (its figures NaN, as a failed run's are)."""
    table = result.table.copy()
    best = int(np.nanargmax(table["sharpe"].to_numpy()))
    table.loc[best, "error"] = "ValueError: boom"
    table.loc[best, [c for c in table.columns if c not in result.parameter_names and c != "error"]] = np.nan
    return type(result)(table=table, params=result.params, parameter_names=result.parameter_names,
                        seconds=result.seconds, _job=result._job)  # fmt: skip


def test_text_shows_the_best_runs_and_counts_the_failed(broken):
    lines = broken.to_text(3, title="Grid").splitlines()
    assert lines[0] == "Grid"
    assert lines[1].startswith("Sweep              9 runs (stop-loss x take-profit) in ") and lines[1].endswith(
        ", 1 failed"
    )
    header = next(i for i, line in enumerate(lines) if line.split()[:1] == ["stop_loss"])
    assert lines[header].split() == ["stop_loss", "take_profit", *SWEEP_FIGURES]
    shown = [float(line.split()[4]) for line in lines[header + 1 : header + 4]]
    # The three best Sharpe ratios of the runs that did not fail, best first (four decimals).
    expected = sorted(broken.table["sharpe"].dropna(), reverse=True)[:3]
    assert shown == pytest.approx(expected, abs=5e-5)
    assert lines[header + 4] == "" and lines[header + 5].startswith("Best row (")


def test_json_has_one_object_per_run_with_its_parameters_as_given(broken, tmp_path):
    path = tmp_path / "sweep.json"
    text = broken.to_json(path, indent=1)
    assert path.read_text(encoding="utf-8") == text
    rows = json.loads(text)
    assert len(rows) == len(broken.table)
    # None (an option that is off) stays null; the table holds NaN there.
    assert [{k: r[k] for k in broken.parameter_names} for r in rows] == broken.params
    for row, (_, expected) in zip(rows, broken.table.iterrows(), strict=True):
        assert row["error"] == expected["error"]
        sharpe = expected["sharpe"]
        assert row["sharpe"] == (None if math.isnan(sharpe) else sharpe)
        assert row["start"] == (None if row["error"] else expected["start"].isoformat())
