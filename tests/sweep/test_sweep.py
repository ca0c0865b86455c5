"""zelvor.sweep: the table, its order and identity across backends, failures, best and heatmap."""

from __future__ import annotations

import gc
import io
import math
import os
import pickle
import sys
import time
import warnings

import pandas as pd
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from sweep_helpers import assert_bit_identical

import zelvor
from zelvor import _figures
from zelvor.datasets import momentum_weights
from zelvor.sweeps import _backends, _worker

if not hasattr(zelvor, "backtest"):
    pytest.skip("needs the Python layer (zelvor.Market, zelvor.backtest)", allow_module_level=True)

# Worker processes and clusters are plain Python; under the sanitizer build (slow, every process
# instrumented) the serial tests cover the engine calls.
needs_workers = pytest.mark.skipif(
    bool(os.environ.get("ZELVOR_SANITIZED")), reason="worker processes are not run under the sanitizers"
)


def _installed(module: str) -> bool:
    try:
        __import__(module)
    except ImportError:
        return False
    return True


needs_joblib = pytest.mark.skipif(not _installed("joblib"), reason="needs the sweep extra (joblib)")


GRID = {"stop_loss": [None, 0.05, -1.0], "take_profit": [None, 0.2], "lookback": [10, 40]}


@pytest.fixture(scope="module")
def serial(market, momentum):
    return zelvor.sweep(momentum, market, GRID, backend="serial", progress=False, top=4)


def test_table_layout_order_and_values(serial, market, momentum):
    table = serial.table
    # The period, then the sweep's figures: the report's (a float Series without the period),
    # less those the report adds once per report.
    extra = set(_figures.TRADE_KEYS + _figures.RETURN_KEYS)
    stats_fields = [k for k in zelvor.backtest(momentum(market, top=4), market).stats().index if k not in extra]
    assert list(table.columns) == [
        "stop_loss",
        "take_profit",
        "lookback",
        "start",
        "end",
        *stats_fields,
        "dsr",
        "error",
    ]
    # Cartesian product in the dict's order, the last key varying fastest.
    assert [tuple(p.values()) for p in serial.params][:3] == [(None, None, 10), (None, None, 40), (None, 0.2, 10)]
    assert len(table) == 12 and list(table.index) == list(range(12))
    for row, params in enumerate(serial.params):
        if params["stop_loss"] == -1.0:
            continue
        expected = zelvor.backtest(
            momentum(market, top=4, lookback=params["lookback"]),
            market,
            stop_loss=params["stop_loss"],
            take_profit=params["take_profit"],
        ).stats()[stats_fields]
        got = table.loc[row, expected.index]
        for name, value in expected.items():
            assert got[name] == value or (pd.isna(got[name]) and pd.isna(value)), (row, name)
        assert table.loc[row, "error"] == ""


def test_failing_set_is_recorded_and_the_sweep_goes_on(serial):
    table = serial.table
    failed = table[table["stop_loss"] == -1.0]
    assert len(failed) == 4
    for message in failed["error"]:
        assert message.startswith("ValueError: ") and "stop_loss" in message
    assert failed["sharpe"].isna().all()
    assert (table.loc[table["stop_loss"] != -1.0, "error"] == "").all()
    assert "4 failed" in repr(serial)


@needs_workers
@needs_joblib
def test_processes_give_the_same_table_bit_for_bit(serial, market, momentum):
    for n_jobs in (1, 2):
        result = zelvor.sweep(momentum, market, GRID, n_jobs=n_jobs, backend="processes", progress=False, top=4)
        assert_bit_identical(serial.table, result.table)


@needs_workers
@needs_joblib
def test_processes_give_the_same_figures_bit_for_bit_on_a_long_market(momentum):
    # Over 10,000 rows a dot product of the returns would go through a threaded BLAS in this
    # process and a one-thread BLAS in each worker, and round differently: the figures are sums
    # in a fixed order instead. Few stocks and sets keep this cheap.
    market = zelvor.Market.synthetic(stocks=6, years=40, seed=11)
    assert len(market.dates) > 10_000
    grid = {"stop_loss": [None, 0.1], "take_profit": [None, 0.3]}
    options = {"top": 3, "benchmark": str(market.stocks[0]), "progress": False}
    serial = zelvor.sweep(momentum, market, grid, backend="serial", **options)
    result = zelvor.sweep(momentum, market, grid, backend="processes", n_jobs=2, **options)
    assert (serial.table["error"] == "").all()
    assert_bit_identical(serial.table, result.table)


