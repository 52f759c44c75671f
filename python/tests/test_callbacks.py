"""Callbacks into Python: session and viewport events, progress, Ctrl-C, the log handler, and
callbacks that raise (the exception comes out of the call, the session stays consistent)."""
from __future__ import annotations

import logging
import os
import signal
import threading

import pytest

import vanto_edit
from vanto_edit import (Cancelled, SaveCancelled, Session, SessionEvent, VantoError, ViewportEvent)
from conftest import has_symbol, needs

DATA = bytes(range(256)) * 16


def test_session_events_and_payloads(make_file, tmp_path):
    seen = []
    s = Session(make_file(DATA), on_event=lambda event, payload: seen.append((event, payload)))
    assert seen == [(SessionEvent.CREATE, None)]
    s.insert(3, b"abc")
    event, change = seen[-1]
    assert event is SessionEvent.EDIT and (change.serial, change.offset, change.bytes) == (1, 3, b"abc")
    s.undo()
    assert seen[-1][0] is SessionEvent.UNDO and seen[-1][1].serial == -1
    with s.paused():
        pass
    assert [e for e, _ in seen[-2:]] == [SessionEvent.CHANGES_PAUSED, SessionEvent.CHANGES_RESUMED]
    viewport = s.viewport(0, 4)
    assert seen[-1] == (SessionEvent.CREATE_VIEWPORT, viewport)
    viewport.close()
    assert seen[-1] == (SessionEvent.DESTROY_VIEWPORT, viewport)
    saved = s.save(tmp_path / "out")
    assert seen[-1] == (SessionEvent.SAVE, saved)
    s.checkpoint(tmp_path)
    assert [e for e, _ in seen[-2:]] == [SessionEvent.SAVE, SessionEvent.CREATE_CHECKPOINT]
    s.close()


def test_event_interest_selects_events(make_file):
    seen = []
    with Session(make_file(DATA), on_event=lambda e, p: seen.append(e), events=SessionEvent.UNDO) as s:
        s.insert(0, b"x")
        s.undo()
    assert seen == [SessionEvent.UNDO]


def test_viewport_events(make_file):
    seen = []
    with Session(make_file(DATA)) as s:
        viewport = s.viewport(100, 10, on_event=lambda v, e, c: seen.append((v, e, c)))
        assert seen[0][1] is ViewportEvent.CREATE
        s.insert(0, b"x")           # before the window: it is marked
        s.insert(2000, b"y")        # far after it: it is not
        assert [(e, c.offset) for _, e, c in seen[1:]] == [(ViewportEvent.EDIT, 0)]
        assert seen[1][0] is viewport and viewport.has_changes
        with s.viewport_events_paused():
            s.overwrite(101, b"z")
            assert len(seen) == 2
        assert seen[-1][1] is ViewportEvent.CHANGES
        viewport.modify(capacity=20)
        assert seen[-1][1] is ViewportEvent.MODIFY


def test_raising_event_callback_surfaces_after_the_edit(make_file):
    calls = []

    def handler(event, payload):
        calls.append(event)
        if event is SessionEvent.EDIT:
            raise RuntimeError("handler failed")

    with Session(make_file(DATA), on_event=handler) as s:
        with pytest.raises(RuntimeError, match="handler failed"):
            s.insert(0, b"abc")
        # The edit was made whole; the session goes on normally.
        assert s[:3] == b"abc" and len(s.changes) == 1
        with pytest.raises(RuntimeError):
            s.overwrite(0, b"A")
        assert s.undo() == 2 and s[:3] == b"abc"
        assert vanto_edit._lib.vanto_check_model(s._h) == 0


def test_raising_viewport_callback_surfaces(make_file):
    with Session(make_file(DATA)) as s:
        def handler(viewport, event, change):
            if event is ViewportEvent.EDIT:
                raise KeyError("viewport handler")
        viewport = s.viewport(0, 8, on_event=handler)
        with pytest.raises(KeyError):
            s.insert(0, b"x")
        assert viewport.data == (b"x" + DATA)[:8]


