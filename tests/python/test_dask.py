"""sarvek.dask against the single-process engine, bit for bit.

The cluster tests run on a real two-process distributed.LocalCluster on
127.0.0.1 (the dask_client fixture), closed at the end of the session.
"""

import os
import signal
import time

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
distributed = pytest.importorskip("distributed")

import sarvek  # noqa: E402
import sarvek.dask as sdask  # noqa: E402

PRICES = ["open", "high", "low", "close"]

FINITE = {
    "input_columns": PRICES,
    "features": [
        {"type": "Sma", "inputs": ["ret"], "window": 7, "outputs": ["ret_mean"]},
        {"type": "LogReturn", "inputs": ["close"], "window": 1, "outputs": ["ret"]},
        {"type": "SimpleReturn", "inputs": ["close"], "window": 3, "outputs": ["ret3"]},
        {"type": "Skewness", "inputs": ["ret"], "window": 9, "outputs": ["skew"]},
        {"type": "Kurtosis", "inputs": ["ret3"], "window": 8, "outputs": ["kurt"]},
        {"type": "LinearSlope", "inputs": ["open", "close"], "window": 6, "outputs": ["slope", "r2"]},
        {"type": "ParkinsonVolatility", "inputs": ["high", "low"], "window": 5, "outputs": ["park"]},
        {"type": "RogersSatchellVolatility", "inputs": PRICES[1:3] + ["open", "close"], "window": 5,
         "outputs": ["rs"]},
        {"type": "Sma", "inputs": ["ret_mean"], "window": 4, "outputs": ["ret_mean_mean"]},
    ],
}
UNBOUNDED = {
    "input_columns": PRICES,
    "features": [
        {"type": "Ema", "inputs": ["close"], "window": 6, "outputs": ["ema"]},
        {"type": "Kama", "inputs": ["ema"], "window": 5, "fast": 2, "slow": 30, "outputs": ["kama"]},
        {"type": "LogReturn", "inputs": ["close"], "window": 1, "outputs": ["ret"]},
        {"type": "Sma", "inputs": ["ret"], "window": 5, "outputs": ["ret_mean"]},
    ],
}
TARGETS = {
    "input_columns": PRICES,
    "targets": [
        {"type": "FutureReturn", "inputs": ["close"], "horizon": 4, "outputs": ["fwd4"]},
        {"type": "FutureCTCVolatility", "input": "close", "horizon": 6},
        {"type": "FutureLinearSlope", "inputs": ["open", "close"], "horizon": 5, "outputs": ["fslope", "fr2"]},
    ],
}


def pipeline(config):
    return sarvek.pipeline_from_dict(config)


def make_bars(symbols=50, steps=400, seed=7):
    """Symbols of uneven length (some shorter than the warm-up), interleaved in
    time order, with skipped minutes and NaN values; a time index."""
    rng = np.random.default_rng(seed)
    frames = []
    for s in range(symbols):
        length = int(rng.choice([2, 5, 9]) if s % 10 == 3 else rng.integers(20, steps))
        start = int(rng.integers(0, steps - length + 1))
        minutes = np.arange(start, start + length)
        minutes = minutes[rng.random(length) > 0.1]  # gaps
        n = len(minutes)
        close = 50.0 * (1 + s) * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
        open_ = close * np.exp(rng.normal(0, 0.003, n))
        frame = pd.DataFrame(
            {
                "symbol": f"S{s:02d}",
                "open": open_,
                "high": np.maximum(open_, close) * 1.002,
                "low": np.minimum(open_, close) * 0.998,
                "close": close,
                "volume": rng.integers(1, 1000, n),
                "minute": minutes,
            }
        )
        for col in PRICES:
            frame.loc[rng.random(n) < 0.04, col] = np.nan
        frames.append(frame)
    bars = pd.concat(frames).sort_values(["minute", "symbol"], kind="stable")
    bars.index = pd.Timestamp("2024-01-02 09:30") + pd.to_timedelta(bars.pop("minute"), unit="min")
    bars.index.name = "time"
    return bars


@pytest.fixture(scope="module")
def bars():
    return make_bars()


def single_process(config, frame):
    """The reference: the package's own by= path over the whole frame."""
    compute = sarvek.compute_features if "features" in config else sarvek.compute_targets
    return compute(config, frame, by="symbol")


def assert_same(result, frame, config):
    expected = single_process(config, frame)
    assert list(result.columns) == ["symbol"] + list(pipeline(config).output_names())
    assert result.index.equals(frame.index)
    assert (result["symbol"].to_numpy() == frame["symbol"].to_numpy()).all()
    for name in pipeline(config).output_names():
        got = result[name].to_numpy(dtype=np.float64)
        want = np.asarray(expected[name], dtype=np.float64)
        assert np.array_equal(got.view(np.uint64), want.view(np.uint64)), name


