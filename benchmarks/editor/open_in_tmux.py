#!/usr/bin/python3
"""Wall time from starting `vanto-edit FILE` to its first screen, on a
100 GiB sparse file, in a detached tmux server (polling capture-pane until
the status line shows the size).  The program is $VANTO_EDIT, or the one of
build/bench.

    benchmarks/editor/open_in_tmux.py [RUNS]
"""

import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
PROGRAM = os.environ.get("VANTO_EDIT", os.path.join(ROOT, "build", "bench", "tools", "vanto-edit"))
SIZE = 100 << 30


def main():
    runs = int(sys.argv[1]) if len(sys.argv) > 1 else 5
    directory = tempfile.mkdtemp(prefix="vanto-open-bench-")
    try:
        path = os.path.join(directory, "big.bin")
        with open(path, "wb") as f:
            f.truncate(SIZE)
        times = []
        for run in range(runs):
            socket = os.path.join(directory, f"tmux{run}")
            tmux = ["tmux", "-S", socket]
            subprocess.run([*tmux, "-f", "/dev/null", "new-session", "-d", "-x", "100", "-y", "40", "sleep 600"],
                           check=True)
            try:
                start = time.monotonic()
                subprocess.run([*tmux, "respawn-pane", "-k", f"'{PROGRAM}' '{path}'"], check=True)
                while f"{SIZE} bytes" not in subprocess.run([*tmux, "capture-pane", "-p"], capture_output=True,
                                                              text=True).stdout:
                    if time.monotonic() - start > 30:
                        raise SystemExit("no first screen within 30 s")
                times.append(time.monotonic() - start)
            finally:
                subprocess.run([*tmux, "kill-server"], capture_output=True)
        print(f"start to first screen, 100 GiB sparse file: median {statistics.median(times):.3f} s, "
              f"max {max(times):.3f} s over {runs} runs (tmux polling included)")
    finally:
        shutil.rmtree(directory, ignore_errors=True)


if __name__ == "__main__":
    main()
