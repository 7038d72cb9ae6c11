"""Multi-target tracking on synthetic sky sequences: ownership, identity protection through
crossings, interaction hold, unobserved targets and a failed re-lock."""

import math

import close_pass_bench as cpb
import pytest
from molvane_tools.scenes import cost, named, passes
from molvane_tools.scenes.small import drone_box as seed_box
from molvane_tools.scenes.small import drone_frames as render

import molvane as mv

COLS = 240  # width of the drone frames
DT = 1.0 / 30.0


def run(frames, boxes, profile="default"):
    tracker = mv.MultiTracker(profile)
    tracker.lock(frames[0], boxes)
    return tracker, [tracker.update(f, DT) for f in frames[1:]]


def dist(result, p):
    return math.hypot(result.cx - p[0], result.cy - p[1])


def observing(r):
    """A result that claims to see its target this frame."""
    return not r.lost and not r.suppressed and not r.prediction_only


def test_far_apart_targets_both_own_their_observations():
    paths = [lambda t: (40 + 1.5 * t, 50 + 0.5 * t), lambda t: (190 - 1.0 * t, 130)]
    frames = render(paths, 31)
    tracker, history = run(frames, [seed_box(p(0)) for p in paths])
    assert tracker.size() == 2
    for t, results in enumerate(history, start=1):
        assert [r.id for r in results] == [1, 2]
        assert [r.frame for r in results] == [t - 1, t - 1]
        for r, path in zip(results, paths):
            assert r.target_id == r.id
            assert not r.suppressed and not r.interacting and not r.prediction_only
            assert r.suppressed_by_id == 0
            assert not r.lost, (t, r.id, r.reason)
            assert dist(r, path(t)) < 5.0, (t, r.id, r.cx, r.cy)
    assert all(r.state == "confirmed" for r in history[-1])


def crossing(separation_y):
    """Two identical drones flying at each other, crossing at frame 14 and parting again."""
    return [lambda t: (50 + 5.0 * t, 90 - separation_y / 2.0), lambda t: (190 - 5.0 * t, 90 + separation_y / 2.0)]


@pytest.mark.parametrize("separation_y", [0, 6])
def test_identical_drones_crossing_keep_their_ids(separation_y):
    paths = crossing(separation_y)
    frames = render(paths, 31, seed=3)
    _, history = run(frames, [seed_box(p(0)) for p in paths])
    for t, results in enumerate(history, start=1):
        truth = [p(t) for p in paths]
        seeing = [r for r in results if observing(r)]
        # One object is never reported by two unsuppressed ids, unless the objects themselves
        # sit on top of each other.
        if math.dist(*truth) > 16 and len(seeing) == 2:
            nearest = [min(range(2), key=lambda k: dist(r, truth[k])) for r in seeing]
            assert nearest[0] != nearest[1], (t, [(r.id, r.cx, r.cy, r.reason) for r in seeing])
        for r in results:
            if r.suppressed and r.suppressed_by_id:
                assert r.suppressed_by_id != r.id
    # Well after the crossing every target that reports an observation is on its own drone.
    for t in range(len(history) - 8, len(history) + 1):
        for r, path, other in zip(history[t - 1], paths, reversed(paths)):
            if observing(r):
                assert dist(r, path(t)) < dist(r, other(t)), (t, r.id, r.reason)
    final = history[-1]
    assert [r.id for r in final] == [1, 2]
    assert all(observing(r) for r in final), [(r.id, r.reason) for r in final]


def close_pass(angle, closest, speed_ratio, meet=30, speed=3.0):
    """Two drones headed +-angle/2 off the x axis, `closest` px apart at frame `meet`, the
    second flying at `speed_ratio` times the first one's speed."""
    a = math.radians(angle) / 2.0
    va = (speed * math.cos(a), speed * math.sin(a))
    vb = (speed * speed_ratio * math.cos(a), -speed * speed_ratio * math.sin(a))
    rx, ry = va[0] - vb[0], va[1] - vb[1]
    norm = math.hypot(rx, ry)
    nx, ny = -ry / norm * closest / 2.0, rx / norm * closest / 2.0
    return [
        lambda t: (120 + nx + va[0] * (t - meet), 90 + ny + va[1] * (t - meet)),
        lambda t: (120 - nx + vb[0] * (t - meet), 90 - ny + vb[1] * (t - meet)),
    ]


