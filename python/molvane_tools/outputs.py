"""The files molvane-track writes into its output folder.

The tool writes only into a folder it owns: a new or empty one, or one holding its
manifest (.molvane-track.json) from an earlier run. The manifest names every file the tool
wrote there with the size and modification time it left it with; only those files are ever
replaced or removed, so a file of the user's that happens to carry an output name is never
touched. A lock on the folder keeps a second run out while one is writing.

Every failure to write (a full disk, a folder that is a file, no permission) becomes a
ToolError that names the file, so the command can report it in one line.
"""

from __future__ import annotations

import csv
import errno
import json
import os
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import Any

import numpy as np

from .report import CSV_COLUMNS, csv_row, mot_row
from .sources import ToolError, printable, require_cv2

try:
    import fcntl
except ImportError:  # Windows: no folder lock
    fcntl = None  # type: ignore[assignment]
try:
    import resource
except ImportError:
    resource = None  # type: ignore[assignment]

# Video container -> (file name, codec). mp4v keeps the file near the size of the input;
# MJPG is for players that only take AVI.
VIDEO_FORMATS = {"mp4": ("annotated.mp4", "mp4v"), "avi": ("annotated.avi", "MJPG")}
SUMMARY = "summary.json"
TRACK_FILES = ("tracks.jsonl", "tracks.csv", "mot.txt")
PLOT = "summary.png"
# Every output a run may leave; a run removes those an earlier run left, so that nothing in
# the folder disagrees with the summary.
OUTPUT_NAMES = (SUMMARY,) + TRACK_FILES + (PLOT,) + tuple(name for name, _ in VIDEO_FORMATS.values())
MANIFEST = ".molvane-track.json"
# Room held on the disk during the run and given back just before the last summary is
# written, so that a run that filled the disk can still say so.
RESERVE = ".molvane-track.reserve"
RESERVE_BYTES = 1 << 16
# Every name the tool may create, replace or remove in its folder.
OWN_NAMES = OUTPUT_NAMES + (MANIFEST, RESERVE, f".{SUMMARY}.part", f"{MANIFEST}.part")
# Below this much free space a file that stopped short was most likely stopped by the disk.
NEARLY_FULL = 1 << 20
# The largest file FAT32 (many memory cards and USB sticks) can hold.
FAT32_MAX = (1 << 32) - 1


def _reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


@contextmanager
def writing(path: Path) -> Iterator[None]:
    try:
        yield
    except OSError as exc:
        raise ToolError(f"cannot write {printable(path)}: {_reason(exc)}") from exc


def _identity(path: Path) -> list[int] | None:
    try:
        st = path.stat()
    except OSError:
        return None
    return [st.st_size, st.st_mtime_ns]


def _replace_atomically(path: Path, text: str) -> None:
    """Writes text to path in one step: a reader sees the old file or the new one, never
    half of one; a failure leaves the old file and no partial one."""
    part = path.with_name(f".{path.name.lstrip('.')}.part")
    with writing(path):
        try:
            with open(part, "w", encoding="utf-8") as fh:
                fh.write(text)
            os.replace(part, path)
        finally:
            part.unlink(missing_ok=True)


def why_short(path: Path, size: int) -> str | None:
    """The likeliest reason why a file the tool wrote ended at size bytes, if one is seen."""
    if resource is not None:
        limit = resource.getrlimit(resource.RLIMIT_FSIZE)[0]
        if limit != resource.RLIM_INFINITY and size + RESERVE_BYTES >= limit:
            return f"file too large: the file-size limit (ulimit -f) is {limit} bytes"
    if size >= FAT32_MAX - RESERVE_BYTES:
        return "file too large: the file system holds no file above 4 GiB (FAT32)"
    try:
        st = os.statvfs(path.parent)
        if st.f_bavail * st.f_frsize < NEARLY_FULL:
            return os.strerror(errno.ENOSPC)
    except (OSError, AttributeError):
        pass
    if not os.access(path.parent, os.W_OK):
        return os.strerror(errno.EACCES)
    return None


