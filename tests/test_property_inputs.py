"""Hostile and unusual input for both trackers, generated with hypothesis.

Every call must end either with a sane result or with one of the documented
exceptions, and a failed call must leave the tracker usable. Frames and boxes come
from small synthetic sky scenes so that a run stays within a few seconds.
"""

import math
import os
import warnings

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule
from molvane_tools.scenes.small import input_box as target_box
from molvane_tools.scenes.small import input_frame as scene

import molvane as mv

# Under the sanitizers everything runs several times slower: fewer, fixed examples.
# MOLVANE_FUZZ_EXAMPLES asks for a longer hunt locally.
_UNDER_SANITIZER = os.environ.get("MOLVANE_HYPOTHESIS_PROFILE") == "sanitize"
SETTINGS = settings(
    max_examples=int(os.environ.get("MOLVANE_FUZZ_EXAMPLES", 10 if _UNDER_SANITIZER else 25)),
    derandomize=_UNDER_SANITIZER,
    deadline=None,
    suppress_health_check=[HealthCheck.too_slow],
)

INT32_MIN, INT32_MAX = -(2**31), 2**31 - 1

MSG_NDIM = "frame must be a 2D or 3D uint8 numpy array"
MSG_OUTSIDE = "target bbox is outside the frame"
MSG_NOT_LOCKED = "call lock() before update()"
MSG_DT = "dtSeconds must be finite"
MSG_POSITIVE = "bbox width and height must be positive"
MSG_EMPTY = "frame must not be empty"
MSG_NO_BOXES = "MultiTracker requires at least one target bbox"

REASONS = {
    "init",
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
    "lost-low-template",
    "lost-low-template-psr",
    "lost-ambiguous-template",
    "lost-search-small",
    "lost-speed-gate",
    "lost-low-confidence",
    "lost-owned-region",
    "lost-sky-search",
    "lost-confirming",
    "coast-ambiguous-owner",
    "coast-owned-by-other",
    "coast-weak-reacquire",
    "prediction-ambiguous-owner",
    "prediction-owned-by-other",
    "prediction-weak-reacquire",
    "prediction-unobserved",
}

# dt values the front end and the engine must survive. +inf and NaN are the only ones refused.
SPECIAL_DTS = [
    -1.0,
    0.0,
    -0.0,
    -5.0,
    float("-inf"),
    float("nan"),
    float("inf"),
    5e-324,
    2.2250738585072014e-308,
    1e-12,
    1e-4,
    1.0 / 240.0,
    0.04,
    1.0,
    60.0,
    1e6,
    1e30,
    1e300,
    1.7976931348623157e308,
]
DTS = st.one_of(st.sampled_from(SPECIAL_DTS), st.floats(min_value=0.005, max_value=0.1))

# Frame sizes (rows, cols): degenerate, thin, small and ordinary.
SIZES = [(1, 1), (2, 2), (1, 7), (9, 1), (3, 5), (16, 16), (48, 64), (96, 128), (120, 90), (1, 240), (230, 1)]


# --------------------------------------------------------------------------- scenes

# Patterns of scene(); the sky twice, so that it is drawn most often.
PATTERNS = ["sky", "sky", "flat", "black", "white", "noise", "checker"]


# --------------------------------------------------------------------------- checks


def overlaps(box, rows, cols):
    """Whether the engine must accept the box: one pixel of overlap in each axis."""
    x, y, w, h = box
    return min(x + w, cols) - max(x, 0) >= 1 and min(y + h, rows) - max(y, 0) >= 1


def check_result(r, frame, expected_frame, expected_id=1):
    assert r.frame == expected_frame
    assert r.id == expected_id and r.target_id == expected_id
    for name in (
        "cx",
        "cy",
        "bbox_x",
        "bbox_y",
        "bbox_w",
        "bbox_h",
        "speed",
        "target_score",
        "target_candidate_score",
        "anchor_appearance",
        "geometry_confidence",
    ):
        assert math.isfinite(getattr(r, name)), (name, getattr(r, name), r.reason)
    assert r.bbox_w >= 0 and r.bbox_h >= 0 and r.speed >= 0
    assert 0.0 <= r.confidence <= 1.0
    assert r.state in ("tentative", "confirmed", "lost")
    assert r.lost == (r.state == "lost")
    assert r.reason in REASONS
    picture = r.annotate()
    assert picture.dtype == np.uint8 and picture.shape[:2] == frame.shape[:2]


