"""The front end every frame goes through: shape checks, grey derivation errors, the
lock/update protocol, the frame clock and the frame reference results keep."""

import math

import numpy as np
import pytest
from molvane_tools.scenes.small import sky_frame

import molvane as mv

MSG_SHAPE = "frame must be a 2D or 3D uint8 numpy array"
MSG_NOT_LOCKED = "call lock() before update()"
BOX = (30, 20, 10, 8)


def raises(exc, message, call):
    with pytest.raises(exc) as info:
        call()
    if message is not None:
        assert str(info.value) == message
    return str(info.value)


LOCKS = {
    "Tracker.lock": lambda f: mv.Tracker().lock(f, BOX),
    "Tracker.initialize": lambda f: mv.Tracker().initialize(f, BOX),
    "MultiTracker.lock": lambda f: mv.MultiTracker().lock(f, [BOX]),
    "MultiTracker.initialize": lambda f: mv.MultiTracker().initialize(f, [BOX]),
}


# --- shape ------------------------------------------------------------------------------------


@pytest.mark.parametrize("lock", LOCKS.values(), ids=LOCKS.keys())
@pytest.mark.parametrize("shape", [(), (10,), (2, 2, 2, 2), (4, 4, 3, 1)])
def test_wrong_number_of_dimensions(lock, shape):
    raises(ValueError, MSG_SHAPE, lambda: lock(np.zeros(shape, np.uint8)))


@pytest.mark.parametrize("lock", LOCKS.values(), ids=LOCKS.keys())
@pytest.mark.parametrize("channels", [0, 513, 600, 1024 + 3])
def test_channel_counts_no_image_can_hold_are_refused_not_reinterpreted(lock, channels):
    # An image header holds 1..512 channels; a count beyond would wrap into another
    # channel count over the same buffer.
    raises(ValueError, MSG_SHAPE, lambda: lock(np.zeros((4, 6, channels), np.uint8)))


@pytest.mark.parametrize("lock", LOCKS.values(), ids=LOCKS.keys())
@pytest.mark.parametrize("channels", [2, 5, 512])
def test_channel_counts_the_grey_conversion_refuses(lock, channels):
    message = raises(RuntimeError, None, lambda: lock(np.zeros((20, 30, channels), np.uint8)))
    assert "OpenCV" in message


@pytest.mark.parametrize("lock", [LOCKS["Tracker.lock"], LOCKS["MultiTracker.lock"]], ids=["Tracker", "MultiTracker"])
def test_empty_colour_frame_fails_in_the_grey_conversion(lock):
    message = raises(RuntimeError, None, lambda: lock(np.zeros((0, 10, 3), np.uint8)))
    assert "OpenCV" in message and "empty" in message


def test_grey_and_colour_frames_of_every_accepted_layout_get_past_intake():
    grey = sky_frame(channels=1)
    wide = np.zeros((grey.shape[0], grey.shape[1] * 2), np.uint8)
    wide[:, ::2] = grey
    frames = [
        grey,
        grey[:, :, None],
        sky_frame(channels=3),
        sky_frame(channels=4),
        wide[:, ::2],
        np.asfortranarray(grey),
        grey.astype(np.float64),
    ]
    readonly = grey.copy()
    readonly.flags.writeable = False
    frames.append(readonly)
    for f in frames:
        for lock in LOCKS.values():
            lock(f)


# --- lock / update protocol ---------------------------------------------------------------------


@pytest.mark.parametrize("cls", [mv.Tracker, mv.MultiTracker])
@pytest.mark.parametrize("frame", [sky_frame(), np.zeros(5, np.uint8), np.zeros((4, 4, 2), np.uint8)])
def test_update_before_lock_is_refused_before_the_frame_is_looked_at(cls, frame):
    t = cls()
    raises(RuntimeError, MSG_NOT_LOCKED, lambda: t.update(frame))
    raises(RuntimeError, MSG_NOT_LOCKED, lambda: t.update(frame, dt=0.04))


