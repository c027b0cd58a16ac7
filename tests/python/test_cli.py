"""The sarvek command line, run as a subprocess on the shipped sample data."""
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest

import sarvek

pd = pytest.importorskip("pandas")
EXACT = {} if int(pd.__version__.split(".")[0]) >= 3 else {"float_precision": "round_trip"}
ROOT = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = ROOT / "examples"
BARS = EXAMPLES / "sample_bars.csv"
FEATURES, TARGETS = EXAMPLES / "features.toml", EXAMPLES / "targets.toml"


def run(*args, cwd=None, **env_extra):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **env_extra)
    return subprocess.run([sys.executable, "-m", "sarvek", *map(str, args)], capture_output=True, text=True,
                          env=env, cwd=cwd, timeout=120)


def error_line(proc, code):
    assert proc.returncode == code, proc.stderr
    lines = proc.stderr.splitlines()
    assert len(lines) == 1 and lines[0].startswith("sarvek: error: "), proc.stderr
    assert "Traceback" not in proc.stderr
    return lines[0]


def umask():
    """This process's umask, read without setting it."""
    for line in pathlib.Path("/proc/self/status").read_text().splitlines():
        if line.startswith("Umask:"):
            return int(line.split()[1], 8)
    pytest.skip("no /proc/self/status")


