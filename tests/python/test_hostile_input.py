"""Hostile values, sizes and addresses are refused with a clear error, and what was loaded before stays usable."""

import gc

import numpy as np
import pytest

import dosterin
import kuravel
import lumivex
from conftest import kuravel_props
from lumivex_tools import box_mesh

HUGE = 2**31 - 1


def lit_box(tmp_path, ray_file, n=2):
    """An n^3 box of unit cells with a 2x2 bundle along +x, absorption computed once."""
    engine = lumivex.Lumivex()
    points, hexahedra = box_mesh(n, n, n, (n, n, n), (0.0, 0.0, 0.0))
    engine.load_mesh_arrays(points, hexahedra, 1.5, 0.3)
    engine.load_rays(ray_file([(-1.0, y, z, 1.0, 0.0, 0.0, 1.0) for y in (0.3, 0.7) for z in (0.4, 0.8)]))
    engine.config()
    engine.configure_outfilename(str(tmp_path / "out.vtu"))
    engine.compute_volumetric_absorption()
    return engine


def dosterin_props(**overrides):
    p = dosterin.EnergeticMaterialProps()
    for key, value in {**dict(n0=1.5, n1=1.56, alpha0=0.3, alpha1=0.05, gelE=0.2, cureE=0.6, dt=0.5),
                       **overrides}.items():
        setattr(p, key, value)
    return p


def test_raw_addresses_are_verified(tmp_path, ray_file, capfd):
    big, small = lit_box(tmp_path, ray_file, 2), lit_box(tmp_path, ray_file, 1)  # 27 and 8 nodes
    result, record, mesh = (big.get_result_array_device_ptr(), big.get_mesh_data_devlink_ptr(), big.get_mesh_ptr())
    model = kuravel.Kuravel(27, kuravel_props())
    with pytest.raises(RuntimeError, match="^mesh_ptr 0x3039 was not handed out by a live lumivex engine"):
        model.initialize_accelerator(12345)
    with pytest.raises(RuntimeError, match="^mesh_ptr 0x.* is the engine's mesh record .*, not the engine's mesh"):
        model.initialize_accelerator(record)
    with pytest.raises(RuntimeError, match="^result_device_ptr 0x8 was not handed out"):
        dosterin.Dosterin(8, dosterin_props()).reaction_step(8, 16)
    cure = dosterin.Dosterin(27, dosterin_props())
    with pytest.raises(RuntimeError, match="^result_device_ptr holds 8 node values but the mesh and this Dosterin "
                                           "have 27 nodes$"):
        cure.reaction_step(small.get_result_array_device_ptr(), record)
    np.testing.assert_array_equal(cure.get_eddf(), np.zeros(27))

    big.configure_outfilename(str(tmp_path / "again.vtu"))  # a new result array
    with pytest.raises(RuntimeError, match="result_device_ptr 0x.* is stale"):
        cure.reaction_step(result, record)
    gone = small.get_mesh_data_devlink_ptr(), small.get_result_array_device_ptr(), small.get_mesh_ptr()
    del small
    gc.collect()
    with pytest.raises(RuntimeError, match="^mesh_ptr 0x.* was not handed out by a live lumivex engine"):
        kuravel.Kuravel(8, kuravel_props()).initialize_accelerator(gone[2])
    with pytest.raises(RuntimeError, match="^result_device_ptr 0x.* was not handed out"):
        dosterin.Dosterin(8, dosterin_props()).reaction_step(gone[1], gone[0])

    # The live engine's addresses still work, and null addresses keep their messages.
    model.initialize_accelerator(mesh)
    model.reaction_step(big.get_result_array_device_ptr(), record)
    cure.reaction_step(big.get_result_array_device_ptr(), record)
    with pytest.raises(RuntimeError, match="^result_device_ptr is null$"):
        cure.reaction_step(0, 12345)
    capfd.readouterr()


