"""The pictures of the annotated video: either every target's own overlay (plain), or the
tool's own drawing (full): each target in a colour of its own with its id and state, a short
trail and, once it is not seen, a dashed box where it was last seen."""

from __future__ import annotations

from collections import deque
from collections.abc import Iterable
from typing import Any

import numpy as np

from .report import shown_state
from .sources import require_cv2

OVERLAYS = ("full", "plain")
# Centres kept per target for the trail: half a second at 30 fps.
TRAIL_LENGTH = 15
# One colour per target id, blue-green-red, strong enough to stand out against sky and cloud.
ID_COLOURS = (
    (40, 40, 230),
    (0, 140, 255),
    (200, 50, 200),
    (30, 150, 30),
    (170, 90, 0),
    (20, 80, 150),
    (140, 0, 120),
    (0, 0, 0),
)
FONT_SCALE = 0.4


def id_colour(target: int) -> tuple[int, int, int]:
    return ID_COLOURS[(target - 1) % len(ID_COLOURS)]


def compose_overlays(frame: np.ndarray, results: Iterable[Any]) -> np.ndarray:
    """One picture with every result's overlay.

    Each result draws its own overlay on its own copy of the frame; the pixels a result
    changed are taken over into the combined picture, later targets on top.
    """
    results = list(results)
    if len(results) == 1:
        return results[0].annotate()
    cv2 = require_cv2()
    base = np.ascontiguousarray(frame)
    if base.ndim == 3 and base.shape[2] == 1:
        base = base[:, :, 0]
    out = base.copy()
    channels = 1 if base.ndim == 2 else base.shape[2]
    for result in results:
        drawn = result.annotate()
        changed = cv2.absdiff(drawn, base)
        if channels > 1:
            # Sum of the channel differences: non-zero exactly where any channel changed.
            changed = cv2.transform(changed, np.ones((1, channels)))
        cv2.copyTo(drawn, changed, out)
    return out


def dashed_rectangle(
    image: np.ndarray, box: tuple[int, int, int, int], colour: tuple[int, int, int], dash: int = 4, gap: int = 3
) -> None:
    """A 1 px rectangle outline of dashes, from the top-left pixel to the last one inside."""
    cv2 = require_cv2()
    x, y, w, h = box
    x1, y1 = x + w - 1, y + h - 1
    for (ax, ay), (bx, by) in (((x, y), (x1, y)), ((x1, y), (x1, y1)), ((x1, y1), (x, y1)), ((x, y1), (x, y))):
        length = max(abs(bx - ax), abs(by - ay))
        for start in range(0, length + 1, dash + gap):
            end = min(start + dash - 1, length)
            p = (ax + (bx - ax) * start // max(length, 1), ay + (by - ay) * start // max(length, 1))
            q = (ax + (bx - ax) * end // max(length, 1), ay + (by - ay) * end // max(length, 1))
            cv2.line(image, p, q, colour, 1, cv2.LINE_8)


def label(image: np.ndarray, text: str, box: tuple[int, int, int, int], colour: tuple[int, int, int]) -> None:
    """text just above box, or below it at the top edge, always wholly inside the picture."""
    cv2 = require_cv2()
    height, width = image.shape[:2]
    (tw, th), base = cv2.getTextSize(text, cv2.FONT_HERSHEY_SIMPLEX, FONT_SCALE, 1)
    x, y, _, h = box
    ty = y - 4 if y - 4 - th >= 0 else y + h + th + 4
    tx = min(max(x, 1), max(width - tw - 1, 0))
    ty = min(max(ty, th + 1), max(height - base - 1, th + 1))
    cv2.putText(image, text, (tx, ty), cv2.FONT_HERSHEY_SIMPLEX, FONT_SCALE, colour, 1, cv2.LINE_AA)


class Overlay:
    """Draws one video picture per frame. "plain" is exactly the targets' annotate() drawing;
    "full" draws each target in its own colour: a box (thick when confirmed), its id and
    state, a trail, and a dashed box at the last place seen for a target that is lost or
    suppressed (report.shown_state)."""

    def __init__(self, mode: str = "full") -> None:
        if mode not in OVERLAYS:
            raise ValueError(f"overlay must be one of {', '.join(OVERLAYS)}, got '{mode}'")
        self.full = mode == "full"
        self._trails: dict[int, deque[tuple[int, int]]] = {}
        self._last_box: dict[int, tuple[int, int, int, int]] = {}

    def draw(self, frame: np.ndarray, results: list[Any]) -> np.ndarray:
        if not self.full:
            return compose_overlays(frame, results)
        cv2 = require_cv2()
        picture = np.ascontiguousarray(frame)
        if picture.ndim == 2 or picture.shape[2] == 1:
            picture = cv2.cvtColor(picture, cv2.COLOR_GRAY2BGR)
        elif picture.shape[2] == 4:
            picture = cv2.cvtColor(picture, cv2.COLOR_BGRA2BGR)
        else:
            picture = picture.copy()
        for result in results:
            word = shown_state(result)
            colour = id_colour(result.id)
            trail = self._trails.setdefault(result.id, deque(maxlen=TRAIL_LENGTH))
            values = (result.bbox_x, result.bbox_y, result.bbox_w, result.bbox_h, result.cx, result.cy)
            if word in ("lost", "suppressed") or not all(np.isfinite(values)):
                # A new trail starts where the target is found again, not where it was lost.
                trail.clear()
                if result.id not in self._last_box:
                    continue
                box = self._last_box[result.id]
                dashed_rectangle(picture, box, colour)
            else:
                box = (int(values[0]), int(values[1]), int(values[2]), int(values[3]))
                self._last_box[result.id] = box
                trail.append((int(round(result.cx)), int(round(result.cy))))
                if len(trail) > 1:
                    cv2.polylines(picture, [np.array(trail, np.int32)], False, colour, 1, cv2.LINE_AA)
                cv2.rectangle(
                    picture,
                    box[:2],
                    (box[0] + box[2] - 1, box[1] + box[3] - 1),
                    colour,
                    2 if word == "confirmed" else 1,
                    cv2.LINE_8,
                )
            label(picture, f"{result.id} {word}", box, colour)
        return picture
