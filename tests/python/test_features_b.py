"""Rolling moments and range-based volatility: class surface and oracle checks."""

import math

import numpy as np
import pytest
import scipy.stats
from numpy.lib.stride_tricks import sliding_window_view

import _sarvek

UPDATE_A = "Process one bar. Returns ``[NaN]`` during warm-up or on ``NaN`` input."
UPDATE_B = "Process one bar. Returns ``[NaN]`` during warm-up or on invalid input."
OHLC = ["high", "low", "open", "close"]

# class, class doc, update doc, minimal inputs, smallest window, values read
CLASSES = [
    (_sarvek.Skewness, "Rolling sample skewness (Fisher-Pearson corrected).", UPDATE_A, ["x"], 3, 1),
    (_sarvek.Kurtosis, "Rolling excess kurtosis (Fisher).", UPDATE_A, ["x"], 4, 1),
    (_sarvek.ParkinsonVolatility, "Rolling Parkinson volatility estimator (high/low).", UPDATE_B,
     ["high", "low"], 1, 2),
    (_sarvek.RogersSatchellVolatility, "Rolling Rogers-Satchell volatility estimator (OHLC).", UPDATE_B,
     OHLC, 1, 4),
]
IDS = [c[0].__name__ for c in CLASSES]


def bar_for(reads, i):
    """A plausible bar of `reads` values that differs from bar to bar."""
    base = 100.0 + 3.0 * math.sin(i) + 0.1 * i
    return [base + 2.0, base - 2.0, base + 1.0, base - 0.5][:reads] if reads > 1 else [base]


@pytest.mark.parametrize("cls, doc, update_doc, inputs, window, reads", CLASSES, ids=IDS)
def test_class_surface(cls, doc, update_doc, inputs, window, reads):
    assert cls.__module__ == "sarvek"
    assert cls.__text_signature__ == "(inputs, window, outputs)"
    assert cls.__doc__ == doc
    assert cls.update.__text_signature__ == "($self, values)"
    assert cls.update.__doc__ == update_doc
    assert cls.__name__ in _sarvek.__all__

    f = cls(inputs=inputs, window=window + 5, outputs=["out", 'q"uo\\te', "it's"])
    assert f.warm_up_period() == window + 4
    assert f.input_names() == inputs
    names = f.input_names()
    names.append("zzz")
    assert f.input_names() == inputs
    assert repr(f) == (
        f"{cls.__name__}(inputs=[{', '.join(chr(34) + n + chr(34) for n in inputs)}], "
        f'window={window + 5}, outputs=["out", "q\\"uo\\\\te", "it\'s"])'
    )
    # One value per bar, whatever the number of output names.
    out = f.update(values=bar_for(reads, 0))
    assert len(out) == 1 and math.isnan(out[0])


@pytest.mark.parametrize("cls, doc, update_doc, inputs, window, reads", CLASSES, ids=IDS)
def test_short_update_raises_and_changes_nothing(cls, doc, update_doc, inputs, window, reads):
    w = window + 2
    f, twin = cls(inputs, w, ["o"]), cls(inputs, w, ["o"])
    bars = [bar_for(reads, i) for i in range(2 * w)]
    for b in bars[:w]:
        f.update(b)
        twin.update(b)
    for short in ([], bar_for(reads, 99)[: reads - 1]):
        with pytest.raises(ValueError):
            f.update(short)
    with pytest.raises(TypeError):
        f.update(["1.0"] * reads)
    for b in bars[w:]:
        assert f.update(b) == twin.update(b)


@pytest.mark.parametrize("cls, doc, update_doc, inputs, window, reads", CLASSES, ids=IDS)
def test_reset_replays_a_new_feature(cls, doc, update_doc, inputs, window, reads):
    w = window + 3
    bars = [bar_for(reads, i) for i in range(3 * w)]
    f = cls(inputs, w, ["o"])
    first = [f.update(b) for b in bars]
    f.reset()
    again = [f.update(b) for b in bars]
    assert repr(first) == repr(again)  # NaN-aware and bit-exact for the printed floats
    assert all(math.isnan(v[0]) for v in again[: w - 1])
    assert not math.isnan(again[w - 1][0])


@pytest.mark.parametrize("cls, doc, update_doc, inputs, window, reads", CLASSES, ids=IDS)
def test_window_too_large_for_memory(cls, doc, update_doc, inputs, window, reads):
    with pytest.raises(MemoryError):
        cls(inputs, 2**64 - 1, ["o"])


CONSTRUCTION_ERRORS = [
    (_sarvek.Skewness, [], 0, [], "inputs must not be empty"),
    (_sarvek.Skewness, ["x"], 0, [], "outputs must not be empty"),
    (_sarvek.Skewness, ["x"], 0, ["o"], "window must be >= 3"),
    (_sarvek.Skewness, ["x"], 2, ["o"], "window must be >= 3"),
    (_sarvek.Kurtosis, [], 9, ["o"], "inputs must not be empty"),
    (_sarvek.Kurtosis, ["x"], 2, [], "outputs must not be empty"),
    (_sarvek.Kurtosis, ["x"], 3, ["o"], "window must be >= 4"),
    (_sarvek.ParkinsonVolatility, ["high"], 5, ["o"], "inputs must contain high and low columns"),
    (_sarvek.ParkinsonVolatility, ["h", "l"], 0, [], "outputs must not be empty"),
    (_sarvek.ParkinsonVolatility, ["h", "l"], 0, ["o"], "window must be non-zero"),
    (_sarvek.RogersSatchellVolatility, ["h", "l", "o"], 5, ["o"],
     "inputs must contain high, low, open, and close columns"),
    (_sarvek.RogersSatchellVolatility, OHLC, 0, [], "window must be non-zero"),
    (_sarvek.RogersSatchellVolatility, OHLC, 1, [], "outputs must not be empty"),
]


@pytest.mark.parametrize("cls, inputs, window, outputs, msg", CONSTRUCTION_ERRORS)
def test_construction_errors(cls, inputs, window, outputs, msg):
    with pytest.raises(ValueError) as info:
        cls(inputs, window, outputs)
    assert str(info.value) == "Invalid input: " + msg


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
