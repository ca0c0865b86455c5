"""Fixtures of the sweep tests."""

import pytest


# A Dask cluster of two worker processes on loopback, one per test module that asks for it.
@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address="127.0.0.1:0"
    ) as cluster:
        with distributed.Client(cluster) as client:
            yield client
