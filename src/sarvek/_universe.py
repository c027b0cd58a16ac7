"""Live trading over many symbols: ``Universe``, and snapshots of its state
(and of a single pipeline's) that let a restarted process carry on exactly.

A snapshot is self-describing and versioned::

    magic  b"SARVEKST"            8 bytes
    version                        uint16, little-endian (1)
    kind                           uint8: 1 universe, 2 pipeline
    document                       uint64 length + UTF-8 JSON of pipeline_to_dict
    symbols                        uint64 length + UTF-8 JSON list (str / int)
    state                          uint64 length + the features' state, slot by slot
    checksum                       SHA-256 of every byte before it, 32 bytes

Reading checks the magic, the version, the checksum, every length against
the bytes left, that the document builds a pipeline giving the same
document back, and (in the compiled core) every feature's type and window
size against that pipeline; anything else is refused with ``ValueError``
before any object is returned.
"""
from __future__ import annotations

import hashlib
import json
import struct
from collections.abc import Iterable, Mapping
from typing import Any, Union

import numpy as np
import numpy.typing as npt

import _sarvek

from ._frames import _check_table_order, _groups, _input_columns, _named, _table
from ._pipeline import PipelineLike, as_pipeline, pipeline_from_dict, pipeline_to_dict

Symbol = Union[str, int]
Float64 = npt.NDArray[np.float64]

_MAGIC = b"SARVEKST"
_VERSION = 1
_UNIVERSE, _PIPELINE = 1, 2
_KINDS = {_UNIVERSE: "a Universe", _PIPELINE: "a FeaturePipeline"}
_HEAD = struct.Struct("<8sHB")
_LENGTH = struct.Struct("<Q")
_DIGEST = 32


def _symbol(value: Any, what: str) -> Symbol:
    """A symbol key: a str or an int (NumPy scalars taken as their Python value)."""
    if isinstance(value, np.generic):
        value = value.item()
    if isinstance(value, bool) or not isinstance(value, (str, int)):
        raise TypeError(f"{what} must be a str or an int, got {type(value).__name__} {value!r}")
    return value


def _feature_pipeline(pipeline: PipelineLike) -> _sarvek.FeaturePipeline:
    pipe = as_pipeline(pipeline)
    if not isinstance(pipe, _sarvek.FeaturePipeline):
        raise TypeError(f"a universe runs a FeaturePipeline, got a {type(pipe).__name__}")
    return pipe


