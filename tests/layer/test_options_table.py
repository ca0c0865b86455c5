"""The options table (zelvor._options) against what is derived from it and what it describes:
`backtest`'s and `prepare`'s signatures and docstrings, the engine's own parameter table, and the
names the engine gives its exit reasons and next-period actions."""

import inspect

import pandas as pd
import pytest

import zelvor
from zelvor import _engine
from zelvor._options import NAMES, PREPARE_NAMES, RUN_NAMES, TABLE
from zelvor._validate import check_options
from zelvor.core import trevane
from zelvor.report import ACTION_NAMES, Report

BY_NAME = {o.name: o for o in TABLE}


def shown_default(value):
    """A default as the docstrings write it: strings in double quotes, the rest as repr."""
    return f'"{value}"' if isinstance(value, str) else repr(value)


def documented(func):
    """{name: (type, default)} of the "names : type, default D" entries of the Parameters section;
    an entry naming several parameters gives each its own of "D1 and D2", or the one default."""
    section = inspect.getdoc(func).split("Parameters\n----------\n")[1].split("\n\n")[0]
    found = {}
    for line in section.splitlines():
        if line.startswith(" ") or " : " not in line:
            continue
        names, _, rest = line.partition(" : ")
        kind, _, default = rest.rpartition(", default ")
        names = names.split(", ")
        defaults = default.split(" and ") if len(names) > 1 and " and " in default else [default] * len(names)
        found.update({n: (kind, d) for n, d in zip(names, defaults, strict=True)})
    return found


def test_backtest_signature_is_the_table_in_order():
    params = list(inspect.signature(zelvor.backtest).parameters.values())[2:]
    assert tuple(p.name for p in params) == NAMES
    # repr tells 1.0 from 1 and False from 0
    assert [repr(p.default) for p in params] == [repr(o.default) for o in TABLE]
    assert [p.annotation for p in params] == [o.annotation for o in TABLE]


def test_prepare_takes_the_table_options_that_become_arrays():
    params = list(inspect.signature(zelvor.prepare).parameters.values())[2:]
    assert [(p.name, repr(p.default)) for p in params] == [(n, repr(BY_NAME[n].default)) for n in PREPARE_NAMES]


def test_backtest_docstring_gives_every_option_its_type_and_default():
    entries = documented(zelvor.backtest)
    assert {n: entries.get(n) for n in NAMES} == {o.name: (o.doc_type, shown_default(o.default)) for o in TABLE}


def test_an_option_that_accepts_none_is_off_at_none():
    # The checks accept None exactly for the options whose "off" is None, scalar or not: a stop
    # level, a delisting, a benchmark.
    accepting = [o.name for o in TABLE if o.rule is not None and o.rule.off]
    assert accepting == [o.name for o in TABLE if o.rule is not None and o.off is None]
    assert [o.name for o in TABLE if o.off is None] == [*accepting, "delisting", "benchmark"]


def test_run_takes_exactly_the_scalar_options():
    prepared = zelvor.prepare(WEIGHTS_A, MARKET)
    prepared.run(**{n: BY_NAME[n].default for n in RUN_NAMES})
    for name in PREPARE_NAMES:
        with pytest.raises(TypeError, match=rf"unknown option\(s\): {name}"):
            prepared.run(**{name: BY_NAME[name].default})


# The layer's kind of value for each kind of the engine's parameters.
ENGINE_KINDS = {"real": "real", "int32": "int", "truth": "bool", "object": "bool"}


def test_the_options_agree_with_the_engines_own_table():
    engine = {name: (kind, default) for name, kind, default in trevane._PARAMETERS}
    options = [o for o in TABLE if o.rule is not None]
    # Every scalar of the engine is an option of the layer; only delisting_bars comes from an input.
    scalars = {n for n, (kind, _) in engine.items() if kind in ENGINE_KINDS}
    assert scalars == {o.engine for o in options}
    for option in options:
        kind, default = engine[option.engine]
        assert ENGINE_KINDS[kind] == option.rule.kind, option.name
        if option.rule.off:
            # None is off: the engine gets its own default, which the layer's default (None) stands for.
            assert option.default is None
            assert repr(check_options({option.name: None})[option.name]) == repr(default)
        else:
            assert repr(option.default) == repr(default), option.name


