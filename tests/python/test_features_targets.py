"""The package's target classes: every path of the package gives the same
labels, bit for bit, as plain NumPy loops of each definition over awkward
prices (gaps, NaN, ±inf, zeros, negatives), at horizons 1..300 and lengths
around the pipeline's blocks; and their refusals."""
import math

import numpy as np
import pandas as pd
import pytest

import _sarvek as sv
import sarvek

TARGETS = [e for e in sv._catalog() if e["kind"] == "target" and not e["public"]]
BY_NAME = {e["name"]: e for e in TARGETS}
HORIZONS = (1, 2, 3, 7, 16, 64, 300)


def awkward(rng, n, scale=1.0):
    """Prices with gaps (NaN in, read as missing), ±inf, zeros, negatives and
    flat runs (equal prices, so returns land exactly on 0)."""
    x = 100.0 + np.cumsum(rng.normal(0.0, scale, n))
    for value in (np.nan, np.inf, -np.inf, 0.0, -5.0):
        x[rng.random(n) < 0.01] = value
    start = int(rng.integers(0, max(n, 1)))
    x[start:start + int(rng.integers(0, 30))] = x[start] if n else 0.0
    return x


def make(name, h, vol=False, tag="", **params):
    if name == "FutureExtremes":
        return sarvek.FutureExtremes(["p"], h, ["max_ret" + tag, "min_ret" + tag])
    if name == "FutureDirection":
        return sarvek.FutureDirection(["p"], h, ["dir" + tag], **params)
    return sarvek.TripleBarrier(["p", "vol"] if vol else ["p"], h, ["label" + tag, "bars" + tag], **params)


def variants(h):
    yield make("FutureExtremes", h)
    for k, t in enumerate((0.0, 0.004)):
        yield make("FutureDirection", h, threshold=t, tag=str(k))
    yield make("TripleBarrier", h, upper=0.01, lower=0.03)
    yield make("TripleBarrier", h, vol=True, upper=0.5, lower=1.5, tag="_vol")


def labelled(target, data):
    """Values and presence (a present NaN told from a missing label) of the
    engine's column path."""
    tp = sarvek.TargetPipeline([target], target.input_names())
    values, present = tp._run_columns([data[c] for c in target.input_names()], validity=True)
    return np.asarray(values), np.asarray(present)


# ----------------------------------------------------- definitions in NumPy


def ret(base, later):
    with np.errstate(all="ignore"):
        return (later - base) / base


def oracle(target, data):
    """Each label from its definition, one bar at a time: (values, present)."""
    cfg = sarvek.TargetPipeline([target], target.input_names())._config()["targets"][0]
    name, h = cfg["type"], cfg["horizon"]
    p = data["p"]
    n = len(p)
    ok = ~np.isnan(p)  # a NaN in is a missing value
    width = len(target.output_names())
    values, present = np.full((n, width), np.nan), np.zeros((n, width), bool)
    for i in range(n):
        if not (ok[i] and p[i] > 0):
            continue
        path, path_ok = p[i + 1:i + h + 1], ok[i + 1:i + h + 1]
        if name == "FutureExtremes":
            if len(path) == h and path_ok.all():
                r = ret(p[i], path)  # the max of the returns, not of the prices
                values[i] = (np.nan, np.nan) if np.isnan(r).any() else (r.max(), r.min())
                present[i] = True
        elif name == "FutureDirection":
            if len(path) == h and path_ok[-1]:
                r, t = ret(p[i], path[-1]), cfg["threshold"]
                values[i] = 1.0 if r > t else -1.0 if r < -t else np.nan if np.isnan(r) else 0.0
                present[i] = True
        else:
            up, down = cfg["upper"], cfg["lower"]
            if len(target.input_names()) == 2:
                v = data["vol"][i]
                if not v > 0 or not up * v > 0 or not down * v > 0:
                    continue
                up, down = up * v, down * v
            for j, (q, q_ok) in enumerate(zip(path, path_ok), 1):
                if not q_ok:
                    break
                r = ret(p[i], q)
                if r >= up or r <= -down or np.isnan(r):
                    values[i] = (1.0, j) if r >= up else (-1.0, j) if r <= -down else (np.nan, np.nan)
                    present[i] = True
                    break
            else:
                if len(path) == h:
                    values[i], present[i] = (0.0, h), True
    return values, present


