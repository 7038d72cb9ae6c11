"""Frame sources for the host tools: video files, image folders, cameras, the demo clip.

OpenCV is imported only when a source needs it, so the demo clip works without it.
"""

from __future__ import annotations

import os
import re
import struct
from collections.abc import Iterator, Sequence
from pathlib import Path

import numpy as np

from .scenes.demo import Box, DemoClip

IMAGE_SUFFIXES = frozenset({".png", ".jpg", ".jpeg", ".bmp", ".tif", ".tiff", ".pgm", ".ppm", ".webp"})
# Frames larger than this are refused before they are decoded: a small compressed file can
# claim a picture of many gigabytes.
MAX_PIXELS = 100_000_000


class ToolError(Exception):
    """A user-facing failure: the tools print its message on one line and exit with 2."""


def printable(text: str | os.PathLike[str]) -> str:
    """A name as it can be printed and stored: the bytes of a file name that are not UTF-8
    (which Python keeps as lone surrogates) become U+FFFD."""
    text = os.fspath(text) if isinstance(text, os.PathLike) else str(text)
    try:
        return text.encode("utf-8", "surrogateescape").decode("utf-8", "replace")
    except UnicodeEncodeError:
        return text.encode("utf-8", "replace").decode("utf-8")


def require_utf8(what: str, path: str | Path) -> None:
    """OpenCV cannot open names that are not UTF-8 (it crashes on some), so they are refused."""
    try:
        str(path).encode("utf-8")
    except UnicodeEncodeError:
        raise ToolError(
            f"{what} {printable(path)} has a name that is not valid UTF-8; rename it (or give its folder another name)"
        ) from None


def _too_large(what: str, width: int, height: int, max_pixels: int) -> ToolError:
    return ToolError(
        f"{what} is {width}x{height} ({width * height / 1e6:.6g} megapixels), above the limit "
        f"of {max_pixels / 1e6:.6g} megapixels; raise --max-pixels to read it"
    )


def image_size(data: bytes) -> tuple[int, int] | None:
    """(width, height) from the header of a PNG, JPEG, BMP, TIFF, WebP or PNM file, without
    decoding it; None when the header is not one of these or is cut short."""
    try:
        if data[:8] == b"\x89PNG\r\n\x1a\n" and data[12:16] == b"IHDR":
            return struct.unpack(">II", data[16:24])
        if data[:2] == b"BM":
            if struct.unpack("<I", data[14:18])[0] == 12:  # the old OS/2 header
                return struct.unpack("<HH", data[18:22])
            w, h = struct.unpack("<ii", data[18:26])
            return abs(w), abs(h)
        if data[:2] == b"\xff\xd8":
            return _jpeg_size(data)
        if data[:4] in (b"II*\0", b"MM\0*"):
            return _tiff_size(data)
        if data[:4] == b"RIFF" and data[8:12] == b"WEBP":
            return _webp_size(data)
        if data[:1] == b"P" and data[1:2] in b"123456":
            tokens = re.sub(rb"#[^\n]*", b" ", data[2:256]).split()
            return int(tokens[0]), int(tokens[1])
    except (struct.error, IndexError, ValueError):
        pass
    return None


def _jpeg_size(data: bytes) -> tuple[int, int] | None:
    i = 2
    while i + 4 <= len(data):
        if data[i] != 0xFF:
            return None
        marker = data[i + 1]
        if marker == 0xFF:  # fill byte
            i += 1
            continue
        if marker == 0x01 or 0xD0 <= marker <= 0xD7:  # markers without a length
            i += 2
            continue
        if marker in (0xD9, 0xDA):  # end of image, start of scan: no frame header
            return None
        if 0xC0 <= marker <= 0xCF and marker not in (0xC4, 0xC8, 0xCC):
            h, w = struct.unpack(">HH", data[i + 5 : i + 9])
            return w, h
        i += 2 + struct.unpack(">H", data[i + 2 : i + 4])[0]
    return None


