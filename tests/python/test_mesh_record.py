"""The flat mesh record behind get_mesh_data_devlink_ptr, as kuravel and dosterin will read it.

On the CPU backend its array fields are ordinary host memory, so the derived mesh data
(connectivity, boundary faces, normals, nodal volumes) can be checked from here.
"""

import itertools

import numpy as np
import pytest

from conftest import f32, mesh_record, on_cpu
from lumivex_tools import box_mesh, write_vtk

pytestmark = on_cpu

FACE_TABLE = np.array([[0, 1, 2, 3], [4, 5, 6, 7], [0, 3, 7, 4], [1, 2, 6, 5], [0, 4, 5, 1], [3, 7, 6, 2]])
NATURAL = np.array([[-1, -1, -1], [1, -1, -1], [1, 1, -1], [-1, 1, -1],
                    [-1, -1, 1], [1, -1, 1], [1, 1, 1], [-1, 1, 1]])
TANGENTS = [(0, 1), (0, 1), (1, 2), (1, 2), (2, 0), (2, 0)]   # (t1, t2) axes of each local face
CODES = [lambda u, v: (u, v), lambda u, v: (u, -v), lambda u, v: (-u, v), lambda u, v: (-u, -v),
         lambda u, v: (v, u), lambda u, v: (v, -u), lambda u, v: (-v, u), lambda u, v: (-v, -u)]


def load(engine, tmp_path, points, hexahedra, **material):
    path = tmp_path / "mesh.vtk"
    write_vtk(path, points, hexahedra, **material)
    engine.load_mesh(str(path))
    return mesh_record(engine)


def topology(rec):
    e, f = rec.nElements, rec.nFaces
    return dict(
        nodes=rec.array("elementNodes", 8 * e, (e, 8)),
        neighbors=rec.array("elementNeighbors", 6 * e, (e, 6)),
        types=rec.array("elementNeighborTypes", 6 * e, (e, 6)),
        nfaces=rec.array("elementNeighborFaces", 6 * e, (e, 6)),
        orient=rec.array("elementNeighborOrientations", 6 * e, (e, 6)),
        face_nodes=rec.array("faceNodes", 4 * f, (f, 4)),
        face_element=rec.array("faceElement", f),
        face_local=rec.array("faceLocalFace", f),
    )


def orientation(nodes, a, f, b, g):
    """Code that takes the (t1, t2) coordinates of face f of element a to those of face g of element b."""
    pairs = []
    for k in FACE_TABLE[f]:
        m = list(nodes[b]).index(nodes[a][k])
        pairs.append((NATURAL[k][list(TANGENTS[f])], NATURAL[m][list(TANGENTS[g])]))
    for code, mapping in enumerate(CODES):
        if all(tuple(mapping(*uv)) == tuple(target) for uv, target in pairs):
            return code
    return -1


def test_record_header_and_counts(loaded):
    engine = loaded.engine
    rec = mesh_record(engine)
    np.testing.assert_array_equal(np.array(rec.faceNodeTable).reshape(6, 4), FACE_TABLE)
    assert (rec.nNodes, rec.nElements, rec.nFaces) == (
        engine.get_node_count(), engine.get_element_count(), engine.get_boundary_face_count())
    assert (rec.DEVICE, rec.HOST, rec.location) == (0, 1, 0)
    assert (rec.nBCs, rec.nBCFaces) == (0, 0)
    assert not rec.bcFaces and not rec.bcFaceOffsets
    np.testing.assert_array_equal(rec.array("faceBC", rec.nFaces), -1)
    np.testing.assert_array_equal(rec.array("elementNodes", 8 * rec.nElements, (-1, 8)), loaded.hexahedra)