def test_material_values_are_refused_where_they_enter(tmp_path, ray_file, write_text, capfd):
    engine = lit_box(tmp_path, ray_file)
    n = engine.get_node_count()
    before = engine.get_absorbed_power().copy()
    bad_index = np.full(n, 1.5)
    bad_index[3] = 0.0
    cases = [
        (lambda: engine.set_constant_matprops(0.0, 0.3),
         r"^set_constant_matprops: refractive_index is 0; it must be finite and positive$"),
        (lambda: engine.set_constant_matprops(1.5, -0.5), r"absorptivity is -0.5; it must be finite and not negative"),
        (lambda: engine.set_constant_matprops(1.5, 1e39), r"must be finite"),
        (lambda: engine.set_refractive_index(bad_index), r"^set_refractive_index: refractive index of node 3 is 0;"),
        (lambda: engine.set_absorptivity([0.3] * 5 + [-1.0] + [0.3] * (n - 6)),
         r"^set_absorptivity: absorptivity of node 5 is -1; it must be finite and not negative$"),
        (lambda: engine.set_node_positions(engine.get_node_positions() * 1e300), r"^Input must be finite: entry 3 "),
        (lambda: engine.load_mesh_arrays(*box_mesh(1, 1, 1, (1, 1, 1), (0, 0, 0)), refractive_index=bad_index[:8]),
         r"^load_mesh_arrays: refractive index of node 3 is 0"),
        (lambda: engine.load_mesh_arrays(*box_mesh(1, 1, 1, (1, 1, 1), (1e39, 0, 0))),
         r"point 0 has a non-finite coordinate in single precision"),
    ]
    bc = lumivex.OpticalBoundaryCondition()
    bc.refractive_index_real = float("inf")
    cases.append((lambda: engine.set_boundary_conditions([lumivex.OpticalBoundaryCondition(), bc]),
                  r"boundary condition 1: refractive_index_real is inf"))
    # The fuzzed VTK file that turned 20 nodes' results into NaN: one NaN index.
    points, hexahedra = box_mesh(1, 1, 1, (1, 1, 1), (0, 0, 0))
    text = ("# vtk DataFile Version 3.0\nnan index\nASCII\nDATASET UNSTRUCTURED_GRID\nPOINTS 8 float\n"
            + "".join(" ".join(map(str, p)) + "\n" for p in points)
            + "CELLS 1 9\n8 " + " ".join(map(str, hexahedra[0])) + "\nCELL_TYPES 1\n12\nPOINT_DATA 8\n"
            + "SCALARS RefractiveIndex float 1\nLOOKUP_TABLE default\n1.5 1.5 nan 1.5 1.5 1.5 1.5 1.5\n")
    cases.append((lambda: engine.load_mesh(write_text("nan.vtk", text)), r"RefractiveIndex of node 2 is not finite"))
    cases.append((lambda: engine.load_mesh(write_text("zero.vtk", text.replace("nan", "0"))),
                  r"mesh file '.*zero.vtk': refractive index of node 2 is 0; it must be finite and positive"))
    for call, message in cases:
        with pytest.raises(RuntimeError, match=message):
            call()
    assert engine.get_boundary_condition_count() == 0
    engine.reset_absorbed_power()
    engine.compute_volumetric_absorption()
    np.testing.assert_allclose(engine.get_absorbed_power(), before, rtol=1e-6)
    capfd.readouterr()


def test_ray_directions_axes_and_array_likes(tmp_path, ray_file, capfd):
    engine = lit_box(tmp_path, ray_file)
    reference = engine.get_absorbed_power().copy()
    origins = [(-1.0, y, z) for y in (0.3, 0.7) for z in (0.4, 0.8)]

    def traced(directions, **load):
        engine.load_rays_arrays(load.get("origins", origins), directions, load.get("powers", [1.0] * 4))
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
        return engine.get_absorbed_power()

    # Lengths that single precision cannot square are normalised all the same.
    np.testing.assert_allclose(traced([(3e19, 0.0, 0.0)] * 4), reference, rtol=1e-6)
    np.testing.assert_allclose(traced(np.array([(1e-30, 0.0, 0.0)] * 4)), reference, rtol=1e-6)
    np.testing.assert_allclose(traced(np.tile(np.float32([2.0, 0.0, 0.0]), (4, 1))), reference, rtol=1e-6)
    wide = np.zeros((4, 6))
    wide[:, 0] = 1.0
    np.testing.assert_allclose(traced(wide[:, ::2], powers=np.ones(4, dtype=np.int32)), reference, rtol=1e-6)
    points, hexahedra = box_mesh(2, 2, 2, (2, 2, 2), (0.0, 0.0, 0.0))
    engine.load_mesh_arrays(np.repeat(points, 2, axis=1)[:, ::2], hexahedra.astype(np.uint8).tolist(),
                            [1.5] * len(points), np.float32(0.3))
    engine.load_rays(ray_file([(*o, 3e19, 0.0, 0.0, 1.0) for o in origins]))  # the .ry reader too
    engine.reset_absorbed_power()
    engine.compute_volumetric_absorption()
    np.testing.assert_allclose(engine.get_absorbed_power(), reference, rtol=1e-6)

    engine.load_rays_arrays(origins, [(1.0, 0.0, 0.0)] * 4, [1.0] * 4)
    for call, message in [
        (lambda: engine.load_rays_arrays(origins, [(0.0, 0.0, 0.0)] + [(1.0, 0.0, 0.0)] * 3, [1.0] * 4),
         "^ray 0 has a zero direction$"),
        (lambda: engine.load_rays_arrays([(1e300, 0.0, 0.0)] * 4, [(1.0, 0.0, 0.0)] * 4, [1.0] * 4),
         "^ray 0 has an origin that is not finite in single precision$"),
        (lambda: engine.rotate_reset_rays([0, 0, 0], 0.5), r"^rotate_reset_rays: axis \[0.0+, 0.0+, 0.0+\] has no"),
        (lambda: engine.rotate_reset_rays([0, float("nan"), 1], 0.5), "has no direction"),
        (lambda: engine.rotate_reset_rays([0, 0, 1], float("nan")), "^rotate_reset_rays: angle nan is not finite$"),
    ]:
        with pytest.raises(RuntimeError, match=message):
            call()
    engine.reset_absorbed_power()
    engine.compute_volumetric_absorption()
    np.testing.assert_allclose(engine.get_absorbed_power(), reference, rtol=1e-6)
    capfd.readouterr()


