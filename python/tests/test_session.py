"""Sessions as Python sequences: life, reading, editing with any bytes-like object, and the
exceptions of every refusal (with nothing changed)."""
from __future__ import annotations

import array
import gc
import os
import weakref

import numpy
import pytest

import vanto_edit
from vanto_edit import (ChangesPaused, OpenError, SessionClosed, Session, VantoError, _session)
from vanto_edit import ChangeKind

DATA = bytes(range(256)) * 4


def test_context_manager_close_and_collection(make_file):
    path = make_file(DATA)
    with Session(path) as s:
        assert len(s) == len(DATA) and not s.closed
    assert s.closed
    s.close()  # idempotent
    for use in (len, lambda s: s[0], lambda s: s[:4], lambda s: s.insert(0, b"x"),
                lambda s: s.undo(), lambda s: s.find(b"a"), lambda s: s.save(path)):
        with pytest.raises(SessionClosed):
            use(s)
    assert isinstance(SessionClosed(), ValueError)

    # Collected without close(): the session ends, its checkpoint file goes.
    s = Session(path)
    s.checkpoint(path.parent)
    assert [p.name for p in path.parent.iterdir() if p.name.startswith(".VantoEdit-chk")]
    ref = weakref.ref(s)
    handle = s._handle
    del s
    gc.collect()
    assert ref() is None and handle.ptr is None
    assert not [p for p in path.parent.iterdir() if p.name.startswith(".VantoEdit")]


def test_session_with_a_callback_referring_to_itself_is_collected(make_file):
    s = Session(make_file(DATA))
    s._on_event = lambda event, payload: s  # a cycle through the handler
    s.viewport(0, 16)
    ref = weakref.ref(s)
    del s
    gc.collect()
    assert ref() is None


def test_session_on_nothing():
    with Session() as s:
        assert len(s) == 0 and s[:] == b"" and s.path is None
        assert s.insert(0, b"abc") > 0
        assert s[:] == b"abc"


@pytest.mark.parametrize("kind, exception", [
    ("missing", FileNotFoundError),
    ("directory", IsADirectoryError),
    ("fifo", OpenError),
    ("empty", ValueError),
])
def test_open_errors(tmp_path, kind, exception):
    path = tmp_path / "x"
    if kind == "directory":
        path.mkdir()
    elif kind == "fifo":
        os.mkfifo(path)
    elif kind == "empty":
        path = ""
    with pytest.raises(exception):
        Session(path)


def test_indexing_and_slicing_follow_python(make_file):
    with Session(make_file(DATA)) as s:
        for key in (0, 5, -1, -len(DATA), len(DATA) - 1):
            assert s[key] == DATA[key]
        for key in (slice(None), slice(3, 9), slice(-10, None), slice(None, -3), slice(9, 3),
                    slice(-10000, 10000), slice(len(DATA), None), slice(100, 100)):
            assert s[key] == DATA[key]
        for key in (len(DATA), -len(DATA) - 1):
            with pytest.raises(IndexError):
                s[key]
        with pytest.raises(ValueError):
            s[::2]
        with pytest.raises(TypeError):
            s["a"]
        assert bytes(s) == DATA and list(s)[:300] == list(DATA[:300]) and (b"\x10\x11" in s)


def test_large_reads_cross_the_chunk_size(make_file):
    data = numpy.random.default_rng(1).integers(0, 256, (3 << 20) + 77, dtype=numpy.uint8).tobytes()
    with Session(make_file(data)) as s:
        s.insert(1 << 20, b"<seam>")
        expected = data[:1 << 20] + b"<seam>" + data[1 << 20:]
        assert s[:] == expected
        assert s[100:(2 << 20) + 5] == expected[100:(2 << 20) + 5]
        buffer = bytearray(len(expected) + 10)
        assert s.readinto(0, buffer) == len(expected)
        assert bytes(buffer[:len(expected)]) == expected and buffer[len(expected):] == bytes(10)
        chunks = list(s.iter_chunks(1 << 20, 5, -5))
        assert [len(c) for c in chunks[:-1]] == [1 << 20] * (len(chunks) - 1)
        assert b"".join(chunks) == expected[5:-5]


