"""One tracker per video stream, all running at once in threads.

Trackers release the interpreter lock while they work, so the streams really run in
parallel; each tracker stays in its own thread (separate trackers share nothing).
Usage: threaded_streams.py [VIDEO X,Y,W,H ...]  (no arguments: three synthetic skies)
"""

import sys
import time
from concurrent.futures import ThreadPoolExecutor

from molvane_tools import DemoClip
from molvane_tools.sources import example_clip

import molvane as mv


def demo_streams() -> list[DemoClip]:
    """Three different synthetic skies: own size, length, frame rate and noise."""
    return [
        DemoClip(width=640, height=360, frames=240, fps=30.0, seed=1, occluder=False),
        DemoClip(width=480, height=272, frames=150, fps=25.0, seed=2, occluder=False, noise=4.0),
        DemoClip(width=800, height=448, frames=300, fps=50.0, seed=3, occluder=False, noise=1.0),
    ]


def track(frames: list, box: tuple, dt: float) -> list[tuple[str, float, float]]:
    tracker = mv.Tracker()
    tracker.lock(frames[0], bbox=box)
    return [(r.state, r.cx, r.cy) for r in (tracker.update(f, dt=dt) for f in frames[1:])]


def main(argv: list[str]) -> list[list[tuple[str, float, float]]]:
    pairs = list(zip(argv[::2], argv[1::2]))
    clips = [example_clip(list(p)) for p in pairs] or [(iter(c), c.fps, c.seed_boxes()) for c in demo_streams()]
    jobs = [(list(frames), boxes[0], 1.0 / fps) for frames, fps, boxes in clips]
    start = time.perf_counter()
    with ThreadPoolExecutor(max_workers=len(jobs)) as pool:
        tracks = list(pool.map(lambda job: track(*job), jobs))
    print(f"{len(jobs)} streams in {time.perf_counter() - start:.2f} s")
    for i, steps in enumerate(tracks):
        lost = sum(state == "lost" for state, _, _ in steps)
        print(f"stream {i}: {len(steps)} frames, {lost} lost, last at ({steps[-1][1]:.1f}, {steps[-1][2]:.1f})")
    return tracks


if __name__ == "__main__":
    main(sys.argv[1:])
