"""Follow several targets at once; ids stay with their targets even when they meet.

python examples/multi_target.py                          # synthetic clip, two targets
python examples/multi_target.py VIDEO X,Y,W,H X,Y,W,H    # your video and boxes
"""

import sys

from molvane_tools.sources import example_clip

import molvane as mv


def note(r: mv.TrackResult) -> str:
    """Why a target was not followed this frame. `suppressed` is set for a target held back
    because another target owns its observation (suppressed_by_id names that target) or the
    owner is ambiguous, and also, with suppressed_by_id 0, for a target simply not seen."""
    if r.suppressed_by_id:
        return f" (owned by #{r.suppressed_by_id})"
    if r.reason.endswith("ambiguous-owner"):
        return " (owner ambiguous)"
    if r.prediction_only:
        return " (not seen, predicted)"
    return ""


def main(argv: list[str]) -> list[mv.TrackResult]:
    frames, fps, boxes = example_clip(argv)
    tracker = mv.MultiTracker("default")
    tracker.lock(next(frames), bboxes=boxes)
    print(f"tracking {tracker.size()} targets")
    results: list[mv.TrackResult] = []
    for frame in frames:
        results = tracker.update(frame, dt=1.0 / fps)
        cells = [f"#{r.id} {r.state[0]} ({r.cx:6.1f},{r.cy:6.1f}){note(r)}" for r in results]
        print(f"{results[0].frame:4d}  " + "  ".join(cells))
    return results


if __name__ == "__main__":
    main(sys.argv[1:])
