"""Universe: one call per bar for many symbols, each bit for bit its own
FeaturePipeline; warming, snapshots across processes, and refusals that
change nothing."""
import math
import subprocess
import sys
import textwrap

import numpy as np
import pandas as pd
import pytest

import _sarvek as sv
import sarvek

COLUMNS = ["close", "high", "low", "open"]
CATALOG = {e["name"]: e for e in sv._catalog() if e["kind"] == "feature"}


def build_entry(entry, window, inputs, tag):
    spec = {p["name"]: p for p in entry["params"]}
    n_out = max(entry["produces"], spec["outputs"]["minimum"])
    args = {"inputs": inputs, "outputs": [f"{tag}_{k}" for k in range(n_out)]}
    if "window" in spec:
        args["window"] = max(window, spec["window"]["minimum"], 2 if "ddof" in spec else 1)
    f = entry["class"](**args)
    return sv.FeaturePipeline([f], f.input_names())._config()["features"][0]


def random_document(rng, kinds=None):
    """A random pipeline over COLUMNS from the whole catalogue; later features
    may read earlier outputs (chains)."""
    kinds = kinds or sorted(CATALOG)
    names, entries = list(COLUMNS), []
    for i in range(int(rng.integers(1, 6))):
        entry = CATALOG[str(rng.choice(kinds))]
        spec = {p["name"]: p for p in entry["params"]}
        reads = max(entry["reads"], spec["inputs"]["minimum"])
        inputs = [str(c) for c in rng.choice(names, reads)]
        entries.append(build_entry(entry, int(rng.integers(1, 9)), inputs, f"f{i}"))
        names += entries[-1]["outputs"]
    return {"input_columns": COLUMNS, "features": [entries[j] for j in rng.permutation(len(entries))]}


def awkward(rng, n):
    """(n, 4) bars with NaN, ±inf, zeros and negative prices now and then."""
    x = 100.0 + rng.normal(0.0, 3.0, (n, len(COLUMNS)))
    for value in (np.nan, np.inf, -np.inf, 0.0, -5.0):
        x[rng.random(x.shape) < 0.02] = value
    return x


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


def same(got, want):
    """Bit for bit, any NaN matching any NaN (a missing value is NaN)."""
    got, want = np.asarray(got, dtype=np.float64), np.asarray(want, dtype=np.float64)
    both_nan = np.isnan(got) & np.isnan(want)
    return got.shape == want.shape and bool(np.all((bits(got) == bits(want)) | both_nan))


class Twins:
    """Separate FeaturePipelines, one per symbol: the reference."""

    def __init__(self, pipe, symbols):
        self.pipe, self.by = pipe, {s: pipe._fresh() for s in symbols}

    def update(self, symbols, bars, present):
        width = len(self.pipe.output_names())
        out = np.full((len(symbols), width), np.nan)
        for i, s in enumerate(symbols):
            if present is None or present[i]:
                out[i] = self.by[s].update(bars[i].tolist())
        return out


# The types whose state lives in lanes across symbols.
LANE_TYPES = ["Ema", "Kama", "Kurtosis", "LinearSlope", "LogReturn", "ParkinsonVolatility",
              "RogersSatchellVolatility", "SimpleReturn", "Skewness", "Sma"]


@pytest.mark.parametrize("seed", range(4))
def test_lane_types_match_separate_pipelines_on_every_path_over_long_runs(seed):
    """Windows wrap many times while symbols skip bars, across block edges."""
    rng = np.random.default_rng(100 + seed)
    pipe = sarvek.pipeline_from_dict(random_document(rng, LANE_TYPES))
    n = [31, 33, 64, 97][seed]
    symbols = list(range(n))
    before = sv._simd_path()
    try:
        for path in sv._simd_paths():
            sv._set_simd_path(path)
            u, twins = sarvek.Universe(pipe, symbols), Twins(pipe, symbols)
            for bar in range(90):
                x = awkward(rng, n)
                present = rng.random(n) < 0.85
                assert same(u.update(x, present), twins.update(u.symbols, x, present)), (path, bar)
    finally:
        sv._set_simd_path(before)


