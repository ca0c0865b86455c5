import pytest
import reference_model as rm


@pytest.fixture(params=["model", "engine"])
def run(request):
    """A whole backtest, run by the reference model and by the native engine."""
    if request.param == "engine":
        pytest.importorskip("zelvor.core.trevane")
        return rm.run_engine
    return rm.run_backtest
