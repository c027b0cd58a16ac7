"""One run spread over threads: the same bits, presence and final state as one
thread at every thread count and piece size, SARVEK_THREADS honoured,
interrupts still seen."""
from __future__ import annotations

import os

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _sarvek
import sarvek
from sarvek import _checks, _engine

from test_columns import calibrated, expect_interrupt, heavy, walk
from test_package import chained_pipelines

COLUMNS = ["high", "low", "open", "close"]


def prices(n, seed):
    """(n, 4) positive prices with missing values, runs of missing bars and a
    few infinities."""
    rng = np.random.default_rng(seed)
    level = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    x = np.stack([level * 1.01, level * 0.99, level, level * (1 + rng.normal(0, 0.002, n))], axis=1)
    x[rng.random(x.shape) < 0.02] = np.nan
    for start in rng.integers(0, max(n, 1), size=n // 200 + 1):
        x[start:start + int(rng.integers(1, 12))] = np.nan
    x[rng.random(x.shape) < 0.002] = np.inf
    return np.ascontiguousarray(x)


def run(p, data, **kw):
    values, present = p._run_columns(data, validity=True, **kw)
    return np.asarray(values).view(np.uint64), np.asarray(present)


def assert_same(got, want):
    np.testing.assert_array_equal(got[0], want[0])
    np.testing.assert_array_equal(got[1], want[1])


@settings(max_examples=60, deadline=None)
@given(chained_pipelines(), st.integers(2, 4), st.integers(0, 8), st.integers(0, 2**32 - 1))
def test_split_runs_give_one_threads_bits_state_and_continuation(doc, threads, pick, seed):
    proto = sarvek.pipeline_from_dict(doc)
    history = proto._plan()["history"] or 0
    # Tiny runs, runs shorter than the history, and threads * history around
    # its edges, every piece as short as one bar allows.
    n = max(1, [1, 2, threads, history, history + 1, threads * history - 1, threads * history,
                threads * history + 1, 3 * threads * history + 37][pick])
    lead = seed % (history + 3)
    data = prices(lead + 2 * n, seed)
    for reset in (True, False):
        one, many = proto._fresh(), proto._fresh()
        one._run_columns(data[:lead])
        many._run_columns(data[:lead])
        want = run(one, data[lead:lead + n], reset=reset)
        assert_same(run(many, data[lead:lead + n], reset=reset, threads=threads, piece_bars=1), want)
        assert _sarvek._pipeline_state(many) == _sarvek._pipeline_state(one)
        assert_same(run(many, data[lead + n:], reset=False, threads=threads, piece_bars=1),
                    run(one, data[lead + n:], reset=False))


def every_target(h):
    """One target of every type, horizons h and around it."""
    return [
        sarvek.FutureReturn(["close"], h, ["r"]),
        sarvek.FutureCTCVolatility("close", h + 1),
        sarvek.FutureLinearSlope(["open", "close"], h + 2, ["s", "r2"]),
        sarvek.FutureExtremes(["high"], h, ["up", "down"]),
        sarvek.FutureDirection(["close"], max(h - 1, 1), ["d"], threshold=0.001),
        sarvek.TripleBarrier(["close"], h + 3, ["tb", "at"]),
    ]


@pytest.mark.parametrize("h", [1, 7])
@pytest.mark.parametrize("n", [1, 2, 3, 9, 10, 11, 29, 30, 31, 500])
def test_split_target_runs_give_one_threads_labels(h, n):
    t = _sarvek.TargetPipeline(every_target(h), COLUMNS)
    data = prices(n, n)
    want = run(t, data)
    for threads in (2, 3, 4):
        assert_same(run(t, data, threads=threads, piece_bars=1), want)


def test_compute_features_splits_long_runs_bit_for_bit():
    # Long enough for two default pieces; windows, chains, and a group of a
    # by= run large enough to split.
    doc = {"input_columns": COLUMNS, "features": [
        {"type": "Sma", "inputs": ["close"], "window": 30, "outputs": ["sma"]},
        {"type": "ZScore", "inputs": ["sma"], "window": 50, "outputs": ["z"]},
        {"type": "RollingStd", "inputs": ["close"], "window": 20, "outputs": ["std"]},
        {"type": "LogReturn", "inputs": ["close"], "window": 3, "outputs": ["lr"]},
    ]}
    # The same with recursions (whole on one thread) reading and read by windows.
    mixed = {"input_columns": COLUMNS, "features": doc["features"] + [
        {"type": "Ema", "inputs": ["sma"], "window": 10, "outputs": ["ema"]},
        {"type": "Sma", "inputs": ["ema"], "window": 5, "outputs": ["sma_of_ema"]},
    ]}
    data = prices(80_000, 3)
    table = {c: data[:, j] for j, c in enumerate(COLUMNS)}
    table["symbol"] = np.repeat([1, 2], 40_000)
    for d in (doc, mixed):
        one = sarvek.compute_features(d, table, threads=1)
        for threads in (2, 3):
            got = sarvek.compute_features(d, table, threads=threads)
            for name in one:
                np.testing.assert_array_equal(got[name].view(np.uint64), one[name].view(np.uint64))
    by_one = sarvek.compute_features(doc, table, by="symbol", threads=1)
    by_many = sarvek.compute_features(doc, table, by="symbol", workers=1, threads=2)
    for name in by_one:
        np.testing.assert_array_equal(by_many[name].view(np.uint64), by_one[name].view(np.uint64))


@pytest.fixture
def spy(monkeypatch):
    """The threads each feature run is handed."""
    seen = []
    real = _engine.run_features

    def spying(*args, **kw):
        seen.append(kw.get("threads", 1))
        return real(*args, **kw)

    monkeypatch.setattr(_engine, "run_features", spying)
    return seen


def cores():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:
        return os.cpu_count() or 1


SMALL = {"input_columns": ["close"], "features": [{"type": "Sma", "inputs": ["close"], "window": 3,
                                                   "outputs": ["s"]}]}


@pytest.mark.parametrize("env, expected", [(None, "cores"), ("", "cores"), ("1", 1), (" 1 ", 1),
                                           ("100000", "cores")])
def test_sarvek_threads_caps_the_default(monkeypatch, spy, env, expected):
    if env is None:
        monkeypatch.delenv("SARVEK_THREADS", raising=False)
    else:
        monkeypatch.setenv("SARVEK_THREADS", env)
    want = cores() if expected == "cores" else expected
    assert _checks.default_threads() == want
    sarvek.compute_features(SMALL, {"close": np.arange(10.0)})
    sarvek.compute_features(SMALL, {"close": np.arange(10.0)}, threads=3)  # told: the variable is not asked
    assert spy == [want, 3]


@pytest.mark.parametrize("env", ["0", "-1", "two", "1.5", "2 threads", "\u00b2"])
def test_a_bad_sarvek_threads_is_refused_by_name(monkeypatch, env):
    monkeypatch.setenv("SARVEK_THREADS", env)
    with pytest.raises(ValueError, match=f"SARVEK_THREADS must be a whole number of at least 1, got {env!r}"):
        sarvek.compute_features(SMALL, {"close": np.arange(10.0)})
    # Told how many threads, the variable is not needed.
    sarvek.compute_features(SMALL, {"close": np.arange(10.0)}, threads=1)


@pytest.mark.parametrize("bad", [0, -2, True, 1.5, "2"])
def test_bad_threads_are_refused(bad):
    with pytest.raises(ValueError, match=r"threads must be None or a whole number of at least 1, got "):
        sarvek.compute_features(SMALL, {"close": np.arange(10.0)}, threads=bad)
    p = sarvek.pipeline_from_dict(SMALL)
    with pytest.raises((ValueError, TypeError), match="threads"):
        p._run_columns(np.zeros((5, 1)), threads=bad)


@pytest.mark.parametrize("recursion", [False, True])
def test_a_split_run_stops_on_ctrl_c_and_leaves_the_pipeline_reset(ctrl_c, recursion):
    def features(w):
        return heavy(w) + ([sarvek.Ema(["close"], 5, ["e"])] if recursion else [])

    def make(w):
        p = sarvek.FeaturePipeline(features(w), COLUMNS)
        data = walk(200_000 + w)
        return lambda: p._run_columns(data, threads=2, piece_bars=1)

    w, took = calibrated(make, 0.5)
    w *= 4
    p, data = sarvek.FeaturePipeline(features(w), COLUMNS), walk(200_000 + w)
    p._run_columns(data[:100])
    expect_interrupt(lambda: p._run_columns(data, reset=False, threads=2, piece_bars=1), ctrl_c, 4 * took)
    assert _sarvek._pipeline_state(p) == _sarvek._pipeline_state(p._fresh())
