"""What the engine prints when a prerequisite is missing, and the checks in front of it."""

import numpy as np
import pytest

import lumivex

MESH = "Error: mesh not loaded yet!\n"
RAYS = "Error: rays not loaded yet!\n"
FERT = "Error: FERT not initialized yet!\n"
ABORT_SOLVE = "Aborting: Can not solve optics before proper initialization.\n"
ABORT_WRITE = "Aborting: Can not create output file before proper initialization.\n"
OUTNAME = ("Error: FERT must be initialized and mesh must be loaded before configuring output "
           "file name in objective.\n")


@pytest.mark.parametrize("call, result, out, err", [
    (lambda e: e.compute_volumetric_absorption(), None, MESH + ABORT_SOLVE, ""),
    (lambda e: e.write_result(), None, MESH + ABORT_WRITE, ""),
    (lambda e: e.write_result_append(np.zeros(4)), None, MESH + ABORT_WRITE, ""),
    (lambda e: e.get_mesh_ptr(), 0, MESH, ""),
    (lambda e: e.get_mesh_data_devlink_ptr(), 0, MESH, ""),
    (lambda e: e.get_result_array_device_ptr(), 0, FERT, ""),
    (lambda e: e.configure_outfilename("x.vtu"), None, "", OUTNAME),
    (lambda e: e.get_node_count(), 0, MESH, ""),
    (lambda e: e.set_boundary_conditions([lumivex.OpticalBoundaryCondition()]), None, MESH, ""),
    (lambda e: e.select_boundary_faces_bbox(-1, 1, -1, 1, -1, 1), [], MESH, ""),
    (lambda e: e.select_boundary_faces_radial(0.0, 1.0), [], MESH, ""),
], ids=["compute", "write_result", "write_result_append", "mesh_ptr", "devlink_ptr", "result_ptr",
        "configure_outfilename", "node_count", "set_conditions", "select_bbox", "select_radial"])
def test_fresh_engine_reports_what_is_missing(engine, capfd, call, result, out, err):
    assert call(engine) == result
    captured = capfd.readouterr()
    assert (captured.out, captured.err) == (out, err)


@pytest.mark.parametrize("call, result, out, err", [
    (lambda e: e.compute_volumetric_absorption(), None, RAYS + ABORT_SOLVE, ""),
    (lambda e: e.write_result(), None, RAYS + ABORT_WRITE, ""),
    (lambda e: e.get_result_array_device_ptr(), 0, FERT, ""),
    (lambda e: e.configure_outfilename("x.vtu"), None, "", OUTNAME),
    (lambda e: e.set_ray_payloads([1.0, 2.0]), None, RAYS, ""),
    (lambda e: e.rotate_reset_rays([0, 0, 1], 0.5), None, RAYS, ""),
    (lambda e: e.get_ray_count(), 0, RAYS, ""),
], ids=["compute", "write_result", "result_ptr", "configure_outfilename", "set_payloads", "rotate", "ray_count"])
def test_engine_with_mesh_but_no_rays(loaded, capfd, call, result, out, err):
    assert call(loaded.engine) == result
    captured = capfd.readouterr()
    assert (captured.out, captured.err) == (out, err)


def test_missing_rays_give_empty_payloads(loaded, capfd):
    payloads = loaded.engine.get_ray_payloads()
    assert payloads.shape == (0,) and payloads.dtype == np.float64
    assert RAYS in capfd.readouterr().out


def test_mesh_addresses_after_load(loaded, capfd):
    engine = loaded.engine
    mesh, devlink = engine.get_mesh_ptr(), engine.get_mesh_data_devlink_ptr()
    assert mesh > 0
    # The mesh object starts with the device record's address, then holds the host record.
    assert devlink == mesh + 8
    assert capfd.readouterr().out == ""
    engine.load_mesh(loaded.path)
    assert (engine.get_mesh_ptr(), engine.get_mesh_data_devlink_ptr()) == (mesh, devlink)


@pytest.mark.parametrize("name, message", [
    ("FE", "Solver is configured as forward euler\n"),
    ("RK4", "Solver is configured as 4th order Runge-Kutta\n"),
    ("fe", "Solver type not recognized using default: Forwar-Euler\n"),
    ("FE ", "Solver type not recognized using default: Forwar-Euler\n"),
])
def test_set_solver_type_messages(engine, capfd, name, message):
    engine.set_solver_type(name)
    assert capfd.readouterr() == (message, "")


@pytest.mark.parametrize("axis", [[0, 1], [0, 0, 1, 0], [[0, 0, 1]]])
def test_rotation_axis_must_have_three_entries(loaded, capfd, axis):
    with pytest.raises(RuntimeError, match=r"^Axis must be a 3-element array \[x, y, z\]$"):
        loaded.engine.rotate_reset_rays(axis, 0.5)
    assert capfd.readouterr().out == ""


def test_ray_payloads_must_be_one_dimensional(loaded, capfd):
    with pytest.raises(RuntimeError, match="^Input must be a 1-D array$"):
        loaded.engine.set_ray_payloads(np.zeros((2, 2)))
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("fields, names, message", [
    (lambda n: np.zeros(n + 1), None, "1D array size must be a multiple of node count"),
    (lambda n: np.zeros((2, n + 1)), None, "Second dimension must match node count"),
    (lambda n: np.zeros((1, n, 1)), None, "Input must be a 1D or 2D array"),
    (lambda n: 1.0, None, "Input must be a 1D or 2D array"),
    (lambda n: np.zeros((2, n)), ["only"], "field_names length must match number of fields"),
    (lambda n: np.zeros((2, n)), ["T", ""], "field_names entries must be non-empty"),
])
def test_write_result_append_checks(loaded, capfd, fields, names, message):
    engine = loaded.engine
    with pytest.raises(RuntimeError) as err:
        engine.write_result_append(fields(engine.get_node_count()), names)
    assert str(err.value) == message
    assert capfd.readouterr().out == ""


@pytest.mark.parametrize("fields, names", [
    (lambda n: np.zeros(3 * n), None),
    (lambda n: np.zeros((2, n)).T.copy().T, ["T", "X"]),
])
def test_write_result_append_passes_valid_fields_to_the_engine(loaded, capfd, fields, names):
    engine = loaded.engine
    engine.write_result_append(fields(engine.get_node_count()), names)
    assert capfd.readouterr() == (RAYS + ABORT_WRITE, "")
