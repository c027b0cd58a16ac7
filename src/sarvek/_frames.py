"""Tables in, tables out: ``compute_features`` and ``compute_targets``."""
from __future__ import annotations

import os
import sys
from collections.abc import Callable, Mapping, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any

import numpy as np
import numpy.typing as npt

import _sarvek

from . import _engine
from ._pipeline import Pipeline, PipelineLike, as_pipeline, fresh_copy

Float64 = npt.NDArray[np.float64]
Progress = Callable[[int], None]
_NUMERIC_KINDS = "biuf"
_CHUNK = 1 << 16  # bars per piece when a run reports progress
_ACCEPTED = "a pandas DataFrame, a polars DataFrame, a pyarrow Table, a dict of 1-D arrays or a 2-D NumPy array"


def _not_numeric(name: str, dtype: Any) -> TypeError:
    return TypeError(f"column {name!r} is not numeric (dtype {dtype}); sarvek reads numbers, "
                     "booleans or missing values")


class _Table:
    """One way to read columns from a kind of data and to give results back."""

    kind = ""

    def __init__(self, data: Any) -> None:
        self.data = data

    names: list[str] | None = None

    def rows(self) -> int:
        raise NotImplementedError

    def raw(self, name: str) -> Any:
        raise NotImplementedError

    def column(self, name: str) -> Float64:
        raise NotImplementedError

    def keys(self, name: str) -> np.ndarray:
        return np.asarray(self.raw(name))

    def wrap(self, names: list[str], out: Float64) -> Any:
        raise NotImplementedError

    def check_has(self, name: str, role: str) -> None:
        assert self.names is not None
        if name not in self.names:
            shown = ", ".join(map(str, self.names)) or "none"
            raise ValueError(f"missing column {name!r} ({role}); the data has columns: {shown}")


class _Pandas(_Table):
    kind = "pandas"

    def __init__(self, data: Any) -> None:
        super().__init__(data)
        self.names = list(data.columns)

    def rows(self) -> int:
        return len(self.data)

    def raw(self, name: str) -> Any:
        col = self.data[name]
        if col.ndim != 1:
            raise ValueError(f"column {name!r} appears more than once in the data")
        return col

    def column(self, name: str) -> Float64:
        import pandas as pd

        s = self.raw(name)
        dt = s.dtype
        if not (pd.api.types.is_bool_dtype(dt) or pd.api.types.is_numeric_dtype(dt)) or \
                pd.api.types.is_complex_dtype(dt):
            raise _not_numeric(name, dt)
        return np.ascontiguousarray(s.to_numpy(dtype=np.float64, na_value=np.nan))

    def keys(self, name: str) -> np.ndarray:
        return self.raw(name).to_numpy()

    def wrap(self, names: list[str], out: Float64) -> Any:
        import pandas as pd

        return pd.DataFrame(out, columns=names, index=self.data.index)


class _Polars(_Table):
    kind = "polars"

    def __init__(self, data: Any) -> None:
        super().__init__(data)
        self.names = list(data.columns)

    def rows(self) -> int:
        return int(self.data.height)

    def raw(self, name: str) -> Any:
        return self.data.get_column(name)

    def column(self, name: str) -> Float64:
        import polars as pl

        s = self.raw(name)
        if not (s.dtype.is_numeric() or s.dtype in (pl.Boolean, pl.Null)):
            raise _not_numeric(name, s.dtype)
        values = s.cast(pl.Float64).fill_null(float("nan")).to_numpy()
        return np.ascontiguousarray(values, dtype=np.float64)

    def keys(self, name: str) -> np.ndarray:
        return self.raw(name).to_numpy()

    def wrap(self, names: list[str], out: Float64) -> Any:
        import polars as pl

        return pl.DataFrame({n: out[:, k] for k, n in enumerate(names)}, schema={n: pl.Float64 for n in names})


class _Arrow(_Table):
    kind = "pyarrow"

    def __init__(self, data: Any) -> None:
        super().__init__(data)
        self.names = list(data.column_names)

    def rows(self) -> int:
        return int(self.data.num_rows)

    def raw(self, name: str) -> Any:
        if self.data.column_names.count(name) > 1:
            raise ValueError(f"column {name!r} appears more than once in the data")
        return self.data.column(name)

    def column(self, name: str) -> Float64:
        import pyarrow as pa

        col = self.raw(name)
        t = col.type
        if not (pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_boolean(t)
                or pa.types.is_null(t) or pa.types.is_decimal(t)):
            raise _not_numeric(name, t)
        values = col.cast(pa.float64()).fill_null(float("nan")) if col.null_count or not pa.types.is_float64(t) \
            else col
        return np.ascontiguousarray(values.to_numpy(), dtype=np.float64)

    def keys(self, name: str) -> np.ndarray:
        return self.raw(name).to_numpy()

    def wrap(self, names: list[str], out: Float64) -> Any:
        import pyarrow as pa

        return pa.table({n: pa.array(out[:, k], type=pa.float64()) for k, n in enumerate(names)})


