"""Per-bar cost of FeaturePipeline, live and in research mode.

Builds one pipeline from every feature class that _sarvek provides, over
open/high/low/close with windows around 20 (one feature reads another's
output), feeds it seeded random bars and prints the time per bar of:

  - the live loop, one update() per bar;
  - run_research() over the whole dataset;
  - converting the bars alone (list(map(float, bar)) per bar), a baseline
    for what any call taking a list of floats has to pay.

Run with the module on the path, e.g.
    PYTHONPATH=build/dev python3 bench/pipeline_bench.py [bars]
"""

import math
import random
import sys
import time

import _sarvek as sv

# Class name -> (inputs, window, outputs, extra keyword arguments).
CONFIGS = {
    "Sma": (["close"], 20, ["sma_20"], {}),
    "Ema": (["close"], 20, ["ema_20"], {}),
    "Kama": (["close"], 20, ["kama_20"], {"fast": 2, "slow": 30}),
    "SimpleReturn": (["close"], 1, ["ret_1"], {}),
    "LogReturn": (["close"], 1, ["logret_1"], {}),
    "Skewness": (["logret_1"], 20, ["skew_20"], {}),
    "Kurtosis": (["logret_1"], 20, ["kurt_20"], {}),
    "LinearSlope": (["open", "close"], 20, ["slope_20", "r2_20"], {}),
    "ParkinsonVolatility": (["high", "low"], 20, ["park_20"], {}),
    "RogersSatchellVolatility": (["high", "low", "open", "close"], 20, ["rs_20"], {}),
}
# Always present, and reading another feature's output whatever else exists.
CHAINED = ("Sma", (["sma_20"], 19, ["sma_of_sma"], {}))
COLUMNS = ["open", "high", "low", "close"]


def build_features():
    features, used = [], []
    have = set(sv.__all__)
    for name, (inputs, window, outputs, extra) in CONFIGS.items():
        if name not in have:
            continue
        if inputs == ["logret_1"] and "LogReturn" not in have:
            inputs = ["close"]
        features.append(getattr(sv, name)(inputs, window, outputs, **extra))
        used.append(name)
    name, (inputs, window, outputs, extra) = CHAINED
    features.append(getattr(sv, name)(inputs, window, outputs, **extra))
    used.append(name + "(chained)")
    # Passed newest-first so resolution has work to do.
    return features[::-1], used


def make_bars(n, seed=20240601):
    rng = random.Random(seed)
    bars, close = [], 100.0
    for _ in range(n):
        open_ = close
        close = open_ * math.exp(rng.gauss(0.0, 0.01))
        high = max(open_, close) * math.exp(abs(rng.gauss(0.0, 0.004)))
        low = min(open_, close) * math.exp(-abs(rng.gauss(0.0, 0.004)))
        bars.append([open_, high, low, close])
    return bars


def best_of(repeat, fn):
    best = math.inf
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        best = min(best, time.perf_counter() - start)
    return best


def main():
    n = int(sys.argv[1]) if len(sys.argv) > 1 else 100_000
    features, used = build_features()
    pipeline = sv.FeaturePipeline(features, COLUMNS)
    bars = make_bars(n)
    print(f"features ({len(pipeline)}): {', '.join(used)}")
    print(f"outputs ({len(pipeline.output_names())}): {', '.join(pipeline.output_names())}")
    print(f"bars: {n}, warm-up: {pipeline.warm_up_period()}")

    def live():
        pipeline.reset()
        update = pipeline.update
        for bar in bars:
            update(bar)

    def research():
        pipeline.run_research(bars)

    def convert():
        for bar in bars:
            list(map(float, bar))

    # Live and research must agree bit for bit; check once before timing.
    pipeline.reset()
    live_rows = [pipeline.update(bar) for bar in bars[:2000]]
    research_rows = pipeline.run_research(bars[:2000])
    same = all(
        all((a == b) or (math.isnan(a) and math.isnan(b)) for a, b in zip(x, y))
        for x, y in zip(live_rows, research_rows)
    )
    print(f"live == research on 2000 bars: {same}")

    for label, fn in (("update (live loop)", live), ("run_research", research), ("list conversion alone", convert)):
        seconds = best_of(3, fn)
        print(f"{label:24s} {seconds / n * 1e9:9.1f} ns/bar   ({seconds:.3f} s total)")


if __name__ == "__main__":
    main()
