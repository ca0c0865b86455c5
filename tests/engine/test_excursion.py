"""Excursion statistics of single trades, computed by the C++ core on its own.

The driver (tests/cpp/excursion_driver.cpp) reads trades as text and prints each statistics array as
hexadecimal floats, so results are compared exactly. Each group holds, for one row offset k after the
entry: mae, mfe, bmfe, mdd, profit_rows, trade_return.

The driver is built with the project's flags by meson (`meson test -C <build dir>` runs this file with
ZELVOR_EXCURSION_DRIVER set to it); without that variable these tests are skipped.
"""

import math
import os
import random
import subprocess
from pathlib import Path

import numpy as np
import pytest

NAN = math.nan
INT_MAX = 2**31 - 1


@pytest.fixture(scope="module")
def driver():
    path = os.environ.get("ZELVOR_EXCURSION_DRIVER")
    if not path:
        pytest.skip("ZELVOR_EXCURSION_DRIVER is not set: run through `meson test`")
    exe = Path(path)
    assert exe.is_file(), f"ZELVOR_EXCURSION_DRIVER={path} does not exist"
    return exe


def trade(
    close,
    price=None,
    *,
    pid=0,
    entry=0,
    exit=None,
    long=True,
    entry_tx=0,
    exit_tx=0,
    window=0,
    step=1,
    fee=0.0,
    tax=0.0,
    column_major=False,
):
    """One trade; `close` and `price` are lists of rows (a bare number is a one-column row)."""
    close = [row if isinstance(row, list) else [row] for row in close]
    price = close if price is None else [row if isinstance(row, list) else [row] for row in price]
    return {
        "price": price,
        "close": close,
        "pid": pid,
        "entry": entry,
        "exit": len(price) - 1 if exit is None else exit,
        "long": long,
        "entry_tx": entry_tx,
        "exit_tx": exit_tx,
        "window": window,
        "step": step,
        "fee": fee,
        "tax": tax,
        "column_major": column_major,
    }


def analyse(driver, trades):
    """Statistics arrays (or (kind, message) for an error) of `trades`, all run by one analyser."""
    words = [str(len(trades))]
    for t in trades:
        cols = len(t["price"][0]) if t["price"] else len(t["close"][0])
        words += [str(len(t["price"])), str(len(t["close"])), str(cols), str(int(t["column_major"]))]
        words += [float(v).hex() for row in t["price"] + t["close"] for v in row]
        words += [str(int(t[k])) for k in ("pid", "entry", "exit", "long", "entry_tx", "exit_tx", "window", "step")]
        words += [float(t["fee"]).hex(), float(t["tax"]).hex()]
    done = subprocess.run([str(driver)], input=" ".join(words), capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    results = []
    for line in done.stdout.splitlines():
        status, *rest = line.split(" ", 2)
        if status == "ok":
            count, *values = line.split()[1:]
            assert len(values) == int(count)
            results.append(np.array([float.fromhex(v) for v in values]))
        else:
            results.append((rest[0], rest[1]))
    assert len(results) == len(trades)
    return results


def one(driver, t):
    return analyse(driver, [t])[0]


def groups(stats):
    return np.asarray(stats).reshape(-1, 6)


# --- worked trades ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    ("is_long", "expected"),
    [
        # value track 1.0, 1.1, 0.9, 1.2. The trough is lowered on row 2 from track index 1, where the
        # peak stood at 1.1 (bmfe 0.1); the drawdown is deepest on row 2, 0.9 / 1.1 - 1; rows 1 and 3
        # are in profit.
        (True, [-0.1, 0.2, 0.1, 0.9 / 1.1 - 1, 2, 0.2]),
        # value track 1.0, 0.9 (2 - 1.1), 1.1 (2 - 1.1 * 9/11), 0.8 (2 - 0.9 * 12/9). The trough is
        # lowered last on row 3 from index 2, peak 1.1 (bmfe 0.1); deepest drawdown 0.8 / 1.1 - 1 on row
        # 3; only row 2 is in profit.
        (False, [-0.2, 0.1, 0.1, 0.8 / 1.1 - 1, 1, -0.2]),
    ],
    ids=["long", "short"],
)
def test_worked_trade_from_entry_price_10_over_closes_10_11_9_12(driver, is_long, expected):
    stats = one(driver, trade([10, 11, 9, 12], price=[10, 10, 10, 10], long=is_long))
    assert stats == pytest.approx(expected, rel=1e-12, abs=1e-12)


