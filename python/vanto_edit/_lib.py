"""Loading libvanto_edit and declaring the C functions the package calls.

Every function is declared once (argument and result types) at import time,
so the wrappers call them without further conversion work.  Functions that
newer libraries add are bound optionally: a missing one is ``None`` here and
the wrapper that needs it raises :class:`NotImplementedError` naming it.
"""
from __future__ import annotations

import ctypes
import ctypes.util
import glob
import os
from pathlib import Path
from typing import List, Optional

__all__ = ["lib", "library_path", "optional", "require", "LibraryNotFound"]

ENV_VARIABLE = "VANTO_EDIT_LIBRARY"
_SONAMES = ("libvanto_edit.so.0.9", "libvanto_edit.so")


class LibraryNotFound(ImportError):
    """The shared library libvanto_edit could not be loaded from any place tried."""


def _package_candidates() -> List[Path]:
    # An installed tree: the package directory itself (a bundled library), or
    # the library directory the package was installed under (<libdir>/python/vanto_edit).
    here = Path(__file__).resolve().parent
    return [directory / name for directory in (here, here.parent, here.parent.parent)
            for name in _SONAMES]


def _build_tree_candidates() -> List[Path]:
    # Running from a source checkout (python/vanto_edit): the libraries of its
    # build trees, the most recently built first.
    root = Path(__file__).resolve().parent.parent.parent
    if not (root / "core" / "include" / "vanto_edit.h").is_file():
        return []
    found = [Path(p) for p in glob.glob(str(root / "build" / "*" / "core" / "libvanto_edit.so"))]
    found.sort(key=lambda p: p.stat().st_mtime if p.exists() else 0.0, reverse=True)
    return found


def _load() -> "tuple[ctypes.CDLL, str]":
    tried: List[str] = []
    explicit = os.environ.get(ENV_VARIABLE)
    if explicit:
        try:
            return ctypes.CDLL(explicit), explicit
        except OSError as error:
            raise LibraryNotFound(f"{ENV_VARIABLE}={explicit!r} cannot be loaded: {error}") from None
    tried.append(f"{ENV_VARIABLE} (not set)")
    for candidate in _package_candidates() + _build_tree_candidates():
        tried.append(str(candidate))
        if candidate.is_file():
            try:
                return ctypes.CDLL(str(candidate)), str(candidate)
            except OSError as error:
                tried[-1] += f" ({error})"
    names = list(_SONAMES)
    found = ctypes.util.find_library("vanto_edit")
    if found and found not in names:
        names.append(found)
    for name in names:
        tried.append(f"{name} (system loader path)")
        try:
            return ctypes.CDLL(name), name
        except OSError:
            pass
    raise LibraryNotFound("libvanto_edit cannot be found; tried:\n  " + "\n  ".join(tried) +
                          f"\nSet {ENV_VARIABLE} to the library's path.")


lib, library_path = _load()

c_vp = ctypes.c_void_p
c_i64 = ctypes.c_int64
c_i32 = ctypes.c_int32
c_int = ctypes.c_int
c_char_p = ctypes.c_char_p

SESSION_EVENT_CBK = ctypes.CFUNCTYPE(None, c_vp, c_i32, c_vp)
VIEWPORT_EVENT_CBK = ctypes.CFUNCTYPE(None, c_vp, c_i32, c_vp)
PROGRESS_CBK = ctypes.CFUNCTYPE(c_int, c_vp, c_i64, c_i64, c_vp)
BYTE_TRANSFORM = ctypes.CFUNCTYPE(ctypes.c_ubyte, ctypes.c_ubyte, c_vp)
LOG_CBK = ctypes.CFUNCTYPE(None, c_i32, c_char_p, c_i32, c_char_p, c_char_p, c_vp)


def address(callback: "ctypes._CFuncPtr") -> int:
    """The code address of a ctypes callback (callback parameters are declared as void *)."""
    return ctypes.cast(callback, c_vp).value or 0

