"""Mesh files read through meshio with their named groups, and meshes refused or repaired before tracing."""

import meshio
import numpy as np
import pytest

import lumivex
from conftest import f32
from lumivex_tools import box_mesh, cylinder_mesh, load_mesh_file, parallel_beam


def _vial():
    """A two-material vial: resin core then glass wall (outer element ring), in that element order."""
    points, hexahedra = cylinder_mesh(5.0, 6.0, 3, 16, 4)
    wall = (np.hypot(points[:, 0], points[:, 1])[hexahedra] > 4.999).any(axis=1)
    return points, np.concatenate([hexahedra[~wall], hexahedra[wall]]), int(np.count_nonzero(~wall))


def _state(engine):
    return (engine.get_node_positions(), engine.get_element_count(), engine.get_boundary_face_nodes())


def _interior_quads(hexahedra, boundary, count):
    faces = hexahedra[:, [0, 1, 2, 3]]   # bottom faces; those above z = 0 are interior
    keys = {tuple(sorted(f)) for f in boundary}
    return np.array([f for f in faces if tuple(sorted(f)) not in keys][:count])


@pytest.fixture
def vial_file(engine, tmp_path, capfd):
    """The vial loaded from arrays (the reference) and written with gmsh physical groups or cell sets."""
    points, hexahedra, n_resin = _vial()
    engine.load_mesh_arrays(points, hexahedra)
    outer = engine.select_boundary_faces_radial(5.0, 5.0, tolerance=1e-4)
    bottom = engine.select_boundary_faces_bbox(-9, 9, -9, 9, 0.0, 0.0, tolerance=1e-6)
    face_nodes = engine.get_boundary_face_nodes()
    # Quads as a file may hold them: other start node, other turning sense.
    outer_quads = np.roll(face_nodes[outer], 1, axis=1)[:, ::-1]
    bottom_quads = face_nodes[bottom]
    inside = _interior_quads(hexahedra, face_nodes, 3)
    cells = [("line", hexahedra[:2, :2]), ("quad", outer_quads), ("quad", np.concatenate([bottom_quads, inside])),
             ("hexahedron", hexahedra[:n_resin]), ("hexahedron", hexahedra[n_resin:])]
    sizes = [len(c[1]) for c in cells]
    expected = {"faces": {"outer": outer, "bottom": bottom}, "elements": {
        "resin": list(range(n_resin)), "wall": list(range(n_resin, len(hexahedra)))}}
    reference = _state(engine)
    capfd.readouterr()

    def write(file_format, binary=False):
        if file_format == "abaqus":
            sets = {name: [np.arange(s) if i == block else np.empty(0, int) for i, s in enumerate(sizes)]
                    for name, block in (("outer", 1), ("resin", 3), ("wall", 4))}
            sets["bottom"] = [np.empty(0, int)] * 2 + [np.arange(len(bottom_quads))] + [np.empty(0, int)] * 2
            mesh = meshio.Mesh(points, cells, cell_sets=sets)
            path = tmp_path / "vial.inp"
            meshio.write(path, mesh, file_format="abaqus")
        else:
            tags = [np.full(s, t) for s, t in zip(sizes, (9, 1, 2, 1, 2))]
            tags[2][len(bottom_quads):] = 3   # the interior quads form a group of their own
            # meshio 5.3 writes ASCII node data unreadably under NumPy 2: material in binary files only
            material = {"RefractiveIndex": 1.4 + 0.01 * points[:, 2]} if binary else {}
            mesh = meshio.Mesh(points, cells, point_data=material,
                               cell_data={"gmsh:physical": tags, "gmsh:geometrical": tags},
                               field_data={"outer": [1, 2], "bottom": [2, 2], "inside": [3, 2],
                                           "resin": [1, 3], "wall": [2, 3]})
            path = tmp_path / "vial.msh"
            meshio.write(path, mesh, file_format=file_format, binary=binary)
        return str(path)

    return write, reference, expected, points