def bits(a):
    return np.ascontiguousarray(a, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_compute_keeps_the_bars_and_adds_every_output(tmp_path, suffix):
    pytest.importorskip("pyarrow")
    out = tmp_path / f"features{suffix}"
    proc = run("compute", BARS, "-p", FEATURES, "-p", TARGETS, "-o", out)
    assert proc.returncode == 0 and proc.stdout == "", proc.stderr
    # One line on success: rows, columns, where, how long; nothing with -q.
    assert re.fullmatch(rf"sarvek: wrote 500 rows, 20 columns to {re.escape(str(out))} in \d+\.\d\d s\n",
                        proc.stderr), proc.stderr
    got = pd.read_csv(out, **EXACT) if suffix == ".csv" else pd.read_parquet(out)
    bars = pd.read_csv(BARS, **EXACT)
    fp, tp = sarvek.load_pipeline(FEATURES), sarvek.load_pipeline(TARGETS)
    assert list(got.columns) == list(bars.columns) + fp.output_names() + tp.output_names()
    pd.testing.assert_frame_equal(got[list(bars.columns)], bars)
    for pipeline, fn in ((fp, sarvek.compute_features), (tp, sarvek.compute_targets)):
        expected = fn(pipeline, bars)
        assert np.array_equal(bits(got[pipeline.output_names()].to_numpy()), bits(expected.to_numpy()))
    assert sorted(p.name for p in tmp_path.iterdir()) == [out.name]
    # Written under a private temporary name, but published like any new file.
    assert out.stat().st_mode & 0o777 == 0o666 & ~umask()
    quiet = run("compute", BARS, "-p", FEATURES, "-o", tmp_path / f"q{suffix}", "-q")
    assert quiet.returncode == 0 and quiet.stderr == "", quiet.stderr


def test_compute_by_symbol_from_parquet(tmp_path):
    pytest.importorskip("pyarrow")
    bars = pd.read_csv(BARS, **EXACT)
    bars.insert(0, "symbol", np.where(np.arange(len(bars)) % 3 == 0, "AAA", "BBB"))
    bars.to_parquet(tmp_path / "bars.parquet")
    proc = run("compute", tmp_path / "bars.parquet", "-p", FEATURES, "-o", tmp_path / "out.csv", "--by", "symbol")
    assert proc.returncode == 0, proc.stderr
    got = pd.read_csv(tmp_path / "out.csv", **EXACT)
    expected = sarvek.compute_features(FEATURES, bars, by="symbol")
    assert list(got["symbol"]) == list(bars["symbol"])
    assert np.array_equal(bits(got[expected.columns].to_numpy()), bits(expected.to_numpy()))


def test_describe_lists_order_producers_readers_and_warm_ups():
    proc = run("describe", FEATURES, TARGETS)
    assert proc.returncode == 0, proc.stderr
    text = proc.stdout
    assert "warm_up_period() = 29" in text and "forward_period() = 10" in text
    assert text.index("#1 LogReturn") < text.index("Skewness(inputs=[\"ret_1\"]")
    assert "ret_1        from #1 LogReturn; read by #8 Skewness, #9 Sma, #10 Kurtosis; first valid bar 1" in text
    assert "ret_skew_30  from #8 Skewness; read by nothing; first valid bar 30" in text


def test_plot_writes_a_chart(tmp_path):
    pytest.importorskip("matplotlib")
    chart = tmp_path / "chart.png"
    proc = run("plot", BARS, "-p", FEATURES, "--columns", "sma_20,ret_skew_30", "-o", chart)
    assert proc.returncode == 0, proc.stderr
    assert chart.read_bytes().startswith(b"\x89PNG")
    line = error_line(run("plot", BARS, "-p", FEATURES, "--columns", "nope", "-o", chart), 2)
    assert "no output 'nope'" in line


def truncated(tmp_path):
    text = BARS.read_text()
    path = tmp_path / "cut.csv"
    path.write_text(text[: len(text) // 2].rsplit(",", 2)[0])
    return path


def garbage_parquet(tmp_path):
    path = tmp_path / "bad.parquet"
    path.write_bytes(b"PAR1 this is not parquet")
    return path


def bad_pipeline(tmp_path):
    path = tmp_path / "bad.toml"
    path.write_text('input_columns = ["close"]\n[[features]]\ntype = "Smaa"\ninputs = ["close"]\n'
                    'window = 3\noutputs = ["s"]\n')
    return path


def missing_column(tmp_path):
    path = tmp_path / "nohigh.csv"
    pd.read_csv(BARS).drop(columns="high").to_csv(path, index=False)
    return path


@pytest.mark.parametrize("case, code, message", [
    (lambda t: ["compute", BARS, "-p", FEATURES], 2, "required: -o/--output"),
    (lambda t: ["frobnicate"], 2, "invalid choice"),
    (lambda t: ["compute", t / "bars.txt", "-p", FEATURES, "-o", t / "o.csv"], 2, "unsupported file type '.txt'"),
    (lambda t: ["compute", BARS, "-p", FEATURES, "-o", t / "o.xlsx"], 2, "unsupported file type '.xlsx'"),
    (lambda t: ["compute", t / "absent.csv", "-p", FEATURES, "-o", t / "o.csv"], 1, "absent.csv: no such file"),
    (lambda t: ["compute", truncated(t), "-p", FEATURES, "-o", t / "o.csv"], 1, "looks truncated"),
    (lambda t: ["compute", garbage_parquet(t), "-p", FEATURES, "-o", t / "o.csv"], 1, "bad.parquet: cannot read"),
    (lambda t: ["compute", BARS, "-p", bad_pipeline(t), "-o", t / "o.csv"], 1,
     r"bad.toml: features[0].type: unknown feature type 'Smaa'"),
    (lambda t: ["compute", missing_column(t), "-p", FEATURES, "-o", t / "o.csv"], 1,
     "missing column 'high' (an input column of the pipeline); the data has columns: bar, open, low, close, volume"),
    (lambda t: ["compute", BARS, "-p", FEATURES, "-p", FEATURES, "-o", t / "o.csv"], 1, "clashes"),
    (lambda t: ["compute", BARS, "-p", FEATURES, "-o", t / "o.csv", "--by", "sym"], 1, "no column 'sym'"),
    (lambda t: ["describe", t / "none.toml"], 1, "none.toml: no such pipeline file"),
])
def test_errors_are_one_line_and_leave_no_output(tmp_path, case, code, message):
    (tmp_path / "bars.txt").write_text("x\n1\n")
    proc = run(*case(tmp_path))
    assert message in error_line(proc, code)
    assert not (tmp_path / "o.csv").exists()
    assert not [p for p in tmp_path.iterdir() if p.name.startswith(".sarvek-")]


def test_failed_write_leaves_the_previous_file(tmp_path):
    out = tmp_path / "o.csv"
    out.write_text("previous\n")
    (tmp_path / "p.toml").write_text('input_columns = ["close"]\n[[features]]\ntype = "Sma"\n'
                                      'inputs = ["close"]\nwindow = 3\noutputs = ["volume"]\n')
    error_line(run("compute", BARS, "-p", tmp_path / "p.toml", "-o", out), 1)
    assert out.read_text() == "previous\n"


def test_csv_without_pandas_gives_the_same_file(tmp_path):
    """The csv-module path (no pandas) writes the same columns and numbers."""
    from sarvek import cli

    table = cli.CsvTable(str(BARS))
    outputs = cli.compute_outputs([sarvek.load_pipeline(FEATURES)], table, by=None, progress=None)
    cli.write_table(table, outputs, str(tmp_path / "plain.csv"))
    assert run("compute", BARS, "-p", FEATURES, "-o", tmp_path / "pandas.csv").returncode == 0
    plain = pd.read_csv(tmp_path / "plain.csv", **EXACT)
    with_pandas = pd.read_csv(tmp_path / "pandas.csv", **EXACT)
    pd.testing.assert_frame_equal(plain, with_pandas)
    assert (tmp_path / "plain.csv").read_text().splitlines()[1].startswith(BARS.read_text().splitlines()[1])


def test_progress_shows_only_on_a_terminal_after_the_delay():
    from sarvek.cli import Progress

    class Tty:
        def __init__(self, tty):
            self.tty, self.text = tty, ""

        def isatty(self):
            return self.tty

        def write(self, s):
            self.text += s

        def flush(self):
            pass

    for tty, delay, shown in ((True, 0.0, True), (True, 60.0, False), (False, 0.0, False)):
        stream = Tty(tty)
        bar = Progress(200, stream, delay=delay)
        bar(50), bar(150)
        bar.close()
        assert ("100.0% 200/200 bars" in stream.text) == shown
        assert stream.text.endswith("\n") == shown


def timed_bars(n=None):
    bars = pd.read_csv(BARS, **EXACT)
    bars = bars.iloc[:n] if n else bars
    bars.insert(0, "symbol", np.where(np.arange(len(bars)) % 2 == 0, "AAA", "BBB"))
    bars.insert(0, "time", pd.date_range("2024-01-02 09:30", periods=len(bars), freq="min"))
    return bars


@pytest.mark.parametrize("suffix", [".csv", ".parquet"])
def test_a_stored_index_is_kept(tmp_path, suffix):
    pytest.importorskip("pyarrow")
    bars = timed_bars().set_index("time")
    bars.to_parquet(tmp_path / "bars.parquet")
    out = tmp_path / f"out{suffix}"
    assert run("compute", tmp_path / "bars.parquet", "-p", FEATURES, "-o", out, "--by", "symbol").returncode == 0
    if suffix == ".parquet":
        got = pd.read_parquet(out)
        pd.testing.assert_index_equal(got.index, bars.index)
    else:
        got = pd.read_csv(out, **EXACT)
        assert list(got.columns[:2]) == ["time", "symbol"]
        assert (pd.to_datetime(got["time"]).to_numpy() == bars.index.to_numpy()).all()
    pd.testing.assert_frame_equal(got[list(bars.columns)].reset_index(drop=True), bars.reset_index(drop=True))


@pytest.mark.parametrize("layout", ["time column", "timestamp column", "datetime index", "--time"])
def test_bars_out_of_time_order_are_refused(tmp_path, layout):
    pytest.importorskip("pyarrow")
    bars = timed_bars(40)
    extra = []
    if layout == "timestamp column":
        bars = bars.rename(columns={"time": "timestamp"})
    elif layout == "--time":
        bars = bars.rename(columns={"time": "stamp"})
        extra = ["--time", "stamp"]
    path = tmp_path / "bars.parquet"
    (bars.set_index("time") if layout == "datetime index" else bars).to_parquet(path)
    args = ["compute", path, "-p", FEATURES, "-o", tmp_path / "o.csv", "--by", "symbol", *extra]
    assert run(*args).returncode == 0
    # Rows 13 and 15 are both BBB's: swapping them puts BBB's times back at row 15.
    swapped = bars.copy()
    swapped.iloc[[13, 15]] = swapped.iloc[[15, 13]].to_numpy()
    (swapped.set_index("time") if layout == "datetime index" else swapped).to_parquet(path)
    line = error_line(run(*args), 1)
    assert "goes backwards for symbol 'BBB' at row" in line and "sort the bars by time" in line, line
    assert not (tmp_path / "o.csv").exists() or (tmp_path / "o.csv").stat().st_size > 0
    # Without --by the rows of both symbols form one sequence: row 13 is already too late.
    line = error_line(run(*args[:6], *extra), 1)
    assert "goes backwards at row" in line


def test_a_named_time_column_must_exist(tmp_path):
    line = error_line(run("compute", BARS, "-p", FEATURES, "-o", tmp_path / "o.csv", "--time", "when"), 1)
    assert "no time column 'when'" in line


@pytest.mark.parametrize("target", ["input", "folder", "pipeline"])
def test_an_output_that_would_destroy_an_input_is_refused_first(tmp_path, target):
    bars = tmp_path / "bars.csv"
    bars.write_bytes(BARS.read_bytes())
    features = tmp_path / "f.csv"  # a pipeline file may be named anything
    features.write_bytes(FEATURES.read_bytes())
    out = {"input": bars, "folder": tmp_path / "out.csv", "pipeline": features}[target]
    if target == "folder":
        out.mkdir()
    line = error_line(run("compute", bars, "-p", features, "-o", out), 2)
    assert ("is a folder" if target == "folder" else "is the input file") in line
    assert bars.read_bytes() == BARS.read_bytes() and features.read_bytes() == FEATURES.read_bytes()


def test_csv_headers_duplicate_and_alone(tmp_path):
    header = BARS.read_text().splitlines()[0]
    (tmp_path / "dup.csv").write_text(header + ",close\n" + "1," * header.count(",") + "1,2\n")
    line = error_line(run("compute", tmp_path / "dup.csv", "-p", FEATURES, "-o", tmp_path / "o.csv"), 1)
    assert "column 'close' twice" in line
    (tmp_path / "head.csv").write_text(header + "\n")
    fp = sarvek.load_pipeline(FEATURES)
    for suffix in (".csv", ".parquet"):
        out = tmp_path / f"o{suffix}"
        proc = run("compute", tmp_path / "head.csv", "-p", FEATURES, "-o", out)
        assert proc.returncode == 0, proc.stderr
        got = pd.read_csv(out) if suffix == ".csv" else pd.read_parquet(out)
        assert len(got) == 0 and list(got.columns) == header.split(",") + fp.output_names()


def test_describe_edge_cases(tmp_path):
    empty = tmp_path / "empty.toml"
    empty.write_text('input_columns = ["close"]\nfeatures = []\n')
    proc = run("describe", empty)
    assert proc.returncode == 0 and "no features" in proc.stdout, proc.stderr
    odd = tmp_path / "odd.toml"
    odd.write_text('input_columns = ["close"]\n'
                   '[[features]]\ntype = "Sma"\ninputs = ["close"]\nwindow = 3\noutputs = ["\\u001b[2Jx"]\n'
                   '[[features]]\ntype = "Ema"\ninputs = ["close"]\nwindow = 3\noutputs = ["close"]\n')
    proc = run("describe", odd)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr
    assert "\x1b" not in proc.stdout and "\\x1b[2Jx" in proc.stdout
    assert "output 'close' shadows the input column 'close'" in proc.stdout
    assert "reads its own output 'close'" in proc.stdout
    # A name that reaches an error message is escaped there too.
    assert "\x1b" not in error_line(run("compute", BARS, "-p", FEATURES, "-o", tmp_path / "o.csv",
                                        "--by", "\x1b[2J"), 1)


@pytest.mark.parametrize("horizon", [1, 2, 10])
def test_describe_counts_the_nan_tail_of_each_target(tmp_path, horizon):
    doc = tmp_path / "t.toml"
    doc.write_text('input_columns = ["bar", "close"]\n'
                   f'[[targets]]\ntype = "FutureReturn"\ninputs = ["close"]\nhorizon = {horizon}\noutputs = ["r"]\n'
                   f'[[targets]]\ntype = "FutureCTCVolatility"\ninput = "close"\nhorizon = {horizon}\n'
                   + ('' if horizon < 2 else f'[[targets]]\ntype = "FutureLinearSlope"\ninputs = ["bar", "close"]\n'
                      f'horizon = {horizon}\noutputs = ["s", "r2"]\n'))
    text = run("describe", doc).stdout
    got = sarvek.compute_targets(doc, pd.read_csv(BARS, **EXACT))
    described = text.splitlines()[2:]
    for line, name in zip(described, ["r", f"close_future_ctc_vol_{horizon}", "s"]):
        tail = len(got) - 1 - np.flatnonzero(got[name].notna().to_numpy())[-1] if got[name].notna().any() \
            else len(got)
        assert (f"the last {tail} bars are NaN" in line) or (tail == len(got) and "every bar is NaN" in line), line


def test_dask_without_its_extra_says_what_to_install(tmp_path):
    fake = tmp_path / "fake" / "dask"
    fake.mkdir(parents=True)
    (fake / "__init__.py").write_text("raise ImportError(\"No module named 'dask'\", name='dask')\n")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(fake.parent)] + [p for p in sys.path if p]))
    proc = subprocess.run([sys.executable, "-m", "sarvek", "compute", str(tmp_path), "-p", str(FEATURES), "-o",
                           str(tmp_path / "out"), "--by", "symbol", "--dask", "local:1"],
                          capture_output=True, text=True, env=env, timeout=120)
    assert "pip install 'sarvek[dask]'" in error_line(proc, 1)