_REQUIRED = {
    # sessions and edits
    "vanto_edit_create_session": (c_vp, [c_char_p, c_vp, c_vp, c_i32]),
    "vanto_edit_destroy_session": (None, [c_vp]),
    "vanto_edit_insert_bytes": (c_i64, [c_vp, c_i64, c_vp, c_i64]),
    "vanto_edit_overwrite_bytes": (c_i64, [c_vp, c_i64, c_vp, c_i64]),
    "vanto_edit_delete": (c_i64, [c_vp, c_i64, c_i64]),
    "vanto_edit_replace_all": (c_i64, [c_vp, c_vp, c_i64, c_vp, c_i64, c_i32, c_i64, c_i64, c_i64,
                                       ctypes.POINTER(c_i64)]),
    "vanto_edit_undo_last_change": (c_i64, [c_vp]),
    "vanto_edit_redo_last_undo": (c_i64, [c_vp]),
    "vanto_edit_clear_changes": (c_int, [c_vp]),
    "vanto_edit_save": (c_int, [c_vp, c_char_p, c_i32, c_vp]),
    "vanto_edit_create_checkpoint": (c_int, [c_vp, c_char_p]),
    "vanto_edit_destroy_last_checkpoint": (c_int, [c_vp]),
    "vanto_edit_apply_transform": (c_int, [c_vp, c_vp, c_vp, c_i64, c_i64, c_char_p]),
    "vanto_edit_create_viewport": (c_vp, [c_vp, c_i64, c_i64, c_int, c_vp, c_vp, c_i32]),
    "vanto_edit_destroy_viewport": (None, [c_vp]),
    # session queries and state
    "vanto_session_get_user_data_ptr": (c_vp, [c_vp]),
    "vanto_session_get_file_path": (c_char_p, [c_vp]),
    "vanto_session_get_computed_file_size": (c_i64, [c_vp]),
    "vanto_session_get_segment": (c_int, [c_vp, c_vp, c_i64]),
    "vanto_session_get_num_changes": (c_i64, [c_vp]),
    "vanto_session_get_num_undone_changes": (c_i64, [c_vp]),
    "vanto_session_get_num_checkpoints": (c_i64, [c_vp]),
    "vanto_session_get_num_viewports": (c_i64, [c_vp]),
    "vanto_session_get_num_search_contexts": (c_i64, [c_vp]),
    "vanto_session_get_change": (c_vp, [c_vp, c_i64]),
    "vanto_session_begin_transaction": (c_int, [c_vp]),
    "vanto_session_end_transaction": (c_int, [c_vp]),
    "vanto_session_get_transaction_state": (c_int, [c_vp]),
    "vanto_session_pause_changes": (None, [c_vp]),
    "vanto_session_resume_changes": (None, [c_vp]),
    "vanto_session_changes_paused": (c_int, [c_vp]),
    "vanto_session_pause_viewport_event_callbacks": (None, [c_vp]),
    "vanto_session_resume_viewport_event_callbacks": (None, [c_vp]),
    "vanto_session_viewport_event_callbacks_paused": (c_int, [c_vp]),
    "vanto_session_notify_changed_viewports": (c_int, [c_vp]),
    "vanto_session_set_progress_cbk": (c_int, [c_vp, c_vp, c_vp]),
    "vanto_session_profile": (c_int, [c_vp, ctypes.POINTER(c_i64), c_i64, c_i64]),
    # changes
    "vanto_change_get_serial": (c_i64, [c_vp]),
    "vanto_change_get_kind_as_char": (ctypes.c_char, [c_vp]),
    "vanto_change_get_offset": (c_i64, [c_vp]),
    "vanto_change_get_length": (c_i64, [c_vp]),
    "vanto_change_get_bytes": (c_vp, [c_vp]),
    # segments
    "vanto_segment_create": (c_vp, [c_i64]),
    "vanto_segment_destroy": (None, [c_vp]),
    "vanto_segment_get_length": (c_i64, [c_vp]),
    "vanto_segment_get_data": (c_vp, [c_vp]),
    # viewports
    "vanto_viewport_modify": (c_int, [c_vp, c_i64, c_i64, c_int]),
    "vanto_viewport_get_data": (c_vp, [c_vp]),
    "vanto_viewport_get_length": (c_i64, [c_vp]),
    "vanto_viewport_get_capacity": (c_i64, [c_vp]),
    "vanto_viewport_get_offset": (c_i64, [c_vp]),
    "vanto_viewport_get_following_byte_count": (c_i64, [c_vp]),
    "vanto_viewport_has_changes": (c_int, [c_vp]),
    "vanto_viewport_is_floating": (c_int, [c_vp]),
    "vanto_viewport_get_user_data_ptr": (c_vp, [c_vp]),
    # search
    "vanto_search_create_context_bytes": (c_vp, [c_vp, c_vp, c_i64, c_i64, c_i64, c_int]),
    "vanto_search_next_match": (c_int, [c_vp, c_i64]),
    "vanto_search_context_get_offset": (c_i64, [c_vp]),
    "vanto_search_destroy_context": (None, [c_vp]),
    # model check (used by the tests)
    "vanto_check_model": (c_int, [c_vp]),
    # identity
    "vanto_version": (c_int, []),
    "vanto_version_major": (c_int, []),
    "vanto_version_minor": (c_int, []),
    "vanto_version_patch": (c_int, []),
    "vanto_libtype": (c_char_p, []),
}

