"""Sky tracking benchmark: molvane against OpenCV's trackers on synthetic sky videos.

Every named scene of molvane_tools.scenes.named is played once per tracker (frames are generated on the fly,
identically each time); the first frame seeds the tracker with the ground-truth box.
Per tracker and scenario it reports:

- success AUC (IoU thresholds 0, 0.05, .., 1) and precision at 20 px and 5 px, on the
  frames where the target is visible;
- presence score: per frame IoU when the target is visible, 1 when it is not and the
  tracker says "lost" (OpenCV: ok=False), else 0; averaged over all frames;
- failures: runs of 10+ visible frames with IoU 0; reacquisition latency after the target
  reappears (from behind a cloud or the frame edge);
- multi-target scenes: identity switches (a track that leaves its own target for another
  one for 5+ frames; flips of every length are in the JSON as id_switches_any) and
  per-target AUC
  (OpenCV: one independent tracker per target);
- update time per frame: median, 95th percentile and frames per second, measured as CPU
  time of the calling thread (both molvane and OpenCV, at one thread, do all their work
  there), so that other load on the machine does not inflate it; wall-clock times are in
  the JSON too.

KCF and MOSSE give up at once on tight boxes around small targets, so they also run as
KCF-pad32 / MOSSE-pad64: seeded with the box grown to 32 / 64 px per side, their output
shrunk back by the same margins.

A tracker that reports the target lost gives no box for that frame (IoU 0), whatever box
it might still carry; "raw AUC" scores the box it carries anyway (OpenCV: the last box it
returned), to tell a tracker that drifted off from one that stayed put but lost
confidence. OpenCV runs single-threaded by default (molvane is single-threaded), and
receives grey scenes converted to BGR outside the timed call.

Usage: python bench/run_bench.py [--quick] [--frames N] [--scenarios a,b] [--trackers x,y]
"""

from __future__ import annotations

import argparse
import datetime as _dt
import io
import json
import math
import os
import platform
import sys
import time
from collections.abc import Callable
from dataclasses import dataclass, field

# One worker thread for the OpenCV inside molvane as well as for cv2, so that per-thread CPU
# time is the whole cost of a call; must be set before either library starts its pool.
os.environ.setdefault("OPENCV_FOR_THREADS_NUM", "1")

import cv2  # noqa: E402
import numpy as np  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(os.path.dirname(HERE), "python")]
import track_metrics as tm  # noqa: E402
from molvane_tools.scenes import named as sky_scenes  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))

OPENCV_TRACKERS: dict[str, Callable[[], object]] = {
    "CSRT": lambda: cv2.TrackerCSRT_create(),
    "KCF": lambda: cv2.TrackerKCF_create(),
    "MOSSE": lambda: cv2.legacy.TrackerMOSSE_create(),
    "MIL": lambda: cv2.TrackerMIL_create(),
    "MedianFlow": lambda: cv2.legacy.TrackerMedianFlow_create(),
}
# also run seeded with a box grown to at least this many pixels per side (the smallest of
# 16, 32, 48, 64 with which each keeps the small_slow target)
PADDED_VARIANTS = {"KCF": 32, "MOSSE": 64}
QUICK_SCENARIOS = ("small_slow", "tiny_fast", "occlusion", "dusk_glint", "crossing_drones")
QUICK_OPENCV = ("CSRT", "KCF", "MOSSE")
BASELINE_PROFILE = "default"
ID_PERSIST = 5  # frames a track must stay on another target before that is a switch


def int_box(b) -> tuple[int, int, int, int]:
    """Smallest integer box holding a float box (what a user would draw around the target)."""
    x0, y0 = math.floor(b[0]), math.floor(b[1])
    x1, y1 = math.ceil(b[0] + b[2]), math.ceil(b[1] + b[3])
    return (int(x0), int(y0), max(int(x1 - x0), 1), max(int(y1 - y0), 1))


# --------------------------------------------------------------------------------------
# tracker adapters: init(frame, boxes), update(frame) -> per target (reported box, raw box)