def expect_error(exc_type, message, fn, *args, **kwargs):
    with pytest.raises(exc_type) as info:
        fn(*args, **kwargs)
    if message is not None:
        assert str(info.value) == message
    return info.value


def locked_tracker(rows=48, cols=64, channels=1, profile="default"):
    tr = mv.Tracker(profile)
    tr.lock(scene(rows, cols, channels, 0), target_box(rows, cols, 0))
    return tr


# ------------------------------------------------------------------ frame intake


@st.composite
def odd_arrays(draw):
    """Arrays of assorted rank, dtype, channel count and memory layout."""
    ndim = draw(st.sampled_from([0, 1, 2, 2, 3, 3, 3, 4]))
    rows = draw(st.integers(0, 12))
    cols = draw(st.integers(0, 12))
    if ndim == 0:
        shape = ()
    elif ndim == 1:
        shape = (cols,)
    elif ndim == 2:
        shape = (rows, cols)
    elif ndim == 3:
        shape = (rows, cols, draw(st.sampled_from([0, 1, 2, 3, 4, 5, 6, 512, 513])))
    else:
        shape = (rows, cols, 2, 2)
    dtype = draw(st.sampled_from(["uint8", "uint8", "int8", "uint16", "int32", "float32", "float64", "bool"]))
    layout = draw(st.sampled_from(["c", "fortran", "strided", "reversed", "readonly"]))
    rng = np.random.default_rng(draw(st.integers(0, 2**16)))
    if layout == "strided" and ndim >= 1:
        big = tuple(2 * s for s in shape[:2]) + tuple(shape[2:])
        arr = rng.integers(0, 256, big).astype(dtype)[tuple(slice(None, None, 2) for _ in shape[:2])]
    else:
        arr = rng.integers(0, 256, shape).astype(dtype)
        if layout == "fortran":
            arr = np.asfortranarray(arr)
        elif layout == "reversed" and ndim >= 1:
            arr = arr[::-1]
        elif layout == "readonly":
            arr.flags.writeable = False
    return arr


def intake_outcome(arr):
    """(exception type or None, exact message or None) the front end must produce when
    locking onto a box that covers the whole array."""
    if arr.ndim not in (2, 3):
        return ValueError, MSG_NDIM
    rows, cols = arr.shape[:2]
    channels = arr.shape[2] if arr.ndim == 3 else 1
    if channels == 0 or channels > 512:
        return (ValueError, RuntimeError), None  # no image of that many channels exists
    if channels == 1:
        return (None, None) if rows and cols else (ValueError, MSG_OUTSIDE)
    if channels in (3, 4) and rows and cols:
        return None, None
    return RuntimeError, None  # the colour conversion refuses the channel count


@SETTINGS
@given(arr=odd_arrays())
def test_frame_intake_accepts_or_refuses_cleanly(arr):
    expected, message = intake_outcome(arr)
    box = (0, 0, max(arr.shape[1] if arr.ndim > 1 else 1, 1), max(arr.shape[0] if arr.ndim else 1, 1))
    tr = mv.Tracker()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")  # numpy's own casting warnings
        try:
            if expected is None:
                tr.lock(arr, box)
                for n in range(2):
                    check_result(tr.update(arr, dt=0.04), arr, n)
            else:
                expect_error(expected, message, tr.lock, arr, box)
                expect_error(RuntimeError, MSG_NOT_LOCKED, tr.update, arr)
        except TypeError:
            # NumPy may refuse to cast some dtypes; uint8 input must always convert.
            assert arr.dtype != np.uint8
            # A failed lock leaves the tracker lockable.
            good = scene(24, 32, 1, 0)
            tr.lock(good, (10, 8, 8, 8))
            check_result(tr.update(good, dt=0.04), good, 0)


