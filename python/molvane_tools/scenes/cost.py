"""Cheap frame sources for the cost and soak benchmarks.

``TIMING_SCENES``: a static sky (vertical gradient, faint static cloud texture) with a few
pre-drawn noise fields cropped per frame, and one target:

- ``dot640g``   640x480 grey, a soft dark 10x10 target drifting a few px per frame
- ``dot640c``   the same scene in BGR
- ``dot1280c``  1280x720 BGR, the same target and drift
- ``plane1280c`` 1280x720 BGR, a 120x50 aircraft silhouette drifting across
- ``lost640c``  640x480 BGR: the 10x10 target is shown for a few frames, then removed for
  a while, then the episode starts over (``episode_start`` says where to lock again).

``LoopSky``: a pool of pre-made noisy grey backgrounds with targets pasted in, flying
Lissajous paths that cross each other, each hidden for 12 frames in every 1500; cheap
enough for a hundred thousand frames.
"""

from __future__ import annotations

import math
from collections.abc import Callable, Iterator
from dataclasses import dataclass, field

import cv2
import numpy as np

from .small import vertical_gradient


class StaticSky:
    """A static sky (gradient plus faint clouds) and a few noise fields cropped per frame."""

    def __init__(self, width: int, height: int, seed: int, colour: bool, noise: float = 2.0) -> None:
        rng = np.random.default_rng(seed)
        self.width, self.height, self.colour = width, height, colour
        v = np.linspace(0.0, 1.0, height, dtype=np.float32)[:, None]
        grey = 150.0 + 55.0 * v**1.2 + np.zeros((1, width), np.float32)
        small = rng.random((height // 80 + 3, width // 80 + 3)).astype(np.float32)
        clouds = cv2.resize(small, (small.shape[1] * 80, small.shape[0] * 80), interpolation=cv2.INTER_CUBIC)[
            :height, :width
        ]
        grey = grey + 10.0 * np.clip(clouds - 0.5, 0.0, 1.0)
        if colour:
            tint = np.array([1.0, 0.86, 0.7], np.float32)  # bluish: B > G > R
            self.base = grey[:, :, None] * tint[None, None, :]
        else:
            self.base = grey
        self.pad = 16
        shape = (height + self.pad, width + self.pad) + ((3,) if colour else ())
        self.noise = [rng.standard_normal(shape, dtype=np.float32) * np.float32(noise) for _ in range(2)]
        self.rng = np.random.default_rng(seed + 1)

    def background(self, i: int) -> np.ndarray:
        ox, oy = (int(v) for v in self.rng.integers(0, self.pad, 2))
        n = self.noise[i % 2][oy : oy + self.height, ox : ox + self.width]
        return self.base + n


def dot_patch(cx: float, cy: float, size: float = 10.0) -> tuple[int, int, np.ndarray]:
    """Alpha of a soft disc of diameter ``size`` centred at (cx, cy): (x0, y0, alpha)."""
    r = int(math.ceil(size)) + 2
    x0, y0 = int(math.floor(cx)) - r, int(math.floor(cy)) - r
    yy, xx = np.mgrid[y0 : y0 + 2 * r + 1, x0 : x0 + 2 * r + 1].astype(np.float32)
    d = np.sqrt((xx - cx) ** 2 + (yy - cy) ** 2)
    alpha = np.clip(size / 2.0 + 0.5 - d, 0.0, 1.0)
    return x0, y0, alpha


def plane_patch(cx: float, cy: float, length: float = 120.0, height: float = 50.0) -> tuple[int, int, np.ndarray]:
    """Alpha of an aircraft seen from the side, nose along +x, ``length`` x ``height`` px."""
    ss = 4
    pw, ph = int(length) + 8, int(height) + 8
    x0, y0 = int(math.floor(cx - pw / 2)), int(math.floor(cy - ph / 2))
    fx, fy = cx - x0, cy - y0  # centre inside the patch

    def pts(poly):
        p = np.array([(fx + u * length, fy + v * height) for u, v in poly], np.float64)
        return np.round(p * ss * 16).astype(np.int32)  # 4 fractional bits

    fuselage = [(0.5, 0.12), (0.42, 0.02), (-0.42, 0.0), (-0.5, -0.04), (-0.5, 0.1), (-0.4, 0.2), (0.42, 0.22)]
    fin = [(-0.32, 0.02), (-0.44, -0.5), (-0.5, -0.5), (-0.48, 0.02)]
    wing = [(0.12, 0.12), (-0.14, 0.5), (-0.22, 0.5), (-0.06, 0.12)]
    big = np.zeros((ph * ss, pw * ss), np.uint8)
    cv2.fillPoly(big, [pts(fuselage), pts(fin), pts(wing)], 255, lineType=cv2.LINE_8, shift=4)
    alpha = cv2.resize(big, (pw, ph), interpolation=cv2.INTER_AREA).astype(np.float32) / 255.0
    return x0, y0, alpha


def composite(img: np.ndarray, x0: int, y0: int, alpha: np.ndarray, value: float) -> None:
    h, w = img.shape[:2]
    ax0, ay0 = max(0, -x0), max(0, -y0)
    bx0, by0 = max(0, x0), max(0, y0)
    bx1, by1 = min(w, x0 + alpha.shape[1]), min(h, y0 + alpha.shape[0])
    if bx1 <= bx0 or by1 <= by0:
        return
    a = alpha[ay0 : ay0 + by1 - by0, ax0 : ax0 + bx1 - bx0]
    roi = img[by0:by1, bx0:bx1]
    if roi.ndim == 3:
        a = a[:, :, None]
    roi *= 1.0 - a
    roi += a * value


@dataclass
class TimingScene:
    name: str
    width: int
    height: int
    colour: bool
    kind: str  # "dot" or "plane"
    lost: bool = False  # episodes of tracking, then the target removed
    description: str = ""
    episode: tuple[int, int] = (6, 16)  # lost scenes: frames with the target, frames without
    seed: int = 11
    _sky: StaticSky | None = field(default=None, repr=False)

    def path(self, i: int) -> tuple[float, float]:
        w, h = self.width, self.height
        if self.kind == "plane":
            # Back and forth across the middle at about 3 px per frame, gently bobbing.
            span = 0.6 * w
            u = (3.1 * i) % (2.0 * span)
            x = 0.2 * w + (u if u <= span else 2.0 * span - u)
            y = 0.42 * h + 0.05 * h * math.sin(i / 40.0)
            return x, y
        # A slow drifting loop around the frame centre (2-3 px per frame).
        t = i / 70.0
        return (
            0.5 * w + 0.22 * w * math.sin(t) + 0.03 * w * math.sin(3.1 * t),
            0.5 * h + 0.2 * h * math.sin(0.8 * t + 0.6),
        )

    def target_present(self, i: int) -> bool:
        if not self.lost:
            return True
        on, off = self.episode
        return i % (on + off) < on

    def episode_start(self, i: int) -> bool:
        return i == 0 or (self.lost and i % sum(self.episode) == 0)

    def seed_box(self, i: int) -> tuple[int, int, int, int]:
        cx, cy = self.path(i)
        if self.kind == "plane":
            w, h = 120, 50
        else:
            w, h = 10, 10
        return (int(round(cx - w / 2)), int(round(cy - h / 2)), w, h)

    def frame(self, i: int) -> np.ndarray:
        if self._sky is None:
            self._sky = StaticSky(self.width, self.height, self.seed, self.colour)
        img = self._sky.background(i)
        if self.target_present(i):
            cx, cy = self.path(i)
            if self.kind == "plane":
                x0, y0, a = plane_patch(cx, cy)
                composite(img, x0, y0, a, 55.0)
            else:
                x0, y0, a = dot_patch(cx, cy)
                composite(img, x0, y0, a, 60.0)
        return np.clip(img + 0.5, 0, 255).astype(np.uint8)

    def frames(self, n: int) -> Iterator[tuple[int, np.ndarray]]:
        for i in range(n):
            yield i, self.frame(i)


TIMING_SCENES: dict[str, Callable[[], TimingScene]] = {
    "dot640g": lambda: TimingScene("dot640g", 640, 480, False, "dot", description="10x10 target, 640x480 grey"),
    "dot640c": lambda: TimingScene("dot640c", 640, 480, True, "dot", description="10x10 target, 640x480 BGR"),
    "dot1280c": lambda: TimingScene("dot1280c", 1280, 720, True, "dot", description="10x10 target, 1280x720 BGR"),
    "plane1280c": lambda: TimingScene(
        "plane1280c", 1280, 720, True, "plane", description="120x50 aircraft, 1280x720 BGR"
    ),
    "lost640c": lambda: TimingScene(
        "lost640c", 640, 480, True, "dot", lost=True, description="10x10 target removed after 6 frames, 640x480 BGR"
    ),
}


class LoopSky:
    """Cheap frame source: a pool of pre-made noisy backgrounds, targets pasted in."""

    def __init__(self, width, height, targets, pool=32, seed=0):
        rng = np.random.default_rng(seed)
        grad = vertical_gradient(height, width, 135, 215)
        self.backgrounds = [
            np.clip(grad + rng.normal(0, 3, (height, width)), 0, 255).astype(np.uint8) for _ in range(pool)
        ]
        self.w, self.h = width, height
        self.paths = [
            (
                0.5 + 0.15 * math.cos(k * 1.7),
                0.5 + 0.12 * math.sin(k * 2.3),  # centre
                0.3,
                0.3,  # amplitude
                0.011 * (1 + 0.21 * k),
                0.017 * (1 + 0.13 * k),
                k * 0.9,
            )  # rates, phase
            for k in range(targets)
        ]
        self.radius = [4 + (k % 3) for k in range(targets)]
        self.frame = np.empty((height, width), np.uint8)

    def centre(self, k, t):
        cx, cy, ax, ay, fx, fy, ph = self.paths[k]
        return (self.w * (cx + ax * math.sin(fx * t + ph)), self.h * (cy + ay * math.sin(fy * t)))

    def visible(self, k, t):
        # Every target disappears for 12 frames in every 1500 (at a different time).
        return (t + 300 * k + 100) % 1500 >= 12

    def render(self, t):
        np.copyto(self.frame, self.backgrounds[t % len(self.backgrounds)])
        for k, r in enumerate(self.radius):
            if not self.visible(k, t):
                continue
            x, y = self.centre(k, t)
            x0, y0 = int(x) - r, int(y) - r
            xs, ys = slice(max(x0, 0), min(x0 + 2 * r + 1, self.w)), slice(max(y0, 0), min(y0 + 2 * r + 1, self.h))
            self.frame[ys, xs] = 45 + 20 * k
        return self.frame

    def box(self, k, t):
        x, y = self.centre(k, t)
        r = self.radius[k] + 3
        return (int(x) - r, int(y) - r, 2 * r + 1, 2 * r + 1)
