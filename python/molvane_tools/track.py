"""molvane-track: follow selected targets through a video and write what happened.

Outputs (in --out), every row of the track files naming its source frame:
  summary.json   counts, settings and whether the run completed; written first with
                 "completed": false and rewritten when the run ends, however it ends
  tracks.jsonl   one line per target per frame with every TrackResult field
  tracks.csv     the same rows as a table with a header
  mot.txt        MOTChallenge rows frame,id,x,y,w,h,conf,-1,-1,-1 (frame = source index + 1)
  summary.png    the tracks over the first frame and a state timeline (needs matplotlib)
  annotated.mp4  the overlay video (annotated.avi with --video-format avi)

The folder must be new, empty or one the tool wrote before (see outputs.OutputFolder).
Exit status: 0 for a complete run, 2 for bad input or arguments and for an output that
cannot be written or came out broken, 128 + the signal number for a run stopped by SIGINT
(130), SIGTERM (143) or SIGHUP (129).
"""

from __future__ import annotations

import argparse
import functools
import os
import re
import signal
import sys
import threading
import time
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from importlib import metadata
from pathlib import Path
from typing import Any

import numpy as np

from .outputs import PLOT, VIDEO_FORMATS, OutputFolder, TrackFiles, VideoOut
from .overlay import OVERLAYS, Overlay
from .plot import TrackHistory, background, write_summary_png
from .report import RunStats, format_summary, result_record
from .sources import (
    MAX_PIXELS,
    Box,
    FrameSource,
    ImageFolderSource,
    ToolError,
    clip_box,
    display_available,
    open_source,
    parse_box,
    printable,
    read_boxes,
    require_cv2,
    require_utf8,
)

PROG = "molvane-track"
# Runs shorter than this finish too fast for a progress bar to be worth its noise.
PROGRESS_MIN_FRAMES = 200
# Frame rate assumed for files that state none (image folders, some videos).
FALLBACK_FPS = 30.0
# Signals that end a run the way Ctrl-C does: the outputs keep what was tracked.
STOP_SIGNALS = ("SIGINT", "SIGTERM", "SIGHUP")


def say(kind: str, text: str) -> None:
    print(f"{PROG}: {kind}: {printable(text)}", file=sys.stderr)


@functools.cache
def package_version() -> str:
    try:
        return metadata.version("molvane")
    except metadata.PackageNotFoundError:
        return "unknown (molvane is not installed)"


def _attach_negative_boxes(argv: Sequence[str]) -> list[str]:
    """--bbox -5,-5,12,12 -> --bbox=-5,-5,12,12: argparse takes a value that starts with a
    dash for an option, so a box reaching past the left or top edge needs the = form."""
    out: list[str] = []
    args = iter(argv)
    for arg in args:
        if arg == "--":
            out.append(arg)
            out.extend(args)
            break
        if arg == "--bbox":
            value = next(args, None)
            if value is not None and re.match(r"-\d", value):
                out.append(f"--bbox={value}")
                continue
            out.append(arg)
            if value is not None:
                out.append(value)
            continue
        out.append(arg)
    return out


def _box_arg(text: str) -> Box:
    try:
        return parse_box(text)
    except ValueError as exc:
        raise argparse.ArgumentTypeError(str(exc)) from None


