"""Exceptions raised by the tesra package.

Every failure of the reader becomes a :class:`TesraError` (or a subclass) that carries the
reader's result label (``"TESRA_CORRUPT_ARCHIVE"``), the archive and the operation that failed.
Subclasses also derive from the matching built-in exception, so ``except FileNotFoundError``
and ``except ValueError`` work as one expects.
"""

from __future__ import annotations

import errno


class TesraError(Exception):
    """A reader operation failed.

    Attributes:
        label: the reader's result label, e.g. ``"TESRA_READ_FAILED"``.
        code: the numeric result code.
        archive: the archive's base path.
        operation: what was being done ("open", "read the first sample of 'volume'", ...).
    """

    def __init__(self, label: str, code: int, archive: str, operation: str) -> None:
        self.label = label
        self.code = code
        self.archive = archive
        self.operation = operation
        super().__init__(f"{archive}: {operation}: {label}")

    def __str__(self) -> str:
        return f"{self.archive}: {self.operation}: {self.label}"

    def __reduce__(self):
        return (type(self), (self.label, self.code, self.archive, self.operation))


class ArchiveNotFoundError(TesraError, FileNotFoundError):
    """The archive's ``.meta`` or ``.gz`` file cannot be opened."""

    def __init__(self, label: str, code: int, archive: str, operation: str) -> None:
        TesraError.__init__(self, label, code, archive, operation)
        self.errno = errno.ENOENT
        self.filename = archive
        self.strerror = f"{operation}: {label}"


class CorruptArchiveError(TesraError):
    """The archive is damaged: its metadata, index or data stream cannot be read as written.

    The message names the archive and the place: the operation and, for the data stream,
    the last sample time read before the damage.
    """


class NotFoundError(TesraError, LookupError):
    """An object, counter, instance or record the call names is not in the archive."""


class InvalidArgumentError(TesraError, ValueError):
    """The reader refused an argument: a period, a time range, an archive name."""


_CORRUPT = {
    "TESRA_CORRUPT_ARCHIVE",
    "TESRA_PARSING_ERROR",
    "TESRA_READ_FAILED",
    "TESRA_SEEK_FAILED",
    "TESRA_INVALID_RECORD",
    "TESRA_INVALID_NUM_PARTIAL_RECORDS",
    "TESRA_COUNTER_MISMATCH",
    "TESRA_COUNTER_TYPE_NOT_FOUND",
    "TESRA_INVALID_VERSION",
}
_NOT_FOUND = {
    "TESRA_OBJECT_NOT_FOUND",
    "TESRA_COUNTER_NOT_FOUND",
    "TESRA_INSTANCE_NOT_FOUND",
    "TESRA_RECORD_NOT_FOUND",
}
_INVALID = {
    "TESRA_INVALID_ARGUMENTS",
    "TESRA_FILENAME_FORMAT_ERROR",
    "TESRA_PERIOD_NOT_FOUND",
    "TESRA_INVALID_QUERY",
    "TESRA_INVALID_TIMESTAMP",
}


def error_class(label: str) -> type:
    """The exception class raised for a reader result label."""
    if label == "TESRA_FILE_NOT_FOUND":
        return ArchiveNotFoundError
    if label in _CORRUPT:
        return CorruptArchiveError
    if label in _NOT_FOUND:
        return NotFoundError
    if label in _INVALID:
        return InvalidArgumentError
    return TesraError


def _from_reader(code: int, label: str, archive: str, operation: str) -> TesraError:
    # Called by the extension for every failed reader call.
    return error_class(label)(label, code, archive, operation)
