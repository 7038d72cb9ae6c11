"""Stress scenes: a target whose appearance changes slowly, and a look-alike left behind.

The clips come from the scene library (molvane_tools.scenes.stress), whose renderer is not
the named scenes' one, so the tracker meets scenes it was not tuned on. Each clip is
rendered at 10, 30, 60 or 120 fps with the same motion per second (the tracker gets
dt = 1/fps).

The cases (hover_yaw, fly_yaw, haze, glint, decoy) are described in the library.

A target box is the exact extent of its silhouette; each tracker is seeded on frame 0 with
the smallest integer box holding it and updated on every later frame. Figures per case,
tracker and frame rate, over the frames (after the first) where the target is visible:
- lost_vis: share reported "lost"; conf_vis: share reported "confirmed";
- P@20: share whose centre error is at most 20 px; AUC: area under the success curve (IoU
  thresholds 0, 0.05, ..., 1); a frame reported lost scores IoU 0 and no precision hit;
- first_lost: time (s) of the first "lost" report while the target is visible.
For decoy, over the frames from the vanish on:
- to_lost: frames (and seconds) from the vanish to the first "lost" report (0: lost on the
  first frame without the target; "-": never);
- conf_after: share reported "confirmed" (should be about 0);
- decoy_run: longest run of frames reported "confirmed" with a box overlapping the decoy.
OpenCV CSRT runs at 30 fps for reference; its update returning ok=False counts as "lost"
and ok=True as "confirmed". The JSON also holds, per run, the state of every frame as a
string (c/t/l) and the reasons given on frames reported lost.

Usage: python bench/stress_scenes.py [--cases a,b] [--profiles a,b] [--fps 10,30]
       [--module-path DIR] [--seed N] [--json FILE] [--skip-csrt] [--snapshots DIR]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import time

os.environ.setdefault("OPENCV_FOR_THREADS_NUM", "1")
import cv2  # noqa: E402
import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "python")]
from molvane_tools.scenes.stress import CASES, H, Sky, W, make_case, render  # noqa: E402
from track_metrics import iou  # noqa: E402

PROFILES = ("default", "correlation", "adaptive", "fast-sky", "birds", "missile")
FPS = (10, 30, 60, 120)
CSRT_FPS = 30
THRESHOLDS = np.round(np.arange(0.0, 1.0 + 1e-9, 0.05), 2)


def int_box(b) -> tuple[int, int, int, int]:
    x0, y0 = math.floor(b[0]), math.floor(b[1])
    return int(x0), int(y0), int(math.ceil(b[0] + b[2]) - x0), int(math.ceil(b[1] + b[3]) - y0)


# ---------------------------------------------------------------------------------------
# Trackers and figures


class Molvane:
    def __init__(self, mv, profile: str):
        self.t = mv.Tracker(profile)

    def lock(self, frame, box):
        self.t.lock(frame, bbox=box)

    def update(self, frame, dt):
        r = self.t.update(frame, dt=dt)
        return r.state, r.bbox(), r.reason


class Csrt:
    def __init__(self):
        self.t = cv2.TrackerCSRT_create()

    def lock(self, frame, box):
        self.t.init(frame, box)

    def update(self, frame, dt):
        ok, b = self.t.update(frame)
        return ("confirmed" if ok else "lost"), tuple(float(v) for v in b), ""


def longest_run(flags: np.ndarray) -> int:
    best = cur = 0
    for f in flags:
        cur = cur + 1 if f else 0
        best = max(best, cur)
    return best


def figures(states, boxes, truth, decoy, visible, fps: int) -> dict:
    """Figures over frames 1.. (frame 0 is the lock)."""
    states = np.array(states[1:])
    boxes = np.array(boxes[1:], np.float64)
    vis = np.array(visible[1:])
    lost = states == "lost"
    gt = np.array([b if b is not None else (np.nan,) * 4 for b in truth[1:]], np.float64)
    ov = np.where(lost, 0.0, np.nan_to_num(iou(boxes, gt)))[vis]
    err = np.hypot(
        boxes[:, 0] + boxes[:, 2] / 2 - gt[:, 0] - gt[:, 2] / 2, boxes[:, 1] + boxes[:, 3] / 2 - gt[:, 1] - gt[:, 3] / 2
    )
    hit20 = (~lost & (np.nan_to_num(err, nan=np.inf) <= 20))[vis]
    t = (np.arange(len(states)) + 1) / fps
    lost_vis_t = t[vis & lost]
    out = {
        "frames": int(len(states)),
        "visible": int(vis.sum()),
        "lost_vis": float(lost[vis].mean()),
        "conf_vis": float((states == "confirmed")[vis].mean()),
        "p20": float(hit20.mean()),
        "auc": float(np.mean([(ov > max(th - 1e-9, 0)).mean() for th in THRESHOLDS])),
        "first_lost_s": float(lost_vis_t[0]) if len(lost_vis_t) else None,
    }
    if decoy is not None:
        post = ~vis
        n_post = int(post.sum())
        first = int(np.argmax(lost[post])) if lost[post].any() else None
        on_decoy = iou(boxes, np.array(decoy[1:], np.float64)) > 0
        run = longest_run((states == "confirmed")[post] & on_decoy[post])
        out.update(
            {
                "post_frames": n_post,
                "to_lost_frames": first,
                "to_lost_s": first / fps if first is not None else None,
                "conf_after": float((states == "confirmed")[post].mean()),
                "decoy_run_frames": run,
                "decoy_run_s": run / fps,
            }
        )
    return out


def run_case(mv, case_name: str, fps: int, profiles, with_csrt: bool, seed: int, ci: int) -> dict:
    sky = Sky(np.random.default_rng([seed, ci]))
    case = make_case(case_name, np.random.default_rng([seed, ci, 1]))
    noise_rng = np.random.default_rng([seed, ci, 2, fps])
    trackers = {f"molvane:{p}": Molvane(mv, p) for p in profiles}
    if with_csrt:
        trackers["CSRT"] = Csrt()
    n = int(round(case.duration * fps))
    rec = {k: ([], [], []) for k in trackers}
    truth, decoy, visible = [], [], []
    cpu = {k: 0.0 for k in trackers}
    for i in range(n):
        t = i / fps
        frame, boxes = render(sky, case, t, noise_rng)
        truth.append(boxes[0])
        decoy.append(boxes[1] if len(boxes) > 1 else None)
        visible.append(case.visible(t))
        for k, tr in trackers.items():
            c0 = time.thread_time()
            if i == 0:
                tr.lock(frame, int_box(boxes[0]))
                st, b, why = "confirmed", boxes[0], "lock"
            else:
                st, b, why = tr.update(frame, 1.0 / fps)
            cpu[k] += time.thread_time() - c0
            for lst, v in zip(rec[k], (st, b, why)):
                lst.append(v)
    dec = decoy if case.vanish is not None else None
    out = {}
    for k in trackers:
        out[k] = figures(rec[k][0], rec[k][1], truth, dec, visible, fps)
        out[k]["cpu_ms_per_frame"] = 1e3 * cpu[k] / n
        # per frame from frame 1 on: c(onfirmed), t(entative), l(ost); reasons of lost frames
        out[k]["states"] = "".join(st[0] for st in rec[k][0][1:])
        lost_why = [w for st, w in zip(rec[k][0][1:], rec[k][2][1:]) if st == "lost"]
        out[k]["lost_reasons"] = {w: lost_why.count(w) for w in sorted(set(lost_why))}
    return out


# ---------------------------------------------------------------------------------------


def _f(v, fmt):
    return "-" if v is None else format(v, fmt)


def print_table(case_name: str, res: dict) -> None:
    decoy = case_name == "decoy"
    head = f"{'tracker':<22}{'fps':>4}{'lost_vis':>9}{'conf_vis':>9}{'P@20':>6}{'AUC':>6}{'1st_lost':>9}"
    if decoy:
        head += f"{'to_lost':>8}{'to_lost_s':>10}{'conf_after':>11}{'decoy_run':>10}"
    print(f"\n== {case_name}")
    print(head)
    for tracker, per_fps in res.items():
        for fps, r in per_fps.items():
            line = (
                f"{tracker:<22}{fps:>4}{r['lost_vis']:>9.3f}{r['conf_vis']:>9.3f}{r['p20']:>6.2f}"
                f"{r['auc']:>6.2f}{_f(r['first_lost_s'], '.2f'):>9}"
            )
            if decoy:
                line += (
                    f"{_f(r['to_lost_frames'], 'd'):>8}{_f(r['to_lost_s'], '.2f'):>10}"
                    f"{r['conf_after']:>11.3f}{r['decoy_run_frames']:>10d}"
                )
            print(line)
    sys.stdout.flush()


def snapshots(out_dir: str, cases, seed: int) -> None:
    """Crops around the target (8x, true box in green, decoy box in red) at a few times."""
    os.makedirs(out_dir, exist_ok=True)
    for ci, name in enumerate(CASES):
        if name not in cases:
            continue
        sky = Sky(np.random.default_rng([seed, ci]))
        case = make_case(name, np.random.default_rng([seed, ci, 1]))
        rng = np.random.default_rng([seed, ci, 2, 30])
        for t in np.linspace(0, case.duration - 1 / 30, 5):
            frame, boxes = render(sky, case, float(t), rng)
            ref = boxes[0] or boxes[1]
            cx, cy = int(ref[0] + ref[2] / 2), int(ref[1] + ref[3] / 2)
            x0, y0 = min(max(cx - 32, 0), W - 64), min(max(cy - 24, 0), H - 64)
            crop = cv2.resize(frame[y0 : y0 + 64, x0 : x0 + 64], None, fx=8, fy=8, interpolation=cv2.INTER_NEAREST)
            for b, col in zip(boxes, ((0, 200, 0), (0, 0, 255))):
                if b is not None:
                    p0 = (int(round((b[0] - x0) * 8)), int(round((b[1] - y0) * 8)))
                    p1 = (int(round((b[0] + b[2] - x0) * 8)), int(round((b[1] + b[3] - y0) * 8)))
                    cv2.rectangle(crop, p0, p1, col, 1)
            cv2.imwrite(os.path.join(out_dir, f"{name}_{t:.2f}s.png"), crop)
            cv2.imwrite(os.path.join(out_dir, f"{name}_{t:.2f}s_full.png"), frame)


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--cases", default=",".join(CASES))
    ap.add_argument("--profiles", default=",".join(PROFILES))
    ap.add_argument("--fps", default=",".join(map(str, FPS)))
    ap.add_argument("--module-path", default=None, help="directory put first on sys.path before importing molvane")
    ap.add_argument("--seed", type=int, default=11)
    ap.add_argument("--json", default=None)
    ap.add_argument("--skip-csrt", action="store_true")
    ap.add_argument("--snapshots", default=None, help="write PNG crops of each case to DIR and exit")
    args = ap.parse_args()
    cases = [c for c in args.cases.split(",") if c]
    for c in cases:
        if c not in CASES:
            ap.error(f"unknown case {c}")
    if args.snapshots:
        snapshots(args.snapshots, cases, args.seed)
        return
    if args.module_path:
        sys.path.insert(0, os.path.abspath(args.module_path))
    import molvane as mv

    cv2.setNumThreads(1)
    profiles = [p for p in args.profiles.split(",") if p]
    fps_list = [int(f) for f in args.fps.split(",") if f]
    print(f"molvane: {mv.__file__}")
    t0 = time.perf_counter()
    results = {}
    for name in cases:
        ci = CASES.index(name)
        res: dict = {}
        for fps in fps_list:
            csrt = not args.skip_csrt and fps == CSRT_FPS
            for k, r in run_case(mv, name, fps, profiles, csrt, args.seed, ci).items():
                res.setdefault(k, {})[fps] = r
        results[name] = res
        print_table(name, res)
    wall = time.perf_counter() - t0
    print(f"\nrun time {wall:.1f} s")
    if args.json:
        meta = {
            "module": mv.__file__,
            "cv2": cv2.__version__,
            "seed": args.seed,
            "fps": fps_list,
            "profiles": profiles,
            "cases": cases,
            "run_time_s": wall,
        }
        with open(args.json, "w") as fh:
            json.dump({"meta": meta, "results": results}, fh, indent=1)


if __name__ == "__main__":
    main()