def test_entry_fee_lowers_the_value_track_but_not_the_starting_peak(driver):
    # Entry at close = price, fee 1/4: value 0.75 from the start and flat after. The peak starts at
    # max(1, 0.75) = 1, so mfe 0 while return and drawdown are -0.25. Binary fractions: exact.
    stats = one(driver, trade([10, 10], entry_tx=1, fee=0.25))
    assert list(stats) == [-0.25, 0.0, 0.0, -0.25, 0.0, -0.25]


def test_exit_on_the_entry_row_only_pays_fee_and_tax(driver):
    # Entry price 8, close 10: value 1.25. L = 1, so the row-1 prices (which would move the value a lot)
    # are never read; the exit multiplies by 1 - 1/8 - 1/4 = 0.625 only: 0.78125. mfe and bmfe keep
    # the close-based 0.25; the entry row counts as in profit.
    stats = one(driver, trade([10, 50], price=[8, 100], exit=0, exit_tx=1, fee=0.125, tax=0.25))
    assert list(stats) == [0.0, 0.25, 0.25, 0.0, 1.0, -0.21875]


@pytest.mark.parametrize(
    ("is_long", "expected"),
    [
        # close-based value 1.5 on the exit row; traded at 12 against a close of 15: 12/15 * 1.5 = 1.2
        (True, [0.0, 0.5, 0.0, 0.0, 1, 0.2]),
        # short: close-based 0.5; 2 - 12 * (2 - 0.5) / 15 = 0.8; the trough stays at the close-based 0.5
        (False, [-0.5, 0.0, 0.0, -0.5, 0, -0.2]),
    ],
    ids=["long", "short"],
)
def test_exit_at_the_trading_price_changes_only_the_return(driver, is_long, expected):
    stats = one(driver, trade([10, 15], price=[10, 12], long=is_long, exit_tx=1))
    assert stats == pytest.approx(expected, rel=1e-12, abs=1e-12)


def test_nan_close_repeats_the_value_and_is_not_a_row_in_profit(driver):
    # Window of 5 over 4 rows of data: one group per row. Row 2's close is missing: the value stays
    # 1.1 and the row is not counted although 1.1 > 1; row 3 compares 12 with the last valid close 11,
    # giving 1.1 * 12/11 = 1.2.
    g = groups(one(driver, trade([10, 11, NAN, 12], window=5)))
    returns = g[:4, 5]
    assert returns == pytest.approx([0.0, 0.1, 0.1, 0.2], abs=1e-12)
    assert list(g[:4, 4]) == [0.0, 1.0, 1.0, 2.0]
    assert (g[4] == -1).all()  # row 4 lies beyond the data
    assert g[5].tobytes() == g[3].tobytes()  # exit group: the last row


def test_a_nan_ratio_between_infinite_closes_leaves_the_value(driver):
    # long: row 1 multiplies by inf / 10; row 2's ratio inf / inf is NaN and is skipped, so the value
    # stays inf instead of becoming NaN
    g = groups(one(driver, trade([10, math.inf, math.inf], window=3)))
    assert list(g[:3, 5]) == [0.0, math.inf, math.inf]


def test_nan_entry_close_makes_the_whole_trade_nan_except_drawdown_and_rows(driver):
    stats = one(driver, trade([NAN, 11, 12], price=[10, 10, 10]))
    assert [math.isnan(v) for v in stats] == [True, True, True, False, False, True]
    assert stats[3] == 0.0 and stats[4] == 0.0


# --- window layout ----------------------------------------------------------------------------------

