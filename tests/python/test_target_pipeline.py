import math
import warnings

import numpy as np
import pandas as pd
import pytest
from scipy import stats

import _sarvek as sv

NAN = float("nan")


def same(a, b):
    """Equal lists of floats, NaN where NaN, bit for bit otherwise."""
    assert len(a) == len(b)
    for i, (x, y) in enumerate(zip(a, b)):
        assert type(x) is float
        assert (math.isnan(x) and math.isnan(y)) or x == y, (i, x, y)


def close(a, b, rtol=1e-12, atol=1e-13):
    a, b = np.asarray(a, dtype=float), np.asarray(b, dtype=float)
    assert a.shape == b.shape
    assert np.array_equal(np.isnan(a), np.isnan(b)), (a, b)
    np.testing.assert_allclose(a[~np.isnan(a)], b[~np.isnan(b)], rtol=rtol, atol=atol)


def prices(n, seed, gaps=(), bad=()):
    """A random walk of prices with missing values at `gaps` and
    non-positive prices at `bad`."""
    rng = np.random.default_rng(seed)
    p = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.02, n)))
    for i in gaps:
        p[i] = np.nan
    for k, i in enumerate(bad):
        p[i] = 0.0 if k % 2 == 0 else -p[i]
    return p


GAPPY = [
    dict(n=60, seed=1),
    dict(n=60, seed=2, gaps=(3, 4, 30), bad=(10, 45)),
    dict(n=25, seed=3, gaps=(0, 24), bad=(12,)),
]


def test_configuration_reported():
    targets = [sv.FutureReturn(["close"], 5, ["r5"]), sv.FutureCTCVolatility("close", 20),
               sv.FutureLinearSlope(["x", "close"], 3, ["s", "r2"])]
    p = sv.TargetPipeline(targets, ["close", "x", "close"])
    assert len(p) == 3
    assert p.forward_period() == 20
    assert p.output_names() == ["r5", "close_future_ctc_vol_20", "s", "r2"]
    assert p.input_names() == ["close", "x", "close"]
    empty = sv.TargetPipeline([], ["close"])
    assert len(empty) == 0 and empty.forward_period() == 0
    assert empty.run_research([[1.0, 2.0]]) == []


@pytest.mark.parametrize(
    "targets, columns, exc, message",
    [
        ([sv.Sma(["c"], 2, ["o"])], ["c"], ValueError, "unsupported target type: Sma"),
        ([sv.FutureReturn(["c"], 1, ["r"]), 5], ["c"], ValueError, "unsupported target type: int"),
        ([sv.FutureReturn], ["c"], ValueError, "unsupported target type: type"),
        ([sv.FutureReturn(["c"], 1, ["r"]), sv.FutureReturn(["c"], 2, ["r"])], ["c"], ValueError,
         "Duplicate output key 'r': produced by index 0 and 1"),
        ([sv.FutureReturn(["nope"], 1, ["r"]), sv.FutureReturn(["c"], 2, ["r"])], ["c"], ValueError,
         "Duplicate output key 'r': produced by index 0 and 1"),
        ([sv.FutureReturn(["c"], 1, ["ret"]), sv.FutureLinearSlope(["ret", "v"], 2, ["s", "q"]),
          sv.FutureReturn(["v"], 1, ["w"])], ["c"], ValueError,
         'Missing input column(s): ["ret", "v"]'),
    ],
)
def test_construction_refused(targets, columns, exc, message):
    with pytest.raises(exc) as err:
        sv.TargetPipeline(targets, columns)
    assert str(err.value) == message


@pytest.mark.parametrize(
    "args, exc",
    [
        (("nope", ["c"]), TypeError),
        ((5, ["c"]), TypeError),
        (([], "close"), TypeError),
        (([], ["c", 3]), TypeError),
        (([],), TypeError),
    ],
)
def test_construction_conversion_errors(args, exc):
    with pytest.raises(exc):
        sv.TargetPipeline(*args)


def test_targets_are_private_copies():
    t = sv.FutureReturn(["close"], 1, ["r"])
    p1 = sv.TargetPipeline([t], ["close"])
    p2 = sv.TargetPipeline((t,), ("close",))
    data = [[1.0, 2.0, 4.0]]
    same(p1.run_research(data)[0], [1.0, 1.0, NAN])
    same(p1.run_research(data)[0], p2.run_research(data)[0])
    assert t.forward_period() == 1


