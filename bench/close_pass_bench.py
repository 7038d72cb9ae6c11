"""Close-pass benchmark: are both targets re-found, each on its own object, after two
near-identical drones pass close to each other?

Scenes: two 10 px drones meet at the frame centre at a chosen crossing angle, closest
distance and speed ratio (a grid of passes), plus the named multi-target scenes
(crossing pair, close pass, flock, merge and split) with their recommended
profile, plus scene kinds of varied seed (--kinds): side-by-side formations of look-alikes
and of clearly different shades, merge then split, a large and a small target passing,
crossings at 0-90 degrees, a hovering target passed by another, and the same crossings at
10, 30, 60 and 120 fps with the same motion per second (all from molvane_tools.scenes).
Trackers: MultiTracker and N independent OpenCV CSRT trackers.

The judging rules are the benchmark's own (bench/track_metrics.py), not the tracker's:
two true targets are apart when their centres are more than 20 px and more than 1.5 times
the larger box side from each other; a report is on another target's object when its
centre is within 20 px of that target's true centre and nearer it than its own.

Per scene and tracker:
- AUC, P@20: per-target success AUC and share of frames with centre error <= 20 px, over
  the frames the target is visible, averaged over targets (a report of "lost" scores 0);
- switches: identity switches, 5 frames settled on another target's truth;
- sep->conf: frames from separation (the first frame after which every pair of visible
  true targets is apart) to the latest target's re-confirmation on its own object (confirmed,
  not suppressed, overlapping its own truth more than any other); "-" when a target is
  never re-confirmed, "n/a" when the targets never come apart;
- wrong: frames after separation a target is reported confirmed on another's object;
- suppr: target-frames reported suppressed;
- held: the longest run (s) a target is reported suppressed while its true box is at least
  two box widths from every other one (scene kinds only).

Usage: python bench/close_pass_bench.py [--quick] [--named-only] [--grid-only] [--all-profiles]
       [--skip-csrt] [--json F]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys

os.environ.setdefault("OPENCV_FOR_THREADS_NUM", "1")
import cv2  # noqa: E402
import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "python")]
import track_metrics as tm  # noqa: E402
from molvane_tools.scenes import named  # noqa: E402
from molvane_tools.scenes.passes import kind_scenes, pass_scene  # noqa: E402
from molvane_tools.scenes.sky import Scene  # noqa: E402

import molvane as mv  # noqa: E402

DT = 1.0 / 30.0
ID_PERSIST = 5
NAMED = ("crossing_drones", "close_pass", "flock", "merge_split")


def int_box(b):
    x0, y0 = math.floor(b[0]), math.floor(b[1])
    x1, y1 = math.ceil(b[0] + b[2]), math.ceil(b[1] + b[3])
    return (int(x0), int(y0), max(int(x1 - x0), 1), max(int(y1 - y0), 1))


class MolvaneRun:
    def __init__(self, profile, dt=DT):
        self.name = f"molvane:{profile}"
        self.profile = profile
        self.dt = dt

    def init(self, image, seeds):
        self.t = mv.MultiTracker(self.profile)
        self.t.lock(image, seeds)

    def step(self, image):
        """Per target: (box or None when reported lost, confirmed-and-not-suppressed, suppressed)."""
        return [
            (
                None if r.lost else r.bbox(),
                r.state == "confirmed" and not r.suppressed and not r.prediction_only,
                bool(r.suppressed),
            )
            for r in self.t.update(image, self.dt)
        ]


class CsrtRun:
    name = "N x CSRT"

    def init(self, image, seeds):
        self.ts = []
        for b in seeds:
            t = cv2.TrackerCSRT_create()
            t.init(image, b)
            self.ts.append(t)

    def step(self, image):
        out = []
        for t in self.ts:
            ok, box = t.update(image)
            box = tuple(float(v) for v in box)
            good = bool(ok) and box[2] > 0 and box[3] > 0
            out.append((box if good else None, good, False))
        return out


def evaluate(scene: Scene, run) -> dict:
    frames = list(scene.frames())
    n = scene.n_targets
    run.init(frames[0].image, [int_box(b) for b in frames[0].boxes])
    rep = [run.step(f.image) for f in frames[1:]]
    T = len(rep)
    gts = np.array(
        [[f.boxes[k] if f.boxes[k] is not None else (np.nan,) * 4 for f in frames[1:]] for k in range(n)], np.float64
    )
    vis = np.array([[f.visible[k] and f.boxes[k] is not None for f in frames[1:]] for k in range(n)], bool)
    tracks = np.array([[r[k][0] if r[k][0] is not None else (np.nan,) * 4 for r in rep] for k in range(n)], np.float64)
    conf = np.array([[r[k][1] for r in rep] for k in range(n)], bool)
    aucs, p20s = [], []
    for k in range(n):
        v = vis[k]
        aucs.append(tm.success_auc(tm.iou(tracks[k][v], gts[k][v])))
        p20s.append(tm.precision_at(tm.center_error(tracks[k][v], gts[k][v]), 20.0))
    switches = tm.identity_switches(np.nan_to_num(tracks), np.nan_to_num(gts), vis, ID_PERSIST, exclusive=True)

    sep = tm.separation_frame(gts, vis)

    def owner(k, f):
        """Index of the true target the report of k overlaps most, -1 when none."""
        ov = [tm.iou(tracks[k, f], gts[g, f])[0] if vis[g, f] else 0.0 for g in range(n)]
        return int(np.argmax(ov)) if max(ov) > 0 else -1

    latency, wrong = None, 0
    if sep is not None:
        lat = []
        for k in range(n):
            hit = next((f for f in range(sep, T) if conf[k, f] and owner(k, f) == k), None)
            lat.append(None if hit is None else hit - sep)
            wrong += sum(
                1 for f in range(sep, T) if conf[k, f] and tm.on_other_target(tracks[k, f], k, gts[:, f], vis[:, f])
            )
        latency = None if any(x is None for x in lat) else max(lat)
    suppressed = int(sum(r[k][2] for r in rep for k in range(n)))
    held = 0
    for k in range(n):
        run = 0
        for f in range(T):
            apart = all(
                not vis[g, f]
                or float(tm.center_error(gts[k, f], gts[g, f])[0]) >= 2.0 * max(gts[k, f][2], gts[g, f][2])
                for g in range(n)
                if g != k
            )
            run = run + 1 if (rep[f][k][2] and apart and vis[k, f]) else 0
            held = max(held, run)
    return {
        "auc": float(np.mean(aucs)),
        "p20": float(np.mean(p20s)),
        "switches": switches,
        "sep": sep,
        "latency": latency,
        "wrong": wrong,
        "suppressed": suppressed,
        "held": held / scene.fps,
        "fps": scene.fps,
    }


def fmt_latency(res) -> str:
    if res["sep"] is None:
        return "n/a"
    return "-" if res["latency"] is None else f"{res['latency'] / res['fps']:.2f}s"


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a smaller pass grid")
    ap.add_argument("--named-only", action="store_true")
    ap.add_argument("--grid-only", action="store_true")
    ap.add_argument("--skip-csrt", action="store_true")
    ap.add_argument("--kinds", type=int, default=0, metavar="SEEDS", help="add the scene kinds for this many seeds")
    ap.add_argument("--kinds-only", action="store_true", help="only the scene kinds")
    ap.add_argument("--profiles", default="default,close-pass", help="profiles of the scene kinds")
    ap.add_argument(
        "--all-profiles",
        action="store_true",
        help="run each named scene under every profile it recommends, not just the first",
    )
    ap.add_argument("--frames", type=int, default=240, help="frames of the named scenes")
    ap.add_argument("--json", help="write the results here")
    args = ap.parse_args(argv)
    cv2.setNumThreads(1)

    scenes = []
    if args.kinds_only:
        args.named_only = args.grid_only = True
        args.kinds = args.kinds or 3
    kinds = []
    for seed in range(1, args.kinds + 1):
        for sc, _fps in kind_scenes(seed):
            for profile in args.profiles.split(","):
                kinds.append(sc.name)
                scenes.append((sc.name, sc, profile))
    if not args.grid_only:
        for name in NAMED:
            sc = named.make_scene(name, args.frames)
            for profile in sc.profiles if args.all_profiles else sc.profiles[:1]:
                scenes.append((name, sc, profile))
    if not args.named_only:
        angles = (10, 45, 90) if args.quick else (10, 30, 60, 90)
        dists = (0, 20) if args.quick else (0, 10, 20, 30)
        ratios = (1.0, 0.6)
        for ang in angles:
            for d in dists:
                for r in ratios:
                    sc = pass_scene(ang, d, r)
                    scenes.append((sc.name, sc, "close-pass"))

    print(
        f"{'scene':<22} {'tracker':<20} {'AUC':>5} {'P@20':>5} {'switch':>6} {'sep->conf':>9} "
        f"{'wrong':>5} {'suppr':>5} {'held':>5}"
    )
    results = {}
    for name, sc, profile in scenes:
        seen = any(t == "N x CSRT" for t in results.get(name, {}))
        runs = [MolvaneRun(profile, 1.0 / sc.fps)] + ([] if args.skip_csrt or seen else [CsrtRun()])
        for run in runs:
            res = evaluate(sc, run)
            results.setdefault(name, {})[run.name] = res
            print(
                f"{name:<22} {run.name[:20]:<20} {res['auc']:>5.2f} {res['p20']:>5.2f} {res['switches']:>6} "
                f"{fmt_latency(res):>9} {res['wrong']:>5} {res['suppressed']:>5} {res['held']:>5.2f}",
                flush=True,
            )

    kind_of = {k: k.split(" ")[0].rstrip("0123456789") for k in kinds}
    groups = [
        ("named scenes", sorted({s[0] for s in scenes if s[0] in NAMED})),
        ("pass grid", [s[0] for s in scenes if s[0] not in NAMED and s[0] not in kind_of]),
    ]
    for kind in dict.fromkeys(kind_of.values()):
        groups.append((kind, sorted({k for k in kinds if kind_of[k] == kind})))
    groups.append(("all kinds", sorted(set(kinds))))
    for label, keys in groups:
        if not keys:
            continue
        for tracker in ("molvane", "N x CSRT"):
            rows = [r for k in keys for t, r in results[k].items() if t.split(":")[0] == tracker]
            if not rows:
                continue
            lats = [r["latency"] for r in rows if r["sep"] is not None]
            never = sum(1 for x in lats if x is None)
            fps = [r["fps"] for r in rows if r["sep"] is not None]
            late = sum(1 for x, f in zip(lats, fps) if x is not None and x / f > 0.33)
            print(
                f"{label[:17] + ' mean':<22} {tracker:<20} {np.mean([r['auc'] for r in rows]):>5.2f} "
                f"{np.mean([r['p20'] for r in rows]):>5.2f} {sum(r['switches'] for r in rows):>6} "
                f"{f'{never}nv/{late}>.33':>9} {sum(r['wrong'] for r in rows):>5} "
                f"{sum(r['suppressed'] for r in rows):>5} {max(r['held'] for r in rows):>5.2f}"
            )
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(results, fh, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
