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


def run(*args, cwd=None):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
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
