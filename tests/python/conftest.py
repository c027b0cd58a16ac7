import pytest


@pytest.fixture(scope="session")
def dask_client():
    """A real two-process Dask cluster on 127.0.0.1 (no dashboard), shared by
    the cluster tests and closed at the end of the session."""
    distributed = pytest.importorskip("distributed")
    cluster = distributed.LocalCluster(
        n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1", dashboard_address=None
    )
    client = distributed.Client(cluster)
    try:
        yield client
    finally:
        client.close()
        cluster.close()