class Adapter:
    name = ""
    family = ""
    wants_bgr = False

    def __init__(self) -> None:
        self.notes: dict[str, int] = {}

    def note(self, key: str) -> None:
        self.notes[key] = self.notes.get(key, 0) + 1

    def init(self, frame: np.ndarray, boxes: list[tuple[int, int, int, int]]) -> None:
        raise NotImplementedError

    def update(self, frame: np.ndarray) -> list[tuple[tuple | None, tuple | None]]:
        """Per target: (box, or None when the tracker reports the target lost; the box it
        holds regardless of that report, or None if it has none)."""
        raise NotImplementedError


class OpenCVAdapter(Adapter):
    """One independent OpenCV tracker per target.

    With ``min_side`` > 0 the seed box is grown (centred, within the frame) to at least
    that many pixels per side and the tracker's boxes are shrunk back by the same margins:
    KCF and MOSSE give up on tight boxes around small targets but work with some context,
    which is what a practitioner using them would give them."""

    family = "opencv"
    wants_bgr = True

    def __init__(self, kind: str, min_side: int = 0) -> None:
        super().__init__()
        self.kind = kind
        self.min_side = min_side
        self.name = f"cv:{kind}" + (f"-pad{min_side}" if min_side else "")
        self.trackers: list = []
        self.margins: list[tuple[int, int, int, int]] = []

    def _grow(self, b, w: int, h: int) -> tuple[tuple[int, int, int, int], tuple[int, int, int, int]]:
        x, y, bw, bh = (int(v) for v in b)
        px, py = max(0, self.min_side - bw), max(0, self.min_side - bh)
        x0, y0 = max(0, x - px // 2), max(0, y - py // 2)
        x1, y1 = min(w, x + bw + px - px // 2), min(h, y + bh + py - py // 2)
        return (x0, y0, x1 - x0, y1 - y0), (x - x0, y - y0, x1 - x - bw, y1 - y - bh)

    def init(self, frame, boxes):
        self.trackers, self.margins = [], []
        self.last = [tuple(float(v) for v in b) for b in boxes]
        for b in boxes:
            seed, margin = self._grow(b, frame.shape[1], frame.shape[0])
            t = OPENCV_TRACKERS[self.kind]()
            ok = t.init(frame, seed)
            if ok is False:
                self.note("init refused")
            self.trackers.append(t)
            self.margins.append(margin)

    def update(self, frame):
        out = []
        for k, t in enumerate(self.trackers):
            if t is None:
                out.append((None, self.last[k]))
                continue
            try:
                ok, box = t.update(frame)
            except cv2.error:
                self.note("update raised; tracker dropped")
                self.trackers[k] = None
                out.append((None, self.last[k]))
                continue
            ml, mt, mr, mb = self.margins[k]
            x, y, w, h = (float(v) for v in box)
            box = (x + ml, y + mt, w - ml - mr, h - mt - mb)
            if box[2] > 0 and box[3] > 0:
                self.last[k] = box
            out.append((box if ok and box[2] > 0 and box[3] > 0 else None, self.last[k]))
        return out


class MolvaneAdapter(Adapter):
    """molvane.Tracker for one target, molvane.MultiTracker for several."""

    family = "molvane"

    def __init__(self, module, profile: str, multi: bool, dt: float) -> None:
        super().__init__()
        self.mv = module
        self.profile = profile
        self.multi = multi
        self.dt = dt
        self.name = f"molvane:{profile}"
        self.tracker = None

    def init(self, frame, boxes):
        if self.multi:
            self.tracker = self.mv.MultiTracker(self.profile)
            self.tracker.lock(frame, [tuple(b) for b in boxes])
        else:
            self.tracker = self.mv.Tracker(self.profile)
            self.tracker.lock(frame, bbox=tuple(boxes[0]))

    def update(self, frame):
        if self.multi:
            results = self.tracker.update(frame, dt=self.dt)
        else:
            results = [self.tracker.update(frame, dt=self.dt)]
        out = []
        for r in results:
            self.note(f"state {r.state}")
            self.note(f"reason {r.reason}")
            if self.multi:
                if r.suppressed:
                    self.note("suppressed")
                if r.prediction_only:
                    self.note("prediction only")
            box = r.bbox()
            out.append((None if (r.lost or r.state == "lost") else box, box))
        return out


def probe_molvane() -> tuple[object | None, str]:
    """Imports molvane and checks that a tracker can lock and update; (module, why-not)."""
    try:
        import molvane  # type: ignore
    except ImportError as e:
        return None, f"molvane not importable: {e}"
    try:
        frame = np.full((120, 160, 3), 200, np.uint8)
        frame[50:60, 70:80] = 40
        t = molvane.Tracker(BASELINE_PROFILE)
        t.lock(frame, bbox=(70, 50, 10, 10))
        t.update(frame, dt=1 / 30)
    except Exception as e:  # the engine may not be built yet
        return None, f"molvane not usable: {type(e).__name__}: {e}"
    return molvane, ""


# --------------------------------------------------------------------------------------
# one scenario


@dataclass
class Record:
    adapter: Adapter
    boxes: list = field(default_factory=list)  # per frame: list of box-or-None per target
    times: list = field(default_factory=list)  # CPU seconds of the calling thread
    wall: list = field(default_factory=list)
    init_s: float = 0.0
    error: str | None = None


def molvane_profiles(scene: sky_scenes.Scene, quick: bool) -> list[str]:
    profiles = list(scene.profiles)
    if quick:
        return profiles[:1]
    if BASELINE_PROFILE not in profiles:
        profiles.append(BASELINE_PROFILE)
    return profiles


def run_scene(scene: sky_scenes.Scene, adapters: list[Adapter], progress: bool = True) -> dict:
    """Plays the scene once per tracker (frames are regenerated, never stored), so that no
    tracker's timing includes caches filled or emptied by another between its frames."""
    records = [Record(a) for a in adapters]
    gt: list[list] = []
    vis: list[list[bool]] = []
    t_start = time.perf_counter()
    for n, rec in enumerate(records):
        for fr in scene.frames():
            frame = fr.image
            if rec.adapter.wants_bgr and frame.ndim == 2:
                frame = cv2.cvtColor(frame, cv2.COLOR_GRAY2BGR)
            if fr.index == 0:
                if not all(fr.visible):
                    raise RuntimeError(f"{scene.name}: a target is not visible in the first frame")
                t0 = time.perf_counter()
                try:
                    rec.adapter.init(frame, [int_box(b) for b in fr.boxes])
                except Exception as e:
                    rec.error = f"init: {type(e).__name__}: {e}"
                rec.init_s = time.perf_counter() - t0
                continue
            if n == 0:
                gt.append(fr.boxes)
                vis.append(fr.visible)
            if rec.error:
                rec.boxes.append([(None, None)] * scene.n_targets)
                continue
            w0, c0 = time.perf_counter(), time.thread_time()
            try:
                out = rec.adapter.update(frame)
            except Exception as e:
                rec.error = f"update at frame {fr.index}: {type(e).__name__}: {e}"
                out = [(None, None)] * scene.n_targets
            else:
                rec.times.append(time.thread_time() - c0)
                rec.wall.append(time.perf_counter() - w0)
            rec.boxes.append(out)
    if progress:
        print(
            f"  [{scene.name}: {scene.n_frames} frames, {len(records)} trackers, "
            f"{time.perf_counter() - t_start:.1f} s]",
            file=sys.stderr,
        )
    return evaluate(scene, records, gt, vis)


def evaluate(scene: sky_scenes.Scene, records: list[Record], gt: list, vis: list) -> dict:
    n_t = scene.n_targets
    gt_arr = np.stack([tm.as_boxes([g[k] for g in gt]) for k in range(n_t)])  # (G, N, 4)
    vis_arr = np.array(vis, bool).T  # (G, N)
    results = []
    for rec in records:
        tracks = np.stack([tm.as_boxes([b[k][0] for b in rec.boxes]) for k in range(n_t)])
        raw = np.stack([tm.as_boxes([b[k][1] for b in rec.boxes]) for k in range(n_t)])
        per_target = []
        latencies: list = []
        failures = 0
        curves = []
        for k in range(n_t):
            v = vis_arr[k]
            ious = tm.iou(tracks[k], np.nan_to_num(gt_arr[k]))
            ious = np.where(np.isnan(gt_arr[k, :, 0]), 0.0, ious)
            err = tm.center_error(tracks[k], gt_arr[k])
            lost = np.isnan(tracks[k, :, 0])
            curve = tm.success_curve(ious[v])
            raw_ious = np.where(np.isnan(gt_arr[k, :, 0]), 0.0, tm.iou(raw[k], np.nan_to_num(gt_arr[k])))
            curves.append(curve)
            runs = tm.failure_runs(ious, v)
            failures += len(runs)
            lat = tm.reacquisition_latencies(ious, v)
            latencies += lat
            per_target.append(
                {
                    "auc": float(curve.mean()),
                    "p20": tm.precision_at(err[v], 20.0),
                    "p5": tm.precision_at(err[v], 5.0),
                    "presence": float(tm.presence_scores(ious, v, lost).mean()),
                    "auc_raw": tm.success_auc(raw_ious[v]),
                    "size_ratio": _size_ratio(tracks[k][v], gt_arr[k][v]),
                    "center_err_median": float(np.median(err[v])) if v.any() else None,
                    "lost_share": float(lost.mean()),
                    "failure_runs": runs,
                }
            )
        got = [x for x in latencies if x is not None]
        res = {
            "tracker": rec.adapter.name,
            "family": rec.adapter.family,
            "auc": float(np.mean([p["auc"] for p in per_target])),
            "p20": float(np.mean([p["p20"] for p in per_target])),
            "p5": float(np.mean([p["p5"] for p in per_target])),
            "presence": float(np.mean([p["presence"] for p in per_target])),
            "lost_share": float(np.mean([p["lost_share"] for p in per_target])),
            "auc_raw": float(np.mean([p["auc_raw"] for p in per_target])),
            "size_ratio": _mean_or_none([p["size_ratio"] for p in per_target]),
            "center_err_median": _mean_or_none([p["center_err_median"] for p in per_target]),
            "failures": failures,
            "reacq": {
                "events": len(latencies),
                "latencies": latencies,
                "mean": float(np.mean(got)) if got else None,
                "never": sum(1 for x in latencies if x is None),
            },
            "curve": [float(c) for c in np.mean(curves, axis=0)],
            "time": tm.timing_summary(rec.times),
            "wall_time": tm.timing_summary(rec.wall),
            "init_ms": rec.init_s * 1000.0,
            "notes": dict(sorted(rec.adapter.notes.items(), key=lambda kv: -kv[1])),
            "error": rec.error,
        }
        if n_t > 1:
            res["id_switches"] = tm.identity_switches(tracks, gt_arr, vis_arr, ID_PERSIST, exclusive=True)
            res["id_switches_any"] = tm.identity_switches(tracks, gt_arr, vis_arr, 1)
            res["per_target_auc"] = [p["auc"] for p in per_target]
        results.append(res)
    return {
        "name": scene.name,
        "description": scene.description,
        "size": [scene.width, scene.height],
        "frames": scene.n_frames,
        "targets": n_t,
        "multi": scene.multi,
        "grey": scene.grey,
        "visible_share": float(vis_arr.mean()),
        "profiles": list(scene.profiles),
        "results": results,
    }


def _size_ratio(pred: np.ndarray, gt: np.ndarray) -> float | None:
    """Median of sqrt(predicted area / true area) over frames with a predicted box: 1 is
    the right size, 1.5 a box half as wide and high again as the target."""
    ok = ~np.isnan(pred[:, 0]) & ~np.isnan(gt[:, 0]) & (gt[:, 2] * gt[:, 3] > 0)
    if not ok.any():
        return None
    return float(np.median(np.sqrt(pred[ok, 2] * pred[ok, 3] / (gt[ok, 2] * gt[ok, 3]))))


def _mean_or_none(values: list) -> float | None:
    vals = [v for v in values if v is not None and np.isfinite(v)]
    return float(np.mean(vals)) if vals else None


# --------------------------------------------------------------------------------------
# summary, table, plots


def summarise(scenes: list[dict]) -> list[dict]:
    """One row per tracker over the scenes it ran, plus two molvane roll-ups: the scene's
    first-listed profile ("recommended") and the best of its profiles per scene (optimistic)."""
    rows: dict[str, list[dict]] = {}
    for sc in scenes:
        for r in sc["results"]:
            rows.setdefault(r["tracker"], []).append(r)
        mv = [r for r in sc["results"] if r["family"] == "molvane"]
        if mv:
            first = next((r for r in mv if r["tracker"] == f"molvane:{sc['profiles'][0]}"), mv[0])
            rows.setdefault("molvane:recommended", []).append(first)
            rows.setdefault("molvane:best-of-profiles", []).append(max(mv, key=lambda r: r["auc"]))
    out = []
    for name, rs in rows.items():
        med = [r["time"]["median_ms"] for r in rs if r["time"]["median_ms"] is not None]
        fps = [r["time"]["fps"] for r in rs if r["time"]["fps"]]
        out.append(
            {
                "tracker": name,
                "scenes": len(rs),
                "mean_auc": float(np.mean([r["auc"] for r in rs])),
                "mean_p20": float(np.mean([r["p20"] for r in rs])),
                "mean_p5": float(np.mean([r["p5"] for r in rs])),
                "mean_presence": float(np.mean([r["presence"] for r in rs])),
                "mean_auc_raw": float(np.mean([r["auc_raw"] for r in rs])),
                "failures": int(sum(r["failures"] for r in rs)),
                "id_switches": int(sum(r.get("id_switches", 0) for r in rs)),
                "median_ms": float(np.median(med)) if med else None,
                "fps": float(np.exp(np.mean(np.log(fps)))) if fps else None,  # geometric mean
            }
        )
    return out


def _fmt(v, pattern: str = ".3f", none: str = "-") -> str:
    return none if v is None else format(v, pattern)


def print_table(scenes: list[dict], summary: list[dict], file=sys.stdout) -> None:
    hdr = (
        f"{'scenario':16s} {'tracker':24s} {'AUC':>5s} {'P@20':>5s} {'P@5':>5s} {'pres':>5s} "
        f"{'raw':>5s} {'size':>5s} {'fail':>4s} {'reacq':>7s} {'idsw':>4s} {'med ms':>7s} {'p95 ms':>7s} {'fps':>7s}"
    )
    print(hdr, file=file)
    print("-" * len(hdr), file=file)
    for sc in scenes:
        for r in sorted(sc["results"], key=lambda r: -r["auc"]):
            rq = r["reacq"]
            reacq = "-" if not rq["events"] else (f"{_fmt(rq['mean'], '.0f', 'x')}/{rq['never']}x")
            t = r["time"]
            print(
                f"{sc['name']:16s} {r['tracker']:24s} {r['auc']:5.3f} {r['p20']:5.3f} "
                f"{r['p5']:5.3f} {r['presence']:5.3f} {r['auc_raw']:5.3f} "
                f"{_fmt(r['size_ratio'], '5.2f'):>5s} {r['failures']:4d} {reacq:>7s} "
                f"{_fmt(r.get('id_switches'), 'd'):>4s} {_fmt(t['median_ms'], '.2f'):>7s} "
                f"{_fmt(t['p95_ms'], '.2f'):>7s} {_fmt(t['fps'], '.0f'):>7s}"
                + (f"  ERROR {r['error']}" if r["error"] else ""),
                file=file,
            )
        print(file=file)
    print(
        "pres: presence score; raw: AUC of the box held even while reporting lost; "
        "size: median sqrt(box area / true area)",
        file=file,
    )
    print(
        "fail: runs of 10+ visible frames at IoU 0; P@20, P@5: share of visible frames with centre error <= 20 / 5 px",
        file=file,
    )
    print(
        f"idsw: identity switches (track left its target for another for {ID_PERSIST}+ frames); "
        "ms and fps: CPU time per update of all targets",
        file=file,
    )
    print("reacq: mean frames to overlap again after reappearance / reappearances never reacquired", file=file)
    print(file=file)
    h2 = (
        f"{'summary':24s} {'scenes':>6s} {'AUC':>6s} {'P@20':>6s} {'P@5':>6s} {'pres':>6s} "
        f"{'raw':>6s} {'fails':>5s} {'idsw':>5s} {'med ms':>7s} {'fps':>7s}"
    )
    print(h2, file=file)
    print("-" * len(h2), file=file)
    for s in sorted(summary, key=lambda s: -s["mean_auc"]):
        print(
            f"{s['tracker']:24s} {s['scenes']:6d} {s['mean_auc']:6.3f} {s['mean_p20']:6.3f} "
            f"{s['mean_p5']:6.3f} {s['mean_presence']:6.3f} {s['mean_auc_raw']:6.3f} {s['failures']:5d} "
            f"{s['id_switches']:5d} {_fmt(s['median_ms'], '.2f'):>7s} "
            f"{_fmt(s['fps'], '.0f'):>7s}",
            file=file,
        )


def _save_small_png(fig, path: str, dpi: int) -> None:
    """Saves a figure as a palette PNG (a few dozen KB instead of a few hundred)."""
    fig.savefig(path, dpi=dpi)
    try:
        from PIL import Image

        im = Image.open(path).convert("RGB")
        im.quantize(colors=96, method=Image.Quantize.MEDIANCUT).save(path, optimize=True)
    except Exception:
        pass


def _style(name: str, idx: dict) -> dict:
    if name.startswith("molvane"):
        fixed = {
            "molvane:default": "#d62728",
            "molvane:fast-sky": "#ff7f0e",
            "molvane:correlation": "#8c564b",
            "molvane:adaptive": "#e377c2",
            "molvane:birds": "#9467bd",
            "molvane:close-pass": "#4a1486",
            "molvane:missile": "#111111",
            "molvane:scale-target": "#f0027f",
            "molvane:recommended": "#b2182b",
            "molvane:best-of-profiles": "#67001f",
        }
        extra = ["#a50f15", "#fd8d3c", "#6a51a3"]
        col = fixed.get(name) or extra[idx.setdefault(name, len(idx)) % len(extra)]
        return {"color": col, "ls": "-", "lw": 1.8}
    cols = {
        "cv:CSRT": ("#1f77b4", "--"),
        "cv:KCF": ("#2ca02c", "-."),
        "cv:MOSSE": ("#17becf", ":"),
        "cv:KCF-pad32": ("#98df8a", "-."),
        "cv:MOSSE-pad64": ("#9edae5", ":"),
        "cv:MIL": ("#7f7f7f", "--"),
        "cv:MedianFlow": ("#bcbd22", "-."),
    }
    col, ls = cols.get(name, ("#333333", "--"))
    return {"color": col, "ls": ls, "lw": 1.4}


def make_plots(scenes: list[dict], summary: list[dict], out_dir: str, suffix: str) -> list[str]:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    paths = []
    mv_idx: dict = {}
    n = len(scenes)
    cols = 4 if n > 4 else n
    rows = math.ceil(n / cols)
    fig, axes = plt.subplots(rows, cols, figsize=(3.2 * cols, 2.6 * rows), squeeze=False)
    handles = {}
    for ax, sc in zip(axes.flat, scenes):
        for r in sorted(sc["results"], key=lambda r: r["tracker"]):
            st = _style(r["tracker"], mv_idx)
            (line,) = ax.plot(tm.THRESHOLDS, r["curve"], color=st["color"], ls=st["ls"], lw=st["lw"])
            handles.setdefault(r["tracker"], line)
        ax.set_title(sc["name"], fontsize=9)
        ax.set_xlim(0, 1)
        ax.set_ylim(0, 1.02)
        ax.tick_params(labelsize=7)
        ax.grid(alpha=0.3)
    spare = list(axes.flat)[n:]
    for ax in spare:
        ax.axis("off")
    fig.supxlabel("IoU threshold", fontsize=9)
    fig.supylabel("success rate (visible frames)", fontsize=9)
    if spare:  # the legend goes into an empty panel when there is one
        spare[-1].legend(
            list(handles.values()),
            list(handles.keys()),
            loc="center",
            fontsize=8,
            frameon=False,
            ncol=2 if len(spare) > 1 else 1,
        )
        fig.tight_layout()
    else:
        fig.legend(
            list(handles.values()),
            list(handles.keys()),
            loc="lower center",
            ncol=min(6, len(handles)),
            fontsize=8,
            frameon=False,
        )
        fig.tight_layout(rect=(0, 0.08, 1, 1))
    p = os.path.join(out_dir, f"success_curves{suffix}.png")
    _save_small_png(fig, p, 72)
    plt.close(fig)
    paths.append(p)

    # only trackers that ran on every scene are comparable
    full = [x for x in summary if x["scenes"] == n and x["fps"] is not None]
    fig, axs = plt.subplots(1, 2, figsize=(11.5, 4.2))
    markers = {"molvane:recommended": "D", "molvane:best-of-profiles": "^"}
    for ax, key, label in ((axs[0], "mean_auc", "mean success AUC"), (axs[1], "mean_p20", "mean precision at 20 px")):
        for x in sorted(full, key=lambda x: x["tracker"]):
            st = _style(x["tracker"], mv_idx)
            marker = markers.get(x["tracker"], "o" if x["tracker"].startswith("molvane") else "s")
            ax.scatter(
                x["fps"],
                x[key],
                color=st["color"],
                marker=marker,
                s=42,
                zorder=3,
                label=x["tracker"],
                edgecolors="black",
                linewidths=0.4,
            )
        ax.set_xscale("log")
        ax.set_xlabel("frames per second (geometric mean over scenes)", fontsize=8)
        ax.set_ylabel(label, fontsize=8)
        ax.set_ylim(-0.03, 1.03)
        ax.grid(alpha=0.3, which="both")
        ax.tick_params(labelsize=7)
    axs[1].legend(loc="center left", bbox_to_anchor=(1.02, 0.5), fontsize=7, frameon=False)
    fig.suptitle(
        f"speed vs accuracy over all {n} scenes (one core, {scenes[0]['frames']} frames per scene)", fontsize=9
    )
    fig.tight_layout()
    p = os.path.join(out_dir, f"speed_accuracy{suffix}.png")
    _save_small_png(fig, p, 80)
    plt.close(fig)
    paths.append(p)

    # AUC matrix: trackers x scenes
    trackers = sorted(
        {r["tracker"] for sc in scenes for r in sc["results"]}, key=lambda t: (not t.startswith("molvane"), t)
    )
    mat = np.full((len(trackers), n), np.nan)
    for j, sc in enumerate(scenes):
        for r in sc["results"]:
            mat[trackers.index(r["tracker"]), j] = r["auc"]
    fig, ax = plt.subplots(figsize=(1.0 + 0.62 * n, 0.8 + 0.32 * len(trackers)))
    cmap = matplotlib.colormaps["viridis"].copy()
    cmap.set_bad("white")
    ax.imshow(np.ma.masked_invalid(mat), cmap=cmap, vmin=0.0, vmax=1.0, aspect="auto")
    for i in range(len(trackers)):
        for j in range(n):
            if not np.isnan(mat[i, j]):
                ax.text(
                    j,
                    i,
                    f"{mat[i, j]:.2f}",
                    ha="center",
                    va="center",
                    fontsize=6,
                    color="white" if mat[i, j] < 0.6 else "black",
                )
    ax.set_xticks(range(n), [sc["name"] for sc in scenes], rotation=40, ha="right", fontsize=7)
    ax.set_yticks(range(len(trackers)), trackers, fontsize=7)
    ax.set_title("success AUC per scene (blank: not run)", fontsize=9)
    fig.tight_layout()
    p = os.path.join(out_dir, f"auc_matrix{suffix}.png")
    _save_small_png(fig, p, 80)
    plt.close(fig)
    paths.append(p)
    return paths


# --------------------------------------------------------------------------------------


def main(argv: list[str] | None = None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument(
        "--quick", action="store_true", help="5 scenes x 60 frames, 3 OpenCV trackers and one molvane profile"
    )
    ap.add_argument("--frames", type=int, default=None, help="frames per scene (default 240)")
    ap.add_argument("--seed", type=int, default=7)
    ap.add_argument("--scenarios", default=None, help="comma-separated scene names")
    ap.add_argument("--trackers", default=None, help="comma-separated: molvane and/or " + ", ".join(OPENCV_TRACKERS))
    ap.add_argument("--opencv-only", action="store_true", help="skip molvane")
    ap.add_argument("--no-padded", action="store_true", help="skip the KCF/MOSSE runs seeded with a grown box")
    ap.add_argument("--cv-threads", type=int, default=1, help="OpenCV worker threads")
    ap.add_argument("--out", default=os.path.join(ROOT, "docs", "bench"))
    ap.add_argument("--no-plots", action="store_true")
    args = ap.parse_args(argv)

    cv2.setNumThreads(args.cv_threads)
    frames = args.frames or (60 if args.quick else 240)
    names = (
        args.scenarios.split(",") if args.scenarios else list(QUICK_SCENARIOS if args.quick else sky_scenes.SCENARIOS)
    )
    unknown = [s for s in names if s not in sky_scenes.SCENARIOS]
    if unknown:
        ap.error(f"unknown scenario(s): {', '.join(unknown)}; known: " + ", ".join(sky_scenes.SCENARIOS))
    wanted = (
        args.trackers.split(",")
        if args.trackers
        else ["molvane"] + list(QUICK_OPENCV if args.quick else OPENCV_TRACKERS)
    )
    bad = [t for t in wanted if t != "molvane" and t not in OPENCV_TRACKERS]
    if bad:
        ap.error(f"unknown tracker(s): {', '.join(bad)}")

    mv = None
    mv_note = "skipped (--opencv-only)" if args.opencv_only else ""
    if "molvane" in wanted and not args.opencv_only:
        mv, mv_note = probe_molvane()
        if mv is None:
            print(f"note: {mv_note}; running OpenCV trackers only", file=sys.stderr)

    scenes_out = []
    t0 = time.perf_counter()
    for name in names:
        scene = sky_scenes.make_scene(name, frames, args.seed)
        adapters: list[Adapter] = []
        if mv is not None:
            adapters += [
                MolvaneAdapter(mv, p, scene.multi, 1.0 / scene.fps) for p in molvane_profiles(scene, args.quick)
            ]
        adapters += [OpenCVAdapter(k) for k in wanted if k in OPENCV_TRACKERS]
        if not args.no_padded:
            adapters += [OpenCVAdapter(k, PADDED_VARIANTS[k]) for k in wanted if k in PADDED_VARIANTS]
        scenes_out.append(run_scene(scene, adapters))
    elapsed = time.perf_counter() - t0

    summary = summarise(scenes_out)
    table = io.StringIO()
    print_table(scenes_out, summary, file=table)
    print(table.getvalue(), end="")
    print(
        f"\n{len(scenes_out)} scenes x {frames} frames in {elapsed:.1f} s"
        + (f"; molvane: {mv_note}" if mv_note else "")
    )

    os.makedirs(args.out, exist_ok=True)
    suffix = "-quick" if args.quick else ""
    meta = {
        "date": _dt.datetime.now(_dt.timezone.utc).isoformat(timespec="seconds"),
        "quick": args.quick,
        "frames": frames,
        "seed": args.seed,
        "opencv": cv2.__version__,
        "opencv_threads": args.cv_threads,
        "numpy": np.__version__,
        "python": platform.python_version(),
        "machine": f"{platform.machine()} {os.cpu_count()} cpu",
        "molvane": "ok" if mv is not None else mv_note,
        "elapsed_s": elapsed,
        "iou_thresholds": [float(t) for t in tm.THRESHOLDS],
        "lost_means_no_box": True,
    }
    path = os.path.join(args.out, f"results{suffix}.json")
    with open(path, "w") as f:
        json.dump({"meta": meta, "scenarios": scenes_out, "summary": summary}, f, indent=1)
    written = [path]
    path = os.path.join(args.out, f"results{suffix}.txt")
    with open(path, "w") as f:
        f.write(
            f"# {meta['date']}  {len(scenes_out)} scenes x {frames} frames, seed {args.seed}, "
            f"OpenCV {meta['opencv']} ({args.cv_threads} thread), molvane: {meta['molvane']}\n\n"
        )
        f.write(table.getvalue())
    written.append(path)
    if not args.no_plots:
        written += make_plots(scenes_out, summary, args.out, suffix)
    for p in written:
        print(f"wrote {os.path.relpath(p, ROOT)} ({os.path.getsize(p) // 1024} KB)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
