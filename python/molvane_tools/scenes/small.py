"""Small synthetic frames for the tests: a one-frame sky with a textured target, scripted
single-target sequences, frames of small drones on given paths, dark discs on straight
paths for concurrent streams, and the odd inputs of the property tests (a covered, blinded
or broken camera). Numpy only and deterministic for a given seed; each keeps its own
random draws, since tests pin results on these pixels.
"""

from __future__ import annotations

from dataclasses import dataclass, field

import numpy as np


def vertical_gradient(rows: int, cols: int, top: float, bottom: float, dtype=np.float32) -> np.ndarray:
    """A rows x cols sky, ``top`` in the first row to ``bottom`` in the last (linear)."""
    return np.linspace(top, bottom, rows, dtype=dtype)[:, None] + np.zeros((1, cols), dtype)


def noisy_sky(
    rng: np.random.Generator, rows: int, cols: int, top: float = 150.0, bottom: float = 205.0, sigma: float = 2.0
) -> np.ndarray:
    """Float32 gradient sky with Gaussian sensor noise drawn from ``rng``."""
    return vertical_gradient(rows, cols, top, bottom) + rng.normal(0.0, sigma, (rows, cols)).astype(np.float32)


def sky_frame(rows=60, cols=80, channels=1, target=(30, 20, 10, 8), seed=3):
    """A soft sky gradient with light noise and one dark textured target at `target`
    (None for an empty sky). The target's texture is the same in every frame."""
    rng = np.random.default_rng(seed)
    grad = vertical_gradient(rows, cols, 150, 190, np.float64)
    grey = np.clip(grad + rng.normal(0, 2, (rows, cols)), 0, 255)
    if target is not None:
        x, y, w, h = target
        grey[y : y + h, x : x + w] = np.random.default_rng(11).integers(10, 90, (h, w))
    grey = grey.astype(np.uint8)
    if channels == 1:
        return grey
    return np.ascontiguousarray(np.repeat(grey[:, :, None], channels, axis=2))


# --------------------------------------------------------------------------------------
# scripted single-target sequences: a smooth, slightly noisy sky with one soft blob


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
            base[y : y + h, x : x + w] = 60.0
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
        bgr = np.stack(
            [
                grey,
                np.clip(grey.astype(np.int16) - 25, 0, 255).astype(np.uint8),
                np.clip(grey.astype(np.int16) - 60, 0, 255).astype(np.uint8),
            ],
            axis=2,
        )
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


# --------------------------------------------------------------------------------------
# small drones on given paths (180 x 240 grey by default)


def draw_drone(img, cx, cy, size, value=45):
    """A small dark quad-rotor silhouette: a body with four arms, `size` px across."""
    rows, cols = img.shape[:2]
    yy, xx = np.ogrid[:rows, :cols]
    half = size / 2.0
    body = (np.abs(xx - cx) <= half * 0.45) & (np.abs(yy - cy) <= half * 0.45)
    diag1 = np.abs((xx - cx) - (yy - cy)) <= 1.2
    diag2 = np.abs((xx - cx) + (yy - cy)) <= 1.2
    inside = (np.abs(xx - cx) <= half) & (np.abs(yy - cy) <= half)
    img[(body | ((diag1 | diag2) & inside))] = value


def drone_frames(paths, frames, size=14, seed=0, values=None, rows=180, cols=240):
    """Frames with one drone per path; a path maps a frame index to (cx, cy) or None (absent)."""
    rng = np.random.default_rng(seed)
    out = []
    for t in range(frames):
        img = noisy_sky(rng, rows, cols)
        for k, path in enumerate(paths):
            p = path(t)
            if p is not None:
                draw_drone(img, p[0], p[1], size, 45 if values is None else values[k])
        out.append(np.clip(img, 0, 255).astype(np.uint8))
    return out


