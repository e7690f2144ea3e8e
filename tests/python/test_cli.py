"""The installed lumivex-trace command: one trace per objective from a TOML file, and its errors."""

from __future__ import annotations

import re
import shutil
import subprocess
import sysconfig
from pathlib import Path

import numpy as np
import pytest

from lumivex_tools import box_mesh, write_vtk

_beside = Path(sysconfig.get_path("scripts")) / "lumivex-trace"
PROGRAM = str(_beside) if _beside.exists() else shutil.which("lumivex-trace")
pytestmark = pytest.mark.skipif(PROGRAM is None, reason="lumivex-trace is not installed")


@pytest.fixture
def trace(tmp_path):
    """Runs the program on a 4 x 4 x 4 box of edge 1 (index 1.5, absorptivity 0.8), the given rays
    and configuration text. Paths are relative to the configuration; the program runs elsewhere."""
    points, hexahedra = box_mesh(4, 4, 4, size=(1.0, 1.0, 1.0))
    write_vtk(tmp_path / "box.vtk", points, hexahedra, refractive_index=1.5, absorptivity=0.8)
    (tmp_path / "out").mkdir()
    (tmp_path / "elsewhere").mkdir()

    def run(rays, text, mesh="box.vtk"):
        rays = np.atleast_2d(rays)
        (tmp_path / "rays.ry").write_text(f"{len(rays)}\n" + "".join(" ".join(map(repr, map(float, r))) + "\n"
                                                                   for r in rays))
        (tmp_path / "trace.toml").write_text(f'mesh = "{mesh}"\nrays = "rays.ry"\n' + text)
        return subprocess.run([PROGRAM, str(tmp_path / "trace.toml")], cwd=tmp_path / "elsewhere",
                              capture_output=True, text=True, timeout=300)

    run.out = tmp_path / "out"
    return run


def test_render_colours_the_pixels_of_the_rays_that_meet_the_box(trace):
    # 6 x 4 pixels, one ray per pixel straight up from below; the outer columns miss the box.
    width, height = 6, 4
    xs = [-0.2 + 1.4 * (c + 0.5) / width for c in range(width)]
    rays = [[xs[c], (r + 0.5) / height, -1.0, 0, 0, 1, 1.0] for r in range(height) for c in range(width)]
    done = trace(rays, f'solver = "FE"\nobjective = "render"\noutput_file = "out/view.bmp"\n'
                       f'pixel_width = {width}\npixel_height = {height}\npixel_size = 0.25\n')
    assert done.returncode == 0, done.stderr
    assert "view_0.bmp" in done.stdout

    data = (trace.out / "view_0.bmp").read_bytes()
    row = 3 * width + 2  # padded to a multiple of 4 bytes
    assert len(data) == 54 + row * height
    for r in range(height):
        for c in range(width):
            # The bottom face, normal (0, 0, -1): blue and green 0.5, red 1.
            expected = bytes([127, 127, 255]) if 0.0 < xs[c] < 1.0 else bytes(3)
            assert data[54 + r * row + 3 * c:][:3] == expected, (r, c)


def test_optical_path_lists_the_exit_point_of_each_element_crossed(trace):
    rays = [[-1.0, 0.6, 0.4, 1, 0, 0, 1.0], [0.5, 0.5, -1.0, 0, 0, 1, 1.0]]
    done = trace(rays, 'solver = "RK4"\nobjective = "optical_path"\noutput_file = "out/path.csv"\n'
                       'datapoints_amount = 10\n')
    assert done.returncode == 0, done.stderr

    lines = (trace.out / "path_0.csv").read_text().splitlines()
    assert lines[0] == "x,y,z,s,E"
    x, y, z, s, e = np.array([[float(v) for v in line.split(",")] for line in lines[1:]]).T
    assert x == pytest.approx([0.25, 0.5, 0.75, 1.0], abs=2e-3)  # ray 0 crosses four elements
    assert y == pytest.approx(0.6) and z == pytest.approx(0.4) and s == pytest.approx(x, abs=2e-3)
    assert e == pytest.approx(np.exp(-0.8 * s), rel=1e-4)


def test_light_transport_writes_the_absorbed_power(trace):
    rays = [[x, y, -1.0, 0, 0, 1, 1.0] for x in (0.3, 0.7) for y in (0.3, 0.7)]
    done = trace(rays, 'objective = "light_transport"\noutput_file = "out/q.vtu"\n[material]\nabsorptivity = 2.0\n'
                       '[boundary]\ninteraction_type = "transmit"\nrefractive_index_real = 1.0\n')
    assert done.returncode == 0, done.stderr

    text = (trace.out / "q_0.vtu").read_text()
    q = re.search(r'Name="Volumetric absorbed power Q" format="ascii">\n(.*?)</DataArray>', text, re.S).group(1)
    q = np.array(q.split(), dtype=float)
    assert len(q) == 125 and q.min() >= 0.0 and q.max() > 0.0
    alpha = re.search(r'Name="Absorptivity" format="ascii">\n(.*?)</DataArray>', text, re.S).group(1)
    assert set(alpha.split()) == {"2.000000e+00"}  # the material constant replaced the file's values


@pytest.mark.parametrize("text, message", [
    ('objective = "render"\noutput_file = "v.bmp"\npixel_height = 2\npixel_size = 1\n',
     'key "pixel_width" is missing'),
    ('objective = "optical_path"\noutput_file = "p.csv"\ndatapoints_amount = "9"\n',
     'key "datapoints_amount" must be an integer, not a string (line 5)'),
    ('objective = "volume"\noutput_file = "x"\n', 'key "objective" must be "render"'),
    ('objective = "light_transport"\noutput_file = "x.vtu"\nsolver = "RK5"\n', 'key "solver" must be "FE" or "RK4"'),
    ('objective = "light_transport"\noutput_file = "x.vtu"\npixel_widht = 3\n', 'key "pixel_widht" is not a known key'),
    ('objective = "light_transport"\noutput_file = "x.vtu\n', "trace.toml:4"),
    ('objective = "light_transport"\noutput_file = "no_such_dir/x.vtu"\n', "no result file written"),
])
def test_errors_are_reported_with_exit_status_1(trace, text, message):
    done = trace([[0.5, 0.5, -1.0, 0, 0, 1, 1.0]], text)
    assert done.returncode == 1
    assert done.stderr.startswith("lumivex-trace: error: ") and message in done.stderr


def test_a_missing_mesh_file_is_named(trace):
    done = trace([[0.5, 0.5, -1.0, 0, 0, 1, 1.0]], 'objective = "light_transport"\noutput_file = "x.vtu"\n',
                 mesh="none.vtk")
    assert done.returncode == 1
    assert re.search(r"cannot read mesh file \S*none\.vtk: Cannot open VTK file", done.stderr)
