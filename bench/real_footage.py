"""Real-footage benchmark: molvane and OpenCV's trackers on real clips with hand-checked truth.

The clips live outside the repository, in ``<project root>/../shared/real/<clip>/`` (see the
README there): ``video.mp4``, ``gt.csv`` (one target), optionally ``gt_multi.csv`` (several
targets with ids) and ``source.json`` (frame rate). Each video is decoded once, sequentially
from frame 0 (seeking lands on the wrong frame in these files); the frames between the first
and last ground-truth rows are kept in memory and cached as .npy under /tmp, keyed by the
video's sha256.

Single target: every tracker is seeded with the box of the first visible frame and updated on
every later frame up to the last ground-truth row with dt = 1/fps. A frame reported lost (molvane:
state "lost"; OpenCV: update returned ok=False) has no box. OpenCV's trackers have no tentative
state, so for them "confirmed" means ok=True. Over the frames after the seed:
- AUC: success AUC over IoU thresholds 0, 0.05, .., 1, on visible frames;
- P@20: share of visible frames whose box centre is within 20 px of the truth;
- wrong: share of visible frames reported tracked (not lost) with the centre > 20 px off;
- lost-hid / lost-vis: share of hidden frames reported lost / of visible frames reported lost;
- conf-run: longest run of visible frames reported "confirmed" with the centre > 20 px off (a
  hidden frame ends a run); conf-hid: frames reported "confirmed" while the target is hidden;
- re-find: for each return after 5+ hidden frames, frames until the result is tracked within
  20 px of the truth (0: on the return frame; "never" if not before it hides again);
- CPU: mean CPU time of the calling thread per update (OpenCV at one thread), and its ratio
  to CSRT's on the same clip.

Several targets (gt_multi.csv): all ids are locked on the first frame where all are visible;
molvane's MultiTracker per profile against one independent CSRT per target. Per id P@20; a
result sits on another target when its centre is within 20 px of that target's truth and
nearer it than its own; 5+ consecutive such frames are an identity switch; "on-other" counts
every such frame (any result not reported lost).

Usage: python bench/real_footage.py [--real DIR] [--clips a,b] [--trackers default,CSRT,..]
       [--no-opencv] [--no-multi] [--out DIR] [--json FILE] [--no-cache]
"""

from __future__ import annotations

import argparse
import csv
import datetime as _dt
import hashlib
import json
import os
import platform
import sys
import tempfile
import time
from dataclasses import dataclass

os.environ.setdefault("OPENCV_FOR_THREADS_NUM", "1")

import cv2  # noqa: E402
import numpy as np  # noqa: E402

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_bench as rb  # noqa: E402
import track_metrics as tm  # noqa: E402
from honest_state import PROFILES  # noqa: E402

REAL_DIR = os.path.join(os.path.dirname(rb.ROOT), "shared", "real")
CACHE_DIR = os.path.join(tempfile.gettempdir(), "molvane-real-frames")
OPENCV = ("CSRT", "KCF", "MIL", "MedianFlow")
MULTI_OPENCV = ("CSRT",)
NEAR_PX = 20.0  # centre error that still counts as "on the target"
MIN_HIDDEN = 5  # hidden frames before a return counts as a re-find
SWITCH_RUN = rb.ID_PERSIST


@dataclass
class Truth:
    first: int  # video frame of column 0
    boxes: np.ndarray  # (targets, frames, 4), NaN where hidden or without a row
    visible: np.ndarray  # (targets, frames) bool
    known: np.ndarray  # (targets, frames) bool: the file has a row for it
    ids: list

    @property
    def last(self) -> int:
        return self.first + self.boxes.shape[1] - 1


@dataclass
class Clip:
    name: str
    fps: float
    start: int  # video frame of frames[0]
    frames: np.ndarray  # (n, h, w, 3) BGR
    gt: Truth
    multi: Truth | None

    def frame(self, index: int) -> np.ndarray:
        return self.frames[index - self.start]


def discover(real_dir: str = REAL_DIR) -> list[str]:
    """Clip folders (those holding a video and gt.csv), sorted by name; [] if none."""
    if not os.path.isdir(real_dir):
        return []
    return [
        os.path.join(real_dir, d)
        for d in sorted(os.listdir(real_dir))
        if all(os.path.isfile(os.path.join(real_dir, d, f)) for f in ("video.mp4", "gt.csv"))
    ]


