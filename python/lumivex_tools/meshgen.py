"""Structured hexahedral meshes and the legacy VTK files that ``load_mesh`` reads."""

from __future__ import annotations

import os

import numpy as np


def box_mesh(nx: int, ny: int, nz: int, size=(1.0, 1.0, 1.0), origin=(0.0, 0.0, 0.0)):
    """Return ``(points, hexahedra)`` of an ``nx`` x ``ny`` x ``nz`` box of hexahedra.

    ``points`` has shape ((nx+1)(ny+1)(nz+1), 3), numbered with x fastest;
    ``hexahedra`` has shape (nx*ny*nz, 8) in VTK hexahedron node order.
    """
    if min(nx, ny, nz) < 1:
        raise ValueError("box_mesh needs at least one element along each axis")
    axes = [np.linspace(o, o + s, n + 1) for o, s, n in zip(origin, size, (nx, ny, nz))]
    z, y, x = np.meshgrid(axes[2], axes[1], axes[0], indexing="ij")
    points = np.column_stack([x.ravel(), y.ravel(), z.ravel()])

    def node(i, j, k):
        return (k * (ny + 1) + j) * (nx + 1) + i

    k, j, i = np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij")
    i, j, k = i.ravel(), j.ravel(), k.ravel()
    hexahedra = np.column_stack([
        node(i, j, k), node(i + 1, j, k), node(i + 1, j + 1, k), node(i, j + 1, k),
        node(i, j, k + 1), node(i + 1, j, k + 1), node(i + 1, j + 1, k + 1), node(i, j + 1, k + 1),
    ]).astype(np.int64)
    return points, hexahedra


def write_vtk(path: str | os.PathLike, points, hexahedra, refractive_index=None, absorptivity=None,
              title: str = "lumivex mesh") -> None:
    """Write a legacy ASCII VTK unstructured grid of hexahedra (cell type 12).

    Optional per-node ``refractive_index`` and ``absorptivity`` are written as the
    point scalars "RefractiveIndex" and "Absorptivity".
    """
    points = np.asarray(points, dtype=np.float64)
    hexahedra = np.asarray(hexahedra, dtype=np.int64)
    n, e = len(points), len(hexahedra)
    with open(path, "w") as f:
        f.write(f"# vtk DataFile Version 3.0\n{title}\nASCII\nDATASET UNSTRUCTURED_GRID\n")
        f.write(f"POINTS {n} float\n")
        np.savetxt(f, points, fmt="%.9g")
        f.write(f"CELLS {e} {9 * e}\n")
        np.savetxt(f, np.column_stack([np.full(e, 8), hexahedra]), fmt="%d")
        f.write(f"CELL_TYPES {e}\n")
        np.savetxt(f, np.full(e, 12), fmt="%d")
        scalars = [("RefractiveIndex", refractive_index), ("Absorptivity", absorptivity)]
        scalars = [(name, v) for name, v in scalars if v is not None]
        if scalars:
            f.write(f"POINT_DATA {n}\n")
        for name, values in scalars:
            values = np.broadcast_to(np.asarray(values, dtype=np.float64), (n,))
            f.write(f"SCALARS {name} float 1\nLOOKUP_TABLE default\n")
            np.savetxt(f, values, fmt="%.9g")


def nodal_volumes(points, hexahedra) -> np.ndarray:
    """Lumped volume per node: one eighth of each adjacent element's volume.

    Element volumes use the 2 x 2 x 2 Gauss rule of the trilinear hexahedron, as
    the engine does, so that ``(Q * nodal_volumes).sum()`` is the absorbed power.
    """
    points = np.asarray(points, dtype=np.float64)
    hexahedra = np.asarray(hexahedra, dtype=np.int64)
    corners = np.array([[-1, -1, -1], [1, -1, -1], [1, 1, -1], [-1, 1, -1],
                        [-1, -1, 1], [1, -1, 1], [1, 1, 1], [-1, 1, 1]], dtype=np.float64)
    x = points[hexahedra]  # (E, 8, 3)
    g = 1.0 / np.sqrt(3.0)
    volume = np.zeros(len(hexahedra))
    for xi in (-g, g):
        for eta in (-g, g):
            for zeta in (-g, g):
                p = np.array([xi, eta, zeta])
                # dN_k/dp_i = c_ki * prod_{j != i} (1 + c_kj p_j) / 8
                factors = 1.0 + corners * p
                dN = np.empty((8, 3))
                for i in range(3):
                    others = [j for j in range(3) if j != i]
                    dN[:, i] = corners[:, i] * factors[:, others[0]] * factors[:, others[1]] / 8.0
                J = np.einsum("ki,ekj->eij", dN, x)
                volume += np.linalg.det(J)
    out = np.zeros(len(points))
    np.add.at(out, hexahedra.ravel(), np.repeat(volume / 8.0, 8))
    return out
