"""The molvane-track command: arguments, input errors, its JSON Lines and its summary."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "python"))

cv2 = pytest.importorskip("cv2")

from molvane_tools import DemoClip  # noqa: E402
from molvane_tools.report import TRACK_RESULT_FIELDS, compose_overlays, summarize  # noqa: E402
from molvane_tools.sources import ToolError, require_cv2  # noqa: E402
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
    try:
        code = main([str(a) for a in argv])
    except RuntimeError as exc:
        if "not built yet" in str(exc):
            pytest.skip(f"tracking engine not built yet ({exc})")
        raise
    out, err = capsys.readouterr()
    return code, out, err


def read_jsonl(path: Path):
    return [json.loads(line) for line in path.read_text(encoding="utf-8").splitlines()]


# --- arguments -----------------------------------------------------------------------------

def test_arguments_parse_into_boxes_and_numbers():
    args = build_parser().parse_args(["clip.avi", "--bbox", "1,2,30,40", "--bbox", " 5, 6, 7, 8",
                                      "--dt", "0.04", "--start-frame", "3", "--max-frames", "10",
                                      "--profile", "birds", "--out", "somewhere"])
    assert args.input == "clip.avi"
    assert args.bbox == [(1, 2, 30, 40), (5, 6, 7, 8)]
    assert (args.dt, args.start_frame, args.max_frames, args.profile) == (0.04, 3, 10, "birds")
    assert args.out == Path("somewhere")
    defaults = build_parser().parse_args([])
    assert (defaults.input, defaults.bbox, defaults.dt, defaults.start_frame, defaults.max_frames) == \
        (None, [], None, 0, None)


@pytest.mark.parametrize("argv, fragment", [
    (["--bbox", "1,2,3"], "four integers"),
    (["--bbox", "1,2,3.5,4"], "four integers"),
    (["--bbox", "1,2,0,4"], "positive"),
    (["--bbox", "1,2,4,-1"], "positive"),
    (["--dt", "0"], "positive number"),
    (["--dt", "-0.1"], "positive number"),
    (["--dt", "inf"], "positive number"),
    (["--dt", "fast"], "positive number"),
    (["--start-frame", "-1"], ">= 0"),
    (["--max-frames", "0"], ">= 1"),
])
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
    cases = [
        ([tmp_path / "missing.avi", "--bbox", inside], "input not found"),
        ([garbage, "--bbox", inside], "garbage.avi"),
        ([empty_dir, "--bbox", inside], "no images in folder"),
        ([video, "--bbox", "150,100,20,30"], "outside the 160x120 frame"),
        ([video, "--bbox=-1,10,20,20"], "outside the 160x120 frame"),
        ([video, "--bbox", inside, "--bbox", "0,0,161,10"], "outside the 160x120 frame"),
        ([video, "--bbox", inside, "--start-frame", "20"], "past the end"),
    ]
    for argv, fragment in cases:
        code, out, err = run_tool(list(argv) + ["--out", tmp_path / "out"], capsys)
        _assert_one_line_error(code, out, err, fragment)


def test_unknown_profile_is_reported_as_an_input_error(tmp_path, tiny, capsys):
    clip, video = tiny
    code, out, err = run_tool([video, "--bbox", box_arg(clip.seed_boxes()[0]), "--profile", "Bogus",
                               "--out", tmp_path], capsys)
    _assert_one_line_error(code, out, err, "unknown profile: Bogus")


def test_no_box_and_no_display_asks_for_bbox(tmp_path, tiny, capsys, monkeypatch):
    monkeypatch.delenv("DISPLAY", raising=False)
    monkeypatch.delenv("WAYLAND_DISPLAY", raising=False)
    code, out, err = run_tool([tiny[1], "--out", tmp_path], capsys)
    _assert_one_line_error(code, out, err, "--bbox")


def test_missing_opencv_gives_install_hint(monkeypatch):
    monkeypatch.setitem(sys.modules, "cv2", None)
    with pytest.raises(ToolError, match=r"molvane\[tools\]"):
        require_cv2()


@pytest.mark.parametrize("content", [None, b"", b"not a video" * 100])
def test_command_line_entry_exits_with_status_2(tmp_path, content):
    path = tmp_path / "clip.mp4"
    if content is not None:
        path.write_bytes(content)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(ROOT / "python")] + sys.path))
    proc = subprocess.run([sys.executable, "-m", "molvane_tools", str(path), "--bbox", "0,0,4,4",
                           "--out", str(tmp_path / "out")], capture_output=True, text=True, env=env, timeout=60)
    assert proc.returncode == 2
    # Exactly one line, also from the video decoders' side.
    want = "input not found" if content is None else "cannot open video"
    assert proc.stderr == f"molvane-track: error: {want}: {path}\n"
    assert proc.stdout == ""


# --- summary arithmetic and overlay composition (no tracking needed) -------------------------

def test_summary_counts_states_and_reacquisitions_per_target():
    def rec(target, state, prediction_only=False, suppressed=False):
        return {"id": target, "state": state, "prediction_only": prediction_only, "suppressed": suppressed}

    one = ["confirmed", "lost", "lost", "tentative", "confirmed", "lost", "confirmed", "confirmed"]
    two = [("confirmed", False), ("lost", False), ("tentative", True), ("tentative", False),
           ("confirmed", False), ("tentative", True), ("tentative", True), ("confirmed", False)]
    records = []
    for a, (b, pred) in zip(one, two):
        records += [rec(1, a), rec(2, b, pred, suppressed=pred)]
    summary = summarize(records, [2.0, 4.0, 3.0, 3.0, 2.0, 4.0, 3.0, 3.0])
    assert (summary["frames"], summary["targets"], summary["results"]) == (8, 2, 16)
    t1, t2 = summary["per_target"]
    assert t1["reacquisitions"] == 2  # lost, lost -> tentative; lost -> confirmed
    # A predicted-only result does not count as seeing the target again.
    assert t2["reacquisitions"] == 2 and t2["suppressed"] == 3
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
        out[y:y + h, x:x + w] = self.value
        return out


@pytest.mark.parametrize("shape, value", [((40, 50), 212), ((40, 50, 3), (212, 182, 6))])
def test_overlays_of_several_targets_are_merged(shape, value):
    frame = np.random.default_rng(1).integers(0, 200, shape, dtype=np.uint8)
    a, b = _Drawn(frame, (2, 3, 10, 5), value), _Drawn(frame, (8, 4, 20, 9), 0)
    merged = compose_overlays(frame, [a, b])
    assert merged.shape == frame.shape and merged is not frame
    assert (merged[3, 2] == np.asarray(value)).all()          # only a drew here
    assert (merged[10, 25] == 0).all()                         # only b drew here
    assert (merged[4, 9] == 0).all()                           # both: the later target wins
    untouched = np.ones(shape[:2], bool)
    untouched[3:8, 2:12] = untouched[4:13, 8:28] = False
    assert (merged[untouched] == frame[untouched]).all()
    assert (compose_overlays(frame, [a]) == a.annotate()).all()


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

@pytest.mark.parametrize("targets", [1, 2])
def test_jsonl_has_every_field_and_the_summary_agrees_with_it(tmp_path, tiny, capsys, targets):
    clip, video = tiny
    boxes = clip.seed_boxes()[:targets]
    argv = [video, "--out", tmp_path, "--max-frames", 12]
    for box in boxes:
        argv += ["--bbox", box_arg(box)]
    code, out, err = run_tool(argv, capsys)
    assert code == 0, err
    records = read_jsonl(tmp_path / "tracks.jsonl")
    summary = json.loads((tmp_path / "summary.json").read_text())

    assert len(records) == 12 * targets
    for i, r in enumerate(records):
        assert set(TRACK_RESULT_FIELDS) <= set(r)
        assert r["frame"] == i // targets and r["source_frame"] == r["frame"] + 1
        assert r["id"] == r["target_id"] and r["lost"] == (r["state"] == "lost")
        assert r["state"] in ("confirmed", "tentative", "lost")
    assert [r["id"] for r in records[:targets]] == sorted({r["id"] for r in records})

    assert summary["frames"] == 12 and summary["targets"] == targets and summary["results"] == len(records)
    for state in ("confirmed", "tentative", "lost"):
        assert summary[state] == pytest.approx(sum(r["state"] == state for r in records) / len(records))
    assert summary["predicted"] == pytest.approx(np.mean([r["prediction_only"] for r in records]))
    per_frame_ms = [r["update_ms"] for r in records[::targets]]
    assert summary["mean_update_ms"] == pytest.approx(np.mean(per_frame_ms), abs=1e-3)
    assert summary["dt"] == pytest.approx(1 / FPS)
    assert str(summary["frames"]) in out and "reacquisitions" in out

    # On this clean clip the targets are followed: reported centres stay near the truth.
    for r in records:
        if r["state"] == "confirmed":
            tx, ty = clip.truth(r["source_frame"])[r["id"] - 1]
            assert abs(r["cx"] - tx) < 5 and abs(r["cy"] - ty) < 5, r

    cap = cv2.VideoCapture(str(tmp_path / "annotated.avi"))
    ok, first = cap.read()
    assert ok and first.shape == (clip.height, clip.width, 3)


def test_start_frame_image_folder_and_measured_interval(tmp_path, tiny, capsys):
    clip, _ = tiny
    folder = tmp_path / "frames"
    folder.mkdir()
    for i in range(10):
        cv2.imwrite(str(folder / f"f{i:03d}.png"), clip.frame(i))
    box = clip.seed_boxes(3)[0]
    (tmp_path / "out").mkdir()
    (tmp_path / "out" / "annotated.avi").write_bytes(b"left by an earlier run")
    code, _, err = run_tool([folder, "--bbox", box_arg(box), "--start-frame", 3, "--no-video",
                             "--out", tmp_path / "out"], capsys)
    assert code == 0, err
    records = read_jsonl(tmp_path / "out" / "tracks.jsonl")
    summary = json.loads((tmp_path / "out" / "summary.json").read_text())
    assert [r["source_frame"] for r in records] == list(range(4, 10))
    assert summary["dt"] is None, "an image folder has no frame rate: the tracker measures"
    assert summary["seed_frame"] == 3 and summary["boxes"] == [list(box)]
    assert not (tmp_path / "out" / "annotated.avi").exists(), "a stale video would contradict the tracks"


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
