"""What a Python caller sees of the module: classes, docstrings, rendered signatures,
read-only results, profile handling and argument conversion."""

from decimal import Decimal

import numpy as np
import pytest
from molvane_tools.scenes.small import sky_frame

import molvane as mv

TRACKER_DOC = (
    "Single-target lock-and-track.\n\nProfiles: 'default', 'correlation', 'adaptive'\n\nExample::\n\n"
    "    tracker = mv.Tracker('default')\n    tracker.lock(frame, bbox=(x, y, w, h))\n"
    "    result = tracker.update(frame)\n    cv2.imshow('out', result.annotate())\n"
)
MULTI_DOC = (
    "Native selected-target multi-tracker.\n\nOne stable target id is assigned to each initial bbox. "
    "If two targets claim the same object in a frame, the lower-quality duplicate is returned as lost "
    "with suppressed=True instead of reporting an ID switch.\n"
)

RESULT_PROPERTIES = [
    ("frame", None),
    ("lost", "True when tracker has lost the target"),
    ("id", None),
    ("target_id", "Stable selected target id"),
    ("state", "Tracker state: confirmed, tentative, or lost"),
    ("cx", None),
    ("cy", None),
    ("bbox_x", None),
    ("bbox_y", None),
    ("bbox_w", None),
    ("bbox_h", None),
    ("hits", None),
    ("misses", None),
    ("target_score", None),
    ("target_candidate_score", None),
    ("confidence", None),
    ("speed", "Speed in pixels/second"),
    ("reason", "Internal tracking reason string"),
    (
        "suppressed",
        "True when this target coasted because ownership was ambiguous or another target owned the observation",
    ),
    ("suppressed_by_id", "Stable target id that owns the observation, or 0 when ownership is ambiguous"),
    ("anchor_appearance", "Similarity to this target's immutable anchor template"),
    ("interacting", "True while this target is spatially interacting with another target"),
    ("model_learning_suppressed", "True when appearance and correlation learning was frozen for identity safety"),
    ("geometry_update_suppressed", "True when bbox width and height were frozen to prevent absorbing a nearby target"),
    ("geometry_ownership_constrained", "True when bbox geometry was clipped to this target's ownership cell"),
    ("geometry_confidence", "Confidence of the owned geometry measurement, or 0 when none was available"),
    ("prediction_only", "True when bbox and center are motion prediction only, without an accepted observation"),
]

FRAME = "frame: numpy.ndarray[numpy.uint8]"
# (class, member, rendered signature without the self annotation, docstring)
METHODS = [
    (mv.TrackResult, "bbox", "bbox(self) -> tuple", "Returns (x, y, w, h) bounding box"),
    (mv.TrackResult, "center", "center(self) -> tuple", "Returns (cx, cy) target center"),
    (
        mv.TrackResult,
        "annotate",
        "annotate(self) -> numpy.ndarray[numpy.uint8]",
        "Returns a copy of the frame with HUD overlay drawn",
    ),
    (
        mv.Tracker,
        "lock",
        f"lock(self, {FRAME}, bbox: tuple[int, int, int, int]) -> None",
        "Seed the tracker. bbox=(x, y, w, h) in pixels.",
    ),
    (
        mv.Tracker,
        "initialize",
        f"initialize(self, {FRAME}, bbox: tuple[int, int, int, int]) -> None",
        "Alias for lock().",
    ),
    (
        mv.Tracker,
        "update",
        f"update(self, {FRAME}, dt: float = -1.0) -> molvane.TrackResult",
        "Process the next frame. Returns TrackResult. Pass dt in seconds for deterministic video processing; "
        "otherwise dt is measured automatically via wall clock.",
    ),
    (
        mv.MultiTracker,
        "lock",
        f"lock(self, {FRAME}, bboxes: list[tuple[int, int, int, int]]) -> None",
        "Seed multiple selected targets. bboxes=[(x, y, w, h), ...].",
    ),
    (
        mv.MultiTracker,
        "initialize",
        f"initialize(self, {FRAME}, bboxes: list[tuple[int, int, int, int]]) -> None",
        "Alias for lock().",
    ),
    (
        mv.MultiTracker,
        "update",
        f"update(self, {FRAME}, dt: float = -1.0) -> list[molvane.TrackResult]",
        "Process the next frame. Returns a list of TrackResult objects.",
    ),
    (mv.MultiTracker, "size", "size(self) -> int", "Number of selected target slots."),
]


