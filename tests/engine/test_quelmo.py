"""The excursion recorder's published table and native entry points, called through ctypes.

`start_analysis` and `end_analysis` take C++ maps, which ctypes cannot build: a backtest without
trades stands in for `start_analysis` (it hands the recorder its price arrays, costs and window), and
the trades are then recorded directly through `record_date`, `record_entry` and `record_exit`.
"""

import collections
import json
import subprocess
import sys
import textwrap
import traceback

import numpy as np
import pytest
from market_fixtures import SIGNATURES, dates, labels, positional

from zelvor.core import quelmo

# Shared with the fresh-interpreter check below, which runs it as source.
ACCESS = """
import ctypes
from zelvor.core import quelmo
api = ctypes.pythonapi
api.PyCapsule_GetPointer.restype = ctypes.c_void_p
api.PyCapsule_GetPointer.argtypes = [ctypes.py_object, ctypes.c_char_p]
api.PyCapsule_GetName.restype = ctypes.c_char_p
api.PyCapsule_GetName.argtypes = [ctypes.py_object]

def pointer(name, signature):
    return api.PyCapsule_GetPointer(quelmo.__pyx_capi__[name], signature.encode())

def function(name, signature, *argtypes):
    # PYFUNCTYPE keeps the interpreter lock and raises the error the function leaves set
    return ctypes.PYFUNCTYPE(None, *argtypes)(pointer(name, signature))

def variable(name):
    return ctypes.cast(pointer(name, "PyArrayObject *"), ctypes.POINTER(ctypes.py_object)).contents.value

record_date = function("record_date", "void (int)", ctypes.c_int)
record_entry = function("record_entry", "void (int, double, int)", ctypes.c_int, ctypes.c_double, ctypes.c_int)
record_exit = function("record_exit", "void (int, int)", ctypes.c_int, ctypes.c_int)
"""
_access = {}
exec(ACCESS, _access)
api, variable = _access["api"], _access["variable"]
record_date, record_entry, record_exit = (
    _access["record_date"],
    _access["record_entry"],
    _access["record_exit"],
)


def frames(error):
    return [frame.name for frame in traceback.extract_tb(error.__traceback__)]


def test_table_holds_seven_entries_in_order_under_their_exact_signature_texts():
    table = quelmo.__pyx_capi__
    assert list(table) == list(SIGNATURES)
    assert {name: api.PyCapsule_GetName(capsule).decode() for name, capsule in table.items()} == SIGNATURES


def test_namespace():
    assert quelmo.org_np is np
    lists = [quelmo.trades, quelmo.trade_positions, quelmo.quelmo]
    assert all(type(x) is list for x in lists) and len({id(x) for x in lists}) == 3
    assert quelmo.__test__ == {}
    public = [n for n in dir(quelmo) if not n.startswith("__")]
    assert sorted(public) == ["org_np", "quelmo", "trade_positions", "trades"]


FRESH = ACCESS + textwrap.dedent(
    """
    import json
    out = {"lists": [quelmo.trades, quelmo.trade_positions, quelmo.quelmo]}
    out["arrays"] = [[str(a.dtype), a.shape[0]] for a in (variable("entry"), variable("position"))]
    record_date(7)
    for call, args in ((record_entry, (0, 1.0, 1)), (record_exit, (-1, 1))):
        try:
            call(*args)
        except IndexError as error:
            out.setdefault("errors", []).append(str(error))
    out["after"] = [quelmo.trades, quelmo.trade_positions, quelmo.quelmo]
    print(json.dumps(out))
    """
)


