"""Features and targets over a Dask DataFrame, bit-identical to one process.

``compute_features(ddf, pipeline, by="symbol")`` and ``compute_targets(...)``
return a lazy Dask DataFrame with the input's index, the ``by`` column and one
float64 column per output name, partitioned exactly like the input (partition
i of the result holds the rows of partition i, in the same order). Nothing
runs until the result is computed, under whatever scheduler is current: the
default local one, or a ``distributed.Client`` connected to a scheduler
address.

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

Every task is pure (the same inputs give the same outputs), so a task Dask
reruns after losing a worker cannot duplicate or lose rows. Data that a
symbol's run refuses (a column that is not numeric, for instance) fails the
computation with :class:`SymbolError` naming the symbol.

Needs the ``dask`` extra: ``pip install sarvek[dask]``.
"""

from __future__ import annotations

import logging
import math
import os
import shutil
from collections.abc import Mapping, Sequence
from functools import partial
from operator import getitem
from typing import Any

import numpy as np
import pandas as pd

import dask.dataframe as dd
from dask.base import tokenize
from dask.delayed import Delayed
from dask.highlevelgraph import HighLevelGraph

import _sarvek

from sarvek import _chunking, _engine
from sarvek._pipeline import as_pipeline, pipeline_from_dict, pipeline_to_dict

__all__ = ["SymbolError", "compute_features", "compute_targets"]


class SymbolError(ValueError):
    """A symbol's data was refused; the message names the symbol."""


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


def _run_symbol(pipeline, kind: str, columns: list[np.ndarray]) -> np.ndarray:
    """One symbol's bars through a pipeline from a reset state: (bars, outputs)."""
    if kind == "features":
        return _engine.run_features(pipeline, columns, len(columns[0]))
    return _engine.run_targets(pipeline, columns, len(columns[0]))


def _numeric_column(frame: pd.DataFrame, name: str) -> np.ndarray:
    """A whole column as float64 when its dtype is numeric, else as objects."""
    series = frame[name]
    dtype = series.dtype
    if pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_numeric_dtype(dtype):
        return series.to_numpy(dtype=np.float64, na_value=np.nan)
    return series.to_numpy(dtype=object)


def _symbol_values(column: np.ndarray, rows: np.ndarray, name: str, symbol, dtype) -> np.ndarray:
    values = column[rows]
    if values.dtype == np.float64:
        return values
    for value in values:
        if value is None or (isinstance(value, (int, float, np.number)) and not isinstance(value, (str, bytes))):
            continue
        raise SymbolError(
            f"symbol {symbol!r}: column {name!r} is not numeric (dtype {dtype}, value {value!r})"
        )
    return np.array([np.nan if v is None else float(v) for v in values], dtype=np.float64)


def _compute_array(kind: str, payload, by: str, frame: pd.DataFrame) -> np.ndarray:
    """Every row of ``frame`` through a fresh pipeline per symbol."""
    pipeline = pipeline_from_dict(payload)
    names = list(pipeline.input_names())
    out = np.full((len(frame), len(pipeline.output_names())), np.nan)
    if len(frame) == 0:
        return out
    missing = [name for name in names if name not in frame.columns]
    codes, symbols = pd.factorize(frame[by], use_na_sentinel=False)
    order = np.argsort(codes, kind="stable")
    bounds = np.cumsum(np.bincount(codes, minlength=len(symbols)))[:-1]
    columns = [] if missing else [_numeric_column(frame, name) for name in names]
    dtypes = [] if missing else [frame[name].dtype for name in names]
    for symbol, rows in zip(symbols, np.split(order, bounds)):
        if missing:
            raise SymbolError(f"symbol {symbol!r}: missing column(s) {missing}; columns are {list(frame.columns)}")
        data = [_symbol_values(c, rows, name, symbol, t) for c, name, t in zip(columns, names, dtypes)]
        try:
            out[rows] = _run_symbol(pipeline, kind, data)
        except SymbolError:
            raise
        except Exception as exc:
            raise SymbolError(f"symbol {symbol!r}: {exc}") from exc
    return out


