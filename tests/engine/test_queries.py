"""The engine module's query functions: normalize_weight, ioft, get_stock_operations, get_trade_stocks."""

import builtins
import datetime as dt
import inspect
import math
import types
from collections import UserDict

import numpy as np
import pytest

trevane = pytest.importorskip("zelvor.core.trevane")
from zelvor.core import quelmo  # noqa: E402

DAY = 86_400 * 10**9
NAN = float("nan")


@pytest.mark.parametrize(
    ("name", "params"),
    [
        ("normalize_weight", ["weights", "position_limit"]),
        ("ioft", ["v"]),
        ("get_stock_operations", []),
        ("get_trade_stocks", ["pos_columns", "price_index", "touched_exit"]),
    ],
)
def test_signatures(name, params):
    assert list(inspect.signature(getattr(trevane, name)).parameters) == params


# ---- normalize_weight ------------------------------------------------------


@pytest.mark.parametrize(
    ("weights", "limit", "expected"),
    [
        ({}, 1.0, {}),
        # gross 1.2 > 1: each times 1 / 1.2
        ({1: 0.5, 2: -0.7}, 1.0, {1: 0.5 * (1 / 1.2), 2: -0.7 * (1 / 1.2)}),
        # gross 0.6: no scaling, both clipped to 0.2
        ({1: 0.3, 2: 0.3}, 0.2, {1: 0.2, 2: 0.2}),
        ({1: -0.9}, 0.5, {1: -0.5}),
        # gross exactly 1 is left alone
        ({1: 0.25, 2: -0.75}, 1.0, {1: 0.25, 2: -0.75}),
        # NaN gross is not > 1: nothing scaled; NaN passes both clips; 3.0 clipped to the limit
        ({1: NAN, 2: 3.0}, 0.5, {1: NAN, 2: 0.5}),
        # ints: gross 4 -> 2 * (1 / 4)
        ({1: 2, 2: -2}, 1, {1: 0.5, 2: -0.5}),
        # a weight equal to the limit is not touched
        ({"a": 0.5, "b": -0.5}, 0.5, {"a": 0.5, "b": -0.5}),
    ],
)
def test_normalize_weight_cases(weights, limit, expected):
    result = trevane.normalize_weight(weights, limit)
    assert result is weights
    assert list(result) == list(expected)
    for key, want in expected.items():
        got = result[key]
        assert (math.isnan(got) and math.isnan(want)) or got == want, key


def test_normalize_weight_multiplies_by_the_reciprocal():
    # gross 1.8: 1.3 * (1 / 1.8) and 1.3 / 1.8 differ in the last bit
    assert 1.3 * (1 / 1.8) != 1.3 / 1.8
    result = trevane.normalize_weight({0: 1.3, 1: 0.5}, 1.0)
    assert result == {0: 1.3 * (1 / 1.8), 1: 0.5 * (1 / 1.8)}


def test_normalize_weight_clips_to_the_limit_object_and_keeps_numpy_scalars():
    limit = float("0.25")
    weights = {0: np.float64(0.9), 1: np.float64(0.1), 2: np.float64(-0.6)}  # gross 1.6
    trevane.normalize_weight(weights, limit)
    assert weights[0] is limit
    assert type(weights[1]) is np.float64 and weights[1] == np.float64(0.1) * (1 / np.float64(1.6))
    assert weights[2] == -0.25


def test_normalize_weight_leaves_weights_equal_to_the_limit_in_place():
    weights = {0: np.float64(0.5), 1: np.float64(-0.5)}
    trevane.normalize_weight(weights, 0.5)
    assert [type(w) for w in weights.values()] == [np.float64, np.float64]


def test_normalize_weight_on_a_mapping_that_is_not_a_dict():
    weights = UserDict({3: 1.5, 4: 0.5})  # gross 2
    assert trevane.normalize_weight(weights, 0.6) is weights
    assert dict(weights) == {3: 0.6, 4: 0.25}


def test_normalize_weight_none():
    with pytest.raises(AttributeError, match=r"^'NoneType' object has no attribute 'items'$"):
        trevane.normalize_weight(None, 1.0)


class BadProduct:
    """Contributes 0 to the gross weight; refuses to be scaled."""

    def __abs__(self):
        return 0.0

    def __mul__(self, other):
        raise ValueError("no scaling")


def test_normalize_weight_error_keeps_earlier_changes_and_names_the_function():
    weights = {0: 3.0, 1: BadProduct(), 2: 4.0}
    with pytest.raises(ValueError, match="no scaling") as info:
        trevane.normalize_weight(weights, 1.0)
    # gross 3 + 0 + 4 = 7: key 0 was scaled before key 1 failed, key 2 never reached
    assert weights[0] == 3.0 * (1 / 7.0)
    assert weights[2] == 4.0
    names = [frame.name for frame in info.traceback]
    assert "zelvor.core.trevane.normalize_weight" in names


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        (({},), {}, "normalize_weight() takes exactly 2 positional arguments (1 given)"),
        (({}, 1.0, 2), {}, "normalize_weight() takes exactly 2 positional arguments (3 given)"),
        (({}, 1.0), {"limit": 1}, "normalize_weight() got an unexpected keyword argument 'limit'"),
    ],
)
def test_normalize_weight_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        trevane.normalize_weight(*args, **kwargs)
    assert str(info.value) == message


