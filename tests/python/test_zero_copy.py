"""Column-major results: the engine writes each output as one contiguous run
of bars (order="F"), optionally into the caller's own table (out=), and the
package hands those runs to pandas, polars, pyarrow and dicts as they are.
The numbers never change with the layout; only where they live does."""
import gc

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import _sarvek as sv
import sarvek
from sarvek import _frames
from test_columns import ohlc, pipeline as every_feature_pipeline
from test_package import bars, chained_pipelines

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

TARGETS = sv.TargetPipeline(
    [sv.FutureReturn(["close"], 3, ["fwd_3"]), sv.FutureReturn(["close"], 1, ["fwd_1"])], ["close"])


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def columns_of(data, p):
    return [np.ascontiguousarray(data[:, j]) for j in range(len(p.input_names()))]


def run(p, cols, **kw):
    if isinstance(p, sv.TargetPipeline):
        return p._run_columns(cols, **kw)
    return p._run_columns(cols, reset=True, **kw)


# ------------------------------------------------------------ the engine

def assert_every_layout_agrees(p, data):
    cols = columns_of(data, p)
    values, present = (np.asarray(t) for t in run(p, cols, validity=True))
    assert values.flags.c_contiguous
    shape = values.shape
    f_values, f_present = (np.asarray(t) for t in run(p, cols, validity=True, order="F"))
    assert f_values.flags.f_contiguous and f_present.flags.f_contiguous and f_present.dtype == np.bool_
    assert np.array_equal(bits(f_values), bits(values)) and np.array_equal(f_present, present)
    assert np.array_equal(bits(np.asarray(run(p, cols, order="F"))), bits(values))
    for order in "CF":
        out = np.full(shape, 7.5, order=order)  # stale numbers from an earlier run
        for _ in range(2):  # reused: every entry rewritten
            got, flags = run(p, cols, validity=True, order=order, out=out)
            assert got is out and np.array_equal(bits(out), bits(values))
            assert np.array_equal(np.asarray(flags), present)
            out[...] = -1.0
        assert run(p, cols, order=order, out=out) is out and np.array_equal(bits(out), bits(values))


@pytest.mark.parametrize("make", [every_feature_pipeline, lambda: TARGETS], ids=["features", "targets"])
@pytest.mark.parametrize("n", [0, 1, 97, 5000])
def test_column_major_and_out_give_the_bits_of_a_row_major_run(make, n):
    assert_every_layout_agrees(make(), ohlc(n))


@settings(max_examples=30, deadline=None)
@given(chained_pipelines(), st.integers(0, 2**32 - 1))
def test_random_pipelines_agree_in_every_layout(doc, seed):
    fp = sarvek.pipeline_from_dict(doc)
    cols = bars(300, seed=seed)
    assert_every_layout_agrees(fp, np.column_stack([cols[c] for c in fp.input_names()]))


def test_pieces_into_one_column_major_table_equal_one_run():
    p, data = every_feature_pipeline(), ohlc(3000)
    whole = np.asarray(p._run_columns(data))
    out = np.empty((1000, whole.shape[1]), order="F")
    for begin in range(0, 3000, 1000):
        p._run_columns(data[begin:begin + 1000], reset=begin == 0, order="F", out=out)
        assert np.array_equal(bits(out), bits(whole[begin:begin + 1000]))


def test_a_column_major_result_is_exported_without_a_copy():
    p = every_feature_pipeline()
    result = p._run_columns(ohlc(50), order="F")
    a, b = np.asarray(result), np.asarray(result)
    assert a.ctypes.data == b.ctypes.data and a.base.obj is result
    assert a.strides == (8, 8 * 50) and a.flags.writeable
    # As plain bytes: the whole table, one output after another.
    flat = np.frombuffer(result, dtype=np.float64)
    assert flat.ctypes.data == a.ctypes.data and np.array_equal(bits(flat.reshape(a.shape[::-1])), bits(a.T))


def bad_outs(n, width):
    def empty(shape, dtype=np.float64):
        return np.full(shape, 7.0, dtype=dtype, order="F")
    read_only = empty((n, width))
    read_only.flags.writeable = False
    return {
        "C order asked F": (np.full((n, width), 7.0), ValueError, r"out must be F-contiguous \(order='F'\)"),
        "too few bars": (empty((n - 1, width)), ValueError,
                         rf"out must have shape \({n}, {width}\).*got \({n - 1}, {width}\)"),
        "one column short": (empty((n, width - 1)), ValueError, r"out must have shape"),
        "1-D": (empty(n * width), ValueError, r"out must have shape .* got 1 dimension$"),
        "float32": (empty((n, width), np.float32), TypeError, r"out must be float64 \(format 'd'\)"),
        "read-only": (read_only, ValueError, r"out must be writable"),
        "every other column": (empty((n, 2 * width))[:, ::2], ValueError, r"F-contiguous"),
        "a list": ([[0.0] * width] * n, TypeError, r"out must be a writable float64 array .* got 'list'"),
    }


