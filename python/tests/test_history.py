"""History, checkpoints, transforms and saves."""
from __future__ import annotations

import os

import pytest

import vanto_edit
from vanto_edit import (Cancelled, ChangeKind, SaveCancelled, SaveError, Session, VantoError)

DATA = b"The quick brown fox jumps over the lazy dog"


def test_undo_redo_and_the_changes_view(make_file):
    with Session(make_file(DATA)) as s:
        assert s.undo() == 0 and s.redo() == 0
        s.insert(0, b">")      # serial 1: its undo result is -1 in the library, not a failure
        assert s.undo() == 1 and s[:] == DATA and s.undone_count == 1
        assert s.redo() == 1 and s[:] == b">" + DATA
        s.overwrite(1, b"t")
        s.delete(2, 3)
        changes = s.changes
        assert len(changes) == 3
        assert [(c.serial, c.kind, c.offset, c.length, c.bytes) for c in changes] == [
            (1, ChangeKind.INSERT, 0, 1, b">"), (2, ChangeKind.OVERWRITE, 1, 1, b"t"),
            (3, ChangeKind.DELETE, 2, 3, b"")]
        assert changes[-1].serial == 3 and [c.serial for c in changes[1:]] == [2, 3]
        with pytest.raises(IndexError):
            changes[3]
        assert s.undo() == 3 and len(s.changes) == 2
        s.insert(0, b"new")  # drops the redo history
        assert s.redo() == 0 and s.undone_count == 0
        s.clear_changes()
        assert s[:] == DATA and len(s.changes) == 0 and s.undo() == 0


def test_transactions_group_join_and_roll_back(make_file):
    with Session(make_file(DATA)) as s:
        with s.transaction():
            s.insert(0, b"1")
            with s.transaction():  # joins the open one
                s.insert(0, b"2")
            s.delete(5, 1)
        assert s.undo() == 1 and s[:] == DATA
        s.redo()
        expected, count = s[:], len(s.changes)
        with pytest.raises(ZeroDivisionError):
            with s.transaction():
                s.insert(0, b"doomed")
                s.delete(0, 10)
                1 / 0
        assert s[:] == expected and len(s.changes) == count
        with s.transaction():
            pass  # an empty transaction records nothing
        assert s.undo() > 0 and s[:] == DATA


def test_checkpoints_and_rollback(make_file, tmp_path):
    with Session(make_file(DATA)) as s:
        s.insert(0, b"A")
        s.checkpoint(tmp_path / "chk")
        assert s.checkpoints == 1 and len(list((tmp_path / "chk").iterdir())) == 1
        s.insert(0, b"B")
        assert s.undo() > 0 and s.undo() == 0  # changes below the checkpoint stay
        s.insert(0, b"C")
        s.rollback()
        assert s[:] == b"A" + DATA and s.checkpoints == 0
        assert not list((tmp_path / "chk").iterdir())
        assert s.undo() == 1 and s[:] == DATA
        s.checkpoint()  # default: beside the session's file
        s.rollback()


@pytest.mark.parametrize("transform", [
    lambda b: b ^ 0xFF,
    bytes(255 - b for b in range(256)),
    bytearray(255 - b for b in range(256)),
], ids=["function", "table", "bytearray-table"])
def test_transform_and_its_rollback(make_file, transform):
    with Session(make_file(DATA)) as s:
        s.transform(transform, 4, 5)
        assert s[:] == DATA[:4] + bytes(255 - b for b in DATA[4:9]) + DATA[9:]
        assert s.checkpoints == 1
        s.rollback()
        assert s[:] == DATA
        s.transform(bytes(range(256)).upper())  # to the end
        assert s[:] == DATA.upper()
        s.transform(transform, len(DATA) - 1, 0)  # nothing to do, no checkpoint
        assert s.checkpoints == 1


@pytest.mark.parametrize("bad", [lambda b: 256, lambda b: -1, lambda b: "x", lambda b: 1 / 0])
def test_failing_transform_changes_nothing(make_file, bad):
    with Session(make_file(DATA)) as s:
        s.insert(0, b"x")
        with pytest.raises((ValueError, TypeError, ZeroDivisionError)):
            s.transform(bad)
        assert s[:] == b"x" + DATA and s.checkpoints == 0 and len(s.changes) == 1


