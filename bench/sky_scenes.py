"""Deterministic synthetic sky videos with ground truth, for tracker benchmarks.

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
from dataclasses import dataclass, field
from typing import Callable, Iterator, Optional

import cv2
import numpy as np

Box = tuple[float, float, float, float]

SUPERSAMPLE = 4          # sprites are rasterised at this factor, then area-averaged
_SHIFT = 4               # fixed-point bits for cv2 polygon coordinates (1/16 px)
VISIBLE_FRACTION = 0.5   # minimum visible share of box area and of silhouette mass


# --------------------------------------------------------------------------------------
# sprites

def _ellipse_pts(cx: float, cy: float, ax: float, ay: float, n: int = 14) -> np.ndarray:
    a = np.linspace(0.0, 2.0 * math.pi, n, endpoint=False)
    return np.stack([cx + ax * np.cos(a), cy + ay * np.sin(a)], axis=1)


def _mirror_y(poly: np.ndarray) -> np.ndarray:
    return poly * np.array([1.0, -1.0])


def _aircraft_polys(phase: float) -> list[tuple[np.ndarray, float]]:
    """Aircraft seen from below, nose along +x, length 1 and span 1."""
    fuselage = np.array([(0.5, 0.0), (0.43, 0.05), (-0.44, 0.04), (-0.5, 0.0),
                         (-0.44, -0.04), (0.43, -0.05)])
    wing = np.array([(0.12, 0.04), (-0.1, 0.5), (-0.2, 0.5), (-0.06, 0.04)])
    tail = np.array([(-0.34, 0.03), (-0.44, 0.18), (-0.49, 0.18), (-0.46, 0.03)])
    return [(fuselage, 1.0), (wing, 1.0), (_mirror_y(wing), 1.0),
            (tail, 1.0), (_mirror_y(tail), 1.0)]


def _quad_polys(phase: float) -> list[tuple[np.ndarray, float]]:
    """Quadcopter from below: body, four arms and translucent rotor discs, span 1."""
    polys: list[tuple[np.ndarray, float]] = [(np.array([(0.12, 0.1), (-0.12, 0.1),
                                                        (-0.12, -0.1), (0.12, -0.1)]), 1.0)]
    for sx, sy in ((1, 1), (1, -1), (-1, 1), (-1, -1)):
        d = np.array([sx, sy]) / math.sqrt(2.0)
        n = np.array([-d[1], d[0]]) * 0.03
        tip = d * 0.49
        polys.append((np.array([n, tip * 0.72 + n, tip * 0.72 - n, -n]), 1.0))
        polys.append((_ellipse_pts(tip[0] * 0.72, tip[1] * 0.72, 0.15, 0.15), 0.55))
    return polys


def _bird_polys(phase: float) -> list[tuple[np.ndarray, float]]:
    """Bird from the side, beak along +x; the wing tip rises and falls with ``phase``."""
    tip_y = -0.45 * math.cos(phase)
    body = _ellipse_pts(0.0, 0.0, 0.3, 0.075)
    head = _ellipse_pts(0.29, -0.04, 0.07, 0.06, n=10)
    tail = np.array([(-0.25, 0.0), (-0.45, 0.07), (-0.45, -0.05)])
    wing = np.array([(0.1, 0.0), (-0.12, 0.0), (-0.14, tip_y), (-0.04, tip_y * 0.92)])
    return [(body, 1.0), (head, 1.0), (tail, 1.0), (wing, 1.0)]


_SHAPES: dict[str, Callable[[float], list[tuple[np.ndarray, float]]]] = {
    "aircraft": _aircraft_polys,
    "quad": _quad_polys,
    "bird": _bird_polys,
}
SPRITE_KINDS = tuple(_SHAPES) + ("glint",)


@dataclass
class SpritePatch:
    """A rendered sprite: ``alpha`` (float32 in [0, 1]) placed at integer ``origin`` (x, y)
    in image coordinates, and the tight box of the silhouette in image coordinates."""
    origin: tuple[int, int]
    alpha: np.ndarray
    box: Box


def render_sprite(kind: str, cx: float, cy: float, size: float, heading: float = 0.0,
                  phase: float = 0.0) -> SpritePatch:
    """Rasterises one sprite centred at sub-pixel (cx, cy) with overall extent ``size`` px."""
    if kind == "glint":
        return _render_glint(cx, cy, size)
    polys = _SHAPES[kind](phase)
    flip = kind == "bird" and math.cos(heading) < 0.0
    if kind == "bird":  # a bird seen from the side banks a little but never flies upside down
        heading = math.atan2(math.sin(heading), abs(math.cos(heading))) * 0.35
    c, s = math.cos(heading), math.sin(heading)
    rot = np.array([[c, -s], [s, c]])
    placed = []
    for pts, opacity in polys:
        p = pts.copy()
        if flip:
            p[:, 0] = -p[:, 0]
        p = (p * size) @ rot.T + np.array([cx, cy])
        placed.append((p, opacity))
    allpts = np.concatenate([p for p, _ in placed])
    x0 = int(math.floor(allpts[:, 0].min())) - 1
    y0 = int(math.floor(allpts[:, 1].min())) - 1
    x1 = int(math.ceil(allpts[:, 0].max())) + 2
    y1 = int(math.ceil(allpts[:, 1].max())) + 2
    hi = np.zeros(((y1 - y0) * SUPERSAMPLE, (x1 - x0) * SUPERSAMPLE), np.float32)
    for p, opacity in placed:
        # fillPoly fills a pixel whose centre is inside; pixel c spans [c, c + 1)
        q = np.round(((p - np.array([x0, y0])) * SUPERSAMPLE - 0.5) * (1 << _SHIFT)).astype(np.int32)
        layer = np.zeros_like(hi)
        cv2.fillPoly(layer, [q], 1.0, lineType=cv2.LINE_8, shift=_SHIFT)
        np.maximum(hi, layer * opacity, out=hi)
    rows = np.flatnonzero(hi.any(axis=1))
    cols = np.flatnonzero(hi.any(axis=0))
    if rows.size == 0:  # degenerate (sub-pixel) sprite: a point box at the centre
        box = (cx, cy, 0.0, 0.0)
    else:
        box = (x0 + cols[0] / SUPERSAMPLE, y0 + rows[0] / SUPERSAMPLE,
               (cols[-1] + 1 - cols[0]) / SUPERSAMPLE, (rows[-1] + 1 - rows[0]) / SUPERSAMPLE)
    alpha = cv2.resize(hi, (x1 - x0, y1 - y0), interpolation=cv2.INTER_AREA)
    return SpritePatch((x0, y0), alpha, box)


def _render_glint(cx: float, cy: float, size: float) -> SpritePatch:
    """Gaussian core whose box (+-2.5 sigma) holds about 97% of its mass."""
    sigma = max(size, 0.5) / 5.0
    r = int(math.ceil(4.0 * sigma)) + 1
    x0, y0 = int(math.floor(cx)) - r, int(math.floor(cy)) - r
    ys, xs = np.mgrid[0:2 * r + 2, 0:2 * r + 2].astype(np.float32)
    # pixel (i, j) covers [x0 + j, x0 + j + 1): sample at its centre
    d2 = (xs + x0 + 0.5 - cx) ** 2 + (ys + y0 + 0.5 - cy) ** 2
    alpha = np.exp(-d2 / (2.0 * sigma * sigma)).astype(np.float32)
    h = 2.5 * sigma
    return SpritePatch((x0, y0), alpha, (cx - h, cy - h, 2 * h, 2 * h))


# --------------------------------------------------------------------------------------
# scene description

@dataclass
class Target:
    kind: str
    x: np.ndarray            # world centre per frame (float)
    y: np.ndarray
    size: np.ndarray         # overall extent in px per frame
    heading: np.ndarray      # radians, per frame
    phase: np.ndarray        # wing-flap phase per frame (birds)
    color: tuple[float, float, float] = (55.0, 52.0, 50.0)   # BGR of the silhouette
    opacity: float = 0.85    # < 1 lowers the contrast against the sky
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
    image: np.ndarray                      # uint8, HxWx3 BGR or HxW grey
    boxes: list[Optional[Box]]             # per target, clipped to the frame; None if outside
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
    profiles: tuple[str, ...]              # molvane profiles suited to the scene
    fps: float = 30.0
    grey: bool = False
    dusk: bool = False
    noise_sigma: float = 2.5
    blur_sigma: float = 0.6
    cloud_strength: float = 0.22
    cloud_drift: tuple[float, float] = (0.35, 0.05)
    shake: float = 0.0                     # camera shake amplitude, px
    flicker: float = 0.0                   # relative brightness flicker amplitude
    occluders: list[Occluder] = field(default_factory=list)
    # static dark structures (masts, rooftops, treelines) drawn behind the targets
    scenery: list[Occluder] = field(default_factory=list)
    cam: Optional[np.ndarray] = None       # (n, 2) camera offsets, filled by __post_init__

    def __post_init__(self) -> None:
        rng = np.random.default_rng([self.seed, 1])
        n = self.n_frames
        if self.shake > 0:
            t = np.arange(n, dtype=np.float64)
            cam = np.zeros((n, 2))
            for k in range(2):
                for period in (23.0, 9.0, 4.3):
                    cam[:, k] += (self.shake / 2.2) * math.sqrt(period / 23.0) * np.sin(
                        2 * math.pi * t / period + rng.uniform(0, 2 * math.pi))
            cam += rng.normal(0.0, self.shake * 0.18, size=(n, 2))
            self.cam = cam
        else:
            self.cam = np.zeros((n, 2))
        self._gain = 1.0 + self.flicker * (0.6 * np.sin(np.arange(n) * 0.9 + rng.uniform(0, 6))
                                           + 0.4 * rng.uniform(-1, 1, size=n))
        self._pixels_ready = False   # sky, clouds and noise are built on the first render

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
        self._sky = np.broadcast_to(top + (bottom - top) * v ** 1.3, (h, w, 3)).astype(np.float32)
        self._cloud_color = (np.array([150, 150, 165], np.float32) if self.dusk
                             else np.array([245, 245, 248], np.float32))
        self._cloud_diff = (self._cloud_color - self._sky).astype(np.float32)
        # cloud density texture large enough for the drift and the shake
        dx, dy = self.cloud_drift
        self._margin = int(self.shake * 3) + 8
        tw = w + 2 * self._margin + int(abs(dx) * self.n_frames) + 4
        th = h + 2 * self._margin + int(abs(dy) * self.n_frames) + 4
        tex = np.zeros((th, tw), np.float32)
        for cell, weight in ((160, 0.6), (60, 0.3), (22, 0.1)):
            small = rng.random((th // cell + 3, tw // cell + 3)).astype(np.float32)
            big = cv2.resize(small, (small.shape[1] * cell, small.shape[0] * cell),
                             interpolation=cv2.INTER_CUBIC)
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
        self._noise = [rng.standard_normal(shape, dtype=np.float32) * np.float32(self.noise_sigma)
                       for _ in range(2)]
        self._buf = np.empty((self.height, self.width, 3), np.float32)

    def _background(self, i: int) -> np.ndarray:
        dx, dy = self.cloud_drift
        # start from the far side of the texture when the drift is negative
        ox = self._margin + dx * i + (abs(dx) * self.n_frames if dx < 0 else 0.0) + self.cam[i, 0]
        oy = self._margin + dy * i + (abs(dy) * self.n_frames if dy < 0 else 0.0) + self.cam[i, 1]
        m = np.float32([[1, 0, -ox], [0, 1, -oy]])
        dens = cv2.warpAffine(self._clouds, m, (self.width, self.height), flags=cv2.INTER_LINEAR,
                              borderMode=cv2.BORDER_REFLECT)
        img = self._buf
        np.multiply(dens[:, :, None], self._cloud_diff, out=img)
        img += self._sky
        return img

    def target_box(self, t: Target, i: int) -> SpritePatch:
        """The sprite of target ``t`` in frame ``i`` (image coordinates, camera applied)."""
        return render_sprite(t.kind, float(t.x[i] - self.cam[i, 0]), float(t.y[i] - self.cam[i, 1]),
                             float(t.size[i]), float(t.heading[i]), float(t.phase[i]))

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
            reg = _region((int(round(sc.x - self.cam[i, 0])), int(round(sc.y - self.cam[i, 1]))),
                          sc.alpha.shape, w, h)
            if reg is not None:
                (fr, fc), (pr, pc) = reg
                a = sc.alpha[pr, pc][:, :, None]
                img[fr, fc] += a * (np.array(sc.color, np.float32) - img[fr, fc])
        patches = []
        for t in self.targets:
            sp = self.target_box(t, i)
            patches.append(sp)
            _composite(img, _blurred(sp, self.blur_sigma), t, self.cam[i], i)
        placed = [(oc, (int(round(oc.x - self.cam[i, 0])), int(round(oc.y - self.cam[i, 1]))))
                  for oc in self.occluders]
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
            grey += bank[ny:ny + h, nx:nx + w]
            out = cv2.convertScaleAbs(np.maximum(grey, 0, out=grey))
        else:
            img += bank[ny:ny + h, nx:nx + w]
            out = cv2.convertScaleAbs(np.maximum(img, 0, out=img))
        boxes: list[Optional[Box]] = []
        visible: list[bool] = []
        for sp in patches:
            box, inside = _clip_box(sp.box, w, h)
            boxes.append(box)
            unoccluded = _unoccluded_share(sp, placed) if placed and box is not None else 1.0
            visible.append(box is not None and inside >= VISIBLE_FRACTION
                           and unoccluded >= VISIBLE_FRACTION)
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


def _clip_box(box: Box, w: int, h: int) -> tuple[Optional[Box], float]:
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
        reg = _region((origin[0] - sp.origin[0], origin[1] - sp.origin[1]), oc.alpha.shape,
                      sp.alpha.shape[1], sp.alpha.shape[0])
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
    noise = cv2.resize(small, (small.shape[1] * 12, small.shape[0] * 12),
                       interpolation=cv2.INTER_CUBIC)[:h, :w]
    return np.clip((1.0 - r) * 4.0 + (noise - 0.5) * 1.2, 0.0, 1.0).astype(np.float32)


# --------------------------------------------------------------------------------------
# trajectories

def _along_path(points: np.ndarray, speeds: np.ndarray, closed: bool = True,
                start: float = 0.0) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
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


def _smooth_curve(cx: float, cy: float, ax: float, ay: float, n: int = 400,
                  wobble: float = 0.0, rng: Optional[np.random.Generator] = None) -> np.ndarray:
    a = np.linspace(0.0, 2 * math.pi, n, endpoint=False)
    x = cx + ax * np.sin(a)
    y = cy + ay * np.sin(2 * a + 0.3)
    if wobble and rng is not None:
        x += wobble * np.sin(3 * a + rng.uniform(0, 6))
        y += wobble * np.sin(5 * a + rng.uniform(0, 6))
    return np.stack([x, y], axis=1)


def _heading_from_xy(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    vx = np.gradient(x)
    vy = np.gradient(y)
    return np.arctan2(vy, vx)


def _target(kind: str, x, y, size, heading=None, phase=None, **kw) -> Target:
    n = len(x)
    x = np.asarray(x, np.float64)
    y = np.asarray(y, np.float64)
    size = np.broadcast_to(np.asarray(size, np.float64), (n,)).copy()
    heading = _heading_from_xy(x, y) if heading is None else np.asarray(heading, np.float64)
    phase = np.zeros(n) if phase is None else np.asarray(phase, np.float64)
    return Target(kind, x, y, size, heading, phase, **kw)


# --------------------------------------------------------------------------------------
# scenarios

def _small_slow(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    curve = _smooth_curve(320, 170, 150, 60, wobble=15, rng=rng)
    x, y, hd = _along_path(curve, np.full(n, 1.6), start=rng.uniform(0, 300))
    t = _target("aircraft", x, y, 11.0, hd, opacity=0.45)
    return Scene("small_slow", "11 px low-contrast aircraft, 1.6 px/frame", 640, 360, n, seed,
                 [t], ("default", "fast-sky", "correlation"))


def _tiny_fast(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    curve = _smooth_curve(320, 180, 250, 130, wobble=10, rng=rng)
    speeds = 25.0 + 5.0 * np.sin(np.arange(n) * 0.11 + rng.uniform(0, 6))
    x, y, hd = _along_path(curve, speeds, start=rng.uniform(0, 500))
    t = _target("aircraft", x, y, 5.0, hd, opacity=0.9, color=(40, 40, 45))
    return Scene("tiny_fast", "5 px aircraft at 20-30 px/frame", 640, 360, n, seed, [t],
                 ("fast-sky", "missile", "default"))


def _abrupt_turn(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    pts = np.array([(60, 60), (560, 110), (140, 300), (590, 290), (330, 40), (80, 250)], float)
    pts += rng.uniform(-15, 15, pts.shape)
    x, y, hd = _along_path(pts, np.full(n, 18.0), start=30.0)
    t = _target("quad", x, y, 9.0, np.zeros(n), opacity=0.9)
    return Scene("abrupt_turn", "9 px drone, 18 px/frame, 100-150 deg corners", 640, 360, n, seed,
                 [t], ("fast-sky", "missile", "default"))


def _approaching(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    f = np.arange(n) / max(n - 1, 1)
    size = 26.0 * 4.0 ** f
    x = 420 + 300 * f + 12 * np.sin(f * 5 + rng.uniform(0, 6))
    y = 250 + 110 * f
    hd = np.full(n, -0.35) + 0.08 * np.sin(f * 7)
    t = _target("aircraft", x, y, size, hd, opacity=0.9)
    return Scene("approaching", "aircraft growing 26 -> 104 px (4x), 1280x720", 1280, 720, n, seed,
                 [t], ("scale-target", "adaptive", "default"))


def _occlusion(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    mid = n * 0.45
    hidden = min(28.0, n * 0.3)                   # frames spent fully behind the cloud
    # start inside the frame at any length, but clear of the cloud (whose half width is
    # (v * hidden + 50) / 2) by a target width: fast in short scenes
    v = max(min(3.0, 250.0 / mid), 37.0 / (mid - hidden / 2))
    x = 320 + v * (np.arange(n) - mid)
    y = 175 + 12 * np.sin(np.arange(n) * 0.05)
    t = _target("aircraft", x, y, 12.0, opacity=0.85)
    cw = int(v * hidden + 10)
    cloud = make_cloud(rng, cw + 40, 90)
    occ = Occluder(320 - (cw + 40) / 2, 175 - 45, cloud)
    return Scene("occlusion", "12 px aircraft passes behind an opaque cloud and reappears",
                 640, 360, n, seed, [t], ("default", "fast-sky"), occluders=[occ])


def _edge_exit(n: int, seed: int) -> Scene:
    w, h = 640, 360
    te, tb = n * 0.35, n * 0.6
    v = min(4.0, 500.0 / te)
    i = np.arange(n, dtype=np.float64)
    a = v / (tb - te)
    x = np.where(i < te, w - v * (te - i),
                 np.where(i < tb, w + a * (i - te) * (tb - i), w - v * (i - tb)))
    y = np.where(i < te, 150.0, np.where(i < tb, 150 + 60 * (i - te) / (tb - te), 210.0))
    hd = np.where(i < tb, 0.0, math.pi)
    t = _target("quad", x, y, 11.0, hd * 0, opacity=0.9)
    return Scene("edge_exit", "drone leaves the frame at the right edge and re-enters lower",
                 w, h, n, seed, [t], ("default", "fast-sky"))


def _dusk_glint(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    curve = _smooth_curve(320, 170, 230, 110, wobble=20, rng=rng)
    speeds = 18.0 + 4.0 * np.sin(np.arange(n) * 0.07)
    x, y, hd = _along_path(curve, speeds, start=rng.uniform(0, 400))
    t = _target("glint", x, y, 5.0, hd)
    return Scene("dusk_glint", "bright 5 px glint with trail at dusk, 14-22 px/frame, flicker",
                 640, 360, n, seed, [t], ("missile", "fast-sky"), dusk=True, flicker=0.06,
                 noise_sigma=3.0)


def _shaky(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    curve = _smooth_curve(320, 180, 140, 70, wobble=10, rng=rng)
    x, y, _ = _along_path(curve, np.full(n, 3.0), start=rng.uniform(0, 300))
    t = _target("quad", x, y, 10.0, np.zeros(n), opacity=0.85)
    return Scene("shaky", "10 px drone, hand-held camera shake (about 8 px)", 640, 360, n, seed,
                 [t], ("default", "adaptive"), shake=8.0)


def _large_aircraft(n: int, seed: int) -> Scene:
    i = np.arange(n, dtype=np.float64)
    x = 190 + 1.4 * i * (240 / max(n, 1))
    y = 185 - 0.3 * i * (240 / max(n, 1))
    hd = -0.12 + 0.1 * np.sin(i * 0.03)
    t = _target("aircraft", x, y, 150.0, hd, opacity=0.92, color=(70, 68, 66))
    return Scene("large_aircraft", "extended aircraft, 150 px span, slow", 640, 360, n, seed, [t],
                 ("adaptive", "default", "correlation"))


def _grey_only(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    curve = _smooth_curve(320, 180, 200, 90, wobble=15, rng=rng)
    x, y, hd = _along_path(curve, np.full(n, 6.0), start=rng.uniform(0, 400))
    t = _target("aircraft", x, y, 12.0, hd, opacity=0.8)
    return Scene("grey_only", "12 px aircraft at 6 px/frame, single-channel frames", 640, 360, n,
                 seed, [t], ("default", "fast-sky"), grey=True)


def _crossing_drones(n: int, seed: int) -> Scene:
    i = np.arange(n, dtype=np.float64)
    mid = n / 2
    v = min(4.0, 250.0 / mid)
    ta = _target("quad", 320 + v * (i - mid), 180 + 0.5 * v * (i - mid), 12.0, np.zeros(n))
    tb = _target("quad", 320 - v * (i - mid), 180 + 0.5 * v * (i - mid), 12.0, np.zeros(n))
    return Scene("crossing_drones", "two identical 12 px drones cross paths", 640, 360, n, seed,
                 [ta, tb], ("birds", "default"))


def _close_pass(n: int, seed: int) -> Scene:
    i = np.arange(n, dtype=np.float64)
    mid = n / 2
    v = min(5.0, 270.0 / mid)
    ta = _target("aircraft", 320 + v * (i - mid), np.full(n, 172.0), 14.0)
    tb = _target("aircraft", 320 - v * (i - mid), np.full(n, 190.0), 14.0)
    return Scene("close_pass", "two 14 px aircraft pass head-on 18 px apart", 640, 360, n, seed,
                 [ta, tb], ("close-pass", "default"))


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
        targets.append(_target("bird", x, y, 16.0, phase=phase, opacity=0.9, color=(35, 35, 38)))
    return Scene("flock", "four 16 px birds with flapping wings flying in a loose group", 640, 360,
                 n, seed, targets, ("birds", "default"))


def _merge_split(n: int, seed: int) -> Scene:
    i = np.arange(n, dtype=np.float64)
    f = i / max(n - 1, 1)
    x = 140 + 360 * f
    gap = 60 * np.clip(np.abs(f - 0.5) * 4 - 0.4, 0.0, 1.0) + 5   # 5 px apart around f = 0.5
    ta = _target("quad", x, 180 - gap / 2, 12.0, np.zeros(n))
    tb = _target("quad", x + 3, 180 + gap / 2, 12.0, np.zeros(n))
    return Scene("merge_split", "two 12 px drones converge, overlap, then split", 640, 360, n,
                 seed, [ta, tb], ("birds", "default"))


def _leave_frame(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    i = np.arange(n, dtype=np.float64)
    # out of the frame a third of the way through, and never back
    v = 540.0 / max(n / 3.0, 1.0)
    x = 120 + v * i
    y = 150 + 25 * np.sin(i * 0.03 + rng.uniform(0, 6))
    t = _target("aircraft", x, y, 12.0, opacity=0.85)
    return Scene("leave_frame", "12 px aircraft leaves the frame at the right edge for good",
                 640, 360, n, seed, [t], ("default", "fast-sky"))


def _cloud_bank(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    i = np.arange(n, dtype=np.float64)
    # flies into a bank of cloud a third of the way through and stays inside it
    bank_x = 400
    v = 260.0 / max(n / 3.0, 1.0)
    x = np.minimum(150 + v * i, 560.0)
    y = 180 + 10 * np.sin(i * 0.05)
    t = _target("quad", x, y, 11.0, np.zeros(n), opacity=0.9)
    alpha = make_cloud(rng, 520, 520)
    return Scene("cloud_bank", "11 px drone flies into a dense cloud bank and stays there",
                 640, 360, n, seed, [t], ("default", "fast-sky"),
                 occluders=[Occluder(bank_x - 20, -80, alpha)])


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
        tree[int(tops[xx]):, xx] = 1.0
    tree = cv2.GaussianBlur(tree, (0, 0), 0.8)
    return [Occluder(300, h - 230 - 30, mast, (40, 44, 42)), Occluder(0, h - 70, tree, (30, 48, 34))]


def _mast_clutter(n: int, seed: int) -> Scene:
    rng = np.random.default_rng(seed)
    i = np.arange(n, dtype=np.float64)
    # passes low in front of a mast above a treeline, then leaves the frame at the left
    v = 420.0 / max(n * 0.45, 1.0)
    x = 80 + 450 - v * i
    y = 230 + 8 * np.sin(i * 0.07)
    t = _target("quad", x, y, 11.0, np.zeros(n), opacity=0.9)
    return Scene("mast_clutter", "11 px drone passes a mast over a treeline, then leaves the frame",
                 640, 360, n, seed, [t], ("default", "fast-sky"),
                 scenery=_structures(rng, 640, 360))


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
