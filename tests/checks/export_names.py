#!/usr/bin/env python3
"""Writes the names of the functions the public headers export, one C string
literal per line, for tests that must cover every export (test_misuse).

  export_names.py --include DIR --output FILE

The declarations are read by cmake/exports.py, the same reader that writes the
library's version script and checks its exports.
"""

import argparse
import pathlib
import sys

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "cmake"))
import exports  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument("--include", required=True)
    ap.add_argument("--output", required=True)
    args = ap.parse_args()
    _, declared_c, declared_cxx, _ = exports.read_declarations(args.include)
    names = sorted(set(declared_c) | set(declared_cxx))
    text = "// Written by tests/checks/export_names.py from the public headers.\n"
    text += "".join(f'"{name}",\n' for name in names)
    out = pathlib.Path(args.output)
    out.parent.mkdir(parents=True, exist_ok=True)
    if not out.exists() or out.read_text() != text:
        out.write_text(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
