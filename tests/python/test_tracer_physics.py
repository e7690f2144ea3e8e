"""Physics of the volumetric tracer, checked against closed-form optics on generated box meshes.

Every check sums the absorbed power as sum(Q * nodal volume), the nodal volume being an
eighth of the volume of each element around the node.
"""

import math
import os

import meshio
import numpy as np
import pytest

import lumivex
from lumivex_tools import box_mesh


def schlick(cos_i, n1, n2):
    r0 = ((n1 - n2) / (n1 + n2)) ** 2
    return r0 + (1 - r0) * (1 - cos_i) ** 5


def nodal_volumes(points, hexahedra):
    """Nodal volumes of a mesh of axis-aligned boxes."""
    corners = points[hexahedra]
    volume = (corners.max(axis=1) - corners.min(axis=1)).prod(axis=1)
    out = np.zeros(len(points))
    np.add.at(out, hexahedra, np.repeat(volume[:, None] / 8, 8, axis=1))
    return out


def beam(hits, direction, back=0.5, power=1.0):
    """Rays of one direction that strike the points `hits`, starting `back` before them."""
    d = np.asarray(direction, dtype=float)
    d = d / np.linalg.norm(d)
    hits = np.atleast_2d(np.asarray(hits, dtype=float))
    return hits - back * d, np.tile(d, (len(hits), 1)), np.full(len(hits), float(power))


def top_grid(k, lo=0.1, hi=0.9):
    """A k x k lattice of hit points on the z = 0 face."""
    return grid_hits(np.linspace(lo, hi, k), np.linspace(lo, hi, k), (2, 0.0))


def grid_hits(u, v, plane, axes=(0, 1)):
    """Lattice points (u along axes[0], v along axes[1]) in the plane where axis plane[0] equals plane[1]."""
    uu, vv = np.meshgrid(np.asarray(u, float), np.asarray(v, float))
    hits = np.zeros((uu.size, 3))
    hits[:, axes[0]], hits[:, axes[1]] = uu.ravel(), vv.ravel()
    hits[:, plane[0]] = plane[1]
    return hits


def condition(faces, n_out=1.0, kind=None, kappa=0.0):
    bc = lumivex.OpticalBoundaryCondition()
    bc.faces = list(faces)
    bc.refractive_index_real = n_out
    bc.refractive_index_imag = kappa
    if kind is not None:
        bc.interaction_type = kind
    return bc


def others(e, faces):
    return sorted(set(range(e.get_boundary_face_count())) - set(faces))


def everywhere(n_out=1.0):
    return lambda e: [condition(range(e.get_boundary_face_count()), n_out)]


class Trace:
    """One engine holding a mesh and a ray set, traced once."""

    def __init__(self, tmp_path, mesh, n, alpha, rays, solver="RK4", conditions=None, name="out.vtu"):
        self.points, self.hexahedra = mesh
        self.volumes = nodal_volumes(self.points, self.hexahedra)
        self.engine = e = lumivex.Lumivex()
        e.load_mesh_arrays(self.points, self.hexahedra, refractive_index=n, absorptivity=alpha)
        e.load_rays_arrays(*rays)
        e.set_solver_type(solver)
        e.config()
        e.configure_outfilename(str(tmp_path / name))
        if conditions is not None:
            e.set_boundary_conditions(conditions(e))
        e.compute_volumetric_absorption()
        self.q = e.get_absorbed_power()

    @property
    def weights(self):
        return self.q * self.volumes

    @property
    def deposited(self):
        return float(self.weights.sum())

    def centroid(self, axis, where=None):
        w = self.weights if where is None else self.weights[where]
        x = self.points[:, axis] if where is None else self.points[where, axis]
        return float(w @ x / w.sum())


