"""Integration tests of the vanto-edit program.

Each test drives the built program (path in $VANTO_EDIT) on files generated
in a fresh temporary directory and checks its output, its exit status and the
files it leaves behind against plain Python computations over the same bytes.
CTest runs one test class per group: python3 -m unittest test_cli.<Group>Tests.
"""

import ast
import collections
import hashlib
import json
import math
import os
import pty
import random
import re
import resource
import select
import shutil
import signal
import socket
import stat
import subprocess
import tempfile
import time
import unittest
import zlib
from pathlib import Path

PROGRAM = os.environ.get("VANTO_EDIT", "vanto-edit")
MiB = 1 << 20


# ---- references: what the program must produce, computed independently ------


def reference_dump(data, offset, length, squeeze=True):
    """The dump of data[offset:offset + length] (cut at the end)."""
    return dump_of(data[offset:offset + length], offset, squeeze)


def dump_of(part, offset, squeeze=True):
    """The dump layout for the bytes `part` found at `offset`: offset column,
    16 bytes in two groups, text between bars, '*' for repeated lines, and the
    end offset last."""
    end = offset + len(part)
    if not part:
        return b""
    width = max(8, len(f"{end:x}"))
    lines, previous, squeezing = [], None, False
    for start in range(offset, end, 16):
        chunk = part[start - offset:min(start + 16, end) - offset]
        if squeeze and len(chunk) == 16 and chunk == previous:
            if not squeezing:
                lines.append("*")
            squeezing = True
        else:
            squeezing = False
            cells = [f" {b:02x}" for b in chunk] + ["   "] * (16 - len(chunk))
            text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in chunk)
            lines.append(f"{start:0{width}x} " + "".join(cells[:8]) + " " + "".join(cells[8:]) + f"  |{text}|")
        if len(chunk) == 16:
            previous = chunk
    lines.append(f"{end:0{width}x}")
    return ("\n".join(lines) + "\n").encode()


def reference_find(data, pattern, start=0, end=None, overlapping=False, ignore_case=False):
    """Offsets of the occurrences inside [start, end), left to right."""
    end = len(data) if end is None else min(end, len(data))
    haystack = data.lower() if ignore_case else data
    needle = pattern.lower() if ignore_case else pattern
    found, position = [], start
    while True:
        index = haystack.find(needle, position, end)
        if index < 0:
            return found
        found.append(index)
        position = index + (1 if overlapping else len(needle))


def masked_regex(hex_pattern):
    """A bytes regex (one byte each) for a hex pattern with '?' nibbles."""
    digits = hex_pattern.replace(" ", "")
    parts = []
    for i in range(0, len(digits), 2):
        pair = digits[i:i + 2]
        values = [v for v in range(256)
                  if all(c == "?" or int(c, 16) == (v >> shift) & 15 for c, shift in zip(pair, (4, 0)))]
        parts.append(b"[" + b"".join(re.escape(bytes([v])) for v in values) + b"]")
    return b"".join(parts), len(digits) // 2


def reference_find_masked(data, hex_pattern, start=0, end=None, overlapping=False, reverse=False):
    """Offsets of a masked pattern's occurrences inside [start, end): from the
    start, resuming after each (or 1 byte on with `overlapping`); `reverse`
    walks from the end, each found at most that far before the previous."""
    end = len(data) if end is None else min(end, len(data))
    regex, length = masked_regex(hex_pattern)
    every = [m.start() for m in re.finditer(b"(?=" + regex + b")", data[start:end], re.DOTALL)]
    every = [start + at for at in every if start + at + length <= end]
    advance = 1 if overlapping else length
    found = []
    for at in (reversed(every) if reverse else every):
        if not found or (found[-1] - at >= advance if reverse else at - found[-1] >= advance):
            found.append(at)
    return found


def reference_replace(data, pattern, replacement, ignore_case=False, limit=None, hex_pattern=None):
    if hex_pattern is not None:
        matches = reference_find_masked(data, hex_pattern)
        pattern = bytes(masked_regex(hex_pattern)[1])  # only its length is used
    else:
        matches = reference_find(data, pattern, ignore_case=ignore_case)
    if limit is not None:
        matches = matches[:limit]
    out, previous = bytearray(), 0
    for index in matches:
        out += data[previous:index] + replacement
        previous = index + len(pattern)
    out += data[previous:]
    return bytes(out), len(matches)


def sample_bytes(size, seed, alphabet=None):
    """`size` reproducible random bytes, drawn from `alphabet` when given."""
    data = random.Random(seed).randbytes(size)
    if alphabet is None:
        return data
    return data.translate(bytes(alphabet[i % len(alphabet)] for i in range(256)))


def ignore_sigxfsz_and_limit(limit):
    """For a child: writes beyond `limit` bytes fail with EFBIG instead of killing it."""

    def prepare():
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    return prepare


# ---- the harness ---------------------------------------------------------------


