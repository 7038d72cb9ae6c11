"""The scene record: a deterministic synthetic sky video with ground truth.

A scene is a gradient sky with slowly drifting low-contrast clouds, sensor noise and a
little optical blur, optionally a shaking camera and brightness flicker, in which one or
more anti-aliased sprites fly (aircraft silhouette, quadcopter, bird with flapping wings,
bright glint with a trail). Frames are produced lazily by ``Scene.frames()``; each frame
carries, per target, the ground-truth box (x, y, w, h) in floats, clipped to the frame, and
a visible flag.

Every random choice comes from the scene's seed, so the same name, seed and frame count give
the same pixels on every run.

Visibility: a target counts as visible when at least half of its box lies inside the frame
and at least half of its silhouette (by alpha mass) is not covered by an opaque cloud.
"""

from __future__ import annotations

import math
from collections.abc import Iterator
from dataclasses import dataclass, field

import cv2
import numpy as np

from .sprites import Box, SpritePatch, _render_glint, render_sprite

VISIBLE_FRACTION = 0.5  # minimum visible share of box area and of silhouette mass

# --------------------------------------------------------------------------------------
# scene description


@dataclass
class Target:
    kind: str
    x: np.ndarray  # world centre per frame (float)
    y: np.ndarray
    size: np.ndarray  # overall extent in px per frame
    heading: np.ndarray  # radians, per frame
    phase: np.ndarray  # wing-flap phase per frame (birds)
    color: tuple[float, float, float] = (55.0, 52.0, 50.0)  # BGR of the silhouette
    opacity: float = 0.85  # < 1 lowers the contrast against the sky
    glint_gain: float = 210.0


@dataclass
class Occluder:
    """An opaque cloud at a fixed world position: alpha patch and its top-left corner."""

    x: float
    y: float
    alpha: np.ndarray
    color: tuple[float, float, float] = (236.0, 236.0, 240.0)


@dataclass
class SceneFrame:
    index: int
    image: np.ndarray  # uint8, HxWx3 BGR or HxW grey
    boxes: list[Box | None]  # per target, clipped to the frame; None if outside
    visible: list[bool]