@pytest.mark.parametrize("n, alpha", [(1.0, 1.0), (1.5, 2.0)])
def test_beer_lambert_in_a_matched_slab(tmp_path, n, alpha):
    rays = beam(top_grid(5), [0, 0, 1])
    mesh = box_mesh(4, 4, 20, size=(1, 1, 1))
    expected = 25 * (1 - math.exp(-alpha * 1.0))
    err = {s: Trace(tmp_path, mesh, n, alpha, rays, s, everywhere(n)).deposited / expected - 1
           for s in ("FE", "RK4")}
    assert abs(err["FE"]) < 0.03
    assert abs(err["RK4"]) < 1e-3
    assert abs(err["RK4"]) < abs(err["FE"]) / 10


@pytest.mark.parametrize("solver", ["FE", "RK4"])
@pytest.mark.parametrize("n", [1.0, 2.0])
def test_opaque_slab_absorbs_all_that_enters(tmp_path, solver, n):
    # alpha * n = 100 per unit length, elements 0.5 long: one step would absorb many times the power.
    rays = beam(top_grid(4), [0, 0, 1])
    t = Trace(tmp_path, box_mesh(2, 2, 4, size=(1, 1, 2)), n, 100.0 / n, rays, solver, everywhere(n))
    assert t.deposited == pytest.approx(16.0, rel=1e-6)
    assert t.q.min() >= 0.0


@pytest.mark.parametrize("solver", ["FE", "RK4"])
@pytest.mark.parametrize("far_side", ["thick", "mirror"])
def test_fresnel_loss_at_normal_incidence(tmp_path, solver, far_side):
    rays = beam(top_grid(4), [0, 0, 1])
    alpha = 25.0 if far_side == "thick" else 3.0

    def conditions(e):
        top = e.select_boundary_faces_bbox(-1, 2, -1, 2, -0.01, 0.01)
        rest = others(e, top)
        # A mirror matched to the inside (n_out = n, kappa large) sends everything back in.
        far = condition(rest, 1.5, lumivex.REFLECT, kappa=1e4) if far_side == "mirror" else condition(rest)
        return [condition(top), far]

    t = Trace(tmp_path, box_mesh(2, 2, 10, size=(1, 1, 1)), 1.5, alpha, rays, solver, conditions)
    if far_side == "mirror":
        # Back at the top face the ray leaves; what is still left then is e^(-2 alpha L).
        expected = 0.96 * (1 - math.exp(-2 * alpha)) * 16
    else:
        expected = 0.96 * 16
    assert t.deposited == pytest.approx(expected, rel=2e-3 if solver == "FE" else 2e-4)


@pytest.mark.parametrize("degrees", [30.0, 70.0])
def test_oblique_entry_follows_snell_and_schlick(tmp_path, degrees):
    theta = math.radians(degrees)
    sin_t = math.sin(theta) / 1.5
    cos_t = math.sqrt(1 - sin_t ** 2)
    hits = grid_hits([0.3], np.linspace(0.1, 0.9, 9), (2, 0.0))
    rays = beam(hits, [math.sin(theta), 0, math.cos(theta)])
    t = Trace(tmp_path, box_mesh(16, 2, 10, size=(2, 1, 1)), 1.5, 1.0, rays, "RK4", everywhere())

    # Lateral centroid of each node plane against depth; the boundary planes are left out
    # because they only collect from one side.
    z = np.round(t.points[:, 2], 9)
    planes = np.unique(z)[1:-1]
    centres = [t.centroid(0, z == p) for p in planes]
    slope = np.polyfit(planes, centres, 1)[0]
    assert slope == pytest.approx(sin_t / cos_t, rel=1e-3)

    # The bottom face lets the rest out, so the deposit is (1 - R) (1 - e^(-alpha L / cos t)).
    expected = 9 * (1 - schlick(math.cos(theta), 1.0, 1.5)) * (1 - math.exp(-1.0 / cos_t))
    assert t.deposited == pytest.approx(expected, rel=1e-3)