@pytest.mark.parametrize("file_format, binary", [("gmsh22", False), ("gmsh22", True), ("abaqus", False)])
def test_file_loads_like_arrays_with_groups(vial_file, capfd, file_format, binary):
    write, reference, expected, points = vial_file
    engine = lumivex.Lumivex()
    groups = load_mesh_file(engine, write(file_format, binary), absorptivity=0.3)
    out = capfd.readouterr().out
    for a, b in zip(_state(engine), reference):
        np.testing.assert_array_equal(a, b)
    assert {k: groups.faces[k] for k in expected["faces"]} == expected["faces"]
    assert groups.elements == expected["elements"]
    assert "Skipped lower-dimensional cells: 2 line" in out
    np.testing.assert_array_equal(engine.get_absorptivity(), f32(np.full(len(points), 0.3)))
    if binary:
        assert "RefractiveIndex from the file's point data, Absorptivity 0.3 (given)" in out
        np.testing.assert_array_equal(engine.get_refractive_index(), f32(1.4 + 0.01 * points[:, 2]))
    if file_format == "gmsh22":
        assert groups.faces["inside"] == []
        assert "surface group 'inside': 3 of 3 quads are not boundary faces" in out
    assert set(groups.nodes("resin")) | set(groups.nodes("wall")) == set(range(len(points)))


def test_the_readme_route_traces(vial_file, capfd):
    """.msh -> materials per volume group, conditions per surface group -> absorbed power."""
    engine = lumivex.Lumivex()
    groups = load_mesh_file(engine, vial_file[0]("gmsh22"))
    index = np.full(engine.get_node_count(), 1.52)
    index[groups.nodes("resin")] = 1.48
    engine.set_refractive_index(index)
    engine.set_absorptivity(np.where(index == 1.48, 0.15, 0.0))
    air = lumivex.OpticalBoundaryCondition()
    air.faces = groups.faces["outer"] + groups.faces["bottom"]
    engine.set_boundary_conditions([air])
    engine.load_rays_arrays(*parallel_beam(np.ones((8, 8)), 0.5, centre=(-6.0, 0.0, 3.0)))
    engine.compute_volumetric_absorption()
    q = engine.get_absorbed_power()
    assert q[groups.nodes("resin")].sum() > 0 and np.all(q >= 0)


def test_other_volume_cells_are_refused(engine, tmp_path):
    points, hexahedra = box_mesh(1, 1, 1)
    path = tmp_path / "mixed.vtu"
    meshio.write(path, meshio.Mesh(points, [("hexahedron", hexahedra), ("tetra", hexahedra[:, :4]),
                                            ("wedge", hexahedra[:, :6])]))
    with pytest.raises(RuntimeError, match=r"1 tetra, 1 wedge\); convert the mesh to first-order hexahedra"):
        load_mesh_file(engine, path)
    with pytest.raises(RuntimeError, match="cannot read mesh file"):
        load_mesh_file(engine, tmp_path / "none.msh")


def test_coincident_nodes_are_reported_or_merged(engine, tmp_path, capfd):
    """Two boxes meshed separately: their shared face is duplicated until the nodes are merged."""
    points, hexahedra = box_mesh(2, 2, 1)
    upper, upper_hexahedra = points + [0, 0, 1], hexahedra + len(points)
    path = tmp_path / "two_volumes.vtu"
    meshio.write(path, meshio.Mesh(np.concatenate([points, upper]), [("hexahedron", hexahedra),
                                                                      ("hexahedron", upper_hexahedra)]))
    load_mesh_file(engine, path)
    assert "9 nodes coincide with other nodes but are not merged" in capfd.readouterr().out
    assert engine.get_boundary_face_count() == 2 * 16
    load_mesh_file(engine, path, merge_coincident_nodes=True)
    out = capfd.readouterr().out
    assert "Merged 9 coincident nodes" in out and "not merged" not in out
    assert (engine.get_node_count(), engine.get_boundary_face_count()) == (27, 24)


# --- meshes checked before they are traced ---------------------------------------------------