def _positive(unit: str):
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            value = float("nan")
        if not value > 0 or value == float("inf"):
            raise argparse.ArgumentTypeError(f"must be a positive number{unit}, got '{text}'")
        return value

    return parse


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
        "folder or a camera. Writes the tracks (JSON Lines, CSV, MOTChallenge), "
        "a summary, a summary picture and an annotated video.",
        epilog="Without INPUT the built-in synthetic sky clip is used, with its two targets "
        "preselected. Files are timed by --dt, else --fps, else the video's frame rate, "
        f"else {FALLBACK_FPS:.0f} fps; only cameras use the wall clock. The output folder must be "
        "new, empty or written by an earlier run of this tool; only the files that run wrote are "
        "replaced. SIGTERM and SIGHUP end a run like Ctrl-C: the outputs keep what was tracked and "
        "the exit status is 128 + the signal number (130 for Ctrl-C). Exit status 2 means bad "
        "input or arguments, or an output that cannot be written or came out broken.",
    )
    parser.add_argument(
        "input",
        nargs="?",
        metavar="INPUT",
        help="video file, folder of images (natural name order: f2 before f10), or camera index",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    parser.add_argument(
        "--bbox",
        action="append",
        type=_box_arg,
        metavar="X,Y,W,H",
        default=[],
        help="target box in the first frame, in pixels; repeat for several targets "
        "(without it a selection window opens when a display is available)",
    )
    parser.add_argument(
        "--bboxes",
        type=Path,
        metavar="FILE",
        help="read target boxes from FILE, one X,Y,W,H (or X Y W H) per line (# starts a comment)",
    )
    parser.add_argument(
        "--profile",
        default="default",
        help="tracking profile, e.g. default, correlation, adaptive, fast-sky, birds, missile (default: %(default)s)",
    )
    timing = parser.add_mutually_exclusive_group()
    timing.add_argument(
        "--dt",
        type=_positive(" of seconds"),
        metavar="SECONDS",
        help=f"frame interval (default: from --fps, else the video's frame rate, else {FALLBACK_FPS:.0f} fps)",
    )
    timing.add_argument(
        "--fps",
        type=_positive(" of frames per second"),
        metavar="N",
        help="frame rate of the input, for folders and videos that state none",
    )
    parser.add_argument(
        "--start-frame",
        type=_count(0),
        default=0,
        metavar="N",
        help="skip N frames; the targets are selected in frame N (default: 0)",
    )
    parser.add_argument("--max-frames", type=_count(1), metavar="N", help="stop after N tracked frames")
    parser.add_argument(
        "--out",
        type=Path,
        default=Path("out/track"),
        metavar="DIR",
        help="output folder, created if needed; it must be new, empty or hold an earlier "
        "run of this tool (default: %(default)s)",
    )
    parser.add_argument(
        "--overwrite",
        action="store_true",
        help="also write into a folder that holds other files; a file carrying an output "
        "name is still replaced only if an earlier run of this tool wrote it",
    )
    parser.add_argument(
        "--max-pixels",
        type=_count(1),
        default=MAX_PIXELS,
        metavar="N",
        help="refuse frames of more than N pixels, checked before decoding (default: %(default)s)",
    )
    parser.add_argument(
        "--video-format",
        choices=sorted(VIDEO_FORMATS),
        default="mp4",
        help="annotated video container: mp4 (mp4v) or avi (MJPG) (default: %(default)s)",
    )
    parser.add_argument(
        "--overlay",
        choices=OVERLAYS,
        default="full",
        help="full: each target in its own colour with its id, state and trail, and a "
        "dashed box where a lost or suppressed target was last seen; plain: the "
        "targets' own overlay (TrackResult.annotate) (default: %(default)s)",
    )
    parser.add_argument("--no-video", action="store_true", help="do not write the annotated video")
    parser.add_argument("--no-plot", action="store_true", help="do not draw summary.png")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")
    return parser


def _import_molvane():
    try:
        import molvane  # noqa: PLC0415 - keeps --help usable without the native module
    except ImportError as exc:
        raise ToolError(f"the molvane module cannot be imported: {exc}") from exc
    return molvane


def _has_gui(cv2: Any) -> bool:
    """False for OpenCV builds without a window system (the headless wheels)."""
    found = re.search(r"^\s*GUI:\s*(\S+)", cv2.getBuildInformation(), re.MULTILINE)
    return not (found and found.group(1).upper() == "NONE")


NO_GUI = (
    "this OpenCV cannot open windows to pick targets: pass --bbox X,Y,W,H, "
    "or install opencv-python in place of opencv-python-headless"
)


def _select_boxes(frame: np.ndarray) -> list[Box]:
    if not display_available():
        raise ToolError("no display for interactive target selection; give targets with --bbox X,Y,W,H")
    cv2 = require_cv2()
    if not _has_gui(cv2):
        raise ToolError(NO_GUI)
    title = f"{PROG}: drag a box, ENTER for the next, ESC when done"
    try:
        rois = cv2.selectROIs(title, frame, showCrosshair=True)
    except cv2.error as exc:
        raise ToolError(NO_GUI) from exc
    finally:
        try:
            cv2.destroyAllWindows()
        except cv2.error:
            pass
    boxes = [tuple(int(v) for v in roi) for roi in np.asarray(rois).reshape(-1, 4) if roi[2] > 0 and roi[3] > 0]
    if not boxes:
        raise ToolError("no target selected")
    return boxes  # type: ignore[return-value]


def _progress(total: int | None, enabled: bool):
    """A tqdm bar on long or open-ended runs; nothing when tqdm is absent or the run is short."""
    if not enabled or (total is not None and total < PROGRESS_MIN_FRAMES):
        return None
    try:
        from tqdm import tqdm  # type: ignore[import-untyped]  # optional dependency
    except ImportError:
        return None
    # disable=None: only on a terminal, so logs stay free of carriage-return noise.
    return tqdm(total=total, unit="frame", desc=PROG, file=sys.stderr, dynamic_ncols=True, disable=None)


def frame_interval(args: argparse.Namespace, source: FrameSource) -> tuple[float, str]:
    """(seconds between frames for update(), where that number came from).

    -1 (the tracker measures) only for live cameras; a file is timed the same on every run.
    """
    if args.dt is not None:
        return args.dt, "--dt"
    if args.fps is not None:
        return 1.0 / args.fps, "--fps"
    if source.live:
        return -1.0, "clock"
    if source.fps:
        return 1.0 / source.fps, "source"
    return 1.0 / FALLBACK_FPS, "assumed"


def _lock(molvane: Any, profile: str, frame: np.ndarray, boxes: list[Box]) -> Any:
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


def _boxes_in_frame(boxes: list[Box], width: int, height: int) -> list[Box]:
    """Boxes that cross the frame edge are cut to the frame, as the trackers' lock() does."""
    inside = []
    for box in boxes:
        text = ",".join(map(str, box))
        clipped = clip_box(box, width, height)
        if clipped is None:
            raise ToolError(f"box {text} lies outside the {width}x{height} frame")
        if clipped != tuple(box):
            say(
                "note",
                f"box {text} crosses the edge of the {width}x{height} frame; "
                f"tracking its part inside, {','.join(map(str, clipped))}",
            )
        inside.append(clipped)
    return inside


class _Stopped(KeyboardInterrupt):
    """Raised by the signal handler, so that SIGTERM and SIGHUP end a run as Ctrl-C does."""

    def __init__(self, name: str) -> None:
        super().__init__(name)
        self.name = name


def exit_status(signal_name: str) -> int:
    """128 + the signal's number, as shells report a command a signal ended."""
    return 128 + int(getattr(signal, signal_name, signal.SIGINT))


class StopSignals:
    """Ctrl-C, SIGTERM and SIGHUP end a run. While a frame's rows are being written the stop
    waits until they are all on disk; once the run is finishing (closing files, writing the
    summary, printing it) stop signals are ignored, so that no traceback or half-written
    summary can result. Signals the caller ignores (nohup) stay ignored."""

    def __init__(self) -> None:
        self.finishing = False
        self._holding = False
        self.pending: str | None = None
        self._previous: dict[int, Any] = {}
        if threading.current_thread() is not threading.main_thread():
            return
        for name in STOP_SIGNALS:
            number = getattr(signal, name, None)
            if number is not None and signal.getsignal(number) is not signal.SIG_IGN:
                self._previous[number] = signal.signal(number, self._stop)

    def _stop(self, signum: int, _frame: Any) -> None:
        if self.finishing or self.pending is not None:
            return
        self.pending = signal.Signals(signum).name
        if not self._holding:
            raise _Stopped(self.pending)

    @contextmanager
    def held(self) -> Iterator[None]:
        """A stop that arrives inside waits for the end of the block."""
        self._holding = True
        try:
            yield
        finally:
            self._holding = False
        if self.pending is not None and not self.finishing:
            raise _Stopped(self.pending)

    def restore(self) -> None:
        for number, handler in self._previous.items():
            signal.signal(number, handler)
        self._previous.clear()


class Run:
    """What one run has done so far; writes summary.json at the start and at the end."""

    def __init__(self, args: argparse.Namespace, out: OutputFolder) -> None:
        self.args, self.out = args, out
        self.stats, self.history = RunStats(), TrackHistory()
        self.input = printable(args.input) if args.input is not None else "demo clip"
        self.boxes: list[Box] = []
        self.dt: float | None = None
        self.dt_from: str | None = None
        self.first_frame: np.ndarray | None = None  # downscaled, for summary.png
        self.frame_size: tuple[int, int] = (0, 0)
        self.short_input: tuple[int, int] | None = None  # (declared, read) frames
        self.interrupted_by: str | None = None
        self.source: FrameSource | None = None
        self.tracks: TrackFiles | None = None
        self.video: VideoOut | None = None
        self.bar: Any = None
        self.started = time.perf_counter()

    def summary(self, completed: bool, error: BaseException | None = None) -> dict[str, Any]:
        summary: dict[str, Any] = {"completed": completed}
        if error is not None:
            summary["error"] = _error_text(error)
        summary.update(self.stats.summary())
        summary.update(
            {
                "input": self.input,
                "profile": self.args.profile,
                "seed_frame": self.args.start_frame,
                "boxes": [list(b) for b in self.boxes],
                "dt": self.dt if self.dt is not None and self.dt > 0 else None,
                "dt_from": self.dt_from,
                "interrupted": self.interrupted_by is not None,
            }
        )
        if self.interrupted_by is not None:
            summary["interrupted_by"] = self.interrupted_by
        if self.short_input is not None:
            summary["frames_declared"], summary["frames_read"] = self.short_input
        summary.update(
            {
                "wall_seconds": time.perf_counter() - self.started,
                "version": package_version(),
                "outputs": self.out.written(),
            }
        )
        return summary

    def finish(self, error: BaseException | None) -> dict[str, Any]:
        """Closes everything and writes the final summary. A failure here (a video that came
        out broken, say) is raised only when the run itself went well; otherwise the run's
        own error is the one to report."""
        failures: list[BaseException] = []

        def attempt(step, *args) -> None:
            try:
                step(*args)
            except Exception as exc:  # noqa: BLE001 - every step gets its chance to run
                failures.append(exc)

        for resource in (self.bar, self.video, self.tracks, self.source):
            if resource is not None:
                attempt(resource.close)
        if not self.args.no_plot and self.first_frame is not None and self.stats.updates:
            attempt(self._plot, error or (failures[0] if failures else None))
        first = error or (failures[0] if failures else None)
        summary = self.summary(completed=first is None and self.interrupted_by is None, error=first)
        attempt(self.out.release_reserve)
        attempt(self.out.write_summary, summary)
        if error is None and failures:
            raise failures[0]
        return summary

    def _plot(self, error: BaseException | None) -> None:
        path = self.out.path(PLOT)
        if self.first_frame is None:
            return
        title = (
            f"{Path(self.input).name if self.args.input else self.input}: "
            f"{self.stats.updates} frames, {len(self.boxes)} target(s)"
        )
        if self.interrupted_by is not None:
            title += f", interrupted by {self.interrupted_by}"
        if error is not None:
            text = _error_text(error)
            title += "\nfailed: " + (text if len(text) <= 90 else text[:89] + "\u2026")
        try:
            self.out.add(PLOT)
            write_summary_png(
                path,
                self.first_frame,
                self.frame_size,
                self.history,
                self.boxes,
                title=title,
                alert=error is not None or self.interrupted_by is not None,
            )
        except OSError as exc:
            # A partial picture is of no use, and on a full disk its room lets the summary be written.
            path.unlink(missing_ok=True)
            self.out.drop(PLOT)
            raise ToolError(f"cannot write {printable(path)}: {exc.strerror or exc}") from exc


def _error_text(error: BaseException) -> str:
    text = str(error) if isinstance(error, ToolError) else f"{type(error).__name__}: {error}"
    return printable(text)


def _check_paths(args: argparse.Namespace) -> None:
    """Refused before anything is written: an output folder OpenCV cannot take, and inputs
    inside the output folder (the folder would be cleared of them, or they of it)."""
    require_utf8("output folder", args.out)
    out = os.path.realpath(args.out)
    for what, path in (("input", args.input), ("box file", args.bboxes)):
        if path is None or not os.path.exists(path):
            continue
        real = os.path.realpath(path)
        if real == out or real.startswith(os.path.join(out, "")):
            where = "is" if real == out else "lies inside"
            raise ToolError(
                f"the {what} {printable(path)} {where} the output folder {printable(args.out)}; choose another --out"
            )


def run(args: argparse.Namespace, stop: StopSignals) -> dict[str, Any]:
    _check_paths(args)
    out = OutputFolder(args.out, overwrite=args.overwrite)
    try:
        state = Run(args, out)
        # First: whatever happens from here on, summary.json says how the run went.
        out.write_summary(state.summary(completed=False))
        error: BaseException | None = None
        try:
            out.reserve()
            out.remove_earlier_outputs()
            _track(args, state, stop)
        except KeyboardInterrupt as exc:
            # Ctrl-C is how a camera run ends: keep what was tracked so far.
            state.interrupted_by = exc.name if isinstance(exc, _Stopped) else "SIGINT"
        except BaseException as exc:
            error = exc
            raise
        finally:
            stop.finishing = True
            summary = state.finish(error)
    finally:
        out.close()
    return summary


def _where(source: FrameSource, index: int) -> str:
    return f"image {source.label(index)}" if isinstance(source, ImageFolderSource) else f"frame {index}"


def _track(args: argparse.Namespace, state: Run, stop: StopSignals) -> None:
    molvane = _import_molvane()
    source = state.source = open_source(args.input, args.max_pixels)
    state.input = source.name
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

    boxes = list(args.bbox) + (read_boxes(args.bboxes) if args.bboxes is not None else [])
    boxes = boxes or source.suggested_boxes(index) or _select_boxes(frame)
    state.boxes = boxes = _boxes_in_frame(boxes, width, height)
    tracker = _lock(molvane, args.profile, frame, boxes)
    state.first_frame, state.frame_size = background(frame), (width, height)
    single = len(boxes) == 1
    dt, state.dt_from = frame_interval(args, source)
    state.dt = dt
    if state.dt_from == "assumed":
        say("warning", f"{source.name} states no frame rate; timing it at {FALLBACK_FPS:.0f} fps (give --fps or --dt)")

    tracks = state.tracks = TrackFiles(state.out)
    video = None
    if not args.no_video:
        name, codec = VIDEO_FORMATS[args.video_format]
        video = state.video = VideoOut(
            state.out, name, 1.0 / dt if dt > 0 else source.fps or FALLBACK_FPS, frame, codec
        )
    overlay = Overlay(args.overlay)
    remaining = None if source.total is None else max(source.total - index - 1, 0)
    if args.max_frames is not None:
        remaining = args.max_frames if remaining is None else min(remaining, args.max_frames)
    bar = state.bar = _progress(remaining, not args.no_progress)

    stats, history = state.stats, state.history
    ended = False
    while args.max_frames is None or stats.updates < args.max_frames:
        frame = source.read()
        if frame is None:
            ended = True
            break
        index += 1
        frame = np.ascontiguousarray(frame, dtype=np.uint8)
        if frame.shape[:2] != (height, width):
            raise ToolError(
                f"{_where(source, index)} is {frame.shape[1]}x{frame.shape[0]}, the first was {width}x{height}"
            )
        t0 = time.perf_counter()
        results = tracker.update(frame, dt=dt)
        ms = (time.perf_counter() - t0) * 1000.0
        if single:
            results = [results]
        records = [result_record(r, index, ms, source.label(index)) for r in results]
        # A stop waits for the frame to be written whole, to all three files and the video.
        with stop.held():
            # Written first: the summary counts only frames whose rows are on disk.
            tracks.write(records)
            stats.add_update(ms)
            for record in records:
                stats.add(record)
                history.add(record)
            if video is not None:
                video.write(overlay.draw(frame, results))
        if bar is not None:
            bar.update(1)
    if bar is not None:
        state.bar = None
        bar.close()
    if ended and source.total is not None and source.frames_read < source.total:
        state.short_input = (source.total, source.frames_read)
        say("warning", f"{source.name} ended after {source.frames_read} of the {source.total} frames its header states")


def _quiet_stdout() -> None:
    """After a broken pipe: send what is still buffered nowhere, so exiting stays silent."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError, AttributeError):
        pass


def _tolerant_streams() -> None:
    """Names the terminal's encoding cannot show are printed with escapes, not a traceback."""
    for stream in (sys.stdout, sys.stderr):
        if getattr(stream, "errors", None) == "strict":
            try:
                stream.reconfigure(errors="backslashreplace")  # type: ignore[union-attr]
            except (AttributeError, ValueError, OSError):
                pass


def main(argv: Sequence[str] | None = None) -> int:
    command_line = argv is None
    _tolerant_streams()
    stop = StopSignals()
    try:
        args = build_parser().parse_args(_attach_negative_boxes(sys.argv[1:] if argv is None else argv))
        try:
            summary = run(args, stop)
        except ToolError as exc:
            say("error", str(exc))
            return 2
        except OSError as exc:
            where = f" {exc.filename}" if exc.filename else ""
            say("error", f"cannot use{where}: {exc.strerror or exc}")
            return 2
        stop.finishing = True
        try:
            print(format_summary(summary))
            sys.stdout.flush()
        except OSError:
            # The reader is gone (| head, a closed terminal after SIGHUP); the outputs are complete.
            _quiet_stdout()
        return exit_status(summary["interrupted_by"]) if summary.get("interrupted") else 0
    except _Stopped as exc:
        # Stopped before the output folder was taken: nothing was written.
        return exit_status(exc.name)
    except BrokenPipeError:
        # --help or --version into a reader that stopped early.
        _quiet_stdout()
        return 0
    finally:
        # The command keeps ignoring stop signals until the process has exited: a Ctrl-C
        # now would only turn a finished run into a traceback.
        stop.finishing = True
        if not command_line:
            stop.restore()


if __name__ == "__main__":
    sys.exit(main())
