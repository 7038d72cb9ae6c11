"""The molvane-track command: arguments, input and output errors, its exports, its summary
(also after failures and signals) and its video overlay."""

import csv
import errno
import json
import os
import signal
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]

cv2 = pytest.importorskip("cv2")

from molvane_tools import (  # noqa: E402
    DemoClip,  # noqa: E402
    outputs,
    sources,
    track,
)
from molvane_tools.overlay import (  # noqa: E402
    Overlay,
    compose_overlays,  # noqa: E402
    id_colour,
    label,
)
from molvane_tools.report import (  # noqa: E402
    CSV_COLUMNS,  # noqa: E402
    TRACK_RESULT_FIELDS,
    summarize,
)
from molvane_tools.sources import ToolError, natural_key, require_cv2  # noqa: E402
from molvane_tools.track import build_parser, main  # noqa: E402

FPS = 25.0


def write_clip(path: Path, clip: DemoClip) -> Path:
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), FPS, (clip.width, clip.height))
    assert writer.isOpened()
    for frame in clip:
        writer.write(frame)
    writer.release()
    return path


@pytest.fixture(scope="module")
def tiny(tmp_path_factory):
    """A 160 x 120, 20-frame clip with both targets and no cloud, as an MJPG video."""
    clip = DemoClip(width=160, height=120, frames=20, occluder=False)
    return clip, write_clip(tmp_path_factory.mktemp("clip") / "tiny.avi", clip)


def box_arg(box):
    return ",".join(map(str, box))


def run_tool(argv, capsys):
    """Runs the command in-process; returns (exit code, stdout, stderr)."""
    code = main([str(a) for a in argv])
    out, err = capsys.readouterr()
    return code, out, err


def read_jsonl(path: Path):
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


def read_summary(folder: Path):
    return json.loads((folder / "summary.json").read_text(encoding="utf-8"))


def write_folder(folder: Path, clip: DemoClip, frames: int, name="f{}.png") -> Path:
    folder.mkdir()
    for i in range(frames):
        cv2.imwrite(str(folder / name.format(i)), clip.frame(i))
    return folder


def tool_env():
    return dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python")] + sys.path))


# --- arguments -----------------------------------------------------------------------------


def test_arguments_parse_into_boxes_and_numbers():
    args = build_parser().parse_args(
        [
            "clip.avi",
            "--bbox",
            "1,2,30,40",
            "--bbox",
            " 5, 6, 7, 8",
            "--dt",
            "0.04",
            "--start-frame",
            "3",
            "--max-frames",
            "10",
            "--profile",
            "birds",
            "--out",
            "somewhere",
        ]
    )
    assert args.input == "clip.avi"
    assert args.bbox == [(1, 2, 30, 40), (5, 6, 7, 8)]
    assert (args.dt, args.start_frame, args.max_frames, args.profile) == (0.04, 3, 10, "birds")
    assert args.out == Path("somewhere")
    defaults = build_parser().parse_args([])
    assert (defaults.input, defaults.bbox, defaults.dt, defaults.start_frame, defaults.max_frames) == (
        None,
        [],
        None,
        0,
        None,
    )


@pytest.mark.parametrize(
    "argv, fragment",
    [
        (["--bbox", "1,2,3"], "four integers"),
        (["--bbox", "1,2,3.5,4"], "four integers"),
        (["--bbox", "1,2,0,4"], "positive"),
        (["--bbox", "1,2,4,-1"], "positive"),
        (["--dt", "0"], "positive number"),
        (["--dt", "-0.1"], "positive number"),
        (["--dt", "inf"], "positive number"),
        (["--dt", "fast"], "positive number"),
        (["--fps", "0"], "positive number"),
        (["--dt", "0.1", "--fps", "25"], "not allowed with"),
        (["--video-format", "mkv"], "invalid choice"),
        (["--start-frame", "-1"], ">= 0"),
        (["--max-frames", "0"], ">= 1"),
    ],
)
def test_bad_arguments_exit_with_status_2(argv, fragment, capsys):
    with pytest.raises(SystemExit) as info:
        build_parser().parse_args(argv)
    assert info.value.code == 2
    assert fragment in capsys.readouterr().err


