"""Hostile but ordinary use: the command never destroys a user's files and says when an
output came out broken; odd names, huge images and signals end in one line, not a crash;
the module survives fork and pickle."""

import errno
import json
import os
import pickle
import resource
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

cv2 = pytest.importorskip("cv2")
molvane = pytest.importorskip("molvane")

from molvane_tools import DemoClip, outputs, track  # noqa: E402
from molvane_tools.sources import image_size  # noqa: E402
from molvane_tools.track import main  # noqa: E402

ROOT = Path(__file__).resolve().parents[1]
BOX = "60,200,16,6"  # the drone of the default demo clip, in its first frame


@pytest.fixture(scope="module")
def frames(tmp_path_factory):
    """Six 160 x 120 frames of the demo clip as PNG files, and their first drone box."""
    clip = DemoClip(width=160, height=120, frames=6, occluder=False)
    folder = tmp_path_factory.mktemp("frames")
    for i in range(6):
        cv2.imwrite(str(folder / f"f{i}.png"), clip.frame(i))
    return folder, ",".join(map(str, clip.seed_boxes()[0]))


def tool(argv, capsys):
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def one_line_error(code, err, fragment):
    assert code == 2
    lines = err.strip().splitlines()
    assert len(lines) == 1 and lines[0].startswith("molvane-track: error: ") and fragment in lines[0], err


def snapshot(folder: Path):
    return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}


def tool_env(**extra):
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python")] + sys.path), **extra)


# --- outputs: only the tool's own files are ever replaced or removed --------------------------


@pytest.mark.parametrize(
    "case", ["foreign folder", "foreign output name", "changed output", "input folder", "input inside"]
)
def test_folders_with_files_the_tool_did_not_write_are_refused_untouched(tmp_path, frames, capsys, case):
    images, box = frames
    out, source, extra, fragment = tmp_path / "out", images, [], "did not write"
    out.mkdir()
    if case == "foreign folder":
        (out / "notes.txt").write_text("mine")
    elif case == "foreign output name":
        (out / "summary.png").write_bytes(b"my picture")
        extra, fragment = ["--overwrite"], "summary.png was not written by molvane-track"
    elif case == "changed output":
        assert tool([images, "--bbox", box, "--out", out, "--no-video", "--no-plot"], capsys)[0] == 0
        (out / "tracks.csv").write_text("my edited table\n")
        fragment = "tracks.csv was not written by molvane-track (or was changed since)"
    elif case == "input folder":
        out, fragment = images, "is the output folder"
    else:
        source = out / "summary.png"  # an input named like an output, inside --out
        cv2.imwrite(str(source), cv2.imread(str(images / "f0.png")))
        fragment = "lies inside the output folder"
        source = out / "summary.png"
    before = snapshot(out)
    code, _, err = tool([source, "--bbox", box, "--out", out, "--no-video", "--no-plot"] + extra, capsys)
    one_line_error(code, err, fragment)
    assert snapshot(out) == before


def test_overwrite_writes_beside_other_files_and_reruns_replace_only_the_tools_own(tmp_path, frames, capsys):
    images, box = frames
    out = tmp_path / "out"
    out.mkdir()
    (out / "notes.txt").write_text("mine")
    assert tool([images, "--bbox", box, "--out", out, "--overwrite", "--no-plot"], capsys)[0] == 0
    assert (out / "annotated.mp4").exists()
    # A rerun into its own folder needs no --overwrite; the video of the first run would
    # disagree with the new tracks, so it goes.
    code, _, err = tool([images, "--bbox", box, "--out", out, "--no-video", "--no-plot", "--max-frames", 2], capsys)
    assert code == 0, err
    assert not (out / "annotated.mp4").exists() and (out / "notes.txt").read_text() == "mine"
    assert len((out / "tracks.jsonl").read_text().splitlines()) == 2


def test_a_second_run_into_a_busy_folder_is_refused(tmp_path, frames, capsys):
    images, box = frames
    first = outputs.OutputFolder(tmp_path / "out")  # what a running run holds
    try:
        code, _, err = tool([images, "--bbox", box, "--out", tmp_path / "out", "--no-video"], capsys)
        one_line_error(code, err, "another molvane-track run is writing into")
    finally:
        first.close()
    assert tool([images, "--bbox", box, "--out", tmp_path / "out", "--no-video", "--no-plot"], capsys)[0] == 0