# ------------------------------------------------------------ research runs

def test_order_positions_and_missing_tails():
    n = 12
    close_col = list(prices(n, 7))
    x = list(range(n))
    y = [2.0 * i + (i % 3) for i in range(n)]
    targets = [sv.FutureLinearSlope(["x", "y"], 4, ["s", "r2"]), sv.FutureReturn(["close"], 3, ["r"]),
               sv.FutureCTCVolatility("close", 2)]
    # "close" is listed twice: the later position wins.
    p = sv.TargetPipeline(targets, ["close", "x", "y", "unused", "close"])
    out = p.run_research([[NAN] * n, x, y, [1.0] * n, close_col, [9.0] * n])
    assert len(out) == len(p.output_names()) == 4
    tails = [3, 3, 3, 2]
    for col, tail in zip(out, tails):
        assert len(col) == n
        assert all(math.isnan(v) for v in col[n - tail:])
        assert not any(math.isnan(v) for v in col[: n - tail])


def test_each_target_reads_its_columns_in_its_own_order():
    x = [0.0, 1.0, 2.0, 3.0]
    y = [0.0, 2.0, 4.0, 6.0]
    p = sv.TargetPipeline([sv.FutureLinearSlope(["x", "y"], 2, ["a", "b"]),
                           sv.FutureLinearSlope(["y", "x"], 2, ["c", "d"])], ["y", "x"])
    out = p.run_research([y, x])
    same(out[0], [2.0, 2.0, 2.0, NAN])
    same(out[2], [0.5, 0.5, 0.5, NAN])


@pytest.mark.parametrize("case", GAPPY)
@pytest.mark.parametrize("h", [1, 2, 5])
def test_future_return_against_pandas(case, h):
    p = prices(**case)
    got = sv.TargetPipeline([sv.FutureReturn(["close"], h, ["r"])], ["close"]).run_research([list(p)])[0]
    s = pd.Series(p)
    oracle = s.pct_change(h, fill_method=None).shift(-h)
    oracle[~(s > 0)] = np.nan  # a missing or non-positive base price has no return
    close(got, oracle.to_numpy())
    # The arithmetic itself: subtraction first, then one division.
    exact = [(p[i + h] - p[i]) / p[i] if i + h < len(p) and p[i] > 0 and not np.isnan(p[i + h]) else NAN
             for i in range(len(p))]
    same(got, exact)


def ctc_oracle(c, h):
    c = np.asarray(c, dtype=float)
    n = len(c)
    r = np.full(n, np.nan)
    with np.errstate(invalid="ignore", divide="ignore"):
        ok = (c[1:] > 0) & (c[:-1] > 0)
        r[1:][ok] = np.log(c[1:][ok] / c[:-1][ok])
    out = np.full(n, np.nan)
    for i in range(n - h):
        w = r[i + 1: i + h + 1]
        if h >= 2 and not np.isnan(w).any():
            out[i] = np.std(w, ddof=1)
    return out


@pytest.mark.parametrize("case", GAPPY)
@pytest.mark.parametrize("h", [1, 2, 3, 10, 100])
def test_future_ctc_volatility_against_numpy(case, h):
    c = prices(**case)
    t = sv.FutureCTCVolatility("close", h)
    got = sv.TargetPipeline([t], ["close"]).run_research([list(c)])[0]
    close(got, ctc_oracle(c, h))


def slope_oracle(x, y, h):
    n = len(x)
    slope, r2 = np.full(n, np.nan), np.full(n, np.nan)
    for i in range(n - h + 1):
        wx, wy = x[i:i + h], y[i:i + h]
        if np.isnan(wx).any() or np.isnan(wy).any() or np.ptp(wx) == 0:
            continue
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            fit = stats.linregress(wx, wy)
        slope[i] = fit.slope
        if np.ptp(wy) != 0:
            r2[i] = fit.rvalue ** 2
    return slope, r2


@pytest.mark.parametrize("case", GAPPY)
@pytest.mark.parametrize("h", [2, 3, 7])
def test_future_linear_slope_against_scipy(case, h):
    y = prices(**case)
    n = len(y)
    rng = np.random.default_rng(case["seed"] + 100)
    x = np.cumsum(rng.uniform(0.5, 1.5, n))
    x[5] = x[6]  # repeated x values
    x[8:8 + h] = 3.0  # and one window of constant x
    y[20:20 + h] = 50.0  # and one window of constant y
    x[n - 2] = np.nan
    got = sv.TargetPipeline([sv.FutureLinearSlope(["x", "y"], h, ["s", "r2"])], ["x", "y"]).run_research(
        [list(x), list(y)])
    slope, r2 = slope_oracle(x, y, h)
    close(got[0], slope, rtol=1e-9, atol=1e-9)
    close(got[1], r2, rtol=1e-9, atol=1e-9)


