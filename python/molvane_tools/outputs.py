"""The files molvane-track writes into its output folder.

Every failure to write (a full disk, a folder that is a file, no permission) becomes a
ToolError that names the file, so the command can report it in one line.
"""

from __future__ import annotations

import csv
import json
import os
from contextlib import contextmanager
from pathlib import Path
from typing import Any, Dict, Iterator, List

import numpy as np

from .report import CSV_COLUMNS, csv_row, mot_row
from .sources import ToolError, require_cv2

# Video container -> (file name, codec). mp4v keeps the file near the size of the input;
# MJPG is for players that only take AVI.
VIDEO_FORMATS = {"mp4": ("annotated.mp4", "mp4v"), "avi": ("annotated.avi", "MJPG")}
SUMMARY = "summary.json"
TRACK_FILES = ("tracks.jsonl", "tracks.csv", "mot.txt")
PLOT = "summary.png"
# Every name a run may write; a run removes those an earlier run left, so that nothing in the
# folder disagrees with the summary.
OUTPUT_NAMES = (SUMMARY,) + TRACK_FILES + (PLOT,) + tuple(name for name, _ in VIDEO_FORMATS.values())
# Room held on the disk during the run and given back just before the last summary is
# written, so that a run that filled the disk can still say so.
RESERVE = ".molvane-track.reserve"
RESERVE_BYTES = 1 << 16


def _reason(exc: OSError) -> str:
    return exc.strerror or str(exc)


@contextmanager
def writing(path: Path) -> Iterator[None]:
    try:
        yield
    except OSError as exc:
        raise ToolError(f"cannot write {path}: {_reason(exc)}") from exc


class OutputFolder:
    """The --out folder: created if needed and cleared of an earlier run's outputs."""

    def __init__(self, folder: Path) -> None:
        self.folder = folder
        if folder.exists() and not folder.is_dir():
            raise ToolError(f"output folder {folder} is a file")
        try:
            folder.mkdir(parents=True, exist_ok=True)
        except OSError as exc:
            raise ToolError(f"cannot create output folder {folder}: {_reason(exc)}") from exc
        for name in OUTPUT_NAMES[1:]:
            with writing(folder / name):
                (folder / name).unlink(missing_ok=True)
        with writing(folder / RESERVE):
            (folder / RESERVE).write_bytes(bytes(RESERVE_BYTES))

    def release_reserve(self) -> None:
        (self.folder / RESERVE).unlink(missing_ok=True)

    def path(self, name: str) -> Path:
        return self.folder / name

    def written(self) -> List[str]:
        """Paths of the outputs that exist now, in a fixed order."""
        return [str(self.path(n)) for n in OUTPUT_NAMES if self.path(n).is_file()]

    def write_summary(self, summary: Dict[str, Any]) -> None:
        """Replaces summary.json in one step: a reader sees the old or the new one, never half."""
        path = self.path(SUMMARY)
        part = path.with_name(f".{SUMMARY}.part")
        with writing(path):
            try:
                with open(part, "w", encoding="utf-8") as fh:
                    json.dump(summary, fh, indent=2)
                    fh.write("\n")
                os.replace(part, path)
            finally:
                part.unlink(missing_ok=True)


class TrackFiles:
    """tracks.jsonl, tracks.csv and mot.txt, written together.

    All three are flushed after every frame: a crash or a kill loses no finished frame.
    """

    def __init__(self, out: OutputFolder) -> None:
        self._files: List[Any] = []
        self._paths = [out.path(name) for name in TRACK_FILES]
        try:
            for path in self._paths:
                with writing(path):
                    self._files.append(open(path, "w", encoding="utf-8", newline=""))
        except ToolError:
            self.close()
            raise
        self._csv = csv.writer(self._files[1], lineterminator="\n")
        with writing(self._paths[1]):
            self._csv.writerow(CSV_COLUMNS)

    def write(self, records: List[Dict[str, Any]]) -> None:
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
    def __init__(self, path: Path, fps: float, frame: np.ndarray, codec: str) -> None:
        self._cv2 = require_cv2()
        h, w = frame.shape[:2]
        self._writer = self._cv2.VideoWriter(str(path), self._cv2.VideoWriter_fourcc(*codec), fps, (w, h))
        if not self._writer.isOpened():
            raise ToolError(f"cannot write video {path} (no {codec} encoder in this OpenCV, "
                            "or the folder is not writable)")

    def write(self, picture: np.ndarray) -> None:
        if picture.ndim == 2:
            picture = self._cv2.cvtColor(picture, self._cv2.COLOR_GRAY2BGR)
        elif picture.shape[2] == 4:
            picture = self._cv2.cvtColor(picture, self._cv2.COLOR_BGRA2BGR)
        self._writer.write(picture)

    def close(self) -> None:
        self._writer.release()