def test_no_room_to_start_fails_before_anything_of_the_last_run_is_removed(tmp_path, frames, capsys, monkeypatch):
    images, box = frames
    out = tmp_path / "out"
    assert tool([images, "--bbox", box, "--out", out, "--no-video", "--no-plot"], capsys)[0] == 0
    tracks = (out / "tracks.jsonl").read_bytes()

    class Full:
        def __init__(self, fh):
            self._fh = fh

        def __enter__(self):
            return self

        def __exit__(self, *exc):
            self._fh.close()

        def write(self, data):
            self._fh.write(data[:1000])
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    real_open = open

    def opener(path, *args, **kwargs):
        fh = real_open(path, *args, **kwargs)
        return Full(fh) if Path(path).name == outputs.RESERVE else fh

    monkeypatch.setattr(outputs, "open", opener, raising=False)
    code, _, err = tool([images, "--bbox", box, "--out", out, "--no-video", "--no-plot"], capsys)
    one_line_error(code, err, f"cannot start writing into {out}: No space left on device")
    assert (out / "tracks.jsonl").read_bytes() == tracks and not (out / outputs.RESERVE).exists()
    summary = json.loads((out / "summary.json").read_text())
    assert summary["completed"] is False and "No space left" in summary["error"]
    assert [Path(p).name for p in summary["outputs"]] == ["summary.json"]


@pytest.mark.parametrize("video_format", ["mp4", "avi"])
def test_a_video_cut_short_by_the_file_size_limit_fails_the_run(tmp_path, video_format):
    limit = 100 * 1024  # the tracks fit, the video does not

    def limited():
        resource.setrlimit(resource.RLIMIT_FSIZE, (limit, limit))

    proc = subprocess.run(
        [
            sys.executable,
            "-m",
            "molvane_tools",
            "--out",
            str(tmp_path),
            "--bbox",
            BOX,
            "--max-frames",
            "60",
            "--no-plot",
            "--video-format",
            video_format,
        ],
        capture_output=True,
        text=True,
        env=tool_env(),
        timeout=120,
        preexec_fn=limited,
    )
    assert proc.returncode == 2 and proc.stdout == ""
    assert "file too large" in proc.stderr and proc.stderr.count("\n") == 1, proc.stderr
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["completed"] is False and "file too large" in summary["error"]
    assert not (tmp_path / f"annotated.{video_format}").exists()
    assert not any("annotated" in p for p in summary["outputs"])
    assert summary["frames"] == 60 and len((tmp_path / "tracks.jsonl").read_text().splitlines()) == 60


# --- hostile inputs -----------------------------------------------------------------------


def test_names_that_are_not_utf8_are_refused_for_opencv_and_read_by_python_otherwise(tmp_path, frames):
    images, box = frames
    odd = os.fsdecode(b"clip\xff")
    video = tmp_path / f"{odd}.avi"
    video.write_bytes(b"whatever")
    for argv, fragment in [([str(video)], "video"), (["--out", str(tmp_path / odd)], "output folder")]:
        proc = subprocess.run(
            [sys.executable, "-m", "molvane_tools", "--bbox", box] + argv,
            capture_output=True,
            text=True,
            env=tool_env(),
            timeout=60,
            cwd=tmp_path,
        )
        assert proc.returncode == 2 and "not valid UTF-8" in proc.stderr and fragment in proc.stderr, proc.stderr
    # Images with such names are read by Python: tracked, named printably, with a strict stdout.
    folder = tmp_path / odd
    folder.mkdir()
    for i in range(4):
        (folder / os.fsdecode(b"f%d\xe9.png" % i)).write_bytes((images / f"f{i}.png").read_bytes())
    out = tmp_path / "tracked"
    proc = subprocess.run(
        [sys.executable, "-m", "molvane_tools", str(folder), "--bbox", box, "--out", str(out), "--no-plot"],
        capture_output=True,
        env=tool_env(PYTHONIOENCODING="ascii:strict"),
        timeout=60,
    )
    assert proc.returncode == 0, proc.stderr
    rows = [json.loads(line) for line in (out / "tracks.jsonl").read_text("utf-8").splitlines()]
    assert [r["source"] for r in rows] == [f"f{i}\ufffd.png" for i in range(1, 4)]
    assert json.loads((out / "summary.json").read_text("utf-8"))["input"].endswith("clip\ufffd")


@pytest.mark.parametrize("suffix", [".png", ".jpg", ".bmp", ".tif", ".webp", ".pgm", ".ppm"])
def test_image_size_is_read_from_the_header(suffix):
    image = np.zeros((23, 37, 1 if suffix == ".pgm" else 3), np.uint8)
    ok, data = cv2.imencode(suffix, image)
    assert ok and image_size(data.tobytes()) == (37, 23)


