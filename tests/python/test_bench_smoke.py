"""The catalogue benchmark runs end to end on this build: a row for every
catalogue class the package has, "not built" for the others, and peers that
are not installed named and skipped rather than failing the run. Its peers
compute what they stand for: TA-Lib, bottleneck and the pandas formulas agree
where more than one is timed, and the NumPy triple-barrier labels equal a
plain loop's."""
import os
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

import sarvek

BENCH = Path(__file__).resolve().parents[2] / "bench" / "catalogue_bench.py"

# Runs the bench as a script with the named modules made unimportable.
RUNNER = """
import runpy, sys
for name in sys.argv[2].split(","):
    if name:
        sys.modules[name] = None
sys.argv = [sys.argv[1], "--quick"]
runpy.run_path(sys.argv[0], run_name="__main__")
"""


def load_bench():
    import importlib.util

    where = importlib.util.spec_from_file_location("catalogue_bench", BENCH)
    module = importlib.util.module_from_spec(where)
    where.loader.exec_module(module)
    return module


pytestmark = pytest.mark.skipif(not BENCH.exists(), reason="run from a source tree")


@pytest.mark.parametrize("hidden", [(), ("talib", "bottleneck")], ids=["peers-as-installed", "without-talib"])
def test_catalogue_bench_quick(hidden):
    done = subprocess.run(
        [sys.executable, "-c", RUNNER, str(BENCH), ",".join(hidden)],
        capture_output=True, text=True, timeout=900, env=dict(os.environ),
    )
    assert done.returncode == 0, done.stdout + done.stderr
    out = done.stdout
    bench = load_bench()
    names = bench.FEATURES + bench.TARGETS
    built = [n for n in names if getattr(sarvek, n, None) is not None]
    assert built, "the package has none of the catalogue classes"
    for name in built:  # one row per class, and one more at the wide window for the order statistics
        rows = re.findall(rf"^{name} +(\S+) .*$", out, re.M)
        assert len(rows) == (2 if name in bench.ALSO_WIDE else 1), f"rows for {name!r}: {rows}\n{out}"
    not_built = [n for n in names if n not in built]
    if not_built:
        assert f"not built ({len(not_built)}): {', '.join(not_built)}" in out
    else:
        assert "not built" not in out
    if "talib" in hidden:
        assert "peer skipped: TA-Lib (talib) is not installed" in out
        assert "peer skipped: bottleneck is not installed" in out
        # No TA-Lib or bottleneck time, ratio or verdict against them in any row.
        for line in out.splitlines():
            if re.match(rf"^({'|'.join(built)}) ", line):
                assert "TA-Lib" not in line, line
                cells = line.split()
                assert cells[4] == "—" and cells[6] == "—", line


def as_columns(result):
    result = np.column_stack(result) if isinstance(result, tuple) else np.asarray(result, dtype=float)
    return result.reshape(len(result), -1)


FEATURE_NAMES = load_bench().FEATURES if BENCH.exists() else []


@pytest.mark.parametrize("name", FEATURE_NAMES)
@pytest.mark.parametrize("window", [5, 20])
def test_peers_agree(name, window):
    bench = load_bench()
    talib, bn = bench.optional("talib"), bench.optional("bottleneck")
    bars = bench.make_bars(3000, seed=window)
    frame = pd.DataFrame(bars)
    series = {k: frame[k] for k in bench.COLUMNS}
    # ddof 0, as TA-Lib's STDDEV and BBANDS use.
    values = {"ddof": 0, "_inputs": bench.INPUTS.get(name, ["close"])}
    peers = {k: as_columns(fn()) for k, fn in bench.peers_for(name, bars, series, window, values, talib, bn).items()}
    others = [k for k in peers if k != "pandas"]
    if not others:
        pytest.skip(f"{name}: only one peer installed or defined")
    if name == "RollingRank":  # bottleneck ranks on [-1, 1], pandas 1 .. window
        peers["bottleneck"] = 1.0 + (peers["bottleneck"] + 1.0) * (window - 1) / 2.0
    # The recursions are seeded differently (TA-Lib: a mean of the first
    # values; pandas' ewm: the first value) and agree once that has decayed.
    tail = 1000
    for other in others:
        np.testing.assert_allclose(peers[other][-tail:], peers["pandas"][-tail:], rtol=1e-8, atol=1e-9,
                                   err_msg=f"{name}: {other} against pandas")


