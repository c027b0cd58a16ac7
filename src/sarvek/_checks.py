"""The checks every data path shares: numeric columns, time order, worker counts.

The in-process functions, the command line and the Dask functions all read
columns through ``numeric_values`` and check bar order with
``check_time_order``, so a column is accepted or refused the same way, with
the same message, whichever way it arrives.

Messages (stable; tests and users match on them):

* ``numeric_values``: ``TypeError: column 'close' is not numeric (dtype str);
  sarvek reads numbers, booleans or missing values``; for a column of Python
  objects the first value that is not a number is shown too:
  ``column 'close' is not numeric (dtype object, value 'abc'); ...``.
* ``check_time_order``: ``ValueError: time column 'time' goes backwards for
  symbol 'AAA' at row 17: 2024-01-02T09:31 after 2024-01-02T09:32; sort the
  bars by time`` (without a symbol: ``... goes backwards at row 17: ...``);
  ``ValueError: time column 'time' has a missing time for symbol 'AAA' at row
  17; every bar needs a time``; ``TypeError: time column 'time' must hold
  datetimes or numbers, got dtype <U10``.
* ``check_workers``: ``ValueError: workers must be None or a whole number of
  at least 1, got 0``.
"""
from __future__ import annotations

import datetime
import decimal
import os
import re
import sys
from typing import Any

import numpy as np

_NUMERIC_KINDS = "biuf"
_READS = "sarvek reads numbers, booleans or missing values"


def _not_numeric(name: str, dtype: Any, value: Any = None, *, show_value: bool = False) -> TypeError:
    shown = f", value {value!r}" if show_value else ""
    return TypeError(f"column {name!r} is not numeric (dtype {dtype}{shown}); {_READS}")


def _is_missing(value: Any) -> bool:
    if value is None:
        return True
    pd = sys.modules.get("pandas")
    if pd is not None and value is pd.NA:
        return True
    return False


def _objects(name: str, values: Any, dtype: Any) -> np.ndarray:
    """Python objects that are numbers (or missing) as float64; anything else refused."""
    out = np.empty(len(values), dtype=np.float64)
    for i, value in enumerate(values):
        if _is_missing(value):
            out[i] = np.nan
        elif isinstance(value, (int, float, np.integer, np.floating, np.bool_)):
            # bool is an int; int beyond the float range rounds to +-inf as IEEE does.
            try:
                out[i] = float(value)
            except OverflowError:
                out[i] = np.inf if value > 0 else -np.inf
        elif isinstance(value, decimal.Decimal):
            out[i] = np.nan if value.is_nan() else float(value)
        else:
            raise _not_numeric(name, dtype, value, show_value=True)
    return out


def _from_numpy(name: str, values: np.ndarray) -> np.ndarray:
    if np.ma.isMaskedArray(values):
        mask = np.ma.getmaskarray(values)
        out = _from_numpy(name, np.ma.getdata(values))
        if mask.any():
            out = np.array(out, dtype=np.float64, copy=True)
            out[mask] = np.nan
        return out
    if values.ndim != 1:
        raise ValueError(f"column {name!r} must be 1-D, got an array of shape {values.shape}")
    kind = values.dtype.kind
    if kind in _NUMERIC_KINDS:
        return np.ascontiguousarray(values, dtype=np.float64)
    if kind == "O":
        return _objects(name, values, values.dtype)
    raise _not_numeric(name, values.dtype)


def _from_arrow(name: str, values: Any) -> np.ndarray:
    import pyarrow as pa

    t = values.type
    if not (pa.types.is_integer(t) or pa.types.is_floating(t) or pa.types.is_boolean(t)
            or pa.types.is_null(t) or pa.types.is_decimal(t)):
        raise _not_numeric(name, t)
    if values.null_count or not pa.types.is_float64(t):
        values = values.cast(pa.float64()).fill_null(np.nan)
    return np.ascontiguousarray(values.to_numpy(), dtype=np.float64)


def _from_pandas(name: str, values: Any) -> np.ndarray:
    import pandas as pd

    dtype = values.dtype
    if isinstance(dtype, pd.ArrowDtype):
        return _from_arrow(name, values.array.__arrow_array__())
    if dtype == object:
        return _objects(name, values.to_numpy(dtype=object), dtype)
    if pd.api.types.is_complex_dtype(dtype) or not (
            pd.api.types.is_bool_dtype(dtype) or pd.api.types.is_numeric_dtype(dtype)):
        raise _not_numeric(name, dtype)
    return np.ascontiguousarray(values.to_numpy(dtype=np.float64, na_value=np.nan))