def assert_same(got, want, what=""):
    """Same presence; equal bits where present, NaN where NaN."""
    (gv, gp), (wv, wp) = got, want
    assert np.array_equal(gp, wp), (what, np.argwhere(gp != wp)[:5])
    gv, wv = np.where(gp, gv, 0.0), np.where(wp, wv, 0.0)
    assert np.array_equal(np.isnan(gv), np.isnan(wv)), (what, np.argwhere(np.isnan(gv) != np.isnan(wv))[:5])
    nan = np.isnan(gv)
    bad = gv.view(np.uint64)[~nan] != wv.view(np.uint64)[~nan]
    assert not bad.any(), (what, np.argwhere(~nan)[bad][:5])


def test_every_package_target_is_covered_here():
    assert sorted(BY_NAME) == ["FutureDirection", "FutureExtremes", "TripleBarrier"]


@pytest.mark.parametrize("h", HORIZONS)
def test_labels_are_the_definitions_exactly(h):
    rng = np.random.default_rng(h)
    for n in (0, 1, h, h + 1, 2 * h + 37, 700):
        data = {"p": awkward(rng, n, scale=0.3), "vol": np.abs(rng.normal(0.02, 0.02, n))}
        data["vol"][rng.random(n) < 0.03] = np.nan
        data["vol"][rng.random(n) < 0.02] = 0.0
        for target in variants(h):
            assert_same(labelled(target, data), oracle(target, data), (repr(target), n))


def test_the_tail_and_the_first_touch():
    p = np.array([100.0, 101.0, 99.0, 102.0, 98.0, np.nan, 100.0, 103.0])
    (v, ok) = labelled(make("TripleBarrier", 3, upper=0.015, lower=0.015), {"p": p})
    # Bar 6 has one future bar only, but touches on it: known before its horizon.
    np.testing.assert_array_equal(v[ok[:, 0]], [[1, 3], [-1, 1], [1, 1], [-1, 1], [1, 1]])
    np.testing.assert_array_equal(np.flatnonzero(ok[:, 0]), [0, 1, 2, 3, 6])
    # A return exactly on a barrier touches it; exactly on the threshold is no move.
    edge = {"p": np.array([100.0, 101.0, 102.0, 100.0, 98.0])}
    (v, ok) = labelled(make("TripleBarrier", 2, upper=0.02, lower=0.02), edge)
    np.testing.assert_array_equal(v[:3], [[1, 2], [0, 2], [-1, 2]])
    (d, ok) = labelled(make("FutureDirection", 2, threshold=0.02), edge)
    np.testing.assert_array_equal(d[:3, 0], [0.0, 0.0, -1.0])
    (d, ok) = labelled(make("FutureDirection", 2, threshold=0.0199), edge)
    np.testing.assert_array_equal(d[:3, 0], [1.0, 0.0, -1.0])
    # Bar 4: the gap on bar 5 comes before any touch.
    (e, eok) = labelled(make("FutureExtremes", 2), {"p": p})
    assert eok[:, 0].tolist() == [True, True, True, False, False, False, False, False]
    assert e[2].tolist() == [ret(99.0, 102.0), ret(99.0, 98.0)]


def test_nan_labels_are_present_numbers_never_a_silent_zero():
    # A NaN price on the path (an arithmetic NaN upstream) and an infinite base.
    p = np.array([100.0, 100.0, np.inf, 100.0, 100.0, 100.0])
    values, present = sarvek.TargetPipeline([make("FutureDirection", 1)], ["p"])._run_columns([p], validity=True)
    d = np.asarray(values)[:, 0]
    # An infinite later price is a +inf return; an infinite base, a NaN one.
    assert np.asarray(present)[:5, 0].all()
    np.testing.assert_array_equal(d[:5], [0.0, 1.0, np.nan, 0.0, 0.0])
    (tb, ok) = labelled(make("TripleBarrier", 2), {"p": p})
    assert ok[2].all() and np.isnan(tb[2]).all()
    # A NaN given in is missing: the path stops, nothing is touched.
    (tb, ok) = labelled(make("TripleBarrier", 3), {"p": np.array([100.0, 100.0, np.nan, 100.0])})
    assert not ok[:3].any()


@pytest.mark.parametrize("h", [1, 5, 300])
def test_direction_and_extremes_share_future_returns_bits(h):
    rng = np.random.default_rng(7 + h)
    p = awkward(rng, 3000)
    tp = sarvek.TargetPipeline([sarvek.FutureReturn(["p"], h, ["r"]), make("FutureDirection", h),
                                make("FutureExtremes", h)], ["p"])
    values, present = (np.asarray(a) for a in tp._run_columns([p], validity=True))
    r, d = values[:, 0], values[:, 1]
    assert np.array_equal(present[:, 0], present[:, 1])
    live = present[:, 0]
    sign = np.where(r > 0, 1.0, np.where(r < 0, -1.0, np.where(np.isnan(r), np.nan, 0.0)))
    np.testing.assert_array_equal(d[live], sign[live])
    if h == 1:  # the one future price is both extremes
        for k in (2, 3):
            assert_same((values[:, k], present[:, k]), (r, present[:, 0]))


