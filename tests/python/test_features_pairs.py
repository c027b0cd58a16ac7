"""Windows over several input columns: RollingCorrelation, Vwap, Stochastic,
Cci and Mfi against plain references written in the documented operation
order (bit for bit, awkward data with gaps and infinities), against pandas and
TA-Lib on clean data, on hand-made windows, and their refusals."""
import numpy as np
import pandas as pd
import pytest

import sarvek

NAN = float("nan")


def f64(x):
    return np.float64(x)


def run(feature, columns):
    """The feature's outputs over `columns` (name -> array), one array each."""
    fp = sarvek.FeaturePipeline([feature], list(columns))
    out = sarvek.compute_features(fp, {k: np.asarray(v, dtype=np.float64) for k, v in columns.items()})
    return [np.asarray(out[n], dtype=np.float64) for n in feature.output_names()]


def same(got, want):
    """Same missing/NaN bars, and the same bits everywhere else."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    assert np.array_equal(np.isnan(got), np.isnan(want)), np.flatnonzero(np.isnan(got) != np.isnan(want))[:10]
    keep = ~np.isnan(want)
    bad = np.flatnonzero(got[keep].view(np.uint64) != want[keep].view(np.uint64))
    assert bad.size == 0, (np.flatnonzero(keep)[bad[:5]], got[keep][bad[:5]], want[keep][bad[:5]])


# ------------------------------------------------ references, as documented
# Every window is recomputed in plain np.float64 arithmetic, oldest to newest
# from 0.0; a NaN input is missing and makes every window holding it missing.

def windows(n, *cols):
    """(t, the columns' slices of the window ending at bar t) for complete windows."""
    for t in range(n - 1, len(cols[0])):
        ws = [c[t - n + 1: t + 1] for c in cols]
        if not any(np.isnan(w).any() for w in ws):
            yield t, ws


def ref_correlation(x, y, n):
    out = np.full(len(x), NAN)
    with np.errstate(all="ignore"):
        for t, (wx, wy) in windows(n, x, y):
            sx = sy = f64(0.0)
            for a, b in zip(wx, wy):
                sx, sy = sx + a, sy + b
            mx, my = sx / f64(n), sy / f64(n)
            sxx = syy = sxy = f64(0.0)
            for a, b in zip(wx, wy):
                dx, dy = a - mx, b - my
                sxx, syy, sxy = sxx + dx * dx, syy + dy * dy, sxy + dx * dy
            den = np.sqrt(sxx * syy)
            if sxx != 0.0 and syy != 0.0 and den != 0.0:
                out[t] = sxy / den
    return out


def ref_vwap(p, v, n):
    out = np.full(len(p), NAN)
    with np.errstate(all="ignore"):
        for t, (wp, wv) in windows(n, p, v):
            pv = vol = f64(0.0)
            for a, b in zip(wp, wv):
                pv, vol = pv + a * b, vol + b
            if vol != 0.0:
                out[t] = pv / vol
    return out


def typical(h, l, c):
    with np.errstate(all="ignore"):
        return ((h + l) + c) / 3.0


def scan(w, beyond):
    m = w[0]
    for x in w[1:]:
        if beyond(x, m) or x != x:
            m = x
    return m


def ref_stochastic(h, l, c, n, smooth):
    k = np.full(len(c), NAN)
    with np.errstate(all="ignore"):
        for t, (wh, wl, wc) in windows(n, h, l, c):
            ll = scan(wl, lambda a, b: a < b)
            rng = scan(wh, lambda a, b: a > b) - ll
            if rng != 0.0:
                k[t] = f64(100.0) * ((wc[-1] - ll) / rng)
    d = np.full(len(c), NAN)
    with np.errstate(all="ignore"):
        for t, (wk,) in windows(smooth, k):  # a NaN %K (a NaN range) gives a NaN %D either way
            s = f64(0.0)
            for x in wk:
                s += x
            d[t] = s / f64(smooth)
    return k, d


def ref_cci(h, l, c, n, constant):
    out = np.full(len(c), NAN)
    with np.errstate(all="ignore"):
        for t, (wh, wl, wc) in windows(n, h, l, c):
            w = typical(wh, wl, wc)
            s = f64(0.0)
            for x in w:
                s += x
            m = s / f64(n)
            dev = f64(0.0)
            for x in w:
                dev += abs(x - m)
            mad = dev / f64(n)
            if mad != 0.0:
                out[t] = (w[-1] - m) / (f64(constant) * mad)
    return out


def ref_mfi(h, l, c, v, n):
    present = ~(np.isnan(h) | np.isnan(l) | np.isnan(c) | np.isnan(v))
    tp = typical(h, l, c)  # a NaN here (inf + -inf) is a number, not a gap
    out = np.full(len(c), NAN)
    with np.errstate(all="ignore"):
        for t in range(n, len(c)):
            if not present[t - n: t + 1].all():
                continue
            pos = neg = f64(0.0)
            for k in range(t - n + 1, t + 1):
                f = tp[k] * v[k]
                if np.isnan(tp[k]) or np.isnan(tp[k - 1]):
                    pos, neg = pos + NAN, neg + NAN
                elif tp[k] > tp[k - 1]:
                    pos, neg = pos + f, neg + 0.0
                elif tp[k] < tp[k - 1]:
                    pos, neg = pos + 0.0, neg + f
                else:
                    pos, neg = pos + 0.0, neg + 0.0
            out[t] = 50.0 if pos == 0.0 and neg == 0.0 else f64(100.0) - f64(100.0) / (f64(1.0) + pos / neg)
    return out


# ------------------------------------------------ data

def awkward(rng, n):
    """Prices with gaps (NaN), ±inf, zeros, negatives and flat runs."""
    x = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    for value in (np.nan, np.inf, -np.inf, 0.0, -5.0):
        x[rng.random(n) < 0.01] = value
    start = int(rng.integers(0, n))
    x[start:start + int(rng.integers(0, 30))] = x[start]
    return x


def awkward_bars(seed, n=400):
    rng = np.random.default_rng(seed)
    cols = {k: awkward(rng, n) for k in ("high", "low", "close")}
    volume = rng.integers(0, 5, n).astype(np.float64)  # zeros: empty windows
    volume[rng.random(n) < 0.02] = np.nan
    volume[rng.random(n) < 0.01] = np.inf
    flat = int(rng.integers(0, n - 40))
    for k in cols:  # a run of identical bars: flat windows everywhere
        cols[k][flat:flat + 30] = 50.0
    return {**cols, "volume": volume}


def clean_bars(seed, n=500):
    rng = np.random.default_rng(seed)
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    open_ = np.concatenate([[close[0]], close[:-1]])
    spread = np.abs(rng.normal(0.0, 0.5, n))
    return {"high": np.maximum(open_, close) + spread, "low": np.minimum(open_, close) - spread, "close": close,
            "volume": rng.integers(1, 1000, n).astype(np.float64)}


CASES = [  # (class, constructor kwargs, reference)
    ("RollingCorrelation", {}, lambda d, n: [ref_correlation(d["high"], d["close"], n)]),
    ("Vwap", {}, lambda d, n: [ref_vwap(d["close"], d["volume"], n)]),
    ("Stochastic", {}, lambda d, n: list(ref_stochastic(d["high"], d["low"], d["close"], n, 3))),
    ("Stochastic", {"smooth": 1}, lambda d, n: list(ref_stochastic(d["high"], d["low"], d["close"], n, 1))),
    ("Stochastic", {"smooth": 5}, lambda d, n: list(ref_stochastic(d["high"], d["low"], d["close"], n, 5))),
    ("Cci", {}, lambda d, n: [ref_cci(d["high"], d["low"], d["close"], n, 0.015)]),
    ("Cci", {"constant": 1e-300}, lambda d, n: [ref_cci(d["high"], d["low"], d["close"], n, 1e-300)]),
    ("Mfi", {}, lambda d, n: [ref_mfi(d["high"], d["low"], d["close"], d["volume"], n)]),
]
INPUTS = {"RollingCorrelation": ["high", "close"], "Vwap": ["close", "volume"], "Stochastic": ["high", "low", "close"],
          "Cci": ["high", "low", "close"], "Mfi": ["high", "low", "close", "volume"]}


def make(cls, n, **kwargs):
    outputs = ["k", "d"] if cls == "Stochastic" else ["out"]
    return getattr(sarvek, cls)(INPUTS[cls], n, outputs, **kwargs)


@pytest.mark.parametrize("cls, kwargs, ref", CASES, ids=[f"{c}{k or ''}" for c, k, _ in CASES])
@pytest.mark.parametrize("n", [2, 3, 14, 20])
@pytest.mark.parametrize("seed", [0, 1])
def test_equals_the_documented_operation_order_bit_for_bit(cls, kwargs, ref, n, seed):
    data = awkward_bars(seed)
    got = run(make(cls, n, **kwargs), data)
    for g, w in zip(got, ref(data, n), strict=True):
        same(g, w)


@pytest.mark.parametrize("n", [2, 5, 20])
def test_rolling_correlation_and_vwap_agree_with_pandas(n):
    d = clean_bars(n)
    corr, = run(make("RollingCorrelation", n), d)
    want = pd.Series(d["high"]).rolling(n).corr(pd.Series(d["close"])).to_numpy()
    assert np.array_equal(np.isnan(corr), np.isnan(want))
    np.testing.assert_allclose(corr, want, rtol=1e-8, atol=1e-10)
    vwap, = run(make("Vwap", n), d)
    pv, v = pd.Series(d["close"] * d["volume"]), pd.Series(d["volume"])
    np.testing.assert_allclose(vwap, (pv.rolling(n).sum() / v.rolling(n).sum()).to_numpy(), rtol=1e-12)


@pytest.mark.parametrize("n", [1, 5, 14, 20])
def test_stochastic_cci_and_mfi_agree_with_ta_lib(n):
    talib = pytest.importorskip("talib")
    d = clean_bars(n)
    h, l, c, v = d["high"], d["low"], d["close"], d["volume"]
    for smooth in (1, 3, 5):
        k, dd = run(make("Stochastic", n, smooth=smooth), d)
        fastk, fastd = talib.STOCHF(h, l, c, fastk_period=n, fastd_period=smooth, fastd_matype=0)
        # TA-Lib starts both outputs where %D starts; our %K is there smooth - 1 bars earlier.
        assert np.flatnonzero(~np.isnan(k))[0] == n - 1
        assert np.array_equal(np.isnan(dd), np.isnan(fastd))
        np.testing.assert_allclose(k[~np.isnan(fastk)], fastk[~np.isnan(fastk)], rtol=1e-10, atol=1e-10)
        np.testing.assert_allclose(dd, fastd, rtol=1e-10, atol=1e-10)
    if n == 1:  # TA-Lib's CCI and MFI take two bars or more
        return
    cci, = run(make("Cci", n), d)
    want = talib.CCI(h, l, c, timeperiod=n)
    assert np.array_equal(np.isnan(cci), np.isnan(want))
    np.testing.assert_allclose(cci, want, rtol=1e-9, atol=1e-9)
    mfi, = run(make("Mfi", n), d)
    want = talib.MFI(h, l, c, v, timeperiod=n)
    assert np.array_equal(np.isnan(mfi), np.isnan(want))
    np.testing.assert_allclose(mfi, want, rtol=1e-10, atol=1e-10)


UP = np.arange(1.0, 9.0)
FLAT = np.full(8, 5.0)
ONES = np.ones(8)


@pytest.mark.parametrize("cls, kwargs, columns, want", [
    # A straight line correlates exactly; a flat x or y gives no value.
    ("RollingCorrelation", {}, [UP, 3.0 * UP + 1.0], [1.0] * 5),
    ("RollingCorrelation", {}, [UP, -UP], [-1.0] * 5),
    ("RollingCorrelation", {}, [UP, FLAT], [NAN] * 5),
    # No volume in the window: no price.
    ("Vwap", {}, [UP, np.array([1.0, 0, 0, 0, 0, 0, 0, 2.0])], [1.0, NAN, NAN, NAN, 8.0]),
    # Close at the high and at the low; a flat range gives no %K, and %D waits for 3 present %K.
    ("Stochastic", {}, [UP + 1.0, UP, UP + 1.0], [[100.0] * 5, [NAN, NAN, 100.0, 100.0, 100.0]]),
    ("Stochastic", {}, [np.r_[FLAT[:6], 7.0, 7.0], FLAT, FLAT],
     [[NAN, NAN, NAN, 0.0, 0.0], [NAN] * 5]),
    ("Cci", {}, [FLAT, FLAT, FLAT], [NAN] * 5),
    ("Cci", {"constant": 1.0}, [UP, UP, UP], [1.5] * 5),
    # Typical price always up: 100; always down: 0; flat or no volume: 50.
    ("Mfi", {}, [UP, UP, UP, ONES], [100.0] * 4),
    ("Mfi", {}, [UP[::-1], UP[::-1], UP[::-1], ONES], [0.0] * 4),
    ("Mfi", {}, [FLAT, FLAT, FLAT, ONES], [50.0] * 4),
    ("Mfi", {}, [UP, UP, UP, np.zeros(8)], [50.0] * 4),
    # Equal bars count on neither side, whatever their volume.
    ("Mfi", {}, [np.r_[1.0, 1.0, 2.0, 2.0, 1.0, 1.0, 1.0, 1.0]] * 3 + [np.r_[9.0, 9.0, 1.0, 9.0, 3.0, 9.0, 9.0, 9.0]],
     [100 - 100 / (1 + 2 / 3), 100 - 100 / (1 + 2 / 3), 0.0, 0.0]),
])
def test_hand_made_windows(cls, kwargs, columns, want):
    n = 4
    feature = make(cls, n, **kwargs)
    got = run(feature, dict(zip(INPUTS[cls], columns)))
    want = [want] if not isinstance(want[0], list) else want
    for g, w in zip(got, want, strict=True):
        tail = g[len(g) - len(w):]
        assert np.isnan(g[: len(g) - len(w)]).all()
        np.testing.assert_allclose(tail, w, rtol=1e-14, atol=1e-12)


def test_a_nan_typical_price_is_a_number_that_passes_through_mfi():
    h = np.r_[UP[:4], np.inf, UP[5:]]
    lo = np.r_[UP[:4], -np.inf, UP[5:]]
    got, = run(make("Mfi", 2), {"high": h, "low": lo, "close": UP, "volume": ONES})
    # The NaN typical price of bar 4 spoils the flows of bars 4 and 5: bars 4 .. 6.
    assert np.isnan(got[4:7]).all() and not np.isnan(got[[2, 3, 7]]).any()


@pytest.mark.parametrize("cls, kwargs, message", [
    ("RollingCorrelation", dict(inputs=["x"]), "inputs must contain x and y columns"),
    ("RollingCorrelation", dict(window=1), "window must be >= 2"),
    ("RollingCorrelation", dict(outputs=[]), "outputs must not be empty"),
    ("Vwap", dict(inputs=["p"]), "inputs must contain price and volume columns"),
    ("Vwap", dict(window=0), "window must be non-zero"),
    ("Stochastic", dict(inputs=["h", "l"]), "inputs must contain high, low and close columns"),
    ("Stochastic", dict(outputs=["k"]), "outputs must contain exactly 2 names: [k, d]"),
    ("Stochastic", dict(outputs=["k", "d", "e"]), "outputs must contain exactly 2 names: [k, d]"),
    ("Stochastic", dict(window=0), "window must be non-zero"),
    ("Stochastic", dict(smooth=0), "smooth must be non-zero"),
    ("Cci", dict(inputs=["h", "l"]), "inputs must contain high, low and close columns"),
    ("Cci", dict(window=1), "window must be >= 2"),
    ("Cci", dict(constant=0.0), "constant must be > 0"),
    ("Cci", dict(constant=-0.015), "constant must be > 0"),
    ("Cci", dict(constant=float("nan")), "constant must be finite"),
    ("Cci", dict(constant=float("inf")), "constant must be finite"),
    ("Mfi", dict(inputs=["h", "l", "c"]), "inputs must contain high, low, close and volume columns"),
    ("Mfi", dict(window=0), "window must be non-zero"),
])
def test_bad_configurations_are_refused_by_name(cls, kwargs, message):
    args = dict(inputs=["h", "l", "c", "v"], window=5, outputs=["k", "d"] if cls == "Stochastic" else ["o"])
    with pytest.raises(ValueError) as err:
        getattr(sarvek, cls)(**{**args, **kwargs})
    assert str(err.value) == f"Invalid input: {message}"


@pytest.mark.parametrize("window, smooth", [(1, 1), (3, 1), (4, 3), (14, 5)])
def test_first_valid_bar_gives_percent_d_its_own_bar_down_the_chain(window, smooth):
    stoch = sarvek.Stochastic(["high", "low", "close"], window, ["k", "d"], smooth=smooth)
    fp = sarvek.FeaturePipeline([stoch, sarvek.Sma(["d"], 2, ["sd"]), sarvek.Sma(["k"], 2, ["sk"])],
                                ["high", "low", "close", "volume"])
    first = sarvek.first_valid_bar(fp)
    assert first == {"k": window - 1, "d": window + smooth - 2, "sd": window + smooth - 1, "sk": window}
    out = sarvek.compute_features(fp, clean_bars(7, 40))
    assert {n: int(np.flatnonzero(~np.isnan(out[n]))[0]) for n in first} == first
    assert fp._plan()["history"] == window + smooth - 2 + 1


def test_signatures_put_the_window_between_inputs_and_outputs():
    assert sarvek.Stochastic.__text_signature__ == "(inputs, window, outputs, smooth=3)"
    assert sarvek.Cci.__text_signature__ == "(inputs, window, outputs, constant=0.015)"
    assert sarvek.Mfi(["h", "l", "c", "v"], 14, ["m"]).warm_up_period() == 14
