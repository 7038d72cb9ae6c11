"""Separate trackers share nothing, so they may run in parallel Python threads; the
results must be exactly those of a sequential run. One tracker shared by several threads
serialises their calls: the results are those of some sequential order of the same calls."""

import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest
from molvane_tools.report import TRACK_RESULT_FIELDS
from molvane_tools.scenes.small import disc_stream as stream

import molvane as mv

# Every field a result has, as the host tool writes them.
FIELDS = TRACK_RESULT_FIELDS

FRAMES = 40  # disc_stream's default count


# (kind, profile, seed, targets, channels)
JOBS = [
    ("single", "default", 1, 1, 1),
    ("single", "correlation", 2, 1, 3),
    ("single", "adaptive", 3, 1, 1),
    ("multi", "default", 4, 3, 1),
]


@pytest.fixture(scope="module")
def streams():
    return [stream(seed, targets, ch) for _, _, seed, targets, ch in JOBS]


def run(job, data, start=None):
    kind, profile, *_ = job
    frames, boxes = data
    if kind == "single":
        tr = mv.Tracker(profile)
        tr.lock(frames[0], boxes[0])
    else:
        tr = mv.MultiTracker(profile)
        tr.lock(frames[0], boxes)
    if start is not None:
        start.wait()  # all threads enter their update loops together
    out = []
    for frame in frames[1:]:
        res = tr.update(frame, dt=1.0 / 30)
        for r in res if kind == "multi" else [res]:
            out.append(tuple(getattr(r, f) for f in FIELDS))
    return out


def run_all(streams, workers):
    start = threading.Barrier(min(workers, len(JOBS))) if workers > 1 else None
    t0 = time.perf_counter()
    if workers == 1:
        results = [run(job, data) for job, data in zip(JOBS, streams)]
    else:
        assert workers == len(JOBS)
        with ThreadPoolExecutor(workers) as pool:
            results = list(pool.map(run, JOBS, streams, [start] * len(JOBS)))
    return results, time.perf_counter() - t0


def test_parallel_trackers_match_sequential_run(streams):
    sequential, _ = run_all(streams, 1)
    parallel, _ = run_all(streams, len(JOBS))
    for job, seq, par in zip(JOBS, sequential, parallel):
        assert len(seq) == FRAMES * job[3]
        assert seq == par, job
    # The streams really differ, so a mix-up between trackers would show.
    assert len({tuple(r[0][4:6]) for r in sequential}) == len(JOBS)
    # And they were actually tracked, not merely survived.
    assert sum(not row[1] for row in sequential[0]) >= FRAMES // 2


def test_one_frame_shared_by_many_trackers():
    """Several trackers read the same caller array at once; none may write to it."""
    frames, boxes = stream(9, 4, 3)
    snapshot = [f.copy() for f in frames]
    trackers = [mv.Tracker() for _ in boxes]
    for tr, box in zip(trackers, boxes):
        tr.lock(frames[0], box)

    def follow(tr):
        return [(r.cx, r.cy) for r in (tr.update(f, dt=1.0 / 30) for f in frames[1:])]

    with ThreadPoolExecutor(len(trackers)) as pool:
        tracks = list(pool.map(follow, trackers))
    assert all(np.array_equal(a, b) for a, b in zip(frames, snapshot))
    for i, track in enumerate(tracks):
        alone = mv.Tracker()
        alone.lock(frames[0], boxes[i])
        assert track == follow(alone)


def test_wall_time_one_versus_two_threads():
    """Informational: the interpreter lock is released for the image work, so two
    threads should beat one on a multi-core machine. Printed, not asserted (CI machines
    vary too much)."""
    jobs = [("single", "default"), ("multi", "default")]
    data = [stream(11, 1, 3, 480, 640, 30), stream(12, 2, 3, 480, 640, 30)]
    one = [run(j, d) for j, d in zip(jobs, data)]  # untimed: first use of every code path
    t1 = t2 = float("inf")
    with ThreadPoolExecutor(2) as pool:
        for _ in range(3):  # best of three, each way
            t0 = time.perf_counter()
            assert [run(j, d) for j, d in zip(jobs, data)] == one
            t1 = min(t1, time.perf_counter() - t0)
            start = threading.Barrier(2)
            t0 = time.perf_counter()
            two = list(pool.map(run, jobs, data, [start, start]))
            t2 = min(t2, time.perf_counter() - t0)
            assert one == two
    print(
        f"\n2 trackers x 30 frames of 640x480: 1 thread {t1 * 1e3:.1f} ms, "
        f"2 threads {t2 * 1e3:.1f} ms (speed-up {t1 / t2:.2f}x)"
    )


