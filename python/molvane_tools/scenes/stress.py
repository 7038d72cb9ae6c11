"""Stress scenes: a target whose appearance changes slowly, and a look-alike left behind.

A renderer of their own (not the named scenes' sky), so the tracker meets scenes it was not
tuned on. Every clip is a grey-blue sky with a mild gradient, soft low-contrast clouds
drifting slowly, slight optical blur on the targets and sensor noise (sigma 2.5 grey levels
per channel); targets are drawn at 4x and area-averaged, so they sit at sub-pixel positions.
Frames are 640x480 BGR uint8. All motion is a function of time in seconds, so a clip
rendered at 10, 30, 60 or 120 fps shows the same motion per second.

Cases:
- hover_yaw: 16 px dark quadcopter hovering (slight drift, ~2 px/s jitter), yawing at
  30 deg/s, 3.33 s (the box changes with the yaw between about 13 and 16 px);
- fly_yaw: the same drone flying at 60 px/s on a gentle curve while yawing 30 deg/s, 4 s;
- haze: 16 px aircraft silhouette at 80 px/s whose contrast falls smoothly from 100 to 50
  grey levels over the first 2 s, then stays there for 2 s;
- glint: 12 px aircraft at 50 px/s whose body brightens towards the sky (contrast from 118
  to 48 grey levels over the first 1.5 s), 4 s;
- decoy: a 16 px drone flies at 60 px/s for 2 s and vanishes; an identical motionless drone
  hangs 30 px below the vanish point the whole time; 3.33 s more after the vanish.

A target box is the exact extent of its silhouette.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import cv2
import numpy as np

W, H = 640, 480
SS = 4  # supersampling factor of the sprites
SHIFT = 4  # fractional bits of the cv2 drawing coordinates
NOISE_SIGMA = 2.5
BLUR_SIGMA = 0.6  # optical blur of the targets, px
CLOUD_DRIFT = (3.0, 1.0)  # px/s
CASES = ("hover_yaw", "fly_yaw", "haze", "glint", "decoy")

# ---------------------------------------------------------------------------------------
# Sprites: primitives in target coordinates (px, centred on the target), alpha per primitive


@dataclass
class Sprite:
    polys: list  # [(Nx2 array, alpha)]
    circles: list  # [((x, y), r, alpha)]

    def moved(self, cx: float, cy: float) -> Sprite:
        return Sprite(
            [(p + (cx, cy), a) for p, a in self.polys], [((c[0] + cx, c[1] + cy), r, a) for c, r, a in self.circles]
        )

    def extent(self) -> tuple[float, float, float, float]:
        """(x0, y0, x1, y1) of the silhouette."""
        xs0 = [p[:, 0].min() for p, _ in self.polys] + [c[0] - r for c, r, _ in self.circles]
        xs1 = [p[:, 0].max() for p, _ in self.polys] + [c[0] + r for c, r, _ in self.circles]
        ys0 = [p[:, 1].min() for p, _ in self.polys] + [c[1] - r for c, r, _ in self.circles]
        ys1 = [p[:, 1].max() for p, _ in self.polys] + [c[1] + r for c, r, _ in self.circles]
        return min(xs0), min(ys0), max(xs1), max(ys1)


def _rot(pts, ang: float) -> np.ndarray:
    c, s = math.cos(ang), math.sin(ang)
    pts = np.asarray(pts, np.float64)
    return pts @ np.array([[c, s], [-s, c]])


def _bar(p0, p1, width: float) -> np.ndarray:
    (x0, y0), (x1, y1) = p0, p1
    d = math.hypot(x1 - x0, y1 - y0)
    nx, ny = -(y1 - y0) / d * width / 2, (x1 - x0) / d * width / 2
    return np.array([[x0 + nx, y0 + ny], [x1 + nx, y1 + ny], [x1 - nx, y1 - ny], [x0 - nx, y0 - ny]])


def quadcopter(span: float, yaw: float) -> Sprite:
    """X of four arms from a dark body to semi-transparent rotor discs; ``span`` is the
    rotor-tip to rotor-tip distance along an arm, ``yaw`` in radians."""
    r = 0.16 * span
    arm = span / 2 - r
    body = _rot(np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]]) * 0.14 * span, yaw)
    polys, circles = [(body, 1.0)], []
    for k in range(4):
        a = yaw + math.pi / 4 + k * math.pi / 2
        tip = (arm * math.cos(a), arm * math.sin(a))
        polys.append((_bar((0.0, 0.0), tip, 0.09 * span), 1.0))
        circles.append((tip, r, 0.45))
        circles.append((tip, 0.06 * span, 1.0))
    return Sprite(polys, circles)


def aircraft(span: float, heading: float) -> Sprite:
    """Seen from below: fuselage, swept wings and a tail plane; nose along ``heading``."""
    ln = 0.95 * span
    fus = [
        (0.5 * ln, 0),
        (0.4 * ln, -0.06 * span),
        (-0.48 * ln, -0.05 * span),
        (-0.5 * ln, 0),
        (-0.48 * ln, 0.05 * span),
        (0.4 * ln, 0.06 * span),
    ]
    wing = [
        (0.1 * ln, 0),
        (-0.06 * ln, 0.5 * span),
        (-0.18 * ln, 0.5 * span),
        (-0.12 * ln, 0),
        (-0.18 * ln, -0.5 * span),
        (-0.06 * ln, -0.5 * span),
    ]
    tail = [
        (-0.36 * ln, 0),
        (-0.44 * ln, 0.19 * span),
        (-0.5 * ln, 0.19 * span),
        (-0.47 * ln, 0),
        (-0.5 * ln, -0.19 * span),
        (-0.44 * ln, -0.19 * span),
    ]
    return Sprite([(_rot(p, heading), 1.0) for p in (fus, wing, tail)], [])


def rasterize(sprite: Sprite) -> tuple[np.ndarray, int, int]:
    """Coverage of a placed sprite: (alpha patch float32, x0, y0), blurred slightly."""
    ex0, ey0, ex1, ey1 = sprite.extent()
    x0, y0 = int(math.floor(ex0)) - 3, int(math.floor(ey0)) - 3
    pw, ph = int(math.ceil(ex1)) + 3 - x0, int(math.ceil(ey1)) + 3 - y0
    scale = SS * (1 << SHIFT)

    def fix(x, y):  # 1x coordinate -> fixed-point 4x pixel-centre coordinate
        return (int(round(((x - x0) * SS - 0.5) * (1 << SHIFT))), int(round(((y - y0) * SS - 0.5) * (1 << SHIFT))))

    alpha = np.zeros((ph * SS, pw * SS), np.float32)
    for a in sorted({a for _, a in sprite.polys} | {a for _, _, a in sprite.circles}):
        m = np.zeros_like(alpha, np.uint8)
        for p, pa in sprite.polys:
            if pa == a:
                pts = np.array([fix(x, y) for x, y in p], np.int32)
                cv2.fillPoly(m, [pts], 255, cv2.LINE_8, SHIFT)
        for c, r, ca in sprite.circles:
            if ca == a:
                cv2.circle(m, fix(*c), int(round(r * scale)), 255, -1, cv2.LINE_8, SHIFT)
        np.maximum(alpha, m.astype(np.float32) * (a / 255.0), out=alpha)
    small = cv2.resize(alpha, (pw, ph), interpolation=cv2.INTER_AREA)
    return cv2.GaussianBlur(small, (0, 0), BLUR_SIGMA), x0, y0


# ---------------------------------------------------------------------------------------
# Sky


class Sky:
    """Gradient sky with soft low-contrast clouds drifting at CLOUD_DRIFT, plus a noise pool."""

    PAD = 64

    def __init__(self, rng: np.random.Generator):
        yy, xx = np.mgrid[0:H, 0:W].astype(np.float32)
        v, u = yy / H, xx / W
        top, bottom = np.array([198, 172, 150], np.float32), np.array([208, 190, 172], np.float32)
        self.base = top + (bottom - top) * v[..., None] + (u[..., None] - 0.5) * np.float32(6)
        ch, cw = H + self.PAD, W + self.PAD
        n = np.zeros((ch, cw), np.float32)
        for octave in range(5):
            gh, gw = 3 * 2**octave, 4 * 2**octave
            grid = rng.random((gh, gw)).astype(np.float32)
            n += cv2.resize(grid, (cw, ch), interpolation=cv2.INTER_CUBIC) * 0.55**octave
        n = (n - n.min()) / (n.max() - n.min())
        c = np.clip((n - 0.45) / 0.35, 0, 1)
        self.cloud = cv2.GaussianBlur(c * c * (3 - 2 * c), (0, 0), 3)
        self.cloud_colour = np.array([8, 12, 15], np.float32)  # whiter, less blue
        self.noise = [rng.standard_normal((H + 128, W + 128, 3), dtype=np.float32) * NOISE_SIGMA for _ in range(4)]

    def at(self, t: float) -> np.ndarray:
        dx, dy = CLOUD_DRIFT[0] * t, CLOUD_DRIFT[1] * t
        m = np.float32([[1, 0, dx - self.PAD / 2], [0, 1, dy - self.PAD / 2]])
        c = cv2.warpAffine(self.cloud, m, (W, H), flags=cv2.INTER_LINEAR, borderMode=cv2.BORDER_REFLECT)
        return self.base + c[..., None] * self.cloud_colour

    def noisy(self, img: np.ndarray, rng: np.random.Generator) -> np.ndarray:
        """Adds sensor noise: a random window of one of the pre-drawn noise fields."""
        f = self.noise[rng.integers(len(self.noise))]
        oy, ox = rng.integers(0, 128, 2)
        img += f[oy : oy + H, ox : ox + W]
        np.clip(img + 0.5, 0, 255, out=img)
        return img.astype(np.uint8)


# ---------------------------------------------------------------------------------------
# Cases: objects(t) -> [(sprite placed in the frame, contrast in grey levels)]; the first
# object is the target, visible(t) says whether it is in the frame.


@dataclass
class Case:
    name: str
    duration: float
    objects: Callable[[float], list]
    vanish: float | None = None  # time the target disappears

    def visible(self, t: float) -> bool:
        return self.vanish is None or t < self.vanish - 1e-9


def _smooth(x: float) -> float:
    x = min(max(x, 0.0), 1.0)
    return x * x * (3 - 2 * x)


def _arc(p0, speed: float, heading0: float, turn: float, t: float) -> tuple[float, float, float]:
    """Position and heading after t seconds at constant speed (px/s) and turn rate (rad/s)."""
    h = heading0 + turn * t
    if abs(turn) < 1e-9:
        return p0[0] + speed * t * math.cos(h), p0[1] + speed * t * math.sin(h), h
    r = speed / turn
    return (p0[0] + r * (math.sin(h) - math.sin(heading0)), p0[1] - r * (math.cos(h) - math.cos(heading0)), h)


def _jitter(rng: np.random.Generator, rms_speed: float) -> Callable[[float], tuple[float, float]]:
    """Smooth random wobble (sum of sines) whose rms speed is ``rms_speed`` px/s."""
    f = rng.uniform(0.5, 2.5, (2, 3))
    ph = rng.uniform(0, 2 * math.pi, (2, 3))
    # rms speed of sum_k a sin(2 pi f_k t): a 2 pi sqrt(sum f_k^2 / 2) per axis
    amp = rms_speed / math.sqrt(2) / (2 * math.pi * np.sqrt((f**2).sum(axis=1) / 2))

    def at(t: float) -> tuple[float, float]:
        s = amp[:, None] * np.sin(2 * math.pi * f * t + ph)
        return float(s[0].sum()), float(s[1].sum())

    return at


def make_case(name: str, rng: np.random.Generator) -> Case:
    yaw_rate = math.radians(30)
    if name == "hover_yaw":
        jit = _jitter(rng, 2.0)

        def objs(t):
            j = jit(t)
            return [(quadcopter(16, 0.3 + yaw_rate * t).moved(300 + 1.5 * t + j[0], 200 - 1.0 * t + j[1]), 90.0)]

        return Case(name, 100 / 30, objs)
    if name == "fly_yaw":

        def objs(t):
            x, y, _ = _arc((170, 300), 60, math.radians(-20), math.radians(12), t)
            return [(quadcopter(16, 0.3 + yaw_rate * t).moved(x, y), 90.0)]

        return Case(name, 4.0, objs)
    if name == "haze":

        def objs(t):
            x, y, h = _arc((150, 330), 80, math.radians(-15), math.radians(5), t)
            return [(aircraft(16, h).moved(x, y), 100.0 * (1 - 0.5 * _smooth(t / 2.0)))]

        return Case(name, 4.0, objs)
    if name == "glint":

        def objs(t):
            x, y, h = _arc((190, 170), 50, math.radians(12), 0.0, t)
            return [(aircraft(12, h).moved(x, y), 118.0 - 70.0 * _smooth(t / 1.5))]

        return Case(name, 4.0, objs)
    if name == "decoy":
        vanish, vx, vy = 2.0, 420.0, 210.0
        decoy = (quadcopter(16, 0.3).moved(vx, vy + 30), 90.0)

        def objs(t):
            x = vx - 60 * (vanish - min(t, vanish))
            return [(quadcopter(16, 0.3).moved(x, vy), 90.0), decoy]

        return Case(name, vanish + 100 / 30, objs, vanish=vanish)
    raise ValueError(f"unknown case {name}")


def render(sky: Sky, case: Case, t: float, rng: np.random.Generator):
    """Frame at time t and the true boxes (x, y, w, h) of all objects; None when hidden."""
    img = sky.at(t)
    boxes = []
    for i, (sprite, contrast) in enumerate(case.objects(t)):
        if i == 0 and not case.visible(t):
            boxes.append(None)
            continue
        alpha, x0, y0 = rasterize(sprite)
        ph, pw = alpha.shape
        sx0, sy0 = max(x0, 0), max(y0, 0)
        sx1, sy1 = min(x0 + pw, W), min(y0 + ph, H)
        if sx1 > sx0 and sy1 > sy0:
            a = alpha[sy0 - y0 : sy1 - y0, sx0 - x0 : sx1 - x0]
            img[sy0:sy1, sx0:sx1] -= (contrast * a)[..., None]
        ex0, ey0, ex1, ey1 = sprite.extent()
        boxes.append((ex0, ey0, ex1 - ex0, ey1 - ey0))
    return sky.noisy(img, rng), boxes
