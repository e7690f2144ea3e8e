"""The vial exposure demo at a tiny size: it cures resin and writes a readable series."""

import os
import xml.etree.ElementTree as ET

import meshio
import numpy as np
import pytest

from lumivex_tools.vial import VialSetup, run


@pytest.fixture(scope="module")
def tiny_run(tmp_path_factory):
    outdir = tmp_path_factory.mktemp("vial")
    setup = VialSetup(n_radial=2, n_around=12, n_z=4, pattern_pixels=16, n_angles=6, solver="FE")
    return setup, run(setup, str(outdir))


def test_series_lists_every_angle_and_reads_back(tiny_run):
    setup, result = tiny_run
    entries = ET.parse(result.pvd).getroot().findall("./Collection/DataSet")
    assert len(entries) == setup.n_angles == len(result.files)
    times = [float(e.get("timestep")) for e in entries]
    assert times == sorted(times)
    folder = os.path.dirname(result.pvd)
    last = meshio.read(os.path.join(folder, entries[-1].get("file")))
    assert "hexahedron" in last.cells_dict
    np.testing.assert_allclose(last.point_data["Dose"], result.dose, rtol=1e-5, atol=1e-12)
    np.testing.assert_allclose(last.point_data["DegreeOfCuring"], result.degree_of_curing, rtol=1e-5, atol=1e-12)
    for name in ("Volumetric absorbed power Q", "RefractiveIndex", "Absorptivity"):
        assert name in last.point_data


def test_resin_cures_and_material_follows(tiny_run):
    setup, result = tiny_run
    assert 0 < result.cured_volume < result.total_volume
    last = meshio.read(result.files[-1])
    cured = result.degree_of_curing >= 0.999
    np.testing.assert_allclose(last.point_data["RefractiveIndex"][cured], setup.cured_index, rtol=1e-6)
    np.testing.assert_allclose(last.point_data["Absorptivity"][~(result.degree_of_curing > 0)],
                               setup.resin_absorptivity, rtol=1e-6)
    # Absorbed power stays below what the beam brings in.
    assert all(0 < p < result.incident_power for p in result.absorbed_power)
    assert os.path.getsize(result.figure) > 0
