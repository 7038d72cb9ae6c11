"""A synthetic sky sequence rendered in code, for demos, examples and tests.

A small drone crosses a gradient sky from left to right and passes behind a cloud
for about half a second; an aircraft flies the other way higher up. Everything is a
pure function of the frame index and the seed, so two renderings of the same clip are
byte-identical and the true target positions are known exactly.
"""

from __future__ import annotations

import math
from collections.abc import Iterator

import numpy as np

Box = tuple[int, int, int, int]
Point = tuple[float, float]

# Colours in blue-green-red order, as the trackers expect them.
_SKY_TOP = np.array([205.0, 150.0, 95.0], np.float32)
_SKY_HORIZON = np.array([238.0, 220.0, 196.0], np.float32)
_DRONE = np.array([38.0, 42.0, 48.0], np.float32)
_AIRCRAFT = np.array([92.0, 90.0, 96.0], np.float32)
_CLOUD = np.array([246.0, 246.0, 248.0], np.float32)

# Cloud core half-axes and the width of its soft rim, in pixels.
_CLOUD_AXES = (22.0, 16.0)
_CLOUD_RIM = 10.0
# Where along the drone's path the cloud sits (fraction of the clip).
_CLOUD_AT = 0.45
# Puffs around the core that make the cloud lumpy: (dx, dy, a, b) in pixels.
_CLOUD_PUFFS = ((-15.0, 5.0, 12.0, 10.0), (15.0, 4.0, 13.0, 11.0), (5.0, -10.0, 13.0, 10.0))
_NOISE_PAD = 16


def _ellipse_coverage(xx: np.ndarray, yy: np.ndarray, a: float, b: float) -> np.ndarray:
    """Anti-aliased coverage (0..1) of an axis-aligned ellipse centred at the origin."""
    d = np.sqrt((xx / a) ** 2 + (yy / b) ** 2)
    return np.clip((1.0 - d) * min(a, b) + 0.5, 0.0, 1.0)


