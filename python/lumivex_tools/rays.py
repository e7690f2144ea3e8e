"""Ray sets: parallel beams shaped by an image, and the ``.ry`` file format."""

from __future__ import annotations

import os

import numpy as np


def parallel_beam(image, pixel_size: float, centre=(0.0, 0.0, 0.0), direction=(1.0, 0.0, 0.0),
                  up=(0.0, 0.0, 1.0), power_per_pixel: float = 1.0, skip_dark: bool = True):
    """One ray per pixel of ``image`` (rows run along ``up``, columns across it).

    The image plane is centred at ``centre`` and perpendicular to ``direction``;
    each ray starts at its pixel's centre, travels along ``direction`` and carries
    ``power_per_pixel`` times the pixel value. Dark pixels are left out unless
    ``skip_dark`` is false.

    Returns ``(origins (R, 3), directions (R, 3), powers (R,))``.
    """
    image = np.asarray(image, dtype=np.float64)
    if image.ndim != 2:
        raise ValueError("image must be a 2-D array of pixel values")
    d = np.asarray(direction, dtype=np.float64)
    d = d / np.linalg.norm(d)
    u = np.asarray(up, dtype=np.float64)
    u = u - d * np.dot(u, d)
    if np.linalg.norm(u) == 0:
        raise ValueError("up must not be parallel to direction")
    u /= np.linalg.norm(u)
    v = np.cross(u, d)  # across the image, so that (v, u, d) is right-handed

    rows, cols = image.shape
    r = (np.arange(rows) - (rows - 1) / 2.0) * pixel_size
    c = (np.arange(cols) - (cols - 1) / 2.0) * pixel_size
    rr, cc = np.meshgrid(r, c, indexing="ij")
    # Row 0 is the top of the image, as an image is usually shown.
    origins = np.asarray(centre, dtype=np.float64) + (-rr.ravel())[:, None] * u + cc.ravel()[:, None] * v
    powers = image.ravel() * power_per_pixel
    keep = powers > 0 if skip_dark else np.ones(powers.shape, dtype=bool)
    origins = origins[keep]
    directions = np.broadcast_to(d, origins.shape).copy()
    return origins, directions, powers[keep]


def write_ry(path: str | os.PathLike, origins, directions, powers) -> None:
    """Write rays as a ``.ry`` file: the count, then origin, direction and power per line."""
    origins = np.asarray(origins, dtype=np.float64).reshape(-1, 3)
    directions = np.asarray(directions, dtype=np.float64).reshape(-1, 3)
    powers = np.asarray(powers, dtype=np.float64).reshape(-1)
    if not (len(origins) == len(directions) == len(powers)):
        raise ValueError("origins, directions and powers must describe the same number of rays")
    with open(path, "w") as f:
        f.write(f"{len(powers)}\n")
        np.savetxt(f, np.column_stack([origins, directions, powers]), fmt="%.9g")


def read_ry(path: str | os.PathLike):
    """Read a ``.ry`` file into ``(origins, directions, powers)`` (directions as stored)."""
    with open(path) as f:
        lines = [line for line in f if line.strip() and not line.lstrip().startswith("#")]
    count = int(lines[0].split()[0])
    values = np.array(" ".join(lines[1:]).split()[: 7 * count], dtype=np.float64).reshape(count, 7)
    return values[:, :3], values[:, 3:6], values[:, 6]