def read_truth(path: str) -> Truth:
    with open(path, newline="") as fh:
        rows = list(csv.DictReader(fh))
    ids = sorted({int(r.get("id") or 0) for r in rows})
    frames = [int(r["frame"]) for r in rows]
    first, n = min(frames), max(frames) - min(frames) + 1
    boxes = np.full((len(ids), n, 4), np.nan)
    visible = np.zeros((len(ids), n), bool)
    known = np.zeros((len(ids), n), bool)
    for r, f in zip(rows, frames):
        k, t = ids.index(int(r.get("id") or 0)), f - first
        known[k, t] = True
        if r["visible"].strip() == "1":
            visible[k, t] = True
            boxes[k, t] = [float(r[c]) for c in "xywh"]
    return Truth(first, boxes, visible, known, ids)


def decode(video: str, start: int, stop: int, cache_dir: str | None = CACHE_DIR) -> np.ndarray:
    """Frames start..stop-1 of the video, decoded sequentially from frame 0 (or from the cache)."""
    with open(video, "rb") as fh:
        key = hashlib.sha256(fh.read()).hexdigest()
    cached = os.path.join(cache_dir, f"{key}-{start}-{stop}.npy") if cache_dir else None
    if cached and os.path.isfile(cached):
        return np.load(cached)
    cap = cv2.VideoCapture(video)
    frames = []
    for i in range(stop):
        ok, frame = cap.read()
        if not ok:
            raise RuntimeError(f"{video}: ends at frame {i}, ground truth runs to {stop - 1}")
        if i >= start:
            frames.append(frame)
    cap.release()
    out = np.stack(frames)
    if cached:
        os.makedirs(cache_dir, exist_ok=True)
        tmp = f"{cached}.{os.getpid()}.tmp"
        with open(tmp, "wb") as fh:
            np.save(fh, out)
        os.replace(tmp, cached)
    return out


def load_clip(path: str, cache_dir: str | None = CACHE_DIR) -> Clip:
    gt = read_truth(os.path.join(path, "gt.csv"))
    multi_path = os.path.join(path, "gt_multi.csv")
    multi = read_truth(multi_path) if os.path.isfile(multi_path) else None
    spans = [gt] + ([multi] if multi else [])
    start, stop = min(t.first for t in spans), max(t.last for t in spans) + 1
    fps = 0.0
    source = os.path.join(path, "source.json")
    if os.path.isfile(source):
        with open(source) as fh:
            fps = float(json.load(fh).get("fps") or 0.0)
    video = os.path.join(path, "video.mp4")
    if fps <= 0:
        fps = cv2.VideoCapture(video).get(cv2.CAP_PROP_FPS) or 30.0
    return Clip(os.path.basename(os.path.normpath(path)), fps, start, decode(video, start, stop, cache_dir), gt, multi)


# --------------------------------------------------------------------------------------
# trackers: update(frame) -> per target (box or None when reported lost, state)


class MolvaneStates(rb.MolvaneAdapter):
    def update(self, frame):
        rs = self.tracker.update(frame, dt=self.dt)
        return [(None if r.lost or r.state == "lost" else r.bbox(), r.state) for r in (rs if self.multi else [rs])]


class OpenCVStates(rb.OpenCVAdapter):
    def update(self, frame):
        return [(box, "lost" if box is None else "confirmed") for box, _raw in super().update(frame)]


def is_molvane(name: str) -> bool:
    return name in PROFILES


def make_tracker(name: str, multi: bool, dt: float):
    if is_molvane(name):
        import molvane

        return MolvaneStates(molvane, name, multi, dt)
    kind, _, pad = name.partition("-pad")
    return OpenCVStates(kind, int(pad) if pad else 0)


