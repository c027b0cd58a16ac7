"""GarmanKlassVolatility and YangZhangVolatility: bit for bit against a plain
Python reference of their operation order (libm's log, the same rounding
steps), on bars full of invalid prices and gaps; within 1e-12 of textbook
NumPy/pandas formulas on clean bars; their edge cases and refusals."""
import math

import numpy as np
import pandas as pd
import pytest

import sarvek

OHLC = ["high", "low", "open", "close"]
TWO_LN2_MINUS_ONE = 2.0 * 0.6931471805599453 - 1.0


def clean_bars(n, seed):
    """Positive OHLC with open and close inside the range."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    open_ = close * np.exp(rng.normal(0.0, 0.004, n))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.004, n)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.004, n)))
    return {"high": high, "low": low, "open": open_, "close": close}


def rough_bars(n, seed):
    """Clean bars spoiled here and there: gaps (NaN), zeros, negatives,
    infinities, high below low, open and close outside the range, flat bars."""
    rng = np.random.default_rng(seed)
    b = clean_bars(n, seed)
    for name in OHLC:
        for value in (np.nan, 0.0, -1.0, np.inf):
            b[name][rng.random(n) < 0.002] = value
    swap = rng.random(n) < 0.005
    b["high"][swap], b["low"][swap] = b["low"][swap].copy(), b["high"][swap].copy()
    out = rng.random(n) < 0.03
    b["close"][out] *= 1.01
    flat = int(rng.integers(0, n - 10))
    for name in OHLC:
        b[name][flat:flat + 8] = 50.0
    return b


def compute(f, b):
    fp = sarvek.FeaturePipeline([f], OHLC)
    return sarvek.compute_features(fp, b)[f.output_names()[0]]


def bits(a):
    """The bits of every number; every NaN (missing, or a NaN result) as one."""
    a = np.asarray(a, dtype=np.float64)
    return np.where(np.isnan(a), np.nan, a).view(np.uint64)


def valid(h, l, o, c):
    return all(isinstance(v, float) and not math.isnan(v) for v in (h, l, o, c)) and (
        h > 0.0 and l > 0.0 and o > 0.0 and h >= l and c > 0.0)


def log(x):
    # libm's log, which Python's math.log calls, but -inf for 0 (finite / inf)
    # where math.log raises.
    return -math.inf if x == 0.0 else math.log(x)


def mean(xs):
    s = 0.0
    for x in xs:
        s += x
    return s / float(len(xs))


def root(v):
    # Missing below zero; NaN goes on as NaN.
    return math.nan if v < 0.0 else (math.sqrt(v) if not math.isnan(v) else math.nan)


def rs_term(h, l, o, c):
    return log(h / c) * log(h / o) + log(l / c) * log(l / o)


def gk_reference(b, n):
    terms, out = [], []
    for h, l, o, c in zip(*(b[k].tolist() for k in OHLC)):
        if valid(h, l, o, c):
            r, q = log(h / l), log(c / o)
            terms.append(0.5 * (r * r) - TWO_LN2_MINUS_ONE * (q * q))
        else:
            terms.append(None)
        w = terms[-n:]
        out.append(root(mean(w)) if len(w) == n and None not in w else math.nan)
    return np.array(out)


def yz_reference(b, n):
    k = 0.34 / (1.34 + float(n + 1) / float(n - 1))
    terms, out, prev = [], [], None
    for h, l, o, c in zip(*(b[x].tolist() for x in OHLC)):
        if prev is not None and not math.isnan(prev) and prev > 0.0 and valid(h, l, o, c):
            terms.append((log(o / prev), log(c / o), rs_term(h, l, o, c)))
        else:
            terms.append(None)
        prev = c
        w = terms[-n:]
        if len(w) < n or None in w:
            out.append(math.nan)
            continue
        mo, mc, mr = (mean([t[j] for t in w]) for j in range(3))
        qo = qc = 0.0
        for t in w:
            d, e = t[0] - mo, t[1] - mc
            qo += d * d
            qc += e * e
        dof = float(n - 1)
        out.append(root((qo / dof + k * (qc / dof)) + (1.0 - k) * mr))
    return np.array(out)


CASES = [(sarvek.GarmanKlassVolatility, gk_reference, w) for w in (1, 2, 3, 5, 20)] + [
    (sarvek.YangZhangVolatility, yz_reference, w) for w in (2, 3, 5, 20)]


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("cls, reference, window", CASES, ids=lambda c: getattr(c, "__name__", str(c)))
def test_bit_for_bit_with_the_reference_on_rough_bars(cls, reference, window, seed):
    b = rough_bars(700, seed)
    got = compute(cls(OHLC, window, ["v"]), b)
    want = reference(b, window)
    assert np.array_equal(bits(got), bits(want))
    assert np.isfinite(want).sum() > 100 and np.isnan(want[window:]).sum() > 20  # values and gaps


@pytest.mark.parametrize("cls", [sarvek.GarmanKlassVolatility, sarvek.YangZhangVolatility])
def test_column_runs_in_pieces_continue_like_one_run(cls):
    # The previous close (YZ) and the window carry from one run to the next.
    b = rough_bars(400, 5)
    rows = np.column_stack([b[k] for k in OHLC])
    fp = sarvek.FeaturePipeline([cls(OHLC, 4, ["v"])], OHLC)
    whole = np.asarray(fp._run_columns(rows))
    for cuts in ([1, 2, 3, 50, 51, 399], [7, 8, 200]):
        parts, start = [], 0
        fp._run_columns(rows[:0])  # resets
        for end in cuts + [len(rows)]:
            parts.append(np.asarray(fp._run_columns(rows[start:end], reset=False)))
            start = end
        assert np.array_equal(bits(np.concatenate(parts)), bits(whole)), cuts


@pytest.mark.parametrize("window", [1, 2, 5, 20, 63])
def test_garman_klass_matches_numpy(window):
    b = clean_bars(600, window)
    got = compute(sarvek.GarmanKlassVolatility(OHLC, window, ["gk"]), b)
    term = 0.5 * np.log(b["high"] / b["low"]) ** 2 - (2 * np.log(2) - 1) * np.log(b["close"] / b["open"]) ** 2
    want = np.sqrt(np.lib.stride_tricks.sliding_window_view(term, window).mean(axis=1))
    assert np.isnan(got[: window - 1]).all() and not np.isnan(got[window - 1:]).any()
    np.testing.assert_allclose(got[window - 1:], want, rtol=1e-12)


@pytest.mark.parametrize("window", [2, 3, 5, 20, 63])
def test_yang_zhang_matches_pandas(window):
    b = {k: pd.Series(v) for k, v in clean_bars(600, window).items()}
    got = compute(sarvek.YangZhangVolatility(OHLC, window, ["yz"]), {k: v.to_numpy() for k, v in b.items()})
    h, l, o, c = (b[k] for k in OHLC)
    overnight, intraday = np.log(o / c.shift(1)), np.log(c / o)
    rs = np.log(h / c) * np.log(h / o) + np.log(l / c) * np.log(l / o)
    k = 0.34 / (1.34 + (window + 1) / (window - 1))
    var = (overnight.rolling(window).var() + k * intraday.rolling(window).var()
           + (1 - k) * rs.rolling(window).mean())
    # Bar 0 has no previous close: the first value is at bar `window`.
    assert np.isnan(got[:window]).all() and not np.isnan(got[window:]).any()
    np.testing.assert_allclose(got[window:], np.sqrt(var.to_numpy()[window:]), rtol=1e-12)


def one(cls, window, rows):
    fp = sarvek.FeaturePipeline([cls(OHLC, window, ["v"])], OHLC)
    return np.array([fp.update(list(r))[0] for r in rows])


def test_flat_bars_give_zero_and_negative_variances_are_missing():
    flat = [(5.0, 5.0, 5.0, 5.0)] * 4
    assert (one(sarvek.GarmanKlassVolatility, 2, flat)[1:] == 0.0).all()
    assert (one(sarvek.YangZhangVolatility, 2, flat)[2:] == 0.0).all()
    # Close far outside a narrow range: the open-to-close part outweighs it.
    assert np.isnan(one(sarvek.GarmanKlassVolatility, 1, [(1.01, 1.0, 1.0, 2.0)])).all()
    # The same bar again and again: no spread of returns, a negative RS mean.
    assert np.isnan(one(sarvek.YangZhangVolatility, 2, [(2.0, 1.0, 0.5, 4.0)] * 6)).all()


@pytest.mark.parametrize("bad, blanked", [
    ((np.nan, 1.0, 1.5, 1.5), 3),  # a missing high: its bar and the n - 1 after
    ((0.5, 1.0, 1.5, 1.5), 3),  # high below low: the same
    ((2.0, 1.0, 1.5, np.nan), 4),  # a missing close also takes the next overnight return
    ((2.0, 1.0, 1.5, -1.0), 4),
])
def test_an_invalid_bar_blanks_the_windows_that_reach_it(bad, blanked):
    n = 3
    rng = np.random.default_rng(1)
    rows = [(2.0, 1.0, 1.0 + rng.random(), 1.0 + rng.random()) for _ in range(20)]
    rows[10] = bad
    yz = one(sarvek.YangZhangVolatility, n, rows)
    assert np.isnan(yz[:n]).all() and not np.isnan(yz[n:10]).any()
    assert np.isnan(yz[10:10 + blanked]).all() and not np.isnan(yz[10 + blanked:]).any()
    gk = one(sarvek.GarmanKlassVolatility, n, rows)
    assert np.isnan(gk[10:13]).all() and not np.isnan(gk[13:]).any()


def test_state_resets_and_the_first_valid_bar_counts_the_previous_close():
    fp = sarvek.FeaturePipeline([sarvek.YangZhangVolatility(OHLC, 5, ["yz"])], OHLC)
    assert fp.warm_up_period() == 5 and sarvek.first_valid_bar(fp) == {"yz": 5}
    rows = np.column_stack([clean_bars(30, 0)[k] for k in OHLC]).tolist()
    first = [fp.update(r)[0] for r in rows]
    fp.reset()
    assert np.array_equal(bits([fp.update(r)[0] for r in rows]), bits(first))


@pytest.mark.parametrize("cls, kwargs, message", [
    ("GarmanKlassVolatility", dict(window=0), "window must be non-zero"),
    ("GarmanKlassVolatility", dict(inputs=OHLC[:3]), "inputs must contain high, low, open, and close columns"),
    ("GarmanKlassVolatility", dict(outputs=[]), "outputs must not be empty"),
    ("YangZhangVolatility", dict(window=1), "window must be >= 2"),
    ("YangZhangVolatility", dict(window=0), "window must be >= 2"),
    ("YangZhangVolatility", dict(inputs=OHLC[:2]), "inputs must contain high, low, open, and close columns"),
    ("YangZhangVolatility", dict(outputs=[]), "outputs must not be empty"),
])
def test_bad_configurations_are_refused_by_name(cls, kwargs, message):
    args = dict(inputs=OHLC, window=5, outputs=["v"]) | kwargs
    with pytest.raises(ValueError, match=f"^Invalid input: {message}$"):
        getattr(sarvek, cls)(**args)
