"""The O-grid cylinder generator: orientation, volume, outer radius and what load_mesh makes of it."""

import numpy as np
import pytest

import lumivex
from lumivex_tools import cylinder_mesh, write_vtk

C = np.array([[-1, -1, -1], [1, -1, -1], [1, 1, -1], [-1, 1, -1],
              [-1, -1, 1], [1, -1, 1], [1, 1, 1], [-1, 1, 1]], float)  # VTK hexahedron order


def jacobians(points, hexahedra, at):
    """det J of each trilinear hexahedron at natural points `at` (K, 3): shape (E, K)."""
    f = 1 + C[None] * at[:, None]  # (K, 8, 3)
    dn = np.stack([C[:, 0] * f[..., 1] * f[..., 2], f[..., 0] * C[:, 1] * f[..., 2],
                   f[..., 0] * f[..., 1] * C[:, 2]], -1)  # dN/dxi
    return np.linalg.det(np.einsum("kna,enc->ekac", dn / 8, points[hexahedra]))


def volume(points, hexahedra):  # 2x2x2 Gauss: exact for trilinear hexahedra
    return jacobians(points, hexahedra, C / np.sqrt(3)).sum()


@pytest.mark.parametrize("n_radial,n_around,n_z,core", [(1, 4, 1, 0.5), (3, 12, 2, 0.4), (5, 32, 3, 0.7)])
def test_elements_tile_the_inscribed_prism(n_radial, n_around, n_z, core):
    r, h = 2.0, 3.0
    points, hexahedra = cylinder_mesh(r, h, n_radial, n_around, n_z, core_fraction=core)
    assert hexahedra.shape == (n_z * ((n_around // 4) ** 2 + n_radial * n_around), 8)
    assert len(np.unique(hexahedra)) == len(points) == len(np.unique(points.round(9), axis=0))
    assert jacobians(points, hexahedra, C).min() > 0  # positive at every corner of every element
    # Straight outer edges: no gap, no overlap means exactly the polygon's area times the height.
    assert volume(points, hexahedra) == pytest.approx(0.5 * n_around * r * r * np.sin(2 * np.pi / n_around) * h)
    assert np.isclose(np.hypot(points[:, 0], points[:, 1]), r).sum() == n_around * (n_z + 1)


def test_volume_converges_to_the_cylinder():
    errors = [abs(volume(*cylinder_mesh(1.0, 1.0, k, 4 * k, 1)) - np.pi) for k in (2, 4, 8)]
    assert errors[0] > errors[1] > errors[2] < 0.01 * np.pi


def test_load_mesh_finds_the_surface(tmp_path):
    r, n_radial, n_around, n_z = 1.5, 2, 16, 3
    points, hexahedra = cylinder_mesh(r, 2.0, n_radial, n_around, n_z)
    write_vtk(tmp_path / "c.vtk", points, hexahedra, refractive_index=1.5, absorptivity=0.1)
    engine = lumivex.Lumivex()
    engine.load_mesh(str(tmp_path / "c.vtk"))
    assert engine.get_boundary_face_count() == 2 * ((n_around // 4) ** 2 + n_radial * n_around) + n_around * n_z
    assert len(engine.select_boundary_faces_radial(r - 1e-4, r + 1e-4)) == n_around * n_z
