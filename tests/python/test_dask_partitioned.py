"""Parquet folders already partitioned by symbol: each task reads, computes
and writes its own symbols, with exactly the output of one process and of
the general path (same columns, order, dtypes, bits; missing outputs null,
computed NaN as NaN)."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
pytest.importorskip("distributed")
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
pc = pytest.importorskip("pyarrow.compute")

import sarvek  # noqa: E402
import sarvek.dask as sdask  # noqa: E402
from sarvek._frames import compute_with_validity  # noqa: E402

from test_dask import FINITE, TARGETS, UNBOUNDED, make_bars  # noqa: E402
from test_dask_chunking import random_feature_pipeline  # noqa: E402


@pytest.fixture(scope="module")
def bars():
    """Uneven symbols with gaps and missing prices, and a few infinite
    closes, whose windows compute NaN (inf - inf) rather than missing."""
    frame = make_bars(symbols=24, steps=260, seed=3)
    rows = np.flatnonzero(frame["symbol"].isin(["S05", "S11"]).to_numpy())[10:60:12]
    frame.iloc[rows, frame.columns.get_loc("close")] = np.inf
    return frame


def hive(bars, folder):
    """symbol=XYZ/ folders without the column, the longer symbols in two files."""
    order = []
    for symbol, rows in bars.groupby("symbol", sort=True):
        where = folder / f"symbol={symbol}"
        where.mkdir(parents=True)
        cut = len(rows) // 3 if len(rows) >= 50 else len(rows)
        for k, piece in enumerate([rows.iloc[:cut], rows.iloc[cut:]]):
            if len(piece):
                piece.drop(columns="symbol").to_parquet(where / f"part-{k}.parquet")
        order.append(rows)
    return pd.concat(order), len(order)


def whole_symbols(bars, folder, spill=False):
    """Files of a few whole symbols each, rows interleaved in time; with
    ``spill`` one symbol's last bars go to a later file."""
    folder.mkdir()
    names = sorted(bars["symbol"].unique())
    chunks = [names[k : k + 5] for k in range(0, len(names), 5)]
    frames = [bars[bars["symbol"].isin(chunk)] for chunk in chunks]
    if spill:
        first = frames[0]
        moved = np.zeros(len(first), dtype=bool)
        moved[np.flatnonzero((first["symbol"] == chunks[0][1]).to_numpy())[-7:]] = True
        frames[0], frames[2] = first[~moved], pd.concat([frames[2], first[moved]])
    for k, frame in enumerate(frames):
        frame.to_parquet(folder / f"bars-{k:03d}.parquet")
    return pd.concat(frames), len(frames)


def symbol_files(bars, folder):
    """Files named by symbol holding the symbol column (its statistics name
    the one symbol), the longer symbols in two files one after the other."""
    folder.mkdir()
    order = []
    for symbol, rows in bars.groupby("symbol", sort=True):
        cut = len(rows) // 2 if len(rows) >= 50 else len(rows)
        for k, piece in enumerate([rows.iloc[:cut], rows.iloc[cut:]]):
            if len(piece):
                piece.to_parquet(folder / f"{symbol}-{k}.parquet")
        order.append(rows)
    return pd.concat(order), len(order)


def want_columns(frame, configs):
    """One process: {name: (values, present)} for every output."""
    out = {}
    for config in configs:
        p = sarvek.pipeline_from_dict(config) if isinstance(config, dict) else config
        values, present = compute_with_validity(p, frame, by="symbol")
        for k, name in enumerate(p.output_names()):
            out[name] = (values[:, k], present[:, k])
    return out


def assert_outputs(table, expected):
    for name, (values, present) in expected.items():
        column = table.column(name)
        assert np.array_equal(column.is_valid().to_numpy(zero_copy_only=False), present), name
        got = column.fill_null(0.0).to_numpy().view(np.uint64)
        assert np.array_equal(got[present], values[present].view(np.uint64)), name


def assert_same_tables(a, b):
    assert a.schema.equals(b.schema, check_metadata=True)
    for name in a.column_names:
        x, y = a.column(name), b.column(name)
        assert x.is_null().equals(y.is_null()), name
        if pa.types.is_floating(x.type):
            assert np.array_equal(x.fill_null(0.0).to_numpy().view(np.uint64),
                                  y.fill_null(0.0).to_numpy().view(np.uint64)), name
        else:
            assert x.equals(y), name


def run(source, configs, out, **kw):
    with dask.config.set(scheduler="sync"):
        sdask.compute_dataset(source, configs, out, by="symbol", **kw)
    return pq.read_table(out)


def refuse_general(*args, **kw):
    raise AssertionError("rows were brought together across files")