def test_plot_one_symbol_over_time(tmp_path):
    pytest.importorskip("matplotlib")
    bars = timed_bars()
    bars.to_csv(tmp_path / "bars.csv", index=False)
    chart = tmp_path / "chart.svg"
    (tmp_path / "matplotlibrc").write_text("svg.fonttype: none\n")  # text as text, to be read back
    proc = run("plot", tmp_path / "bars.csv", "-p", FEATURES, "--by", "symbol", "--symbol", "BBB", "-o", chart,
               MPLCONFIGDIR=str(tmp_path))
    assert proc.returncode == 0, proc.stderr
    svg = chart.read_text()
    labels = re.findall(r"<text[^>]*>([^<]*)", svg)
    assert "BBB" in labels and "time" in labels and "01-02 12" in labels, labels  # title, axis, a time tick
    assert "no rows with symbol = 'CCC'" in error_line(
        run("plot", tmp_path / "bars.csv", "-p", FEATURES, "--by", "symbol", "--symbol", "CCC", "-o", chart), 1)
    assert "go together" in error_line(run("plot", tmp_path / "bars.csv", "-p", FEATURES, "--by", "symbol",
                                           "-o", chart), 2)


def test_writing_a_csv_shows_progress_on_a_terminal(tmp_path):
    from sarvek import _io, cli

    class Tty(list):
        def isatty(self):
            return True

        def flush(self):
            pass

        write = list.append

    stream = Tty()
    data = cli.read_bars(str(BARS))
    bar = cli.Progress(len(data), stream, delay=0.0)
    outputs = cli.compute_outputs([sarvek.load_pipeline(FEATURES)], data, by=None, progress=bar)
    _io._CSV_ROWS, saved = 100, _io._CSV_ROWS
    try:
        cli.write_table(data, outputs, str(tmp_path / "o.csv"), bar)
    finally:
        _io._CSV_ROWS = saved
    written = [s for s in stream if "rows written" in s]
    assert len(written) == 5 and "100.0% 500/500 rows written" in written[-1], stream


