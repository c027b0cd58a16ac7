"""Tables in, tables out: ``compute_features`` and ``compute_targets``."""
from __future__ import annotations

import os
import sys
from collections.abc import Callable, Mapping, Sequence
from typing import Any, Literal

import numpy as np
import numpy.typing as npt

import _sarvek

from . import _engine
from ._checks import _time_numbers, check_threads, check_time_order, check_workers, default_threads, numeric_values
from ._pipeline import Pipeline, PipelineLike, as_pipeline

Float64 = npt.NDArray[np.float64]
Present = npt.NDArray[np.bool_]
Progress = Callable[[int], None]
Keep = Sequence[Any] | str | None
_CHUNK = 1 << 16  # bars per piece when a run reports progress
_ACCEPTED = "a pandas DataFrame, a polars DataFrame, a pyarrow Table, a dict of 1-D arrays or a 2-D NumPy array"


def _shown(names: Sequence[Any]) -> str:
    return ", ".join(map(str, names)) or "none"


class _Table:
    """One way to read columns from a kind of data and to give results back."""

    kind = ""
    nulls = False  # results carry a validity bitmap: missing outputs are null, not NaN
    # How the engine lays out the results: column after column ("F") for tables
    # of columns, each output then one contiguous run the result takes over as
    # it is (no copy).
    order: Literal["C", "F"] = "F"

    def __init__(self, data: Any) -> None:
        self.data = data

    names: list[Any] | None = None

    def rows(self) -> int:
        raise NotImplementedError

    def raw(self, name: Any) -> Any:
        raise NotImplementedError

    def column(self, name: Any) -> Float64:
        return numeric_values(name, self.raw(name))

    def keys(self, name: Any) -> np.ndarray:
        return np.asarray(self.raw(name))

    def group_codes(self, name: Any) -> tuple[Codes, int]:
        """Each row's group (see ``_codes``), read from the column itself where it can be."""
        return _column_codes(self.raw(name), lambda: self.keys(name))

    def labels(self) -> Any:
        """What a row is called in messages: its index label, else its position."""
        return None

    def index_times(self) -> tuple[Any, str] | None:
        """Times the table's index carries, checked for order without asking."""
        return None

    def check_lengths(self, names: Sequence[Any]) -> None:
        """Every named column has one value per row (tables cannot differ)."""

    def wrap(self, names: list[str], out: Float64, present: Present | None, keep: list[Any]) -> Any:
        raise NotImplementedError

    def check_has(self, name: Any, role: str) -> None:
        assert self.names is not None
        if name not in self.names:
            raise ValueError(f"missing column {name!r} ({role}); the data has columns: {_shown(self.names)}")


class _Pandas(_Table):
    kind = "pandas"

    def __init__(self, data: Any) -> None:
        super().__init__(data)
        self.names = list(data.columns)

    def rows(self) -> int:
        return len(self.data)

    def raw(self, name: Any) -> Any:
        col = self.data[name]
        if col.ndim != 1:
            raise ValueError(f"column {name!r} appears more than once in the data")
        return col

    def keys(self, name: Any) -> np.ndarray:
        return self.raw(name).to_numpy()

    def labels(self) -> Any:
        return self.data.index

    def index_times(self) -> tuple[Any, str] | None:
        import pandas as pd

        index = self.data.index
        if isinstance(index, pd.DatetimeIndex):
            return index, "index" if index.name is None else str(index.name)
        return None

    def wrap(self, names: list[str], out: Float64, present: Present | None, keep: list[Any]) -> Any:
        import pandas as pd

        # A column-major block is taken over as it is: one float64 block, no copy.
        result = pd.DataFrame(out, columns=names, index=self.data.index, copy=False)
        if not keep:
            return result
        kept = self.data.iloc[:, [self.names.index(n) for n in keep]]  # type: ignore[union-attr]
        return pd.concat([kept, result], axis=1)