def _from_polars(name: str, values: Any) -> np.ndarray:
    import polars as pl

    dtype = values.dtype
    if dtype == pl.Object:
        return _objects(name, values.to_list(), dtype)
    if not (dtype.is_numeric() or dtype in (pl.Boolean, pl.Null)):
        raise _not_numeric(name, dtype)
    out = values.cast(pl.Float64).fill_null(float("nan")).to_numpy()
    return np.ascontiguousarray(out, dtype=np.float64)


def numeric_values(name: str, values: Any) -> np.ndarray:
    """The float64 values of one column, missing entries as NaN.

    ``values``: a NumPy array (a ``numpy.ma`` masked array too), pandas
    Series, polars Series, pyarrow Array or ChunkedArray, or a list. Floats,
    integers (nullable ones too), booleans, decimals, nulls and columns of
    Python objects that are all numbers or missing are read; missing entries
    (None, null, pandas NA, NaN, masked entries) become NaN. Anything else
    raises ``TypeError: column 'close' is not numeric (dtype str); sarvek reads
    numbers, booleans or missing values`` (for a column of objects, the first
    value that is not a number is shown beside the dtype:
    ``(dtype object, value 'abc')``). A column that is not 1-D raises
    ``ValueError: column 'close' must be 1-D, got an array of shape (3, 2)``.

    Returns a C-contiguous float64 array, which may share memory with
    ``values`` when that already is one.
    """
    mods = sys.modules
    pd, pl, pa = mods.get("pandas"), mods.get("polars"), mods.get("pyarrow")
    if isinstance(values, np.ndarray):
        return _from_numpy(name, values)
    if pd is not None and isinstance(values, (pd.Series, pd.Index)):
        return _from_pandas(name, values)
    if pl is not None and isinstance(values, pl.Series):
        return _from_polars(name, values)
    if pa is not None and isinstance(values, (pa.Array, pa.ChunkedArray)):
        return _from_arrow(name, values)
    return _from_numpy(name, np.asarray(values))


def _time_array(values: Any) -> np.ndarray:
    """Time values of any column kind as NumPy (time zones as UTC, missing as NaT or NaN)."""
    mods = sys.modules
    pd, pl, pa = mods.get("pandas"), mods.get("polars"), mods.get("pyarrow")
    if pd is not None and isinstance(values, (pd.Series, pd.Index)):
        if isinstance(values.dtype, pd.ArrowDtype):
            values = values.array.__arrow_array__()
        else:
            if isinstance(values.dtype, pd.DatetimeTZDtype):
                values = values.dt.tz_convert(None) if isinstance(values, pd.Series) else values.tz_convert(None)
            return np.asarray(values.to_numpy())
    if pl is not None and isinstance(values, pl.Series):
        return np.asarray(values.to_numpy())
    if pa is not None and isinstance(values, pa.ChunkedArray):
        return np.asarray(values.to_numpy())
    if pa is not None and isinstance(values, pa.Array):
        return np.asarray(values.to_numpy(zero_copy_only=False))
    if np.ma.isMaskedArray(values):
        mask = np.ma.getmaskarray(values)
        data = np.ma.getdata(values)
        if not mask.any():
            return data
        if data.dtype.kind in "Mm":
            return np.where(mask, np.array("NaT", dtype=data.dtype), data)
        return np.where(mask, np.nan, data.astype(np.float64)) if data.dtype.kind in _NUMERIC_KINDS else data
    return np.asarray(values)


def _time_numbers(times: Any, column: str) -> np.ndarray:
    """Time values as an array whose order is the time order (datetime64 or numbers)."""
    arr = _time_array(times)
    if arr.ndim != 1:
        raise ValueError(f"time column {column!r} must be 1-D, got an array of shape {arr.shape}")
    kind = arr.dtype.kind
    if kind in "Mm" or kind in _NUMERIC_KINDS:
        return arr
    pd = sys.modules.get("pandas")
    if kind == "O" and pd is not None and all(
            v is None or v is pd.NaT or isinstance(v, (datetime.date, np.datetime64)) for v in arr):
        # Python datetimes or pandas Timestamps, time zones compared in UTC.
        try:
            return np.asarray(pd.to_datetime(arr, utc=True).tz_convert(None).to_numpy())
        except (TypeError, ValueError):
            pass
    raise TypeError(f"time column {column!r} must hold datetimes or numbers, got dtype {arr.dtype}")


