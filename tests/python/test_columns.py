"""Whole columns through _run_columns: buffers in, a _Result table out.

The column engine must agree bit for bit with run_research on the same rows
and with a loop of update, from every buffer layout it accepts; refused
input changes nothing; runs release the interpreter lock and stop on a
signal, leaving the pipeline reset.
"""

import math
import os
import subprocess
import sys
import threading
import time

import numpy as np
import pytest

import _sarvek as sv

COLUMNS = ["open", "high", "low", "close"]


def every_feature():
    return [
        sv.Sma(["close"], 7, ["sma"]),
        sv.Ema(["close"], 5, ["ema"]),
        sv.Kama(["close"], 6, ["kama"], fast=2, slow=20),
        sv.SimpleReturn(["close"], 1, ["ret"]),
        sv.LogReturn(["close"], 2, ["logret"]),
        sv.Skewness(["logret"], 9, ["skew"]),
        sv.Kurtosis(["ret"], 8, ["kurt"]),
        sv.LinearSlope(["open", "close"], 6, ["slope", "r2"]),
        sv.ParkinsonVolatility(["high", "low"], 5, ["park"]),
        sv.RogersSatchellVolatility(["high", "low", "open", "close"], 4, ["rs"]),
        sv.Sma(["sma"], 3, ["sma_of_sma"]),
    ]


def pipeline():
    return sv.FeaturePipeline(every_feature(), COLUMNS)


def ohlc(bars, seed=7):
    """Random prices with gaps, runs of missing values, NaN, +-inf, zeros and negatives."""
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, bars)))
    open_ = np.concatenate([[100.0], close[:-1]])[:bars]
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.004, bars)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.004, bars)))
    data = np.column_stack([open_, high, low, close])
    odd = rng.random(data.shape)
    data[odd < 0.02] = np.nan
    data[(odd > 0.990) & (odd < 0.992)] = np.inf
    data[(odd > 0.992) & (odd < 0.994)] = -np.inf
    data[(odd > 0.994) & (odd < 0.996)] = 0.0
    data[(odd > 0.996) & (odd < 0.998)] *= -1.0
    if bars > 60:
        data[30:45, 3] = np.nan  # a run of missing closes
    return data


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


def same_bits(actual, expected):
    actual, expected = np.asarray(actual, dtype=np.float64), np.asarray(expected, dtype=np.float64)
    return actual.shape == expected.shape and bool((bits(actual) == bits(expected)).all())


def assert_same_bits(actual, expected):
    actual, expected = np.asarray(actual, dtype=np.float64), np.asarray(expected, dtype=np.float64)
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(bits(actual), bits(expected))


def update_loop(p, data):
    p.reset()
    return np.array([p.update(row) for row in data.tolist()]).reshape(len(data), len(p.output_names()))


def same_state(p, reference, data=None):
    """p continues exactly as `reference` does over the same further bars."""
    data = ohlc(40, seed=99) if data is None else data
    for row in data.tolist():
        assert_same_bits(p.update(row), reference.update(row))


# ------------------------------------------------------------- agreement


LAYOUTS = {
    "C order": lambda a: np.ascontiguousarray(a),
    "Fortran order": lambda a: np.asfortranarray(a),
    "read-only": lambda a: read_only(np.ascontiguousarray(a)),
    "rows reversed twice": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "every other row of a wider table": lambda a: widen(a)[::2, 1:5],
    "columns": lambda a: [np.ascontiguousarray(a[:, j]) for j in range(4)],
    "strided column views": lambda a: [a[:, j] for j in range(4)],
    "read-only column views, tuple": lambda a: tuple(read_only(a)[:, j] for j in range(4)),
    "memoryviews of columns": lambda a: [memoryview(np.ascontiguousarray(a[:, j])) for j in range(4)],
}