def drone_box(p, size=14, pad=3):
    """Integer seed box around a drone centred at p."""
    half = size / 2.0 + pad
    return (int(round(p[0] - half)), int(round(p[1] - half)), int(round(2 * half)), int(round(2 * half)))


# --------------------------------------------------------------------------------------
# inputs of any size and channel count, including what a broken camera gives

INPUT_PATTERNS = ("sky", "flat", "black", "white", "noise", "checker")


def input_frame(rows, cols, channels, t, targets=1, seed=0, pattern="sky"):
    """A sky gradient with a little noise and `targets` dark blobs moving across it; the
    other patterns are what a camera gives when it is covered, blinded or broken."""
    rng = np.random.default_rng(seed * 7919 + t)
    if pattern == "sky":
        img = noisy_sky(rng, rows, cols)
        for k, (cx, cy) in enumerate(input_centres(rows, cols, t, targets)):
            r = max(1.0, min(rows, cols) / 16.0 + k)
            yy, xx = np.ogrid[:rows, :cols]
            img[(yy - cy) ** 2 + (xx - cx) ** 2 <= r * r] = 40 + 25 * k
    elif pattern == "noise":
        img = rng.integers(0, 256, (rows, cols)).astype(np.float32)
    elif pattern == "checker":
        yy, xx = np.indices((rows, cols))
        img = (((yy // 2 + xx // 2 + t) % 2) * 255).astype(np.float32)
    else:
        img = np.full((rows, cols), {"flat": 128, "black": 0, "white": 255}[pattern], np.float32)
    grey = np.clip(img, 0, 255).astype(np.uint8)
    if channels == 1:
        return grey
    planes = [grey, np.clip(grey.astype(np.int16) + 12, 0, 255).astype(np.uint8), grey][: min(channels, 3)]
    while len(planes) < channels:
        planes.append(np.full_like(grey, 255))
    return np.ascontiguousarray(np.stack(planes, axis=2))


def input_centres(rows, cols, t, targets):
    out = []
    for k in range(targets):
        cx = (cols * (0.25 + 0.25 * k) + 1.5 * t) % max(cols, 1)
        cy = rows * (0.3 + 0.2 * k) + 0.5 * t * (1 if k % 2 else -1) % max(rows // 4, 1)
        out.append((cx, min(cy, rows - 1)))
    return out


def input_box(rows, cols, t, k=0, targets=1):
    cx, cy = input_centres(rows, cols, t, targets)[k]
    half = max(2, int(min(rows, cols) / 10) + 2)
    return (int(cx) - half, int(cy) - half, 2 * half, 2 * half)


# --------------------------------------------------------------------------------------
# random dark discs on straight paths, for concurrent streams


def disc_stream(seed, targets, channels, rows=180, cols=240, count=40):
    """``count + 1`` frames of a noisy sky with `targets` dark discs on straight paths drawn
    from the seed, and integer seed boxes around the discs of the first frame."""
    rng = np.random.default_rng(seed)
    starts = rng.uniform((30, 30), (cols - 90, rows - 60), (targets, 2))
    speeds = rng.uniform(-2.5, 2.5, (targets, 2)) + (1.5, 0.5)
    radii = rng.uniform(3, 6, targets)
    yy, xx = np.ogrid[:rows, :cols]
    frames = []
    for t in range(count + 1):
        img = noisy_sky(rng, rows, cols, 140, 210, 2.5)
        for (x0, y0), (vx, vy), r in zip(starts, speeds, radii):
            img[(xx - x0 - vx * t) ** 2 + (yy - y0 - vy * t) ** 2 <= r * r] = 50
        grey = np.clip(img, 0, 255).astype(np.uint8)
        frames.append(grey if channels == 1 else np.ascontiguousarray(np.dstack([grey, grey, grey])))
    boxes = [(int(x - r - 3), int(y - r - 3), int(2 * r + 6), int(2 * r + 6)) for (x, y), r in zip(starts, radii)]
    return frames, boxes
