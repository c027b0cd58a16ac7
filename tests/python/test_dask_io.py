"""sarvek.dask on frames Dask plans for itself (Parquet folders read by
dd.read_parquet), results joined back to their bars with keep=, time order
across partitions, the same dtype gate as one process, and an output folder
that survives failures and killed runs."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

dask = pytest.importorskip("dask")
dd = pytest.importorskip("dask.dataframe")
pa = pytest.importorskip("pyarrow")

import sarvek  # noqa: E402
import sarvek.dask as sdask  # noqa: E402
from sarvek._checks import numeric_values  # noqa: E402

from test_dask import FINITE, TARGETS, UNBOUNDED, make_bars, pipeline  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
EXAMPLES = [os.path.join(ROOT, "examples", f) for f in ("features.toml", "targets.toml")]
# A window of one bar reads no earlier bar: only the time check needs a carried one.
NO_HISTORY = {"input_columns": ["close"],
              "features": [{"type": "Sma", "inputs": ["close"], "window": 1, "outputs": ["same"]}]}
CONFIGS = [FINITE, UNBOUNDED, TARGETS, NO_HISTORY]
IDS = ["finite", "ema-kama", "targets", "no-history"]


def compute(config, ddf, **kw):
    f = sdask.compute_features if "features" in config else sdask.compute_targets
    return f(ddf, config, by="symbol", **kw)


def reference(config, frame):
    f = sarvek.compute_features if "features" in config else sarvek.compute_targets
    return f(config, frame, by="symbol")


def same_bits(got, want):
    a = np.asarray(got, dtype=np.float64).view(np.uint64)
    return np.array_equal(a, np.asarray(want, dtype=np.float64).view(np.uint64))


@pytest.fixture(scope="module")
def bars():
    """Time as a column and a plain 0..n-1 index, as other tools write bars."""
    frame = make_bars(symbols=12, steps=200, seed=5).reset_index()
    frame["bar"] = np.arange(len(frame), dtype=np.float64)
    return frame


@pytest.fixture(scope="module")
def hive(bars, tmp_path_factory):
    """symbol=XYZ/ folders of several small files each, without a stored index."""
    folder = tmp_path_factory.mktemp("hive")
    for symbol, rows in bars.groupby("symbol", sort=True):
        (folder / f"symbol={symbol}").mkdir()
        for k, piece in enumerate(np.array_split(np.arange(len(rows)), 3)):
            rows.iloc[piece].drop(columns="symbol").to_parquet(
                folder / f"symbol={symbol}" / f"part-{k}.parquet", index=False)
    return folder


@pytest.mark.parametrize("config", CONFIGS, ids=IDS)
def test_read_parquet_folder_matches_one_process(hive, config):
    # Dask fuses these small files once only a few columns are read, so the
    # planned frame has fewer partitions than the file count it reports.
    ddf = dd.read_parquet(hive)
    result = compute(config, ddf, keep=["time", "bar"]).compute(scheduler="sync")
    frame = ddf.compute(scheduler="sync")
    want = reference(config, frame)
    assert list(result.columns) == ["symbol", "time", "bar", *pipeline(config).output_names()]
    assert (result["time"].to_numpy() == frame["time"].to_numpy()).all()
    assert same_bits(result["bar"], frame["bar"])
    for name in pipeline(config).output_names():
        assert same_bits(result[name], want[name]), name


def test_keep_carries_columns_unchanged(bars):
    frame = bars.assign(volume=bars["volume"].astype("Int64"), note=bars["symbol"] + "!")
    ddf = dd.from_pandas(frame, npartitions=5, sort=False)
    out = sdask.compute_features(ddf, FINITE, by="symbol", keep="all").compute(scheduler="sync")
    outputs = list(pipeline(FINITE).output_names())
    assert list(out.columns) == [*frame.columns, *outputs]
    pd.testing.assert_frame_equal(out[list(frame.columns)], ddf.compute(scheduler="sync"), check_dtype=True)
    lazy = sdask.compute_targets(ddf, TARGETS, by="symbol", keep=["time"])
    assert list(lazy.columns) == ["symbol", "time", *pipeline(TARGETS).output_names()]
    assert lazy.dtypes["time"] == frame["time"].dtype


@pytest.mark.parametrize(
    "keep, error, text",
    [
        ("time", TypeError, r"keep=\['time'\]"),
        (["time", "when"], ValueError, "'when'"),
        (["time", "time"], ValueError, "more than once"),
        (["ret"], ValueError, "share a name"),
    ],
)
def test_keep_refused_before_running(bars, keep, error, text):
    frame = bars.assign(ret=1.0)
    with pytest.raises(error, match=text):
        sdask.compute_features(dd.from_pandas(frame, npartitions=2), FINITE, by="symbol", keep=keep)


def partition_starts(ddf):
    return np.cumsum([0, *ddf.map_partitions(len).compute(scheduler="sync")])


@pytest.mark.parametrize("config, kw", [*((c, {}) for c in CONFIGS), (UNBOUNDED, {"carry_state": True})],
                         ids=[*IDS, "ema-kama-carried"])
@pytest.mark.parametrize("where", ["boundary", "inside"])
def test_time_going_back_names_symbol_and_row(bars, config, kw, where):
    frame = bars.copy()
    ddf = dd.from_pandas(frame, npartitions=6, sort=False)
    starts = partition_starts(ddf)
    rows = np.flatnonzero(frame["symbol"].to_numpy() == "S04")
    if where == "boundary":  # the symbol's first bar of a later partition
        k = next(k for k in range(1, len(rows)) if np.searchsorted(starts, rows[k], "right")
                 != np.searchsorted(starts, rows[k - 1], "right"))
    else:
        k = next(k for k in range(1, len(rows)) if np.searchsorted(starts, rows[k], "right")
                 == np.searchsorted(starts, rows[k - 1], "right"))
    time = frame["time"].to_numpy().copy()
    time[rows[k]] = time[rows[k - 1]] - np.timedelta64(1, "m")
    frame["time"] = time
    bad = dd.from_pandas(frame, npartitions=6, sort=False)
    with pytest.raises(ValueError, match=rf"time column 'time' goes backwards for symbol 'S04' at row {rows[k]}:") \
            as many:
        compute(config, bad, time="time", **kw).compute(scheduler="sync")
    one_process = sarvek.compute_features if "features" in config else sarvek.compute_targets
    with pytest.raises(ValueError) as one:
        one_process(config, frame, by="symbol", time="time")
    assert str(many.value) == str(one.value)


def test_a_datetime_index_is_checked_without_asking(bars):
    frame = bars.set_index("time")
    rows = np.flatnonzero(frame["symbol"].to_numpy() == "S02")
    index = frame.index.to_numpy().copy()
    index[rows[-1]] = index[rows[0]] - np.timedelta64(1, "m")
    frame.index = pd.DatetimeIndex(index, name="time")
    ddf = dd.from_pandas(frame, npartitions=4, sort=False)
    with pytest.raises(ValueError, match="time column 'time' goes backwards for symbol 'S02'"):
        sdask.compute_features(ddf, FINITE, by="symbol").compute(scheduler="sync")


def object_frame(frame, npartitions):
    with dask.config.set({"dataframe.convert-string": False}):
        return dd.from_pandas(frame, npartitions=npartitions, sort=False)


@pytest.mark.parametrize(
    "convert",
    [
        lambda c: c.astype("Int64"),
        lambda c: pd.Series([None if v != v else __import__("decimal").Decimal(repr(v)) for v in c],
                            index=c.index, dtype=object),
        lambda c: c.astype(pd.ArrowDtype(pa.decimal128(20, 4))),
    ],
    ids=["nullable-int", "decimal-objects", "arrow-decimal"],
)
def test_column_kinds_read_as_in_one_process(bars, convert):
    frame = bars.copy()
    frame["close"] = np.round(frame["close"] * 100)  # whole numbers, exact in every kind
    odd = frame.assign(close=convert(frame["close"]))
    got = sdask.compute_features(object_frame(odd, 4), FINITE, by="symbol").compute(scheduler="sync")
    want = reference(FINITE, frame)
    for name in pipeline(FINITE).output_names():
        assert same_bits(got[name], want[name]), name


def test_text_refused_with_the_one_process_message(bars):
    frame = bars.astype({"close": object})
    frame.iloc[int(np.flatnonzero(frame["symbol"] == "S07")[3]), frame.columns.get_loc("close")] = "n/a"
    with pytest.raises(TypeError) as one:
        numeric_values("close", frame.loc[frame["symbol"] == "S07", "close"])
    with pytest.raises(TypeError) as many:
        sdask.compute_features(object_frame(frame, 3), FINITE, by="symbol").compute(scheduler="sync")
    assert isinstance(many.value, sdask.SymbolError)
    assert str(many.value) == f"symbol 'S07': {one.value}"


# --- the output folder -----------------------------------------------------------


def write_flat(bars, folder, files=4):
    folder.mkdir()
    for k, piece in enumerate(np.array_split(np.arange(len(bars)), files)):
        bars.iloc[piece].to_parquet(folder / f"bars-{k}.parquet")


def old_output(path):
    path.mkdir()
    (path / "part-0.parquet").write_bytes(b"the previous result")


def dead_pid():
    child = subprocess.Popen([sys.executable, "-c", "pass"])
    child.wait()
    return child.pid


@pytest.mark.parametrize("config_pair", [[EXAMPLES[0], EXAMPLES[1]], [FINITE]], ids=["shipped-pair", "one"])
def test_pipelines_reading_different_columns(bars, tmp_path, config_pair):
    # The shipped feature and target files read different input columns, so
    # Dask projects the read differently for each.
    write_flat(bars, tmp_path / "bars")
    with dask.config.set(scheduler="sync"):
        sdask.compute_dataset(tmp_path / "bars", config_pair, tmp_path / "out", by="symbol", keep=["time"])
    got = pd.read_parquet(tmp_path / "out")
    parts = [reference(sarvek.pipeline_to_dict(sarvek.load_pipeline(c)) if isinstance(c, str) else c, bars)
             for c in config_pair]
    assert (got["time"].to_numpy() == bars["time"].to_numpy()).all()
    for want in parts:
        for name in want.columns:
            assert same_bits(got[name], want[name]), name


def test_a_failed_swap_puts_the_previous_output_back(bars, tmp_path, monkeypatch):
    write_flat(bars, tmp_path / "bars")
    old_output(tmp_path / "out")
    real = os.replace
    calls = []

    def second_fails(src, dst):
        calls.append((src, dst))
        if len(calls) == 2:  # the old output is aside, the new one not yet in place
            raise OSError("disk gone")
        real(src, dst)

    monkeypatch.setattr(sdask.os, "replace", second_fails)
    with dask.config.set(scheduler="sync"), pytest.raises(OSError, match="disk gone"):
        sdask.compute_dataset(tmp_path / "bars", [FINITE], tmp_path / "out", by="symbol")
    assert len(calls) == 3
    assert (tmp_path / "out" / "part-0.parquet").read_bytes() == b"the previous result"
    assert sorted(os.listdir(tmp_path)) == ["bars", "out"]


def test_leftovers_of_a_killed_run_are_cleaned_up(bars, tmp_path):
    write_flat(bars, tmp_path / "bars")
    gone, alive = dead_pid(), os.getppid()
    old_output(tmp_path / f".out.tmp-{gone}-old")  # killed between its two renames
    (tmp_path / f".out.tmp-{gone}").mkdir()
    (tmp_path / f".out.tmp-{gone}" / "part-000000.parquet").write_bytes(b"half written")
    (tmp_path / f".out.tmp-{alive}").mkdir()  # a run still going: left alone
    bad = pd.read_parquet(tmp_path / "bars" / "bars-1.parquet").drop(columns="high")
    bad.to_parquet(tmp_path / "bars" / "bars-1.parquet")
    with dask.config.set(scheduler="sync"), pytest.raises(ValueError, match="'high'"):
        sdask.compute_dataset(tmp_path / "bars", [FINITE], tmp_path / "out", by="symbol")
    assert (tmp_path / "out" / "part-0.parquet").read_bytes() == b"the previous result"
    assert sorted(os.listdir(tmp_path)) == [f".out.tmp-{alive}", "bars", "out"]
