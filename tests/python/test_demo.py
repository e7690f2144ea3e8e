"""The vial exposure demo at a tiny size: it cures resin and writes a readable series."""

import os
import xml.etree.ElementTree as ET

import meshio
import numpy as np
import pytest

from lumivex_tools.demo import main
from lumivex_tools.vial import VialSetup, run

TINY = dict(n_radial=2, n_around=12, n_z=4, pattern_pixels=16, n_angles=6)


@pytest.fixture(scope="module")
def tiny_run(tmp_path_factory):
    outdir = tmp_path_factory.mktemp("vial")
    setup = VialSetup(solver="FE", every=4, **TINY)
    return setup, run(setup, str(outdir))


def test_series_is_compressed_every_nth_angle_and_reads_back(tiny_run):
    setup, result = tiny_run
    entries = ET.parse(result.pvd).getroot().findall("./Collection/DataSet")
    assert [e.get("file") for e in entries] == ["vial_0.vtu", "vial_4.vtu", "vial_5.vtu"]  # and the last angle
    times = [float(e.get("timestep")) for e in entries]
    assert times == pytest.approx(np.array([1, 5, 6]) * result.dt)
    with open(result.files[-1], "rb") as f:
        head = f.read(400)
    assert b'compressor="vtkZLibDataCompressor"' in head
    last = meshio.read(result.files[-1])
    assert "hexahedron" in last.cells_dict
    np.testing.assert_allclose(last.point_data["Dose"], result.dose, rtol=1e-12)
    np.testing.assert_allclose(last.point_data["DegreeOfCuring"], result.degree_of_curing, rtol=1e-12)
    for name in ("Volumetric absorbed power Q", "RefractiveIndex", "Absorptivity"):
        assert name in last.point_data


def test_resin_cures_and_material_follows(tiny_run):
    setup, result = tiny_run
    assert 0 < result.cured_volume < result.total_volume
    last = meshio.read(result.files[-1])
    cured = result.degree_of_curing >= 0.999
    assert cured.any()
    np.testing.assert_allclose(last.point_data["RefractiveIndex"][cured], setup.cured_index, rtol=1e-6)
    np.testing.assert_allclose(last.point_data["Absorptivity"][~(result.degree_of_curing > 0)],
                               setup.resin_absorptivity, rtol=1e-6)
    # Absorbed power stays below what the beam brings in.
    assert all(0 < p < result.incident_power for p in result.absorbed_power)
    assert os.path.getsize(result.figure) > 0 and os.path.getsize(result.ray_figure) > 0
    piece = ET.parse(result.ray_paths).getroot().find("./PolyData/Piece")
    assert int(piece.get("NumberOfLines")) > 10


def test_kinetics_model_cures_the_target(tmp_path):
    setup = VialSetup(model="kuravel", **TINY)
    result = run(setup, str(tmp_path), figure=False)
    assert 0 < result.cured_volume < result.total_volume


def test_demo_is_quiet_and_states_units(tmp_path, capfd):
    outdir = tmp_path / "out"
    assert main(["--outdir", str(outdir), "--angles", "3", "--resolution", "0.2", "--pixels", "12",
                 "--every", "2"]) == 0
    out, err = capfd.readouterr()
    assert "Solver is configured" not in out + err and "Warning" not in out + err
    for unit in ("s\n", "W\n", "J/mm^3", "mm^3 of"):
        assert unit in out
    assert "Solver is configured as 4th order Runge-Kutta" in (outdir / "engine.log").read_text()
    assert sorted(p.name for p in outdir.glob("vial_*.vtu")) == ["vial_0.vtu", "vial_2.vtu"]