@pytest.mark.parametrize("case", list(bad_outs(40, 3)))
@pytest.mark.parametrize("make", [every_feature_pipeline, lambda: TARGETS], ids=["features", "targets"])
def test_a_bad_out_is_refused_before_anything_changes(make, case):
    p, data = make(), ohlc(80)
    cols = columns_of(data, p)
    width = len(p.output_names())
    out, exc, pattern = bad_outs(40, width)[case]
    sentinel = np.array(out, dtype=np.float64, copy=True)
    whole = np.asarray(run(p, cols))
    first = [c[:40] for c in cols]
    rest = [c[40:] for c in cols]
    if isinstance(p, sv.FeaturePipeline):
        p._run_columns(first)
        with pytest.raises(exc, match=pattern):
            p._run_columns(rest, reset=False, order="F", out=out, validity=True)
        # The refused call left the features where the first piece did.
        assert np.array_equal(bits(np.asarray(p._run_columns(rest, reset=False))), bits(whole[40:]))
    else:
        with pytest.raises(exc, match=pattern):
            p._run_columns(first, order="F", out=out)
    assert np.array_equal(np.array(out, dtype=np.float64), sentinel, equal_nan=True)


@pytest.mark.parametrize("order", ["c", "K", "", None, 1, b"F"])
def test_order_is_c_or_f(order):
    with pytest.raises(ValueError, match=r"order must be 'C' \(row after row\) or 'F'"):
        every_feature_pipeline()._run_columns(ohlc(5), order=order)