class _Polars(_Table):
    kind = "polars"
    nulls = True

    def __init__(self, data: Any) -> None:
        super().__init__(data)
        self.names = list(data.columns)

    def rows(self) -> int:
        return int(self.data.height)

    def raw(self, name: Any) -> Any:
        return self.data.get_column(name)

    def keys(self, name: Any) -> np.ndarray:
        return self.raw(name).to_numpy()

    def wrap(self, names: list[str], out: Float64, present: Present | None, keep: list[Any]) -> Any:
        import polars as pl

        if present is None:
            result = pl.DataFrame({n: out[:, k] for k, n in enumerate(names)}, schema={n: pl.Float64 for n in names})
        else:
            result = pl.DataFrame(_arrow_outputs(names, out, present))
        if not keep:
            return result
        return pl.concat([self.data.select(keep), result], how="horizontal")


class _Arrow(_Table):
    kind = "pyarrow"
    nulls = True

    def __init__(self, data: Any) -> None:
        super().__init__(data)
        self.names = list(data.column_names)

    def rows(self) -> int:
        return int(self.data.num_rows)

    def raw(self, name: Any) -> Any:
        if self.data.column_names.count(name) > 1:
            raise ValueError(f"column {name!r} appears more than once in the data")
        return self.data.column(name)

    def keys(self, name: Any) -> np.ndarray:
        return self.raw(name).to_numpy()

    def wrap(self, names: list[str], out: Float64, present: Present | None, keep: list[Any]) -> Any:
        import pyarrow as pa

        result = _arrow_outputs(names, out, present)
        if not keep:
            return result
        return pa.Table.from_arrays([self.raw(n) for n in keep] + result.columns, names=list(keep) + names)


def _arrow_outputs(names: list[str], out: Float64, present: Present | None) -> Any:
    """One float64 Arrow array per output, its values buffer the output's column
    of ``out`` as it is (no copy) and, where ``present`` marks missing values,
    a validity bitmap packed from it."""
    import pyarrow as pa

    bars = out.shape[0]
    # Every output's bitmap at once, column after column: bit i of a column set where bar i is present.
    bitmaps = None if present is None else np.asfortranarray(np.packbits(present, axis=0, bitorder="little"))
    arrays = []
    for k in range(len(names)):
        values = np.ascontiguousarray(out[:, k])  # already contiguous in a column-major block
        if present is None or bitmaps is None or present[:, k].all():
            arrays.append(pa.Array.from_buffers(pa.float64(), bars, [None, pa.py_buffer(values)], null_count=0))
        else:
            arrays.append(pa.Array.from_buffers(pa.float64(), bars, [pa.py_buffer(bitmaps[:, k]),
                                                                     pa.py_buffer(values)]))
    return pa.Table.from_arrays(arrays, names=names)


def _is_column(values: Any) -> bool:
    mods = sys.modules
    pd, pl, pa = mods.get("pandas"), mods.get("polars"), mods.get("pyarrow")
    return (pd is not None and isinstance(values, pd.Series)) or (pl is not None and isinstance(values, pl.Series)) \
        or (pa is not None and isinstance(values, (pa.Array, pa.ChunkedArray)))


class _Dict(_Table):
    kind = "dict"

    def __init__(self, data: Any) -> None:
        super().__init__(data)
        self.names = list(data.keys())

    def rows(self) -> int:
        for name in self.names or ():
            return len(self.raw(name))
        return 0

    def raw(self, name: Any) -> Any:
        values = self.data[name]
        if not (isinstance(values, np.ndarray) or _is_column(values)):
            values = np.asarray(values)
        if isinstance(values, np.ndarray) and values.ndim != 1:
            raise ValueError(f"column {name!r} must be 1-D, got an array of shape {values.shape}")
        return values

    def keys(self, name: Any) -> np.ndarray:
        values = self.raw(name)
        if np.ma.isMaskedArray(values):
            keys = np.ma.getdata(values).astype(object)
            keys[np.ma.getmaskarray(values)] = None
            return keys
        if _is_column(values):
            return np.asarray(values.to_numpy())
        return np.asarray(values)

    def check_lengths(self, names: Sequence[Any]) -> None:
        first: tuple[Any, int] | None = None
        for name in names:
            n = len(self.raw(name))
            if first is None:
                first = (name, n)
            elif n != first[1]:
                raise ValueError(f"column {name!r} has {n} values where column {first[0]!r} has {first[1]}; "
                                 "every column needs one value per bar")

    def wrap(self, names: list[str], out: Float64, present: Present | None, keep: list[Any]) -> Any:
        result = {n: self.data[n] for n in keep}
        # Column-major results: each column is already contiguous, a view of the block.
        result.update({n: np.ascontiguousarray(out[:, k]) for k, n in enumerate(names)})
        return result


