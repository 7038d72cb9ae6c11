"""Tracking accuracy metrics over per-frame box sequences.

Conventions shared by every function here:
- A box is (x, y, w, h) in pixels. A sequence of boxes is an (N, 4) float array; a frame in
  which the tracker gave no box (it reported the target lost) holds NaN.
- ``visible`` is a boolean array of length N: whether the target can be seen in that frame.
- A frame without a predicted box has IoU 0 and an infinite centre error.
"""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

THRESHOLDS = np.round(np.arange(0.0, 1.0 + 1e-9, 0.05), 2)  # 21 IoU thresholds 0 .. 1
FAILURE_MIN_RUN = 10


def as_boxes(boxes: Sequence[Sequence[float] | None]) -> np.ndarray:
    """Turns a list of boxes (None for a missing one) into an (N, 4) float array."""
    out = np.full((len(boxes), 4), np.nan)
    for i, b in enumerate(boxes):
        if b is not None:
            out[i] = b
    return out


def iou(pred: np.ndarray, gt: np.ndarray) -> np.ndarray:
    """Intersection over union, row by row; 0 where either box is missing or empty."""
    pred = np.atleast_2d(np.asarray(pred, np.float64))
    gt = np.atleast_2d(np.asarray(gt, np.float64))
    x0 = np.maximum(pred[:, 0], gt[:, 0])
    y0 = np.maximum(pred[:, 1], gt[:, 1])
    x1 = np.minimum(pred[:, 0] + pred[:, 2], gt[:, 0] + gt[:, 2])
    y1 = np.minimum(pred[:, 1] + pred[:, 3], gt[:, 1] + gt[:, 3])
    inter = np.clip(x1 - x0, 0, None) * np.clip(y1 - y0, 0, None)
    union = pred[:, 2] * pred[:, 3] + gt[:, 2] * gt[:, 3] - inter
    with np.errstate(invalid="ignore", divide="ignore"):
        out = np.where(union > 0, inter / union, 0.0)
    return np.nan_to_num(out, nan=0.0)


def center_error(pred: np.ndarray, gt: np.ndarray) -> np.ndarray:
    """Distance between box centres in pixels; infinite where a box is missing."""
    pred = np.atleast_2d(np.asarray(pred, np.float64))
    gt = np.atleast_2d(np.asarray(gt, np.float64))
    d = np.hypot(
        pred[:, 0] + pred[:, 2] / 2 - gt[:, 0] - gt[:, 2] / 2, pred[:, 1] + pred[:, 3] / 2 - gt[:, 1] - gt[:, 3] / 2
    )
    return np.where(np.isnan(d), np.inf, d)


def success_curve(ious: np.ndarray, thresholds: np.ndarray = THRESHOLDS) -> np.ndarray:
    """Share of frames whose IoU reaches each threshold. At threshold 0 the IoU must be above
    0 (a miss never counts); at 1 a perfect box counts, so a perfect tracker scores 1."""
    ious = np.asarray(ious, np.float64)
    if ious.size == 0:
        return np.zeros(len(thresholds))
    t = np.maximum(np.asarray(thresholds, np.float64) - 1e-9, 0.0)
    return (ious[None, :] > t[:, None]).mean(axis=1)


def success_auc(ious: np.ndarray) -> float:
    """Area under the success curve: the mean of the curve over the 21 thresholds."""
    return float(success_curve(ious).mean())


def precision_at(errors: np.ndarray, px: float) -> float:
    """Share of frames whose centre error is at most ``px``."""
    errors = np.asarray(errors, np.float64)
    return float((errors <= px).mean()) if errors.size else 0.0


def presence_scores(ious: np.ndarray, visible: np.ndarray, reported_lost: np.ndarray) -> np.ndarray:
    """Per-frame score that also rewards saying "lost" while the target cannot be seen:
    IoU on visible frames; on invisible ones 1 if the tracker reported the target lost, else 0."""
    ious = np.asarray(ious, np.float64)
    visible = np.asarray(visible, bool)
    lost = np.asarray(reported_lost, bool)
    return np.where(visible, ious, np.where(lost, 1.0, 0.0))


def failure_runs(ious: np.ndarray, visible: np.ndarray, min_run: int = FAILURE_MIN_RUN) -> list[tuple[int, int]]:
    """Runs of at least ``min_run`` visible frames with IoU 0, as (first frame, length).

    Invisible frames neither extend nor end a run: a tracker that was off the target before
    an occlusion and is still off after it has failed once, not twice."""
    ious = np.asarray(ious, np.float64)
    visible = np.asarray(visible, bool)
    runs: list[tuple[int, int]] = []
    start, length = -1, 0
    for i in range(len(ious)):
        if not visible[i]:
            continue
        if ious[i] <= 0.0:
            if length == 0:
                start = i
            length += 1
        else:
            if length >= min_run:
                runs.append((start, length))
            length = 0
    if length >= min_run:
        runs.append((start, length))
    return runs


