"""The ``sarvek`` command line: compute, describe, plot.

Exit codes: 0 success, 2 usage error, 1 data error (each with a one-line
``sarvek: error: ...`` message on stderr, never a traceback), 130 when
interrupted.
"""
from __future__ import annotations

import argparse
import io
import logging
import os
import sys
import time
import warnings
from collections.abc import Callable, Sequence
from typing import Any, NoReturn

import numpy as np

import _sarvek

from . import __version__
from ._errors import DataError, UsageError
from ._errors import need as _need
from ._errors import one_line as _one_line
from ._frames import compute_with_validity
from ._io import CsvTable, Outputs, column_names, computable, file_kind, load_pipelines, read_bars, write_table
from ._pipeline import (
    Pipeline,
    PipelineError,
    PipelineWarning,
    pipeline_notes,
)

# ---------------------------------------------------------------- progress


class Progress:
    """A one-line progress bar on stderr, shown only on a terminal and only
    once the run has taken more than ``delay`` seconds."""

    def __init__(self, total: int, stream: Any = None, delay: float = 1.0, unit: str = "bars") -> None:
        self.total = max(total, 1)
        self.done = 0
        self.unit = unit
        self.stream = stream if stream is not None else sys.stderr
        self.enabled = bool(getattr(self.stream, "isatty", lambda: False)())
        self.start = time.monotonic()
        self.delay = delay
        self.shown = False
        self.width = 0

    def phase(self, total: int, unit: str) -> None:
        """Start counting the next stage of the run (e.g. rows written)
        on the same line; the delay still counts from the start of the run."""
        self.total, self.done, self.unit = max(total, 1), 0, unit

    def __call__(self, bars: int) -> None:
        self.done += bars
        if not self.enabled or time.monotonic() - self.start < self.delay:
            return
        frac = min(self.done / self.total, 1.0)
        filled = int(30 * frac)
        line = f"[{'#' * filled}{'.' * (30 - filled)}] {frac:6.1%} {self.done}/{self.total} {self.unit}"
        self.stream.write("\r" + line.ljust(self.width))
        self.width = max(self.width, len(line))
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\n")
            self.stream.flush()


# ---------------------------------------------------------------- commands


def _load(paths: Sequence[str], notes: list[str] | None = None) -> list[tuple[str, Pipeline]]:
    """The pipelines of the files; what ``load_pipeline`` warns about goes
    to ``notes`` when given, else to stderr as ``sarvek: warning:`` lines."""

    def warn(w: warnings.WarningMessage) -> None:
        if notes is not None and issubclass(w.category, PipelineWarning):
            notes.append(str(w.message))
        else:
            print(f"sarvek: warning: {_printable(_one_line(w.message))}", file=sys.stderr)  # type: ignore[arg-type]

    return load_pipelines(paths, warn)


def compute_outputs(pipelines: Sequence[Pipeline], data: Any, *, by: str | None,
                    progress: Callable[[int], None] | None) -> Outputs:
    """Every pipeline's outputs over the data, on this machine's threads."""
    return [(p.output_names(), *compute_with_validity(p, computable(data), by=by, progress=progress))
            for p in pipelines]


def _check_names(data: Any, pipelines: Sequence[tuple[str, Pipeline]]) -> None:
    seen = {n: "the bars" for n in column_names(data)}
    for path, p in pipelines:
        for n in p.output_names():
            if n in seen:
                raise DataError(f"{path}: output {n!r} clashes with a column of {seen[n]}")
            seen[n] = path


def _column_list(data: Any) -> str:
    return ", ".join(repr(n) for n in column_names(data))


def _column(data: Any, name: str) -> Any:
    """A column's values (a pandas index level counts as a column)."""
    if isinstance(data, CsvTable):
        return data.columns[name]
    if hasattr(data, "column_names"):
        return data.column(name).to_numpy(zero_copy_only=False)
    if name in data.columns:
        return data[name].to_numpy()
    return data.index.get_level_values(name).to_numpy()


