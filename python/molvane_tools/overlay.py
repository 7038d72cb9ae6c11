"""The pictures of the annotated video: every target's own overlay, optionally with its
state, a short trail and, once lost, a dashed box where it was last seen."""

from __future__ import annotations

from collections import deque
from typing import Any, Deque, Dict, Iterable, List, Tuple

import numpy as np

from .sources import require_cv2

OVERLAYS = ("full", "plain")
# Centres kept per target for the trail: half a second at 30 fps.
TRAIL_LENGTH = 15

# Blue-green-red, one per state word; "suppressed" is a lost result another target owns.
STATE_COLOURS = {
    "confirmed": (60, 200, 60),
    "tentative": (0, 200, 255),
    "lost": (50, 50, 230),
    "suppressed": (200, 80, 200),
}


def state_word(result: Any) -> str:
    return "suppressed" if result.suppressed else result.state


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


def dashed_rectangle(image: np.ndarray, box: Tuple[int, int, int, int], colour: Tuple[int, int, int],
                     dash: int = 4, gap: int = 3) -> None:
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


class Overlay:
    """Draws one video picture per frame. "plain" is exactly the targets' annotate() drawing;
    "full" adds a state word and a trail per target and keeps lost targets visible as a
    dashed box at their last place."""

    def __init__(self, mode: str = "full") -> None:
        if mode not in OVERLAYS:
            raise ValueError(f"overlay must be one of {', '.join(OVERLAYS)}, got '{mode}'")
        self.full = mode == "full"
        self._trails: Dict[int, Deque[Tuple[int, int]]] = {}
        self._last_box: Dict[int, Tuple[int, int, int, int]] = {}

    def draw(self, frame: np.ndarray, results: List[Any]) -> np.ndarray:
        picture = compose_overlays(frame, results)
        if not self.full:
            return picture
        cv2 = require_cv2()
        if picture.ndim == 2 or picture.shape[2] == 1:
            picture = cv2.cvtColor(picture, cv2.COLOR_GRAY2BGR)
        elif picture.shape[2] == 4:
            picture = cv2.cvtColor(picture, cv2.COLOR_BGRA2BGR)
        for result in results:
            word = state_word(result)
            colour = STATE_COLOURS.get(word, STATE_COLOURS["tentative"])
            trail = self._trails.setdefault(result.id, deque(maxlen=TRAIL_LENGTH))
            if result.lost:
                # A new trail starts where the target is found again, not where it was lost.
                trail.clear()
                if result.id not in self._last_box:
                    continue
                box = self._last_box[result.id]
                dashed_rectangle(picture, box, colour)
            else:
                values = (result.bbox_x, result.bbox_y, result.bbox_w, result.bbox_h, result.cx, result.cy)
                if not all(np.isfinite(values)):
                    continue
                box = (int(values[0]), int(values[1]), int(values[2]), int(values[3]))
                self._last_box[result.id] = box
                trail.append((int(round(result.cx)), int(round(result.cy))))
                if len(trail) > 1:
                    cv2.polylines(picture, [np.array(trail, np.int32)], False, colour, 1, cv2.LINE_AA)
            # Above the target's own label (which sits just above the box).
            x, y = box[:2]
            cv2.putText(picture, word, (x + 2, max(y - 19, 10)), cv2.FONT_HERSHEY_SIMPLEX, 0.35,
                        colour, 1, cv2.LINE_AA)
        return picture
