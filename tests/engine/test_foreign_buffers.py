"""Buffers from exporters other than NumPy, and integer options beyond every native range.

`delisting_bars` takes any object with the buffer protocol. Whatever the exporter (ctypes arrays,
`array.array`, memoryviews, a test exporter that leaves out strides or shape, or hands out
suboffsets), a call either runs exactly as with the equal NumPy array or raises the buffer error
that array's layout and element type call for; it never reads memory the buffer does not describe.
"""

import array
import ctypes
import importlib.util
import shutil
import subprocess
import sys
import sysconfig
from pathlib import Path

import numpy as np
import pytest
from fuzzing import fuzz
from hypothesis import given
from hypothesis import strategies as st
from market_fixtures import positional, small_market

trevane = pytest.importorskip("zelvor.core.trevane")
from zelvor.core import quelmo  # noqa: E402

ROOT = Path(__file__).resolve().parents[2]
CXX = shutil.which("g++") or shutil.which("c++") or shutil.which("clang++")
MARKET = small_market()  # 8 price rows, 3 position columns
N_POS = len(MARKET["pos_columns"])

# How a buffer's format character is named in "Buffer dtype mismatch" messages.
DESCRIBED = {
    "b": "'signed char'",
    "B": "'unsigned char'",
    "h": "'short'",
    "H": "'unsigned short'",
    "i": "'int'",
    "I": "'unsigned int'",
    "l": "'long'",
    "L": "'unsigned long'",
    "q": "'long long'",
    "Q": "'unsigned long long'",
    "f": "'float'",
    "d": "'double'",
    "?": "'bool'",
}


def outcome(delisting_bars, **options):
    """The whole observable result of one run, or the exception it raised as (type, message)."""
    try:
        value = trevane.backtest_(*positional(MARKET), delisting_bars=delisting_bars, **options)
    except Exception as error:  # noqa: BLE001 - the error itself is what is compared
        return type(error), str(error)
    stats = [s.tolist() for s in quelmo.quelmo]
    return value.tolist(), [list(t) for t in quelmo.trades], list(quelmo.trade_positions), stats


def assert_same(a, b):
    # NaN-aware equality of nested lists of floats
    np.testing.assert_equal(a, b)


def expected_for(buffer_format, ndim, values):
    """What a call must give: the equal NumPy run for a 1-D int64 buffer, else the buffer error."""
    if ndim != 1:
        return ValueError, f"Buffer has wrong number of dimensions (expected 1, got {ndim})"
    char = buffer_format.lstrip("@=<")
    if char in ("q", "l") and np.dtype(char).itemsize == 8:
        return outcome(np.array(values, dtype=np.int64))
    return ValueError, f"Buffer dtype mismatch, expected 'const int64_t' but got {DESCRIBED[char]}"


# ---- exporters -----------------------------------------------------------------------------------

CTYPES = {
    "q": ctypes.c_int64,
    "i": ctypes.c_int32,
    "h": ctypes.c_int16,
    "Q": ctypes.c_uint64,
    "d": ctypes.c_double,
    "f": ctypes.c_float,
    "b": ctypes.c_byte,
    "L": ctypes.c_ulong,
    "l": ctypes.c_long,
}
INTEGER_CODES = set("bBhHiIlLqQ")


def values_for(code, values):
    """The values as the element type can hold them (unsigned types get their absolute value)."""
    if code in "BHILQ":
        return [abs(v) for v in values]
    return values


def make_buffer(kind, code, values):
    """(exporter object, its logical values) for one exporter kind and element type."""
    values = values_for(code, values)
    if kind == "ctypes":
        return (CTYPES[code] * len(values))(*values), values
    if kind == "array":
        return array.array(code, values), values
    if kind == "memoryview":
        return memoryview(array.array(code, values)), values
    if kind == "strided memoryview":  # every other element of a longer buffer
        doubled = [v for v in values for _ in (0, 1)]
        return memoryview(array.array(code, doubled))[::2], values
    if kind == "reversed memoryview":  # a negative stride
        return memoryview(array.array(code, values[::-1]))[::-1], values
    if kind == "unaligned memoryview":  # items at an odd address
        size = array.array(code).itemsize
        view = memoryview(bytearray(len(values) * size + 1))[1:].cast(code)
        for k, v in enumerate(values):
            view[k] = v
        return view, values
    if kind == "memoryview of ctypes":
        return memoryview((CTYPES[code] * len(values))(*values)), values
    raise AssertionError(kind)


