"""Synthetic sky sequences for behaviour tests: a smooth, slightly noisy sky with one small
target (a soft dark or bright blob) following a scripted path. Everything is deterministic
for a given seed."""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np


@dataclass
class SkySequence:
    width: int = 320
    height: int = 240
    target_size: float = 9.0
    contrast: float = -80.0  # negative: darker than the sky
    noise: float = 1.5
    seed: int = 7
    colour: bool = False
    # Per-frame target centres; None means the target is not in the frame.
    path: list = field(default_factory=list)
    # Static dark structures (x, y, w, h), drawn into the sky: scenery a tracker could
    # park on once the target is gone.
    scenery: list = field(default_factory=list)

    def __post_init__(self) -> None:
        yy, xx = np.mgrid[0 : self.height, 0 : self.width].astype(np.float32)
        self._xx = xx
        self._yy = yy
        # Bright sky near the horizon (bottom), a broad soft cloud band, no sharp features.
        base = 150.0 + 40.0 * (yy / self.height) + 8.0 * np.sin(xx / 57.0 + yy / 91.0)
        for x, y, w, h in self.scenery:
            base[y:y + h, x:x + w] = 60.0
        self._sky = base.astype(np.float32)

    def __len__(self) -> int:
        return len(self.path)

    def seed_box(self, index: int = 0, pad: int = 3) -> tuple[int, int, int, int]:
        cx, cy = self.path[index]
        side = int(round(self.target_size)) + 2 * pad
        return (int(round(cx - side / 2)), int(round(cy - side / 2)), side, side)

    def frame(self, index: int) -> np.ndarray:
        rng = np.random.default_rng(self.seed * 100003 + index)
        img = self._sky + rng.normal(0.0, self.noise, self._sky.shape).astype(np.float32)
        centre = self.path[index]
        if centre is not None:
            cx, cy = centre
            r2 = (self._xx - cx) ** 2 + (self._yy - cy) ** 2
            sigma = self.target_size / 2.6
            img += self.contrast * np.exp(-r2 / (2.0 * sigma * sigma))
        grey = np.clip(np.rint(img), 0, 255).astype(np.uint8)
        if not self.colour:
            return grey
        # Bluish sky; the target keeps the grey structure in every channel.
        bgr = np.stack([grey, np.clip(grey.astype(np.int16) - 25, 0, 255).astype(np.uint8),
                        np.clip(grey.astype(np.int16) - 60, 0, 255).astype(np.uint8)], axis=2)
        return np.ascontiguousarray(bgr)

    def frames(self):
        for i in range(len(self.path)):
            yield self.frame(i)


def straight_path(start, velocity, count):
    """Centres moving at a constant `velocity` (pixels per frame)."""
    return [(start[0] + velocity[0] * i, start[1] + velocity[1] * i) for i in range(count)]


def static_sequence(count=20, **kw) -> SkySequence:
    return SkySequence(path=straight_path((150.0, 110.0), (0.0, 0.0), count), **kw)


def moving_sequence(count=30, velocity=(3.0, 1.0), **kw) -> SkySequence:
    return SkySequence(path=straight_path((90.0, 90.0), velocity, count), **kw)


def gap_sequence(before=10, gap=14, after=12, **kw) -> SkySequence:
    """A static target that vanishes for `gap` frames and comes back at the same place."""
    centre = (160.0, 120.0)
    path = [centre] * before + [None] * gap + [centre] * after
    return SkySequence(path=path, **kw)


def leaving_sequence(count=40, velocity=(6.0, 0.0), **kw) -> SkySequence:
    """A target that flies out of the right edge and never comes back."""
    seq = SkySequence(**kw)
    path = []
    for i in range(count):
        x = 250.0 + velocity[0] * i
        path.append((x, 100.0 + velocity[1] * i) if x < seq.width + seq.target_size else None)
    seq.path = path
    return seq


def vanishing_by_mast_sequence(count=40, **kw) -> SkySequence:
    """A target that flies past a mast and vanishes just beyond it, the mast staying."""
    seq = SkySequence(scenery=[(180, 0, 4, 240)], **kw)
    seq.path = [(120.0 + 3.0 * i, 100.0) if i < 28 else None for i in range(count)]
    return seq
