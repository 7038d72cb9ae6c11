"""Multi-target benchmark: cost per frame and identity keeping.

1. Cost: per-frame time of MultiTracker.update with N = 1, 2, 4, 8 well separated targets on
   640x480 frames, against one Tracker.update per target (N independent single trackers)
   and N independent OpenCV CSRT and KCF trackers. Frames are rendered before timing. A
   second table repeats the molvane rows on grey frames, where no tracker converts colour.
2. Identity: on the crossing pair, the close pass, the flock of four and the merge-split
   scenes of molvane_tools.scenes.named, identity switches (a track whose best-overlapping ground-truth
   target changes), "duplicate" frames (two tracks reporting the same visible target while
   the other target is visible elsewhere), frames a target is reported at all, and the
   frames in which MultiTracker reported a target suppressed.

A molvane target counts as reported when its result is neither lost, suppressed nor
prediction-only; an OpenCV tracker when its update returns ok.

Usage: python bench/multi_bench.py [--frames N] [--repeat R] [--skip-opencv]
"""

from __future__ import annotations

import argparse
import math
import os
import sys
import time

import cv2
import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "python")]
import track_metrics as tm  # noqa: E402
from molvane_tools.scenes import named  # noqa: E402
from molvane_tools.scenes.passes import grid_scene  # noqa: E402

import molvane as mv  # noqa: E402

DT = 1.0 / 30.0
OPENCV = {"CSRT": lambda: cv2.TrackerCSRT_create(), "KCF": lambda: cv2.TrackerKCF_create()}
IDENTITY_SCENES = ("crossing_drones", "close_pass", "flock", "merge_split")


def int_box(b):
    x0, y0 = math.floor(b[0]), math.floor(b[1])
    x1, y1 = math.ceil(b[0] + b[2]), math.ceil(b[1] + b[3])
    return (int(x0), int(y0), max(int(x1 - x0), 1), max(int(y1 - y0), 1))


def render_all(scene):
    frames = list(scene.frames())
    return [f.image for f in frames], [f.boxes for f in frames], [f.visible for f in frames]


def time_loop(fn, frames) -> tuple[float, float]:
    """Median milliseconds per frame of fn(frame) over the frames after the first, and the
    share of target-frames fn reported as seen (fn returns one bool per target)."""
    times, seen = [], []
    for f in frames[1:]:
        t0 = time.perf_counter()
        flags = fn(f)
        times.append(time.perf_counter() - t0)
        seen.extend(flags)
    return 1000.0 * float(np.median(times)), float(np.mean(seen))


def molvane_seen(results):
    return [not (r.lost or r.suppressed or r.prediction_only) for r in results]


def bench_cost(n_frames: int, repeat: int, opencv: bool, grey: bool = False) -> None:
    scene = grid_scene(n_frames)
    images, boxes, _ = render_all(scene)
    if grey:
        # Without the colour conversion, which every single Tracker repeats for itself.
        images = [cv2.cvtColor(im, cv2.COLOR_BGR2GRAY) for im in images]
        opencv = False
    first = [int_box(b) for b in boxes[0]]
    print(
        f"\nCost per frame, 640x480 {'grey' if grey else 'colour'}, {n_frames} frames: median ms per frame "
        f"(share of target-frames reported as tracked)"
    )
    names = ["MultiTracker", "N x Tracker"] + ([f"N x {k}" for k in OPENCV] if opencv else [])
    print(f"{'N':>3} " + " ".join(f"{n:>19}" for n in names))
    for n in (1, 2, 4, 8):
        seeds = first[:n]
        row = []

        def multi_run(seeds=seeds):
            mt = mv.MultiTracker()
            mt.lock(images[0], seeds)
            return time_loop(lambda f: molvane_seen(mt.update(f, DT)), images)

        def single_run(seeds=seeds):
            ts = [mv.Tracker() for _ in seeds]
            for t, b in zip(ts, seeds):
                t.lock(images[0], bbox=b)
            return time_loop(lambda f: molvane_seen([t.update(f, DT) for t in ts]), images)

        row.append(min(multi_run() for _ in range(repeat)))
        row.append(min(single_run() for _ in range(repeat)))
        if opencv:
            for make in OPENCV.values():
                ts = [make() for _ in seeds]
                for t, b in zip(ts, seeds):
                    t.init(images[0], b)
                row.append(time_loop(lambda f, ts=ts: [bool(t.update(f)[0]) for t in ts], images))
        print(f"{n:>3} " + " ".join(f"{ms:>11.2f} ({seen:>4.2f})" for ms, seen in row))