@pytest.mark.slow
@needs_workers
def test_dask_gives_the_same_table_bit_for_bit(serial, market, dask_client, momentum):
    result = zelvor.sweep(momentum, market, GRID, backend="dask", client=dask_client, progress=False, top=4)
    assert_bit_identical(serial.table, result.table)
    # Nothing of the sweep stays on the cluster (releasing is asynchronous: give it a moment).
    # (A future still referenced from a reference cycle is released only when the collector runs.)
    deadline = time.monotonic() + 60
    while dask_client.who_has() and time.monotonic() < deadline:
        gc.collect()
        time.sleep(0.1)
    assert not dask_client.who_has()


@pytest.mark.slow
@needs_workers
def test_dask_without_a_client_starts_and_closes_its_cluster(market, momentum):
    pytest.importorskip("distributed")
    psutil = pytest.importorskip("psutil")
    before = {p.pid for p in psutil.Process().children(recursive=True)}
    grid = {"stop_loss": [None, 0.1]}
    result = zelvor.sweep(momentum, market, grid, backend="dask", n_jobs=2, progress=False)
    expected = zelvor.sweep(momentum, market, grid, backend="serial", progress=False)
    assert_bit_identical(expected.table, result.table)
    left = [p for p in psutil.Process().children(recursive=True) if p.pid not in before]
    assert not [p for p in left if p.is_running() and p.status() != psutil.STATUS_ZOMBIE]


