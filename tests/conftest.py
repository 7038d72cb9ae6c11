"""Shared helpers: small synthetic frames."""

import numpy as np


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
