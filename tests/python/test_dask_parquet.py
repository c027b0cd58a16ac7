"""Parquet datasets in and out, and `sarvek compute --dask` as a subprocess."""

import os
import subprocess
import sys

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("distributed")
pytest.importorskip("pyarrow")

import sarvek  # noqa: E402
import sarvek.dask as sdask  # noqa: E402

from test_dask import FINITE, TARGETS, UNBOUNDED, make_bars, pipeline  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


@pytest.fixture(scope="module")
def bars():
    return make_bars(symbols=30, steps=300, seed=11)


def write_hive(bars, folder):
    """symbol=XYZ/ folders, the longer symbols in two files; returns the rows
    in the order the dataset holds them."""
    order = []
    for symbol, rows in bars.groupby("symbol", sort=True):
        where = folder / f"symbol={symbol}"
        where.mkdir(parents=True)
        pieces = [rows] if len(rows) < 50 else [rows.iloc[: len(rows) // 3], rows.iloc[len(rows) // 3 :]]
        for k, piece in enumerate(pieces):
            piece.drop(columns="symbol").to_parquet(where / f"part-{k}.parquet")
        order.append(rows)
    return pd.concat(order)


def write_flat(bars, folder):
    """Time slices holding every symbol, like a daily dump."""
    folder.mkdir()
    for k, piece in enumerate(np.array_split(np.arange(len(bars)), 9)):
        bars.iloc[piece].to_parquet(folder / f"bars-{k:03d}.parquet")
    return bars


def expected(frame, configs):
    parts = [frame[["symbol"]]]
    for config in configs:
        compute = sarvek.compute_features if "features" in config else sarvek.compute_targets
        parts.append(compute(config, frame, by="symbol"))
    return pd.concat(parts, axis=1)


def assert_dataset(folder, frame, configs):
    got = pd.read_parquet(folder)
    want = expected(frame, configs)
    assert list(got.columns) == list(want.columns)
    assert (got["symbol"].astype(str).to_numpy() == want["symbol"].to_numpy()).all()
    assert got.index.equals(want.index)
    for name in want.columns[1:]:
        a = got[name].to_numpy(dtype=np.float64).view(np.uint64)
        assert np.array_equal(a, want[name].to_numpy(dtype=np.float64).view(np.uint64)), name


@pytest.mark.parametrize(
    "layout, configs",
    [(write_hive, [FINITE, TARGETS]), (write_flat, [UNBOUNDED, TARGETS]), (write_flat, [FINITE])],
    ids=["hive", "flat-ema-kama", "flat"],
)
def test_dataset_in_and_out(bars, tmp_path, layout, configs):
    frame = layout(bars, tmp_path / "bars")
    (tmp_path / "out").mkdir()  # an earlier result is replaced whole
    (tmp_path / "out" / "stale.parquet").write_bytes(b"old")
    import dask

    with dask.config.set(scheduler="sync"):
        sdask.compute_dataset(tmp_path / "bars", [pipeline(c) for c in configs], tmp_path / "out", by="symbol")
    assert_dataset(tmp_path / "out", frame, configs)
    assert sorted(os.listdir(tmp_path)) == ["bars", "out"]


def test_outputs_clashing_are_refused(tmp_path):
    write_flat(make_bars(symbols=2, steps=30), tmp_path / "bars")
    with pytest.raises(ValueError, match="'ret' is produced twice"):
        sdask.compute_dataset(tmp_path / "bars", [FINITE, UNBOUNDED], tmp_path / "out", by="symbol")


@pytest.mark.parametrize(
    "spoil, text",
    [
        (lambda f: f.drop(columns="high"), r"symbol 'S07': missing column\(s\) \['high'\]"),
        (lambda f: f.astype({"close": str}), r"symbol 'S07': column 'close' is not numeric"),
    ],
)
def test_a_bad_symbol_file_is_named(bars, tmp_path, spoil, text):
    write_hive(bars, tmp_path / "bars")
    bad = tmp_path / "bars" / "symbol=S07" / "part-0.parquet"
    spoil(pd.read_parquet(bad)).to_parquet(bad)
    import dask

    with dask.config.set(scheduler="sync"), pytest.raises(sdask.SymbolError, match=text):
        sdask.compute_dataset(tmp_path / "bars", [pipeline(FINITE)], tmp_path / "out", by="symbol")
    assert sorted(os.listdir(tmp_path)) == ["bars"]


def sarvek_cli(*args):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path))
    return subprocess.run([sys.executable, "-m", "sarvek", *map(str, args)], capture_output=True, text=True,
                          env=env, timeout=180)


@pytest.mark.cluster
def test_command_line_on_clusters(bars, tmp_path, dask_client):
    # The command of the README, with the shipped pipeline files (their
    # input columns differ): the bars' columns and index come back beside
    # the outputs, as without Dask.
    frame = write_hive(bars.assign(bar=np.arange(len(bars), dtype=np.float64)), tmp_path / "bars")
    shipped = [os.path.join(ROOT, "examples", name) for name in ("features.toml", "targets.toml")]
    run = sarvek_cli("compute", tmp_path / "bars", "-p", shipped[0], "-p", shipped[1], "-o", tmp_path / "out",
                     "--by", "symbol", "--dask", "local:2")
    assert run.returncode == 0, run.stderr
    got = pd.read_parquet(tmp_path / "out")
    want = expected(frame, [sarvek.pipeline_to_dict(sarvek.load_pipeline(p)) for p in shipped])
    assert list(got.columns) == ["symbol", *[c for c in frame.columns if c != "symbol"], *want.columns[1:]]
    assert got.index.equals(want.index)
    for name in [*frame.columns[1:], *want.columns[1:]]:
        source = frame if name in frame.columns else want
        assert np.array_equal(got[name].to_numpy(dtype=np.float64).view(np.uint64),
                              source[name].to_numpy(dtype=np.float64).view(np.uint64)), name

    # A bad symbol, on a running scheduler given by address: exit 1, one
    # line naming it, no output folder.
    sarvek.save_pipeline(pipeline(FINITE), tmp_path / "features.toml")
    bad = tmp_path / "bars" / "symbol=S03" / "part-0.parquet"
    pd.read_parquet(bad).drop(columns="low").to_parquet(bad)
    run = sarvek_cli("compute", tmp_path / "bars", "-p", tmp_path / "features.toml", "-o", tmp_path / "out2",
                     "--by", "symbol", "--dask", dask_client.scheduler.address)
    assert run.returncode == 1
    assert run.stderr.startswith("sarvek: error: ") and "symbol 'S03'" in run.stderr
    assert len(run.stderr.splitlines()) == 1, run.stderr
    assert sorted(os.listdir(tmp_path)) == ["bars", "features.toml", "out"]


@pytest.mark.parametrize(
    "extra, text",
    [
        (["--dask", "local:0"], "positive worker count"),
        (["--dask", "local:2", "--by", None], "--dask needs --by"),
    ],
)
def test_command_line_refusals(tmp_path, capsys, extra, text):
    (tmp_path / "bars").mkdir()
    sarvek.save_pipeline(pipeline(FINITE), tmp_path / "f.toml")
    args = ["compute", tmp_path / "bars", "-p", tmp_path / "f.toml", "-o", tmp_path / "out", "--by", "symbol"]
    if None in extra:
        args = args[:-2]
        extra = [e for e in extra if e not in ("--by", None)]
    from sarvek.cli import main

    assert main([str(a) for a in (*args, *extra)]) == 2
    assert text in capsys.readouterr().err
