"""The CSV loader: the columnar fast pass agrees with the record-by-record pass, and malformed
files get one-line errors naming the line and the column."""

import gzip
import importlib.util

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import zelvor.io._csv as zm
from zelvor.io import DataError, load_csv

ENGINES = ["c", pytest.param("pyarrow", marks=pytest.mark.skipif(
    importlib.util.find_spec("pyarrow") is None, reason="pyarrow not installed"))]  # fmt: skip

H = "date,open,high,low,close,volume,Name\n"
R = "2020-01-02,10,11,9,10.5,200,AAA\n"


@pytest.fixture(params=ENGINES)
def engine(request, monkeypatch):
    monkeypatch.setattr(zm, "columnar_engine", lambda: request.param, raising=False)
    return request.param


def outcome(path, engine):
    """The arrays a pass loads, or the message it raises."""
    try:
        m = zm._load_csv(path, engine)
    except DataError as exc:
        return str(exc)
    return (m.dates.tolist(), m.columns.tolist(), m.delisting_rows.tolist(),
            *(x.tobytes() for x in (m.open, m.high, m.low, m.close)))  # fmt: skip


@pytest.mark.parametrize(
    "text, line, column, message",
    [
        # A quote left open swallows the next line into the stock's name ...
        (H + R + '2020-01-03,10,11,9,10.5,200,"AAA\n2020-01-06,10,11,9,10.5,200,BBB\n', 3, "Name", "unbalanced quote"),
        # ... or, closed on a later line, into the volume.
        (H + R + '2020-01-03,10,11,9,10.5,"200\n2020-01-06,10,11,9,10.5,2",BBB\n', 3, "volume", "unbalanced quote"),
        (H + R + "2020-01-03,10,11,9,10.5,200,Caf\xe9\n", 3, "Name", "not UTF-8 text (byte 0xe9"),
        (H + R + "1600-01-01,10,11,9,10.5,200,AAA\n", 3, "date", "'1600-01-01' is out of range"),
        (H + R + "2263-01-03,10,11,9,10.5,200,AAA\n", 3, "date", "out of range (dates must lie between 1677-09-22"),
        (H + R + "2020-01-03,10,11,9,1_000,200,AAA\n", 3, "close", "not a number"),
        (H + R + "2020-01-03,10,\u0661\u0662,9,10.5,200,AAA\n", 3, "high", "not a number"),  # Arabic-Indic 12
    ],
)
def test_malformed_files_name_line_and_column(tmp_path, engine, text, line, column, message):
    path = tmp_path / "bad.csv"
    path.write_bytes(text.encode("latin-1" if "\xe9" in text else "utf-8"))
    with pytest.raises(DataError) as info:
        load_csv(path)
    err = info.value
    assert (err.line, err.column) == (line, column), str(err)
    assert message in str(err)
    assert str(err).startswith(f"{path}, line {line}, column '{column}': ")


def test_a_clean_file_is_read_by_the_columnar_reader_alone(tmp_path, engine, monkeypatch):
    # Quoted names, CRLF line ends, a blank line, gzip, missing prices.
    text = (H + R + '2020-01-03,,11,9,NA,200,"A,B"\n\n2020-01-03,10,11,9,10.25,200,AAA\n').replace("\n", "\r\n")
    path = tmp_path / "prices.gz"
    path.write_bytes(gzip.compress(text.encode()))

    def no_second_pass(*args):
        raise AssertionError("the record-by-record pass ran on a clean file")

    monkeypatch.setattr(zm, "_slow_columns", no_second_pass)
    m = load_csv(path)
    assert m.columns.tolist() == ["A,B", "AAA"]
    np.testing.assert_array_equal(m.close, [[np.nan, 10.5], [np.nan, 10.25]])
    np.testing.assert_array_equal(m.open, [[np.nan, 10], [np.nan, 10]])


# Field texts: good ones, and the slips a real file has.
GOOD_DATES = [f"2020-01-{d:02d}" for d in range(1, 13)] + ["20200113", "2020/01/14", "2020-01-15T10:30"]
DATES = ["2020-13-45", "1600-01-01", "", " 2020-01-16 "]
GOOD_NAMES = ["AAA", "BBB", " AAA", '"C,D"', 'E"F']
NAMES = ["", '"G', "H\xe9", "  "]
GOOD_PRICES = ["10", "10.5", "1e1", "+5", ".5", "5.", " 12 ", "", "NA", "nan", "null", "None", '"7"',
               # hard to round: halfway cases, 17 digits, the extremes of the doubles
               "9007199254740993", "0.30000000000000004", "2.2250738585072011e-308", "1.7976931348623157e308",
               "4.9406564584124654e-324", "123456.78901234567890123"]  # fmt: skip
PRICES = ["nUlL", "-nan", "-1", "0", "inf", "1e400", "1_000", "abc", "0x10", "1,5", "12\t", "1e-320"]
VOLUMES = ["100", "", '"1\n2"', '"3']


def fields(dates, prices, volumes, names):
    return st.tuples(dates, prices, prices, prices, prices, volumes, names).map(",".join)


good_row = fields(*(st.sampled_from(x) for x in (GOOD_DATES, GOOD_PRICES, VOLUMES[:2], GOOD_NAMES)))
any_row = fields(*(st.sampled_from(g + b) for g, b in
                   ((GOOD_DATES, DATES), (GOOD_PRICES, PRICES), (VOLUMES, []), (GOOD_NAMES, NAMES))))  # fmt: skip
line = st.one_of(*[good_row] * 10, any_row,
                 st.sampled_from(["", "  ", "2020-01-02,1,1,1,1,1", "2020-01-02,1,1,1,1,1,Z,x"]))  # fmt: skip


@settings(suppress_health_check=[HealthCheck.function_scoped_fixture], deadline=None)
@given(
    lines=st.lists(line, max_size=8),
    ending=st.sampled_from(["\n", "\r\n"]),
    last=st.booleans(),
    header=st.sampled_from([H, H.replace(",", ";"), "Name,Close,Low,High,Open,Date\n"]),
)
def test_the_columnar_pass_agrees_with_the_record_pass(tmp_path_factory, header, lines, ending, last):
    # Whatever the file, the fast pass either loads exactly what the record-by-record pass
    # loads or defers to it: same arrays, or the same message.
    if header.startswith("Name"):  # another column order: the fields reversed
        lines = [",".join(x.split(",")[::-1]) for x in lines]
    elif ";" in header:
        lines = [x.replace(",", ";") for x in lines]
    text = header + ending.join(lines) + (ending if last else "")
    path = tmp_path_factory.mktemp("csv") / "p.csv"
    path.write_bytes(text.encode())
    expected = outcome(path, None)
    for engine in ("c", "pyarrow") if importlib.util.find_spec("pyarrow") else ("c",):
        assert outcome(path, engine) == expected, engine