def _as_times(values: Any, column: str, source: str) -> Any:
    """Numbers or datetimes from a time column; text is read as ISO 8601."""
    values = np.asarray(values)
    if values.dtype.kind in "iufMm":
        return values
    try:
        import pandas as pd
    except ImportError:
        pd = None
    try:
        if pd is not None:
            return pd.to_datetime(pd.Series(values), format="ISO8601").to_numpy()
        return np.array(values, dtype="datetime64[ns]")
    except (ValueError, TypeError):
        raise DataError(f"{source}: time column {column!r} holds neither numbers nor times; "
                        "name the right one with --time COLUMN") from None


def time_column(data: Any, requested: str | None, source: str) -> tuple[str, Any] | None:
    """The bars' time stamps: the column ``requested``, else a datetime
    index, else a column named ``time`` or ``timestamp``; None when there is
    none of these."""
    names = column_names(data)
    if requested is not None:
        if requested not in names:
            raise DataError(f"{source}: no time column {requested!r}; the data has columns: {_column_list(data)}")
        return requested, _as_times(_column(data, requested), requested, source)
    if not isinstance(data, CsvTable) and hasattr(data, "index") and str(data.index.dtype).startswith("datetime"):
        return (data.index.name or "index"), data.index.to_numpy()
    for name in ("time", "timestamp"):
        if name in names:
            return name, _as_times(_column(data, name), name, source)
    return None


def check_time(data: Any, requested: str | None, by: str | None, source: str) -> None:
    """Refuse bars whose time stamps go back within a symbol (within the
    whole file without ``by``): every feature reads the bars in row order."""
    found = time_column(data, requested, source)
    if found is None:
        return
    from ._checks import check_time_order
    from ._frames import _groups

    column, times = found
    try:
        if by is None:
            check_time_order(times, column)
            return
        keys = np.asarray(_column(data, by))
        for rows in _groups(keys):
            check_time_order(times[rows], column, symbol=keys[rows[0]], rows=rows)
    except (ValueError, TypeError) as exc:
        raise DataError(f"{source}: {_one_line(exc)}") from None


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False


def _check_output(output: str, inputs: Sequence[str]) -> None:
    """Refuse, before any work, an output that would overwrite an input or
    that names a folder."""
    if os.path.isdir(output):
        raise UsageError(f"output {output!r} is a folder; give a file name")
    for path in inputs:
        if _same_file(output, path):
            raise UsageError(f"output {output!r} is the input file {path!r}; write the results to another file")


def _compute_on_dask(args: argparse.Namespace) -> int:
    """``sarvek compute DATASET -p P.toml -o OUT --by symbol --dask ADDRESS``.

    ``ADDRESS`` is a scheduler address (``tcp://host:8786``) or
    ``local[:N]``, which starts a cluster of N worker processes on
    127.0.0.1 (default: one per core) for the run and closes it after. The
    output holds the bars' columns and index beside the outputs, as the
    command writes them without Dask.
    """
    try:
        import dask.dataframe  # noqa: F401
        import distributed

        from . import dask as on_dask
    except ImportError as exc:
        missing = f" ({exc.name} is not installed)" if exc.name else ""
        raise DataError(f"--dask needs the Dask extra{missing}: pip install 'sarvek[dask]'") from None
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
            # Without --time, a column named time or timestamp is checked
            # when the files have one (an index of datetimes is anyway).
            time_name = getattr(args, "time", None)
            if time_name is None:
                time_name = on_dask._dataset_time_column(args.bars, args.by)
            on_dask.compute_dataset(args.bars, pipelines, args.output, by=args.by, keep="all", time=time_name)
    except FileNotFoundError as exc:
        raise DataError(str(exc)) from None
    except (ValueError, TypeError) as exc:
        raise DataError(f"{args.bars}: {_one_line(exc)}") from None
    finally:
        if cluster is not None:
            cluster.close()
        quiet.setLevel(level)
    return 0


