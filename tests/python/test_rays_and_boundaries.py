"""Ray loading (file and arrays), mesh arrays, optical boundary conditions and their face-group file."""

import meshio
import numpy as np
import pytest

import lumivex
from conftest import f32, ray_text
from lumivex_tools import box_mesh, write_vtk


# Two rays entering the bottom of the cube box below; the second has an unnormalised direction.
ORIGINS = np.array([[0.1, -0.2, -1.0], [-0.3, 0.2, -1.0]])
DIRECTIONS = np.array([[0.0, 0.0, 1.0], [0.2, 0.0, 2.0]])
POWERS = np.array([1.0, 0.3])


@pytest.fixture
def cube(engine, capfd):
    """A 2x2x2 box of size 1 standing on z = 0, centred on the z axis: 27 nodes, 24 boundary faces."""
    points, hexahedra = box_mesh(2, 2, 2, (1.0, 1.0, 1.0), (-0.5, -0.5, 0.0))
    engine.load_mesh_arrays(points, hexahedra, refractive_index=1.5, absorptivity=0.3)
    capfd.readouterr()
    return engine


def absorbed(engine, tmp_path):
    engine.config()
    engine.configure_outfilename(str(tmp_path / "out.vtu"))
    engine.compute_volumetric_absorption()
    return engine.get_absorbed_power()


def test_ray_file_with_header_and_free_layout(engine, ray_file):
    records = [(0, 0, 0, 0, 0, 2, 1.5), (1, 1, 1, 1, 0, 0, 0.1), (2, 2, 2, 0, 1, 0, 7.25)]
    numbers = " ".join(repr(float(v)) for r in records for v in r).split()
    text = "# made by hand\n\n  3 rays follow\n" + "\n".join(" ".join(numbers[i:i + 5]) for i in range(0, 21, 5))
    engine.load_rays(ray_file(text=text + "\n9 9 9 9 9 9 9\n"))
    assert engine.get_ray_count() == 3
    np.testing.assert_array_equal(engine.get_ray_payloads(), f32([1.5, 0.1, 7.25]))
    engine.set_ray_payloads([0.1, 2.0, 1e-3])
    np.testing.assert_array_equal(engine.get_ray_payloads(), f32([0.1, 2.0, 1e-3]))
    with pytest.raises(RuntimeError, match="Array size must match ray count"):
        engine.set_ray_payloads([1.0, 2.0])


@pytest.mark.parametrize("text, error, words", [
    (ray_text([(0, 0, 0, 0, 0, 1, 1)] * 2, count=3), RuntimeError, ["3"]),
    ("-1\n", RuntimeError, ["-1"]),
    ("2147483648\n" + "0 0 0 0 0 1 1\n", RuntimeError, ["2147483648"]),
    ("rays: 3\n", ValueError, []),
    ("   \n", ValueError, []),
], ids=["short", "negative", "too-many", "no-digits", "blank-count"])
def test_bad_ray_file_keeps_previous_rays(engine, ray_file, text, error, words):
    engine.load_rays(ray_file([(0, 0, 0, 1, 0, 0, 4.0)] * 2, name="good.ry"))
    bad = ray_file(text=text, name="bad.ry")
    with pytest.raises(error) as info:
        engine.load_rays(bad)
    for word in words + ([bad] if error is RuntimeError else []):
        assert word in str(info.value)
    assert engine.get_ray_count() == 2
    np.testing.assert_array_equal(engine.get_ray_payloads(), [4.0, 4.0])


@pytest.mark.parametrize("path, message", [("/nonexistent/dir/rays.ry", "Failed to open file"), (None, None)])
def test_unreadable_ray_path(engine, path, message):
    with pytest.raises(RuntimeError, match=message):
        engine.load_rays(path)


def test_ray_arrays_match_the_ray_file(cube, ray_file, tmp_path):
    from_file = lumivex.Lumivex()
    from_file.load_mesh_arrays(*box_mesh(2, 2, 2, (1.0, 1.0, 1.0), (-0.5, -0.5, 0.0)),
                               refractive_index=1.5, absorptivity=0.3)
    from_file.load_rays(ray_file(np.hstack([ORIGINS, DIRECTIONS, POWERS[:, None]])))
    cube.load_rays_arrays(ORIGINS, DIRECTIONS / np.linalg.norm(DIRECTIONS, axis=1)[:, None], POWERS)
    assert cube.get_ray_count() == from_file.get_ray_count() == 2
    np.testing.assert_array_equal(cube.get_ray_payloads(), from_file.get_ray_payloads())
    expected = absorbed(from_file, tmp_path)
    assert expected.sum() > 0
    np.testing.assert_allclose(absorbed(cube, tmp_path), expected, rtol=1e-5, atol=1e-6)


