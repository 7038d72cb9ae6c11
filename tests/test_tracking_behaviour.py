"""Single-target tracking behaviour on synthetic sky sequences: staying on static and moving
targets, losing a vanished target and reacquiring it, determinism and every profile."""

import math

import pytest
from molvane_tools.scenes.small import (
    gap_sequence,
    leaving_sequence,
    moving_sequence,
    static_sequence,
    vanishing_by_mast_sequence,
)

import molvane as mv

DT = 1.0 / 30.0
PROFILES = ["default", "correlation", "adaptive", "fast-sky", "birds", "close-pass", "missile", "scale-target"]
LOST_REASONS = {
    "lost-low-template",
    "lost-low-template-psr",
    "lost-ambiguous-template",
    "lost-search-small",
    "lost-speed-gate",
    "lost-low-confidence",
    "lost-owned-region",
    "lost-sky-search",
    "lost-confirming",
}
OBSERVATION_REASONS = {
    "correlation",
    "motion",
    "template",
    "correlation+foreground-box",
    "correlation-guarded",
    "boundary",
    "foreground",
    "contrast",
    "sky-reacquire",
    "reacquire-wide",
    "reacquire-full",
}


def track(seq, profile, dt=DT):
    tracker = mv.Tracker(profile)
    tracker.lock(seq.frame(0), seq.seed_box(0))
    return [tracker.update(seq.frame(i), dt=dt) for i in range(1, len(seq))]


def on_target(result, centre, tolerance=3.0):
    inside = (
        result.bbox_x <= centre[0] <= result.bbox_x + result.bbox_w
        and result.bbox_y <= centre[1] <= result.bbox_y + result.bbox_h
    )
    return inside and math.hypot(result.cx - centre[0], result.cy - centre[1]) <= tolerance


@pytest.mark.parametrize("profile", ["default", "correlation", "adaptive", "birds", "missile"])
@pytest.mark.parametrize("make", [static_sequence, moving_sequence], ids=["static", "moving"])
def test_a_small_target_stays_confirmed_with_the_box_on_it(make, profile):
    seq = make(count=16)
    results = track(seq, profile)
    for i, r in enumerate(results, start=1):
        assert r.state == "confirmed", (i, r.reason)
        assert not r.lost
        assert r.reason in OBSERVATION_REASONS
        assert on_target(r, seq.path[i]), (i, r.cx, r.cy, seq.path[i])
        assert r.misses == 0 and r.hits == i + 1
    # The box keeps the size of a small target.
    assert all(4 <= r.bbox_w <= 30 and 4 <= r.bbox_h <= 30 for r in results)


def test_a_moving_target_reports_its_speed():
    seq = moving_sequence(count=16, velocity=(3.0, 1.0))
    results = track(seq, "default")
    expected = math.hypot(3.0, 1.0) / DT  # about 95 px/s
    assert results[-1].speed == pytest.approx(expected, rel=0.2)
    assert results[0].speed < results[-1].speed  # the velocity is learned gradually


def test_a_colour_sequence_tracks_like_the_grey_one():
    seq = moving_sequence(count=12, colour=True)
    results = track(seq, "birds")
    assert all(r.state == "confirmed" and on_target(r, seq.path[i]) for i, r in enumerate(results, start=1))


@pytest.mark.parametrize("profile", ["default", "fast-sky", "birds"])
def test_a_vanished_target_is_lost_then_reacquired_through_a_confirmation(profile):
    before, gap = 10, 14
    seq = gap_sequence(before=before, gap=gap, after=10)
    results = track(seq, profile)
    absent = results[before - 1 : before - 1 + gap]
    back = results[before - 1 + gap :]

    # Lost within five frames of vanishing, and never confirmed on the empty sky after that.
    assert all(r.state == "lost" for r in absent[5:]), [r.state for r in absent]
    for r in absent:
        if r.lost:
            assert r.reason in LOST_REASONS
            assert r.confidence == 0.0 or r.reason == "lost-confirming"

    # The return is confirmed only after a second look: a tentative result, or the sky
    # search's "lost-confirming".
    states = [r.state for r in back]
    first = next(k for k, s in enumerate(states) if s != "lost")
    earlier = back[first - 1] if first > 0 else absent[-1]
    assert states[first] == "tentative" or earlier.reason == "lost-confirming", [r.reason for r in back]
    assert back[first].misses == 0
    assert "confirmed" in states[first:], states
    # Once confirmed again it stays on the target.
    for k, r in enumerate(back[-4:]):
        assert r.state == "confirmed"
        assert on_target(r, seq.path[len(seq) - 4 + k])


def test_a_target_that_never_returns_ends_in_the_sky_search():
    seq = leaving_sequence(count=40)
    results = track(seq, "fast-sky")
    tail = results[-8:]
    assert all(r.lost for r in tail)
    assert {r.reason for r in tail} <= LOST_REASONS
    assert [r.misses for r in tail] == list(range(tail[0].misses, tail[0].misses + len(tail)))
    assert all(r.hits == tail[0].hits for r in tail)  # no observation is credited while lost


def _fields(r):
    return (
        r.frame,
        r.state,
        r.reason,
        r.cx,
        r.cy,
        r.bbox(),
        r.hits,
        r.misses,
        r.target_score,
        r.target_candidate_score,
        r.confidence,
        r.speed,
    )


@pytest.mark.parametrize("profile", ["default", "adaptive"])
def test_two_trackers_on_the_same_frames_agree_exactly(profile):
    seq = gap_sequence(before=6, gap=6, after=6)
    a = track(seq, profile)
    b = track(seq, profile)
    assert [_fields(r) for r in a] == [_fields(r) for r in b]


@pytest.mark.parametrize("profile", PROFILES)
def test_every_profile_locks_and_tracks(profile):
    seq = moving_sequence(count=8)
    results = track(seq, profile)
    assert len(results) == 7
    for r in results:
        assert r.state in {"confirmed", "tentative", "lost"}
        assert all(math.isfinite(v) for v in (r.cx, r.cy, r.bbox_w, r.bbox_h, r.speed, r.confidence))
    assert sum(r.state == "confirmed" for r in results) >= 6
    assert on_target(results[-1], seq.path[-1])


def track_all(seq, profile, multi):
    if not multi:
        return track(seq, profile)
    tracker = mv.MultiTracker(profile)
    tracker.lock(seq.frame(0), [seq.seed_box(0)])
    return [tracker.update(seq.frame(i), dt=DT)[0] for i in range(1, len(seq))]


@pytest.mark.parametrize("multi", [False, True], ids=["Tracker", "MultiTracker"])
@pytest.mark.parametrize("profile", PROFILES)
@pytest.mark.parametrize("make", [leaving_sequence, vanishing_by_mast_sequence], ids=["leaves", "by-mast"])
def test_a_target_that_is_gone_is_lost_within_five_frames_and_stays_lost(make, profile, multi):
    seq = make()
    results = track_all(seq, profile, multi)
    gone = seq.path.index(None)  # first frame without the target
    after = results[gone - 1 + 5 :]  # results[i - 1] belongs to frame i
    assert after and all(r.state == "lost" and r.lost for r in after), [(r.state, r.reason) for r in after]
    assert all(r.reason in LOST_REASONS or r.reason.startswith("prediction") for r in after)
    assert all(r.confidence == 0.0 for r in after)
