"""Golden traces: every TrackResult field of fixed replays, stored as JSON under
tests/golden/, so that any change of tracking output is seen frame by frame.

    python tests/golden_trace.py            # compare, print the frames that differ
    python tests/golden_trace.py --record   # re-record on purpose (say why in the commit)

A replay is the demo clip (two targets, MultiTracker) or a bench scene (one target,
Tracker) under one profile, with a fixed frame interval.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
from collections.abc import Iterator

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
GOLDEN_DIR = os.path.join(HERE, "golden")
if __name__ == "__main__":
    # Run as a script; under pytest the project's pythonpath setting provides these.
    sys.path.insert(0, os.path.join(ROOT, "bench"))
    sys.path.insert(0, os.path.join(ROOT, "python"))

import molvane as mv  # noqa: E402

PROFILES = ("default", "correlation", "adaptive", "fast-sky", "birds", "missile")
# name -> (frames replayed); scenes chosen to cover tiny, slow and occluded targets plus the
# two-target demo clip.
CASES = {"demo": 120, "small_slow": 60, "tiny_fast": 60, "occlusion": 90, "edge_exit": 90}

FLOAT_FIELDS = (
    "cx",
    "cy",
    "bbox_x",
    "bbox_y",
    "bbox_w",
    "bbox_h",
    "target_score",
    "target_candidate_score",
    "confidence",
    "speed",
    "anchor_appearance",
    "geometry_confidence",
)
OTHER_FIELDS = (
    "frame",
    "lost",
    "id",
    "target_id",
    "state",
    "hits",
    "misses",
    "reason",
    "suppressed",
    "suppressed_by_id",
    "interacting",
    "model_learning_suppressed",
    "geometry_update_suppressed",
    "geometry_ownership_constrained",
    "prediction_only",
)
FIELDS = OTHER_FIELDS + FLOAT_FIELDS
DECIMALS = 4


def _row(r) -> list:
    # booleans as 0/1 keep the files small; they compare equal to the booleans
    out = [int(v) if isinstance(v, bool) else v for v in (getattr(r, f) for f in OTHER_FIELDS)]
    out += [round(float(getattr(r, f)), DECIMALS) for f in FLOAT_FIELDS]
    return out


def _frames(case: str) -> Iterator:
    n = CASES[case]
    if case == "demo":
        from molvane_tools.scenes import DemoClip

        clip = DemoClip()
        for i in range(n):
            yield clip.frame(i), clip.seed_boxes(0) if i == 0 else None
        return
    from molvane_tools.scenes import named

    scene = named.make_scene(case, n_frames=n)
    for f in scene.frames():
        box = None
        if f.index == 0:
            x, y, w, h = f.boxes[0]
            box = [(int(round(x)), int(round(y)), max(1, int(round(w))), max(1, int(round(h))))]
        yield f.image, box


def replay(case: str, profile: str) -> list[list]:
    rows: list[list] = []
    tracker = None
    for image, boxes in _frames(case):
        if boxes is not None:
            if case == "demo":
                tracker = mv.MultiTracker(profile)
                tracker.lock(image, boxes)
            else:
                tracker = mv.Tracker(profile)
                tracker.lock(image, boxes[0])
            continue
        out = tracker.update(image, dt=1.0 / 30.0)
        for r in out if isinstance(out, list) else [out]:
            rows.append(_row(r))
    return rows


def path_of(case: str) -> str:
    return os.path.join(GOLDEN_DIR, f"{case}.json")


def record(case: str) -> None:
    os.makedirs(GOLDEN_DIR, exist_ok=True)
    data = {"fields": list(FIELDS), "frames": CASES[case], "profiles": {p: replay(case, p) for p in PROFILES}}
    with open(path_of(case), "w") as fh:
        fh.write(
            '{"fields": ' + json.dumps(data["fields"]) + ', "frames": ' + str(data["frames"]) + ', "profiles": {\n'
        )
        items = list(data["profiles"].items())
        for k, (p, rows) in enumerate(items):
            fh.write(f' "{p}": [\n')
            fh.write(",\n".join("  " + json.dumps(r, separators=(",", ":")) for r in rows))
            fh.write("\n ]" + (",\n" if k + 1 < len(items) else "\n"))
        fh.write("}}\n")


def _same(a, b) -> bool:
    # Floating-point results differ in their last digits between CPUs (the correlation
    # filter's transforms take other vector paths): a speed of 90.4636 on one machine is
    # 90.4641 on another. A relative tolerance of 1e-5 keeps every behavioural change visible.
    if isinstance(a, float) or isinstance(b, float):
        return math.isclose(float(a), float(b), rel_tol=1e-5, abs_tol=2 * 10**-DECIMALS)
    return a == b


def differences(case: str) -> list[str]:
    """One line per (profile, row) whose fields differ from the stored trace."""
    with open(path_of(case)) as fh:
        stored = json.load(fh)
    fields = stored["fields"]
    out = []
    for profile in PROFILES:
        want = stored["profiles"][profile]
        got = replay(case, profile)
        if len(want) != len(got):
            out.append(f"{case}/{profile}: {len(got)} results, trace has {len(want)}")
        for w, g in zip(want, got):
            bad = [f"{f}: {a!r} -> {b!r}" for f, a, b in zip(fields, w, g) if not _same(a, b)]
            if bad:
                out.append(f"{case}/{profile} frame {g[0]} id {g[2]}: " + "; ".join(bad))
    return out


def main(argv=None) -> int:
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--record", action="store_true", help="re-record the stored traces")
    ap.add_argument("cases", nargs="*", default=list(CASES))
    args = ap.parse_args(argv)
    status = 0
    for case in args.cases:
        if args.record:
            record(case)
            print(f"recorded {path_of(case)}")
            continue
        diff = differences(case)
        print(f"{case}: {len(diff)} differing results")
        for line in diff:
            print("  " + line)
        status |= bool(diff)
    return status


if __name__ == "__main__":
    sys.exit(main())
