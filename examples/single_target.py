"""Lock onto one target and follow it, printing one line per frame.

python examples/single_target.py                   # the built-in synthetic sky clip
python examples/single_target.py VIDEO X,Y,W,H     # your video, target box in frame 0
"""

import sys

from molvane_tools.sources import example_clip

import molvane as mv


def main(argv: list[str]) -> mv.TrackResult:
    frames, fps, boxes = example_clip(argv)
    tracker = mv.Tracker("default")
    tracker.lock(next(frames), bbox=boxes[0])
    result = None
    for frame in frames:
        # A fixed dt from the frame rate makes runs on recorded video reproducible.
        result = tracker.update(frame, dt=1.0 / fps)
        x, y, w, h = result.bbox()
        print(
            f"{result.frame:4d} {result.state:9s} centre=({result.cx:6.1f},{result.cy:6.1f}) "
            f"box={w:.0f}x{h:.0f} speed={result.speed:6.1f}px/s {result.reason}"
        )
    if result is None:
        raise SystemExit("the clip has a single frame")
    return result


if __name__ == "__main__":
    main(sys.argv[1:])