def test_record_arrays_are_what_the_engine_exchanges(loaded):
    engine = loaded.engine
    n = engine.get_node_count()
    moved = loaded.points + np.arange(n)[:, None] * [0.01, 0.02, 0.03]
    engine.set_node_positions(moved)
    engine.set_constant_matprops(1.5, 0.3)
    rec = mesh_record(engine)
    # Structure of arrays: all x, then all y, then all z.
    np.testing.assert_array_equal(rec.array("nodeCoords", 3 * n), f32(moved.T.ravel()))
    np.testing.assert_array_equal(rec.array("refrIndex", n), np.float32(1.5))
    np.testing.assert_array_equal(rec.array("absorptivity", n), np.float32(0.3))


def test_reload_updates_the_record_at_the_same_address(loaded, make_box):
    engine = loaded.engine
    address = engine.get_mesh_data_devlink_ptr()
    engine.load_mesh(make_box(1, 1, 1)[0])
    assert engine.get_mesh_data_devlink_ptr() == address
    rec = mesh_record(engine)
    assert (rec.nNodes, rec.nElements, rec.nFaces) == (8, 1, 6)


@pytest.mark.parametrize("dims, size", [((1, 1, 1), (1.0, 1.0, 1.0)), ((3, 2, 2), (3.0, 1.0, 0.5)),
                                        ((2, 3, 1), (0.2, 0.3, 0.4))])
def test_boundary_faces_of_a_box(engine, tmp_path, dims, size):
    points, hexahedra = box_mesh(*dims, size=size)
    rec = load(engine, tmp_path, points, hexahedra)
    t = topology(rec)

    element_faces = [tuple(sorted(h[FACE_TABLE[f]])) for h in hexahedra for f in range(6)]
    counts = {key: element_faces.count(key) for key in element_faces}
    expected = {key for key, c in counts.items() if c == 1}
    got = [tuple(sorted(fn)) for fn in t["face_nodes"]]
    assert len(got) == len(set(got)) and set(got) == expected

    # Each boundary face knows its element and local face, and is listed under that element face.
    for b, (e, f) in enumerate(zip(t["face_element"], t["face_local"])):
        assert set(hexahedra[e][FACE_TABLE[f]]) == set(t["face_nodes"][b])
        assert (t["types"][e, f], t["neighbors"][e, f]) == (1, b)
    assert np.count_nonzero(t["types"] == 1) == rec.nFaces
    assert np.count_nonzero(t["types"] == -1) == 0


@pytest.mark.parametrize("dims", [(1, 1, 1), (3, 2, 2)])
def test_face_normals_are_outward_unit_vectors(engine, tmp_path, dims):
    points, hexahedra = box_mesh(*dims, size=(2.0, 1.0, 0.5), origin=(-1.0, 3.0, 0.0))
    rec = load(engine, tmp_path, points, hexahedra)
    t = topology(rec)
    normals = rec.array("faceNormals", 3 * rec.nFaces, (3, -1)).T
    np.testing.assert_allclose(np.linalg.norm(normals, axis=1), 1.0, rtol=1e-6)
    centre = points.mean(axis=0)
    for b, fn in enumerate(t["face_nodes"]):
        outward = points[fn].mean(axis=0) - centre
        axis = np.argmax(np.abs(normals[b]))
        np.testing.assert_allclose(normals[b], np.sign(outward[axis]) * np.eye(3)[axis], atol=1e-6)
        assert np.isclose(np.abs(outward[axis]), np.abs(points[:, axis] - centre[axis]).max())


def test_interior_faces_link_both_elements(engine, tmp_path):
    points, hexahedra = box_mesh(3, 2, 2)
    t = topology(load(engine, tmp_path, points, hexahedra))
    interior = np.argwhere(t["types"] == 0)
    assert len(interior) == 2 * (2 * 2 * 2 + 3 * 1 * 2 + 3 * 2 * 1)
    opposite = [1, 0, 3, 2, 5, 4]   # all elements of the box share one local frame
    for e, f in interior:
        b, g = t["neighbors"][e, f], t["nfaces"][e, f]
        assert g == opposite[f]
        assert (t["types"][b, g], t["neighbors"][b, g], t["nfaces"][b, g]) == (0, e, f)
        assert t["orient"][e, f] == 0
    assert np.all(t["orient"][t["types"] != 0] == 255)
    assert np.all(t["nfaces"][t["types"] != 0] == -1)


