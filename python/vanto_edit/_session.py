"""Sessions, viewports, change records and the callbacks that join them to Python."""
from __future__ import annotations

import contextlib
import ctypes
import enum
import errno
import itertools
import operator
import os
import signal
import stat
import tempfile
import threading
import weakref
from typing import (Any, Callable, Dict, Iterator, List, NamedTuple, Optional, Sequence, Tuple,
                    Union, overload)

from . import _lib
from ._errors import (Cancelled, ChangesPaused, OpenError, SessionClosed, VantoError, save_error)
from ._pattern import Pattern

__all__ = ["Session", "Viewport", "Change", "ChangeKind", "Changes", "SessionEvent", "ViewportEvent",
           "FileChange", "BytesLike", "PathLike"]

BytesLike = Union[bytes, bytearray, memoryview, Any]
PathLike = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
PatternLike = Union[Pattern, BytesLike]
ProgressCallback = Callable[[int, int], Optional[bool]]

# Reads above this size go through a segment of this size, chunk by chunk.
_CHUNK = 1 << 20
# Writable buffers below this size are copied (cheaper than exporting them).
_COPY_LIMIT = 16 << 10
# Searches run in stretches of this size, so that Ctrl-C is seen between them.
_SEARCH_SPAN = 64 << 20
_OFFSET_LIMIT = 1 << 63  # offsets and lengths are signed 64-bit in the library
_PATTERN_LIMIT = 524288
_CAPACITY_LIMIT = 1048576
_PATH_BUFFER_SIZE = 260
_SAVE_FLAG_OVERWRITE = 1
_SAVE_FLAG_REFUSE_IF_CHANGED = 2
_REPLACE_FLAG_IGNORE_CASE = 1

# The C functions, bound to module names once (the hot paths read globals only).
_create_session = _lib.vanto_edit_create_session
_destroy_session = _lib.vanto_edit_destroy_session
_insert = _lib.vanto_edit_insert_bytes
_overwrite = _lib.vanto_edit_overwrite_bytes
_delete = _lib.vanto_edit_delete
_size = _lib.vanto_session_get_computed_file_size
_get_segment = _lib.vanto_session_get_segment
# Reads straight into a buffer of ours where the library has the call;
# otherwise through a segment and a copy.
_read_into = _lib.optional["vanto_session_read"]
_seg_create = _lib.vanto_segment_create
_seg_destroy = _lib.vanto_segment_destroy
_seg_data = _lib.vanto_segment_get_data
_seg_length = _lib.vanto_segment_get_length
_paused = _lib.vanto_session_changes_paused
_tstate = _lib.vanto_session_get_transaction_state
_set_progress = _lib.vanto_session_set_progress_cbk
_ctx_create = _lib.vanto_search_create_context_bytes
_ctx_next = _lib.vanto_search_next_match
_ctx_offset = _lib.vanto_search_context_get_offset
_ctx_destroy = _lib.vanto_search_destroy_context
_string_at = ctypes.string_at
_memmove = ctypes.memmove
_addressof = ctypes.addressof
_from_buffer = ctypes.c_char.from_buffer
_ubyte_at = ctypes.c_ubyte.from_address
_new_bytes = ctypes.pythonapi.PyBytes_FromStringAndSize
_new_bytes.restype = ctypes.py_object
_new_bytes.argtypes = [ctypes.c_void_p, ctypes.c_ssize_t]
_bytes_address = ctypes.pythonapi.PyBytes_AsString
_bytes_address.restype = ctypes.c_void_p
_bytes_address.argtypes = [ctypes.py_object]
_ArgumentError = ctypes.ArgumentError
_MAIN_THREAD = threading.main_thread()


class SessionEvent(enum.IntFlag):
    """Session event codes (one bit each); ``ALL`` is every event."""

    CREATE = 1
    EDIT = 2
    UNDO = 4
    CLEAR = 8
    TRANSFORM = 16
    CREATE_CHECKPOINT = 32
    DESTROY_CHECKPOINT = 64
    SAVE = 128
    CHANGES_PAUSED = 256
    CHANGES_RESUMED = 512
    CREATE_VIEWPORT = 1024
    DESTROY_VIEWPORT = 2048
    ALL = 0xFFF


class ViewportEvent(enum.IntFlag):
    """Viewport event codes (one bit each); ``ALL`` is every event."""

    CREATE = 1
    EDIT = 2
    UNDO = 4
    CLEAR = 8
    TRANSFORM = 16
    MODIFY = 32
    CHANGES = 64
    ALL = 0x7F


class FileChange(enum.IntFlag):
    """How the backing file changed since the session opened it (0: not at all)."""

    NONE = 0
    SIZE = 1
    MTIME = 2
    REPLACED = 4
    REMOVED = 8


class ChangeKind(str, enum.Enum):
    """Kind of a change record."""

    DELETE = "D"
    INSERT = "I"
    OVERWRITE = "O"


class Change(NamedTuple):
    """A snapshot of one change record.

    ``serial`` is positive while the change is applied and negative while it
    is undone; ``bytes`` holds what an insert or overwrite carries (empty for
    a delete).
    """

    serial: int
    kind: ChangeKind
    offset: int
    length: int
    bytes: bytes


_KINDS = {b"D": ChangeKind.DELETE, b"I": ChangeKind.INSERT, b"O": ChangeKind.OVERWRITE}


def _change(pointer: int) -> Change:
    kind = _KINDS[_lib.vanto_change_get_kind_as_char(pointer)]
    length = _lib.vanto_change_get_length(pointer)
    data = b""
    if kind is not ChangeKind.DELETE and length > 0:
        address = _lib.vanto_change_get_bytes(pointer)
        if address:
            data = _string_at(address, length)
        else:
            # A change made from a file keeps its bytes there.
            data = _new_bytes(None, length)
            if _lib.require("vanto_change_copy_bytes")(pointer, 0, _bytes_address(data), length) != length:
                raise VantoError("the bytes of a change made from a file cannot be read")
    return Change(_lib.vanto_change_get_serial(pointer), kind, _lib.vanto_change_get_offset(pointer),
                  length, data)


# ---- buffers ------------------------------------------------------------------

def _view(data: BytesLike) -> Tuple[Any, int, Any]:
    """(argument for a const void * parameter, byte count, object to keep alive)."""
    if type(data) is bytes:
        return data, len(data), None
    if isinstance(data, str):
        raise TypeError("a bytes-like object is required, not 'str' (encode it first)")
    view = memoryview(data)
    if view.ndim != 1 or view.format != "B":
        view = view.cast("B") if view.c_contiguous else memoryview(view.tobytes())
    count = view.nbytes
    if count < _COPY_LIMIT or view.readonly or not view.c_contiguous:
        copy = view.tobytes()
        return copy, count, None
    anchor = _from_buffer(view)
    return _addressof(anchor), count, anchor