_OPTIONAL = {
    "vanto_search_create_context_masked": (c_vp, [c_vp, c_vp, c_vp, c_i64, c_i64, c_i64, c_int]),
    "vanto_search_prev_match": (c_int, [c_vp, c_i64]),
    "vanto_search_count_matches": (c_i64, [c_vp, c_i64]),
    "vanto_session_get_backing_file_changes": (c_i32, [c_vp]),
    "vanto_util_set_log_cbk": (None, [c_vp, c_vp]),
    "vanto_session_read": (c_i64, [c_vp, c_i64, c_vp, c_i64]),
    "vanto_util_translate_byte": (ctypes.c_ubyte, [ctypes.c_ubyte, c_vp]),
    "vanto_edit_insert_file": (c_i64, [c_vp, c_i64, c_char_p, c_i64, c_i64]),
    "vanto_edit_overwrite_file": (c_i64, [c_vp, c_i64, c_char_p, c_i64, c_i64]),
    "vanto_change_copy_bytes": (c_i64, [c_vp, c_i64, c_vp, c_i64]),
}


def _declare(name: str, restype, argtypes) -> "ctypes._CFuncPtr":
    function = getattr(lib, name)
    function.restype = restype
    function.argtypes = argtypes
    return function


for _name, (_restype, _argtypes) in _REQUIRED.items():
    globals()[_name] = _declare(_name, _restype, _argtypes)

optional: "dict[str, Optional[ctypes._CFuncPtr]]" = {}
for _name, (_restype, _argtypes) in _OPTIONAL.items():
    try:
        optional[_name] = _declare(_name, _restype, _argtypes)
    except AttributeError:
        optional[_name] = None


def require(name: str) -> "ctypes._CFuncPtr":
    """The optional function `name`, or NotImplementedError when the loaded library lacks it."""
    function = optional.get(name)
    if function is None:
        raise NotImplementedError(f"the loaded library ({library_path}) has no {name}")
    return function


# Exceptions raised by the log handler (which has no session to report to),
# by thread; the next library call of that thread that checks raises them.
_log_errors: "list[tuple[int, BaseException]]" = []


def raise_log_error() -> None:
    """Raises the oldest exception the log handler left on this thread, if any."""
    if not _log_errors:
        return
    import threading
    me = threading.get_ident()
    for index, (thread, error) in enumerate(_log_errors):
        if thread == me:
            del _log_errors[index]
            raise error
