"""Per-frame cost of the single-target tracker against OpenCV's CSRT, KCF and MedianFlow.

Scenes (molvane_tools.scenes.cost: vertical gradient, faint static cloud texture, sensor noise):

- ``dot640g``   640x480 grey, a soft dark 10x10 target drifting a few px per frame
- ``dot640c``   the same scene in BGR
- ``dot1280c``  1280x720 BGR, the same target and drift
- ``plane1280c`` 1280x720 BGR, a 120x50 aircraft silhouette drifting across
- ``lost640c``  640x480 BGR: the 10x10 target is tracked for a few frames, then removed
  for a while (the tracker goes through its wide, full and sky searches), then the
  episode starts over with a fresh lock. Times are split by the tracker's miss count.

Each tracker plays every scene on its own, one tracker after the other, on the same
freshly generated frames (generation is outside the timed region; interleaving the trackers
frame by frame would let each one run with caches the others just filled).
``molvane.Tracker.update`` runs with the default profile and a fixed frame interval;
the OpenCV trackers get the BGR frame (grey scenes are
converted outside the timed call). Only the update call is timed: wall time with
``time.perf_counter`` and CPU time of the calling thread with ``time.thread_time`` (the
latter does not count time the scheduler gives to other processes on a busy machine).
OpenCV, in cv2 and in molvane, runs on one thread. A bare ``cv2.cvtColor`` BGR->grey of
each frame size is timed too, since that is what a colour frame costs molvane before any
tracking work.

Heap allocations per molvane update (the binding's result object included) are reported
when the process runs with the counting interposer of bench/alloc_count preloaded:
    cc -O2 -shared -fPIC -o /tmp/alloc_count.so bench/alloc_count/alloc_count.c -ldl
    LD_PRELOAD=/tmp/alloc_count.so python bench/single_bench.py ...

Usage: python bench/single_bench.py [--frames N] [--scenes a,b] [--trackers x,y] [--json out.json]
(molvane is imported from PYTHONPATH, so a build directory can be chosen there).
"""

from __future__ import annotations

import argparse
import ctypes
import json
import os
import platform
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field

# One worker thread for the OpenCV inside molvane as well as for cv2; must be set before
# either library starts its thread pool.
os.environ.setdefault("OPENCV_FOR_THREADS_NUM", "1")

import cv2  # noqa: E402
import numpy as np  # noqa: E402

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
from molvane_tools.scenes.cost import TIMING_SCENES as SCENES  # noqa: E402
from molvane_tools.scenes.cost import TimingScene as Scene  # noqa: E402

FPS = 30.0
DT = 1.0 / FPS

OPENCV_TRACKERS: dict[str, Callable[[], object]] = {
    "CSRT": lambda: cv2.TrackerCSRT_create(),
    "KCF": lambda: cv2.TrackerKCF_create(),
    "MedianFlow": lambda: cv2.legacy.TrackerMedianFlow_create(),
}

# Targets of the single-target engine (milliseconds).
TARGET_DOT_MEDIAN_MS = 0.3
TARGET_DOT_P95_MS = 1.0
TARGET_PLANE_MEDIAN_MS = 3.0


# --------------------------------------------------------------------------------------
# timing


def allocation_counter() -> Callable[[], int] | None:
    """The preloaded interposer's counter, or None when it is not loaded."""
    try:
        fn = ctypes.CDLL(None).alloc_count_total
    except (AttributeError, OSError):
        return None
    fn.restype = ctypes.c_ulonglong
    fn.argtypes = []
    return fn


@dataclass
class Timings:
    wall: list = field(default_factory=list)  # seconds
    cpu: list = field(default_factory=list)
    allocs: list = field(default_factory=list)

    def add(self, wall: float, cpu: float, allocs: int | None = None) -> None:
        self.wall.append(wall)
        self.cpu.append(cpu)
        if allocs is not None:
            self.allocs.append(allocs)

    def summary(self) -> dict:
        out = {"n": len(self.wall)}
        for key, values in (("wall", self.wall), ("cpu", self.cpu)):
            if not values:
                continue
            a = np.asarray(values) * 1e3
            out[key] = {
                "median_ms": float(np.median(a)),
                "p95_ms": float(np.percentile(a, 95)),
                "max_ms": float(a.max()),
                "mean_ms": float(a.mean()),
            }
        if self.allocs:
            a = np.asarray(self.allocs, dtype=np.float64)
            out["allocs"] = {"mean": float(a.mean()), "median": float(np.median(a)), "max": int(a.max())}
        return out