@pytest.mark.parametrize("make_buffer", [
    bytearray, lambda n: memoryview(bytearray(n)), lambda n: numpy.zeros(n, numpy.uint8),
    lambda n: numpy.zeros(n // 4, numpy.int32), lambda n: array.array("B", bytes(n)),
], ids=["bytearray", "memoryview", "numpy-uint8", "numpy-int32", "array"])
def test_readinto_any_writable_buffer(make_file, make_buffer):
    with Session(make_file(DATA)) as s:
        buffer = make_buffer(64)
        assert s.readinto(len(DATA) - 40, buffer) == 40
        assert bytes(memoryview(buffer).cast("B")[:40]) == DATA[-40:]
        assert s.readinto(len(DATA), buffer) == 0


def test_readinto_refusals(make_file):
    with Session(make_file(DATA)) as s:
        with pytest.raises(TypeError):
            s.readinto(0, b"read-only")
        with pytest.raises(TypeError):
            s.readinto(0, numpy.zeros(8, numpy.uint8)[::1].view().__array__().copy().tobytes())
        with pytest.raises(ValueError):
            s.readinto(0, memoryview(bytearray(8))[::2])
        with pytest.raises(IndexError):
            s.readinto(len(DATA) + 1, bytearray(1))
        with pytest.raises(ValueError):
            list(s.iter_chunks(0))


BIG = 100_000  # above the size up to which writable buffers are copied


@pytest.mark.parametrize("make_data", [
    bytes, bytearray, lambda b: memoryview(b), lambda b: memoryview(bytearray(b)),
    lambda b: numpy.frombuffer(b, numpy.uint8),            # read-only array
    lambda b: numpy.frombuffer(bytearray(b), numpy.uint8),  # writable array
    lambda b: numpy.frombuffer(bytearray(b), numpy.uint16) if len(b) % 2 == 0 else bytearray(b),
    lambda b: array.array("B", b),
    lambda b: memoryview(bytearray(x for c in b for x in (c, 0)))[::2],  # not contiguous
], ids=["bytes", "bytearray", "memoryview-ro", "memoryview-rw", "numpy-ro", "numpy-rw",
        "numpy-uint16", "array", "strided"])
@pytest.mark.parametrize("size", [1, 6, BIG])
def test_edits_take_any_bytes_like_object(make_file, make_data, size):
    payload = bytes((i * 7 + 3) % 256 for i in range(size))
    reference = bytearray(DATA)
    with Session(make_file(DATA)) as s:
        s.insert(10, make_data(payload))
        reference[10:10] = payload
        at = len(reference) - 3
        s.overwrite(at, make_data(payload))  # a longer payload runs past the end: extends
        reference[at:at + size] = payload
        assert s[:] == reference


def test_edit_results_and_slice_assignment(make_file):
    reference = bytearray(DATA)
    with Session(make_file(DATA)) as s:
        serials = [s.insert(0, b"ab"), s.overwrite(1, b"Z"), s.delete(0, 1)]
        reference[0:0] = b"ab"
        reference[1:2] = b"Z"
        del reference[0:1]
        assert serials == [1, 2, 3] and s[:] == reference
        assert s.insert(5, b"") == 0 and s.overwrite(5, b"") == 0 and s.delete(5, 0) == 0
        assert s.delete(len(reference) - 2, 100) > 0  # clamped to the end
        del reference[len(reference) - 2:]
        for key, value in [(slice(0, 3), b"0123456"), (slice(4, 20), b"x"), (slice(7, 7), b"ins"),
                           (slice(-5, None), b"END"), (slice(10, 2), b"rev"), (slice(0, 4), b"")]:
            count, before = len(s.changes), s[:]
            s[key] = value
            reference[key] = value
            assert s[:] == reference
            # One assignment is one transaction: one undo takes it back whole.
            if len(s.changes) > count:
                s.undo()
                assert s[:] == before
                s.redo()
                assert s[:] == reference
        s[3] = 0x41
        reference[3] = 0x41
        del s[0]
        del reference[0]
        del s[2:5]
        del reference[2:5]
        assert s[:] == reference
        with pytest.raises(ValueError):
            s[3] = 256
        with pytest.raises(ValueError):
            s[::2] = b"ab"


def _state(s: Session):
    return (s[:], len(s.changes), s.undone_count, s.checkpoints, s.viewports)


@pytest.mark.parametrize("call, exception", [
    (lambda s: s.insert(-1, b"x"), IndexError),
    (lambda s: s.insert(len(DATA) + 1, b"x"), IndexError),
    (lambda s: s.insert(2**70, b"x"), IndexError),
    (lambda s: s.insert(1.5, b"x"), TypeError),
    (lambda s: s.insert(0, "text"), TypeError),
    (lambda s: s.insert(0, 5), TypeError),
    (lambda s: s.insert(0, None), TypeError),
    (lambda s: s.overwrite(len(DATA) + 1, b"x"), IndexError),
    (lambda s: s.delete(len(DATA), 1), IndexError),
    (lambda s: s.delete(-1, 1), IndexError),
    (lambda s: s.delete(0, -1), ValueError),
    (lambda s: s.insert(-1, b""), IndexError),
    (lambda s: s.viewport(0, 0), ValueError),
    (lambda s: s.viewport(0, (1 << 20) + 1), ValueError),
    (lambda s: s.viewport(-1, 10), IndexError),
    (lambda s: s.transform(bytes(255)), ValueError),
    (lambda s: s.transform(lambda b: b, -1, 2), IndexError),
    (lambda s: s.transform(lambda b: b, 10, len(DATA)), IndexError),
    (lambda s: s.transform(lambda b: b, 0, -1), ValueError),
    (lambda s: s.rollback(), VantoError),
    (lambda s: s.find(b""), ValueError),
    (lambda s: s.find(b"x" * 524288), ValueError),
    (lambda s: s.find(b"ab", mask=b"\xff"), ValueError),
    (lambda s: s.replace_all(vanto_edit.pattern("41 ??"), b"x"), ValueError),
    (lambda s: s.replace_all(b"", b"x"), ValueError),
    (lambda s: s.checkpoint("/proc/no-such-dir"), VantoError),
])
def test_refusals_raise_and_change_nothing(make_file, call, exception):
    with Session(make_file(DATA)) as s:
        s.insert(0, b"history")
        s.undo()
        s.viewport(0, 8)
        before = _state(s)
        with pytest.raises(exception):
            call(s)
        assert _state(s) == before


def test_paused_changes_refuse_every_change(make_file):
    with Session(make_file(DATA)) as s:
        s.insert(0, b"x")
        with s.paused():
            assert s.changes_paused
            before = _state(s)
            for call in (lambda: s.insert(0, b"y"), lambda: s.overwrite(0, b"y"),
                         lambda: s.delete(0, 1), lambda: s.undo(), lambda: s.redo(),
                         lambda: s.replace_all(b"x", b"y"), lambda: s.transform(bytes(256)),
                         lambda: s.__setitem__(slice(0, 1), b"q")):
                with pytest.raises(ChangesPaused):
                    call()
                assert _state(s) == before
            with s.paused():  # nested: stays paused after the inner block
                pass
            assert s.changes_paused
        assert not s.changes_paused
        assert s.insert(0, b"y") > 0


def test_viewports(make_file):
    with Session(make_file(DATA)) as s:
        fixed = s.viewport(10, 8)
        floating = s.viewport(10, 8, floating=True)
        assert fixed.data == floating.data == DATA[10:18] and s.viewports == 2
        s.insert(0, b"++")
        assert fixed.data == (b"++" + DATA)[10:18] and fixed.offset == 10
        assert floating.data == DATA[10:18] and floating.offset == 12 and floating.floating
        fixed.modify(offset=len(DATA) - 2, capacity=100)
        assert fixed.length == 4 and fixed.data == (b"++" + DATA)[-4:] and fixed.following == 0
        fixed.modify(offset=len(DATA) * 2)
        assert fixed.data == b""
        with s.viewport(0, 4) as temporary:
            assert s.viewports == 3
        assert temporary.closed and s.viewports == 2
        fixed.close()
        fixed.close()
        with pytest.raises(SessionClosed):
            fixed.data
        del floating
        gc.collect()
        assert s.viewports == 0
        kept = s.viewport(0, 4)
    assert kept.closed  # went with the session
    with pytest.raises(SessionClosed):
        kept.offset


def test_version():
    assert vanto_edit.version() == "0.9.63" == vanto_edit.__version__
    assert vanto_edit.version_info() == (0, 9, 63)


def test_file_edits_read_the_source_lazily_and_undo(make_file):
    source = make_file(b"0123456789")
    with Session(make_file(b"abcdef")) as s:
        serial = s.insert_file(3, source, 2, 4)
        assert serial > 0 and s[:] == b"abc2345def"
        change = s.changes[-1]
        assert (change.kind, change.offset, change.length, change.bytes) == (ChangeKind.INSERT, 3, 4, b"2345")
        s.overwrite_file(0, source, 8)  # to the end of the file
        assert s[:] == b"89c2345def"
        os.unlink(source)  # the session holds the file open
        assert s[:] == b"89c2345def"
        s.undo()
        s.undo()
        assert s[:] == b"abcdef"
        s.redo()
        assert s[:] == b"abc2345def"


@pytest.mark.parametrize("arguments, error", [
    ((0, "missing.bin"), FileNotFoundError),
    ((0, "."), ValueError),
    ((0, "SOURCE", 11), IndexError),
    ((0, "SOURCE", 4, 7), IndexError),
    ((-1, "SOURCE"), IndexError),
    ((7, "SOURCE"), IndexError),
])
def test_file_edit_refusals_change_nothing(make_file, arguments, error):
    source = str(make_file(b"0123456789"))
    with Session(make_file(b"abcdef")) as s:
        arguments = tuple(source if a == "SOURCE" else a for a in arguments)
        with pytest.raises(error):
            s.insert_file(*arguments)
        assert s[:] == b"abcdef" and len(s.changes) == 0
        assert s.insert_file(6, source, 10) == 0  # an empty range records nothing