@pytest.mark.parametrize("bad", [
    (ORIGINS[:, :2], DIRECTIONS, POWERS), (ORIGINS, DIRECTIONS[:1], POWERS), (ORIGINS, DIRECTIONS, POWERS[:1]),
    (ORIGINS, DIRECTIONS, [np.nan, 1.0]), (np.where(ORIGINS == 0.1, np.inf, ORIGINS), DIRECTIONS, POWERS),
], ids=["origins-2col", "directions-rows", "powers-size", "nan-power", "inf-origin"])
def test_bad_ray_arrays_keep_previous_rays(engine, bad):
    engine.load_rays_arrays(ORIGINS, DIRECTIONS, [4.0, 5.0])
    with pytest.raises(RuntimeError):
        engine.load_rays_arrays(*bad)
    np.testing.assert_array_equal(engine.get_ray_payloads(), [4.0, 5.0])


def test_mesh_arrays_match_the_mesh_file(cube, tmp_path, capfd):
    points, hexahedra = box_mesh(2, 2, 2, (1.0, 1.0, 1.0), (-0.5, -0.5, 0.0))
    write_vtk(tmp_path / "cube.vtk", points, hexahedra, refractive_index=np.full(27, 1.5),
              absorptivity=np.full(27, 0.3))
    from_file = lumivex.Lumivex()
    from_file.load_mesh(str(tmp_path / "cube.vtk"))
    for e in (cube, from_file):
        e.load_rays_arrays(ORIGINS, DIRECTIONS, POWERS)
    assert (cube.get_node_count(), cube.get_boundary_face_count()) == (from_file.get_node_count(), 24)
    assert from_file.get_boundary_face_count() == 24
    np.testing.assert_allclose(absorbed(cube, tmp_path), absorbed(from_file, tmp_path), rtol=1e-6, atol=1e-7)


@pytest.mark.parametrize("make", [
    lambda p, h: (p, h.astype(float)), lambda p, h: (p, h + 27), lambda p, h: (p, -h - 1),
    lambda p, h: (p[:, :2], h), lambda p, h: (p, h[:, :7]), lambda p, h: (np.where(p == 1.0, np.nan, p), h),
], ids=["float-ids", "ids-too-large", "negative-ids", "points-2col", "hex-7", "nan-point"])
def test_bad_mesh_arrays_keep_previous_mesh(cube, make):
    points, hexahedra = box_mesh(1, 1, 1)
    with pytest.raises(RuntimeError):
        cube.load_mesh_arrays(*make(points, hexahedra))
    assert (cube.get_node_count(), cube.get_boundary_face_count()) == (27, 24)


def condition(faces):
    bc = lumivex.OpticalBoundaryCondition()
    bc.faces = list(faces)
    return bc


@pytest.mark.parametrize("faces, out", [
    ([[7], [5, 7]], "Warning: boundary face 7 already assigned to BC 0, overwriting with BC 1\n"),
    ([[1], [24, -1]], "Warning: skipping out-of-range boundary face 24 for BC 1 (nFaces=24)\n"
                      "Warning: skipping out-of-range boundary face -1 for BC 1 (nFaces=24)\n"),
], ids=["overwrite", "out-of-range"])
def test_set_and_clear_boundary_conditions(cube, capfd, tmp_path, faces, out):
    cube.set_boundary_conditions([condition(f) for f in faces])
    assert capfd.readouterr().out == out
    assert cube.get_boundary_condition_count() == len(faces)
    # Each face belongs to the last condition naming it.
    owner = {f: b for b, group in enumerate(faces) for f in group if 0 <= f < 24}
    cube.write_boundary_condition_groups_vtu(str(tmp_path / "bc.vtu"), include_unassigned_faces=False)
    m = meshio.read(tmp_path / "bc.vtu")
    assert dict(zip(m.cell_data["FaceId"][0].tolist(), m.cell_data["GroupId"][0].tolist())) == owner
    cube.clear_boundary_conditions()
    assert cube.get_boundary_condition_count() == 0
    capfd.readouterr()
    cube.write_boundary_condition_groups_vtu(str(tmp_path / "none.vtu"), include_unassigned_faces=False)
    assert capfd.readouterr().out == f"Warning: no faces selected for VTU output {tmp_path / 'none.vtu'}\n"