def _writable(buffer: Any) -> Tuple[int, int, Any]:
    """(address, byte count, anchor) of a writable, contiguous buffer."""
    try:
        view = memoryview(buffer)
    except TypeError:
        raise TypeError(f"readinto() needs a writable bytes-like object, not "
                        f"{type(buffer).__name__}") from None
    if view.readonly:
        raise TypeError("readinto() needs a writable bytes-like object, not a read-only one")
    if not view.c_contiguous:
        raise ValueError("readinto() needs a contiguous buffer")
    if view.ndim != 1 or view.format != "B":
        view = view.cast("B")
    count = view.nbytes
    if count == 0:
        return 0, 0, None
    anchor = _from_buffer(view)
    return _addressof(anchor), count, anchor


def _range(start: Optional[int], end: Optional[int], size: int) -> Tuple[int, int]:
    """start and end as slice bounds (negative from the end, clamped to the data)."""
    first, last, _ = slice(start, end).indices(size)
    return first, max(first, last)


# ---- callbacks ---------------------------------------------------------------
# One C callback object of each kind lives as long as the module; the user
# data pointer carries a token that names the Python object concerned.  The
# registries hold weak references, so that a callback never keeps a session
# or viewport alive.

_tokens = itertools.count(1)
_sessions: "Dict[int, weakref.ref[Session]]" = {}
_viewports: "Dict[int, weakref.ref[Viewport]]" = {}
_calls: "Dict[int, _LongCall]" = {}


def _session_of(session_pointer: Optional[int]) -> "Optional[Session]":
    token = _lib.vanto_session_get_user_data_ptr(session_pointer)
    ref = _sessions.get(token) if token else None
    return ref() if ref is not None else None


def _session_event(session_pointer: Optional[int], event: int, event_pointer: Optional[int]) -> None:
    session = _session_of(session_pointer)
    if session is None or session._on_event is None:
        return
    try:
        payload: Any = None
        if event_pointer:
            if event in (2, 4):
                payload = _change(event_pointer)
            elif event == 128:
                payload = os.fsdecode(ctypes.string_at(event_pointer)) or None
            elif event == 1024:
                token = _lib.vanto_viewport_get_user_data_ptr(event_pointer)
                ref = _viewports.get(token) if token else None
                payload = ref() if ref is not None else None
            elif event == 2048:
                ref = session._viewport_refs.get(event_pointer)
                payload = ref() if ref is not None else None
        session._in_callback += 1
        try:
            session._on_event(SessionEvent(event), payload)
        finally:
            session._in_callback -= 1
    except BaseException as error:  # surfaces after the library call returns
        if session._pending is None:
            session._pending = error


def _viewport_event(viewport_pointer: Optional[int], event: int, event_pointer: Optional[int]) -> None:
    token = _lib.vanto_viewport_get_user_data_ptr(viewport_pointer)
    ref = _viewports.get(token) if token else None
    viewport = ref() if ref is not None else None
    if viewport is None or viewport._on_event is None:
        return
    session = viewport._session
    try:
        payload = _change(event_pointer) if event_pointer and event in (2, 4) else None
        session._in_callback += 1
        try:
            viewport._on_event(viewport, ViewportEvent(event), payload)
        finally:
            session._in_callback -= 1
    except BaseException as error:
        if session._pending is None:
            session._pending = error


def _progress(session_pointer: Optional[int], done: int, total: int, token: Optional[int]) -> int:
    call = _calls.get(token) if token else None
    if call is None:
        return 0
    if call.interrupted or call.error is not None:
        return 1
    report = call.progress
    if report is None:
        return 0
    try:
        answer = report(done, total)
    except BaseException as error:
        call.error = error
        return 1
    if answer is False:
        call.cancelled = True
        return 1
    return 0


_SESSION_EVENT_CALLBACK = _lib.SESSION_EVENT_CBK(_session_event)
_VIEWPORT_EVENT_CALLBACK = _lib.VIEWPORT_EVENT_CBK(_viewport_event)
_PROGRESS_CALLBACK = _lib.PROGRESS_CBK(_progress)
_SESSION_EVENT_ADDRESS = _lib.address(_SESSION_EVENT_CALLBACK)
_VIEWPORT_EVENT_ADDRESS = _lib.address(_VIEWPORT_EVENT_CALLBACK)
_PROGRESS_ADDRESS = _lib.address(_PROGRESS_CALLBACK)


class _LongCall:
    """The frame of one long library call (save, checkpoint, transform, profile,
    replace, counting and backward search).

    Installs the progress hook for the call and, on the main thread, a SIGINT
    handler that only notes the interrupt: the hook then cancels the call,
    and :meth:`check` raises KeyboardInterrupt (through the handler that was
    in place) once the library has returned with everything consistent.
    """

    __slots__ = ("session", "progress", "token", "error", "cancelled", "interrupted",
                 "saved_handler", "log_mark")

    def __init__(self, session: "Session", progress: Optional[ProgressCallback]) -> None:
        self.session = session
        self.progress = progress
        self.token = next(_tokens)
        self.error: Optional[BaseException] = None
        self.cancelled = False
        self.interrupted = False
        self.saved_handler: Any = None

    def _note_interrupt(self, signum: int, frame: Any) -> None:
        self.interrupted = True

    def __enter__(self) -> "_LongCall":
        session = self.session
        _calls[self.token] = self
        session._progress_tokens.append(self.token)
        _set_progress(session._h, _PROGRESS_ADDRESS, self.token)
        if threading.current_thread() is _MAIN_THREAD:
            handler = signal.getsignal(signal.SIGINT)
            if callable(handler):
                self.saved_handler = handler
                signal.signal(signal.SIGINT, self._note_interrupt)
        return self

    def __exit__(self, *exc: Any) -> None:
        session = self.session
        if self.saved_handler is not None:
            signal.signal(signal.SIGINT, self.saved_handler)
        tokens = session._progress_tokens
        tokens.remove(self.token)
        if session._h is not None:
            if tokens:
                _set_progress(session._h, _PROGRESS_ADDRESS, tokens[-1])
            else:
                _set_progress(session._h, None, None)
        _calls.pop(self.token, None)

    def check(self) -> None:
        """Raises what the callbacks of the call left: their exception, or the interrupt."""
        if self.error is not None:
            error, self.error = self.error, None
            raise error
        if self.interrupted:
            self.interrupted = False
            self.saved_handler(signal.SIGINT, None)
            raise KeyboardInterrupt  # the host's handler chose not to raise
        _lib.raise_log_error()
        self.session._raise_pending()


