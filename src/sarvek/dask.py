"""Features and targets over a Dask DataFrame, bit-identical to one process.

``compute_features(ddf, pipeline, by="symbol")`` and ``compute_targets(...)``
return a lazy Dask DataFrame with the input's index, the ``by`` column, the
columns named by ``keep=`` and one float64 column per output name. Its
partitions are those of the input as Dask plans it once only the needed
columns are read (partition i of the result holds the rows of that
partition i, in the same order; Dask may fuse small files of a Parquet read
into one partition then), so rows are best joined back to their bars
through kept columns (``keep=["time"]``). Nothing runs until the result is
computed, under whatever scheduler is current: the default local one, or a
``distributed.Client`` connected to a scheduler address.

Pipelines reach the workers as plain data (their dict form) and each task
builds its own. Rows of one symbol are taken in the order they appear in the
frame, partition after partition, as ``sarvek.compute_features(..., by=)``
takes them in one process. How a symbol split over several partitions is
computed depends on the pipeline:

- **Finite memory** (no ``Ema`` or ``Kama``): each partition runs alone, each
  symbol's rows preceded by exactly as many earlier bars of that symbol as
  the pipeline's longest chain of windows reads (taken from earlier
  partitions, several if they are short), and those bars are dropped again.
  Targets get the bars that follow instead, from later partitions. Every
  window is recomputed from the window itself, so each piece gives exactly
  the bits one pass over the whole history gives.
- **Unbounded memory** (``Ema``, ``Kama`` are recursive and depend on every
  bar since the start): no piece can be cut exactly, so each symbol's whole
  history is gathered into one task (symbols are hashed into ``buckets``
  groups, order kept), computed in one pass and the results are sent back to
  their partitions. This moves the data once across the cluster and needs a
  symbol's whole history in one worker's memory; the numbers are the same.
  With ``carry_state=True`` each bucket runs instead as a chain of tasks,
  partition after partition, every symbol continuing from the pipeline
  snapshot the task before handed on: one partition's rows per task, and
  the same numbers again.

Every task is pure (the same inputs give the same outputs), so a task Dask
reruns after losing a worker cannot duplicate or lose rows. Data that a
symbol's run refuses (a column that is not numeric, for instance) fails the
computation with :class:`SymbolError` naming the symbol (a column that is
not numeric raises one that is also the TypeError one process raises, with
the same message after the symbol). With ``time=`` (or an index of
datetimes) every task also checks that its symbols' times never go back,
including against the bar carried from the neighbouring partition.

Needs the ``dask`` extra: ``pip install sarvek[dask]``.
"""

from __future__ import annotations

import math
import os
import shutil
from collections.abc import Mapping, Sequence
from functools import partial
from typing import Any

import numpy as np
import pandas as pd

import dask.dataframe as dd
from dask import delayed
from dask.dataframe.utils import make_meta

import _sarvek

from sarvek import _chunking, _engine
from sarvek._checks import check_time_order, numeric_values
from sarvek._io import parquet_options
from sarvek._pipeline import as_pipeline, pipeline_from_dict, pipeline_to_dict, process_alive

__all__ = ["SymbolError", "compute_features", "compute_targets"]


class SymbolError(ValueError):
    """A symbol's data was refused; the message names the symbol."""


class _SymbolTypeError(SymbolError, TypeError):
    """A symbol's column holds something other than numbers: a SymbolError
    that is also the TypeError the same column raises in one process."""


# --- pipelines as plain data ------------------------------------------------

_KINDS = {"features": _sarvek.FeaturePipeline, "targets": _sarvek.TargetPipeline}


def _resolve(pipeline, kind: str):
    """The pipeline object (checked on the client) and the form sent out."""
    obj = as_pipeline(pipeline)
    if not isinstance(obj, _KINDS[kind]):
        want = _KINDS[kind].__name__
        raise TypeError(f"pipeline must be a {want}, its dict form or a TOML file, got {type(obj).__name__}")
    return obj, pipeline_to_dict(obj)


# --- one task's work ----------------------------------------------------------


def _run_symbol(pipeline, kind: str, columns: list[np.ndarray], validity: bool, out: np.ndarray | None = None):
    """One symbol's bars through a pipeline from a reset state: (bars,
    outputs) values (written into ``out`` when given) and, with
    ``validity``, where each output is present."""
    run = _engine.run_features if kind == "features" else _engine.run_targets
    got = run(pipeline, columns, len(columns[0]), validity=validity, order="F", out=out)
    return got if validity else (got, None)


def _pooled(shape: tuple[int, int]) -> np.ndarray:
    """An uninitialised column-major float64 array in Arrow's memory pool.
    A task that writes its result and drops it hands the memory back to a
    pool that keeps it for the next task; from the C library each such
    array would be mapped afresh and faulted in page by page (Dask's worker
    processes set ``MALLOC_TRIM_THRESHOLD_``, which keeps large blocks out
    of the C library's reuse), about a tenth of a task's time."""
    import pyarrow as pa

    rows, cols = shape
    buffer = pa.allocate_buffer(max(rows * cols, 1) * 8)
    return np.frombuffer(buffer, dtype=np.float64, count=rows * cols).reshape(cols, rows).T


def _one_symbol(keys: pd.Series) -> bool:
    """Whether every key is one and the same text, found without hashing
    each (a file of one symbol, or a ``symbol=VALUE`` folder)."""
    first = keys.iloc[0]
    if not isinstance(first, str) or keys.hasnans:
        return False
    try:
        return bool((keys == first).all())
    except (TypeError, ValueError):  # keys that refuse comparing are grouped as they are
        return False


