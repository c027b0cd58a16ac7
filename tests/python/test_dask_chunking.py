"""The history a piece of a symbol's bars needs is exact and tight."""

import numpy as np
import pytest

import _sarvek as sv

import sarvek
from sarvek import _chunking

PRICES = ["open", "high", "low", "close"]
# Types that may read any column, and types that need positive prices.
ANY_INPUT = ["Sma", "Skewness", "Kurtosis", "LinearSlope", "RollingStd", "BollingerBands", "Wma", "RollingMax",
             "RollingMin", "RollingCorrelation", "Vwap", "Stochastic", "Cci", "Mfi", "RollingQuantile", "RollingRank",
             "DonchianChannel"]
PRICE_ONLY = ["SimpleReturn", "LogReturn", "ParkinsonVolatility", "RogersSatchellVolatility", "GarmanKlassVolatility",
              "YangZhangVolatility"]
CATALOG = {e["name"]: e for e in sv._catalog()}


def random_feature_pipeline(rng, count):
    """A pipeline of `count` finite-window features, many reading others' outputs."""
    entries, produced = [], []
    for i in range(count):
        chained = produced and rng.random() < 0.7
        kind = rng.choice(ANY_INPUT if chained else ANY_INPUT + PRICE_ONLY)
        n_in, n_out = CATALOG[kind]["reads"], CATALOG[kind]["produces"]
        pool = produced if chained else PRICES
        # Distinct inputs: a slope of a column on itself is degenerate.
        choices = pool if len(pool) >= n_in else pool + PRICES
        inputs = [str(c) for c in rng.choice(choices, n_in, replace=False)]
        if kind == "ParkinsonVolatility":
            inputs = ["high", "low"]
        elif kind in ("RogersSatchellVolatility", "GarmanKlassVolatility", "YangZhangVolatility"):
            inputs = ["high", "low", "open", "close"]
        low = next(p["minimum"] for p in CATALOG[kind]["params"] if p["name"] == "window") + 1
        window = int(rng.integers(low, low + 6))
        outputs = [f"f{i}_{k}" for k in range(n_out)]
        entries.append({"type": str(kind), "inputs": inputs, "window": window, "outputs": outputs})
        produced += outputs
    order = rng.permutation(len(entries))  # the pipeline resolves the order
    entries = [entries[j] for j in order]
    features = [
        CATALOG[e["type"]]["class"](**{k: v for k, v in e.items() if k != "type"}) for e in entries
    ]
    return sv.FeaturePipeline(features, PRICES)


def random_bars(rng, n, missing):
    close = 100.0 * np.exp(np.cumsum(rng.normal(0.0, 0.01, n)))
    open_ = close * np.exp(rng.normal(0.0, 0.003, n))
    high = np.maximum(open_, close) * np.exp(np.abs(rng.normal(0.0, 0.003, n)))
    low = np.minimum(open_, close) * np.exp(-np.abs(rng.normal(0.0, 0.003, n)))
    bars = np.column_stack([open_, high, low, close])
    bars[rng.random(bars.shape) < missing] = np.nan
    return bars


def run(pipeline, bars):
    rows = pipeline.run_research(bars.tolist())
    return np.asarray(rows, dtype=np.float64).reshape(len(bars), len(pipeline.output_names()))


def pieces(pipeline, bars, cuts, history):
    """Each piece run from a reset state after `history` earlier bars."""
    out = []
    for start, stop in zip(cuts[:-1], cuts[1:]):
        begin = max(0, start - history)
        out.append(run(pipeline, bars[begin:stop])[start - begin :])
    return np.concatenate(out)


