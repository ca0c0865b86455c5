"""`Report.stats()` and `Report.trades` of one seeded run, compared bit for bit with files kept in
tests/layer/golden/.

Any change to a figure, a trade, the order of either or a column's type fails here, down to the
last bit of a float (the files hold each float as its shortest exact decimal, `repr`, which reads
back to the same bits). When a change is meant to move these numbers, rewrite the files with

    python -m pytest tests/layer/test_golden.py --update-golden

and read `git diff tests/layer/golden` before committing it:

- every changed number is one the change meant to change, and by about what it should (a
  rounding-level change in the last digits of a few figures is what reordering a sum does; a
  change in the leading digits needs a reason of its own);
- no trade appeared, vanished or moved rows unless the change is about which trades are made;
- the columns and their types (the header line) are the same unless the change is about them.

Say in the commit message why the numbers moved.
"""

from __future__ import annotations

import math
from pathlib import Path

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st

import zelvor

GOLDEN = Path(__file__).resolve().parent / "golden"

# The golden run: the shared seeded market, its prices rounded to cents, and the shared strategy,
# with every kind of exit the engine makes on it (rebalances, stop-loss, take-profit and
# trailing-stop exits filled intraday, open trades). The synthetic prices come out of NumPy's exp,
# whose last bit differs between NumPy versions (1.23 and 2.x) and CPUs; rounded to cents they are
# the same numbers everywhere, and so is everything computed from them.
RUN = {"stop_loss": 0.08, "take_profit": 0.2, "trail_stop": 0.12, "trail_stop_activation": 0.1, "touched_exit": True}

HEADER = """\
# {what} of the golden run of tests/layer/test_golden.py (the shared synthetic market with its
# prices rounded to cents, momentum with top=5, lookback=20, and {run}).
# Written by `python -m pytest tests/layer/test_golden.py --update-golden`: before committing a new
# version, read its diff as that file's docstring says (which numbers moved, and why).
"""


def cell(value) -> str:
    """One value as text that reads back to the same value: floats as `repr` (exact), dates in
    ISO form, NaN and NaT as ``nan`` and the empty string."""
    if isinstance(value, float | np.floating):
        return repr(float(value))
    if isinstance(value, pd.Timestamp):
        return value.isoformat()
    if value is pd.NaT:
        return ""
    return str(value)


def dtype_name(dtype) -> str:
    """The dtype's name, with text columns called ``str`` whether pandas stores them as objects
    (pandas 2) or as its string type (pandas 3)."""
    if isinstance(dtype, pd.CategoricalDtype):
        return "category"
    if pd.api.types.is_string_dtype(dtype):
        return "str"
    return str(dtype)


def lines_of(frame: pd.DataFrame) -> list[str]:
    """The frame as CSV lines: a header of ``name:dtype`` and one line per row."""
    header = ",".join(f"{name}:{dtype_name(dtype)}" for name, dtype in frame.dtypes.items())
    rows = [",".join(cell(v) for v in row) for row in frame.itertuples(index=False, name=None)]
    return [header, *rows]


# Figures computed through NumPy's logarithm, whose last bits differ in the same way (NumPy 1.23
# and 2.x give `stability` about 20 ulps apart): equal to 1e-12 relative, not bit for bit.
THROUGH_LOG = {"stability"}


def golden_report(market, momentum) -> zelvor.Report:
    cents = zelvor.Market(*(getattr(market, f).round(2) for f in ("close", "open", "high", "low")))
    return zelvor.backtest(momentum(cents, top=5, lookback=20), cents, **RUN)


def differences(kept: list[str], now: list[str]) -> list[str]:
    """The rows (after the header) where the golden lines and the current ones differ."""
    found = []
    for i, (want, got) in enumerate(zip(kept, now, strict=False)):
        name, _, want_value = want.partition(",")
        got_name, _, got_value = got.partition(",")
        if want == got or (
            name in THROUGH_LOG
            and got_name == name
            and math.isclose(float(want_value), float(got_value), rel_tol=1e-12)
        ):
            continue
        found.append(f"row {i}: golden {want!r}, now {got!r}")
    return found


def tables(report) -> dict[str, pd.DataFrame]:
    stats = report.stats()
    return {
        "stats": pd.DataFrame({"name": stats.index, "value": stats.to_numpy()}),
        "trades": report.trades,
    }


@pytest.fixture(scope="module")
def current(market, momentum):
    return {name: lines_of(frame) for name, frame in tables(golden_report(market, momentum)).items()}


@pytest.mark.parametrize("name", ["stats", "trades"])
def test_equal_to_the_golden_file_bit_for_bit(current, name, request):
    path = GOLDEN / f"{name}.csv"
    what = "Report.stats()" if name == "stats" else "Report.trades"
    if request.config.getoption("--update-golden"):
        path.parent.mkdir(exist_ok=True)
        text = HEADER.format(what=what, run=", ".join(f"{k}={v}" for k, v in RUN.items()))
        path.write_text(text + "\n".join(current[name]) + "\n", encoding="utf-8")
        pytest.skip(f"{path.name} rewritten: read `git diff {path.parent}` before committing it")
    assert path.is_file(), f"{path} is missing: write it with --update-golden"
    kept = [line for line in path.read_text(encoding="utf-8").splitlines() if not line.startswith("#")]
    assert kept[0] == current[name][0], "the columns or their types changed"
    changed = differences(kept[1:], current[name][1:])
    assert not changed, f"{len(changed)} rows of {path.name} differ; the first: " + "; ".join(changed[:3])
    assert len(kept) == len(current[name]), f"{path.name} has {len(kept) - 1} rows, the run {len(current[name]) - 1}"


@given(st.floats(allow_nan=False))
def test_a_cell_reads_back_to_the_same_bits(x):
    # A float written with fewer digits (say "%.15g") would hide a change in the last bits; the
    # cell must read back to exactly x, -0.0 included, and tell x from its neighbour.
    text = cell(x)
    assert np.float64(float(text)).view(np.int64) == np.float64(x).view(np.int64)
    if math.isfinite(x):
        assert cell(float(np.nextafter(x, -math.inf if x > 0 else math.inf))) != text