KINDS = [
    "ctypes",
    "array",
    "memoryview",
    "strided memoryview",
    "reversed memoryview",
    "unaligned memoryview",
    "memoryview of ctypes",
]


@st.composite
def foreign_buffer(draw):
    kind = draw(st.sampled_from(KINDS))
    codes = sorted(CTYPES) if "ctypes" in kind else sorted(set("bBhHiIlLqQfd"))
    code = draw(st.sampled_from(codes))
    values = draw(st.lists(st.integers(-3, 9), max_size=N_POS + 2))
    if code in "fd":
        values = [float(v) for v in values]
    obj, logical = make_buffer(kind, code, values)
    if kind in ("array", "memoryview") and logical and len(logical) % 2 == 0 and draw(st.booleans()):
        # a 2-D view of the same memory
        view = memoryview(obj).cast("B").cast(code, (2, len(logical) // 2))
        return view, view.format, 2, logical
    return obj, memoryview(obj).format, 1, logical


@fuzz(examples=250, sanitized=60)
@given(case=foreign_buffer())
def test_any_exporter_runs_as_the_equal_numpy_array_or_raises_the_buffer_error(case):
    obj, buffer_format, ndim, values = case
    assert_same(outcome(obj), expected_for(buffer_format, ndim, values))


@pytest.mark.parametrize("make", [lambda v: (ctypes.c_int64 * len(v))(*v), lambda v: array.array("q", v)])
@pytest.mark.parametrize("values", [[-1, -1, -1], [2, -1, 5], [0, 0, 0], [-1], [7, 3]])
def test_int64_buffers_without_numpy_give_the_numpy_run(make, values):
    # the original crash: ctypes leaves `strides` NULL; -1 everywhere must equal no delisting at all
    assert_same(outcome(make(values)), outcome(np.array(values, dtype=np.int64)))
    if all(v < 0 for v in values) and len(values) >= N_POS:
        assert_same(outcome(make(values)), outcome(None))


def test_the_delisting_really_changes_the_run():
    # guards the comparisons above against a fixture in which delisting_bars is never read
    assert outcome(np.array([2, 2, 2], dtype=np.int64)) != outcome(None)


def unaligned(a):
    """A copy of `a` whose elements sit at odd addresses."""
    out = np.frombuffer(bytearray(a.nbytes + 1), dtype=a.dtype, offset=1, count=a.size).reshape(a.shape)
    out[...] = a
    assert not out.flags.aligned
    return out


@pytest.mark.filterwarnings("ignore::RuntimeWarning")
def test_unaligned_arrays_are_read_as_their_aligned_copies():
    # read element by element without assuming alignment (the sanitizer build checks every load)
    market = {k: (v if v.dtype == object else unaligned(v)) for k, v in MARKET.items()}
    bars = unaligned(np.array([2, -1, 5], dtype=np.int64))
    ran = trevane.backtest_(*positional(market), delisting_bars=bars)
    assert_same(ran.tolist(), outcome(np.array([2, -1, 5], dtype=np.int64))[0])


# ---- a test exporter that leaves things out ---------------------------------------------------------


@pytest.fixture(scope="module")
def exporter(tmp_path_factory):
    """The test-only module tests/cpp/buffer_exporter.cpp, built for this interpreter."""
    if CXX is None:
        pytest.skip("no C++ compiler")
    out = tmp_path_factory.mktemp("exporter") / ("buffer_exporter" + sysconfig.get_config_var("EXT_SUFFIX"))
    include = sysconfig.get_paths()["include"]
    cmd = [CXX, "-std=c++20", "-shared", "-fPIC", "-O1", "-I", include, str(ROOT / "tests/cpp/buffer_exporter.cpp")]
    built = subprocess.run([*cmd, "-o", str(out)], capture_output=True, text=True)
    assert built.returncode == 0, built.stderr
    loader_spec = importlib.util.spec_from_file_location("buffer_exporter", out)
    module = importlib.util.module_from_spec(loader_spec)
    loader_spec.loader.exec_module(module)
    sys.modules.setdefault("buffer_exporter", module)
    return module


def int64_bytes(values):
    return np.array(values, dtype=np.int64).tobytes()


@pytest.mark.parametrize(
    ("layout", "values", "expected"),
    [
        # NULL strides: C-contiguous with the item size as stride
        ({"format": "q", "itemsize": 8, "ndim": 1, "shape": (3,), "strides": None}, [2, -1, 5], "numpy"),
        # NULL shape as in a simple buffer: a flat run of len / itemsize items
        ({"format": "q", "itemsize": 8, "ndim": 1, "shape": None, "strides": None}, [2, -1, 5], "numpy"),
        ({"format": "<q", "itemsize": 8, "ndim": 1, "shape": None, "strides": None}, [-1, -1, -1], "numpy"),
        # NULL format means unsigned bytes
        (
            {"format": None, "itemsize": 1, "ndim": 1, "shape": None, "strides": None},
            [1, 2, 3],
            (ValueError, "Buffer dtype mismatch, expected 'const int64_t' but got 'unsigned char'"),
        ),
        # suboffsets: pointers to follow, refused before anything is read
        (
            {"format": "q", "itemsize": 8, "ndim": 1, "shape": (3,), "strides": (8,), "suboffsets": (0,)},
            [2, -1, 5],
            (ValueError, "Buffer with suboffsets (an indirect buffer) is not supported"),
        ),
        (
            {"format": "q", "itemsize": 8, "ndim": 1, "shape": None, "strides": None, "suboffsets": (0,)},
            [2, -1, 5],
            (ValueError, "Buffer with suboffsets (an indirect buffer) is not supported"),
        ),
        # suboffsets all negative mean "no indirection here": a plain strided buffer
        (
            {"format": "q", "itemsize": 8, "ndim": 1, "shape": (3,), "strides": (8,), "suboffsets": (-1,)},
            [2, -1, 5],
            "numpy",
        ),
        # layouts that cannot be read safely
        (
            {"format": "q", "itemsize": 8, "ndim": 1, "shape": (5,), "strides": None},
            [2, -1, 5],
            (ValueError, "Buffer shape does not match its length (24 bytes) in a contiguous buffer"),
        ),
        (
            {"format": "q", "itemsize": 8, "ndim": 1, "shape": (-2,), "strides": (8,)},
            [2, -1, 5],
            (ValueError, "Buffer has a negative extent (axis 0)"),
        ),
        (
            {"format": "q", "itemsize": 8, "ndim": 1, "shape": (2**62,), "strides": None},
            [2, -1, 5],
            (ValueError, "Buffer shape does not match its length (24 bytes) in a contiguous buffer"),
        ),
        (
            {"format": "q", "itemsize": 8, "ndim": 2, "shape": (1, 3), "strides": None},
            [2, -1, 5],
            (ValueError, "Buffer has wrong number of dimensions (expected 1, got 2)"),
        ),
    ],
)
def test_layouts_a_conforming_exporter_may_leave_out(exporter, layout, values, expected):
    data = int64_bytes(values)
    layout = {"suboffsets": None, **layout}
    if layout["format"] is None:
        data = bytes(values)
    obj = exporter.Exporter(data, **layout)
    assert_same(outcome(obj), outcome(np.array(values, dtype=np.int64)) if expected == "numpy" else expected)


def test_a_flat_buffer_of_partial_items_is_refused(exporter):
    obj = exporter.Exporter(b"\0" * 20, format="q", itemsize=8, ndim=1, shape=None, strides=None, suboffsets=None)
    assert outcome(obj) == (ValueError, "Buffer length (20 bytes) is not a whole number of 8-byte items")


# ---- integer options beyond the native ranges ----------------------------------------------------


@pytest.mark.parametrize("name", ["quelmo_window", "quelmo_window_step"])
@pytest.mark.parametrize("value", [2**31, -(2**31) - 1, 2**63, -(2**63) - 1, 2**100, -(2**100), 2.0**70])
def test_integer_options_out_of_range_overflow_with_one_message(name, value):
    with pytest.raises(OverflowError) as info:
        trevane.backtest_(*positional(MARKET), **{name: value})
    assert str(info.value) == "value too large to convert to int"
