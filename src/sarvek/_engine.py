"""The one place that hands columns to the compiled engine.

Everything in the package that computes goes through these two functions,
which call the columnar entry points of ``_sarvek``: whole float64 columns
in, one (bars, outputs) table out, computed with the interpreter lock
released.
"""
from __future__ import annotations

from collections.abc import Sequence

import numpy as np
import numpy.typing as npt

import _sarvek

Columns = Sequence[npt.NDArray[np.float64]]


def _data(columns: Columns, bars: int) -> list[npt.NDArray[np.float64]] | npt.NDArray[np.float64]:
    # Without input columns the bar count travels in a (bars, 0) table.
    return list(columns) if len(columns) else np.empty((bars, 0), dtype=np.float64)


def run_features(
    pipeline: _sarvek.FeaturePipeline, columns: Columns, bars: int, *, reset: bool = True
) -> npt.NDArray[np.float64]:
    """Run a feature pipeline over one float64 column per input column.

    Returns a (bars, outputs) float64 array, NaN for missing; the array wraps
    the engine's result without a copy. With ``reset=False`` the run
    continues from the pipeline's current state.
    """
    return np.asarray(pipeline._run_columns(_data(columns, bars), reset=reset))


def run_targets(pipeline: _sarvek.TargetPipeline, columns: Columns, bars: int) -> npt.NDArray[np.float64]:
    """Label one float64 column per input column; (bars, outputs) float64 out."""
    return np.asarray(pipeline._run_columns(_data(columns, bars)))