@pytest.mark.parametrize("angle, closest, speed_ratio", [(30, 0, 1.0), (30, 10, 0.6), (60, 5, 1.0), (90, 0, 0.6)])
def test_close_pass_both_targets_reconfirmed_on_their_own_drones(angle, closest, speed_ratio):
    paths = close_pass(angle, closest, speed_ratio)
    frames = render(paths, 76, size=10, seed=5)
    _, history = run(frames, [seed_box(p(0), size=10) for p in paths], profile="close-pass")
    # Apart for good: the true centres stay further apart than the boxes can interact.
    apart = next(t for t in range(30, 76) if all(math.dist(paths[0](u), paths[1](u)) > 20 for u in range(t, 76)))
    assert apart <= 62, "the scene must leave time to re-find both"
    for k in range(2):
        own, other = paths[k], paths[1 - k]
        mine = [results[k] for results in history]
        back = [
            t
            for t in range(apart, 76)
            if mine[t - 1].state == "confirmed" and observing(mine[t - 1]) and dist(mine[t - 1], own(t)) < 5
        ]
        assert back and back[0] - apart <= 10, (k + 1, apart, [(r.state, r.reason) for r in mine[apart - 1 :]])
        for t in range(apart, 76):
            r = mine[t - 1]
            assert not (observing(r) and dist(r, other(t)) < dist(r, own(t))), (t, r.id, r.reason)
    for t, results in enumerate(history, start=1):
        for r, own, other in zip(results, paths, paths[::-1]):
            # While the drones are close, a target that is not seen on its own drone says so.
            if math.dist(own(t), other(t)) < 12 and observing(r):
                assert dist(r, own(t)) < 6, (t, r.id, r.reason)
            # A target hidden by the pass coasts on its motion filter, not left behind
            # where the two met.
            if t == apart and r.prediction_only:
                assert dist(r, own(t)) < dist(r, other(t)), (t, r.id, r.reason)


@pytest.mark.parametrize(
    "scene, profile, max_latency",
    [
        # A 10 degree pass at 0 px: the target that coasts must not take the other drone when
        # the two come apart.
        (lambda: passes.pass_scene(10, 0, 1.0), "close-pass", 10),
        (lambda: passes.pass_scene(30, 10, 0.6), "close-pass", 10),
        # Birds on curving paths: a hidden bird's straight prediction drifts onto a neighbour.
        (lambda: named.make_scene("flock", 240), "default", 10),
    ],
    ids=["10deg-0px", "30deg-10px-slower", "flock"],
)
def test_after_a_pass_no_target_settles_on_another_targets_object(scene, profile, max_latency):
    res = cpb.evaluate(scene(), cpb.MolvaneRun(profile))
    assert res["switches"] == 0 and res["wrong"] == 0, res
    assert res["latency"] is not None and res["latency"] <= max_latency, res


def test_soak_targets_stay_on_their_own_objects_through_their_crossings():
    # Four targets of different sizes and shades on crossing paths (the soak benchmark's sky). Near
    # frames 4000 and 7640 one target, just re-found after a pass, jumps onto the object of
    # the neighbour still hidden by that pass (at 7640 by 18 px in one frame). Near 12420
    # two targets just re-found are hidden again at once, and their predictions must fly on
    # with their objects.
    sky = cost.LoopSky(640, 480, 4)
    tracker = mv.MultiTracker("default")
    tracker.lock(sky.render(0), [sky.box(k, 0) for k in range(4)])
    for t in range(1, 12601):
        for k, r in enumerate(tracker.update(sky.render(t), DT)):
            if r.lost or r.prediction_only or not sky.visible(k, t):
                continue
            err = dist(r, sky.centre(k, t))
            others = [j + 1 for j in range(4) if j != k and sky.visible(j, t) and dist(r, sky.centre(j, t)) < err]
            assert err < 15 or not others, (t, r.id, r.reason, others)


