"""The library's log lines, delivered to Python."""
from __future__ import annotations

import logging
import threading
from typing import Callable, NamedTuple, Optional, Union

from . import _lib

__all__ = ["LogMessage", "set_log_handler"]


class LogMessage(NamedTuple):
    """One log line of the library: its level, where it was written, and its text."""

    level: int
    source_file: str
    source_line: int
    function: str
    message: str


LogHandler = Union[Callable[[LogMessage], object], logging.Logger]

# The C callback and the Python handler it calls; kept here as long as the
# library may call them.
_current: Optional[Callable[[LogMessage], object]] = None
_callback = None


def _text(value: Optional[bytes]) -> str:
    return value.decode("utf-8", "replace") if value else ""


def _deliver(level: int, source_file: Optional[bytes], source_line: int, function: Optional[bytes],
             message: Optional[bytes], user_data: Optional[int]) -> None:
    handler = _current
    if handler is None:
        return
    try:
        handler(LogMessage(level, _text(source_file), source_line, _text(function), _text(message)))
    except BaseException as error:  # raised by the next call of this thread that checks
        _lib._log_errors.append((threading.get_ident(), error))


# The library's levels (LOG_LEVEL_ERROR, LOG_LEVEL_WARNING, LOG_LEVEL_INFO).
_LEVELS = {1: logging.ERROR, 2: logging.WARNING, 3: logging.INFO}


def python_level(level: int) -> int:
    """The logging level of a library level: 1 (error) ERROR, 2 (warning) WARNING, 3 (info)
    INFO.  A level the library does not define maps by its place on that scale: below 1
    (more severe than an error) CRITICAL, above 3 DEBUG."""
    if level in _LEVELS:
        return _LEVELS[level]
    return logging.CRITICAL if level < 1 else logging.DEBUG


def _to_logger(logger: logging.Logger) -> Callable[[LogMessage], object]:
    def emit(line: LogMessage) -> None:
        level = python_level(line.level)
        if logger.isEnabledFor(level):
            logger.handle(logger.makeRecord(logger.name, level, line.source_file, line.source_line,
                                            line.message, (), None, func=line.function))
    return emit


def set_log_handler(handler: Union[LogHandler, str, None] = "vanto_edit") -> None:
    """Sends the library's log lines to `handler` instead of standard error.

    `handler` is a :class:`logging.Logger` or a logger's name (the default:
    the logger "vanto_edit"), and each line becomes a record at its level
    (ERROR, WARNING or INFO; see python_level) with the library's source
    file, line and function; or a callable taking a
    :class:`LogMessage`; None restores the library's own output.  The setting
    is process-wide.  An exception raised by a callable is raised by the
    next library call of the same thread that checks for it.
    """
    global _current, _callback
    install = _lib.require("vanto_util_set_log_cbk")
    if handler is None:
        install(None, None)
        _current = None
        return
    if isinstance(handler, str):
        handler = logging.getLogger(handler)
    target = _to_logger(handler) if isinstance(handler, logging.Logger) else handler
    if not callable(target):
        raise TypeError("set_log_handler() takes a logging.Logger, a callable or None")
    if _callback is None:
        _callback = _lib.LOG_CBK(_deliver)
    _current = target
    install(_lib.address(_callback), None)