class OutputFolder:
    """The --out folder, claimed for one run: created if needed, locked, refused when it
    holds files the tool did not write (unless overwrite), cleared of an earlier run's
    outputs only once the new summary is on disk."""

    def __init__(self, folder: Path, overwrite: bool = False) -> None:
        self.folder = folder
        self.produced: list[str] = [SUMMARY]
        self._lock: int | None = None
        self._reserved = False
        shown = printable(folder)
        if folder.exists() and not folder.is_dir():
            raise ToolError(f"output folder {shown} is a file")
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise ToolError(f"cannot create output folder {shown}: {_reason(exc)}") from exc
        self._take_lock()
        try:
            self._check_ownership(overwrite)
            # Claimed before anything is written: a run that is killed leaves a manifest that
            # still names every file it may have made.
            self._write_manifest({name: None for name in OWN_NAMES if name != MANIFEST})
        except BaseException:
            self.unlock()
            raise

    def _take_lock(self) -> None:
        if fcntl is None:
            return
        try:
            self._lock = os.open(self.folder, os.O_RDONLY)
            fcntl.flock(self._lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as exc:
            self.unlock()
            if exc.errno in (errno.EWOULDBLOCK, errno.EAGAIN, errno.EACCES):
                raise ToolError(
                    f"another molvane-track run is writing into {printable(self.folder)}; "
                    "wait for it or choose another --out"
                ) from None
            # A file system without locks (some network mounts): go on unlocked.

    def unlock(self) -> None:
        if self._lock is not None:
            os.close(self._lock)
            self._lock = None

    def _check_ownership(self, overwrite: bool) -> None:
        shown = printable(self.folder)
        try:
            present = set(os.listdir(self.folder))
            text = (self.folder / MANIFEST).read_text(encoding="utf-8") if MANIFEST in present else None
        except (OSError, UnicodeDecodeError) as exc:
            raise ToolError(f"cannot read output folder {shown}: {getattr(exc, 'strerror', None) or exc}") from exc
        files: dict[str, Any] | None = None
        if text is not None:
            try:
                manifest = json.loads(text)
                if manifest.get("written_by") == "molvane-track" and isinstance(manifest.get("files"), dict):
                    files = manifest["files"]
            except (ValueError, AttributeError):
                pass
            if files is None:
                raise ToolError(
                    f"{printable(self.folder / MANIFEST)} was not written by molvane-track; choose another --out"
                )
        if files is None and present and not overwrite:
            raise ToolError(
                f"output folder {shown} holds files molvane-track did not write; choose a new or "
                "empty folder, or give --overwrite to write beside them"
            )
        files = files or {}
        # A listed file counts as the tool's only while it is as the tool left it (a file
        # listed without size and time was being written when its run ended).
        for name in sorted(present & set(OWN_NAMES) - {MANIFEST}):
            if name not in files or (files[name] is not None and files[name] != _identity(self.folder / name)):
                raise ToolError(
                    f"{printable(self.folder / name)} was not written by molvane-track (or was changed "
                    "since); move it away or choose another --out"
                )

    def _write_manifest(self, files: dict[str, Any]) -> None:
        text = json.dumps({"written_by": "molvane-track", "files": files}) + "\n"
        _replace_atomically(self.path(MANIFEST), text)

    def reserve(self) -> None:
        path = self.path(RESERVE)
        try:
            with open(path, "wb") as fh:
                self._reserved = True
                fh.write(bytes(RESERVE_BYTES))
        except OSError as exc:
            path.unlink(missing_ok=True)
            self._reserved = False
            raise ToolError(f"cannot start writing into {printable(self.folder)}: {_reason(exc)}") from exc

    def release_reserve(self) -> None:
        if self._reserved:
            self.path(RESERVE).unlink(missing_ok=True)
            self._reserved = False

    def remove_earlier_outputs(self) -> None:
        """Removes what an earlier run left (all of it checked to be the tool's own)."""
        for name in OUTPUT_NAMES:
            if name != SUMMARY:
                with writing(self.path(name)):
                    self.path(name).unlink(missing_ok=True)

    def path(self, name: str) -> Path:
        return self.folder / name

    def add(self, name: str) -> None:
        """Records name as an output of this run."""
        if name not in self.produced:
            self.produced.append(name)

    def drop(self, name: str) -> None:
        if name in self.produced:
            self.produced.remove(name)

    def written(self) -> list[str]:
        """Paths of this run's outputs that exist now, in a fixed order."""
        return [printable(self.path(n)) for n in OUTPUT_NAMES if n in self.produced and self.path(n).is_file()]

    def write_summary(self, summary: dict[str, Any]) -> None:
        """Replaces summary.json in one step: a reader sees the old or the new one, never half."""
        _replace_atomically(self.path(SUMMARY), json.dumps(summary, indent=2) + "\n")

    def close(self) -> None:
        """Records what the run left, with sizes and times, and unlocks the folder."""
        try:
            names = [n for n in OWN_NAMES if n != MANIFEST and self.path(n).exists()]
            self._write_manifest({n: _identity(self.path(n)) for n in names})
        except ToolError:
            pass  # the manifest of the start still claims these files by name
        finally:
            self.unlock()


class TrackFiles:
    """tracks.jsonl, tracks.csv and mot.txt, written together.

    All three are flushed after every frame: a crash or a kill loses no finished frame.
    """

    def __init__(self, out: OutputFolder) -> None:
        self._files: list[Any] = []
        self._paths = [out.path(name) for name in TRACK_FILES]
        try:
            for name, path in zip(TRACK_FILES, self._paths):
                with writing(path):
                    # "x": a file that appeared since the folder was checked is not replaced.
                    self._files.append(open(path, "x", encoding="utf-8", newline=""))
                out.add(name)
        except ToolError:
            self.close()
            raise
        self._csv = csv.writer(self._files[1], lineterminator="\n")
        with writing(self._paths[1]):
            self._csv.writerow(CSV_COLUMNS)

    def write(self, records: list[dict[str, Any]]) -> None:
        """The records of one frame."""
        jsonl, table, mot = self._files
        lines = [mot_row(r) for r in records]
        with writing(self._paths[0]):
            jsonl.write("".join(json.dumps(r) + "\n" for r in records))
            jsonl.flush()
        with writing(self._paths[1]):
            self._csv.writerows(csv_row(r) for r in records)
            table.flush()
        with writing(self._paths[2]):
            mot.write("".join(line + "\n" for line in lines if line is not None))
            mot.flush()

    def close(self) -> None:
        files, self._files = self._files, []
        failure = None
        for path, fh in zip(self._paths, files):
            try:
                with writing(path):
                    fh.close()
            except ToolError as exc:
                failure = failure or exc
        if failure is not None:
            raise failure


class VideoOut:
    """The annotated video. OpenCV's writer reports no write errors, so the file is opened
    again once it is closed: it must hold every frame written, up to the last."""

    def __init__(self, out: OutputFolder, name: str, fps: float, frame: np.ndarray, codec: str) -> None:
        self._cv2 = require_cv2()
        self._out, self._name, self.path = out, name, out.path(name)
        self.frames = 0
        h, w = frame.shape[:2]
        self._writer = self._cv2.VideoWriter(str(self.path), self._cv2.VideoWriter_fourcc(*codec), fps, (w, h))
        if not self._writer.isOpened():
            self.path.unlink(missing_ok=True)
            reason = why_short(self.path, 0) or (
                f"this OpenCV has no {codec} encoder for {w}x{h} frames; try the other --video-format, or --no-video"
            )
            raise ToolError(f"cannot write video {printable(self.path)}: {reason}")
        out.add(name)

    def write(self, picture: np.ndarray) -> None:
        if picture.ndim == 2:
            picture = self._cv2.cvtColor(picture, self._cv2.COLOR_GRAY2BGR)
        elif picture.shape[2] == 4:
            picture = self._cv2.cvtColor(picture, self._cv2.COLOR_BGRA2BGR)
        self._writer.write(picture)
        self.frames += 1

    def close(self) -> None:
        self._writer.release()
        if self.frames == 0:
            # Nothing was tracked: an empty video is no output.
            self.path.unlink(missing_ok=True)
            self._out.drop(self._name)
            return
        held = self._frames_held()
        if held < self.frames:
            size = self.path.stat().st_size if self.path.exists() else 0
            reason = why_short(self.path, size) or "the encoder stopped writing it"
            self.path.unlink(missing_ok=True)
            self._out.drop(self._name)
            got = "cannot be read" if held < 0 else f"holds {held} of the {self.frames} frames written"
            raise ToolError(f"video {printable(self.path)} {got} ({reason}); it was removed")

    def _frames_held(self) -> int:
        """Frames the closed file holds and can deliver, up to its last; -1 if unreadable."""
        cv2 = self._cv2
        cap = cv2.VideoCapture(str(self.path))
        try:
            if not cap.isOpened():
                return -1
            count = int(cap.get(cv2.CAP_PROP_FRAME_COUNT) or 0)
            if count >= 1:
                cap.set(cv2.CAP_PROP_POS_FRAMES, count - 1)
                ok, _ = cap.read()
                if not ok:
                    return 0
            return count
        finally:
            cap.release()