def run(config, ddf, **kw):
    compute = sdask.compute_features if "features" in config else sdask.compute_targets
    return compute(ddf, config, by="symbol", **kw)


# --- default scheduler --------------------------------------------------------


@pytest.mark.parametrize("config", [FINITE, UNBOUNDED, TARGETS], ids=["finite", "ema-kama", "targets"])
@pytest.mark.parametrize("npartitions", [1, 7, 90])
def test_local_scheduler_matches_one_process(bars, config, npartitions):
    ddf = dd.from_pandas(bars, npartitions=npartitions, sort=False)
    lazy = run(config, ddf)
    assert lazy.npartitions == ddf.npartitions
    result = lazy.compute(scheduler="sync")
    pd.testing.assert_frame_equal(lazy._meta, result.iloc[:0])
    assert_same(result, bars, config)


@pytest.mark.parametrize("buckets", [1, 4, 1000])
def test_any_bucket_count_gives_the_same_bits(bars, buckets):
    ddf = dd.from_pandas(bars, npartitions=11, sort=False)
    assert_same(run(UNBOUNDED, ddf, buckets=buckets).compute(scheduler="sync"), bars, UNBOUNDED)


@pytest.mark.parametrize("npartitions, buckets", [(1, None), (7, None), (7, 1), (7, 1000), (90, None), (90, 4)])
def test_carried_states_give_the_same_bits(bars, npartitions, buckets):
    ddf = dd.from_pandas(bars, npartitions=npartitions, sort=False)
    lazy = run(UNBOUNDED, ddf, buckets=buckets, carry_state=True)
    result = lazy.compute(scheduler="sync")
    pd.testing.assert_frame_equal(lazy._meta, result.iloc[:0])
    assert_same(result, bars, UNBOUNDED)


@pytest.mark.parametrize("buckets", [1, 3, 7])
def test_a_symbol_lands_in_one_bucket_whatever_its_dtype(bars, buckets):
    """Partitions may hold the symbol column as objects, categories or
    either kind of pandas string: each symbol (missing ones included) must
    still meet its other rows in one bucket, or its history would split."""
    base = bars.reset_index()[["symbol", "close"]].astype({"symbol": object})
    base.loc[base.index[::13], "symbol"] = None

    def assignment(frame):
        seen = {}
        for b, (rows, piece) in enumerate(sdask._split_buckets(frame, "symbol", buckets)):
            assert np.array_equal(piece.index, frame.index[rows])
            for key in piece["symbol"].astype(object):
                key = None if pd.isna(key) else key
                assert seen.setdefault(key, b) == b, key
        return seen

    kinds = [base, base.astype("category"), base.astype({"symbol": "string[python]"}),
             base.astype({"symbol": "string[pyarrow]"})]
    first, *others = [assignment(frame) for frame in kinds]
    assert len(first) > 1 and all(other == first for other in others)


def random_recursive_pipeline(rng):
    """Ema and Kama over a price or over each other, windows after them."""
    first = str(rng.choice(PRICES))
    features = [
        {"type": "Ema", "inputs": [first], "window": int(rng.integers(1, 9)), "outputs": ["ema"]},
        {"type": "Kama", "inputs": [str(rng.choice(["ema", "close"]))], "window": int(rng.integers(1, 7)),
         "fast": 2, "slow": int(rng.integers(3, 31)), "outputs": ["kama"]},
        {"type": "Sma", "inputs": [str(rng.choice(["ema", "kama"]))], "window": int(rng.integers(1, 6)),
         "outputs": ["smoothed"]},
        {"type": "LogReturn", "inputs": ["close"], "window": int(rng.integers(1, 4)), "outputs": ["ret"]},
        {"type": "Skewness", "inputs": ["ret"], "window": int(rng.integers(3, 8)), "outputs": ["skew"]},
    ]
    rng.shuffle(features)
    return {"input_columns": PRICES, "features": features}


