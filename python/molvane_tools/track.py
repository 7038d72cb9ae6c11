"""molvane-track: follow selected targets through a video and write what happened.

Outputs (in --out): annotated.avi (the overlay of every target), tracks.jsonl (one
line per target per frame with every TrackResult field) and summary.json.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path
from typing import Any, List, Optional, Sequence

import numpy as np

from .report import RunStats, compose_overlays, format_summary, result_record
from .sources import (Box, FrameSource, ToolError, box_inside, display_available, open_source,
                      parse_box, require_cv2)

PROG = "molvane-track"
# Runs shorter than this finish too fast for a progress bar to be worth its noise.
PROGRESS_MIN_FRAMES = 200


def _box_arg(text: str) -> Box:
    try:
        return parse_box(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _positive_float(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        value = float("nan")
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds, got '{text}'")
    return value


def _count(minimum: int):
    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            value = minimum - 1
        if value < minimum:
            raise argparse.ArgumentTypeError(f"must be an integer >= {minimum}, got '{text}'")
        return value
    return parse


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Lock onto selected targets and track them through a video, an image "
                    "folder or a camera. Writes an annotated video, per-frame results "
                    "(JSON Lines) and a summary.",
        epilog="Without INPUT the built-in synthetic sky clip is used, with its two targets "
               "preselected. Exit status 2 means bad input or arguments.")
    parser.add_argument("input", nargs="?", metavar="INPUT",
                        help="video file, folder of images (name order), or camera index")
    parser.add_argument("--bbox", action="append", type=_box_arg, metavar="X,Y,W,H", default=[],
                        help="target box in the first frame, in pixels; repeat for several targets "
                             "(without it a selection window opens when a display is available)")
    parser.add_argument("--profile", default="default",
                        help="tracking profile, e.g. default, correlation, adaptive, fast-sky, "
                             "birds, missile (default: %(default)s)")
    parser.add_argument("--dt", type=_positive_float, metavar="SECONDS",
                        help="frame interval; default: from the video's frame rate, "
                             "else measured by the tracker's clock")
    parser.add_argument("--start-frame", type=_count(0), default=0, metavar="N",
                        help="skip N frames; the targets are selected in frame N (default: 0)")
    parser.add_argument("--max-frames", type=_count(1), metavar="N",
                        help="stop after N tracked frames")
    parser.add_argument("--out", type=Path, default=Path("out/track"), metavar="DIR",
                        help="output folder, created if needed (default: %(default)s)")
    parser.add_argument("--no-video", action="store_true", help="do not write the annotated video")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    return parser


def _import_molvane():
    try:
        import molvane  # noqa: PLC0415 - keeps --help usable without the native module
    except ImportError as exc:
        raise ToolError(f"the molvane module cannot be imported: {exc}") from exc
    return molvane


def _select_boxes(frame: np.ndarray) -> List[Box]:
    if not display_available():
        raise ToolError("no display for interactive target selection; give targets with --bbox X,Y,W,H")
    cv2 = require_cv2()
    title = f"{PROG}: drag a box, ENTER for the next, ESC when done"
    try:
        rois = cv2.selectROIs(title, frame, showCrosshair=True)
    except cv2.error as exc:
        raise ToolError("interactive selection is not available in this OpenCV build; "
                        "give targets with --bbox X,Y,W,H") from exc
    finally:
        try:
            cv2.destroyAllWindows()
        except cv2.error:
            pass
    boxes = [tuple(int(v) for v in roi) for roi in np.asarray(rois).reshape(-1, 4) if roi[2] > 0 and roi[3] > 0]
    if not boxes:
        raise ToolError("no target selected")
    return boxes  # type: ignore[return-value]


def _progress(total: Optional[int], enabled: bool):
    """A tqdm bar on long or open-ended runs; nothing when tqdm is absent or the run is short."""
    if not enabled or (total is not None and total < PROGRESS_MIN_FRAMES):
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]  # optional dependency
    except ImportError:
        return None
    # disable=None: only on a terminal, so logs stay free of carriage-return noise.
    return tqdm(total=total, unit="frame", desc=PROG, file=sys.stderr, dynamic_ncols=True, disable=None)


class _VideoOut:
    def __init__(self, path: Path, fps: float, frame: np.ndarray) -> None:
        self._cv2 = require_cv2()
        h, w = frame.shape[:2]
        self._writer = self._cv2.VideoWriter(str(path), self._cv2.VideoWriter_fourcc(*"MJPG"), fps, (w, h))
        if not self._writer.isOpened():
            raise ToolError(f"cannot write video: {path}")

    def write(self, picture: np.ndarray) -> None:
        if picture.ndim == 2:
            picture = self._cv2.cvtColor(picture, self._cv2.COLOR_GRAY2BGR)
        elif picture.shape[2] == 4:
            picture = self._cv2.cvtColor(picture, self._cv2.COLOR_BGRA2BGR)
        self._writer.write(picture)

    def close(self) -> None:
        self._writer.release()


def run(args: argparse.Namespace) -> dict:
    molvane = _import_molvane()
    source = open_source(args.input)
    try:
        return _track(args, molvane, source)
    finally:
        source.close()


def _frame_interval(args: argparse.Namespace, source: FrameSource) -> float:
    """Seconds between frames for update(): given, else from the video, else -1 (measured)."""
    if args.dt is not None:
        return args.dt
    if source.fps and not source.live:
        return 1.0 / source.fps
    return -1.0


def _lock(molvane: Any, profile: str, frame: np.ndarray, boxes: List[Box]) -> Any:
    """A Tracker for one box, a MultiTracker for several; bad profiles and boxes are input errors."""
    try:
        if len(boxes) == 1:
            tracker = molvane.Tracker(profile)
            tracker.lock(frame, bbox=boxes[0])
        else:
            tracker = molvane.MultiTracker(profile)
            tracker.lock(frame, bboxes=boxes)
    except ValueError as exc:
        raise ToolError(str(exc)) from exc
    return tracker


def _track(args: argparse.Namespace, molvane: Any, source: FrameSource) -> dict:
    frame = source.read()
    index = 0
    while frame is not None and index < args.start_frame:
        frame, index = source.read(), index + 1
    if frame is None:
        if index == 0:
            raise ToolError(f"cannot read video: {source.name}")
        raise ToolError(f"--start-frame {args.start_frame} is past the end of {source.name} ({index} frames)")
    frame = np.ascontiguousarray(frame, dtype=np.uint8)
    height, width = frame.shape[:2]

    boxes = list(args.bbox) or source.suggested_boxes(index) or _select_boxes(frame)
    for box in boxes:
        if not box_inside(box, width, height):
            raise ToolError("box {} lies outside the {}x{} frame".format(",".join(map(str, box)), width, height))
    tracker = _lock(molvane, args.profile, frame, boxes)
    single = len(boxes) == 1
    dt = _frame_interval(args, source)

    args.out.mkdir(parents=True, exist_ok=True)
    video = None
    if args.no_video:
        # A video left by an earlier run would not match this run's tracks.
        (args.out / "annotated.avi").unlink(missing_ok=True)
    else:
        video = _VideoOut(args.out / "annotated.avi", source.fps or (1.0 / dt if dt > 0 else 30.0), frame)
    remaining = None if source.total is None else max(source.total - index - 1, 0)
    if args.max_frames is not None:
        remaining = args.max_frames if remaining is None else min(remaining, args.max_frames)
    bar = _progress(remaining, not args.no_progress)

    stats = RunStats()
    started = time.perf_counter()
    interrupted = False
    try:
        with open(args.out / "tracks.jsonl", "w", encoding="utf-8") as lines:
            while args.max_frames is None or stats.updates < args.max_frames:
                frame = source.read()
                if frame is None:
                    break
                index += 1
                frame = np.ascontiguousarray(frame, dtype=np.uint8)
                if frame.shape[:2] != (height, width):
                    raise ToolError(f"frame {index} is {frame.shape[1]}x{frame.shape[0]}, "
                                    f"the first was {width}x{height}")
                t0 = time.perf_counter()
                results = tracker.update(frame, dt=dt)
                ms = (time.perf_counter() - t0) * 1000.0
                if single:
                    results = [results]
                stats.add_update(ms)
                for result in results:
                    record = result_record(result, index, ms)
                    stats.add(record)
                    lines.write(json.dumps(record) + "\n")
                if video is not None:
                    video.write(compose_overlays(frame, results))
                if bar is not None:
                    bar.update(1)
    except KeyboardInterrupt:
        # Ctrl-C is how a camera run ends: keep what was tracked so far.
        interrupted = True
    finally:
        if bar is not None:
            bar.close()
        if video is not None:
            video.close()

    summary = stats.summary()
    outputs = ["tracks.jsonl", "summary.json"] + ([] if video is None else ["annotated.avi"])
    summary.update({
        "input": source.name,
        "profile": args.profile,
        "seed_frame": args.start_frame,
        "boxes": [list(b) for b in boxes],
        "dt": dt if dt > 0 else None,
        "interrupted": interrupted,
        "wall_seconds": time.perf_counter() - started,
        "outputs": [str(args.out / name) for name in outputs],
    })
    with open(args.out / "summary.json", "w", encoding="utf-8") as fh:
        json.dump(summary, fh, indent=2)
        fh.write("\n")
    return summary


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)
    try:
        summary = run(args)
    except ToolError as exc:
        print(f"{PROG}: error: {exc}", file=sys.stderr)
        return 2
    print(format_summary(summary))
    return 0


if __name__ == "__main__":
    sys.exit(main())
