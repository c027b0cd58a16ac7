"""The one place that hands columns to the compiled engine.

Everything in the package that computes goes through these two functions.
They use the columnar entry points of ``_sarvek`` when the extension has
them and otherwise the list-based ``run_research``; both give the same bits.
"""
from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

import _sarvek

Columns = Sequence[npt.NDArray[np.float64]]


def has_columnar_engine() -> bool:
    """Whether the extension can run columns in pieces (``reset=False``)."""
    return hasattr(_sarvek.FeaturePipeline, "_run_columns")


def _empty(bars: int, width: int) -> npt.NDArray[np.float64]:
    return np.full((bars, width), np.nan, dtype=np.float64)


def run_features(
    pipeline: _sarvek.FeaturePipeline, columns: Columns, bars: int, *, reset: bool = True
) -> npt.NDArray[np.float64]:
    """Run a feature pipeline over one float64 column per input column.

    Returns a (bars, outputs) float64 array, NaN for missing. With
    ``reset=False`` the run continues from the pipeline's current state.
    """
    width = len(pipeline.output_names())
    if hasattr(pipeline, "_run_columns"):
        return np.asarray(pipeline._run_columns(list(columns), reset=reset), dtype=np.float64)
    if bars == 0:
        return _empty(0, width)
    rows = np.column_stack(list(columns)).tolist() if len(columns) else [[] for _ in range(bars)]
    if reset:
        out = pipeline.run_research(rows)
    else:  # continue from the current state, one bar at a time
        out = [pipeline.update(row) for row in rows]
    return np.asarray(out, dtype=np.float64).reshape(bars, width)


def run_targets(pipeline: _sarvek.TargetPipeline, columns: Columns, bars: int) -> npt.NDArray[np.float64]:
    """Label one float64 column per input column; (bars, outputs) float64 out."""
    width = len(pipeline.output_names())
    if hasattr(pipeline, "_run_columns"):
        return np.asarray(pipeline._run_columns(list(columns)), dtype=np.float64)
    out = pipeline.run_research([c.tolist() for c in columns])
    if bars == 0 or width == 0:
        return _empty(bars, width)
    return np.asarray(out, dtype=np.float64).T