@pytest.mark.parametrize("seed", range(6))
def test_carried_states_random_pipelines_and_partitions(seed):
    """Random chains through the recursions, random partition counts and
    buckets, missing symbol keys among the rows: the same bits as one
    process."""
    rng = np.random.default_rng(seed)
    frame = make_bars(symbols=int(rng.integers(3, 20)), steps=int(rng.integers(30, 200)), seed=seed)
    frame["symbol"] = frame["symbol"].astype(object)
    frame.iloc[rng.random(len(frame)) < 0.03, frame.columns.get_loc("symbol")] = None
    config = random_recursive_pipeline(rng)
    ddf = object_frame(frame, int(rng.integers(1, 30)))
    buckets = int(rng.integers(1, 6))
    result = run(config, ddf, buckets=buckets, carry_state=True).compute(scheduler="sync")
    expected = single_process(config, frame)
    for name in pipeline(config).output_names():
        got = result[name].to_numpy(dtype=np.float64).view(np.uint64)
        assert np.array_equal(got, np.asarray(expected[name], dtype=np.float64).view(np.uint64)), name


def test_carried_states_name_a_bad_symbol(bars):
    with pytest.raises(ValueError, match=r"symbol 'S17'.*'close'.*'n/a'"):
        run(UNBOUNDED, object_frame(bad_bars(bars), 8), carry_state=True).compute(scheduler="sync")


@pytest.mark.parametrize(
    "call, error, text",
    [
        (lambda d: sdask.compute_features(d, UNBOUNDED, by="symbol", carry_state="yes"), TypeError, "carry_state"),
        (lambda d: sdask.compute_features(d, TARGETS, by="symbol"), TypeError, "FeaturePipeline"),
        (lambda d: sdask.compute_targets(d, FINITE, by="symbol"), TypeError, "TargetPipeline"),
        (lambda d: sdask.compute_features(d, FINITE, by="ticker"), ValueError, "'ticker'"),
        (lambda d: sdask.compute_features(d.drop(columns="high"), FINITE, by="symbol"), ValueError, "'high'"),
    ],
)
def test_refused_before_running(bars, call, error, text):
    with pytest.raises(error, match=text):
        call(dd.from_pandas(bars, npartitions=3, sort=False))


# --- a real cluster -----------------------------------------------------------


@pytest.fixture
def client(dask_client):
    return dask_client


@pytest.mark.cluster
@pytest.mark.parametrize("config, kw", [(FINITE, {}), (UNBOUNDED, {}), (UNBOUNDED, {"carry_state": True}),
                                        (TARGETS, {})], ids=["finite", "ema-kama", "ema-kama-carried", "targets"])
def test_cluster_matches_one_process(client, bars, config, kw):
    ddf = dd.from_pandas(bars, npartitions=24, sort=False)
    assert_same(run(config, ddf, **kw).compute(), bars, config)


def bad_bars(bars):
    bad = bars.astype({"close": object})
    rows = np.flatnonzero(bad["symbol"].to_numpy() == "S17")
    bad.iloc[rows[len(rows) // 2], bad.columns.get_loc("close")] = "n/a"
    return bad


@pytest.mark.cluster
@pytest.mark.parametrize("config", [FINITE, UNBOUNDED, TARGETS], ids=["finite", "ema-kama", "targets"])
def test_cluster_bad_symbol_names_it(client, bars, config):
    ddf = object_frame(bad_bars(bars), 8)
    start = time.monotonic()
    with pytest.raises(ValueError, match=r"symbol 'S17'.*'close'.*'n/a'"):
        run(config, ddf).compute()
    assert time.monotonic() - start < 30


def object_frame(frame, npartitions):
    """Keeps object columns as objects (dask would turn them into strings)."""
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_pandas(frame, npartitions=npartitions, sort=False)


def test_numbers_in_an_object_column_still_count(bars):
    mixed = bars.astype({"close": object})
    out = run(FINITE, object_frame(mixed, 4)).compute(scheduler="sync")
    assert_same(out, bars, FINITE)


@pytest.mark.cluster
@pytest.mark.parametrize("kw", [{}, {"carry_state": True}], ids=["gathered", "carried"])
def test_cluster_survives_a_killed_worker(client, bars, kw):
    # Enough partitions that tasks are still running when the worker dies.
    big = pd.concat([bars] * 6)
    big["symbol"] = np.repeat([f"{k}" for k in range(6)], len(bars)) + big["symbol"].to_numpy()
    big = big.sort_index(kind="stable")
    ddf = dd.from_pandas(big, npartitions=48, sort=False)
    future = client.compute(run(UNBOUNDED, ddf, **kw))
    pids = client.run(os.getpid)
    deadline = time.monotonic() + 60
    while not any(client.processing().values()):
        assert time.monotonic() < deadline
        time.sleep(0.01)
    assert not future.done()
    victim = sorted(pids)[0]
    os.kill(pids[victim], signal.SIGKILL)
    result = future.result(timeout=120)
    assert_same(result, big, UNBOUNDED)
    assert result.groupby("symbol").size().equals(big.groupby("symbol").size())
