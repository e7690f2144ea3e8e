"""The dose-threshold model driven by lumivex's absorbed power, updating lumivex's mesh in place."""

import numpy as np
import pytest

import dosterin
import lumivex
from conftest import f32


def props(**values):
    p = dosterin.EnergeticMaterialProps()
    for name, value in values.items():
        setattr(p, name, value)
    return p


RESIN = dict(n0=1.5, n1=1.56, alpha0=0.3, alpha1=0.05, gelE=0.2, cureE=0.6, dt=0.5)


@pytest.fixture
def exposed(make_box, ray_file, tmp_path, capfd):
    """An engine with one absorption computed: a 3x2x2 box lit along +x through part of its x = 0 face."""

    def make():
        engine = lumivex.Lumivex()
        engine.load_mesh(make_box(3, 2, 2)[0])
        engine.load_rays(ray_file([(-1.0, y, z, 1.0, 0.0, 0.0, 1.0) for y in (0.3, 0.7) for z in (0.4, 0.8)]))
        engine.set_constant_matprops(1.5, 0.3)
        engine.config()
        engine.configure_outfilename(str(tmp_path / "out.vtu"))
        engine.compute_volumetric_absorption()
        capfd.readouterr()
        return engine

    return make


def addresses(engine):
    return engine.get_result_array_device_ptr(), engine.get_mesh_data_devlink_ptr()


def test_records_and_attributes():
    model = dosterin.Dosterin(5, props(**RESIN))
    np.testing.assert_array_equal(model.get_eddf(), np.zeros(5))
    np.testing.assert_array_equal(model.get_doc(), np.zeros(5))
    assert model.n_nodes == 5 and model.matprops.cureE == 0.6
    assert dosterin.Dosterin(n_nodes=2).matprops.n1 == 0.0

    # The buffers keep their created size: the count may go down, never beyond it.
    model.n_nodes = 3
    assert model.get_doc().shape == (3,)
    with pytest.raises(RuntimeError, match="n_nodes 6 exceeds the 5 nodes"):
        model.n_nodes = 6
    model.n_nodes = 5
    with pytest.raises(RuntimeError, match="negative"):
        dosterin.Dosterin(-1)


def test_step_updates_lumivex_mesh_and_next_compute_sees_it(exposed, capfd):
    engine = exposed()
    n = engine.get_node_count()
    q1 = engine.get_absorbed_power()
    lit = q1 > 0
    assert lit.any() and not lit.all()

    model = dosterin.Dosterin(n, props(**RESIN))
    energy = np.zeros(n)
    for _ in range(2):
        model.reaction_step(*addresses(engine))
        energy = energy + 0.5 * q1
        np.testing.assert_array_equal(model.get_eddf(), energy)
    doc = np.clip((energy - 0.2) / (0.6 - 0.2), 0.0, 1.0)
    np.testing.assert_allclose(model.get_doc(), doc, rtol=0, atol=1e-15)
    assert doc.max() == 1.0 and ((doc > 0) & (doc < 1)).any()

    n_new, alpha_new = engine.get_refractive_index(), engine.get_absorptivity()
    np.testing.assert_allclose(n_new, f32(1.56 * doc + 1.5 * (1 - doc)), rtol=1e-7)
    np.testing.assert_allclose(alpha_new, f32(0.05 * doc + 0.3 * (1 - doc)), rtol=1e-6)
    cured = doc > 0
    assert (n_new[cured] > np.float32(1.5)).all() and (alpha_new[cured] < np.float32(0.3)).all()
    np.testing.assert_array_equal(n_new[~cured], np.float32(1.5))
    np.testing.assert_array_equal(alpha_new[~cured], np.float32(0.3))

    # The next compute traces the cured material: less is absorbed, and exactly
    # what an engine given those material values by hand absorbs.
    engine.reset_absorbed_power()
    engine.compute_volumetric_absorption()
    q2 = engine.get_absorbed_power()
    assert q2.sum() < q1.sum()
    reference = exposed()
    reference.set_refractive_index(n_new)
    reference.set_absorptivity(alpha_new)
    reference.reset_absorbed_power()
    reference.compute_volumetric_absorption()
    capfd.readouterr()
    np.testing.assert_allclose(q2, reference.get_absorbed_power(), rtol=1e-12, atol=1e-300)


def test_refused_addresses_and_node_counts(exposed):
    engine = exposed()
    result, mesh = addresses(engine)
    n = engine.get_node_count()
    model = dosterin.Dosterin(n, props(**RESIN))
    with pytest.raises(RuntimeError, match="^result_device_ptr is null$"):
        model.reaction_step(0, 0)
    with pytest.raises(RuntimeError, match="^mesh_devlink_ptr is null$"):
        model.reaction_step(result, 0)
    for bad in [(-1, mesh), (result, -mesh), (float(result), mesh), (result, 2**64)]:
        with pytest.raises(TypeError):
            model.reaction_step(*bad)

    before = engine.get_refractive_index()
    for count in (n - 1, n + 1):
        with pytest.raises(RuntimeError, match=f"Dosterin has {count} nodes but the mesh has {n} nodes"):
            dosterin.Dosterin(count).reaction_step(result, mesh)
    model.n_nodes = n - 1
    with pytest.raises(RuntimeError, match=f"has {n - 1} nodes"):
        model.reaction_step(result, mesh)
    np.testing.assert_array_equal(engine.get_refractive_index(), before)
    np.testing.assert_array_equal(model.get_eddf(), np.zeros(n - 1))