class _Array(_Table):
    kind = "ndarray"
    order: Literal["C", "F"] = "C"  # the (rows, outputs) array itself is the result, row-major as ever

    def rows(self) -> int:
        return int(self.data.shape[0])

    def wrap(self, names: list[str], out: Float64, present: Present | None, keep: list[Any]) -> Any:
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
        if arr.dtype.kind not in "biufO":
            raise TypeError(f"the array is not numeric (dtype {arr.dtype})")
        return [numeric_values(name, arr[:, j]) for j, name in enumerate(inputs)]
    return [table.column(name) for name in inputs]


def _named(table: _Table, what: str) -> None:
    if table.names is None:
        raise TypeError(f"{what} needs data with named columns; a 2-D array has none")


def _keep_names(table: _Table, keep: Keep, outputs: list[str]) -> list[Any]:
    """The input columns ``keep=`` carries into the result, checked before computing."""
    if keep is None:
        return []
    _named(table, "keep=")
    assert table.names is not None
    if isinstance(keep, str):
        if keep != "all":
            raise TypeError(f"keep must be a list of column names or 'all', got {keep!r} "
                            f"(for one column write keep=[{keep!r}])")
        names = list(table.names)
    elif isinstance(keep, Sequence) or isinstance(keep, np.ndarray):
        names = list(keep)
    else:
        raise TypeError(f"keep must be a list of column names or 'all', got {type(keep).__name__}")
    unknown = [n for n in names if n not in table.names]
    if unknown:
        raise ValueError(f"keep= names columns the data does not have: {', '.join(map(repr, unknown))}; "
                         f"the data has columns: {_shown(table.names)}")
    seen: set[Any] = set()
    twice = [n for n in names if n in seen or seen.add(n)]  # type: ignore[func-returns-value]
    if twice:
        raise ValueError(f"keep= names {', '.join(map(repr, twice))} more than once")
    clash = [n for n in names if n in outputs]
    if clash:
        raise ValueError(f"kept column(s) {', '.join(map(repr, clash))} would share a name with the pipeline's "
                         "output(s); rename the column or leave it out of keep=")
    for name in names:
        table.raw(name)  # a duplicated name in the data is refused here, before computing
    return names


class _Rows:
    """Row labels of a group's rows, looked up only when a message needs one."""

    def __init__(self, labels: Any, idx: npt.NDArray[np.intp]) -> None:
        self.labels, self.idx = labels, idx

    def __getitem__(self, i: int) -> Any:
        j = int(self.idx[i])
        return j if self.labels is None else self.labels[j]


def _check_order(times: Any, column: str, labels: Any, groups: list[npt.NDArray[np.intp]] | None,
                 keys: np.ndarray | None) -> None:
    """Time never goes backwards within a group (or the whole table); NaT refused."""
    arr = _time_numbers(times, column)
    if groups is None:
        check_time_order(arr, column, rows=labels)
        return
    # One pass over every row; groups are looked at one by one only to word a refusal.
    bad = np.isnat(arr) if arr.dtype.kind in "Mm" else (np.isnan(arr) if arr.dtype.kind == "f" else None)
    worst = int(np.argmax(bad)) if bad is not None and bad.any() else len(arr)
    for idx in groups:
        if len(idx) > 1:
            t = arr[idx]
            back = t[1:] < t[:-1]
            if back.any():
                worst = min(worst, int(idx[int(np.argmax(back)) + 1]))
    if worst == len(arr):
        return
    assert keys is not None
    for idx in groups:
        at = int(np.searchsorted(idx, worst))
        if at < len(idx) and idx[at] == worst:
            symbol = keys[idx[0]]
            symbol = symbol.item() if isinstance(symbol, np.generic) else symbol
            check_time_order(arr[idx], column, symbol, _Rows(labels, idx))
    raise AssertionError("a time out of order was found but not reported")  # pragma: no cover