def _tiff_size(data: bytes) -> tuple[int, int] | None:
    order = "<" if data[:2] == b"II" else ">"
    ifd = struct.unpack(order + "I", data[4:8])[0]
    size = {}
    for k in range(struct.unpack(order + "H", data[ifd : ifd + 2])[0]):
        entry = data[ifd + 2 + 12 * k : ifd + 14 + 12 * k]
        tag, kind = struct.unpack(order + "HH", entry[:4])
        if tag in (256, 257):  # ImageWidth, ImageLength: a SHORT or a LONG
            size[tag] = struct.unpack(order + ("H" if kind == 3 else "I"), entry[8:10] if kind == 3 else entry[8:12])[0]
    return (size[256], size[257]) if len(size) == 2 else None


def _webp_size(data: bytes) -> tuple[int, int] | None:
    chunk = data[12:16]
    if chunk == b"VP8 " and data[23:26] == b"\x9d\x01\x2a":
        w, h = struct.unpack("<HH", data[26:30])
        return w & 0x3FFF, h & 0x3FFF
    if chunk == b"VP8L" and data[20] == 0x2F:
        bits = struct.unpack("<I", data[21:25])[0]
        return (bits & 0x3FFF) + 1, ((bits >> 14) & 0x3FFF) + 1
    if chunk == b"VP8X":
        return int.from_bytes(data[24:27], "little") + 1, int.from_bytes(data[27:30], "little") + 1
    return None


def require_cv2():
    """Imports OpenCV or explains how to get it."""
    # Input failures are reported in one line of our own; the decoders' log lines would only
    # repeat them (set these variables to see them anyway).
    os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
    try:
        import cv2  # noqa: PLC0415 - optional dependency, imported on demand
    except ImportError as exc:
        raise ToolError(
            "OpenCV for Python is missing (module cv2); install the tools extra: pip install 'molvane[tools]'"
        ) from exc
    return cv2


class FrameSource:
    """Yields BGR uint8 frames one at a time; read() returns None at the end."""

    name: str = ""
    fps: float | None = None  # frame rate stated by the source, when it has one
    total: int | None = None  # number of frames, when known
    live: bool = False  # frames arrive in real time (cameras)
    frames_read: int = 0  # frames delivered so far

    def label(self, index: int) -> str | int:
        """What names frame index in the exports: its file name, else the index itself."""
        return index

    def suggested_boxes(self, index: int) -> list[Box]:
        """Target boxes the source knows for frame index (only the demo clip knows any)."""
        return []

    def read(self) -> np.ndarray | None:
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
    def __init__(self, clip: DemoClip | None = None) -> None:
        self.clip = clip or DemoClip()
        self.name = "demo clip"
        self.fps, self.total = self.clip.fps, len(self.clip)
        self._next = 0

    def suggested_boxes(self, index: int) -> list[Box]:
        return self.clip.seed_boxes(index)

    def read(self) -> np.ndarray | None:
        if self._next >= len(self.clip):
            return None
        self._next += 1
        self.frames_read = self._next
        return self.clip.frame(self._next - 1)


class CaptureSource(FrameSource):
    """A video file or a camera, through cv2.VideoCapture."""

    def __init__(self, target, name: str, live: bool, max_pixels: int = MAX_PIXELS) -> None:
        cv2 = require_cv2()
        self.name, self.live = name, live
        self._cap = cv2.VideoCapture(target)
        if not self._cap.isOpened():
            raise ToolError(f"cannot open {'camera' if live else 'video'}: {name}")
        width, height = (int(self._cap.get(p) or 0) for p in (cv2.CAP_PROP_FRAME_WIDTH, cv2.CAP_PROP_FRAME_HEIGHT))
        if width * height > max_pixels:
            self._cap.release()
            raise _too_large(f"{'camera' if live else 'video'} {name}", width, height, max_pixels)
        fps = self._cap.get(cv2.CAP_PROP_FPS)
        self.fps = float(fps) if fps and fps > 0 and np.isfinite(fps) else None
        count = int(self._cap.get(cv2.CAP_PROP_FRAME_COUNT) or 0)
        self.total = count if count > 0 and not live else None

    def read(self) -> np.ndarray | None:
        ok, frame = self._cap.read()
        if not ok or frame is None or not frame.size:
            return None
        self.frames_read += 1
        return frame

    def close(self) -> None:
        self._cap.release()


def natural_key(name: str) -> tuple:
    """Sort key that orders the digit runs in a name by value: f2 before f10, img9 before img010.

    Ties (f1 and f01) fall back to the plain name, so the order never depends on the file system.
    """
    parts = re.split(r"(\d+)", name.casefold())
    return tuple(int(p) if i % 2 else p for i, p in enumerate(parts)), name