def test_callbacks_that_call_back_in(make_file):
    # Undo from an edit event is refused by the library: the callback sees the refusal.
    outcomes = []

    def handler(event, payload):
        if event is SessionEvent.EDIT:
            try:
                session.undo()
            except VantoError as error:
                outcomes.append(error)
            outcomes.append(session[:3])  # reading is allowed

    session = Session(make_file(DATA), on_event=handler)
    session.insert(0, b"abc")
    assert isinstance(outcomes[0], VantoError) and outcomes[1] == b"abc"
    assert session[:3] == b"abc" and len(session.changes) == 1
    session.close()


def test_raising_progress_cancels_and_surfaces(make_file, tmp_path):
    data = bytes(16 << 20)
    with Session(make_file(data)) as s:
        s.insert(0, b"x")

        def progress(done, total):
            raise OSError("progress failed")
        with pytest.raises(OSError, match="progress failed"):
            s.save(tmp_path / "out", progress=progress)
        assert not (tmp_path / "out").exists()
        with pytest.raises(OSError):
            s.checkpoint(tmp_path, progress=progress)
        assert s.checkpoints == 0
        with pytest.raises(OSError):
            s.profile(progress=progress)
        assert s.save(tmp_path / "out") == str(tmp_path / "out")  # nothing stuck


@pytest.mark.skipif(threading.current_thread() is not threading.main_thread(),
                    reason="signals reach the main thread only")
@pytest.mark.parametrize("operation", ["save", "profile", "checkpoint", "transform", "replace"])
def test_ctrl_c_during_a_long_call_cancels_it(make_file, tmp_path, operation):
    data = bytes(range(256)) * (40 << 10)  # 10 MiB: progress reports inside the call
    interrupts = []

    def interrupt(done, total):
        if not interrupts:
            interrupts.append(done)
            os.kill(os.getpid(), signal.SIGINT)  # as a Ctrl-C would
        return True

    with Session(make_file(data)) as s:
        s.insert(0, b"x")
        calls = {
            "save": lambda: s.save(tmp_path / "out", progress=interrupt),
            "profile": lambda: s.profile(progress=interrupt),
            "checkpoint": lambda: s.checkpoint(tmp_path, progress=interrupt),
            "transform": lambda: s.transform(bytes(256), progress=interrupt),
            "replace": lambda: s.replace_all(b"\x00", b"", progress=interrupt),
        }
        with pytest.raises(KeyboardInterrupt):
            calls[operation]()
        assert interrupts
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
        assert not (tmp_path / "out").exists() and s.checkpoints == 0
        assert len(s.changes) == 1 and s[:2] == b"x\x00"
        # A host's own SIGINT handler is called instead of raising.
        received = []
        previous = signal.signal(signal.SIGINT, lambda signum, frame: received.append(signum))
        try:
            interrupts.clear()
            with pytest.raises(KeyboardInterrupt):
                s.profile(progress=interrupt)
            assert received == [signal.SIGINT]
        finally:
            signal.signal(signal.SIGINT, previous)


def test_progress_false_cancels(make_file, tmp_path):
    with Session(make_file(bytes(8 << 20))) as s:
        with pytest.raises(SaveCancelled):
            s.save(tmp_path / "x", progress=lambda d, t: False)
        assert not list(tmp_path.glob(".VantoEdit_*")) and not (tmp_path / "x").exists()
        with pytest.raises(Cancelled):
            s.profile(progress=lambda d, t: d == 0)


def test_sessions_on_threads(make_file):
    errors = []

    def work(index):
        try:
            with Session(make_file(DATA)) as s:
                for i in range(200):
                    s.insert(i, bytes([index]))
                assert s[:200] == bytes([index]) * 200 and s.count(bytes([index])) >= 200
                s.profile()  # a long call off the main thread leaves SIGINT alone
        except BaseException as error:  # reported below
            errors.append(error)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert not errors