@pytest.fixture
def traced(engine, tmp_path, capfd):
    """A traced box; `retrace()` traces again from zero and must give the same absorbed power."""
    points, hexahedra = box_mesh(2, 2, 2, (1.0, 1.0, 1.0))
    engine.load_mesh_arrays(points, hexahedra, refractive_index=1.5, absorptivity=0.5)
    engine.load_rays_arrays(*parallel_beam(np.ones((4, 4)), 0.2, centre=(0.5, 0.5, -1.0),
                                           direction=(0, 0, 1), up=(0, 1, 0)))
    engine.config()
    engine.configure_outfilename(str(tmp_path / "out.vtu"))
    engine.compute_volumetric_absorption()
    first = engine.get_absorbed_power()
    capfd.readouterr()

    def retrace():
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
        np.testing.assert_array_equal(engine.get_absorbed_power(), first)

    return engine, retrace, first


def _bad_box(kind):
    points, hexahedra = box_mesh(2, 1, 1)
    if kind == "tangled":
        hexahedra[1, [2, 3]] = hexahedra[1, [3, 2]]   # a bow-tie bottom face
    elif kind == "degenerate":
        hexahedra[0, 3], hexahedra[0, 7] = hexahedra[0, 2], hexahedra[0, 6]   # a prism written as a hexahedron
    elif kind == "three-elements-per-face":
        hexahedra = np.concatenate([hexahedra, hexahedra[1:]])   # a volume in two physical groups
    elif kind == "non-finite":
        points[3, 1] = np.nan
    elif kind == "overflow":
        points[3, 1] = 1e39   # finite as a double, infinite as the engine's float
    return points, hexahedra


@pytest.mark.parametrize("kind, message", [
    ("tangled", r"Invalid mesh: 1 tangled hexahedra, whose corner volumes differ in sign .* \(elements 1\)"),
    ("degenerate", r"Invalid mesh: 1 degenerate hexahedra, with zero volume at a corner .* \(elements 0\)"),
    ("three-elements-per-face", r"Invalid mesh: 6 faces are shared by three or more hexahedra, or by two copies"),
    ("non-finite", r"point 3 has a non-finite coordinate"),
    ("overflow", r"point 3 has a non-finite coordinate"),
])
def test_bad_mesh_is_refused_and_previous_mesh_still_traces(traced, kind, message):
    engine, retrace, _ = traced
    with pytest.raises(RuntimeError, match=message):
        engine.load_mesh_arrays(*_bad_box(kind))
    retrace()


def test_non_finite_material_is_refused(traced):
    engine, retrace, _ = traced
    points, hexahedra = box_mesh(1, 1, 1)
    with pytest.raises(RuntimeError, match="RefractiveIndex of node 2 is not finite"):
        engine.load_mesh_arrays(points, hexahedra, refractive_index=[1.5, 1.5, np.inf] + [1.5] * 5)
    n = engine.get_node_count()
    for setter in (engine.set_refractive_index, engine.set_absorptivity):
        with pytest.raises(RuntimeError, match="Input must be finite: entry 1 is nan"):
            setter([0.1, np.nan] + [0.1] * (n - 2))
    with pytest.raises(RuntimeError, match="must be finite"):
        engine.set_constant_matprops(1.5, np.inf)
    retrace()


def test_bad_file_mesh_is_refused_too(traced, tmp_path):
    from lumivex_tools import write_vtk
    engine, retrace, _ = traced
    path = tmp_path / "tangled.vtk"
    write_vtk(path, *_bad_box("tangled"))
    with pytest.raises(RuntimeError, match="1 tangled hexahedra"):
        engine.load_mesh(str(path))
    retrace()


def test_mirrored_elements_are_reordered(traced, capfd):
    engine, _, first = traced
    points, hexahedra = box_mesh(2, 2, 2, (1.0, 1.0, 1.0))
    mirrored = hexahedra.copy()
    mirrored[::2] = hexahedra[::2][:, [0, 3, 2, 1, 4, 7, 6, 5]]   # the other handedness
    engine.load_mesh_arrays(points, mirrored, refractive_index=1.5, absorptivity=0.5)
    assert "Warning: 4 mirrored hexahedra (negative volume) reordered to positive orientation" in capfd.readouterr().out
    engine.reset_absorbed_power()
    engine.compute_volumetric_absorption()
    np.testing.assert_allclose(engine.get_absorbed_power(), first, rtol=1e-5)
