"""Research mode over whole columns against the list API and dataframe libraries.

One process, one set of seeded random OHLC bars (1,000,000 by default), the
ten-feature pipeline of pipeline_bench.py. Prints ns per bar of:

  - the column engine, FeaturePipeline._run_columns: a NumPy (bars, 4) array
    in, numpy.asarray() of the result out (row-major, and column-major as
    the table wrappers take it);
  - FeaturePipeline.run_research from a list of bars, list of lists back;
  - a conversion floor: input.tolist() plus output.tolist(), what any call
    taking and giving Python lists of floats pays before computing anything;
  - pandas and polars computing the same features (rolling means, ewm,
    rolling skew/kurt, rolling cov/var/corr for slope and R^2, Parkinson and
    Rogers-Satchell from rolling means of their per-bar terms). Kama has no
    loop-free form: both compute its efficiency ratio and smoothing constant
    over the window, then smooth with one fixed alpha (an approximation of
    the cost, not of the values);
  - sarvek.compute_features over a pandas and a polars frame, the table
    entry point end to end (columns picked by name, a frame of results back);
  - Sma(20) alone through _run_columns against bottleneck.move_mean and
    talib.SMA;
  - one run over two threads (threads=2, column-major out) against one
    thread, for the ten-feature pipeline (Ema and Kama whole on one thread
    beside pieces of the rest) and for the same pipeline without Ema and
    Kama (split by bars), best of nine each;
  - by="symbol": the same bars as 200 symbols, rows in time order (symbols
    interleaved), compute_features(..., by="symbol") over a pandas and a
    polars frame against polars computing the same features with
    .over("symbol") and pandas computing them group by group (groupby, then
    the rolling formulas on each group, results back in row order);
and the ratios, then the peak memory of a column-engine run measured in a
fresh subprocess (C++ allocations are invisible to tracemalloc): the peak
resident size (VmHWM; getrusage's ru_maxrss is inherited from the parent
through fork and exec on Linux) over what the process held before the
input was made.

Run with the module on the path, e.g.
    PYTHONPATH=build/dev python3 bench/research_bench.py [bars]
"""

import math
import os
import subprocess
import sys
import time

import numpy as np

import _sarvek as sv

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from pipeline_bench import COLUMNS, best_of, build_features  # noqa: E402

WINDOW = 20


def make_ohlc(n, seed=20240601):
    rng = np.random.default_rng(seed)
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    open_ = np.concatenate([[100.0], close[:-1]])
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.004, n)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.004, n)))
    return np.column_stack([open_, high, low, close])


# ------------------------------------------------------------- the peers


def pandas_features(df):
    import pandas as pd

    o, h, l, c = df["open"], df["high"], df["low"], df["close"]
    out = {}
    out["sma_20"] = c.rolling(WINDOW).mean()
    out["ema_20"] = c.ewm(span=WINDOW, adjust=False).mean()
    change = (c - c.shift(WINDOW)).abs()
    volatility = c.diff().abs().rolling(WINDOW).sum()
    er = change / volatility
    sc = (er * (2.0 / 3.0 - 2.0 / 31.0) + 2.0 / 31.0) ** 2
    out["kama_20"] = c.ewm(alpha=float(np.nanmedian(sc.to_numpy())), adjust=False).mean()
    out["ret_1"] = c.pct_change()
    logret = np.log(c / c.shift(1))
    out["logret_1"] = logret
    out["skew_20"] = logret.rolling(WINDOW).skew()
    out["kurt_20"] = logret.rolling(WINDOW).kurt()
    cov = o.rolling(WINDOW).cov(c)
    out["slope_20"] = cov / o.rolling(WINDOW).var()
    out["r2_20"] = o.rolling(WINDOW).corr(c) ** 2
    out["park_20"] = np.sqrt((np.log(h / l) ** 2).rolling(WINDOW).mean() / (4.0 * math.log(2.0)))
    rs = np.log(h / c) * np.log(h / o) + np.log(l / c) * np.log(l / o)
    out["rs_20"] = np.sqrt(rs.rolling(WINDOW).mean())
    out["sma_of_sma"] = out["sma_20"].rolling(19).mean()
    return pd.DataFrame(out).to_numpy()


def polars_features(df):
    return df.select(_polars_exprs(df)).to_numpy()


