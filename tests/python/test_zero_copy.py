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
from test_columns import ohlc, pipeline as every_feature
from test_package import bars, bits, chained_pipelines

pd = pytest.importorskip("pandas")
pl = pytest.importorskip("polars")
pa = pytest.importorskip("pyarrow")

TARGETS = sv.TargetPipeline([sv.FutureReturn(["close"], 3, ["f3"]), sv.FutureReturn(["close"], 1, ["f1"])],
                            ["close"])
MAKERS = pytest.mark.parametrize("make", [every_feature, lambda: TARGETS], ids=["features", "targets"])


def run(p, data, **kw):
    return p._run_columns(np.ascontiguousarray(data[:, :len(p.input_names())]), **kw)


def assert_every_layout_agrees(p, data):
    values, present = (np.asarray(t) for t in run(p, data, validity=True))
    f_values, f_present = (np.asarray(t) for t in run(p, data, validity=True, order="F"))
    assert values.flags.c_contiguous and f_values.flags.f_contiguous and f_present.flags.f_contiguous
    assert np.array_equal(bits(f_values), bits(values)) and np.array_equal(f_present, present)
    for order in "CF":
        out = np.full(values.shape, 7.5, order=order)  # stale numbers, every one rewritten
        for _ in range(2):
            got, flags = run(p, data, validity=True, order=order, out=out)
            assert got is out and np.array_equal(bits(out), bits(values)) and np.array_equal(flags, present)


@MAKERS
@pytest.mark.parametrize("n", [0, 1, 97, 5000])
def test_column_major_and_out_give_the_bits_of_a_row_major_run(make, n):
    assert_every_layout_agrees(make(), ohlc(n))


@settings(max_examples=30, deadline=None)
@given(chained_pipelines(), st.integers(0, 2**32 - 1))
def test_random_pipelines_agree_in_every_layout(doc, seed):
    cols = bars(300, seed=seed)
    assert_every_layout_agrees(sarvek.pipeline_from_dict(doc), np.column_stack([cols[c] for c in doc["input_columns"]]))


def test_a_column_major_result_is_exported_without_a_copy():
    result = every_feature()._run_columns(ohlc(50), order="F")
    a, flat = np.asarray(result), np.frombuffer(result, dtype=np.float64)  # as plain bytes: output after output
    assert a.base.obj is result and a.strides == (8, 400) and a.flags.writeable
    assert flat.ctypes.data == a.ctypes.data and np.array_equal(bits(flat.reshape(12, 50)), bits(a.T))


def bad_calls(data, width):
    """name: (data, out, order, exception, message) of a call refused over `data` (bars, inputs)."""
    (n, inputs), data = data.shape, np.ascontiguousarray(data)

    def full(shape, dtype=np.float64, order="F"):
        return np.full(shape, 7.0, dtype=dtype, order=order)
    read_only = full((n, width))
    read_only.flags.writeable = False
    shared = np.asfortranarray(np.column_stack([data, full((n, width))]))
    layout = r"out must be {}-contiguous \(order='{}'\)"
    return {
        "C out, F asked": (data, full((n, width), order="C"), "F", ValueError, layout.format("F", "F")),
        "F out, C asked": (data, full((n, width)), "C", ValueError, layout.format("C", "C")),
        "a bar short": (data, full((n - 1, width)), "F", ValueError,
                        rf"out must have shape \({n}, {width}\).*\({n - 1}, "),
        "1-D": (data, full(n * width), "F", ValueError, r"out must have shape .* got 1 dimension$"),
        "float32": (data, full((n, width), np.float32), "F", TypeError, r"out must be float64 \(format 'd'\)"),
        "read-only": (data, read_only, "F", ValueError, r"out must be writable"),
        "strided": (data, full((n, 2 * width))[:, ::2], "F", ValueError, layout.format("F", "F")),
        "a list": (data, [[0.0] * width] * n, "F", TypeError, r"out must be a writable float64 array .* 'list'"),
        "order 'f'": (data, None, "f", ValueError, r"order must be 'C' \(row after row\) or 'F'"),
        "order b'F'": (data, None, b"F", ValueError, r"order must be 'C' \(row after row\) or 'F'"),
        "out over the input": ([shared[:, j] for j in range(inputs)], shared[:, inputs - 1:inputs - 1 + width],
                               "F", ValueError, rf"out must not share memory with the input data \(input column "
                               rf"{inputs - 1}"),
    }


@MAKERS
@pytest.mark.parametrize("case", list(bad_calls(ohlc(5), 2)))
def test_a_bad_call_is_refused_before_anything_changes(make, case):
    p, data = make(), ohlc(80)[:, :len(make().input_names())]
    whole = np.asarray(run(p, data))
    piece, out, order, exc, pattern = bad_calls(data[40:], len(p.output_names()))[case]
    before = None if out is None else np.array(out, dtype=np.float64)
    features = isinstance(p, sv.FeaturePipeline)
    if features:
        p._run_columns(data[:40])
    with pytest.raises(exc, match=pattern):
        p._run_columns(piece, order=order, out=out, **({"reset": False} if features else {}))
    assert out is None or np.array_equal(bits(np.array(out, dtype=np.float64)), bits(before))
    if features:  # the features are where the first piece left them
        assert np.array_equal(bits(np.asarray(p._run_columns(data[40:], reset=False))), bits(whole[40:]))