# --- input errors: exit status 2 and one line on stderr --------------------------------------


def _assert_one_line_error(code, out, err, fragment):
    assert code == 2
    assert out == ""
    lines = err.strip().splitlines()
    assert len(lines) == 1, err
    assert lines[0].startswith("molvane-track: error: ") and fragment in lines[0], lines[0]


def test_input_errors_are_one_line_with_status_2(tmp_path, tiny, capsys):
    clip, video = tiny
    garbage = tmp_path / "garbage.avi"
    garbage.write_bytes(b"this is not a video" * 50)
    empty_dir = tmp_path / "empty"
    empty_dir.mkdir()
    inside = box_arg(clip.seed_boxes()[0])
    box_file = tmp_path / "boxes.txt"
    box_file.write_text(f"# targets\n{inside}\n\n1,2,3\n")
    cases = [
        ([tmp_path / "missing.avi", "--bbox", inside], "input not found"),
        ([garbage, "--bbox", inside], "garbage.avi"),
        ([empty_dir, "--bbox", inside], "no images in folder"),
        ([video, "--bbox", "160,100,20,30"], "outside the 160x120 frame"),
        ([video, "--bbox=-20,10,20,20"], "outside the 160x120 frame"),
        ([video, "--bbox", inside, "--bbox", "0,120,161,10"], "outside the 160x120 frame"),
        ([video, "--bbox", inside, "--start-frame", "20"], "past the end"),
        ([video, "--bboxes", box_file], "boxes.txt, line 4: box must be four integers"),
        ([video, "--bboxes", tmp_path / "none.txt"], "cannot read box file"),
    ]
    for argv, fragment in cases:
        code, out, err = run_tool(list(argv) + ["--out", tmp_path / "out"], capsys)
        _assert_one_line_error(code, out, err, fragment)
        # The failure is in the summary too, not a previous run's verdict.
        summary = read_summary(tmp_path / "out")
        assert summary["completed"] is False and summary["error"] in err


def test_unwritable_outputs_are_one_line_with_status_2(tmp_path, tiny, capsys):
    clip, video = tiny
    a_file = tmp_path / "a_file"
    a_file.write_text("")
    for out, fragment in [(a_file, "is a file"), (a_file / "sub", "Not a directory")]:
        code, stdout, err = run_tool([video, "--bbox", box_arg(clip.seed_boxes()[0]), "--out", out], capsys)
        _assert_one_line_error(code, stdout, err, fragment)


def test_unknown_profile_is_reported_as_an_input_error(tmp_path, tiny, capsys):
    clip, video = tiny
    code, out, err = run_tool(
        [video, "--bbox", box_arg(clip.seed_boxes()[0]), "--profile", "Bogus", "--out", tmp_path], capsys
    )
    _assert_one_line_error(code, out, err, "unknown profile: Bogus")