def _assemble(frame: pd.DataFrame, by: str, outputs: Sequence[str], values: np.ndarray) -> pd.DataFrame:
    result = pd.DataFrame(values, index=frame.index, columns=list(outputs))
    result.insert(0, by, frame[by].array)
    return result


# Finite memory: each partition with its neighbours' bars.


def _last_rows(frame: pd.DataFrame, by: str, count: int) -> pd.DataFrame:
    return frame.groupby(by, sort=False, dropna=False).tail(count)


def _first_rows(frame: pd.DataFrame, by: str, count: int) -> pd.DataFrame:
    return frame.groupby(by, sort=False, dropna=False).head(count)


def _keep_last(earlier: pd.DataFrame, later: pd.DataFrame, by: str, count: int) -> pd.DataFrame:
    """The last ``count`` bars of each symbol over ``earlier`` then ``later``."""
    both = pd.concat([earlier, later], ignore_index=True)
    return _last_rows(both, by, count).reset_index(drop=True)


def _keep_first(later: pd.DataFrame, earlier: pd.DataFrame, by: str, count: int) -> pd.DataFrame:
    """The first ``count`` bars of each symbol over ``earlier`` then ``later``
    (arguments in scan order, which runs backwards in time)."""
    both = pd.concat([earlier, later], ignore_index=True)
    return _first_rows(both, by, count).reset_index(drop=True)


