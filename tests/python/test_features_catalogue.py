"""The catalogue's classes beyond the module's fixed fifteen: where they live,
and, for every one of them (a new type joins by being registered), update,
the column kernels on every SIMD path and run_research agree bit for bit,
through every path of the package; then each against NumPy, pandas and
TA-Lib on clean data, and its refusals."""
import math

import numpy as np
import pandas as pd
import pytest

import _sarvek as sv
import sarvek

FIXED = ["Sma", "Ema", "Kama", "SimpleReturn", "LogReturn", "Skewness", "Kurtosis", "LinearSlope",
         "ParkinsonVolatility", "RogersSatchellVolatility", "FutureReturn", "FutureCTCVolatility",
         "FutureLinearSlope", "FeaturePipeline", "TargetPipeline"]
PACKAGE = [e for e in sv._catalog() if not e["public"]]
FEATURES = [e for e in PACKAGE if e["kind"] == "feature"]
PRICES = ["open", "high", "low", "close"]


def test_the_module_keeps_its_fifteen_public_names():
    assert sv.__all__ == FIXED
    assert sorted(n for n in dir(sv) if not n.startswith("_")) == sorted(FIXED)


@pytest.mark.parametrize("entry", PACKAGE, ids=lambda e: e["name"])
def test_the_package_exports_each_class_under_its_own_name(entry):
    cls = entry["class"]
    assert getattr(sarvek, entry["name"]) is cls and entry["name"] in sarvek.__all__
    assert (cls.__name__, cls.__qualname__, cls.__module__) == (entry["name"], entry["name"], "sarvek")
    assert not hasattr(sv, entry["name"])


COLUMNS = ["close", "high", "low", "open", "volume"]
# Further values tried for a type's own parameters beside their defaults.
EXTRA = {"ddof": [0, 2]}
EXTRA["fast"] = [2, 5]
EXTRA["slow"] = [3, 30]
EXTRA["signal"] = [1, 4]
EXTRA["smooth"] = [1, 5]
EXTRA["constant"] = [1.0]
EXTRA["q"] = [0.0, 0.25, 1.0]


def build(entry, window, outputs_extra=0, inputs=None, **params):
    """An instance from the catalogue: defaults, window `window` where the
    type has one, as many input columns as it reads (from COLUMNS), output
    names as many as the type takes (plus `outputs_extra` where it allows
    more)."""
    spec = {p["name"]: p for p in entry["params"]}
    n_out = max(entry["produces"], spec["outputs"]["minimum"])
    args = {"inputs": inputs or COLUMNS[: max(entry["reads"], spec["inputs"]["minimum"])],
            "outputs": [f"{entry['name']}{k}" for k in range(n_out + outputs_extra)], **params}
    if "window" in spec:
        args["window"] = window
    try:
        return entry["class"](**args)
    except ValueError:
        args["outputs"] = args["outputs"][:n_out]
        return entry["class"](**args)


def awkward(rng, n):
    """Prices with gaps, NaN, ±inf, zeros, negatives and flat runs."""
    x = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    for value in (np.nan, np.inf, -np.inf, 0.0, -5.0):
        x[rng.random(n) < 0.01] = value
    start = int(rng.integers(0, n))
    x[start:start + int(rng.integers(0, 30))] = x[start]  # flat
    return x


def bars(rng, n):
    """Clean bars: every column of COLUMNS, high >= open, close >= low > 0."""
    close = 100.0 + np.cumsum(rng.normal(0.0, 1.0, n))
    open_ = np.concatenate([[close[0]], close[:-1]])
    spread = np.abs(rng.normal(0.0, 0.5, n))
    return {"close": close, "high": np.maximum(open_, close) + spread, "low": np.minimum(open_, close) - spread,
            "open": open_, "volume": rng.integers(1, 1000, n).astype(np.float64)}


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def variants(entry):
    """Windows 1..300 that the type accepts (one instance for a type without
    a window), each parameter at its default and at the values of EXTRA."""
    names = {p["name"] for p in entry["params"]}
    extras = [{}] + [{k: v} for k, vs in EXTRA.items() if k in names for v in vs]
    for w in (1, 2, 3, 4, 5, 7, 8, 9, 16, 17, 31, 33, 64, 300) if "window" in names else (1,):
        for extra in extras:
            try:
                yield w, build(entry, w, outputs_extra=w % 2, **extra)
            except ValueError:
                continue