@pytest.mark.slow
def test_before_any_start_the_arrays_are_empty_and_entries_and_exits_fail():
    done = subprocess.run([sys.executable, "-c", FRESH], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    out = json.loads(done.stdout)
    assert out["lists"] == [[], [], []]
    assert out["arrays"] == [[str(np.dtype(int)), 0], ["float64", 0]]
    assert out["errors"] == [
        "index 0 is out of bounds for axis 0 with size 0",
        "index -1 is out of bounds for axis 0 with size 0",
    ]
    assert out["after"] == [[], [], []]


# --- recording after a start ------------------------------------------------------------------------

trevane = pytest.importorskip("zelvor.core.trevane")

# Stock A in price column 0 closes 1, 2, 3, 4, 5; stock B in price column 1 trades at 10 and closes
# 10, 11, 9, 12, 13. The position columns are B, A, so position column 0 reads price column 1.
CLOSE = np.array([[1.0, 10.0], [2.0, 11.0], [3.0, 9.0], [4.0, 12.0], [5.0, 13.0]])
PRICE = np.column_stack([CLOSE[:, 0], np.full(5, 10.0)])


def run(weights, **options):
    market = {
        "price_values": PRICE,
        "close_values": CLOSE,
        "high_values": CLOSE,
        "low_values": CLOSE,
        "open_values": CLOSE,
        "price_index": dates(5),
        "price_columns": labels("A", "B"),
        "pos_values": np.array([weights], dtype=float),
        "pos_index": dates(1),
        "pos_columns": labels("B", "A"),
        "resample": dates(5),
    }
    trevane.backtest_(*positional(market), **{"fee_ratio": 0.0, "tax_ratio": 0.0, **options})


def start(**options):
    """A backtest without trades: the recorder then holds these prices and options, and no trades."""
    run([0.0, 0.0], **options)
    assert len(quelmo.trades) == len(quelmo.trade_positions) == len(quelmo.quelmo) == 0


def record(sid, size, entry_row, exit_row, entry_transaction=0, exit_transaction=0):
    record_date(entry_row)
    record_entry(sid, size, entry_transaction)
    record_date(exit_row)
    record_exit(sid, exit_transaction)


@pytest.mark.parametrize(
    ("size", "expected"),
    [
        # the worked trades on B's closes 10, 11, 9, 12 from an entry price of 10: value track
        # 1.0, 1.1, 0.9, 1.2 long, and 1.0, 0.9, 1.1, 0.8 short
        (0.5, [-0.1, 0.2, 0.1, 0.9 / 1.1 - 1, 2, 0.2]),
        (-0.5, [-0.2, 0.1, 0.1, 0.8 / 1.1 - 1, 1, -0.2]),
        (0.0, [-0.2, 0.1, 0.1, 0.8 / 1.1 - 1, 1, -0.2]),  # not above 0: short
    ],
)
def test_exit_appends_record_size_and_statistics(size, expected):
    start()
    record(0, size, 0, 3)
    [[sid, entry_row, exit_row]] = quelmo.trades
    assert (sid, entry_row, exit_row) == (0, 0, 3)
    assert type(sid) is int and type(exit_row) is int and type(entry_row) is np.dtype(int).type
    [position] = quelmo.trade_positions
    assert type(position) is np.float64 and position == size
    [stats] = quelmo.quelmo
    assert stats.dtype == np.float64 and stats.ndim == 1
    assert stats == pytest.approx(expected, rel=1e-12, abs=1e-12)


def test_entry_and_exit_costs_come_from_the_run():
    # Fee 1/8, tax 1/4. Entry with the fee: 0.875. Row 1 closes 11: 0.9625. The exit trades at 10
    # against a close of 11 (back to 0.875) and pays 1 - 1/8 - 1/4: 0.546875. The other figures stay
    # close-based: trough 0.875 at entry, peak 1, drawdown -0.125, no row in profit.
    start(fee_ratio=0.125, tax_ratio=0.25)
    record(0, 0.5, 0, 1, entry_transaction=1, exit_transaction=1)
    assert quelmo.quelmo[0] == pytest.approx([-0.125, 0.0, 0.0, -0.125, 0.0, -0.453125], abs=1e-12)


def test_window_settings_come_from_the_run():
    start(quelmo_window=5, quelmo_window_step=2)
    record(0, 0.5, 0, 1)
    stats = quelmo.quelmo[0]
    # q = floor(4 / 2) = 2: groups k = 0, 2, 4 (all inside the 5 rows) and the exit group (k = 1)
    assert len(stats) == 24 and not (stats == -1).any()


def test_a_second_entry_replaces_the_open_trade():
    start()
    record_date(0)
    record_entry(0, 0.5, 1)
    record(0, -0.25, 1, 3)
    assert quelmo.trades == [[0, 1, 3]]
    assert quelmo.trade_positions == [-0.25]
    assert (variable("entry")[0], variable("position")[0]) == (1, -0.25)


def test_negative_column_counts_from_the_end_and_an_unmapped_column_reads_price_column_0():
    start()
    record(-1, 0.5, 0, 3)
    # the arrays are indexed like Python sequences: -1 is position column 1
    assert variable("position")[1] == 0.5
    assert quelmo.trades == [[-1, 0, 3]]
    # -1 itself has no price column, so price column 0 (stock A): closes 1 -> 4, return 3
    assert quelmo.quelmo[0][5] == pytest.approx(3.0, rel=1e-12)


def test_column_outside_the_arrays():
    start()
    record_date(1)
    with pytest.raises(IndexError, match=r"^index 2 is out of bounds for axis 0 with size 2$") as caught:
        record_exit(2, 1)
    assert frames(caught.value)[-1] == "zelvor.core.quelmo.record_exit"
    assert quelmo.trades == [] and quelmo.trade_positions == [] and quelmo.quelmo == []


def test_failed_statistics_leave_the_record_and_size_appended():
    start(quelmo_window_step=0)
    with pytest.raises(ZeroDivisionError, match="^integer division or modulo by zero$") as caught:
        record(0, 0.5, 0, 2)
    # outermost first, as Python lists frames
    assert frames(caught.value)[-2:] == [
        "zelvor.core.quelmo.record_exit",
        "zelvor.core.quelmo.quelmo_analysis",
    ]
    assert quelmo.trades == [[0, 0, 2]] and quelmo.trade_positions == [0.5] and quelmo.quelmo == []


def test_lists_are_looked_up_by_name_and_emptied_in_place(monkeypatch):
    start()
    record(0, 0.5, 0, 1)
    earlier = quelmo.trades
    replacement = collections.deque()  # not a list: its own append and clear are used
    monkeypatch.setattr(quelmo, "trade_positions", replacement)
    record(1, 0.25, 1, 2)
    assert list(replacement) == [0.25] and earlier is quelmo.trades and len(earlier) == 2
    start()
    assert earlier == [] and len(replacement) == 0


def test_missing_list_is_a_name_error(monkeypatch):
    start()
    monkeypatch.delattr(quelmo, "quelmo")
    with pytest.raises(NameError, match="^name 'quelmo' is not defined$"):
        record(0, 0.5, 0, 1)
    assert quelmo.trades == [[0, 0, 1]]


def test_open_holding_is_recorded_at_the_end_with_exit_row_minus_one():
    # The engine's end_analysis: B is held from its first rebalance to the end of the data.
    run([0.5, 0.0])
    [[sid, entry_row, exit_row]] = quelmo.trades
    assert (sid, exit_row) == (0, -1)
    # analysed up to the last row without exit costs: close 13 against the entry price of 10
    assert quelmo.quelmo[0][5] == pytest.approx(CLOSE[4, 1] / PRICE[entry_row, 1] - 1, rel=1e-12)


# --- the statistics arrays' memory ------------------------------------------------------------------

try:
    from numpy._core.multiarray import get_handler_name
except ImportError:  # NumPy 1.x
    from numpy.core.multiarray import get_handler_name

RECORDER_ALLOCATOR = "zelvor_quelmo_pymem"


def data_address(array):
    return array.__array_interface__["data"][0]


def test_statistics_arrays_are_separate_arrays_with_the_recorder_allocator():
    # 150 trades: more than two of the batches in which the small arrays are made
    start(quelmo_window=5, quelmo_window_step=2)
    for n in range(150):
        record(n % 2, 0.5, n % 3, 3)
    arrays = quelmo.quelmo
    assert len(arrays) == 150 and len({id(a) for a in arrays}) == len({data_address(a) for a in arrays}) == 150
    for stats in arrays:
        assert type(stats) is np.ndarray and stats.shape == (24,) and stats.dtype == np.float64
        assert stats.flags.owndata and stats.flags.writeable and stats.flags.c_contiguous and stats.base is None
        assert get_handler_name(stats) == RECORDER_ALLOCATOR
    # equal trades, equal statistics; writing one changes no other
    assert all((a == b).all() for a, b in zip(arrays[:-6], arrays[6:], strict=True))
    arrays[0][:] = 7.0
    assert not (arrays[6] == 7.0).any()
    # only the recorder's arrays get its allocator
    assert get_handler_name() == get_handler_name(np.empty(24)) == "default_allocator"


def test_statistics_arrays_resize_and_free_through_their_allocator():
    start(quelmo_window=5, quelmo_window_step=2)
    record(0, 0.5, 0, 3)
    stats = quelmo.quelmo.pop()
    before = stats.copy()
    stats.resize(10_000, refcheck=False)  # beyond the small blocks: the allocator moves the data
    assert (stats[:24] == before).all() and (stats[24:] == 0).all()
    assert get_handler_name(stats) == RECORDER_ALLOCATOR
    stats.resize(3, refcheck=False)
    assert (stats == before[:3]).all()
    del stats  # freed through the recorder's allocator


def test_large_statistics_arrays_keep_numpys_allocator():
    # window 100, step 1: 6 * 99 + 12 = 606 elements, past the small blocks
    start(quelmo_window=100, quelmo_window_step=1)
    record(0, 0.5, 0, 3)
    [stats] = quelmo.quelmo
    assert stats.shape == (606,) and get_handler_name(stats) == "default_allocator"


@pytest.mark.parametrize(("window", "step", "length"), [(5, 2, 24), (0, 1, 6), (20, 5, 30), (5, 2, 24)])
def test_arrays_made_ahead_follow_the_window_of_the_run(window, step, length):
    # a direct exit after a run's start leaves arrays made ahead; the next start must not hand them out
    start(quelmo_window=window, quelmo_window_step=step)
    record(0, 0.5, 0, 3)
    record(1, 0.5, 0, 3)
    assert [len(a) for a in quelmo.quelmo] == [length, length]


def test_a_failed_array_leaves_numpys_allocator_in_place():
    # window -20, step 1: q = floor(-21 / 1), a length of 6 * -21 + 12 = -114
    start(quelmo_window=-20, quelmo_window_step=1)
    with pytest.raises(ValueError, match="negative dimensions are not allowed") as caught:
        record(0, 0.5, 0, 3)
    assert frames(caught.value)[-1] == "zelvor.core.quelmo.quelmo_analysis"
    assert get_handler_name() == "default_allocator"