@pytest.mark.parametrize("method", ["lock", "initialize"])
def test_multi_lock_checks_boxes_then_frame_then_box_count(method):
    m = mv.MultiTracker()
    lock = getattr(m, method)
    f = sky_frame()
    empty = np.zeros((0, 0), np.uint8)
    raises(ValueError, "MultiTracker requires at least one target bbox", lambda: lock(f, []))
    raises(ValueError, "bbox width and height must be positive", lambda: lock(f, [(0, 0, 0, 5)]))
    raises(ValueError, "bbox width and height must be positive", lambda: lock(f, [(0, 0, 5, -1)]))
    # A bad box anywhere in the list refuses the whole list.
    raises(ValueError, "bbox width and height must be positive", lambda: lock(f, [BOX, (1, 1, 5, 0)]))
    raises(ValueError, "frame must not be empty", lambda: lock(empty, [(0, 0, 5, 5)]))
    raises(ValueError, "frame must not be empty", lambda: lock(np.zeros((0, 7), np.uint8), [(0, 0, 5, 5)]))
    # Order: the frame's shape, then the boxes, then emptiness, then the box count.
    raises(ValueError, MSG_SHAPE, lambda: lock(np.zeros(5, np.uint8), [(0, 0, 0, 5)]))
    raises(ValueError, "bbox width and height must be positive", lambda: lock(empty, [(0, 0, 0, 5)]))
    raises(ValueError, "frame must not be empty", lambda: lock(empty, []))
    assert m.size() == 0
    raises(RuntimeError, MSG_NOT_LOCKED, lambda: m.update(f))


# --- lock, update and annotate -------------------------------------------------------------------


def test_frames_are_numbered_from_each_lock():
    t = mv.Tracker()
    f = sky_frame()
    t.lock(f, BOX)
    assert [t.update(f, dt=0.04).frame for _ in range(3)] == [0, 1, 2]
    t.lock(f, BOX)
    assert t.update(f).frame == 0
    assert t.update(f, dt=0).frame == 1
    assert t.update(f, dt=-5).frame == 2


def test_non_finite_dt_reaches_the_engine_and_costs_no_frame_number():
    t = mv.Tracker()
    f = sky_frame()
    t.lock(f, BOX)
    assert t.update(f, dt=0.04).frame == 0
    for bad in (math.inf, math.nan, -math.nan):
        raises(ValueError, "dtSeconds must be finite", lambda bad=bad: t.update(f, dt=bad))
    # Tiny intervals are floored, minus infinity measures: both are fine.
    assert [t.update(f, dt=d).frame for d in (1e-9, -math.inf)] == [1, 2]


def test_failed_lock_leaves_the_tracker_as_it_was():
    f = sky_frame()
    fresh = mv.Tracker()
    with pytest.raises(ValueError):
        fresh.lock(f, (500, 500, 5, 5))
    raises(RuntimeError, MSG_NOT_LOCKED, lambda: fresh.update(f))
    t = mv.Tracker()
    t.lock(f, BOX)
    t.update(f, dt=0.04)
    with pytest.raises(ValueError):
        t.lock(f, (500, 500, 5, 5))
    assert t.update(f, dt=0.04).frame == 1


def test_result_fields_hold_together():
    t = mv.Tracker()
    f = sky_frame()
    t.lock(f, BOX)
    r = t.update(f, dt=0.04)
    assert r.target_id == r.id == 1
    assert r.bbox() == (r.bbox_x, r.bbox_y, r.bbox_w, r.bbox_h)
    assert r.center() == (r.cx, r.cy)
    assert r.lost == (r.state == "lost")
    assert r.state in ("confirmed", "tentative", "lost")
    assert not r.suppressed and r.suppressed_by_id == 0 and not r.prediction_only and not r.interacting
    assert r.anchor_appearance == 0.0 and r.geometry_confidence == 0.0
    for name in ("frame", "id", "hits", "misses", "suppressed_by_id"):
        assert type(getattr(r, name)) is int
    for name in ("cx", "bbox_w", "speed", "confidence", "target_score"):
        assert type(getattr(r, name)) is float
    for name in ("frame", "lost", "bbox_x", "reason"):
        with pytest.raises(AttributeError):
            setattr(r, name, getattr(r, name))
    # Results are snapshots: a later update does not change them.
    before = (r.frame, r.bbox(), r.hits)
    t.update(sky_frame(target=(34, 22, 10, 8)), dt=0.04)
    assert (r.frame, r.bbox(), r.hits) == before


