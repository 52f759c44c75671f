"""Search, counting, replacing, wildcard patterns and the byte profile."""
from __future__ import annotations

import math
import re

import pytest

import vanto_edit
from vanto_edit import Pattern, Session, _session, pattern
from conftest import has_symbol, needs

TEXT = b"abcabcABCab--aaaa--abc" * 3


def offsets(data: bytes, needle: bytes, overlapping: bool = False, ignore_case: bool = False):
    flags = re.IGNORECASE if ignore_case else 0
    regex = re.escape(needle)
    if overlapping:
        regex = b"(?=" + regex + b")"
    return [m.start() for m in re.finditer(regex, data, flags)]


@pytest.mark.parametrize("needle, overlapping, ignore_case", [
    (b"abc", False, False), (b"abc", False, True), (b"aa", False, False), (b"aa", True, False),
    (b"a", False, False), (b"zz", False, False), (TEXT, False, False), (TEXT + b"x", False, False),
])
def test_find_finditer_count_against_re(make_file, needle, overlapping, ignore_case):
    with Session(make_file(TEXT)) as s:
        expected = offsets(TEXT, needle, overlapping, ignore_case)
        assert list(s.finditer(needle, overlapping=overlapping, ignore_case=ignore_case)) == expected
        assert s.count(needle, overlapping=overlapping, ignore_case=ignore_case) == len(expected)
        assert s.find(needle, ignore_case=ignore_case) == (expected[0] if expected else -1)
        for start, end in [(1, None), (3, -3), (-20, None), (5, 5), (10, 2)]:
            window = slice(start, end).indices(len(TEXT))
            inside = [o for o in expected if o >= window[0] and o + len(needle) <= window[1]]
            if not overlapping:  # greedy from the window's start
                inside = [window[0] + o for o in
                          offsets(TEXT[window[0]:max(window)], needle, False, ignore_case)]
            assert list(s.finditer(needle, start, end, overlapping=overlapping,
                                   ignore_case=ignore_case)) == inside
            assert s.find(needle, start, end, ignore_case=ignore_case) == (inside[0] if inside else -1)


def test_search_across_stretches_sees_edits(make_file, monkeypatch):
    # Small stretches put matches on and across their seams.
    monkeypatch.setattr(_session, "_SEARCH_SPAN", 7)
    data = b"xxabcabxabcabcabc" * 5
    with Session(make_file(data)) as s:
        for needle, overlapping in [(b"abcab", False), (b"abcab", True), (b"b", False), (b"cabc", True)]:
            assert list(s.finditer(needle, overlapping=overlapping)) == offsets(data, needle, overlapping)
            if not has_symbol("vanto_search_count_matches"):
                assert s.count(needle, overlapping=overlapping) == len(offsets(data, needle, overlapping))
        found = s.finditer(b"abc")
        first = next(found)
        s.insert(0, b"abc")  # the search reads the data as it is at each step
        assert next(found) > first
        found.close()
        assert s._h and vanto_edit._lib.vanto_session_get_num_search_contexts(s._h) == 0
        abandoned = s.finditer(b"abc")
        next(abandoned)
    with pytest.raises(vanto_edit.SessionClosed):
        next(abandoned)  # the session went while the search was open


@pytest.mark.parametrize("text, data, mask", [
    ("50 4b ?? ??", b"PK\x00\x00", b"\xff\xff\x00\x00"),
    ("504B0304", b"PK\x03\x04", None),
    ("4? 0a", b"\x40\x0a", b"\xf0\xff"),
    ("  de AD\tbe ef ", b"\xde\xad\xbe\xef", None),
])
def test_pattern_helper(text, data, mask):
    assert pattern(text) == Pattern(data, mask)


@pytest.mark.parametrize("text", ["", "5", "zz", "50 4", "5g", "%%"])
def test_pattern_helper_refuses(text):
    with pytest.raises(ValueError):
        pattern(text)


MASKED_DATA = b"..PK\x03\x04..PK\x01\x02..QK\x03\x04..PK"


@needs("vanto_search_create_context_masked")
def test_masked_search(make_file):
    with Session(make_file(MASKED_DATA)) as s:
        assert list(s.finditer(pattern("50 4b ?? ??"))) == [2, 8]
        assert s.find(b"PK\x00\x00", mask=b"\xff\xff\x00\x00") == 2
        assert s.count(pattern("?0 4b")) == 3  # Q (0x51) differs from P (0x50) in the low nibble
        assert list(s.finditer(pattern("?? 4b 0? 0?"))) == [2, 8, 14]
        assert s.find(b"pk\x00", ignore_case=True, mask=b"\xff\xff\x00") == 2  # folding with a mask