def _input_values(frame: pd.DataFrame, name: str, symbols, groups) -> np.ndarray:
    """A whole input column as float64, read as in one process; a column
    refused names the first symbol whose values are refused."""
    series = frame[name]
    try:
        return numeric_values(name, series)
    except TypeError:
        for symbol, rows in zip(symbols, groups):
            try:
                numeric_values(name, series.iloc[rows])
            except TypeError as exc:
                raise _SymbolTypeError(f"symbol {symbol!r}: {exc}") from None
        raise


def _check_times(frame: pd.DataFrame, time: tuple[str, str], symbols, groups, own: tuple[int, int]) -> None:
    """Each symbol's times never go backwards over the rows ``own`` covers,
    counting the carried bar just before them and just after them (so a
    step back across a partition boundary is seen by exactly one task)."""
    where, name = time
    values = frame.index.to_numpy() if where == "index" else frame[name].to_numpy()
    labels = frame.index
    lo, hi = own
    for symbol, rows in zip(symbols, groups):
        if isinstance(rows, slice):  # every row, in order: no copies
            if hi <= lo:
                continue
            pick: slice | np.ndarray = slice(max(lo - 1, 0), hi + 1)
        else:
            mine = np.flatnonzero((rows >= lo) & (rows < hi))
            if len(mine) == 0:
                continue
            pick = rows[max(int(mine[0]) - 1, 0) : int(mine[-1]) + 2]
        check_time_order(values[pick], name, symbol, labels[pick])


def _rows_by_symbol(keys: pd.Series) -> tuple[Any, list[Any]]:
    """The symbols of ``keys`` in order of first appearance (a missing key
    is one symbol of its own), and each one's row positions in order: a
    slice when one symbol holds every row."""
    if _one_symbol(keys):
        return [keys.iloc[0]], [slice(0, len(keys))]
    codes, symbols = pd.factorize(keys, use_na_sentinel=False)
    order = np.argsort(codes, kind="stable")
    bounds = np.cumsum(np.bincount(codes, minlength=len(symbols)))[:-1]
    return symbols, np.split(order, bounds)


def _no_rows(shape: tuple[int, int], validity: bool) -> tuple[np.ndarray, np.ndarray | None]:
    """The result of a piece without rows: values and, with ``validity``, flags."""
    return np.full(shape, np.nan, order="F"), np.zeros(shape, dtype=np.bool_, order="F") if validity else None


def _require_columns(frame: pd.DataFrame, names: Sequence[str], symbol) -> None:
    """Refuse a piece lacking an input column, naming its first symbol."""
    missing = [name for name in names if name not in frame.columns]
    if missing:
        raise SymbolError(f"symbol {symbol!r}: missing column(s) {missing}; columns are {list(frame.columns)}")


def _compute_array(
    kind: str, payload, by: str, frame: pd.DataFrame, time=None, own: tuple[int, int] | None = None,
    validity: bool = False, pooled: bool = False,
) -> tuple[np.ndarray, np.ndarray | None]:
    """Every row of ``frame`` through a fresh pipeline per symbol. ``own``:
    the positions this task answers for (the rest is carried context).
    Returns the (rows, outputs) values (NaN for missing) and, with
    ``validity``, whether each is present (a computed NaN is), else None.
    ``pooled``: the values live in Arrow's memory pool (for a task that
    writes them and lets them go)."""
    pipeline = pipeline_from_dict(payload)
    names = list(pipeline.input_names())
    # Column after column: each output is then one contiguous run.
    shape = (len(frame), len(pipeline.output_names()))
    if len(frame) == 0:
        return _no_rows(shape, validity)
    symbols, groups = _rows_by_symbol(frame[by])
    _require_columns(frame, names, symbols[0])
    if time is not None:
        _check_times(frame, time, symbols, groups, own or (0, len(frame)))
    columns = [_input_values(frame, name, symbols, groups) for name in names]
    if len(symbols) == 1:  # one symbol: every row, in order, so the engine's result as it is
        try:
            return _run_symbol(pipeline, kind, columns, validity, _pooled(shape) if pooled else None)
        except Exception as exc:
            raise SymbolError(f"symbol {symbols[0]!r}: {exc}") from exc
    out = _pooled(shape) if pooled else np.empty(shape, order="F")
    present = np.empty(shape, dtype=np.bool_, order="F") if validity else None
    for symbol, rows in zip(symbols, groups):
        try:
            values, flags = _run_symbol(pipeline, kind, [c[rows] for c in columns], validity)
        except Exception as exc:
            raise SymbolError(f"symbol {symbol!r}: {exc}") from exc
        out[rows] = values
        if present is not None:
            present[rows] = flags
    return out, present


def _assemble(frame: pd.DataFrame, by: str, keep: Sequence[str], outputs: Sequence[str], values) -> pd.DataFrame:
    """The kept columns unchanged (``by`` first unless kept elsewhere) and the
    outputs, on ``frame``'s index."""
    data = {name: frame[name].array for name in (keep if by in keep else [by, *keep])}
    data.update((name, values[:, k]) for k, name in enumerate(outputs))
    return pd.DataFrame(data, index=frame.index)


def _result(frame: pd.DataFrame, by: str, keep: Sequence[str], outputs: Sequence[str], values, present):
    """A piece's result: the assembled frame, with ``present`` beside it when
    the caller asked for validity (a dataset written with nulls)."""
    assembled = _assemble(frame, by, keep, outputs, values)
    return assembled if present is None else (assembled, present)


# Finite memory: each partition with its neighbours' bars. Carried bars keep
# their index labels, so a message can name a row of another partition.