class _Dict(_Table):
    kind = "dict"

    def __init__(self, data: Any) -> None:
        super().__init__(data)
        self.names = list(data.keys())
        self._length: int | None = None

    def rows(self) -> int:
        if self._length is None:
            for name in self.names or ():
                return len(self.raw(name))
            return 0
        return self._length

    def raw(self, name: str) -> Any:
        values = np.asarray(self.data[name])
        if values.ndim != 1:
            raise ValueError(f"column {name!r} must be 1-D, got an array of shape {values.shape}")
        return values

    def column(self, name: str) -> Float64:
        values = self.raw(name)
        if values.dtype.kind not in _NUMERIC_KINDS:
            raise _not_numeric(name, values.dtype)
        if self._length is None:
            self._length = len(values)
        elif len(values) != self._length:
            raise ValueError(f"column {name!r} has {len(values)} values where the columns before it have "
                             f"{self._length}")
        return np.ascontiguousarray(values, dtype=np.float64)

    def wrap(self, names: list[str], out: Float64) -> Any:
        return {n: np.ascontiguousarray(out[:, k]) for k, n in enumerate(names)}


class _Array(_Table):
    kind = "ndarray"

    def rows(self) -> int:
        return int(self.data.shape[0])

    def wrap(self, names: list[str], out: Float64) -> Any:
        return out


def _table(data: Any) -> _Table:
    pd, pl, pa = (sys.modules.get(m) for m in ("pandas", "polars", "pyarrow"))
    if pd is not None and isinstance(data, pd.DataFrame):
        return _Pandas(data)
    if pl is not None and isinstance(data, pl.DataFrame):
        return _Polars(data)
    if pa is not None and isinstance(data, pa.Table):
        return _Arrow(data)
    if isinstance(data, np.ndarray):
        return _Array(data)
    if isinstance(data, Mapping):
        return _Dict(data)
    hint = ""
    if pl is not None and isinstance(data, pl.LazyFrame):
        hint = " (collect() the LazyFrame first)"
    raise TypeError(f"data must be {_ACCEPTED}, got {type(data).__module__}.{type(data).__qualname__}{hint}")


def _input_columns(table: _Table, inputs: list[str]) -> list[Float64]:
    if isinstance(table, _Array):
        arr = table.data
        if arr.ndim != 2 or arr.shape[1] != len(inputs):
            raise ValueError(
                f"a 2-D array needs one column per input column ({', '.join(inputs)}): expected shape "
                f"(bars, {len(inputs)}), got {arr.shape}"
            )
        if arr.dtype.kind not in _NUMERIC_KINDS:
            raise TypeError(f"the array is not numeric (dtype {arr.dtype})")
        return [np.ascontiguousarray(arr[:, j], dtype=np.float64) for j in range(len(inputs))]
    for name in inputs:
        table.check_has(name, "an input column of the pipeline")
    return [table.column(name) for name in inputs]


def _codes(keys: np.ndarray) -> npt.NDArray[np.intp]:
    """One integer per row, equal for equal keys; every missing key shares one code."""
    try:
        import pandas as pd
    except ImportError:
        pd = None
    if pd is not None:
        # Hashing, not sorting: linear in the rows, also for string keys.
        codes, _ = pd.factorize(keys, use_na_sentinel=True)
        codes = np.asarray(codes, dtype=np.intp)
        missing = codes < 0
        if missing.any():
            codes[missing] = codes.max(initial=-1) + 1
        return codes
    try:
        _, inverse = np.unique(keys, return_inverse=True)
        return np.asarray(inverse, dtype=np.intp).reshape(-1)
    except TypeError:  # keys numpy cannot order (mixed types, None)
        table: dict[Any, int] = {}
        nan_key = object()
        return np.fromiter(
            (table.setdefault(nan_key if k != k else k, len(table)) for k in keys.tolist()),
            dtype=np.intp, count=len(keys),
        )


def _groups(keys: np.ndarray) -> list[npt.NDArray[np.intp]]:
    """Row indices of each distinct key, each in row order."""
    if len(keys) == 0:
        return []
    codes = _codes(keys)
    order = np.argsort(codes, kind="stable")
    counts = np.bincount(codes)
    return [g for g in np.split(order, np.cumsum(counts)[:-1]) if len(g)]


