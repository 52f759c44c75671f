"""Editing byte sequences of any size, typically files of many GiB, without loading them.

>>> import vanto_edit
>>> with vanto_edit.Session("archive.zip") as s:          # doctest: +SKIP
...     s.overwrite(8, b"\\x00\\x00")                      # recorded, the file is untouched
...     s.save("patched.zip")

The package calls the shared library libvanto_edit through ctypes; it finds
it through the environment variable VANTO_EDIT_LIBRARY, beside the package,
in the build tree of a source checkout or on the system's loader path.
"""
from __future__ import annotations

from . import _lib
from ._errors import (Cancelled, ChangesPaused, OpenError, SAVE_ERRORS, SaveCancelled, SaveError,
                      SessionClosed, VantoError)
from ._lib import LibraryNotFound, library_path
from ._log import LogMessage, set_log_handler
from ._pattern import Pattern, entropy, pattern
from ._session import (Change, ChangeKind, Changes, FileChange, Session, SessionEvent, Viewport,
                       ViewportEvent)

__all__ = [
    "Session", "Viewport", "Change", "ChangeKind", "Changes", "SessionEvent", "ViewportEvent",
    "FileChange", "Pattern", "pattern", "entropy", "set_log_handler", "LogMessage", "version",
    "version_info", "library_path", "VantoError", "SessionClosed", "ChangesPaused", "Cancelled",
    "OpenError", "SaveError", "SaveCancelled", "SAVE_ERRORS", "LibraryNotFound",
]

__version__ = "0.9.63"


def version() -> str:
    """The loaded library's version, "major.minor.patch"."""
    return ".".join(str(part) for part in version_info())


def version_info() -> "tuple[int, int, int]":
    """The loaded library's version as (major, minor, patch)."""
    return (_lib.vanto_version_major(), _lib.vanto_version_minor(), _lib.vanto_version_patch())