# ---- sessions ----------------------------------------------------------------

class _Handle:
    """What the session's finalizer needs (and nothing that could keep it alive)."""

    __slots__ = ("ptr", "token", "segment", "capacity", "byte_segment")

    def __init__(self, token: int) -> None:
        self.ptr: Optional[int] = None
        self.token = token
        self.segment: Optional[int] = None
        self.capacity = 0
        self.byte_segment: Optional[int] = None


def _release(handle: _Handle) -> None:
    pointer, handle.ptr = handle.ptr, None
    if pointer:
        _destroy_session(pointer)
    for name in ("segment", "byte_segment"):
        segment = getattr(handle, name)
        if segment:
            setattr(handle, name, None)
            _seg_destroy(segment)
    _sessions.pop(handle.token, None)


def _open_error(path: PathLike) -> BaseException:
    name = os.fsdecode(path)
    try:
        info = os.stat(name)
    except OSError as error:
        return error
    if stat.S_ISDIR(info.st_mode):
        return IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
    if not (stat.S_ISREG(info.st_mode) or stat.S_ISBLK(info.st_mode)):
        return OpenError(errno.EINVAL, "not a regular file or block device", name)
    if not os.access(name, os.R_OK):
        return PermissionError(errno.EACCES, os.strerror(errno.EACCES), name)
    return OpenError(errno.EIO, "cannot be opened for editing", name)