# ------------------------------------------------------------------ boxes


def coordinate(extent):
    return st.one_of(
        st.integers(-4, extent + 4),
        st.sampled_from([INT32_MIN, INT32_MIN + 1, -(2**30), 2**30, INT32_MAX - 1, INT32_MAX]),
        st.integers(INT32_MIN, INT32_MAX),
    )


def extent(limit):
    return st.one_of(
        st.integers(-3, limit + 4),
        st.sampled_from([0, -1, INT32_MIN, INT32_MAX, INT32_MAX - 1, 2**30]),
    )


@st.composite
def boxes(draw, rows, cols):
    """Half of them ordinary boxes that overlap the frame (often across an edge), half
    anything at all, int32 limits included."""
    if draw(st.booleans()):
        x, y = draw(st.integers(-cols, cols - 1)), draw(st.integers(-rows, rows - 1))
        w = draw(st.one_of(st.integers(1 - x, 2 * cols + 2), st.just(INT32_MAX)))
        h = draw(st.one_of(st.integers(1 - y, 2 * rows + 2), st.just(INT32_MAX)))
        return (x, y, max(w, 1), max(h, 1))
    return (draw(coordinate(cols)), draw(coordinate(rows)), draw(extent(cols)), draw(extent(rows)))


@SETTINGS
@given(
    data=st.data(),
    size=st.sampled_from(SIZES),
    channels=st.sampled_from([1, 3, 4]),
    profile=st.sampled_from(["default", "correlation", "adaptive"]),
)
def test_tracker_lock_box_extremes(data, size, channels, profile):
    rows, cols = size
    frame = scene(rows, cols, channels, 0)
    box = data.draw(boxes(rows, cols))
    tr = mv.Tracker(profile)
    if overlaps(box, rows, cols):
        tr.lock(frame, box)
        for t in range(1, 4):
            nxt = scene(rows, cols, channels, t)
            check_result(tr.update(nxt, dt=0.04), nxt, t - 1)
    else:
        expect_error(ValueError, MSG_OUTSIDE, tr.lock, frame, box)
        expect_error(RuntimeError, MSG_NOT_LOCKED, tr.update, frame)


@SETTINGS
@given(data=st.data(), size=st.sampled_from(SIZES), count=st.integers(1, 3))
def test_multi_lock_box_extremes(data, size, count):
    rows, cols = size
    frame = scene(rows, cols, 1, 0)
    bxs = [data.draw(boxes(rows, cols)) for _ in range(count)]
    mt = mv.MultiTracker()
    if any(w <= 0 or h <= 0 for _, _, w, h in bxs):
        expect_error(ValueError, MSG_POSITIVE, mt.lock, frame, bxs)
        assert mt.size() == 0
        return
    refused = [k for k, b in enumerate(bxs, 1) if not overlaps(b, rows, cols)]
    if refused:
        # A refused box leaves the tracker exactly as it was: no partial seeding.
        expect_error(ValueError, MSG_OUTSIDE, mt.lock, frame, bxs)
        assert mt.size() == 0
        expect_error(RuntimeError, MSG_NOT_LOCKED, mt.update, frame)
        return
    mt.lock(frame, bxs)
    assert mt.size() == count
    for t in range(1, 4):
        nxt = scene(rows, cols, 1, t)
        results = mt.update(nxt, dt=0.04)
        assert [r.id for r in results] == list(range(1, count + 1))
        for r in results:
            check_result(r, nxt, t - 1, r.id)