def mean_rough_transmission(theta, roughness, n2, samples=400_000):
    """Mean of 1 - Schlick over Beckmann microfacet normals, for a ray in the x-z plane
    at angle theta to the face normal -z (air outside)."""
    rng = np.random.default_rng(1)
    tan_m = np.sqrt(-roughness ** 2 * np.log1p(-rng.uniform(size=samples)))
    phi = 2 * np.pi * rng.uniform(size=samples)
    cos_m = 1 / np.sqrt(1 + tan_m ** 2)
    sin_m = tan_m * cos_m
    m = np.column_stack([sin_m * np.cos(phi), sin_m * np.sin(phi), -cos_m])
    d = np.array([math.sin(theta), 0.0, math.cos(theta)])
    cos_i = np.abs(m @ d)
    return float(np.mean(1 - schlick(np.clip(cos_i, 0, 1), 1.0, n2)))


def test_rough_entry_transmits_the_mean_schlick_factor(tmp_path):
    # Every ray of a fresh set draws its own microfacet normal on the rough top face of an
    # opaque slab, so what enters (and is absorbed) is the mean of 1 - R over the Beckmann law.
    theta, roughness = math.radians(60), 0.2
    k = np.linspace(0.2, 0.8, 60)
    rays = beam(grid_hits(k, k, (2, 0.0)), [math.sin(theta), 0, math.cos(theta)])

    def conditions(e):
        top = e.select_boundary_faces_bbox(-1, 2, -1, 2, -0.01, 0.01)
        rough = condition(top)
        rough.rough_surface, rough.roughness = True, roughness
        return [rough, condition(others(e, top))]

    t = Trace(tmp_path, box_mesh(4, 4, 4, size=(1, 1, 1)), 1.5, 200.0, rays, "FE", conditions)
    expected = mean_rough_transmission(theta, roughness, 1.5)
    assert t.deposited / len(k) ** 2 == pytest.approx(expected, rel=5e-3)


@pytest.mark.parametrize("n, trapped", [(2.0, True), (1.05, False)])
def test_total_internal_reflection_keeps_the_power(tmp_path, n, trapped):
    # Rays enter the end face of a bar at 60 degrees and meet its long sides at 90 - theta_t.
    theta = math.radians(60)
    rays = beam(top_grid(4, 0.2, 0.8), [math.sin(theta), 0, math.cos(theta)])
    t = Trace(tmp_path, box_mesh(2, 2, 16, size=(1, 1, 8)), n, 1.5, rays, "RK4", everywhere())
    entered = 16 * (1 - schlick(math.cos(theta), 1.0, n))
    if trapped:
        # Every side hit is beyond the critical angle of 30 degrees; e^(-1.5 * 8) is left at the end.
        assert t.deposited == pytest.approx(entered, rel=1e-4)
    else:
        # At n = 1.05 the side faces let the rays out: the same set-up loses power.
        assert t.deposited < 0.8 * entered


@pytest.mark.parametrize("solver", ["FE", "RK4"])
def test_energy_balance_with_a_lossy_mirror(tmp_path, solver):
    # Entry through the top face (R = 0.04), absorption over L = 1, a REFLECT bottom face with
    # kappa = 2 returns R_m of the power, which is absorbed on the way up until the rest leaves
    # through the top face.
    alpha, kappa = 1.0, 2.0
    r_m = ((1.5 - 1.0) ** 2 + kappa ** 2) / ((1.5 + 1.0) ** 2 + kappa ** 2)
    rays = beam(top_grid(4), [0, 0, 1])

    def conditions(e):
        bottom = e.select_boundary_faces_bbox(-1, 2, -1, 2, 0.99, 1.01)
        return [condition(others(e, bottom)), condition(bottom, 1.0, lumivex.REFLECT, kappa)]

    t = Trace(tmp_path, box_mesh(2, 2, 10, size=(1, 1, 1)), 1.5, alpha, rays, solver, conditions)
    a = math.exp(-alpha)
    entered = 16 * 0.96
    lost_at_mirror = entered * a * (1 - r_m)
    left = entered * a * r_m * a
    assert t.deposited == pytest.approx(entered - left - lost_at_mirror, rel=2e-2 if solver == "FE" else 5e-4)


