"""Behaviour and oracle cross-checks of Ema, Kama, SimpleReturn, LogReturn
and LinearSlope through Python (their shared surface is in test_module)."""

import math

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import _sarvek as sv

NAN = float("nan")


def same(a, b):
    """Equal lists of floats, NaN matching NaN."""
    return len(a) == len(b) and all((math.isnan(x) and math.isnan(y)) or x == y for x, y in zip(a, b))


# ------------------------------------------------------------ behaviour

def test_kama_defaults_and_keywords():
    bars = [100 + math.sin(i / 3) * 5 + i * 0.1 for i in range(60)]
    plain = sv.Kama(["c"], 5, ["k"])
    explicit = sv.Kama(["c"], 5, ["k"], 2, 30)
    keywords = sv.Kama(inputs=["c"], window=5, outputs=["k"], slow=30, fast=2)
    other = sv.Kama(["c"], 5, ["k"], fast=3)
    runs = [[f.update([x])[0] for x in bars] for f in (plain, explicit, keywords, other)]
    assert same(runs[0], runs[1]) and same(runs[0], runs[2])
    assert not same(runs[0], runs[3])
    assert repr(other) == 'Kama(inputs=["c"], window=5, outputs=["k"])'


@pytest.mark.parametrize("kwargs, error", [
    ({"fast": None}, TypeError), ({"slow": None}, TypeError), ({"fast": 2.0}, TypeError),
    ({"fast": -1}, OverflowError), ({"slow": 2**64}, OverflowError),
])
def test_kama_parameters_must_be_unsigned_integers(kwargs, error):
    with pytest.raises(error):
        sv.Kama(["c"], 5, ["k"], **kwargs)


def test_nan_is_missing_and_infinity_is_a_number():
    s = sv.SimpleReturn(["c"], 1, ["r"])
    assert [s.update([x])[0] for x in [2.0, math.inf]][1] == math.inf
    e = sv.Ema(["c"], 1, ["e"])
    out = [e.update([x])[0] for x in [1.0, math.inf, 2.0, NAN, 3.0]]
    assert out[:2] == [1.0, math.inf] and math.isnan(out[2]) and math.isnan(out[3]) and out[4] == 3.0


# ------------------------------------------------------------------ oracles