def reacquisition_latencies(ious: np.ndarray, visible: np.ndarray) -> list[int | None]:
    """For every reappearance (a visible frame right after invisible ones, once the target
    has been seen), the number of frames until the tracker overlaps it again (0: at once).
    None when it never overlaps before the target hides again or the sequence ends."""
    ious = np.asarray(ious, np.float64)
    visible = np.asarray(visible, bool)
    out: list[int | None] = []
    seen = False
    i, n = 0, len(ious)
    while i < n:
        if visible[i] and i > 0 and not visible[i - 1] and seen:
            lat: int | None = None
            j = i
            while j < n and visible[j]:
                if ious[j] > 0.0:
                    lat = j - i
                    break
                j += 1
            out.append(lat)
        seen = seen or bool(visible[i])
        i += 1
    return out


def identity_switches(
    tracks: np.ndarray, gts: np.ndarray, visible: np.ndarray, persist: int = 1, exclusive: bool = False
) -> int:
    """Counts identity switches: ``tracks`` (T, N, 4) and ``gts`` (G, N, 4) boxes, ``visible``
    (G, N). Each frame a track is matched to the visible ground-truth target it overlaps
    most (IoU > 0). A switch is a track taking on a match other than its current identity
    for ``persist`` consecutive matched frames (1: every change counts); shorter excursions,
    typical while two targets overlap and either could be "the" match, are not switches.
    With ``exclusive`` a frame only counts towards a switch when the track no longer overlaps
    the target of its current identity at all: a box sitting on two merged targets keeps
    its identity however the overlaps compare."""
    tracks = np.asarray(tracks, np.float64)
    gts = np.asarray(gts, np.float64)
    visible = np.asarray(visible, bool)
    persist = max(int(persist), 1)
    switches = 0
    n = tracks.shape[1]
    for t in range(tracks.shape[0]):
        current, candidate, streak = -1, -1, 0
        for i in range(n):
            overlaps = np.array(
                [iou(tracks[t, i], gts[g, i])[0] if visible[g, i] else 0.0 for g in range(gts.shape[0])]
            )
            if overlaps.max(initial=0.0) <= 0.0:
                continue
            g = int(np.argmax(overlaps))
            if current < 0:
                current = g
            if g == current or (exclusive and overlaps[current] > 0.0):
                candidate, streak = -1, 0
                continue
            streak = streak + 1 if g == candidate else 1
            candidate = g
            if streak >= persist:
                switches += 1
                current, candidate, streak = g, -1, 0
    return switches


def timing_summary(seconds: Sequence[float]) -> dict:
    """Median and 95th percentile of per-frame update time (ms) and the mean rate (fps)."""
    s = np.asarray(seconds, np.float64) * 1000.0
    if s.size == 0:
        return {"median_ms": None, "p95_ms": None, "fps": None}
    mean = float(s.mean())
    return {
        "median_ms": float(np.median(s)),
        "p95_ms": float(np.percentile(s, 95)),
        "fps": 1000.0 / mean if mean > 0 else None,
    }


# --------------------------------------------------------------------------------------
# Several targets at once. These judging rules belong to the benchmarks: none is taken from
# the tracker's configuration, so retuning the tracker's own interaction test cannot move
# the yardstick it is measured with.

NEAR_PX = 20.0  # a reported centre this close to a true centre is on that target
APART_SIZES = 1.5  # true targets are apart beyond this many times the larger box side


def apart(a: Sequence[float], b: Sequence[float]) -> bool:
    """Two true boxes are apart when their centres are more than NEAR_PX and more than
    APART_SIZES times the larger box side from each other: the boxes do not touch, and a
    report on one is not within NEAR_PX of the other's centre for being half-way between."""
    d = float(center_error(np.asarray(a, np.float64), np.asarray(b, np.float64))[0])
    return d > max(NEAR_PX, APART_SIZES * max(a[2], a[3], b[2], b[3]))


def separation_frame(gts: np.ndarray, visible: np.ndarray) -> int | None:
    """``gts`` (G, T, 4) true boxes, ``visible`` (G, T). The first frame after the last one in
    which two visible targets are not apart; None when no two ever come together or they
    are still together in the last frame."""
    g, n = visible.shape
    last = -1
    for f in range(n):
        if any(
            visible[a, f] and visible[b, f] and not apart(gts[a, f], gts[b, f])
            for a in range(g)
            for b in range(a + 1, g)
        ):
            last = f
    return last + 1 if 0 <= last < n - 1 else None


def on_other_target(track: Sequence[float], k: int, gts_at_frame: np.ndarray, visible_at_frame: np.ndarray) -> bool:
    """A report of target ``k`` is on another target's object when its centre is within
    NEAR_PX of another visible target's true centre and nearer it than its own (a hidden
    own target counts as infinitely far). ``gts_at_frame`` (G, 4), ``visible_at_frame`` (G,)."""
    track = np.asarray(track, np.float64)
    if np.isnan(track).any():
        return False
    err = center_error(np.broadcast_to(track, gts_at_frame.shape), gts_at_frame)
    own = err[k] if visible_at_frame[k] else np.inf
    return any(visible_at_frame[g] and err[g] <= NEAR_PX and err[g] < own for g in range(len(err)) if g != k)