@dataclass
class Scene:
    name: str
    description: str
    width: int
    height: int
    n_frames: int
    seed: int
    targets: list[Target]
    profiles: tuple[str, ...]  # molvane profiles suited to the scene
    fps: float = 30.0
    grey: bool = False
    dusk: bool = False
    noise_sigma: float = 2.5
    blur_sigma: float = 0.6
    cloud_strength: float = 0.22
    cloud_drift: tuple[float, float] = (0.35, 0.05)
    shake: float = 0.0  # camera shake amplitude, px
    flicker: float = 0.0  # relative brightness flicker amplitude
    occluders: list[Occluder] = field(default_factory=list)
    # static dark structures (masts, rooftops, treelines) drawn behind the targets
    scenery: list[Occluder] = field(default_factory=list)
    cam: np.ndarray | None = None  # (n, 2) camera offsets, filled by __post_init__

    def __post_init__(self) -> None:
        rng = np.random.default_rng([self.seed, 1])
        n = self.n_frames
        if self.shake > 0:
            t = np.arange(n, dtype=np.float64)
            cam = np.zeros((n, 2))
            for k in range(2):
                for period in (23.0, 9.0, 4.3):
                    cam[:, k] += (
                        (self.shake / 2.2)
                        * math.sqrt(period / 23.0)
                        * np.sin(2 * math.pi * t / period + rng.uniform(0, 2 * math.pi))
                    )
            cam += rng.normal(0.0, self.shake * 0.18, size=(n, 2))
            self.cam = cam
        else:
            self.cam = np.zeros((n, 2))
        self._gain = 1.0 + self.flicker * (
            0.6 * np.sin(np.arange(n) * 0.9 + rng.uniform(0, 6)) + 0.4 * rng.uniform(-1, 1, size=n)
        )
        self._pixels_ready = False  # sky, clouds and noise are built on the first render

    @property
    def n_targets(self) -> int:
        return len(self.targets)

    @property
    def multi(self) -> bool:
        return len(self.targets) > 1

    def _build_sky(self) -> None:
        h, w = self.height, self.width
        rng = np.random.default_rng([self.seed, 2])
        v = np.linspace(0.0, 1.0, h, dtype=np.float32)[:, None, None]
        if self.dusk:
            top, bottom = np.array([70, 38, 30], np.float32), np.array([120, 150, 205], np.float32)
        else:
            top, bottom = np.array([205, 150, 105], np.float32), np.array([238, 215, 195], np.float32)
        top = top + rng.uniform(-8, 8, 3).astype(np.float32)
        self._sky = np.broadcast_to(top + (bottom - top) * v**1.3, (h, w, 3)).astype(np.float32)
        self._cloud_color = (
            np.array([150, 150, 165], np.float32) if self.dusk else np.array([245, 245, 248], np.float32)
        )
        self._cloud_diff = (self._cloud_color - self._sky).astype(np.float32)
        # cloud density texture large enough for the drift and the shake
        dx, dy = self.cloud_drift
        self._margin = int(self.shake * 3) + 8
        tw = w + 2 * self._margin + int(abs(dx) * self.n_frames) + 4
        th = h + 2 * self._margin + int(abs(dy) * self.n_frames) + 4
        tex = np.zeros((th, tw), np.float32)
        for cell, weight in ((160, 0.6), (60, 0.3), (22, 0.1)):
            small = rng.random((th // cell + 3, tw // cell + 3)).astype(np.float32)
            big = cv2.resize(small, (small.shape[1] * cell, small.shape[0] * cell), interpolation=cv2.INTER_CUBIC)
            tex += weight * big[:th, :tw]
        self._clouds = np.clip((tex - 0.45) * 2.5, 0.0, 1.0) * self.cloud_strength

    # ----------------------------------------------------------------------------------
    def _build_noise(self) -> None:
        """A few frames of sensor noise; each frame crops one at a seeded random offset
        (drawing fresh normals for every pixel of every frame costs more than the rest)."""
        rng = np.random.default_rng([self.seed, 4])
        ch = () if self.grey else (3,)
        self._noise_pad = 24
        shape = (self.height + self._noise_pad, self.width + self._noise_pad) + ch
        self._noise = [rng.standard_normal(shape, dtype=np.float32) * np.float32(self.noise_sigma) for _ in range(2)]
        self._buf = np.empty((self.height, self.width, 3), np.float32)

    def _background(self, i: int) -> np.ndarray:
        dx, dy = self.cloud_drift
        # start from the far side of the texture when the drift is negative
        ox = self._margin + dx * i + (abs(dx) * self.n_frames if dx < 0 else 0.0) + self.cam[i, 0]
        oy = self._margin + dy * i + (abs(dy) * self.n_frames if dy < 0 else 0.0) + self.cam[i, 1]
        m = np.float32([[1, 0, -ox], [0, 1, -oy]])
        dens = cv2.warpAffine(
            self._clouds, m, (self.width, self.height), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT
        )
        img = self._buf
        np.multiply(dens[:, :, None], self._cloud_diff, out=img)
        img += self._sky
        return img

    def target_box(self, t: Target, i: int) -> SpritePatch:
        """The sprite of target ``t`` in frame ``i`` (image coordinates, camera applied)."""
        return render_sprite(
            t.kind,
            float(t.x[i] - self.cam[i, 0]),
            float(t.y[i] - self.cam[i, 1]),
            float(t.size[i]),
            float(t.heading[i]),
            float(t.phase[i]),
        )

    def frames(self) -> Iterator[SceneFrame]:
        """Yields the frames one by one; nothing but the current frame is kept."""
        for i in range(self.n_frames):
            yield self.render(i)

    def render(self, i: int) -> SceneFrame:
        if not 0 <= i < self.n_frames:
            raise IndexError(f"frame {i} outside 0..{self.n_frames - 1}")
        if not self._pixels_ready:
            self._build_sky()
            self._build_noise()
            self._pixels_ready = True
        h, w = self.height, self.width
        img = self._background(i)
        for sc in self.scenery:
            reg = _region((int(round(sc.x - self.cam[i, 0])), int(round(sc.y - self.cam[i, 1]))), sc.alpha.shape, w, h)
            if reg is not None:
                (fr, fc), (pr, pc) = reg
                a = sc.alpha[pr, pc][:, :, None]
                img[fr, fc] += a * (np.array(sc.color, np.float32) - img[fr, fc])
        patches = []
        for t in self.targets:
            sp = self.target_box(t, i)
            patches.append(sp)
            _composite(img, _blurred(sp, self.blur_sigma), t, self.cam[i], i)
        placed = [(oc, (int(round(oc.x - self.cam[i, 0])), int(round(oc.y - self.cam[i, 1])))) for oc in self.occluders]
        for oc, origin in placed:
            reg = _region(origin, oc.alpha.shape, w, h)
            if reg is not None:
                (fr, fc), (pr, pc) = reg
                a = oc.alpha[pr, pc][:, :, None]
                img[fr, fc] += a * (np.array(oc.color, np.float32) - img[fr, fc])
        if self.flicker:
            img *= np.float32(self._gain[i])
        nrng = np.random.default_rng([self.seed, 3, i])
        bank = self._noise[int(nrng.integers(len(self._noise)))]
        nx, ny = (int(v) for v in nrng.integers(0, self._noise_pad, 2))
        if self.grey:
            grey = cv2.cvtColor(img, cv2.COLOR_BGR2GRAY)
            grey += bank[ny : ny + h, nx : nx + w]
            out = cv2.convertScaleAbs(np.maximum(grey, 0, out=grey))
        else:
            img += bank[ny : ny + h, nx : nx + w]
            out = cv2.convertScaleAbs(np.maximum(img, 0, out=img))
        boxes: list[Box | None] = []
        visible: list[bool] = []
        for sp in patches:
            box, inside = _clip_box(sp.box, w, h)
            boxes.append(box)
            unoccluded = _unoccluded_share(sp, placed) if placed and box is not None else 1.0
            visible.append(box is not None and inside >= VISIBLE_FRACTION and unoccluded >= VISIBLE_FRACTION)
        return SceneFrame(i, out, boxes, visible)


def _blurred(sp: SpritePatch, sigma: float) -> SpritePatch:
    """Optical blur applied to the sprite's own alpha: the sky under it is smooth already,
    so this matches blurring the whole frame at a fraction of the cost."""
    if sigma <= 0:
        return sp
    pad = int(math.ceil(3 * sigma))
    a = cv2.copyMakeBorder(sp.alpha, pad, pad, pad, pad, cv2.BORDER_CONSTANT, value=0)
    a = cv2.GaussianBlur(a, (0, 0), sigma)
    return SpritePatch((sp.origin[0] - pad, sp.origin[1] - pad), a, sp.box)


def _region(origin: tuple[int, int], shape: tuple[int, int], w: int, h: int):
    x0, y0 = origin
    ph, pw = shape
    fx0, fy0 = max(x0, 0), max(y0, 0)
    fx1, fy1 = min(x0 + pw, w), min(y0 + ph, h)
    if fx1 <= fx0 or fy1 <= fy0:
        return None
    return (slice(fy0, fy1), slice(fx0, fx1)), (slice(fy0 - y0, fy1 - y0), slice(fx0 - x0, fx1 - x0))


def _composite(img: np.ndarray, sp: SpritePatch, t: Target, cam: np.ndarray, i: int) -> None:
    h, w = img.shape[:2]
    if t.kind == "glint":
        # trail: fading copies along the last frame's motion, then the core
        if i > 0:
            vx, vy = t.x[i] - t.x[i - 1], t.y[i] - t.y[i - 1]
            cx, cy = t.x[i] - cam[0], t.y[i] - cam[1]
            for k in range(1, 17):
                f = k / 16.0
                tp = _render_glint(cx - vx * f, cy - vy * f, t.size[i] * 0.8)
                _add_light(img, tp, t.glint_gain * 0.16 * (1.0 - f * 0.9))
        _add_light(img, sp, t.glint_gain)
        return
    reg = _region(sp.origin, sp.alpha.shape, w, h)
    if reg is None:
        return
    (fr, fc), (pr, pc) = reg
    a = sp.alpha[pr, pc][:, :, None] * t.opacity
    img[fr, fc] += a * (np.array(t.color, np.float32) - img[fr, fc])


def _add_light(img: np.ndarray, sp: SpritePatch, gain: float) -> None:
    reg = _region(sp.origin, sp.alpha.shape, img.shape[1], img.shape[0])
    if reg is None:
        return
    (fr, fc), (pr, pc) = reg
    tint = np.array([0.85, 0.97, 1.0], np.float32) * gain  # warm white
    img[fr, fc] += sp.alpha[pr, pc][:, :, None] * tint


def _clip_box(box: Box, w: int, h: int) -> tuple[Box | None, float]:
    """Clips a box to the frame; returns it (None when nothing is left) and the inside share."""
    x, y, bw, bh = box
    x0, y0 = max(x, 0.0), max(y, 0.0)
    x1, y1 = min(x + bw, float(w)), min(y + bh, float(h))
    if x1 <= x0 or y1 <= y0:
        return None, 0.0
    area = bw * bh
    inside = (x1 - x0) * (y1 - y0) / area if area > 0 else 1.0
    return (float(x0), float(y0), float(x1 - x0), float(y1 - y0)), inside


def _unoccluded_share(sp: SpritePatch, placed: list) -> float:
    """Share of the sprite's alpha mass not hidden by any of the placed occluders."""
    cover = np.zeros_like(sp.alpha)
    for oc, origin in placed:
        # the occluder patch expressed in sprite-patch coordinates
        reg = _region(
            (origin[0] - sp.origin[0], origin[1] - sp.origin[1]), oc.alpha.shape, sp.alpha.shape[1], sp.alpha.shape[0]
        )
        if reg is not None:
            (fr, fc), (pr, pc) = reg
            np.maximum(cover[fr, fc], oc.alpha[pr, pc], out=cover[fr, fc])
    total = float(sp.alpha.sum())
    if total <= 0:
        return 1.0
    return float((sp.alpha * (1.0 - cover)).sum()) / total


def make_cloud(rng: np.random.Generator, w: int, h: int) -> np.ndarray:
    """A soft-edged opaque cloud alpha patch of about w x h pixels."""
    ys, xs = np.mgrid[0:h, 0:w].astype(np.float32)
    r = np.sqrt(((xs - w / 2) / (w / 2)) ** 2 + ((ys - h / 2) / (h / 2)) ** 2)
    small = rng.random((h // 12 + 3, w // 12 + 3)).astype(np.float32)
    noise = cv2.resize(small, (small.shape[1] * 12, small.shape[0] * 12), interpolation=cv2.INTER_CUBIC)[:h, :w]
    return np.clip((1.0 - r) * 4.0 + (noise - 0.5) * 1.2, 0.0, 1.0).astype(np.float32)


# --------------------------------------------------------------------------------------
# trajectories


def along_path(
    points: np.ndarray, speeds: np.ndarray, closed: bool = True, start: float = 0.0
) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    """Walks a polyline at the given per-frame speeds; returns x, y and heading per frame."""
    pts = np.asarray(points, np.float64)
    if closed:
        pts = np.vstack([pts, pts[:1]])
    seg = np.diff(pts, axis=0)
    seglen = np.hypot(seg[:, 0], seg[:, 1])
    cum = np.concatenate([[0.0], np.cumsum(seglen)])
    total = cum[-1]
    s = start + np.concatenate([[0.0], np.cumsum(speeds[:-1])])
    s = np.mod(s, total) if closed else np.clip(s, 0.0, total - 1e-9)
    k = np.clip(np.searchsorted(cum, s, side="right") - 1, 0, len(seglen) - 1)
    f = (s - cum[k]) / seglen[k]
    x = pts[k, 0] + seg[k, 0] * f
    y = pts[k, 1] + seg[k, 1] * f
    heading = np.arctan2(seg[k, 1], seg[k, 0])
    return x, y, heading


def smooth_curve(
    cx: float,
    cy: float,
    ax: float,
    ay: float,
    n: int = 400,
    wobble: float = 0.0,
    rng: np.random.Generator | None = None,
) -> np.ndarray:
    a = np.linspace(0.0, 2 * math.pi, n, endpoint=False)
    x = cx + ax * np.sin(a)
    y = cy + ay * np.sin(2 * a + 0.3)
    if wobble and rng is not None:
        x += wobble * np.sin(3 * a + rng.uniform(0, 6))
        y += wobble * np.sin(5 * a + rng.uniform(0, 6))
    return np.stack([x, y], axis=1)


def heading_from_xy(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    vx = np.gradient(x)
    vy = np.gradient(y)
    return np.arctan2(vy, vx)


def target(kind: str, x, y, size, heading=None, phase=None, **kw) -> Target:
    n = len(x)
    x = np.asarray(x, np.float64)
    y = np.asarray(y, np.float64)
    size = np.broadcast_to(np.asarray(size, np.float64), (n,)).copy()
    heading = heading_from_xy(x, y) if heading is None else np.asarray(heading, np.float64)
    phase = np.zeros(n) if phase is None else np.asarray(phase, np.float64)
    return Target(kind, x, y, size, heading, phase, **kw)