def test_a_volatility_column_of_ones_changes_nothing():
    rng = np.random.default_rng(3)
    p = awkward(rng, 2000, scale=0.3)
    one = labelled(make("TripleBarrier", 40, upper=0.02, lower=0.01), {"p": p})
    scaled = labelled(make("TripleBarrier", 40, vol=True, upper=0.02, lower=0.01), {"p": p, "vol": np.ones(2000)})
    assert_same(scaled, one)


# ------------------------------------------------ every path, bit for bit


def pipeline(h):
    return sarvek.TargetPipeline(list(variants(h)), ["p", "vol"])


def data_for(rng, n):
    data = {"p": awkward(rng, n, scale=0.3), "vol": np.abs(rng.normal(0.02, 0.02, n))}
    data["vol"][rng.random(n) < 0.01] = np.nan
    return data


@pytest.mark.parametrize("h, n", [(1, 65537), (64, 60000), (300, 30000), (300, 2)])
def test_run_research_and_the_blocked_column_run_agree(h, n):
    # Several long-horizon targets make the column run's blocks a few
    # thousand bars, so these lengths cross block boundaries.
    rng = np.random.default_rng(n)
    data = data_for(rng, n)
    tp = pipeline(h)
    values, present = (np.asarray(a) for a in tp._run_columns([data["p"], data["vol"]], validity=True))
    research = np.asarray(tp.run_research([data["p"].tolist(), data["vol"].tolist()]), dtype=np.float64).T
    assert research.shape == values.shape
    assert np.array_equal(np.isnan(research), ~present | np.isnan(values))
    assert np.array_equal(research[present].view(np.uint64), values[present].view(np.uint64))
    for path in sv._simd_paths():
        before = sv._simd_path()
        sv._set_simd_path(path)
        try:
            again = tp._run_columns(np.column_stack([data["p"], data["vol"]]), validity=True)
        finally:
            sv._set_simd_path(before)
        assert_same((np.asarray(again[0]), np.asarray(again[1])), (values, present), path)


def frame_result(got, names, kind):
    """(values, present) of compute_targets' output, whatever its type."""
    if kind in ("dict", "pandas"):
        v = np.column_stack([np.asarray(got[c], dtype=np.float64) for c in names])
        return v, ~np.isnan(v)  # NaN stands for both here
    if kind == "polars":
        return (np.column_stack([got[c].to_numpy() for c in names]),
                np.column_stack([~got[c].is_null().to_numpy() for c in names]))
    return (np.column_stack([got[c].to_numpy(zero_copy_only=False) for c in names]),
            np.column_stack([~got[c].is_null().to_numpy(zero_copy_only=False) for c in names]))


@pytest.mark.parametrize("kind", ["dict", "pandas", "polars", "pyarrow"])
def test_compute_targets_by_and_dask_agree_with_the_column_run(kind, tmp_path):
    rng = np.random.default_rng(5)
    n, h = 500, 16
    data = data_for(rng, n)
    tp = pipeline(h)
    names = tp.output_names()
    values, present = (np.asarray(a) for a in tp._run_columns([data["p"], data["vol"]], validity=True))
    if kind == "dict":
        table = data
    elif kind == "pandas":
        table = pd.DataFrame(data)
    elif kind == "polars":
        pl = pytest.importorskip("polars")
        table = pl.DataFrame(data).with_columns(pl.col(c).fill_nan(None) for c in data)
    else:
        pa = pytest.importorskip("pyarrow")
        table = pa.table({c: pa.array(v, from_pandas=True) for c, v in data.items()})
    got = frame_result(sarvek.compute_targets(tp, table), names, kind)
    if kind in ("dict", "pandas"):
        assert np.array_equal(got[1], present & ~np.isnan(values))
        assert np.array_equal(got[0][got[1]].view(np.uint64), values[got[1]].view(np.uint64))
    else:
        assert_same(got, (values, present), kind)

    if kind != "pandas":
        return
    # by=: each symbol labelled on its own, its tail missing at its own end.
    frame = pd.DataFrame({"symbol": ["a"] * n + ["b"] * n, **{c: np.tile(v, 2) for c, v in data.items()}})
    both = sarvek.compute_targets(tp, frame, by="symbol")
    for k, c in enumerate(names):
        for half in (slice(0, n), slice(n, 2 * n)):
            assert np.array_equal(both[c].to_numpy()[half], values[:, k], equal_nan=True), c
    dd = pytest.importorskip("dask.dataframe")
    import sarvek.dask as sd
    lazy = sd.compute_targets(dd.from_pandas(frame, npartitions=7), tp, by="symbol").compute().sort_index()
    for c in names:
        assert np.array_equal(lazy[c].to_numpy(), both[c].to_numpy(), equal_nan=True), c


