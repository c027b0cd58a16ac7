"""by=: every group of rows run on its own inside the engine (_run_groups),
bit for bit what each group gives run alone, whatever the layout of the rows,
the window the table is walked in, the worker count and the kind of key."""
import numpy as np
import pytest

import _sarvek as sv
import sarvek
from sarvek._frames import _codes
from test_columns import COLUMNS as OHLC, calibrated, expect_interrupt, heavy
from test_features_catalogue import COLUMNS, awkward, build
from test_frames import TARGETS

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")
CATALOG = {e["name"]: e for e in sv._catalog() if e["kind"] == "feature"}


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def window_for(entry, rng, high):
    low = next((p["minimum"] or 1 for p in entry["params"] if p["name"] == "window"), 1)
    return int(rng.integers(low, low + high))


def random_pipeline(rng):
    """Up to six catalogue features, later ones reading earlier outputs."""
    names, features = list(COLUMNS), []
    for i in range(int(rng.integers(1, 7))):
        entry = CATALOG[str(rng.choice(sorted(CATALOG)))]
        reads = max(entry["reads"], 1)
        f = build(entry, window_for(entry, rng, 12), inputs=[str(c) for c in rng.choice(names, reads)])
        doc = sv.FeaturePipeline([f], f.input_names())._config()["features"][0]
        doc["outputs"] = [f"f{i}_{k}" for k in range(len(doc["outputs"]))]
        features.append(doc)
        names += doc["outputs"]
    return sarvek.pipeline_from_dict({"input_columns": COLUMNS, "features": features[::-1]})