def test_interaction_holds_three_updates_after_separation():
    # 16 px drones 20 px apart interact (within 1.25 x their box size) without being one
    # observation; after frame 6 the second one flies off to the right at 10 px per frame.
    still = 6
    paths = [lambda t: (100, 90), lambda t: (120 + 10.0 * max(0, t - still), 90)]
    frames = render(paths, 16, size=16, seed=5)
    _, history = run(frames, [seed_box(p(0), size=16, pad=1) for p in paths])
    for t in range(1, still + 1):
        for r in history[t - 1]:
            assert observing(r), (t, r.id, r.reason)
            assert r.interacting and r.model_learning_suppressed
    # Apart from frame 7 on: still interacting, and learning still frozen, for three updates.
    for t in range(still + 1, still + 4):
        for r in history[t - 1]:
            assert observing(r) and r.interacting and r.model_learning_suppressed, (t, r.id)
    for t in range(still + 4, len(history) + 1):
        for r in history[t - 1]:
            assert observing(r) and not r.interacting and not r.model_learning_suppressed, (t, r.id)


def test_lost_target_is_a_prediction_for_thirty_misses():
    gone = 4
    paths = [lambda t: (60 + 1.0 * t, 60), lambda t: (180, 130) if t < gone else None]
    # The remaining target is bright and the vanished one dark, so that the vanished one's
    # reacquisition searches cannot take the other for it.
    frames = render(paths, gone + 40, seed=7, values=[250, 45])
    _, history = run(frames, [seed_box(p(0)) for p in paths])
    reported = []
    for t, (first, second) in enumerate(history, start=1):
        assert observing(first), (t, first.reason)
        if t < gone:
            assert observing(second)
            continue
        if second.misses == 0:
            continue
        reported.append((second.misses, second.reason, second.state, second.prediction_only))
        if second.misses <= 30:
            assert second.reason == "prediction-unobserved", (t, second.misses, second.reason)
            # Reported lost (its engine has no observation), with the prediction as its box.
            assert second.state == "lost" and second.prediction_only and second.suppressed
            assert second.suppressed_by_id == 0 and second.lost
            assert second.bbox_w >= 2 and second.bbox_h >= 2
            assert second.confidence == 0.0 and second.target_score == 0.0
        else:
            assert second.lost and second.state == "lost"
            assert not second.prediction_only
            assert not second.reason.startswith("prediction-")
    misses = [m for m, *_ in reported]
    assert 30 in misses and 31 in misses, reported


def test_single_target_lock_reports_lost_not_prediction():
    paths = [lambda t: (120, 90) if t < 3 else None]
    frames = render(paths, 10, seed=9)
    _, history = run(frames, [seed_box(paths[0](0))])
    last = history[-1][0]
    assert last.lost and last.misses > 0
    assert not last.prediction_only and last.reason != "prediction-unobserved"


def test_failed_relock_keeps_the_previous_targets():
    paths = [lambda t: (50 + 2.0 * t, 60), lambda t: (180, 120 - 1.5 * t)]
    frames = render(paths, 12, seed=11)
    boxes = [seed_box(p(0)) for p in paths]
    reference, expected = run(frames, boxes)

    tracker = mv.MultiTracker()
    tracker.lock(frames[0], boxes)
    got = [tracker.update(f, DT) for f in frames[1:6]]
    bad_relocks = [
        ([boxes[0], (COLS + 50, 10, 12, 12)], "target bbox is outside the frame"),
        ([boxes[0], (10, 10, 0, 5)], "bbox width and height must be positive"),
        ([], "MultiTracker requires at least one target bbox"),
    ]
    for bad, message in bad_relocks:
        with pytest.raises(ValueError, match=message):
            tracker.lock(frames[5], bad)
        assert tracker.size() == 2
    got += [tracker.update(f, DT) for f in frames[6:]]

    fields = (
        "frame",
        "id",
        "state",
        "cx",
        "cy",
        "bbox_x",
        "bbox_y",
        "bbox_w",
        "bbox_h",
        "hits",
        "misses",
        "confidence",
        "reason",
        "suppressed",
        "interacting",
    )
    for a, b in zip(got, expected):
        assert [[getattr(r, f) for f in fields] for r in a] == [[getattr(r, f) for f in fields] for r in b]

    # A successful re-lock replaces everything and numbers from 1 again.
    tracker.lock(frames[6], [boxes[1]])
    assert tracker.size() == 1
    results = tracker.update(frames[7], DT)
    assert [r.id for r in results] == [1] and results[0].frame == 0
