"""The flat mesh record behind get_mesh_data_devlink_ptr, as kuravel and dosterin read it.

On the CPU backend its array fields are ordinary host memory, so the record's layout (the
contract between the three modules) can be checked from here. The derived mesh data
(connectivity, normals, nodal volumes) is tested in the C++ suite.
"""

import numpy as np

from conftest import f32, mesh_record, on_cpu

pytestmark = on_cpu

FACE_TABLE = np.array([[0, 1, 2, 3], [4, 5, 6, 7], [0, 3, 7, 4], [1, 2, 6, 5], [0, 4, 5, 1], [3, 7, 6, 2]])


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
