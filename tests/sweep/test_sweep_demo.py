"""`python -m zelvor.demo --sweep`: the grid's best rows, the heatmap page and the JSON table."""

from __future__ import annotations

import json
import re

import pytest

from zelvor import demo


@pytest.mark.slow
def test_demo_sweep_prints_the_best_rows_and_writes_the_files(tmp_path, capsys):
    pytest.importorskip("matplotlib")
    html_path, json_path = tmp_path / "sweep.html", tmp_path / "sweep.json"
    argv = [
        "--sweep",
        "--jobs",
        "1",
        "--stocks",
        "40",
        "--years",
        "2",
        "--html",
        str(html_path),
        "--json",
        str(json_path),
    ]
    assert demo.main(argv) == 0
    out = capsys.readouterr().out
    assert "Sweep              30 runs (stop-loss x take-profit)" in out
    header = next(line for line in out.splitlines() if line.lstrip().startswith("stop_loss"))
    assert header.split() == demo._SWEEP_COLUMNS
    rows = json.loads(json_path.read_text())
    assert len(rows) == 30
    assert [(r["stop_loss"], r["take_profit"]) for r in rows[:2]] == [(None, None), (None, 0.15)]
    # The printed rows are the best by Sharpe, best first.
    best = sorted(rows, key=lambda r: -r["sharpe"])[0]
    first = out.splitlines()[out.splitlines().index(header) + 1].split()
    assert float(first[4]) == pytest.approx(best["sharpe"], abs=5e-5)
    page = html_path.read_text()
    assert re.search(r"src=[\"']data:image/png;base64,[A-Za-z0-9+/=]{100,}[\"']", page)
    assert "http" not in page and "<table" in page  # nothing fetched: the page stands alone


def test_demo_sweep_rejects_bad_jobs(capsys):
    assert demo.main(["--sweep", "--jobs", "0", "--stocks", "20", "--years", "1"]) == 2
    assert "--jobs" in capsys.readouterr().err
