"""Mesh counts and the NumPy exchange of positions and material properties."""

import numpy as np
import pytest

import lumivex
from conftest import f32


@pytest.mark.parametrize("nx, ny, nz", [(1, 1, 1), (2, 3, 4)])
def test_counts_of_generated_box(engine, make_box, nx, ny, nz):
    path, points, hexahedra = make_box(nx, ny, nz)
    engine.load_mesh(path)
    assert engine.get_node_count() == (nx + 1) * (ny + 1) * (nz + 1) == len(points)
    assert engine.get_element_count() == nx * ny * nz
    assert engine.get_boundary_face_count() == 2 * (nx * ny + ny * nz + nz * nx)
    assert all(type(v) is int for v in (engine.get_node_count(), engine.get_element_count()))


def test_positions_are_the_file_points_in_float32(engine, make_box):
    # Coordinates that float32 cannot hold exactly, so narrowing and transposition both show.
    path, points, _ = make_box(3, 2, 2, size=(0.3, 0.7, 1.1), origin=(-0.1, 2.2, 1e-3))
    engine.load_mesh(path)
    got = engine.get_node_positions()
    assert got.dtype == np.float64 and got.shape == (len(points), 3) and got.flags.c_contiguous
    np.testing.assert_array_equal(got, f32(np.array([f"{v:.9g}" for v in points.ravel()],
                                                    dtype=np.float64).reshape(-1, 3)))


def test_set_node_positions_round_trip(loaded):
    engine = loaded.engine
    before = engine.get_node_positions()
    engine.set_node_positions(before)
    np.testing.assert_array_equal(engine.get_node_positions(), before)

    moved = before * [1.0, 2.0, 3.0] + np.arange(len(before))[:, None] * [1e-3, -2e-3, 0.1]
    engine.set_node_positions(moved)
    np.testing.assert_array_equal(engine.get_node_positions(), f32(moved))


@pytest.mark.parametrize("kind", ["refractive_index", "absorptivity"])
def test_material_round_trip(loaded, kind):
    engine = loaded.engine
    n = engine.get_node_count()
    values = np.linspace(0.1, 2.9, n) + 1e-9
    getattr(engine, f"set_{kind}")(values)
    got = getattr(engine, f"get_{kind}")()
    assert got.dtype == np.float64 and got.shape == (n,)
    np.testing.assert_array_equal(got, f32(values))


def test_getters_return_independent_copies(loaded):
    engine = loaded.engine
    index, positions = engine.get_refractive_index(), engine.get_node_positions()
    index[:] = 99.0
    positions[:] = -1.0
    np.testing.assert_array_equal(engine.get_refractive_index(), 1.0)
    np.testing.assert_array_equal(engine.get_node_positions(), f32(loaded.points))

    kept = engine.get_absorptivity()
    engine.set_constant_matprops(2.0, 0.7)
    np.testing.assert_array_equal(kept, 0.0)


def _column_slice(a):
    wide = np.zeros((len(a), 5))
    wide[:, 1:4] = a
    return wide[:, 1:4]


@pytest.mark.parametrize("layout", [
    pytest.param(np.asfortranarray, id="fortran"),
    pytest.param(_column_slice, id="column-slice"),
    pytest.param(lambda a: a[::-1], id="reversed-rows"),
])
def test_non_contiguous_positions_are_read_row_by_row(loaded, layout):
    engine = loaded.engine
    arg = layout(loaded.points * 2.0 + [0.5, -0.25, 1.0])
    engine.set_node_positions(arg)
    np.testing.assert_array_equal(engine.get_node_positions(), f32(np.asarray(arg)))


@pytest.mark.parametrize("method, bad, message", [
    ("set_absorptivity", lambda n: np.zeros((n, 1)), "Input must be a 1-D array"),
    ("set_absorptivity", lambda n: np.zeros(n + 1), "Array size must match node count"),
    ("set_refractive_index", lambda n: 1.5, "Input must be a 1-D array"),
    ("set_refractive_index", lambda n: np.zeros(0), "Array size must match node count"),
    ("set_node_positions", lambda n: np.zeros((n, 2)), "Input must be a (nNodes, 3) array"),
    ("set_node_positions", lambda n: np.zeros((3, n)), "Input must be a (nNodes, 3) array"),
    ("set_node_positions", lambda n: np.zeros((n - 1, 3)), "Array size must match node count"),
])
def test_binding_checks_reject_and_leave_the_mesh_unchanged(loaded, method, bad, message):
    engine = loaded.engine
    snapshot = (engine.get_node_positions(), engine.get_refractive_index(), engine.get_absorptivity())
    with pytest.raises(RuntimeError) as err:
        getattr(engine, method)(bad(engine.get_node_count()))
    assert str(err.value) == message
    after = (engine.get_node_positions(), engine.get_refractive_index(), engine.get_absorptivity())
    for old, new in zip(snapshot, after):
        np.testing.assert_array_equal(old, new)


def test_second_load_replaces_the_mesh(loaded, make_box):
    engine = loaded.engine
    engine.set_constant_matprops(1.6, 0.2)
    path, points, _ = make_box(1, 1, 1, size=(2.0, 2.0, 2.0), origin=(5.0, 5.0, 5.0))
    engine.load_mesh(path)
    assert (engine.get_node_count(), engine.get_element_count(), engine.get_boundary_face_count()) == (8, 1, 6)
    np.testing.assert_array_equal(engine.get_node_positions(), f32(points))
    np.testing.assert_array_equal(engine.get_refractive_index(), np.ones(8))
    np.testing.assert_array_equal(engine.get_absorptivity(), np.zeros(8))


def test_engines_are_independent(make_box):
    a, b = lumivex.Lumivex(), lumivex.Lumivex()
    a.load_mesh(make_box(3, 2, 2)[0])
    b.load_mesh(make_box(1, 1, 1)[0])
    b.set_constant_matprops(1.9, 0.4)
    assert (a.get_node_count(), b.get_node_count()) == (36, 8)
    np.testing.assert_array_equal(a.get_refractive_index(), np.ones(36))
    assert a.get_mesh_ptr() != b.get_mesh_ptr()