@pytest.mark.parametrize("seed", range(8))
def test_update_matches_separate_pipelines_on_every_path_through_add_and_remove(seed):
    rng = np.random.default_rng(seed)
    pipe = sarvek.pipeline_from_dict(random_document(rng))
    n = [1, 2, 7, 33, 300, 64, 5, 130][seed]
    symbols = [f"S{i}" if i % 3 else i for i in range(n)]
    before = sv._simd_path()
    try:
        for path in sv._simd_paths():
            sv._set_simd_path(path)
            u = sarvek.Universe(pipe, symbols)
            twins = Twins(pipe, symbols)
            for bar in range(40):
                x = awkward(rng, len(u))
                present = rng.random(len(u)) < 0.8 if bar % 3 else None
                got = u.update(x, present)
                assert same(got, twins.update(u.symbols, x, present)), (path, bar)
                if bar == 15:  # a newcomer starts fresh; a leaver takes only itself
                    u.add("NEW")
                    twins.by["NEW"] = pipe._fresh()
                    gone = u.symbols[(len(u) - 2) // 2]
                    u.remove(gone)
                    assert gone not in u.symbols and u.symbols[-1] == "NEW"
    finally:
        sv._set_simd_path(before)


def test_any_layout_and_out_give_the_same_bits():
    rng = np.random.default_rng(3)
    pipe = sarvek.pipeline_from_dict(random_document(rng))
    a, b, c, d = (sarvek.Universe(pipe, range(20)) for _ in range(4))
    width = len(pipe.output_names())
    for _ in range(30):
        x = awkward(rng, 20)
        want = a.update(x)
        fortran = b.update(np.asfortranarray(x), np.ones(20, dtype=np.uint8))
        wide = np.zeros((20, 8))
        wide[:, ::2] = x  # strided columns
        out = np.empty((20, width))
        got = c.update(wide[:, ::2], out=out)
        assert got is out
        unaligned = np.empty(20 * 4 * 8 + 1, dtype=np.uint8)[1:].view(np.float64).reshape(20, 4)
        unaligned[:] = x
        assert same(fortran, want) and same(out, want) and same(d.update(unaligned), want)
    # Bars overlapping the output are read before anything is written.
    d = sarvek.Universe(sarvek.pipeline_from_dict({"input_columns": ["x"], "features": [
        {"type": "Sma", "inputs": ["x"], "window": 1, "outputs": ["m"]}]}), range(4))
    buf = np.arange(4.0).reshape(4, 1)
    assert np.array_equal(d.update(buf, out=buf), np.arange(4.0).reshape(4, 1))


@pytest.mark.parametrize("seed", range(3))
def test_warm_then_update_equals_feeding_everything_on_every_path(seed):
    rng = np.random.default_rng(11 + seed)
    pipe = sarvek.pipeline_from_dict(random_document(rng))
    symbols = ["A", "B", "C", 7]
    history = {s: awkward(rng, int(rng.integers(0, 90))) for s in symbols[:3]}
    frame = pd.DataFrame(
        [(s, t, *row) for s, x in history.items() for t, row in enumerate(x)],
        columns=["symbol", "time", *COLUMNS],
    ).sample(frac=1.0, random_state=1).sort_values("time", kind="stable")
    first = awkward(rng, 4)
    later = [awkward(rng, 4) for _ in range(40)]
    twins = Twins(pipe, symbols)
    for k, s in enumerate(symbols):  # a symbol without history rows keeps the state `first` gave it
        if len(history.get(s, ())) == 0:
            twins.by[s].update(first[k].tolist())
    for s, x in history.items():
        for row in x:
            twins.by[s].update(row.tolist())
    want = [twins.update(symbols, x, None) for x in later]
    before = sv._simd_path()
    try:
        for path in sv._simd_paths():
            sv._set_simd_path(path)
            u = sarvek.Universe(pipe, symbols)
            u.update(first)  # state that warming replaces, and symbol 7 keeps (it has no history)
            u.warm(frame, by="symbol", time="time")
            for x, w in zip(later, want):
                assert same(u.update(x), w), path
    finally:
        sv._set_simd_path(before)


def test_warm_refuses_before_any_symbol_changes():
    pipe = sarvek.pipeline_from_dict({"input_columns": ["close"], "features": [
        {"type": "Ema", "inputs": ["close"], "window": 3, "outputs": ["e"]}]})
    u, twin = sarvek.Universe(pipe, ["A", "B"]), sarvek.Universe(pipe, ["A", "B"])
    frame = pd.DataFrame({"sym": ["A", "A", "ZZ "], "t": [1, 2, 3], "close": [1.0, 2.0, 3.0]})
    with pytest.raises(ValueError, match=r"symbol 'ZZ ' of the 'sym' column is not in the universe"):
        u.warm(frame, by="sym", time="t")
    backwards = pd.DataFrame({"sym": ["A", "A", "B"], "t": [2, 1, 3], "close": [1.0, 2.0, 3.0]})
    with pytest.raises(ValueError, match="goes backwards for symbol 'A'"):
        u.warm(backwards, by="sym", time="t")
    x = np.arange(2.0).reshape(2, 1)
    for _ in range(5):
        assert same(u.update(x), twin.update(x))


def test_snapshot_restored_in_a_fresh_process_continues_exactly(tmp_path):
    rng = np.random.default_rng(5)
    for round_ in range(3):
        pipe = sarvek.pipeline_from_dict(random_document(rng))
        symbols = ["A", 2, "C", "D", "E"]
        bars = awkward(rng, 80 * 5).reshape(80, 5, 4)
        masks = rng.random((80, 5)) < 0.85
        never_stopped = sarvek.Universe(pipe, symbols)
        want = np.stack([never_stopped.update(bars[t], masks[t]) for t in range(80)])
        stop = int(rng.integers(0, 80))
        u = sarvek.Universe(pipe, symbols)
        for t in range(stop):
            u.update(bars[t], masks[t])
        (tmp_path / "snap").write_bytes(u.state())
        np.save(tmp_path / "bars.npy", bars[stop:])
        np.save(tmp_path / "masks.npy", masks[stop:])
        script = textwrap.dedent(f"""
            import numpy as np, sarvek
            u = sarvek.Universe.from_state(open({str(tmp_path / 'snap')!r}, 'rb').read())
            bars, masks = np.load({str(tmp_path / 'bars.npy')!r}), np.load({str(tmp_path / 'masks.npy')!r})
            out = np.stack([u.update(b, m) for b, m in zip(bars, masks)]) if len(bars) else np.empty((0, 5, 0))
            np.save({str(tmp_path / 'out.npy')!r}, out)
            print(repr(u.symbols))
        """)
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
        assert done.stdout.strip() == repr(tuple(symbols))
        if stop < 80:
            assert same(np.load(tmp_path / "out.npy"), want[stop:]), (round_, stop)


def test_pipeline_snapshots_continue_exactly_and_refuse_another_document():
    rng = np.random.default_rng(8)
    doc = random_document(rng)
    fp = sarvek.pipeline_from_dict(doc)
    rows = awkward(rng, 60).tolist()
    for r in rows[:30]:
        fp.update(r)
    restored = sarvek.load_state(sarvek.save_state(fp), pipeline=doc)
    assert same([restored.update(r) for r in rows[30:]], [fp.update(r) for r in rows[30:]])
    other = {"input_columns": COLUMNS, "features": [build_entry(CATALOG["Sma"], 2, ["close"], "x")]}
    with pytest.raises(ValueError, match="different pipeline document"):
        sarvek.load_state(sarvek.save_state(fp), pipeline=other)
    with pytest.raises(ValueError, match="holds a FeaturePipeline, not a Universe"):
        sarvek.Universe.from_state(sarvek.save_state(fp))


@pytest.mark.parametrize("entry", sorted(CATALOG), ids=str)
def test_every_catalogue_type_saves_and_restores(entry):
    e = CATALOG[entry]
    spec = {p["name"]: p for p in e["params"]}
    inputs = COLUMNS[: max(e["reads"], spec["inputs"]["minimum"])]
    fp = sarvek.pipeline_from_dict({"input_columns": COLUMNS, "features": [build_entry(e, 4, inputs, "f")]})
    rows = awkward(np.random.default_rng(1), 40).tolist()
    for r in rows[:20]:
        fp.update(r)
    back = sarvek.load_state(sarvek.save_state(fp))
    assert same([back.update(r) for r in rows[20:]], [fp.update(r) for r in rows[20:]])


def small_universe():
    pipe = sarvek.pipeline_from_dict({"input_columns": COLUMNS, "features": [
        build_entry(CATALOG["Ema"], 3, ["close"], "e"), build_entry(CATALOG["Kama"], 4, ["e_0"], "k")]})
    u = sarvek.Universe(pipe, ["A", 1])
    rng = np.random.default_rng(2)
    for _ in range(9):
        u.update(awkward(rng, 2))
    return u


def test_truncated_damaged_and_foreign_snapshots_are_refused():
    u = small_universe()
    snap = u.state()
    for n in range(len(snap)):
        with pytest.raises(ValueError):
            sarvek.Universe.from_state(snap[:n])
    rng = np.random.default_rng(4)
    for _ in range(300):
        damaged = bytearray(snap)
        at = int(rng.integers(0, len(snap)))
        damaged[at] ^= 1 << int(rng.integers(0, 8))
        with pytest.raises(ValueError):
            sarvek.Universe.from_state(bytes(damaged))
    for foreign in (b"", b"PK\x03\x04" + bytes(60), b"\x00" * 200):
        with pytest.raises(ValueError, match="not a sarvek snapshot|truncated"):
            sarvek.Universe.from_state(foreign)
    future = bytearray(snap)
    future[8] = 2
    with pytest.raises(ValueError, match="version 2 cannot be read"):
        sarvek.Universe.from_state(bytes(future))
    with pytest.raises(TypeError, match="a snapshot is bytes, got str"):
        sarvek.Universe.from_state("snapshot")


def test_core_state_reader_refuses_cleanly_and_changes_nothing():
    """The compiled reader on its own (no checksum in front of it)."""
    u = small_universe()
    core_state = u._core._state()
    twin = sarvek.Universe.from_state(u.state())
    rng = np.random.default_rng(9)
    for n in range(len(core_state)):
        with pytest.raises(ValueError):
            u._core._restore(core_state[:n])
    for _ in range(2000):
        damaged = bytearray(core_state)
        for _ in range(int(rng.integers(1, 4))):
            damaged[int(rng.integers(0, len(damaged)))] ^= 1 << int(rng.integers(0, 8))
        probe = sarvek.Universe.from_state(u.state())
        try:
            probe._core._restore(bytes(damaged))  # a flipped number is still a number
        except ValueError:
            pass
    x = awkward(rng, 2)
    assert same(u.update(x), twin.update(x))


GOOD = np.ones((3, 4))


@pytest.mark.parametrize("call, error, message", [
    (lambda u: u.update(GOOD.astype(np.float32)), TypeError, "bars must be float64"),
    (lambda u: u.update(GOOD[:2]), ValueError, r"bars must have shape \(3, 4\).*got \(2, 4\)"),
    (lambda u: u.update(GOOD[:, :3]), ValueError, r"got \(3, 3\)"),
    (lambda u: u.update(np.ones(12)), ValueError, r"got \(12,\)"),
    (lambda u: u.update([[1.0] * 4] * 3), TypeError, r"bars must be a 2-D float64 array \(or buffer\), got list"),
    (lambda u: u.update(GOOD, [True] * 3), TypeError, "present must be None or a 1-D bool array"),
    (lambda u: u.update(GOOD, out=np.empty((3, u._width)).tobytes()), TypeError, "out must be None or a writable"),
    (lambda u: u.update(GOOD, np.ones(2, dtype=bool)), ValueError, r"present must have shape \(3,\).*got \(2,\)"),
    (lambda u: u.update(GOOD, np.ones(3)), TypeError, "present must be bool or uint8"),
    (lambda u: u.update(GOOD, out=np.empty((3, 2))), ValueError, r"out must have shape \(3, "),
    (lambda u: u.update(GOOD, out=np.empty((3, u._width), dtype=np.float32)), TypeError, "out must be float64"),
    (lambda u: u.update(GOOD, out=np.empty((u._width, 3)).T), ValueError, "out must be C-contiguous"),
    (lambda u: u.add("B"), ValueError, "symbol 'B' is already in the universe"),
    (lambda u: u.add(True), TypeError, "symbol must be a str or an int, got bool"),
    (lambda u: u.add(1.5), TypeError, "got float 1.5"),
    (lambda u: u.remove("b"), ValueError, "unknown symbol 'b'"),
    (lambda u: u.remove(None), TypeError, "got NoneType"),
])
def test_bad_input_is_refused_by_name_before_anything_changes(call, error, message):
    rng = np.random.default_rng(0)
    pipe = sarvek.pipeline_from_dict(random_document(rng))
    u, twin = sarvek.Universe(pipe, ["A", "B", 3]), sarvek.Universe(pipe, ["A", "B", 3])
    for _ in range(5):
        x = awkward(rng, 3)
        u.update(x)
        twin.update(x)
    with pytest.raises(error, match=message):
        call(u)
    assert u.symbols == twin.symbols
    for _ in range(10):
        x = awkward(rng, 3)
        assert same(u.update(x), twin.update(x))


@pytest.mark.parametrize("symbols, error, message", [
    (["A", "B", "A"], ValueError, r"duplicate symbol 'A' \(positions 0 and 2\)"),
    ([1, 2, 1], ValueError, "duplicate symbol 1"),
    ("AB", TypeError, "not a single str"),
    (["A", None], TypeError, "a symbol must be a str or an int, got NoneType"),
])
def test_bad_symbols_are_refused_by_name(symbols, error, message):
    with pytest.raises(error, match=message):
        sarvek.Universe({"input_columns": ["x"], "features": [
            {"type": "Sma", "inputs": ["x"], "window": 2, "outputs": ["m"]}]}, symbols)