def play(clip: Clip, truth: Truth, name: str, multi: bool) -> dict:
    """Seeds on the first frame where every target is visible, updates to the last truth row.
    Returns boxes (targets, frames, 4), states (targets, frames), scored (frames after the
    seed that have a truth row) and CPU seconds per update."""
    n_t, n = truth.visible.shape
    seed = int(np.flatnonzero(truth.visible.all(axis=0))[0])
    tracker = make_tracker(name, multi, 1.0 / clip.fps)
    tracker.init(clip.frame(truth.first + seed), [rb.int_box(b) for b in truth.boxes[:, seed]])
    boxes = np.full((n_t, n, 4), np.nan)
    states = np.full((n_t, n), "", object)
    times = []
    for t in range(seed + 1, n):
        frame = clip.frame(truth.first + t)
        c0 = time.thread_time()
        out = tracker.update(frame)
        times.append(time.thread_time() - c0)
        for k, (box, state) in enumerate(out):
            states[k, t] = state
            if box is not None:
                boxes[k, t] = box
    scored = truth.known & (np.arange(n) > seed)
    return {"boxes": boxes, "states": states, "scored": scored, "times": times, "seed": truth.first + seed}


# --------------------------------------------------------------------------------------
# scoring


def runs(mask: np.ndarray) -> list[tuple[int, int]]:
    """(start, length) of every run of True."""
    edges = np.diff(np.concatenate(([0], np.asarray(mask, np.int8), [0])))
    starts, ends = np.flatnonzero(edges == 1), np.flatnonzero(edges == -1)
    return [(int(s), int(e - s)) for s, e in zip(starts, ends)]


def refind_latencies(near: np.ndarray, visible: np.ndarray, known: np.ndarray, first: int) -> list[dict]:
    """For each return of the target after MIN_HIDDEN+ hidden frames (with truth rows): frames
    until ``near`` (tracked within 20 px), None if not before it hides again or the truth ends."""
    out = []
    for start, length in runs(known & ~visible):
        ret = start + length
        if length < MIN_HIDDEN or ret >= len(visible) or not visible[ret]:
            continue
        stretch = next(r for r in runs(visible) if r[0] == ret)
        hits = np.flatnonzero(near[ret : ret + stretch[1]])
        out.append({"frame": first + ret, "latency": int(hits[0]) if hits.size else None})
    return out


def cpu_summary(times: list) -> dict:
    s = tm.timing_summary(times)
    return {"cpu_ms": float(np.mean(times) * 1000.0) if times else None, "cpu_median_ms": s["median_ms"]}


def score_single(truth: Truth, rec: dict) -> dict:
    gt, pred, state = truth.boxes[0], rec["boxes"][0], rec["states"][0]
    scored = rec["scored"][0]
    vis, hid = truth.visible[0] & scored, ~truth.visible[0] & scored
    lost = np.isnan(pred[:, 0])
    err = tm.center_error(pred, gt)
    confirmed = state == "confirmed"
    conf_wrong = confirmed & vis & (err > NEAR_PX)
    share = lambda m, of: float(m[of].mean()) if of.any() else None  # noqa: E731
    return {
        "auc": tm.success_auc(tm.iou(pred, gt)[vis]),
        "p20": tm.precision_at(err[vis], NEAR_PX),
        "tracked_wrong": share(~lost & (err > NEAR_PX), vis),
        "lost_hidden": share(lost, hid),
        "lost_visible": share(lost, vis),
        "confirmed_wrong_run": max((n for _, n in runs(conf_wrong)), default=0),
        "confirmed_hidden": int((confirmed & hid).sum()),
        "refind": refind_latencies(err <= NEAR_PX, truth.visible[0], scored, truth.first),
        "visible": int(vis.sum()),
        "hidden": int(hid.sum()),
        "first_frame": truth.first,
        "hidden_runs": [[truth.first + s, n] for s, n in runs(hid)],
        "lost_runs": [[truth.first + s, n] for s, n in runs(lost & scored)],
        "center_error": [None if not s or np.isinf(e) else round(float(e), 1) for e, s in zip(err, scored)],
    }