def _run_one(pipeline: Pipeline, columns: Sequence[Float64], bars: int, progress: Progress | None) -> Float64:
    if isinstance(pipeline, _sarvek.TargetPipeline):
        out = _engine.run_targets(pipeline, columns, bars)
        if progress:
            progress(bars)
        return out
    if progress is None or bars <= _CHUNK:
        out = _engine.run_features(pipeline, columns, bars)
        if progress:
            progress(bars)
        return out
    out = np.empty((bars, len(pipeline.output_names())), dtype=np.float64)
    for begin in range(0, bars, _CHUNK):
        end = min(bars, begin + _CHUNK)
        out[begin:end] = _engine.run_features(pipeline, [c[begin:end] for c in columns], end - begin,
                                              reset=begin == 0)
        progress(end - begin)
    return out


def compute_array(
    pipeline: Pipeline,
    table_or_data: Any,
    *,
    by: str | None = None,
    workers: int | None = None,
    progress: Progress | None = None,
) -> Float64:
    """The (rows, outputs) float64 result of running ``pipeline`` over the data."""
    table = table_or_data if isinstance(table_or_data, _Table) else _table(table_or_data)
    inputs = pipeline.input_names()
    columns = _input_columns(table, inputs)
    rows = len(columns[0]) if columns else table.rows()
    if by is None:
        return _run_one(fresh_copy(pipeline), columns, rows, progress)
    if table.names is None:
        raise TypeError("by= needs data with named columns; a 2-D array has none")
    if not isinstance(by, str):
        raise TypeError(f"by must be a column name, got {type(by).__name__}")
    table.check_has(by, "the by= column")
    keys = table.keys(by)
    out = np.empty((rows, len(pipeline.output_names())), dtype=np.float64)
    groups = _groups(keys)
    jobs = [(idx, fresh_copy(pipeline)) for idx in groups]

    def run(job: tuple[npt.NDArray[np.intp], Pipeline]) -> None:
        idx, pipe = job
        out[idx] = _run_one(pipe, [c[idx] for c in columns], len(idx), None)
        if progress:
            progress(len(idx))

    workers = workers or os.cpu_count() or 1
    if workers < 1:
        raise ValueError(f"workers must be at least 1, got {workers}")
    if workers == 1 or len(jobs) <= 1:
        for job in jobs:
            run(job)
    else:
        with ThreadPoolExecutor(max_workers=min(workers, len(jobs))) as pool:
            for _ in pool.map(run, jobs):
                pass
    return out


def _compute(want: type, pipeline: PipelineLike, data: Any, by: str | None, workers: int | None,
             progress: Progress | None = None) -> Any:
    pipe = as_pipeline(pipeline)
    if not isinstance(pipe, want):
        other = "compute_targets" if want is _sarvek.FeaturePipeline else "compute_features"
        raise TypeError(f"expected a {want.__name__}, got a {type(pipe).__name__}; use {other} for it")
    table = _table(data)
    out = compute_array(pipe, table, by=by, workers=workers, progress=progress)
    return table.wrap(pipe.output_names(), out)


def compute_features(pipeline: PipelineLike, data: Any, *, by: str | None = None,
                     workers: int | None = None) -> Any:
    """Run a feature pipeline over a table and return its outputs as a table.

    ``pipeline``: a ``FeaturePipeline``, its dict form or a path to a TOML
    file. ``data``: a pandas DataFrame, polars DataFrame, pyarrow Table or
    dict of 1-D arrays (input columns picked by name, other columns ignored),
    or a 2-D NumPy array with exactly one column per input column. Integers,
    booleans and float32 become float64; nulls are missing. Returns the same
    kind of object with one float64 column per output name, in
    ``output_names()`` order (pandas keeps the index; NaN for missing).

    ``by="symbol"``: a fresh copy of the pipeline per distinct value of that
    column, the groups spread over ``workers`` threads (default: one per
    CPU); rows stay in their original order. The pipeline object passed in
    is never touched: every run uses a fresh copy.
    """
    return _compute(_sarvek.FeaturePipeline, pipeline, data, by, workers)


def compute_targets(pipeline: PipelineLike, data: Any, *, by: str | None = None,
                    workers: int | None = None) -> Any:
    """Label a table with a target pipeline; takes and returns data exactly as
    ``compute_features`` does (the last bars of each group, whose future is
    beyond the data, get NaN)."""
    return _compute(_sarvek.TargetPipeline, pipeline, data, by, workers)