def cmd_compute(args: argparse.Namespace) -> int:
    if args.dask is not None:  # a Parquet dataset folder over a Dask cluster
        return _compute_on_dask(args)
    started = time.monotonic()
    file_kind(args.bars, "bars file")
    kind = file_kind(args.output, "output file")
    _check_output(args.output, [args.bars, *args.pipeline])
    if kind == "parquet":
        _need("pyarrow", "arrow", "writing Parquet")
    pipelines = _load(args.pipeline)
    data = read_bars(args.bars)
    _check_names(data, pipelines)
    if args.by is not None and args.by not in column_names(data):
        raise DataError(f"{args.bars}: no column {args.by!r} to group by; the data has columns: "
                        f"{_column_list(data)}")
    check_time(data, args.time, args.by, args.bars)
    rows = len(data) if not hasattr(data, "num_rows") else data.num_rows
    progress = Progress(rows * len(pipelines), stream=None if not args.quiet else io.StringIO())
    try:
        try:
            outputs = compute_outputs([p for _, p in pipelines], data, by=args.by, progress=progress)
        except (ValueError, TypeError) as exc:
            raise DataError(f"{args.bars}: {_one_line(exc)}") from None
        write_table(data, outputs, args.output, progress)
    finally:
        progress.close()
    if not args.quiet:
        columns = len(column_names(data)) + sum(len(names) for names, _, _ in outputs)
        print(f"sarvek: wrote {rows} rows, {columns} columns to {_printable(args.output)} in "
              f"{time.monotonic() - started:.2f} s", file=sys.stderr)
    return 0


def _blank_tail(target: dict[str, Any]) -> str:
    """How many bars at the end a target leaves NaN: those whose window
    runs past the last bar (``target`` is an entry of the plan)."""
    horizon = target["horizon"]
    if target["type"] == "FutureCTCVolatility" and horizon < 2:
        return "every bar is NaN (a volatility needs a horizon of at least 2)"
    if target["type"] == "TripleBarrier":
        return f"up to the last {horizon} bars are NaN (a barrier touched inside the data is known)"
    return f"the last {horizon} bars are NaN"


def describe(path: str, pipeline: Pipeline) -> str:
    """What a pipeline does, for people: order, producers and readers,
    warm-ups, and wiring that is defined but probably not meant. Names are
    printed as written; the command line escapes control characters."""
    lines = []
    notes = pipeline_notes(pipeline)
    if notes:
        lines.append(f"{path}: warning:")
        lines += [f"  {n}" for n in notes]
    doc = pipeline._config()
    columns = doc["input_columns"]
    plan = pipeline._plan()
    if isinstance(pipeline, _sarvek.TargetPipeline):
        targets = plan["targets"]
        lines.append(f"{path}: target pipeline over {', '.join(columns)}; forward_period() = "
                     f"{pipeline.forward_period()}")
        lines.append("Targets:" if targets else "Targets: none")
        for i, t in enumerate(targets, 1):
            lines.append(f"  {i}. {t['repr']} -> {', '.join(t['outputs'])}; {_blank_tail(t)}")
        return "\n".join(lines)
    features = plan["features"]
    order = [i for stage in plan["stages"] for i in stage]
    label = {i: f"#{k}" for k, i in enumerate(order, 1)}
    lines.append(f"{path}: feature pipeline over {', '.join(columns)}; warm_up_period() = "
                 f"{pipeline.warm_up_period()}")
    if not features:
        lines.append("Execution order: no features (every bar gives an empty result)")
        return "\n".join(lines)
    lines.append("Execution order:")
    for i in order:
        lines.append(f"  {label[i]} {features[i]['repr']}  warm-up {features[i]['warm_up']}")
    lines.append("Outputs:")
    names = pipeline.output_names()
    width = max(len(n) for n in names)
    for n, fv in zip(names, plan["first_valid"]):
        use = plan["columns"][n]
        p = use["producer"][0]
        who = [f"{label[r]} {features[r]['type']}" for r in use["readers"]]
        lines.append(f"  {n:<{width}}  from {label[p]} {features[p]['type']}; "
                     f"read by {', '.join(who) if who else 'nothing'}; "
                     f"first valid bar {'never' if fv is None else fv}")
    return "\n".join(lines)