# ------------------------------------------------------------ the package

FEATURES = sarvek.FeaturePipeline(
    [sarvek.Sma(["close"], 5, ["sma"]), sarvek.LogReturn(["close"], 1, ["r"]),
     sarvek.Skewness(["r"], 6, ["skew"]), sarvek.ParkinsonVolatility(["high", "low"], 4, ["park"])],
    ["open", "high", "low", "close"])
KINDS = {
    "pandas": pd.DataFrame, "dict": dict,
    "polars": lambda c: pl.DataFrame({k: (v.tolist() if v.dtype == object else v) for k, v in c.items()}),
    "pyarrow": lambda c: pa.table({k: (v.tolist() if v.dtype == object else v) for k, v in c.items()}),
}
PIPELINES = pytest.mark.parametrize("p", [FEATURES, TARGETS], ids=["features", "targets"])


def table_bars(n, seed=3):
    cols = bars(300, seed=seed, symbols=["AAA", "BB", "C"])
    cols["close"][[5, 6, 40]] = np.nan
    cols["close"][50] *= -1.0  # a computed NaN: the log of a negative price ratio
    return {k: v[:n] for k, v in cols.items()}


def compute(p, data, **kw):
    return (sarvek.compute_features if isinstance(p, sv.FeaturePipeline) else sarvek.compute_targets)(p, data, **kw)


def arrow_of(result, name):
    col = result.column(name) if isinstance(result, pa.Table) else result.get_column(name).to_arrow()
    (chunk,) = col.chunks if isinstance(col, pa.ChunkedArray) else (col,)
    chunk.validate(full=True)
    return chunk


def values_and_nulls(result, name):
    if isinstance(result, (pa.Table, pl.DataFrame)):
        chunk = arrow_of(result, name)
        return chunk.to_numpy(zero_copy_only=False), chunk.is_null().to_numpy(zero_copy_only=False)
    values = np.asarray(result[name])
    return values, np.zeros(len(values), dtype=bool)


@pytest.mark.parametrize("kind", sorted(KINDS) + ["ndarray"])
@PIPELINES
@pytest.mark.parametrize("by", [None, "symbol"])
@pytest.mark.parametrize("n", [0, 1, 13, 300])
def test_results_are_the_bits_of_a_row_major_run(kind, p, by, n):
    if kind == "ndarray" and by:
        pytest.skip("a 2-D array has no column to group by")
    cols = table_bars(n)
    expected, present = _frames.compute_with_validity(p, dict(cols), by=by)
    if kind == "ndarray":
        got = compute(p, np.column_stack([cols[c] for c in p.input_names()]))
        assert got.flags.c_contiguous and np.array_equal(bits(got), bits(expected))  # still row-major
        return
    got = compute(p, KINDS[kind](cols), by=by)
    for k, name in enumerate(p.output_names()):
        values, nulls = values_and_nulls(got, name)
        if kind in ("polars", "pyarrow"):  # missing is null; a computed NaN is not
            assert np.array_equal(nulls, ~present[:, k]), name
            values = np.where(nulls, np.nan, values)
        assert np.array_equal(bits(values), bits(expected[:, k])), name


@pytest.fixture
def wrapped(monkeypatch):
    """The (rows, outputs) blocks the tables' wraps were handed."""
    blocks = []
    for cls in (_frames._Pandas, _frames._Polars, _frames._Arrow, _frames._Dict):
        def spy(self, names, out, present, keep, _wrap=cls.wrap):
            blocks.append(out)
            return _wrap(self, names, out, present, keep)
        monkeypatch.setattr(cls, "wrap", spy)
    return blocks


@pytest.mark.parametrize("kind", sorted(KINDS))
@PIPELINES
@pytest.mark.parametrize("extra", [{}, {"by": "symbol"}, {"keep": ["bar", "note"]}], ids=["plain", "by", "keep"])
def test_results_take_the_engine_block_without_a_copy(kind, p, extra, wrapped):
    got = compute(p, KINDS[kind](table_bars(200)), **extra)
    (block,) = wrapped
    assert block.flags.f_contiguous
    for k, name in enumerate(p.output_names()):
        at = arrow_of(got, name).buffers()[1].address if kind in ("polars", "pyarrow") else \
            np.asarray(got[name].to_numpy() if kind == "pandas" else got[name]).ctypes.data
        assert at == block[:, k].ctypes.data, name


@pytest.mark.parametrize("kind", sorted(KINDS))
def test_results_outlive_everything_else_of_their_run(kind):
    got = compute(FEATURES, KINDS[kind](table_bars(300)), by="symbol")
    kept = {n: tuple(a.copy() for a in values_and_nulls(got, n)) for n in FEATURES.output_names()}
    gc.collect()
    for seed in range(3):  # runs of the same size take the memory freed meanwhile
        compute(FEATURES, KINDS[kind](table_bars(300, seed=seed + 10)), by="symbol")
    for n, (values, nulls) in kept.items():
        now_values, now_nulls = values_and_nulls(got, n)
        assert np.array_equal(bits(now_values), bits(values)) and np.array_equal(now_nulls, nulls), n