def graded_reference(x0, alpha, depth, n0=1.4, g=0.2, steps=4000):
    """Path of a ray launched along z at x = x0 in n = n0 + g x, by RK4 in the parameter
    dt = ds / n: returns the absorbed fraction and the absorbed-power-weighted mean x."""
    def rate(y):
        x, z, tx, tz, s, e, m = y
        n = n0 + g * x
        return np.array([tx, tz, n * g, 0.0, n, -alpha * n * e, alpha * n * e * x])

    y = np.array([x0, 0.0, 0.0, n0 + g * x0, 0.0, 1.0, 0.0])
    h = depth / (n0 + g * x0) / steps
    while True:
        k1 = rate(y)
        k2 = rate(y + h / 2 * k1)
        k3 = rate(y + h / 2 * k2)
        k4 = rate(y + h * k3)
        nxt = y + h / 6 * (k1 + 2 * k2 + 2 * k3 + k4)
        if nxt[1] >= depth:
            nxt = y + (nxt - y) * (depth - y[1]) / (nxt[1] - y[1])
            absorbed = 1 - nxt[5]
            return absorbed, nxt[6] / absorbed
        y = nxt


def graded_run(tmp_path, nz, solver, graded=True):
    points, hexahedra = box_mesh(2, 1, nz, size=(1, 1, 2))
    n = 1.4 + 0.2 * points[:, 0] if graded else 1.5
    rays = beam(grid_hits([0.3], np.linspace(0.2, 0.8, 5), (2, 0.0)), [0, 0, 1])
    # No boundary conditions: the rays enter and leave without refraction or loss.
    return Trace(tmp_path, (points, hexahedra), n, 0.5, rays, solver)


def test_index_gradient_bends_towards_higher_index(tmp_path):
    uniform = graded_run(tmp_path, 16, "RK4", graded=False)
    graded = graded_run(tmp_path, 16, "RK4")
    absorbed, mean_x = graded_reference(0.3, 0.5, 2.0)
    assert uniform.centroid(0) == pytest.approx(0.3, abs=1e-5)
    assert graded.centroid(0) > 0.35
    # Trilinear sharing keeps the first moment, so the centroid is that of the path itself.
    assert graded.centroid(0) == pytest.approx(mean_x, abs=2e-4)
    assert graded.deposited == pytest.approx(5 * absorbed, rel=2e-4)
    assert graded.deposited > uniform.deposited      # the bent path is longer


def test_rk4_converges_faster_than_euler_in_a_gradient(tmp_path):
    _, mean_x = graded_reference(0.3, 0.5, 2.0)
    # Elements shorter than the first step of 0.1 * n, so the step size halves with the mesh.
    sizes = (16, 32, 64)
    fe = [abs(graded_run(tmp_path, nz, "FE").centroid(0) - mean_x) for nz in sizes]
    rk = [abs(graded_run(tmp_path, nz, "RK4").centroid(0) - mean_x) for nz in sizes]
    # Euler is first order: each halving of the step about halves its error.
    assert all(1.6 < a / b < 2.5 for a, b in zip(fe, fe[1:]))
    # RK4 is at single-precision round-off already on the coarsest mesh, far below Euler's
    # error on the finest one.
    assert max(rk) < fe[-1] / 20


def slab_engine(tmp_path, ray_file, records=None, name="out.vtu"):
    """A 3 x 3 x 6 slab (n = 1.5, alpha = 2) lit by four rays read from a ray file."""
    points, hexahedra = box_mesh(3, 3, 6, size=(1, 1, 1))
    e = lumivex.Lumivex()
    e.load_mesh_arrays(points, hexahedra, refractive_index=1.5, absorptivity=2.0)
    if records is None:
        records = [[x, y, -1.0, 0.0, 0.0, 1.0, 0.5] for x in (0.2, 0.7) for y in (0.3, 0.6)]
    e.load_rays(ray_file(records))
    e.set_solver_type("RK4")
    e.config()
    e.configure_outfilename(str(tmp_path / name))
    e.set_boundary_conditions(everywhere()(e))
    return e, points, hexahedra


