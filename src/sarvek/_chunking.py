"""How many neighbouring bars a piece of one symbol's history needs.

Every finite-window feature is recomputed from its window on each bar, so its
output at bar t depends only on input bars [t - lookback, t]. Along a chain of
features (one reading another's output) the lookbacks add up. A piece of a
symbol's history, run from a reset state after exactly that many earlier bars
of the same symbol, therefore gives the same bits as one pass over the whole
history once the leading bars are dropped. Targets look the other way: a
label at bar t reads bars [t, t + forward_period()].

`Ema` and `Kama` are recursive: their output depends on every bar since the
start, so no finite history makes a piece exact. For them `feature_history`
returns None and callers keep a symbol's whole history together.
"""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

# Bars before t that a feature reads to produce its value at t, by window.
# A moment or range window of `window` bars spans t - window + 1 .. t; a
# return over `window` bars reads t - window and t.
_LOOKBACK = {
    "Sma": lambda w: w - 1,
    "Skewness": lambda w: w - 1,
    "Kurtosis": lambda w: w - 1,
    "LinearSlope": lambda w: w - 1,
    "ParkinsonVolatility": lambda w: w - 1,
    "RogersSatchellVolatility": lambda w: w - 1,
    "SimpleReturn": lambda w: w,
    "LogReturn": lambda w: w,
}

# Features whose state carries every bar since the last reset.
UNBOUNDED = frozenset({"Ema", "Kama"})


def feature_history(config: Mapping[str, Any]) -> int | None:
    """Bars of history a piece needs so that its results are exact.

    ``config`` is a feature pipeline's plain-data form (``_config()``):
    ``{"input_columns": [...], "features": [{"type", "inputs", "window",
    "outputs", ...}, ...]}``, features in any order. Returns the pipeline's
    memory along its longest chain, where a feature's memory is its own
    lookback plus the largest memory among the features producing its
    inputs (0 for input columns). Returns None when the pipeline holds a
    feature of unbounded memory (``Ema``, ``Kama``) or of a type whose
    memory is not known here.
    """
    features = list(config["features"])
    producer: dict[str, int] = {}
    for i, entry in enumerate(features):
        if entry["type"] not in _LOOKBACK:
            return None
        for name in entry["outputs"]:
            producer[name] = i

    memory: dict[int, int] = {}

    def feature_memory(i: int, path: frozenset[int]) -> int:
        if i in memory:
            return memory[i]
        if i in path:  # a pipeline never holds a cycle; refuse to loop
            raise ValueError("features form a dependency cycle")
        entry = features[i]
        upstream = 0
        for name in entry["inputs"]:
            j = producer.get(name)
            if j is not None and j != i:
                upstream = max(upstream, feature_memory(j, path | {i}))
        memory[i] = _LOOKBACK[entry["type"]](int(entry["window"])) + upstream
        return memory[i]

    return max((feature_memory(i, frozenset()) for i in range(len(features))), default=0)


def target_future(config: Mapping[str, Any]) -> int:
    """Bars after t that a target pipeline reads to label bar t.

    ``config`` is a target pipeline's plain-data form; each target reads
    at most ``horizon`` bars ahead (its forward period), so the largest
    horizon is enough for every piece.
    """
    return max((int(entry["horizon"]) for entry in config["targets"]), default=0)