class Session:
    """An editing session on a file (or on nothing), the edited data as a sequence of bytes.

    ``len(s)`` is the size of the edited data; ``s[i]`` a byte (an int),
    ``s[a:b]`` bytes, ``s[a:b] = data`` a replacement (one transaction),
    ``del s[a:b]`` a delete.  The file itself is never written; :meth:`save`
    writes a complete new file and renames it into place.

    The session ends with :meth:`close`, at the end of a ``with`` block or when
    the object is collected; its checkpoint files go with it.  Offsets are
    byte offsets into the edited data as it is at the time of the call.

    ``on_event(event, payload)`` receives the session's events (``events``
    selects which): payload is a :class:`Change` for EDIT and UNDO, the saved
    path for SAVE, the :class:`Viewport` for CREATE_VIEWPORT and
    DESTROY_VIEWPORT, else None.  An exception raised by a callback is raised
    by the call that caused the event, after the library has finished it.
    """

    def __init__(self, path: Optional[PathLike] = None, *,
                 on_event: Optional[Callable[[SessionEvent, Any], Any]] = None,
                 events: int = SessionEvent.ALL) -> None:
        token = next(_tokens)
        self._h: Optional[int] = None
        self._handle = _Handle(token)
        self._on_event = on_event
        self._pending: Optional[BaseException] = None
        self._in_callback = 0
        self._viewport_refs: "Dict[int, weakref.ref[Viewport]]" = {}
        self._progress_tokens: List[int] = []
        self._path: Optional[str] = None if path is None else os.fsdecode(path)
        encoded = None if path is None else os.fsencode(path)
        if encoded == b"":
            raise ValueError("empty path (use None for a session on nothing)")
        _sessions[token] = weakref.ref(self)
        callback = _SESSION_EVENT_ADDRESS if on_event is not None else None
        pointer = _create_session(encoded, callback, token, int(events) if on_event else 0)
        if not pointer:
            _sessions.pop(token, None)
            raise _open_error(encoded) if encoded is not None else VantoError("cannot create a session")
        self._h = pointer
        self._handle.ptr = pointer
        self._finalizer = weakref.finalize(self, _release, self._handle)
        self._raise_pending()

    # -- life ---------------------------------------------------------------

    def close(self) -> None:
        """Ends the session (its viewports and checkpoint files go with it); idempotent."""
        if self._h is None:
            return
        for ref in list(self._viewport_refs.values()):
            viewport = ref()
            if viewport is not None:
                viewport._detach()
        self._h = None
        self._finalizer()
        self._viewport_refs.clear()
        self._raise_pending()

    @property
    def closed(self) -> bool:
        return self._h is None

    def __enter__(self) -> "Session":
        self._live()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    def __repr__(self) -> str:
        if self._h is None:
            return "<vanto_edit.Session closed>"
        return f"<vanto_edit.Session {self._path!r} size={_size(self._h)}>"

    def _live(self) -> int:
        h = self._h
        if h is None:
            raise SessionClosed()
        return h

    def _raise_pending(self) -> None:
        error = self._pending
        if error is not None:
            self._pending = None
            raise error

    @property
    def path(self) -> Optional[str]:
        """The path the session was opened on (None for a session on nothing)."""
        return self._path

    # -- reading ------------------------------------------------------------

    def __len__(self) -> int:
        h = self._h
        if h is None:
            raise SessionClosed()
        return _size(h)

    @overload
    def __getitem__(self, key: int) -> int: ...

    @overload
    def __getitem__(self, key: slice) -> bytes: ...

    def __getitem__(self, key: Union[int, slice]) -> Union[int, bytes]:
        h = self._h
        if h is None:
            raise SessionClosed()
        size = _size(h)
        if type(key) is slice:
            start, stop, step = key.indices(size)
            if step != 1:
                raise ValueError("session slices take no step other than 1")
            return self._read(h, start, stop - start)
        index = operator.index(key)
        if index < 0:
            index += size
        if not 0 <= index < size:
            raise IndexError("session index out of range")
        handle = self._handle
        segment = handle.byte_segment
        if segment is None:
            segment = handle.byte_segment = _seg_create(1)
        if _get_segment(h, segment, index) != 0 or _seg_length(segment) < 1:
            raise VantoError(f"the data at offset {index} cannot be read")
        return _ubyte_at(_seg_data(segment)).value

    def _segment(self, count: int) -> int:
        # One segment is kept for reads; it is replaced when a read needs more
        # room or would fill far more than it asks for.
        handle = self._handle
        if handle.segment is not None and count <= handle.capacity <= 2 * count:
            return handle.segment
        if handle.segment is not None:
            _seg_destroy(handle.segment)
            handle.segment = None
        segment = _seg_create(count)
        if not segment:
            raise MemoryError(f"a read buffer of {count} bytes")
        handle.segment, handle.capacity = segment, count
        return segment

    def _read(self, h: int, offset: int, count: int) -> bytes:
        if count <= 0:
            return b""
        if _read_into is not None:
            result = _new_bytes(None, count)
            if _read_into(h, offset, _bytes_address(result), count) != count:
                raise VantoError(f"the data at offset {offset} cannot be read whole")
            return result
        if count <= _CHUNK:
            segment = self._segment(count)
            if _get_segment(h, segment, offset) != 0:
                raise VantoError(f"the data at offset {offset} cannot be read")
            return _string_at(_seg_data(segment), min(_seg_length(segment), count))
        result = _new_bytes(None, count)
        if self._fill(h, offset, _bytes_address(result), count) != count:
            raise VantoError(f"the data at offset {offset} cannot be read whole")
        return result

    def _fill(self, h: int, offset: int, address: int, count: int) -> int:
        if _read_into is not None:
            done = _read_into(h, offset, address, count)
            if done < 0:
                raise VantoError(f"the data at offset {offset} cannot be read")
            return done
        segment = self._segment(min(count, _CHUNK))
        done = 0
        while done < count:
            if _get_segment(h, segment, offset + done) != 0:
                raise VantoError(f"the data at offset {offset + done} cannot be read")
            got = min(_seg_length(segment), count - done)
            if got <= 0:
                break
            _memmove(address + done, _seg_data(segment), got)
            done += got
        return done

    def readinto(self, offset: int, buffer: Any) -> int:
        """Fills a writable buffer with the data from `offset`; returns the bytes filled
        (fewer at the end of the data, 0 at the end itself)."""
        h = self._live()
        size = _size(h)
        if not 0 <= offset <= size:
            raise IndexError(f"offset {offset} outside the data (0 to {size})")
        address, count, anchor = _writable(buffer)
        count = min(count, size - offset)
        if count <= 0:
            return 0
        done = self._fill(h, offset, address, count)
        del anchor
        return done

    def iter_chunks(self, size: int = _CHUNK, start: int = 0,
                    end: Optional[int] = None) -> Iterator[bytes]:
        """Yields the data of [start, end) in chunks of `size` bytes (the last may be shorter).

        Each chunk is read when it is asked for, from the data as it is then.
        """
        if size < 1:
            raise ValueError("chunk size must be at least 1")
        h = self._live()
        first, last = _range(start, end, _size(h))
        return self._chunks(size, first, last)

    def _chunks(self, size: int, first: int, last: int) -> Iterator[bytes]:
        segment = _seg_create(min(size, max(last - first, 1)))
        if not segment:
            raise MemoryError(f"a read buffer of {size} bytes")
        try:
            offset = first
            while offset < last:
                h = self._live()
                if _get_segment(h, segment, offset) != 0:
                    raise VantoError(f"the data at offset {offset} cannot be read")
                got = min(_seg_length(segment), last - offset)
                if got <= 0:
                    return
                yield _string_at(_seg_data(segment), got)
                offset += got
        finally:
            _seg_destroy(segment)

    def __iter__(self) -> Iterator[int]:
        for chunk in self.iter_chunks(64 << 10):
            yield from chunk

    def __bytes__(self) -> bytes:
        return self[:]

    def __contains__(self, pattern: Any) -> bool:
        if isinstance(pattern, int):
            pattern = bytes((pattern,))
        return self.find(pattern) >= 0

    # -- edits --------------------------------------------------------------

    def _edit_result(self, result: int, offset: int) -> int:
        """The serial of an edit, or the exception that tells why there is none."""
        if result > 0:
            self._raise_pending()
            return result
        h = self._live()
        _lib.raise_log_error()
        self._raise_pending()
        if result < 0:
            raise VantoError("the model update failed (nothing recorded)")
        if _paused(h):
            raise ChangesPaused("changes are paused")
        size = _size(h)
        if not 0 <= offset <= size:
            raise IndexError(f"offset {offset} outside the data (0 to {size})")
        raise VantoError("the edit was refused (from an event of an unfinished operation)")

    def insert(self, offset: int, data: BytesLike) -> int:
        """Inserts `data` at `offset` (0 to len(s)); returns the change's serial
        (0 when data is empty: nothing is recorded)."""
        return self._bytes_edit(_insert, offset, data)

    def overwrite(self, offset: int, data: BytesLike) -> int:
        """Overwrites len(data) bytes at `offset` (running past the end extends the data);
        returns the serial (0 for empty data)."""
        return self._bytes_edit(_overwrite, offset, data)

    def _bytes_edit(self, function: Any, offset: int, data: BytesLike) -> int:
        # The road of insert and overwrite: one C call, then the result read.
        if type(data) is bytes:
            buffer, count, anchor = data, len(data), None
        else:
            buffer, count, anchor = _view(data)
        if count == 0:
            self._check_offset(offset)
            return 0
        if not 0 <= offset < _OFFSET_LIMIT:
            raise _argument_error(offset)
        try:
            result = function(self._h, offset, buffer, count)
        except _ArgumentError:
            raise _argument_error(offset) from None
        del anchor
        if result > 0 and self._pending is None:
            return result
        return self._edit_result(result, offset)

    def insert_file(self, offset: int, path: PathLike, file_offset: int = 0, length: int = -1) -> int:
        """Inserts `length` bytes of the file at `path` from `file_offset` on (-1: to its end)
        at `offset`, without loading them: the session keeps the file open and reads it
        when the data is read.  Returns the serial (0 for an empty range)."""
        return self._file_edit("vanto_edit_insert_file", offset, path, file_offset, length)

    def overwrite_file(self, offset: int, path: PathLike, file_offset: int = 0, length: int = -1) -> int:
        """As :meth:`insert_file`, overwriting the bytes at `offset` instead."""
        return self._file_edit("vanto_edit_overwrite_file", offset, path, file_offset, length)

    def _file_edit(self, name: str, offset: int, path: PathLike, file_offset: int, length: int) -> int:
        function = _lib.require(name)
        h = self._live()
        self._check_offset(offset)
        encoded = os.fsencode(path)
        try:
            info = os.stat(encoded)
        except OSError as error:
            raise FileNotFoundError(error.errno, error.strerror, os.fsdecode(encoded)) from None
        if not stat.S_ISREG(info.st_mode):
            raise ValueError(f"{os.fsdecode(encoded)!r} is not a regular file")
        if file_offset < 0 or file_offset > info.st_size:
            raise IndexError(f"file offset {file_offset} outside the file (0 to {info.st_size})")
        if length >= 0 and file_offset + length > info.st_size:
            raise IndexError(f"range {file_offset}+{length} reaches past the end of the file "
                             f"({info.st_size} bytes)")
        if length == 0 or (length < 0 and file_offset == info.st_size):
            return 0
        if not os.access(encoded, os.R_OK):
            raise PermissionError(errno.EACCES, "cannot read", os.fsdecode(encoded))
        return self._edit_result(function(h, offset, encoded, file_offset, length), offset)

    def delete(self, offset: int, length: int) -> int:
        """Deletes `length` bytes at `offset` (clamped to the end of the data); returns the
        serial (0 for a length of 0)."""
        if length <= 0:
            if length < 0:
                raise ValueError(f"negative length {length}")
            self._check_offset(offset)
            return 0
        if not 0 <= offset < _OFFSET_LIMIT or length >= _OFFSET_LIMIT:
            raise _argument_error(offset)
        try:
            result = _delete(self._h, offset, length)
        except _ArgumentError:
            raise _argument_error(offset) from None
        if result > 0 and self._pending is None:
            return result
        if result == 0 and self._h is not None and offset == _size(self._h):
            raise IndexError(f"offset {offset} is the end of the data: nothing to delete")
        return self._edit_result(result, offset)

    def _check_offset(self, offset: int) -> None:
        size = _size(self._live())
        if not 0 <= operator.index(offset) <= size:
            raise IndexError(f"offset {offset} outside the data (0 to {size})")

    def __setitem__(self, key: Union[int, slice], data: Any) -> None:
        h = self._live()
        size = _size(h)
        if type(key) is not slice:
            index = operator.index(key)
            if index < 0:
                index += size
            if not 0 <= index < size:
                raise IndexError("session index out of range")
            if not isinstance(data, int) or not 0 <= data <= 255:
                raise ValueError("a byte must be an int from 0 to 255")
            self.overwrite(index, bytes((data,)))
            return
        start, stop, step = key.indices(size)
        if step != 1:
            raise ValueError("session slices take no step other than 1")
        stop = max(start, stop)
        buffer, count, anchor = _view(data)
        if isinstance(buffer, bytes):
            view = memoryview(buffer)
        else:
            view = memoryview(data)
            if view.ndim != 1 or view.format != "B":
                view = view.cast("B")
        old = stop - start
        common = min(old, count)
        with self.transaction():
            if common:
                self.overwrite(start, view[:common])
            if old > common:
                self.delete(start + common, old - common)
            elif count > common:
                self.insert(start + common, view[common:])

    def __delitem__(self, key: Union[int, slice]) -> None:
        h = self._live()
        size = _size(h)
        if type(key) is slice:
            start, stop, step = key.indices(size)
            if step != 1:
                raise ValueError("session slices take no step other than 1")
            if stop > start:
                self.delete(start, stop - start)
            return
        index = operator.index(key)
        if index < 0:
            index += size
        if not 0 <= index < size:
            raise IndexError("session index out of range")
        self.delete(index, 1)

    # -- history ------------------------------------------------------------

    def undo(self) -> int:
        """Undoes the newest change transaction; returns the serial of the oldest change it
        undid, 0 when there is nothing to undo."""
        h = self._live()
        undone_before = _lib.vanto_session_get_num_undone_changes(h)
        result = _lib.vanto_edit_undo_last_change(h)
        self._raise_pending()
        # -1 is both a failure and the negated serial 1: the undone list tells them apart.
        if result < 0 and (result != -1 or _lib.vanto_session_get_num_undone_changes(h) > undone_before):
            return -result
        return self._history_refusal(h, result, "undo")

    def redo(self) -> int:
        """Redoes the most recently undone transaction; returns the serial of its last change,
        0 when there is nothing to redo."""
        h = self._live()
        result = _lib.vanto_edit_redo_last_undo(h)
        self._raise_pending()
        if result > 0:
            return result
        return self._history_refusal(h, result, "redo")

    def _history_refusal(self, h: int, result: int, what: str) -> int:
        if result < 0:
            raise VantoError(f"{what} failed: the backing file cannot be measured or a change "
                             "no longer applies (the history is kept)")
        if _paused(h):
            raise ChangesPaused("changes are paused")
        if self._in_callback:
            raise VantoError(f"{what} is refused inside an event callback")
        return 0

    @property
    def changes(self) -> "Changes":
        """The applied changes (all checkpoint levels), oldest first, as a sequence."""
        self._live()
        return Changes(self)

    @property
    def undone_count(self) -> int:
        """Number of undone changes at the current checkpoint level (what redo can bring back)."""
        return _lib.vanto_session_get_num_undone_changes(self._live())

    def clear_changes(self) -> None:
        """Drops every change and checkpoint: the data is the session's file again."""
        h = self._live()
        result = _lib.vanto_edit_clear_changes(h)
        self._raise_pending()
        if result != 0:
            raise VantoError("clear refused: the file cannot be measured, or called from an "
                             "event of an unfinished operation")

    @contextlib.contextmanager
    def transaction(self) -> Iterator[None]:
        """Groups the changes of the block into one transaction, undone and redone as one.

        A block that raises is rolled back: its changes are undone as one (redo
        brings them back) unless changes are paused by then.  Inside an open
        transaction the block joins it.
        """
        h = self._live()
        if _tstate(h) != 0:
            yield
            return
        if _lib.vanto_session_begin_transaction(h) != 0:
            raise VantoError("a transaction cannot be opened")
        try:
            yield
        except BaseException:
            h = self._h
            if h is not None:
                had_changes = _tstate(h) == 2
                _lib.vanto_session_end_transaction(h)
                if had_changes and not _paused(h):
                    _lib.vanto_edit_undo_last_change(h)
            raise
        else:
            if self._h is not None:
                _lib.vanto_session_end_transaction(self._h)

    @property
    def changes_paused(self) -> bool:
        return bool(_paused(self._live()))

    @contextlib.contextmanager
    def paused(self) -> Iterator[None]:
        """Pauses changes for the block: edits, undo, redo and transforms raise ChangesPaused."""
        h = self._live()
        if _paused(h):
            yield
            return
        _lib.vanto_session_pause_changes(h)
        try:
            self._raise_pending()
            yield
        finally:
            if self._h is not None:
                _lib.vanto_session_resume_changes(self._h)
        self._raise_pending()

    @contextlib.contextmanager
    def viewport_events_paused(self, notify: bool = True) -> Iterator[None]:
        """Holds back viewport events for the block; afterwards (with `notify`) every viewport
        that changed meanwhile receives one CHANGES event."""
        h = self._live()
        if _lib.vanto_session_viewport_event_callbacks_paused(h):
            yield
            return
        _lib.vanto_session_pause_viewport_event_callbacks(h)
        try:
            yield
        finally:
            if self._h is not None:
                _lib.vanto_session_resume_viewport_event_callbacks(self._h)
                if notify:
                    _lib.vanto_session_notify_changed_viewports(self._h)
        self._raise_pending()

    # -- search -------------------------------------------------------------

    def _pattern(self, pattern: PatternLike, mask: Optional[BytesLike]) -> Tuple[bytes, Optional[bytes]]:
        if isinstance(pattern, Pattern):
            data, pattern_mask = pattern.bytes, pattern.mask
            if mask is None:
                mask = pattern_mask
        else:
            buffer, _, _ = _view(pattern)
            data = buffer if isinstance(buffer, bytes) else memoryview(pattern).tobytes()
        if not data:
            raise ValueError("empty pattern")
        if len(data) >= _PATTERN_LIMIT:
            raise ValueError(f"pattern of {len(data)} bytes (the limit is {_PATTERN_LIMIT - 1})")
        if mask is not None:
            mask = bytes(mask)
            if len(mask) != len(data):
                raise ValueError(f"mask of {len(mask)} bytes for a pattern of {len(data)}")
            if all(b == 0xFF for b in mask):
                mask = None
        return data, mask

    def _context(self, h: int, data: bytes, mask: Optional[bytes], offset: int, length: int,
                 ignore_case: bool) -> int:
        if mask is None:
            context = _ctx_create(h, data, len(data), offset, length, 1 if ignore_case else 0)
        else:
            masked = _lib.require("vanto_search_create_context_masked")
            context = masked(h, data, mask, len(data), offset, length, 1 if ignore_case else 0)
        if not context:
            raise VantoError("a search context cannot be created")
        return context

    def find(self, pattern: PatternLike, start: Optional[int] = 0, end: Optional[int] = None, *,
             ignore_case: bool = False, mask: Optional[BytesLike] = None) -> int:
        """Offset of the first occurrence of `pattern` lying whole in [start, end), or -1.

        `pattern` is bytes-like or a :class:`Pattern` (with its mask);
        `ignore_case` folds 'A'-'Z' onto 'a'-'z'; `mask` (as long as the
        pattern) compares only the bits it has set.
        """
        for offset in self.finditer(pattern, start, end, ignore_case=ignore_case, mask=mask):
            return offset
        return -1

    def finditer(self, pattern: PatternLike, start: Optional[int] = 0, end: Optional[int] = None, *,
                 ignore_case: bool = False, mask: Optional[BytesLike] = None,
                 overlapping: bool = False) -> Iterator[int]:
        """Yields the offsets of the occurrences in [start, end), left to right.

        Without `overlapping` an occurrence starts after the previous one
        ends.  The data is read as it is at each step.
        """
        h = self._live()
        data, mask = self._pattern(pattern, mask)
        first, last = _range(start, end, _size(h))
        return self._matches(data, mask, first, last, ignore_case, 1 if overlapping else len(data))

    def _matches(self, data: bytes, mask: Optional[bytes], first: int, last: int, ignore_case: bool,
                 advance: int) -> Iterator[int]:
        length = len(data)
        position = first
        # Stretch by stretch, so that the search returns to Python (and sees
        # Ctrl-C) at least every _SEARCH_SPAN bytes.
        while last - position >= length:
            stretch_end = min(last, position + _SEARCH_SPAN + length - 1)
            context = self._context(self._live(), data, mask, position, stretch_end - position,
                                    ignore_case)
            previous = -1
            try:
                while _ctx_next(context, advance):
                    previous = _ctx_offset(context)
                    yield previous
                    if self._h is None:
                        raise SessionClosed()
            finally:
                if self._h is not None:
                    _ctx_destroy(context)
            position = max(position + _SEARCH_SPAN, previous + advance if previous >= 0 else 0)

    def rfind(self, pattern: PatternLike, start: Optional[int] = 0, end: Optional[int] = None, *,
              ignore_case: bool = False, mask: Optional[BytesLike] = None) -> int:
        """Offset of the last occurrence lying whole in [start, end), or -1."""
        previous_match = _lib.require("vanto_search_prev_match")
        h = self._live()
        data, mask = self._pattern(pattern, mask)
        first, last = _range(start, end, _size(h))
        if last - first < len(data):
            return -1
        context = self._context(h, data, mask, first, last - first, ignore_case)
        try:
            with _LongCall(self, None) as call:
                found = previous_match(context, 1)
                offset = _ctx_offset(context)
        finally:
            if self._h is not None:
                _ctx_destroy(context)
        call.check()
        return offset if found == 1 else -1

    def count(self, pattern: PatternLike, start: Optional[int] = 0, end: Optional[int] = None, *,
              ignore_case: bool = False, mask: Optional[BytesLike] = None,
              overlapping: bool = False) -> int:
        """Number of occurrences in [start, end) (non-overlapping unless `overlapping`)."""
        h = self._live()
        data, mask = self._pattern(pattern, mask)
        first, last = _range(start, end, _size(h))
        advance = 1 if overlapping else len(data)
        counter = _lib.optional.get("vanto_search_count_matches")
        if counter is None:
            return sum(1 for _ in self._matches(data, mask, first, last, ignore_case, advance))
        if last - first < len(data):
            return 0
        context = self._context(h, data, mask, first, last - first, ignore_case)
        try:
            with _LongCall(self, None) as call:
                result = counter(context, advance)
        finally:
            if self._h is not None:
                _ctx_destroy(context)
        call.check()
        if result == -2:
            raise Cancelled("count cancelled")
        if result < 0:
            raise VantoError("count refused")
        return result

    def replace_all(self, pattern: PatternLike, replacement: BytesLike, start: Optional[int] = 0,
                    end: Optional[int] = None, *, ignore_case: bool = False, count: int = -1,
                    progress: Optional[ProgressCallback] = None) -> int:
        """Replaces the non-overlapping occurrences in [start, end), left to right, in one
        transaction (at most `count` when it is not negative); returns how many were replaced."""
        h = self._live()
        if isinstance(pattern, Pattern) and pattern.mask is not None:
            raise ValueError("replace_all takes no wildcards")
        data, _ = self._pattern(pattern, None)
        new, new_count, anchor = _view(replacement)
        first, last = _range(start, end, _size(h))
        if count == 0 or last - first < len(data):
            return 0
        if _paused(h):
            raise ChangesPaused("changes are paused")
        replaced = ctypes.c_int64(0)
        flags = _REPLACE_FLAG_IGNORE_CASE if ignore_case else 0
        with _LongCall(self, progress) as call:
            result = _lib.vanto_edit_replace_all(h, data, len(data), new if new_count else None,
                                                 new_count, flags, first, last - first,
                                                 count if count > 0 else -1, ctypes.byref(replaced))
        del anchor
        call.check()
        if result == -2 or call.cancelled:
            raise Cancelled("replace cancelled (nothing recorded)")
        if result < 0:
            raise VantoError("replace failed: the data cannot be read, or changed under the call")
        if result == 0 and replaced.value == 0 and self._in_callback:
            raise VantoError("replace refused inside an event callback")
        return replaced.value

    # -- inspection ---------------------------------------------------------

    def profile(self, start: Optional[int] = 0, end: Optional[int] = None, *,
                progress: Optional[ProgressCallback] = None) -> List[int]:
        """The count of each byte value (a list of 256) in [start, end)."""
        h = self._live()
        first, last = _range(start, end, _size(h))
        if last == first:
            return [0] * 256
        counts = (ctypes.c_int64 * 256)()
        with _LongCall(self, progress) as call:
            result = _lib.vanto_session_profile(h, counts, first, last - first)
        call.check()
        if call.cancelled:
            raise Cancelled("profile cancelled")
        if result != 0:
            raise VantoError("the data cannot be read")
        return list(counts)

    @property
    def backing_file_changed(self) -> FileChange:
        """How the session's own file changed on disk since it was opened (falsy when it did not)."""
        changes = _lib.require("vanto_session_get_backing_file_changes")
        return FileChange(changes(self._live()))

    # -- viewports ----------------------------------------------------------

    def viewport(self, offset: int, capacity: int, floating: bool = False,
                 on_event: Optional[Callable[["Viewport", ViewportEvent, Optional[Change]], Any]] = None,
                 events: int = ViewportEvent.ALL) -> "Viewport":
        """A window of `capacity` bytes (1 to 1 MiB) onto the data at `offset`.

        A floating viewport moves with its content when bytes are inserted or
        deleted before it.  ``on_event(viewport, event, change)`` receives its
        events (`change` for EDIT and UNDO, else None).
        """
        return Viewport(self, offset, capacity, floating, on_event, events)

    @property
    def viewports(self) -> int:
        return _lib.vanto_session_get_num_viewports(self._live())

    # -- persistence --------------------------------------------------------

    def save(self, path: PathLike, overwrite: bool = False, *, refuse_if_changed: bool = False,
             progress: Optional[ProgressCallback] = None) -> Optional[str]:
        """Saves the edited data to `path` (a complete new file renamed into place).

        Without `overwrite` an existing file is left alone and the data is
        saved under the first free name "<stem>-N<ext>" beside it.  Saving
        over the session's own file re-bases the session on it (history and
        checkpoints are dropped).  With `refuse_if_changed` the save fails
        (SAVE_ERROR_FILE_CHANGED) when the session's file changed on disk.
        ``progress(done, total)`` is called every few MiB; returning False
        cancels.  Returns the saved file's canonical path (None when it does
        not fit the library's path buffer).  Raises :class:`SaveError`.
        """
        h = self._live()
        flags = _SAVE_FLAG_OVERWRITE if overwrite else 0
        if refuse_if_changed:
            _lib.require("vanto_session_get_backing_file_changes")
            flags |= _SAVE_FLAG_REFUSE_IF_CHANGED
        target = os.fsencode(path)
        saved = ctypes.create_string_buffer(_PATH_BUFFER_SIZE)
        with _LongCall(self, progress) as call:
            result = _lib.vanto_edit_save(h, target, flags, saved)
        call.check()  # a callback's exception (or Ctrl-C) comes before the save's own result
        if result != 0:
            raise save_error(result, os.fsdecode(target))
        return os.fsdecode(saved.value) or None

    def _directory(self, directory: Optional[PathLike]) -> bytes:
        if directory is not None:
            return os.fsencode(directory)
        if self._path is not None:
            return os.fsencode(os.path.dirname(os.path.abspath(self._path)))
        return os.fsencode(tempfile.gettempdir())

    def checkpoint(self, directory: Optional[PathLike] = None, *,
                   progress: Optional[ProgressCallback] = None) -> None:
        """Freezes the data in a checkpoint file in `directory` (default: beside the session's
        file, or the temporary directory); :meth:`rollback` returns to this state."""
        h = self._live()
        with _LongCall(self, progress) as call:
            result = _lib.vanto_edit_create_checkpoint(h, self._directory(directory))
        call.check()
        if call.cancelled:
            raise Cancelled("checkpoint cancelled (nothing changed)")
        if result != 0:
            raise VantoError("the checkpoint cannot be made (nothing changed)")

    def rollback(self) -> None:
        """Drops the newest checkpoint and the changes made since."""
        h = self._live()
        if _lib.vanto_session_get_num_checkpoints(h) == 0:
            raise VantoError("no checkpoint to roll back to")
        result = _lib.vanto_edit_destroy_last_checkpoint(h)
        self._raise_pending()
        if result != 0:
            raise VantoError("rollback refused (from an event of an unfinished operation)")

    @property
    def checkpoints(self) -> int:
        return _lib.vanto_session_get_num_checkpoints(self._live())

    def transform(self, func_or_table: Union[Callable[[int], int], BytesLike], offset: int = 0,
                  length: Optional[int] = None, *, directory: Optional[PathLike] = None,
                  progress: Optional[ProgressCallback] = None) -> None:
        """Replaces each byte b of [offset, offset + length) by table[b] or func(b).

        The transform goes through a checkpoint of its own (in `directory`, as
        for :meth:`checkpoint`), so :meth:`rollback` takes it back.  A table
        (256 bytes) is looked up by the library itself, at the speed of the
        rewrite; a function is called once per byte, so large ranges take
        their time.  On any failure nothing is changed.
        """
        h = self._live()
        size = _size(h)
        if length is None:
            length = size - offset
        if length < 0:
            raise ValueError(f"negative length {length}")
        if not 0 <= offset <= size or offset + length > size:
            raise IndexError(f"range {offset}+{length} outside the data (0 to {size})")
        if length == 0:
            return
        if _paused(h):
            raise ChangesPaused("changes are paused")
        call = _LongCall(self, progress)
        if callable(func_or_table):
            function = func_or_table

            def byte(value: int, user_data: Any) -> int:
                if call.error is not None:
                    return value
                try:
                    result = function(value)
                    if not 0 <= result <= 255:
                        raise ValueError(f"transform of {value} gave {result!r}, not a byte")
                    return result
                except BaseException as error:
                    call.error = error
                    return value
        else:
            table = bytes(memoryview(func_or_table).cast("B"))
            if len(table) != 256:
                raise ValueError(f"a translation table has 256 bytes, not {len(table)}")

            def byte(value: int, user_data: Any, table: bytes = table) -> int:
                return table[value]
        translate = _lib.optional["vanto_util_translate_byte"]
        if translate is not None and not callable(func_or_table):
            # The library's own table lookup: no Python call per byte.
            callback = None
            function_address = ctypes.cast(translate, ctypes.c_void_p).value
            table_buffer = ctypes.create_string_buffer(table, 256)
            user_data = ctypes.addressof(table_buffer)
        else:
            callback = _lib.BYTE_TRANSFORM(byte)
            function_address = _lib.address(callback)
            table_buffer = None
            user_data = None
        before = _lib.vanto_session_get_num_checkpoints(h)
        with call:
            result = _lib.vanto_edit_apply_transform(h, function_address, user_data, offset, length,
                                                     self._directory(directory))
        del table_buffer
        if result != 0 and self._h is not None and \
                _lib.vanto_session_get_num_checkpoints(self._h) > before:
            # A failed rewrite leaves the untransformed checkpoint behind: take it back.
            _lib.vanto_edit_destroy_last_checkpoint(self._h)
        del callback
        call.check()
        if call.cancelled:
            raise Cancelled("transform cancelled (nothing changed)")
        if result != 0:
            raise VantoError("the transform failed (nothing changed)")


