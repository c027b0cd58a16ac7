"""Rsi, Macd, Atr and Obv: each against a reference of its definition built
collection by collection (bit for bit, gaps and infinities included), against
TA-Lib on clean data, Macd against a pipeline of Emas, first valid bars
against clean runs, and their refusals."""
import math

import numpy as np
import pytest

import sarvek

NAN = math.nan
# The references compute with infinities as NumPy does (inf - inf is NaN).
pytestmark = pytest.mark.filterwarnings("ignore:invalid value encountered:RuntimeWarning")


def bits(a):
    """The bits of every number; every NaN alike (its sign is not a result)."""
    a = np.array(a, dtype=np.float64)
    a[np.isnan(a)] = NAN
    return a.view(np.uint64)


def run(feature, columns):
    fp = sarvek.FeaturePipeline([feature], feature.input_names())
    return np.asarray(fp._run_columns([np.asarray(c, dtype=np.float64) for c in columns]))


def bars(rng, n, gaps=0.0, infinities=False):
    """high, low, close, volume: a random walk with flat stretches; NaN marks a
    missing value (`gaps` of the bars, in any column)."""
    close = 100.0 + np.cumsum(np.round(rng.normal(0.0, 1.0, n), 1))
    for i in np.flatnonzero(rng.random(n) < 0.1)[1:]:
        close[i] = close[i - 1]
    spread = np.abs(rng.normal(0.0, 0.5, n))
    high, low = close + spread, close - spread
    volume = rng.integers(0, 1000, n).astype(np.float64)
    cols = [high, low, close, volume]
    if infinities:
        for c in cols:
            c[rng.random(n) < 0.03] = rng.choice([np.inf, -np.inf])
    for c in cols:
        c[rng.random(n) < gaps] = NAN
    return cols


def wilder_reference(present, terms, n):
    """Wilder averages of the per-bar terms (terms[i] from bars i - 1 and i):
    collections of n + 1 bars counted from bar 0, a failed one skipped whole,
    a missing bar while running restarting the collections after it."""
    out = np.full((len(present), terms.shape[1]), NAN)
    i = 0
    while i + n < len(present):
        if not present[i : i + n + 1].all():
            i += n + 1
            continue
        avg = []
        for k in range(terms.shape[1]):
            s = 0.0
            for t in terms[i + 1 : i + n + 1, k]:
                s += t
            avg.append(s / n)
        out[i + n] = avg
        j = i + n + 1
        while j < len(present) and present[j]:
            with np.errstate(invalid="ignore"):
                avg = [(a * float(n - 1) + t) / n for a, t in zip(avg, terms[j])]
            out[j] = avg
            j += 1
        i = j + 1
    return out


def rsi_reference(close, n):
    present = ~np.isnan(close)
    with np.errstate(invalid="ignore"):
        d = close - np.concatenate([[NAN], close[:-1]])
        terms = np.column_stack([np.where(d < 0, 0.0, d), np.where(d > 0, 0.0, 0.0 - d)])
    avg = wilder_reference(present, terms, n)
    out = []
    for gain, loss in avg:
        if math.isnan(gain) and math.isnan(loss):
            out.append(NAN)  # missing, or a NaN average: NaN either way
        elif loss == 0.0:
            out.append(100.0 if gain > 0 else 50.0 if gain == 0 else NAN)
        else:
            out.append(100.0 - 100.0 / (1.0 + gain / loss))
    return np.asarray(out)


def atr_reference(high, low, close, n):
    present = ~(np.isnan(high) | np.isnan(low) | np.isnan(close))
    prev = np.concatenate([[NAN], close[:-1]])
    with np.errstate(invalid="ignore"):
        tr = np.maximum(np.maximum(high - low, np.abs(high - prev)), np.abs(low - prev))
    return wilder_reference(present, tr[:, None], n)[:, 0]


def obv_reference(close, volume):
    present = np.flatnonzero(~(np.isnan(close) | np.isnan(volume)))
    c, v = close[present], volume[present]
    with np.errstate(invalid="ignore"):
        delta = np.where(c[1:] > c[:-1], v[1:], np.where(c[1:] < c[:-1], -v[1:], 0.0))
    delta[np.isnan(c[1:]) | np.isnan(c[:-1])] = NAN
    out = np.full(len(close), NAN)
    out[present] = np.cumsum(np.concatenate([[0.0], delta]))[: len(present)]
    return out