def _last_rows(frame: pd.DataFrame, by: str, count: int) -> pd.DataFrame:
    return frame.groupby(by, sort=False, dropna=False, observed=True).tail(count)


def _first_rows(frame: pd.DataFrame, by: str, count: int) -> pd.DataFrame:
    return frame.groupby(by, sort=False, dropna=False, observed=True).head(count)


def _keep_last(earlier: pd.DataFrame, later: pd.DataFrame, by: str, count: int) -> pd.DataFrame:
    """The last ``count`` bars of each symbol over ``earlier`` then ``later``."""
    return _last_rows(pd.concat([earlier, later]), by, count)


def _keep_first(later: pd.DataFrame, earlier: pd.DataFrame, by: str, count: int) -> pd.DataFrame:
    """The first ``count`` bars of each symbol over ``earlier`` then ``later``
    (arguments in scan order, which runs backwards in time)."""
    return _first_rows(pd.concat([earlier, later]), by, count)


def _scan(elements: list, combine, identity) -> list:
    """Exclusive prefix of ``elements`` (delayed values) under an associative
    ``combine`` (a delayed function), as a tree of depth about 2 log2(n), so
    that a long run of partitions does not wait on a chain of n small tasks.
    Returns, for each position, everything before it (or ``identity``)."""
    n = len(elements)
    if n == 1:
        return [identity]
    pairs = [combine(elements[2 * k], elements[2 * k + 1]) for k in range(n // 2)]
    if n % 2:
        pairs.append(elements[-1])
    out = []
    for k, before in enumerate(_scan(pairs, combine, identity)):
        out.append(before)
        if 2 * k + 1 < n:
            out.append(elements[2 * k] if before is identity else combine(before, elements[2 * k]))
    return out


def _same_symbols(carry: pd.DataFrame, part: pd.DataFrame, by: str) -> pd.DataFrame:
    return carry[carry[by].isin(part[by].unique())]


def _piece_with_history(kind, payload, by, keep, outputs, time, nulls, history: pd.DataFrame,
                        part: pd.DataFrame):
    before = _same_symbols(history, part, by)
    frame = pd.concat([before, part])
    values, present = _compute_array(kind, payload, by, frame, time, (len(before), len(frame)), nulls)
    mine = slice(len(before), None)
    return _result(part, by, keep, outputs, values[mine], None if present is None else present[mine])


def _piece_with_future(kind, payload, by, keep, outputs, time, nulls, part: pd.DataFrame,
                       future: pd.DataFrame):
    after = _same_symbols(future, part, by)
    frame = pd.concat([part, after])
    values, present = _compute_array(kind, payload, by, frame, time, (0, len(part)), nulls)
    mine = slice(0, len(part))
    return _result(part, by, keep, outputs, values[mine], None if present is None else present[mine])


# Unbounded memory: each symbol's whole history in one task.


def _split_buckets(part: pd.DataFrame, by: str, buckets: int) -> tuple:
    """The rows of ``part`` by symbol bucket, each with its row positions."""
    # A key is hashed as its Python object, so a symbol lands in the same
    # bucket from every partition whatever the column's dtype there. Keys of
    # other dtypes are hashed once per distinct key (factorizing them is
    # cheap), keys already objects row by row (factorizing them is not).
    keys = part[by]
    if keys.dtype == object:
        bucket = pd.util.hash_pandas_object(keys, index=False).to_numpy() % np.uint64(buckets)
    else:
        codes, distinct = pd.factorize(keys, use_na_sentinel=False)
        hashes = pd.util.hash_pandas_object(pd.Series(np.asarray(distinct, dtype=object)), index=False).to_numpy()
        bucket = (hashes % np.uint64(buckets))[codes]
    pieces = []
    for b in range(buckets):
        rows = np.flatnonzero(bucket == b)
        pieces.append((rows, part.iloc[rows]))
    return tuple(pieces)


def _run_bucket(kind, payload, by, time, nulls, *pieces) -> tuple:
    """Whole histories of one bucket's symbols, partition after partition;
    the results split back by partition as (row positions, values, present
    or None)."""
    frame = pd.concat([piece for _, piece in pieces])
    values, present = _compute_array(kind, payload, by, frame, time, None, nulls)
    back, start = [], 0
    for rows, piece in pieces:
        stop = start + len(piece)
        back.append((rows, values[start:stop], None if present is None else present[start:stop]))
        start = stop
    return tuple(back)


def _gather(by, keep, outputs, nulls, part, *pieces):
    """One partition's results from every bucket, in the partition's row order."""
    values = np.full((len(part), len(outputs)), np.nan)
    present = np.zeros(values.shape, dtype=np.bool_) if nulls else None
    for rows, piece, flags in pieces:
        values[rows] = piece
        if present is not None:
            present[rows] = flags
    return _result(part, by, keep, outputs, values, present)


# Unbounded memory, handed on: each bucket's symbols run partition after
# partition, every task continuing from the states the one before it left.


def _symbol_key(symbol) -> tuple:
    """A symbol as a key of the handed-on states: every missing key is one
    symbol, as grouping makes it."""
    return ("missing",) if pd.api.types.is_scalar(symbol) and pd.isna(symbol) else ("symbol", symbol)


def _run_carried(payload, by, time, nulls, carry: tuple, piece: tuple) -> tuple:
    """One bucket's rows of one partition (``piece``: row positions and
    rows), each symbol continuing from the pipeline state ``carry`` holds
    for it (a symbol not seen before starts fresh). ``carry`` is (states by
    symbol, and with ``time`` each symbol's last time so far with its row
    label, so a step back across partitions is seen). Returns ((row
    positions, values, present or None), the carry for the bucket's next
    piece)."""
    rows, part = piece
    states, last = carry
    pipeline = pipeline_from_dict(payload)
    if not isinstance(pipeline, _sarvek.FeaturePipeline):  # only features hold state between bars
        raise TypeError(f"carry_state needs a FeaturePipeline, got {type(pipeline).__name__}")
    shape = (len(part), len(pipeline.output_names()))
    if len(part) == 0:
        return (rows, *_no_rows(shape, nulls)), carry
    symbols, groups = _rows_by_symbol(part[by])
    names = list(pipeline.input_names())
    _require_columns(part, names, symbols[0])
    keys = [_symbol_key(symbol) for symbol in symbols]
    if time is not None:
        where, name = time
        stamps = part.index.to_numpy() if where == "index" else part[name].to_numpy()
        labels = part.index
        last = dict(last)
        for symbol, key, mine in zip(symbols, keys, groups):
            times = stamps[mine]
            before = last.get(key)  # the symbol's bar of an earlier partition first
            if before is not None:
                times = np.concatenate([before[0], times])
            try:  # the row labels are looked up only for the message
                check_time_order(times, name, symbol)
            except ValueError:
                at = labels[mine]
                check_time_order(times, name, symbol, at if before is None else before[1].append(at))
                raise
            end = mine.stop - 1 if isinstance(mine, slice) else mine[-1]
            last[key] = (times[-1:], labels[end:end + 1])
    columns = [_input_values(part, name, symbols, groups) for name in names]
    out = np.empty(shape, order="F")
    present = np.empty(shape, dtype=np.bool_, order="F") if nulls else None
    states = dict(states)
    for symbol, key, mine in zip(symbols, keys, groups):
        held = states.get(key)
        try:
            if held is not None:
                _sarvek._restore_pipeline_state(pipeline, held)
            bars = len(part) if isinstance(mine, slice) else len(mine)
            got = _engine.run_features(pipeline, [c[mine] for c in columns], bars, reset=held is None,
                                       validity=nulls, order="F")
        except Exception as exc:
            raise SymbolError(f"symbol {symbol!r}: {exc}") from exc
        values, flags = got if nulls else (got, None)
        out[mine] = values
        if present is not None:
            present[mine] = flags
        states[key] = _sarvek._pipeline_state(pipeline)
    return (rows, out, present), (states, last)


# --- the graph ----------------------------------------------------------------


def _check_frame(ddf, by: str, names: Sequence[str], keep, time, outputs: Sequence[str]) -> list[str]:
    """Refuse what cannot run before anything runs; returns the kept columns."""
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"expected a dask DataFrame, got {type(ddf).__name__}")
    columns = list(ddf.columns)
    if by not in columns:
        raise ValueError(f"by column {by!r} is not among the data's columns {columns}")
    missing = [name for name in names if name not in columns]
    if missing:
        raise ValueError(f"input column(s) {missing} missing; the data's columns are {columns}")
    if time is not None:
        if not isinstance(time, str):
            raise TypeError(f"time must be a column name, got {type(time).__name__}")
        if time not in columns:
            raise ValueError(f"time column {time!r} is not among the data's columns {columns}")
    kept = _kept(keep, columns)
    if by in outputs:
        raise ValueError(f"output {by!r} clashes with the by column {by!r}")
    clash = [name for name in kept if name in outputs]
    if clash:
        raise ValueError(f"kept column(s) {', '.join(map(repr, clash))} would share a name with the pipeline's "
                         "output(s); rename the column or leave it out of keep=")
    return kept


def _kept(keep, columns: list) -> list:
    """The columns ``keep=`` carries into the result (``"all"``: every one)."""
    if keep is None:
        return []
    if isinstance(keep, str):
        if keep != "all":
            raise TypeError(f"keep must be a list of column names or 'all', got {keep!r} "
                            f"(for one column write keep=[{keep!r}])")
        return list(columns)
    if not isinstance(keep, (Sequence, np.ndarray)):
        raise TypeError(f"keep must be a list of column names or 'all', got {type(keep).__name__}")
    kept = list(keep)
    unknown = [name for name in kept if name not in columns]
    if unknown:
        raise ValueError(f"keep= names columns the data does not have: {', '.join(map(repr, unknown))}; "
                         f"the data has columns: {', '.join(map(repr, columns))}")
    twice = [name for k, name in enumerate(kept) if name in kept[:k]]
    if twice:
        raise ValueError(f"keep= names {', '.join(map(repr, twice))} more than once")
    return kept


def _time_spec(ddf, time: str | None):
    """What a task checks for order: a column, the index when it holds
    datetimes (always checked), or nothing."""
    if time is not None:
        return ("column", time)
    if pd.api.types.is_datetime64_any_dtype(ddf.index.dtype):
        return ("index", "index" if ddf.index.name is None else str(ddf.index.name))
    return None


def _partitions(ddf, wanted: list[str]):
    """The projected frame's partitions as delayed pandas frames, with their
    divisions and an empty frame of their layout.

    Dask may fuse partitions while it plans a projection (a Parquet read of
    a few columns of many small files, for instance), so the number of
    partitions is taken from the optimized frame itself, whose graph is
    then used as it is."""
    projected = ddf[wanted].optimize()
    parts = projected.to_delayed(optimize_graph=False)
    divisions: tuple | None = tuple(projected.divisions)
    if divisions is not None and len(divisions) != len(parts) + 1:
        divisions = None
    return parts, divisions, make_meta(projected)


def _outputs(kind: str, obj, payload, parts: list, empty: pd.DataFrame, by: str, keep: list, time,
             buckets: int | None, nulls: bool = False, carry_state: bool = False) -> list:
    """One delayed result frame per partition in ``parts``; with ``nulls``,
    each a (frame, present) pair telling missing outputs from computed NaN.
    ``carry_state``: unbounded memory runs as chains that hand states on."""
    outputs = list(obj.output_names())
    n = len(parts)
    task = partial(delayed, pure=True)
    if kind == "targets":
        future = _chunking.target_future(obj)
        if time is not None:
            future = max(future, 1)  # the next bar of a symbol, for its time
        after = [empty] * n
        if future and n > 1:
            heads = [task(_first_rows)(p, by, future) for p in parts]
            combine = task(partial(_keep_first, by=by, count=future))
            after = _scan(heads[::-1], combine, empty)[::-1]
        piece = task(partial(_piece_with_future, kind, payload, by, keep, outputs, time, nulls))
        return [piece(parts[i], after[i]) for i in range(n)]
    history = _chunking.feature_history(obj)
    if history is None:
        k = max(1, min(buckets or math.isqrt(n - 1) + 1, n))
        split = task(_split_buckets, nout=k)
        pieces = [split(p, by, k) for p in parts]
        back: list = []
        if carry_state:
            step = task(partial(_run_carried, payload, by, time, nulls), nout=2)
            for b in range(k):
                held: Any = ({}, {})
                chain = []
                for i in range(n):
                    result, held = step(held, pieces[i][b])
                    chain.append(result)
                back.append(chain)
        else:
            run = task(partial(_run_bucket, kind, payload, by, time, nulls), nout=n)
            back = [run(*[pieces[i][b] for i in range(n)]) for b in range(k)]
        gather = task(partial(_gather, by, keep, outputs, nulls))
        return [gather(parts[i], *[back[b][i] for b in range(k)]) for i in range(n)]
    if time is not None:
        history = max(history, 1)  # the previous bar of a symbol, for its time
    before = [empty] * n
    if history and n > 1:
        tails = [task(_last_rows)(p, by, history) for p in parts]
        combine = task(partial(_keep_last, by=by, count=history))
        before = _scan(tails, combine, empty)
    piece = task(partial(_piece_with_history, kind, payload, by, keep, outputs, time, nulls))
    return [piece(before[i], parts[i]) for i in range(n)]


def _build(kind: str, ddf, pipeline, by: str, keep, time, buckets: int | None, carry_state: bool = False):
    obj, payload = _resolve(pipeline, kind)
    names = list(obj.input_names())
    outputs = list(obj.output_names())
    kept = _check_frame(ddf, by, names, keep, time, outputs)
    spec = _time_spec(ddf, time)
    wanted = list(dict.fromkeys([by, *kept, *names, *([time] if time is not None else [])]))
    parts, divisions, empty = _partitions(ddf, wanted)
    outs = _outputs(kind, obj, payload, parts, empty, by, kept, spec, buckets, carry_state=carry_state)
    meta = _assemble(empty, by, kept, outputs, np.empty((0, len(outputs))))
    return dd.from_delayed(outs, meta=meta, divisions=divisions, verify_meta=False, prefix=f"sarvek-{kind}")


def compute_features(ddf, pipeline, *, by: str, keep=None, time: str | None = None,
                     buckets: int | None = None, carry_state: bool = False):
    """Features of every symbol in ``ddf``, as a lazy Dask DataFrame.

    ``pipeline`` is a ``FeaturePipeline``, its dict form or the path of its
    TOML file; ``by`` names the symbol column. The result has ``ddf``'s
    index, the ``by`` column, the ``keep`` columns (a list of ``ddf``'s
    columns, or ``"all"``) carried over unchanged, so that each row can be
    joined back to its bar (``keep=["time"]``), and one float64 column per
    output name. It computes exactly the bits
    ``sarvek.compute_features(pipeline, ddf.compute(), by=by)`` gives.

    ``time``: a column whose values must never go backwards within a symbol
    (over the whole frame, across partitions); an index of datetimes is
    checked without asking. A step back fails the computation with a
    ValueError naming the symbol and the row.

    Finite-memory pipelines run partition by partition, each symbol's piece
    preceded by the bars of that symbol its longest chain of windows reads.
    A pipeline holding ``Ema`` or ``Kama`` (recursive, unbounded memory)
    instead gathers each symbol's whole history into one task: symbols are
    hashed into ``buckets`` groups (default: about the square root of the
    number of partitions), so a whole symbol must fit in one worker's
    memory. With ``carry_state=True`` such a pipeline runs instead as one
    chain of tasks per bucket, partition after partition: each task computes
    its bucket's rows of one partition, every symbol continuing from the
    pipeline state (a snapshot, as ``sarvek.save_state`` takes) the task
    before it handed on. No task then holds more than one partition's rows,
    and only those snapshots travel between workers; the buckets' chains
    run side by side. The bits are the same either way.
    """
    if not isinstance(carry_state, bool):
        raise TypeError(f"carry_state must be True or False, got {type(carry_state).__name__}")
    return _build("features", ddf, pipeline, by, keep, time, buckets, carry_state)


def compute_targets(ddf, pipeline, *, by: str, keep=None, time: str | None = None):
    """Targets of every symbol in ``ddf``, as a lazy Dask DataFrame.

    ``pipeline`` is a ``TargetPipeline``, its dict form or the path of its
    TOML file; ``keep`` and ``time`` as for :func:`compute_features`. Each
    partition's symbols are labelled together with the bars of the same
    symbol that follow in later partitions (as many as the longest
    horizon), so the labels are exactly those of one pass; the last bars of
    each symbol, whose future is beyond the data, get NaN.
    """
    return _build("targets", ddf, pipeline, by, keep, time, None)


# --- Parquet datasets -----------------------------------------------------------


def _dataset_files(path: str, by: str) -> list[tuple[str, str | None]]:
    """Every Parquet file under ``path`` in order, with the symbol its folder
    names when the dataset is partitioned by ``by`` (``by=VALUE/``)."""
    if not os.path.isdir(path):
        raise FileNotFoundError(f"{path}: no such dataset folder")
    found = []
    for root, dirs, files in os.walk(path):
        dirs.sort()
        dirs[:] = [d for d in dirs if not d.startswith((".", "_"))]
        symbol = None
        for part in os.path.relpath(root, path).split(os.sep):
            if part.startswith(by + "="):
                symbol = part[len(by) + 1 :]
        for name in sorted(files):
            if name.endswith((".parquet", ".pq")) and not name.startswith((".", "_")):
                found.append((os.path.join(root, name), symbol))
    if not found:
        raise FileNotFoundError(f"{path}: no Parquet files in the dataset folder")
    return found


def _read_piece(
    source: tuple[str, str | None], by: str, inputs: Sequence[str], keep: Sequence[str] = (),
    columns: Sequence[str] | None = None,
) -> pd.DataFrame:
    """One file: ``by``, the kept columns as stored and the ``inputs`` as
    float64. ``columns`` is the projection Dask asks for (a subset of those,
    in its own order)."""
    import pyarrow.parquet as pq

    path, symbol = source
    layout = list(dict.fromkeys([by, *keep, *inputs]))
    wanted = layout if columns is None else [name for name in columns if name in layout]
    with pq.ParquetFile(path) as file:
        schema = file.schema_arrow
        # Only the columns asked for are read (with the stored index), on
        # this task's thread: the cluster runs one task per core already.
        table = file.read(columns=[name for name in wanted if name in schema.names], use_threads=False,
                          use_pandas_metadata=True)
    # A block per column: float columns without nulls become views of what
    # was read instead of copies into one two-dimensional block.
    frame = table.to_pandas(use_threads=False, split_blocks=True)
    if by not in frame.columns:
        if symbol is None:
            raise ValueError(f"{path}: no column {by!r} and no {by}=VALUE folder to take it from")
        frame.insert(0, by, symbol)
    frame[by] = frame[by].astype(str)
    who = f"symbol {symbol!r}" if symbol is not None else f"file {path}"
    missing = [name for name in wanted if name not in frame.columns]
    if missing:
        have = list(schema.empty_table().to_pandas().columns)
        raise SymbolError(f"{who}: missing column(s) {missing}; {path} has columns {have}")
    out = frame[wanted]
    for name in inputs:
        if name in wanted and name != by:
            try:
                out[name] = numeric_values(name, out[name])
            except TypeError as exc:
                raise _SymbolTypeError(f"{who}: {exc} (in {path})") from None
    return out


def read_parquet(path: str | os.PathLike, *, by: str, columns: Sequence[str], keep=None):
    """A folder of Parquet files as a Dask DataFrame, one partition per file.

    Files are taken in path order; a dataset partitioned by symbol
    (``path/symbol=ABC/part-0.parquet``) gets its ``by`` column from the
    folder names. ``by``, the ``keep`` columns (a list, or ``"all"`` for
    every column of the first file) as stored and ``columns`` as float64 are
    kept; the index written with the files (e.g. the time) is kept. A file
    lacking one of them, or holding an input column that is not numeric,
    fails the computation naming its symbol.
    """
    path = os.fspath(path)
    inputs = [name for name in dict.fromkeys(columns) if name != by]
    files = _dataset_files(path, by)
    if keep == "all":
        keep = _file_columns(files[0], by)
    keep = [name for name in dict.fromkeys(keep or ()) if name != by]
    meta = _read_piece(files[0], by, inputs, keep).iloc[:0]
    return dd.from_map(partial(_read_piece, by=by, inputs=inputs, keep=keep), files, meta=meta,
                       label="sarvek-read")


def _file_columns(source: tuple[str, str | None], by: str) -> list[str]:
    """The columns one file of the dataset gives (``by`` first when it comes
    from the folder name), without its stored index."""
    import pyarrow.parquet as pq

    frame = pq.read_table(source[0]).schema.empty_table().to_pandas()
    names = list(frame.columns)
    return names if by in names else [by, *names]


def _with_outputs(table, names: Sequence[str], values: np.ndarray, present: np.ndarray):
    """``table`` with one float64 column per output name appended, null
    where the output is missing (a computed NaN stays a NaN)."""
    import pyarrow as pa

    for k, name in enumerate(names):
        column = np.ascontiguousarray(values[:, k])
        missing = None if present[:, k].all() else ~np.ascontiguousarray(present[:, k])
        table = table.append_column(str(name), pa.array(column, type=pa.float64(), mask=missing))
    return table


def _write_table(table, path: str) -> int:
    """One output file, written as the command line writes one; returns its
    rows."""
    import pyarrow.parquet as pq

    pq.write_table(table, path, **parquet_options(table))
    return table.num_rows


def _write_piece(path: str, *results: tuple[pd.DataFrame, np.ndarray]) -> int:
    """One output file from several pipelines' results over the same rows,
    each a (frame, present) pair whose last columns are the outputs: the
    first frame's other columns and its index as stored, then every output.
    Returns the rows written."""
    import pyarrow as pa

    first, flags = results[0]
    table = pa.Table.from_pandas(first.iloc[:, : first.shape[1] - flags.shape[1]], preserve_index=True)
    for frame, present in results:
        names = frame.columns[frame.shape[1] - present.shape[1] :]
        table = _with_outputs(table, names, frame[names].to_numpy(dtype=np.float64), present)
    return _write_table(table, path)


# Datasets already partitioned by symbol: each task reads its own files,
# computes and writes its piece, so nothing crosses the cluster but names.


def _file_symbols(source: tuple[str, str | None], by: str) -> set[str] | None:
    """The symbols one file holds, as text (as the reader makes them): the
    folder's for ``by=VALUE/`` files without the column, else from the
    column's statistics when they settle it, else from reading that column
    alone. None when the file has no such column nor folder."""
    import pyarrow.parquet as pq

    path, symbol = source
    with pq.ParquetFile(path) as file:
        return _symbols_in(file, by, symbol)


def _symbols_in(file, by: str, symbol: str | None) -> set[str] | None:
    """``_file_symbols`` of an open file."""
    import pyarrow as pa

    schema = file.schema_arrow
    if by not in schema.names:
        return None if symbol is None else {symbol}
    meta = file.metadata
    if pa.types.is_string(schema.field(by).type) or pa.types.is_large_string(schema.field(by).type):
        leaf = [meta.schema.column(j).path for j in range(meta.num_columns)].index(by)
        bounds: set[Any] = set()
        for g in range(meta.num_row_groups):
            stats = meta.row_group(g).column(leaf).statistics
            if stats is None or not stats.has_min_max or stats.null_count != 0:
                break
            bounds.update((stats.min, stats.max))
        else:
            if len(bounds) == 1:
                return {str(next(iter(bounds)))}
            if meta.num_rows == 0:
                return set()
    values = file.read(columns=[by], use_threads=False).column(by).unique()
    return set(values.to_pandas().astype(str).tolist())


def _symbol_groups(files: list[tuple[str, str | None]], by: str) -> list[list] | str:
    """The dataset's files in groups each holding whole symbols, in file
    order: consecutive files of one and the same symbol form one group
    (``symbol=ABC/part-0.parquet``, ``part-1.parquet``), any other file a
    group of its own. Returns the reason instead when a symbol is in two
    groups (or a file has no ``by`` column): the rows must then be brought
    together across files."""
    groups: list[list] = []
    keys: list[set[str]] = []
    owner: dict[str, str] = {}
    for source in files:
        symbols = _file_symbols(source, by)
        if symbols is None:
            return f"{source[0]} has no column {by!r}"
        if groups and (not symbols or (len(symbols) == 1 and symbols == keys[-1])):
            groups[-1].append(source)
            continue
        for symbol in symbols:
            if symbol in owner:
                return f"symbol {symbol!r} is in both {owner[symbol]} and {source[0]}"
            owner[symbol] = source[0]
        groups.append([source])
        keys.append(symbols)
    return groups


def _symbols_piece(path: str, sources: list, by: str, inputs: list[str], wanted: list[str], keep: list[str],
                   jobs: list[tuple[str, Any, list[str]]], time) -> int:
    """One group of files holding whole symbols, read (only the columns
    needed), run through every pipeline in this process and written to
    ``path``. Returns the rows written."""
    import pyarrow as pa

    frames = [_read_piece(source, by, inputs, wanted, wanted) for source in sources]
    frame = frames[0] if len(frames) == 1 else pd.concat(frames)
    table = pa.Table.from_pandas(frame[keep if by in keep else [by, *keep]], preserve_index=True)
    for kind, payload, outputs in jobs:
        values, present = _compute_array(kind, payload, by, frame, time, None, True, pooled=True)
        assert present is not None
        table = _with_outputs(table, outputs, values, present)
    return _write_table(table, path)


# Output folders are written under a temporary name beside the target:
# ".OUT.tmp-PID" while being written, ".OUT.tmp-PID-old" for the previous
# output while the new one is moved in, ".OUT.tmp-PID-failed" for a failed
# run's folder while it is removed.


def _temporaries(out: str) -> list[tuple[str, int, bool]]:
    """Temporaries beside ``out`` as (path, pid, is_old)."""
    parent, base = os.path.split(out)
    prefix = f".{base}.tmp-"
    found = []
    try:
        names = os.listdir(parent)
    except OSError:
        return []
    for name in names:
        if not name.startswith(prefix):
            continue
        pid, dash, suffix = name[len(prefix) :].partition("-")
        if pid.isdigit() and (dash == "" or suffix in ("old", "failed")):
            found.append((os.path.join(parent, name), int(pid), suffix == "old"))
    return found


def _remove(path: str) -> None:
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path, ignore_errors=True)
    else:
        try:
            os.unlink(path)
        except OSError:
            pass


