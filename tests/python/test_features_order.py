"""Order statistics: RollingMax, RollingMin, RollingQuantile, RollingRank and
DonchianChannel. Their column runs keep a window structure from bar to bar
(blocks of running extremes, a sorted window) while update() scans or
selects, so both are driven through ties (0.0 against -0.0), infinities,
present NaNs and gaps and must agree bit for bit; then each against NumPy,
pandas and TA-Lib."""
import math

import numpy as np
import pandas as pd
import pytest

import _sarvek as sv
import sarvek

SINGLE = [
    lambda w: sarvek.RollingMax(["x"], w, ["v"]),
    lambda w: sarvek.RollingMin(["x"], w, ["v"]),
    lambda w: sarvek.RollingQuantile(["x"], w, ["v"]),
    lambda w: sarvek.RollingQuantile(["x"], w, ["v"], q=0.3),
    lambda w: sarvek.RollingQuantile(["x"], w, ["v"], q=0.75),
    lambda w: sarvek.RollingRank(["x"], w, ["v"]),
]
IDS = ["max", "min", "median", "q0.3", "q0.75", "rank"]


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def tied(rng, n):
    """Few distinct values: runs of ties, 0.0 beside -0.0, infinities, gaps."""
    x = rng.choice([-0.0, 0.0, 1.0, -1.0, 2.0, np.inf, -np.inf, np.nan], n, p=[.2, .2, .15, .15, .1, .07, .07, .06])
    if rng.random() < 0.5:  # a stretch without gaps, so long windows complete
        x[np.isnan(x)] = 3.0
    return x


def agree(features, inputs, cols, rng):
    """update() bar by bar against column runs on every SIMD path, cut into
    runs of random lengths (each continuing the state of the last)."""
    fp = sv.FeaturePipeline(features, inputs)
    rows = np.column_stack(cols)
    want = bits([fp.update(r) for r in rows.tolist()])
    before = sv._simd_path()
    try:
        for path in sv._simd_paths():
            sv._set_simd_path(path)
            live = fp._fresh()
            cuts = np.sort(rng.integers(0, len(rows), 3))
            parts = [live._run_columns(np.ascontiguousarray(p), reset=False) for p in np.split(rows, cuts)]
            got = bits(np.concatenate([np.asarray(p).reshape(-1, want.shape[1]) for p in parts]))
            assert np.array_equal(got, want), path
    finally:
        sv._set_simd_path(before)


@pytest.mark.parametrize("make", SINGLE, ids=IDS)
@pytest.mark.parametrize("window", [1, 2, 3, 7, 20, 64])
def test_column_runs_give_the_bits_of_update_through_ties_and_nan(make, window):
    rng = np.random.default_rng(window)
    for _ in range(3):
        n = int(rng.integers(1, 4 * window + 40))
        # Direct: ties, ±0, ±inf and gaps.
        agree([make(window)], ["x"], [tied(rng, n)], rng)
        # Through a two-bar mean, where inf beside -inf is a present NaN.
        agree([sarvek.Sma(["x"], 2, ["s"]), make(window).__class__(["s"], *args_of(make(window))[1:])],
              ["x"], [tied(rng, n)], rng)


def args_of(f):
    d = sv.FeaturePipeline([f], f.input_names())._config()["features"][0]
    return [d["inputs"], d["window"], d["outputs"]] + ([d["q"]] if "q" in d else [])


@pytest.mark.parametrize("window", [1, 2, 5, 20])
def test_donchian_column_runs_give_the_bits_of_update(window):
    rng = np.random.default_rng(window)
    for _ in range(4):
        n = int(rng.integers(1, 4 * window + 40))
        agree([sarvek.DonchianChannel(["h", "l"], window, ["u", "lo", "m"])], ["h", "l"],
              [tied(rng, n), tied(rng, n)], rng)


def sliding(x, window):
    return np.lib.stride_tricks.sliding_window_view(x, window)


def run(f, *cols):
    fp = sarvek.FeaturePipeline([f], f.input_names())
    out = sarvek.compute_features(fp, dict(zip(f.input_names(), cols)))
    return [np.asarray(out[n]) for n in fp.output_names()]


def clean(n=500, seed=3):
    return 100.0 + np.cumsum(np.random.default_rng(seed).normal(0.0, 1.0, n))


@pytest.mark.parametrize("window", [1, 2, 3, 5, 20, 63])
@pytest.mark.parametrize("q", [0.0, 0.1, 0.25, 1 / 3, 0.5, 0.9, 0.999, 1.0])
def test_quantile_is_numpy_linear_quantile_to_the_bit(window, q):
    x = clean()
    (ours,) = run(sarvek.RollingQuantile(["x"], window, ["v"], q=q), x)
    assert np.isnan(ours[: window - 1]).all()
    ref = np.quantile(sliding(x, window), q, axis=1)
    assert np.array_equal(bits(ours[window - 1:]), bits(ref))
    # pandas interpolates the same neighbours in its own order.
    np.testing.assert_allclose(ours, pd.Series(x).rolling(window).quantile(q).to_numpy(), rtol=1e-13)