WALK = [10, 10.5, 9.8, 11.2, 10.1, 12.3, 11.7, 9.4, 10.9, 11.5]


def test_window_groups_every_step_rows_then_the_exit_group(driver):
    # window 5, step 2: q = floor(4 / 2) = 2, so 3 window groups (k = 0, 2, 4) and the exit group.
    by_two, by_one = analyse(
        driver,
        [
            trade(WALK, entry=1, exit=3, window=5, step=2),
            trade(WALK, entry=1, exit=3, window=5, step=1),
        ],
    )
    assert len(by_two) == 24 and len(by_one) == 36
    assert groups(by_two)[:3].tobytes() == groups(by_one)[[0, 2, 4]].tobytes()
    assert groups(by_two)[3].tobytes() == groups(by_one)[2].tobytes()  # exit 2 rows after the entry


def test_exit_adjustment_lands_past_the_exit_when_the_window_reaches_further(driver):
    # Held 2 rows, window 5: the last row examined is entry + 5, and the exit price and costs adjust
    # that row's value, which no group reports (groups k = 0..4, exit group k = 2).
    price = [v * 1.03 if r == 6 else v for r, v in enumerate(WALK)]  # row 6 trades 3 % off its close
    costly = trade(WALK, price=price, entry=1, exit=3, window=5, exit_tx=1, fee=0.01, tax=0.02)
    with_costs, without = analyse(driver, [costly, trade(WALK, entry=1, exit=3, window=5)])
    assert with_costs.tobytes() == without.tobytes()
    assert groups(with_costs)[-1].tobytes() == groups(with_costs)[2].tobytes()


def test_window_past_the_end_of_the_data_leaves_groups_at_minus_one(driver):
    # Entry 3 rows before the last of 10 rows: L = 4; window 10 gives q = 9, 66 elements. Groups 0-3
    # are written, 4-9 stay -1, and the exit (clipped to the last row) reports k = 3.
    g = groups(one(driver, trade(WALK, entry=6, exit=12, window=10)))
    assert g.shape == (11, 6)
    assert (g[:4] != -1).any(axis=1).all()
    assert (g[4:10] == -1).all()
    assert g[10].tobytes() == g[3].tobytes()


def test_exit_before_entry_reports_the_last_row_examined(driver):
    # Window 2 examines rows 0-2 either way. An exit row before the entry gives a negative span, which
    # taken as unsigned is huge, so the exit group reports k = L - 1 = 2, as an exit on row 2 does.
    before, on_row_2 = analyse(driver, [trade([10, 11, 12], exit=-5, window=2), trade([10, 11, 12], window=2)])
    assert len(before) == 18
    assert before.tobytes() == on_row_2.tobytes()


@pytest.mark.parametrize(
    ("t", "error"),
    [
        (trade([10, 11], price=[0, 1]), ("ZeroDivisionError", "float division")),
        (trade([10, 0, 5]), ("ZeroDivisionError", "float division")),
        (trade([10, 0, NAN]), None),  # a zero close followed only by a NaN is never divided by
        (trade([10, 0], exit_tx=1), ("ZeroDivisionError", "float division")),
        (trade([10, 11], step=0), ("ZeroDivisionError", "integer division or modulo by zero")),
        (trade([10, 11], entry=3, exit=3), ("OverflowError", "can't convert negative value to size_t")),
        (trade([10, 11], entry=2, exit=2), ("IndexError", "Out of bounds on buffer access (axis 0)")),
        (trade([10, 11], entry=-1, exit=1), ("IndexError", "Out of bounds on buffer access (axis 0)")),
        (trade([10, 11], pid=1), ("IndexError", "Out of bounds on buffer access (axis 1)")),
        (
            trade([10, 11], price=[10, 11, 12], exit=2),
            ("IndexError", "Out of bounds on buffer access (axis 0)"),
        ),
        (trade([10, 11], window=-1), ("IndexError", "Out of bounds on buffer access (axis 0)")),
        # window 3, step -1: q = floor(2 / -1) = -2, no elements at all, so the exit group cannot fit
        (trade([10, 11], window=3, step=-1), ("IndexError", "Out of bounds on buffer access (axis 0)")),
        (trade([10, 11], window=-20), ("ValueError", "negative dimensions are not allowed")),
    ],
)
def test_failures(driver, t, error):
    result = one(driver, t)
    if error is None:
        assert isinstance(result, np.ndarray)
    else:
        assert result == error


