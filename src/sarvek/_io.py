"""Bars files and pipeline files as the command line reads and writes
them: CSV (read with pandas when it is installed, else the csv module) and
Parquet, each output written beside its target and renamed into place.
Failures are DataError or UsageError naming the file."""
from __future__ import annotations

import csv
import math
import os
import warnings
from collections.abc import Callable, Sequence
from typing import Any, Protocol

import numpy as np
import numpy.typing as npt

from ._errors import DataError, UsageError, need, one_line
from ._pipeline import Pipeline, PipelineError, PipelineWarning, load_pipeline, replacing

# Per pipeline: its output names, their values (rows, outputs) and where
# each value is present (a computed NaN is present; a missing value is not).
Outputs = list[tuple[list[str], npt.NDArray[np.float64], npt.NDArray[np.bool_]]]


class Progress(Protocol):
    """What writing reports to: rows written, counted in a phase of their own."""

    def phase(self, total: int, unit: str) -> None: ...

    def __call__(self, bars: int) -> None: ...


# ------------------------------------------------------------------ bars


def file_kind(path: str, role: str) -> str:
    ext = os.path.splitext(path)[1].lower()
    if ext == ".csv":
        return "csv"
    if ext in (".parquet", ".pq"):
        return "parquet"
    raise UsageError(f"{role} {path!r}: unsupported file type {ext or '(none)'!r}; use .csv or .parquet")


def _check_csv_complete(path: str) -> None:
    """Refuse a CSV whose last line was cut short."""
    with open(path, newline="", encoding="utf-8") as f:
        header = next(csv.reader([f.readline()]), [])
        f.seek(0, os.SEEK_END)
        size = f.tell()
    if not header:
        raise DataError(f"{path}: the file is empty")
    seen: set[str] = set()
    for name in header:
        if name in seen:
            raise DataError(f"{path}: the header names the column {name!r} twice")
        seen.add(name)
    with open(path, "rb") as fb:
        fb.seek(max(0, size - 65536))
        tail = fb.read()
    if tail.endswith(b"\n"):
        return
    last = tail.rsplit(b"\n", 1)[-1].decode("utf-8", "replace")
    fields = next(csv.reader([last]), [])
    if len(fields) < len(header):
        raise DataError(f"{path}: the last line has {len(fields)} of {len(header)} fields; the file looks truncated")


class CsvTable:
    """A CSV read with the csv module: each column's text as read (written
    back unchanged) and its numbers where every cell is one (empty: NaN)."""

    def __init__(self, path: str) -> None:
        with open(path, newline="", encoding="utf-8") as f:
            reader = csv.reader(f)
            try:
                header = next(reader)
            except StopIteration:
                raise DataError(f"{path}: the file is empty") from None
            rows = []
            for line, row in enumerate(reader, start=2):
                if len(row) != len(header):
                    raise DataError(f"{path}: line {line} has {len(row)} fields, the header has {len(header)}")
                rows.append(row)
        self.names = header
        self.cells = {name: [r[j] for r in rows] for j, name in enumerate(header)}
        self.columns: dict[str, np.ndarray] = {}
        for name, cells in self.cells.items():
            try:
                self.columns[name] = np.array([float(c) if c.strip() else math.nan for c in cells], dtype=np.float64)
            except ValueError:
                self.columns[name] = np.array(cells, dtype=object)

    def __len__(self) -> int:
        return len(next(iter(self.cells.values()), []))


def read_bars(path: str) -> Any:
    """A pandas DataFrame when pandas is installed, else a pyarrow Table
    (Parquet) or a CsvTable (CSV)."""
    kind = file_kind(path, "bars file")
    if not os.path.isfile(path):
        raise DataError(f"{path}: no such file")
    try:
        if kind == "csv":
            _check_csv_complete(path)
            try:
                import pandas as pd
            except ImportError:
                return CsvTable(path)
            # Numbers parse to the nearest double, as float() does (the
            # default of pandas 3; older pandas has to be asked).
            exact = {} if int(pd.__version__.split(".")[0]) >= 3 else {"float_precision": "round_trip"}
            frame = pd.read_csv(path, **exact)
            if len(frame) == 0:  # a header alone: columns of no numbers, like a 0-row Parquet file
                frame = frame.astype("float64")
            return frame
        need("pyarrow", "arrow", "reading Parquet")
        import pyarrow.parquet as pq

        table = pq.read_table(path)
        try:
            return table.to_pandas()
        except ImportError:
            return table
    except (DataError, UsageError):
        raise
    except UnicodeDecodeError as exc:
        raise DataError(f"{path}: not a text file ({exc.reason})") from None
    except Exception as exc:  # the reader's own parse errors
        raise DataError(f"{path}: cannot read: {one_line(exc)}") from None


def _has_index(data: Any) -> bool:
    """Whether a pandas table's index carries information (a time index, a
    stored key) rather than being the default 0..n-1 row count."""
    if not hasattr(data, "index") or isinstance(data, CsvTable):
        return False
    import pandas as pd

    index = data.index
    default = (isinstance(index, pd.RangeIndex) and index.start == 0 and index.step == 1
               and index.name is None)
    return not default


def _index_frame(data: Any) -> Any:
    """A pandas table with a meaningful index turned into leading columns
    (an unnamed index is called ``index``); others unchanged."""
    return data.reset_index() if _has_index(data) else data


def column_names(data: Any) -> list[str]:
    if isinstance(data, CsvTable):
        return list(data.names)
    if hasattr(data, "column_names"):
        return list(data.column_names)
    return [str(c) for c in _index_frame(data).columns]


def computable(data: Any) -> Any:
    return data.columns if isinstance(data, CsvTable) else data