def timed(fn, *args):
    c0 = time.thread_time()
    t0 = time.perf_counter()
    out = fn(*args)
    t1 = time.perf_counter()
    c1 = time.thread_time()
    return out, t1 - t0, c1 - c0


def lost_phase(misses: int) -> str:
    """Which search a default-profile update with this many misses after it ran."""
    if misses == 0:
        return "tracking"
    if misses <= 2:
        return "miss"
    if misses <= 7:
        return "wide"
    if misses == 8:
        return "full"
    return "sky"


def run_one(
    make: Callable[[], Scene], n: int, warmup: int, name: str, mv=None, count: Callable[[], int] | None = None
) -> dict:
    """Plays a fresh copy of the scene to one tracker ("molvane", an OpenCV tracker, or
    "cvtColor" for the bare grey conversion) and times each update."""
    scene = make()
    t_all = Timings()
    phases: dict[str, Timings] = {}
    found = 0
    tracker = None
    for i, img in scene.frames(n):
        if name == "cvtColor":
            if img.ndim == 3 and i > 0:
                _, w, c = timed(cv2.cvtColor, img, cv2.COLOR_BGR2GRAY)
                if i >= warmup:
                    t_all.add(w, c)
            continue
        frame = img
        if name != "molvane" and img.ndim == 2:
            frame = cv2.cvtColor(img, cv2.COLOR_GRAY2BGR)  # outside the timed call
        if scene.episode_start(i):
            box = scene.seed_box(i)
            if name == "molvane":
                tracker = mv.Tracker("default")
                tracker.lock(frame, box)
            else:
                tracker = OPENCV_TRACKERS[name]()
                tracker.init(frame, box)
            continue
        a0 = count() if count else 0
        if name == "molvane":
            r, w, c = timed(tracker.update, frame, DT)
            allocs = count() - a0 if count else None
            lost, misses = r.lost, r.misses
        else:
            (ok, _), w, c = timed(tracker.update, frame)
            allocs, lost, misses = None, not ok, 0
        if i >= warmup:
            t_all.add(w, c, allocs)
            found += 0 if lost else 1
            if scene.lost and name == "molvane":
                phases.setdefault(lost_phase(misses), Timings()).add(w, c, allocs)
    out = t_all.summary()
    out["found"] = found
    if phases:
        out["phases"] = {k: v.summary() for k, v in sorted(phases.items())}
    return out


def run_scene(
    mv, make: Callable[[], Scene], n: int, trackers: list[str], warmup: int, count: Callable[[], int] | None = None
) -> dict:
    """Every tracker plays the whole scene on its own (one after the other, each on the same
    freshly generated frames), so that none of them works with caches another one filled."""
    scene = make()
    m = run_one(make, n, warmup, "molvane", mv, count)
    out = {
        "scene": scene.name,
        "description": scene.description,
        "frames": n,
        "molvane": m,
        "found": m.pop("found"),
        "opencv": {t: run_one(make, n, warmup, t) for t in trackers},
    }
    if "phases" in m:
        out["phases"] = m.pop("phases")
    if scene.colour:
        out["cvtColor"] = run_one(make, n, warmup, "cvtColor")
    return out


# --------------------------------------------------------------------------------------
# report


def fmt(s: dict, key: str = "wall") -> str:
    if key not in s:
        return "-"
    d = s[key]
    return f"{d['median_ms']:7.3f} {d['p95_ms']:7.3f} {d['max_ms']:7.2f}"


def fmt_allocs(s: dict) -> str:
    if "allocs" not in s:
        return ""
    a = s["allocs"]
    return f"   allocations/update mean {a['mean']:.1f} max {a['max']}"


def ratio(a: dict, b: dict, key: str) -> str:
    try:
        return f"{a[key]['median_ms'] / b[key]['median_ms']:8.1f}x"
    except (KeyError, ZeroDivisionError):
        return "       -"