@pytest.mark.parametrize(("window", "step"), [(INT_MAX, 1), (INT_MAX, 6), (-(2**31), -1)])
def test_a_length_beyond_32_bits_is_refused_instead_of_wrapping(driver, window, step):
    kind, message = one(driver, trade([10, 11], window=window, step=step))
    assert kind == "OverflowError"
    assert message.startswith("excursion statistics of") and "2147483647" in message


def test_a_window_reaching_past_the_32_bit_range_still_ends_at_the_last_row(driver):
    # window + entry_row exceeds 2**31 - 1 but is not wrapped: the trade is followed to the last row.
    # q = floor((2**31 - 2) / (2**31 - 1)) = 0: one window group (k = 0) and the exit group (k = 1).
    huge, plain = analyse(
        driver,
        [
            trade(WALK, entry=5, exit=6, window=INT_MAX, step=INT_MAX, exit_tx=1, fee=0.5),
            trade(WALK, entry=5, exit=9, window=1, step=1),
        ],
    )
    assert len(huge) == 12
    assert groups(huge)[0].tobytes() == groups(plain)[0].tobytes()
    # the exit fee lands on the last row (9), not on the exit row reported here
    assert groups(huge)[1].tobytes() == groups(one(driver, trade(WALK, entry=5, exit=9, window=4)))[1].tobytes()


# --- against the reference model --------------------------------------------------------------------


def random_trades(seed, count):
    rng = random.Random(seed)
    trades = []
    while len(trades) < count:
        rows, cols = rng.randint(1, 12), rng.randint(1, 3)

        def value():
            return NAN if rng.random() < 0.15 else round(rng.uniform(5, 15), rng.choice([0, 2, 6]))

        close = [[value() for _ in range(cols)] for _ in range(rows)]
        price = [[value() for _ in range(cols)] for _ in range(rows)]
        entry = rng.randrange(rows)
        window, step = rng.randint(-1, 9), rng.choice([-3, -1, 1, 1, 2, 3, 4])
        if 6 * ((window - 1) // step) + 12 == 0:
            continue  # covered above; the model's slice assignment fails differently
        trades.append(
            trade(
                close,
                price,
                pid=rng.randrange(cols),
                entry=entry,
                exit=rng.randint(entry - 2, rows + 2),
                long=rng.random() < 0.5,
                entry_tx=rng.randint(0, 1),
                exit_tx=rng.randint(0, 1),
                window=window,
                step=step,
                fee=rng.choice([0.0, 0.001425, 0.01]),
                tax=rng.choice([0.0, 0.003]),
                column_major=rng.random() < 0.3,
            )
        )
    return trades


def test_bit_for_bit_equal_to_the_reference_model(driver):
    model = pytest.importorskip("reference_model")
    trades = random_trades(seed=20240607, count=400)
    compared = 0
    for t, got in zip(trades, analyse(driver, trades), strict=False):
        try:
            want = model.excursion_stats(
                t["price"],
                t["close"],
                t["pid"],
                t["entry"],
                t["exit"],
                t["long"],
                t["entry_tx"],
                t["exit_tx"],
                t["fee"],
                t["tax"],
                t["window"],
                t["step"],
            )
        except (ZeroDivisionError, IndexError, ValueError) as error:
            assert got == (type(error).__name__, str(error)), t
            continue
        assert isinstance(got, np.ndarray), (t, got)
        assert len(got) == len(want)
        same = [
            (math.isnan(a) and math.isnan(b)) or a.hex() == b.hex() for a, b in zip(got, map(float, want), strict=False)
        ]
        assert all(same), (t, got, want)
        compared += 1
    assert compared > 300