def test_files_are_written_through_links_keeping_their_mode(tmp_path, monkeypatch):
    from sarvek import _pipeline

    def forbidden(mask):
        raise AssertionError("the process umask is shared by every thread; it must not be set")

    monkeypatch.setattr(os, "umask", forbidden)
    real = tmp_path / "real.toml"
    real.write_text("old\n")
    real.chmod(0o640)
    link = tmp_path / "link.toml"
    link.symlink_to(real.name)
    fp = sarvek.load_pipeline(FEATURES)
    sarvek.save_pipeline(fp, link)
    assert link.is_symlink() and real.stat().st_mode & 0o777 == 0o640
    assert sarvek.pipeline_to_dict(sarvek.load_pipeline(link)) == sarvek.pipeline_to_dict(fp)
    fresh = tmp_path / "fresh.toml"
    sarvek.save_pipeline(fp, fresh)
    assert fresh.stat().st_mode & 0o777 == 0o666 & ~umask()
    # Without /proc the mode of a new file is found by making one.
    monkeypatch.setattr(_pipeline, "_umask_from_proc", lambda: None)
    assert _pipeline._new_file_mode(str(tmp_path)) == 0o666 & ~umask()
    assert sorted(p.name for p in tmp_path.iterdir()) == ["fresh.toml", "link.toml", "real.toml"]