@needs("vanto_util_set_log_cbk")
def test_log_handler_callable_logger_and_raising(make_file, tmp_path, caplog):
    lines = []
    directory = tmp_path / "dir"
    directory.mkdir()
    try:
        vanto_edit.set_log_handler(lines.append)
        with Session(make_file(DATA)) as s:
            s.insert(0, b"x")
            with pytest.raises(vanto_edit.SaveError):
                s.save(directory, overwrite=True)  # a directory: the library logs why
            assert lines and all(isinstance(line, vanto_edit.LogMessage) for line in lines)
            assert any(line.function and line.source_file and line.message for line in lines)

            logger = logging.getLogger("vanto_edit.test")
            vanto_edit.set_log_handler(logger)
            with caplog.at_level(logging.DEBUG, logger="vanto_edit.test"):
                with pytest.raises(vanto_edit.SaveError):
                    s.save(directory, overwrite=True)
            assert any(r.name == "vanto_edit.test" and r.funcName for r in caplog.records)

            caplog.clear()
            vanto_edit.set_log_handler()  # the "vanto_edit" logger
            with caplog.at_level(logging.DEBUG, logger="vanto_edit"):
                with pytest.raises(vanto_edit.SaveError):
                    s.save(directory, overwrite=True)
            assert any(r.name == "vanto_edit" for r in caplog.records)

            def failing(line):
                raise LookupError("log handler failed")
            vanto_edit.set_log_handler(failing)
            with pytest.raises(LookupError):
                s.save(directory, overwrite=True)
            assert s[:1] == b"x" and len(s.changes) == 1
    finally:
        vanto_edit.set_log_handler(None)
        for leftover in directory.glob(".VantoEdit_*"):
            leftover.unlink()
        for leftover in tmp_path.glob(".VantoEdit_*"):
            leftover.unlink()


def test_log_handler_without_the_symbol_names_it():
    if has_symbol("vanto_util_set_log_cbk"):
        pytest.skip("the loaded library has a log callback")
    with pytest.raises(NotImplementedError, match="vanto_util_set_log_cbk"):
        vanto_edit.set_log_handler(print)


@needs("vanto_util_set_log_cbk")
def test_library_lines_reach_logging_at_their_level(tmp_path, caplog, capfd):
    from vanto_edit._log import python_level
    # A directory whose name is not UTF-8: the line of the failed save names
    # the temporary file made in it, so its text arrives with U+FFFD.
    folder = tmp_path / os.fsdecode(b"d\xff")
    (folder / "target").mkdir(parents=True)
    path = folder / "data.bin"
    path.write_bytes(DATA)
    checkpoints = tmp_path / "checkpoints"
    checkpoints.mkdir()
    try:
        vanto_edit.set_log_handler("vanto_edit.levels")
        with caplog.at_level(logging.DEBUG, logger="vanto_edit.levels"), Session(path) as s:
            s.insert(0, b"x")
            with pytest.raises(vanto_edit.SaveError):
                s.save(folder / "target", overwrite=True)  # renamed onto a directory: an error
            s.checkpoint(checkpoints)
            for made in checkpoints.iterdir():
                made.unlink()
            s.rollback()  # its file is already gone: a warning, and the rollback goes on
            assert s.checkpoints == 0 and s[:1] == b"x"
            lines = [(r.levelno, r.filename, r.funcName, r.getMessage()) for r in caplog.records]
            assert len(lines) == 2, lines
            assert lines[0][:3] == (logging.ERROR, "edit_persist.cpp", "vanto_edit_save")
            assert "rename failed" in lines[0][3] and "d\ufffd" in lines[0][3]
            assert lines[1][:3] == (logging.WARNING, "internal_fun.cpp", "destroy_last_checkpoint_")
            # Lines at LOG_LEVEL_INFO (3) come only with a broken model.
            assert [python_level(level) for level in (1, 2, 3)] == [logging.ERROR, logging.WARNING, logging.INFO]

            capfd.readouterr()
            vanto_edit.set_log_handler(None)  # the library's own output again
            caplog.clear()
            with pytest.raises(vanto_edit.SaveError):
                s.save(folder / "target", overwrite=True)
            assert not caplog.records
            assert "rename failed" in capfd.readouterr().err
    finally:
        vanto_edit.set_log_handler(None)
        for leftover in folder.glob(".VantoEdit_*"):
            leftover.unlink()
