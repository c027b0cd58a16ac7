"""Tables around the engine: numeric columns read one way, dict columns of one
length, kept columns, bars in time order, worker counts, masks and nulls."""
import decimal
import pathlib

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import sarvek
from sarvek._checks import check_time_order, check_workers, numeric_values

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

EXAMPLES = pathlib.Path(__file__).resolve().parents[2] / "examples"
FEATURES = sarvek.load_pipeline(EXAMPLES / "features.toml")
TARGETS = sarvek.load_pipeline(EXAMPLES / "targets.toml")
NOT_NUMERIC = r"column 'c' is not numeric \(dtype {}\); sarvek reads numbers, booleans or missing values"


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def bars(n, seed=0, symbols=("AAA", "BB", "C")):
    """OHLC random walks for interleaved symbols, a minute time column rising
    over the whole table, a text note and a bar counter."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
    open_ = close * np.exp(rng.normal(0, 0.003, n))
    high = np.maximum(open_, close) * 1.001
    low = np.minimum(open_, close) * 0.999
    close[rng.random(n) < 0.05] = np.nan  # gaps
    return {"time": np.datetime64("2024-01-02T09:30", "ns") + np.arange(n) * np.timedelta64(60, "s"),
            "symbol": np.array(symbols, dtype=object)[rng.integers(0, len(symbols), n)],
            "note": np.array([f"n{i}" for i in range(n)], dtype=object), "bar": np.arange(n, dtype=np.int32),
            "open": open_, "high": high, "low": low, "close": close}


KINDS = {
    "pandas": lambda c, **kw: pd.DataFrame(c, **kw),
    "polars": lambda c: pl.DataFrame({k: (v.tolist() if v.dtype == object else v) for k, v in c.items()}),
    "pyarrow": lambda c: pa.table({k: (v.tolist() if v.dtype == object else v) for k, v in c.items()}),
    "dict": dict,
}


def column(out, name):
    if isinstance(out, pa.Table):
        return out.column(name).to_numpy()
    got = out[name]
    return np.asarray(got.to_numpy() if hasattr(got, "to_numpy") else got)


def compute(pipeline, data, **kw):
    fn = sarvek.compute_features if isinstance(pipeline, sarvek.FeaturePipeline) else sarvek.compute_targets
    return fn(pipeline, data, **kw)


# ------------------------------------------------------------ numeric columns

COLUMN_KINDS = {
    "float64": lambda v, m: np.where(m, np.nan, v),
    "masked": lambda v, m: np.ma.array(v, mask=m),
    "list": lambda v, m: [None if k else x for x, k in zip(v.tolist(), m)],
    "objects": lambda v, m: np.array([None if k else x for x, k in zip(v.tolist(), m)], dtype=object),
    "decimals": lambda v, m: np.array([pd.NA if k else decimal.Decimal(x) for x, k in zip(v.tolist(), m)],
                                      dtype=object),
    "pandas Int64": lambda v, m: pd.Series(pd.array([None if k else int(x) for x, k in zip(v, m)], "Int64")),
    "pandas objects": lambda v, m: pd.Series([None if k else x for x, k in zip(v.tolist(), m)], dtype=object),
    "pandas arrow decimal": lambda v, m: pd.Series(pa.array([None if k else decimal.Decimal(x)
                                                             for x, k in zip(v.tolist(), m)], pa.decimal128(20, 0)),
                                                   dtype=pd.ArrowDtype(pa.decimal128(20, 0))),
    "polars": lambda v, m: pl.Series([None if k else x for x, k in zip(v.tolist(), m)], dtype=pl.Int64),
    "polars decimal": lambda v, m: pl.Series([None if k else decimal.Decimal(x) for x, k in zip(v.tolist(), m)],
                                             dtype=pl.Decimal(20, 0)),
    "pyarrow decimal": lambda v, m: pa.chunked_array([pa.array(
        [None if k else decimal.Decimal(x) for x, k in zip(v.tolist(), m)], pa.decimal128(20, 0))]),
    "pyarrow": lambda v, m: pa.array(v, mask=np.asarray(m)),
}


@settings(max_examples=40, deadline=None)
@given(st.lists(st.tuples(st.integers(-10**6, 10**6), st.booleans()), max_size=40),
       st.sampled_from(sorted(COLUMN_KINDS)))
def test_every_column_kind_reads_the_same_numbers(cells, kind):
    values = np.array([v for v, _ in cells], dtype=np.int64)
    missing = np.array([m for _, m in cells], dtype=bool)
    expected = np.where(missing, np.nan, values.astype(np.float64))
    got = numeric_values("c", COLUMN_KINDS[kind](values, missing))
    assert got.dtype == np.float64 and got.flags.c_contiguous
    assert np.array_equal(bits(got), bits(expected)), kind


@pytest.mark.parametrize("values, dtype", [
    (np.array(["1.5", "2"]), "<U3"), (pd.Series(["1.5"]), "str"), (pl.Series(["1.5"]), "String"),
    (pa.array(["1.5"]), "string"), (np.array([1j]), "complex128"),
    (np.array(["2024-01-01"], dtype="datetime64[D]"), r"datetime64\[D\]"),
    (pd.Series(pd.Categorical([1.0, 2.0])), "category"),
])
def test_columns_that_are_not_numbers_are_refused_with_one_message(values, dtype):
    with pytest.raises(TypeError, match="^" + NOT_NUMERIC.format(dtype) + "$"):
        numeric_values("c", values)


@pytest.mark.parametrize("make", [lambda v: np.array(v, dtype=object), lambda v: pd.Series(v, dtype=object),
                                  lambda v: pl.Series(v, dtype=pl.Object)])
def test_a_column_of_objects_names_its_first_stranger(make):
    with pytest.raises(TypeError, match=r"^column 'c' is not numeric \(dtype [Oo]bject, value 'x'\); sarvek reads"):
        numeric_values("c", make([1.0, None, "x", 2]))


@pytest.mark.parametrize("kind", list(KINDS))
def test_objects_and_decimals_give_the_numbers_they_hold(kind):
    cols = bars(60)
    cols["close"] = np.where(np.isnan(cols["close"]), 100.0, cols["close"])
    plain = compute(FEATURES, KINDS[kind](cols))
    held = dict(cols, close=np.array([decimal.Decimal(repr(x)) for x in cols["close"].tolist()], dtype=object))
    if kind == "pyarrow":
        data = pa.table({k: (v.tolist() if v.dtype == object else v) for k, v in held.items()})
        assert pa.types.is_decimal(data.column("close").type)
    else:
        data = KINDS[kind](held)
    got = compute(FEATURES, data)
    for name in FEATURES.output_names():
        assert np.array_equal(bits(column(got, name)), bits(column(plain, name))), name


# ------------------------------------------------------------ masks

def test_masked_entries_are_missing_not_their_numbers():
    cols = bars(300, seed=3)
    inputs = FEATURES.input_names()
    rng = np.random.default_rng(1)
    mask = rng.random((300, len(inputs))) < 0.1
    matrix = np.column_stack([cols[n] for n in inputs])
    expected = sarvek.compute_features(FEATURES, np.where(mask, np.nan, matrix))
    got = sarvek.compute_features(FEATURES, np.ma.array(matrix, mask=mask))
    assert np.array_equal(bits(got), bits(expected))
    as_dict = {n: np.ma.array(matrix[:, j], mask=mask[:, j]) for j, n in enumerate(inputs)}
    got = sarvek.compute_features(FEATURES, as_dict)
    assert all(np.array_equal(bits(got[n]), bits(expected[:, k])) for k, n in enumerate(FEATURES.output_names()))


# ------------------------------------------------------------ dict lengths

@pytest.mark.parametrize("pipeline", [FEATURES, TARGETS], ids=["features", "targets"])
@pytest.mark.parametrize("change", [-1, 1])
def test_every_dict_column_has_one_value_per_bar(pipeline, change):
    cols = bars(50)
    first = pipeline.input_names()[0]
    short = dict(cols, symbol=cols["symbol"][:50 + change] if change < 0 else np.append(cols["symbol"], "AAA"))
    with pytest.raises(ValueError, match=rf"^column 'symbol' has {50 + change} values where column {first!r} has 50;"):
        compute(pipeline, short, by="symbol")
    with pytest.raises(ValueError, match=rf"^column 'time' has {50 + change} values where column {first!r} has 50;"):
        times = cols["time"][:49] if change < 0 else np.append(cols["time"], cols["time"][:1])
        compute(pipeline, dict(cols, time=times), time="time")
    with pytest.raises(ValueError, match=rf"^column 'note' has {50 + change} values where column {first!r} has 50;"):
        compute(pipeline, dict(cols, note=list(range(50 + change))), keep=["note"])


# ------------------------------------------------------------ keep=

@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("pipeline", [FEATURES, TARGETS], ids=["features", "targets"])
def test_kept_columns_come_first_unchanged(kind, pipeline):
    cols = bars(80, seed=5)
    data = KINDS[kind](cols)
    plain = compute(pipeline, data, by="symbol")
    got = compute(pipeline, data, by="symbol", keep=["time", "note", "bar"])
    names = pipeline.output_names()
    listed = list(got.columns if kind in ("pandas", "polars") else got.column_names if kind == "pyarrow" else got)
    assert listed == ["time", "note", "bar", *names]
    for name in names:
        assert np.array_equal(bits(column(got, name)), bits(column(plain, name)))
    if kind == "pandas":
        assert got.index.equals(data.index)
        assert got[["time", "note", "bar"]].equals(data[["time", "note", "bar"]])
    elif kind == "polars":
        assert got.select(["time", "note", "bar"]).equals(data.select(["time", "note", "bar"]))
    elif kind == "pyarrow":
        assert got.select(["time", "note", "bar"]).equals(data.select(["time", "note", "bar"]))
    else:
        assert all(got[n] is data[n] for n in ("time", "note", "bar"))
    everything = compute(pipeline, data, keep="all")
    listed = list(everything.columns if kind in ("pandas", "polars") else
                  everything.column_names if kind == "pyarrow" else everything)
    assert listed == list(cols) + names


def test_pandas_keeps_a_repeated_index_with_kept_columns():
    cols = bars(30)
    data = pd.DataFrame(cols, index=np.repeat(np.arange(10), 3))
    got = sarvek.compute_features(FEATURES, data, keep=["bar"])
    assert got.index.equals(data.index) and got["bar"].equals(data["bar"])


@pytest.mark.parametrize("kind", list(KINDS))
def test_bad_keep_is_refused_before_computing(kind):
    data = KINDS[kind](bars(20))
    with pytest.raises(ValueError, match=r"keep= names columns the data does not have: 'nope', ' time'"):
        sarvek.compute_features(FEATURES, data, keep=["time", "nope", " time"])
    with pytest.raises(ValueError, match=r"kept column\(s\) 'ret_1' would share a name"):
        sarvek.compute_features(FEATURES, KINDS[kind](dict(bars(20), ret_1=np.zeros(20))), keep=["ret_1"])
    with pytest.raises(ValueError, match="keep= names 'bar' more than once"):
        sarvek.compute_features(FEATURES, data, keep=["bar", "bar"])
    with pytest.raises(TypeError, match=r"write keep=\['time'\]"):
        sarvek.compute_features(FEATURES, data, keep="time")
    with pytest.raises(TypeError, match="keep= needs data with named columns"):
        sarvek.compute_features(FEATURES, np.ones((5, 4)), keep="all")


# ------------------------------------------------------------ time order

@pytest.mark.parametrize("kind", list(KINDS))
@pytest.mark.parametrize("pipeline", [FEATURES, TARGETS], ids=["features", "targets"])
def test_bars_out_of_time_order_are_refused(kind, pipeline):
    cols = bars(200, seed=11)
    plain = compute(pipeline, KINDS[kind](cols), by="symbol")
    same = compute(pipeline, KINDS[kind](cols), by="symbol", time="time")
    assert all(np.array_equal(bits(column(same, n)), bits(column(plain, n))) for n in pipeline.output_names())
    # Swap two bars of symbol BB: the table is out of order only within that symbol.
    rows = np.flatnonzero(cols["symbol"] == "BB")
    a, b = rows[3], rows[7]
    shuffled = {k: v.copy() for k, v in cols.items()}
    shuffled["time"][[a, b]] = shuffled["time"][[b, a]]
    with pytest.raises(ValueError, match=rf"^time column 'time' goes backwards for symbol 'BB' at row {rows[4]}: "):
        compute(pipeline, KINDS[kind](shuffled), by="symbol", time="time")
    with pytest.raises(ValueError, match=rf"^time column 'time' goes backwards at row {rows[4]}: .*sort the bars"):
        compute(pipeline, KINDS[kind](shuffled), time="time")
    # Interleaved symbols whose own times rise are in order although the table's times are not.
    per_symbol = {k: v.copy() for k, v in cols.items()}
    per_symbol["time"][cols["symbol"] == "C"] -= np.timedelta64(1, "D")
    compute(pipeline, KINDS[kind](per_symbol), by="symbol", time="time")
    gap = {k: v.copy() for k, v in cols.items()}
    gap["time"][rows[5]] = np.datetime64("NaT")
    with pytest.raises(ValueError, match=rf"^time column 'time' has a missing time for symbol 'BB' at row {rows[5]};"):
        compute(pipeline, KINDS[kind](gap), by="symbol", time="time")
    with pytest.raises(ValueError, match="missing column 'when'"):
        compute(pipeline, KINDS[kind](cols), time="when")


def test_a_pandas_datetime_index_is_checked_without_asking():
    cols = bars(100, seed=2)
    times = pd.DatetimeIndex(cols.pop("time")).tz_localize("America/New_York")
    fine = pd.DataFrame(cols, index=times)
    sarvek.compute_features(FEATURES, fine, by="symbol")
    order = np.arange(100)
    order[[10, 11]] = [11, 10]
    swapped = fine.iloc[order]
    with pytest.raises(ValueError, match=r"^time column 'index' goes backwards at row Timestamp\('2024-01-02 09:40"):
        sarvek.compute_features(FEATURES, swapped)
    with pytest.raises(ValueError, match=r"^time column 'when' goes backwards for symbol 'X' at row Timestamp"):
        sarvek.compute_features(FEATURES, swapped.rename_axis("when").assign(symbol="X"), by="symbol")
    # time= names the column to check instead of the index.
    sarvek.compute_features(FEATURES, swapped.assign(bar=np.arange(100)), time="bar")


@settings(max_examples=60, deadline=None)
@given(st.lists(st.integers(-5, 5), max_size=30), st.booleans())
def test_the_first_step_back_is_the_one_reported(steps, as_time):
    values = np.cumsum(steps)
    times = values.astype("datetime64[s]") if as_time else values.astype(np.float64)
    back = np.flatnonzero(np.diff(values) < 0)
    if len(back) == 0:
        check_time_order(times, "t", "S", rows=np.arange(len(values)) + 100)
        return
    with pytest.raises(ValueError, match=rf"^time column 't' goes backwards for symbol 'S' at row {back[0] + 101}: "):
        check_time_order(times, "t", "S", rows=np.arange(len(values)) + 100)


def test_time_columns_must_be_times_or_numbers():
    with pytest.raises(TypeError, match=r"^time column 't' must hold datetimes or numbers, got dtype <U10$"):
        check_time_order(np.array(["2024-01-01", "2024-01-02"]), "t")
    with pytest.raises(ValueError, match=r"^time column 't' has a missing time at row 1; every bar needs a time$"):
        check_time_order([1.0, np.nan], "t")


# ------------------------------------------------------------ workers

@pytest.mark.parametrize("workers", [0, -1, 2.5, True, "2", 1.0])
def test_worker_counts_are_whole_numbers_of_at_least_one(workers):
    message = rf"^workers must be None or a whole number of at least 1, got {workers!r}$".replace(".", r"\.")
    with pytest.raises(ValueError, match=message):
        check_workers(workers)
    with pytest.raises(ValueError, match=message):
        sarvek.compute_features(FEATURES, bars(10), by="symbol", workers=workers)
    with pytest.raises(ValueError, match=message):
        sarvek.compute_targets(TARGETS, bars(10), workers=workers)


def test_worker_counts_that_are_fine():
    assert check_workers(None) is None and check_workers(np.int64(3)) == 3 and check_workers(1) == 1


# ------------------------------------------------------------ nulls in results

def nulls(out, name):
    col = out.column(name) if isinstance(out, pa.Table) else out.get_column(name)
    return np.asarray(col.is_null().to_numpy(zero_copy_only=False) if isinstance(out, pa.Table)
                      else col.is_null().to_numpy(), dtype=bool)


@pytest.mark.parametrize("kind", ["polars", "pyarrow"])
@pytest.mark.parametrize("pipeline", [FEATURES, TARGETS], ids=["features", "targets"])
@pytest.mark.parametrize("by", [None, "symbol"])
def test_missing_outputs_are_null_and_the_numbers_are_unchanged(kind, pipeline, by):
    cols = bars(400, seed=17)
    cols["close"][[50, 51, 52, 200]] = np.nan
    plain = compute(pipeline, dict(cols), by=by)  # NaN for missing
    got = compute(pipeline, KINDS[kind](cols), by=by)
    for name in pipeline.output_names():
        values, missing = column(got, name), nulls(got, name)
        assert missing.any() and not missing.all(), name
        assert np.array_equal(bits(values[~missing]), bits(plain[name][~missing])), name
        assert np.isnan(plain[name][missing]).all(), name
    if by is not None:  # each symbol's nulls are those of the symbol run alone
        for sym in np.unique(cols["symbol"]):
            rows = cols["symbol"] == sym
            alone = compute(pipeline, KINDS[kind]({k: v[rows] for k, v in cols.items()}))
            assert all(np.array_equal(nulls(alone, n), nulls(got, n)[rows]) for n in pipeline.output_names())


def test_a_computed_nan_stays_nan_beside_nulls():
    fp = sarvek.FeaturePipeline([sarvek.Sma(["x"], 2, ["s"])], ["x"])
    x = [1.0, np.inf, -np.inf, None, 2.0, 3.0]  # inf + -inf is NaN; None is missing
    expected_null = [True, False, False, True, True, False]
    for data in (pl.DataFrame({"x": x}), pa.table({"x": x})):
        out = sarvek.compute_features(fp, data)
        assert nulls(out, "s").tolist() == expected_null
        values = column(out, "s")
        assert np.isnan(values[2]) and values[1] == np.inf and values[5] == 2.5
    as_pandas = sarvek.compute_features(fp, pd.DataFrame({"x": x}, dtype=float))["s"].to_numpy()
    assert np.isnan(as_pandas[[0, 2, 3, 4]]).all()