class MolvaneRun:
    name = "MultiTracker"

    def __init__(self, image, seeds):
        self.t = mv.MultiTracker()
        self.t.lock(image, seeds)
        self.suppressed = 0

    def step(self, image):
        out = []
        for r in self.t.update(image, DT):
            self.suppressed += bool(r.suppressed)
            seen = not (r.lost or r.suppressed or r.prediction_only)
            out.append(r.bbox() if seen else None)
        return out


class OpenCVRun:
    def __init__(self, kind, image, seeds):
        self.name = kind
        self.ts = []
        for b in seeds:
            t = OPENCV[kind]()
            t.init(image, b)
            self.ts.append(t)
        self.suppressed = 0

    def step(self, image):
        out = []
        for t in self.ts:
            ok, box = t.update(image)
            out.append(tuple(float(v) for v in box) if ok and box[2] > 0 and box[3] > 0 else None)
        return out


def identity_row(scene_name: str, n_frames: int, runs_for) -> None:
    scene = named.make_scene(scene_name, n_frames)
    images, gt, vis = render_all(scene)
    seeds = [int_box(b) for b in gt[0]]
    n = len(seeds)
    gts = np.array(
        [[b if b is not None else (0, 0, 0, 0) for b in (gt[i][k] for i in range(1, n_frames))] for k in range(n)],
        np.float64,
    )
    visible = np.array([[vis[i][k] for i in range(1, n_frames)] for k in range(n)], bool)  # (targets, frames)
    for run in runs_for(images[0], seeds):
        reported = []
        t0 = time.perf_counter()
        for image in images[1:]:
            reported.append(run.step(image))
        ms = 1000.0 * (time.perf_counter() - t0) / (n_frames - 1)
        tracks = np.array(
            [[r[k] if r[k] is not None else (0, 0, 0, 0) for r in reported] for k in range(n)], np.float64
        )
        switches = tm.identity_switches(tracks, gts, visible)
        duplicates = 0
        for f, r in enumerate(reported):
            matched = []
            for k in range(n):
                if r[k] is None:
                    continue
                ious = [tm.iou(tracks[k, f], gts[g, f])[0] if visible[g, f] else 0.0 for g in range(n)]
                if max(ious) > 0:
                    matched.append(int(np.argmax(ious)))
            if len(matched) != len(set(matched)):
                # only a duplicate when the ground-truth targets themselves are apart
                g = max(set(matched), key=matched.count)
                others = [h for h in range(n) if h != g and visible[h, f]]
                if any(tm.iou(gts[g, f], gts[h, f])[0] < 0.1 for h in others):
                    duplicates += 1
        coverage = float(np.mean([[r[k] is not None for k in range(n)] for r in reported]))
        print(
            f"{scene_name:<16} {run.name:<13} {switches:>8} {duplicates:>10} {coverage:>9.2f} "
            f"{run.suppressed:>10} {ms:>8.2f}"
        )


def bench_identity(n_frames: int, opencv: bool) -> None:
    print(f"\nIdentity, {n_frames} frames per scene")
    print(
        f"{'scene':<16} {'tracker':<13} {'switches':>8} {'duplicates':>10} {'reported':>9} "
        f"{'suppressed':>10} {'ms/frame':>8}"
    )

    def runs(image, seeds):
        yield MolvaneRun(image, seeds)
        if opencv:
            for kind in OPENCV:
                yield OpenCVRun(kind, image, seeds)

    for name in IDENTITY_SCENES:
        identity_row(name, n_frames, runs)


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=120)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--skip-opencv", action="store_true")
    args = ap.parse_args(argv)
    cv2.setNumThreads(1)
    bench_cost(args.frames, args.repeat, not args.skip_opencv)
    bench_cost(args.frames, args.repeat, False, grey=True)
    bench_identity(args.frames, not args.skip_opencv)
    return 0


if __name__ == "__main__":
    sys.exit(main())