@pytest.mark.parametrize("layout", [hive, whole_symbols, symbol_files])
@pytest.mark.parametrize("seed", range(3))
def test_partitioned_folders_match_one_process_and_the_general_path(bars, tmp_path, monkeypatch, layout, seed):
    rng = np.random.default_rng(seed)
    configs = [random_feature_pipeline(rng, int(rng.integers(2, 6))), [FINITE, UNBOUNDED, TARGETS][seed]]
    keep = [None, ["volume"], "all"][seed]
    frame, groups = layout(bars, tmp_path / "bars")
    general = run(tmp_path / "bars", configs, tmp_path / "general", keep=keep, layout="general")
    monkeypatch.setattr(sdask, "_outputs", refuse_general)
    got = run(tmp_path / "bars", configs, tmp_path / "out", keep=keep)
    assert len(os.listdir(tmp_path / "out")) == groups
    assert_same_tables(got, general)
    expected = want_columns(frame, configs)
    kept = [] if keep is None else ["open", "high", "low", "close", "volume"] if keep == "all" else keep
    assert got.column_names[: 2 + len(kept)] == ["symbol", *kept, "time"]
    for name in kept:
        assert np.array_equal(got.column(name).to_numpy(), frame[name].to_numpy(), equal_nan=True), name
    assert_outputs(got, expected)
    assert got.column("symbol").to_pylist() == frame["symbol"].tolist()
    assert pd.read_parquet(tmp_path / "out").index.equals(frame.index)
    # Both kinds of blank occur: missing inputs give nulls, infinite prices NaN.
    nan = [pc.sum(pc.is_nan(got.column(n).drop_null())).as_py() for n in expected]
    assert sum(nan) > 0 and sum(got.column(n).null_count for n in expected) > 0


def test_a_symbol_in_two_files_takes_the_general_path(bars, tmp_path, monkeypatch):
    frame, _ = whole_symbols(bars, tmp_path / "bars", spill=True)
    with pytest.raises(ValueError, match=r"not partitioned by 'symbol': symbol 'S01' is in both"):
        run(tmp_path / "bars", [FINITE], tmp_path / "out", layout="symbols")
    got = run(tmp_path / "bars", [FINITE, TARGETS], tmp_path / "out", keep=["volume"])
    assert_outputs(got, want_columns(frame, [FINITE, TARGETS]))
    assert got.column("volume").to_pylist() == frame["volume"].tolist()
    assert len(os.listdir(tmp_path / "out")) == 5  # one file per partition


def drop_low(frame):
    return frame.drop(columns="low")


def step_back(frame):
    index = frame.index.to_numpy().copy()
    index[20] = index[19] - np.timedelta64(1, "m")
    return frame.set_axis(pd.DatetimeIndex(index, name="time"))


@pytest.mark.parametrize("spoil, error, text", [
    (drop_low, sdask.SymbolError, r"symbol 'S04': missing column\(s\) \['low'\]; .* has columns \['open', 'high'"),
    (step_back, ValueError, r"goes backwards for symbol 'S04' at row "),
], ids=["missing-column", "time-back"])
def test_a_bad_symbol_file_is_named_and_nothing_is_written(bars, tmp_path, monkeypatch, spoil, error, text):
    hive(bars, tmp_path / "bars")
    bad = tmp_path / "bars" / "symbol=S04" / "part-0.parquet"
    spoil(pd.read_parquet(bad)).to_parquet(bad)
    monkeypatch.setattr(sdask, "_outputs", refuse_general)
    with pytest.raises(error, match=text):
        run(tmp_path / "bars", [FINITE], tmp_path / "out")
    assert sorted(os.listdir(tmp_path)) == ["bars"]
    with pytest.raises(ValueError, match="layout must be 'auto', 'symbols' or 'general', got 'hive'"):
        run(tmp_path / "bars", [FINITE], tmp_path / "out", layout="hive")


def test_a_task_still_writing_when_the_run_fails_leaves_nothing(bars, tmp_path, monkeypatch):
    # One task fails while another is still running (a cluster's workers
    # finish what they started): that task's file, opened once removal of
    # the run's folder has begun, must not land in it and keep it alive.
    import threading

    hive(bars, tmp_path / "bars")
    write, remove = sdask._write_table, sdask._remove
    started, failed, cleaning, done = (threading.Event() for _ in range(4))
    late = []

    def writes(table, path):
        if path.endswith("part-000001.parquet"):
            assert started.wait(60)
            failed.set()
            raise RuntimeError("disk full")
        if path.endswith("part-000000.parquet"):
            started.set()
            assert cleaning.wait(60)
            try:
                late.append(write(table, path))
            except OSError as e:
                late.append(e)
            finally:
                done.set()
            return 0
        return write(table, path)

    def removes(path):
        if failed.is_set() and not cleaning.is_set():
            cleaning.set()
            assert done.wait(60)
        remove(path)

    monkeypatch.setattr(sdask, "_write_table", writes)
    monkeypatch.setattr(sdask, "_remove", removes)
    with dask.config.set(scheduler="threads", num_workers=2), pytest.raises(RuntimeError, match="disk full"):
        sdask.compute_dataset(tmp_path / "bars", [FINITE], tmp_path / "out", by="symbol")
    assert len(late) == 1 and isinstance(late[0], FileNotFoundError), late
    assert sorted(os.listdir(tmp_path)) == ["bars"]


