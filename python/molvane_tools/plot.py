"""summary.png: the tracks over the first frame and a state timeline per target.

matplotlib is optional; without it the picture is simply not drawn.
"""

from __future__ import annotations

from array import array
from pathlib import Path
from typing import Any

import numpy as np

from .report import shown_state

# The picture of the first frame is drawn from a copy at most this many pixels wide or high
# (twice the figure's resolution): a 4K frame would otherwise cost matplotlib hundreds of MB.
BACKGROUND_MAX_SIDE = 1600
# Timeline rows, in drawing order. Colours as matplotlib takes them (RGB 0..1).
TIMELINE_STATES = ("confirmed", "tentative", "lost", "suppressed")
_STATE_RGB = {"confirmed": "#3cc83c", "tentative": "#ffc800", "lost": "#e63232", "suppressed": "#c850c8"}
_TARGET_RGB = ("#00e5ff", "#ff7f0e", "#e377c2", "#bcbd22", "#17becf", "#ffffff", "#9467bd", "#8c564b")


class TrackHistory:
    """Per target, the source frame, centre and state of every result, kept compactly
    (a few bytes per result) so that a long camera run can still be drawn at the end."""

    def __init__(self) -> None:
        self._frames: dict[int, array] = {}
        self._xy: dict[int, array] = {}
        self._states: dict[int, array] = {}

    def add(self, record: dict[str, Any]) -> None:
        target = record["id"]
        if target not in self._frames:
            self._frames[target], self._xy[target], self._states[target] = array("q"), array("f"), array("b")
        word = shown_state(record)
        seen = not record["lost"] and record["cx"] is not None and record["cy"] is not None
        self._frames[target].append(record["source_frame"])
        self._xy[target].extend((record["cx"], record["cy"]) if seen else (np.nan, np.nan))
        self._states[target].append(TIMELINE_STATES.index(word) if word in TIMELINE_STATES else 1)

    @property
    def targets(self) -> list[int]:
        return sorted(self._frames)

    def track(self, target: int) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(source frames, centres (n, 2) with NaN where lost, state indices) of one target."""
        xy = np.frombuffer(self._xy[target], np.float32).reshape(-1, 2)
        frames = np.frombuffer(self._frames[target], np.int64)
        return frames, xy, np.frombuffer(self._states[target], np.int8)


def _runs(frames: np.ndarray, states: np.ndarray) -> list[tuple[int, int, int]]:
    """(state, first frame, length) of each stretch of equal states."""
    if not len(frames):
        return []
    cuts = np.flatnonzero(np.diff(states)) + 1
    starts = np.concatenate(([0], cuts))
    ends = np.concatenate((cuts, [len(states)]))
    return [(int(states[a]), int(frames[a]), int(frames[b - 1]) - int(frames[a]) + 1) for a, b in zip(starts, ends)]


def background(frame: np.ndarray) -> np.ndarray:
    """A copy of frame for the picture, every k-th pixel so that no side exceeds
    BACKGROUND_MAX_SIDE, in red-green-blue order (or grey)."""
    step = max(1, -(-max(frame.shape[:2]) // BACKGROUND_MAX_SIDE))
    small = frame[::step, ::step]
    if small.ndim == 3:
        small = small[:, :, 2::-1] if small.shape[2] >= 3 else small[:, :, 0]
    return np.ascontiguousarray(small)


def write_summary_png(
    path: Path,
    picture: np.ndarray,
    frame_size: tuple[int, int],
    history: TrackHistory,
    boxes: list[tuple[int, int, int, int]],
    title: str = "",
    alert: bool = False,
) -> Path | None:
    """Draws the picture over picture (the first frame as background() made it, stretched
    to frame_size, width and height in pixels); returns its path, or None when matplotlib is
    not installed. alert: the title is drawn in red (a run that failed or was stopped)."""
    try:
        from matplotlib.figure import Figure  # noqa: PLC0415 - optional dependency
        from matplotlib.patches import Patch, Rectangle  # noqa: PLC0415
    except ImportError:
        return None
    width, height = frame_size
    rgb = picture
    targets = history.targets
    fig_w = 8.0
    # Very tall or wide frames are drawn within sane bounds, not as a figure of metres.
    image_h = min(max(fig_w * height / width, 1.0), 3 * fig_w)
    timeline_h = 0.5 + 0.3 * max(len(targets), 1)
    fig = Figure(figsize=(fig_w, image_h + timeline_h + 0.6), dpi=100)
    grid = fig.add_gridspec(
        2, 1, height_ratios=[image_h, timeline_h], hspace=0.25, left=0.08, right=0.98, top=0.95, bottom=0.08
    )
    ax = fig.add_subplot(grid[0])
    ax.imshow(rgb, cmap="gray" if rgb.ndim == 2 else None, interpolation="nearest", extent=(0, width, height, 0))
    ax.set_xlim(0, width)
    ax.set_ylim(height, 0)
    ax.set_xticks([])
    ax.set_yticks([])
    if title:
        ax.set_title(title, fontsize=9, color="#c00000" if alert else "black")
    timeline = fig.add_subplot(grid[1])
    first = last = None
    for row, target in enumerate(targets):
        colour = _TARGET_RGB[row % len(_TARGET_RGB)]
        frames, xy, states = history.track(target)
        # Gaps where the target was lost break the line.
        ax.plot(xy[:, 0], xy[:, 1], "-", color=colour, lw=1.2, label=f"target {target}")
        if row < len(boxes):
            x, y, w, h = boxes[row]
            ax.add_patch(Rectangle((x, y), w, h, fill=False, edgecolor=colour, lw=1.0))
        seen = np.flatnonzero(np.isfinite(xy[:, 0]))
        if len(seen):
            ax.plot(*xy[seen[-1]], "x", color=colour, ms=6, mew=1.5)
        for state, start, length in _runs(frames, states):
            timeline.broken_barh(
                [(start - 0.5, length)], (row - 0.4, 0.8), facecolors=_STATE_RGB[TIMELINE_STATES[state]], linewidth=0
            )
        if len(frames):
            first = frames[0] if first is None else min(first, frames[0])
            last = frames[-1] if last is None else max(last, frames[-1])
    if targets:
        ax.legend(loc="lower right", fontsize=7, framealpha=0.7)
    timeline.set_yticks(range(len(targets)), [f"target {t}" for t in targets], fontsize=8)
    timeline.set_ylim(len(targets) - 0.5, -0.5)
    if first is not None and last is not None:
        timeline.set_xlim(first - 0.5, last + 0.5)
    timeline.set_xlabel("source frame", fontsize=8)
    timeline.tick_params(axis="x", labelsize=8)
    timeline.legend(
        handles=[Patch(color=_STATE_RGB[s], label=s) for s in TIMELINE_STATES],
        loc="lower right",
        bbox_to_anchor=(1.0, 1.0),
        ncol=4,
        fontsize=7,
        frameon=False,
        borderaxespad=0.2,
    )
    fig.savefig(path, format="png")
    return path