def _argument_error(offset: Any) -> BaseException:
    if isinstance(offset, int):
        if offset < 0:
            return IndexError(f"negative offset {offset}")
        return IndexError(f"offset {offset} outside the data")
    return TypeError(f"offsets are ints, not {type(offset).__name__}")


class Changes(Sequence[Change]):
    """The applied changes of a session, oldest first; items are :class:`Change` snapshots."""

    def __init__(self, session: Session) -> None:
        self._session = session

    def __len__(self) -> int:
        return _lib.vanto_session_get_num_changes(self._session._live())

    @overload
    def __getitem__(self, index: int) -> Change: ...

    @overload
    def __getitem__(self, index: slice) -> List[Change]: ...

    def __getitem__(self, index: Union[int, slice]) -> Union[Change, List[Change]]:
        count = len(self)
        if isinstance(index, slice):
            return [self[i] for i in range(*index.indices(count))]
        index = operator.index(index)
        if index < 0:
            index += count
        if not 0 <= index < count:
            raise IndexError("change index out of range")
        pointer = _lib.vanto_session_get_change(self._session._live(), index + 1)
        if not pointer:
            raise IndexError(f"no change with serial {index + 1}")
        return _change(pointer)

    def __repr__(self) -> str:
        return f"<vanto_edit.Changes of {len(self)}>"