def public(cls):
    return [n for n in vars(cls) if not n.startswith("_")]


def rendered(cls, name):
    """The binding layer's docstring with the `self: molvane.X` annotation shortened."""
    return getattr(cls, name).__doc__.replace(f"self: molvane.{cls.__name__}", "self")


# --- module and classes --------------------------------------------------------------------


def test_module_holds_exactly_the_four_classes_in_order():
    assert mv.__doc__ == "Molvane Python SDK - selected-target lock and track (pybind11)"
    assert public(mv) == ["TrackerConfig", "TrackResult", "Tracker", "MultiTracker"]
    assert all(isinstance(getattr(mv, n), type) for n in public(mv))


@pytest.mark.parametrize(
    "cls, doc, members",
    [
        (mv.TrackerConfig, None, ["profile"]),
        (
            mv.TrackResult,
            "Result from Tracker.update()",
            [n for n, _ in RESULT_PROPERTIES] + ["bbox", "center", "annotate"],
        ),
        (mv.Tracker, TRACKER_DOC, ["lock", "initialize", "update"]),
        (mv.MultiTracker, MULTI_DOC, ["lock", "initialize", "update", "size"]),
    ],
)
def test_class_docstring_and_members_in_order(cls, doc, members):
    assert cls.__doc__ == doc
    assert public(cls) == members


@pytest.mark.parametrize("cls, name, signature, doc", METHODS, ids=lambda v: getattr(v, "__name__", None))
def test_method_signature_and_docstring(cls, name, signature, doc):
    assert rendered(cls, name) == f"{signature}\n\n{doc}\n"


@pytest.mark.parametrize("cls", [mv.Tracker, mv.MultiTracker])
def test_constructor_overloads(cls):
    text = rendered(cls, "__init__")
    assert "1. __init__(self, profile: str = 'default') -> None" in text
    assert "2. __init__(self, config: molvane.TrackerConfig) -> None" in text
    assert text.index("profile: str") < text.index("config: molvane.TrackerConfig")


def test_help_text_of_tracker_shows_docstring_and_signatures():
    import pydoc

    text = pydoc.render_doc(mv.Tracker, renderer=pydoc.plaintext)
    assert "Single-target lock-and-track." in text
    for _, _, signature, _ in (m for m in METHODS if m[0] is mv.Tracker):
        assert signature.replace("(self", "(self: molvane.Tracker") in text


def test_result_properties_are_read_only_with_their_docstrings():
    for name, doc in RESULT_PROPERTIES:
        prop = vars(mv.TrackResult)[name]
        assert isinstance(prop, property), name
        assert prop.fset is None, name
        # The binding layer renders a missing docstring as an empty one.
        assert (prop.__doc__ or None) == doc, name


def test_track_result_has_no_constructor():
    with pytest.raises(TypeError):
        mv.TrackResult()


@pytest.mark.parametrize("obj", [mv.TrackerConfig(), mv.Tracker(), mv.MultiTracker()])
def test_no_dynamic_attributes(obj):
    with pytest.raises(AttributeError):
        obj.something_else = 1


# --- profiles and configuration -------------------------------------------------------------


def test_config_profile_is_stored_unchanged_and_unchecked():
    c = mv.TrackerConfig()
    assert c.profile == "default"
    c.profile = "No-Such-Profile"
    assert c.profile == "No-Such-Profile"
    c.profile = b"adaptive"
    assert c.profile == "adaptive"
    c.profile = bytearray(b"Correlation")
    assert c.profile == "Correlation"
    with pytest.raises(TypeError):
        c.profile = 5