@pytest.mark.parametrize(
    "bbox, accepted",
    [
        ((5, 5, INT32_MAX, INT32_MAX), True),  # x + w beyond int32, still covers the frame
        ((-(2**30), -(2**30), INT32_MAX, INT32_MAX), True),
        ((63, 47, INT32_MAX, INT32_MAX), True),  # the last pixel only
        ((INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX), False),
        ((INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX), False),  # ends at -1
        ((INT32_MIN, 0, INT32_MAX, 10), False),
        ((64, 0, INT32_MAX, 10), False),  # starts just right of the frame
        ((-10, -10, 10, 10), False),  # ends just before it
    ],
)
@pytest.mark.parametrize("kind", ["single", "multi"])
def test_boxes_at_int32_limits(kind, bbox, accepted):
    rows, cols = 48, 64
    frame = scene(rows, cols, 3, 0)
    tr = mv.Tracker() if kind == "single" else mv.MultiTracker()
    arg = bbox if kind == "single" else [bbox]
    if not accepted:
        expect_error(ValueError, MSG_OUTSIDE, tr.lock, frame, arg)
        expect_error(RuntimeError, MSG_NOT_LOCKED, tr.update, frame)
        return
    tr.lock(frame, arg)
    for n in range(4):
        nxt = scene(rows, cols, 3, n + 1)
        out = tr.update(nxt, dt=0.04)
        for r in out if kind == "multi" else [out]:
            check_result(r, nxt, n)
            # The engine works on the clipped box: nothing of the int32-sized box survives.
            assert r.bbox_w <= cols + 1 and r.bbox_h <= rows + 1


@pytest.mark.parametrize(
    "bbox",
    [
        (1.5, 2, 8, 8),  # float element
        (1, 2, 8),  # three elements
        (1, 2, 8, 8, 1),  # five elements
        (2**31, 0, 8, 8),  # beyond int32
        (0, 0, 8, -(2**31) - 1),
        ("1", 2, 8, 8),
        None,
    ],
)
def test_unconvertible_boxes_raise_type_error(bbox):
    frame = scene(24, 32, 1, 0)
    tr, mt = mv.Tracker(), mv.MultiTracker()
    with pytest.raises(TypeError):
        tr.lock(frame, bbox)
    with pytest.raises(TypeError):
        mt.lock(frame, [(2, 2, 6, 6), bbox])
    assert mt.size() == 0
    # numpy integers are valid box elements.
    tr.lock(frame, tuple(np.int64(v) for v in (10, 8, 8, 8)))
    check_result(tr.update(frame, dt=0.04), frame, 0)


# ------------------------------------------------------------------ frame intervals


@SETTINGS
@given(dts=st.lists(DTS, min_size=1, max_size=8), channels=st.sampled_from([1, 3]))
def test_dt_values_never_poison_results(dts, channels):
    rows, cols = 48, 64
    tr = locked_tracker(rows, cols, channels)
    done = 0
    for t, dt in enumerate(dts, 1):
        frame = scene(rows, cols, channels, t)
        if dt == float("inf") or math.isnan(dt):
            expect_error(ValueError, MSG_DT, tr.update, frame, dt)
        else:
            check_result(tr.update(frame, dt=dt), frame, done)
            done += 1
    frame = scene(rows, cols, channels, len(dts) + 1)
    check_result(tr.update(frame, dt=0.04), frame, done)


@pytest.mark.parametrize("huge_dt", [1e6, 1e30, 1e300, 1.7976931348623157e308])
@pytest.mark.parametrize("kind", ["single", "multi"])
def test_huge_interval_after_motion_keeps_results_finite(kind, huge_dt):
    """A target with a real velocity, then one enormous frame interval: the prediction
    must not run off to infinity."""
    rows, cols = 96, 128
    tr = mv.Tracker() if kind == "single" else mv.MultiTracker()
    box = target_box(rows, cols, 0)
    tr.lock(scene(rows, cols, 1, 0), box if kind == "single" else [box])
    n = 0

    def step(t, dt):
        nonlocal n
        frame = scene(rows, cols, 1, t)
        out = tr.update(frame, dt=dt)
        for r in [out] if kind == "single" else out:
            check_result(r, frame, n)
        n += 1
        return out

    for t in range(1, 8):
        step(t, 1.0 / 30)
    blank = np.full((rows, cols), 180, np.uint8)  # target gone: the engine must predict
    for dt in (huge_dt, huge_dt, 1.0 / 30):
        out = tr.update(blank, dt=dt)
        for r in [out] if kind == "single" else out:
            check_result(r, blank, n)
        n += 1
    step(40, 1.0 / 30)


