"""The exceptions of the pmdb module.

A failing library call raises an ``Error`` (or one of its subclasses below)
that carries what the library recorded: ``numbers``, the error numbers of the
ring, oldest first (the inner layers first, the call's own number last);
``pmerrno`` for opening, creating and committing; ``message``, the library's
text where it has one; and ``meanings``, each number's meaning from
docs/errors.md. ``str()`` of the error is one line naming all of them.

Mistakes in the arguments (a wrong type, a value a key cannot hold) raise
``TypeError`` and ``ValueError`` before anything reaches the database.
"""

from __future__ import annotations

from typing import Dict, Iterable, Optional

from ._errtable import ERRORS, PMERRNO

__all__ = ["Error", "OpenError", "ReadOnlyError", "NotFoundError", "DuplicateKeyError",
           "RollbackError", "LibraryNotFoundError", "meaning", "pmerrno_meaning"]


def meaning(number: int) -> str:
    """The documented meaning of an error number (docs/errors.md)."""
    return ERRORS.get(number, "not a documented error number")


def pmerrno_meaning(value: int) -> str:
    """The documented meaning of a ``pmerrno`` value."""
    return PMERRNO.get(value, "not a documented pmerrno value")


class Error(Exception):
    """A failure that the pmdb library reported."""

    def __init__(self, what: str, numbers: Iterable[int] = (), pmerrno: int = 0, message: str = "") -> None:
        self.what = what
        self.numbers = tuple(numbers)
        self.pmerrno = pmerrno
        self.message = message
        self.meanings: Dict[int, str] = {n: meaning(n) for n in self.numbers}
        super().__init__(self._line())

    def _line(self) -> str:
        parts = [self.what]
        if self.pmerrno:
            parts.append(f"pmerrno {self.pmerrno}: {pmerrno_meaning(self.pmerrno)}")
        parts += [f"error {n}: {self.meanings[n]}" for n in self.numbers]
        if self.message:
            parts.append(f"message: {self.message}")
        return "; ".join(parts)

    @property
    def number(self) -> Optional[int]:
        """The call's own error number (the newest), or None."""
        return self.numbers[-1] if self.numbers else None


class OpenError(Error):
    """A database cannot be created or opened."""


class ReadOnlyError(Error):
    """A change was asked of a database opened read-only (error 1025)."""


class NotFoundError(Error, LookupError):
    """The rid names no live record, or a key to delete is not there."""


class DuplicateKeyError(Error):
    """An equal key is already present (same value; also the same rid in a
    subkey that admits duplicate values)."""


class RollbackError(Error):
    """A transaction failed and its changes could not be undone."""


class LibraryNotFoundError(Error):
    """The shared library libpmdb.so.0 cannot be loaded."""