def _check_table_order(table: _Table, time: Any, groups: list[npt.NDArray[np.intp]] | None,
                       keys: np.ndarray | None) -> None:
    """The order of the time= column, or else of the index's times where the table has them."""
    if time is not None:
        _check_order(table.raw(time), str(time), table.labels(), groups, keys)
    else:
        found = table.index_times()
        if found is not None:
            _check_order(found[0], found[1], table.labels(), groups, keys)


def _check_group_order(table: _Table, time: Any, by: Any, codes: Codes, n_groups: int) -> None:
    """The time order within every group, all groups at once: only a refusal
    looks at its one group (through ``_check_order``, which words it)."""
    if time is not None:
        times, column = table.raw(time), str(time)
    else:
        found = table.index_times()
        if found is None:
            return
        times, column = found
    arr = _time_numbers(times, column)
    bad = np.isnat(arr) if arr.dtype.kind in "Mm" else (np.isnan(arr) if arr.dtype.kind == "f" else None)
    worst = int(np.argmax(bad)) if bad is not None and bad.any() else len(arr)
    if len(arr) > 1:
        # Stable: each group's rows stay in table order (a radix sort for few groups).
        small = np.int16 if n_groups <= np.iinfo(np.int16).max else np.int64
        order = np.argsort(codes.astype(small, copy=False), kind="stable")
        t, c = arr[order], codes[order]
        back = (t[1:] < t[:-1]) & (c[1:] == c[:-1])
        if back.any():
            worst = min(worst, int(order[1:][back].min()))
    if worst == len(arr):
        return
    idx = np.flatnonzero(codes == codes[worst])
    _check_order(times, column, table.labels(), [idx], table.keys(by))
    raise AssertionError("a time out of order was found but not reported")  # pragma: no cover


Codes = npt.NDArray[np.int64]


def _codes(keys: np.ndarray) -> npt.NDArray[np.intp]:
    """One integer per row, equal for equal keys; every missing key shares one code."""
    try:
        import pandas as pd
    except ImportError:
        pd = None
    if pd is not None:
        # Hashing, not sorting: linear in the rows, also for string keys.
        codes, _ = pd.factorize(keys, use_na_sentinel=True)
        return _missing_last(np.asarray(codes, dtype=np.intp))
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


def _missing_last(codes: npt.NDArray[Any]) -> npt.NDArray[Any]:
    """Codes with -1 (a missing key) turned into one code after all the others."""
    missing = codes < 0
    if missing.any():
        codes[missing] = codes.max(initial=-1) + 1
    return codes