# One stock A (and B, to rotate into), flat at 100 unless a case moves A.
DATES = pd.bdate_range("2021-01-04", periods=6)
MARKET = zelvor.Market(pd.DataFrame({"A": 100.0, "B": 100.0}, index=DATES))
WEIGHTS_A = pd.DataFrame({"A": [1.0], "B": [0.0]}, index=DATES[:1])


def market_with(a_close):
    return zelvor.Market(pd.DataFrame({"A": a_close, "B": 100.0}, index=DATES))


# Weights dated on day 0 buy A at day 1's close (100). Closes of A, hand-made so that exactly one
# thing ends the trade:
# stop_loss 0.1: day 2 closes at 80, a loss of 20 % >= 10 %, so A is sold on day 3;
# take_profit 0.2: day 2 closes at 130, a gain of 30 % >= 20 %;
# trail_stop 0.1: best 1.3 times the basis on day 2, then 1.1 on day 3, below 1.3 - 0.1;
# delisted: A is delisted on day 3; rebalance: day 2's weights move everything to B;
# open: nothing ends it.
REASON_CASES = {
    "stop_loss": ([100, 100, 80, 80, 80, 80], WEIGHTS_A, {"stop_loss": 0.1}),
    "take_profit": ([100, 100, 130, 130, 130, 130], WEIGHTS_A, {"take_profit": 0.2}),
    "trail_stop": ([100, 100, 130, 110, 110, 110], WEIGHTS_A, {"trail_stop": 0.1}),
    "delisted": ([100.0] * 6, WEIGHTS_A, {"delisting": pd.Series({"A": DATES[3]})}),
    "rebalance": (
        [100.0] * 6,
        pd.DataFrame({"A": [1.0, 0.0], "B": [0.0, 1.0]}, index=DATES[[0, 2]]),
        {},
    ),
    "open": ([100.0] * 6, WEIGHTS_A, {}),
}


def test_every_reason_of_the_engine_has_a_case():
    assert set(REASON_CASES) == set(trevane._REASONS)


@pytest.mark.parametrize("reason", sorted(REASON_CASES))
def test_each_exit_reason_is_named_as_the_engine_codes_it(reason):
    close, weights, options = REASON_CASES[reason]
    report = zelvor.backtest(weights, market_with(close), **options)
    trades = report.trades
    assert trades["exit_reason"].cat.categories.tolist() == list(trevane._REASONS)
    assert trades.loc[trades["stock"] == "A", "exit_reason"].tolist()[0] == reason
    fills = report.transactions
    reasons_of_a = fills.loc[fills["stock"] == "A", "reason"].tolist()
    # The exit's fill carries the same reason; a trade still open has none.
    assert reasons_of_a[-1] == ("rebalance" if reason == "open" else reason)
    assert fills["reason"].cat.categories.tolist() == [r for r in trevane._REASONS if r != "open"]


def test_action_names_cover_the_engines_action_codes():
    assert set(ACTION_NAMES) == set(trevane._ACTIONS)
    assert _engine.ACTIONS == trevane._ACTIONS and _engine.REASONS == trevane._REASONS


@pytest.mark.parametrize(
    ("member", "names"),
    [
        (Report.trades, lambda: trevane._REASONS),
        (Report.transactions, lambda: _engine.FILL_REASONS),
        (Report.actions, lambda: [name for name, _ in ACTION_NAMES.values()]),
    ],
)
def test_the_report_documents_every_name(member, names):
    doc = " ".join(inspect.getdoc(member).split())
    assert [n for n in names() if n not in doc] == []


@pytest.mark.parametrize(
    ("close", "action"),
    [
        # A closes at 80 on the last day, 20 % under its basis: the stop-loss is due at the next
        # session (the engine's "sl").
        ([100, 100, 100, 100, 100, 80], "stop_loss"),
        # A fell to 80 on day 2 and was sold on day 3: stopped out since the last rebalance ("sl_").
        ([100, 100, 80, 80, 80, 80], "stopped_out"),
        # Nothing happened: A is simply held ("hold" needs a pending rebalance, so no action at all).
        ([100.0] * 6, None),
    ],
)
def test_the_engines_action_codes_reach_the_report_by_name(close, action):
    report = zelvor.backtest(WEIGHTS_A, market_with(close), stop_loss=0.1)
    assert report.actions.loc["A", "action"] == action