@pytest.mark.parametrize("entry", [e for e in sv._catalog() if e["kind"] == "feature"], ids=lambda e: e["name"])
def test_update_column_kernels_and_run_research_agree_bit_for_bit(entry):
    rng = np.random.default_rng(len(entry["name"]))
    before = sv._simd_path()
    try:
        for w, f in variants(entry):
            n = w + int(rng.choice([0, 1, 3, 7, 8, 9, 15, 17, 63, 65, 2 * w + 13]))
            width = len(f.input_names())
            x = np.column_stack([awkward(rng, n) for _ in range(width)])
            rows = [[v if not np.isnan(v) or rng.random() < 0.5 else math.nan for v in r] for r in x.tolist()]
            fp = sv.FeaturePipeline([f], f.input_names())
            want = np.asarray([fp.update(r) for r in rows]).reshape(n, -1)
            assert np.array_equal(bits(np.asarray(fp.run_research(rows)).reshape(n, -1)), bits(want)), w
            for path in sv._simd_paths():
                sv._set_simd_path(path)
                got = np.asarray(fp._run_columns(np.asarray(rows, dtype=np.float64)))
                assert np.array_equal(bits(got), bits(want)), (path, w)
                # The state after a column run continues like update.
                more = x[: min(n, 40)]
                live = fp._fresh()
                for r in rows:
                    live.update(r)
                cont = np.asarray(fp._run_columns(more, reset=False))
                assert np.array_equal(bits(cont), bits([live.update(r) for r in more.tolist()])), (path, w)
    finally:
        sv._set_simd_path(before)


@pytest.mark.parametrize("seed", range(6))
def test_random_pipelines_chaining_new_and_old_features_agree_everywhere(seed, tmp_path):
    rng = np.random.default_rng(seed)
    catalog = {e["name"]: e for e in sv._catalog() if e["kind"] == "feature"}
    kinds = [e["name"] for e in FEATURES] + ["Sma", "Ema", "LogReturn", "Skewness"]
    names, entries = list(COLUMNS), []
    for i in range(int(rng.integers(2, 7))):
        kind = str(rng.choice(kinds))
        reads = max(catalog[kind]["reads"], 1)
        f = build(catalog[kind], int(rng.integers(3, 9)), inputs=[str(c) for c in rng.choice(names, reads)])
        f_dict = sv.FeaturePipeline([f], f.input_names())._config()["features"][0]
        f_dict["outputs"] = [f"f{i}_{k}" for k in range(len(f_dict["outputs"]))]
        entries.append(f_dict)
        names += f_dict["outputs"]
    doc = {"input_columns": COLUMNS, "features": [entries[j] for j in rng.permutation(len(entries))]}
    fp = sarvek.pipeline_from_dict(doc)
    path = tmp_path / "p.toml"
    sarvek.save_pipeline(fp, path)
    assert sarvek.pipeline_to_dict(sarvek.load_pipeline(path)) == sarvek.pipeline_to_dict(fp)
    data = bars(rng, 150)
    for v in data.values():
        v[rng.random(150) < 0.03] = np.nan
    live = fp._fresh()
    want = np.asarray([live.update(list(r)) for r in zip(*data.values())])
    got = sarvek.compute_features(fp, data)
    assert np.array_equal(bits(np.column_stack([got[n] for n in fp.output_names()])), bits(want))
    # by=: each symbol on its own copy.
    frame = pd.DataFrame({"symbol": ["a"] * 150 + ["b"] * 150, **{c: np.tile(v, 2) for c, v in data.items()}})
    both = sarvek.compute_features(fp, frame, by="symbol")
    for n in fp.output_names():
        assert np.array_equal(bits(both[n].to_numpy()[150:]), bits(got[n])), n
    # The first valid bar holds for clean data.
    first = sarvek.first_valid_bar(fp)
    clean = sarvek.compute_features(fp, bars(rng, 150))
    for n, start in first.items():
        valid = np.flatnonzero(~np.isnan(clean[n]))
        if start is not None and len(valid):
            assert valid[0] >= start, n


