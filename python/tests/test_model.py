"""A hypothesis state machine drives a session beside a bytearray reference: edits, slice
assignment, undo and redo, transactions, checkpoints with rollback, and saves (to another
file, and over the session's own file, which re-bases it)."""
from __future__ import annotations

import os
import shutil
import tempfile

import hypothesis.strategies as st
from hypothesis import HealthCheck, settings
from hypothesis.stateful import RuleBasedStateMachine, initialize, invariant, precondition, rule

from vanto_edit import Session, _lib

payloads = st.binary(min_size=0, max_size=12)
positions = st.integers(min_value=0, max_value=10**6)  # taken modulo the size


class Level:
    """One checkpoint level of the reference: its base data and its undo and redo stacks."""

    def __init__(self, base: bytes) -> None:
        self.base = base
        self.undo: list[bytes] = []
        self.redo: list[bytes] = []


class SessionMachine(RuleBasedStateMachine):
    @initialize(initial=st.binary(max_size=40))
    def open(self, initial: bytes) -> None:
        self.directory = tempfile.mkdtemp(prefix="vanto-model-")
        self.path = os.path.join(self.directory, "data.bin")
        with open(self.path, "wb") as f:
            f.write(initial)
        self.session = Session(self.path)
        self.data = bytearray(initial)
        self.levels = [Level(initial)]
        self.saves = 0

    def teardown(self) -> None:
        if hasattr(self, "session"):
            self.session.close()
            left = [n for n in os.listdir(self.directory) if n.startswith(".VantoEdit")]
            shutil.rmtree(self.directory)
            assert not left, left

    # -- edits --------------------------------------------------------------

    def _record(self, before: bytes) -> None:
        # The library records a change whenever a call edits, even one that
        # leaves the bytes as they were.
        self.levels[-1].undo.append(before)
        self.levels[-1].redo.clear()

    @rule(at=positions, payload=payloads)
    def insert(self, at: int, payload: bytes) -> None:
        at %= len(self.data) + 1
        before = bytes(self.data)
        serial = self.session.insert(at, payload)
        if payload:
            assert serial > 0
            self.data[at:at] = payload
            self._record(before)
        else:
            assert serial == 0

    @rule(at=positions, payload=payloads)
    def overwrite(self, at: int, payload: bytes) -> None:
        at %= len(self.data) + 1
        before = bytes(self.data)
        if self.session.overwrite(at, bytearray(payload)):
            self.data[at:at + len(payload)] = payload
            self._record(before)

    @precondition(lambda self: len(self.data) > 0)
    @rule(at=positions, length=st.integers(1, 20))
    def delete(self, at: int, length: int) -> None:
        at %= len(self.data)
        before = bytes(self.data)
        assert self.session.delete(at, length) > 0
        del self.data[at:at + length]
        self._record(before)

    @rule(a=positions, b=positions, payload=payloads)
    def assign_slice(self, a: int, b: int, payload: bytes) -> None:
        a %= len(self.data) + 1
        b %= len(self.data) + 1
        before = bytes(self.data)
        self.session[a:b] = memoryview(payload)
        self.data[a:b] = payload
        if payload or b > a:
            self._record(before)

    @rule(edits=st.lists(st.tuples(positions, payloads), min_size=1, max_size=4))
    def transaction(self, edits) -> None:
        before = bytes(self.data)
        with self.session.transaction():
            for at, payload in edits:
                at %= len(self.data) + 1
                self.session.insert(at, payload)
                self.data[at:at] = payload
        if any(payload for _, payload in edits):
            self._record(before)

    @rule(edits=st.lists(st.tuples(positions, payloads), min_size=1, max_size=3))
    def failed_transaction(self, edits) -> None:
        after = bytearray(self.data)
        try:
            with self.session.transaction():
                for at, payload in edits:
                    at %= len(after) + 1
                    self.session.insert(at, payload)
                    after[at:at] = payload
                raise ValueError("abandon")
        except ValueError:
            pass
        # Rolled back as one undo: the data is as before, and redo brings the
        # whole transaction back.
        if any(payload for _, payload in edits):
            self.levels[-1].redo = [bytes(after)]

    # -- history ------------------------------------------------------------

    @rule()
    def undo(self) -> None:
        level = self.levels[-1]
        result = self.session.undo()
        if level.undo:
            assert result > 0
            level.redo.append(bytes(self.data))
            self.data = bytearray(level.undo.pop())
        else:
            assert result == 0

    @rule()
    def redo(self) -> None:
        level = self.levels[-1]
        result = self.session.redo()
        if level.redo:
            assert result > 0
            level.undo.append(bytes(self.data))
            self.data = bytearray(level.redo.pop())
        else:
            assert result == 0

    @precondition(lambda self: len(self.levels) < 4)
    @rule()
    def checkpoint(self) -> None:
        self.session.checkpoint(self.directory)
        self.levels.append(Level(bytes(self.data)))

    @precondition(lambda self: len(self.levels) > 1)
    @rule()
    def rollback(self) -> None:
        self.session.rollback()
        self.data = bytearray(self.levels.pop().base)

    @rule(table=st.binary(min_size=256, max_size=256), at=positions, length=st.integers(1, 8))
    def transform(self, table: bytes, at: int, length: int) -> None:
        if not self.data or len(self.levels) >= 4:
            return
        at %= len(self.data)
        length = min(length, len(self.data) - at)
        self.session.transform(table, at, length, directory=self.directory)
        self.levels.append(Level(bytes(self.data)))
        self.data[at:at + length] = bytes(table[b] for b in self.data[at:at + length])

    @rule(own=st.booleans())
    def save(self, own: bool) -> None:
        if own:
            assert self.session.save(self.path, overwrite=True) == self.path
            # Re-based: the saved file is the new start, every history is gone.
            self.levels = [Level(bytes(self.data))]
            assert len(self.session.changes) == 0 and self.session.checkpoints == 0
        else:
            self.saves += 1
            target = os.path.join(self.directory, f"copy{self.saves}.bin")
            self.session.save(target)
            with open(target, "rb") as f:
                assert f.read() == self.data
        with open(self.path if own else target, "rb") as f:
            assert f.read() == self.data

    # -- checks -------------------------------------------------------------

    @invariant()
    def same_data(self) -> None:
        if not hasattr(self, "session"):
            return
        assert len(self.session) == len(self.data)
        assert self.session[:] == self.data
        assert self.session.checkpoints == len(self.levels) - 1
        assert _lib.vanto_check_model(self.session._h) == 0
        if self.data:
            assert self.session[-1] == self.data[-1]


SessionMachine.TestCase.settings = settings(
    max_examples=60, stateful_step_count=30, deadline=None, database=None,
    suppress_health_check=[HealthCheck.too_slow])
TestSession = SessionMachine.TestCase