@pytest.mark.parametrize("empty_shape", [(0, 0), (0, 64), (48, 0), (0, 0, 1)])
def test_empty_frame_update_is_survivable(empty_shape):
    tr = locked_tracker()
    try:
        check_result(tr.update(np.zeros(empty_shape, np.uint8), dt=0.04), np.zeros(empty_shape), 0)
        done = 1
    except (ValueError, RuntimeError):
        done = 0
    frame = scene(48, 64, 1, 1)
    check_result(tr.update(frame, dt=0.04), frame, done)


@pytest.mark.parametrize("shape", [(1, 1), (2, 2), (1, 400), (400, 1), (3, 301)])
@pytest.mark.parametrize("kind", ["single", "multi"])
@pytest.mark.parametrize("channels", [1, 3])
def test_long_loss_on_degenerate_frames(shape, kind, channels):
    """A target that vanishes for long enough sends the engine into its lost-mode
    searches, which cut, shrink and threshold regions of these odd frames."""
    rows, cols = shape
    empty = np.full(shape + ((channels,) if channels > 1 else ()), 180, np.uint8)
    seen = empty.copy()
    if cols >= rows:
        seen[:, cols // 4 : cols // 4 + 4] = 20
        box = (cols // 4 - 2, 0, 8, rows)
    else:
        seen[rows // 4 : rows // 4 + 4, :] = 20
        box = (0, rows // 4 - 2, cols, 8)
    tr = mv.Tracker() if kind == "single" else mv.MultiTracker()
    tr.lock(seen, box if kind == "single" else [box])
    for n in range(30):
        frame = seen if n % 13 == 12 else empty
        out = tr.update(frame, dt=0.04)
        for r in out if kind == "multi" else [out]:
            check_result(r, frame, n)


# ------------------------------------------------------------------ frame size changes


@SETTINGS
@given(
    shapes=st.lists(
        st.tuples(st.sampled_from(SIZES), st.sampled_from([1, 3, 4]), st.sampled_from(PATTERNS)), min_size=1, max_size=6
    ),
    lock_size=st.sampled_from(SIZES),
    kind=st.sampled_from(["single", "multi"]),
)
def test_frame_size_and_channels_change_between_calls(shapes, lock_size, kind):
    rows, cols = lock_size
    frame = scene(rows, cols, 3, 0, targets=2)
    if kind == "single":
        tr = mv.Tracker()
        tr.lock(frame, target_box(rows, cols, 0))
    else:
        tr = mv.MultiTracker()
        tr.lock(frame, [target_box(rows, cols, 0, k, 2) for k in range(2)])
    for n, ((r2, c2), ch, pattern) in enumerate(shapes):
        nxt = scene(r2, c2, ch, n + 1, targets=2, pattern=pattern)
        out = tr.update(nxt, dt=0.04)
        if kind == "single":
            check_result(out, nxt, n)
        else:
            assert [r.id for r in out] == [1, 2]
            for r in out:
                check_result(r, nxt, n, r.id)


# ------------------------------------------------------------------ long random sessions


class SessionMachine(RuleBasedStateMachine):
    """Random interleavings of lock, update and refused calls on one tracker, checked
    against a small model of what the front end promises."""

    multi = False

    def __init__(self):
        super().__init__()
        self.tr = mv.MultiTracker() if self.multi else mv.Tracker()
        self.locked = False
        self.count = 0  # frame number the next successful update reports
        self.size = 0  # MultiTracker slots
        self.t = 0

    def _frame(self, size, channels, pattern="sky"):
        self.t += 1
        return scene(size[0], size[1], channels, self.t, targets=2, pattern=pattern)

    def _check(self, out, frame):
        if self.multi:
            assert [r.id for r in out] == list(range(1, self.size + 1))
            for r in out:
                check_result(r, frame, self.count, r.id)
        else:
            check_result(out, frame, self.count)
        self.count += 1

    @rule(
        size=st.sampled_from(SIZES),
        channels=st.sampled_from([1, 3, 4]),
        data=st.data(),
        pattern=st.sampled_from(PATTERNS),
    )
    def lock(self, size, channels, data, pattern):
        rows, cols = size
        frame = self._frame(size, channels, pattern)
        near = st.builds(lambda k: target_box(rows, cols, self.t, k, 2), st.integers(0, 1))
        if self.multi:
            bxs = data.draw(st.lists(st.one_of(near, near, boxes(rows, cols)), min_size=0, max_size=3))
            if any(w <= 0 or h <= 0 for _, _, w, h in bxs):
                expect_error(ValueError, MSG_POSITIVE, self.tr.lock, frame, bxs)
            elif not bxs:
                expect_error(ValueError, MSG_NO_BOXES, self.tr.lock, frame, bxs)
            elif not all(overlaps(b, rows, cols) for b in bxs):
                # Refused as a whole: the previous targets stay and keep being tracked.
                expect_error(ValueError, MSG_OUTSIDE, self.tr.lock, frame, bxs)
            else:
                self.tr.lock(frame, bxs)
                self.locked, self.count, self.size = True, 0, len(bxs)
            assert self.tr.size() == self.size
        else:
            box = data.draw(st.one_of(near, boxes(rows, cols)))
            if overlaps(box, rows, cols):
                self.tr.lock(frame, box)
                self.locked, self.count = True, 0
            else:
                expect_error(ValueError, MSG_OUTSIDE, self.tr.lock, frame, box)

    @rule(size=st.sampled_from(SIZES), channels=st.sampled_from([1, 3, 4]), dt=DTS, pattern=st.sampled_from(PATTERNS))
    def update(self, size, channels, dt, pattern):
        frame = self._frame(size, channels, pattern)
        if not self.locked:
            expect_error(RuntimeError, MSG_NOT_LOCKED, self.tr.update, frame, dt)
        elif dt == float("inf") or math.isnan(dt):
            expect_error(ValueError, MSG_DT, self.tr.update, frame, dt)
        else:
            self._check(self.tr.update(frame, dt=dt), frame)

    @rule(kind=st.sampled_from(["1d", "4d", "2ch", "6ch", "empty", "empty3"]))
    def refused_frame(self, kind):
        bad = {
            "1d": np.zeros(10, np.uint8),
            "4d": np.zeros((2, 2, 2, 2), np.uint8),
            "2ch": np.zeros((8, 8, 2), np.uint8),
            "6ch": np.zeros((8, 8, 6), np.uint8),
            "empty": np.zeros((0, 0), np.uint8),
            "empty3": np.zeros((0, 4, 3), np.uint8),
        }[kind]
        box = (0, 0, 4, 4)
        if kind in ("1d", "4d"):
            err, msg = ValueError, MSG_NDIM
        elif kind == "empty":
            err, msg = ValueError, MSG_EMPTY if self.multi else MSG_OUTSIDE
        else:
            err, msg = RuntimeError, None
        expect_error(err, msg, self.tr.lock, bad, [box] if self.multi else box)
        if self.locked and kind != "empty":
            expect_error(err, msg, self.tr.update, bad, 0.04)

    @precondition(lambda self: self.locked)
    @rule()
    def recovers(self):
        """After whatever happened before, an ordinary frame is tracked."""
        frame = self._frame((48, 64), 1)
        self._check(self.tr.update(frame, dt=1.0 / 30), frame)

    @invariant()
    def size_matches(self):
        if self.multi:
            assert self.tr.size() == self.size


class MultiSessionMachine(SessionMachine):
    multi = True


SessionMachine.TestCase.settings = settings(SETTINGS, stateful_step_count=12)
MultiSessionMachine.TestCase.settings = settings(SETTINGS, stateful_step_count=12)
TestTrackerSession = SessionMachine.TestCase
TestMultiTrackerSession = MultiSessionMachine.TestCase
