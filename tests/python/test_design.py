"""The adjoint trace and the projection design built on it."""

from __future__ import annotations

import numpy as np
import pytest

import lumivex
from lumivex_tools import box_mesh, design
from lumivex_tools.meshgen import nodal_volumes
from lumivex_tools.vial import VialSetup


def graded_box(solver, rough):
    """A graded-index absorbing box, Fresnel faces all round (one face rough),
    lit by rays of random directions and powers, some of them zero."""
    points, hexahedra = box_mesh(4, 3, 3, size=(2.0, 1.5, 1.5))
    engine = lumivex.Lumivex()
    engine.load_mesh_arrays(points, hexahedra, refractive_index=1.3 + 0.2 * points[:, 0] / 2.0,
                            absorptivity=0.4 + 0.3 * points[:, 1])
    wall = lumivex.OpticalBoundaryCondition()
    wall.refractive_index_real = 1.0
    far = engine.select_boundary_faces_bbox(1.99, 2.01, -1, 2, -1, 2)
    wall.faces = [f for f in range(engine.get_boundary_face_count()) if f not in far]
    mirror = lumivex.OpticalBoundaryCondition()
    mirror.interaction_type = lumivex.REFLECT
    mirror.rough_surface, mirror.roughness = rough, 0.3
    mirror.faces = far
    engine.set_boundary_conditions([wall, mirror])
    rng = np.random.default_rng(7)
    n = 300
    origins = np.column_stack([np.full(n, -0.5), rng.uniform(0.1, 1.4, n), rng.uniform(0.1, 1.4, n)])
    directions = np.column_stack([np.ones(n), rng.uniform(-0.3, 0.3, n), rng.uniform(-0.3, 0.3, n)])
    powers = rng.uniform(0.0, 2.0, n)
    powers[::7] = 0.0
    engine.load_rays_arrays(origins, directions, powers)
    engine.set_solver_type(solver)
    engine.config()
    engine.configure_outfilename("unused.vtu")
    return engine, powers


@pytest.mark.parametrize("solver", ["FE", "RK4"])
@pytest.mark.parametrize("rough", [False, True])
def test_adjoint_identity_and_engine_left_unchanged(solver, rough):
    engine, powers = graded_box(solver, rough)
    twin, _ = graded_box(solver, rough)
    weights = np.random.default_rng(3).normal(size=engine.get_node_count())
    for trace in range(2):  # the second trace draws other numbers at the rough face
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
        q = engine.get_absorbed_power()
        r = engine.compute_ray_response(weights)
        assert r.dtype == np.float64 and r.shape == powers.shape
        assert np.isclose(r @ engine.get_ray_payloads(), weights @ q, rtol=2e-5)
        np.testing.assert_array_equal(engine.get_absorbed_power(), q)
        np.testing.assert_array_equal(engine.get_ray_payloads(), np.float32(powers))
        # Seeds untouched: the engine traces as its twin that never ran a response.
        twin.reset_absorbed_power()
        twin.compute_volumetric_absorption()
        np.testing.assert_allclose(twin.get_absorbed_power(), q, rtol=1e-5, atol=1e-9 * q.max())
    assert np.count_nonzero(r[powers == 0]) > 0  # unit-power response, whatever the ray's power


def test_ray_response_checks_its_input():
    engine, _ = graded_box("FE", False)
    n = engine.get_node_count()
    for bad, text in ((np.zeros((n, 1)), "Input must be a 1-D array"), (np.zeros(n + 1), "Array size must match node count"),
                      (np.full(n, np.nan), "node_weights must be finite")):
        with pytest.raises(RuntimeError, match=text):
            engine.compute_ray_response(bad)
    assert lumivex.Lumivex().compute_ray_response([]).shape == (0,)


