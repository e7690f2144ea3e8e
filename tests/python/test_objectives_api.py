"""The solver and the render and optical-path objectives driven from Python, and ray paths as VTK."""

import math
import xml.etree.ElementTree as ET

import numpy as np
import pytest

import lumivex
from lumivex_tools import box_mesh, write_ray_paths


def box_engine(rays, alpha=0.8, solver=None):
    """An engine on a 4 x 4 x 4 box of edge 1 (index 1.5; no boundary condition, so rays enter
    and leave unchanged)."""
    e = lumivex.Lumivex()
    e.load_mesh_arrays(*box_mesh(4, 4, 4, size=(1.0, 1.0, 1.0)), refractive_index=1.5, absorptivity=alpha)
    rays = np.asarray(rays, dtype=float)
    e.load_rays_arrays(rays[:, :3], rays[:, 3:6], rays[:, 6])
    if solver:
        e.set_solver_type(solver)
    return e


def absorbed(e):
    e.compute_volumetric_absorption()
    return e.get_absorbed_power()


def test_a_solver_chosen_after_config_is_the_one_that_traces(tmp_path):
    rays = [[x, y, -1.0, 0, 0, 1, 1.0] for x in (0.3, 0.7) for y in (0.3, 0.7)]
    reference = {}
    for solver in ("FE", "RK4"):
        e = box_engine(rays, solver=solver)
        e.config()
        e.configure_outfilename(str(tmp_path / f"{solver}.vtu"))
        reference[solver] = absorbed(e)
    assert not np.allclose(reference["FE"], reference["RK4"], rtol=1e-4)  # the two solvers differ here

    # The docstring's order: config first, the solver afterwards.
    e = box_engine(rays)
    e.config()
    e.configure_outfilename(str(tmp_path / "late.vtu"))
    e.set_solver_type("RK4")
    np.testing.assert_allclose(absorbed(e), reference["RK4"], rtol=1e-6)
    # A switch keeps the accumulated result and the result array the cure models hold.
    pointer = e.get_result_array_device_ptr()
    e.set_solver_type("FE")
    np.testing.assert_allclose(absorbed(e), reference["RK4"] + reference["FE"], rtol=1e-6)
    assert e.get_result_array_device_ptr() == pointer


def test_render_image_shows_the_normals_of_the_faces_hit(tmp_path):
    # 3 x 2 pixels: the bottom row looks up at the bottom face, the top row along x at the
    # x = 0 face; the last column misses the box.
    rays = [[x, 0.5, -1.0, 0, 0, 1, 1.0] for x in (0.25, 0.75, 1.5)]
    rays += [[-1.0, y, 0.5, 1, 0, 0, 1.0] for y in (0.25, 0.75, 1.5)]
    e = box_engine(rays, solver="RK4")
    e.configure_render(3, 2, 0.5, str(tmp_path / "view.bmp"))
    assert e.get_objective() == "render"
    e.compute_volumetric_absorption()
    image = e.get_render_image()
    assert image.shape == (2, 3, 3)
    np.testing.assert_allclose(image[0, :2], [[1.0, 0.5, 0.5]] * 2)  # normal (0, 0, -1)
    np.testing.assert_allclose(image[1, :2], [[0.5, 1.0, 0.5]] * 2)  # normal (-1, 0, 0)
    np.testing.assert_array_equal(image[:, 2], 0.0)
    e.write_result()
    assert (tmp_path / "view_0.bmp").stat().st_size == 54 + 12 * 2

    # The absorbed-power face refuses while another objective is traced ...
    assert e.get_result_array_device_ptr() == 0
    with pytest.raises(RuntimeError, match="configure_optical_path"):
        e.get_optical_paths()
    # ... and configure_outfilename brings it back.
    e.configure_outfilename(str(tmp_path / "q.vtu"))
    assert e.get_objective() == "light_transport" and absorbed(e).sum() > 0
    with pytest.raises(RuntimeError, match="configure_render"):
        e.get_render_image()


def test_optical_paths_list_the_element_exits_of_every_ray(tmp_path):
    alpha = 0.8
    rays = [[-1.0, 0.6, 0.4, 1, 0, 0, 1.0], [0.4, 0.6, -1.0, 0, 0, 1, 1.0], [5.0, 5.0, -1.0, 0, 0, 1, 1.0]]
    e = box_engine(rays, alpha=alpha, solver="RK4")
    e.configure_optical_path(6)
    e.compute_volumetric_absorption()
    paths = e.get_optical_paths()
    assert paths.shape == (3, 6, 5)
    # Ray 0 along x and ray 1 along z leave four elements each; ray 2 misses the box.
    exits = [0.25, 0.5, 0.75, 1.0]
    np.testing.assert_allclose(paths[0, :4, 0], exits, atol=2e-3)
    np.testing.assert_allclose(paths[0, :4, 1:3], [[0.6, 0.4]] * 4, atol=1e-6)
    np.testing.assert_allclose(paths[1, :4, 2], exits, atol=2e-3)
    np.testing.assert_allclose(paths[:2, :4, 3], [exits, exits], atol=2e-3)
    np.testing.assert_allclose(paths[:2, :4, 4], np.exp(-alpha * paths[:2, :4, 3]), rtol=1e-4)
    assert np.isnan(paths[:2, 4:]).all() and np.isnan(paths[2]).all()

    written = write_ray_paths(tmp_path / "paths.vtp", paths)
    assert written == 2
    piece = ET.parse(tmp_path / "paths.vtp").getroot().find("./PolyData/Piece")
    assert (piece.get("NumberOfPoints"), piece.get("NumberOfLines")) == ("8", "2")

    def values(name):
        array = next(a for a in piece.iter("DataArray") if a.get("Name") == name)
        return np.array(array.text.split(), dtype=float)

    np.testing.assert_allclose(values("Points").reshape(-1, 3), paths[:2, :4, :3].reshape(-1, 3), rtol=1e-8)
    np.testing.assert_array_equal(values("offsets"), [4, 8])
    np.testing.assert_allclose(values("Power"), paths[:2, :4, 4].ravel(), rtol=1e-8)
    np.testing.assert_allclose(values("PathLength"), paths[:2, :4, 3].ravel(), rtol=1e-8)

    # Points accumulate over computes: the next trace fills the remaining slots.
    e.compute_volumetric_absorption()
    assert not np.isnan(e.get_optical_paths()[0, 5]).any()
    assert math.isclose(e.get_optical_paths()[0, 4, 0], 0.25, abs_tol=2e-3)


@pytest.mark.parametrize("call, message", [
    (lambda e: e.configure_render(0, 2), "at least 1 pixel"),
    (lambda e: e.configure_render(2, 2, -1.0), "pixel_size"),
    (lambda e: e.configure_optical_path(-1), "points_per_ray"),
    (lambda e: e.configure_optical_path(3, rays=-2), "rays must be"),
])
def test_objective_settings_are_checked(call, message):
    e = lumivex.Lumivex()
    with pytest.raises(RuntimeError, match=message):
        call(e)
    assert e.get_objective() == "light_transport"
