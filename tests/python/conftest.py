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


@pytest.fixture
def ctrl_c():
    """ctrl_c(seconds): a real signal after `seconds` (SIGALRM from an interval
    timer), whose handler raises KeyboardInterrupt as Ctrl-C does. The signal
    is delivered by the kernel whatever the interpreter is doing, so it is
    seen as promptly as a real Ctrl-C would be.

    The garbage collector is off meanwhile: a handler that runs inside a
    collection's callbacks (hypothesis installs some) raises where Python
    can only print the KeyboardInterrupt and drop it, so the run would go on
    as if no Ctrl-C had come."""
    import gc
    import signal

    def interrupt(signum, frame):
        raise KeyboardInterrupt

    previous = signal.signal(signal.SIGALRM, interrupt)
    collecting = gc.isenabled()
    gc.disable()
    try:
        yield lambda seconds: signal.setitimer(signal.ITIMER_REAL, seconds)
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
        if collecting:
            gc.enable()
