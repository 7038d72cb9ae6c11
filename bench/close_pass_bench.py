"""Close-pass benchmark: are both targets re-found, each on its own object, after two
near-identical drones pass close to each other?

Scenes: two 10 px drones meet at the frame centre at a chosen crossing angle, closest
distance and speed ratio (a grid of passes), plus the named multi-target scenes of
sky_scenes.py (crossing pair, close pass, flock, merge and split) with their recommended
profile. Trackers: MultiTracker and N independent OpenCV CSRT trackers.

Per scene and tracker:
- AUC, P@20: per-target success AUC and share of frames with centre error <= 20 px, over
  the frames the target is visible, averaged over targets (a report of "lost" scores 0);
- switches: identity switches, 5 frames settled on another target's truth;
- sep->conf: frames from separation (the first frame after which no pair of true boxes
  interacts any more) to the latest target's re-confirmation on its own object (confirmed,
  not suppressed, overlapping its own truth more than any other); "-" when a target is
  never re-confirmed, "n/a" when the targets never come apart;
- wrong: frames after separation a target is reported confirmed on another's object;
- suppr: target-frames reported suppressed.

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

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import sky_scenes  # noqa: E402
import track_metrics as tm  # noqa: E402

import molvane as mv  # noqa: E402

DT = 1.0 / 30.0
ID_PERSIST = 5
NAMED = ("crossing_drones", "close_pass", "flock", "merge_split")
# the interaction test of the arbitration, applied to the true boxes
INTERACT_DISTANCE, INTERACT_SIZE_FACTOR, INTERACT_IOU = 18.0, 1.25, 0.4


def int_box(b):
    x0, y0 = math.floor(b[0]), math.floor(b[1])
    x1, y1 = math.ceil(b[0] + b[2]), math.ceil(b[1] + b[3])
    return (int(x0), int(y0), max(int(x1 - x0), 1), max(int(y1 - y0), 1))


def pass_scene(angle: float, closest: float, speed_ratio: float, half: int = 100, speed: float = 2.8,
               seed: int = 5) -> sky_scenes.Scene:
    """Two 10 px drones headed +-angle/2 off the x axis, nearest (``closest`` px apart) at the
    middle frame; the second flies at ``speed_ratio`` times the first one's speed."""
    n = 2 * half + 1
    i = np.arange(n, dtype=np.float64) - half
    a = math.radians(angle) / 2.0
    va = speed * np.array([math.cos(a), math.sin(a)])
    vb = speed * speed_ratio * np.array([math.cos(a), -math.sin(a)])
    rel = va - vb
    normal = np.array([-rel[1], rel[0]]) / max(np.hypot(*rel), 1e-9)
    c = np.array([320.0, 240.0])
    pa = c + 0.5 * closest * normal + i[:, None] * va
    pb = c - 0.5 * closest * normal + i[:, None] * vb
    ta = sky_scenes._target("quad", pa[:, 0], pa[:, 1], 10.0, np.zeros(n))
    tb = sky_scenes._target("quad", pb[:, 0], pb[:, 1], 10.0, np.zeros(n))
    name = f"pass a{angle:g} d{closest:g}" + ("" if speed_ratio == 1.0 else f" v{speed_ratio:g}")
    return sky_scenes.Scene(name, "two 10 px drones pass close", 640, 480, n, seed, [ta, tb],
                            ("close-pass",))


def interacts(a, b) -> bool:
    if tm.iou(a, b)[0] >= INTERACT_IOU:
        return True
    d = float(tm.center_error(a, b)[0])
    return d <= INTERACT_DISTANCE or d <= INTERACT_SIZE_FACTOR * max(4.0, a[2], a[3], b[2], b[3])


class MolvaneRun:
    def __init__(self, profile):
        self.name = f"molvane:{profile}"
        self.profile = profile

    def init(self, image, seeds):
        self.t = mv.MultiTracker(self.profile)
        self.t.lock(image, seeds)

    def step(self, image):
        """Per target: (box or None when reported lost, confirmed-and-not-suppressed, suppressed)."""
        return [(None if r.lost else r.bbox(), r.state == "confirmed" and not r.suppressed
                 and not r.prediction_only, bool(r.suppressed)) for r in self.t.update(image, DT)]


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