@pytest.mark.parametrize("cls", [mv.Tracker, mv.MultiTracker])
@pytest.mark.parametrize("profile", ["default", "ADAPTIVE", "Correlation", b"adaptive", bytearray(b"birds")])
def test_known_profiles_in_every_accepted_form(cls, profile):
    cls(profile)
    cls(profile=profile)


@pytest.mark.parametrize("cls", [mv.Tracker, mv.MultiTracker])
def test_unknown_profile_message_keeps_the_name_as_given(cls):
    with pytest.raises(ValueError) as info:
        cls("Bogus")
    assert str(info.value) == "unknown profile: Bogus"
    c = mv.TrackerConfig()
    c.profile = "no-such-profile"
    with pytest.raises(ValueError) as info:
        cls(c)
    assert str(info.value) == "unknown profile: no-such-profile"
    with pytest.raises(ValueError) as info:
        cls(config=c)
    assert str(info.value) == "unknown profile: no-such-profile"


# --- argument conversion ---------------------------------------------------------------------


def converts(call):
    """True when the arguments got past conversion (later failures do not matter here)."""
    try:
        call()
    except TypeError:
        return False
    except (ValueError, RuntimeError):
        pass
    return True


BOXES_OK = [
    (30, 20, 10, 8),
    [30, 20, 10, 8],
    np.array([30, 20, 10, 8]),
    (np.int64(30), np.int16(20), 10, 8),
    range(30, 34),
    (2**31 - 1, -(2**31), 10, 8),
]
# Floats of every kind are refused rather than truncated, as are values beyond 32 bits.
BOXES_BAD = [
    (30.5, 20, 10, 8),
    (30, 20, 10, 8.0),
    (np.float32(30.5), 20, 10, 8),
    (np.float64(30), 20, 10, 8),
    (Decimal("30"), 20, 10, 8),
    np.array([30.0, 20, 10, 8]),
    (30, 20, 10),
    (30, 20, 10, 8, 1),
    "abcd",
    b"abcd",
    {30, 20, 10, 8},
    (2**31, 0, 1, 1),
    (-(2**31) - 1, 0, 1, 1),
    None,
    ("30", 20, 10, 8),
]


@pytest.mark.parametrize("method", ["lock", "initialize"])
def test_bbox_accepts_any_sequence_of_four_ints(method):
    f = sky_frame()
    for box in BOXES_OK:
        assert converts(lambda box=box: getattr(mv.Tracker(), method)(f, box)), box
        assert converts(lambda box=box: getattr(mv.Tracker(), method)(frame=f, bbox=box)), box
    for box in BOXES_BAD:
        assert not converts(lambda box=box: getattr(mv.Tracker(), method)(f, box)), box


def test_bboxes_accept_sequences_of_boxes():
    f = sky_frame()
    assert converts(lambda: mv.MultiTracker().lock(f, [(30, 20, 10, 8), [1, 2, 3, 4]]))
    assert converts(lambda: mv.MultiTracker().lock(f, ((30, 20, 10, 8),)))
    assert converts(lambda: mv.MultiTracker().initialize(frame=f, bboxes=[np.array([30, 20, 10, 8])]))
    for bad in [(30, 20, 10, 8), [(30.5, 20, 10, 8)], [(1, 2, 3)], None]:
        assert not converts(lambda bad=bad: mv.MultiTracker().lock(f, bad)), bad


def test_frame_must_be_array_like():
    f = sky_frame()
    assert converts(lambda: mv.Tracker().lock(f.astype(np.float32), (30, 20, 10, 8)))
    assert converts(lambda: mv.Tracker().lock(f.tolist(), (30, 20, 10, 8)))
    for bad in ["not a frame", None, object()]:
        assert not converts(lambda bad=bad: mv.Tracker().lock(bad, (30, 20, 10, 8))), bad


# --- objects built without __init__, conversion errors, result repr ---------------------------


