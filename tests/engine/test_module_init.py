"""Initialisation of the engine module and its binding to the recorder's published entries."""

import inspect
import subprocess
import sys
import textwrap

import pytest
from market_fixtures import DEFAULTS, PARAMETER_NAMES, SIGNATURES

# Puts a stand-in recorder whose table holds `entries` (name -> capsule name) into sys.modules, then
# imports the engine and prints the outcome.
STAND_IN = textwrap.dedent(
    """
    import ctypes, sys, types
    new_capsule = ctypes.pythonapi.PyCapsule_New
    new_capsule.restype = ctypes.py_object
    new_capsule.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    entries = {entries!r}
    names = [text.encode() for text in (entries or dict()).values()]  # must outlive the capsules
    stand_in = types.ModuleType("zelvor.core.quelmo")
    if entries is not None:
        stand_in.__pyx_capi__ = {{k: new_capsule(8, n, None) for k, n in zip(entries, names)}}
    import zelvor.core
    sys.modules["zelvor.core.quelmo"] = stand_in
    try:
        import zelvor.core.trevane as trevane
    except Exception as error:
        print(type(error).__name__ + ": " + str(error))
    else:
        print("imported", trevane.quelmo is stand_in)
    """
)


def import_with_stand_in(entries):
    code = STAND_IN.format(entries=entries)
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.strip()


def without(name):
    return {k: v for k, v in SIGNATURES.items() if k != name}


@pytest.mark.slow
@pytest.mark.parametrize(
    ("entries", "expected"),
    [
        (SIGNATURES, "imported True"),
        (
            {**SIGNATURES, "end_analysis": "PyObject *(std::map<int,double> &)"},
            "TypeError: C function zelvor.core.quelmo.end_analysis has wrong signature "
            "(expected PyObject *(std::map<int,double>  &), got PyObject *(std::map<int,double> &))",
        ),
        (without("entry"), "ImportError: zelvor.core.quelmo does not export expected C variable entry"),
        (
            {**SIGNATURES, "position": "double *"},
            "TypeError: C variable zelvor.core.quelmo.position has wrong signature "
            "(expected PyArrayObject *, got double *)",
        ),
        (
            without("record_exit"),
            "ImportError: zelvor.core.quelmo does not export expected C function record_exit",
        ),
        (
            {**SIGNATURES, "start_analysis": SIGNATURES["start_analysis"].replace("> ,", ">,")},
            "TypeError: C function zelvor.core.quelmo.start_analysis has wrong signature (expected "
            + SIGNATURES["start_analysis"]
            + ", got "
            + SIGNATURES["start_analysis"].replace("> ,", ">,")
            + ")",
        ),
        (None, "AttributeError: module 'zelvor.core.quelmo' has no attribute '__pyx_capi__'"),
    ],
    ids=["exact", "one-blank", "no-entry", "variable-text", "no-record_exit", "start-text", "no-table"],
)
def test_binding_by_name_and_signature_text(entries, expected):
    assert import_with_stand_in(entries) == expected


@pytest.mark.slow
def test_fresh_module_state():
    code = textwrap.dedent(
        """
        import zelvor.core.trevane as t
        print(t.RESAMPLE, t.RETAIN_COST_WHEN_REBALANCE, t.get_stock_operations(), t.__test__)
        print(hasattr(t, "stock_operations"), t.get_trade_stocks(None, None, False))
        """
    )
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split("\n")[:2] == ["None False {} {}", "False ([], {})"]


def test_namespace_and_defaults():
    import datetime

    import numpy

    from zelvor.core import quelmo, trevane

    assert trevane.org_np is numpy
    assert trevane.quelmo is quelmo
    assert trevane.datetime is datetime
    parameters = inspect.signature(trevane.backtest_).parameters
    assert tuple(parameters) == PARAMETER_NAMES
    defaults = {name: p.default for name, p in parameters.items() if p.default is not inspect.Parameter.empty}
    # repr tells 1.0 from 1 and False from 0; the infinities are org_np.inf
    assert {name: repr(value) for name, value in defaults.items()} == {n: repr(v) for n, v in DEFAULTS.items()}
    for name, params in [
        ("get_trade_stocks", ["pos_columns", "price_index", "touched_exit"]),
        ("normalize_weight", ["weights", "position_limit"]),
        ("ioft", ["v"]),
        ("get_stock_operations", []),
    ]:
        assert list(inspect.signature(getattr(trevane, name)).parameters) == params


def test_reimport_gives_the_same_module_and_keeps_its_state():
    import importlib

    from market_fixtures import positional, small_market

    from zelvor.core import trevane

    market = small_market()
    trevane.backtest_(*positional(market))
    operations = trevane.get_trade_stocks(market["pos_columns"], market["price_index"], False)[1]
    del sys.modules["zelvor.core.trevane"]
    try:
        again = importlib.import_module("zelvor.core.trevane")
        assert again is trevane
        assert again.get_trade_stocks(market["pos_columns"], market["price_index"], False)[1] is operations
    finally:
        sys.modules["zelvor.core.trevane"] = trevane


BACKTEST_TEXT_SIGNATURE = (
    "($module, /, price_values, close_values, high_values, low_values, open_values, price_index, price_columns, "
    "pos_values, pos_index, pos_columns, resample, fee_ratio=0.001425, tax_ratio=0.003, stop_loss=1.0, "
    "take_profit=org_np.inf, trail_stop=org_np.inf, trail_stop_activation=0.0, touched_exit=False, "
    "position_limit=1.0, retain_cost_when_rebalance=False, stop_trading_next_period=True, quelmo_window=0, "
    "quelmo_window_step=1, periodically_rebalance=True, delisting_bars=None)"
)


def test_backtest_documents_every_parameter_and_keeps_its_text_signature():
    from zelvor.core import trevane

    # The signature text is made from the parameter table; callers' introspection depends on it.
    assert trevane.backtest_.__text_signature__ == BACKTEST_TEXT_SIGNATURE
    documented = [line.split(" : ")[0] for line in trevane.backtest_.__doc__.splitlines() if " : " in line]
    assert tuple(documented) == PARAMETER_NAMES


def test_run_native_introspects_with_backtests_option_defaults():
    from zelvor.core import trevane

    # The options between the arrays and delisting_bars, named and defaulted as backtest_ does.
    run = inspect.signature(trevane._run_native).parameters
    backtest = inspect.signature(trevane.backtest_).parameters
    options = [name for name, p in backtest.items() if p.default is not inspect.Parameter.empty][:-1]
    assert list(run) == ["inputs", *options, "stats", "stats_only", "excursions"]
    assert [repr(run[name].default) for name in options] == [repr(backtest[name].default) for name in options]
    assert (run["stats"].default, run["stats_only"].default, run["excursions"].default) == (None, False, True)


def test_the_stub_declares_backtest_as_the_module_does():
    import ast
    from pathlib import Path

    from zelvor.core import trevane

    stub = Path(__file__).resolve().parents[2] / "src" / "zelvor" / "core" / "trevane.pyi"
    tree = ast.parse(stub.read_text())
    backtest = next(node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == "backtest_")
    assert tuple(a.arg for a in backtest.args.args) == PARAMETER_NAMES
    # the infinite defaults are written `...` in the stub
    stub_defaults = [
        None if isinstance(d, ast.Constant) and d.value is ... else ast.literal_eval(d) for d in backtest.args.defaults
    ]
    table = [None if value == float("inf") else value for value in DEFAULTS.values()]
    assert [repr(d) for d in stub_defaults] == [repr(d) for d in table]
    assert ast.get_docstring(backtest) == trevane.backtest_.__doc__