def _polars_exprs(df):
    import polars as pl

    o, h, l, c = pl.col("open"), pl.col("high"), pl.col("low"), pl.col("close")
    logret = (c / c.shift(1)).log()
    er = (c - c.shift(WINDOW)).abs() / c.diff().abs().rolling_sum(WINDOW)
    sc = (er * (2.0 / 3.0 - 2.0 / 31.0) + 2.0 / 31.0) ** 2
    alpha = float(np.nanmedian(df.select(sc.alias("sc")).to_series().to_numpy()))
    sma = c.rolling_mean(WINDOW)
    return [
        sma.alias("sma_20"),
        c.ewm_mean(span=WINDOW, adjust=False).alias("ema_20"),
        c.ewm_mean(alpha=alpha, adjust=False).alias("kama_20"),
        c.pct_change().alias("ret_1"),
        logret.alias("logret_1"),
        logret.rolling_skew(WINDOW).alias("skew_20"),
        logret.rolling_kurtosis(WINDOW).alias("kurt_20"),
        (pl.rolling_cov(o, c, window_size=WINDOW) / o.rolling_var(WINDOW)).alias("slope_20"),
        (pl.rolling_corr(o, c, window_size=WINDOW) ** 2).alias("r2_20"),
        (((h / l).log() ** 2).rolling_mean(WINDOW) / (4.0 * math.log(2.0))).sqrt().alias("park_20"),
        ((h / c).log() * (h / o).log() + (l / c).log() * (l / o).log()).rolling_mean(WINDOW).sqrt().alias("rs_20"),
        sma.rolling_mean(19).alias("sma_of_sma"),
    ]


def pandas_by(df):
    import pandas as pd

    parts = [pd.DataFrame(pandas_features(g), index=g.index) for _, g in df.groupby("symbol", sort=False)]
    return pd.concat(parts).reindex(df.index).to_numpy()


SYMBOLS = 200


