"""The exceptions the package raises."""
from __future__ import annotations

from typing import Dict, Optional

__all__ = ["VantoError", "SessionClosed", "ChangesPaused", "Cancelled", "OpenError", "SaveError",
           "SaveCancelled", "SAVE_ERRORS"]

# The results of vanto_edit_save and their names in types.h.
SAVE_ERRORS: Dict[int, str] = {
    -1: "SAVE_ERROR_INVALID",
    -2: "SAVE_ERROR_NAME_TOO_LONG",
    -3: "SAVE_ERROR_CREATE",
    -5: "SAVE_ERROR_READ",
    -6: "SAVE_ERROR_WRITE",
    -8: "SAVE_ERROR_NO_FREE_NAME",
    -9: "SAVE_ERROR_PLACE",
    -10: "SAVE_ERROR_REBASE",
    -11: "SAVE_ERROR_CANCELLED",
    -12: "SAVE_ERROR_NOT_REGULAR",
    -13: "SAVE_ERROR_FILE_CHANGED",
}

_SAVE_MESSAGES: Dict[int, str] = {
    -1: "invalid target, or a save from an event of an unfinished operation",
    -2: "the temporary name does not fit",
    -3: "the temporary file cannot be created",
    -5: "the session's data cannot be read",
    -6: "the data cannot be written, synced or closed",
    -8: "no free name beside the existing target (the complete temporary file is kept)",
    -9: "a checkpoint file as target, or the rename failed (the complete temporary file is kept)",
    -10: "saved, but the session could not re-base on the saved file",
    -11: "cancelled",
    -12: "the target is a device, a pipe or a socket",
    -13: "the backing file changed since the session opened it",
}


class VantoError(Exception):
    """Base class of the errors the library reports."""


class SessionClosed(VantoError, ValueError):
    """An operation on a session (or one of its viewports) that has been closed."""

    def __init__(self, what: str = "session") -> None:
        super().__init__(f"operation on a closed {what}")


class ChangesPaused(VantoError):
    """An edit, undo, redo or transform while the session's changes are paused."""


class Cancelled(VantoError):
    """A long call was cancelled by its progress callback."""


class OpenError(VantoError, OSError):
    """A file that exists but cannot be edited (not a regular file or block device)."""


class SaveError(VantoError):
    """A failed save, with the library's result code and its name (``SAVE_ERROR_*``)."""

    code: int
    name: str

    def __init__(self, code: int, path: Optional[str] = None) -> None:
        self.code = code
        self.name = SAVE_ERRORS.get(code, f"SAVE_ERROR_{-code}")
        message = _SAVE_MESSAGES.get(code, "unknown result")
        target = f" {path!r}" if path is not None else ""
        super().__init__(f"save{target} failed: {self.name} ({code}): {message}")


class SaveCancelled(SaveError, Cancelled):
    """A save cancelled by its progress callback (code SAVE_ERROR_CANCELLED)."""


def save_error(code: int, path: Optional[str] = None) -> SaveError:
    return SaveCancelled(code, path) if code == -11 else SaveError(code, path)
