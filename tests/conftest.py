"""Shared fixtures: small synthetic frames and probes that tell whether the tracking
engines can run yet (tests that need a running engine skip, loudly, until then)."""

import numpy as np
import pytest

import molvane as mv

NOT_BUILT = "not built yet"


def sky_frame(rows=60, cols=80, channels=1, target=(30, 20, 10, 8), seed=3):
    """A soft sky gradient with light noise and one dark textured target at `target`
    (None for an empty sky). The target's texture is the same in every frame."""
    rng = np.random.default_rng(seed)
    grad = np.linspace(150, 190, rows, dtype=np.float64)[:, None] * np.ones((1, cols))
    grey = np.clip(grad + rng.normal(0, 2, (rows, cols)), 0, 255)
    if target is not None:
        x, y, w, h = target
        grey[y:y + h, x:x + w] = np.random.default_rng(11).integers(10, 90, (h, w))
    grey = grey.astype(np.uint8)
    if channels == 1:
        return grey
    return np.ascontiguousarray(np.repeat(grey[:, :, None], channels, axis=2))


def _probe(make):
    try:
        make()
    except RuntimeError as e:
        if NOT_BUILT in str(e):
            pytest.skip(f"engine not available yet: {e}")
        raise


@pytest.fixture
def engine():
    """Skips the test while the single-target engine cannot lock and update."""
    def run():
        t = mv.Tracker()
        f = sky_frame()
        t.lock(f, (30, 20, 10, 8))
        t.update(f, dt=0.04)
    _probe(run)


@pytest.fixture
def multi_engine():
    """Skips the test while the multi-target tracker cannot lock and update."""
    def run():
        m = mv.MultiTracker()
        f = sky_frame()
        m.lock(f, [(30, 20, 10, 8)])
        m.update(f, dt=0.04)
    _probe(run)