# ---- viewports ---------------------------------------------------------------

class _ViewportBox:
    __slots__ = ("ptr", "token")

    def __init__(self, token: int) -> None:
        self.ptr: Optional[int] = None
        self.token = token


def _release_viewport(session_handle: _Handle, box: _ViewportBox) -> None:
    pointer, box.ptr = box.ptr, None
    _viewports.pop(box.token, None)
    if pointer and session_handle.ptr:
        _lib.vanto_edit_destroy_viewport(pointer)


class Viewport:
    """A window of up to 1 MiB onto a session's data, refilled when it is read after a change."""

    def __init__(self, session: Session, offset: int, capacity: int, floating: bool,
                 on_event: Optional[Callable[..., Any]], events: int) -> None:
        h = session._live()
        if not 1 <= capacity <= _CAPACITY_LIMIT:
            raise ValueError(f"capacity {capacity} outside 1 to {_CAPACITY_LIMIT}")
        if not 0 <= offset < _OFFSET_LIMIT:
            raise IndexError(f"offset {offset} outside 0 to 2**63 - 1")
        token = next(_tokens)
        self._session = session
        self._on_event = on_event
        self._box = _ViewportBox(token)
        self._h: Optional[int] = None
        _viewports[token] = weakref.ref(self)
        callback = _VIEWPORT_EVENT_ADDRESS if on_event is not None else None
        pointer = _lib.vanto_edit_create_viewport(h, offset, capacity, 1 if floating else 0, callback,
                                                  token, int(events) if on_event else 0)
        if not pointer:
            _viewports.pop(token, None)
            session._raise_pending()
            raise VantoError("the viewport cannot be created (destroyed by an event callback?)")
        self._h = pointer
        self._box.ptr = pointer
        session._viewport_refs[pointer] = weakref.ref(self)
        self._finalizer = weakref.finalize(self, _release_viewport, session._handle, self._box)
        session._raise_pending()

    def _detach(self) -> None:
        # The session is going and takes the viewport with it.
        self._h = None
        self._box.ptr = None
        self._finalizer.detach()
        _viewports.pop(self._box.token, None)

    def _live(self) -> int:
        h = self._h
        if h is None:
            raise SessionClosed("viewport")
        return h

    def close(self) -> None:
        """Destroys the viewport; idempotent."""
        pointer = self._h
        if pointer is None:
            return
        self._h = None
        self._finalizer()  # its DESTROY_VIEWPORT event still finds the viewport
        self._session._viewport_refs.pop(pointer, None)
        self._session._raise_pending()

    @property
    def closed(self) -> bool:
        return self._h is None

    def __enter__(self) -> "Viewport":
        self._live()
        return self

    def __exit__(self, *exc: Any) -> None:
        self.close()

    @property
    def session(self) -> Session:
        return self._session

    @property
    def data(self) -> bytes:
        """The bytes the viewport shows (re-read from the session after a change)."""
        h = self._live()
        pointer = _lib.vanto_viewport_get_data(h)
        self._session._raise_pending()
        if not pointer:
            return b""
        return _string_at(pointer, _lib.vanto_viewport_get_length(h))

    @property
    def offset(self) -> int:
        return _lib.vanto_viewport_get_offset(self._live())

    @property
    def length(self) -> int:
        return _lib.vanto_viewport_get_length(self._live())

    @property
    def capacity(self) -> int:
        return _lib.vanto_viewport_get_capacity(self._live())

    @property
    def floating(self) -> bool:
        return bool(_lib.vanto_viewport_is_floating(self._live()))

    @property
    def has_changes(self) -> bool:
        return bool(_lib.vanto_viewport_has_changes(self._live()))

    @property
    def following(self) -> int:
        """Bytes of data after the viewport's end."""
        return _lib.vanto_viewport_get_following_byte_count(self._live())

    def modify(self, offset: Optional[int] = None, capacity: Optional[int] = None,
               floating: Optional[bool] = None) -> None:
        """Moves, resizes or changes the kind of the viewport (unset arguments stay)."""
        h = self._live()
        offset = self.offset if offset is None else offset
        capacity = self.capacity if capacity is None else capacity
        floating = self.floating if floating is None else floating
        if not 1 <= capacity <= _CAPACITY_LIMIT:
            raise ValueError(f"capacity {capacity} outside 1 to {_CAPACITY_LIMIT}")
        if not 0 <= offset < _OFFSET_LIMIT:
            raise IndexError(f"offset {offset} outside 0 to 2**63 - 1")
        result = _lib.vanto_viewport_modify(h, offset, capacity, 1 if floating else 0)
        self._session._raise_pending()
        if result != 0:
            raise VantoError("the viewport cannot be modified")

    def __repr__(self) -> str:
        if self._h is None:
            return "<vanto_edit.Viewport closed>"
        return f"<vanto_edit.Viewport offset={self.offset} length={self.length}>"
