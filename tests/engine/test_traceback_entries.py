"""Traceback entries that name the native functions an error passed through.

Each entry is a frame whose file is "<native>" and whose function is the dotted name of the native
function. They are built through the interpreter's public API, whose exception handling differs
between 3.11 (a pending error is a type/value/traceback triple, possibly not yet normalised) and 3.12+
(one exception object), so the same checks run on every supported version.
"""

import traceback

import pytest
from market_fixtures import positional, small_market

trevane = pytest.importorskip("zelvor.core.trevane")

HERE = __file__


def entries(error):
    """(function, file) of each traceback entry below the test's own frame, outermost first."""
    return [(frame.name, frame.filename) for frame in traceback.extract_tb(error.__traceback__)[1:]]


class FailingProduct:
    """A weight whose scaling raises a chained error from Python code called by the engine."""

    raised = None

    def __abs__(self):
        return 0.0

    def __mul__(self, other):
        FailingProduct.raised = ValueError("no scaling")
        raise FailingProduct.raised from KeyError("the cause")


def invalid_trading_price():
    market = small_market()
    market["price_values"][4:, :] = -1.0  # every stock's trading price from row 4 on
    trevane.backtest_(*positional(market))


@pytest.mark.parametrize(
    ("call", "error", "expected"),
    [
        # set by native code: on 3.11 it is still an unnormalised (type, message) pair when added to
        (lambda: trevane.normalize_weight({}), TypeError, [("zelvor.core.trevane.normalize_weight", "<native>")]),
        # nested native functions, outermost first
        (
            invalid_trading_price,
            ValueError,
            [
                ("zelvor.core.trevane.backtest_", "<native>"),
                ("zelvor.core.trevane.validate_trade_price", "<native>"),
            ],
        ),
        # raised by Python code the engine called: the entry goes above that code's own frame
        (
            lambda: trevane.normalize_weight({0: 3.0, 1: FailingProduct()}, 1.0),
            ValueError,
            [("zelvor.core.trevane.normalize_weight", "<native>"), ("__mul__", HERE)],
        ),
    ],
    ids=["native-error", "nested", "python-error"],
)
def test_entries_name_the_native_functions(call, error, expected):
    with pytest.raises(error) as caught:
        call()
    assert entries(caught.value)[1:] == expected  # [0] is the lambda or helper above


def test_the_error_passes_through_unchanged():
    weights = {0: 3.0, 1: FailingProduct()}
    with pytest.raises(ValueError) as caught:
        trevane.normalize_weight(weights, 1.0)
    assert caught.value is FailingProduct.raised
    assert isinstance(caught.value.__cause__, KeyError) and caught.value.__suppress_context__


def test_repeated_failures_each_get_one_entry():
    # Entries share a code object per name; each error still gets exactly its own entry.
    for _ in range(3):
        with pytest.raises(TypeError) as caught:
            trevane.normalize_weight({})
        assert entries(caught.value) == [("zelvor.core.trevane.normalize_weight", "<native>")]
