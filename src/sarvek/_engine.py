"""The one place that hands columns to the compiled engine.

Everything in the package that computes goes through these two functions,
which call the columnar entry points of ``_sarvek``: whole float64 columns
in, one (bars, outputs) table out, computed with the interpreter lock
released.
"""
from __future__ import annotations

from collections.abc import Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

import _sarvek

Columns = Sequence[npt.NDArray[np.float64]]


def _data(columns: Columns, bars: int) -> list[npt.NDArray[np.float64]] | npt.NDArray[np.float64]:
    # Without input columns the bar count travels in a (bars, 0) table.
    return list(columns) if len(columns) else np.empty((bars, 0), dtype=np.float64)


Present = npt.NDArray[np.bool_]


def _split(result: Any, validity: bool) -> Any:
    if not validity:
        return np.asarray(result)
    values: Any = result[0]
    flags = np.asarray(result[1])
    flags = flags.view(np.bool_) if flags.dtype == np.uint8 else flags.astype(np.bool_, copy=False)
    return np.asarray(values), flags


def run_features(
    pipeline: _sarvek.FeaturePipeline, columns: Columns, bars: int, *, reset: bool = True,
    validity: bool = False, order: Literal["C", "F"] = "C", out: npt.NDArray[np.float64] | None = None,
    threads: int = 1,
) -> Any:
    """Run a feature pipeline over one float64 column per input column.

    Returns a (bars, outputs) float64 array, NaN for missing; the array wraps
    the engine's result without a copy. With ``reset=False`` the run
    continues from the pipeline's current state. With ``validity=True``
    returns ``(values, present)``, ``present`` a (bars, outputs) bool array,
    False where an output is missing (a computed NaN is present).
    ``order="F"`` lays both out column after column, so each output is one
    contiguous run a table library can take over without a copy. ``out``: a
    writable (bars, outputs) float64 array, contiguous in that order, the
    values are written into (and which is returned) instead of a new one.
    ``threads``: the run cut into pieces of bars over at most that many
    threads, with the bits and the final state of one thread (recursions
    such as Ema run whole on the calling thread beside the pieces).
    """
    data = _data(columns, bars)
    return _split(pipeline._run_columns(data, reset=reset, validity=validity, order=order, out=out,
                                        threads=threads), validity)


def run_targets(pipeline: _sarvek.TargetPipeline, columns: Columns, bars: int, *, validity: bool = False,
                order: Literal["C", "F"] = "C", out: npt.NDArray[np.float64] | None = None,
                threads: int = 1) -> Any:
    """Label one float64 column per input column; (bars, outputs) float64 out,
    or ``(values, present)`` with ``validity=True``, ``order``, ``out`` and
    ``threads`` as ``run_features``."""
    data = _data(columns, bars)
    return _split(pipeline._run_columns(data, validity=validity, order=order, out=out, threads=threads), validity)