class Universe:
    """One feature pipeline per symbol, every symbol moved by one call per bar.

    ``Universe(pipeline, symbols)``: ``pipeline`` a ``FeaturePipeline`` (only
    its configuration is used: every symbol starts from a fresh copy), its
    dict form or a TOML path; ``symbols`` the keys (str or int, unique), in
    the order of the rows of every ``update``. Each symbol's results and state
    are bit for bit those of its own ``FeaturePipeline`` fed the same bars.
    """

    __slots__ = ("_core", "_symbols", "_index", "_document", "_width")

    def __init__(self, pipeline: PipelineLike, symbols: Iterable[Symbol]) -> None:
        pipe = _feature_pipeline(pipeline)
        if isinstance(symbols, (str, bytes)):
            raise TypeError(f"symbols must be a sequence of symbol keys, not a single {type(symbols).__name__}")
        keys = [_symbol(s, "a symbol") for s in symbols]
        index: dict[Symbol, int] = {}
        for i, s in enumerate(keys):
            if s in index:
                raise ValueError(f"duplicate symbol {s!r} (positions {index[s]} and {i})")
            index[s] = i
        self._document: dict[str, Any] = pipeline_to_dict(pipe)
        self._core = _sarvek._Universe(pipe, len(keys))
        self._width = len(pipe.output_names())
        self._symbols = keys
        self._index = index

    # ------------------------------------------------------------- reading

    @property
    def symbols(self) -> tuple[Symbol, ...]:
        """The symbol keys, in row order."""
        return tuple(self._symbols)

    def __len__(self) -> int:
        return len(self._symbols)

    def __repr__(self) -> str:
        shown = ", ".join(map(repr, self._symbols[:5])) + (", ..." if len(self._symbols) > 5 else "")
        return f"Universe({len(self._symbols)} symbols: {shown}; outputs {self.output_names()})"

    def output_names(self) -> list[str]:
        """The columns of every ``update`` result, in execution order."""
        names: list[str] = self._core.output_names()
        return names

    def input_names(self) -> list[str]:
        """The columns of ``bars``, in order."""
        names: list[str] = self._core.input_names()
        return names

    # ------------------------------------------------------------ updating

    def update(self, bars: Any, present: Any = None, out: Any = None) -> Float64:
        """One bar for every symbol.

        ``bars``: a float64 buffer of shape (symbols, inputs), rows in
        ``symbols`` order, columns in ``input_names()`` order, NaN for a
        missing value. ``present``: an optional bool (or uint8) array of
        shape (symbols,); a symbol without a bar keeps its state and gets a
        row of NaN. ``out``: an optional C-contiguous float64 array of shape
        (symbols, outputs) to write into. Returns the (symbols, outputs)
        results, NaN for missing. A refused call changes nothing.
        """
        if out is None:
            out = np.empty((len(self._symbols), self._width), dtype=np.float64)
        self._core.update(bars, present, out)
        result: Float64 = out
        return result

    def add(self, symbol: Symbol) -> None:
        """Adds ``symbol`` at the end, with a fresh pipeline."""
        key = _symbol(symbol, "symbol")
        if key in self._index:
            raise ValueError(f"symbol {key!r} is already in the universe")
        self._core._add()
        self._index[key] = len(self._symbols)
        self._symbols.append(key)

    def remove(self, symbol: Symbol) -> None:
        """Drops ``symbol`` and its state; the others keep their order."""
        key = _symbol(symbol, "symbol")
        at = self._index.get(key)
        if at is None:
            raise ValueError(f"unknown symbol {key!r}: it is not in the universe")
        self._core._remove(at)
        del self._symbols[at]
        self._index = {s: i for i, s in enumerate(self._symbols)}

    def warm(self, data: Any, by: str, time: Any = None) -> None:
        """Brings each symbol in ``data`` to the end of its history.

        ``data``: a table as ``compute_features`` takes it, ``by`` the symbol
        column, each symbol's rows in time order (checked with ``time=``, or
        a pandas DatetimeIndex, as ``compute_features`` checks them). Each
        symbol found gets a fresh pipeline fed its rows through the column
        engine, bit for bit the same as feeding them to ``update`` one by
        one; symbols not in ``data`` are untouched. Everything is checked
        first: a symbol of ``data`` that is not in the universe is refused by
        name before any symbol changes.
        """
        table = _table(data)
        _named(table, "by=")
        if not isinstance(by, str):
            raise TypeError(f"by must be a column name, got {type(by).__name__}")
        inputs = self.input_names()
        assert table.names is not None
        for name in inputs:
            table.check_has(name, "an input column of the pipeline")
        table.check_has(by, "the by= column")
        if time is not None:
            table.check_has(time, "the time= column")
        table.check_lengths([*inputs, by, *([time] if time is not None else [])])
        columns = _input_columns(table, inputs)
        keys = table.keys(by)
        groups = _groups(keys)
        _check_table_order(table, time, groups, keys)
        jobs = []
        for idx in groups:
            raw = keys[idx[0]]
            raw = raw.item() if isinstance(raw, np.generic) else raw
            if isinstance(raw, bool) or not isinstance(raw, (str, int)) or raw not in self._index:
                raise ValueError(f"symbol {raw!r} of the {by!r} column is not in the universe; add it first")
            jobs.append((self._index[raw], idx))
        for at, idx in jobs:
            self._core._warm(at, [np.ascontiguousarray(c[idx]) for c in columns])

    # ----------------------------------------------------------- snapshots

    def state(self) -> bytes:
        """A snapshot: the pipeline document, the symbols and every symbol's
        state, from which ``Universe.from_state`` carries on exactly."""
        return _pack(_UNIVERSE, self._document, self._symbols, self._core._state())

    @classmethod
    def from_state(cls, data: Any, pipeline: PipelineLike | None = None) -> Universe:
        """The universe a snapshot of ``state()`` holds. With ``pipeline``,
        a snapshot taken with another pipeline document is refused."""
        document, symbols, state = _unpack(data, _UNIVERSE, pipeline)
        made = cls(pipeline_from_dict(document), symbols)
        made._core._restore(state)  # all or nothing; refused with ValueError
        if len(made._core) != len(symbols):
            raise ValueError(f"snapshot is corrupted: it lists {len(symbols)} symbols but holds "
                             f"{len(made._core)} states")
        return made


# ----------------------------------------------------------------- format


