"""Fixtures of the native modules' tests."""

import pytest
import reference_model as rm


@pytest.fixture
def run():
    """A whole backtest run by the native engine; the same keyword arguments as backtest_."""
    pytest.importorskip("zelvor.core.trevane")
    return rm.run_engine