def test_save_variants(make_file, tmp_path):
    source = make_file(DATA, "source.txt")
    with Session(source) as s:
        s.overwrite(0, b"the")
        out = tmp_path / "out" / "copy.txt"
        assert s.save(out) == str(out)
        assert out.read_bytes() == b"the" + DATA[3:]
        # Without overwrite an existing file is kept: the next free name is used.
        second = s.save(out)
        assert second == str(tmp_path / "out" / "copy-1.txt") and out.read_bytes() == b"the" + DATA[3:]
        s.insert(0, b"!")
        assert s.save(out, overwrite=True) == str(out) and out.read_bytes() == b"!the" + DATA[3:]
        # Over its own file: the session re-bases on it, its history is gone.
        s.checkpoint(tmp_path)
        assert s.save(source, True) == str(source)
        assert source.read_bytes() == b"!the" + DATA[3:] and len(s.changes) == 0 and s.checkpoints == 0
        assert s[:] == source.read_bytes()
        assert s.save(os.fsencode(tmp_path / "bytes-name")) is not None


def _made(directory):
    directory.mkdir(exist_ok=True)
    return directory


@pytest.mark.parametrize("target, name", [
    (lambda tmp: tmp, "SAVE_ERROR_PLACE"),                      # a directory
    (lambda tmp: "/dev/null", "SAVE_ERROR_NOT_REGULAR"),
    (lambda tmp: _made(tmp / ("d" * 250)) / "f", "SAVE_ERROR_NAME_TOO_LONG"),
    (lambda tmp: "", "SAVE_ERROR_INVALID"),
])
def test_save_errors_name_the_library_code(make_file, tmp_path, target, name):
    source = make_file(DATA)
    with Session(source) as s:
        s.insert(0, b"x")
        path = target(tmp_path)
        before = sorted(os.listdir(tmp_path))
        with pytest.raises(SaveError) as caught:
            s.save(path, overwrite=True)
        assert caught.value.name == name and vanto_edit.SAVE_ERRORS[caught.value.code] == name
        assert name in str(caught.value)
        assert len(s.changes) == 1 and s[:] == b"x" + DATA
        if name != "SAVE_ERROR_PLACE":
            assert sorted(os.listdir(tmp_path)) == before
    for leftover in tmp_path.glob(".VantoEdit_*"):  # -9 keeps the complete temporary file
        leftover.unlink()


def test_save_progress_and_cancel(make_file, tmp_path):
    data = bytes(range(256)) * (48 << 10)  # 12 MiB: several progress reports
    with Session(make_file(data)) as s:
        s.insert(0, b"x")
        reports = []
        s.save(tmp_path / "a", progress=lambda done, total: reports.append((done, total)))
        assert reports and reports[-1] == (len(data) + 1, len(data) + 1)
        assert all(a[0] <= b[0] for a, b in zip(reports, reports[1:]))
        with pytest.raises(SaveCancelled) as caught:
            s.save(tmp_path / "b", progress=lambda done, total: False)
        assert isinstance(caught.value, Cancelled) and caught.value.name == "SAVE_ERROR_CANCELLED"
        assert not (tmp_path / "b").exists() and not list(tmp_path.glob(".VantoEdit_*"))
        with pytest.raises(Cancelled):
            s.profile(progress=lambda done, total: False)
        with pytest.raises(Cancelled):
            s.checkpoint(tmp_path, progress=lambda done, total: False)
        assert s.checkpoints == 0
        with pytest.raises(Cancelled):
            # Cancelled in the rewrite, after the checkpoint was saved: it is taken back.
            s.transform(bytes(256), progress=lambda done, total: done <= total // 2)
        assert s.checkpoints == 0 and s[:1] == b"x"
        with pytest.raises(Cancelled):
            s.replace_all(b"\x00", b"", progress=lambda done, total: False)
        assert len(s.changes) == 1


def test_refuse_if_changed(make_file, tmp_path):
    source = make_file(DATA)
    with Session(source) as s:
        s.insert(0, b"x")
        if vanto_edit._lib.optional["vanto_session_get_backing_file_changes"] is None:
            with pytest.raises(NotImplementedError, match="vanto_session_get_backing_file_changes"):
                s.save(tmp_path / "out", refuse_if_changed=True)
            assert not (tmp_path / "out").exists()
            with pytest.raises(NotImplementedError):
                s.backing_file_changed
            return
        assert not s.backing_file_changed
        s.save(tmp_path / "out", refuse_if_changed=True)
        with open(source, "ab") as f:
            f.write(b"more")
        assert s.backing_file_changed & vanto_edit.FileChange.SIZE
        with pytest.raises(SaveError) as caught:
            s.save(tmp_path / "out2", refuse_if_changed=True)
        assert caught.value.name == "SAVE_ERROR_FILE_CHANGED" and not (tmp_path / "out2").exists()
