#!/usr/bin/env python3
"""Long-run soak: one tracker for many frames, then a four-target MultiTracker.

Reports resident memory (VmRSS) at the start and the end of each run and the time per
frame over time, so that leaks and slow drifts show up. Targets fly Lissajous paths over
a noisy sky, cross each other and vanish for a while now and then, so the lost and
reacquire paths are soaked too.

    .venv/bin/python bench/soak.py                      # 100k single + 20k multi frames
    .venv/bin/python bench/soak.py --frames 20000 --multi-frames 5000
"""

import argparse
import math
import os
import sys
import time

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "python"))
from molvane_tools.scenes.cost import LoopSky as Sky  # noqa: E402

import molvane as mv  # noqa: E402


def rss_kib(field="VmRSS"):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    return -1


def show_frame(t, out, sky):
    """One line per target: what the tracker reports and which true target that is on."""
    for k, r in enumerate(out):
        near = min(range(len(sky.paths)), key=lambda j: math.dist((r.cx, r.cy), sky.centre(j, t)))
        err = math.dist((r.cx, r.cy), sky.centre(k, t))
        print(
            f"  frame {t} target {k + 1}: {r.state:<9} {r.reason:<28} suppressed={int(r.suppressed)} "
            f"at ({r.cx:.0f}, {r.cy:.0f}), {err:.0f} px from its own truth, nearest truth {near + 1}"
        )


def soak(name, frames, targets, width, height, every, profile, show=()):
    sky = Sky(width, height, targets)
    if targets == 1:
        tr = mv.Tracker(profile)
        tr.lock(sky.render(0), sky.box(0, 0))
    else:
        tr = mv.MultiTracker(profile)
        tr.lock(sky.render(0), [sky.box(k, 0) for k in range(targets)])
    # Warm up so that the first window does not carry one-time allocations.
    warm = min(200, frames)
    for t in range(1, warm + 1):
        tr.update(sky.render(t), dt=1.0 / 30)
    rss0 = rss_kib()
    print(
        f"\n== {name}: {frames} frames, {targets} target(s), {width}x{height}, "
        f"profile {profile}; VmRSS after lock+{warm} frames: {rss0 / 1024:.1f} MiB"
    )
    # tracked: results that are neither lost nor a bare prediction; err px: their mean
    # distance to the true centre; wrong: tracked results nearer another target's centre.
    print(
        f"{'frames':>8} {'ms/frame':>9} {'p99 ms':>7} {'max ms':>7} {'tracked':>8} "
        f"{'err px':>7} {'wrong':>6} {'VmRSS MiB':>10}"
    )
    times = np.empty(every)
    tracked = wrong = 0
    err_sum = 0.0
    err_n = 0
    total = 0.0
    rows = []
    for i in range(frames):
        t = warm + 1 + i
        frame = sky.render(t)
        t0 = time.perf_counter()
        out = tr.update(frame, dt=1.0 / 30)
        dt = time.perf_counter() - t0
        total += dt
        times[i % every] = dt
        if t in show and targets > 1:
            show_frame(t, out, sky)
        for k, r in enumerate(out if targets > 1 else [out]):
            if not r.lost and not r.prediction_only:
                tracked += 1
                if sky.visible(k, t):
                    x, y = sky.centre(k, t)
                    err = math.hypot(r.cx - x, r.cy - y)
                    err_sum += err
                    err_n += 1
                    wrong += any(
                        sky.visible(j, t) and math.dist((r.cx, r.cy), sky.centre(j, t)) < err
                        for j in range(targets)
                        if j != k
                    )
            if not all(math.isfinite(v) for v in (r.cx, r.cy, r.bbox_w, r.bbox_h, r.speed)):
                print(f"non-finite result at frame {t}, target {k + 1}: {r.reason}")
                return 1
        if (i + 1) % every == 0 or i + 1 == frames:
            n = (i % every) + 1
            window = np.sort(times[:n])
            rows.append((i + 1, window.mean() * 1e3, rss_kib()))
            print(
                f"{i + 1:>8} {window.mean() * 1e3:>9.3f} {window[int(0.99 * (n - 1))] * 1e3:>7.2f} "
                f"{window[-1] * 1e3:>7.2f} {tracked / (n * targets):>8.1%} "
                f"{(err_sum / err_n if err_n else float('nan')):>7.2f} "
                f"{(wrong / err_n if err_n else 0.0):>6.1%} {rows[-1][2] / 1024:>10.1f}",
                flush=True,
            )
            tracked, wrong, err_sum, err_n = 0, 0, 0.0, 0
    rss1 = rss_kib()
    print(
        f"VmRSS start {rss0 / 1024:.1f} MiB, end {rss1 / 1024:.1f} MiB "
        f"(growth {(rss1 - rss0) / 1024:+.2f} MiB), peak {rss_kib('VmHWM') / 1024:.1f} MiB; "
        f"mean {total / frames * 1e3:.3f} ms/frame over the run, "
        f"first window {rows[0][1]:.3f} ms, last window {rows[-1][1]:.3f} ms"
    )
    return 0


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--frames", type=int, default=100_000, help="single-target frames")
    ap.add_argument("--multi-frames", type=int, default=20_000, help="four-target frames")
    ap.add_argument("--targets", type=int, default=4, help="targets in the multi-target run")
    ap.add_argument("--size", default="640x480", help="frame size WxH")
    ap.add_argument("--every", type=int, default=10_000, help="report interval in frames")
    ap.add_argument("--profile", default="default")
    ap.add_argument("--show", default="", help="comma-separated frames whose multi-target results to print")
    args = ap.parse_args(argv)
    width, height = (int(v) for v in args.size.lower().split("x"))
    every = max(1, args.every)
    status = 0
    if args.frames > 0:
        status |= soak("single target", args.frames, 1, width, height, every, args.profile)
    if args.multi_frames > 0:
        show = {int(v) for v in args.show.split(",") if v.strip()}
        status |= soak("multi target", args.multi_frames, args.targets, width, height, every, args.profile, show)
    return status


if __name__ == "__main__":
    sys.exit(main())