def by_symbol(n, pipeline, repeat):
    """The by= timings: n bars as SYMBOLS symbols of n // SYMBOLS bars each,
    rows in time order (bar t of every symbol, then bar t + 1)."""
    import pandas as pd
    import polars as pl

    import sarvek

    per = max(1, n // SYMBOLS)
    rows = per * SYMBOLS
    data = np.empty((rows, 4))
    for s in range(SYMBOLS):  # each symbol its own walk, rows interleaved
        data[s::SYMBOLS] = make_ohlc(per, seed=s)
    symbol = np.repeat(np.array([f"S{s:03d}" for s in range(SYMBOLS)])[None, :], per, axis=0).reshape(-1)
    pdf = pd.DataFrame(data, columns=COLUMNS).assign(symbol=symbol)
    plf = pl.DataFrame(data, schema=COLUMNS).with_columns(pl.Series("symbol", symbol))
    got = sarvek.compute_features(pipeline, pdf, by="symbol").to_numpy()
    alone = np.asarray(pipeline._run_columns(np.ascontiguousarray(data[7::SYMBOLS])))
    same = np.array_equal(got[7::SYMBOLS].view(np.uint64), alone.view(np.uint64))
    print(f"by='symbol' ({SYMBOLS} symbols x {per} bars, interleaved) == each symbol alone (bit for bit): {same}")
    timings = interleaved(repeat, {
        "by=, compute_features, pandas in/out": lambda: sarvek.compute_features(pipeline, pdf, by="symbol"),
        "by=, compute_features, polars in/out": lambda: sarvek.compute_features(pipeline, plf, by="symbol"),
        "by=, compute_features, workers=1 (pandas)": lambda: sarvek.compute_features(pipeline, pdf, by="symbol",
                                                                                     workers=1),
        "by=, polars .over('symbol')": lambda: plf.select([e.over("symbol") for e in _polars_exprs(plf)]).to_numpy(),
        "by=, pandas groupby + rolling": lambda: pandas_by(pdf),
    })
    return rows, timings


def interleaved(repeat, runs):
    """Best time of each of ``runs`` (name -> function) over ``repeat``
    rounds, each round running every one of them once in turn: on a shared
    machine whose load drifts, the ratios then compare runs that met the
    same load."""
    best = dict.fromkeys(runs, math.inf)
    for _ in range(repeat):
        for name, fn in runs.items():
            start = time.perf_counter()
            fn()
            best[name] = min(best[name], time.perf_counter() - start)
    return best


# ------------------------------------------------------------ peak memory

MEMORY_CHILD = r"""
import resource, sys
import numpy as np
sys.path.insert(0, sys.argv[2])
import _sarvek as sv
from pipeline_bench import COLUMNS, build_features
import os
def rss():
    # The peak of this process's own memory. getrusage's ru_maxrss would do,
    # but Linux carries it over from the parent through fork and exec.
    for line in open("/proc/self/status"):
        if line.startswith("VmHWM:"):
            return int(line.split()[1]) * 1024
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
def resident(): return int(open("/proc/self/statm").read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
n = int(sys.argv[1])
p = sv.FeaturePipeline(build_features()[0], COLUMNS)
p._run_columns(np.full((100, 4), 100.0))
rng = np.random.default_rng(1)
base = resident()  # what the process holds now, not its earlier peak
data = np.empty((n, 4))
for i in range(0, n, 65536):  # filled in pieces: no temporaries as large as the input
    data[i:i + 65536] = 100.0 + rng.random((min(65536, n - i), 4))
with_input = rss()
out = np.asarray(p._run_columns(data))
print(base, with_input, rss(), data.nbytes, out.nbytes)
"""


def peak_memory(n):
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join([here, env.get("PYTHONPATH", "")])
    line = subprocess.run(
        [sys.executable, "-c", MEMORY_CHILD, str(n), here], capture_output=True, text=True, check=True, env=env
    ).stdout.split()
    return [int(x) for x in line]


# ------------------------------------------------------------------- main


def cpu_model():
    try:
        with open("/proc/cpuinfo") as f:
            return next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), "unknown")
    except OSError:
        return "unknown"


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 1_000_000
    repeat = 5
    memory = peak_memory(n)
    data = make_ohlc(n)
    features, used = build_features()
    pipeline = sv.FeaturePipeline(features, COLUMNS)
    names = pipeline.output_names()
    print(f"bars: {n}; features ({len(pipeline)}): {', '.join(used)}; outputs: {len(names)}")
    print(f"CPU: {cpu_model()}; SIMD path: {sv._simd_path()}; {os.cpu_count()} CPUs")

    # The engine, run_research on lists and update must agree bit for bit.
    engine_out = np.asarray(pipeline._run_columns(data))
    head = data[:5000].tolist()
    listed = np.array(pipeline.run_research(head))
    pipeline.reset()
    live = np.array([pipeline.update(bar) for bar in head])
    same = np.array_equal(engine_out[:5000].view(np.uint64), listed.view(np.uint64)) and np.array_equal(
        listed.view(np.uint64), live.view(np.uint64)
    )
    print(f"engine == run_research == update (first 5000 bars, bit for bit): {same}")

    rows = data.tolist()
    timings = {}
    timings["column engine (_run_columns, NumPy in/out)"] = best_of(repeat, lambda: np.asarray(pipeline._run_columns(data)))
    timings["column engine, order='F' (column-major out)"] = best_of(
        repeat, lambda: np.asarray(pipeline._run_columns(data, order="F")))
    timings["run_research (lists)"] = best_of(repeat, lambda: pipeline.run_research(rows))
    t_in = best_of(repeat, data.tolist)
    t_out = best_of(repeat, engine_out.tolist)
    timings["conversion floor (tolist in + out)"] = t_in + t_out

    import pandas as pd
    import polars as pl

    pdf = pd.DataFrame(data, columns=COLUMNS)
    plf = pl.DataFrame(data, schema=COLUMNS)
    # The package's table entry point (columns picked by name, results back
    # as the same kind of table) and the peers it is compared with, timed in
    # turn round after round so that all of them meet the same load.
    import sarvek

    timings.update(interleaved(repeat, {
        "pandas, same features": lambda: pandas_features(pdf),
        "polars, same features": lambda: polars_features(plf),
        "compute_features, pandas in/out": lambda: sarvek.compute_features(pipeline, pdf),
        "compute_features, pandas in/out, threads=1": lambda: sarvek.compute_features(pipeline, pdf, threads=1),
        "compute_features, polars in/out": lambda: sarvek.compute_features(pipeline, plf),
    }))

    import bottleneck as bn
    import talib

    close = np.ascontiguousarray(data[:, 3])
    sma = sv.FeaturePipeline([sv.Sma(["close"], WINDOW, ["sma"])], ["close"])
    sma_out = np.asarray(sma._run_columns([close]))[:, 0]
    ref = bn.move_mean(close, WINDOW)
    print(f"Sma(20) vs bottleneck move_mean: max |diff| = {np.nanmax(np.abs(sma_out - ref)):.3g} "
          f"(bit-equal bars: {np.mean(sma_out.view(np.uint64) == ref.view(np.uint64)):.1%})")
    timings.update(interleaved(max(repeat, 7), {
        "Sma(20) via _run_columns": lambda: np.asarray(sma._run_columns([close])),
        "bottleneck move_mean(20)": lambda: bn.move_mean(close, WINDOW),
        "talib SMA(20)": lambda: talib.SMA(close, WINDOW),
    }))

    # One run over two threads, bit for bit the one-thread results.
    bounded = sv.FeaturePipeline([f for f in build_features()[0] if type(f).__name__ not in ("Ema", "Kama")],
                                 COLUMNS)
    for label, p in (("ten features", pipeline), ("without Ema/Kama", bounded)):
        one = np.asarray(p._run_columns(data, order="F", threads=1))
        two = np.asarray(p._run_columns(data, order="F", threads=2))
        if not np.array_equal(one.view(np.uint64), two.view(np.uint64)):
            raise SystemExit(f"threads=2 differs from threads=1 ({label})")
        # Nine rounds: a two-thread run is only undisturbed when both cores
        # are quiet at once, which a shared host grants less often.
        timings.update(interleaved(max(repeat, 9), {
            f"{label}, order='F', threads={threads}":
                (lambda p=p, threads=threads: np.asarray(p._run_columns(data, order="F", threads=threads)))
            for threads in (1, 2)
        }))
    by_rows, by_timings = by_symbol(n, pipeline, repeat)

    print()
    for label, seconds in timings.items():
        print(f"{label:44s} {seconds / n * 1e9:9.1f} ns/bar   ({seconds:.3f} s)")
    for label, seconds in by_timings.items():
        print(f"{label:44s} {seconds / by_rows * 1e9:9.1f} ns/bar   ({seconds:.3f} s)")

    engine = timings["column engine (_run_columns, NumPy in/out)"]
    floor = timings["conversion floor (tolist in + out)"]
    print()
    one = timings["compute_features, pandas in/out, threads=1"]
    print(f"pandas / compute_features(pandas, threads=1): {timings['pandas, same features'] / one:6.2f}x   (target >= 3)")
    print(f"pandas / engine:              {timings['pandas, same features'] / engine:6.2f}x")
    print(f"polars / engine:              {timings['polars, same features'] / engine:6.2f}x")
    for kind in ("pandas", "polars"):
        whole = timings[f"compute_features, {kind} in/out"]
        print(f"{kind} / compute_features({kind}): {timings[f'{kind}, same features'] / whole:6.2f}x   "
              f"(engine share {engine / whole:.0%})")
    print(f"Sma(20) / bottleneck:         {timings['Sma(20) via _run_columns'] / timings['bottleneck move_mean(20)']:6.2f}x   (target <= 2)")
    print(f"Sma(20) / talib:              {timings['Sma(20) via _run_columns'] / timings['talib SMA(20)']:6.2f}x")
    for kind in ("pandas", "polars"):
        whole = by_timings[f"by=, compute_features, {kind} in/out"]
        over = by_timings["by=, polars .over('symbol')"]
        print(f"by=: polars .over / compute_features({kind}):   {over / whole:6.2f}x   (target >= 2)")
        print(f"by=: pandas groupby / compute_features({kind}):  "
              f"{by_timings['by=, pandas groupby + rolling'] / whole:6.2f}x   (target >= 10)")
    print(f"run_research / (floor+engine): {timings['run_research (lists)'] / (floor + engine):6.2f}x   (target <= 1)")
    for label in ("ten features", "without Ema/Kama"):
        ratio = timings[f"{label}, order='F', threads=1"] / timings[f"{label}, order='F', threads=2"]
        print(f"threads=1 / threads=2, {label + ':':18s} {ratio:5.2f}x   (bit for bit; {os.cpu_count()} CPUs)")

    base, with_input, peak, in_bytes, out_bytes = memory
    mb = 1 << 20
    extra = peak - base - in_bytes - out_bytes
    print()
    print(f"peak memory of a column-engine run (fresh process, max RSS over the baseline): {(peak - base) / mb:.0f} MB "
          f"= input {in_bytes / mb:.0f} MB + output {out_bytes / mb:.0f} MB + {extra / mb:.0f} MB (target <= 64 MB)")


if __name__ == "__main__":
    main()