@pytest.mark.parametrize("entry", FEATURES, ids=lambda e: e["name"])
def test_dask_cli_and_describe_take_the_class(entry, tmp_path):
    dd = pytest.importorskip("dask.dataframe")
    import sarvek.dask as sd
    from sarvek import cli

    f = build(entry, 5)
    fp = sarvek.FeaturePipeline([f], f.input_names())
    assert (fp._plan()["history"] is None) == (entry["memory"] == "unbounded")
    frame = pd.DataFrame({"symbol": ["s"] * 60, **bars(np.random.default_rng(3), 60)})[["symbol", *f.input_names()]]
    want = sarvek.compute_features(fp, frame, by="symbol")
    got = sd.compute_features(dd.from_pandas(frame, npartitions=4), fp, by="symbol").compute()
    for n in fp.output_names():
        assert np.array_equal(bits(got.sort_index()[n].to_numpy()), bits(want[n].to_numpy())), n
    path = tmp_path / "p.toml"
    sarvek.save_pipeline(fp, path)
    assert f"{entry['name']}(" in cli.describe(str(path), sarvek.load_pipeline(path))


# ------------------------------------------------------------------ oracles


def clean(n=400, seed=11):
    return 100.0 + np.cumsum(np.random.default_rng(seed).normal(0.0, 1.0, n))


def run(f, x):
    fp = sarvek.FeaturePipeline([f], ["x"])
    out = sarvek.compute_features(fp, {"x": x})
    return [out[n] for n in fp.output_names()]


@pytest.mark.parametrize("window, ddof", [(2, 1), (5, 0), (20, 1), (20, 2), (63, 1)])
def test_rolling_std_and_zscore_match_pandas(window, ddof):
    x = clean()
    (sd,) = run(sarvek.RollingStd(["x"], window, ["sd"], ddof=ddof), x)
    (z,) = run(sarvek.ZScore(["x"], window, ["z"], ddof=ddof), x)
    r = pd.Series(x).rolling(window)
    ref_sd = r.std(ddof=ddof).to_numpy()
    ref_z = ((pd.Series(x) - r.mean()) / r.std(ddof=ddof)).to_numpy()
    assert np.isnan(sd[: window - 1]).all() and np.isnan(z[: window - 1]).all()
    np.testing.assert_allclose(sd[window - 1:], ref_sd[window - 1:], rtol=1e-9)
    np.testing.assert_allclose(z[window - 1:], ref_z[window - 1:], rtol=1e-7, atol=1e-9)


@pytest.mark.parametrize("window, k, ddof", [(20, 2.0, 0), (5, 1.5, 0), (10, 2.5, 1)])
def test_bollinger_bands_match_numpy(window, k, ddof):
    x = clean()
    middle, upper, lower = run(sarvek.BollingerBands(["x"], window, ["m", "u", "l"], k=k, ddof=ddof), x)
    win = np.lib.stride_tricks.sliding_window_view(x, window)
    mean, sd = win.mean(axis=1), win.std(axis=1, ddof=ddof)
    np.testing.assert_allclose(middle[window - 1:], mean, rtol=1e-12)
    np.testing.assert_allclose(upper[window - 1:], mean + k * sd, rtol=1e-12)
    np.testing.assert_allclose(lower[window - 1:], mean - k * sd, rtol=1e-12)
    assert np.isnan(middle[: window - 1]).all()


def test_against_talib_where_the_definitions_match():
    # TA-Lib's STDDEV and BBANDS use the population deviation (ddof 0) and a
    # simple mean (matype 0); it has no z-score.
    talib = pytest.importorskip("talib")
    x = clean()
    (sd,) = run(sarvek.RollingStd(["x"], 20, ["sd"], ddof=0), x)
    np.testing.assert_allclose(sd[19:], talib.STDDEV(x, 20, 1.0)[19:], rtol=1e-8)
    bands = run(sarvek.BollingerBands(["x"], 20, ["m", "u", "l"]), x)
    u, m, l = talib.BBANDS(x, 20, 2.0, 2.0, 0)
    for ours, theirs in zip(bands, (m, u, l)):
        assert np.isnan(ours[:19]).all() and np.isnan(theirs[:19]).all()
        np.testing.assert_allclose(ours[19:], theirs[19:], rtol=1e-8)