def _row(rows: Any, i: int) -> Any:
    if rows is None:
        return i
    row = rows[i]
    return row.item() if isinstance(row, np.generic) and not isinstance(row, np.datetime64) else row


def check_time_order(times: Any, column: str, symbol: Any = None, rows: Any = None) -> None:
    """Refuse bars whose time ever goes backwards.

    ``times``: one symbol's time values in row order: datetime64 or numbers
    (a NumPy array, ``numpy.ma`` masked array, pandas Series or Index, polars
    Series or pyarrow array; time zones are compared in UTC), or Python or
    pandas datetimes in an object array. ``rows``: the row label
    of each value (an index, or the rows' positions in the whole table);
    without it a row is its position in ``times``. Equal times are allowed.

    Raises ``ValueError: time column 'time' goes backwards for symbol 'AAA' at
    row 17: 2024-01-02T09:31 after 2024-01-02T09:32; sort the bars by time``
    for the first row whose time is earlier than the row before it (without
    ``symbol``: ``time column 'time' goes backwards at row 17: ...``), and
    ``ValueError: time column 'time' has a missing time for symbol 'AAA' at
    row 17; every bar needs a time`` for a NaT or NaN time. Other dtypes
    raise ``TypeError: time column 'time' must hold datetimes or numbers, got
    dtype <U10``.
    """
    arr = _time_numbers(times, column)
    where = "" if symbol is None else f" for symbol {symbol!r}"
    if arr.dtype.kind in "Mm":
        missing = np.isnat(arr)
    elif arr.dtype.kind == "f":
        missing = np.isnan(arr)
    else:
        missing = None
    if missing is not None and missing.any():
        i = int(np.argmax(missing))
        raise ValueError(f"time column {column!r} has a missing time{where} at row {_row(rows, i)!r}; "
                         "every bar needs a time")
    if len(arr) < 2:
        return
    back = arr[1:] < arr[:-1]
    if back.any():
        i = int(np.argmax(back)) + 1
        raise ValueError(f"time column {column!r} goes backwards{where} at row {_row(rows, i)!r}: "
                         f"{arr[i]} after {arr[i - 1]}; sort the bars by time")


def check_threads(threads: Any) -> int | None:
    """``None`` or a whole number of at least 1, as ``check_workers`` takes
    ``workers``; anything else raises ``ValueError`` naming ``threads``."""
    if threads is None:
        return None
    if isinstance(threads, (int, np.integer)) and not isinstance(threads, (bool, np.bool_)) and threads >= 1:
        return int(threads)
    raise ValueError(f"threads must be None or a whole number of at least 1, got {threads!r}")


THREADS_VARIABLE = "SARVEK_THREADS"


def default_threads() -> int:
    """The threads a run may use when not told: the cores this process may
    run on (``os.sched_getaffinity`` where it exists, else ``os.cpu_count()``),
    at most ``SARVEK_THREADS`` when that is set (unset or blank: no cap).

    A value that is not a whole number of at least 1 raises ``ValueError``
    naming the variable and quoting the value.
    """
    try:
        cores = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        cores = os.cpu_count() or 1
    text = os.environ.get(THREADS_VARIABLE)
    if text is None or not text.strip():
        return max(cores, 1)
    if not re.fullmatch(r"[0-9]+", text.strip()) or int(text) < 1:
        raise ValueError(f"{THREADS_VARIABLE} must be a whole number of at least 1, got {text!r}")
    return max(min(cores, int(text)), 1)


def check_workers(workers: Any) -> int | None:
    """``None`` or a whole number of at least 1 (``True`` is not a count).

    Anything else raises ``ValueError: workers must be None or a whole number
    of at least 1, got 0``.
    """
    if workers is None:
        return None
    if isinstance(workers, (int, np.integer)) and not isinstance(workers, (bool, np.bool_)) and workers >= 1:
        return int(workers)
    raise ValueError(f"workers must be None or a whole number of at least 1, got {workers!r}")
