"""Fixtures of the vanto_edit tests: sample files, and a check after every test that
no session is left open and no checkpoint or temporary file is left behind."""
from __future__ import annotations

import gc
import os
from pathlib import Path
from typing import Callable

import pytest

import vanto_edit
from vanto_edit import _lib, _session


def has_symbol(name: str) -> bool:
    return _lib.optional.get(name) is not None


def needs(name: str):
    """Skips a test while the loaded library lacks the C function `name`."""
    return pytest.mark.skipif(not has_symbol(name), reason=f"the loaded library has no {name}")


@pytest.fixture
def make_file(tmp_path: Path) -> Callable[..., Path]:
    counter = iter(range(1_000_000))

    def make(content: bytes = b"", name: str | None = None) -> Path:
        path = tmp_path / (name or f"sample{next(counter)}.bin")
        path.write_bytes(content)
        return path
    return make


@pytest.fixture(autouse=True)
def nothing_left(tmp_path: Path):
    yield
    gc.collect()
    alive = [ref() for ref in _session._sessions.values() if ref() is not None]
    for session in alive:
        session.close()
    assert not alive, f"sessions left open: {alive}"
    assert not _session._calls, "long-call records left behind"
    left = [p for p in tmp_path.rglob(".VantoEdit*")]
    assert not left, f"checkpoint or temporary files left: {left}"
    assert not _lib._log_errors