def _discard(tmp: str) -> None:
    """Remove a failed run's folder. When one task fails, others may still
    be writing their files into it (a cluster's workers, or the threads of
    a local scheduler, finish the tasks they have started): the folder is
    first moved to a name no task writes to, so a file opened after that
    fails to open instead of landing in a folder being removed."""
    failed = f"{tmp}-failed"
    try:
        os.replace(tmp, failed)
    except OSError:
        failed = tmp
    _remove(failed)


def _sweep(out: str) -> None:
    """Clean up after earlier runs that were killed before they finished:
    an old output they had moved aside comes back when ``out`` is missing,
    and their other temporaries go."""
    dead = [t for t in _temporaries(out) if not process_alive(t[1])]
    if not os.path.lexists(out):
        olds = sorted((t for t in dead if t[2]), key=lambda t: os.lstat(t[0]).st_mtime)
        if olds:
            os.replace(olds[-1][0], out)
            dead = [t for t in dead if t is not olds[-1]]
    for path, _, _ in dead:
        _remove(path)


def _swap_in(new: str, out: str) -> None:
    """Put the folder ``new`` in place of ``out``. The previous ``out`` is
    kept aside until the new one is in place and put back on any failure;
    a process killed in between leaves it for the next run's sweep."""
    old = f"{new}-old"
    moved = False
    try:
        if os.path.lexists(out):
            os.replace(out, old)
            moved = True
        os.replace(new, out)
    except BaseException:
        if moved and not os.path.lexists(out):
            os.replace(old, out)
        raise
    if moved:
        _remove(old)