def test_quantile_at_order_statistics_keeps_infinities_and_nan_lasts_the_window():
    x = np.array([1.0, np.inf, 3.0, -np.inf, 2.0])
    (med,) = run(sarvek.RollingQuantile(["x"], 3, ["v"]), x)
    (top,) = run(sarvek.RollingQuantile(["x"], 3, ["v"], q=1.0), x)
    (low,) = run(sarvek.RollingQuantile(["x"], 3, ["v"], q=0.0), x)
    (mid,) = run(sarvek.RollingQuantile(["x"], 2, ["v"], q=0.25), x)
    # h = 1: the middle value itself, where NumPy's a + (b - a) * 0 is NaN.
    np.testing.assert_array_equal(med[2:], [3.0, 3.0, 2.0])
    np.testing.assert_array_equal(top[2:], [np.inf, np.inf, 3.0])
    np.testing.assert_array_equal(low[2:], [1.0, -np.inf, -np.inf])
    # Between a finite value and an infinity: a + (b - a) * g is inf, or NaN
    # from -inf (-inf + inf), as in NumPy.
    np.testing.assert_array_equal(mid[1:3], [np.inf, np.inf])
    assert np.isnan(mid[3:]).all()
    # A present NaN (inf - inf inside a two-bar mean) gives NaN while in the window.
    fp = sarvek.FeaturePipeline([sarvek.Sma(["x"], 2, ["s"]), sarvek.RollingQuantile(["s"], 3, ["v"]),
                                 sarvek.RollingRank(["s"], 3, ["r"])], ["x"])
    out = sarvek.compute_features(fp, {"x": [1.0, np.inf, -np.inf, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0]})
    # s = [-, inf, nan, -inf, 1.5, 2.5, 3.5, 4.5, 5.5]
    for name in ("v", "r"):
        v = np.asarray(out[name])
        assert np.isnan(v[:5]).all() and not np.isnan(v[5:]).any(), name
    np.testing.assert_array_equal(np.asarray(out["v"])[5:], [1.5, 2.5, 3.5, 4.5])


@pytest.mark.parametrize("window", [1, 2, 4, 20, 63])
@pytest.mark.parametrize("data", ["clean", "ties", "signed zeros"])
def test_rank_is_pandas_pct_rank_with_average_ties_to_the_bit(window, data):
    rng = np.random.default_rng(window)
    x = {"clean": clean(), "ties": np.round(rng.normal(0, 1.5, 500)),
         "signed zeros": rng.choice([-0.0, 0.0, 1.0, -1.0], 500)}[data]
    (ours,) = run(sarvek.RollingRank(["x"], window, ["r"]), x)
    ref = pd.Series(x).rolling(window).rank(pct=True).to_numpy()
    assert np.array_equal(bits(ours), bits(ref))


def test_donchian_matches_talib_and_its_midpoint_stays_finite():
    talib = pytest.importorskip("talib")
    rng = np.random.default_rng(5)
    close = clean()
    high = close + np.abs(rng.normal(0.0, 0.5, close.size))
    low = close - np.abs(rng.normal(0.0, 0.5, close.size))
    for window in (2, 20, 30):  # TA-Lib's least window is 2
        up, lo, mid = run(sarvek.DonchianChannel(["h", "l"], window, ["u", "lo", "m"]), high, low)
        np.testing.assert_array_equal(up, talib.MAX(high, window))
        np.testing.assert_array_equal(lo, talib.MIN(low, window))
        np.testing.assert_array_equal(mid, talib.MIDPRICE(high, low, window))
        # The same extremes code as RollingMax and RollingMin.
        assert np.array_equal(bits(up), bits(run(sarvek.RollingMax(["x"], window, ["v"]), high)[0]))
    big = np.finfo(np.float64).max
    up, lo, mid = run(sarvek.DonchianChannel(["h", "l"], 2, ["u", "lo", "m"]),
                      np.array([big, big, big, np.inf]), np.array([big / 2, big / 2, -big, 1.0]))
    # big + big / 2 overflows: halves added instead; an infinite high stays infinite.
    np.testing.assert_array_equal(mid[1:], [big / 2 + big / 4, 0.0, np.inf])
    np.testing.assert_array_equal(up[1:], [big, big, np.inf])


def test_donchian_a_missing_high_or_low_blanks_the_whole_channel():
    high = np.array([3.0, 4.0, np.nan, 5.0, 6.0, 7.0])
    low = np.array([1.0, 2.0, 2.0, 3.0, np.nan, 4.0])
    outs = run(sarvek.DonchianChannel(["h", "l"], 2, ["u", "lo", "m"]), high, low)
    for v in outs:
        assert np.isnan(v[[0, 2, 3, 4, 5]]).all() and not np.isnan(v[1])
    np.testing.assert_array_equal([v[1] for v in outs], [4.0, 1.0, 2.5])


@pytest.mark.parametrize("cls, kwargs, message", [
    ("RollingQuantile", dict(q=-0.25), "q must be in [0, 1]"),
    ("RollingQuantile", dict(q=1.5), "q must be in [0, 1]"),
    ("RollingQuantile", dict(q=math.nan), "q must be finite"),
    ("RollingQuantile", dict(q=-math.inf), "q must be finite"),
    ("RollingQuantile", dict(window=0), "window must be non-zero"),
    ("RollingRank", dict(window=0), "window must be non-zero"),
    ("RollingRank", dict(inputs=[]), "inputs must not be empty"),
    ("RollingRank", dict(outputs=[]), "outputs must not be empty"),
    ("DonchianChannel", dict(inputs=["h"]), "inputs must contain high and low columns"),
    ("DonchianChannel", dict(outputs=["u", "l"]), "outputs must contain exactly 3 names: [upper, lower, middle]"),
    ("DonchianChannel", dict(window=0), "window must be non-zero"),
])
def test_bad_configurations_are_refused_by_name(cls, kwargs, message):
    args = dict(inputs=["h", "l"], window=5, outputs=["u", "l", "m"] if cls == "DonchianChannel" else ["o"])
    with pytest.raises(ValueError) as err:
        getattr(sarvek, cls)(**{**args, **kwargs})
    assert str(err.value) == f"Invalid input: {message}"

