"""Search patterns with wildcards, byte-frequency helpers."""
from __future__ import annotations

import math
from typing import Iterable, NamedTuple, Optional, Sequence

__all__ = ["Pattern", "pattern", "entropy"]


class Pattern(NamedTuple):
    """A search pattern: the bytes and a mask of the same length.

    A data byte d matches pattern byte p under mask byte m when
    ``d & m == p & m``: 0xFF compares the whole byte, 0x00 matches anything,
    0xF0 compares the high nibble only.  ``mask`` None compares every bit.
    """

    bytes: bytes
    mask: Optional[bytes] = None


_HEX = "0123456789abcdefABCDEF"


def pattern(text: str) -> Pattern:
    """Parses hexadecimal text with wildcards into a :class:`Pattern`.

    Two characters per byte, each a hex digit or ``?`` (any nibble);
    whitespace between bytes is ignored: ``pattern("50 4b ?? ??")`` matches
    "PK" and any two bytes, ``pattern("4? 00")`` any byte 0x40 to 0x4F
    followed by a zero.  Raises ValueError for other characters, an odd
    number of digits or an empty pattern.
    """
    if not isinstance(text, str):
        raise TypeError(f"pattern() takes a str, not {type(text).__name__}")
    digits = "".join(text.split())
    if not digits:
        raise ValueError("empty pattern")
    if len(digits) % 2:
        raise ValueError(f"odd number of hex digits in {text!r}")
    data = bytearray()
    mask = bytearray()
    for i in range(0, len(digits), 2):
        value = 0
        bits = 0
        for nibble in digits[i:i + 2]:
            value <<= 4
            bits <<= 4
            if nibble == "?":
                continue
            if nibble not in _HEX:
                raise ValueError(f"{nibble!r} is neither a hex digit nor '?' in {text!r}")
            value |= int(nibble, 16)
            bits |= 0xF
        data.append(value)
        mask.append(bits)
    return Pattern(bytes(data), None if all(b == 0xFF for b in mask) else bytes(mask))


def entropy(profile: Sequence[int] | Iterable[int]) -> float:
    """Shannon entropy in bits per byte (0 to 8) of a 256-entry byte profile."""
    counts = list(profile)
    if len(counts) != 256:
        raise ValueError(f"a profile has 256 counts, not {len(counts)}")
    total = sum(counts)
    if total == 0:
        return 0.0
    return -sum(c / total * math.log2(c / total) for c in counts if c)