def cmd_describe(args: argparse.Namespace) -> int:
    notes: list[str] = []  # the pipeline's own description shows these
    text = "\n\n".join(describe(path, p) for path, p in _load(args.pipeline, notes))
    print("\n".join(_printable(line) for line in text.split("\n")))
    return 0


def _select(data: Any, by: str, symbol: str, source: str) -> Any:
    """The rows of one symbol (compared as text, as typed on the command
    line), in file order."""
    if by not in column_names(data):
        raise DataError(f"{source}: no column {by!r} to select from; the data has columns: {_column_list(data)}")
    keys = _column(data, by)
    text = np.array(["" if k is None else str(k) for k in keys], dtype=object)
    rows = np.flatnonzero(text == symbol)
    if len(rows) == 0:
        known = list(dict.fromkeys(text.tolist()))
        shown = ", ".join(repr(k) for k in known[:10]) + (", ..." if len(known) > 10 else "")
        raise DataError(f"{source}: no rows with {by} = {symbol!r}; the column holds {shown}")
    if isinstance(data, CsvTable):
        data.columns = {n: c[rows] for n, c in data.columns.items()}
        data.cells = {n: [c[i] for i in rows] for n, c in data.cells.items()}
        return data
    if hasattr(data, "column_names"):
        return data.take(rows)
    return data.iloc[rows]


def cmd_plot(args: argparse.Namespace) -> int:
    if os.path.splitext(args.output)[1].lower() not in (".png", ".svg", ".pdf", ".jpg", ".jpeg"):
        raise UsageError(f"chart {args.output!r}: use .png, .svg, .pdf or .jpg")
    if (args.by is None) != (args.symbol is None):
        raise UsageError("--by COLUMN and --symbol VALUE go together: the chart shows one symbol's bars")
    file_kind(args.bars, "bars file")
    _check_output(args.output, [args.bars, *args.pipeline])
    _need("matplotlib", "plot", "plotting")
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    pipelines = _load(args.pipeline)
    produced = {n: (i, k) for i, (_, p) in enumerate(pipelines) for k, n in enumerate(p.output_names())}
    wanted = [c.strip() for c in args.columns.split(",") if c.strip()] if args.columns else \
        list(produced)[:3]
    for c in wanted:
        if c not in produced:
            raise UsageError(f"--columns: no output {c!r}; the pipelines produce "
                             f"{', '.join(repr(n) for n in produced)}")
    data = read_bars(args.bars)
    if args.by is not None:
        data = _select(data, args.by, args.symbol, args.bars)
    if args.price not in column_names(data):
        raise DataError(f"{args.bars}: no price column {args.price!r}; the data has columns: "
                        f"{_column_list(data)}")
    found = time_column(data, args.time, args.bars)
    if found is not None:
        check_time(data, args.time, None, args.bars)
    needed = sorted({produced[c][0] for c in wanted})
    outputs = dict(zip(needed, compute_outputs([pipelines[i][1] for i in needed], data, by=None, progress=None)))
    price = np.asarray(_column(data, args.price), dtype=np.float64)
    x = np.arange(len(price)) if found is None else found[1]
    fig, axes = plt.subplots(1 + len(wanted), 1, sharex=True, figsize=(10, 2.2 * (1 + len(wanted))),
                             gridspec_kw={"height_ratios": [2] + [1] * len(wanted)}, squeeze=False)
    axes[0][0].plot(x, price, color="black", linewidth=0.8)
    axes[0][0].set_ylabel(args.price)
    if args.symbol is not None:
        axes[0][0].set_title(_printable(args.symbol))
    for ax, c in zip((row[0] for row in axes[1:]), wanted):
        i, k = produced[c]
        ax.plot(x, outputs[i][1][:, k], linewidth=0.8)
        ax.set_ylabel(_printable(c))
    axes[-1][0].set_xlabel("bar" if found is None else _printable(found[0]))
    if found is not None and np.asarray(x).dtype.kind == "M":
        fig.autofmt_xdate()
    fig.tight_layout()
    buf = io.BytesIO()
    fig.savefig(buf, format=os.path.splitext(args.output)[1].lstrip(".").lower().replace("jpg", "jpeg"))
    plt.close(fig)
    from ._pipeline import write_atomically

    write_atomically(args.output, buf.getvalue())
    return 0


