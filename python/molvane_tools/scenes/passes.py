"""Multi-target scenes built from parameters rather than named: eight separated targets for
the cost tables, two drones passing at a chosen angle, distance and speed ratio, and the
varied pass kinds (formations, merge and split, sizes, hover, crossings at several frame
rates) drawn from a seed.
"""

from __future__ import annotations

import math

import numpy as np

from .sky import Scene, target


def grid_scene(n_frames: int, seed: int = 11) -> Scene:
    """Eight 14 px drones spread over a 640x480 sky, each drifting slowly on its own."""
    i = np.arange(n_frames, dtype=np.float64)
    targets = []
    for k in range(8):
        cx = 90 + (k % 4) * 150
        cy = 130 + (k // 4) * 220
        vx, vy = 1.2 * math.cos(k * 0.8), 0.8 * math.sin(k * 1.3)
        kind = "quad" if k % 2 == 0 else "aircraft"
        targets.append(target(kind, cx + vx * i, cy + vy * i, 14.0))
    return Scene("grid", "eight separated targets", 640, 480, n_frames, seed, targets, ("default",))


def pass_scene(
    angle: float, closest: float, speed_ratio: float, half: int = 100, speed: float = 2.8, seed: int = 5
) -> Scene:
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
    ta = target("quad", pa[:, 0], pa[:, 1], 10.0, np.zeros(n))
    tb = target("quad", pb[:, 0], pb[:, 1], 10.0, np.zeros(n))
    name = f"pass a{angle:g} d{closest:g}" + ("" if speed_ratio == 1.0 else f" v{speed_ratio:g}")
    return Scene(name, "two 10 px drones pass close", 640, 480, n, seed, [ta, tb], ("close-pass",))


def pair_scene(
    name,
    n,
    fps,
    seed,
    pa,
    pb,
    sa=11.0,
    sb=11.0,
    kinds=("aircraft", "aircraft"),
    colors=((55.0, 52.0, 50.0), (55.0, 52.0, 50.0)),
) -> Scene:
    """Two targets on the given (n, 2) centre paths over a 640x360 sky."""
    ta = target(
        kinds[0], pa[:, 0], pa[:, 1], sa, np.zeros(n) if kinds[0] == "quad" else None, color=colors[0], opacity=0.95
    )
    tb = target(
        kinds[1], pb[:, 0], pb[:, 1], sb, np.zeros(n) if kinds[1] == "quad" else None, color=colors[1], opacity=0.95
    )
    return Scene(name, name, 640, 360, n, seed, [ta, tb], ("default",), fps=fps)


def kind_scenes(seed: int) -> list:
    """The scene kinds of one seed: (scene, fps). Motion is given per second, so a scene's
    frame rate changes only how finely the same flight is sampled."""
    rng = np.random.default_rng([seed, 20])
    out = []

    def timeline(seconds, fps):
        return np.arange(int(round(seconds * fps)) + 1, dtype=np.float64) / fps

    # Side by side: 14-18 px apart for 1.5 s, then apart at 25 px/s across the track.
    for label, colors in (("alike", ((55, 52, 50), (55, 52, 50))), ("shades", ((45, 45, 45), (128, 128, 128)))):
        t = timeline(5.0, 30.0)
        gap = rng.uniform(14, 18) + 25.0 * np.clip(t - 2.5, 0, None)
        x = 120 + 75.0 * t
        y = 180 + 6 * np.sin(t * 1.3 + rng.uniform(0, 6))
        pa = np.stack([x, y - gap / 2], 1)
        pb = np.stack([x + rng.uniform(-2, 2), y + gap / 2], 1)
        out.append((pair_scene(f"formation {label} s{seed}", len(t), 30.0, seed, pa, pb, colors=colors), 30.0))
    # Merge then split: converge to 10 px apart, side by side for 1 s, then split again.
    t = timeline(5.0, 30.0)
    gap = 10 + 30 * np.clip(np.abs(t - 2.5) - 0.5, 0, None)
    x = 120 + 80.0 * t
    pa, pb = np.stack([x, 180 - gap / 2], 1), np.stack([x + 2, 180 + gap / 2], 1)
    out.append(
        (pair_scene(f"merge-split s{seed}", len(t), 30.0, seed, pa, pb, kinds=("quad", "quad"), sa=11.0, sb=11.0), 30.0)
    )
    # A 34 px aircraft passes a 12 px drone, 10-20 px between their centres.
    t = timeline(5.0, 30.0)
    d = rng.uniform(10, 20)
    pa = np.stack([80 + 95.0 * t, np.full_like(t, 180.0 - d / 2)], 1)
    pb = np.stack([560 - 95.0 * t, np.full_like(t, 180.0 + d / 2)], 1)
    out.append(
        (pair_scene(f"sizes s{seed}", len(t), 30.0, seed, pa, pb, sa=34.0, sb=12.0, kinds=("aircraft", "quad")), 30.0)
    )
    # A hovering drone that an aircraft passes 8-14 px away.
    t = timeline(5.0, 30.0)
    d = rng.uniform(8, 14)
    hx = 320 + 1.5 * np.sin(t * 3.1)
    hy = 180 + 1.5 * np.sin(t * 2.3 + 1)
    pa = np.stack([hx, hy], 1)
    pb = np.stack([80 + 96.0 * t, np.full_like(t, 180.0 + d)], 1)
    out.append(
        (pair_scene(f"hover s{seed}", len(t), 30.0, seed, pa, pb, sa=12.0, sb=11.0, kinds=("quad", "aircraft")), 30.0)
    )
    # Crossings at an angle drawn from 0-90 degrees (0: one overtakes the other), sampled
    # at 10, 30, 60 and 120 fps.
    ang = math.radians(rng.uniform(0, 90))
    closest = rng.uniform(0, 12)
    for fps in (10.0, 30.0, 60.0, 120.0):
        t = timeline(5.0, fps) - 2.5
        va = 84.0 * np.array([math.cos(ang / 2), math.sin(ang / 2)])
        vb = (0.6 if ang < math.radians(15) else 1.0) * 84.0 * np.array([math.cos(ang / 2), -math.sin(ang / 2)])
        rel = va - vb
        normal = np.array([-rel[1], rel[0]]) / max(np.hypot(*rel), 1e-9)
        c = np.array([320.0, 180.0])
        pa = c + 0.5 * closest * normal + t[:, None] * va
        pb = c - 0.5 * closest * normal + t[:, None] * vb
        out.append(
            (
                pair_scene(
                    f"cross{math.degrees(ang):.0f} {fps:g}fps s{seed}",
                    len(t),
                    fps,
                    seed,
                    pa,
                    pb,
                    kinds=("quad", "quad"),
                    sa=10.0,
                    sb=10.0,
                ),
                fps,
            )
        )
    return out
