"""Pipelines as plain data: dicts, TOML files, and what they imply.

A document describes one pipeline: ``input_columns`` and either an array of
tables ``features`` or an array of tables ``targets``. Each entry names its
class under ``type`` and its constructor arguments under their keyword names.
"""
from __future__ import annotations

import contextlib
import errno
import math
import os
import stat
import tempfile
import tomllib
import warnings
from collections.abc import Iterator, Mapping
from dataclasses import dataclass
from typing import Any, Union

import _sarvek

Pipeline = Union[_sarvek.FeaturePipeline, _sarvek.TargetPipeline]
PipelineLike = Union[Pipeline, Mapping[str, Any], str, "os.PathLike[str]"]


class PipelineError(ValueError):
    """A pipeline document that cannot be built; the message names the file
    (when there is one), the entry (``features[2]``) and the field."""


class PipelineWarning(UserWarning):
    """A pipeline document that builds and runs as written, but probably not
    as meant: an output that shadows an input column, or a feature that reads
    its own output name (it gets the bar's input column of that name, never
    its own earlier result)."""


@dataclass(frozen=True)
class _Param:
    name: str
    kind: str  # "names", "name", "count" or "real"
    default: int | float | None = None


_NAMES, _NAME, _COUNT, _REAL = "names", "name", "count", "real"


def _tables() -> tuple[dict[str, tuple[_Param, ...]], dict[str, tuple[_Param, ...]], dict[str, Any]]:
    """Constructor parameters of every class, in constructor order, as the
    compiled catalogue lists them: feature classes, then target classes; and
    every class by name (the fixed classes of ``_sarvek`` and those the
    package exports beside them)."""
    tables: dict[str, dict[str, tuple[_Param, ...]]] = {"feature": {}, "target": {}}
    classes: dict[str, Any] = {}
    for entry in _sarvek._catalog():
        tables[entry["kind"]][entry["name"]] = tuple(
            _Param(p["name"], p["type"], p["default"]) for p in entry["params"]
        )
        classes[entry["name"]] = entry["class"]
    return tables["feature"], tables["target"], classes


FEATURE_PARAMS, TARGET_PARAMS, CLASSES = _tables()
_SECTIONS = {"features": (FEATURE_PARAMS, _sarvek.FeaturePipeline), "targets": (TARGET_PARAMS, _sarvek.TargetPipeline)}


def _where(source: str | None, entry: str) -> str:
    return f"{source}: {entry}" if source else entry


def _describe(value: Any) -> str:
    return f"{type(value).__name__} {value!r}"


def _check_value(param: _Param, value: Any, place: str) -> Any:
    if param.kind == _COUNT:
        if type(value) is not int:
            raise PipelineError(f"{place}: expected a non-negative integer, got {_describe(value)}")
        if value < 0:
            raise PipelineError(f"{place}: expected a non-negative integer, got {value}")
        return value
    if param.kind == _REAL:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            raise PipelineError(f"{place}: expected a number, got {_describe(value)}")
        return float(value)
    if param.kind == _NAME:
        if not isinstance(value, str):
            raise PipelineError(f"{place}: expected a string, got {_describe(value)}")
        return value
    if isinstance(value, (str, bytes)) or not isinstance(value, (list, tuple)):
        raise PipelineError(f"{place}: expected an array of strings, got {_describe(value)}")
    for i, item in enumerate(value):
        if not isinstance(item, str):
            raise PipelineError(f"{place}[{i}]: expected a string, got {_describe(item)}")
    return list(value)


def _build_entry(section: str, index: int, entry: Any, source: str | None) -> Any:
    """One feature or target from its table."""
    table, _ = _SECTIONS[section]
    where = _where(source, f"{section}[{index}]")
    if not isinstance(entry, Mapping):
        raise PipelineError(f"{where}: expected a table, got {_describe(entry)}")
    if "type" not in entry:
        raise PipelineError(f"{where}: missing field 'type' (one of {', '.join(table)})")
    kind = entry["type"]
    if not isinstance(kind, str) or kind not in table:
        raise PipelineError(f"{where}.type: unknown {section[:-1]} type {kind!r}; known: {', '.join(table)}")
    params = table[kind]
    known = {p.name for p in params}
    for key in entry:
        if key != "type" and key not in known:
            raise PipelineError(
                f"{where}.{key}: unknown parameter of {kind}; its parameters are {', '.join(p.name for p in params)}"
            )
    kwargs: dict[str, Any] = {}
    for p in params:
        if p.name not in entry:
            if p.default is None:
                raise PipelineError(f"{where}: {kind} needs the field '{p.name}'")
            continue
        kwargs[p.name] = _check_value(p, entry[p.name], f"{where}.{p.name}")
    try:
        return CLASSES[kind](**kwargs)
    except (ValueError, OverflowError, MemoryError) as exc:
        raise PipelineError(f"{where} ({kind}): {exc}") from None


