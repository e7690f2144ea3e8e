"""kuravel driven by a lumivex engine: the exposure loop, the model's getters and its refusals."""

import numpy as np
import pytest

import kuravel
import lumivex
from conftest import f32
from conftest import kuravel_props as props


@pytest.fixture
def exposed(engine, make_box, ray_file, tmp_path, capfd):
    """A 4x4x4 box on [-1, 1]^3 lit from above by a 5x5 bundle of vertical rays, absorption computed."""
    path, _, _ = make_box(4, 4, 4, size=(2.0, 2.0, 2.0), origin=(-1.0, -1.0, -1.0))
    xy = np.linspace(-0.3, 0.3, 5)  # inside the central elements: the outer nodes stay dark
    engine.load_mesh(path)
    engine.load_rays(ray_file([(x, y, 3.0, 0.0, 0.0, -1.0, 1.0) for x in xy for y in xy]))
    engine.set_constant_matprops(1.5, 0.8)
    engine.config()
    engine.configure_outfilename(str(tmp_path / "out.vtu"))
    engine.compute_volumetric_absorption()
    capfd.readouterr()
    return engine


def test_exposure_loop_cures_the_lit_nodes_and_the_next_compute_sees_it(exposed):
    engine, n = exposed, exposed.get_node_count()
    model = kuravel.Kuravel(n, props())
    np.testing.assert_array_equal(model.get_degree_of_curing(), np.zeros(n))
    np.testing.assert_array_equal(model.get_oxygen_concentration(), np.full(n, 0.1))
    assert model.get_dt() == 1.0
    model.initialize_accelerator(engine.get_mesh_ptr())

    first_total = engine.get_absorbed_power().sum()
    assert first_total > 0
    doc = model.get_degree_of_curing()
    for k in range(3):
        model.reaction_step(engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr())
        new_doc = model.get_degree_of_curing()
        assert np.all(new_doc >= doc) and np.all((new_doc >= 0) & (new_doc <= 1))
        doc = new_doc
        np.testing.assert_array_equal(engine.get_refractive_index(), f32((1 - doc) * 1.5 + doc * 1.6))
        np.testing.assert_array_equal(engine.get_absorptivity(), f32((1 - doc) * 0.8))
        engine.rotate_reset_rays([0.0, 0.0, 1.0], 0.4)
        engine.reset_absorbed_power()
        engine.compute_volumetric_absorption()
    lit = engine.get_absorbed_power() > 0
    assert doc.max() == 1.0 and doc[~lit].min() == 0.0
    # Cured resin no longer absorbs (alpha1 = 0): the same light now leaves less behind.
    assert engine.get_absorbed_power().sum() < 0.9 * first_total


def test_addresses_node_counts_and_monomer_are_checked(exposed, make_box, capfd):
    engine, n = exposed, exposed.get_node_count()
    power, record, mesh = (engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr(),
                           engine.get_mesh_ptr())
    model = kuravel.Kuravel(n, props())
    with pytest.raises(RuntimeError, match="accelerator is not initialized; call initialize_accelerator"):
        model.reaction_step(power, record)
    with pytest.raises(RuntimeError, match="^mesh_ptr is null$"):
        model.initialize_accelerator(0)
    model.initialize_accelerator(mesh)
    with pytest.raises(RuntimeError, match="^result_device_ptr is null$"):
        model.reaction_step(0, 0)
    with pytest.raises(RuntimeError, match="^mesh_devlink_ptr is null$"):
        model.reaction_step(power, 0)
    for call in (lambda: model.reaction_step(-1, record), lambda: model.initialize_accelerator(-8),
                 lambda: model.reaction_step(power, 1.5)):
        with pytest.raises(TypeError):
            call()

    wrong = kuravel.Kuravel(n - 1, props())
    with pytest.raises(RuntimeError, match=f"{n - 1} nodes, but the mesh has {n} nodes"):
        wrong.initialize_accelerator(mesh)
    other = lumivex.Lumivex()  # a mesh of another size met only at the step
    other.load_mesh(make_box(2, 2, 2, name="small.vtk")[0])
    with pytest.raises(RuntimeError, match=f"{n} nodes, but the mesh has 27 nodes"):
        model.reaction_step(power, other.get_mesh_data_devlink_ptr())
    no_monomer = kuravel.Kuravel(n, props(c_monomer0=0.0))
    no_monomer.initialize_accelerator(mesh)
    with pytest.raises(RuntimeError, match="c_monomer0 is 0"):
        no_monomer.reaction_step(power, record)
    np.testing.assert_array_equal(no_monomer.get_degree_of_curing(), np.zeros(n))

