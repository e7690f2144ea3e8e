"""Ray loading (file and arrays), optical boundary conditions, face selection and face-group VTU files."""

import meshio
import numpy as np
import pytest

import lumivex
from conftest import f32, ray_text
from lumivex_tools import box_mesh, write_vtk

MESH = "Error: mesh not loaded yet!\n"
RAYS = "Error: rays not loaded yet!\n"
FACE_TABLE = np.array([[0, 1, 2, 3], [4, 5, 6, 7], [0, 3, 7, 4], [1, 2, 6, 5], [0, 4, 5, 1], [3, 7, 6, 2]])

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


def face_groups_file(engine, path, groups, include):
    engine.write_boundary_face_groups_vtu(str(path), groups, include_unassigned_faces=include)
    m = meshio.read(path)
    assert [block.type for block in m.cells] == ["quad"]
    return m, m.cells[0].data, m.cell_data["FaceId"][0], m.cell_data["GroupId"][0]


def face_corners(engine, tmp_path):
    """Node coordinates of every boundary face, indexed by face id, from the system's own VTU output."""
    m, quads, face_ids, _ = face_groups_file(engine, tmp_path / "all.vtu", [], True)
    assert list(face_ids) == list(range(engine.get_boundary_face_count()))
    return m.points[quads]


# --- rays ------------------------------------------------------------------------------------

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


@pytest.mark.parametrize("call, result", [
    (lambda e: e.get_ray_count(), 0),
    (lambda e: e.rotate_reset_rays([0, 0, 1], 1.0), None),
    (lambda e: e.set_ray_payloads([]), None),
], ids=["count", "rotate", "set_payloads"])
def test_operations_before_any_rays(engine, capfd, call, result):
    assert call(engine) == result
    assert capfd.readouterr().out == RAYS
    payloads = engine.get_ray_payloads()
    assert payloads.shape == (0,) and RAYS in capfd.readouterr().out


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


# --- meshes from arrays ----------------------------------------------------------------------

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


# --- boundary conditions ---------------------------------------------------------------------

def test_boundary_condition_record():
    bc = lumivex.OpticalBoundaryCondition()
    assert (bc.rough_surface, bc.roughness, bc.interaction_type) == (False, 0.0, lumivex.TRANSMIT)
    assert (bc.refractive_index_real, bc.refractive_index_imag, bc.faces) == (1.0, 0.0, [])
    bc.faces = [3, 1]
    bc.faces.append(9)
    assert bc.faces == [3, 1] and bc.faces is not bc.faces
    assert lumivex.REFLECT == lumivex.BoundaryConditionInteractionType.REFLECT and int(lumivex.REFLECT) == 1


def conditions(*face_lists):
    out = []
    for faces in face_lists:
        bc = lumivex.OpticalBoundaryCondition()
        bc.faces = list(faces)
        out.append(bc)
    return out


@pytest.mark.parametrize("faces, out", [
    ([[0, 1], [2]], ""),
    ([[7], [5, 7]], "Warning: boundary face 7 already assigned to BC 0, overwriting with BC 1\n"),
    ([[4, 4]], "Warning: boundary face 4 already assigned to BC 0, overwriting with BC 0\n"),
    ([[1], [24, -1]], "Warning: skipping out-of-range boundary face 24 for BC 1 (nFaces=24)\n"
                      "Warning: skipping out-of-range boundary face -1 for BC 1 (nFaces=24)\n"),
    ([], ""),
], ids=["plain", "overwrite", "repeat", "out-of-range", "empty"])
def test_set_and_clear_boundary_conditions(cube, capfd, tmp_path, faces, out):
    cube.set_boundary_conditions(conditions(*faces))
    assert capfd.readouterr().out == out
    assert cube.get_boundary_condition_count() == len(faces)
    # Each face belongs to the last condition naming it.
    owner = {f: b for b, group in enumerate(faces) for f in group if 0 <= f < 24}
    if owner:
        cube.write_boundary_condition_groups_vtu(str(tmp_path / "bc.vtu"), include_unassigned_faces=False)
        m = meshio.read(tmp_path / "bc.vtu")
        got = dict(zip(m.cell_data["FaceId"][0].tolist(), m.cell_data["GroupId"][0].tolist()))
        assert got == owner
    cube.clear_boundary_conditions()
    assert cube.get_boundary_condition_count() == 0
    capfd.readouterr()
    cube.write_boundary_condition_groups_vtu(str(tmp_path / "none.vtu"), include_unassigned_faces=False)
    assert capfd.readouterr().out == f"Warning: no faces selected for VTU output {tmp_path / 'none.vtu'}\n"