def _prices(n, seed, gap=0.02):
    """A seeded geometric random walk with missing values (NaN) in runs."""
    rng = np.random.default_rng(seed)
    p = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    holes = rng.random(n) < gap
    runs = np.flatnonzero(holes)
    for i in runs[: len(runs) // 3]:
        holes[i: i + 3] = True
    p[holes] = np.nan
    return [float(v) for v in p]


def ema_reference(xs, window):
    """The seeding rule spelled out: SMA seed over `window` values, any
    missing value discards the seed collection or the running average."""
    alpha = 2.0 / (window + 1.0)
    current, buf, out = None, [], []
    for x in xs:
        if current is not None:
            if math.isnan(x):
                current = None
                out.append(NAN)
            else:
                current = (1.0 - alpha) * current + alpha * x
                out.append(current)
            continue
        buf.append(x)
        if len(buf) < window:
            out.append(NAN)
            continue
        if any(math.isnan(v) for v in buf):
            out.append(NAN)
        else:
            s = 0.0
            for v in buf:
                s += v
            current = s / window
            out.append(current)
        buf = []
    return out


@pytest.mark.parametrize("window", [1, 2, 5, 14, 50])
@pytest.mark.parametrize("seed", [1, 2])
def test_ema_against_reference_and_pandas(window, seed):
    xs = _prices(3000, seed)
    f = sv.Ema(["c"], window, ["e"])
    got = [f.update([x])[0] for x in xs]
    want = ema_reference(xs, window)
    assert same(got, want)  # the same arithmetic, so the same bits
    # pandas' adjust=False recursion, started from each seed, on every
    # unbroken stretch.
    got_a = np.array(got)
    valid = ~np.isnan(got_a)
    edges = np.flatnonzero(np.diff(np.concatenate([[0], valid.astype(int), [0]])))
    assert len(edges) > 2
    for start, stop in zip(edges[::2], edges[1::2]):
        series = pd.Series([got_a[start]] + xs[start + 1: stop])
        ref = series.ewm(alpha=2.0 / (window + 1.0), adjust=False).mean().to_numpy()
        np.testing.assert_allclose(got_a[start:stop], ref, rtol=1e-12)


def kama_reference(xs, window, fast=2, slow=30):
    fast_sc, slow_sc = 2.0 / (fast + 1.0), 2.0 / (slow + 1.0)
    current, buf, out = None, [], []
    for x in xs:
        buf = (buf + [x])[-(window + 1):]
        if len(buf) < window + 1:
            out.append(NAN)
            continue
        if any(math.isnan(v) for v in buf):
            current = None
            out.append(NAN)
            continue
        change = abs(buf[-1] - buf[0])
        vol = 0.0
        for a, b in zip(buf, buf[1:]):
            vol += abs(b - a)
        er = change / vol if vol > 0 else 0.0
        sc = er * (fast_sc - slow_sc) + slow_sc
        sc = sc * sc
        prev = current if current is not None else buf[-2]
        current = sc * (buf[-1] - prev) + prev
        out.append(current)
    return out


@pytest.mark.parametrize("window, fast, slow", [(1, 2, 30), (10, 2, 30), (20, 3, 40)])
def test_kama_against_reference(window, fast, slow):
    xs = _prices(3000, 9)
    f = sv.Kama(["c"], window, ["k"], fast, slow)
    got = [f.update([x])[0] for x in xs]
    assert same(got, kama_reference(xs, window, fast, slow))
    assert sum(not math.isnan(v) for v in got) > 2000


@pytest.mark.parametrize("window", [1, 3, 21])
def test_returns_against_numpy(window):
    xs = _prices(3000, 5)
    a = np.array(xs)
    a[::97] = 0.0    # not a valid price for either
    a[::89] *= -1.0  # likewise as then; valid now for the simple return
    then, now = a[:-window], a[window:]
    ok_simple = (then > 0) & ~np.isnan(now)
    ok_log = ok_simple & (now > 0)
    with np.errstate(divide="ignore", invalid="ignore"):
        simple = np.where(ok_simple, (now - then) / then, np.nan)
        log = np.where(ok_log, np.log(now / then), np.nan)
    s, l = sv.SimpleReturn(["c"], window, ["r"]), sv.LogReturn(["c"], window, ["r"])
    got_s = np.array([s.update([float(x)])[0] for x in a])
    got_l = np.array([l.update([float(x)])[0] for x in a])
    assert np.isnan(got_s[:window]).all() and np.isnan(got_l[:window]).all()
    assert np.array_equal(got_s[window:], simple, equal_nan=True)
    np.testing.assert_allclose(got_l[window:], log, rtol=1e-14, atol=1e-16)
    assert np.isnan(got_l[window:]).sum() > np.isnan(got_s[window:]).sum()


@pytest.mark.parametrize("window", [2, 5, 30])
def test_linear_slope_against_linregress(window):
    rng = np.random.default_rng(window)
    n = 2500
    x = np.cumsum(rng.normal(0.0, 1.0, n))
    y = 0.5 * x + rng.normal(0.0, 2.0, n)
    x[rng.random(n) < 0.01] = np.nan
    y[rng.random(n) < 0.01] = np.nan
    f = sv.LinearSlope(["x", "y"], window, ["s", "r"])
    got = np.array([f.update([float(a), float(b)]) for a, b in zip(x, y)])
    assert np.isnan(got[: window - 1]).all()
    checked = 0
    for end in range(window, n + 1):
        xs, ys = x[end - window: end], y[end - window: end]
        slope, r2 = got[end - 1]
        if np.isnan(xs).any() or np.isnan(ys).any():
            assert np.isnan(slope) and np.isnan(r2)
            continue
        ref = stats.linregress(xs, ys)
        assert slope == pytest.approx(ref.slope, rel=1e-9, abs=1e-12)
        assert r2 == pytest.approx(ref.rvalue ** 2, rel=1e-9, abs=1e-12)
        checked += 1
    assert checked > n // 2
