"""Sprites for the sky scenes: anti-aliased silhouettes of an aircraft, a quadcopter and a
bird with flapping wings, and a bright glint, rasterised at sub-pixel positions.

A sprite is drawn at SUPERSAMPLE times the frame resolution and area-averaged, so a target
of a few pixels still moves smoothly from frame to frame.
"""

from __future__ import annotations

import math
from collections.abc import Callable
from dataclasses import dataclass

import cv2
import numpy as np

Box = tuple[float, float, float, float]

SUPERSAMPLE = 4  # sprites are rasterised at this factor, then area-averaged
_SHIFT = 4  # fixed-point bits for cv2 polygon coordinates (1/16 px)

# sprites


def _ellipse_pts(cx: float, cy: float, ax: float, ay: float, n: int = 14) -> np.ndarray:
    a = np.linspace(0.0, 2.0 * math.pi, n, endpoint=False)
    return np.stack([cx + ax * np.cos(a), cy + ay * np.sin(a)], axis=1)


def _mirror_y(poly: np.ndarray) -> np.ndarray:
    return poly * np.array([1.0, -1.0])


def _aircraft_polys(phase: float) -> list[tuple[np.ndarray, float]]:
    """Aircraft seen from below, nose along +x, length 1 and span 1."""
    fuselage = np.array([(0.5, 0.0), (0.43, 0.05), (-0.44, 0.04), (-0.5, 0.0), (-0.44, -0.04), (0.43, -0.05)])
    wing = np.array([(0.12, 0.04), (-0.1, 0.5), (-0.2, 0.5), (-0.06, 0.04)])
    tail = np.array([(-0.34, 0.03), (-0.44, 0.18), (-0.49, 0.18), (-0.46, 0.03)])
    return [(fuselage, 1.0), (wing, 1.0), (_mirror_y(wing), 1.0), (tail, 1.0), (_mirror_y(tail), 1.0)]


def _quad_polys(phase: float) -> list[tuple[np.ndarray, float]]:
    """Quadcopter from below: body, four arms and translucent rotor discs, span 1."""
    polys: list[tuple[np.ndarray, float]] = [(np.array([(0.12, 0.1), (-0.12, 0.1), (-0.12, -0.1), (0.12, -0.1)]), 1.0)]
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


def render_sprite(
    kind: str, cx: float, cy: float, size: float, heading: float = 0.0, phase: float = 0.0
) -> SpritePatch:
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
        box = (
            x0 + cols[0] / SUPERSAMPLE,
            y0 + rows[0] / SUPERSAMPLE,
            (cols[-1] + 1 - cols[0]) / SUPERSAMPLE,
            (rows[-1] + 1 - rows[0]) / SUPERSAMPLE,
        )
    alpha = cv2.resize(hi, (x1 - x0, y1 - y0), interpolation=cv2.INTER_AREA)
    return SpritePatch((x0, y0), alpha, box)


def _render_glint(cx: float, cy: float, size: float) -> SpritePatch:
    """Gaussian core whose box (+-2.5 sigma) holds about 97% of its mass."""
    sigma = max(size, 0.5) / 5.0
    r = int(math.ceil(4.0 * sigma)) + 1
    x0, y0 = int(math.floor(cx)) - r, int(math.floor(cy)) - r
    ys, xs = np.mgrid[0 : 2 * r + 2, 0 : 2 * r + 2].astype(np.float32)
    # pixel (i, j) covers [x0 + j, x0 + j + 1): sample at its centre
    d2 = (xs + x0 + 0.5 - cx) ** 2 + (ys + y0 + 0.5 - cy) ** 2
    alpha = np.exp(-d2 / (2.0 * sigma * sigma)).astype(np.float32)
    h = 2.5 * sigma
    return SpritePatch((x0, y0), alpha, (cx - h, cy - h, 2 * h, 2 * h))