@pytest.mark.parametrize("seed", range(12))
def test_feature_history_is_exact_and_tight(seed):
    rng = np.random.default_rng(seed)
    pipeline = random_feature_pipeline(rng, int(rng.integers(2, 8)))
    history = _chunking.feature_history(pipeline)
    assert history == pipeline._plan()["history"]
    n = 400
    cuts = [0, *sorted(rng.choice(np.arange(history + 1, n - 1), 6, replace=False)), n]

    gappy = random_bars(rng, n, missing=0.03)
    whole = run(pipeline, gappy).view(np.uint64)
    assert np.array_equal(pieces(pipeline, gappy, cuts, history).view(np.uint64), whole)

    # On bars without gaps the longest chain is valid at every piece's first
    # bar with enough history and missing with one bar less.
    clean = random_bars(rng, n, missing=0.0)
    short = pieces(pipeline, clean, cuts, history - 1).view(np.uint64)
    assert not np.array_equal(short, run(pipeline, clean).view(np.uint64))


@pytest.mark.parametrize(
    "entries, expected",
    [
        ([], 0),
        ([("Sma", ["close"], 1, ["a"])], 0),
        ([("LogReturn", ["close"], 1, ["r"]), ("Sma", ["r"], 5, ["s"])], 5),
        # Longest chain wins over the widest single window; order given does not matter.
        (
            [
                ("Sma", ["s2"], 3, ["s3"]),
                ("Sma", ["close"], 20, ["wide"]),
                ("SimpleReturn", ["close"], 10, ["s1"]),
                ("Kurtosis", ["s1"], 12, ["s2"]),
            ],
            23,
        ),
        ([("Sma", ["close"], 3, ["a"]), ("Ema", ["a"], 3, ["e"])], None),
        ([("Kama", ["close"], 10, ["k"])], None),
        # Names beyond those a feature reads, and names it never computes,
        # carry no history.
        ([("LogReturn", ["close"], 9, ["r", "never"]), ("Sma", ["close", "r"], 2, ["s"])], 9),
        ([("Ema", ["close"], 3, ["e", "never"]), ("Sma", ["never"], 4, ["s"])], None),
        ([("LogReturn", ["close"], 2, ["r", "never"]), ("Sma", ["never"], 4, ["s"])], 3),
    ],
)
def test_feature_history_examples(entries, expected):
    features = [getattr(sv, t)(i, w, o) for t, i, w, o in entries]
    assert _chunking.feature_history(sv.FeaturePipeline(features, ["close"])) == expected


@pytest.mark.parametrize("seed", range(6))
def test_target_future_is_exact_and_tight(seed):
    rng = np.random.default_rng(100 + seed)
    targets = [
        sv.FutureReturn(["close"], int(rng.integers(1, 9)), ["fr"]),
        sv.FutureCTCVolatility("close", int(rng.integers(2, 9))),
        sv.FutureLinearSlope(["open", "close"], int(rng.integers(2, 9)), ["slope", "r2"]),
        sarvek.FutureExtremes(["close"], int(rng.integers(1, 9)), ["max_ret", "min_ret"]),
        sarvek.FutureDirection(["close"], int(rng.integers(1, 9)), ["dir"], threshold=0.001),
    ]
    chosen = [targets[j] for j in rng.permutation(len(targets))[: rng.integers(1, len(targets) + 1)]]
    pipeline = sv.TargetPipeline(chosen, PRICES)
    future = _chunking.target_future(pipeline)
    assert future == max(p["horizon"] for p in pipeline._plan()["targets"]) <= pipeline.forward_period()
    n = 300
    cuts = [0, *sorted(rng.choice(np.arange(1, n - 1), 7, replace=False)), n]

    def label(rows):
        cols = pipeline.run_research([rows[:, j].tolist() for j in range(4)])
        return np.asarray(cols, dtype=np.float64).T

    def in_pieces(rows, ahead):
        return np.concatenate([label(rows[a : min(n, b + ahead)])[: b - a] for a, b in zip(cuts[:-1], cuts[1:])])

    gappy = random_bars(rng, n, missing=0.03)
    assert np.array_equal(in_pieces(gappy, future).view(np.uint64), label(gappy).view(np.uint64))
    # One bar less of future loses the last label of every piece.
    clean = random_bars(rng, n, missing=0.0)
    assert not np.array_equal(in_pieces(clean, future - 1).view(np.uint64), label(clean).view(np.uint64))
