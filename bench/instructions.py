"""Instructions per native update, counted exactly with callgrind (not a timed benchmark).

Runs each case of bench/cpp/bench_instructions.cpp under ``valgrind --tool=callgrind``
with collection switched on only inside the measured call (the grey conversion of a colour
frame plus the engine or MultiTracker update, as the Python binding runs them; OpenCV on one
thread), and prints instructions per update, or for ``lock640c`` the instructions of the
first lock on a colour frame in a fresh process. With ``--alloc`` the cases also run once
natively with the counting interposer of bench/alloc_count preloaded and report heap
allocations per update after warm-up.

Build the bench first:
    cmake -S . -B build/bench -G Ninja -DMOLVANE_BUILD_PYTHON=OFF -DMOLVANE_BUILD_BENCH=ON
    cmake --build build/bench --target bench_instructions

Usage: python bench/instructions.py [--bench build/bench/bench_instructions] [--cases a,b]
       [--updates N] [--alloc]
"""

from __future__ import annotations

import argparse
import os
import re
import subprocess
import sys
import tempfile
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent

CASES = {
    "dot640c": "640x480 BGR, 10x10 target, Tracker",
    "dot640g": "640x480 grey, 10x10 target, Tracker",
    "dot1280c": "1280x720 BGR, 10x10 target, Tracker",
    "plane1280c": "1280x720 BGR, 40x30 target, Tracker",
    "multi640g8": "640x480 grey, 8 targets, one MultiTracker",
    "trackers640g8": "640x480 grey, 8 targets, 8 Trackers",
    "multi1280c8": "1280x720 BGR, 8 targets, one MultiTracker",
    "lock640c": "640x480 BGR, first lock (fresh process)",
}


def count_instructions(bench: Path, case: str, updates: int) -> tuple[float, int]:
    function = "measuredLock" if case == "lock640c" else "measuredUpdate"
    with tempfile.TemporaryDirectory() as tmp:
        out = Path(tmp) / "callgrind.out"
        run = subprocess.run(
            [
                "valgrind",
                "--tool=callgrind",
                f"--callgrind-out-file={out}",
                "--collect-atstart=no",
                f"--toggle-collect=*{function}*",
                str(bench),
                case,
                str(updates),
            ],
            capture_output=True,
            text=True,
            check=True,
            env={**os.environ, "OPENCV_FOR_THREADS_NUM": "1"},
        )
        calls = int(re.search(r"^calls (\d+)$", run.stdout, re.M).group(1))
        text = out.read_text()
        total = re.search(r"^(?:summary|totals): (\d+)", text, re.M)
        return int(total.group(1)) / calls, calls


def count_allocations(bench: Path, case: str, updates: int, interposer: Path) -> float | None:
    run = subprocess.run(
        [str(bench), case, str(updates)],
        capture_output=True,
        text=True,
        check=True,
        env={**os.environ, "LD_PRELOAD": str(interposer)},
    )
    m = re.search(r"^allocs/update ([\d.]+)$", run.stdout, re.M)
    return float(m.group(1)) if m else None


def build_interposer(tmp: Path) -> Path:
    lib = tmp / "alloc_count.so"
    subprocess.run(
        [
            "cc",
            "-O2",
            "-shared",
            "-fPIC",
            "-o",
            str(lib),
            str(ROOT / "bench" / "alloc_count" / "alloc_count.c"),
            "-ldl",
        ],
        check=True,
    )
    return lib


def main() -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--bench", type=Path, default=ROOT / "build" / "bench" / "bench_instructions")
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--updates", type=int, default=60)
    ap.add_argument("--alloc", action="store_true", help="also count heap allocations per update")
    args = ap.parse_args()
    if not args.bench.exists():
        print(f"no bench binary at {args.bench} (see --help)", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as tmp:
        interposer = build_interposer(Path(tmp)) if args.alloc else None
        print(f"{'case':<14} {'instructions':>14}  {'allocs':>7}  what")
        for case in args.cases.split(","):
            per, _ = count_instructions(args.bench, case, args.updates)
            allocs = ""
            if interposer and case != "lock640c":
                a = count_allocations(args.bench, case, args.updates, interposer)
                allocs = f"{a:.2f}" if a is not None else "?"
            unit = "/lock" if case == "lock640c" else "/update"
            print(f"{case:<14} {per / 1e6:>10.3f} M{unit:<8} {allocs:>7}  {CASES.get(case, '')}", flush=True)
    return 0


if __name__ == "__main__":
    sys.exit(main())