@pytest.mark.parametrize("make", [every_feature_pipeline, lambda: TARGETS], ids=["features", "targets"])
def test_out_sharing_memory_with_the_input_is_refused(make):
    p = make()
    width = len(p.output_names())
    block = np.asfortranarray(np.column_stack([ohlc(60)] * (width // 4 + 2))[:, :width + 4])
    inputs = [block[:, j] for j in range(len(p.input_names()))]
    before = block.copy()
    with pytest.raises(ValueError, match=r"out must not share memory with the input data \(input column 0"):
        p._run_columns(inputs, order="F", out=block[:, :width])
    assert np.array_equal(bits(block), bits(before))
    # Right beside the inputs is fine.
    beside = block[:, 4:4 + width]
    p._run_columns([block[:, j] for j in range(len(p.input_names()))], order="F", out=beside)
    assert np.array_equal(bits(beside), bits(np.asarray(run(p, columns_of(before, p)))))


# ------------------------------------------------------------ the package

FEATURES = sarvek.FeaturePipeline(
    [sarvek.Sma(["close"], 5, ["sma"]), sarvek.LogReturn(["close"], 1, ["r"]),
     sarvek.Skewness(["r"], 6, ["skew"]), sarvek.ParkinsonVolatility(["high", "low"], 4, ["park"])],
    ["open", "high", "low", "close"])

KINDS = {
    "pandas": lambda c: pd.DataFrame(c),
    "polars": lambda c: pl.DataFrame({k: (v.tolist() if v.dtype == object else v) for k, v in c.items()}),
    "pyarrow": lambda c: pa.table({k: (v.tolist() if v.dtype == object else v) for k, v in c.items()}),
    "dict": dict,
}


def table_bars(n, seed=3):
    cols = bars(n, seed=seed, symbols=["AAA", "BB", "C"])
    cols["close"][[5, 6, 40]] = np.nan
    cols["close"][50] = -cols["close"][50]  # a computed NaN: the log of a negative price ratio
    return cols


def compute(p, data, **kw):
    fn = sarvek.compute_features if isinstance(p, sv.FeaturePipeline) else sarvek.compute_targets
    return fn(p, data, **kw)


@pytest.fixture
def wrapped(monkeypatch):
    """The (rows, outputs) blocks each wrap was handed, in call order."""
    blocks = []
    for cls in (_frames._Pandas, _frames._Polars, _frames._Arrow, _frames._Dict, _frames._Array):
        def spy(self, names, out, present, keep, _wrap=cls.wrap):
            blocks.append(out)
            return _wrap(self, names, out, present, keep)
        monkeypatch.setattr(cls, "wrap", spy)
    return blocks


def values_and_nulls(result, name):
    if isinstance(result, pa.Table):
        col = result.column(name)
        return col.to_numpy(), col.is_null().to_numpy(zero_copy_only=False)
    if isinstance(result, pl.DataFrame):
        col = result.get_column(name)
        return col.to_numpy(), col.is_null().to_numpy()
    values = np.asarray(result[name].to_numpy() if hasattr(result[name], "to_numpy") else result[name])
    return values, np.zeros(len(values), dtype=bool)


def one_chunk(arrow):
    if isinstance(arrow, pa.ChunkedArray):
        (arrow,) = arrow.chunks
    return arrow


def buffer_address(result, name):
    """Where the values of an output live, as the result's own library reports it."""
    if isinstance(result, pa.Table):
        return one_chunk(result.column(name)).buffers()[1].address
    if isinstance(result, pl.DataFrame):
        return one_chunk(result.get_column(name).to_arrow()).buffers()[1].address
    values = result[name].to_numpy() if hasattr(result[name], "to_numpy") else result[name]
    return np.asarray(values).ctypes.data


@pytest.mark.parametrize("kind", sorted(KINDS) + ["ndarray"])
@pytest.mark.parametrize("p", [FEATURES, TARGETS], ids=["features", "targets"])
@pytest.mark.parametrize("by", [None, "symbol"])
@pytest.mark.parametrize("n", [0, 1, 13, 300])
def test_results_are_the_bits_of_a_row_major_run(kind, p, by, n):
    if kind == "ndarray" and by:
        return
    cols = table_bars(300)
    cols = {k: v[:n] for k, v in cols.items()}
    expected, present = sarvek._frames.compute_with_validity(p, dict(cols), by=by)
    assert expected.flags.c_contiguous  # the row-major reference
    if kind == "ndarray":
        got = compute(p, np.column_stack([cols[c] for c in p.input_names()]))
        assert got.flags.c_contiguous and np.array_equal(bits(got), bits(expected))
        return
    got = compute(p, KINDS[kind](cols), by=by)
    if kind == "pyarrow":
        got.validate(full=True)
    elif kind == "polars":
        got.to_arrow().validate(full=True)
    nulls_seen = False
    for k, name in enumerate(p.output_names()):
        values, nulls = values_and_nulls(got, name)
        if kind in ("polars", "pyarrow"):
            assert np.array_equal(nulls, ~present[:, k]), name  # missing is null, a computed NaN is not
            nulls_seen |= nulls.any()
            values = np.where(nulls, np.nan, values)
        assert np.array_equal(bits(values), bits(expected[:, k])), name
    assert nulls_seen or kind not in ("polars", "pyarrow") or n < 13


@pytest.mark.parametrize("kind", sorted(KINDS))
@pytest.mark.parametrize("p", [FEATURES, TARGETS], ids=["features", "targets"])
@pytest.mark.parametrize("extra", [{}, {"by": "symbol"}, {"keep": ["bar", "note"]}], ids=["plain", "by", "keep"])
def test_results_take_the_engine_block_without_a_copy(kind, p, extra, wrapped):
    got = compute(p, KINDS[kind](table_bars(200)), **extra)
    (block,) = wrapped
    assert block.flags.f_contiguous
    for k, name in enumerate(p.output_names()):
        assert buffer_address(got, name) == block[:, k].ctypes.data, name
    if kind == "pandas":
        assert all(np.shares_memory(got[n].to_numpy(), block) for n in p.output_names())


def test_a_numpy_result_stays_row_major(wrapped):
    data = np.column_stack([table_bars(80)[c] for c in FEATURES.input_names()])
    got = compute(FEATURES, data)
    assert got is wrapped[0] and got.flags.c_contiguous


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_results_outlive_everything_else_of_their_run(kind):
    cols = table_bars(2000)
    got = compute(FEATURES, KINDS[kind](cols), by="symbol")
    kept = {n: values_and_nulls(got, n) for n in FEATURES.output_names()}
    kept = {n: (v.copy(), m.copy()) for n, (v, m) in kept.items()}
    gc.collect()
    for seed in range(3):  # fresh runs of the same size take the memory freed meanwhile
        compute(FEATURES, KINDS[kind](table_bars(2000, seed=seed + 10)), by="symbol")
    for n, (values, nulls) in kept.items():
        now_values, now_nulls = values_and_nulls(got, n)
        assert np.array_equal(bits(now_values), bits(values)) and np.array_equal(now_nulls, nulls), n
