"""How many neighbouring bars a piece of one symbol's history needs.

Every finite-window feature is recomputed from its window on each bar, so its
output at bar t depends only on input bars [t - lookback, t]. Along a chain of
features (one reading another's output) the lookbacks add up. A piece of a
symbol's history, run from a reset state after exactly that many earlier bars
of the same symbol, therefore gives the same bits as one pass over the whole
history once the leading bars are dropped. Targets look the other way: a
label at bar t reads bars [t, t + horizon], horizon at most forward_period().

`Ema` and `Kama` are recursive: their output depends on every bar since the
start, so no finite history makes a piece exact. For them `feature_history`
returns None and callers keep a symbol's whole history together. The
numbers come from the pipeline's plan (``_plan()``), computed by the core
from each type's description.
"""

from __future__ import annotations

from typing import Any


def feature_history(pipeline: Any) -> int | None:
    """Bars of history a piece of a feature pipeline needs so that its
    results are exact: the pipeline's memory along its longest chain, where a
    feature's memory is its own lookback plus the largest memory among the
    features producing the values it reads (0 for input columns). None when
    a chain holds a feature of unbounded memory (``Ema``, ``Kama``). Each
    type's lookback is part of its description in the compiled catalogue."""
    history: int | None = pipeline._plan()["history"]
    return history


def target_future(pipeline: Any) -> int:
    """Bars after t that a target pipeline reads to label bar t: the largest
    among its targets."""
    future: int = pipeline._plan()["future"]
    return future
