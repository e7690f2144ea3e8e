"""Projector patterns shipped with the package."""

from __future__ import annotations

import numpy as np


def default_pattern(size: int = 64) -> np.ndarray:
    """A bright ring with a bar across it, ``size`` x ``size`` pixels with values in [0, 1].

    Swept around a vial, it cures a thick-walled tube with a cross wall: a shape
    whose cured region is easy to recognise in a slice.
    """
    y, x = np.mgrid[0:size, 0:size]
    c = (size - 1) / 2.0
    r = np.hypot(x - c, y - c) / (size / 2.0)
    ring = (r > 0.45) & (r < 0.8)
    bar = (np.abs(y - c) < size * 0.08) & (r < 0.8)
    return (ring | bar).astype(np.float64)