def compute_dataset(
    source: str | os.PathLike, pipelines: Sequence, out: str | os.PathLike, *, by: str, keep=None,
    time: str | None = None, layout: str = "auto",
) -> None:
    """Every pipeline over a Parquet dataset folder, written as a Parquet
    dataset folder ``out``: the files' index, ``by``, the ``keep`` columns (a
    list, or ``"all"``) and one float64 column per output, null where an
    output is missing (a computed NaN stays a NaN). ``time`` as for
    :func:`compute_features`. Runs under the current Dask scheduler or
    client.

    ``layout="auto"`` looks at the files first (their folder names, the
    statistics of the ``by`` column, else that column alone). When no
    symbol is in two files (``by=VALUE/`` folders, or files each holding
    whole symbols), each task reads its files (only the columns needed),
    computes their symbols and writes its own output file: one per group
    of files, nothing moved between workers. Otherwise rows are brought
    together across files as :func:`compute_features` does, one output file
    per partition. Files are named in file or partition order, so the folder
    reads back as one dataset in the input's row order.
    ``layout="symbols"`` insists on the first way (ValueError naming a
    symbol found in two files otherwise), ``"general"`` always takes the
    second.

    The folder is written under a temporary name beside ``out`` and moved in
    at the end; the previous ``out`` stays until the new one is in place and
    comes back if anything fails. Temporaries left by an earlier run that
    was killed are cleaned up first.
    """
    import dask

    if layout not in ("auto", "symbols", "general"):
        raise ValueError(f"layout must be 'auto', 'symbols' or 'general', got {layout!r}")
    objs = [as_pipeline(p) for p in pipelines]
    seen = {by}
    for p in objs:
        for name in p.output_names():
            if name in seen:
                raise ValueError(f"output {name!r} is produced twice (or is the {by!r} column)")
            seen.add(name)
    names = list(dict.fromkeys(n for p in objs for n in p.input_names()))
    if isinstance(keep, str) and keep != "all":
        _kept(keep, [])  # refused, with the message compute_features gives
    out = os.path.abspath(os.fspath(out))
    _sweep(out)
    # Columns keep the dtypes the files give (Dask would otherwise make its
    # own string dtype of text columns), whichever way the rows are brought
    # together, as the command without Dask writes them.
    as_read = dask.config.set({"dataframe.convert-string": False})
    with as_read:
        ddf = read_parquet(source, by=by, columns=names, keep=keep)
    # The columns keep= names (every column of the files for "all"), not
    # also the pipelines' inputs the read brings along.
    if keep is None:
        asked = None
    elif isinstance(keep, str) and keep == "all":
        asked = [c for c in ddf.columns if c != by]
    else:
        asked = [c for c in dict.fromkeys(keep) if c != by]
    kept = _check_frame(ddf, by, names, asked, time, sorted(seen - {by}))
    spec = _time_spec(ddf, time)
    wanted = list(dict.fromkeys([by, *kept, *names, *([time] if time is not None else [])]))
    jobs = [("features" if isinstance(p, _sarvek.FeaturePipeline) else "targets", pipeline_to_dict(p),
             list(p.output_names())) for p in objs]
    groups = None
    if layout != "general":
        found = _symbol_groups(_dataset_files(os.fspath(source), by), by)
        if isinstance(found, str) and layout == "symbols":
            raise ValueError(f"{os.fspath(source)}: not partitioned by {by!r}: {found}")
        groups = None if isinstance(found, str) else found
    tmp = os.path.join(os.path.dirname(out), f".{os.path.basename(out)}.tmp-{os.getpid()}")
    # Writing a file is not pure: every run gets keys of its own, so a
    # result a scheduler still holds from an earlier run is never taken
    # for a file written.
    task = partial(delayed, pure=False)
    try:
        _remove(tmp)
        os.makedirs(tmp)
        if groups is not None:
            inputs = [name for name in names if name != by]
            piece = task(partial(_symbols_piece, by=by, inputs=inputs, wanted=wanted, keep=kept, jobs=jobs,
                                 time=spec))
            writes = [piece(os.path.join(tmp, f"part-{k:06d}.parquet"), group) for k, group in enumerate(groups)]
        else:
            with as_read:
                parts, _, empty = _partitions(ddf, wanted)
            results = [_outputs(kind, p, payload, parts, empty, by, kept if k == 0 else [], spec, None, True)
                       for k, ((kind, payload, _), p) in enumerate(zip(jobs, objs))]
            write = task(_write_piece)
            writes = [write(os.path.join(tmp, f"part-{i:06d}.parquet"), *row) for i, row in enumerate(zip(*results))]
        dask.compute(*writes)
    except BaseException:
        _discard(tmp)
        raise
    try:
        _swap_in(tmp, out)
    finally:
        _remove(tmp)


def _dataset_time_column(path: str | os.PathLike, by: str) -> str | None:
    """A column named ``time`` or ``timestamp`` of a dataset folder's files
    (the first such name), None when they have neither or cannot be read
    (reading them for the run then says why)."""
    try:
        columns = _file_columns(_dataset_files(os.fspath(path), by)[0], by)
    except (OSError, ValueError):
        return None
    return next((name for name in ("time", "timestamp") if name in columns), None)
