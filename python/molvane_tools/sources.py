"""Frame sources for the host tools: video files, image folders, cameras, the demo clip.

OpenCV is imported only when a source needs it, so the demo clip works without it.
"""

from __future__ import annotations

import os
from pathlib import Path
from typing import Iterator, List, Optional, Sequence, Tuple

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
        return frame if ok and frame is not None and frame.size else None

    def close(self) -> None:
        self._cap.release()


class ImageFolderSource(FrameSource):
    """The images of a folder, in file-name order."""

    def __init__(self, folder: Path) -> None:
        self._cv2 = require_cv2()
        self.name = str(folder)
        self._files = sorted(p for p in folder.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES)
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
        return frame


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


def box_inside(box: Sequence[int], width: int, height: int) -> bool:
    x, y, w, h = box
    return w > 0 and h > 0 and x >= 0 and y >= 0 and x + w <= width and y + h <= height


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