def _build(document: Mapping[str, Any], source: str | None = None) -> Pipeline:
    if not isinstance(document, Mapping):
        raise PipelineError(_where(source, f"expected a table, got {_describe(document)}"))
    sections = [s for s in _SECTIONS if s in document]
    if len(sections) != 1:
        what = "both 'features' and 'targets'" if sections else "neither 'features' nor 'targets'"
        raise PipelineError(_where(source, f"a pipeline has either 'features' or 'targets', this one has {what}"))
    (section,) = sections
    for key in document:
        if key not in ("input_columns", section):
            raise PipelineError(_where(source, f"{key}: unknown field; a pipeline has input_columns and {section}"))
    if "input_columns" not in document:
        raise PipelineError(_where(source, "missing field 'input_columns'"))
    columns = _check_value(_Param("input_columns", _NAMES), document["input_columns"],
                           _where(source, "input_columns"))
    entries = document[section]
    if isinstance(entries, (str, bytes, Mapping)) or not isinstance(entries, (list, tuple)):
        raise PipelineError(_where(source, f"{section}: expected an array of tables, got {_describe(entries)}"))
    built = [_build_entry(section, i, e, source) for i, e in enumerate(entries)]
    cls = _SECTIONS[section][1]
    try:
        return cls(built, columns)
    except ValueError as exc:
        raise PipelineError(_where(source, f"{section}: {exc}")) from None


def pipeline_from_dict(document: Mapping[str, Any]) -> Pipeline:
    """Build a ``FeaturePipeline`` or ``TargetPipeline`` from plain data.

    ``{"input_columns": [...], "features": [{"type": "Sma", "inputs": [...],
    "window": 20, "outputs": [...]}, ...]}`` (or ``"targets"``). Raises
    ``PipelineError`` (a ``ValueError``) naming the entry and field at fault.
    """
    return _build(document)


def pipeline_to_dict(pipeline: Pipeline) -> dict[str, Any]:
    """The pipeline as plain data, entries in the order they were given.

    A pipeline built from a document gives that document back, and the
    dict builds an identical pipeline. Every parameter is written out: a Kama
    entry always carries ``fast`` and ``slow``, also where the document it was
    built from left them to their defaults (2 and 30).
    """
    if not isinstance(pipeline, (_sarvek.FeaturePipeline, _sarvek.TargetPipeline)):
        raise TypeError(f"expected a FeaturePipeline or TargetPipeline, got {type(pipeline).__name__}")
    config: dict[str, Any] = pipeline._config()
    return config


# ------------------------------------------------------------------ TOML