# ---- ioft --------------------------------------------------------------------


def local(*fields):
    return dt.datetime(*fields, tzinfo=dt.UTC).astimezone().replace(tzinfo=None)


@pytest.mark.parametrize(
    ("v", "expected"),
    [
        (0, local(1970, 1, 1)),
        (1_600_000_000 * 10**9, local(2020, 9, 13, 12, 26, 40)),
        (1.6e18, local(2020, 9, 13, 12, 26, 40)),
        (np.int64(1_600_000_000 * 10**9), local(2020, 9, 13, 12, 26, 40)),
        (1, local(1970, 1, 1)),  # below a microsecond: lost
        (1000, local(1970, 1, 1, 0, 0, 0, 1)),
        (-DAY, local(1969, 12, 31)),
    ],
)
def test_ioft(v, expected):
    assert trevane.ioft(v) == expected


def test_ioft_divides_with_python_true_division(monkeypatch):
    # A stand-in datetime shows the quotient handed to fromtimestamp.
    stand_in = types.SimpleNamespace(datetime=types.SimpleNamespace(fromtimestamp=lambda s: s))
    monkeypatch.setattr(trevane, "datetime", stand_in)
    assert trevane.ioft(3) == 3e-9 and type(trevane.ioft(3)) is float
    assert type(trevane.ioft(np.int64(5))) is np.float64
    assert trevane.ioft(v=2**60) == float(2**60) / 1e9


def test_ioft_looks_up_datetime_at_every_call(monkeypatch):
    monkeypatch.delattr(trevane, "datetime")
    with pytest.raises(NameError, match=r"^name 'datetime' is not defined$"):
        trevane.ioft(0)
    # the built-in names are the fallback
    monkeypatch.setattr(builtins, "datetime", dt, raising=False)
    assert trevane.ioft(0) == local(1970, 1, 1)


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((), {}, TypeError, "ioft() takes exactly 1 positional argument (0 given)"),
        ((1, 2), {}, TypeError, "ioft() takes exactly 1 positional argument (2 given)"),
        ((1,), {"w": 1}, TypeError, "ioft() got an unexpected keyword argument 'w'"),
        ((1,), {"v": 1}, TypeError, "ioft() got multiple values for keyword argument 'v'"),
        (("1",), {}, TypeError, "unsupported operand type(s) for /: 'str' and 'float'"),
        ((2**1100,), {}, OverflowError, "int too large to convert to float"),
    ],
)
def test_ioft_errors(args, kwargs, error, message):
    with pytest.raises(error) as info:
        trevane.ioft(*args, **kwargs)
    assert str(info.value) == message


# ---- get_stock_operations ----------------------------------------------------


@pytest.fixture
def no_trades(monkeypatch):
    monkeypatch.setattr(trevane, "quelmo", types.SimpleNamespace(trades=[], trade_positions=[]))


@pytest.fixture
def record(no_trades):
    """The module's operations dictionary itself, restored after the test."""
    ops = trevane.get_trade_stocks(None, None, False)[1]
    saved = dict(ops)
    yield ops
    ops.clear()
    ops.update(saved)


def test_get_stock_operations_is_a_shallow_copy(record):
    record.clear()
    record.update(actions={}, weights={1: 0.5})
    first = trevane.get_stock_operations()
    second = trevane.get_stock_operations()
    assert first == second == record
    assert first is not second and first is not record
    del first["actions"]
    assert "actions" in trevane.get_stock_operations()
    second["actions"][7] = "enter"  # nested values are shared
    assert trevane.get_stock_operations()["actions"] == {7: "enter"}


def test_get_trade_stocks_returns_the_record_itself(record):
    assert trevane.get_trade_stocks(None, None, False)[1] is record
    assert trevane.get_trade_stocks(None, None, True) == ([], record)


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        ((1,), {}, "get_stock_operations() takes no arguments (1 given)"),
        ((1, 2), {}, "get_stock_operations() takes no arguments (2 given)"),
        ((), {"x": 1}, "get_stock_operations() takes no keyword arguments"),
    ],
)
def test_get_stock_operations_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        trevane.get_stock_operations(*args, **kwargs)
    assert str(info.value) == message


# ---- get_trade_stocks on stand-in records --------------------------------------

LABELS = np.array(["A", "B", "C"], dtype=object)
DATES = np.arange(10, dtype=np.int64) * 100  # row r is dated 100 r


def with_trades(monkeypatch, trades, positions):
    monkeypatch.setattr(trevane, "quelmo", types.SimpleNamespace(trades=trades, trade_positions=positions))