def test_nan_is_missing_and_results_are_floats():
    p = sv.TargetPipeline([sv.FutureReturn(["c"], 1, ["r"])], ["c"])
    out = p.run_research([[1.0, NAN, 2, True]])
    same(out[0], [NAN, NAN, -0.5, NAN])
    # Infinities are numbers: (2 - inf) / inf is NaN by IEEE arithmetic.
    out = p.run_research(((1, float("inf"), 2.0),))
    same(out[0], [math.inf, NAN, NAN])


def test_repeated_runs_give_the_same_result():
    c = list(prices(40, 11, gaps=(7,)))
    p = sv.TargetPipeline([sv.FutureCTCVolatility("c", 4), sv.FutureReturn(["c"], 2, ["r"])], ["c"])
    first = p.run_research([c])
    for a, b in zip(first, p.run_research([c])):
        same(a, b)


# ---------------------------------------------- results aligned, bad shapes

def test_every_output_name_gets_a_column():
    p = sv.TargetPipeline([sv.FutureReturn(["c"], 1, ["r", "extra"]), sv.FutureCTCVolatility("c", 2)], ["c"])
    assert p.output_names() == ["r", "extra", "c_future_ctc_vol_2"]
    out = p.run_research([[1.0, 2.0, 4.0, 8.0]])
    assert len(out) == 3
    same(out[0], [1.0, 1.0, 1.0, NAN])
    same(out[1], [NAN] * 4)
    same(out[2], [0.0, 0.0, NAN, NAN])


def test_too_few_columns_is_refused():
    p = sv.TargetPipeline([sv.FutureReturn(["a"], 1, ["r"])], ["a", "b"])
    with pytest.raises(ValueError, match=r"^Invalid input: data must hold one column per input column: "
                                         r"expected 2, got 1$"):
        p.run_research([[1.0, 2.0]])
    with pytest.raises(ValueError):
        p.run_research([])
    same(p.run_research([[1.0, 2.0], [], [5.0]])[0], [1.0, NAN])  # extra columns are ignored


def test_short_y_column_is_refused():
    p = sv.TargetPipeline([sv.FutureLinearSlope(["x", "y"], 2, ["s", "r2"])], ["x", "y"])
    with pytest.raises(ValueError, match=r"^Invalid input: y column must hold at least 3 values, got 2$"):
        p.run_research([[1.0, 2.0, 3.0], [1.0, 2.0]])
    # Longer y is fine and ignored past the end of x; so is a short y when no window fits.
    same(p.run_research([[0.0, 1.0], [0.0, 3.0, 99.0]])[0], [3.0, NAN])
    same(sv.TargetPipeline([sv.FutureLinearSlope(["x", "y"], 5, ["s", "r2"])], ["x", "y"]).run_research(
        [[1.0, 2.0], []])[1], [NAN, NAN])


def test_unequal_columns_keep_each_targets_length():
    p = sv.TargetPipeline([sv.FutureReturn(["a"], 1, ["ra"]), sv.FutureReturn(["b"], 1, ["rb"])], ["a", "b"])
    out = p.run_research([[1.0, 2.0, 4.0], [1.0]])
    same(out[0], [1.0, 1.0, NAN])
    same(out[1], [NAN])


@pytest.mark.parametrize("data", ["abc", 5, ["abc"], [[1.0, "x"]], [5]])
def test_run_research_conversion_errors(data):
    p = sv.TargetPipeline([sv.FutureReturn(["a"], 1, ["r"])], ["a"])
    with pytest.raises(TypeError) as err:
        p.run_research(data)
    assert str(err.value).startswith("argument 'data': ")


def test_reentrant_reads_during_conversion_are_allowed():
    p = sv.TargetPipeline([sv.FutureReturn(["a"], 1, ["r"])], ["a"])
    seen = []

    class Price:
        def __float__(self):
            seen.append((len(p), p.output_names()))
            return 2.0

    out = p.run_research([[1.0, Price()]])
    same(out[0], [1.0, NAN])
    assert seen == [(1, ["r"])]
