"""sarvek: causal streaming features, forward labels and pipelines for bar data.

The fifteen classes of the compiled core ``_sarvek`` are re-exported here
unchanged, with the further feature and target classes of its catalogue
(``RollingStd``, ``ZScore``, ``BollingerBands``, ...), beside what a
researcher works with day to day:

* ``compute_features`` / ``compute_targets``: run a pipeline over a pandas or
  polars DataFrame, a pyarrow Table, a dict of arrays or a 2-D NumPy array,
  picking input columns by name, and get the same kind of table back;
  ``by="symbol"`` runs each symbol on its own copy of the pipeline.
* ``pipeline_from_dict`` / ``pipeline_to_dict`` / ``load_pipeline`` /
  ``save_pipeline``: pipelines as plain data and TOML files, shared by research,
  live trading and other processes.
* ``first_valid_bar``: the first bar at which each output can be valid,
  counting chains of features.
* ``Universe``: live updates of many symbols in one call per bar, each bit
  for bit its own pipeline; ``state()`` / ``Universe.from_state`` and
  ``save_state`` / ``load_state`` snapshot and restore exactly.

Results are bit for bit those of ``run_research`` on the same numbers.
"""
from __future__ import annotations

from _sarvek import (
    Ema,
    FeaturePipeline,
    FutureCTCVolatility,
    FutureLinearSlope,
    FutureReturn,
    Kama,
    Kurtosis,
    LinearSlope,
    LogReturn,
    ParkinsonVolatility,
    RogersSatchellVolatility,
    SimpleReturn,
    Skewness,
    Sma,
    TargetPipeline,
)

# The catalogue's further classes, as the compiled core lists them: every
# one is exported here, none has to be named.
import _sarvek._classes
from _sarvek._classes import *  # noqa: F403

from ._frames import compute_features, compute_targets
from ._pipeline import (
    PipelineError,
    PipelineWarning,
    first_valid_bar,
    load_pipeline,
    pipeline_from_dict,
    pipeline_to_dict,
    save_pipeline,
)
from ._universe import Universe, load_state, save_state


def _distribution_version() -> str:
    try:
        from importlib.metadata import PackageNotFoundError, version
    except ImportError:  # pragma: no cover
        return "0.1.0"
    try:
        return version("sarvek")
    except PackageNotFoundError:
        return "0.1.0"


__version__: str = _distribution_version()

__all__ = [
    "Sma", "Ema", "Kama", "SimpleReturn", "LogReturn", "Skewness", "Kurtosis", "LinearSlope",
    "ParkinsonVolatility", "RogersSatchellVolatility", "FutureReturn", "FutureCTCVolatility",
    "FutureLinearSlope", "FeaturePipeline", "TargetPipeline",
    "compute_features", "compute_targets", "pipeline_from_dict", "pipeline_to_dict", "load_pipeline",
    "save_pipeline", "first_valid_bar", "PipelineError", "PipelineWarning", "__version__",
    "Universe", "save_state", "load_state",
]
__all__ += _sarvek._classes.__all__