def _calls_for(cls):
    """Every public member of `cls` with arguments that would be valid on a real object."""
    f = sky_frame()
    box = (30, 20, 10, 8)
    args = {
        mv.Tracker: {"lock": (f, box), "initialize": (f, box), "update": (f,)},
        mv.MultiTracker: {"lock": (f, [box]), "initialize": (f, [box]), "update": (f,), "size": ()},
        mv.TrackResult: {"bbox": (), "center": (), "annotate": (), "__repr__": ()},
        mv.TrackerConfig: {},
    }[cls]
    calls = []
    for name, member in vars(cls).items():
        if isinstance(member, property):
            calls.append((name, lambda obj, n=name: getattr(obj, n)))
            if member.fset is not None:
                calls.append((name + "=", lambda obj, n=name: setattr(obj, n, "default")))
        elif callable(member) and not name.startswith("_"):
            calls.append((name, lambda obj, n=name: getattr(obj, n)(*args[n])))
    calls += [(n, lambda obj, n=n, a=a: getattr(obj, n)(*a)) for n, a in args.items() if n.startswith("_")]
    if cls is mv.TrackerConfig:
        calls += [(c.__name__ + "(config)", lambda obj, c=c: c(obj)) for c in (mv.Tracker, mv.MultiTracker)]
    return calls


@pytest.mark.parametrize("cls", [mv.TrackerConfig, mv.TrackResult, mv.Tracker, mv.MultiTracker])
def test_objects_built_without_init_are_refused_before_native_code_runs(cls):
    obj = cls.__new__(cls)
    calls = _calls_for(cls)
    assert calls
    for name, call in calls:
        with pytest.raises(TypeError) as info:
            call(obj)
        assert str(info.value) == f"molvane.{cls.__name__} object is not initialized: its __init__ was never called", (
            name
        )


class SensorUnplugged(Exception):
    pass


class BrokenCamera:
    """An array-like whose own conversion fails, as a camera wrapper might."""

    def __init__(self, error):
        self.error = error

    def __array__(self, dtype=None, copy=None):
        raise self.error


def _locked(cls):
    t = cls()
    t.lock(sky_frame(), (30, 20, 10, 8) if cls is mv.Tracker else [(30, 20, 10, 8)])
    return t


@pytest.mark.parametrize(
    "call",
    [
        lambda frame: mv.Tracker().lock(frame, (30, 20, 10, 8)),
        lambda frame: _locked(mv.Tracker).update(frame),
        lambda frame: mv.MultiTracker().initialize(frame, [(30, 20, 10, 8)]),
        lambda frame: _locked(mv.MultiTracker).update(frame, dt=0.04),
    ],
)
@pytest.mark.parametrize("error", [SensorUnplugged("sensor unplugged"), ValueError("bad exposure")])
def test_errors_raised_by_a_frame_object_reach_the_caller_unchanged(call, error):
    with pytest.raises(type(error)) as info:
        call(BrokenCamera(error))
    assert info.value is error


def test_result_repr_shows_frame_id_state_centre_box_and_reason():
    t = mv.Tracker()
    f = sky_frame()
    t.lock(f, (30, 20, 10, 8))
    first = t.update(f, dt=0.04)
    assert repr(first) == (
        "TrackResult(frame=0, id=1, state='confirmed', center=(35.0, 24.0), "
        "box=(30.0, 20.0, 10.0, 8.0), reason='contrast')"
    )
    sky = sky_frame(target=None, seed=5)
    lost = next(r for r in (t.update(sky, dt=0.04) for _ in range(6)) if r.lost)

    def text(v):  # the float32 in its shortest form, as numpy prints it
        return str(np.float32(v))

    assert repr(lost) == (
        f"TrackResult(frame={lost.frame}, id={lost.id}, state='lost', center=({text(lost.cx)}, {text(lost.cy)}), "
        f"box=({', '.join(text(v) for v in lost.bbox())}), reason={lost.reason!r})"
    )
