"""The sarvek package: tables in and out through every adapter, by-symbol
runs, and the first bar at which each output can be valid."""
import math
import pathlib
import re
import tomllib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import sarvek

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
FEATURES_TOML = EXAMPLES / "features.toml"
TARGETS_TOML = EXAMPLES / "targets.toml"


def bars(n, seed=0, symbols=None):
    """A random walk of OHLC bars (positive prices) with a bar counter, a
    text column and, optionally, a symbol column."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
    open_ = close * np.exp(rng.normal(0, 0.003, n))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0, 0.004, n)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0, 0.004, n)))
    cols = {"note": np.array([f"n{i}" for i in range(n)], dtype=object), "bar": np.arange(n),
            "close": close, "low": low, "open": open_, "high": high}
    if symbols:
        cols["symbol"] = np.array(symbols, dtype=object)[rng.integers(0, len(symbols), n)]
    return cols


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def research(pipeline, cols):
    """The list-based reference: run_research on the same numbers."""
    names = pipeline.input_names()
    if isinstance(pipeline, sarvek.FeaturePipeline):
        rows = np.column_stack([np.asarray(cols[n], dtype=np.float64) for n in names]).tolist()
        out = pipeline.run_research(rows)
        return np.asarray(out, dtype=np.float64).reshape(len(rows), len(pipeline.output_names()))
    return np.asarray(pipeline.run_research([np.asarray(cols[n], dtype=np.float64).tolist() for n in names])).T


ADAPTERS = {
    "pandas": (lambda c: pd.DataFrame(c, index=pd.RangeIndex(1000, 1000 + 2 * len(c["bar"]), 2)),
               lambda out, names: out[names].to_numpy()),
    "polars": (lambda c: pl.DataFrame({k: (v.tolist() if v.dtype == object else v) for k, v in c.items()}),
               lambda out, names: out.select(names).to_numpy()),
    "pyarrow": (lambda c: pa.table({k: (v.tolist() if v.dtype == object else v) for k, v in c.items()}),
                lambda out, names: np.column_stack([out.column(n).to_numpy() for n in names])),
    "dict": (lambda c: dict(c), lambda out, names: np.column_stack([out[n] for n in names])),
}


@pytest.fixture(scope="module", params=[FEATURES_TOML, TARGETS_TOML], ids=["features", "targets"])
def pipeline(request):
    return sarvek.load_pipeline(request.param)


def compute(pipeline, data, **kw):
    fn = sarvek.compute_features if isinstance(pipeline, sarvek.FeaturePipeline) else sarvek.compute_targets
    return fn(pipeline, data, **kw)


@pytest.mark.parametrize("n", [0, 1, 37, 500])
def test_every_adapter_matches_numpy_and_run_research(pipeline, n):
    cols = bars(n, seed=n)
    cols["close"][n // 3: n // 3 + 2] = np.nan  # gaps travel as missing
    names = pipeline.output_names()
    matrix = np.column_stack([cols[c] for c in pipeline.input_names()]) if n else \
        np.empty((0, len(pipeline.input_names())))
    reference = compute(pipeline, matrix)
    assert reference.dtype == np.float64 and reference.shape == (n, len(names))
    assert np.array_equal(bits(reference), bits(research(pipeline, cols)))
    assert np.array_equal(bits(compute(pipeline, np.asfortranarray(matrix))), bits(reference))
    for kind, (make, back) in ADAPTERS.items():
        data = make(cols)
        out = compute(pipeline, data)
        assert type(out) is type(data), kind
        assert list(out.columns if kind in ("pandas", "polars") else
                    (out.column_names if kind == "pyarrow" else out)) == names, kind
        assert np.array_equal(bits(back(out, names)), bits(reference)), kind
        if kind == "pandas":
            assert out.index.equals(data.index)


def test_pipeline_may_be_given_as_object_dict_or_path(pipeline, tmp_path):
    cols = bars(120)
    doc = sarvek.pipeline_to_dict(pipeline)
    path = tmp_path / "p.toml"
    sarvek.save_pipeline(pipeline, path)
    fn = sarvek.compute_features if isinstance(pipeline, sarvek.FeaturePipeline) else sarvek.compute_targets
    outs = [fn(p, cols) for p in (pipeline, doc, path, str(path))]
    for out in outs[1:]:
        assert all(np.array_equal(bits(out[k]), bits(outs[0][k])) for k in outs[0])


def test_the_callers_pipeline_is_never_touched():
    fp = sarvek.FeaturePipeline([sarvek.Sma(["close"], 3, ["s"])], ["close"])
    twin = sarvek.FeaturePipeline([sarvek.Sma(["close"], 3, ["s"])], ["close"])
    for x in (1.0, 2.0):
        fp.update([x]), twin.update([x])
    sarvek.compute_features(fp, {"close": np.arange(50.0)})
    assert fp.update([3.0]) == twin.update([3.0]) == [2.0]


def test_input_conversions_ints_bools_float32_and_nulls():
    fp = sarvek.FeaturePipeline([sarvek.Sma(["a"], 2, ["sa"]), sarvek.Sma(["b"], 2, ["sb"])], ["a", "b"])
    ints = np.array([1, 2, 3, 4], dtype=np.int32)
    expected = sarvek.compute_features(fp, {"a": ints.astype(float), "b": np.array([0.5, np.nan, 1.0, 0.0])})
    f32 = np.array([0.5, np.nan, 1.0, 0.0], dtype=np.float32)
    for data in (
        {"a": ints, "b": f32},
        pd.DataFrame({"a": pd.array([1, 2, 3, 4], dtype="Int64"), "b": pd.array([0.5, None, 1.0, 0.0], "Float64")}),
        pl.DataFrame({"a": [1, 2, 3, 4], "b": [0.5, None, 1.0, 0.0]}),
        pa.table({"a": pa.array([1, 2, 3, 4], pa.int8()), "b": pa.array([0.5, None, 1.0, 0.0], pa.float32())}),
    ):
        out = sarvek.compute_features(fp, data)
        got = {n: np.asarray(out[n].to_numpy() if hasattr(out[n], "to_numpy") else out[n]) for n in ("sa", "sb")}
        assert all(np.array_equal(bits(got[n]), bits(expected[n])) for n in got), type(data)
    bools = sarvek.compute_features(fp, {"a": np.array([True, False, True, True]), "b": ints})
    assert np.array_equal(bits(bools["sa"]), bits(np.array([np.nan, 0.5, 0.5, 1.0])))


@pytest.mark.parametrize("kind", list(ADAPTERS))
def test_bad_tables_name_the_column(kind):
    fp = sarvek.load_pipeline(FEATURES_TOML)
    cols = bars(10)
    make = ADAPTERS[kind][0]
    missing = {k: v for k, v in cols.items() if k != "high"}
    with pytest.raises(ValueError, match=r"missing column 'high'.*the data has columns: note, bar, close, low, open"):
        sarvek.compute_features(fp, make(missing))
    texty = dict(cols, open=cols["note"])
    with pytest.raises(TypeError, match=r"column 'open' is not numeric \(dtype "):
        sarvek.compute_features(fp, make(texty))
    with pytest.raises(ValueError, match="missing column 'sym'"):
        sarvek.compute_features(fp, make(cols), by="sym")


def test_arrays_must_have_one_column_per_input():
    fp = sarvek.load_pipeline(FEATURES_TOML)
    good = np.ones((6, 4))
    for bad in (good.T, np.ones((6, 5)), np.ones(6), np.ones((2, 3, 4))):
        with pytest.raises(ValueError, match=r"expected shape \(bars, 4\), got " + re.escape(str(bad.shape))):
            sarvek.compute_features(fp, bad)
    with pytest.raises(TypeError, match="dtype <U1"):
        sarvek.compute_features(fp, np.full((6, 4), "x"))
    with pytest.raises(TypeError, match="named columns"):
        sarvek.compute_features(fp, good, by="symbol")
    with pytest.raises(ValueError, match="column 'b' has 3 values where column 'a' has 2"):
        sarvek.compute_features(sarvek.FeaturePipeline([sarvek.Sma(["a", "b"], 1, ["s"])], ["a", "b"]),
                                {"a": [1.0, 2.0], "b": [1.0, 2.0, 3.0]})
    for data in ([[1.0] * 4], "bars.csv", pd.Series([1.0])):
        with pytest.raises(TypeError, match="data must be a pandas DataFrame"):
            sarvek.compute_features(fp, data)
    with pytest.raises(TypeError, match="use compute_targets"):
        sarvek.compute_features(TARGETS_TOML, good)


@pytest.mark.parametrize("kind", ["pandas", "polars", "pyarrow", "dict"])
@pytest.mark.parametrize("workers", [1, 3])
def test_by_symbol_equals_each_symbol_alone(pipeline, kind, workers):
    cols = bars(400, seed=7, symbols=["AAA", "BB", "C", "DDDD", "E"])
    make, back = ADAPTERS[kind]
    names = pipeline.output_names()
    got = back(compute(pipeline, make(cols), by="symbol", workers=workers), names)
    for sym in np.unique(cols["symbol"]):
        rows = cols["symbol"] == sym
        alone = compute(pipeline, {k: v[rows] for k, v in cols.items()})
        assert np.array_equal(bits(got[rows]), bits(np.column_stack([alone[n] for n in names]))), sym


def test_by_accepts_numeric_and_missing_keys():
    fp = sarvek.FeaturePipeline([sarvek.Sma(["x"], 2, ["s"])], ["x"])
    x = np.arange(8.0)
    for keys, groups in (
        (np.array([1, 2, 1, 2, 1, 2, 1, 2]), [[0, 2, 4, 6], [1, 3, 5, 7]]),
        (np.array(["a", None, "a", None, "b", "b", "a", None], dtype=object), [[0, 2, 6], [1, 3, 7], [4, 5]]),
    ):
        out = sarvek.compute_features(fp, {"x": x, "k": keys}, by="k")["s"]
        expected = np.full(8, np.nan)
        for g in groups:
            expected[g] = sarvek.compute_features(fp, {"x": x[g]})["s"]
        assert np.array_equal(bits(out), bits(expected))


# ------------------------------------------------------------ first valid bar

def _min_windows():
    import _sarvek

    # A window above ddof's default where there is one (ddof < window).
    return {e["name"]: max(next(p["minimum"] for p in e["params"] if p["name"] == "window"),
                           1 + max([p["default"] for p in e["params"] if p["name"] == "ddof"], default=0))
            for e in _sarvek._catalog()
            if e["kind"] == "feature" and any(p["name"] == "window" for p in e["params"])}


# Output names each type needs (at least one).
OUTPUTS = {e["name"]: max(next(p["minimum"] for p in e["params"] if p["name"] == "outputs"), 1)
           for e in __import__("_sarvek")._catalog() if e["kind"] == "feature"}


# Range estimators read high, low (open, close) in that order.
RANGE_READS = {"ParkinsonVolatility": 2, "RogersSatchellVolatility": 4, "GarmanKlassVolatility": 4,
               "YangZhangVolatility": 4}
# Values each type reads.
READS = {e["name"]: e["reads"] for e in __import__("_sarvek")._catalog() if e["kind"] == "feature"}


# The least window each feature type accepts, as the catalogue gives it.
MIN_WINDOW = _min_windows()


@st.composite
def chained_pipelines(draw):
    """Random pipelines over positive OHLC columns where features read earlier
    outputs, listed in a shuffled order. Chains only read columns on which
    the reader is always valid once warm (returns read positive columns,
    moments non-constant ones), so a column is missing only where it cannot
    be valid yet; some read never-computed names (a name beyond what a feature
    computes, or their own output) and must never be valid."""
    prices = ["high", "low", "open", "close"]
    positive, real, dead = list(prices), list(prices), []
    entries = []
    for i in range(draw(st.integers(1, 6))):
        kind = draw(st.sampled_from(sorted(MIN_WINDOW)))
        need = OUTPUTS[kind]
        outputs = [f"f{i}_{k}" for k in range(need if need > 1 else draw(st.integers(1, 2)))]
        if kind in RANGE_READS:
            inputs = prices[: RANGE_READS[kind]]
        elif kind == "DonchianChannel":
            inputs = prices[:2]
        elif kind == "Atr":
            inputs = ["high", "low", "close"]
        elif kind in ("LinearSlope", "RollingCorrelation"):
            inputs = draw(st.lists(st.sampled_from(real), min_size=2, max_size=2, unique=True))
        elif READS[kind] > 1:  # high, low, close, volume-like reads: distinct prices, never a flat range
            inputs = draw(st.lists(st.sampled_from(prices), min_size=READS[kind], max_size=READS[kind], unique=True))
        else:
            pool = positive if kind.endswith("Return") else real
            inputs = [draw(st.sampled_from(pool))]
        if draw(st.integers(0, 5)) == 0:  # a read that is never valid
            inputs[0] = draw(st.sampled_from(dead + [outputs[0]]))
            dead += outputs
        else:
            # Two-bar z-scores are ±0.707, correlations ±1 and CCIs ±66.7, short RSIs and one-flow money flow
            # indices 0, 50 or 100, and order statistics repeat values from bar to bar: flat for a moment
            # reading them.
            if kind not in ("ZScore", "RollingCorrelation", "Cci", "Mfi", "Rsi", "RollingMax", "RollingMin",
                            "RollingQuantile", "RollingRank", "DonchianChannel"):
                (positive if kind in ("Sma", "Ema", "Kama") and inputs[0] in positive else real).append(outputs[0])
            dead += outputs[1:] if need == 1 else []
        inputs += draw(st.lists(st.sampled_from(prices), max_size=1))  # ignored extra names
        window = MIN_WINDOW[kind] + draw(st.integers(0, 6))
        entries.append({"type": kind, "inputs": inputs, "window": window, "outputs": outputs})
    order = draw(st.permutations(range(len(entries))))
    return {"input_columns": prices, "features": [entries[i] for i in order]}


@settings(max_examples=150, deadline=None)
@given(chained_pipelines(), st.integers(0, 2**32 - 1))
def test_first_valid_bar_matches_a_brute_force_run(doc, seed):
    fp = sarvek.pipeline_from_dict(doc)
    cols = bars(80, seed=seed)
    out = sarvek.compute_features(fp, cols)
    first = sarvek.first_valid_bar(fp)
    assert list(first) == fp.output_names()
    for name, start in first.items():
        valid = np.flatnonzero(~np.isnan(out[name]))
        observed = int(valid[0]) if len(valid) else None
        # None: never valid; otherwise the first valid bar (within the data).
        assert observed == (start if start is not None and start < 80 else None), (name, first)


def test_first_valid_bar_counts_chains():
    fp = sarvek.FeaturePipeline(
        [sarvek.Skewness(["r"], 30, ["skew"]), sarvek.LogReturn(["close"], 1, ["r"]),
         sarvek.Sma(["skew"], 5, ["smooth", "extra"]), sarvek.Ema(["own"], 3, ["own"]),
         sarvek.Ema(["r"], 2, ["ema2"]), sarvek.Ema(["r"], 3, ["ema3"]), sarvek.Ema(["skew"], 4, ["ema4"])],
        ["close"],
    )
    assert fp.warm_up_period() == 29
    # An Ema seeds from whole collections of `window` bars counted from bar 0.
    expected = {"r": 1, "own": None, "ema2": 3, "ema3": 5, "skew": 30, "smooth": 34, "extra": None, "ema4": 35}
    assert sarvek.first_valid_bar(fp) == expected
    out = sarvek.compute_features(fp, bars(60))
    observed = {n: (int(np.flatnonzero(~np.isnan(out[n]))[0]) if (~np.isnan(out[n])).any() else None) for n in out}
    assert observed == expected
    with pytest.raises(TypeError, match="feature pipelines"):
        sarvek.first_valid_bar(TARGETS_TOML)


def test_module_surface():
    import _sarvek

    assert sarvek.__doc__
    project = tomllib.loads((EXAMPLES.parent / "pyproject.toml").read_text())["project"]
    assert sarvek.__version__ == project["version"]
    for name in _sarvek.__all__:
        assert getattr(sarvek, name) is getattr(_sarvek, name)
    assert set(sarvek.__all__) >= set(_sarvek.__all__)
    assert all(hasattr(sarvek, n) for n in sarvek.__all__)
    assert math.isnan(sarvek.Sma(["x"], 2, ["s"]).update([1.0])[0])