def _png_header(width, height):
    import struct
    import zlib

    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    return b"\x89PNG\r\n\x1a\n" + struct.pack(">I", 13) + b"IHDR" + ihdr + struct.pack(">I", zlib.crc32(b"IHDR" + ihdr))


@pytest.mark.parametrize("case", ["bomb", "video over --max-pixels"])
def test_frames_above_the_pixel_limit_are_refused_before_decoding(tmp_path, frames, capsys, case):
    images, box = frames
    if case == "bomb":
        source = tmp_path / "bomb"
        source.mkdir()
        (source / "f0.png").write_bytes(_png_header(30000, 30000) + bytes(1000))
        argv, fragment = [], "f0.png is 30000x30000 (900 megapixels), above the limit of 100 megapixels"
    else:
        source = tmp_path / "clip.avi"
        writer = cv2.VideoWriter(str(source), cv2.VideoWriter_fourcc(*"MJPG"), 25, (160, 120))
        for i in range(3):
            writer.write(cv2.imread(str(images / f"f{i}.png")))
        writer.release()
        argv, fragment = ["--max-pixels", 10000], "160x120 (0.0192 megapixels), above the limit of 0.01"
    code, _, err = tool([source, "--bbox", box, "--out", tmp_path / "out"] + argv, capsys)
    one_line_error(code, err, fragment)


@pytest.mark.parametrize(
    "argv, boxes",
    [
        (["--bbox", "-5,-5,12,12"], [(-5, -5, 12, 12)]),
        (["--bbox", "507 157 12 14", "--bbox", "1, 2, 3, 4"], [(507, 157, 12, 14), (1, 2, 3, 4)]),
    ],
)
def test_negative_and_space_separated_boxes_are_taken(argv, boxes):
    args = track.build_parser().parse_args(track._attach_negative_boxes(argv + ["clip.avi"]))
    assert args.bbox == boxes and args.input == "clip.avi"


# --- signals --------------------------------------------------------------------------------


def test_ctrl_c_while_the_summary_prints_is_ignored(tmp_path, frames, capsys, monkeypatch):
    images, box = frames
    real = track.format_summary

    def interrupted(summary):
        os.kill(os.getpid(), signal.SIGINT)
        return real(summary)

    monkeypatch.setattr(track, "format_summary", interrupted)
    try:
        code, out, err = tool(
            [images, "--bbox", box, "--fps", 25, "--out", tmp_path, "--no-video", "--no-plot"], capsys
        )
    except KeyboardInterrupt:
        pytest.fail("Ctrl-C after the run ended a finished run with a traceback")
    assert code == 0 and "frames" in out and err == ""
    assert json.loads((tmp_path / "summary.json").read_text())["completed"] is True


# --- module lifecycle -----------------------------------------------------------------------

FORK_WHILE_BUSY = """
import os, sys, threading, time, warnings
import numpy as np, molvane
warnings.simplefilter("ignore", DeprecationWarning)   # fork() with threads running
frame = np.random.default_rng(0).integers(0, 255, (1080, 1920, 3), np.uint8)
tracker = molvane.MultiTracker()
tracker.lock(frame, [(100 + 60 * i, 100, 12, 12) for i in range(8)])
threading.Thread(target=lambda: [tracker.update(frame, dt=0.04) for _ in iter(int, 1)], daemon=True).start()
time.sleep(0.3)
for _ in range(3):
    pid = os.fork()
    if pid == 0:
        sys.exit(0)            # an ordinary exit: the module's exit hook runs in the child
    deadline = time.time() + 10
    while not os.waitpid(pid, os.WNOHANG)[0]:
        if time.time() > deadline:
            os.kill(pid, 9)
            sys.exit("a forked child hung at exit")
        time.sleep(0.02)
"""


def test_a_child_forked_while_another_thread_tracks_exits():
    proc = subprocess.run([sys.executable, "-c", FORK_WHILE_BUSY], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0, proc.stderr


def test_no_object_can_be_pickled_by_any_protocol():
    frame = np.zeros((40, 40), np.uint8)
    tracker = molvane.Tracker()
    tracker.lock(frame, (10, 10, 8, 8))
    for obj in (molvane.TrackerConfig(), tracker, molvane.MultiTracker(), tracker.update(frame, dt=0.04)):
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
            with pytest.raises(TypeError, match="cannot pickle"):
                pickle.dumps(obj, protocol=protocol)


def test_module_version_is_the_package_version():
    from importlib import metadata

    assert molvane.__version__ == metadata.version("molvane")
