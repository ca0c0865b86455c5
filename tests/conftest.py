import os

import pytest
import reference_model as rm
from hypothesis import settings

# Hypothesis profiles, chosen with HYPOTHESIS_PROFILE: "dev" (the default) is quick, for the edit-test
# loop and the many CI runs of the suite; "ci" explores more, for one thorough CI run. Tests that set
# their own max_examples keep it under both.
settings.register_profile("dev", max_examples=40, deadline=None)
settings.register_profile("ci", max_examples=400, deadline=None, print_blob=True)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "dev"))


@pytest.fixture
def run():
    """A whole backtest run by the native engine; the same keyword arguments as backtest_."""
    pytest.importorskip("zelvor.core.trevane")
    return rm.run_engine


# A Dask cluster of two worker processes on loopback, one per test module that asks for it.
@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0"
    ) as cluster:
        with distributed.Client(cluster) as client:
            yield client