@settings(max_examples=15, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(
    sets=st.lists(
        st.fixed_dictionaries(
            {},
            optional={
                "stop_loss": st.sampled_from([None, 0.03, 0.1]),
                "take_profit": st.sampled_from([None, 0.15]),
                "top": st.integers(1, 6),
                "lookback": st.sampled_from([5, 20]),
                "fee_ratio": st.sampled_from([0.0, 0.001]),
            },
        ),
        min_size=1,
        max_size=5,
    )
)
def test_list_of_dicts_rows_match_single_runs(market, sets, momentum):
    result = zelvor.sweep(momentum, market, sets, backend="serial", progress=False)
    table = result.table
    assert result.params == sets and len(table) == len(sets)
    for row, params in enumerate(sets):
        options = {k: v for k, v in params.items() if k not in ("top", "lookback")}
        strategy = {k: v for k, v in params.items() if k in ("top", "lookback")}
        expected = zelvor.backtest(momentum(market, **strategy), market, **options).stats()
        assert table.loc[row, "total_return"] == expected["total_return"]
        assert table.loc[row, "trades"] == expected["trades"]
        for key in result.parameter_names:  # a key missing from a set is blank in its row
            value = table.loc[row, key]
            assert value == params[key] if params.get(key) is not None else pd.isna(value)


def test_weights_are_computed_once_per_strategy_parameters(market, momentum):
    calls = []

    def counted(market, lookback):
        calls.append(lookback)
        return momentum(market, lookback=lookback)

    grid = {"lookback": [10, 30], "stop_loss": [None, 0.05, 0.1]}
    zelvor.sweep(counted, market, grid, backend="serial", progress=False)
    assert calls == [10, 30]


def int_top(market, top=5):
    """Momentum weights that, like many strategies, take a count (alone or in a tuple) and nothing else."""
    count = top[0] if type(top) is tuple and len(top) == 1 else top
    if type(count) is not int:
        raise TypeError(f"top must be an int, got {type(count).__name__}")
    return momentum_weights(market, top=count)


@pytest.mark.parametrize("backend", ["serial", pytest.param("processes", marks=[needs_workers, needs_joblib])])
def test_weights_cache_tells_equal_values_of_different_types_apart(market, backend):
    # 5 == 5.0 and 1 == True (and so do tuples of them): each set still gets its own weights call.
    sets = [{"top": 5}, {"top": 5.0}, {"top": 1}, {"top": True}, {"top": (1,)}, {"top": (True,)}]
    result = zelvor.sweep(int_top, market, sets, backend=backend, n_jobs=1, progress=False)
    errors = result.table["error"].tolist()
    assert errors[0::2] == ["", "", ""], errors
    assert errors[1::2] == [f"TypeError: top must be an int, got {t}" for t in ("float", "bool", "bool")]


def test_dataframe_weights_with_fixed_options(market, momentum):
    weights = momentum(market)
    result = zelvor.sweep(weights, market, {"take_profit": [0.1, 0.3]}, backend="serial", progress=False, fee_ratio=0)
    for row, tp in enumerate([0.1, 0.3]):
        expected = zelvor.backtest(weights, market, take_profit=tp, fee_ratio=0).stats()
        assert result.table.loc[row, "sharpe"] == expected["sharpe"]


def test_progress_bar_shows_only_when_asked(market, capsys, monkeypatch, momentum):
    grid = {"stop_loss": [None, 0.1]}
    zelvor.sweep(momentum, market, grid, backend="serial", progress=False)
    zelvor.sweep(momentum, market, grid, backend="serial", progress=True)  # stderr is not a terminal here
    assert capsys.readouterr().err == ""
    pytest.importorskip("tqdm")
    zelvor.sweep(momentum, market, grid, backend="serial", progress="force")
    err = capsys.readouterr().err
    assert "2/2" in err and "run/s" in err

    class Terminal(io.StringIO):
        def isatty(self):
            return True

    monkeypatch.setattr(sys, "stderr", Terminal())
    zelvor.sweep(momentum, market, grid, backend="serial", progress=True)
    assert "2/2" in sys.stderr.getvalue()


@pytest.mark.parametrize(
    ("kwargs", "error", "words"),
    [
        ({"n_jobs": 0}, ValueError, "n_jobs"),
        ({"n_jobs": -2}, ValueError, "n_jobs"),
        ({"n_jobs": 2.0}, TypeError, "n_jobs"),
        ({"n_jobs": True}, TypeError, "n_jobs"),
        ({"backend": "mpi"}, ValueError, "backend"),
        ({"backend": 3}, TypeError, "backend"),
        ({"client": object()}, ValueError, "client"),
        ({"client": object(), "backend": "dask"}, TypeError, "client"),
        ({"progress": "yes"}, ValueError, "progress"),
        ({"progress": 1}, TypeError, "progress"),
        ({"grid": {}}, ValueError, "grid"),
        ({"grid": []}, ValueError, "grid"),
        ({"grid": {"stop_loss": []}}, ValueError, "grid['stop_loss']"),
        ({"grid": {"stop_loss": 0.1}}, TypeError, "grid['stop_loss']"),
        ({"grid": {"trade_at": "open"}}, TypeError, "grid['trade_at']"),
        ({"grid": [{"stop_loss": 0.1}, 0.2]}, TypeError, "grid[1]"),
        ({"grid": "stop_loss"}, TypeError, "grid"),
        ({"grid": {1: [0.1]}}, TypeError, "grid keys"),
        ({"grid": {"sharpe": [1]}}, ValueError, "'sharpe'"),
        ({"grid": {"stop_loss": [0.1]}, "stop_loss": 0.2}, ValueError, "stop_loss"),
        ({"grid": {"lookback": [5]}, "weights": "frame"}, ValueError, "'lookback'"),
        ({"grid": {"stoploss": [0.1]}}, ValueError, "'stoploss'"),
        ({"weights": 3}, TypeError, "weights"),
        ({"market": "prices"}, TypeError, "market"),
        ({"weights": lambda market, top: momentum_weights(market, top)}, ValueError, "'top'"),
    ],
)
def test_bad_arguments_are_named_before_any_run(market, kwargs, error, words, momentum):
    args = {"weights": momentum, "market": market, "grid": {"stop_loss": [0.1]}, "progress": False}
    args.update(kwargs)
    if args["weights"] == "frame":
        args["weights"] = momentum(market)
    with pytest.raises(error) as info:
        zelvor.sweep(**args)
    assert words in str(info.value)


def test_best_reruns_the_best_row(serial):
    params, report = serial.best("sharpe")
    table = serial.table
    best_row = table["sharpe"].idxmax()
    assert params == serial.params[best_row]
    assert report.stats()["sharpe"] == table.loc[best_row, "sharpe"]
    # Lower is better for volatility; `minimize` overrides.
    assert serial.best("annual_volatility").params == serial.params[table["annual_volatility"].idxmin()]
    assert serial.best("sharpe", minimize=True).params == serial.params[table["sharpe"].idxmin()]
    with pytest.raises(ValueError, match="'nope'"):
        serial.best("nope")
    with pytest.raises(ValueError, match="not numeric"):
        serial.best("start")


def test_best_with_every_run_failed(market, momentum):
    result = zelvor.sweep(momentum, market, {"stop_loss": [-1.0, 0.0]}, backend="serial", progress=False)
    assert list(result.table.columns) == ["stop_loss", "error"]
    with pytest.raises(ValueError, match="sharpe") as info:
        result.best("sharpe")
    # It says why there is nothing to rank, with the first set's error (not "one of: " and nothing).
    assert "every set of the sweep failed" in str(info.value)
    assert "ValueError: stop_loss" in str(info.value)


def test_heatmap_cells_are_the_table_aggregated(serial):
    pytest.importorskip("matplotlib")
    import matplotlib

    matplotlib.use("Agg")
    fig = serial.plot_heatmap("take_profit", "stop_loss", "sharpe")
    image = fig.axes[0].images[0].get_array()
    table = serial.table
    # Rows: stop_loss None, 0.05, -1.0 (all failed: blank); columns: take_profit None, 0.2;
    # each cell the mean over the two look-backs.
    for i, stop in enumerate([None, 0.05]):
        for j, tp in enumerate([None, 0.2]):
            rows = [r for r, p in enumerate(serial.params) if p["stop_loss"] == stop and p["take_profit"] == tp]
            assert image[i, j] == pytest.approx(table.loc[rows, "sharpe"].mean(), rel=1e-12)
    assert image.mask[2].all()
    assert [t.get_text() for t in fig.axes[0].get_yticklabels()] == ["off", "0.05", "-1"]
    with pytest.raises(ValueError, match="'lookbacks'"):
        serial.plot_heatmap("lookbacks", "stop_loss")


def test_the_market_travels_once(market, momentum):
    """A job with the market pickles each price matrix once, out of band (a buffer for Dask on
    other machines); the job tasks carry on one machine holds only handles to the shared files."""
    job = _worker._Job("t", momentum, market, {}, frozenset())
    buffers = []
    payload = pickle.dumps(job, protocol=5, buffer_callback=buffers.append)
    distinct = {id(market.close), id(market.open), id(market.high), id(market.low)}
    matrix_bytes = market.close.to_numpy().nbytes
    assert sum(len(b.raw()) == matrix_bytes for b in buffers) == len(distinct)
    assert len(payload) < 64 * 1024  # dates, labels and the function: no price data in band
    copy = pickle.loads(payload, buffers=buffers)
    for name in ("close", "open", "high", "low"):
        pd.testing.assert_frame_equal(getattr(copy.market, name), getattr(market, name))

    call_dirs: list[str] = []
    shipped = _backends._shipped_job(job, call_dirs)
    buffers.clear()
    payload = pickle.dumps(shipped, protocol=5, buffer_callback=buffers.append)
    assert len(payload) + sum(len(b.raw()) for b in buffers) < 64 * 1024
    assert call_dirs == []  # callable weights travel as they are


@settings(max_examples=200, deadline=None)
@given(n_sets=st.integers(1, 5000), n_workers=st.integers(1, 64), per_worker=st.sampled_from([None, 1, 2, 4]))
def test_tasks_cover_the_grid_in_order(n_sets, n_workers, per_worker):
    parts = _backends._split(n_sets, n_workers, per_worker)
    assert [i for part in parts for i in part] == list(range(n_sets))
    assert all(0 < len(part) <= _backends._MAX_SETS_PER_TASK for part in parts)
    assert len(parts) >= min(n_sets, n_workers * (per_worker or _backends._TASKS_PER_WORKER))


@needs_workers
@needs_joblib
def test_no_warning_on_a_clean_run(market, momentum):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        result = zelvor.sweep(momentum, market, {"stop_loss": [0.1]}, backend="processes", n_jobs=2, progress=False)
    assert result.table["error"].tolist() == [""]
    assert math.isfinite(result.table["sharpe"][0])