@pytest.mark.cluster
def test_command_line_writes_nulls_for_missing_and_nan_for_computed(bars, tmp_path):
    # A hive folder on a real local cluster, against the command without
    # Dask over the same rows in one file: the same table.
    frame, _ = hive(bars, tmp_path / "bars")
    frame.to_parquet(tmp_path / "one.parquet")
    sarvek.save_pipeline(sarvek.pipeline_from_dict(FINITE), tmp_path / "f.toml")
    sarvek.save_pipeline(sarvek.pipeline_from_dict(TARGETS), tmp_path / "t.toml")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    common = ["-p", tmp_path / "f.toml", "-p", tmp_path / "t.toml", "--by", "symbol", "-q"]
    for args in ([tmp_path / "bars", "-o", tmp_path / "out", "--dask", "local:2"],
                 [tmp_path / "one.parquet", "-o", tmp_path / "one-out.parquet"]):
        done = subprocess.run([sys.executable, "-m", "sarvek", "compute", *map(str, args + common)],
                              capture_output=True, text=True, env=env, timeout=300)
        assert done.returncode == 0, done.stderr
    got, want = pq.read_table(tmp_path / "out"), pq.read_table(tmp_path / "one-out.parquet")
    assert got.column_names == want.column_names
    assert_same_tables(got.select(want.column_names[1:]).replace_schema_metadata(),
                       want.select(want.column_names[1:]).replace_schema_metadata())
    assert got.column("symbol").to_pylist() == want.column("symbol").to_pylist()
    mean = got.column("ret_mean")
    assert mean.null_count > 0 and pc.sum(pc.is_nan(mean.drop_null())).as_py() > 0


@pytest.mark.parametrize("keys", [
    pytest.param(lambda n: pd.Series(["A"] * n, dtype=object), id="one-text-object"),
    pytest.param(lambda n: pd.Series(["A"] * n, dtype="str"), id="one-text-str"),
    pytest.param(lambda n: pd.Series(["A"] * n, dtype="category"), id="one-text-category"),
    pytest.param(lambda n: pd.Series(["A"] * (n - 3) + [None, "A", None], dtype="str"), id="text-and-missing-str"),
    pytest.param(lambda n: pd.Series(["A"] * (n - 3) + [None, "A", np.nan], dtype=object), id="text-and-missing-object"),
    pytest.param(lambda n: pd.Series(["A"] * (n - 1) + ["B"], dtype="str"), id="two-texts"),
    pytest.param(lambda n: pd.Series([7] * n), id="one-number"),
])
@pytest.mark.parametrize("pooled", [False, True])
def test_one_symbol_shortcut_matches_grouping(keys, pooled):
    """A piece of one symbol skips the grouping; a piece whose keys only look
    alike (missing keys form a symbol of their own) is still grouped; either
    way, and with the values in Arrow's pool, each symbol's rows give what a
    lone pipeline gives them."""
    n = 90
    rng = np.random.default_rng(5)
    close = 100 * np.exp(np.cumsum(rng.normal(0, 0.01, n)))
    close[[4, 40]] = np.nan
    frame = pd.DataFrame({"symbol": keys(n), "close": close})
    payload = {"input_columns": ["close"], "features": [
        {"type": "LogReturn", "inputs": ["close"], "window": 1, "outputs": ["ret"]},
        {"type": "Sma", "inputs": ["ret"], "window": 5, "outputs": ["ret_mean"]},
        {"type": "Ema", "inputs": ["close"], "window": 6, "outputs": ["ema"]},
    ]}
    values, present = sdask._compute_array("features", payload, "symbol", frame, None, None, True, pooled=pooled)
    assert values.shape == (n, 3)
    codes, _ = pd.factorize(frame["symbol"], use_na_sentinel=False)
    for code in np.unique(codes):
        rows = np.flatnonzero(codes == code)
        alone = sarvek.pipeline_from_dict(payload)
        want, flags = sarvek._engine.run_features(alone, [close[rows]], len(rows), validity=True)
        np.testing.assert_array_equal(values[rows].view(np.int64), want.view(np.int64))
        np.testing.assert_array_equal(present[rows], flags)


@pytest.mark.parametrize("seed", range(40))
def test_one_symbol_time_check_matches_the_grouped_check(seed):
    """A piece of one symbol checks its times over a slice of its rows; it
    refuses exactly what the check over the symbol's row positions refuses
    (a step back inside the rows a task answers for, or just beside them),
    with the same message."""
    rng = np.random.default_rng(seed)
    n = int(rng.integers(1, 30))
    times = np.cumsum(rng.integers(0, 3, n)).astype("datetime64[m]")
    if n > 1 and rng.random() < 0.8:
        k = int(rng.integers(1, n))
        times[k] = times[k - 1] - np.timedelta64(1, "m")
    frame = pd.DataFrame({"symbol": ["A"] * n, "close": 1.0}, index=pd.Index(times, name="time"))
    lo = int(rng.integers(0, n + 1))
    own = (lo, int(rng.integers(lo, n + 1)))

    def outcome(groups):
        try:
            sdask._check_times(frame, ("index", "time"), ["A"], groups, own)
        except ValueError as exc:
            return str(exc)
        return None

    assert outcome([slice(0, n)]) == outcome([np.arange(n)])