def rows_of(results):
    return [tuple(getattr(r, f) for f in FIELDS) for r in results]


@pytest.mark.parametrize("kind", ["single", "multi"])
def test_shared_tracker_runs_calls_one_at_a_time(kind):
    """Threads hammer one tracker with identical calls, so every sequential order gives the
    same results: frame numbers 0..n-1 once each, and at each number the result of a plain
    run. Colour frames, so the grey conversion buffer is shared too."""
    frames, boxes = stream(21, 2, 3, count=1)
    frame = frames[1]
    threads, calls = 4, 12

    def locked():
        tr = mv.Tracker() if kind == "single" else mv.MultiTracker()
        tr.lock(frames[0], boxes[0] if kind == "single" else boxes)
        return tr

    def call(tr):
        out = tr.update(frame, dt=1.0 / 30)
        return out if kind == "multi" else [out]

    shared, start = locked(), threading.Barrier(threads)

    def worker(_):
        start.wait()
        return [call(shared) for _ in range(calls)]

    with ThreadPoolExecutor(threads) as pool:
        got = [res for batch in pool.map(worker, range(threads)) for res in batch]
    got.sort(key=lambda res: res[0].frame)
    alone = locked()
    expected = [call(alone) for _ in range(threads * calls)]
    assert [res[0].frame for res in got] == list(range(threads * calls))
    assert [rows_of(res) for res in got] == [rows_of(res) for res in expected]


@pytest.mark.parametrize("kind", ["single", "multi"])
def test_shared_tracker_survives_updates_of_two_sizes_and_relocks(kind):
    """The mix that used to crash: two threads updating with frames of different sizes
    while a third re-locks. Nothing may fail, and the tracker stays usable afterwards."""
    rng = np.random.default_rng(0)
    small = rng.integers(0, 256, (180, 240, 3), np.uint8)
    big = rng.integers(0, 256, (480, 640, 3), np.uint8)
    boxes = [(50, 40, 16, 16), (150, 100, 12, 12)]
    tr = mv.Tracker() if kind == "single" else mv.MultiTracker()

    def lock():
        tr.lock(small, boxes[0] if kind == "single" else boxes)

    lock()
    errors = []

    def loop(fn, n):
        try:
            for _ in range(n):
                fn()
        except Exception as e:  # noqa: BLE001 - any failure is the finding
            errors.append(e)

    jobs = [(lambda: tr.update(small, dt=0.04), 60), (lambda: tr.update(big, dt=0.04), 30), (lock, 15)]
    workers = [threading.Thread(target=loop, args=job) for job in jobs]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    assert errors == []
    lock()
    first = tr.update(small, dt=0.04)
    assert (first if kind == "single" else first[0]).frame == 0


EXIT_SCRIPT = textwrap.dedent("""
    import threading, time
    import numpy as np
    import molvane as mv
    frame = np.random.default_rng(0).integers(0, 256, (480, 640, 3), np.uint8)
    shared = mv.Tracker()
    shared.lock(frame, (300, 200, 16, 16))
    def forever(call):
        while True:
            call()
    multi = mv.MultiTracker()
    multi.lock(frame, [(300, 200, 16, 16), (100, 100, 12, 12)])
    calls = [lambda: shared.update(frame, dt=0.04), lambda: shared.lock(frame, (300, 200, 16, 16)),
             lambda: multi.update(frame, dt=0.04)]
    for call in calls:
        threading.Thread(target=forever, args=(call,), daemon=True).start()
    time.sleep(0.3)
    print("exiting", flush=True)
""")


def test_interpreter_exit_with_daemon_threads_inside_the_engine():
    """The camera-thread pattern: daemon threads still inside update or lock (or waiting
    for the object another one holds) when the interpreter exits. Exit must be clean."""
    runs = [
        subprocess.Popen([sys.executable, "-c", EXIT_SCRIPT], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for _ in range(4)
    ]
    for run in runs:
        out, err = run.communicate(timeout=120)
        assert (run.returncode, out, err) == (0, "exiting\n", "")
