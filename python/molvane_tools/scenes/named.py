"""The named sky scenes of the benchmarks and the golden traces: one target or several,
small, fast, occluded, leaving the frame, in formation, crossing. ``make_scene(name,
n_frames, seed)`` builds one; every random choice comes from the seed.
"""

from __future__ import annotations

import math
from collections.abc import Callable

import cv2
import numpy as np

from .sky import Occluder, Scene, along_path, make_cloud, smooth_curve, target


def _small_slow(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    curve = smooth_curve(320, 170, 150, 60, wobble=15, rng=rng)
    x, y, hd = along_path(curve, np.full(n, 1.6), start=rng.uniform(0, 300))
    t = target("aircraft", x, y, 11.0, hd, opacity=0.45)
    return Scene(
        "small_slow",
        "11 px low-contrast aircraft, 1.6 px/frame",
        640,
        360,
        n,
        seed,
        [t],
        ("default", "fast-sky", "correlation"),
    )


def _tiny_fast(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    curve = smooth_curve(320, 180, 250, 130, wobble=10, rng=rng)
    speeds = 25.0 + 5.0 * np.sin(np.arange(n) * 0.11 + rng.uniform(0, 6))
    x, y, hd = along_path(curve, speeds, start=rng.uniform(0, 500))
    t = target("aircraft", x, y, 5.0, hd, opacity=0.9, color=(40, 40, 45))
    return Scene(
        "tiny_fast", "5 px aircraft at 20-30 px/frame", 640, 360, n, seed, [t], ("fast-sky", "missile", "default")
    )


def _abrupt_turn(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    pts = np.array([(60, 60), (560, 110), (140, 300), (590, 290), (330, 40), (80, 250)], float)
    pts += rng.uniform(-15, 15, pts.shape)
    x, y, hd = along_path(pts, np.full(n, 18.0), start=30.0)
    t = target("quad", x, y, 9.0, np.zeros(n), opacity=0.9)
    return Scene(
        "abrupt_turn",
        "9 px drone, 18 px/frame, 100-150 deg corners",
        640,
        360,
        n,
        seed,
        [t],
        ("fast-sky", "missile", "default"),
    )


def _approaching(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    f = np.arange(n) / max(n - 1, 1)
    size = 26.0 * 4.0**f
    x = 420 + 300 * f + 12 * np.sin(f * 5 + rng.uniform(0, 6))
    y = 250 + 110 * f
    hd = np.full(n, -0.35) + 0.08 * np.sin(f * 7)
    t = target("aircraft", x, y, size, hd, opacity=0.9)
    return Scene(
        "approaching",
        "aircraft growing 26 -> 104 px (4x), 1280x720",
        1280,
        720,
        n,
        seed,
        [t],
        ("scale-target", "adaptive", "default"),
    )


def _occlusion(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    mid = n * 0.45
    hidden = min(28.0, n * 0.3)  # frames spent fully behind the cloud
    # start inside the frame at any length, but clear of the cloud (whose half width is
    # (v * hidden + 50) / 2) by a target width: fast in short scenes
    v = max(min(3.0, 250.0 / mid), 37.0 / (mid - hidden / 2))
    x = 320 + v * (np.arange(n) - mid)
    y = 175 + 12 * np.sin(np.arange(n) * 0.05)
    t = target("aircraft", x, y, 12.0, opacity=0.85)
    cw = int(v * hidden + 10)
    cloud = make_cloud(rng, cw + 40, 90)
    occ = Occluder(320 - (cw + 40) / 2, 175 - 45, cloud)
    return Scene(
        "occlusion",
        "12 px aircraft passes behind an opaque cloud and reappears",
        640,
        360,
        n,
        seed,
        [t],
        ("default", "fast-sky"),
        occluders=[occ],
    )


def _edge_exit(n: int, seed: int) -> Scene:
    w, h = 640, 360
    te, tb = n * 0.35, n * 0.6
    v = min(4.0, 500.0 / te)
    i = np.arange(n, dtype=np.float64)
    a = v / (tb - te)
    x = np.where(i < te, w - v * (te - i), np.where(i < tb, w + a * (i - te) * (tb - i), w - v * (i - tb)))
    y = np.where(i < te, 150.0, np.where(i < tb, 150 + 60 * (i - te) / (tb - te), 210.0))
    hd = np.where(i < tb, 0.0, math.pi)
    t = target("quad", x, y, 11.0, hd * 0, opacity=0.9)
    return Scene(
        "edge_exit",
        "drone leaves the frame at the right edge and re-enters lower",
        w,
        h,
        n,
        seed,
        [t],
        ("default", "fast-sky"),
    )


def _dusk_glint(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    curve = smooth_curve(320, 170, 230, 110, wobble=20, rng=rng)
    speeds = 18.0 + 4.0 * np.sin(np.arange(n) * 0.07)
    x, y, hd = along_path(curve, speeds, start=rng.uniform(0, 400))
    t = target("glint", x, y, 5.0, hd)
    return Scene(
        "dusk_glint",
        "bright 5 px glint with trail at dusk, 14-22 px/frame, flicker",
        640,
        360,
        n,
        seed,
        [t],
        ("missile", "fast-sky"),
        dusk=True,
        flicker=0.06,
        noise_sigma=3.0,
    )


def _shaky(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    curve = smooth_curve(320, 180, 140, 70, wobble=10, rng=rng)
    x, y, _ = along_path(curve, np.full(n, 3.0), start=rng.uniform(0, 300))
    t = target("quad", x, y, 10.0, np.zeros(n), opacity=0.85)
    return Scene(
        "shaky",
        "10 px drone, hand-held camera shake (about 8 px)",
        640,
        360,
        n,
        seed,
        [t],
        ("default", "adaptive"),
        shake=8.0,
    )


def _large_aircraft(n: int, seed: int) -> Scene:
    i = np.arange(n, dtype=np.float64)
    x = 190 + 1.4 * i * (240 / max(n, 1))
    y = 185 - 0.3 * i * (240 / max(n, 1))
    hd = -0.12 + 0.1 * np.sin(i * 0.03)
    t = target("aircraft", x, y, 150.0, hd, opacity=0.92, color=(70, 68, 66))
    return Scene(
        "large_aircraft",
        "extended aircraft, 150 px span, slow",
        640,
        360,
        n,
        seed,
        [t],
        ("adaptive", "default", "correlation"),
    )


def _grey_only(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    curve = smooth_curve(320, 180, 200, 90, wobble=15, rng=rng)
    x, y, hd = along_path(curve, np.full(n, 6.0), start=rng.uniform(0, 400))
    t = target("aircraft", x, y, 12.0, hd, opacity=0.8)
    return Scene(
        "grey_only",
        "12 px aircraft at 6 px/frame, single-channel frames",
        640,
        360,
        n,
        seed,
        [t],
        ("default", "fast-sky"),
        grey=True,
    )


def _crossing_drones(n: int, seed: int) -> Scene:
    i = np.arange(n, dtype=np.float64)
    mid = n / 2
    v = min(4.0, 250.0 / mid)
    ta = target("quad", 320 + v * (i - mid), 180 + 0.5 * v * (i - mid), 12.0, np.zeros(n))
    tb = target("quad", 320 - v * (i - mid), 180 + 0.5 * v * (i - mid), 12.0, np.zeros(n))
    return Scene(
        "crossing_drones", "two identical 12 px drones cross paths", 640, 360, n, seed, [ta, tb], ("birds", "default")
    )


def _close_pass(n: int, seed: int) -> Scene:
    i = np.arange(n, dtype=np.float64)
    mid = n / 2
    v = min(5.0, 270.0 / mid)
    ta = target("aircraft", 320 + v * (i - mid), np.full(n, 172.0), 14.0)
    tb = target("aircraft", 320 - v * (i - mid), np.full(n, 190.0), 14.0)
    return Scene(
        "close_pass",
        "two 14 px aircraft pass head-on 18 px apart",
        640,
        360,
        n,
        seed,
        [ta, tb],
        ("close-pass", "default"),
    )


def _flock(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    i = np.arange(n, dtype=np.float64)
    base_x = 120 + 2.0 * i * (240 / max(n, 1))
    base_y = 180 + 30 * np.sin(i * 0.02)
    offsets = [(0, 0), (-30, -22), (-34, 24), (-62, 4)]
    targets = []
    for k, (ox, oy) in enumerate(offsets):
        wob = rng.uniform(0, 6, 2)
        x = base_x + ox + 8 * np.sin(i * 0.05 + wob[0])
        y = base_y + oy + 8 * np.sin(i * 0.043 + wob[1])
        phase = i * (0.55 + 0.05 * k) + rng.uniform(0, 6)
        targets.append(target("bird", x, y, 16.0, phase=phase, opacity=0.9, color=(35, 35, 38)))
    return Scene(
        "flock",
        "four 16 px birds with flapping wings flying in a loose group",
        640,
        360,
        n,
        seed,
        targets,
        ("birds", "default"),
    )


def _merge_split(n: int, seed: int) -> Scene:
    i = np.arange(n, dtype=np.float64)
    f = i / max(n - 1, 1)
    x = 140 + 360 * f
    gap = 60 * np.clip(np.abs(f - 0.5) * 4 - 0.4, 0.0, 1.0) + 5  # 5 px apart around f = 0.5
    ta = target("quad", x, 180 - gap / 2, 12.0, np.zeros(n))
    tb = target("quad", x + 3, 180 + gap / 2, 12.0, np.zeros(n))
    return Scene(
        "merge_split",
        "two 12 px drones converge, overlap, then split",
        640,
        360,
        n,
        seed,
        [ta, tb],
        ("birds", "default"),
    )


def _leave_frame(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    i = np.arange(n, dtype=np.float64)
    # out of the frame a third of the way through, and never back
    v = 540.0 / max(n / 3.0, 1.0)
    x = 120 + v * i
    y = 150 + 25 * np.sin(i * 0.03 + rng.uniform(0, 6))
    t = target("aircraft", x, y, 12.0, opacity=0.85)
    return Scene(
        "leave_frame",
        "12 px aircraft leaves the frame at the right edge for good",
        640,
        360,
        n,
        seed,
        [t],
        ("default", "fast-sky"),
    )


def _cloud_bank(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    i = np.arange(n, dtype=np.float64)
    # flies into a bank of cloud a third of the way through and stays inside it
    bank_x = 400
    v = 260.0 / max(n / 3.0, 1.0)
    x = np.minimum(150 + v * i, 560.0)
    y = 180 + 10 * np.sin(i * 0.05)
    t = target("quad", x, y, 11.0, np.zeros(n), opacity=0.9)
    alpha = make_cloud(rng, 520, 520)
    return Scene(
        "cloud_bank",
        "11 px drone flies into a dense cloud bank and stays there",
        640,
        360,
        n,
        seed,
        [t],
        ("default", "fast-sky"),
        occluders=[Occluder(bank_x - 20, -80, alpha)],
    )


def _structures(rng: np.random.Generator, w: int, h: int) -> list[Occluder]:
    """A lattice mast with cross bars and a ragged treeline along the bottom edge."""
    mast = np.zeros((230, 40), np.float32)
    cv2.line(mast, (20, 0), (6, 229), 1.0, 2)
    cv2.line(mast, (20, 0), (34, 229), 1.0, 2)
    for k in range(12, 229, 18):
        half = 14 * k / 229
        cv2.line(mast, (int(20 - half), k), (int(20 + half), k + 9), 1.0, 1)
        cv2.line(mast, (int(20 + half), k), (int(20 - half), k + 9), 1.0, 1)
    cv2.line(mast, (8, 30), (32, 30), 1.0, 2)
    cv2.circle(mast, (20, 4), 3, 1.0, -1)
    mast = cv2.GaussianBlur(mast, (0, 0), 0.6)
    tree = np.zeros((70, w), np.float32)
    tops = 30 + np.cumsum(rng.normal(0, 2.5, w))
    tops = np.clip(tops - (tops.mean() - 30), 8, 60)
    for xx in range(w):
        tree[int(tops[xx]) :, xx] = 1.0
    tree = cv2.GaussianBlur(tree, (0, 0), 0.8)
    return [Occluder(300, h - 230 - 30, mast, (40, 44, 42)), Occluder(0, h - 70, tree, (30, 48, 34))]


def _mast_clutter(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    i = np.arange(n, dtype=np.float64)
    # passes low in front of a mast above a treeline, then leaves the frame at the left
    v = 420.0 / max(n * 0.45, 1.0)
    x = 80 + 450 - v * i
    y = 230 + 8 * np.sin(i * 0.07)
    t = target("quad", x, y, 11.0, np.zeros(n), opacity=0.9)
    return Scene(
        "mast_clutter",
        "11 px drone passes a mast over a treeline, then leaves the frame",
        640,
        360,
        n,
        seed,
        [t],
        ("default", "fast-sky"),
        scenery=_structures(rng, 640, 360),
    )


SCENARIOS: dict[str, Callable[[int, int], Scene]] = {
    "small_slow": _small_slow,
    "tiny_fast": _tiny_fast,
    "abrupt_turn": _abrupt_turn,
    "approaching": _approaching,
    "occlusion": _occlusion,
    "edge_exit": _edge_exit,
    "dusk_glint": _dusk_glint,
    "shaky": _shaky,
    "large_aircraft": _large_aircraft,
    "grey_only": _grey_only,
    "crossing_drones": _crossing_drones,
    "close_pass": _close_pass,
    "flock": _flock,
    "merge_split": _merge_split,
    "leave_frame": _leave_frame,
    "cloud_bank": _cloud_bank,
    "mast_clutter": _mast_clutter,
}


def make_scene(name: str, n_frames: int = 240, seed: int = 7) -> Scene:
    """Builds a named scenario; raises KeyError for an unknown name."""
    if n_frames < 2:
        raise ValueError("a scene needs at least two frames")
    return SCENARIOS[name](n_frames, seed)
