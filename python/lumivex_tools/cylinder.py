"""O-grid hexahedral mesh of a cylinder about the z axis."""

from __future__ import annotations

import numpy as np

# How far the core block's nodes move from a square towards a disc (0: square
# core, 1: the core boundary on a circle). Half way keeps the core corners
# well away from 180 degrees and the ring elements next to them well shaped.
CORE_BLEND = 0.5


def _core_plane(m: int, core_radius: float) -> np.ndarray:
    """(m+1)^2 x 2 node positions of the core block, i fastest.

    A square of parameters (u, v) in [-1, 1]^2 is mapped both onto the square
    whose corners lie on the core radius and onto the disc of that radius (the
    elliptical square-to-disc map); the nodes are the blend of the two. The
    corners of both maps coincide, so the corners stay on the core radius.
    """
    s = np.linspace(-1.0, 1.0, m + 1)
    v, u = np.meshgrid(s, s, indexing="ij")
    u, v = u.ravel(), v.ravel()
    square = np.column_stack([u, v]) / np.sqrt(2.0)
    disc = np.column_stack([u * np.sqrt(1.0 - 0.5 * v * v), v * np.sqrt(1.0 - 0.5 * u * u)])
    return core_radius * ((1.0 - CORE_BLEND) * square + CORE_BLEND * disc)


def _core_boundary(m: int) -> np.ndarray:
    """Core node ids (i + j*(m+1)) around the core's edge, counter-clockwise
    seen from +z, starting at the corner (i, j) = (m, 0); 4m entries."""
    t = np.arange(m)
    i = np.concatenate([np.full(m, m), m - t, np.zeros(m, int), t])
    j = np.concatenate([t, np.full(m, m), m - t, np.zeros(m, int)])
    return j * (m + 1) + i


def cylinder_mesh(radius: float, height: float, n_radial: int, n_around: int, n_z: int,
                  core_fraction: float = 0.5):
    """Return ``(points, hexahedra)`` of an O-grid cylinder about the z axis.

    The cylinder has the given ``radius`` and spans z = 0 .. ``height``. Each of
    the ``n_z`` layers holds a core block of (n_around/4) x (n_around/4)
    hexahedra whose boundary bulges towards a circle of radius
    ``core_fraction * radius``, surrounded by ``n_radial`` rings of
    ``n_around`` hexahedra out to the outer circle, whose ``n_around`` nodes per
    plane lie on ``radius`` at equal angles (core corners at 45, 135, 225 and
    315 degrees). The outer surface is therefore the inscribed polygon.

    ``points`` has shape (N, 3), float64, with every node once; ``hexahedra``
    has shape (E, 8), int64, in VTK hexahedron node order (nodes 0-3 on the
    lower z plane counter-clockwise seen from +z, 4-7 above them), so every
    element has positive volume. E = n_z * ((n_around/4)^2 + n_radial * n_around).
    """
    n_radial, n_around, n_z = int(n_radial), int(n_around), int(n_z)
    if n_around < 4 or n_around % 4:
        raise ValueError("cylinder_mesh needs n_around to be a positive multiple of 4")
    if n_radial < 1 or n_z < 1:
        raise ValueError("cylinder_mesh needs at least one ring and one layer")
    if not (radius > 0 and height > 0):
        raise ValueError("cylinder_mesh needs a positive radius and height")
    if not 0.0 < core_fraction < 1.0:
        raise ValueError("cylinder_mesh needs 0 < core_fraction < 1")

    m = n_around // 4
    n_core = (m + 1) ** 2
    core = _core_plane(m, core_fraction * radius)
    boundary = _core_boundary(m)

    # Rings: straight lines from each core edge node to the outer node at the
    # matching angle; ring k = 1 .. n_radial.
    angle = -0.25 * np.pi + 2.0 * np.pi * np.arange(n_around) / n_around
    outer = radius * np.column_stack([np.cos(angle), np.sin(angle)])
    inner = core[boundary]
    w = (np.arange(1, n_radial + 1) / n_radial)[:, None, None]
    rings = (1.0 - w) * inner[None] + w * outer[None]
    rings[-1] = outer  # exactly on the radius
    plane = np.vstack([core, rings.reshape(-1, 2)])
    per_plane = len(plane)

    z = np.linspace(0.0, height, n_z + 1)
    points = np.column_stack([np.tile(plane, (n_z + 1, 1)), np.repeat(z, per_plane)])

    # Quadrilaterals of one plane, counter-clockwise seen from +z.
    j, i = np.meshgrid(np.arange(m), np.arange(m), indexing="ij")
    c = (j * (m + 1) + i).ravel()
    core_quads = np.column_stack([c, c + 1, c + m + 2, c + m + 1])
    # ring_ids[k] holds the plane node ids of ring k around the circle
    # (k = 0: the core boundary).
    ring_ids = np.vstack([boundary, n_core + np.arange(n_radial * n_around).reshape(n_radial, n_around)])
    nxt = np.roll(np.arange(n_around), -1)
    lo, hi = ring_ids[:-1], ring_ids[1:]
    ring_quads = np.stack([lo, hi, hi[:, nxt], lo[:, nxt]], axis=-1).reshape(-1, 4)
    quads = np.vstack([core_quads, ring_quads])

    layers = (np.arange(n_z) * per_plane)[:, None, None]
    hexahedra = np.concatenate([quads[None] + layers, quads[None] + layers + per_plane], axis=-1)
    return points, hexahedra.reshape(-1, 8).astype(np.int64)