def _arrow_codes(values: Any) -> Codes | None:
    """Group codes of an Arrow array or chunked array of strings, integers or
    categories, hashed by Arrow itself; None for any other type (floats
    among them: NaN and null are one missing key, 0.0 and -0.0 one key)."""
    import pyarrow as pa
    import pyarrow.compute as pc

    kind = values.type
    if pa.types.is_dictionary(kind):  # categories: the values they stand for, whatever the chunks' dictionaries
        kind = kind.value_type
        values = values.cast(kind)
    if not (pa.types.is_string(kind) or pa.types.is_large_string(kind) or pa.types.is_string_view(kind)
            or pa.types.is_binary(kind) or pa.types.is_large_binary(kind) or pa.types.is_integer(kind)):
        return None
    parts = min(default_threads(), len(values) // _ENCODE_ROWS)
    if parts >= 2:
        return _missing_last(_split_codes(values, parts))
    return _missing_last(_encoded_codes(pc.dictionary_encode(values))[0])


# Rows per thread at least before a key column is hashed in parts.
_ENCODE_ROWS = 1 << 17


def _encoded_codes(encoded: Any) -> tuple[Codes, Any]:
    """The indices of a dictionary-encoded array or chunked array (one
    dictionary shared by every chunk) as int64, -1 for null, and that
    dictionary (None when there are no chunks)."""
    import pyarrow as pa

    chunks = encoded.chunks if isinstance(encoded, pa.ChunkedArray) else [encoded]
    if not chunks:
        return np.empty(0, dtype=np.int64), None
    indices = pa.chunked_array([c.indices for c in chunks], type=chunks[0].indices.type)
    return indices.fill_null(-1).to_numpy().astype(np.int64), chunks[0].dictionary


def _split_codes(values: Any, parts: int) -> Codes:
    """Arrow's dictionary encoding of ``values`` in ``parts`` slices on as
    many threads (Arrow releases the interpreter lock while it hashes), each
    slice's codes then mapped onto one dictionary of every distinct key:
    equal keys share a code, -1 for null."""
    from concurrent.futures import ThreadPoolExecutor

    import pyarrow as pa
    import pyarrow.compute as pc

    n = len(values)
    bounds = [n * k // parts for k in range(parts + 1)]
    slices = [values.slice(a, b - a) for a, b in zip(bounds, bounds[1:])]
    with ThreadPoolExecutor(parts) as pool:
        encoded = list(pool.map(lambda piece: _encoded_codes(pc.dictionary_encode(piece)), slices))
    dictionaries = [d for _, d in encoded if d is not None]
    every = pc.unique(pa.concat_arrays(dictionaries)) if dictionaries else None
    out = np.empty(n, dtype=np.int64)
    for (codes, dictionary), a, b in zip(encoded, bounds, bounds[1:]):
        if dictionary is None:
            continue
        # Position of each slice key in the shared dictionary; a null
        # index (-1) picks the -1 appended after them.
        where = pc.index_in(dictionary, value_set=every).to_numpy(zero_copy_only=False).astype(np.int64)
        np.take(np.append(where, -1), codes, out=out[a:b])
    return out


def _column_codes(values: Any, keys: Callable[[], np.ndarray]) -> tuple[Codes, int]:
    """Each row's group as an int64 code and the number of codes: equal keys
    share a code, every missing key (None, NaN, null, NaT) one code after the
    others. pandas columns are factorized as they are, Arrow and polars
    columns of strings, integers and categories hashed by Arrow; anything
    else goes through ``keys()``, the column as a NumPy array."""
    mods = sys.modules
    pd, pl, pa = mods.get("pandas"), mods.get("polars"), mods.get("pyarrow")
    codes: Any = None
    if pd is not None and isinstance(values, pd.Series) and isinstance(values.array, pd.arrays.ArrowStringArray):
        codes = _arrow_codes(values.array.__arrow_array__())  # pandas' own strings are Arrow's
    if codes is None and pd is not None and isinstance(values, pd.Series):
        codes = _missing_last(np.asarray(values.factorize(use_na_sentinel=True)[0], dtype=np.int64))
    elif pa is not None and isinstance(values, (pa.Array, pa.ChunkedArray)):
        codes = _arrow_codes(values)
    elif pl is not None and pa is not None and isinstance(values, pl.Series) and not values.dtype.is_float():
        try:
            arrow = values.to_arrow()
        except Exception:  # a type Arrow cannot take: the keys as NumPy has them
            arrow = None
        codes = None if arrow is None else _arrow_codes(arrow)
    if codes is None:
        codes = np.asarray(_codes(keys()), dtype=np.int64)
    return codes, int(codes.max(initial=-1)) + 1


Result = tuple[Float64, "Present | None"]


def _run_one(pipeline: Pipeline, columns: Sequence[Float64], bars: int, progress: Progress | None,
             validity: bool, order: Literal["C", "F"], threads: int = 1) -> Result:
    if isinstance(pipeline, _sarvek.TargetPipeline):
        got = _engine.run_targets(pipeline, columns, bars, validity=validity, order=order, threads=threads)
        if progress:
            progress(bars)
        return got if validity else (got, None)
    if progress is None or bars <= _CHUNK:
        got = _engine.run_features(pipeline, columns, bars, validity=validity, order=order, threads=threads)
        if progress:
            progress(bars)
        return got if validity else (got, None)
    width = len(pipeline.output_names())
    out = np.empty((bars, width), dtype=np.float64, order=order)
    present = np.empty((bars, width), dtype=np.bool_, order=order) if validity else None
    for begin in range(0, bars, _CHUNK):
        end = min(bars, begin + _CHUNK)
        got = _engine.run_features(pipeline, [c[begin:end] for c in columns], end - begin,
                                   reset=begin == 0, validity=validity, order=order, threads=threads)
        if validity:
            out[begin:end], present[begin:end] = got  # type: ignore[index]
        else:
            out[begin:end] = got
        progress(end - begin)
    return out, present


def _compute_all(
    pipeline: Pipeline,
    table: _Table,
    *,
    by: str | None,
    workers: int | None,
    progress: Progress | None,
    time: Any,
    validity: bool,
    kept: Sequence[Any] = (),
    order: Literal["C", "F"] = "C",
    threads: int | None = None,
) -> Result:
    """Check everything the run needs, then run: (rows, outputs) values and, with
    ``validity``, whether each is present; both laid out in ``order`` ("C" or "F")."""
    workers = check_workers(workers)
    threads = check_threads(threads)
    if threads is None:
        threads = default_threads()
    inputs = pipeline.input_names()
    if table.names is not None:
        for name in inputs:
            table.check_has(name, "an input column of the pipeline")
    if by is not None:
        _named(table, "by=")
        if not isinstance(by, str):
            raise TypeError(f"by must be a column name, got {type(by).__name__}")
        table.check_has(by, "the by= column")
    if time is not None:
        _named(table, "time=")
        table.check_has(time, "the time= column")
    if table.names is not None:
        table.check_lengths([*inputs, *([by] if by is not None else []), *([time] if time is not None else []),
                             *kept])
    columns = _input_columns(table, inputs)
    rows = len(columns[0]) if columns else table.rows()
    if by is None:
        _check_table_order(table, time, None, None)
        return _run_one(pipeline._fresh(), columns, rows, progress, validity, order, threads)
    codes, n_groups = table.group_codes(by)
    _check_group_order(table, time, by, codes, n_groups)
    # Every group gathered, run on a fresh copy of the pipeline and scattered
    # back in the engine, with the interpreter lock released.
    got = pipeline._run_groups(_engine._data(columns, rows), codes, n_groups, validity=validity, order=order,
                               workers=workers or os.cpu_count() or 1)
    if progress:
        progress(rows)
    got = _engine._split(got, validity)
    return got if validity else (got, None)


def compute_array(
    pipeline: Pipeline,
    table_or_data: Any,
    *,
    by: str | None = None,
    workers: int | None = None,
    progress: Progress | None = None,
    time: Any = None,
    threads: int | None = None,
) -> Float64:
    """The (rows, outputs) float64 result of running ``pipeline`` over the data
    (NaN for missing), after the checks ``compute_features`` makes."""
    table = table_or_data if isinstance(table_or_data, _Table) else _table(table_or_data)
    return _compute_all(pipeline, table, by=by, workers=workers, progress=progress, time=time, validity=False,
                        threads=threads)[0]


def compute_with_validity(
    pipeline: Pipeline,
    table_or_data: Any,
    *,
    by: str | None = None,
    workers: int | None = None,
    progress: Progress | None = None,
    time: Any = None,
    threads: int | None = None,
) -> tuple[Float64, Present]:
    """As ``compute_array``, with a (rows, outputs) bool array beside the values:
    False where an output is missing (a computed NaN is present)."""
    table = table_or_data if isinstance(table_or_data, _Table) else _table(table_or_data)
    out, present = _compute_all(pipeline, table, by=by, workers=workers, progress=progress, time=time,
                                validity=True, threads=threads)
    assert present is not None
    return out, present


def _compute(want: type, pipeline: PipelineLike, data: Any, by: str | None, workers: int | None,
             keep: Keep, time: Any, threads: int | None) -> Any:
    pipe = as_pipeline(pipeline)
    if not isinstance(pipe, want):
        other = "compute_targets" if want is _sarvek.FeaturePipeline else "compute_features"
        raise TypeError(f"expected a {want.__name__}, got a {type(pipe).__name__}; use {other} for it")
    table = _table(data)
    outputs = pipe.output_names()
    kept = _keep_names(table, keep, outputs)
    out, present = _compute_all(pipe, table, by=by, workers=workers, progress=None, time=time,
                                validity=table.nulls, kept=kept, order=table.order, threads=threads)
    return table.wrap(outputs, out, present, kept)


def compute_features(pipeline: PipelineLike, data: Any, *, by: str | None = None,
                     workers: int | None = None, keep: Keep = None, time: Any = None,
                     threads: int | None = None) -> Any:
    """Run a feature pipeline over a table and return its outputs as a table.

    ``pipeline``: a ``FeaturePipeline``, its dict form or a path to a TOML
    file. ``data``: a pandas DataFrame, polars DataFrame, pyarrow Table or
    dict of 1-D columns (input columns picked by name, other columns
    ignored), or a 2-D NumPy array with exactly one column per input column.
    Integers (nullable ones too), booleans, float32, decimals and columns of
    Python numbers become float64; nulls, NaN and the masked entries of a
    ``numpy.ma`` array are missing. Every column of a dict has one value per
    bar. Returns the same kind of object with one float64 column per output
    name, in ``output_names()`` order: polars and pyarrow results are null
    where an output is missing (a computed NaN, such as the log of a negative
    price ratio, stays NaN); pandas results keep the index and have NaN for
    missing, as do dict and NumPy results. The computed numbers are handed
    over without a copy: each output of a pandas, polars, pyarrow or dict
    result is one contiguous float64 column of a single block (the arrays of
    a dict result are views of it), a NumPy result one row-major array.

    ``by="symbol"``: a fresh copy of the pipeline per distinct value of that
    column, the groups spread over ``workers`` threads (None, the default:
    one per CPU; else a whole number of at least 1); rows stay in their
    original order. The pipeline object passed in is never touched: every
    run uses a fresh copy.

    ``keep=["time"]``: input columns carried into the result unchanged (same
    values, same dtype), in the order given and before the outputs;
    ``keep="all"`` keeps every column of the data. A kept name may not be an
    output name.

    ``time="time"``: a column whose values never decrease within a symbol
    (within the whole table without ``by=``); rows out of order raise
    ``ValueError`` naming the symbol and the first row that goes back in
    time. A pandas DatetimeIndex is checked that way without asking.

    ``threads``: the threads a run may use (None, the default: the cores
    this process may run on, at most ``SARVEK_THREADS`` when that is set;
    else a whole number of at least 1). A long run is cut into pieces of
    bars computed at once, each piece after the first by a fresh copy fed
    the bars of history its longest chain of features needs, so the results
    are bit for bit those of one thread; recursions (Ema, Kama, Macd, Rsi,
    Atr, Obv, ...) and the features they read run whole on one thread beside
    the pieces of the others, and runs shorter than about 16,000 bars a
    piece are not split. With ``by=`` the groups are shared out over
    ``workers`` threads inside the engine, each group on one thread, and
    ``threads`` is not used. ``threads=1`` computes every run on one thread.
    """
    return _compute(_sarvek.FeaturePipeline, pipeline, data, by, workers, keep, time, threads)


def compute_targets(pipeline: PipelineLike, data: Any, *, by: str | None = None,
                    workers: int | None = None, keep: Keep = None, time: Any = None,
                    threads: int | None = None) -> Any:
    """Label a table with a target pipeline; takes and returns data exactly as
    ``compute_features`` does, ``keep=``, ``time=`` and ``threads=`` included
    (the last bars of each group, whose future is beyond the data, are
    missing)."""
    return _compute(_sarvek.TargetPipeline, pipeline, data, by, workers, keep, time, threads)
