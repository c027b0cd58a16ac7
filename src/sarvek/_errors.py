"""The two kinds of failure the command line reports, and how a failure
is put on one line. Kept below both the command line and the modules it
calls, so that the library never imports the command line."""
from __future__ import annotations

from typing import Any


class UsageError(Exception):
    """A command line that asks for something impossible (exit code 2)."""


class DataError(Exception):
    """Data or pipeline files that cannot be used (exit code 1)."""


def one_line(exc: BaseException | Warning | str) -> str:
    """The text of ``exc`` with every run of white space made one space
    (its type's name when it has no text)."""
    return " ".join(str(exc).split()) or type(exc).__name__


def need(module: str, extra: str, what: str) -> Any:
    """``module`` imported, else DataError naming the extra to install."""
    try:
        return __import__(module)
    except ImportError:
        raise DataError(f"{what} needs {module}: pip install {module} (or pip install 'sarvek[{extra}]')") from None