class DemoClip:
    """Deterministic synthetic clip; iterate it for frames (H, W, 3) uint8 BGR."""

    # Half extents of the drawn targets (drone, aircraft), used for the seed boxes.
    _HALF_EXTENTS = ((8.0, 3.0), (10.0, 8.0))

    def __init__(
        self,
        width: int = 640,
        height: int = 360,
        frames: int = 240,
        fps: float = 30.0,
        seed: int = 7,
        occluder: bool = True,
        second_target: bool = True,
        noise: float = 2.0,
    ) -> None:
        if width < 64 or height < 48:
            raise ValueError("demo clip needs at least 64 x 48 pixels")
        if frames < 2:
            raise ValueError("demo clip needs at least 2 frames")
        self.width, self.height, self.frames, self.fps = width, height, frames, fps
        self.seed, self.occluder, self.second_target, self.noise = seed, occluder, second_target, noise
        rows = np.linspace(0.0, 1.0, height, dtype=np.float32)[:, None, None]
        sky = _SKY_TOP * (1.0 - rows) + _SKY_HORIZON * rows
        # A faint horizontal brightness drift so the sky is not perfectly uniform.
        cols = np.linspace(-1.0, 1.0, width, dtype=np.float32)[None, :, None]
        self._sky = np.ascontiguousarray(np.broadcast_to(sky + 4.0 * cols, (height, width, 3)))
        # Sensor noise: one field rendered once, seen through a window that moves
        # pseudo-randomly from frame to frame (cheap, and still fresh noise per frame).
        rng = np.random.default_rng(seed)
        self._noise = rng.standard_normal((height + _NOISE_PAD, width + _NOISE_PAD), dtype=np.float32) * noise
        self._offsets = rng.integers(0, _NOISE_PAD + 1, size=(frames, 2))

    def __len__(self) -> int:
        return self.frames

    def __iter__(self) -> Iterator[np.ndarray]:
        return (self.frame(i) for i in range(self.frames))

    @property
    def targets(self) -> int:
        return 2 if self.second_target else 1

    def _t(self, i: int) -> float:
        return i / (self.frames - 1)

    def _drone_at(self, t: float) -> Point:
        w, h = self.width, self.height
        return (0.06 * w + 0.88 * w * t, 0.55 * h + 0.08 * h * math.sin(3.0 * math.pi * t))

    def _aircraft_at(self, t: float) -> Point:
        w, h = self.width, self.height
        return (0.85 * w - 0.55 * w * t, 0.2 * h + 0.03 * h * t)

    def cloud_center(self) -> Point:
        return self._drone_at(_CLOUD_AT)

    def truth(self, i: int) -> list[Point]:
        """True centres of the targets in frame i (drone first)."""
        t = self._t(i)
        points = [self._drone_at(t)]
        if self.second_target:
            points.append(self._aircraft_at(t))
        return points

    def occluded(self, i: int) -> bool:
        """True when the cloud hides every pixel of the drone in frame i."""
        if not self.occluder:
            return False
        (x, y), (cx, cy) = self.truth(i)[0], self.cloud_center()
        yy, xx = np.mgrid[-12:13, -12:13].astype(np.float32)
        xx += np.float32(round(x) - x)
        yy += np.float32(round(y) - y)
        body = self._drone_coverage(xx, yy) > 0.1
        cover = self._cloud_coverage(xx + np.float32(x - cx), yy + np.float32(y - cy))
        return bool(np.all(cover[body] >= 0.99))

    def seed_boxes(self, i: int = 0) -> list[Box]:
        """Integer (x, y, w, h) boxes around the targets in frame i, with a small margin."""
        boxes = []
        for (cx, cy), (hx, hy) in zip(self.truth(i), self._HALF_EXTENTS):
            w, h = int(2 * hx + 4), int(2 * hy + 4)
            boxes.append((int(round(cx - w / 2)), int(round(cy - h / 2)), w, h))
        return boxes

    def frame(self, i: int) -> np.ndarray:
        if not 0 <= i < self.frames:
            raise IndexError(f"frame {i} outside the clip of {self.frames} frames")
        img = self._sky.copy()
        if self.noise > 0:
            ox, oy = self._offsets[i]
            img += self._noise[oy : oy + self.height, ox : ox + self.width, None]
        centres = self.truth(i)
        self._paint(img, centres[0], 12, _DRONE, self._drone_coverage)
        if self.second_target:
            self._paint(img, centres[1], 14, _AIRCRAFT, self._aircraft_coverage)
        if self.occluder:
            a, b = _CLOUD_AXES
            self._paint(img, self.cloud_center(), int(2 * a + _CLOUD_RIM + 2), _CLOUD, self._cloud_coverage)
        return np.clip(img + 0.5, 0, 255).astype(np.uint8)

    def _paint(self, img: np.ndarray, centre: Point, radius: int, colour: np.ndarray, coverage) -> None:
        """Blends colour into img around centre with the given coverage function."""
        cx, cy = centre
        x0, y0 = max(int(cx) - radius, 0), max(int(cy) - radius, 0)
        x1, y1 = min(int(cx) + radius + 1, self.width), min(int(cy) + radius + 1, self.height)
        if x0 >= x1 or y0 >= y1:
            return
        yy, xx = np.mgrid[y0:y1, x0:x1].astype(np.float32)
        alpha = coverage(xx - cx, yy - cy)[:, :, None]
        patch = img[y0:y1, x0:x1]
        patch += alpha * (colour - patch)

    @staticmethod
    def _drone_coverage(xx: np.ndarray, yy: np.ndarray) -> np.ndarray:
        body = _ellipse_coverage(xx, yy, 4.0, 2.5)
        arms = _ellipse_coverage(xx, yy + 1.0, 8.0, 1.2)
        return np.maximum(body, arms)

    @staticmethod
    def _aircraft_coverage(xx: np.ndarray, yy: np.ndarray) -> np.ndarray:
        fuselage = _ellipse_coverage(xx, yy, 10.0, 2.0)
        wings = _ellipse_coverage(xx + 1.0, yy, 2.5, 8.0)
        tail = _ellipse_coverage(xx - 8.0, yy, 1.5, 4.0)
        return np.maximum(np.maximum(fuselage, wings), tail)

    @staticmethod
    def _cloud_coverage(xx: np.ndarray, yy: np.ndarray) -> np.ndarray:
        def puff(dx: float, dy: float, a: float, b: float) -> np.ndarray:
            d = np.sqrt(((xx - dx) / a) ** 2 + ((yy - dy) / b) ** 2)
            # Opaque inside, fading out over the rim.
            return np.clip(1.0 - (d - 1.0) * a / _CLOUD_RIM, 0.0, 1.0)

        cover = puff(0.0, 0.0, *_CLOUD_AXES)
        for p in _CLOUD_PUFFS:
            cover = np.maximum(cover, puff(*p))
        return cover