def test_masked_search_without_the_symbol_names_it(make_file):
    if has_symbol("vanto_search_create_context_masked"):
        pytest.skip("the loaded library has masked search")
    with Session(make_file(MASKED_DATA)) as s:
        with pytest.raises(NotImplementedError, match="vanto_search_create_context_masked"):
            s.find(pattern("50 4b ?? ??"))
        assert s.find(pattern("50 4b")) == 2  # no wildcard: the plain search


@needs("vanto_search_prev_match")
def test_rfind(make_file):
    with Session(make_file(TEXT)) as s:
        for needle in (b"abc", b"aa", b"a", b"zz", TEXT):
            expected = offsets(TEXT, needle, True)
            assert s.rfind(needle) == (expected[-1] if expected else -1)
        assert s.rfind(b"abc", 0, 10) == 3 and s.rfind(b"ABC", ignore_case=True, end=5) == 0


def test_rfind_without_the_symbol_names_it(make_file):
    if has_symbol("vanto_search_prev_match"):
        pytest.skip("the loaded library has backward search")
    with Session(make_file(TEXT)) as s:
        with pytest.raises(NotImplementedError, match="vanto_search_prev_match"):
            s.rfind(b"abc")


@needs("vanto_search_count_matches")
def test_count_through_the_library(make_file):
    with Session(make_file(TEXT)) as s:
        assert s.count(b"aa") == len(offsets(TEXT, b"aa")) == 6
        assert s.count(b"aa", overlapping=True) == len(offsets(TEXT, b"aa", True)) == 9
        assert s.count(b"abc", 3, 20) == len(offsets(TEXT[3:20], b"abc"))


@pytest.mark.parametrize("old, new, count, ignore_case", [
    (b"abc", b"X", -1, False), (b"abc", b"", -1, True), (b"aa", b"aaa", 1, False),
    (b"--", b"--", -1, False), (b"nothing", b"x", -1, False), (b"ab", b"ab", 0, False),
])
def test_replace_all_against_bytes_replace(make_file, old, new, count, ignore_case):
    with Session(make_file(TEXT)) as s:
        replaced = s.replace_all(old, new, ignore_case=ignore_case, count=count)
        if ignore_case:
            expected = re.sub(re.escape(old), new, TEXT, flags=re.IGNORECASE)
            found = len(re.findall(re.escape(old), TEXT, flags=re.IGNORECASE))
        else:
            expected = TEXT.replace(old, new, count)
            found = TEXT.count(old) if count < 0 else min(count, TEXT.count(old))
        assert s[:] == expected and replaced == found
        if replaced and old != new:
            s.undo()  # one transaction
            assert s[:] == TEXT


def test_replace_all_in_a_range(make_file):
    with Session(make_file(TEXT)) as s:
        assert s.replace_all(b"abc", b"Z", 1, 7) == 1  # only the occurrence at 3 lies inside
        assert s[:] == TEXT[:3] + b"Z" + TEXT[6:]
        # A start before the data is clamped to 0: "abc" at 0 and "ABC" at 4 lie in [0, 9).
        assert s.replace_all(b"ABC", b"", -len(TEXT), 9, ignore_case=True) == 2
        assert s[:] == b"Z" + TEXT[9:]


def test_profile_and_entropy(make_file):
    data = bytes(range(256)) * 3 + b"\x00" * 10
    with Session(make_file(data)) as s:
        counts = s.profile()
        assert counts[0] == 13 and counts[1] == 3 and sum(counts) == len(data)
        assert s.profile(10, 20) == [1 if 10 <= b < 20 else 0 for b in range(256)]
        assert s.profile(5, 5) == [0] * 256
        assert vanto_edit.entropy([1] * 256) == 8.0 and vanto_edit.entropy([0] * 256) == 0.0
        assert vanto_edit.entropy([5] + [0] * 255) == 0.0
        assert math.isclose(vanto_edit.entropy([1, 1] + [0] * 254), 1.0)
        with pytest.raises(ValueError):
            vanto_edit.entropy([1, 2])