def test_computes_accumulate_until_reset(tmp_path, ray_file):
    e, points, hexahedra = slab_engine(tmp_path, ray_file)
    e.compute_volumetric_absorption()
    once = e.get_absorbed_power()
    assert once @ nodal_volumes(points, hexahedra) == pytest.approx(2.0 * 0.96 * (1 - math.exp(-2)), rel=1e-3)
    e.compute_volumetric_absorption()
    np.testing.assert_allclose(e.get_absorbed_power(), 2 * once, rtol=1e-12, atol=1e-12 * once.max())
    e.reset_absorbed_power()
    np.testing.assert_array_equal(e.get_absorbed_power(), np.zeros(len(points)))
    e.compute_volumetric_absorption()
    np.testing.assert_allclose(e.get_absorbed_power(), once, rtol=1e-12, atol=1e-12 * once.max())
    # Configuring again keeps a valid result buffer of the right size.
    e.config()
    assert e.get_result_array_device_ptr() != 0
    e.reset_absorbed_power()
    e.compute_volumetric_absorption()
    q = e.get_absorbed_power()
    assert q.shape == (len(points),) and e.get_result_array_device_ptr() != 0
    np.testing.assert_allclose(q, once, rtol=1e-12, atol=1e-12 * once.max())


def test_result_files_read_back_with_meshio(tmp_path, ray_file):
    e, points, hexahedra = slab_engine(tmp_path, ray_file)
    e.compute_volumetric_absorption()
    q = e.get_absorbed_power()
    t_field, doc_field = np.linspace(20, 80, len(points)), np.linspace(0, 1, len(points)) ** 2
    e.write_result()
    e.write_result_append(np.vstack([t_field, doc_field]), ["T", "DoC"])
    e.write_result_append(np.vstack([t_field, doc_field, -t_field]))
    extras = [{}, {"T": t_field, "DoC": doc_field},
              {"Field_0": t_field, "Field_1": doc_field, "Field_2": -t_field}]
    for i, extra in enumerate(extras):
        m = meshio.read(tmp_path / f"out_{i}.vtu")
        assert [c.type for c in m.cells] == ["hexahedron"]
        np.testing.assert_array_equal(m.cells[0].data, hexahedra)
        np.testing.assert_allclose(m.points, points, rtol=1e-6, atol=1e-7)
        np.testing.assert_allclose(m.point_data["Volumetric absorbed power Q"], q, rtol=1e-6,
                                   atol=1e-6 * q.max())
        np.testing.assert_allclose(m.point_data["RefractiveIndex"], 1.5, rtol=1e-6)
        np.testing.assert_allclose(m.point_data["Absorptivity"], 2.0, rtol=1e-6)
        assert set(m.point_data) - {"Volumetric absorbed power Q", "RefractiveIndex", "Absorptivity"} == set(extra)
        for key, field in extra.items():
            np.testing.assert_allclose(m.point_data[key], field, rtol=1e-6, atol=0 if key == "T" else 1e-12)


def test_reloading_a_mesh_of_another_size(tmp_path, ray_file, make_box):
    e, points, _ = slab_engine(tmp_path, ray_file)
    e.compute_volumetric_absorption()
    path, bigger, hexahedra = make_box(4, 4, 5, size=(1, 1, 1))
    assert len(bigger) != len(points)
    e.load_mesh(path)
    e.set_constant_matprops(1.0, 2.0)
    e.load_rays(ray_file([[x, y, -1.0, 0.0, 0.0, 1.0, 0.5] for x in (0.2, 0.7) for y in (0.3, 0.6)]))
    e.compute_volumetric_absorption()
    q = e.get_absorbed_power()
    assert q.shape == (len(bigger),)
    # No conditions on the new mesh: all four rays of 0.5 enter without loss.
    assert q @ nodal_volumes(bigger, hexahedra) == pytest.approx(2.0 * (1 - math.exp(-2)), rel=1e-3)


