"""Honest-state benchmark: does each tracker report the target lost while it is hidden?

For scenes where the target leaves the frame, flies into cloud or passes clutter, and for
the existing scenes, per tracker (molvane profiles and OpenCV's trackers):
- hidden-lost: share of frames with the target hidden (outside the frame or behind cloud)
  that the tracker reports as lost (OpenCV: update returned ok=False);
- to-lost: frames from the target vanishing (first hidden frame of the longest hidden run)
  to the first report of "lost";
- false-lost: share of visible frames reported lost;
- AUC and P@20 on visible frames (a frame reported lost scores IoU 0).

Usage: python bench/honest_state.py [--scenes a,b] [--trackers x,y] [--frames N] [--json F]
"""

from __future__ import annotations

import argparse
import json
import os
import sys

os.environ.setdefault("OPENCV_FOR_THREADS_NUM", "1")
import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "python")]
import run_bench as rb  # noqa: E402
import track_metrics as tm  # noqa: E402
from molvane_tools.scenes import named as sky_scenes  # noqa: E402

LOSS_SCENES = ("leave_frame", "cloud_bank", "mast_clutter", "occlusion", "edge_exit")
PROFILES = ("default", "correlation", "adaptive", "fast-sky", "birds", "missile")


def play(scene: sky_scenes.Scene, adapter) -> dict:
    """Plays the scene with every target seeded; the figures are pooled over targets."""
    frames = scene.frames()
    first = next(frames)
    n = scene.n_targets
    adapter.init(first.image, [rb.int_box(b) for b in first.boxes])
    boxes, lost, vis, gt = ([[] for _ in range(n)] for _ in range(4))
    for f in frames:
        for k, (box, _raw) in enumerate(adapter.update(f.image)):
            lost[k].append(box is None)
            boxes[k].append(box if box is not None else (np.nan,) * 4)
            vis[k].append(f.visible[k])
            gt[k].append(f.boxes[k] if f.boxes[k] is not None else (np.nan,) * 4)
    per = [
        evaluate(np.array(boxes[k], float), np.array(gt[k], float), np.array(vis[k]), np.array(lost[k]))
        for k in range(n)
    ]
    if n == 1:
        return per[0]
    out = {}
    for key in per[0]:
        vals = [p[key] for p in per if p.get(key) is not None]
        if key in ("visible", "hidden"):
            out[key] = int(sum(vals))
        elif key == "to_lost":
            out[key] = max(vals) if vals else None
        else:
            out[key] = float(np.mean(vals)) if vals else None
    return out


def evaluate(pred, gt, vis, lost) -> dict:
    hidden = ~vis
    out = {"visible": int(vis.sum()), "hidden": int(hidden.sum())}
    out["hidden_lost"] = float(lost[hidden].mean()) if hidden.any() else None
    out["false_lost"] = float(lost[vis].mean()) if vis.any() else None
    # the longest run of hidden frames: when does the tracker notice?
    best, start, run0 = 0, None, None
    for k, h in enumerate(hidden):
        if h and (k == 0 or not hidden[k - 1]):
            run0 = k
        if h and k - run0 + 1 > best:
            best, start = k - run0 + 1, run0
    if start is not None:
        after = np.flatnonzero(lost[start : start + best])
        out["to_lost"] = int(after[0]) if after.size else None
    else:
        out["to_lost"] = None
    if vis.any():
        ious = tm.iou(pred[vis], gt[vis])
        out["auc"] = tm.success_auc(ious)
        out["p20"] = tm.precision_at(tm.center_error(pred[vis], gt[vis]), 20.0)
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--scenes", default=",".join(LOSS_SCENES), help="comma-separated scene names, or 'all'")
    ap.add_argument("--trackers", default=",".join(f"molvane:{p}" for p in PROFILES) + ",CSRT,KCF-pad32,MIL")
    ap.add_argument("--frames", type=int, default=240)
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--json", default=None)
    args = ap.parse_args(argv)
    mv, _ = rb.probe_molvane()
    results = []
    names = list(sky_scenes.SCENARIOS) if args.scenes == "all" else args.scenes.split(",")
    for name in names:
        scene = sky_scenes.make_scene(name, args.frames, args.seed)
        for tr in args.trackers.split(","):
            if tr.startswith("molvane:"):
                adapter = rb.MolvaneAdapter(mv, tr.split(":", 1)[1], scene.multi, 1.0 / scene.fps)
            else:
                kind, _, pad = tr.partition("-pad")
                adapter = rb.OpenCVAdapter(kind, int(pad) if pad else 0)
            r = play(scene, adapter)
            r.update(scene=name, tracker=tr)
            results.append(r)
            f = lambda v, p=".2f": "-" if v is None else format(v, p)  # noqa: E731
            print(
                f"{name:14s} {tr:22s} hidden-lost {f(r['hidden_lost'])}  to-lost {f(r['to_lost'], 'd'):>4s}"
                f"  false-lost {f(r['false_lost'], '.3f')}  auc {f(r.get('auc'), '.3f')}"
                f"  p20 {f(r.get('p20'), '.3f')}",
                flush=True,
            )
    if args.json:
        with open(args.json, "w") as fh:
            json.dump(results, fh, indent=1)
    return 0


if __name__ == "__main__":
    sys.exit(main())