def test_quarter_turned_neighbour_has_inverse_orientation_codes(engine, tmp_path):
    # Element 1 shares the face x = 1 with element 0; its local frame is turned a quarter turn
    # about the x axis (y = -zeta, z = eta), which keeps its Jacobian positive.
    cube = 0.5 + 0.5 * NATURAL   # corners in local node order
    turned = np.column_stack([1.5 + 0.5 * NATURAL[:, 0], 0.5 - 0.5 * NATURAL[:, 2], 0.5 + 0.5 * NATURAL[:, 1]])
    points = np.unique(np.vstack([cube, turned]), axis=0)
    index = {tuple(p): i for i, p in enumerate(points)}
    hexahedra = np.array([[index[tuple(p)] for p in cube], [index[tuple(p)] for p in turned]])
    rec = load(engine, tmp_path, points, hexahedra)
    t = topology(rec)
    assert rec.nFaces == 10
    assert (t["types"][0, 3], t["neighbors"][0, 3], t["nfaces"][0, 3]) == (0, 1, 2)
    assert (t["types"][1, 2], t["neighbors"][1, 2], t["nfaces"][1, 2]) == (0, 0, 3)
    there, back = int(t["orient"][0, 3]), int(t["orient"][1, 2])
    assert there == orientation(hexahedra, 0, 3, 1, 2) and back == orientation(hexahedra, 1, 2, 0, 3)
    assert {there, back} == {5, 6}
    for u, v in itertools.product((-1, 1), repeat=2):
        assert CODES[back](*CODES[there](u, v)) == (u, v)


def test_face_shared_by_three_elements_stays_unresolved(engine, tmp_path):
    cube = 0.5 + 0.5 * NATURAL   # corners in local node order
    right = cube + [1.0, 0.0, 0.0]
    skew = right + np.where(cube[:, [0]] == 1.0, [0.0, 0.5, 0.5], 0.0)   # same face x = 1, other far side
    points = np.unique(np.vstack([cube, right, skew]), axis=0)
    index = {tuple(p): i for i, p in enumerate(points)}
    hexahedra = np.array([[index[tuple(p)] for p in block] for block in (cube, right, skew)])
    rec = load(engine, tmp_path, points, hexahedra)
    t = topology(rec)
    assert rec.nFaces == 15
    for e, f in [(0, 3), (1, 2), (2, 2)]:
        assert (t["types"][e, f], t["neighbors"][e, f]) == (-1, -1)


def _frustum():
    """Square frustum: a 2 x 2 base at z = 0 under a centred 1 x 1 top at z = 1 (volume 7/3)."""
    base = np.array([[-1, -1], [1, -1], [1, 1], [-1, 1]], dtype=float)
    return np.vstack([np.column_stack([base, np.zeros(4)]), np.column_stack([0.5 * base, np.ones(4)])]), 7 / 3


@pytest.mark.parametrize("case", ["unit-cube", "scaled-box", "sheared", "frustum"])
def test_nodal_volumes(engine, tmp_path, case):
    if case == "frustum":
        points, volume = _frustum()
        hexahedra = np.arange(8)[None, :]
    else:
        dims, size = {"unit-cube": ((1, 1, 1), (1.0, 1.0, 1.0)), "scaled-box": ((3, 2, 2), (3.0, 1.0, 0.5)),
                      "sheared": ((2, 1, 1), (2.0, 1.0, 1.0))}[case]
        points, hexahedra = box_mesh(*dims, size=size)
        volume = np.prod(size)
        if case == "sheared":
            points = points + points[:, [2]] * [0.5, 0.25, 0.0]
    rec = load(engine, tmp_path, points, hexahedra)
    mass = rec.array("nodalMass", rec.nNodes)
    share = volume / len(hexahedra) / 8
    expected = share * np.bincount(hexahedra.ravel(), minlength=len(points))
    np.testing.assert_allclose(mass, expected, rtol=1e-5)
    np.testing.assert_allclose(mass.sum(), volume, rtol=1e-5)