def test_documents_round_trip_and_the_command_line_describes_them(tmp_path):
    from sarvek import cli

    tp = pipeline(5)
    path = tmp_path / "t.toml"
    sarvek.save_pipeline(tp, path)
    back = sarvek.load_pipeline(path)
    assert sarvek.pipeline_to_dict(back) == sarvek.pipeline_to_dict(tp)
    text = cli.describe(str(path), back)
    for name in BY_NAME:
        assert f"{name}(" in text
    params = [{k: t[k] for k in ("threshold", "upper", "lower") if k in t} for t in back._config()["targets"]]
    assert ('TripleBarrier(inputs=["p"], horizon=5, outputs=["label", "bars"], upper=0.01, lower=0.03) -> label, bars; '
            "up to the last 5") in text
    assert params == [{}, {"threshold": 0.0}, {"threshold": 0.004}, {"upper": 0.01, "lower": 0.03},
                      {"upper": 0.5, "lower": 1.5}]
    # Through the command line, a CSV in and out.
    rng = np.random.default_rng(9)
    bars = pd.DataFrame(data_for(rng, 80))
    bars.to_csv(tmp_path / "bars.csv", index=False)
    assert cli.main(["compute", str(tmp_path / "bars.csv"), "-p", str(path), "-o", str(tmp_path / "out.csv"),
                     "-q"]) == 0
    out = pd.read_csv(tmp_path / "out.csv")
    want = sarvek.compute_targets(tp, bars)
    for c in tp.output_names():
        np.testing.assert_array_equal(out[c].to_numpy(), want[c].to_numpy())


# --------------------------------------------------------------- refusals


@pytest.mark.parametrize("cls, kwargs, message", [
    ("FutureExtremes", dict(horizon=0), "horizon must be > 0"),
    ("FutureExtremes", dict(inputs=[]), "inputs must not be empty"),
    ("FutureExtremes", dict(outputs=["hi"]), "outputs must contain exactly 2 names: [max_ret, min_ret]"),
    ("FutureDirection", dict(horizon=0), "horizon must be > 0"),
    ("FutureDirection", dict(outputs=[]), "outputs must not be empty"),
    ("FutureDirection", dict(threshold=-0.01), "threshold must be >= 0"),
    ("FutureDirection", dict(threshold=math.nan), "threshold must be finite"),
    ("FutureDirection", dict(threshold=math.inf), "threshold must be finite"),
    ("TripleBarrier", dict(inputs=[]), "inputs must contain a price column and at most one volatility column"),
    ("TripleBarrier", dict(inputs=["p", "v", "w"]),
     "inputs must contain a price column and at most one volatility column"),
    ("TripleBarrier", dict(horizon=0), "horizon must be > 0"),
    ("TripleBarrier", dict(outputs=["label"]), "outputs must contain exactly 2 names: [label, bars]"),
    ("TripleBarrier", dict(upper=0.0), "upper must be > 0"),
    ("TripleBarrier", dict(lower=-0.01), "lower must be > 0"),
    ("TripleBarrier", dict(upper=math.inf), "upper must be finite"),
    ("TripleBarrier", dict(lower=math.nan), "lower must be finite"),
])
def test_bad_configurations_are_refused_by_name(cls, kwargs, message):
    args = dict(inputs=["p"], horizon=5, outputs=["a"] if cls == "FutureDirection" else ["a", "b"])
    with pytest.raises(ValueError) as err:
        getattr(sarvek, cls)(**{**args, **kwargs})
    assert str(err.value) == f"Invalid input: {message}"


def test_signatures_defaults_and_reprs():
    assert sarvek.FutureExtremes.__text_signature__ == "(inputs, horizon, outputs)"
    assert sarvek.FutureDirection.__text_signature__ == "(inputs, horizon, outputs, threshold=0.0)"
    assert sarvek.TripleBarrier.__text_signature__ == "(inputs, horizon, outputs, upper=0.02, lower=0.02)"
    t = sarvek.TripleBarrier(["c", "v"], 10, ["l", "b"], lower=0.5)
    assert (t.forward_period(), t.input_names()) == (10, ["c", "v"])
    assert repr(t) == 'TripleBarrier(inputs=["c", "v"], horizon=10, outputs=["l", "b"], lower=0.5)'
    with pytest.raises(TypeError, match="argument 'upper'"):
        sarvek.TripleBarrier(["c"], 10, ["l", "b"], upper="1")
