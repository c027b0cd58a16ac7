"""A short tour of sarvek over the shipped sample bars.

Run after installing the module:  python3 examples/demo.py
"""
import csv
import math
import pathlib

import _sarvek as sv

COLUMNS = ["bar", "open", "high", "low", "close", "volume"]


def load_bars():
    path = pathlib.Path(__file__).with_name("sample_bars.csv")
    with path.open(newline="") as f:
        rows = list(csv.DictReader(f))
    # A missing cell travels as NaN.
    return [[float(r[c]) if r[c] else math.nan for c in COLUMNS] for r in rows]


def fmt(values):
    return "  ".join("   nan   " if math.isnan(v) else f"{v:9.4f}" for v in values)


def stream_sma(bars):
    print("== Live: a 20-bar simple moving average of close, one bar per call")
    sma = sv.Sma(["close"], 20, ["sma_20"])
    print(repr(sma), "warm-up", sma.warm_up_period())
    close = COLUMNS.index("close")
    for i, bar in enumerate(bars):
        (value,) = sma.update([bar[close]])
        if i in (0, 18, 19, 20, 137, 157, 158, len(bars) - 1):
            print(f"  bar {i:3d}  close {bar[close]:9.4f}  sma_20 {fmt([value])}")


def make_features():
    # Passed in any order: the pipeline runs each producer before its readers.
    return [
        sv.Sma(["ret_1"], 10, ["ret_mean_10"]),  # reads LogReturn's output
        sv.LogReturn(["close"], 1, ["ret_1"]),
        sv.Ema(["close"], 20, ["ema_20"]),
        sv.Kama(["close"], 10, ["kama_10"]),
        sv.Skewness(["ret_1"], 30, ["ret_skew_30"]),
        sv.LinearSlope(["bar", "close"], 20, ["trend_20", "trend_r2_20"]),
        sv.ParkinsonVolatility(["high", "low"], 20, ["park_vol_20"]),
        sv.RogersSatchellVolatility(["high", "low", "open", "close"], 20, ["rs_vol_20"]),
    ]


def features(bars):
    print("\n== Live and research: a FeaturePipeline with a dependency")
    pipeline = sv.FeaturePipeline(make_features(), COLUMNS)
    names = pipeline.output_names()
    print(f"  {len(pipeline)} features, warm-up {pipeline.warm_up_period()}; execution order: {', '.join(names)}")

    live = [pipeline.update(bar) for bar in bars]  # one bar per call, as on a live feed
    research = pipeline.run_research(bars)  # resets, then the whole history at once
    same = all(
        all(a == b or (math.isnan(a) and math.isnan(b)) for a, b in zip(x, y)) for x, y in zip(live, research)
    )
    print(f"  live and research results agree bit for bit: {same}")
    for i in (29, 30, 140, len(bars) - 1):
        print(f"  bar {i:3d}  " + "  ".join(f"{n} {fmt([v])}" for n, v in zip(names, research[i])))


def label(bars):
    print("\n== Research: forward labels for every bar with a TargetPipeline")
    targets = [
        sv.FutureReturn(["close"], 5, ["ret_fwd_5"]),
        sv.FutureCTCVolatility("close", 10),
        sv.FutureLinearSlope(["bar", "close"], 10, ["trend_fwd_10", "trend_r2_fwd_10"]),
    ]
    for t in targets:
        print(" ", repr(t))
    pipeline = sv.TargetPipeline(targets, COLUMNS)
    columns = [list(col) for col in zip(*bars)]  # the target pipeline is column-major
    labels = pipeline.run_research(columns)
    names = pipeline.output_names()
    print(f"  forward period {pipeline.forward_period()}; labels: {', '.join(names)}")
    for i in (0, 130, 250, len(bars) - 6, len(bars) - 1):
        print(f"  bar {i:3d}  " + "  ".join(f"{n} {fmt([col[i]])}" for n, col in zip(names, labels)))


def main():
    bars = load_bars()
    print(f"{len(bars)} bars of {', '.join(COLUMNS)}\n")
    stream_sma(bars)
    features(bars)
    label(bars)


if __name__ == "__main__":
    main()