def reference_triple_barrier(c, horizon, up, down):
    labels = []
    for t in range(len(c) - horizon):
        label = 0.0
        for j in range(1, horizon + 1):
            move = c[t + j] / c[t] - 1.0
            if move >= up:
                label = 1.0
                break
            if move <= -down:
                label = -1.0
                break
        labels.append(label)
    return np.array(labels)


@pytest.mark.parametrize("horizon, up, down", [(1, 0.01, 0.01), (5, 0.01, 0.02), (20, 0.03, 0.01), (20, 1.0, 1.0)])
def test_triple_barrier_peer(horizon, up, down):
    bench = load_bench()
    c = bench.make_bars(500, seed=horizon)["close"]
    expected = reference_triple_barrier(c, horizon, up, down)
    # A chunk size that does not divide the bars: labels across chunk edges.
    np.testing.assert_array_equal(bench.triple_barrier(c, horizon, up, down, chunk=37), expected)


def param(name, kind, constraint="must not be empty", default=None, minimum=1, bounds=None):
    return {"name": name, "type": kind, "default": default, "constraint": constraint, "minimum": minimum,
            "range": bounds}


NAMES = param("inputs", "names")
WINDOW = param("window", "count")


# Classes the bench has to build from their description alone: (name, params,
# reads, produces, expected keyword arguments).
SHAPES = [
    ("Macd", [NAMES, param("outputs", "names", "must contain exactly 3 names: [macd, signal, histogram]"),
              param("fast", "count"), param("slow", "count"), param("signal", "count", default=9)], 1, 3,
     {"inputs": ["close"], "outputs": ["macd_macd", "macd_signal", "macd_histogram"], "fast": 12, "slow": 26}),
    ("Mfi", [param("inputs", "names", "must contain exactly 4 names: [high, low, close, volume]"), WINDOW,
             param("outputs", "names")], 4, 1,
     {"inputs": ["high", "low", "close", "volume"], "window": 20, "outputs": ["mfi_0"]}),
    ("RollingCorrelation", [param("inputs", "names", "must contain x and y columns"), WINDOW,
                            param("outputs", "names")], 2, 1,
     {"inputs": ["close", "open"], "window": 20}),
    ("TripleBarrier", [NAMES, param("horizon", "count"), param("outputs", "names"),
                       param("barrier", "real", bounds=(0.0, float("inf"))), param("min_bars", "count", minimum=1)],
     1, 1, {"inputs": ["close"], "horizon": 20, "barrier": 0.02, "min_bars": 2}),
    ("Cci", [param("inputs", "names", "must contain exactly 3 names: [high, low, close]"),
             param("period", "count"), param("outputs", "names")], 3, 1,
     {"inputs": ["high", "low", "close"], "period": 20}),
    ("Vwap", [param("inputs", "names", "must contain exactly 2 names: [price, volume]"), WINDOW,
              param("outputs", "names")], 2, 1, {"inputs": ["close", "volume"]}),
]


@pytest.mark.parametrize("name, params, reads, produces, expected", SHAPES, ids=[s[0] for s in SHAPES])
def test_build_from_description(monkeypatch, name, params, reads, produces, expected):
    bench = load_bench()
    entry = {"name": name, "params": params, "reads": reads, "produces": produces}
    monkeypatch.setattr(bench, "describe", lambda _: entry)
    kwargs, inputs, values = bench.build(name, lambda **kw: kw, 20)
    assert {k: kwargs[k] for k in expected} == expected
    assert set(kwargs) == {p["name"] for p in params if p["default"] is None}  # defaults left to the class
    assert inputs == kwargs["inputs"]
    assert len(kwargs["outputs"]) == produces


def test_build_refuses_an_unknown_required_parameter(monkeypatch):
    bench = load_bench()
    entry = {"name": "X", "params": [NAMES, WINDOW, param("outputs", "names"), param("mode", "text")],
             "reads": 1, "produces": 1}
    monkeypatch.setattr(bench, "describe", lambda _: entry)
    with pytest.raises(LookupError, match="'mode'"):
        bench.build("X", lambda **kw: kw, 20)