def report(results: list[dict], trackers: list[str]) -> None:
    print("\nper-frame update time, ms: median p95 max (wall | thread CPU)")
    for r in results:
        print(
            f"\n{r['scene']}: {r['description']}, {r['molvane']['n']} timed frames, "
            f"molvane found the target in {r['found']}"
        )
        print(f"  {'molvane':12s} {fmt(r['molvane'])} | {fmt(r['molvane'], 'cpu')}{fmt_allocs(r['molvane'])}")
        for name in trackers:
            s = r["opencv"][name]
            print(
                f"  {name:12s} {fmt(s)} | {fmt(s, 'cpu')}   "
                f"{name}/molvane wall {ratio(s, r['molvane'], 'wall')} cpu {ratio(s, r['molvane'], 'cpu')}"
            )
        if "cvtColor" in r:
            print(f"  {'cvtColor':12s} {fmt(r['cvtColor'])} | {fmt(r['cvtColor'], 'cpu')}")
        for phase, s in r.get("phases", {}).items():
            print(f"  lost/{phase:7s} n={s['n']:4d} {fmt(s)} | {fmt(s, 'cpu')}{fmt_allocs(s)}")

    by = {r["scene"]: r for r in results}
    print("\ntargets (CPU time; wall in brackets):")

    def med(r, key="cpu"):
        return r[key]["median_ms"]

    def p95(r, key="cpu"):
        return r[key]["p95_ms"]

    if "dot640c" in by:
        m = by["dot640c"]["molvane"]
        ok = med(m) <= TARGET_DOT_MEDIAN_MS and p95(m) <= TARGET_DOT_P95_MS
        print(
            f"  10x10 @640x480 BGR median {med(m):.3f} ({med(m, 'wall'):.3f}) <= {TARGET_DOT_MEDIAN_MS}, "
            f"p95 {p95(m):.3f} ({p95(m, 'wall'):.3f}) <= {TARGET_DOT_P95_MS}: {'met' if ok else 'MISSED'}"
        )
    if "dot640c" in by and "dot1280c" in by:
        extra = med(by["dot1280c"]["molvane"]) - med(by["dot640c"]["molvane"])
        conv = med(by["dot1280c"]["cvtColor"]) - med(by["dot640c"]["cvtColor"])
        print(
            f"  1280x720 over 640x480: +{extra:.3f} ms, extra grey conversion +{conv:.3f} ms: "
            f"{'met' if extra <= conv else 'MISSED'}"
        )
    if "plane1280c" in by:
        m = by["plane1280c"]["molvane"]
        print(
            f"  120x50 @1280x720 median {med(m):.3f} ({med(m, 'wall'):.3f}) <= {TARGET_PLANE_MEDIAN_MS}: "
            f"{'met' if med(m) <= TARGET_PLANE_MEDIAN_MS else 'MISSED'}"
        )
    if "lost640c" in by:
        for phase in ("wide", "full", "sky"):
            s = by["lost640c"].get("phases", {}).get(phase)
            if s:
                print(
                    f"  lost target, {phase} search: p95 {p95(s):.3f} ({p95(s, 'wall'):.3f}) "
                    f"max {s['cpu']['max_ms']:.3f} ({s['wall']['max_ms']:.3f}) ms"
                )


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--frames", type=int, default=300, help="frames per scene (default 300)")
    ap.add_argument("--warmup", type=int, default=10, help="untimed frames at the start of a scene")
    ap.add_argument("--scenes", default=",".join(SCENES), help="comma-separated scene names")
    ap.add_argument("--trackers", default=",".join(OPENCV_TRACKERS), help="OpenCV trackers to compare (empty for none)")
    ap.add_argument("--json", help="write the results there")
    args = ap.parse_args(argv)

    import molvane as mv

    cv2.setNumThreads(1)
    trackers = [t for t in args.trackers.split(",") if t]
    for t in trackers:
        if t not in OPENCV_TRACKERS:
            ap.error(f"unknown tracker {t!r}")
    names = [s for s in args.scenes.split(",") if s]
    for s in names:
        if s not in SCENES:
            ap.error(f"unknown scene {s!r}")
    count = allocation_counter()
    results = []
    for s in names:
        t0 = time.perf_counter()
        results.append(run_scene(mv, SCENES[s], args.frames, trackers, args.warmup, count))
        print(f"{s}: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
    report(results, trackers)
    if args.json:
        meta = {
            "molvane": getattr(mv, "__file__", "?"),
            "cv2": cv2.__version__,
            "python": platform.python_version(),
            "machine": platform.machine(),
            "loadavg": os.getloadavg(),
            "frames": args.frames,
        }
        with open(args.json, "w") as f:
            json.dump({"meta": meta, "results": results}, f, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