def test_cure_parameters_are_refused_at_the_step(tmp_path, ray_file, capfd):
    engine = lit_box(tmp_path, ray_file)
    n, index = engine.get_node_count(), engine.get_refractive_index()
    power, record = engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr()
    cure = dosterin.Dosterin(n, dosterin_props(dt=float("nan")))
    with pytest.raises(RuntimeError, match="^Dosterin step refused: matprops.dt is nan; it must be finite and not "
                                           "negative$"):
        cure.reaction_step(power, record)
    cure.matprops.dt, cure.matprops.gelE = 0.5, -1.0
    with pytest.raises(RuntimeError, match="matprops.gelE is -1"):
        cure.reaction_step(power, record)
    for bad, message in [(dict(dt=float("nan")), "^Kuravel step refused: dt is nan"),
                         (dict(diffusion_radical=float("inf")), "diffusion_radical is inf"),
                         (dict(koxygen=-1.0), "koxygen is -1")]:
        model = kuravel.Kuravel(n, kuravel_props(**bad))
        model.initialize_accelerator(engine.get_mesh_ptr())
        with pytest.raises(RuntimeError, match=message):
            model.reaction_step(power, record)
    with pytest.raises(RuntimeError, match="^Kuravel refused: c_oxygen0 is nan"):
        kuravel.Kuravel(n, kuravel_props(c_oxygen0=float("nan")))
    np.testing.assert_array_equal(engine.get_refractive_index(), index)
    cure.matprops.gelE = 0.2
    cure.reaction_step(power, record)
    assert np.isfinite(engine.get_refractive_index()).all()
    capfd.readouterr()


def test_sizes_are_checked_against_memory(tmp_path, ray_file, capfd):
    engine = lit_box(tmp_path, ray_file)
    before = engine.get_absorbed_power().copy()
    with pytest.raises(RuntimeError, match=r"^an optical path of 8589934588 data points needs .* GB of \w+ memory"):
        engine.configure_optical_path(HUGE, str(tmp_path / "paths.csv"))
    assert engine.get_objective() == "light_transport"  # the objective in use stays
    np.testing.assert_array_equal(engine.get_absorbed_power(), before)
    engine.compute_volumetric_absorption()
    np.testing.assert_allclose(engine.get_absorbed_power(), 2 * before, rtol=1e-6)
    capfd.readouterr()
    with pytest.raises(RuntimeError, match=r"^a Dosterin of 2147483647 nodes needs 34\.4 GB of \w+ memory, more "
                                           r"than the .* available$"):
        dosterin.Dosterin(HUGE)
    with pytest.raises(RuntimeError, match=r"^a Kuravel of 2147483647 nodes needs .* GB"):
        kuravel.Kuravel(HUGE, kuravel_props())
    assert dosterin.Dosterin(3).get_eddf().shape == (3,)


def test_rays_cycling_in_a_tangled_mesh_end_early(tmp_path, capfd):
    # The loaders refuse tangled hexahedra, but node positions set afterwards can still tangle one:
    # the far face of the second cell is scrambled so that rays cycle between the two cells.
    points, hexahedra = box_mesh(2, 1, 1, size=(2, 1, 1))
    far = [n for n in hexahedra[1] if points[n, 0] > 1.5]
    tangled = points.copy()
    tangled[far] += [[1.3, 0.9, 0.3], [-0.8, 0.0, 0.5], [-0.9, 0.3, 0.3], [0.5, -0.8, -0.5]]
    engine = lumivex.Lumivex()
    engine.load_mesh_arrays(points, hexahedra, refractive_index=1.5, absorptivity=0.0)
    engine.set_node_positions(tangled)
    air = lumivex.OpticalBoundaryCondition()
    air.faces = list(range(engine.get_boundary_face_count()))
    engine.set_boundary_conditions([air])
    rng = np.random.default_rng(1)
    n = 100
    origins = np.column_stack([np.full(n, -1.0), rng.uniform(0.1, 0.9, n), rng.uniform(0.1, 0.9, n)])
    engine.load_rays_arrays(origins, np.tile([1.0, 0.0, 0.0], (n, 1)), np.ones(n))
    engine.config()
    engine.configure_outfilename(str(tmp_path / "out.vtu"))
    capfd.readouterr()
    engine.compute_volumetric_absorption()
    assert "rays ended early: they cycled between elements without progress" in capfd.readouterr().out
    assert engine.get_element_visit_count() < 100 * n  # the last-resort bound would allow 10^5 per ray

    # The same rays through the untangled mesh: nothing ends early, every ray crosses both cells.
    engine.set_node_positions(points)
    engine.reset_absorbed_power()
    engine.compute_volumetric_absorption()
    assert "ended early" not in capfd.readouterr().out
    assert engine.get_element_visit_count() == 2 * n