def _toml_string(s: str) -> str:
    out = ['"']
    for ch in s:
        code = ord(ch)
        if ch == '"':
            out.append('\\"')
        elif ch == "\\":
            out.append("\\\\")
        elif code < 0x20 or code == 0x7F:
            out.append({"\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}.get(ch, f"\\u{code:04X}"))
        else:
            out.append(ch)
    out.append('"')
    return "".join(out)


def _toml_value(value: Any) -> str:
    if isinstance(value, bool) or not isinstance(value, (int, float, str, list)):
        raise TypeError(f"cannot write {type(value).__name__} to a pipeline file")
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        # repr reads back to the same float; TOML spells the specials its way.
        return repr(value) if math.isfinite(value) else ("nan" if math.isnan(value) else
                                                          "inf" if value > 0 else "-inf")
    if isinstance(value, str):
        return _toml_string(value)
    return "[" + ", ".join(_toml_value(v) for v in value) + "]"


def pipeline_to_toml(document: Mapping[str, Any]) -> str:
    """TOML text for a pipeline document (see ``pipeline_to_dict``)."""
    lines = [f"input_columns = {_toml_value(list(document['input_columns']))}"]
    for section in _SECTIONS:
        for entry in document.get(section, ()):
            lines += ["", f"[[{section}]]"]
            lines += [f"{key} = {_toml_value(value)}" for key, value in entry.items()]
    return "\n".join(lines) + "\n"


def load_pipeline(path: str | os.PathLike[str]) -> Pipeline:
    """Build the pipeline a TOML file describes. Errors name the file."""
    source = os.fspath(path)
    try:
        with open(source, "rb") as f:
            document = tomllib.load(f)
    except tomllib.TOMLDecodeError as exc:
        raise PipelineError(f"{source}: not valid TOML: {exc}") from None
    except UnicodeDecodeError as exc:
        raise PipelineError(f"{source}: not valid TOML: {exc}") from None
    except RecursionError:
        raise PipelineError(f"{source}: not a pipeline file: its tables or arrays are nested too deeply") from None
    pipeline = _build(document, source)
    for note in pipeline_notes(pipeline):
        warnings.warn(f"{source}: {note}", PipelineWarning, stacklevel=2)
    return pipeline


def pipeline_notes(pipeline: Pipeline) -> list[str]:
    """Defined but easily unintended wiring of a pipeline, one sentence each:
    an output named like an input column (every reader of that name gets the
    output, not the bar's column) and a feature that reads its own output
    name (it gets the bar's input column of that name, or a missing value
    when there is none; never its own earlier result)."""
    config = pipeline._config()
    columns = config["input_columns"]
    notes: list[str] = []
    for i, e in enumerate(config.get("features", ())):  # targets read only the input columns
        outputs = e["outputs"]
        where = f"features[{i}] ({e['type']})"
        for name in dict.fromkeys(outputs):
            if name in columns:
                notes.append(f"{where}: output {name!r} shadows the input column {name!r}; "
                             f"features reading {name!r} get this output, not the bar's column")
        for name in dict.fromkeys(e["inputs"]):
            if name in outputs:
                source = ("the bar's input column of that name" if name in columns
                          else "a missing value on every bar (no input column has that name)")
                notes.append(f"{where}: reads its own output {name!r}; it gets {source}, "
                             f"never its own earlier result")
    return notes


def save_pipeline(pipeline: Pipeline, path: str | os.PathLike[str]) -> None:
    """Write the pipeline to a TOML file (written whole or not at all)."""
    write_atomically(path, pipeline_to_toml(pipeline_to_dict(pipeline)).encode("utf-8"))


def _umask_from_proc() -> int | None:
    try:
        with open("/proc/self/status", encoding="ascii", errors="replace") as f:
            for line in f:
                if line.startswith("Umask:"):
                    return int(line.split()[1], 8) & 0o777
    except (OSError, ValueError, IndexError):
        pass
    return None


def _new_file_mode(folder: str) -> int:
    """The permission bits a new file of this process gets in ``folder``
    (``0o666`` less the umask), found without changing the umask: the
    process-wide umask is shared by every thread, so setting it even for a
    moment changes the files other threads create meanwhile."""
    mask = _umask_from_proc()
    if mask is not None:
        return 0o666 & ~mask
    # No /proc: create a file the usual way and see what it got.
    fd, probe = tempfile.mkstemp(prefix=".sarvek-probe-", suffix=".tmp", dir=folder)
    os.close(fd)
    try:
        os.unlink(probe)
        fd = os.open(probe, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        try:
            return stat.S_IMODE(os.fstat(fd).st_mode) & 0o666
        finally:
            os.close(fd)
    finally:
        try:
            os.unlink(probe)
        except OSError:
            pass


def _real_target(path: str | os.PathLike[str]) -> str:
    """The file a write to ``path`` should replace: a symbolic link is
    followed, so the link stays and its target gets the new contents."""
    target = os.fspath(path)
    return os.path.realpath(target) if os.path.islink(target) else target


def process_alive(pid: int) -> bool:
    """Whether process ``pid`` exists on this machine (ours counts)."""
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # exists, owned by someone else
        return True
    return True


_TEMP_PREFIX = ".sarvek-"


def _sweep_temporaries(folder: str) -> None:
    """Removes the temporary files that writers killed before they finished
    left in ``folder``: ``.sarvek-PID-*.tmp`` whose process is gone."""
    try:
        names = os.listdir(folder)
    except OSError:
        return
    for name in names:
        if not (name.startswith(_TEMP_PREFIX) and name.endswith(".tmp")):
            continue
        pid = name[len(_TEMP_PREFIX):].partition("-")[0]
        if pid.isdigit() and not process_alive(int(pid)):
            try:
                os.unlink(os.path.join(folder, name))
            except OSError:
                pass


@contextlib.contextmanager
def replacing(path: str | os.PathLike[str]) -> Iterator[str]:
    """Yields a temporary file name beside ``path``; when the block ends
    normally the file is renamed to ``path``, otherwise it is removed, so a
    failure never leaves a partial file under the final name. The
    temporary name holds this process's id, so that temporaries of a writer
    killed before it finished are recognised and removed by the next write
    into the same folder.

    A file that exists keeps its permission bits; a new one gets those of
    any new file of this process. When ``path`` is a symbolic link, the
    file it points to is replaced and the link stays.
    """
    shown = os.fspath(path)
    target = _real_target(shown)
    folder = os.path.dirname(os.path.abspath(target))
    if os.path.isdir(target):
        raise IsADirectoryError(errno.EISDIR, "is a folder, not a file", shown)
    try:
        old = os.stat(target)
        mode = stat.S_IMODE(old.st_mode) if stat.S_ISREG(old.st_mode) else None
    except FileNotFoundError:
        mode = None
    _sweep_temporaries(folder)
    try:
        fd, tmp = tempfile.mkstemp(prefix=f"{_TEMP_PREFIX}{os.getpid()}-", suffix=".tmp", dir=folder)
    except FileNotFoundError:
        raise FileNotFoundError(errno.ENOENT, f"no such folder {folder!r}", shown) from None
    except OSError as exc:  # name the file asked for, not the temporary one
        raise type(exc)(exc.errno, exc.strerror, shown) from None
    try:
        try:
            # mkstemp makes the file private; the result gets the mode the
            # replaced file had, or that of a new file of this process.
            os.fchmod(fd, mode if mode is not None else _new_file_mode(folder))
        finally:
            os.close(fd)
        yield tmp
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def write_atomically(path: str | os.PathLike[str], data: bytes) -> None:
    with replacing(path) as tmp, open(tmp, "wb") as f:
        f.write(data)


def as_pipeline(pipeline: PipelineLike) -> Pipeline:
    """A pipeline object from a pipeline, its dict form or a TOML path."""
    if isinstance(pipeline, (_sarvek.FeaturePipeline, _sarvek.TargetPipeline)):
        return pipeline
    if isinstance(pipeline, Mapping):
        return _build(pipeline)
    if isinstance(pipeline, (str, os.PathLike)):
        return load_pipeline(pipeline)
    raise TypeError(
        "pipeline must be a FeaturePipeline, a TargetPipeline, its dict form or a path to a TOML file, "
        f"got {type(pipeline).__name__}"
    )


# ---------------------------------------------------------- first valid bar


def first_valid_bar(pipeline: PipelineLike) -> dict[str, int | None]:
    """The first bar index at which each output can be valid, counting chains.

    A feature's output can be valid once every column it reads can be
    (input columns from bar 0) plus its own ``warm_up_period()``: a
    ``Skewness(30)`` over a ``LogReturn(1)`` gives 1 + 29 = 30 (an ``Ema``
    over a chained column also waits for its next whole seed collection of
    ``window`` bars, counted from bar 0). ``None`` for
    an output no feature ever computes (a name beyond the values its feature
    produces, or one that depends on such a name or on its own missing
    column). Keys follow ``output_names()``.
    """
    pipe = as_pipeline(pipeline)
    if not isinstance(pipe, _sarvek.FeaturePipeline):
        raise TypeError("first_valid_bar applies to feature pipelines; targets are valid from bar 0 "
                        "until forward_period() bars before the end")
    return dict(zip(pipe.output_names(), pipe._plan()["first_valid"]))


# ------------------------------------------------------- pickling and copies


def _refuse_copy(obj: Any) -> Any:
    kind = type(obj).__name__
    what = "a pipeline" if kind.endswith("Pipeline") else f"the pipeline that holds this {kind}"
    raise TypeError(
        f"cannot pickle or copy a {kind}; to save, send or duplicate a configuration, "
        f"keep {what} as plain data: sarvek.pipeline_to_dict(pipeline) (or save_pipeline to a TOML "
        "file), and build a fresh one with sarvek.pipeline_from_dict (or load_pipeline)"
    )


def _register_copy_refusals() -> None:
    """pickle, copy.copy and copy.deepcopy of the compiled classes say
    where to go instead (the classes themselves stay as they are: the
    registry of reducers is consulted before the type's own)."""
    import copyreg

    for name in _sarvek.__all__:
        copyreg.pickle(getattr(_sarvek, name), _refuse_copy)
    for cls in CLASSES.values():
        copyreg.pickle(cls, _refuse_copy)


_register_copy_refusals()


__all__ = [
    "PipelineError", "PipelineWarning", "pipeline_notes", "pipeline_from_dict", "pipeline_to_dict",
    "load_pipeline", "save_pipeline",
    "first_valid_bar",
]