def test_boundary_conditions_before_a_mesh(engine, capfd):
    engine.set_boundary_conditions(conditions([0]))
    assert capfd.readouterr().out == MESH


# --- face selection --------------------------------------------------------------------------

def test_face_selection_on_the_box(cube, tmp_path):
    corners = face_corners(cube, tmp_path)                     # (24, 4, 3)
    radius = np.hypot(corners[..., 0], corners[..., 1])

    def expect(inside, all_nodes):
        return sorted(np.flatnonzero(inside.all(axis=1) if all_nodes else inside.any(axis=1)).tolist())

    bottom = cube.select_boundary_faces_bbox(-1, 1, -1, 1, 0, 0)
    assert len(bottom) == 4 and bottom == expect(np.isclose(corners[..., 2], 0.0), True)
    # The swapped bounds describe the same box.
    assert cube.select_boundary_faces_bbox(1, -1, 1, -1, 0, 0) == bottom
    edge = cube.select_boundary_faces_bbox(-1, 1, -0.51, -0.49, -0.01, 0.01, require_all_nodes=False)
    on_edge = np.isclose(corners[..., 1], -0.5) & np.isclose(corners[..., 2], 0.0)
    assert edge == expect(on_edge, False) and len(edge) == 6
    for lo, hi, all_nodes in [(0.0, 0.3, False), (0.5, 0.75, True), (-1.0, 0.5, True), (0.6, 0.8, False)]:
        got = cube.select_boundary_faces_radial(lo, hi, require_all_nodes=all_nodes)
        assert got == expect((radius >= max(lo, 0) - 1e-6) & (radius <= hi + 1e-6), all_nodes), (lo, hi)
    assert cube.select_boundary_faces_radial(0.8, 0.5) == cube.select_boundary_faces_radial(0.5, 0.8)


@pytest.mark.parametrize("select", [
    lambda e: e.select_boundary_faces_bbox(-1, 1, -1, 1, -1, 1),
    lambda e: e.select_boundary_faces_radial(0.0, 1.0),
], ids=["bbox", "radial"])
def test_face_selection_before_a_mesh(engine, capfd, select):
    assert select(engine) == []
    assert capfd.readouterr().out == MESH


# --- face-group files ------------------------------------------------------------------------

@pytest.mark.parametrize("include", [False, True])
def test_face_group_file(cube, tmp_path, include):
    groups = [[5, 2], [11]]
    m, quads, face_ids, group_ids = face_groups_file(cube, tmp_path / "groups.vtu", groups, include)
    np.testing.assert_allclose(m.points, cube.get_node_positions(), rtol=0, atol=1e-6)
    expected = {2: 0, 5: 0, 11: 1}
    listed = list(range(24)) if include else sorted(expected)
    assert face_ids.tolist() == listed
    assert group_ids.tolist() == [expected.get(f, -1) for f in listed]
    # Every cell is a genuine boundary quad of the box, each written once.
    points, hexahedra = box_mesh(2, 2, 2, (1.0, 1.0, 1.0), (-0.5, -0.5, 0.0))
    element_faces = [frozenset(h[FACE_TABLE[f]].tolist()) for h in hexahedra for f in range(6)]
    boundary = {q for q in element_faces if element_faces.count(q) == 1}
    cells = [frozenset(q.tolist()) for q in quads]
    assert len(set(cells)) == len(cells) and set(cells) <= boundary


def test_condition_group_file(cube, tmp_path, capfd):
    cube.set_boundary_conditions(conditions([3, 0], [17], [8]))
    capfd.readouterr()
    path = tmp_path / "bc.vtu"
    cube.write_boundary_condition_groups_vtu(str(path), include_unassigned_faces=True)
    m = meshio.read(path)
    assert len(m.points) == 27 and m.cells[0].type == "quad" and len(m.cells[0].data) == 24
    owner = {0: 0, 3: 0, 17: 1, 8: 2}
    assert m.cell_data["FaceId"][0].tolist() == list(range(24))
    assert m.cell_data["GroupId"][0].tolist() == [owner.get(f, -1) for f in range(24)]