@pytest.mark.parametrize("change", ["conditions", "mesh"])
def test_tracing_again_after_a_change_without_new_rays(tmp_path, ray_file, change):
    e, points, hexahedra = slab_engine(tmp_path, ray_file)
    e.compute_volumetric_absorption()
    first = e.get_absorbed_power()
    e.reset_absorbed_power()
    if change == "conditions":
        e.set_boundary_conditions(everywhere()(e))
    else:
        e.load_mesh_arrays(points, hexahedra, refractive_index=1.5, absorptivity=2.0)
        e.set_boundary_conditions(everywhere()(e))
    e.compute_volumetric_absorption()
    again = e.get_absorbed_power()
    assert again @ nodal_volumes(points, hexahedra) == pytest.approx(
        first @ nodal_volumes(points, hexahedra), rel=1e-6)


def test_no_rays_and_a_ray_that_misses(tmp_path, ray_file):
    e, points, _ = slab_engine(tmp_path, ray_file, records=[])
    assert e.get_ray_count() == 0
    e.compute_volumetric_absorption()
    np.testing.assert_array_equal(e.get_absorbed_power(), np.zeros(len(points)))
    e.load_rays_arrays(np.empty((0, 3)), np.empty((0, 3)), np.empty(0))
    e.compute_volumetric_absorption()
    np.testing.assert_array_equal(e.get_absorbed_power(), np.zeros(len(points)))
    # Passes beside the slab, and one aimed away from it.
    e.load_rays_arrays([[2.0, 0.5, -1.0], [0.5, 0.5, -1.0]], [[0, 0, 1], [0, 0, -1]], [1.0, 1.0])
    e.compute_volumetric_absorption()
    np.testing.assert_array_equal(e.get_absorbed_power(), np.zeros(len(points)))


def _resident_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    return 0.0


@pytest.mark.skipif(not os.path.exists("/proc/self/status"), reason="needs /proc")
def test_reconfiguring_many_times_releases_the_old_buffers(tmp_path):
    # 30,000 nodes: every leaked result array (device and staging copy) would
    # cost about half a MiB, so 1,000 cycles would grow by hundreds of MiB.
    points, hexahedra = box_mesh(30, 30, 30)
    e = lumivex.Lumivex()
    e.load_mesh_arrays(points, hexahedra, refractive_index=1.5, absorptivity=1.0)
    e.set_solver_type("FE")
    name = str(tmp_path / "out.vtu")
    e.config()
    e.configure_outfilename(name)
    before = _resident_mib()
    for _ in range(1000):
        e.config()
        e.configure_outfilename(name)
    assert _resident_mib() - before < 50.0
    assert e.get_result_array_device_ptr() != 0


def test_field_names_any_xml_reader_accepts(tmp_path, ray_file, capfd):
    """Markup characters are escaped, long names cut between UTF-8 characters, a 17th name reported."""
    e, points, _ = slab_engine(tmp_path, ray_file)
    markup, accented = 'a<b & "c"', "é" * 100   # 200 bytes
    e.write_result_append(np.vstack([np.zeros(len(points)), np.ones(len(points))]), [markup, accented])
    m = meshio.read(tmp_path / "out_0.vtu")
    assert {markup, "é" * 63} <= set(m.point_data)
    capfd.readouterr()
    e.write_result_append(np.zeros((17, len(points))), [f"f{i}" for i in range(17)])
    assert "Warning: 17 field names given but at most 16 are kept" in capfd.readouterr().out
    assert "Field_16" in meshio.read(tmp_path / "out_1.vtu").point_data