@pytest.mark.parametrize("seed", range(6))
@pytest.mark.parametrize("n", [1, 2, 3, 14])
def test_rsi_atr_obv_equal_their_definitions_bit_for_bit(seed, n):
    rng = np.random.default_rng(seed)
    size = int(rng.integers(0, 120))
    high, low, close, volume = bars(rng, size, gaps=[0.0, 0.02, 0.1][seed % 3], infinities=seed >= 3)
    # Infinities are numbers: inf - inf makes a NaN change or true range.
    got = run(sarvek.Rsi(["close"], n, ["r"]), [close])[:, 0]
    assert np.array_equal(bits(got), bits(rsi_reference(close, n))), (seed, n)
    got = run(sarvek.Atr(["high", "low", "close"], n, ["a"]), [high, low, close])[:, 0]
    assert np.array_equal(bits(got), bits(atr_reference(high, low, close, n))), (seed, n)
    got = run(sarvek.Obv(["close", "volume"], ["o"]), [close, volume])[:, 0]
    assert np.array_equal(bits(got), bits(obv_reference(close, volume))), seed


def test_edge_values_of_rsi_atr_and_obv():
    flat, up, down = [5.0] * 6, [1.0, 2, 3, 4, 5, 6], [6.0, 5, 4, 3, 2, 1]
    for prices, want in ((flat, 50.0), (up, 100.0), (down, 0.0)):
        assert run(sarvek.Rsi(["c"], 3, ["r"]), [prices])[3:, 0].tolist() == [want] * 3
    # A NaN true range (inf - inf) gives NaN and stays in the average.
    h, l, c = [2.0, math.inf, 2.0, 2.0], [1.0, math.inf, 1.0, 1.0], [1.5, 1.5, 1.5, 1.5]
    assert np.isnan(run(sarvek.Atr(["h", "l", "c"], 1, ["a"]), [h, l, c])[1:, 0]).all()
    # A missing bar leaves the total; the next bar compares with the last present close.
    got = run(sarvek.Obv(["c", "v"], ["o"]), [[1.0, 2.0, NAN, 1.5, 1.5, 3.0], [7.0, 5.0, 9.0, 3.0, 11.0, 2.0]])
    assert np.array_equal(got[:, 0], [0.0, 5.0, NAN, 2.0, 2.0, 4.0], equal_nan=True)


@pytest.mark.parametrize("n", [2, 5, 14, 30])  # TA-Lib takes periods from 2
def test_rsi_and_atr_match_talib_from_bar_window(n):
    talib = pytest.importorskip("talib")
    high, low, close, _ = bars(np.random.default_rng(n), 600)
    for ours, theirs in ((run(sarvek.Rsi(["c"], n, ["r"]), [close])[:, 0], talib.RSI(close, n)),
                         (run(sarvek.Atr(["h", "l", "c"], n, ["a"]), [high, low, close])[:, 0],
                          talib.ATR(high, low, close, n))):
        assert np.isnan(ours[:n]).all() and not np.isnan(ours[n:]).any()
        np.testing.assert_allclose(ours[n:], theirs[n:], rtol=1e-9, atol=1e-9)


def test_obv_matches_talib_up_to_its_start_at_the_first_volume():
    talib = pytest.importorskip("talib")
    _, _, close, volume = bars(np.random.default_rng(7), 500)
    ours = run(sarvek.Obv(["c", "v"], ["o"]), [close, volume])[:, 0]
    np.testing.assert_array_equal(ours, talib.OBV(close, volume) - volume[0])


@pytest.mark.parametrize("fast,slow,signal", [(12, 26, 9), (1, 2, 1), (2, 3, 4), (5, 30, 2), (3, 7, 7)])
@pytest.mark.parametrize("gaps", [0.0, 0.03])
def test_macd_is_a_pipeline_of_emas_bit_for_bit(fast, slow, signal, gaps):
    rng = np.random.default_rng(fast * 100 + slow + int(gaps * 100))
    _, _, close, _ = bars(rng, 400, gaps=gaps, infinities=gaps > 0)
    fp = sarvek.FeaturePipeline(
        [sarvek.Macd(["c"], ["m", "s", "h"], fast=fast, slow=slow, signal=signal),
         sarvek.Ema(["c"], fast, ["f"]), sarvek.Ema(["c"], slow, ["sl"]), sarvek.Ema(["m"], signal, ["e"])], ["c"])
    out = np.asarray(fp._run_columns([close]))
    m, s, h, f, sl, e = out.T
    with np.errstate(invalid="ignore"):
        assert np.array_equal(bits(m), bits(f - sl))
        assert np.array_equal(bits(s), bits(e))
        assert np.array_equal(bits(h), bits(m - s))