def score_multi(truth: Truth, rec: dict) -> dict:
    n_t = len(truth.ids)
    vis = truth.visible & rec["scored"]
    err = np.stack(
        [[tm.center_error(rec["boxes"][k], truth.boxes[j]) for j in range(n_t)] for k in range(n_t)]
    )  # (result, truth, frames)
    per_id = []
    for k in range(n_t):
        others = [vis[j] & (err[k, j] <= NEAR_PX) & (err[k, j] < err[k, k]) for j in range(n_t) if j != k]
        on_other = np.any(others, axis=0)
        per_id.append(
            {
                "id": truth.ids[k],
                "p20": tm.precision_at(err[k, k][vis[k]], NEAR_PX),
                "switches": sum(1 for _, n in runs(on_other) if n >= SWITCH_RUN),
                "on_other": int(on_other.sum()),
                "lost_visible": float(np.isnan(rec["boxes"][k, vis[k], 0]).mean()),
            }
        )
    return {
        "mean_p20": float(np.mean([p["p20"] for p in per_id])),
        "switches": sum(p["switches"] for p in per_id),
        "on_other": sum(p["on_other"] for p in per_id),
        "per_id": per_id,
    }


def run_single(clip: Clip, name: str) -> dict:
    rec = play(clip, clip.gt, name, multi=False)
    return {
        "clip": clip.name,
        "tracker": name,
        "family": "molvane" if is_molvane(name) else "opencv",
        "seed_frame": rec["seed"],
        **score_single(clip.gt, rec),
        **cpu_summary(rec["times"]),
    }


def run_multi(clip: Clip, name: str) -> dict:
    rec = play(clip, clip.multi, name, multi=True)
    return {
        "clip": clip.name,
        "tracker": name,
        "family": "molvane" if is_molvane(name) else "opencv",
        "seed_frame": rec["seed"],
        "targets": len(clip.multi.ids),
        **score_multi(clip.multi, rec),
        **cpu_summary(rec["times"]),
    }


def add_cpu_ratios(results: list[dict]) -> None:
    """cpu_vs_csrt: CPU per update against CSRT's on the same clip (and the same task)."""
    for r in results:
        ref = next((c for c in results if c["clip"] == r["clip"] and c["tracker"] == "CSRT"), None)
        r["cpu_vs_csrt"] = r["cpu_ms"] / ref["cpu_ms"] if ref and ref["cpu_ms"] else None


# --------------------------------------------------------------------------------------
# report


def _f(v, fmt: str = ".3f") -> str:
    return "-" if v is None else format(v, fmt)


def _file_id(path: str) -> str:
    """Short sha256 and modification time of a file (which build of the module ran)."""
    with open(path, "rb") as fh:
        digest = hashlib.sha256(fh.read()).hexdigest()[:12]
    stamp = _dt.datetime.fromtimestamp(os.path.getmtime(path)).isoformat(timespec="minutes")
    return f"{os.path.basename(path)} {digest} built {stamp}"


def _refind(r: dict) -> str:
    return ", ".join(f"{e['frame']}: {'never' if e['latency'] is None else e['latency']}" for e in r["refind"]) or "-"


def markdown(single: list[dict], multi: list[dict], meta: dict) -> str:
    lines = [
        "# Real footage",
        "",
        f"Generated by `bench/real_footage.py` on {meta['date']} in {meta['seconds']} s "
        f"({meta['molvane']}; OpenCV {meta['opencv']}; {meta['machine']}, one thread). "
        "Columns: [README](README.md#real-footage).",
        "",
    ]
    for clip in dict.fromkeys(r["clip"] for r in single):
        rs = [r for r in single if r["clip"] == clip]
        lines += [
            f"## {clip}: single target (seed frame {rs[0]['seed_frame']}, "
            f"{rs[0]['visible']} visible and {rs[0]['hidden']} hidden frames scored)",
            "",
            "| tracker | AUC | P@20 | wrong | lost-hid | lost-vis | conf-run | conf-hid | re-find | CPU ms | x CSRT |",
            "|---|---|---|---|---|---|---|---|---|---|---|",
        ]
        for r in rs:
            lines.append(
                f"| {r['tracker']} | {_f(r['auc'])} | {_f(r['p20'])} | {_f(r['tracked_wrong'])} "
                f"| {_f(r['lost_hidden'])} | {_f(r['lost_visible'])} | {r['confirmed_wrong_run']} "
                f"| {r['confirmed_hidden']} | {_refind(r)} | {_f(r['cpu_ms'], '.2f')} "
                f"| {_f(r['cpu_vs_csrt'], '.3f')} |"
            )
        lines.append("")
    for clip in dict.fromkeys(r["clip"] for r in multi):
        rs = [r for r in multi if r["clip"] == clip]
        ids = [p["id"] for p in rs[0]["per_id"]]
        lines += [
            f"## {clip}: {rs[0]['targets']} targets (gt_multi.csv, seed frame {rs[0]['seed_frame']})",
            "",
            "| tracker | mean P@20 | "
            + " | ".join(f"P@20 id {i}" for i in ids)
            + " | switches | on-other | CPU ms | x CSRT |",
            "|---|---|" + "---|" * len(ids) + "---|---|---|---|",
        ]
        for r in rs:
            lines.append(
                f"| {r['tracker']} | {_f(r['mean_p20'])} | "
                + " | ".join(_f(p["p20"]) for p in r["per_id"])
                + f" | {r['switches']} | {r['on_other']} | {_f(r['cpu_ms'], '.2f')} "
                f"| {_f(r['cpu_vs_csrt'], '.3f')} |"
            )
        lines.append("")
    return "\n".join(lines)


