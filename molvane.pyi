"""Molvane Python SDK - selected-target lock and track (pybind11)"""

from collections.abc import Sequence
from typing import SupportsIndex, overload

import numpy
import numpy.typing

# Frames are uint8 arrays of shape (H, W), (H, W, 1), (H, W, 3) or (H, W, 4), channels in
# blue-green-red order; other dtypes are converted when numpy allows it.
_Frame = numpy.typing.ArrayLike
# (x, y, w, h) in integer pixels; any sequence of four integers is accepted.
_Box = Sequence[SupportsIndex]

# The package version, e.g. "0.1.0".
__version__: str

class TrackerConfig:
    def __init__(self) -> None: ...
    @property
    def profile(self) -> str:
        """Tracking profile: default, correlation, or adaptive"""
    @profile.setter
    def profile(self, value: str | bytes | bytearray) -> None: ...

class TrackResult:
    """Result from Tracker.update()"""

    # No constructor: results come only from Tracker.update and MultiTracker.update.
    @property
    def frame(self) -> int: ...
    @property
    def lost(self) -> bool:
        """True when tracker has lost the target"""
    @property
    def id(self) -> int: ...
    @property
    def target_id(self) -> int:
        """Stable selected target id"""
    @property
    def state(self) -> str:
        """Tracker state: confirmed, tentative, or lost"""
    @property
    def cx(self) -> float: ...
    @property
    def cy(self) -> float: ...
    @property
    def bbox_x(self) -> float: ...
    @property
    def bbox_y(self) -> float: ...
    @property
    def bbox_w(self) -> float: ...
    @property
    def bbox_h(self) -> float: ...
    @property
    def hits(self) -> int: ...
    @property
    def misses(self) -> int: ...
    @property
    def target_score(self) -> float: ...
    @property
    def target_candidate_score(self) -> float: ...
    @property
    def confidence(self) -> float: ...
    @property
    def speed(self) -> float:
        """Speed in pixels/second"""
    @property
    def reason(self) -> str:
        """Internal tracking reason string"""
    @property
    def suppressed(self) -> bool:
        """True when this target coasted because ownership was ambiguous or another target owned the observation"""
    @property
    def suppressed_by_id(self) -> int:
        """Stable target id that owns the observation, or 0 when ownership is ambiguous"""
    @property
    def anchor_appearance(self) -> float:
        """Similarity to this target's immutable anchor template"""
    @property
    def interacting(self) -> bool:
        """True while this target is spatially interacting with another target"""
    @property
    def model_learning_suppressed(self) -> bool:
        """True when appearance and correlation learning was frozen for identity safety"""
    @property
    def geometry_update_suppressed(self) -> bool:
        """True when bbox width and height were frozen to prevent absorbing a nearby target"""
    @property
    def geometry_ownership_constrained(self) -> bool:
        """True when bbox geometry was clipped to this target's ownership cell"""
    @property
    def geometry_confidence(self) -> float:
        """Confidence of the owned geometry measurement, or 0 when none was available"""
    @property
    def prediction_only(self) -> bool:
        """True when bbox and center are motion prediction only, without an accepted observation"""
    def bbox(self) -> tuple[float, float, float, float]:
        """Returns (x, y, w, h) bounding box"""
    def center(self) -> tuple[float, float]:
        """Returns (cx, cy) target center"""
    def annotate(self) -> numpy.typing.NDArray[numpy.uint8]:
        """Returns a copy of the frame with HUD overlay drawn"""

class Tracker:
    """Single-target lock-and-track.

    Profiles: 'default', 'correlation', 'adaptive'

    Example::

        tracker = mv.Tracker('default')
        tracker.lock(frame, bbox=(x, y, w, h))
        result = tracker.update(frame)
        cv2.imshow('out', result.annotate())
    """

    @overload
    def __init__(self, profile: str | bytes | bytearray = "default") -> None: ...
    @overload
    def __init__(self, config: TrackerConfig) -> None: ...
    def lock(self, frame: _Frame, bbox: _Box) -> None:
        """Seed the tracker. bbox=(x, y, w, h) in pixels."""
    def initialize(self, frame: _Frame, bbox: _Box) -> None:
        """Alias for lock()."""
    def update(self, frame: _Frame, dt: float = -1.0) -> TrackResult:
        """Process the next frame. Returns TrackResult. Pass dt in seconds for deterministic video processing; otherwise dt is measured automatically via wall clock."""

class MultiTracker:
    """Native selected-target multi-tracker.

    One stable target id is assigned to each initial bbox. If two targets claim the same object in a frame, the lower-quality duplicate is returned as lost with suppressed=True instead of reporting an ID switch.
    """

    @overload
    def __init__(self, profile: str | bytes | bytearray = "default") -> None: ...
    @overload
    def __init__(self, config: TrackerConfig) -> None: ...
    def lock(self, frame: _Frame, bboxes: Sequence[_Box]) -> None:
        """Seed multiple selected targets. bboxes=[(x, y, w, h), ...]."""
    def initialize(self, frame: _Frame, bboxes: Sequence[_Box]) -> None:
        """Alias for lock()."""
    def update(self, frame: _Frame, dt: float = -1.0) -> list[TrackResult]:
        """Process the next frame. Returns a list of TrackResult objects."""
    def size(self) -> int:
        """Number of selected target slots."""
