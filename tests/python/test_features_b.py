"""Rolling moments and range-based volatility: exact values and oracle
cross-checks (their shared surface is in test_module)."""

import math

import numpy as np
import pytest
import scipy.stats
from numpy.lib.stride_tricks import sliding_window_view

import _sarvek

OHLC = ["high", "low", "open", "close"]


@pytest.mark.parametrize("cls, values, expected", [
    (_sarvek.Kurtosis, [1, 2, 3, 4], -1.1999999999999975),
    (_sarvek.ParkinsonVolatility, [2.0, 1.0], 0.41627730557884884),
    (_sarvek.RogersSatchellVolatility, [2.0, 1.0, 1.5, 1.5], 0.49715483373222585),
    # Infinite prices are numbers, not invalid bars.
    (_sarvek.ParkinsonVolatility, [math.inf, 1.0], math.inf),
    (_sarvek.RogersSatchellVolatility, [math.inf, 1.0, 1.0, 1.0], math.inf),
])
def test_exact_values_through_python(cls, values, expected):
    if cls is _sarvek.Kurtosis:
        f = cls(["x"], 4, ["o"])
        out = [f.update([v])[0] for v in values][-1]
    else:
        f = cls(["a", "b", "c", "d"], 1, ["o"])
        out = f.update(values)[0]
    assert out == expected


def test_skewness_of_inexact_flat_window_is_a_number():
    f = _sarvek.Skewness(["x"], 3, ["o"])
    out = [f.update([0.1])[0] for _ in range(3)]
    assert out[2] == pytest.approx(-2.449489742783178, rel=1e-9)
    g = _sarvek.Skewness(["x"], 3, ["o"])
    assert math.isnan([g.update([1.0])[0] for _ in range(3)][2])


# ---- oracle cross-checks on seeded random bars ------------------------------

N = 3000


def with_gaps(x, rng, count=12):
    x = x.copy()
    x[rng.choice(len(x), size=count, replace=False)] = np.nan
    return x


def rolling(fn, columns, window):
    """fn over each full window of the columns; NaN when a window holds a NaN."""
    views = [sliding_window_view(c, window) for c in columns]
    out = np.full(len(columns[0]), np.nan)
    bad = np.zeros(len(views[0]), dtype=bool)
    for v in views:
        bad |= np.isnan(v).any(axis=1)
    with np.errstate(all="ignore"):
        vals = fn(*views)
    vals[bad] = np.nan
    out[window - 1:] = vals
    return out


def stream(feature, rows):
    return np.array([feature.update(list(r))[0] for r in rows])


def assert_matches(got, want):
    np.testing.assert_array_equal(np.isnan(got), np.isnan(want))
    np.testing.assert_allclose(got, want, rtol=1e-9, atol=1e-12, equal_nan=True)


def skew_oracle(v):
    return scipy.stats.skew(v, axis=1, bias=False)


def kurtosis_oracle(v):
    return scipy.stats.kurtosis(v, axis=1, fisher=True, bias=False)


@pytest.mark.parametrize("seed", [1, 2])
@pytest.mark.parametrize("cls, oracle, window", [
    (_sarvek.Skewness, skew_oracle, 3),
    (_sarvek.Skewness, skew_oracle, 7),
    (_sarvek.Skewness, skew_oracle, 50),
    (_sarvek.Kurtosis, kurtosis_oracle, 4),
    (_sarvek.Kurtosis, kurtosis_oracle, 7),
    (_sarvek.Kurtosis, kurtosis_oracle, 50),
])
def test_moments_against_scipy(cls, oracle, window, seed):
    rng = np.random.default_rng(seed)
    # Heavy-tailed returns around a level, so both moments move a lot.
    x = with_gaps(100.0 + rng.standard_t(3, size=N), rng)
    got = stream(cls(["x"], window, ["o"]), x[:, None])
    want = rolling(oracle, [x], window)
    assert np.isnan(got[: window - 1]).all()
    assert_matches(got, want)


def random_ohlc(rng, outside=False):
    close = 50.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, N)))
    open_ = np.roll(close, 1)
    open_[0] = close[0]
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.005, N)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.005, N)))
    if outside:  # open and close outside the high-low range on some bars
        idx = rng.choice(N, size=N // 10, replace=False)
        open_[idx] = high[idx] * 1.01
        close[idx] = low[idx] * 0.99
    return high, low, open_, close


def spoil(columns, rng):
    """Invalid prices on a few bars: high below low, zero, negative, NaN."""
    high, low, open_, close = (c.copy() for c in columns)
    idx = rng.choice(N, size=40, replace=False)
    for k, i in enumerate(idx):
        kind = k % 6
        if kind == 0:
            high[i], low[i] = low[i], high[i] + 0.5
        elif kind == 1:
            low[i] = 0.0
        elif kind == 2:
            high[i] = -high[i]
        elif kind == 3:
            [high, low, open_, close][k % 4][i] = np.nan
        elif kind == 4:
            open_[i] = 0.0
        else:
            close[i] = -1.0
    return high, low, open_, close


def parkinson(h, l):
    valid = (h > 0) & (l > 0) & (h >= l)
    term = np.where(valid, np.log(h / l) ** 2, np.nan)
    return np.sqrt(term.mean(axis=1) / (4.0 * np.log(2.0)))


def rogers_satchell(h, l, o, c):
    valid = (h > 0) & (l > 0) & (o > 0) & (c > 0) & (h >= l)
    term = np.log(h / c) * np.log(h / o) + np.log(l / c) * np.log(l / o)
    mean = np.where(valid, term, np.nan).mean(axis=1)
    return np.where(mean > 0, np.sqrt(mean), np.nan)


@pytest.mark.parametrize("window", [1, 2, 10, 60])
@pytest.mark.parametrize("outside", [False, True], ids=["in-range", "outside"])
@pytest.mark.parametrize("cls, oracle, reads", [
    (_sarvek.ParkinsonVolatility, parkinson, 2),
    (_sarvek.RogersSatchellVolatility, rogers_satchell, 4),
], ids=["parkinson", "rogers-satchell"])
def test_range_estimators_against_numpy(cls, oracle, reads, window, outside):
    rng = np.random.default_rng(window * 7 + outside)
    columns = spoil(random_ohlc(rng, outside), rng)
    # The oracle recomputes validity from the prices themselves; a trailing
    # extra input column must be ignored.
    feature = cls(OHLC[:reads] + ["extra"], window, ["vol"])
    rows = np.column_stack(columns[:reads] + (np.full(N, -7.0),))
    got = stream(feature, rows)

    def guarded(*views):
        with np.errstate(all="ignore"):
            return oracle(*views)

    want = np.full(N, np.nan)
    want[window - 1:] = guarded(*(sliding_window_view(c, window) for c in columns[:reads]))
    assert np.isnan(got[: window - 1]).all()
    # Neither side is vacuous: many values, and some bars blanked.
    assert (~np.isnan(got)).sum() > N // 10
    assert np.isnan(got[window - 1:]).any()
    assert_matches(got, want)