class ImageFolderSource(FrameSource):
    """The images of a folder, in natural name order (frame_2 before frame_10).

    Files are read by Python and decoded from memory, so any file name works, and a
    picture's size is checked from its header before it is decoded."""

    def __init__(self, folder: Path, max_pixels: int = MAX_PIXELS) -> None:
        self._cv2 = require_cv2()
        self.name = printable(folder)
        self.max_pixels = max_pixels
        try:
            files = [p for p in folder.iterdir() if p.suffix.lower() in IMAGE_SUFFIXES]
        except OSError as exc:
            raise ToolError(f"cannot list folder {folder}: {exc.strerror or exc}") from exc
        self._files = sorted(files, key=lambda p: natural_key(p.name))
        if not self._files:
            raise ToolError(f"no images in folder: {self.name}")
        self.total = len(self._files)
        self._next = 0

    def read(self) -> np.ndarray | None:
        if self._next >= len(self._files):
            return None
        path = self._files[self._next]
        self._next += 1
        try:
            data = path.read_bytes()
        except OSError as exc:
            raise ToolError(f"cannot read image {printable(path)}: {exc.strerror or exc}") from exc
        size = image_size(data)
        if size is not None and size[0] * size[1] > self.max_pixels:
            raise _too_large(f"image {printable(path)}", size[0], size[1], self.max_pixels)
        frame = self._cv2.imdecode(np.frombuffer(data, np.uint8), self._cv2.IMREAD_COLOR) if data else None
        if frame is None:
            raise ToolError(f"cannot read image: {printable(path)}")
        self.frames_read = self._next
        return frame

    def label(self, index: int) -> str | int:
        return printable(self._files[index].name)


def open_source(spec: str | None, max_pixels: int = MAX_PIXELS) -> FrameSource:
    """None -> the demo clip; a folder -> its images; a file -> a video; digits -> a camera."""
    if spec is None:
        return DemoSource()
    path = Path(spec)
    if path.is_dir():
        return ImageFolderSource(path, max_pixels)
    if path.is_file():
        require_utf8("video", path)
        return CaptureSource(str(path), str(path), live=False, max_pixels=max_pixels)
    if spec.isdigit():
        return CaptureSource(int(spec), spec, live=True, max_pixels=max_pixels)
    raise ToolError(f"input not found: {printable(spec)}")


def parse_box(text: str) -> Box:
    """'x,y,w,h' (or 'x y w h') -> four integers with positive width and height."""
    parts = [p.strip() for p in text.split(",")] if "," in text else text.split()
    try:
        values = tuple(int(p) for p in parts)
    except ValueError:
        values = ()
    if len(values) != 4:
        raise ValueError(f"box must be four integers x,y,w,h, got '{text}'")
    if values[2] <= 0 or values[3] <= 0:
        raise ValueError(f"box width and height must be positive, got '{text}'")
    return values  # type: ignore[return-value]


def read_boxes(path: Path) -> list[Box]:
    """Boxes from a text file, one x,y,w,h (or x y w h) per line; blank lines and # comments
    are skipped."""
    try:
        text = path.read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as exc:
        raise ToolError(f"cannot read box file {printable(path)}: {getattr(exc, 'strerror', None) or exc}") from exc
    boxes = []
    for number, line in enumerate(text.splitlines(), 1):
        line = line.split("#", 1)[0].strip()
        if not line:
            continue
        try:
            boxes.append(parse_box(line))
        except ValueError as exc:
            raise ToolError(f"{printable(path)}, line {number}: {exc}") from None
    if not boxes:
        raise ToolError(f"no boxes in {printable(path)}")
    return boxes


def clip_box(box: Sequence[int], width: int, height: int) -> Box | None:
    """The part of box inside a width x height frame (as Tracker.lock takes it); None if empty."""
    x, y, w, h = box
    x0, y0 = max(x, 0), max(y, 0)
    x1, y1 = min(x + w, width), min(y + h, height)
    if x1 <= x0 or y1 <= y0:
        return None
    return (x0, y0, x1 - x0, y1 - y0)


def example_clip(argv: Sequence[str]) -> tuple[Iterator[np.ndarray], float, list[Box]]:
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