# -------------------------------------------------------------------- main


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        raise UsageError(message)


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(prog="sarvek", description="Features and labels for bar data from TOML pipelines.")
    parser.add_argument("--version", action="version", version=f"sarvek {__version__}")
    sub = parser.add_subparsers(dest="command", required=True, parser_class=_Parser)

    c = sub.add_parser("compute", help="compute features and labels into a CSV or Parquet file")
    c.add_argument("bars", help="bars file (.csv or .parquet)")
    c.add_argument("-p", "--pipeline", action="append", required=True, metavar="PIPELINE.toml",
                   help="a feature or target pipeline (repeatable)")
    c.add_argument("-o", "--output", required=True, help="output file (.csv or .parquet)")
    c.add_argument("--by", metavar="COLUMN", help="run each value of this column (e.g. symbol) on its own")
    c.add_argument("--time", metavar="COLUMN",
                   help="the time column whose values must not go back within a symbol (default: a datetime "
                        "index, else a column named time or timestamp)")
    c.add_argument("-q", "--quiet", action="store_true", help="no progress bar and no summary line")
    c.add_argument("--dask", metavar="ADDRESS",
                   help="run on Dask: BARS and OUTPUT are Parquet dataset folders; ADDRESS is a scheduler "
                        "address or local[:N] for N local worker processes (needs sarvek[dask])")
    c.set_defaults(func=cmd_compute)

    d = sub.add_parser("describe", help="show a pipeline's execution order, producers, readers and warm-ups")
    d.add_argument("pipeline", nargs="+", metavar="PIPELINE.toml")
    d.set_defaults(func=cmd_describe)

    p = sub.add_parser("plot", help="draw price with chosen outputs below it (needs matplotlib)")
    p.add_argument("bars", help="bars file (.csv or .parquet)")
    p.add_argument("-p", "--pipeline", action="append", required=True, metavar="PIPELINE.toml")
    p.add_argument("--columns", help="comma-separated outputs to draw (default: the first three)")
    p.add_argument("--price", default="close", help="the price column drawn on top (default: close)")
    p.add_argument("--by", metavar="COLUMN", help="the symbol column, with --symbol: draw one symbol's bars")
    p.add_argument("--symbol", metavar="VALUE", help="the value of --by whose bars are drawn")
    p.add_argument("--time", metavar="COLUMN",
                   help="the time axis (default: a datetime index, else a column named time or timestamp; "
                        "else the bar number)")
    p.add_argument("-o", "--output", required=True, help="chart file (.png, .svg, .pdf)")
    p.set_defaults(func=cmd_plot)
    return parser


def _printable(text: str) -> str:
    """``text`` with every character that is not printable written as its
    escape (``\\x1b``, ``\\t``, ``\\u200b``), so names from files cannot
    move the cursor, recolour or clear the terminal, and are seen exactly."""
    if text.isprintable():
        return text
    return "".join(ch if ch.isprintable() else repr(ch)[1:-1] for ch in text)


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit code."""
    try:
        args = build_parser().parse_args(argv)
        return int(args.func(args))
    except UsageError as exc:
        print(f"sarvek: error: {_printable(_one_line(exc))}", file=sys.stderr)
        return 2
    except KeyboardInterrupt:
        print("sarvek: interrupted", file=sys.stderr)
        return 130
    except BrokenPipeError:  # the reader went away (`sarvek describe ... | head`): stop quietly
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except (DataError, PipelineError, OSError, MemoryError) as exc:
        print(f"sarvek: error: {_printable(_one_line(exc))}", file=sys.stderr)
        return 1
    except Exception as exc:  # a failure of sarvek itself, still on one line
        print(f"sarvek: error: internal error: {type(exc).__name__}: {_printable(_one_line(exc))}",
              file=sys.stderr)
        return 1