def _pack(kind: int, document: Mapping[str, Any], symbols: list[Symbol], state: bytes) -> bytes:
    parts = [_HEAD.pack(_MAGIC, _VERSION, kind)]
    for section in (json.dumps(document).encode(), json.dumps(symbols).encode(), state):
        parts.append(_LENGTH.pack(len(section)))
        parts.append(section)
    body = b"".join(parts)
    return body + hashlib.sha256(body).digest()


def _unpack(data: Any, kind: int, pipeline: PipelineLike | None) -> tuple[dict[str, Any], list[Symbol], bytes]:
    """Document, symbols and state of a snapshot of ``kind``, every field
    checked; ValueError naming the first problem."""
    try:
        raw = bytes(memoryview(data).cast("B"))
    except TypeError:
        raise TypeError(f"a snapshot is bytes, got {type(data).__name__}") from None
    if raw[:len(_MAGIC)] != _MAGIC[:len(raw)]:
        raise ValueError("not a sarvek snapshot: its first bytes are not the snapshot mark")
    if len(raw) < _HEAD.size + _DIGEST:
        raise ValueError(f"snapshot is truncated: {len(raw)} bytes")
    _, version, got_kind = _HEAD.unpack_from(raw)
    if version != _VERSION:
        raise ValueError(f"snapshot format version {version} cannot be read: this sarvek reads version {_VERSION}")
    body, digest = raw[:-_DIGEST], raw[-_DIGEST:]
    if hashlib.sha256(body).digest() != digest:
        raise ValueError("snapshot is corrupted or truncated: its checksum does not match its contents")
    if got_kind != kind:
        of = _KINDS.get(got_kind, f"an unknown kind ({got_kind})")
        raise ValueError(f"snapshot holds {of}, not {_KINDS[kind]}")
    sections: list[bytes] = []
    at = _HEAD.size
    for name in ("document", "symbols", "state"):
        if at + _LENGTH.size > len(body):
            raise ValueError(f"snapshot is corrupted: it ends before its {name}")
        (n,) = _LENGTH.unpack_from(body, at)
        at += _LENGTH.size
        if n > len(body) - at:
            raise ValueError(f"snapshot is corrupted: its {name} claims {n} bytes, {len(body) - at} remain")
        sections.append(body[at:at + n])
        at += n
    if at != len(body):
        raise ValueError(f"snapshot is corrupted: {len(body) - at} bytes follow its state")
    try:
        document = json.loads(sections[0].decode())
        symbols = json.loads(sections[1].decode())
    except (UnicodeDecodeError, ValueError) as e:
        raise ValueError(f"snapshot is corrupted: {e}") from None
    if not isinstance(document, dict):
        raise ValueError("snapshot is corrupted: its pipeline document is not a table")
    if not isinstance(symbols, list) or any(isinstance(s, bool) or not isinstance(s, (str, int)) for s in symbols):
        raise ValueError("snapshot is corrupted: its symbols are not a list of str and int keys")
    try:
        rebuilt = pipeline_from_dict(document)
    except (ValueError, TypeError) as e:
        raise ValueError(f"snapshot's pipeline document does not build: {e}") from None
    if not isinstance(rebuilt, _sarvek.FeaturePipeline) or pipeline_to_dict(rebuilt) != document:
        raise ValueError("snapshot's pipeline document does not build the same pipeline in this sarvek")
    if pipeline is not None and pipeline_to_dict(_feature_pipeline(pipeline)) != document:
        raise ValueError("snapshot was taken with a different pipeline document than the one given")
    return document, symbols, sections[2]


def save_state(pipeline: _sarvek.FeaturePipeline) -> bytes:
    """A snapshot of a ``FeaturePipeline``: its document and every feature's
    state; ``load_state`` gives a pipeline that carries on exactly."""
    if not isinstance(pipeline, _sarvek.FeaturePipeline):
        raise TypeError(f"save_state takes a FeaturePipeline, got {type(pipeline).__name__}")
    return _pack(_PIPELINE, pipeline_to_dict(pipeline), [], _sarvek._pipeline_state(pipeline))


def load_state(data: Any, pipeline: PipelineLike | None = None) -> _sarvek.FeaturePipeline:
    """The ``FeaturePipeline`` a ``save_state`` snapshot holds, in the state it
    was saved in. With ``pipeline``, a snapshot of another document is refused."""
    document, _, state = _unpack(data, _PIPELINE, pipeline)
    made = pipeline_from_dict(document)
    assert isinstance(made, _sarvek.FeaturePipeline)
    _sarvek._restore_pipeline_state(made, state)
    return made


__all__ = ["Universe", "save_state", "load_state"]