class ToolTest(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.dir = Path(tempfile.mkdtemp(prefix="vanto-edit-cli-"))
        self.addCleanup(shutil.rmtree, self.dir, True)

    def write(self, name, data):
        path = self.dir / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(data.encode() if isinstance(data, str) else data)
        return str(path)

    def run_tool(self, *args, stdin=None, env=None, preexec_fn=None, cwd=None, timeout=600):
        full_env = dict(os.environ)
        full_env.update(env or {})
        return subprocess.run([PROGRAM, *map(str, args)], input=stdin, capture_output=True, env=full_env,
                              preexec_fn=preexec_fn, cwd=cwd or self.dir, timeout=timeout)

    def listing(self, root=None):
        """Every path under the test directory (hidden ones included), with sizes."""
        root = Path(root or self.dir)
        return sorted((str(p.relative_to(root)), p.stat().st_size if p.is_file() else -1) for p in root.rglob("*"))

    def assertOk(self, result, status=0):
        self.assertEqual(result.returncode, status, result.stderr.decode(errors="replace"))

    def assertFailsWith(self, result, *fragments):
        """Exit status 2, one line on standard error holding every fragment, nothing on standard output."""
        stderr = result.stderr.decode(errors="replace")
        self.assertEqual(result.returncode, 2, stderr)
        self.assertEqual(result.stdout, b"")
        lines = stderr.splitlines()
        self.assertEqual(len(lines), 1, stderr)
        self.assertTrue(lines[0].startswith("vanto-edit"), stderr)
        for fragment in fragments:
            self.assertIn(str(fragment), lines[0])


# ---- help and version ----------------------------------------------------------------


class HelpTests(ToolTest):
    def test_version_names_the_library(self):
        result = self.run_tool("--version")
        self.assertOk(result)
        expected = os.environ.get("VANTO_EDIT_VERSION", "")
        self.assertRegex(result.stdout.decode(), rf"^vanto-edit .*libvanto_edit {re.escape(expected)}\b")

    def test_every_command_has_help(self):
        cases = {
            "demo": ["sample file"],
            "dump": ["--offset", "--length", "--all", "--format", "--group-size", "python", "dump:FORMAT:PATH"],
            "diff": ["--resync", "WINDOW", "--count", "--json", "OFFSET1 LENGTH1 OFFSET2 LENGTH2", "Exit status"],
            "hash": ["--algorithm", "--offset", "--length", "sha256", "xxh3", "crc32", "--json"],
            "find": ["--hex", "--ignore-case", "--overlapping", "--count", "--last", "--reverse", "--json",
                     "Exit status"],
            "profile": ["--json", "--by-count", "--blocks", "--plot"],
            "apply": ["--output", "--in-place", "--checkpoint-dir", "insert OFFSET DATA", "hex:", "file:PATH",
                      "rollback", "xor OFFSET LENGTH BYTE", "dump:FORMAT:PATH", "bin:"],
            "replace": ["--max", "--ignore-case", "--hex", "--force", "--json"],
        }
        for command, words in cases.items():
            with self.subTest(command=command):
                result = self.run_tool(command, "--help")
                self.assertOk(result)
                text = result.stdout.decode()
                self.assertIn(command, text)
                for word in words:
                    self.assertIn(word, text)

    def test_main_help_lists_the_commands(self):
        result = self.run_tool("--help")
        self.assertOk(result)
        for command in ("demo", "dump", "diff", "hash", "find", "profile", "apply", "replace"):
            self.assertIn(command, result.stdout.decode())

    def test_usage_errors_exit_2_with_one_line(self):
        for args in (["frobnicate"], ["dump"], ["find", "x"], ["dump", "x", "--no-such-option"]):
            with self.subTest(args=args):
                self.assertFailsWith(self.run_tool(*args), "--help")


# ---- demo -----------------------------------------------------------------------------


class DemoTests(ToolTest):
    STEPS = ["sample", "open", "viewport", "edit", "viewport", "search", "undo", "redo", "checkpoint", "transform",
             "save", "clean up"]

    def check_demo(self, *args):
        scratch = self.dir / "tmp"
        scratch.mkdir()
        result = self.run_tool(*args, env={"TMPDIR": str(scratch)})
        self.assertOk(result)
        self.assertEqual(result.stderr, b"")
        steps = [line.split("  ")[0] for line in result.stdout.decode().splitlines()
                 if line and not line.startswith(" ") and "  " in line]
        self.assertEqual(steps, self.STEPS)
        self.assertIn(str(scratch), result.stdout.decode())  # the sample was made there ...
        self.assertEqual(list(scratch.iterdir()), [])  # ... and nothing is left

    def test_demo_runs_to_the_end_and_leaves_nothing(self):
        self.check_demo("demo")

    def test_no_command_runs_the_demo(self):
        self.check_demo()


# ---- dump -----------------------------------------------------------------------------


class DumpTests(ToolTest):
    def setUp(self):
        super().setUp()
        self.data = (b"vanto-edit dump\n" + bytes(range(256)) + b"\0" * 100 + sample_bytes(3 * MiB // 2, 1))
        self.file = self.write("data.bin", self.data)

    def test_whole_file(self):
        result = self.run_tool("dump", self.file)
        self.assertOk(result)
        self.assertEqual(result.stdout, reference_dump(self.data, 0, len(self.data)))

    def test_ranges(self):
        size = len(self.data)
        cases = [  # (--offset, --length) as given, and the range they mean
            (["-o", "0", "-n", "16"], 0, 16),
            (["-o", "3", "-n", "45"], 3, 45),
            (["--offset", "0x110", "--length", "0x80"], 0x110, 0x80),
            (["-o", "1M", "-n", "1K"], MiB, 1024),
            (["-o", str(MiB - 7), "-n", "100"], MiB - 7, 100),  # across a viewport window
            (["-o", str(size - 5)], size - 5, 5),
            (["-o", str(size - 5), "-n", "1000"], size - 5, 5),  # cut at the end
            (["-o", str(size)], size, 0),  # the end itself: nothing
            (["-o", "10", "-n", "0"], 10, 0),
        ]
        for args, offset, length in cases:
            with self.subTest(args=args):
                result = self.run_tool("dump", self.file, *args)
                self.assertOk(result)
                self.assertEqual(result.stdout, reference_dump(self.data, offset, length))

    def test_repeated_lines(self):
        data = b"A" * 16 + b"\0" * 80 + b"tail"
        path = self.write("zeros.bin", data)
        squeezed = self.run_tool("dump", path)
        self.assertOk(squeezed)
        self.assertEqual(squeezed.stdout, reference_dump(data, 0, len(data)))
        self.assertIn(b"\n*\n", squeezed.stdout)
        every = self.run_tool("dump", path, "--all")
        self.assertOk(every)
        self.assertEqual(every.stdout, reference_dump(data, 0, len(data), squeeze=False))

    def test_a_block_device_is_read_like_a_file(self):
        image = self.write("image.bin", self.data[:64 * 1024])
        attach = subprocess.run(["losetup", "--find", "--show", "--read-only", image], capture_output=True)
        if attach.returncode != 0:
            self.skipTest("cannot attach a loop device here")
        device = attach.stdout.decode().strip()
        self.addCleanup(subprocess.run, ["losetup", "--detach", device])
        result = self.run_tool("dump", device, "-o", 300, "-n", 100)
        self.assertOk(result)
        self.assertEqual(result.stdout, reference_dump(self.data, 300, 100))
        # Edited to a file, never replaced by one.
        out = self.dir / "out.bin"
        self.assertOk(self.run_tool("replace", device, "00", "5a", "--hex", "--output", out, "-q"))
        self.assertEqual(out.read_bytes(), self.data[:64 * 1024].replace(b"\0", b"Z"))
        refused = self.run_tool("replace", device, "00", "5a", "--hex", "--in-place")
        self.assertFailsWith(refused, device, "cannot be replaced in place", "block device")
        self.assertTrue(stat.S_ISBLK(os.stat(device).st_mode))

    def test_offsets_beyond_4_gib_of_a_sparse_file(self):
        path = self.dir / "sparse.bin"
        marker_at = (4 << 30) + (1 << 29) + 3
        with open(path, "wb") as f:
            f.truncate(5 << 30)
            f.seek(marker_at)
            f.write(b"marker beyond 4 GiB")
        result = self.run_tool("dump", path, "-o", marker_at - 5, "-n", 40)
        self.assertOk(result)
        expected = dump_of(b"\0" * 5 + b"marker beyond 4 GiB" + b"\0" * 16, marker_at - 5)
        self.assertEqual(result.stdout, expected)
        self.assertTrue(result.stdout.startswith(b"11ffffffe  00 00"), result.stdout)  # 9 offset digits


# ---- find -------------------------------------------------------------------------------


class FindTests(ToolTest):
    def setUp(self):
        super().setUp()
        data = bytearray(sample_bytes(3 * MiB, 2, alphabet=b"abcdefgh \n"))
        # Occurrences at both ends and across the library's 1 MiB search windows.
        for offset in (0, MiB - 4, MiB - 1, 2 * MiB - 2, len(data) - 6):
            data[offset:offset + 6] = b"Needle"
        data[5000:5010] = b"xxxxxxxxxx"
        data[7000:7006] = b"\xde\xad\xbe\xef\x00\x01"
        self.data = bytes(data)
        self.file = self.write("haystack.bin", self.data)

    def find(self, *args):
        return self.run_tool("find", self.file, *args)

    def test_offsets_match_a_naive_search(self):
        size = len(self.data)
        cases = [  # (arguments, pattern bytes, reference options)
            (["Needle"], b"Needle", {}),
            (["needle"], b"needle", {}),
            (["needle", "-i"], b"needle", {"ignore_case": True}),
            (["NEEDLE", "--ignore-case"], b"needle", {"ignore_case": True}),
            (["xxx"], b"xxx", {}),
            (["xxx", "--overlapping"], b"xxx", {"overlapping": True}),
            (["de ad be ef 00", "--hex"], b"\xde\xad\xbe\xef\x00", {}),
            (["4e6565646c65", "-x"], b"Needle", {}),
            (["ab"], b"ab", {}),
            (["abc", "--overlapping", "-i"], b"abc", {"overlapping": True, "ignore_case": True}),
            (["Needle", "-o", MiB - 4, "-n", 7], b"Needle", {"start": MiB - 4, "end": MiB + 3}),
            (["Needle", "-o", MiB - 3, "-n", MiB], b"Needle", {"start": MiB - 3, "end": 2 * MiB - 3}),
            (["Needle", "-o", size - 6], b"Needle", {"start": size - 6}),
        ]
        for args, pattern, options in cases:
            with self.subTest(args=args):
                expected = reference_find(self.data, pattern, **options)
                result = self.find(*args)
                self.assertOk(result, 0 if expected else 1)
                self.assertEqual([int(line) for line in result.stdout.split()], expected)

    def test_exit_status(self):
        cases = [(["Needle"], 0), (["not in there"], 1), (["Needle", "-o", 1, "-n", 5], 1), (["zz", "--hex"], 2)]
        for args, status in cases:
            with self.subTest(args=args):
                self.assertEqual(self.find(*args).returncode, status)
        self.assertEqual(self.run_tool("find", self.dir / "missing", "x").returncode, 2)

    def test_count_and_json(self):
        expected = reference_find(self.data, b"abc", overlapping=True)
        self.assertGreater(len(expected), 100)
        count = self.find("abc", "--overlapping", "--count")
        self.assertOk(count)
        self.assertEqual(count.stdout, f"{len(expected)}\n".encode())

        listed = self.find("abc", "--overlapping", "--json")
        self.assertOk(listed)
        document = json.loads(listed.stdout)
        self.assertEqual(document["matches"], expected)
        self.assertEqual(document["count"], len(expected))
        self.assertEqual((document["offset"], document["length"], document["pattern_length"]),
                         (0, len(self.data), 3))

        counted = self.find("abc", "--overlapping", "--json", "-c")
        self.assertOk(counted)
        self.assertEqual(json.loads(counted.stdout)["count"], len(expected))
        self.assertNotIn("matches", json.loads(counted.stdout))

        none = self.find("not in there", "--json")
        self.assertOk(none, 1)
        self.assertEqual(json.loads(none.stdout)["matches"], [])

    def test_masked_hex_patterns_match_a_naive_scan(self):
        cases = [  # (arguments, hex pattern, reference options)
            (["4e ?? ?? ?? 6c 65"], "4e??????6c65", {}),       # "Needle" with wildcards, across 1 MiB
            (["4?6565"], "4?6565", {}),                         # a high nibble
            (["?e 65 65 64"], "?e656564", {}),                  # a low nibble
            (["de??be ef 0? 01"], "de??beef0?01", {}),          # white space optional
            (["6? 6?", "--overlapping", "-o", 100, "-n", 4000], "6?6?", {"overlapping": True, "start": 100,
                                                                         "end": 4100}),
            (["?? ??", "-o", MiB - 3, "-n", 9], "????", {"start": MiB - 3, "end": MiB + 6}),  # wildcards only
            (["61 62 63 ??", "-o", 3000, "-n", 50000], "616263??", {"start": 3000, "end": 53000}),
        ]
        for args, hex_pattern, options in cases:
            for direction in ([], ["--reverse"], ["--last"], ["--count"]):
                with self.subTest(args=args, direction=direction):
                    expected = reference_find_masked(self.data, hex_pattern,
                                                     reverse=direction in (["--reverse"], ["--last"]), **options)
                    self.assertTrue(expected)
                    result = self.find(*args, "--hex", *direction)
                    self.assertOk(result, 0 if expected else 1)
                    if direction == ["--count"]:
                        self.assertEqual(result.stdout, f"{len(expected)}\n".encode())
                    else:
                        self.assertEqual([int(line) for line in result.stdout.split()],
                                         expected[:1] if direction == ["--last"] else expected)

    def test_last_and_reverse(self):
        cases = [  # (arguments, pattern, reference options)
            (["Needle"], b"Needle", {}),
            (["xxx"], b"xxx", {}),
            (["xxx", "--overlapping"], b"xxx", {"overlapping": True}),
            (["abc", "-i", "-o", 10, "-n", 20000], b"abc", {"ignore_case": True, "start": 10, "end": 20010}),
        ]
        for args, pattern, options in cases:
            with self.subTest(args=args):
                every = reference_find(self.data, pattern, overlapping=True, **{
                    k: v for k, v in options.items() if k != "overlapping"})
                advance = 1 if options.get("overlapping") else len(pattern)
                walk = []
                for at in reversed(every):
                    if not walk or walk[-1] - at >= advance:
                        walk.append(at)
                reverse = self.find(*args, "--reverse")
                self.assertOk(reverse)
                self.assertEqual([int(line) for line in reverse.stdout.split()], walk)
                last = self.find(*args, "--last", "--json")
                self.assertOk(last)
                self.assertEqual(json.loads(last.stdout)["matches"], walk[:1])
        self.assertOk(self.find("not in there", "--last"), 1)
        for clash in (["--count", "--last"], ["--reverse", "--count"], ["--last", "--reverse"]):
            with self.subTest(clash=clash):
                self.assertEqual(self.find("Needle", *clash).returncode, 2)


# ---- profile -------------------------------------------------------------------------------


class ProfileTests(ToolTest):
    def setUp(self):
        super().setUp()
        self.data = sample_bytes(MiB + 12345, 3, alphabet=b"aaaabbc\0\xff") + bytes(range(256))
        self.file = self.write("data.bin", self.data)

    @staticmethod
    def summary(data):
        counts = collections.Counter(data)
        total = len(data)
        entropy = -sum(c / total * math.log2(c / total) for c in counts.values()) if total else 0.0
        return counts, entropy

    def test_json_matches_the_bytes(self):
        for args, start, end in ([[], 0, None], [["-o", 100, "-n", 5000], 100, 5100], [["-o", MiB], MiB, None]):
            with self.subTest(args=args):
                result = self.run_tool("profile", self.file, "--json", *args)
                self.assertOk(result)
                document = json.loads(result.stdout)
                part = self.data[start:end]
                counts, entropy = self.summary(part)
                self.assertEqual(document["counts"], [counts.get(b, 0) for b in range(256)])
                self.assertEqual((document["offset"], document["length"]), (start, len(part)))
                self.assertEqual(document["distinct"], len(counts))
                self.assertAlmostEqual(document["entropy"], entropy, places=5)
                top = sorted(range(256), key=lambda b: (-counts.get(b, 0), b))[:5]
                self.assertEqual([entry["byte"] for entry in document["top"]], top)
                self.assertEqual([entry["count"] for entry in document["top"]], [counts[b] for b in top])

    def test_table(self):
        part = self.data[:4096]
        counts, entropy = self.summary(part)
        for args, order in (([], sorted(counts)), (["--by-count"], sorted(counts, key=lambda b: (-counts[b], b)))):
            with self.subTest(args=args):
                result = self.run_tool("profile", self.file, "-n", 4096, *args)
                self.assertOk(result)
                text = result.stdout.decode()
                self.assertIn(f"distinct  {len(counts)} byte values", text)
                self.assertIn(f"entropy   {entropy:.4f} bits per byte", text)
                rows = re.findall(r"^0x([0-9a-f]{2}) .*?(\d+)\s+([\d.]+)%$", text, re.MULTILINE)
                self.assertEqual([int(byte, 16) for byte, _, _ in rows], order)
                self.assertEqual({int(byte, 16): int(count) for byte, count, _ in rows}, dict(counts))

    def test_empty_range(self):
        result = self.run_tool("profile", self.file, "--json", "-o", len(self.data))
        self.assertOk(result)
        document = json.loads(result.stdout)
        self.assertEqual((document["distinct"], document["entropy"], sum(document["counts"])), (0, 0.0, 0))


# ---- per-block entropy --------------------------------------------------------------------


def entropy_of(part):
    counts = collections.Counter(part)
    return max(0.0, -sum(c / len(part) * math.log2(c / len(part)) for c in counts.values()))


SPARKS = "\u2581\u2582\u2583\u2584\u2585\u2586\u2587\u2588"


class BlockEntropyTests(ToolTest):
    def setUp(self):
        super().setUp()
        # Regions of every kind of entropy, across the library's 1 MiB blocks.
        self.data = (b"\0" * 300_000 + sample_bytes(MiB, 4) + sample_bytes(200_000, 5, alphabet=b"ab")
                     + sample_bytes(700_000, 6, alphabet=b"abcdefghijklmnopqrstuvwxyz ") + b"tail")
        self.file = self.write("mixed.bin", self.data)

    def blocks(self, start, end, size):
        return [(offset, min(size, end - offset), entropy_of(self.data[offset:min(offset + size, end)]))
                for offset in range(start, end, size)]

    def test_json_and_table_match_a_direct_computation(self):
        size = len(self.data)
        cases = [  # (arguments, start, end, block size)
            (["--blocks", "64K"], 0, size, 65536),
            (["--blocks", str(3 * MiB // 2)], 0, size, 3 * MiB // 2),  # blocks larger than the library's reads
            (["--blocks", "1000", "-o", MiB - 10, "-n", 25_000], MiB - 10, MiB + 24_990, 1000),
            (["--blocks", "1G"], 0, size, 1 << 30),  # one block: the whole range
            (["--blocks", "7", "-o", size - 20], size - 20, size, 7),
        ]
        for args, start, end, block in cases:
            with self.subTest(args=args):
                expected = self.blocks(start, end, block)
                result = self.run_tool("profile", self.file, "--json", *args)
                self.assertOk(result)
                document = json.loads(result.stdout)
                self.assertEqual((document["offset"], document["length"], document["block_size"]),
                                 (start, end - start, block))
                self.assertEqual([(b["offset"], b["length"]) for b in document["blocks"]],
                                 [(offset, length) for offset, length, _ in expected])
                for got, (_, _, entropy) in zip(document["blocks"], expected):
                    self.assertAlmostEqual(got["entropy"], entropy, places=5)
                table = self.run_tool("profile", self.file, *args)
                self.assertOk(table)
                rows = [line.split() for line in table.stdout.decode().splitlines()[1:]]
                self.assertEqual(rows, [[str(o), str(n), f"{e:.4f}"] for o, n, e in expected])

    def test_plot_shows_one_level_a_block(self):
        block = 16 * 1024
        expected = self.blocks(0, len(self.data), block)
        result = self.run_tool("profile", self.file, "--blocks", "16K", "--plot")
        self.assertOk(result)
        lines = result.stdout.decode().splitlines()
        self.assertIn(f"{len(expected)} blocks of {block} bytes", lines[0])
        rows = [line.split() for line in lines[1:]]
        self.assertEqual([int(offset) for offset, _ in rows], [expected[i][0] for i in range(0, len(expected), 64)])
        shown = "".join(sparks for _, sparks in rows)
        self.assertEqual(shown, "".join(SPARKS[min(7, int(e))] for _, _, e in expected))
        # The zeros, the random bytes and the two-letter text are told apart.
        self.assertEqual((shown[0], shown[20 + 10], shown[(300_000 + MiB) // block + 2]), ("\u2581", "\u2588", "\u2581"))

    def test_bad_options(self):
        cases = [
            (["--blocks", "0"], ["--blocks", "at least 1"]),
            (["--blocks", "many"], ["--blocks", "not a number"]),
            (["--plot"], ["--plot"]),
            (["--blocks", "1K", "--plot", "--json"], ["--json"]),
            (["--blocks", "1K", "--by-count"], ["--by-count"]),
        ]
        for args, fragments in cases:
            with self.subTest(args=args):
                self.assertFailsWith(self.run_tool("profile", self.file, *args), *fragments)


# ---- dump formats ---------------------------------------------------------------------------


def lined_dump(part, offset, bits=False, group=1, squeeze=True):
    """The hex (16 bytes a line) or binary (8 a line) layout of `part` found at `offset`."""
    per_line = 8 if bits else 16
    end = offset + len(part)
    width = max(8, len(f"{end:x}"))
    lines, previous, squeezing = [], None, False
    for start in range(offset, end, per_line):
        chunk = part[start - offset:min(start + per_line, end) - offset]
        if squeeze and len(chunk) == per_line and chunk == previous:
            if not squeezing:
                lines.append("*")
            squeezing = True
            continue
        squeezing = False
        cells = ""
        for i in range(per_line):
            if i % group == 0:
                cells += " "
            if not bits and i == 8 and group <= 8:
                cells += " "
            cells += (f"{chunk[i]:08b}" if bits else f"{chunk[i]:02x}") if i < len(chunk) else " " * (8 if bits else 2)
        text = "".join(chr(b) if 0x20 <= b < 0x7F else "." for b in chunk)
        lines.append(f"{start:0{width}x} {cells}  |{text}|")
        if len(chunk) == per_line:
            previous = chunk
    lines.append(f"{end:0{width}x}")
    return ("\n".join(lines) + "\n").encode()


def parse_c_array(text):
    """The bytes and the stated length of a C array."""
    body = text[text.index("{") + 1:text.index("}")]
    values = [int(item, 0) for item in body.replace("\n", " ").split(",") if item.strip()]
    length = int(re.search(r"_len = (\d+);", text).group(1))
    return bytes(values), length


class DumpFormatsTests(ToolTest):
    def setUp(self):
        super().setUp()
        self.data = (bytes(range(256)) + b'quote " backslash \\ end' + b"\0" * 100 + sample_bytes(MiB + 77, 7))
        self.file = self.write("data.bin", self.data)

    def dump(self, *args):
        result = self.run_tool("dump", self.file, *args)
        self.assertOk(result)
        return result.stdout

    def test_each_format_matches_a_reference(self):
        ranges = [(0, 1000), (5, 23), (MiB - 3, 40), (0, len(self.data))]  # the last across the library's windows
        for offset, length in ranges:
            part = self.data[offset:offset + length]
            args = ["-o", offset, "-n", length]
            with self.subTest(offset=offset, length=length):
                self.assertEqual(self.dump(*args, "--format", "hex"), reference_dump(self.data, offset, length))
                self.assertEqual(self.dump(*args, "-F", "binary"), lined_dump(part, offset, bits=True))
                self.assertEqual(self.dump(*args, "-F", "binary", "--all"),
                                 lined_dump(part, offset, bits=True, squeeze=False))
                plain = self.dump(*args, "-F", "plain")
                self.assertEqual(plain.decode().splitlines(), [part[i:i + 30].hex() for i in range(0, len(part), 30)])
                python = self.dump(*args, "-F", "python").decode()
                self.assertEqual(ast.literal_eval(python), part)
                self.assertLessEqual(max(map(len, python.splitlines())), 16 * 4 + 5)
                c_text = self.dump(*args, "-F", "c").decode()
                self.assertTrue(c_text.startswith("unsigned char data_bin[] = {\n"), c_text[:40])
                self.assertEqual(parse_c_array(c_text), (part, len(part)))

    def test_group_sizes(self):
        part = self.data[200:300]
        for group in (1, 2, 4, 8, 16):
            with self.subTest(format="hex", group=group):
                self.assertEqual(self.dump("-o", 200, "-n", 100, "-g", group),
                                 lined_dump(part, 200, group=group))
        for group in (1, 2, 4, 8):
            with self.subTest(format="binary", group=group):
                self.assertEqual(self.dump("-o", 200, "-n", 100, "-F", "binary", "--group-size", group),
                                 lined_dump(part, 200, bits=True, group=group))

    def test_the_c_array_compiles(self):
        compiler = shutil.which("cc") or shutil.which("gcc")
        if compiler is None:
            self.skipTest("no C compiler")
        part = self.data[:5000]
        self.write("array.h", self.dump("-n", 5000, "-F", "c"))
        self.write("main.c", '#include <stdio.h>\n#include "array.h"\n'
                             "int main(void) { fwrite(data_bin, 1, data_bin_len, stdout); return 0; }\n")
        built = subprocess.run([compiler, "-std=c99", "-Wall", "-Werror", "-o", self.dir / "show", self.dir / "main.c"],
                               capture_output=True)
        self.assertEqual(built.returncode, 0, built.stderr.decode())
        self.assertEqual(subprocess.run([self.dir / "show"], capture_output=True).stdout, part)

    def test_apply_takes_each_format_back(self):
        target = self.write("target.bin", b"[]")
        cases = [(0, 1000), (MiB - 50, 4000), (300, 100)]  # 100 zero bytes: squeezed lines
        formats = [("hex", []), ("hex", ["-g", "4"]), ("hex", ["-g", "16", "--all"]), ("plain", []), ("c", []),
                   ("python", []), ("binary", []), ("binary", ["-g", "8"])]
        for offset, length in cases:
            for name, extra in formats:
                with self.subTest(format=name, extra=extra, offset=offset):
                    self.write("dumped.txt", self.dump("-o", offset, "-n", length, "-F", name, *extra))
                    script = self.write("edits.txt", "insert 1 dump:%s:dumped.txt\n" % name)
                    out = self.dir / "out.bin"
                    self.assertOk(self.run_tool("apply", target, script, "--output", out, "--force", "-q"))
                    self.assertEqual(out.read_bytes(), b"[" + self.data[offset:offset + length] + b"]")

    def test_inline_data_forms(self):
        target = self.write("target.bin", b"[]")
        cases = [  # (DATA, bytes)
            ('hex:"48 65 6c6c 6f"', b"Hello"),
            ("hex:48656c6c6f", b"Hello"),
            ("bin:0100100001101001", b"Hi"),
            ('bin:"01001000 01101001"', b"Hi"),
            ('b"Hi\\x00\\\\\\""', b'Hi\0\\"'),
            ('dump:python:"dir with space/py.txt"', b"\x01\x02 \x7f"),
        ]
        self.write("dir with space/py.txt", "(b'\\x01\\x02'\n b\" \\177\")\n")
        for data, expected in cases:
            with self.subTest(data=data):
                script = self.write("edits.txt", f"insert 1 {data}\n")
                out = self.dir / "out.bin"
                self.assertOk(self.run_tool("apply", target, script, "--output", out, "--force", "-q"))
                self.assertEqual(out.read_bytes(), b"[" + expected + b"]")

    def test_bad_dumps_and_options(self):
        target = self.write("target.bin", b"[]")
        good = self.dump("-n", 64)
        self.write("skipping.txt", good.replace(b"00000010 ", b"00000020 "))
        self.write("star-at-end.txt", b"00000000  " + b"00 " * 16 + b" |................|\n*\n")
        self.write("bad-len.h", b"unsigned char x[] = {\n  0x01, 0x02\n};\nunsigned int x_len = 3;\n")
        self.write("open.py", b'(b"abc"\n')
        cases = [  # (DATA, fragments)
            ("dump:xml:good.txt", ["dump:FORMAT:PATH", "hex, plain, c, python, binary"]),
            ("dump:hex:skipping.txt", ["not a hex dump", "line 2", "does not follow"]),
            ("dump:hex:star-at-end.txt", ["not a hex dump", "'*'"]),
            ("dump:c:bad-len.h", ["not a c dump", "holds 2 bytes, its length says 3"]),
            ("dump:python:open.py", ["not a python dump", "')'"]),
            ("dump:plain:missing.txt", ["missing.txt", "No such file"]),
            ("bin:0100100", ["groups of 8"]),
            ('hex:"4 865"', ["pairs"]),
        ]
        for data, fragments in cases:
            with self.subTest(data=data):
                script = self.write("edits.txt", f"insert 1 {data}\n")
                out = self.dir / "out.bin"
                self.assertFailsWith(self.run_tool("apply", target, script, "--output", out), "edits.txt:1:",
                                     *fragments)
                self.assertFalse(out.exists())
        for args, fragments in ((["-F", "yaml"], ["--format", "unknown format 'yaml'"]),
                                (["-F", "c", "-g", "2"], ["--group-size", "not for the c format"]),
                                (["-g", "3"], ["--group-size", "1, 2, 4, 8 or 16", "not 3"]),
                                (["-F", "binary", "-g", "16"], ["--group-size", "1, 2, 4 or 8"])):
            with self.subTest(args=args):
                self.assertFailsWith(self.run_tool("dump", self.file, *args), *fragments)


# ---- diff -----------------------------------------------------------------------------------


def reference_diff(a, b):
    """Byte-for-byte differing runs as [offset1, length1, offset2, length2]; where the shorter
    file ends, the rest of the longer one (taking in a run that reaches that end)."""
    ranges, n, i = [], min(len(a), len(b)), 0
    while i < n:
        if a[i:i + 4096] == b[i:i + 4096]:
            i += 4096
            continue
        if a[i] == b[i]:
            i += 1
            continue
        j = i
        while j < n and a[j] != b[j]:
            j += 1
        ranges.append([i, j - i, i, j - i])
        i = j
    if len(a) != len(b):
        start = ranges.pop()[0] if ranges and ranges[-1][0] + ranges[-1][1] == n else n
        ranges.append([start, len(a) - start, start, len(b) - start])
    return ranges


def diff_lines(a, b, ranges):
    def shown(data, offset, length):
        if length == 0:
            return "-"
        return " ".join(f"{x:02x}" for x in data[offset:offset + min(8, length)]) + (" ..." if length > 8 else "")
    return "".join(f"{o1} {n1} {o2} {n2}  {shown(a, o1, n1)} | {shown(b, o2, n2)}\n"
                   for o1, n1, o2, n2 in ranges).encode()


class DiffTests(ToolTest):
    def setUp(self):
        super().setUp()
        self.base = sample_bytes(3 * MiB, 8)

    def edited(self, *edits):
        """The base with edits (offset, bytes to delete, bytes to insert) applied from the last one back."""
        data = bytearray(self.base)
        for offset, remove, insert in sorted(edits, reverse=True):
            data[offset:offset + remove] = insert
        return bytes(data)

    def flip(self, offset, count=1):
        return (offset, count, bytes(x ^ 0xFF for x in self.base[offset:offset + count]))

    def diff(self, a, b, *args, status=None):
        result = self.run_tool("diff", self.write("a.bin", a), self.write("b.bin", b), *args)
        self.assertEqual(result.returncode, status if status is not None else (0 if a == b else 1),
                         result.stderr.decode())
        self.assertEqual(result.stderr, b"")
        return result

    def assertAligns(self, a, b, ranges):
        """The ranges, in order, leave equal stretches between them and each holds a difference."""
        position1 = position2 = 0
        for offset1, length1, offset2, length2 in ranges:
            self.assertEqual(a[position1:offset1], b[position2:offset2])
            self.assertTrue(length1 or length2)
            self.assertNotEqual(a[offset1:offset1 + length1], b[offset2:offset2 + length2])
            position1, position2 = offset1 + length1, offset2 + length2
        self.assertEqual(a[position1:], b[position2:])

    def test_byte_for_byte_ranges_around_block_boundaries(self):
        m, size = MiB, len(self.base)
        cases = {
            "identical": self.base,
            "first byte": self.edited(self.flip(0)),
            "each side of a block boundary": self.edited(self.flip(m - 1), self.flip(m), self.flip(2 * m + 5, 3)),
            "a run across a boundary": self.edited(self.flip(2 * m - 6, 13)),
            "last byte": self.edited(self.flip(size - 1)),
            "longer": self.base + b"more",
            "shorter by a block": self.base[:2 * m],
            "a run that meets the end of the shorter one": self.edited(self.flip(size - 9, 9)) + b"xy",
            "inserted byte": self.edited((m + 7, 0, b"\x00")),
            "empty": b"",
        }
        for name, other in cases.items():
            with self.subTest(case=name):
                expected = reference_diff(self.base, other)
                self.assertEqual(self.diff(self.base, other).stdout, diff_lines(self.base, other, expected))

    def test_json_and_count(self):
        other = self.edited(self.flip(10, 20), self.flip(MiB + 1)) + b"tail"
        expected = reference_diff(self.base, other)
        document = json.loads(self.diff(self.base, other, "--json").stdout)
        self.assertEqual([[r["offset1"], r["length1"], r["offset2"], r["length2"]] for r in document["ranges"]],
                         expected)
        self.assertEqual([(r["bytes1"], r["bytes2"]) for r in document["ranges"]],
                         [(self.base[o1:o1 + min(8, n1)].hex(), other[o2:o2 + min(8, n2)].hex())
                          for o1, n1, o2, n2 in expected])
        self.assertEqual((document["count"], document["identical"], document["size1"], document["size2"],
                          document["differing1"], document["differing2"], document["resync"]),
                         (3, False, len(self.base), len(other), 21, 25, None))
        self.assertEqual(self.diff(self.base, other, "--count").stdout, b"3\n")
        same = json.loads(self.diff(self.base, self.base, "--json", "-c").stdout)
        self.assertEqual((same["count"], same["identical"]), (0, True))
        self.assertNotIn("ranges", same)

    def test_resync_finds_insertions_and_deletions(self):
        m, size = MiB, len(self.base)
        cases = [  # (edits, the ranges expected)
            ([(m - 1, 0, b"\x01" if self.base[m - 1] != 1 else b"\x02")], [[m - 1, 0, m - 1, 1]]),
            ([(2 * m - 2, 5, b"")], [[2 * m - 2, 5, 2 * m - 2, 0]]),
            ([self.flip(m)], [[m, 1, m, 1]]),
            ([(100, 0, b"ins"), (2 * m, 1000, b"")], [[100, 0, 100, 3], [2 * m, 1000, 2 * m + 3, 0]]),
            ([(m, 0, sample_bytes(60_000, 9))], [[m, 0, m, 60_000]]),
            ([(m, 3, b"four")], [[m, 3, m, 4]]),
            ([(size - 10, 0, b"\xa5")], [[size - 10, 0, size - 10, 1]]),  # fewer than 32 bytes after it
            ([(size - 3, 3, b"")], [[size - 3, 3, size - 3, 0]]),
        ]
        for edits, expected in cases:
            with self.subTest(edits=[(o, r, len(i)) for o, r, i in edits]):
                other = self.edited(*edits)
                document = json.loads(self.diff(self.base, other, "--resync", "--json").stdout)
                ranges = [[r["offset1"], r["length1"], r["offset2"], r["length2"]] for r in document["ranges"]]
                self.assertEqual(ranges, expected)
                self.assertEqual(document["resync"], 65536)
                text = self.diff(self.base, other, "--resync").stdout
                self.assertEqual(text, diff_lines(self.base, other, expected))

    def test_resync_window_bounds_what_is_found(self):
        other = self.edited((MiB, 0, sample_bytes(1000, 10)))
        found = json.loads(self.diff(self.base, other, "--resync=1K", "--json").stdout)["ranges"]
        self.assertEqual([(r["offset1"], r["length1"], r["length2"]) for r in found], [(MiB, 0, 1000)])
        # Beyond the window the range runs on to the end of both files.
        beyond = json.loads(self.diff(self.base, other, "--resync=512", "--json").stdout)["ranges"]
        self.assertEqual([(r["offset1"], r["length1"], r["offset2"], r["length2"]) for r in beyond],
                         [(MiB, len(self.base) - MiB, MiB, len(other) - MiB)])

    def test_resync_alignments_are_sound(self):
        text = sample_bytes(200_000, 11, alphabet=b"ab \n")  # low entropy: many false anchors
        zeros = bytes(100_000)
        cases = [
            (text, text[:500] + text[520:90_000] + b"x" * 40 + text[90_000:]),
            (text, text[:50_000] + text[50_010:50_020] + text[50_000:50_010] + text[50_020:]),  # a swap
            (zeros, zeros[:70_000] + b"\x01" + zeros[70_000:]),
            (zeros, zeros + b"\x01" * 10),
            (sample_bytes(100_000, 12), sample_bytes(100_000, 13)),  # nothing in common
            (b"", b"abc"),
            (b"same", b"same"),
        ]
        for a, b in cases:
            with self.subTest(sizes=(len(a), len(b))):
                result = self.diff(a, b, "--resync=4K", "--json")
                ranges = [[r["offset1"], r["length1"], r["offset2"], r["length2"]]
                          for r in json.loads(result.stdout)["ranges"]]
                self.assertAligns(a, b, ranges)
                if a == b:
                    self.assertEqual(ranges, [])
        single = self.diff(zeros, zeros[:70_000] + b"\x01" + zeros[70_000:], "--resync", "--json")
        self.assertEqual(len(json.loads(single.stdout)["ranges"]), 1)

    def test_beyond_4_gib(self):
        paths = []
        for name, marker in (("a.bin", b"left"), ("b.bin", b"righ")):
            path = self.dir / name
            with open(path, "wb") as f:
                f.truncate((4 << 30) + 4096)
                f.seek((4 << 30) + 100)
                f.write(marker)
            paths.append(path)
        result = self.run_tool("diff", *paths, "--resync")
        self.assertEqual(result.returncode, 1, result.stderr)
        offset = (4 << 30) + 100
        self.assertEqual(result.stdout, f"{offset} 4 {offset} 4  6c 65 66 74 | 72 69 67 68\n".encode())

    def test_bad_input(self):
        file = self.write("a.bin", b"abc")
        directory = self.dir / "dir"
        directory.mkdir()
        missing = self.dir / "missing.bin"
        cases = [
            ([file, missing], [missing, "No such file"]),
            ([missing, file], [missing, "No such file"]),
            ([file, directory], [directory, "Is a directory"]),
            ([file, "/proc/self/status"], ["size cannot be known"]),
            ([file, file, "--resync=0"], ["--resync", "1 to 1048576"]),
            ([file, file, "--resync=2M"], ["--resync"]),
            ([file], ["FILE2"]),
        ]
        if os.geteuid() != 0:
            unreadable = self.write("unreadable.bin", b"abc")
            os.chmod(unreadable, 0)
            cases.append(([file, unreadable], [unreadable, "Permission denied"]))
        for args, fragments in cases:
            with self.subTest(args=args):
                self.assertFailsWith(self.run_tool("diff", *args), *fragments)


# ---- hash -----------------------------------------------------------------------------------


def xxh_reference(algorithm, data, directory):
    """XXH3, XXH128 or XXH64 of `data` as hexadecimal, by the Python module or by xxhsum; None without either."""
    try:
        import xxhash
        return {"xxh3": xxhash.xxh3_64, "xxh128": xxhash.xxh3_128, "xxh64": xxhash.xxh64}[algorithm](data).hexdigest()
    except ImportError:
        pass
    tool = shutil.which("xxhsum")
    if tool is None:
        return None
    path = Path(directory) / "xxh-input.bin"
    path.write_bytes(data)
    variant = {"xxh3": "-H3", "xxh128": "-H2", "xxh64": "-H1"}[algorithm]
    output = subprocess.run([tool, variant, path], capture_output=True, check=True).stdout.decode()
    digest = re.search(r"([0-9a-f]{16,32})\b", output.replace("XXH3_", "")).group(1)
    return digest


def hash_reference(algorithm, data, directory):
    if algorithm == "crc32":
        return f"{zlib.crc32(data):08x}"
    if algorithm.startswith("xxh"):
        return xxh_reference(algorithm, data, directory)
    return hashlib.new(algorithm, data).hexdigest()


class HashTests(ToolTest):
    ALGORITHMS = ["crc32", "md5", "sha1", "sha256", "sha512", "xxh3", "xxh128", "xxh64"]

    def setUp(self):
        super().setUp()
        self.data = sample_bytes(3 * MiB + 5, 14)
        self.file = self.write("data.bin", self.data)

    def test_each_algorithm_over_ranges(self):
        size = len(self.data)
        ranges = [([], 0, size), (["-o", MiB - 1, "-n", MiB + 2], MiB - 1, 2 * MiB + 1), (["-o", 7, "-n", 1], 7, 8),
                  (["--offset", size], size, size), (["-o", 2 * MiB], 2 * MiB, size)]
        for args, start, end in ranges:
            part = self.data[start:end]
            result = self.run_tool("hash", self.file, "--json", "-a", ",".join(self.ALGORITHMS), *args)
            self.assertOk(result)
            document = json.loads(result.stdout)
            self.assertEqual((document["offset"], document["length"]), (start, end - start))
            self.assertEqual(list(document["hashes"]), self.ALGORITHMS)
            for algorithm in self.ALGORITHMS:
                with self.subTest(algorithm=algorithm, range=(start, end)):
                    expected = hash_reference(algorithm, part, self.dir)
                    if expected is None:
                        self.skipTest("neither the xxhash module nor xxhsum is here")
                    self.assertEqual(document["hashes"][algorithm], expected)

    def test_output_lines(self):
        sha256 = hashlib.sha256(self.data).hexdigest()
        self.assertEqual(self.run_tool("hash", self.file).stdout, f"{sha256}  {self.file}\n".encode())
        if shutil.which("sha256sum"):
            self.assertEqual(self.run_tool("hash", self.file, "-a", "SHA-256").stdout,
                             subprocess.run(["sha256sum", self.file], capture_output=True).stdout)
        tagged = self.run_tool("hash", self.file, "-a", "md5", "--algorithm", "crc32", "-a", "md5")
        self.assertOk(tagged)
        self.assertEqual(tagged.stdout.decode(), f"MD5 ({self.file}) = {hashlib.md5(self.data).hexdigest()}\n"
                                                 f"CRC32 ({self.file}) = {zlib.crc32(self.data):08x}\n")

    def test_beyond_4_gib_of_a_sparse_file(self):
        path = self.dir / "sparse.bin"
        marker_at = (4 << 30) + 12345
        with open(path, "wb") as f:
            f.truncate(5 << 30)
            f.seek(marker_at)
            f.write(b"marker")
        result = self.run_tool("hash", path, "-o", marker_at - 1000, "-n", 1 << 20, "-a", "sha1")
        self.assertOk(result)
        expected = hashlib.sha1(bytes(1000) + b"marker" + bytes((1 << 20) - 1006)).hexdigest()
        self.assertEqual(result.stdout.decode().split()[0], expected)

    def test_bad_input(self):
        directory = self.dir / "dir"
        directory.mkdir()
        size = len(self.data)
        cases = [
            ([self.dir / "missing.bin"], ["missing.bin", "No such file"]),
            ([directory], [directory, "Is a directory"]),
            ([self.file, "-o", size + 1], ["offset", "beyond the end"]),
            ([self.file, "-o", size - 10, "-n", 11], ["11 bytes from offset", "run past the end"]),
            ([self.file, "-a", "sha3"], ["unknown algorithm 'sha3'", "xxh64"]),
            ([self.file, "-n", "lots"], ["--length", "not a number"]),
        ]
        for args, fragments in cases:
            with self.subTest(args=args):
                self.assertFailsWith(self.run_tool("hash", *args), *fragments)


# ---- apply ----------------------------------------------------------------------------------


class ApplyTests(ToolTest):
    ORIGINAL = b"Hello world\n"

    def setUp(self):
        super().setUp()
        self.file = self.write("in.txt", self.ORIGINAL)
        self.write("data.bin", b"\x01\x02")
        self.write("sub dir/name with space.bin", b"SP")

    def apply(self, script, *args):
        script_path = self.write("edits.txt", script)
        return self.run_tool("apply", self.file, script_path, *args)

    def test_each_operation(self):
        cases = [  # (script, expected bytes)
            ('insert 0 "ab"', b"abHello world\n"),
            ('insert 12 "!"', b"Hello world\n!"),
            ('insert 5 hex:00ff7F', b"Hello\x00\xff\x7f world\n"),
            ("insert 0 file:data.bin", b"\x01\x02Hello world\n"),
            ('insert 0 file:"sub dir/name with space.bin"', b"SPHello world\n"),
            (r'insert 0 "\t\n\0\\\"\x41\e"', b'\t\n\0\\"A\x1bHello world\n'),
            ("insert 0 \"#\"  # a comment after a line", b"#Hello world\n"),
            ('overwrite 6 "W"', b"Hello World\n"),
            ('overwrite 10 "DDDD"', b"Hello worlDDDD"),
            ('overwrite 0x0c "+"', b"Hello world\n+"),
            ("delete 0 6", b"world\n"),
            ("delete 5 end", b"Hello"),
            ("upper 0 end", b"HELLO WORLD\n"),
            ("lower 0 1", b"hello world\n"),
            ("upper 6 3", b"Hello WORld\n"),
            ("and 0 5 0xdf", b"HELLO world\n"),
            ("or 6 5 32", b"Hello world\n"),
            ("xor 0 1 0x20", b"hello world\n"),
            ("xor 11 1 255", b"Hello world\xf5"),
            # The 'end' form of every operation with a length: the byte after 'end' counts.
            ("lower 0 end", b"hello world\n"),
            ("upper 6 end", b"Hello WORLD\n"),
            ("and 0 end 255", self.ORIGINAL),
            ("and 6 end 0xdf", b"Hello WORLD\n"),
            ("or 0 end 0x20", b"hello world*"),
            ("xor 10 end 1", b"Hello worle\x0b"),
            ('insert 0 "x"\nundo', self.ORIGINAL),
            ('insert 0 "x"\nundo\nredo', b"xHello world\n"),
            ('insert 0 "x"\ninsert 0 "y"\nundo', b"xHello world\n"),
            ('begin\ninsert 0 "a"\ndelete 7 3\ninsert 0 "b"\nend\nundo', self.ORIGINAL),
            ('begin\ninsert 0 "a"\ninsert 0 "b"\nend\nundo\nredo', b"baHello world\n"),
            ('insert 0 "a"\ncheckpoint\ninsert 0 "b"\nrollback', b"aHello world\n"),
            ('checkpoint\ninsert 0 "b"', b"bHello world\n"),
            ("upper 0 end\nrollback", self.ORIGINAL),
            ("upper 0 end\nxor 0 1 0x20\nrollback", b"HELLO WORLD\n"),
            ('insert 0 "z"\nupper 0 end\ninsert 0 "q"\nundo', b"ZHELLO WORLD\n"),
            ("\n# only comments\n   \n", self.ORIGINAL),
        ]
        for script, expected in cases:
            with self.subTest(script=script):
                out = self.dir / "out.bin"
                result = self.apply(script, "--output", out, "--force")
                self.assertOk(result)
                self.assertEqual(out.read_bytes(), expected)
                self.assertEqual(Path(self.file).read_bytes(), self.ORIGINAL)

    def test_script_with_every_kind_of_operation(self):
        script = "\n".join([
            "# every kind of operation, in order",
            r'insert 0 "[\x41]"',       # [A]Hello world\n
            "overwrite 3 hex:5a5a",      # [A]ZZllo world\n
            "delete 5 2",                # [A]ZZo world\n
            "begin",
            'insert 0 "x"',
            'insert 0 "y"',              # yx[A]ZZo world\n
            "end",
            "undo",                      # [A]ZZo world\n
            "redo",                      # yx[A]ZZo world\n
            "undo",                      # [A]ZZo world\n
            "checkpoint",
            "upper 0 end",               # [A]ZZO WORLD\n
            "xor 0 1 0x20",              # {A]ZZO WORLD\n
            "rollback",                  # [A]ZZO WORLD\n
            "lower 0 3",                 # [a]ZZO WORLD\n
            "and 4 1 0xdf",              # [a]ZZO WORLD\n (Z stays)
            "or 3 1 0x20",               # [a]zZO WORLD\n
        ]) + "\n"
        before = self.listing()
        out = self.dir / "out.bin"
        result = self.apply(script, "--output", out)
        self.assertOk(result)
        self.assertEqual(out.read_bytes(), b"[a]zZO WORLD\n")
        # The checkpoint directory beside the output is gone again.
        self.assertEqual(self.listing(), sorted(before + [("edits.txt", len(script)), ("out.bin", 13)]))

    def test_in_place(self):
        before = {name for name, _ in self.listing()}
        result = self.apply('checkpoint\ninsert 6 "big "\nupper 0 5\n', "--in-place")
        self.assertOk(result)
        self.assertEqual(Path(self.file).read_bytes(), b"HELLO big world\n")
        self.assertEqual({name for name, _ in self.listing()}, before | {"edits.txt"})

    def test_checkpoint_directory_option(self):
        script = "checkpoint\nupper 0 end\n"
        cases = [("new", False), ("existing", True)]
        for name, exists in cases:
            with self.subTest(name=name):
                directory = self.dir / name
                if exists:
                    directory.mkdir()
                out = self.dir / f"out-{name}.bin"
                result = self.apply(script, "--output", out, "--checkpoint-dir", directory)
                self.assertOk(result)
                self.assertEqual(out.read_bytes(), b"HELLO WORLD\n")
                # A directory the program made goes again; one that existed stays, empty.
                self.assertEqual(directory.exists(), exists)
                if exists:
                    self.assertEqual(list(directory.iterdir()), [])

    def test_script_from_standard_input(self):
        out = self.dir / "out.bin"
        result = self.run_tool("apply", self.file, "-", "--output", out, stdin=b'insert 0 "stdin "\n')
        self.assertOk(result)
        self.assertEqual(out.read_bytes(), b"stdin Hello world\n")

    def test_a_later_run_removes_what_killed_runs_left(self):
        data = sample_bytes(8 * MiB, 10, alphabet=b"abcXYZ\n")
        self.file = self.write("big.bin", data)
        script = self.write("edits.txt", "checkpoint\n" + "upper 0 end\nlower 0 end\n" * 4)

        def scratch_directories():
            return {p.name for p in self.dir.iterdir() if p.name.startswith(".vanto-edit-")}

        def start_and_catch_at_work(name):
            """Starts an apply and stops it once its scratch directory holds a checkpoint file."""
            known = scratch_directories()
            process = subprocess.Popen([PROGRAM, "apply", self.file, script, "--output", self.dir / name, "-q"])
            self.addCleanup(process.kill)
            while process.poll() is None:
                for directory in scratch_directories() - known:
                    if any(p.name.startswith(".VantoEdit") for p in (self.dir / directory).iterdir()):
                        process.send_signal(signal.SIGSTOP)
                        return process, directory
            self.fail("the run ended before it could be caught at work")

        killed, killed_dir = start_and_catch_at_work("killed.bin")
        killed.kill()
        killed.wait()
        # A link named like a stale directory leads to files that are not ours.
        victim = self.dir / "victim"
        victim.mkdir(mode=0o700)
        shutil.copy(self.dir / killed_dir / ".vanto-edit-owner", victim)
        (victim / ".VantoEdit_keep").write_bytes(b"keep")
        os.symlink(victim, self.dir / (killed_dir[:-6] + "zzzzzz"))
        kept, kept_dir = start_and_catch_at_work("kept.bin")  # a live run, only stopped
        noted, noted_dir = start_and_catch_at_work("noted.bin")
        noted.kill()
        noted.wait()
        (self.dir / noted_dir / "notes.txt").write_bytes(b"put there by someone")

        small = self.write("small.txt", b"small")
        later = self.run_tool("apply", small, self.write("one.txt", "checkpoint\nupper 0 end\n"), "--output",
                              self.dir / "later.txt")
        self.assertOk(later)
        self.assertEqual(scratch_directories(), {kept_dir, noted_dir, killed_dir[:-6] + "zzzzzz"})
        self.assertEqual(sorted(p.name for p in (self.dir / noted_dir).iterdir()), [".vanto-edit-owner", "notes.txt"])
        self.assertEqual(sorted(p.name for p in victim.iterdir()), [".VantoEdit_keep", ".vanto-edit-owner"])

        kept.send_signal(signal.SIGCONT)
        self.assertEqual(kept.wait(timeout=600), 0)
        self.assertTrue((self.dir / "kept.bin").read_bytes() == data.lower())
        self.assertEqual(scratch_directories(), {noted_dir, killed_dir[:-6] + "zzzzzz"})

    def test_large_file_edits_beyond_the_first_window(self):
        data = sample_bytes(3 * MiB, 4)
        self.file = self.write("big.bin", data)
        script = f'overwrite {2 * MiB + 5} "XYZ"\ndelete {MiB} 10\ninsert {MiB - 1} hex:0000\nxor {3 * MiB - 100} 50 0xff\n'
        out = self.dir / "out.bin"
        result = self.apply(script, "--output", out)
        self.assertOk(result)
        expected = bytearray(data)
        expected[2 * MiB + 5:2 * MiB + 8] = b"XYZ"
        del expected[MiB:MiB + 10]
        expected[MiB - 1:MiB - 1] = b"\0\0"
        for i in range(3 * MiB - 100, 3 * MiB - 50):
            expected[i] ^= 0xFF
        self.assertEqual(out.read_bytes(), bytes(expected))


class ApplyErrorsTests(ToolTest):
    """A bad line is named with its line number, and nothing is written."""

    def test_bad_lines(self):
        cases = [  # (script, line, fragment of the message)
            ("frob 0 1", 1, "unknown operation 'frob'"),
            ('\n\ninsert 0', 3, "'insert' needs 2 arguments"),
            ("undo 1", 1, "takes no arguments"),
            ('insert x "a"', 1, "offset 'x' is not a number"),
            ('insert 12q "a"', 1, "not a number"),
            ("delete 0 0", 1, "at least 1"),
            ("xor 0 1 256", 1, "not between 0 and 255"),
            ("xor 0 end 256", 1, "not between 0 and 255"),
            ("and 0 end nonsense", 1, "byte 'nonsense' is not a number"),
            ("or 0 end -1", 1, "byte '-1' is not a number"),
            ("and 0 end", 1, "'and' needs 3 arguments"),
            ("upper 0 end 7", 1, "'upper' needs 2 arguments"),
            ("delete 0 end 1", 1, "'delete' needs 2 arguments"),
            ("xor 0 0 1", 1, "at least 1"),
            ('xor 0 "end" 1', 1, "length 'end' is not a number"),
            ("insert 0 hex:4", 1, "pairs"),
            ("insert 0 hex:4g", 1, "not a hexadecimal digit"),
            ('insert 0 "open', 1, "no closing quote"),
            (r'insert 0 "\q"', 1, "unknown escape"),
            (r'insert 0 "\x4"', 1, "two hexadecimal digits"),
            ('insert 0 ""', 1, "empty"),
            ("insert 0 text", 1, "is not data"),
            ("insert 0 file:missing.bin", 1, "No such file or directory"),
            ('insert 0 "a"x', 1, "after a closing quote"),
            ("begin\nbegin", 2, "already open"),
            ("end", 1, "'end' without 'begin'"),
            ('insert 0 "a"\nbegin\ninsert 0 "b"', 2, "never ended"),
            ("begin\nundo\nend", 2, "inside a transaction"),
            ("begin\nupper 0 1\nend", 2, "inside a transaction"),
            ("begin\ncheckpoint\nend", 2, "inside a transaction"),
            # Lines that parse but cannot be done: found while running, still nothing written.
            ('insert 13 "a"', 1, "beyond the end of the data (12 bytes)"),
            ('delete 2 3\noverwrite 10 "a"', 2, "beyond the end of the data (9 bytes)"),
            ("delete 12 1", 1, "at or beyond the end"),
            ("delete 5 8", 1, "runs past the end"),
            ("upper 12 end", 1, "at or beyond the end"),
            ("undo", 1, "nothing to undo"),
            ('insert 0 "a"\nredo', 2, "nothing to redo"),
            ("rollback", 1, "no checkpoint to roll back"),
            ('insert 0 "a"\ncheckpoint\nundo', 3, "nothing to undo since the last checkpoint"),
            ('checkpoint\nupper 0 end\ninsert 100 "a"', 3, "beyond the end"),
        ]
        source = self.write("in.txt", b"Hello world\n")
        for script, line, fragment in cases:
            with self.subTest(script=script):
                script_path = self.write("edits.txt", script)
                before = self.listing()
                for target in (["--output", self.dir / "out.bin"], ["--in-place"]):
                    result = self.run_tool("apply", source, script_path, *target)
                    self.assertFailsWith(result, f"{script_path}:{line}: ", fragment)
                    self.assertEqual(self.listing(), before)
                    self.assertEqual(Path(source).read_bytes(), b"Hello world\n")

    def test_a_checkpoint_directory_that_cannot_be_used_is_named_with_the_line(self):
        source = self.write("in.txt", b"Hello world\n")
        taken = self.write("taken", b"a file")
        for script in ("checkpoint\n", 'insert 0 "a"\nupper 0 end\n'):
            with self.subTest(script=script):
                script_path = self.write("edits.txt", script)
                result = self.run_tool("apply", source, script_path, "--output", self.dir / "out.bin",
                                       "--checkpoint-dir", taken)
                line = script.count("\n")
                self.assertFailsWith(result, f"{script_path}:{line}: {taken}: not a directory")
                self.assertFalse((self.dir / "out.bin").exists())

    def test_file_data_is_taken_from_the_file_not_loaded(self):
        # A sparse file larger than any memory: inserted and overwritten
        # with, then taken out again but for a few of its bytes.
        source = self.write("in.txt", b"Hello world\n")
        huge_size = 8 << 40
        with open(self.dir / "huge.bin", "wb") as huge:
            huge.truncate(huge_size)
            huge.seek(huge_size - 4)
            huge.write(b"TAIL")
        script = self.write("edits.txt", "insert 6 file:huge.bin\n"
                                         f"delete 6 {huge_size - 4}\n"
                                         "overwrite 12 file:huge.bin\n"
                                         f"delete 14 {huge_size - 6}\n")
        result = self.run_tool("apply", source, script, "--output", self.dir / "out.bin", timeout=120)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual((self.dir / "out.bin").read_bytes(), b"Hello TAILwo\0\0TAIL")

    def test_data_and_scripts_of_unknown_size_are_refused_at_once(self):
        source = self.write("in.txt", b"Hello world\n")
        os.mkfifo(self.dir / "pipe")  # nobody writes to it
        with socket.socket(socket.AF_UNIX) as listener:
            listener.bind(str(self.dir / "socket"))
        cases = [  # (script text or the script's path, the message after the script's name)
            ("insert 0 file:/dev/zero", ":2: /dev/zero: not a regular file"),
            ("insert 0 file:pipe", f":2: {self.dir}/pipe: not a regular file"),
            ("overwrite 0 file:socket", f":2: {self.dir}/socket: not a regular file"),
            ("insert 0 file:/proc/self/status", ":2: /proc/self/status: not a regular file: it holds more than the 0 "),
            ("insert 0 file:/proc/self/mem", ":2: /proc/self/mem: "),
            (Path("/dev/zero"), ": not a regular file or a pipe"),
        ]
        before = self.listing()
        for script, message in cases:
            with self.subTest(script=script):
                script_path = script if isinstance(script, Path) else self.write("edits.txt", f"\n{script}\n")
                (self.dir / "out.bin").unlink(missing_ok=True)  # left by a case that went wrong
                result = self.run_tool("apply", source, script_path, "--output", self.dir / "out.bin", timeout=60)
                self.assertFailsWith(result, f"vanto-edit: {script_path}{message}")
                if not isinstance(script, Path):
                    os.unlink(script_path)
                self.assertEqual(self.listing(), before)


# ---- replace --------------------------------------------------------------------------------


class ReplaceTests(ToolTest):
    def setUp(self):
        super().setUp()
        data = bytearray(sample_bytes(5 * MiB // 2, 5, alphabet=b"abcdefgh\n"))
        for offset in (0, MiB - 2, 2 * MiB - 1, len(data) - 3):
            data[offset:offset + 3] = b"CaT"
        self.data = bytes(data)
        self.file = self.write("data.bin", self.data)

    def replace(self, *args):
        out = self.dir / "out.bin"
        result = self.run_tool("replace", self.file, *args, "--output", out, "--force", "--json")
        self.assertOk(result)
        return out.read_bytes(), json.loads(result.stdout)

    def test_matches_a_naive_replace(self):
        cases = [  # (arguments, pattern, replacement, reference options)
            (["abc", "X"], b"abc", b"X", {}),                    # shorter
            (["abc", ""], b"abc", b"", {}),                      # to nothing
            (["abc", "xyz"], b"abc", b"xyz", {}),                # same length
            (["abc", "ABCDEFGH"], b"abc", b"ABCDEFGH", {}),      # longer
            (["aa", "aaa"], b"aa", b"aaa", {}),                  # the replacement holds the pattern
            (["cat", "dog!", "-i"], b"cat", b"dog!", {"ignore_case": True}),
            (["CaT", "-"], b"CaT", b"-", {}),
            (["616263", "00", "--hex"], b"abc", b"\0", {}),
            (["abc", "Z", "--max", "7"], b"abc", b"Z", {"limit": 7}),
            (["abc", "Z", "--max", "0"], b"abc", b"Z", {"limit": 0}),
            (["no such bytes", "Z"], b"no such bytes", b"Z", {}),
            # Masked patterns: the matches of a masked search context, fixed replacement bytes.
            (["61 ?? 63", "58", "-x"], None, b"X", {"hex_pattern": "61??63"}),
            (["?1 6? 6?", "", "-x"], None, b"", {"hex_pattern": "?16?6?"}),
            (["43 61 5?", "2d2d2d", "-x"], None, b"---", {"hex_pattern": "43615?"}),
            (["6??2", "5a5a5a", "-x", "--max", "5"], None, b"ZZZ", {"hex_pattern": "6??2", "limit": 5}),
        ]
        for args, pattern, replacement, options in cases:
            with self.subTest(args=args):
                expected, count = reference_replace(self.data, pattern, replacement, **options)
                output, report = self.replace(*args)
                self.assertEqual(report["replacements"], count)
                self.assertEqual((report["size_before"], report["size_after"]), (len(self.data), len(expected)))
                self.assertEqual(len(output), len(expected))
                self.assertTrue(output == expected, f"output differs from the naive replace for {args}")
                self.assertGreater(count, 0 if pattern != b"no such bytes" and options.get("limit") != 0 else -1)
        self.assertEqual(Path(self.file).read_bytes(), self.data)

    def test_text_report(self):
        out = self.dir / "out.bin"
        result = self.run_tool("replace", self.file, "CaT", "dog", "--output", out)
        self.assertOk(result)
        self.assertEqual(result.stdout.decode(), f"4 replacements; {out}: {len(self.data)} bytes\n")

    def test_in_place(self):
        expected, count = reference_replace(self.data, b"abc", b"[abc]")
        result = self.run_tool("replace", self.file, "abc", "[abc]", "--in-place", "--json")
        self.assertOk(result)
        self.assertEqual(json.loads(result.stdout)["replacements"], count)
        self.assertTrue(Path(self.file).read_bytes() == expected)
        self.assertEqual([name for name, _ in self.listing()], ["data.bin"])

    def test_in_place_without_matches_leaves_the_file_alone(self):
        inode = os.stat(self.file).st_ino
        result = self.run_tool("replace", self.file, "no such bytes", "Z", "--in-place", "--json")
        self.assertOk(result)
        report = json.loads(result.stdout)
        self.assertEqual((report["replacements"], report["written"]), (0, False))
        self.assertEqual(os.stat(self.file).st_ino, inode)


# ---- the output file ----------------------------------------------------------------------------


class OutputTests(ToolTest):
    def setUp(self):
        super().setUp()
        self.file = self.write("in.txt", b"one two one\n")

    def test_existing_output_needs_force(self):
        os.symlink("nowhere", self.dir / "dangling")
        before = self.listing()
        refused = self.run_tool("replace", self.file, "one", "1", "--output", self.dir / "dangling")
        self.assertFailsWith(refused, "dangling", "already exists", "--force")
        self.assertEqual(self.listing(), before)
        out = self.write("out.txt", b"keep me")
        refused = self.run_tool("replace", self.file, "one", "1", "--output", out)
        self.assertFailsWith(refused, out, "already exists", "--force")
        self.assertEqual(Path(out).read_bytes(), b"keep me")
        forced = self.run_tool("replace", self.file, "one", "1", "--output", out, "--force")
        self.assertOk(forced)
        self.assertEqual(Path(out).read_bytes(), b"1 two 1\n")

    def test_an_output_that_is_not_a_regular_file_is_refused(self):
        os.mkfifo(self.dir / "fifo")
        listener = socket.socket(socket.AF_UNIX)
        self.addCleanup(listener.close)
        listener.bind(str(self.dir / "socket"))
        os.symlink("fifo", self.dir / "link-to-fifo")
        targets = {"fifo": stat.S_ISFIFO, "socket": stat.S_ISSOCK, "link-to-fifo": stat.S_ISFIFO}
        try:
            os.mknod(self.dir / "null", stat.S_IFCHR | 0o666, os.makedev(1, 3))  # a copy of /dev/null
            targets["null"] = stat.S_ISCHR
        except PermissionError:
            pass  # not allowed to make device nodes here
        before = self.listing()
        for name, is_kind in targets.items():
            for force in ([], ["--force"]):
                with self.subTest(target=name, force=force):
                    result = self.run_tool("replace", self.file, "one", "1", "--output", self.dir / name, *force)
                    self.assertFailsWith(result, name, "not a regular file")
                    self.assertTrue(is_kind(os.stat(self.dir / name).st_mode))
                    self.assertEqual(self.listing(), before)

    def test_a_report_that_cannot_be_printed_after_writing_says_so(self):
        # Standard output on a full device: the output is written, the report
        # is not; exit status 3 and the message say which.
        script = self.write("edits.txt", 'insert 0 "x"\n')
        out = self.dir / "out.txt"
        cases = [  # (arguments, the file written, its bytes)
            (["replace", self.file, "one", "1", "--output", out, "--json"], out, b"1 two 1\n"),
            (["replace", self.file, "one", "1", "--output", out, "--force"], out, b"1 two 1\n"),
            (["apply", self.file, script, "--output", out, "--force"], out, b"xone two one\n"),
            (["replace", self.file, "two", "2", "--in-place", "--json"], Path(self.file), b"one 2 one\n"),
        ]
        for args, written, data in cases:
            with self.subTest(args=args):
                out.unlink(missing_ok=True)
                with open("/dev/full", "wb") as full:
                    result = subprocess.run([PROGRAM, *map(str, args)], stdout=full, stderr=subprocess.PIPE,
                                            timeout=600)
                stderr = result.stderr.decode()
                self.assertEqual(result.returncode, 3, stderr)
                self.assertEqual(len(stderr.splitlines()), 1, stderr)
                self.assertIn(f"{written}: written, but the report could not be printed", stderr)
                self.assertIn("No space left on device", stderr)
                self.assertEqual(written.read_bytes(), data)
        with open("/dev/full", "wb") as full:  # nothing written: an error as any other
            result = subprocess.run([PROGRAM, "find", self.file, "one"], stdout=full, stderr=subprocess.PIPE)
        self.assertEqual(result.returncode, 2)
        self.assertIn("standard output: No space left on device", result.stderr.decode())

    def test_output_must_not_be_the_input(self):
        os.symlink("in.txt", self.dir / "link.txt")
        os.link(self.file, self.dir / "hard.txt")
        for out in (self.file, self.dir / "link.txt", self.dir / "hard.txt"):
            with self.subTest(out=out):
                result = self.run_tool("replace", self.file, "one", "1", "--output", out, "--force")
                self.assertFailsWith(result, out, "is the input file")
                self.assertEqual(Path(self.file).read_bytes(), b"one two one\n")

    def test_exactly_one_destination(self):
        for args in ([], ["--output", self.dir / "o.txt", "--in-place"]):
            with self.subTest(args=args):
                result = self.run_tool("replace", self.file, "one", "1", *args)
                self.assertFailsWith(result, "--")
                self.assertFalse((self.dir / "o.txt").exists())

    def test_a_long_output_name_leaves_other_files_alone(self):
        # The output's full name is longer than the library's 260-byte path
        # buffer; a file named like its first 259 bytes is someone else's.
        directory = os.path.realpath(self.dir)
        victim = "v" * (258 - len(directory))
        Path(directory, victim).write_bytes(b"not yours")
        out = Path(directory, victim + ".bin")
        result = self.run_tool("replace", self.file, "one", "1", "--output", out, "-q")
        self.assertOk(result)
        self.assertEqual(out.read_bytes(), b"1 two 1\n")
        self.assertEqual(Path(directory, victim).read_bytes(), b"not yours")
        self.assertEqual(sorted(name for name, _ in self.listing()), sorted(["in.txt", victim, out.name]))

    def test_an_output_that_appears_meanwhile_is_left_alone(self):
        # The output is checked before the script is read; the script comes
        # through a named pipe, and the output appears before it is written.
        fifo = self.dir / "edits.fifo"
        os.mkfifo(fifo)
        out = self.dir / "out.txt"
        process = subprocess.Popen([PROGRAM, "apply", self.file, fifo, "--output", out],
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        with open(fifo, "w") as script:  # returns once the program has opened the pipe
            out.write_bytes(b"someone else's")
            before = self.listing()
            script.write('insert 0 "x"\n')
        stdout, stderr = process.communicate(timeout=600)
        self.assertEqual((process.returncode, stdout), (2, b""), stderr)
        self.assertEqual(stderr.decode(), f"vanto-edit: {out}: appeared while saving and was left alone\n")
        self.assertEqual(out.read_bytes(), b"someone else's")
        self.assertEqual(self.listing(), before)

    def test_new_output_gets_the_creation_mode_and_an_existing_one_keeps_its_mode(self):
        # A new file gets 0666 less the umask with or without --force, whatever
        # the input's mode; a replaced file keeps its own.
        os.chmod(self.file, 0o640)
        script = self.write("edits.txt", 'insert 0 "x"\n')
        cases = [  # (command, --force, existing mode or None, umask, expected mode)
            (["replace", self.file, "one", "1"], False, None, 0o022, 0o644),
            (["replace", self.file, "one", "1"], True, None, 0o022, 0o644),
            (["apply", self.file, script], False, None, 0o027, 0o640),
            (["apply", self.file, script], True, None, 0o077, 0o600),
            (["replace", self.file, "one", "1"], False, None, 0o002, 0o664),
            (["replace", self.file, "one", "1"], True, 0o604, 0o077, 0o604),
            (["apply", self.file, script], True, 0o660, 0o022, 0o660),
        ]
        for command, force, existing, mask, expected in cases:
            with self.subTest(command=command[0], force=force, existing=existing, umask=oct(mask)):
                out = self.dir / "out.txt"
                out.unlink(missing_ok=True)
                if existing is not None:
                    out.write_bytes(b"old")
                    os.chmod(out, existing)
                result = self.run_tool(*command, "--output", out, "-q", *(["--force"] if force else []),
                                       preexec_fn=lambda: os.umask(mask))
                self.assertOk(result)
                self.assertEqual(oct(stat.S_IMODE(os.stat(out).st_mode)), oct(expected))

    def test_in_place_keeps_the_permissions(self):
        os.chmod(self.file, 0o604)
        self.assertOk(self.run_tool("replace", self.file, "one", "1", "--in-place", "-q"))
        self.assertEqual(stat.S_IMODE(os.stat(self.file).st_mode), 0o604)
        self.assertEqual(Path(self.file).read_bytes(), b"1 two 1\n")


# ---- a failing save leaves everything as it was -------------------------------------------------


class InPlaceSafetyTests(ToolTest):
    LIMIT = 64 * 1024

    def setUp(self):
        super().setUp()
        self.data = sample_bytes(256 * 1024, 6, alphabet=b"abcdef")
        self.file = self.write("data.bin", self.data)

    def check_fails_and_leaves_all(self, *args):
        before = self.listing()
        result = self.run_tool(*args, preexec_fn=ignore_sigxfsz_and_limit(self.LIMIT))
        self.assertFailsWith(result)
        self.assertTrue(Path(self.file).read_bytes() == self.data, "the input file changed")
        self.assertEqual(self.listing(), before)
        return result

    def test_replace_in_place(self):
        result = self.check_fails_and_leaves_all("replace", self.file, "abc", "XYZW", "--in-place")
        self.assertIn(f"{self.file}: cannot save", result.stderr.decode())

    def test_replace_to_output(self):
        out = self.dir / "out.bin"
        result = self.check_fails_and_leaves_all("replace", self.file, "abc", "X", "--output", out)
        self.assertIn(f"{out}: cannot save", result.stderr.decode())

    def test_apply_in_place(self):
        for script in ('insert 0 "a"\n', 'insert 0 "a"\ncheckpoint\n', "upper 0 end\n"):
            with self.subTest(script=script):
                script_path = self.write("edits.txt", script)
                self.check_fails_and_leaves_all("apply", self.file, script_path, "--in-place")


# ---- bad input -------------------------------------------------------------------------------


class BadInputTests(ToolTest):
    def test_inputs_whose_size_cannot_be_known_are_refused(self):
        # /proc files say they hold 0 bytes and yet have content.
        out = self.dir / "out.bin"
        for args in (["find", "/proc/self/status", "Name"], ["profile", "/proc/self/status"],
                     ["dump", "/proc/self/stat"], ["replace", "/proc/self/status", "a", "b", "--output", out]):
            with self.subTest(args=args):
                self.assertFailsWith(self.run_tool(*args), args[1], "size cannot be known")
                self.assertFalse(out.exists())
        # An empty regular file is just empty.
        empty = self.write("empty.bin", b"")
        self.assertEqual(self.run_tool("find", empty, "x").returncode, 1)
        result = self.run_tool("profile", empty, "--json")
        self.assertOk(result)
        self.assertEqual(json.loads(result.stdout)["length"], 0)

    def test_each_kind_of_bad_input(self):
        file = self.write("data.bin", b"0123456789")
        script = self.write("edits.txt", 'insert 0 "x"\n')
        missing = self.dir / "missing.bin"
        directory = self.dir / "subdir"
        directory.mkdir()
        out = self.dir / "out.bin"
        cases = [  # (arguments, fragments of the one-line message)
            (["dump", missing], [missing, "No such file or directory"]),
            (["find", missing, "x"], [missing, "No such file or directory"]),
            (["profile", missing], [missing, "No such file or directory"]),
            (["apply", missing, script, "--output", out], [missing, "No such file or directory"]),
            (["replace", missing, "a", "b", "--output", out], [missing, "No such file or directory"]),
            (["dump", directory], [directory, "Is a directory"]),
            (["profile", directory], [directory, "Is a directory"]),
            (["replace", directory, "a", "b", "--in-place"], [directory, "Is a directory"]),
            (["apply", file, directory, "--output", out], [directory, "Is a directory"]),
            (["apply", file, missing, "--output", out], [missing, "No such file or directory"]),
            (["dump", file, "-o", 11], [file, "offset 11 is beyond the end", "10 bytes"]),
            (["find", file, "1", "-o", 100], [file, "offset 100 is beyond the end"]),
            (["profile", file, "--offset", "1G"], [file, "beyond the end"]),
            (["dump", file, "-o", "12x"], ["--offset", "'12x' is not a number"]),
            (["find", file, "-n", "-3", "1"], ["--length"]),
            (["find", file, "zz", "--hex"], ["pattern 'zz'", "not a hexadecimal digit"]),
            (["find", file, "abc", "--hex"], ["pattern 'abc'", "pairs"]),
            (["find", file, "3? 3", "--hex"], ["pattern '3? 3'", "pairs"]),
            (["find", file, "3?g1", "--hex"], ["pattern '3?g1'", "not a hexadecimal digit or '?'"]),
            (["replace", file, "3?", "3?", "--hex", "--output", out], ["replacement '3?'", "not a hexadecimal"]),
            (["find", file, ""], ["the pattern is empty"]),
            (["replace", file, "31", "4", "--hex", "--output", out], ["replacement '4'", "pairs"]),
            (["replace", file, "", "x", "--output", out], ["the pattern is empty"]),
            (["replace", file, "1", "2", "--max", "many", "--output", out], ["--max", "not a number"]),
            (["apply", file, self.write("bad.txt", "insert 0 \"x\"\nfrob\n"), "--output", out], ["bad.txt:2:"]),
            (["replace", file, "1", "2", "--output", self.dir / "no" / "such" / "dir" / "out.bin"],
             ["out.bin", "No such file or directory"]),
            (["replace", file, "1", "2", "--output", Path(file) / "out.bin"], ["out.bin", "Not a directory"]),
            (["replace", file, "1", "2", "--output", directory], [directory, "Is a directory"]),
            (["replace", file, "1", "2", "--output", "/proc/vanto-edit-out.bin"],
             ["/proc/vanto-edit-out.bin", "cannot save"]),
            (["apply", file, script, "--output", "/proc/vanto-edit-out.bin"], ["/proc/vanto-edit-out.bin"]),
        ]
        for args, fragments in cases:
            with self.subTest(args=args):
                before = self.listing()
                self.assertFailsWith(self.run_tool(*args), *fragments)
                self.assertEqual(self.listing(), before)
                self.assertEqual(Path(file).read_bytes(), b"0123456789")


# ---- names in messages -----------------------------------------------------------------------------


def control_characters(text):
    """The characters of `text` that a terminal acts on, or that break or reorder a line."""
    return [c for c in text if ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 or c in "\u061c\u200e\u200f"
            or 0x2028 <= ord(c) <= 0x202E or 0x2066 <= ord(c) <= 0x2069]


class NamesTests(ToolTest):
    """Names are shown as they are when they are plain text, and otherwise
    quoted with escapes, so that no name splits a line or reaches the terminal
    as a command."""

    NAMES = [  # (the name's bytes, how it is shown; None: as it is)
        (b"x\x1b]0;pwned\x07", r"x\x1b]0;pwned\x07"),
        (b"two\nlines", r"two\nlines"),
        (b"tab\tcr\r", r"tab\tcr\r"),
        (b"del\x7f", r"del\x7f"),
        (b"latin\xff", r"latin\xff"),                       # not UTF-8
        (b"c1\xc2\x9b", r"c1\xc2\x9b"),                      # a C1 control written in UTF-8
        ("rlo\u202egnp.exe".encode(), r"rlo\xe2\x80\xaegnp.exe"),  # right-to-left override
        (b'quote"back\\slash', r'quote\"back\\slash'),
        ("\u00e9t\u00e9 \u65e5\u672c".encode(), None),         # letters of any script stay
    ]

    def shown(self, name, escaped):
        path = f"{self.dir}/"
        return path + os.fsdecode(name) if escaped is None else f'"{path}{escaped}"'

    def assertClean(self, output):
        text = output.decode()  # strict: whatever was shown is UTF-8
        lines = text.splitlines()
        self.assertEqual(len(lines), 1, text)
        self.assertEqual(control_characters(lines[0]), [], lines[0])
        return lines[0]

    def test_names_in_error_messages(self):
        source = self.write("in.txt", b"one two one\n")
        for name, escaped in self.NAMES:
            path = os.fsdecode(os.fsencode(self.dir) + b"/" + name)
            shown = self.shown(name, escaped)
            script_data = "".join(f"\\x{b:02x}" for b in name)
            places = [  # (arguments, files to make first, the start of the message)
                (["dump", path], {}, f"vanto-edit: {shown}: No such file or directory"),
                (["apply", source, path, "--output", self.dir / "out.txt"], {path: "frob\n"},
                 f"vanto-edit: {shown}:1: unknown operation"),
                (["apply", source, self.dir / "edits.txt", "--output", self.dir / "out.txt"],
                 {self.dir / "edits.txt": f'insert 0 file:"{script_data}"\n'},
                 f"vanto-edit: {self.dir}/edits.txt:1: {shown}: No such file or directory"),
                (["replace", source, "one", "1", "--output", os.path.join(path, "out.txt")], {},
                 f"vanto-edit: " + self.shown(name + b"/out.txt", escaped and escaped + "/out.txt")),
            ]
            for args, files, start in places:
                with self.subTest(name=name, command=args[0]):
                    for file, text in files.items():
                        Path(file).write_text(text)
                    result = self.run_tool(*args)
                    self.assertEqual(result.returncode, 2)
                    self.assertTrue(self.assertClean(result.stderr).startswith(start), (result.stderr, start))
                    for file in files:
                        os.unlink(file)

    def test_names_in_reports(self):
        source = self.write("in.txt", b"one two one\n")
        for name, escaped in self.NAMES:
            out = os.fsdecode(os.fsencode(self.dir) + b"/" + name)
            shown = self.shown(name, escaped)
            with self.subTest(name=name):
                result = self.run_tool("replace", source, "one", "1", "--output", out, "--force")
                self.assertOk(result)
                self.assertEqual(self.assertClean(result.stdout), f"2 replacements; {shown}: 8 bytes")
                result = self.run_tool("profile", out)
                self.assertOk(result)
                self.assertIn(f"file      {shown}\n", result.stdout.decode())
                self.assertEqual(control_characters(result.stdout.decode().replace("\n", "")), [])
                report = json.loads(self.run_tool("find", out, "1", "--json").stdout)
                self.assertEqual(report["file"], out.encode("utf-8", "surrogateescape").decode("utf-8", "replace"))
                os.unlink(out)

    def test_long_names_are_shortened(self):
        source = self.write("in.txt", b"one two one\n")
        long = "n" * 50000 + "-end.txt"
        self.write("edits.txt", f"insert 0 file:{long}\n")
        cases = [  # (arguments, fragments of the message besides the end of the name)
            (["dump", long], ["File name too long"]),
            (["apply", source, long, "--output", "out.txt"], ["File name too long"]),
            (["apply", source, "edits.txt", "--output", "out.txt"], ["edits.txt:1: ./nnn", "File name too long"]),
            (["replace", source, "one", "1", "--output", long], ["File name too long"]),
        ]
        for args, fragments in cases:
            with self.subTest(command=args[0], fragments=fragments):
                result = self.run_tool(*args)
                self.assertEqual(result.returncode, 2)
                line = self.assertClean(result.stderr)
                self.assertLess(len(line), 400)
                for fragment in ["n...n", "n-end.txt: ", *fragments]:
                    self.assertIn(fragment, line)

    def test_arguments_in_usage_errors(self):
        file = self.write("in.txt", b"0123456789")
        for args in (["fr\x1bob"], ["dump", file, "b\nc"], ["dump", file, "--offset", "1\x1b[2J"]):
            with self.subTest(args=args):
                result = self.run_tool(*args)
                self.assertEqual(result.returncode, 2)
                self.assertClean(result.stderr)


# ---- the library's log lines ----------------------------------------------------------------------


class LibraryLogTests(ToolTest):
    def test_log_lines_only_with_verbose(self):
        data = sample_bytes(256 * 1024, 7, alphabet=b"ab")
        file = self.write("data.bin", data)
        limit = ignore_sigxfsz_and_limit(64 * 1024)
        plain = self.run_tool("replace", file, "ab", "ba", "--in-place", preexec_fn=limit)
        self.assertFailsWith(plain, file, "cannot save")
        self.assertIn("File too large", plain.stderr.decode())  # the reason the library logged
        self.assertNotIn("vanto_edit_save", plain.stderr.decode())

        verbose = self.run_tool("--verbose", "replace", file, "ab", "ba", "--in-place", preexec_fn=limit)
        self.assertEqual(verbose.returncode, 2)
        lines = verbose.stderr.decode().splitlines()
        self.assertTrue(any("[library]" in line and "vanto_edit_save" in line for line in lines), lines)
        self.assertIn(f"vanto-edit: {file}: cannot save", lines[-1])
        self.assertEqual(Path(file).read_bytes(), data)


# ---- the input changed while the program worked ------------------------------------------------------


def append_to(path, data):
    with open(path, "ab") as file:
        file.write(b"tail")


def overwrite_first_byte(path, data):
    with open(path, "r+b") as file:
        file.write(b"Z")


class InputChangedTests(ToolTest):
    """`apply` reads its script through a named pipe, which it opens after its
    input: the change is made while the program waits for the script, so it
    falls between the opening of the input and the save, every time."""

    CHANGES = [  # (what, change of the file, what a forced run saves after "x")
        ("appended to", append_to, lambda data: data),
        ("overwritten in place", overwrite_first_byte, lambda data: b"Z" + data[1:]),
        ("replaced by a rename", lambda path, data: os.replace(Path(path).with_name("new.tmp"), path),
         lambda data: data),
        ("removed", lambda path, data: os.unlink(path), lambda data: data),
    ]

    def apply_while_changing(self, change, *args):
        data = sample_bytes(64 * 1024, 11, alphabet=b"abc")
        file = self.write("data.bin", data)
        self.write("new.tmp", b"another file")
        os.utime(file, ns=(10**18, 10**18))  # an old time: any write gives another one
        fifo = self.dir / "edits.fifo"
        os.mkfifo(fifo)
        process = subprocess.Popen([PROGRAM, "apply", file, fifo, *map(str, args)], cwd=self.dir,
                                   stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        with open(fifo, "w") as script:  # returns once the program has opened the pipe
            change(file, data)
            script.write('insert 0 "x"\n')
        stdout, stderr = process.communicate(timeout=600)
        os.unlink(fifo)
        return subprocess.CompletedProcess(process.args, process.returncode, stdout, stderr), file, data

    def leftovers(self):
        return [name for name, _ in self.listing() if ".vanto-edit-" in name or ".VantoEdit" in name]

    def test_a_changed_input_is_not_saved_without_force(self):
        for what, change, _ in self.CHANGES:
            for target in (["--in-place"], ["--output", "out.bin"]):
                with self.subTest(change=what, target=target[0]):
                    result, file, _ = self.apply_while_changing(change, *target)
                    self.assertFailsWith(result, f"{file}: changed while vanto-edit worked on it",
                                         "nothing was written", "--force")
                    self.assertFalse((self.dir / "out.bin").exists())
                    if what == "removed":
                        self.assertFalse(Path(file).exists())
                    self.assertEqual(self.leftovers(), [])
                    for name in ("data.bin", "new.tmp"):
                        (self.dir / name).unlink(missing_ok=True)

    def test_force_saves_what_the_session_read(self):
        for what, change, saved in self.CHANGES:
            for target in (["--in-place"], ["--output", "out.bin"]):
                with self.subTest(change=what, target=target[0]):
                    result, file, data = self.apply_while_changing(change, *target, "--force", "-q")
                    self.assertOk(result)
                    written = Path(file) if target[0] == "--in-place" else self.dir / "out.bin"
                    self.assertEqual(written.read_bytes(), b"x" + saved(data))
                    self.assertEqual(self.leftovers(), [])
                    for name in ("data.bin", "new.tmp", "out.bin"):
                        (self.dir / name).unlink(missing_ok=True)


# ---- Ctrl-C and the progress bar -------------------------------------------------------------------


class InterruptTests(ToolTest):
    def test_ctrl_c_while_reading_the_script_writes_nothing(self):
        # The script comes through a named pipe: once the program has opened
        # it, its handlers are in place; the signal then arrives before the
        # first operation, which makes a checkpoint directory and a checkpoint,
        # or while the program still waits for the script, which then ends
        # the wait (and this writer finds the pipe closed).
        data = sample_bytes(8 * MiB, 8)
        file = self.write("data.bin", data)
        fifo = self.dir / "edits.fifo"
        os.mkfifo(fifo)
        before = self.listing()
        for target in (["--in-place"], ["--output", self.dir / "out.bin"]):
            with self.subTest(target=target):
                process = subprocess.Popen([PROGRAM, "apply", file, fifo, *map(str, target)],
                                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
                try:
                    with open(fifo, "w") as script:  # returns once the program has opened the pipe
                        process.send_signal(signal.SIGINT)
                        script.write('checkpoint\ninsert 0 "x"\nupper 0 end\n')
                except BrokenPipeError:
                    pass
                stdout, stderr = process.communicate(timeout=600)
                self.assertEqual(process.returncode, 130, stderr)
                self.assertEqual((stdout, stderr), (b"", b"vanto-edit: interrupted; nothing was written\n"))
                self.assertTrue(Path(file).read_bytes() == data)
                self.assertEqual(self.listing(), before)


    def wait_until_waiting(self, process):
        """Returns once `process` waits in the kernel for a pipe (or after 10 s)."""
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline and process.poll() is None:
            try:
                wchan = Path(f"/proc/{process.pid}/wchan").read_text()
            except OSError:
                wchan = ""
            if any(word in wchan for word in ("pipe", "fifo", "partner")):
                return
            time.sleep(0.01)

    def test_a_wait_for_a_pipe_ends_on_a_signal(self):
        # Blocked opening a script pipe nobody writes to, and blocked writing
        # a message to a full standard error: one signal ends the first, a
        # second one ends anything.
        file = self.write("data.bin", b"0123456789")
        os.mkfifo(self.dir / "edits.fifo")
        before = self.listing()
        cases = [  # (script, signals, standard error full)
            (self.dir / "edits.fifo", [signal.SIGINT], False),
            (self.dir / "edits.fifo", [signal.SIGTERM], False),
            (self.dir / "missing.txt", [signal.SIGINT, signal.SIGINT], True),
            (self.dir / "missing.txt", [signal.SIGTERM, signal.SIGHUP], True),
        ]
        for script, signals, full in cases:
            with self.subTest(script=script.name, signals=signals):
                reader, writer = os.pipe()
                try:
                    if full:
                        os.set_blocking(writer, False)
                        try:
                            while os.write(writer, b"x" * 4096):
                                pass
                        except BlockingIOError:
                            pass
                        os.set_blocking(writer, True)
                    process = subprocess.Popen([PROGRAM, "apply", file, script, "--output", self.dir / "out.bin"],
                                               stdout=subprocess.DEVNULL, stderr=writer)
                    self.wait_until_waiting(process)
                    for number in signals:
                        time.sleep(0.1)
                        process.send_signal(number)
                    try:
                        status = process.wait(timeout=10)
                    except subprocess.TimeoutExpired:
                        process.kill()
                        process.wait()
                        self.fail("the program did not end on the signal")
                    self.assertEqual(status, 130)
                    if not full:
                        os.close(writer)
                        writer = -1
                        self.assertEqual(os.read(reader, 4096), b"vanto-edit: interrupted; nothing was written\n")
                finally:
                    os.close(reader)
                    if writer >= 0:
                        os.close(writer)
                self.assertEqual(self.listing(), before)


class ProgressTests(ToolTest):
    def run_on_terminal(self, *args):
        """Runs the program with its standard error on a pseudo terminal; returns status and what it showed."""
        leader, follower = pty.openpty()
        try:
            process = subprocess.Popen([PROGRAM, *map(str, args)], stdout=subprocess.DEVNULL, stderr=follower)
            os.close(follower)
            shown = b""
            while True:
                ready, _, _ = select.select([leader], [], [], 600)
                if not ready:
                    break
                try:
                    chunk = os.read(leader, 65536)
                except OSError:  # the terminal closes with the process
                    break
                if not chunk:
                    break
                shown += chunk
            return process.wait(timeout=600), shown
        finally:
            os.close(leader)

    def test_progress_bar_on_a_terminal_only(self):
        file = self.write("data.bin", sample_bytes(64 * MiB, 9))
        status, shown = self.run_on_terminal("profile", file, "--json")
        self.assertEqual(status, 0)
        self.assertRegex(shown, rb"profiling \[[#-]+\] +\d+%  [\d.]+ [KMG]?i?B/s")
        self.assertTrue(shown.endswith(b"\r\x1b[K"), shown[-40:])  # the bar is gone at the end
        status, shown = self.run_on_terminal("profile", file, "--json", "--quiet")
        self.assertEqual((status, shown), (0, b""))
        piped = self.run_tool("profile", file, "--json")
        self.assertOk(piped)
        self.assertEqual(piped.stderr, b"")


if __name__ == "__main__":
    unittest.main()
