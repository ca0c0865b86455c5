"""Fixtures and settings every folder of the suite shares; each folder's conftest.py adds its own.

The helper modules beside this file (`market_fixtures`, `layer_fixtures`, `reference_model`, ...)
are importable from every test module: pytest puts this folder on the path when it loads this file,
and a test module's own folder (for that folder's helpers, such as engine/outcomes.py).
"""

import builtins
import os
import sys

import pytest
from hypothesis import settings


def pytest_addoption(parser):
    parser.addoption(
        "--update-golden",
        action="store_true",
        help="rewrite the golden files of tests/layer/golden from the current code (then read their diff)",
    )


# Hypothesis profiles, chosen with HYPOTHESIS_PROFILE: "dev" (the default) is quick, for the edit-test
# loop and the many CI runs of the suite; "ci" explores more, for one thorough CI run. Tests that set
# their own max_examples keep it under both.
settings.register_profile("dev", max_examples=40, deadline=None)
settings.register_profile("ci", max_examples=400, deadline=None, print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))


# The one synthetic market and the one momentum strategy of the layer's and the sweeps' tests: the
# package's own, so a test exercises what users run. The market is built once per session and is
# read-only: a test that changes a market, or needs one of another size, builds its own. The package
# is imported inside the fixtures: the engine's tests do without the layer.
@pytest.fixture(scope="session")
def market():
    """The seeded synthetic market: 40 stocks, two years of weekdays (522 rows) from 2010-01-04."""
    import zelvor

    return zelvor.Market.synthetic(stocks=40, years=2, seed=7)


@pytest.fixture(scope="session")
def momentum():
    """The package's month-end momentum strategy, ``momentum(market, top=20, lookback=60)``: a
    module-level function, so worker processes unpickle it by name."""
    from zelvor.datasets import momentum_weights

    return momentum_weights


@pytest.fixture
def hide_package(monkeypatch):
    """``hide_package("bokeh")``: for the rest of the test, importing that package (or any module
    under it) raises the ImportError of a missing install, and the modules already imported are
    forgotten, so code that imports it lazily meets the error."""

    def hide(package):
        for name in [m for m in sys.modules if m == package or m.startswith(package + ".")]:
            monkeypatch.delitem(sys.modules, name)
        real_import = builtins.__import__

        def refusing(name, *args, **kwargs):
            if name == package or name.startswith(package + "."):
                raise ImportError(f"No module named {package!r}")
            return real_import(name, *args, **kwargs)

        monkeypatch.setattr(builtins, "__import__", refusing)

    return hide