def test_config_overload_equals_profile_name():
    frames = [sky_frame(target=(30 + 2 * k, 20 + k, 10, 8)) for k in range(4)]

    def run(tracker):
        tracker.lock(frames[0], BOX)
        return [(r.bbox(), r.state, r.reason) for r in (tracker.update(f, dt=0.04) for f in frames[1:])]

    c = mv.TrackerConfig()
    assert run(mv.Tracker(c)) == run(mv.Tracker("default")) == run(mv.Tracker())
    c.profile = "adaptive"
    assert run(mv.Tracker(c)) == run(mv.Tracker("ADAPTIVE"))


@pytest.mark.parametrize(
    "shape_in, shape_out",
    [
        ((60, 80), (60, 80)),
        ((60, 80, 1), (60, 80)),
        ((60, 80, 3), (60, 80, 3)),
        ((60, 80, 4), (60, 80, 4)),
    ],
)
def test_annotate_returns_a_new_picture_of_the_frame(shape_in, shape_out):
    channels = shape_in[2] if len(shape_in) == 3 else 1
    f = sky_frame(channels=channels).reshape(shape_in)
    t = mv.Tracker()
    t.lock(f, BOX)
    r = t.update(f, dt=0.04)
    assert not r.lost, r.reason
    original = f.copy()
    pic = r.annotate()
    assert pic.shape == shape_out and pic.dtype == np.uint8
    assert pic.flags.c_contiguous and pic.flags.writeable and pic.flags.owndata
    assert not np.shares_memory(pic, f)
    np.testing.assert_array_equal(f, original)
    assert (pic.reshape(f.shape) != f).any(), "the overlay is drawn"
    pic[...] = 0
    np.testing.assert_array_equal(f, original)
    assert r.annotate() is not pic

    # A lost result's picture is an exact copy of its frame.
    sky = sky_frame(channels=channels, target=None, seed=5).reshape(shape_in)
    lost = next((r for r in (t.update(sky, dt=0.04) for _ in range(6)) if r.lost), None)
    assert lost is not None
    pic = lost.annotate()
    assert pic.shape == shape_out and not np.shares_memory(pic, sky)
    np.testing.assert_array_equal(pic.reshape(sky.shape), sky)


def test_results_refer_to_the_frame_they_came_from():
    t = mv.Tracker()
    f = sky_frame()
    t.lock(f, BOX)
    r = t.update(f, dt=0.04)
    # The caller's C-contiguous array is referred to, not copied: later writes show.
    f[:] = 7
    pic = r.annotate()
    assert (pic == 7).mean() > 0.5
    # A non-contiguous frame is converted first; results refer to that converted copy.
    wide = np.repeat(sky_frame(), 2, axis=1)
    view = wide[:, ::2]
    r2 = t.update(view, dt=0.04)
    wide[:] = 9
    assert (r2.annotate() == 9).mean() < 0.5


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_annotate_survives_the_frame_being_reshaped_in_place():
    t = mv.Tracker()
    f = sky_frame()
    t.lock(f, BOX)
    r = t.update(f, dt=0.04)
    f.shape = (f.size,)
    raises(ValueError, MSG_SHAPE, r.annotate)
    f.shape = (60, 80)
    assert r.annotate().shape == (60, 80)


def test_multi_tracker_numbers_frames_and_orders_ids():
    m = mv.MultiTracker()
    f = sky_frame(rows=80, cols=100, target=(10, 10, 10, 10))
    f[50:58, 60:68] = 30
    m.lock(f, [(10, 10, 10, 10), (60, 50, 8, 8)])
    assert m.size() == 2
    for n in range(3):
        results = m.update(f, dt=0.04)
        assert [r.id for r in results] == [1, 2]
        assert [r.target_id for r in results] == [1, 2]
        assert all(r.frame == n for r in results)
    m.initialize(f, [(60, 50, 8, 8)])
    assert m.size() == 1
    assert [r.frame for r in m.update(f)] == [0]
    raises(ValueError, "dtSeconds must be finite", lambda: m.update(f, dt=math.inf))
    raises(ValueError, "dtSeconds must be finite", lambda: m.update(f, dt=math.nan))
    assert m.update(f, dt=0.04)[0].frame == 1
