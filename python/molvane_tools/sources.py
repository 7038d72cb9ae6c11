"""Frame sources for the host tools: video files, image folders, cameras, the demo clip.

OpenCV is imported only when a source needs it, so the demo clip works without it.
"""

from __future__ import annotations

import os
import re
from pathlib import Path
from typing import Iterator, List, Optional, Sequence, Tuple, Union

import numpy as np

from .demo_clip import Box, DemoClip

IMAGE_SUFFIXES = frozenset({".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm", ".ppm", ".webp"})


class ToolError(Exception):
    """A user-facing failure: the tools print its message on one line and exit with 2."""


def require_cv2():
    """Imports OpenCV or explains how to get it."""
    # Input failures are reported in one line of our own; the decoders' log lines would only
    # repeat them (set these variables to see them anyway).
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
    try:
        import cv2  # noqa: PLC0415 - optional dependency, imported on demand
    except ImportError as exc:
        raise ToolError("OpenCV for Python is missing (module cv2); "
                        "install the tools extra: pip install 'molvane[tools]'") from exc
    return cv2


class FrameSource:
    """Yields BGR uint8 frames one at a time; read() returns None at the end."""

    name: str = ""
    fps: Optional[float] = None      # frame rate stated by the source, when it has one
    total: Optional[int] = None      # number of frames, when known
    live: bool = False               # frames arrive in real time (cameras)
    frames_read: int = 0             # frames delivered so far

    def label(self, index: int) -> Union[str, int]:
        """What names frame index in the exports: its file name, else the index itself."""
        return index

    def suggested_boxes(self, index: int) -> List[Box]:
        """Target boxes the source knows for frame index (only the demo clip knows any)."""
        return []

    def read(self) -> Optional[np.ndarray]:
        raise NotImplementedError

    def close(self) -> None:
        pass

    def __iter__(self) -> Iterator[np.ndarray]:
        while True:
            frame = self.read()
            if frame is None:
                return
            yield frame


class DemoSource(FrameSource):
    def __init__(self, clip: Optional[DemoClip] = None) -> None:
        self.clip = clip or DemoClip()
        self.name = "demo clip"
        self.fps, self.total = self.clip.fps, len(self.clip)
        self._next = 0

    def suggested_boxes(self, index: int) -> List[Box]:
        return self.clip.seed_boxes(index)

    def read(self) -> Optional[np.ndarray]:
        if self._next >= len(self.clip):
            return None
        self._next += 1
        self.frames_read = self._next
        return self.clip.frame(self._next - 1)


class CaptureSource(FrameSource):
    """A video file or a camera, through cv2.VideoCapture."""

    def __init__(self, target, name: str, live: bool) -> None:
        cv2 = require_cv2()
        self.name, self.live = name, live
        self._cap = cv2.VideoCapture(target)
        if not self._cap.isOpened():
            raise ToolError(f"cannot open {'camera' if live else 'video'}: {name}")
        fps = self._cap.get(cv2.CAP_PROP_FPS)
        self.fps = float(fps) if fps and fps > 0 and np.isfinite(fps) else None
        count = int(self._cap.get(cv2.CAP_PROP_FRAME_COUNT) or 0)
        self.total = count if count > 0 and not live else None

    def read(self) -> Optional[np.ndarray]:
        ok, frame = self._cap.read()
        if not ok or frame is None or not frame.size:
            return None
        self.frames_read += 1
        return frame

    def close(self) -> None:
        self._cap.release()


def natural_key(name: str) -> Tuple:
    """Sort key that orders the digit runs in a name by value: f2 before f10, img9 before img010.

    Ties (f1 and f01) fall back to the plain name, so the order never depends on the file system.
    """
    parts = re.split(r"(\d+)", name.casefold())
    return tuple(int(p) if i % 2 else p for i, p in enumerate(parts)), name


class ImageFolderSource(FrameSource):
    """The images of a folder, in natural name order (frame_2 before frame_10)."""

    def __init__(self, folder: Path) -> None:
        self._cv2 = require_cv2()
        self.name = str(folder)
        try:
            files = [p for p in folder.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES]
        except OSError as exc:
            raise ToolError(f"cannot list folder {folder}: {exc.strerror or exc}") from exc
        self._files = sorted(files, key=lambda p: natural_key(p.name))
        if not self._files:
            raise ToolError(f"no images in folder: {folder}")
        self.total = len(self._files)
        self._next = 0

    def read(self) -> Optional[np.ndarray]:
        if self._next >= len(self._files):
            return None
        path = self._files[self._next]
        self._next += 1
        frame = self._cv2.imread(str(path), self._cv2.IMREAD_COLOR)
        if frame is None:
            raise ToolError(f"cannot read image: {path}")
        self.frames_read = self._next
        return frame

    def label(self, index: int) -> Union[str, int]:
        return self._files[index].name


def open_source(spec: Optional[str]) -> FrameSource:
    """None -> the demo clip; a folder -> its images; a file -> a video; digits -> a camera."""
    if spec is None:
        return DemoSource()
    path = Path(spec)
    if path.is_dir():
        return ImageFolderSource(path)
    if path.is_file():
        return CaptureSource(str(path), str(path), live=False)
    if spec.isdigit():
        return CaptureSource(int(spec), spec, live=True)
    raise ToolError(f"input not found: {spec}")


def parse_box(text: str) -> Box:
    """'x,y,w,h' -> four integers with positive width and height."""
    parts = [p.strip() for p in text.split(",")]
    try:
        values = tuple(int(p) for p in parts)
    except ValueError:
        values = ()
    if len(values) != 4:
        raise ValueError(f"box must be four integers x,y,w,h, got '{text}'")
    if values[2] <= 0 or values[3] <= 0:
        raise ValueError(f"box width and height must be positive, got '{text}'")
    return values  # type: ignore[return-value]


def read_boxes(path: Path) -> List[Box]:
    """Boxes from a text file, one x,y,w,h per line; blank lines and # comments are skipped."""
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise ToolError(f"cannot read box file {path}: {getattr(exc, 'strerror', None) or exc}") from exc
    boxes = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        try:
            boxes.append(parse_box(line))
        except ValueError as exc:
            raise ToolError(f"{path}, line {number}: {exc}") from None
    if not boxes:
        raise ToolError(f"no boxes in {path}")
    return boxes


def clip_box(box: Sequence[int], width: int, height: int) -> Optional[Box]:
    """The part of box inside a width x height frame (as Tracker.lock takes it); None if empty."""
    x, y, w, h = box
    x0, y0 = max(x, 0), max(y, 0)
    x1, y1 = min(x + w, width), min(y + h, height)
    if x1 <= x0 or y1 <= y0:
        return None
    return (x0, y0, x1 - x0, y1 - y0)


def example_clip(argv: Sequence[str]) -> Tuple[Iterator[np.ndarray], float, List[Box]]:
    """Frames, frame rate and seed boxes for the examples.

    No arguments: the demo clip and its two targets. Otherwise VIDEO X,Y,W,H [X,Y,W,H ...].
    """
    if not argv:
        clip = DemoClip()
        return iter(clip), clip.fps, clip.seed_boxes()
    if len(argv) < 2:
        raise SystemExit("usage: VIDEO X,Y,W,H [X,Y,W,H ...]")
    source = open_source(argv[0])
    return iter(source), source.fps or 30.0, [parse_box(a) for a in argv[1:]]


def display_available() -> bool:
    """Whether an interactive window can be opened (a desktop session on Linux)."""
    if os.name == "nt" or os.uname().sysname == "Darwin":
        return True
    return bool(os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"))