def read_only(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def widen(a):
    """A (2 * bars, 6) table whose even rows, columns 1..4, are `a`."""
    wide = np.full((2 * len(a), 6), 12345.0)
    wide[::2, 1:5] = a
    return wide


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("bars", [0, 1, 5, 333, 4099])
def test_every_layout_agrees_with_run_research_and_update(layout, bars):
    data = ohlc(bars)
    p = pipeline()
    result = p._run_columns(LAYOUTS[layout](data))
    expected = np.array(p.run_research(data.tolist())).reshape(bars, len(p.output_names()))
    assert result.shape == (bars, len(p.output_names())) and len(result) == bars
    assert_same_bits(np.asarray(result), expected)
    assert_same_bits(np.asarray(result), update_loop(pipeline(), data))


def test_state_after_a_run_continues_like_update():
    data = ohlc(500)
    p, reference = pipeline(), pipeline()
    p._run_columns(data)
    update_loop(reference, data)
    same_state(p, reference)


@pytest.mark.parametrize("cuts", [[0], [1], [7, 8, 200], [250, 250], [499]])
def test_pieces_without_reset_equal_one_run(cuts):
    data = ohlc(500)
    p = pipeline()
    whole = np.asarray(pipeline()._run_columns(data))
    p.update([1.0, 2.0, 0.5, 1.5])  # reset=True (the default) forgets this
    edges = [0, *cuts, len(data)]
    parts = [np.asarray(p._run_columns(data[a:b], reset=(i == 0))) for i, (a, b) in enumerate(zip(edges, edges[1:]))]
    assert_same_bits(np.concatenate(parts), whole)


def test_continuing_from_live_updates():
    data = ohlc(300)
    p, reference = pipeline(), pipeline()
    for row in data[:100].tolist():
        p.update(row)
        reference.update(row)
    rest = np.asarray(p._run_columns(data[100:], reset=False))
    assert_same_bits(rest, [reference.update(row) for row in data[100:].tolist()])


@pytest.mark.parametrize("extra", [0, 2])
def test_run_research_takes_a_2d_buffer_like_its_rows(extra):
    data = np.column_stack([ohlc(400), np.full((400, extra), 3.0)])
    p = pipeline()
    for table in (data, np.asfortranarray(data), read_only(data)):
        assert_same_bits(p.run_research(table), p.run_research(data.tolist()))
    assert p.run_research(np.zeros((0, 4 + extra))) == []


def test_run_research_buffer_with_too_few_columns_is_a_short_bar():
    p = FeaturePipeline1()
    p.update([1.0, 10.0])
    with pytest.raises(ValueError) as e:
        p.run_research(np.ones((3, 1)))
    assert str(e.value) == "Invalid input: bar 0 of data must hold at least 2 values, got 1"
    assert p.run_research(np.ones((0, 1))) == []


def FeaturePipeline1():
    return sv.FeaturePipeline([sv.Sma(["b"], 2, ["s"])], ["a", "b"])


@pytest.mark.parametrize(
    "table",
    [np.ones((3, 2), dtype=np.float32), np.ones((3, 2), dtype=np.int64), np.ones(2), np.ones((1, 3, 2))],
    ids=["float32", "int64", "1-D", "3-D"],
)
def test_run_research_reads_other_arrays_as_rows_as_before(table):
    p = FeaturePipeline1()
    try:
        expected = p.run_research(table.tolist())
    except Exception as e:
        with pytest.raises(type(e)):
            p.run_research(table)
    else:
        assert_same_bits(p.run_research(table), expected)


def test_run_research_ignores_values_beyond_the_inputs():
    p = FeaturePipeline1()
    assert_same_bits(p.run_research([[0.0, 1.0, 99.0], [0.0, 3.0]]), [[math.nan], [2.0]])


# ----------------------------------------------------------------- result


def test_result_is_a_zero_copy_float64_table():
    p = pipeline()
    result = p._run_columns(ohlc(10))
    a, b = np.asarray(result), np.asarray(result)
    assert np.shares_memory(a, b) and a.flags.c_contiguous and a.flags.writeable
    m = memoryview(result)
    assert (m.format, m.ndim, m.shape, m.strides, m.itemsize) == ("d", 2, (10, 12), (96, 8), 8)
    assert m.c_contiguous and not m.readonly
    a[0, 0] = 5.0
    assert np.asarray(result)[0, 0] == 5.0
    assert type(result).__name__ == "_Result" and type(result) is sv._Result
    assert "_Result" not in sv.__all__
    with pytest.raises(TypeError):
        sv._Result()
    del result, m, b
    assert a[0, 0] == 5.0  # the array keeps the table alive


def test_empty_results():
    assert np.asarray(pipeline()._run_columns(np.zeros((0, 4)))).shape == (0, 12)
    p = sv.FeaturePipeline([], [])
    assert np.asarray(p._run_columns(np.zeros((3, 0)))).shape == (3, 0)
    assert p._run_columns([]).shape == (0, 0)


# -------------------------------------------------------------- presence


def sma_presence(x, w):
    """Where Sma(w) over x has a result: the bar and the w - 1 before it all present."""
    ok = ~np.isnan(x)
    return np.array([i >= w - 1 and bool(ok[i - w + 1 : i + 1].all()) for i in range(len(x))]).reshape(-1, 1)


def infinities(bars, seed):
    """A column of numbers with gaps and both infinities, so windows over it meet inf - inf."""
    rng = np.random.default_rng(seed)
    x = rng.normal(size=bars)
    pick = rng.random(bars)
    x[pick < 0.15] = np.inf
    x[(pick >= 0.15) & (pick < 0.3)] = -np.inf
    x[(pick >= 0.3) & (pick < 0.4)] = np.nan
    return x


@pytest.mark.parametrize("reset", [True, False])
@pytest.mark.parametrize("w", [1, 2, 5])
def test_presence_tells_a_computed_nan_from_a_missing_value(w, reset):
    x = infinities(3000, seed=w)
    p, q = (sv.FeaturePipeline([sv.Sma(["x"], w, ["s"])], ["x"]) for _ in range(2))
    plain = np.asarray(p._run_columns(x.reshape(-1, 1), reset=reset))
    values, present = q._run_columns(x.reshape(-1, 1), reset, validity=True)
    present = np.asarray(present)
    assert present.dtype == np.bool_ and present.shape == (3000, 1) and present.flags.c_contiguous
    assert_same_bits(values, plain)
    np.testing.assert_array_equal(present, sma_presence(x, w))
    if w > 1:
        assert (present & np.isnan(plain)).any()  # inf - inf inside a window: a present NaN


@pytest.mark.parametrize("layout", ["C order", "columns", "every other row of a wider table"])
def test_presence_agrees_with_run_research_over_every_feature(layout):
    data = ohlc(4099)
    p = pipeline()
    values, present = p._run_columns(LAYOUTS[layout](data), validity=True)
    values, present = np.asarray(values), np.asarray(present)
    listed = np.array(p.run_research(data.tolist()))
    assert_same_bits(values, listed)
    # Missing is NaN in the lists; a number there is present.
    assert not (~present & ~np.isnan(listed)).any()
    assert not (~present & ~np.isnan(values)).any() and present.any() and not present.all()
    assert (present & np.isnan(values)).any()  # the infinities in the data make some


def test_target_presence_tells_a_computed_nan_from_a_missing_label():
    rng = np.random.default_rng(3)
    price = np.exp(rng.normal(size=2000))
    price[rng.random(2000) < 0.2] = np.inf
    price[rng.random(2000) < 0.1] = np.nan
    h = 2
    t = sv.TargetPipeline([sv.FutureReturn(["p"], h, ["r", "extra"])], ["p"])
    values, present = t._run_columns(price.reshape(-1, 1), validity=True)
    values, present = np.asarray(values), np.asarray(present)
    assert_same_bits(values, np.asarray(t._run_columns(price.reshape(-1, 1))))
    assert_same_bits(values, np.array(t.run_research([price.tolist()])).T)
    later = np.concatenate([price[h:], np.full(h, np.nan)])
    expected = ~np.isnan(price) & (price > 0) & ~np.isnan(later)
    np.testing.assert_array_equal(present[:, 0], expected)
    assert not present[:, 1].any()  # a name the target computes no column for
    assert (present[:, 0] & np.isnan(values[:, 0])).any()  # (inf - inf) / inf


def test_presence_is_a_zero_copy_bool_table_and_validity_is_keyword_only():
    p = pipeline()
    values, present = p._run_columns(ohlc(10), validity=True)
    m = memoryview(present)
    assert (m.format, m.shape, m.strides, m.itemsize) == ("?", (10, 12), (12, 1), 1)
    assert np.shares_memory(np.asarray(present), np.asarray(present))
    assert type(present) is sv._Result and len(present) == 10 and present.shape == (10, 12)
    assert isinstance(p._run_columns(ohlc(10), validity=False), sv._Result)
    empty_values, empty_present = sv.FeaturePipeline([], [])._run_columns(np.zeros((3, 0)), validity=True)
    assert np.asarray(empty_present).shape == (3, 0) and np.asarray(empty_present).dtype == np.bool_
    with pytest.raises(TypeError, match=r"takes at most 2 positional arguments \(3 given\)"):
        p._run_columns(ohlc(10), True, True)
    with pytest.raises(TypeError, match=r"takes at most 1 positional argument \(2 given\)"):
        targets()._run_columns(ohlc(10)[:, :2], True)
    assert "validity" in p._run_columns.__doc__ and "validity" in targets()._run_columns.__doc__


# --------------------------------------------------------------- refusals


def misaligned():
    raw = np.zeros(8 * 4 * 5 + 1, dtype=np.uint8)
    return np.frombuffer(raw.data, dtype=np.float64, count=20, offset=1).reshape(5, 4)


REFUSED = [
    ("float32", lambda a: a.astype(np.float32), TypeError, r"^data must be float64 \(format 'd'\), got format 'f'"),
    ("int64", lambda a: np.ones(a.shape, dtype=np.int64), TypeError, r"^data must be float64 \(format 'd'\), got format '[lq]'"),
    ("big-endian", lambda a: a.astype(">f8"), TypeError, r"^data must be float64 \(format 'd'\), got format '>d'"),
    ("bytes", lambda a: a.tobytes(), TypeError, r"^data must be float64 \(format 'd'\), got format 'B'"),
    ("1-D", lambda a: a[:, 0].copy(), ValueError, r"^data must be 2-dimensional, of shape \(bars, 4\), got 1 dimension$"),
    ("3-D", lambda a: a.reshape(1, 5, 4), ValueError, r"got 3 dimensions$"),
    ("3 columns", lambda a: a[:, :3], ValueError, r"^data must have shape \(bars, 4\), one column per input column, got \(5, 3\)$"),
    ("5 columns", lambda a: np.ones((5, 5)), ValueError, r"got \(5, 5\)$"),
    ("transposed", lambda a: a.T, ValueError, r"got \(4, 5\)$"),
    ("misaligned", lambda a: misaligned(), ValueError, r"^data must start at an address aligned to 8 bytes$"),
    ("str", lambda a: "data", TypeError, r"^data must be a 2-D float64 buffer of shape \(bars, 4\) or a list of 4 1-D float64 buffers, got 'str'$"),
    ("3 column buffers", lambda a: [a[:, 0]] * 3, ValueError, r"^data must hold one 1-D buffer per input column: expected 4, got 3$"),
    ("a list of rows", lambda a: a.tolist()[:4], TypeError, r"^data\[0\] must be a 1-D float64 buffer, got 'list'$"),
    ("an int32 column", lambda a: [a[:, 0], np.ones(5, dtype=np.int32), a[:, 2], a[:, 3]], TypeError, r"^data\[1\] must be float64 \(format 'd'\), got format 'i'"),
    ("a 2-D column", lambda a: [a, a, a, a], ValueError, r"^data\[0\] must be 1-dimensional, got 2 dimensions$"),
    ("unequal columns", lambda a: [a[:, 0], a[:, 1], a[:4, 2], a[:, 3]], ValueError, r"^every column must hold the same number of bars: data\[0\] holds 5, data\[2\] holds 4$"),
]


@pytest.mark.parametrize("name, make, exc, pattern", REFUSED, ids=[r[0] for r in REFUSED])
def test_refused_data_changes_nothing(name, make, exc, pattern):
    data = ohlc(5)
    p, reference = pipeline(), pipeline()
    for row in ohlc(20, seed=3).tolist():
        p.update(row)
        reference.update(row)
    with pytest.raises(exc, match=pattern):
        p._run_columns(make(data), reset=False)
    with pytest.raises(exc, match=pattern):
        p._run_columns(make(data))
    same_state(p, reference)


def test_strides_that_are_not_whole_doubles_are_refused():
    raw = np.zeros(400, dtype=np.uint8)
    table = np.lib.stride_tricks.as_strided(raw.view(np.float64), shape=(5, 4), strides=(36, 8))
    with pytest.raises(ValueError, match=r"^data must have strides that are whole multiples of 8 bytes, got 36 in dimension 0$"):
        pipeline()._run_columns(table)
    column = np.lib.stride_tricks.as_strided(raw.view(np.float64), shape=(5,), strides=(12,))
    with pytest.raises(ValueError, match=r"^data\[2\] must have strides that are whole multiples of 8 bytes, got 12"):
        pipeline()._run_columns([np.zeros(5), np.zeros(5), column, np.zeros(5)])


@pytest.mark.parametrize("bars", [10**15, 2**40])
def test_a_result_too_large_is_a_memory_error_that_changes_nothing(bars):
    huge = np.lib.stride_tricks.as_strided(np.zeros(4), shape=(bars, 4), strides=(0, 8))
    p, reference = pipeline(), pipeline()
    for row in ohlc(20, seed=3).tolist():
        p.update(row)
        reference.update(row)
    with pytest.raises(MemoryError, match=f"cannot allocate a result of {bars} x 12 float64 values"):
        p._run_columns(huge, reset=False)
    same_state(p, reference)


def test_broadcast_columns_are_read_in_place():
    row = np.array([1.0, 2.0, 0.5, 1.5])
    table = np.lib.stride_tricks.as_strided(row, shape=(50, 4), strides=(0, 8))
    assert_same_bits(np.asarray(pipeline()._run_columns(table)), pipeline().run_research([row.tolist()] * 50))


def test_buffers_without_strides_are_read_in_c_order():
    # ctypes exports C-contiguous arrays with null strides, as the buffer
    # protocol allows.
    import ctypes

    data = ohlc(50)
    table = (ctypes.c_double * 4 * 50)()
    ctypes.memmove(table, np.ascontiguousarray(data).ctypes.data, data.nbytes)
    columns = [(ctypes.c_double * 50)(*data[:, j]) for j in range(4)]
    expected = np.array(pipeline().run_research(data.tolist()))
    for given in (table, columns):
        assert_same_bits(pipeline()._run_columns(given), expected)
    assert_same_bits(pipeline().run_research(table), expected)
    t = targets()
    pair = (ctypes.c_double * 2 * 50)()
    ctypes.memmove(pair, np.ascontiguousarray(data[:, [0, 3]]).ctypes.data, 50 * 16)
    assert_same_bits(t._run_columns(pair), t._run_columns(np.ascontiguousarray(data[:, [0, 3]])))


def odd_layouts():
    """(name, (300, 4) float64 values that cannot be read in place as doubles)."""
    data = ohlc(300)
    table = np.ndarray((300, 4), dtype=np.float64, buffer=np.zeros(36 * 300), strides=(36, 8))
    table[...] = data
    shifted = np.ndarray((300, 4), dtype=np.float64, buffer=np.zeros(300 * 4 + 1), offset=1)
    shifted[...] = data
    yield "strides of 36 bytes", table
    yield "a misaligned start", shifted
    yield "a memoryview of either", memoryview(shifted)


def test_run_research_reads_any_float64_layout_like_its_rows():
    expected = np.array(pipeline().run_research(ohlc(300).tolist()))
    for name, table in odd_layouts():
        p = pipeline()
        p.update([1.0, 2.0, 3.0, 4.0])
        assert_same_bits(p.run_research(table), expected), name
        same_state(p, _after(ohlc(300)))


def _after(data):
    p = pipeline()
    p.run_research(data.tolist())
    return p


@pytest.mark.parametrize("bars", [10**15, 2**40])
def test_run_research_names_a_result_too_large_and_changes_nothing(bars):
    huge = np.lib.stride_tricks.as_strided(np.zeros(4), shape=(bars, 4), strides=(0, 8))
    p, reference = pipeline(), pipeline()
    for row in ohlc(20, seed=3).tolist():
        p.update(row)
        reference.update(row)
    with pytest.raises(MemoryError, match=f"^cannot allocate a result of {bars} x 12 float64 values"):
        p.run_research(huge)
    same_state(p, reference)


@pytest.mark.skipif(bool(os.environ.get("SARVEK_SANITIZED")) or not sys.platform.startswith("linux"),
                    reason="limits the address space, which the sanitizers reserve in bulk")
def test_run_research_out_of_memory_for_the_lists_leaves_the_pipeline_reset():
    # The results fit, their lists do not: the address space is limited to a
    # little more than the process uses before the call.
    script = """
import resource, numpy as np, _sarvek as sv
p = sv.FeaturePipeline([sv.Sma(["c"], 3, ["s"])], ["c"])
data = np.arange(1.0, 3_000_001.0).reshape(-1, 1)
p.update([5.0])
p.update([7.0])
with open("/proc/self/status") as f:
    size = next(int(line.split()[1]) * 1024 for line in f if line.startswith("VmSize:"))
resource.setrlimit(resource.RLIMIT_AS, (size + (80 << 20), resource.RLIM_INFINITY))
try:
    p.run_research(data)
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(p.update([1.0]), p.update([2.0]), p.update([3.0]))
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    # Reset, not after the last bar: the first two bars have no average yet.
    assert done.stdout.split("\n")[:2] == ["MemoryError", "[nan] [nan] [2.0]"], done.stdout


# ---------------------------------------------------------------- targets


def targets():
    return sv.TargetPipeline(
        [
            sv.FutureReturn(["close"], 3, ["r3", "r3_extra"]),
            sv.FutureCTCVolatility("close", 4),
            sv.FutureLinearSlope(["open", "close"], 5, ["slope", "r2"]),
        ],
        ["open", "close"],
    )


@pytest.mark.parametrize("bars", [0, 2, 9, 5000])
def test_target_columns_agree_with_run_research(bars):
    data = ohlc(bars)[:, [0, 3]]
    t = targets()
    expected = np.array(t.run_research([data[:, 0].tolist(), data[:, 1].tolist()])).reshape(5, bars).T
    for layout in (data, np.asfortranarray(data), [data[:, 0], data[:, 1]]):
        result = t._run_columns(layout)
        assert result.shape == (bars, 5)
        assert_same_bits(np.asarray(result), expected)


def test_target_refusals():
    t = targets()
    with pytest.raises(ValueError, match=r"^data must have shape \(bars, 2\), one column per input column, got \(5, 4\)$"):
        t._run_columns(ohlc(5))
    with pytest.raises(TypeError, match=r"format 'f'"):
        t._run_columns(np.ones((5, 2), dtype=np.float32))


# ------------------------------------------------------ threads and signals


def test_pipelines_on_several_threads_agree_with_one_thread():
    data = ohlc(20000)
    expected = np.asarray(pipeline()._run_columns(data))
    results = [None] * 6

    def work(i):
        p = pipeline()
        for _ in range(3):
            results[i] = np.asarray(p._run_columns(data if i % 2 else [data[:, j] for j in range(4)]))

    threads = [threading.Thread(target=work, args=(i,)) for i in range(6)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    for r in results:
        assert_same_bits(r, expected)


def calibrated(make, seconds=0.5):
    """make(w) -> a call whose work grows with w. Grows w until the call takes at
    least `seconds` here, so a run is heavy enough on any CPU; returns (w, its
    measured time)."""
    w = 64
    while True:
        call = make(w)
        start = time.perf_counter()
        call()
        took = time.perf_counter() - start
        if took >= seconds:
            return w, took
        w = int(w * min(8.0, max(2.0, 1.5 * seconds / max(took, 1e-3))))


BARS = 100_000


def walk(bars, seed=5):
    """(bars, 4) prices in 8 bytes a bar: every column is the same random walk."""
    x = 100.0 * np.exp(np.cumsum(np.random.default_rng(seed).normal(0.0, 0.01, bars)))
    return np.lib.stride_tricks.as_strided(x, shape=(bars, 4), strides=(8, 0), writeable=False)


def heavy(w):
    """Features whose cost per bar grows with the window w."""
    return [sv.Kurtosis(["close"], w, ["k"]), sv.Skewness(["close"], w, ["s"])]


def test_the_interpreter_lock_is_released_while_computing():
    # Another thread counts while the main thread is inside the call: with the
    # lock held throughout it could not count at all.
    w, _ = calibrated(lambda w: lambda: sv.FeaturePipeline(heavy(w), COLUMNS)._run_columns(walk(BARS + w)))
    p, data = sv.FeaturePipeline(heavy(w), COLUMNS), walk(BARS + w)
    inside, counted, stop = threading.Event(), [0], threading.Event()

    def count():
        while not stop.is_set():
            if inside.is_set():
                counted[0] += 1

    th = threading.Thread(target=count)
    th.start()
    try:
        inside.set()
        before = counted[0]
        p._run_columns(data)
        during = counted[0] - before
        inside.clear()
    finally:
        stop.set()
        th.join()
    assert during > 100


def expect_interrupt(call, ctrl_c, took):
    """`call()`, a run measured at `took` seconds (at least half a second),
    raises KeyboardInterrupt soon after a real Ctrl-C 0.1 s in."""
    finished = []
    start = time.perf_counter()
    ctrl_c(0.1)
    with pytest.raises(KeyboardInterrupt):
        call()
        finished.append(True)
        time.sleep(60)  # the signal ends this instead, and the check below fails
    assert not finished, "the run ended before the signal"
    late = time.perf_counter() - start - 0.1
    # Seen long before the run would have ended; what "soon" means exactly is
    # checked without a clock by the core's tests of the work between checks.
    # Under the sanitizers every step of work costs many times more, so one
    # block of bounded work can be a large share of a calibrated run: there
    # the signal only has to end the run before it would have finished.
    bound = took if os.environ.get("SARVEK_SANITIZED") else max(took / 2, 0.25)
    assert late < bound, f"the signal was seen {late:.2f} s late in a run of {took:.2f} s"


@pytest.mark.parametrize("path", ["_run_columns", "_run_columns without reset", "run_research from a buffer"])
def test_a_long_feature_run_stops_on_ctrl_c_and_leaves_the_pipeline_reset(path, ctrl_c):
    def make(w):
        p = sv.FeaturePipeline(heavy(w), COLUMNS)
        data = walk(BARS + w)
        if path == "run_research from a buffer":
            return lambda: p.run_research(data)
        return lambda: p._run_columns(data, reset=path == "_run_columns")

    w, took = calibrated(make, 0.5)
    # Four times the work of the calibrated run: a second or more here.
    w *= 4
    p, data = sv.FeaturePipeline(heavy(w), COLUMNS), walk(BARS + w)
    call = p.run_research if path == "run_research from a buffer" else (
        lambda d: p._run_columns(d, reset=path == "_run_columns"))
    p.update([1.0, 2.0, 3.0, 4.0])
    expect_interrupt(lambda: call(data), ctrl_c, 4 * took)
    # Reset, wherever the signal landed (also while the result lists were made).
    small = walk(w + 700, seed=8)
    got = np.asarray(p._run_columns(small, reset=False))
    assert_same_bits(got, np.asarray(sv.FeaturePipeline(heavy(w), COLUMNS)._run_columns(small)))


@pytest.mark.parametrize("path", ["_run_columns", "run_research"])
def test_a_long_target_run_stops_on_ctrl_c(path, ctrl_c):
    rng = np.random.default_rng(5)

    def make(h):
        t = sv.TargetPipeline([sv.FutureLinearSlope(["x", "y"], h, ["s", "r"])], ["x", "y"])
        data = rng.normal(size=(BARS + h, 2))
        if path == "_run_columns":
            return lambda: t._run_columns(data)
        lists = [data[:, 0].tolist(), data[:, 1].tolist()]
        return lambda: t.run_research(lists)

    h, took = calibrated(make, 0.5)
    expect_interrupt(make(4 * h), ctrl_c, 4 * took)
    t = sv.TargetPipeline([sv.FutureLinearSlope(["x", "y"], 20, ["s", "r"])], ["x", "y"])
    small = rng.normal(size=(3000, 2))
    assert_same_bits(t._run_columns(small), np.array(t.run_research([small[:, 0].tolist(), small[:, 1].tolist()])).T)


def test_an_array_resized_during_a_run_does_not_crash():
    # numpy refuses to resize an array something else references; the held
    # buffer view is such a reference for the whole run.
    holder = [np.tile(ohlc(1000), (300, 1))]
    expected = np.asarray(pipeline()._run_columns(holder[0].copy()))
    result, refused = [], []
    done = threading.Event()

    def run():
        try:
            result.append(np.asarray(pipeline()._run_columns(holder[0])))
        finally:
            done.set()

    th = threading.Thread(target=run)
    th.start()
    while not done.is_set():
        try:
            holder[0].resize((10, 4))
        except ValueError as e:
            refused.append(str(e))
        else:
            break
    th.join()
    # Resized before the run took the buffer, the run saw the ten rows kept.
    assert_same_bits(result[0], expected[: len(result[0])])
    assert all("cannot resize" in m for m in refused)


# ------------------------------------------------------------ SIMD paths


@pytest.fixture(params=sv._simd_paths())
def simd_path(request):
    before = sv._simd_path()
    sv._set_simd_path(request.param)
    yield request.param
    sv._set_simd_path(before)


def windowed(w):
    return [
        sv.Sma(["close"], w, ["sma"]),
        sv.Ema(["close"], w, ["ema"]),
        sv.Kama(["close"], w, ["kama"], fast=2, slow=30),
        sv.SimpleReturn(["close"], w, ["ret"]),
        sv.LogReturn(["close"], w, ["logret"]),
        sv.Skewness(["ret"], max(w, 3), ["skew"]),
        sv.Kurtosis(["logret"], max(w, 4), ["kurt"]),
        sv.LinearSlope(["open", "close"], max(w, 2), ["slope", "r2"]),
        sv.ParkinsonVolatility(["high", "low"], w, ["park"]),
        sv.RogersSatchellVolatility(["high", "low", "open", "close"], w, ["rs"]),
        sv.Sma(["sma"], w + 2, ["sma_of_sma"]),
    ]


@pytest.mark.parametrize("w", [1, 2, 3, 17, 64, 300])
def test_every_simd_path_gives_the_bits_of_update(simd_path, w):
    data = ohlc(1031, seed=w)
    p = sv.FeaturePipeline(windowed(w), COLUMNS)
    expected = update_loop(sv.FeaturePipeline(windowed(w), COLUMNS), data)
    assert_same_bits(np.asarray(p._run_columns(data)), expected)
    assert_same_bits(p.run_research(data.tolist()), expected)


def moment_pairs(w):
    """A Kurtosis and a Skewness of one column and window (run as one pass),
    a feature between them reading the first, and pairs that differ in
    column or window (each run alone)."""
    return [
        sv.LogReturn(["close"], 1, ["r"]),
        sv.Kurtosis(["r"], w, ["kurt"]),
        sv.Sma(["kurt"], 3, ["sma_kurt"]),
        sv.Skewness(["r"], w, ["skew"]),
        sv.Skewness(["close"], w + 1, ["skew_c"]),
        sv.Kurtosis(["close"], w, ["kurt_c"]),
        sv.Kurtosis(["open"], w + 1, ["kurt_o"]),
    ]


@pytest.mark.parametrize("w", [4, 5, 31])
def test_moment_pairs_run_as_one_pass_give_the_bits_of_update(simd_path, w):
    data = ohlc(1500, seed=w)
    data[200:260, 3] = data[199, 3]  # flat: a variance of exactly zero
    expected = update_loop(sv.FeaturePipeline(moment_pairs(w), COLUMNS), data)
    p = sv.FeaturePipeline(moment_pairs(w), COLUMNS)
    assert_same_bits(np.asarray(p._run_columns(data)), expected)
    p.reset()
    pieces = [np.asarray(p._run_columns(data[a:b], reset=False)) for a, b in ((0, 7), (7, 500), (500, 1500))]
    assert_same_bits(np.concatenate(pieces), expected)
    assert_same_bits(np.asarray(p._run_columns(data, threads=3, piece_bars=64)), expected)


def test_a_moment_pair_whose_windows_differ_runs_each_alone():
    # A state where the pair's windows differ (taken from features over two
    # columns): the column run gives each its own window's results.
    w = 6
    data = ohlc(400, seed=3)
    data[:60] = 100.0 + np.arange(240.0).reshape(60, 4) % 7  # every window full and present
    apart = sv.FeaturePipeline([sv.Kurtosis(["close"], w, ["k"]), sv.Skewness(["open"], w, ["s"])], COLUMNS)
    apart._run_columns(data[:50])
    state = sv._pipeline_state(apart)
    pair = [sv.Kurtosis(["close"], w, ["k"]), sv.Skewness(["close"], w, ["s"])]
    p, q = sv.FeaturePipeline(pair, COLUMNS), sv.FeaturePipeline(pair, COLUMNS)
    sv._restore_pipeline_state(p, state)
    sv._restore_pipeline_state(q, state)
    expected = np.array([q.update(row) for row in data[50:].tolist()])
    assert_same_bits(np.asarray(p._run_columns(data[50:], reset=False)), expected)


@pytest.mark.skipif(not os.path.exists("/proc/cpuinfo"), reason="reads the CPU's flags from /proc/cpuinfo")
def test_every_path_this_cpu_can_run_is_offered():
    with open("/proc/cpuinfo") as f:
        flags = set(next((line.split(":", 1)[1].split() for line in f if line.startswith("flags")), []))
    if not flags & {"avx2", "avx512f"} and "sse2" not in flags:
        pytest.skip("not an x86-64 CPU")
    assert ("avx2" in sv._simd_paths()) == ("avx2" in flags)
    assert ("avx512" in sv._simd_paths()) == ("avx512f" in flags)


def test_simd_path_names_are_checked():
    assert sv._simd_paths()[0] == "scalar" and sv._simd_path() in sv._simd_paths()
    with pytest.raises(ValueError, match=r"^SIMD path 'no-such' is unknown or not supported by this CPU; available: scalar"):
        sv._set_simd_path("no-such")
    with pytest.raises(TypeError):
        sv._set_simd_path(1)


# ------------------------------------ moving averages straight over columns


def smas_over_inputs(windows):
    """Moving averages each reading one input column and nothing else, so a run
    over contiguous columns reads and writes them in place."""
    features = [sv.Sma([COLUMNS[k % 4]], w, [f"s{k}"]) for k, w in enumerate(windows)]
    return sv.FeaturePipeline(features, COLUMNS)


def odd_columns(bars, seed):
    """Prices with NaN payloads of both signs and both infinities among them."""
    data = ohlc(bars, seed)
    rng = np.random.default_rng(seed)
    pick = rng.random(data.shape)
    data[pick < 0.01] = -np.nan
    raw = data.view(np.uint64)
    raw[(pick > 0.5) & (pick < 0.505)] = np.uint64(0x7FF0000000000123)  # a signalling-style payload
    return data


@pytest.mark.parametrize("windows", [[1], [2], [20], [3, 17, 40, 1], [64, 5]])
@pytest.mark.parametrize("bars", [0, 1, 38, 39, 40, 41, 127, 2 * 16384 + 5, 16384 * 3])
def test_moving_averages_in_place_agree_with_update(windows, bars):
    data = odd_columns(bars, seed=bars + len(windows))
    for layout in ("Fortran order", "columns"):
        p, reference = smas_over_inputs(windows), smas_over_inputs(windows)
        values, present = p._run_columns(LAYOUTS[layout](data), validity=True, order="F")
        expected = update_loop(reference, data)
        assert_same_bits(values, expected)
        # Present exactly where every entry of the window is present.
        want = np.hstack([sma_presence(data[:, k % 4], w) for k, w in enumerate(windows)])
        np.testing.assert_array_equal(np.asarray(present), want)
        same_state(p, reference)
        # The same run through staged blocks (a row-major table: strided columns).
        assert_same_bits(smas_over_inputs(windows)._run_columns(np.ascontiguousarray(data)), expected)


@pytest.mark.parametrize("cuts", [[5], [39, 41], [100, 101, 102], [16384 + 3]])
def test_moving_averages_in_place_continue_across_runs_and_updates(cuts):
    data = np.asfortranarray(odd_columns(40000, seed=3))
    windows = [20, 3, 33]
    whole = update_loop(smas_over_inputs(windows), data)
    p = smas_over_inputs(windows)
    edges = [0, *cuts, len(data)]
    parts = []
    for i, (a, b) in enumerate(zip(edges, edges[1:])):
        if i % 2:  # live updates between runs
            parts.append(np.array([p.update(row) for row in data[a:b].tolist()]).reshape(b - a, -1))
        else:
            parts.append(np.asarray(p._run_columns(np.asfortranarray(data[a:b]), reset=(i == 0), order="F")))
    assert_same_bits(np.concatenate(parts), whole)


def test_a_pipeline_mixing_in_place_and_staged_features_agrees_with_update():
    # The moving average of another feature's output, and one of an input,
    # beside a feature that cannot go in place: every step staged.
    data = np.asfortranarray(odd_columns(5000, seed=11))
    features = lambda: [sv.Sma(["close"], 5, ["a"]), sv.Sma(["a"], 4, ["b"]), sv.Ema(["open"], 3, ["e"])]
    p = sv.FeaturePipeline(features(), COLUMNS)
    assert_same_bits(p._run_columns(data, order="F"), update_loop(sv.FeaturePipeline(features(), COLUMNS), data))


@pytest.mark.parametrize("threads", [2, 3, 4])
@pytest.mark.parametrize("piece_bars", [40, 41, 79, 1000])
def test_moving_averages_in_place_on_threads_agree_with_one_thread(threads, piece_bars):
    # Each piece after the first is first brought up to date on the bars
    # before it, then goes in place.
    data = np.asfortranarray(odd_columns(9000, seed=piece_bars))
    windows = [20, 1, 40]
    one = np.asarray(smas_over_inputs(windows)._run_columns(data, order="F"))
    values, present = smas_over_inputs(windows)._run_columns(data, order="F", validity=True, threads=threads,
                                                             piece_bars=piece_bars)
    assert_same_bits(values, one)
    want = np.hstack([sma_presence(data[:, k % 4], w) for k, w in enumerate(windows)])
    np.testing.assert_array_equal(np.asarray(present), want)


def test_a_moving_average_named_like_its_input_is_read_by_the_next_one():
    # "close" is both an input column and the first average's output: the
    # second average reads the average, never the input.
    data = np.asfortranarray(odd_columns(3000, seed=4))
    features = lambda: [sv.Sma(["close"], 3, ["x"]), sv.Sma(["close"], 5, ["close"])]
    p = sv.FeaturePipeline(features(), COLUMNS)
    assert_same_bits(p._run_columns(data, order="F"), update_loop(sv.FeaturePipeline(features(), COLUMNS), data))


@pytest.mark.parametrize("bars", [1, 7, 8, 9, 4099, 40001])
@pytest.mark.parametrize("offset", [0, 1, 3])
def test_column_major_results_on_every_simd_path_and_alignment_hold_the_bits(simd_path, bars, offset):
    # A result written column by column goes past the caches in whole
    # vectors once aligned: every alignment of the first value, every tail.
    data = ohlc(bars, seed=bars)
    expected = np.asarray(pipeline()._run_columns(data))
    width = expected.shape[1]
    buffer = np.full(bars * width + offset, 7.0)
    out = buffer[offset:].reshape((bars, width), order="F")
    values, present = pipeline()._run_columns(data, order="F", validity=True, out=out)
    assert np.shares_memory(np.asarray(values), buffer)
    assert_same_bits(values, expected)
    assert_same_bits(pipeline()._run_columns(data, order="F"), expected)
    assert not (~np.asarray(present) & ~np.isnan(expected)).any()


@pytest.mark.parametrize("run", ["rows", "columns in place", "two threads"])
def test_a_column_run_leaves_the_state_bytes_bar_by_bar_updates_leave(run):
    # Snapshots of the same history are the same bytes whichever path made
    # them: a missing entry of a window is held as update holds it.
    import sarvek

    data = ohlc(3000)
    windows = [20, 3, 33]
    for make in (pipeline, lambda: smas_over_inputs(windows)):
        reference, p = make(), make()
        update_loop(reference, data)
        if run == "rows":
            p._run_columns(data)
        elif run == "columns in place":
            p._run_columns(np.asfortranarray(data), order="F")
        else:
            p._run_columns(np.asfortranarray(data), order="F", threads=2, piece_bars=500)
        assert sarvek.save_state(p) == sarvek.save_state(reference)