def test_temporaries_of_a_killed_writer_are_removed_by_the_next_write(tmp_path):
    # A writer killed mid-write leaves its temporary behind; the next write
    # into the same folder removes it, and leaves a live writer's alone.
    script = (
        "import os, sys, sarvek\n"
        "from sarvek import _pipeline\n"
        "with _pipeline.replacing(sys.argv[1]) as tmp:\n"
        "    open(tmp, 'w').write('partial')\n"
        "    print(os.path.basename(tmp), flush=True)\n"
        "    os.kill(os.getpid(), 9)\n"
    )
    run = subprocess.run([sys.executable, "-c", script, str(tmp_path / "a.toml")], capture_output=True, text=True)
    assert run.returncode == -9
    leftover = run.stdout.strip()
    assert leftover.startswith(".sarvek-") and (tmp_path / leftover).exists()
    live = tmp_path / f".sarvek-{os.getppid()}-x.tmp"
    live.write_text("someone else's write in progress")
    sarvek.save_pipeline(sarvek.load_pipeline(FEATURES), tmp_path / "b.toml")
    assert sorted(p.name for p in tmp_path.iterdir()) == sorted(["b.toml", live.name])


@pytest.mark.parametrize("suffix, reader", [(".csv", "pandas"), (".csv", "plain"), (".parquet", "arrow")])
def test_missing_values_and_computed_nan_stay_apart_in_files(tmp_path, suffix, reader):
    # An Sma over [1, inf, -inf, ...] computes a NaN (inf - inf) on bar 2;
    # bar 0 is its warm-up and bar 4 a missing input: both missing.
    pa = pytest.importorskip("pyarrow")
    import pyarrow.parquet as pq

    bars = tmp_path / ("bars.csv" if reader != "arrow" else "bars.parquet")
    x = [1.0, np.inf, -np.inf, 2.0, None, 3.0, 4.0]
    if reader == "arrow":
        pq.write_table(pa.table({"t": range(7), "x": pa.array(x, type=pa.float64())}), bars)
    else:
        bars.write_text("t,x\n" + "".join(f"{t},{'' if v is None else repr(v)}\n" for t, v in enumerate(x)))
    pipe = tmp_path / "p.toml"
    pipe.write_text('input_columns = ["x"]\n[[features]]\ntype = "Sma"\ninputs = ["x"]\nwindow = 2\n'
                    'outputs = ["s"]\n')
    out = tmp_path / f"out{suffix}"
    if reader == "plain":  # the csv-module path, as without pandas
        from sarvek import cli

        table = cli.CsvTable(str(bars))
        cli.write_table(table, cli.compute_outputs([sarvek.load_pipeline(pipe)], table, by=None, progress=None),
                        str(out))
    else:
        proc = run("compute", bars, "-p", pipe, "-o", out, "-q")
        assert proc.returncode == 0, proc.stderr
    if suffix == ".csv":
        cells = [line.split(",")[-1] for line in out.read_text().splitlines()[1:]]
        assert cells == ["", "inf", "nan", "-inf", "", "", "3.5"]
    else:
        s = pq.read_table(out).column("s")
        assert [s[i].is_valid for i in range(7)] == [False, True, True, True, False, False, True]
        got = s.to_numpy(zero_copy_only=False)
        assert got[1] == np.inf and np.isnan(got[2]) and got[3] == -np.inf and got[6] == 3.5