def test_missing_values_blank_their_windows_and_flat_windows_have_no_zscore():
    x = np.array([1.0, 2.0, np.nan, 4.0, 5.0, 6.0, 3.0, 3.0, 3.0])
    (sd,) = run(sarvek.RollingStd(["x"], 3, ["sd"]), x)
    (z,) = run(sarvek.ZScore(["x"], 3, ["z"]), x)
    assert np.isnan(sd[:5]).all() and sd[5] == 1.0 and sd[8] == 0.0
    assert np.isnan(z[:5]).all() and z[5] == 1.0 and np.isnan(z[8])
    (z0,) = run(sarvek.ZScore(["x"], 1, ["z"], ddof=0), np.array([1.0, 2.0]))
    assert np.isnan(z0).all()


@pytest.mark.parametrize("window", [1, 2, 5, 20, 63])
def test_wma_rolling_max_and_min_match_numpy_and_pandas(window):
    x = clean()
    (wma,) = run(sarvek.Wma(["x"], window, ["w"]), x)
    (hi,) = run(sarvek.RollingMax(["x"], window, ["v"]), x)
    (lo,) = run(sarvek.RollingMin(["x"], window, ["v"]), x)
    win = np.lib.stride_tricks.sliding_window_view(x, window)
    weights = np.arange(1.0, window + 1.0)
    for ours in (wma, hi, lo):
        assert np.isnan(ours[: window - 1]).all() and not np.isnan(ours[window - 1:]).any()
    np.testing.assert_allclose(wma[window - 1:], win @ weights / weights.sum(), rtol=1e-12)
    # The extremes are values of the window: equal, not merely close.
    np.testing.assert_array_equal(hi, pd.Series(x).rolling(window).max().to_numpy())
    np.testing.assert_array_equal(lo, pd.Series(x).rolling(window).min().to_numpy())


def test_wma_max_and_min_against_talib():
    talib = pytest.importorskip("talib")
    x = clean()
    for window in (2, 20, 30):
        (wma,) = run(sarvek.Wma(["x"], window, ["w"]), x)
        (hi,) = run(sarvek.RollingMax(["x"], window, ["v"]), x)
        (lo,) = run(sarvek.RollingMin(["x"], window, ["v"]), x)
        ref = talib.WMA(x, window)
        assert np.isnan(ref[: window - 1]).all()
        np.testing.assert_allclose(wma[window - 1:], ref[window - 1:], rtol=1e-10)
        np.testing.assert_array_equal(hi, talib.MAX(x, window))
        np.testing.assert_array_equal(lo, talib.MIN(x, window))


def test_wma_weights_the_newest_most_and_extremes_keep_nan_and_missing_apart():
    (w,) = run(sarvek.Wma(["x"], 3, ["w"]), np.array([3.0, 0.0, 0.0, 6.0, np.nan, 1.0, 1.0, 1.0]))
    # (1*3 + 2*0 + 3*0) / 6 and (1*0 + 2*0 + 3*6) / 6; the gap blanks 3 bars.
    assert np.isnan(w[:2]).all() and w[2] == 0.5 and w[3] == 3.0
    assert np.isnan(w[4:7]).all() and w[7] == 1.0
    # A present NaN (inf - inf inside an Sma) is a number that wins the
    # window; a missing value (the Sma's warm-up) leaves the output missing.
    x = np.array([1.0, np.inf, -np.inf, 2.0, 3.0, 4.0, 0.0])
    # Sma: [-, inf, nan, -inf, 2.5, 3.5, 2.0].
    for cls, tail in ((sarvek.RollingMax, [3.5, 3.5]), (sarvek.RollingMin, [-np.inf, 2.0])):
        fp = sarvek.FeaturePipeline([sarvek.Sma(["x"], 2, ["s"]), cls(["s"], 3, ["v"])], ["x"])
        pa = pytest.importorskip("pyarrow")
        v = sarvek.compute_features(fp, pa.table({"x": x}))["v"]
        assert v.null_count == 3 and v[:3].null_count == 3
        got = v.to_numpy(zero_copy_only=False)
        assert np.isnan(got[3:5]).all() and v[3].is_valid and v[4].is_valid
        np.testing.assert_array_equal(got[5:], tail)