@pytest.mark.parametrize(
    ("touched", "exit_signal"),
    [(False, 800), (True, 900)],  # the row before the exit, or the exit row itself
)
def test_trade_rows(monkeypatch, touched, exit_signal):
    with_trades(monkeypatch, [[2, 5, 9], [0, 3, -1]], [0.25, -0.5])
    rows, _ = trevane.get_trade_stocks(LABELS, DATES, touched)
    # closed: entry row 5 (date 500, signal 400), exit row 9, held 9 - 5 rows
    assert rows[0] == ["C", 500, 900, 400, exit_signal, 0.25, 4, 5, 9]
    # open: exit fields -1, held len(DATES) - 3 = 7 rows
    assert rows[1] == ["A", 300, -1, 200, -1, -0.5, 7, 3, -1]
    assert type(rows[0][1]) is np.int64 and type(rows[1][2]) is int


def test_trade_rows_use_python_indexing(monkeypatch):
    # NumPy scalars index and subtract as themselves; entry row 0 reads its signal date at index -1.
    record = (np.int64(1), np.int64(0), np.int64(4))
    with_trades(monkeypatch, iter([record]), np.array([0.75]))
    [row], _ = trevane.get_trade_stocks(LABELS, DATES, False)
    assert row == ["B", 0, 400, 900, 300, 0.75, 4, 0, 4]
    assert type(row[6]) is np.int64 and row[7] is record[1]


@pytest.mark.parametrize(
    ("trades", "positions", "error", "message"),
    [
        ([[3, 1, 2]], [0.1], IndexError, "index 3 is out of bounds for axis 0 with size 3"),
        ([[0, 1, 10]], [0.1], IndexError, "index 10 is out of bounds for axis 0 with size 10"),
        ([[0, 1, 2], [0, 2, 3]], [0.1], IndexError, "list index out of range"),  # trade_positions[1]
        ([5], [0.1], TypeError, "'int' object is not subscriptable"),
        (7, [], TypeError, "'int' object is not iterable"),
    ],
)
def test_trade_row_errors(monkeypatch, trades, positions, error, message):
    with_trades(monkeypatch, trades, positions)
    with pytest.raises(error) as info:
        trevane.get_trade_stocks(LABELS, DATES, False)
    assert str(info.value) == message
    assert "zelvor.core.trevane.get_trade_stocks" in [frame.name for frame in info.traceback]


class Untruthy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    ("args", "kwargs", "error", "message"),
    [
        ((LABELS, DATES), {}, TypeError, "get_trade_stocks() takes exactly 3 positional arguments (2 given)"),
        (
            (LABELS, DATES, False, 1),
            {},
            TypeError,
            "get_trade_stocks() takes exactly 3 positional arguments (4 given)",
        ),
        (
            (LABELS, DATES, False),
            {"price_index": DATES},
            TypeError,
            "get_trade_stocks() got multiple values for keyword argument 'price_index'",
        ),
        (
            ([], DATES, False),
            {},
            TypeError,
            "Argument 'pos_columns' has incorrect type (expected numpy.ndarray, got list)",
        ),
        # the truth of touched_exit is taken before the arrays are checked
        (([], DATES, Untruthy()), {}, ZeroDivisionError, "no truth"),
        (
            (LABELS.reshape(1, 3), DATES, False),
            {},
            ValueError,
            "Buffer has wrong number of dimensions (expected 1, got 2)",
        ),
        (
            (LABELS, DATES.astype(float), False),
            {},
            ValueError,
            "Buffer dtype mismatch, expected 'int64_t' but got 'double'",
        ),
    ],
)
def test_get_trade_stocks_argument_errors(no_trades, args, kwargs, error, message):
    with pytest.raises(error) as info:
        trevane.get_trade_stocks(*args, **kwargs)
    assert str(info.value) == message


# ---- get_trade_stocks after a run ----------------------------------------------


@pytest.mark.parametrize("touched", [False, True])
def test_trade_rows_of_a_run(touched):
    # One stock bought on row 1 at 1.0; row 2 trades at 1.2 with take_profit 0.1. Close-based: the
    # exit is executed on row 3; touched (high 1.2 >= 1.1): sold within row 2. Row 4 has no trade.
    prices = np.array([[1.0], [1.0], [1.2], [1.2], [1.2]])
    dates = np.arange(1, 6, dtype=np.int64) * DAY
    labels = np.array(["A"], dtype=object)
    trevane.backtest_(
        prices,
        prices,
        prices,
        prices,
        prices,
        dates,
        labels,
        np.array([[0.5]]),
        dates[:1],
        labels,
        dates[:1],
        take_profit=0.1,
        touched_exit=touched,
    )
    exit_row = 2 if touched else 3
    assert [list(t[:3]) for t in quelmo.trades] == [[0, 1, exit_row]]
    rows, ops = trevane.get_trade_stocks(labels, dates, touched)
    signal = dates[exit_row] if touched else dates[exit_row - 1]
    assert rows == [
        [
            "A",
            dates[1],
            dates[exit_row],
            dates[0],
            signal,
            quelmo.trade_positions[0],
            exit_row - 1,
            1,
            exit_row,
        ]
    ]
    assert ops is trevane.get_trade_stocks(labels, dates, touched)[1]
    assert ops == trevane.get_stock_operations()