def test_no_box_and_no_display_asks_for_bbox(tmp_path, tiny, capsys, monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    code, out, err = run_tool([tiny[1], "--out", tmp_path], capsys)
    _assert_one_line_error(code, out, err, "--bbox")


def test_headless_opencv_says_how_to_pick_targets(tmp_path, tiny, capsys, monkeypatch):
    if track._has_gui(cv2):
        pytest.skip("this OpenCV can open windows")
    monkeypatch.setenv("DISPLAY", ":0")
    code, out, err = run_tool([tiny[1], "--out", tmp_path], capsys)
    _assert_one_line_error(code, out, err, "pass --bbox X,Y,W,H, or install opencv-python")


def test_missing_opencv_gives_install_hint(monkeypatch):
    monkeypatch.setitem(sys.modules, "cv2", None)
    with pytest.raises(ToolError, match=r"molvane\[tools\]"):
        require_cv2()


@pytest.mark.parametrize("content", [None, b"", b"not a video" * 100])
def test_command_line_entry_exits_with_status_2(tmp_path, content):
    path = tmp_path / "clip.mp4"
    if content is not None:
        path.write_bytes(content)
    proc = subprocess.run(
        [sys.executable, "-m", "molvane_tools", str(path), "--bbox", "0,0,4,4", "--out", str(tmp_path / "out")],
        capture_output=True,
        text=True,
        env=tool_env(),
        timeout=60,
    )
    assert proc.returncode == 2
    # Exactly one line, also from the video decoders' side.
    want = "input not found" if content is None else "cannot open video"
    assert proc.stderr == f"molvane-track: error: {want}: {path}\n"
    assert proc.stdout == ""


# --- summary arithmetic and overlay composition (no tracking needed) -------------------------


def test_summary_counts_states_and_reacquisitions_per_target():
    def rec(target, state, prediction_only=False, reason=""):
        # As the multi-target tracker reports them: every prediction is flagged suppressed,
        # owned by another target (its id), ambiguous, or not observed at all (0).
        owner = 1 if reason.endswith("owned-by-other") else 0
        return {
            "id": target,
            "state": state,
            "prediction_only": prediction_only,
            "suppressed": prediction_only,
            "suppressed_by_id": owner,
            "reason": reason,
        }

    one = ["confirmed", "lost", "lost", "tentative", "confirmed", "lost", "confirmed", "confirmed"]
    two = [
        ("confirmed", ""),
        ("lost", ""),
        ("tentative", "prediction-owned-by-other"),
        ("tentative", ""),
        ("confirmed", ""),
        ("tentative", "prediction-ambiguous-owner"),
        ("tentative", "prediction-unobserved"),
        ("confirmed", ""),
    ]
    records = []
    for a, (b, reason) in zip(one, two):
        records += [rec(1, a), rec(2, b, bool(reason), reason)]
    summary = summarize(records, [2.0, 4.0, 3.0, 3.0, 2.0, 4.0, 3.0, 3.0])
    assert (summary["frames"], summary["targets"], summary["results"]) == (8, 2, 16)
    t1, t2 = summary["per_target"]
    assert t1["reacquisitions"] == 2  # lost, lost -> tentative; lost -> confirmed
    # A predicted-only result does not count as seeing the target again; only the two held
    # back by another target's claim count as suppressed, not the unobserved one.
    assert t2["reacquisitions"] == 2 and t2["suppressed"] == 2
    assert summary["reacquisitions"] == 4
    assert t1["lost"] == pytest.approx(3 / 8) and t1["confirmed"] == pytest.approx(4 / 8)
    assert summary["tentative"] == pytest.approx(5 / 16)
    assert t2["predicted"] == pytest.approx(3 / 8) and t1["predicted"] == 0.0
    assert sum(summary[s] for s in ("confirmed", "tentative", "lost")) == pytest.approx(1.0)
    assert summary["mean_update_ms"] == pytest.approx(3.0) and summary["tracking_fps"] == pytest.approx(1000 / 3)
    assert summarize([], [])["frames"] == 0


class _Drawn:
    """Stands in for a result whose overlay is known: it paints one rectangle."""

    def __init__(self, frame, rect, value):
        self.frame, self.rect, self.value = frame, rect, value

    def annotate(self):
        out = self.frame.copy()
        x, y, w, h = self.rect
        out[y : y + h, x : x + w] = self.value
        return out


@pytest.mark.parametrize("shape, value", [((40, 50), 212), ((40, 50, 3), (212, 182, 6))])
def test_overlays_of_several_targets_are_merged(shape, value):
    frame = np.random.default_rng(1).integers(0, 200, shape, dtype=np.uint8)
    a, b = _Drawn(frame, (2, 3, 10, 5), value), _Drawn(frame, (8, 4, 20, 9), 0)
    merged = compose_overlays(frame, [a, b])
    assert merged.shape == frame.shape and merged is not frame
    assert (merged[3, 2] == np.asarray(value)).all()  # only a drew here
    assert (merged[10, 25] == 0).all()  # only b drew here
    assert (merged[4, 9] == 0).all()  # both: the later target wins
    untouched = np.ones(shape[:2], bool)
    untouched[3:8, 2:12] = untouched[4:13, 8:28] = False
    assert (merged[untouched] == frame[untouched]).all()
    assert (compose_overlays(frame, [a]) == a.annotate()).all()


class _Result(_Drawn):
    """A result in some state, with the box annotate() draws."""

    def __init__(self, frame, box, state="confirmed", suppressed=False, target=1, reason=""):
        super().__init__(frame, box, 255)
        self.id, self.state, self.suppressed, self.lost = target, state, suppressed, state == "lost"
        self.suppressed_by_id, self.reason = 0, reason
        self.bbox_x, self.bbox_y, self.bbox_w, self.bbox_h = map(float, box)
        self.cx, self.cy = box[0] + box[2] / 2, box[1] + box[3] / 2

    def annotate(self):
        return self.frame.copy() if self.lost else super().annotate()


@pytest.mark.parametrize(
    "unseen", [dict(state="lost"), dict(state="tentative", suppressed=True, reason="prediction-unobserved")]
)
def test_overlay_plain_is_annotate_and_full_keeps_unseen_targets_visible(unseen):
    frame = np.full((60, 80, 3), 90, np.uint8)
    seen = [_Result(frame, (10 + 2 * i, 20, 12, 8)) for i in range(4)]
    plain, full = Overlay("plain"), Overlay("full")
    for r in seen:
        assert (plain.draw(frame, [r]) == r.annotate()).all()
        picture = full.draw(frame, [r])
    assert (picture != seen[-1].annotate()).any(), "the tool draws its own overlay"
    lost = _Result(frame, (50, 40, 10, 10), **unseen)
    if lost.lost:
        assert (plain.draw(frame, [lost]) == frame).all()
    picture = full.draw(frame, [lost])
    x, y, w, h = (16, 20, 12, 8)  # the last place it was seen
    top = picture[y, x : x + w]
    assert (top == id_colour(1)).all(axis=1).any() and (top == 90).all(axis=1).any(), "a dashed edge"
    assert (picture[y + 2 : y + h - 2, x + 2 : x + w - 2] == 90).all(), "inside the box: the frame"
    assert (picture[50:, :40] == 90).all(), "nothing where the unseen result claims to be"


def test_full_overlay_colours_each_target_and_keeps_labels_inside_the_frame():
    frame = np.full((60, 120, 3), 90, np.uint8)
    picture = Overlay("full").draw(
        frame, [_Result(frame, (10, 25, 12, 8), target=1), _Result(frame, (60, 25, 12, 8), target=2)]
    )
    for target, x in ((1, 10), (2, 60)):
        assert (picture[25, x : x + 12] == id_colour(target)).all(), target
    assert id_colour(1) != id_colour(2)

    def inked(box):
        image = np.zeros((60, 120, 3), np.uint8)
        label(image, "12 suppressed", box, (255, 255, 255))
        return int(image.any(axis=2).sum())

    whole = inked((20, 30, 10, 10))
    # At the right edge, at the top and in the bottom corner: every pixel of the text is drawn.
    for box in [(116, 30, 4, 4), (20, 0, 10, 10), (110, 55, 10, 5)]:
        assert inked(box) == whole, box


def test_demo_clip_is_deterministic_and_hides_the_drone_behind_the_cloud():
    clip = DemoClip(width=320, height=180, frames=120)
    assert (clip.frame(17) == DemoClip(width=320, height=180, frames=120).frame(17)).all()
    assert not (clip.frame(17) == DemoClip(width=320, height=180, frames=120, seed=8).frame(17)).all()
    hidden = [i for i in range(len(clip)) if clip.occluded(i)]
    assert hidden and hidden == list(range(hidden[0], hidden[-1] + 1)), "one contiguous occlusion"
    assert len(hidden) < len(clip) // 4, "the occlusion is brief"
    for i in (0, hidden[0], len(clip) - 1):
        (x, y), frame = clip.truth(i)[0], clip.frame(i)
        drone_dark = frame[int(round(y)), int(round(x))].max() < 90
        assert drone_dark != clip.occluded(i)
        for box, (cx, cy) in zip(clip.seed_boxes(i), clip.truth(i)):
            bx, by, bw, bh = box
            assert 0 <= bx and 0 <= by and bx + bw <= clip.width and by + bh <= clip.height
            assert bx < cx < bx + bw and by < cy < by + bh


# --- real runs ----------------------------------------------------------------------------------


@pytest.mark.parametrize("targets, video_format", [(1, "mp4"), (2, "avi")])
def test_exports_have_every_field_and_the_summary_agrees_with_them(tmp_path, tiny, capsys, targets, video_format):
    clip, video = tiny
    boxes = clip.seed_boxes()[:targets]
    argv = [video, "--out", tmp_path, "--max-frames", 12, "--video-format", video_format]
    for box in boxes:
        argv += ["--bbox", box_arg(box)]
    code, out, err = run_tool(argv, capsys)
    assert code == 0, err
    records = read_jsonl(tmp_path / "tracks.jsonl")
    summary = read_summary(tmp_path)

    assert len(records) == 12 * targets
    for i, r in enumerate(records):
        assert set(TRACK_RESULT_FIELDS) <= set(r)
        assert r["frame"] == i // targets and r["source_frame"] == r["frame"] + 1 == r["source"]
        assert r["id"] == r["target_id"] and r["lost"] == (r["state"] == "lost")
        assert r["state"] in ("confirmed", "tentative", "lost")
    assert [r["id"] for r in records[:targets]] == sorted({r["id"] for r in records})

    assert summary["completed"] is True and "error" not in summary and "frames_declared" not in summary
    assert summary["frames"] == 12 and summary["targets"] == targets and summary["results"] == len(records)
    for state in ("confirmed", "tentative", "lost"):
        assert summary[state] == pytest.approx(sum(r["state"] == state for r in records) / len(records))
    assert summary["predicted"] == pytest.approx(np.mean([r["prediction_only"] for r in records]))
    per_frame_ms = [r["update_ms"] for r in records[::targets]]
    assert summary["mean_update_ms"] == pytest.approx(np.mean(per_frame_ms), abs=1e-3)
    assert summary["dt"] == pytest.approx(1 / FPS) and summary["dt_from"] == "source"
    assert str(summary["frames"]) in out and "reacquisitions" in out

    # On this clean clip the targets are followed: reported centres stay near the truth.
    for r in records:
        if r["state"] == "confirmed":
            tx, ty = clip.truth(r["source_frame"])[r["id"] - 1]
            assert abs(r["cx"] - tx) < 5 and abs(r["cy"] - ty) < 5, r

    # tracks.csv: a header and the same rows, cell for cell.
    with open(tmp_path / "tracks.csv", newline="") as fh:
        table = list(csv.reader(fh))
    assert tuple(table[0]) == CSV_COLUMNS and len(table) == len(records) + 1
    for row, r in zip(table[1:], records):
        assert row == ["" if r[c] is None else str(r[c]) for c in CSV_COLUMNS]

    # mot.txt: the results not lost, frames from 1 (the lock frame, 1, has no row).
    mot = [line.split(",") for line in (tmp_path / "mot.txt").read_text().splitlines()]
    seen = [r for r in records if not r["lost"]]
    assert len(mot) == len(seen) and mot and min(int(m[0]) for m in mot) == 2
    for m, r in zip(mot, seen):
        assert len(m) == 10 and m[7:] == ["-1", "-1", "-1"]
        assert (int(m[0]), int(m[1])) == (r["source_frame"] + 1, r["id"])
        assert [float(v) for v in m[2:7]] == pytest.approx(
            [r["bbox_x"], r["bbox_y"], r["bbox_w"], r["bbox_h"], r["confidence"]], abs=0.01
        )

    name = f"annotated.{video_format}"
    assert sorted(Path(p).name for p in summary["outputs"]) == sorted(
        ["summary.json", "tracks.jsonl", "tracks.csv", "mot.txt", name, "summary.png"]
    )
    cap = cv2.VideoCapture(str(tmp_path / name))
    ok, first = cap.read()
    assert ok and first.shape == (clip.height, clip.width, 3)
    assert (tmp_path / "summary.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize(
    "names, ordered",
    [
        (["f10", "f2", "f1", "f0"], ["f0", "f1", "f2", "f10"]),
        (["frame_100.png", "frame_99.png", "Frame_9.png"], ["Frame_9.png", "frame_99.png", "frame_100.png"]),
        (["b1", "a10", "a9"], ["a9", "a10", "b1"]),
        (["x01", "x1", "x001"], ["x001", "x01", "x1"]),  # equal values: a fixed order all the same
        (["2.png", "10a.png", "10.png"], ["2.png", "10.png", "10a.png"]),
    ],
)
def test_natural_order_compares_digit_runs_by_value(names, ordered):
    assert sorted(names, key=natural_key) == ordered


@pytest.mark.parametrize(
    "timing, dt, warned", [([], 1 / 30, True), (["--fps", "25"], 0.04, False), (["--dt", "0.05"], 0.05, False)]
)
def test_image_folder_in_natural_order_named_and_timed(tmp_path, tiny, capsys, timing, dt, warned):
    clip, _ = tiny
    folder = write_folder(tmp_path / "frames", clip, 14)  # f0.png ... f13.png, unpadded
    box = clip.seed_boxes(3)[0]
    code, _, err = run_tool(
        [folder, "--bbox", box_arg(box), "--start-frame", 3, "--no-video", "--out", tmp_path / "out"] + timing, capsys
    )
    assert code == 0, err
    records = read_jsonl(tmp_path / "out" / "tracks.jsonl")
    summary = read_summary(tmp_path / "out")
    assert [r["source"] for r in records] == [f"f{i}.png" for i in range(4, 14)]
    assert [r["source_frame"] for r in records] == list(range(4, 14))
    for r in records:  # in name order f10..f13 would come before f2 and the drone would jump
        tx, ty = clip.truth(r["source_frame"])[0]
        assert r["state"] == "confirmed" and abs(r["cx"] - tx) < 5 and abs(r["cy"] - ty) < 5, r
    assert summary["dt"] == pytest.approx(dt)
    assert summary["seed_frame"] == 3 and summary["boxes"] == [list(box)]
    warnings = [line for line in err.splitlines() if "states no frame rate" in line]
    assert len(warnings) == warned and (not warned or "30 fps" in warnings[0])


def test_truncated_video_is_tracked_to_its_end_and_reported(tmp_path, capsys):
    clip = DemoClip(width=160, height=120, frames=30, occluder=False)
    whole = write_clip(tmp_path / "whole.avi", clip).read_bytes()
    short = tmp_path / "short.avi"
    short.write_bytes(whole[: len(whole) // 2])
    code, out, err = run_tool(
        [short, "--bbox", box_arg(clip.seed_boxes()[0]), "--no-video", "--no-plot", "--out", tmp_path / "out"], capsys
    )
    assert code == 0, err
    summary = read_summary(tmp_path / "out")
    assert summary["completed"] is True
    assert summary["frames_declared"] == 30 and 2 <= summary["frames_read"] < 30
    assert summary["frames"] == summary["frames_read"] - 1
    assert err.count("\n") == 1 and f"ended after {summary['frames_read']} of the 30 frames" in err
    assert "of the 30 frames" in out


def test_boxes_from_a_file_and_across_the_frame_edge_are_clipped(tmp_path, tiny, capsys):
    clip, video = tiny
    (tmp_path / "boxes.txt").write_text(
        "# drone, reaching past the left edge\n"
        f"-3,{clip.seed_boxes()[0][1]},{clip.seed_boxes()[0][2] + 12},{clip.seed_boxes()[0][3]}\n\n"
        f"{box_arg(clip.seed_boxes()[1])}  # aircraft\n"
    )
    code, _, err = run_tool(
        [
            video,
            "--bboxes",
            tmp_path / "boxes.txt",
            "--max-frames",
            3,
            "--no-video",
            "--no-plot",
            "--out",
            tmp_path / "out",
        ],
        capsys,
    )
    assert code == 0, err
    x, y, w, h = clip.seed_boxes()[0]
    want = [[0, y, w + 9, h], list(clip.seed_boxes()[1])]
    assert read_summary(tmp_path / "out")["boxes"] == want
    assert err.count("\n") == 1 and "crosses the edge" in err and box_arg(want[0]) in err


# --- runs that fail, are stopped or are cut short -------------------------------------------


class _Failing:
    """A tracker that raises at its n-th update (an engine failure)."""

    def __init__(self, real, n):
        self._real, self._n = real, n

    def lock(self, *args, **kwargs):
        self._real.lock(*args, **kwargs)

    def update(self, frame, dt):
        self._n -= 1
        if self._n == 0:
            raise RuntimeError("engine failure")
        return self._real.update(frame, dt=dt)


class _FullDisk:
    """A file whose n-th write finds the disk full."""

    def __init__(self, fh, n):
        self._fh, self._n = fh, n

    def write(self, text):
        self._n -= 1
        if self._n == 0:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return self._fh.write(text)

    def __getattr__(self, name):
        return getattr(self._fh, name)


@pytest.mark.parametrize(
    "fault, fragment",
    [
        ("mixed sizes", "image f6.png is 150x120, the first was 160x120"),
        ("corrupt image", "cannot read image"),
        ("engine error", "RuntimeError: engine failure"),
        ("full disk", "tracks.jsonl: No space left on device"),
    ],
)
def test_run_failing_midway_leaves_a_summary_that_says_so(tmp_path, tiny, capsys, monkeypatch, fault, fragment):
    clip, _ = tiny
    folder = write_folder(tmp_path / "frames", clip, 10)
    out = tmp_path / "out"
    if fault == "mixed sizes":
        cv2.imwrite(str(folder / "f6.png"), clip.frame(6)[:, :150])
    elif fault == "corrupt image":
        (folder / "f6.png").write_bytes(b"\x89PNG but no more")
    elif fault == "engine error":
        import molvane

        real = molvane.Tracker
        monkeypatch.setattr(molvane, "Tracker", lambda profile: _Failing(real(profile), 6))
    else:

        def opener(path, *args, **kwargs):  # one write per frame: the 6th finds the disk full
            fh = open(path, *args, **kwargs)
            return _FullDisk(fh, 6) if Path(path).name == "tracks.jsonl" else fh

        monkeypatch.setattr(outputs, "open", opener, raising=False)
    argv = [folder, "--bbox", box_arg(clip.seed_boxes()[0]), "--fps", 25, "--out", out, "--no-progress"]
    if fault == "engine error":
        with pytest.raises(RuntimeError, match="engine failure"):
            main([str(a) for a in argv])
        err = capsys.readouterr().err
        assert err == ""
    else:
        code, stdout, err = run_tool(argv, capsys)
        _assert_one_line_error(code, stdout, err, fragment)
    summary = read_summary(out)
    assert summary["completed"] is False and fragment in summary["error"]
    assert summary["frames"] == 5, "frames 1 to 5 were tracked before the fault"
    assert len(read_jsonl(out / "tracks.jsonl")) == 5
    assert summary["dt"] == 0.04 and summary["boxes"] == [list(clip.seed_boxes()[0])]


@pytest.mark.parametrize("signame", ["SIGTERM", "SIGHUP", "SIGINT"])
def test_stop_signal_keeps_the_results_and_every_finished_row_is_on_disk(tmp_path, tiny, capsys, monkeypatch, signame):
    clip, video = tiny
    out = tmp_path / "out"
    on_disk = {}
    real_read = sources.CaptureSource.read

    def read(self):
        # Reading the 7th frame: the lock frame and 5 tracked frames are done.
        if self.frames_read == 6:
            on_disk.update(
                {name: len((out / name).read_text().splitlines()) for name in ("tracks.jsonl", "tracks.csv")}
            )
            os.kill(os.getpid(), getattr(signal, signame))
        return real_read(self)

    monkeypatch.setattr(sources.CaptureSource, "read", read)
    # Under nohup the test runner ignores SIGHUP, and the tool rightly keeps it ignored:
    # give the signal its default disposition for this run.
    number = getattr(signal, signame)
    inherited = signal.signal(number, signal.SIG_DFL) if signame != "SIGINT" else None
    before = signal.getsignal(signal.SIGTERM)
    try:
        code, stdout, err = run_tool(
            [video, "--bbox", box_arg(clip.seed_boxes()[0]), "--bbox", box_arg(clip.seed_boxes()[1]), "--out", out],
            capsys,
        )
    finally:
        if inherited is not None:
            signal.signal(number, inherited)
    assert code == 128 + getattr(signal, signame), err  # as shells report it: 130 for Ctrl-C
    assert signal.getsignal(signal.SIGTERM) == before, "the handlers are put back"
    summary = read_summary(out)
    assert summary["completed"] is False and summary["interrupted"] is True
    assert summary["interrupted_by"] == signame and f"interrupted     by {signame}" in stdout
    assert summary["frames"] == 5 and len(read_jsonl(out / "tracks.jsonl")) == 10
    # Flushed every frame: what a crash at that moment would have left.
    assert on_disk == {"tracks.jsonl": 10, "tracks.csv": 11}
    assert cv2.VideoCapture(str(out / "annotated.mp4")).get(cv2.CAP_PROP_FRAME_COUNT) == 5


def test_version_and_a_closed_pipe(tmp_path):
    from importlib import metadata

    proc = subprocess.run(
        [sys.executable, "-m", "molvane_tools", "--version"], capture_output=True, text=True, env=tool_env(), timeout=60
    )
    assert proc.returncode == 0 and proc.stdout == f"molvane-track {metadata.version('molvane')}\n"
    # | head: the reader is gone before the summary is printed.
    proc = subprocess.Popen(
        [
            sys.executable,
            "-m",
            "molvane_tools",
            "--out",
            str(tmp_path),
            "--max-frames",
            "20",
            "--no-video",
            "--no-plot",
        ],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        env=tool_env(),
    )
    proc.stdout.close()
    assert proc.wait(timeout=120) == 0
    assert proc.stderr.read() == b""
    assert read_summary(tmp_path)["completed"] is True


def test_demo_clip_run_recovers_the_drone_after_the_cloud(tmp_path, capsys):
    """The default run (no input) is the project's demo: both targets end where they are."""
    frames = 140  # well past the cloud, which hides the drone around frames 100 to 113
    code, out, err = run_tool(["--out", tmp_path, "--no-video", "--max-frames", frames], capsys)
    assert code == 0, err
    clip = DemoClip()
    records = read_jsonl(tmp_path / "tracks.jsonl")
    summary = json.loads((tmp_path / "summary.json").read_text())
    assert summary["frames"] == frames and summary["targets"] == 2
    drone, aircraft = summary["per_target"]
    assert drone["reacquisitions"] >= 1, "the drone is hidden by the cloud, then found again"
    assert aircraft["lost"] == 0.0 and aircraft["suppressed"] == 0
    hidden = [i for i in range(len(clip)) if clip.occluded(i)]
    # Checked: the last frame, and the drone until it reaches the cloud's soft rim.
    for r in records:
        if r["source_frame"] == frames or (r["id"] == 1 and r["source_frame"] < hidden[0] - 12):
            tx, ty = clip.truth(r["source_frame"])[r["id"] - 1]
            assert r["state"] == "confirmed" and abs(r["cx"] - tx) < 4 and abs(r["cy"] - ty) < 4, r
