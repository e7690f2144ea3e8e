"""Step control of the volumetric trace: steps follow the element, so results do not depend on the
mesh's length unit or the elements' size, and a visit costs a few steps."""

import itertools
import math

import numpy as np
import pytest

import lumivex
from lumivex_tools import box_mesh, cylinder_mesh

CORNERS = np.array([[-1, -1, -1], [1, -1, -1], [1, 1, -1], [-1, 1, -1],
                    [-1, -1, 1], [1, -1, 1], [1, 1, 1], [-1, 1, 1]], dtype=float)


def nodal_volumes(points, hexahedra):
    """An eighth of each element's volume (2x2x2 Gauss, exact for trilinear hexahedra) per node."""
    x = points[hexahedra]
    volume = np.zeros(len(hexahedra))
    for q in itertools.product((-1 / math.sqrt(3), 1 / math.sqrt(3)), repeat=3):
        f = 1 + CORNERS * q
        dn = np.stack([CORNERS[:, 0] * f[:, 1] * f[:, 2], CORNERS[:, 1] * f[:, 0] * f[:, 2],
                       CORNERS[:, 2] * f[:, 0] * f[:, 1]], axis=1) / 8
        volume += np.linalg.det(np.einsum("ki,ekj->eij", dn, x))
    out = np.zeros(len(points))
    np.add.at(out, hexahedra, np.repeat(volume[:, None] / 8, 8, axis=1))
    return out


def trace(points, hexahedra, n, alpha, rays, solver, n_out=None, step_rule="element"):
    """Absorbed power (sum of Q times nodal volume) and the engine after one compute."""
    e = lumivex.Lumivex()
    e.load_mesh_arrays(points, hexahedra, refractive_index=n, absorptivity=alpha)
    e.load_rays_arrays(*rays)
    e.set_solver_type(solver)
    e._set_trace_options(step_rule)
    e.config()
    e.configure_outfilename("unused.vtu")
    if n_out is not None:
        bc = lumivex.OpticalBoundaryCondition()
        bc.faces = list(range(e.get_boundary_face_count()))
        bc.refractive_index_real = n_out
        e.set_boundary_conditions([bc])
    e.compute_volumetric_absorption()
    return float(e.get_absorbed_power() @ nodal_volumes(points, hexahedra)), e


def oblique_rays(scale, count=24):
    """Rays into the bottom of a cylinder of radius 5 at 10-35 degrees, in all directions."""
    rng = np.random.default_rng(3)
    r, phi = 4.0 * np.sqrt(rng.uniform(0, 1, count)), rng.uniform(0, 2 * np.pi, count)
    tilt, turn = np.radians(rng.uniform(10, 35, count)), rng.uniform(0, 2 * np.pi, count)
    d = np.column_stack([np.sin(tilt) * np.cos(turn), np.sin(tilt) * np.sin(turn), np.cos(tilt)])
    hits = np.column_stack([r * np.cos(phi), r * np.sin(phi), np.zeros(count)])
    return (hits - d) * scale, d, np.ones(count)


@pytest.mark.parametrize("solver", ["FE", "RK4"])
def test_results_do_not_depend_on_the_length_unit(solver):
    # A graded-index rod whose side faces reflect the oblique rays back in (total internal reflection).
    points, hexahedra = cylinder_mesh(5.0, 10.0, 3, 12, 8)
    n = 1.5 - 0.05 * (points[:, 0] ** 2 + points[:, 1] ** 2) / 25.0
    results = {}
    for scale in (1e-3, 1.0, 1e3):
        absorbed, e = trace(points * scale, hexahedra, n, 0.07 / scale, oblique_rays(scale), solver, n_out=1.0)
        results[scale] = absorbed / 24, e.get_element_visit_count(), e.get_step_count()
    fraction, visits, steps = results[1.0]
    assert 0.2 < fraction < 0.9
    for scale in (1e-3, 1e3):
        assert results[scale][0] == pytest.approx(fraction, rel=1e-5)
        assert results[scale][1] == visits
        assert results[scale][2] == pytest.approx(steps, rel=1e-3)


@pytest.mark.parametrize("solver, tolerance", [("FE", 3e-2), ("RK4", 1e-4)])
def test_elements_a_hundred_units_long_are_traced_through(solver, tolerance):
    points, hexahedra = box_mesh(2, 2, 5, size=(200.0, 200.0, 500.0))
    hits = np.column_stack([np.linspace(20, 180, 9) + 7, np.linspace(30, 170, 9) + 3, np.zeros(9)])
    rays = hits - [0, 0, 10], np.tile([0.0, 0.0, 1.0], (9, 1)), np.ones(9)
    absorbed, e = trace(points, hexahedra, 1.5, 0.002, rays, solver, n_out=1.5)
    assert e.get_element_visit_count() == 9 * 5
    assert absorbed == pytest.approx(9 * (1 - math.exp(-1.0)), rel=tolerance)


def test_a_visit_of_the_graded_box_takes_few_steps():
    points, hexahedra = box_mesh(50, 50, 50)
    hits = np.column_stack([np.linspace(0.05, 0.95, 40), np.linspace(0.93, 0.07, 40), np.zeros(40)])
    rays = hits - [0, 0, 0.1], np.tile([0.0, 0.0, 1.0], (40, 1)), np.ones(40)
    n = 1.4 + 0.1 * points[:, 0]
    per_visit = {}
    for solver, rule in itertools.product(("FE", "RK4"), ("element", "fixed")):
        absorbed, e = trace(points, hexahedra, n, 0.1, rays, solver, step_rule=rule)
        visits = e.get_element_visit_count()
        assert visits >= 40 * 50
        per_visit[solver, rule] = e.get_step_count() / visits, e.get_derivative_evaluation_count() / visits, absorbed
    for solver in ("FE", "RK4"):
        steps, evaluations, absorbed = per_visit[solver, "element"]
        old_steps, old_evaluations, old_absorbed = per_visit[solver, "fixed"]
        assert steps <= 3.0
        assert evaluations < old_evaluations / 3
        assert old_steps > 10.0  # the earlier rule, still selectable, bisects towards every exit face
        assert absorbed == pytest.approx(old_absorbed, rel=1e-3)
