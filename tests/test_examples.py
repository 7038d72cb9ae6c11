"""The scripts in examples/ run and do what they say, on tiny synthetic videos."""

import importlib.util
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[1]

cv2 = pytest.importorskip("cv2")
molvane = pytest.importorskip("molvane")

from molvane_tools import DemoClip  # noqa: E402

FPS = 25.0
TOLERANCE = 5.0  # pixels between a reported centre and the truth


def load_example(name):
    spec = importlib.util.spec_from_file_location(f"example_{name}", ROOT / "examples" / f"{name}.py")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def run_example(name, argv):
    return load_example(name).main([str(a) for a in argv])


def write_clip(path, clip):
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), FPS, (clip.width, clip.height))
    for frame in clip:
        writer.write(frame)
    writer.release()
    return path


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    """Two small clips of different sizes (so their target paths differ), as videos."""
    folder = tmp_path_factory.mktemp("examples")
    made = []
    for i, (w, h) in enumerate([(160, 120), (200, 136)]):
        clip = DemoClip(width=w, height=h, frames=16, occluder=False, seed=i)
        made.append((clip, write_clip(folder / f"clip{i}.avi", clip)))
    return made


def box_arg(box):
    return ",".join(map(str, box))


def near(point, truth):
    return abs(point[0] - truth[0]) < TOLERANCE and abs(point[1] - truth[1]) < TOLERANCE


def test_single_target_follows_the_drone(clips, capsys):
    clip, video = clips[0]
    last = run_example("single_target", [video, box_arg(clip.seed_boxes()[0])])
    lines = capsys.readouterr().out.splitlines()
    assert len(lines) == len(clip) - 1, "one line per tracked frame"
    assert not last.lost and last.frame == len(clip) - 2
    assert near(last.center(), clip.truth(len(clip) - 1)[0])


def test_multi_target_keeps_each_id_on_its_own_target(clips, capsys):
    clip, video = clips[0]
    last = run_example("multi_target", [video] + [box_arg(b) for b in clip.seed_boxes()])
    assert capsys.readouterr().out.startswith("tracking 2 targets")
    assert [r.id for r in last] == [1, 2]
    for result, truth in zip(last, clip.truth(len(clip) - 1)):
        assert not result.lost and not result.suppressed
        assert near(result.center(), truth), (result.id, result.center(), truth)


def test_threaded_streams_match_sequential_runs(clips, capsys):
    argv = []
    for clip, video in clips:
        argv += [video, box_arg(clip.seed_boxes()[0])]
    threaded = run_example("threaded_streams", argv)
    assert "2 streams" in capsys.readouterr().out

    # Running the same streams one after another gives identical tracks: the threads
    # share nothing and every update is deterministic for a given dt.
    example = load_example("threaded_streams")
    for (clip, video), steps in zip(clips, threaded):
        cap = cv2.VideoCapture(str(video))
        frames = []
        while (ok_frame := cap.read())[0]:
            frames.append(ok_frame[1])
        assert example.track(frames, clip.seed_boxes()[0], 1.0 / FPS) == steps
        state, cx, cy = steps[-1]
        assert state != "lost" and near((cx, cy), clip.truth(len(clip) - 1)[0])


def test_threaded_streams_without_arguments_runs_three_different_streams(capsys):
    tracks = run_example("threaded_streams", [])
    assert "3 streams" in capsys.readouterr().out
    clips = load_example("threaded_streams").demo_streams()
    ends = {steps[-1][1:] for steps in tracks}
    assert len(ends) == 3 and len({len(steps) for steps in tracks}) == 3
    for clip, steps in zip(clips, tracks):
        assert len(steps) == len(clip) - 1
        state, cx, cy = steps[-1]
        assert state != "lost" and near((cx, cy), clip.truth(len(clip) - 1)[0])
