"""A sparse file beyond 4 GiB: offsets above 32 bits everywhere."""
from __future__ import annotations

import pytest

from vanto_edit import Session

SIZE = (5 << 30) + 12345
MARK = (4 << 30) + 1000  # beyond 4 GiB


@pytest.fixture
def sparse(tmp_path):
    path = tmp_path / "sparse.bin"
    with open(path, "wb") as f:
        f.truncate(SIZE)
        f.seek(MARK)
        f.write(b"NEEDLE")
        f.seek(SIZE - 4)
        f.write(b"tail")
    yield path
    path.unlink()  # sparse, but 5 GiB to anything that copies it


def test_sparse_file_beyond_4_gib(sparse, tmp_path):
    with Session(sparse) as s:
        assert len(s) == SIZE
        assert s[MARK:MARK + 6] == b"NEEDLE" and s[-4:] == b"tail" and s[MARK - 1] == 0
        assert s.find(b"NEEDLE", MARK - (1 << 20)) == MARK
        assert list(s.finditer(b"NEEDLE", MARK - 10, MARK + 100)) == [MARK]
        assert s.count(b"tail", SIZE - 100) == 1
        s.insert(MARK, b">>")
        s.delete(SIZE, 10)  # "il", clamped at the end
        assert len(s) == SIZE and s[MARK:MARK + 8] == b">>NEEDLE" and s[-2:] == b"ta"
        s[MARK + 2:MARK + 8] = b"needle"
        assert s.find(b"needle", 1 << 32) == MARK + 2
        s.undo()
        buffer = bytearray(16)
        assert s.readinto(MARK - 4, buffer) == 16 and bytes(buffer) == bytes(4) + b">>NEEDLE" + bytes(4)
        with s.viewport(MARK, 8, floating=True) as viewport:
            s.insert(0, b"front")
            assert viewport.offset == MARK + 5 and viewport.data == b">>NEEDLE"
        counts = s.profile(MARK, MARK + 10)
        window = s[MARK:MARK + 10]
        assert counts == [window.count(b) for b in range(256)] and counts[ord(">")] == 2
        assert s.undo() > 0 and s.undo() > 0 and s.undo() > 0 and len(s) == SIZE