@pytest.mark.parametrize("rows", [0, 1, 100, 20_000])
def test_results_compress_only_where_it_pays(tmp_path, rows):
    """Written results read back bit for bit (a missing value null, a
    computed NaN a NaN); a column of noisy numbers is stored uncompressed,
    labels, times and text stay compressed, and only text is dictionary
    encoded."""
    pa = pytest.importorskip("pyarrow")
    pq = pytest.importorskip("pyarrow.parquet")
    from sarvek._io import parquet_options

    rng = np.random.default_rng(rows)
    noisy = rng.normal(size=rows)
    noisy[: min(rows, 3)] = np.nan
    label = rng.integers(-1, 2, rows).astype(np.float64)
    missing = np.arange(rows) % 7 == 3
    table = pa.table({
        "symbol": pa.array(["AAA"] * rows, type=pa.string()),
        "time": pa.array(np.arange(rows).astype("datetime64[m]").astype("datetime64[ns]")),
        "noisy": pa.array(noisy, mask=missing),
        "label": pa.array(label, mask=missing),
    })
    path = tmp_path / "out.parquet"
    options = parquet_options(table)
    pq.write_table(table, path, **options)
    back = pq.read_table(path)
    assert back.schema.equals(table.schema)
    assert back["symbol"].equals(table["symbol"]) and back["time"].equals(table["time"])
    for name in ("noisy", "label"):
        assert back[name].is_valid().equals(table[name].is_valid())
        np.testing.assert_array_equal(back[name].to_numpy(zero_copy_only=False).view(np.int64),
                                      table[name].to_numpy(zero_copy_only=False).view(np.int64))
    assert options["use_dictionary"] == ["symbol"]
    if rows >= 100:
        meta = pq.ParquetFile(path).metadata.row_group(0)
        codec = {meta.column(i).path_in_schema: meta.column(i).compression for i in range(meta.num_columns)}
        assert codec == {"symbol": "SNAPPY", "time": "SNAPPY", "noisy": "UNCOMPRESSED", "label": "SNAPPY"}