def write_table(data: Any, outputs: Outputs, path: str, progress: Progress | None = None) -> None:
    """The input's columns (and a pandas index that is more than a row
    count) followed by every output column, written to a temporary file
    beside ``path`` and renamed into place."""
    kind = file_kind(path, "output file")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise DataError(f"{path}: no such folder {folder!r}")
    with replacing(path) as tmp:
        if kind == "parquet":
            _write_parquet(data, outputs, tmp)
        else:
            _write_csv(data, outputs, tmp, progress)


_CSV_ROWS = 20_000  # rows per block written between progress reports


def _write_csv(data: Any, outputs: Outputs, tmp: str, progress: Progress | None = None) -> None:
    rows = len(outputs[0][1]) if outputs else len(data) if isinstance(data, CsvTable) else data.num_rows \
        if hasattr(data, "num_rows") else len(data)
    if progress is not None:
        progress.phase(rows, "rows written")
    if isinstance(data, CsvTable) or hasattr(data, "column_names"):
        names = column_names(data)
        if isinstance(data, CsvTable):
            kept = [data.cells[n] for n in names]
        else:
            kept = [[("" if v is None else str(v)) for v in data.column(n).to_pylist()] for n in names]
        out_names = [n for names_, _, _ in outputs for n in names_]
        out_cols = [(arr[:, k], present[:, k]) for _, arr, present in outputs for k in range(arr.shape[1])]
        with open(tmp, "w", newline="", encoding="utf-8") as f:
            w = csv.writer(f)
            w.writerow(names + out_names)
            for i in range(rows):
                w.writerow([c[i] for c in kept] + [repr(float(v[i])) if p[i] else "" for v, p in out_cols])
                if progress is not None and (i + 1) % _CSV_ROWS == 0:
                    progress(_CSV_ROWS)
        if progress is not None:
            progress(rows % _CSV_ROWS)
        return
    frame = _with_outputs(_index_frame(data), outputs)
    with open(tmp, "w", newline="", encoding="utf-8") as f:
        frame.iloc[:0].to_csv(f, index=False)
        for lo in range(0, len(frame), _CSV_ROWS):
            block = frame.iloc[lo:lo + _CSV_ROWS]
            block.to_csv(f, index=False, header=False)
            if progress is not None:
                progress(len(block))


def _with_outputs(df: Any, outputs: Outputs) -> Any:
    import pandas as pd

    # Masked floats: a missing value is written empty, a computed NaN as nan.
    extra = pd.DataFrame({n: pd.arrays.FloatingArray(np.ascontiguousarray(arr[:, k]), ~present[:, k])
                          for names, arr, present in outputs for k, n in enumerate(names)}, index=df.index)
    return pd.concat([df, extra], axis=1)


def _write_parquet(data: Any, outputs: Outputs, tmp: str) -> None:
    pa = need("pyarrow", "arrow", "writing Parquet")
    import pyarrow.parquet as pq

    if isinstance(data, CsvTable):
        table = pa.table({n: data.columns[n] for n in data.names})
    elif hasattr(data, "column_names"):
        table = data
    else:
        # A meaningful index is stored as such and read back as the index.
        table = pa.Table.from_pandas(data, preserve_index=True if _has_index(data) else False)
    # A missing value is a null; a computed NaN stays a NaN.
    for names, arr, present in outputs:
        for k, n in enumerate(names):
            table = table.append_column(n, pa.array(arr[:, k], type=pa.float64(), mask=~present[:, k]))
    pq.write_table(table, tmp, **parquet_options(table))


# Values sampled from the middle of a column of numbers (past any warm-up
# of missing values) to decide whether compressing it pays.
_SAMPLE = 8192


def parquet_options(table: Any) -> dict[str, Any]:
    """How a table of results is written. Only text columns are dictionary
    encoded: numbers and times rarely repeat, and trying a dictionary for
    each such column costs more than the rest of the write. A column of
    numbers or times is compressed only when snappy shrinks a sample of it
    by a tenth: a feature's values are all but incompressible (snappy's
    output is its input's size), while compressing them costs about a third
    of the write. Labels and other columns of few distinct values stay
    compressed, as does every other column."""
    import pyarrow as pa

    fixed = (pa.types.is_integer, pa.types.is_floating, pa.types.is_temporal)
    text = [f.name for f in table.schema
            if pa.types.is_string(f.type) or pa.types.is_large_string(f.type) or pa.types.is_dictionary(f.type)]
    codecs = {f.name: "none" if any(kind(f.type) for kind in fixed) and _incompressible(table.column(f.name))
              else "snappy" for f in table.schema}
    return {"use_dictionary": text, "compression": codecs}


def _incompressible(column: Any) -> bool:
    import pyarrow as pa

    # Nulls are not stored (only where they are), so the sample skips them.
    start = max(0, len(column) // 2 - _SAMPLE // 2)
    sample = column.slice(start, _SAMPLE).drop_null()
    sample = np.ascontiguousarray(sample.to_numpy(zero_copy_only=False)).view(np.uint8)
    return sample.nbytes > 0 and pa.compress(sample, "snappy").size > 0.9 * sample.nbytes


# ------------------------------------------------------------- pipelines


def load_pipelines(paths: Sequence[str],
                   warn: Callable[[warnings.WarningMessage], None]) -> list[tuple[str, Pipeline]]:
    """The pipeline of each file, with its path, in order. What loading a
    file warns about is handed to ``warn`` once that file is read. A missing
    file or a pipeline that cannot be built is a DataError."""
    out = []
    for p in paths:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always", PipelineWarning)
            try:
                out.append((p, load_pipeline(p)))
            except FileNotFoundError:
                raise DataError(f"{p}: no such pipeline file") from None
            except PipelineError as exc:
                raise DataError(str(exc)) from None
        for w in caught:
            warn(w)
    return out