def evaluate(scene: sky_scenes.Scene, run) -> dict:
    frames = list(scene.frames())
    n = scene.n_targets
    run.init(frames[0].image, [int_box(b) for b in frames[0].boxes])
    rep = [run.step(f.image) for f in frames[1:]]
    T = len(rep)
    gts = np.array([[f.boxes[k] if f.boxes[k] is not None else (np.nan,) * 4 for f in frames[1:]]
                    for k in range(n)], np.float64)
    vis = np.array([[f.visible[k] and f.boxes[k] is not None for f in frames[1:]] for k in range(n)], bool)
    tracks = np.array([[r[k][0] if r[k][0] is not None else (np.nan,) * 4 for r in rep] for k in range(n)],
                      np.float64)
    conf = np.array([[r[k][1] for r in rep] for k in range(n)], bool)
    aucs, p20s = [], []
    for k in range(n):
        v = vis[k]
        aucs.append(tm.success_auc(tm.iou(tracks[k][v], gts[k][v])))
        p20s.append(tm.precision_at(tm.center_error(tracks[k][v], gts[k][v]), 20.0))
    switches = tm.identity_switches(np.nan_to_num(tracks), np.nan_to_num(gts), vis, ID_PERSIST, exclusive=True)

    # separation: the first frame after the last one in which any two true boxes interact
    last = -1
    for f in range(T):
        for a in range(n):
            for b in range(a + 1, n):
                if vis[a, f] and vis[b, f] and interacts(gts[a, f], gts[b, f]):
                    last = f
    sep = last + 1 if 0 <= last < T - 1 else None

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
            wrong += sum(1 for f in range(sep, T) if conf[k, f] and owner(k, f) not in (k, -1))
        latency = None if any(x is None for x in lat) else max(lat)
    suppressed = int(sum(r[k][2] for r in rep for k in range(n)))
    return {"auc": float(np.mean(aucs)), "p20": float(np.mean(p20s)), "switches": switches,
            "sep": sep, "latency": latency, "wrong": wrong, "suppressed": suppressed}


def fmt_latency(res) -> str:
    if res["sep"] is None:
        return "n/a"
    return "-" if res["latency"] is None else str(res["latency"])


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--quick", action="store_true", help="a smaller pass grid")
    ap.add_argument("--named-only", action="store_true")
    ap.add_argument("--grid-only", action="store_true")
    ap.add_argument("--skip-csrt", action="store_true")
    ap.add_argument("--all-profiles", action="store_true",
                    help="run each named scene under every profile it recommends, not just the first")
    ap.add_argument("--frames", type=int, default=240, help="frames of the named scenes")
    ap.add_argument("--json", help="write the results here")
    args = ap.parse_args(argv)
    cv2.setNumThreads(1)

    scenes = []
    if not args.grid_only:
        for name in NAMED:
            sc = sky_scenes.make_scene(name, args.frames)
            for profile in (sc.profiles if args.all_profiles else sc.profiles[:1]):
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

    print(f"{'scene':<22} {'tracker':<20} {'AUC':>5} {'P@20':>5} {'switch':>6} {'sep->conf':>9} "
          f"{'wrong':>5} {'suppr':>5}")
    results = {}
    for name, sc, profile in scenes:
        seen = any(t == "N x CSRT" for t in results.get(name, {}))
        runs = [MolvaneRun(profile)] + ([] if args.skip_csrt or seen else [CsrtRun()])
        for run in runs:
            res = evaluate(sc, run)
            results.setdefault(name, {})[run.name] = res
            print(f"{name:<22} {run.name[:20]:<20} {res['auc']:>5.2f} {res['p20']:>5.2f} {res['switches']:>6} "
                  f"{fmt_latency(res):>9} {res['wrong']:>5} {res['suppressed']:>5}", flush=True)

    for label, keys in (("named scenes", sorted({s[0] for s in scenes if s[0] in NAMED})),
                        ("pass grid", [s[0] for s in scenes if s[0] not in NAMED])):
        if not keys:
            continue
        for tracker in ("molvane", "N x CSRT"):
            rows = [r for k in keys for t, r in results[k].items() if t.split(":")[0] == tracker]
            if not rows:
                continue
            lats = [r["latency"] for r in rows if r["sep"] is not None]
            never = sum(1 for x in lats if x is None)
            late = sum(1 for x in lats if x is not None and x > 10)
            print(f"{label + ' mean':<22} {tracker:<20} {np.mean([r['auc'] for r in rows]):>5.2f} "
                  f"{np.mean([r['p20'] for r in rows]):>5.2f} {sum(r['switches'] for r in rows):>6} "
                  f"{f'{never}nv/{late}>10':>9} {sum(r['wrong'] for r in rows):>5} "
                  f"{sum(r['suppressed'] for r in rows):>5}")
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(results, fh, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