@pytest.mark.parametrize("cls, kwargs, message", [
    ("RollingStd", dict(window=0), "window must be non-zero"),
    ("RollingStd", dict(window=3, ddof=3), "ddof must be < window"),
    ("ZScore", dict(window=1), "ddof must be < window"),
    ("ZScore", dict(outputs=[]), "outputs must not be empty"),
    ("BollingerBands", dict(outputs=["m", "u"]), "outputs must contain exactly 3 names: [middle, upper, lower]"),
    ("BollingerBands", dict(k=-0.5), "k must be >= 0"),
    ("BollingerBands", dict(k=math.nan), "k must be finite"),
    ("BollingerBands", dict(k=math.inf), "k must be finite"),
    ("BollingerBands", dict(window=2, ddof=2), "ddof must be < window"),
    ("Wma", dict(window=0), "window must be non-zero"),
    ("Wma", dict(inputs=[]), "inputs must not be empty"),
    ("RollingMax", dict(window=0), "window must be non-zero"),
    ("RollingMax", dict(outputs=[]), "outputs must not be empty"),
    ("RollingMin", dict(window=0), "window must be non-zero"),
    ("RollingMin", dict(inputs=[]), "inputs must not be empty"),
])
def test_bad_configurations_are_refused_by_name(cls, kwargs, message):
    args = dict(inputs=["x"], window=5, outputs=["m", "u", "l"] if cls == "BollingerBands" else ["o"])
    with pytest.raises(ValueError) as err:
        getattr(sarvek, cls)(**{**args, **kwargs})
    assert str(err.value) == f"Invalid input: {message}"
    with pytest.raises(TypeError, match="argument 'k'"):
        sarvek.BollingerBands(["x"], 5, ["m", "u", "l"], k="2")


def test_real_parameters_in_documents_signatures_and_reprs(tmp_path):
    assert sarvek.BollingerBands.__text_signature__ == "(inputs, window, outputs, k=2.0, ddof=0)"
    # A package class shows the parameters set away from their defaults, so
    # differently set objects (and `sarvek describe` lines) never read alike.
    base = 'BollingerBands(inputs=["x"], window=4, outputs=["m", "u", "l"]'
    assert repr(sarvek.BollingerBands(["x"], 4, ["m", "u", "l"], k=2.0)) == base + ")"
    assert repr(sarvek.BollingerBands(["x"], 4, ["m", "u", "l"], k=1.5, ddof=1)) == base + ", k=1.5, ddof=1)"
    assert repr(sv.Kama(["x"], 4, ["k"], fast=3, slow=9)) == 'Kama(inputs=["x"], window=4, outputs=["k"])'
    fp = sarvek.FeaturePipeline([sarvek.BollingerBands(["x"], 4, ["m", "u", "l"], k=3.0)], ["x"])
    assert [s["repr"] for s in fp._plan()["features"]] == [base + ", k=3.0)"]
    doc = {"input_columns": ["x"], "features": [
        {"type": "BollingerBands", "inputs": ["x"], "window": 4, "outputs": ["m", "u", "l"], "k": 1}]}
    fp = sarvek.pipeline_from_dict(doc)
    assert sarvek.pipeline_to_dict(fp)["features"][0]["k"] == 1.0
    path = tmp_path / "p.toml"
    sarvek.save_pipeline(fp, path)
    assert "k = 1.0" in path.read_text()
    for bad, what in ((True, "expected a number, got bool True"), ("2", "expected a number, got str '2'")):
        doc["features"][0]["k"] = bad
        with pytest.raises(sarvek.PipelineError, match="features\\[0\\].k: " + what):
            sarvek.pipeline_from_dict(doc)
    path.write_text(path.read_text().replace("k = 1.0", "k = nan"))
    with pytest.raises(sarvek.PipelineError, match="k must be finite"):
        sarvek.load_pipeline(path)