def test_metrics_of_a_known_dose():
    target = np.array([True, True, False, False])
    volumes = np.array([1.0, 1.0, 1.0, 3.0])
    m = design.metrics(np.array([2.0, 1.6, 1.0, 0.2]), target, volumes)
    assert m["process_window"] == pytest.approx(0.8 - 0.5)
    assert m["jaccard"] == 1.0 and 0.5 < m["threshold"] < 0.8
    assert m["in_part_dose_range"] == pytest.approx(0.2)
    overlap = design.metrics(np.array([2.0, 0.4, 1.0, 0.2]), target, volumes)
    assert overlap["process_window"] < 0 and overlap["jaccard"] == pytest.approx(2.0 / 3.0)


TINY = VialSetup(n_radial=3, n_around=16, n_z=4, solver="FE")  # 365 nodes


def tiny_problem(n_angles=8):
    engine, volumes = design.design_engine(TINY)
    projector = design.Projector(width=10, height=6, n_angles=n_angles)
    target = design.target_from_function(design.gear(outer=3.5, root=3.0, bore=1.0, teeth=4, z_range=(1.4, 4.6)),
                                         engine.get_node_positions())
    return engine, volumes, projector, target


def test_loss_gradient_matches_finite_differences():
    engine, volumes, projector, target = tiny_problem(n_angles=4)
    model = design.DoseModel(engine, projector, TINY, volumes)
    u = np.random.default_rng(1).uniform(0.2, 1.0, projector.shape)
    model.unit = np.median(model.dose(u)[target])

    def loss(u):
        return design.band_loss(model.dose(u), target, volumes, 0.8, 1.0)

    _, g = loss(u)
    gradient = model.pullback(g)
    for pixel in np.argsort(-np.abs(gradient).ravel())[[0, 5, 20]]:
        step = np.zeros(u.size)
        step[pixel] = 1e-2
        step = step.reshape(u.shape)
        numeric = (loss(u + step)[0] - loss(u - step)[0]) / 2e-2
        assert numeric == pytest.approx(gradient.ravel()[pixel], rel=2e-2)


def test_tiny_design_reaches_a_positive_process_window():
    engine, volumes, projector, target = tiny_problem()
    result = design.optimize(engine, projector, target, volumes, setup=TINY, iterations=40)
    assert result.patterns.shape == (8, 6, 10) and result.patterns.min() >= 0.0
    assert result.history[0]["process_window"] < result.metrics["process_window"]
    assert result.metrics["process_window"] > 0 and result.metrics["jaccard"] == pytest.approx(1.0)
    assert result.ray_powers.shape == (8, 60)


def test_targets_from_voxels_and_a_surface_mesh(tmp_path):
    points = np.array([[0.5, 0.5, 0.5], [1.5, 0.5, 0.5], [0.5, 0.5, 2.5], [-1.0, 0.0, 0.0]])
    voxels = np.zeros((2, 1, 2), dtype=bool)
    voxels[0, 0, :] = True
    np.testing.assert_array_equal(design.target_from_voxels(voxels, points, (0, 0, 0), 1.0),
                                  [True, False, False, False])
    trimesh = pytest.importorskip("trimesh")
    path = tmp_path / "box.stl"
    trimesh.creation.box(extents=(1.0, 1.0, 3.0), transform=trimesh.transformations.translation_matrix(
        (0.5, 0.5, 1.5))).export(path)
    np.testing.assert_array_equal(design.as_target(path, points), [True, False, True, False])


def test_design_command_writes_its_outputs(tmp_path, capsys):
    from lumivex_tools import design_cli

    with pytest.raises(SystemExit) as help_exit:
        design_cli.main(["--help"])
    assert help_exit.value.code == 0
    assert design_cli.main(["--outdir", str(tmp_path), "--resolution", "0.2", "--angles", "4", "--width", "8",
                            "--height", "6", "--iterations", "2"]) == 0
    for name in ("summary.txt", "patterns.npy", "patterns/angle_003.png", "patterns.png", "dose_histogram.png",
                 "dose_slices.png", "history.png"):
        assert (tmp_path / name).is_file(), name
    assert "cured with dosterin" in (tmp_path / "summary.txt").read_text()
