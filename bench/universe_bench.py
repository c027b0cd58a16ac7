"""Per symbol-bar cost of sarvek.Universe.update against its peers.

For the ten-feature example pipeline (examples/features.toml) and N symbols,
each number is the time of one bar for every symbol divided by N, including
the Python call, best of --repeat runs of --bars bars:

  - universe:  Universe.update(bars) on an (N, 4) float64 array;
  - separate:  the loop a user writes without it, one FeaturePipeline.update
               per symbol (the row converted with tolist());
  - floor:     a call doing no feature work: the same checks and buffer
               handling with an (N, 4) array in and a fresh (N, outputs)
               array out;
  - columns:   the column engine (FeaturePipeline._run_columns) over one
               long history, per bar: what the same features cost when the
               work is not split into bars;
  - logs:      Universe.update with only the pipeline's features that take
               logarithms (LogReturn, ParkinsonVolatility,
               RogersSatchellVolatility: six calls of the C library's log a
               symbol-bar, which nothing may replace): the part of the
               universe's cost that no reordering of the work can remove.

Run with the package installed:  python bench/universe_bench.py [--sizes 500 5000]
"""
from __future__ import annotations

import argparse
import pathlib
import time

import numpy as np

import _sarvek
import sarvek

EXAMPLE = pathlib.Path(__file__).resolve().parent.parent / "examples" / "features.toml"
LOG_TYPES = {"LogReturn", "ParkinsonVolatility", "RogersSatchellVolatility"}


def best(fn, repeat: int) -> float:
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def prices(rng: np.random.Generator, bars: int, n: int) -> np.ndarray:
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, (bars, n)), axis=0))
    spread = np.abs(rng.normal(0.0, 0.2, (bars, n)))
    return np.stack([close, close + spread, close - spread, close], axis=2)  # open, high, low, close


def main() -> None:
    ap = argparse.ArgumentParser()
    ap.add_argument("--sizes", type=int, nargs="+", default=[500, 5000])
    ap.add_argument("--bars", type=int, default=200)
    ap.add_argument("--repeat", type=int, default=5)
    args = ap.parse_args()
    pipe = sarvek.load_pipeline(EXAMPLE)
    width = len(pipe.output_names())
    empty = sarvek.pipeline_from_dict({"input_columns": pipe.input_names(), "features": []})
    document = sarvek.pipeline_to_dict(pipe)
    logs = sarvek.pipeline_from_dict({
        "input_columns": document["input_columns"],
        "features": [f for f in document["features"] if f["type"] in LOG_TYPES],
    })
    rng = np.random.default_rng(1)
    print(f"pipeline: {EXAMPLE.name}, {len(pipe)} features, {width} outputs; SIMD path {_sarvek._simd_path()}")
    print(f"{'N':>6} {'universe':>10} {'separate':>10} {'floor':>10} {'columns':>10} {'logs':>10}   "
          f"{'separate/universe':>17} {'universe/columns':>16}   (ns per symbol-bar)")

    history = prices(rng, 100_000, 1)[:, 0, :]
    fp = pipe._fresh()
    column_ns = best(lambda: fp._run_columns(history), args.repeat) / len(history) * 1e9

    for n in args.sizes:
        data = prices(rng, args.bars, n)
        symbols = [f"S{i}" for i in range(n)]
        per = args.bars * n

        def timed(run) -> float:
            return min(run() for _ in range(args.repeat))

        def run_universe(p=pipe) -> float:
            u = sarvek.Universe(p, symbols)
            t0 = time.perf_counter()
            for t in range(args.bars):
                u.update(data[t])
            return time.perf_counter() - t0

        def run_separate() -> float:
            pipes = [pipe._fresh() for _ in range(n)]
            t0 = time.perf_counter()
            for t in range(args.bars):
                for p, row in zip(pipes, data[t].tolist()):
                    p.update(row)
            return time.perf_counter() - t0

        core = sarvek.Universe(empty, symbols)._core
        nothing = np.empty((n, 0))

        def run_floor() -> float:
            t0 = time.perf_counter()
            for t in range(args.bars):
                np.empty((n, width))
                core.update(data[t], None, nothing)
            return time.perf_counter() - t0

        u_ns = timed(run_universe) / per * 1e9
        s_ns = timed(run_separate) / per * 1e9
        f_ns = timed(run_floor) / per * 1e9
        l_ns = timed(lambda: run_universe(logs)) / per * 1e9
        print(f"{n:>6} {u_ns:>10.1f} {s_ns:>10.1f} {f_ns:>10.1f} {column_ns:>10.1f} {l_ns:>10.1f}   "
              f"{s_ns / u_ns:>16.1f}x {u_ns / column_ns:>15.2f}x")


if __name__ == "__main__":
    main()
