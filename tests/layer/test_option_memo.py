"""`OptionChecks`, the option checks a sweep call shares between its sets: every result, error
and unit-slip warning is the one `check_options` and `unit_slips` give for the same values, in
whatever order the values come and however often they repeat."""

from __future__ import annotations

import numpy as np
import pytest
from hypothesis import example, given, settings
from hypothesis import strategies as st

from zelvor._options import DEFAULTS
from zelvor._validate import OptionChecks, check_options, unit_slips

# Legal values, slips, refusals, and values that check differently while comparing equal
# (0.0 / -0.0, 1 / 1.0 / True, NaN, NumPy scalars).
VALUES = st.sampled_from(
    [None, 0, 1, True, False, 0.0, -0.0, 1.0, 0.05, 0.5, 2.0, 12, 20.0, -1.0, float("nan"), float("inf"),
     np.float64(0.05), np.float64(-0.0), np.int64(3), 10**400, "0.1", [0.1]]
)  # fmt: skip
OPTION_SETS = st.lists(st.dictionaries(st.sampled_from(sorted(DEFAULTS)), VALUES, max_size=4), min_size=1, max_size=8)


def outcome(call, *args):
    try:
        return "ok", call(*args)
    except (TypeError, ValueError) as exc:
        return type(exc), str(exc)


def same(a, b) -> bool:
    """Outcomes equal, floats by their bits (so -0.0 is not 0.0 and NaN is NaN)."""
    if a[0] != b[0]:
        return False
    if a[0] != "ok":
        return a[1] == b[1]
    x, y = a[1], b[1]
    if isinstance(x, dict):
        return x.keys() == y.keys() and all(same(("ok", x[k]), ("ok", y[k])) for k in x)
    if isinstance(x, list):
        return x == y
    return type(x) is type(y) and repr(x) == repr(y)


@settings(max_examples=150, deadline=None)
@given(OPTION_SETS, st.booleans(), st.booleans())
# Values equal as numbers that check differently: a memo keyed by value alone mixes them up.
@example([{"fee_ratio": 0.0}, {"fee_ratio": -0.0}], True, False)
@example([{"window": 1}, {"window": True}, {"window": 1.0}], True, True)
@example([{"stop_loss": 1}, {"stop_loss": 1.0}], True, False)
@pytest.mark.parametrize("limit", [4096, 1])  # 1: the memo starts again every few values
def test_checks_remembered_give_what_fresh_checks_give(limit, option_sets, has_long, has_short):
    memo = OptionChecks(limit)
    for options in option_sets * 2:  # every set twice: the second time from the memo
        given_ = {**DEFAULTS, **options}
        fresh = outcome(check_options, given_)
        assert same(outcome(memo.check, given_), fresh)
        if fresh[0] == "ok":
            sides = (given_, fresh[1], has_long, has_short)
            assert same(outcome(memo.slips, *sides), outcome(unit_slips, *sides))