def layout(rng, kind, n):
    """Group codes of n rows: symbols interleaved, in runs, at random, one
    group, many tiny groups, or one long group among sparse ones."""
    if kind == "interleaved":
        return np.arange(n) % 5
    if kind == "contiguous":
        return np.sort(rng.integers(0, 4, n))
    if kind == "random":
        return rng.integers(0, 7, n)
    if kind == "one":
        return np.zeros(n, dtype=np.int64)
    if kind == "tiny":
        return rng.integers(0, max(1, n // 3), n)
    codes = rng.integers(1, 40, n)  # "mixed": a dense group 0 among sparse ones
    codes[rng.random(n) < 0.6] = 0
    return codes


def alone(pipeline, data, codes, validity):
    """Each group through a fresh copy of its own, scattered by hand."""
    width = len(pipeline.output_names())
    values, present = np.full((len(codes), width), 7.0), np.zeros((len(codes), width), dtype=bool)
    for g in np.unique(codes):
        rows = np.flatnonzero(codes == g)
        got = pipeline._fresh()._run_columns(np.ascontiguousarray(data[rows]), validity=True)
        values[rows], present[rows] = np.asarray(got[0]), np.asarray(got[1])
    return (values, present) if validity else values


def grouped(pipeline, data, codes, validity, **kw):
    got = pipeline._run_groups(data, np.asarray(codes, dtype=np.int64), int(codes.max(initial=-1)) + 1,
                               validity=validity, **kw)
    return (np.asarray(got[0]), np.asarray(got[1])) if validity else np.asarray(got)


@pytest.mark.parametrize("kind", ["interleaved", "contiguous", "random", "one", "tiny", "mixed"])
@pytest.mark.parametrize("seed", range(3))
def test_groups_give_the_bits_of_each_group_alone(kind, seed):
    rng = np.random.default_rng(seed)
    pipeline = random_pipeline(rng)
    n = int(rng.integers(1, 900))
    data = np.column_stack([awkward(rng, n) for _ in COLUMNS])
    codes = layout(rng, kind, n)
    want_values, want_present = alone(pipeline, data, codes, True)
    # Windows from one row (every group in pieces of a row or two) to the cache-sized default.
    for window in (1, 3, 64, 257, None):
        for workers in (1, 2, 3):
            order = "F" if workers == 2 else "C"
            values, present = grouped(pipeline, data, codes, True, workers=workers, window=window, order=order)
            assert np.array_equal(bits(values), bits(want_values)), (window, workers)
            assert np.array_equal(present, want_present), (window, workers)
            assert values.flags[f"{order}_CONTIGUOUS"]
    plain = grouped(pipeline, [np.ascontiguousarray(c) for c in data.T], codes, False, window=5)
    assert np.array_equal(bits(plain), bits(want_values))


@pytest.mark.parametrize("seed", range(3))
def test_target_groups_give_the_bits_of_each_group_alone(seed):
    rng = np.random.default_rng(seed)
    pipeline = TARGETS
    n = 500
    data = np.column_stack([np.abs(awkward(rng, n)) for _ in pipeline.input_names()])
    for kind in ("interleaved", "contiguous", "tiny"):
        codes = layout(rng, kind, n)
        want = alone(pipeline, data, codes, True)
        for workers, panel in ((1, None), (3, False)):
            got = grouped(pipeline, data, codes, True, workers=workers, order="F", panel=panel)
            assert np.array_equal(bits(got[0]), bits(want[0])) and np.array_equal(got[1], want[1]), (kind, workers)
    with pytest.raises(ValueError, match="panel=True needs a feature pipeline: targets look ahead"):
        grouped(pipeline, data, codes, True, panel=True)


LANE_TYPES = ["Sma", "Ema", "Kama", "SimpleReturn", "LogReturn", "Skewness", "Kurtosis", "LinearSlope",
              "ParkinsonVolatility", "RogersSatchellVolatility"]


def lane_pipeline(rng):
    """Up to eight of the types that run in lanes across groups, chained."""
    names, features = list(COLUMNS), []
    for i in range(int(rng.integers(1, 9))):
        entry = CATALOG[str(rng.choice(LANE_TYPES))]
        f = build(entry, window_for(entry, rng, 20), inputs=[str(c) for c in rng.choice(names, entry["reads"])])
        doc = sv.FeaturePipeline([f], f.input_names())._config()["features"][0]
        doc["outputs"] = [f"f{i}_{k}" for k in range(len(doc["outputs"]))]
        features.append(doc)
        names += doc["outputs"]
    return sarvek.pipeline_from_dict({"input_columns": COLUMNS, "features": features[::-1]})


def time_major(rng, kind, symbols, steps):
    """Codes of a table in time order: every symbol at every step in one
    order; some rows missing; each step in its own order; symbols joining
    late and leaving early."""
    codes = np.tile(np.arange(symbols), steps)
    if kind == "missing":
        codes = codes[rng.random(len(codes)) > 0.15]
    elif kind == "shuffled":
        codes = np.concatenate([rng.permutation(symbols)[: int(rng.integers(1, symbols + 1))] for _ in range(steps)])
    elif kind == "staggered":
        step = np.repeat(np.arange(steps), symbols)
        start, stop = rng.integers(0, steps // 2, symbols), rng.integers(steps // 2, steps + 1, symbols)
        codes = codes[(step >= start[codes]) & (step < stop[codes])]
    return codes


@pytest.mark.parametrize("kind", ["whole", "missing", "shuffled", "staggered"])
@pytest.mark.parametrize("seed", range(3))
def test_panels_give_the_bits_of_each_group_alone(kind, seed):
    # Tables in time order walked step by step in lanes across groups
    # (panel=True, and the automatic choice), against each group alone.
    rng = np.random.default_rng(100 + seed)
    pipeline = lane_pipeline(rng)
    symbols = int(rng.integers(2, 80))
    codes = time_major(rng, kind, symbols, int(rng.integers(5, 60)))
    data = np.column_stack([awkward(rng, len(codes)) for _ in COLUMNS])
    want_values, want_present = alone(pipeline, data, codes, True)
    for panel in (True, None):
        for workers in (1, 2, 3):
            order = "F" if workers == 2 else "C"
            values, present = grouped(pipeline, data, codes, True, workers=workers, order=order, panel=panel)
            assert np.array_equal(bits(values), bits(want_values)), (panel, workers)
            assert np.array_equal(present, want_present), (panel, workers)


@pytest.mark.parametrize("kind", ["interleaved", "contiguous", "random", "one", "tiny", "mixed"])
def test_panels_of_any_layout_and_any_type_give_the_same_bits(kind):
    # panel=True on layouts it does not pay for (a step per row, lanes
    # mostly idle) and with types that run one copy per group.
    rng = np.random.default_rng(7)
    for _ in range(3):
        pipeline = random_pipeline(rng)
        n = int(rng.integers(1, 400))
        data = np.column_stack([awkward(rng, n) for _ in COLUMNS])
        codes = layout(rng, kind, n)
        want = alone(pipeline, data, codes, True)
        got = grouped(pipeline, data, codes, True, workers=2, panel=True)
        assert np.array_equal(bits(got[0]), bits(want[0])) and np.array_equal(got[1], want[1])


def test_long_groups_continue_across_windows_on_many_workers():
    # Far more rows than one window holds: each group is carried from window to window.
    rng = np.random.default_rng(11)
    pipeline = sarvek.FeaturePipeline([sarvek.Ema(["close"], 9, ["e"]), sarvek.Kurtosis(["e"], 30, ["k"])], COLUMNS)
    n = 300_000
    data = np.column_stack([100.0 + np.cumsum(rng.normal(0, 1, n)) for _ in COLUMNS])
    codes = np.where(rng.random(n) < 0.5, np.arange(n) % 3, 3 + rng.integers(0, 50, n))
    want = alone(pipeline, data, codes, False)
    for workers in (1, 2, 3):
        assert np.array_equal(bits(grouped(pipeline, data, codes, False, workers=workers)), bits(want)), workers


def test_empty_tables_and_groups_without_rows():
    pipeline = sarvek.FeaturePipeline([sarvek.Sma(["close"], 2, ["s"])], COLUMNS)
    empty = pipeline._run_groups(np.empty((0, 5)), np.empty(0, dtype=np.int64), 0)
    assert np.asarray(empty).shape == (0, 1)
    data = np.arange(10.0).reshape(2, 5)
    # Codes 1 and 3 never used.
    got = np.asarray(pipeline._run_groups(data, np.array([2, 0]), 4, workers=3))
    assert np.isnan(got).all()
    frame = pd.DataFrame({c: np.empty(0) for c in COLUMNS}).assign(symbol=np.empty(0, dtype=object))
    assert sarvek.compute_features(pipeline, frame, by="symbol").shape == (0, 1)


@pytest.mark.parametrize("bad, error, message", [
    (dict(codes=np.array([0, 2, 1])), ValueError, r"codes must lie in \[0, n_groups\) = \[0, 2\): got 2 at bar 1"),
    (dict(codes=np.array([0, -1, 1])), ValueError, r"got -1 at bar 1"),
    (dict(codes=np.array([0, 1])), ValueError, "one group number per bar: expected 3, got 2"),
    (dict(codes=np.array([0.0, 1.0, 1.0])), TypeError, "codes must be int64"),
    (dict(codes=np.zeros((3, 1), dtype=np.int64)), ValueError, "1-dimensional"),
    (dict(codes=[0, 1, 1]), TypeError, "codes must be a 1-D int64 buffer, got 'list'"),
    (dict(workers=0), ValueError, "workers must be a whole number from 1"),
    (dict(workers=True), TypeError, "workers must be a whole number"),
    (dict(window=0), ValueError, "window must be None or a whole number of at least 1"),
    (dict(order="X"), ValueError, "order must be 'C'"),
    (dict(data=np.ones((3, 4))), ValueError, "data must have shape"),
    (dict(panel=1), TypeError, "panel must be None, True or False, got 1"),
])
def test_bad_group_runs_are_refused_before_anything_runs(bad, error, message):
    pipeline = sarvek.FeaturePipeline([sarvek.Sma(["close"], 2, ["s"])], COLUMNS)
    args = dict(data=np.ones((3, 5)), codes=np.array([0, 1, 1]), n_groups=2)
    args.update(bad)
    data, codes, n_groups = args.pop("data"), args.pop("codes"), args.pop("n_groups")
    before = sv._pipeline_state(pipeline)
    with pytest.raises(error, match=message):
        pipeline._run_groups(data, codes, n_groups, **args)
    assert sv._pipeline_state(pipeline) == before


# ------------------------------------------------------------ keys of every kind

def keyed(kind, keys, n=60):
    """A table of `kind` with a `sym` column holding `keys` and random bars."""
    rng = np.random.default_rng(len(keys))
    cols = {c: 100.0 + np.cumsum(rng.normal(0, 1, n)) for c in COLUMNS}
    if kind == "pandas":
        return pd.DataFrame(cols).assign(sym=keys)
    if kind == "polars":
        return pl.DataFrame(cols).with_columns(sym=keys)
    if kind == "pyarrow":
        return pa.table(cols).append_column("sym", keys)
    return dict(cols, sym=keys)


def column(table, name):
    if isinstance(table, pa.Table):
        return table.column(name).to_numpy()
    got = table[name]
    return got.to_numpy() if hasattr(got, "to_numpy") else got


def key_cases(n=60):
    rng = np.random.default_rng(3)
    words = np.array(["AAA", "BB", "C", None], dtype=object)[rng.integers(0, 4, n)]
    ints = rng.integers(-3, 3, n)
    # Equal as float64, not as integers: a null beside them makes NumPy read them as floats.
    big = [None if i == 0 else 2**53 + int(i) % 2 for i in ints]
    floats = np.array([0.0, -0.0, 1.5, np.nan])[rng.integers(0, 4, n)]
    nulls = [None if w is None else str(w) for w in words]
    return {
        "pandas str": ("pandas", pd.Series(nulls, dtype="str")),
        "pandas object": ("pandas", pd.Series(words)),
        "pandas category": ("pandas", pd.Categorical(nulls)),
        "pandas Int64": ("pandas", pd.array([None if i == 0 else int(i) for i in ints], dtype="Int64")),
        "pandas float": ("pandas", floats),
        "pandas arrow str": ("pandas", pd.array(nulls, dtype="string[pyarrow]")),
        "polars str": ("polars", pl.Series(nulls)),
        "polars categorical": ("polars", pl.Series(nulls, dtype=pl.Categorical)),
        "polars int with nulls": ("polars", pl.Series([None if i == 0 else int(i) for i in ints])),
        "polars float": ("polars", pl.Series(floats)),
        "polars big ints": ("polars", pl.Series(big)),
        "arrow big ints": ("pyarrow", pa.array(big)),
        "arrow str chunked": ("pyarrow", pa.chunked_array([nulls[:25], nulls[25:]])),
        "arrow dictionary": ("pyarrow", pa.chunked_array([pa.array(nulls[:30]).dictionary_encode(),
                                                          pa.array(nulls[30:][::-1]).dictionary_encode()])),
        "arrow ints": ("pyarrow", pa.array(ints)),
        "dict object": ("dict", words),
        "dict ints": ("dict", ints),
        "dict polars": ("dict", pl.Series(nulls)),
        "dict masked": ("dict", np.ma.masked_array(ints, mask=ints == 0)),
    }


def partition(keys):
    """Rows grouped as equal keys, every missing key (None, NaN, null) one group."""
    found = {}
    for i, k in enumerate(keys):
        missing = k is None or k is pd.NA or (isinstance(k, float) and k != k)
        found.setdefault("missing" if missing else k, []).append(i)
    return list(found.values())


@pytest.mark.parametrize("case", list(key_cases()))
def test_every_kind_of_key_groups_rows_as_equal_keys(case):
    kind, keys = key_cases()[case]
    pipeline = sarvek.FeaturePipeline([sarvek.Ema(["close"], 3, ["e"]), sarvek.Sma(["e"], 4, ["s"])], COLUMNS)
    table = keyed(kind, keys)
    got = sarvek.compute_features(pipeline, table, by="sym")
    got = np.column_stack([np.asarray(column(got, n)) for n in ("e", "s")])
    if isinstance(keys, pl.Series):
        as_list = keys.to_list()
    elif isinstance(keys, (pa.Array, pa.ChunkedArray)):
        as_list = keys.to_pylist()
    elif np.ma.isMaskedArray(keys):
        as_list = [None if m else v for v, m in zip(keys.data.tolist(), np.ma.getmaskarray(keys))]
    else:
        as_list = pd.Series(keys, dtype=object).tolist()
    groups = partition(as_list)
    plain = np.column_stack([np.asarray(column(table, c)) for c in COLUMNS])
    for rows in groups:
        want = np.asarray(pipeline._fresh()._run_columns(np.ascontiguousarray(plain[rows])))
        assert np.array_equal(bits(got[rows]), bits(want)), (case, rows)
    # The same partition as the key column turned into a NumPy array and hashed.
    if kind == "pandas" or kind == "dict" and not isinstance(keys, pl.Series):
        ref = _codes(np.asarray(pd.Series(keys).to_numpy() if kind == "pandas" else keys))
        assert sorted(map(tuple, groups)) == sorted(tuple(np.flatnonzero(ref == c)) for c in np.unique(ref))


@pytest.mark.parametrize("threads", [2, 3, 8])
@pytest.mark.parametrize("case", list(key_cases()))
def test_keys_hashed_in_parts_on_threads_group_rows_as_equal_keys(case, threads, monkeypatch):
    # A long key column is hashed in slices on several threads, each slice's
    # codes then mapped onto one dictionary: slices a few rows long here.
    import sarvek._frames as frames

    monkeypatch.setattr(frames, "_ENCODE_ROWS", 7)
    monkeypatch.setattr(frames, "default_threads", lambda: threads)
    kind, keys = key_cases()[case]
    table = keyed(kind, keys)
    values = table.column("sym") if isinstance(table, pa.Table) else table["sym"]
    if kind == "pandas":
        values = pd.Series(values)
    codes, count = frames._column_codes(values, lambda: np.asarray(column(table, "sym")))
    as_list = (keys.to_list() if isinstance(keys, pl.Series) else keys.to_pylist()
               if isinstance(keys, (pa.Array, pa.ChunkedArray)) else pd.Series(keys, dtype=object).tolist())
    if np.ma.isMaskedArray(keys):
        return  # read through NumPy, never hashed by Arrow
    groups = partition(as_list)
    assert count == len(groups) and sorted(set(codes.tolist())) == list(range(count))
    assert sorted(map(tuple, groups)) == sorted(tuple(np.flatnonzero(codes == c)) for c in range(count))
    missing = [i for i, k in enumerate(as_list) if k is None or k is pd.NA or (isinstance(k, float) and k != k)]
    if missing:  # every missing key one code, after the others
        assert set(codes[missing].tolist()) == {count - 1}


@pytest.mark.parametrize("symbols", [16, 3], ids=["panel", "gathered"])
def test_a_long_by_run_stops_on_ctrl_c(ctrl_c, symbols):
    # Many symbols interleaved (walked as a panel) or a few (each gathered),
    # every one heavy: the signal is seen between and within groups.
    def make(w):
        p = sv.FeaturePipeline(heavy(w), OHLC)
        n = 40_000 + 40 * w
        x = 100.0 * np.exp(np.cumsum(np.random.default_rng(5).normal(0.0, 0.01, n)))
        frame = pd.DataFrame({c: x for c in OHLC}).assign(symbol=np.arange(n) % symbols)
        return lambda: sarvek.compute_features(p, frame, by="symbol", workers=2)

    w, took = calibrated(make, 0.5)
    expect_interrupt(make(4 * w), ctrl_c, 4 * took)


@pytest.mark.parametrize("kind", ["interleaved", "contiguous", "one", "mixed"])
def test_moving_averages_of_input_columns_by_group_give_the_bits_of_each_group_alone(kind):
    # Every step can run straight over contiguous columns: groups long
    # enough take that path, short ones the staged one.
    rng = np.random.default_rng(len(kind))
    pipeline = sv.FeaturePipeline([sv.Sma([COLUMNS[k]], w, [f"s{k}"]) for k, w in enumerate((1, 4, 30, 9))],
                                  COLUMNS)
    n = 3000
    data = np.column_stack([awkward(rng, n) for _ in COLUMNS])
    codes = layout(rng, kind, n)
    want_values, want_present = alone(pipeline, data, codes, True)
    columns = [np.ascontiguousarray(c) for c in data.T]
    for workers in (1, 2):
        for panel in (None, False):
            values, present = grouped(pipeline, columns, codes, True, workers=workers, order="F", panel=panel)
            assert np.array_equal(bits(values), bits(want_values)), (workers, panel)
            assert np.array_equal(present, want_present), (workers, panel)