def _scan(dsk: dict, name: str, elements: list, combine, identity) -> list:
    """Exclusive prefix of ``elements`` under an associative ``combine``,
    added to ``dsk`` as a tree of tasks of depth about 2 log2(n), so that a
    long run of partitions does not wait on a chain of n small tasks.
    Returns, for each position, the key (or ``identity``) of everything
    before it."""
    n = len(elements)
    if n == 1:
        return [identity]
    pairs = []
    for k in range(n // 2):
        key = (name, "pair", n, k)
        dsk[key] = (combine, elements[2 * k], elements[2 * k + 1])
        pairs.append(key)
    if n % 2:
        pairs.append(elements[-1])
    before_pair = _scan(dsk, name + "-", pairs, combine, identity)
    out = []
    for k, before in enumerate(before_pair):
        out.append(before)
        if 2 * k + 1 < n:
            if before is identity:
                out.append(elements[2 * k])
            else:
                key = (name, "odd", n, k)
                dsk[key] = (combine, before, elements[2 * k])
                out.append(key)
    return out


def _same_symbols(carry: pd.DataFrame, part: pd.DataFrame, by: str) -> pd.DataFrame:
    return carry[carry[by].isin(part[by].unique())]


def _piece_with_history(kind, payload, by, outputs, history: pd.DataFrame, part: pd.DataFrame):
    before = _same_symbols(history, part, by)
    frame = pd.concat([before, part.reset_index(drop=True)], ignore_index=True)
    values = _compute_array(kind, payload, by, frame)
    return _assemble(part, by, outputs, values[len(before) :])


def _piece_with_future(kind, payload, by, outputs, part: pd.DataFrame, future: pd.DataFrame):
    after = _same_symbols(future, part, by)
    frame = pd.concat([part.reset_index(drop=True), after], ignore_index=True)
    values = _compute_array(kind, payload, by, frame)
    return _assemble(part, by, outputs, values[: len(part)])


# Unbounded memory: each symbol's whole history in one task.


def _split_buckets(part: pd.DataFrame, by: str, buckets: int) -> tuple:
    """The rows of ``part`` by symbol bucket, each with its row positions."""
    bucket = pd.util.hash_pandas_object(part[by], index=False).to_numpy() % np.uint64(buckets)
    pieces = []
    for b in range(buckets):
        rows = np.flatnonzero(bucket == b)
        pieces.append((rows, part.iloc[rows]))
    return tuple(pieces)


def _run_bucket(kind, payload, by, *pieces) -> tuple:
    """Whole histories of one bucket's symbols, partition after partition;
    the results split back by partition as (row positions, values)."""
    frame = pd.concat([piece for _, piece in pieces])
    values = _compute_array(kind, payload, by, frame)
    back, start = [], 0
    for rows, piece in pieces:
        stop = start + len(piece)
        back.append((rows, values[start:stop]))
        start = stop
    return tuple(back)


def _gather(by, outputs, part, *pieces) -> pd.DataFrame:
    """One partition's results from every bucket, in the partition's row order."""
    values = np.full((len(part), len(outputs)), np.nan)
    for rows, piece in pieces:
        values[rows] = piece
    return _assemble(part, by, outputs, values)


# --- the graph ----------------------------------------------------------------


def _check_frame(ddf: dd.DataFrame, by: str, names: Sequence[str]) -> None:
    if not isinstance(ddf, dd.DataFrame):
        raise TypeError(f"expected a dask DataFrame, got {type(ddf).__name__}")
    columns = list(ddf.columns)
    if by not in columns:
        raise ValueError(f"by column {by!r} is not among the data's columns {columns}")
    missing = [name for name in names if name not in columns]
    if missing:
        raise ValueError(f"input column(s) {missing} missing; the data's columns are {columns}")


def _meta(ddf: dd.DataFrame, by: str, outputs: Sequence[str]) -> pd.DataFrame:
    source = ddf._meta
    meta = pd.DataFrame({name: pd.Series([], dtype=np.float64) for name in outputs}, index=source.index[:0])
    meta.insert(0, by, source[by].iloc[:0].to_numpy())
    meta[by] = meta[by].astype(source[by].dtype)
    return meta


def _build(kind: str, ddf: dd.DataFrame, pipeline, by: str, buckets: int | None) -> dd.DataFrame:
    obj, payload = _resolve(pipeline, kind)
    names = list(obj.input_names())
    outputs = list(obj.output_names())
    _check_frame(ddf, by, names)
    wanted = [by] + [name for name in dict.fromkeys(names) if name != by]
    parts = ddf[wanted].to_delayed()
    parts_keys = [p.key for p in parts]
    n = len(parts)
    empty = ddf._meta[wanted].reset_index(drop=True)
    name = f"sarvek-{kind}-" + tokenize(payload, by, buckets, parts_keys)
    dsk: dict = {}
    out_keys = [(name, "out", i) for i in range(n)]

    if kind == "targets":
        future = _chunking.target_future(obj._config())
        after = [empty] * n
        if future and n > 1:
            heads = []
            for i in range(n):
                dsk[(name, "head", i)] = (_first_rows, parts_keys[i], by, future)
                heads.append((name, "head", i))
            combine = partial(_keep_first, by=by, count=future)
            after = _scan(dsk, name + "-after", heads[::-1], combine, empty)[::-1]
        piece = partial(_piece_with_future, kind, payload, by, outputs)
        for i in range(n):
            dsk[out_keys[i]] = (piece, parts_keys[i], after[i])
    else:
        history = _chunking.feature_history(obj._config())
        if history is None:
            k = max(1, min(buckets or math.isqrt(n - 1) + 1, n))
            for i in range(n):
                dsk[(name, "split", i)] = (_split_buckets, parts_keys[i], by, k)
                for b in range(k):
                    dsk[(name, "piece", i, b)] = (getitem, (name, "split", i), b)
            run = partial(_run_bucket, kind, payload, by)
            for b in range(k):
                dsk[(name, "bucket", b)] = (run, *[(name, "piece", i, b) for i in range(n)])
                for i in range(n):
                    dsk[(name, "back", b, i)] = (getitem, (name, "bucket", b), i)
            gather = partial(_gather, by, outputs)
            for i in range(n):
                dsk[out_keys[i]] = (gather, parts_keys[i], *[(name, "back", b, i) for b in range(k)])
        else:
            before = [empty] * n
            if history and n > 1:
                tails = []
                for i in range(n):
                    dsk[(name, "tail", i)] = (_last_rows, parts_keys[i], by, history)
                    tails.append((name, "tail", i))
                combine = partial(_keep_last, by=by, count=history)
                before = _scan(dsk, name + "-before", tails, combine, empty)
            piece = partial(_piece_with_history, kind, payload, by, outputs)
            for i in range(n):
                dsk[out_keys[i]] = (piece, before[i], parts_keys[i])
    graph = HighLevelGraph.from_collections(name, dsk, dependencies=parts)
    outs = [Delayed(key, graph, layer=name) for key in out_keys]
    return dd.from_delayed(outs, meta=_meta(ddf, by, outputs), divisions=ddf.divisions, verify_meta=False)


def compute_features(ddf: dd.DataFrame, pipeline, *, by: str, buckets: int | None = None) -> dd.DataFrame:
    """Features of every symbol in ``ddf``, as a lazy Dask DataFrame.

    ``pipeline`` is a ``FeaturePipeline``, its dict form or the path of its
    TOML file; ``by`` names the
    symbol column. The result has ``ddf``'s index and partitions, the ``by``
    column and one float64 column per output name, and computes exactly the
    bits ``sarvek.compute_features(pipeline, ddf.compute(), by=by)`` gives.

    Finite-memory pipelines run partition by partition, each symbol's piece
    preceded by the bars of that symbol its longest chain of windows reads.
    A pipeline holding ``Ema`` or ``Kama`` (recursive, unbounded memory)
    instead gathers each symbol's whole history into one task: symbols are
    hashed into ``buckets`` groups (default: about the square root of the
    number of partitions), so a whole
    symbol must fit in one worker's memory.
    """
    return _build("features", ddf, pipeline, by, buckets)


def compute_targets(ddf: dd.DataFrame, pipeline, *, by: str) -> dd.DataFrame:
    """Targets of every symbol in ``ddf``, as a lazy Dask DataFrame.

    ``pipeline`` is a ``TargetPipeline``, its dict form or the path of its
    TOML file. Each partition's
    symbols are labelled together with the bars of the same symbol that
    follow in later partitions (as many as the longest horizon), so the
    labels are exactly those of one pass; the last bars of each symbol, whose
    future is beyond the data, get NaN.
    """
    return _build("targets", ddf, pipeline, by, None)


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


def _read_piece(source: tuple[str, str | None], by: str, columns: Sequence[str]) -> pd.DataFrame:
    import pyarrow.parquet as pq

    path, symbol = source
    frame = pq.read_table(path).to_pandas()
    if by not in frame.columns:
        if symbol is None:
            raise ValueError(f"{path}: no column {by!r} and no {by}=VALUE folder to take it from")
        frame.insert(0, by, symbol)
    frame[by] = frame[by].astype(str)
    who = f"symbol {symbol!r}" if symbol is not None else f"file {path}"
    missing = [name for name in columns if name not in frame.columns]
    if missing:
        raise SymbolError(f"{who}: missing column(s) {missing}; {path} has columns {list(frame.columns)}")
    for name in columns:
        dtype = frame[name].dtype
        if not (pd.api.types.is_numeric_dtype(dtype) or pd.api.types.is_bool_dtype(dtype)):
            raise SymbolError(f"{who}: column {name!r} is not numeric (dtype {dtype}) in {path}")
    out = frame[[by, *columns]]
    return out.astype({name: np.float64 for name in columns})


def read_parquet(path: str | os.PathLike, *, by: str, columns: Sequence[str]) -> dd.DataFrame:
    """A folder of Parquet files as a Dask DataFrame, one partition per file.

    Files are taken in path order; a dataset partitioned by symbol
    (``path/symbol=ABC/part-0.parquet``) gets its ``by`` column from the
    folder names. Only ``by`` and ``columns`` are kept, as float64; the index
    written with the files (e.g. the time) is kept. A file lacking one of
    ``columns`` or holding it as text fails the computation naming its
    symbol.
    """
    path = os.fspath(path)
    columns = [name for name in dict.fromkeys(columns) if name != by]
    files = _dataset_files(path, by)
    meta = _read_piece(files[0], by, columns).iloc[:0]
    return dd.from_map(partial(_read_piece, by=by, columns=columns), files, meta=meta, label="sarvek-read")


def _join(*frames: pd.DataFrame) -> pd.DataFrame:
    first, *rest = frames
    return pd.concat([first, *[f.iloc[:, 1:] for f in rest]], axis=1)


def compute_dataset(
    source: str | os.PathLike, pipelines: Sequence, out: str | os.PathLike, *, by: str
) -> None:
    """Every pipeline over a Parquet dataset folder, written as a Parquet
    dataset folder ``out`` (index, ``by`` and one column per output; one
    file per input file, named in partition order). Runs under the current Dask scheduler or client.
    The folder appears whole or not at all: it is written under a temporary
    name beside ``out`` and renamed at the end. Returns the rows written.
    """
    objs = [as_pipeline(p) for p in pipelines]
    seen = {by}
    for p in objs:
        for name in p.output_names():
            if name in seen:
                raise ValueError(f"output {name!r} is produced twice (or is the {by!r} column)")
            seen.add(name)
    names = list(dict.fromkeys(n for p in objs for n in p.input_names()))
    ddf = read_parquet(source, by=by, columns=names)
    results = [
        (compute_features if isinstance(p, _sarvek.FeaturePipeline) else compute_targets)(ddf, p, by=by)
        for p in objs
    ]
    joined = results[0]
    if len(results) > 1:
        meta = _join(*[r._meta for r in results])
        joined = dd.map_partitions(_join, *results, meta=meta, align_dataframes=False)
    out = os.path.abspath(os.fspath(out))
    parent = os.path.dirname(out)
    tmp = os.path.join(parent, f".{os.path.basename(out)}.tmp-{os.getpid()}")
    try:
        joined.to_parquet(tmp, write_index=True, name_function=lambda i: f"part-{i:06d}.parquet")
        if os.path.exists(out):
            old = tmp + "-old"
            os.replace(out, old)
            os.replace(tmp, out)
            shutil.rmtree(old, ignore_errors=True)
        else:
            os.replace(tmp, out)
    except BaseException:
        shutil.rmtree(tmp, ignore_errors=True)
        raise


def run_command(args) -> int:
    """``sarvek compute DATASET -p P.toml -o OUT --by symbol --dask ADDRESS``.

    ``ADDRESS`` is a scheduler address (``tcp://host:8786``) or
    ``local[:N]``, which starts a cluster of N worker processes on
    127.0.0.1 (default: one per core) for the run and closes it after.
    """
    import distributed

    from sarvek.cli import DataError, UsageError, _load, _one_line

    if args.by is None:
        raise UsageError("--dask needs --by COLUMN (the symbol column)")
    pipelines = [p for _, p in _load(args.pipeline)]
    address = args.dask
    cluster = None
    if address == "local" or address.startswith("local:"):
        count = address.partition(":")[2]
        if count and not (count.isdigit() and int(count) > 0):
            raise UsageError(f"--dask local:N needs a positive worker count, got {count!r}")
        cluster = distributed.LocalCluster(
            n_workers=int(count) if count else (os.cpu_count() or 1),
            threads_per_worker=1,
            processes=True,
            host="127.0.0.1",
            dashboard_address=None,
            silence_logs=logging.CRITICAL,
        )
        address = cluster
    # Failures reach the user as one line; the workers' own reports of them
    # would only repeat it with a traceback.
    quiet = logging.getLogger("distributed")
    level = quiet.level
    quiet.setLevel(logging.CRITICAL)
    try:
        with distributed.Client(address):
            compute_dataset(args.bars, pipelines, args.output, by=args.by)
    except FileNotFoundError as exc:
        raise DataError(str(exc)) from None
    except (ValueError, TypeError) as exc:
        raise DataError(f"{args.bars}: {_one_line(exc)}") from None
    finally:
        if cluster is not None:
            cluster.close()
        quiet.setLevel(level)
    return 0
