#!/usr/bin/env python3
"""What the Python package costs above the C calls it makes.

    benchmarks/python_overhead.py [--build DIR] [--repeat N]

Builds the library and bench_python_baseline in DIR (default build/bench,
Release), writes a 256 MiB file of lower-case letters holding 10^5
occurrences of "NEEDLE42", and times the same work through the C API
(bench_python_baseline, Google Benchmark) and through vanto_edit:
  - a one-byte insert and delete at one offset, per edit;
  - 1 MiB read at offsets stepping through the file: s[a:b] and readinto;
  - every non-overlapping occurrence: list(s.finditer(...)) against the
    next_match loop.
Python figures are the median of N rounds (C: of 3 repetitions); the table gives the ratios the
package is meant to stay within.
"""
from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
SIZE = 256 << 20
MATCHES = 100_000
PATTERN = b"NEEDLE42"
READ = 1 << 20


def build(directory: Path) -> None:
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(directory), "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", "-DVANTO_BUILD_BENCHMARKS=ON",
                    "-DVANTO_BUILD_TESTS=OFF", "-DVANTO_BUILD_EXAMPLES=OFF", "-DVANTO_BUILD_TOOLS=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(directory), "--parallel", os.environ.get("VANTO_JOBS", "2"),
                    "--target", "vanto_edit", "bench_python_baseline"], check=True,
                   stdout=subprocess.DEVNULL)


def write_sample(path: Path) -> None:
    import random
    rng = random.Random(7)
    letters = bytes(range(ord("a"), ord("z") + 1))
    block = bytes(rng.choice(letters) for _ in range(1 << 16))
    data = bytearray(block * (SIZE // len(block)))
    stride = SIZE // MATCHES
    for i in range(MATCHES):
        at = i * stride + (i * 97) % (stride - len(PATTERN))
        data[at:at + len(PATTERN)] = PATTERN
    path.write_bytes(data)


def c_figures(bench: Path, sample: Path) -> dict:
    env = dict(os.environ, VANTO_PY_BENCH_FILE=str(sample), VANTO_PY_BENCH_PATTERN=PATTERN.decode())
    out = subprocess.run([str(bench), "--benchmark_format=json", "--benchmark_repetitions=3",
                          "--benchmark_report_aggregates_only=true"],
                         env=env, check=True, capture_output=True, text=True).stdout
    figures = {}
    for entry in json.loads(out)["benchmarks"]:
        if entry.get("aggregate_name") != "median":
            continue
        name = entry["run_name"].split("/")[0]
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[entry["time_unit"]]
        figures[name] = entry["real_time"] * scale
        if name == "BM_InsertDelete":
            figures[name] /= 2  # two edits per iteration
        if "matches" in entry:
            figures["matches"] = entry["matches"]
    return figures


def best(function, rounds: int) -> float:
    """The median time of `rounds` runs (the C side reports medians too)."""
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return sorted(times)[len(times) // 2]


def python_figures(sample: Path, rounds: int) -> dict:
    import vanto_edit
    figures = {}
    with vanto_edit.Session(sample) as s:
        edits = 200_000
        insert, delete = s.insert, s.delete

        def edit_loop() -> None:
            for _ in range(edits // 2):
                insert(4096, b"i")
                delete(4096, 1)
        figures["edit"] = best(edit_loop, rounds) / edits

        span = len(s) - READ
        reads = 300

        def offsets():
            offset = 0
            for _ in range(reads):
                offset = (offset + 7 * READ + 4093) % span
                yield offset

        def slice_loop() -> None:
            for offset in offsets():
                s[offset:offset + READ]
        figures["slice"] = best(slice_loop, rounds) / reads
        buffer = bytearray(READ)

        def readinto_loop() -> None:
            for offset in offsets():
                s.readinto(offset, buffer)
        figures["readinto"] = best(readinto_loop, rounds) / reads

        found = []

        def search() -> None:
            found[:] = list(s.finditer(PATTERN))
        figures["finditer"] = best(search, max(2, rounds // 2))
        figures["matches"] = len(found)
    return figures


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", type=Path, default=ROOT / "build" / "bench")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-build", action="store_true", help="use the build tree as it is")
    args = parser.parse_args()
    if not args.no_build:
        build(args.build)
    library = args.build / "core" / "libvanto_edit.so"
    os.environ["VANTO_EDIT_LIBRARY"] = str(library)
    sys.path.insert(0, str(ROOT / "python"))

    with tempfile.TemporaryDirectory(prefix="vanto-py-bench-") as directory:
        sample = Path(directory) / "sample.bin"
        write_sample(sample)
        c = c_figures(args.build / "benchmarks" / "bench_python_baseline", sample)
        py = python_figures(sample, args.repeat)

    if c.get("matches") != py["matches"]:
        print(f"match counts differ: C {c.get('matches')}, Python {py['matches']}", file=sys.stderr)
        return 1
    rows = [
        ("small edit (insert/delete 1 byte)", c["BM_InsertDelete"], py["edit"], "us",
         f"+{(py['edit'] - c['BM_InsertDelete']) * 1e6:.2f} us", "<= +3 us"),
        ("s[a:b], 1 MiB", c["BM_Read1MiB"], py["slice"], "us",
         f"{py['slice'] / c['BM_Read1MiB']:.2f}x", "<= 1.5x"),
        ("readinto, 1 MiB", c["BM_Read1MiB"], py["readinto"], "us",
         f"{py['readinto'] / c['BM_Read1MiB']:.2f}x", "<= 1.2x"),
        (f"finditer, 256 MiB, {py['matches']} matches", c["BM_SearchLoop"], py["finditer"], "ms",
         f"{c['BM_SearchLoop'] / py['finditer']:.2f}x speed", ">= 0.5x"),
    ]
    print(f"{'':44} {'C':>10} {'Python':>10}  {'result':>14}  target")
    for name, c_time, py_time, unit, result, target in rows:
        scale = 1e6 if unit == "us" else 1e3
        print(f"{name:44} {c_time * scale:8.2f}{unit} {py_time * scale:8.2f}{unit}  {result:>14}  {target}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