def plot(single: list[dict], multi: list[dict], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    clips = list(dict.fromkeys(r["clip"] for r in single))
    rows = len(clips) + (1 if multi else 0)
    fig, axes = plt.subplots(rows, 2, figsize=(13, 3.3 * rows), squeeze=False, gridspec_kw={"width_ratios": [1, 1.6]})
    idx: dict = {}

    def style(r: dict) -> dict:
        return rb._style(("molvane:" if r["family"] == "molvane" else "cv:") + r["tracker"], idx)

    for (bars, curve), clip in zip(axes, clips):
        rs = [r for r in single if r["clip"] == clip]
        x = np.arange(len(rs))
        for j, (key, label, col) in enumerate(
            (("auc", "AUC", "#4575b4"), ("p20", "P@20", "#91bfdb"), ("tracked_wrong", "tracked but wrong", "#d73027"))
        ):
            bars.bar(x + (j - 1) * 0.27, [r[key] or 0 for r in rs], 0.27, label=label, color=col)
        bars.set_xticks(x, [r["tracker"] for r in rs], rotation=35, ha="right", fontsize=8)
        bars.set_ylim(0, 1.18)
        bars.set_yticks(np.linspace(0, 1, 6))
        bars.set_title(f"{clip}: single target", fontsize=9)
        bars.legend(fontsize=7, ncol=3, loc="upper center", frameon=False)
        bars.grid(axis="y", alpha=0.3)
        frames = rs[0]["first_frame"] + np.arange(len(rs[0]["center_error"]))
        for start, n in rs[0]["hidden_runs"]:
            curve.axvspan(start - 0.5, start + n - 0.5, color="0.85", lw=0)
        shown = [r for r in rs if r["tracker"] in ("default", "CSRT")] or rs[:2]
        for i, r in enumerate(shown):
            err = np.array([np.nan if e is None else min(e, 100.0) for e in r["center_error"]])
            st = style(r)
            curve.plot(frames, err, lw=1.1, color=st["color"], ls=st["ls"], label=r["tracker"])
            curve.broken_barh([(a - 0.5, n) for a, n in r["lost_runs"]], (-6 - 6 * i, 4), color=st["color"])
        curve.axhline(NEAR_PX, color="k", lw=0.6, ls=":")
        curve.set_ylim(-6 - 6 * len(shown), 102)
        curve.set_xlabel("frame", fontsize=8)
        curve.set_ylabel("centre error px (capped at 100)", fontsize=8)
        curve.set_title(f"{clip}: centre error (grey: target hidden; bars below 0: reported lost)", fontsize=9)
        curve.legend(fontsize=7, frameon=False)
        curve.tick_params(labelsize=7)
    if multi:
        bars, other = axes[-1]
        x = np.arange(len(multi))
        one_clip = len({r["clip"] for r in multi}) == 1
        labels = [r["tracker"] if one_clip else f"{r['clip']}\n{r['tracker']}" for r in multi]
        where = f"{multi[0]['clip']}, {multi[0]['targets']} targets" if one_clip else "several targets"
        bars.bar(x, [r["mean_p20"] for r in multi], 0.6, color="#4575b4")
        bars.set_xticks(x, labels, rotation=35, ha="right", fontsize=8)
        bars.set_ylim(0, 1.05)
        bars.set_title(f"{where}: mean P@20", fontsize=9)
        bars.grid(axis="y", alpha=0.3)
        other.bar(x, [r["on_other"] for r in multi], 0.6, color="#d73027")
        for i, r in enumerate(multi):
            other.annotate(f"{r['switches']} sw", (i, r["on_other"]), ha="center", va="bottom", fontsize=7)
        other.set_xticks(x, labels, rotation=35, ha="right", fontsize=8)
        other.set_title(f"{where}: frames on another target (labels: identity switches)", fontsize=9)
        other.grid(axis="y", alpha=0.3)
    fig.tight_layout()
    rb._save_small_png(fig, path, 90)
    plt.close(fig)


# --------------------------------------------------------------------------------------


def main(argv: list | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--real", default=REAL_DIR, help="folder of clip folders (default: %(default)s)")
    ap.add_argument("--clips", default=None, help="comma-separated clip names (default: all)")
    ap.add_argument(
        "--trackers", default=None, help="comma-separated molvane profiles and OpenCV trackers (default: all)"
    )
    ap.add_argument("--no-opencv", action="store_true")
    ap.add_argument("--no-multi", action="store_true")
    ap.add_argument(
        "--out", default=os.path.join(rb.ROOT, "docs", "bench"), help="folder for real_footage.md and real_footage.png"
    )
    ap.add_argument("--json", default=None, help="JSON file (default: <out>/real_footage.json)")
    ap.add_argument("--no-cache", action="store_true", help=f"do not cache decoded frames in {CACHE_DIR}")
    args = ap.parse_args(argv)

    paths = discover(args.real)
    if args.clips:
        paths = [p for p in paths if os.path.basename(p) in args.clips.split(",")]
    if not paths:
        print(f"no real clips in {args.real}: nothing to do")
        return 0
    mv, why = rb.probe_molvane()
    build = _file_id(mv.__file__) if mv else None
    if mv is None:
        print(f"note: {why}; running OpenCV's trackers only", file=sys.stderr)
    trackers = args.trackers.split(",") if args.trackers else list(PROFILES) + list(OPENCV)
    trackers = [
        t for t in trackers if not (is_molvane(t) and mv is None) and not (args.no_opencv and not is_molvane(t))
    ]
    single, multi = [], []
    t_all = time.perf_counter()
    for path in paths:
        t0 = time.perf_counter()
        clip = load_clip(path, None if args.no_cache else CACHE_DIR)
        print(f"{clip.name}: {len(clip.frames)} frames loaded in {time.perf_counter() - t0:.1f} s", file=sys.stderr)
        for name in trackers:
            t0 = time.perf_counter()
            single.append(run_single(clip, name))
            print(f"  {name}: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
        if clip.multi is not None and not args.no_multi:
            for name in trackers:
                if is_molvane(name) or name in MULTI_OPENCV:
                    t0 = time.perf_counter()
                    multi.append(run_multi(clip, name))
                    print(f"  multi {name}: {time.perf_counter() - t0:.1f} s", file=sys.stderr)
        del clip
    add_cpu_ratios(single)
    add_cpu_ratios(multi)
    meta = {
        "date": _dt.date.today().isoformat(),
        "opencv": cv2.__version__,
        "molvane": build,
        "machine": platform.machine(),
        "python": platform.python_version(),
        "real_dir": os.path.abspath(args.real),
        "seconds": round(time.perf_counter() - t_all, 1),
    }
    text = markdown(single, multi, meta)
    print(text)
    os.makedirs(args.out, exist_ok=True)
    with open(os.path.join(args.out, "real_footage.md"), "w") as fh:
        fh.write(text)
    with open(args.json or os.path.join(args.out, "real_footage.json"), "w") as fh:
        json.dump({"meta": meta, "single": single, "multi": multi}, fh, indent=1)
    plot(single, multi, os.path.join(args.out, "real_footage.png"))
    print(f"total {meta['seconds']} s", file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