def test_macd_differs_from_talib_only_by_its_seeding():
    # TA-Lib seeds its two averages at different bars; the difference decays
    # geometrically, so far from the start both agree.
    talib = pytest.importorskip("talib")
    _, _, close, _ = bars(np.random.default_rng(5), 2000)
    ours = run(sarvek.Macd(["c"], ["m", "s", "h"]), [close])
    theirs = np.column_stack(talib.MACD(close, 12, 26, 9))
    np.testing.assert_allclose(ours[1500:], theirs[1500:], rtol=1e-9, atol=1e-9)


def first_valid_of(columns):
    return {n: (int(np.flatnonzero(~np.isnan(v))[0]) if (~np.isnan(v)).any() else None) for n, v in columns.items()}


@pytest.mark.parametrize("lag", [0, 1, 4, 5, 6, 13])
@pytest.mark.parametrize("kind", ["Rsi", "Atr", "Obv", "Macd"])
def test_first_valid_bar_holds_exactly_behind_a_chain(kind, lag):
    rng = np.random.default_rng(lag)
    high, low, close, volume = bars(rng, 160)
    # Fed from bar `lag` on by a LogReturn (lag 0: the input column itself).
    chain = [sarvek.LogReturn(["close"], lag, ["x"])] if lag else []
    x = "x" if lag else "close"
    features = {"Rsi": [sarvek.Rsi([x], w, [f"rsi{w}"]) for w in (1, 2, 4, 5, 14)],
                "Atr": [sarvek.Atr(["high", "low", x], w, [f"atr{w}"]) for w in (1, 3, 5, 6)],
                "Obv": [sarvek.Obv([x, "volume"], ["obv"])],
                "Macd": [sarvek.Macd([x], [f"m{a}", f"s{a}", f"h{a}"], fast=a, slow=b, signal=c)
                         for a, b, c in ((12, 26, 9), (1, 2, 1), (2, 5, 3), (3, 4, 6), (4, 11, 5))]}[kind]
    fp = sarvek.FeaturePipeline(chain + features, ["high", "low", "close", "volume"])
    out = sarvek.compute_features(fp, {"high": high, "low": low, "close": close, "volume": volume})
    assert sarvek.first_valid_bar(fp) == first_valid_of(out)


@pytest.mark.parametrize("make,message", [
    (lambda: sarvek.Rsi(["x"], 0, ["r"]), "window must be non-zero"),
    (lambda: sarvek.Rsi([], 3, ["r"]), "inputs must not be empty"),
    (lambda: sarvek.Atr(["h", "l"], 3, ["a"]), "inputs must contain high, low and close columns"),
    (lambda: sarvek.Atr(["h", "l", "c"], 0, ["a"]), "window must be non-zero"),
    (lambda: sarvek.Obv(["c"], ["o"]), "inputs must contain close and volume columns"),
    (lambda: sarvek.Obv(["c", "v"], []), "outputs must not be empty"),
    (lambda: sarvek.Macd(["x"], ["m", "s"]), "outputs must contain exactly 3 names: [macd, signal, hist]"),
    (lambda: sarvek.Macd(["x"], ["m", "s", "h"], fast=0), "fast must be >= 1"),
    (lambda: sarvek.Macd(["x"], ["m", "s", "h"], fast=5, slow=5), "slow must be > fast"),
    (lambda: sarvek.Macd(["x"], ["m", "s", "h"], slow=3), "slow must be > fast"),
    (lambda: sarvek.Macd(["x"], ["m", "s", "h"], signal=0), "signal must be >= 1"),
])
def test_bad_configurations_are_refused_by_name(make, message):
    with pytest.raises(ValueError) as err:
        make()
    assert str(err.value) == f"Invalid input: {message}"
