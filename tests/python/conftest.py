"""Shared fixtures: generated box meshes, hand-written VTK text and a view of the mesh record."""

from __future__ import annotations

import ctypes
from collections import namedtuple
from pathlib import Path

import numpy as np
import pytest

import lumivex
from lumivex_tools import box_mesh, write_vtk

HEADER = "# vtk DataFile Version 3.0\n{title}\nASCII\nDATASET UNSTRUCTURED_GRID\n"

Loaded = namedtuple("Loaded", "engine path points hexahedra")

on_cpu = pytest.mark.skipif(
    lumivex.device() != "cpu", reason="reads device arrays directly, which needs the CPU backend")


def f32(values):
    """What a value looks like after a trip through the engine's float storage."""
    return np.asarray(values, dtype=np.float64).astype(np.float32).astype(np.float64)


def vtk_text(points, hexahedra=(), *, title="hand made", cell_types=True, tail=""):
    """Legacy VTK text with one point and one cell per line, followed by `tail`."""
    out = [HEADER.format(title=title), f"POINTS {len(points)} float\n"]
    out += [" ".join(f"{v:.9g}" for v in p) + "\n" for p in points]
    if len(hexahedra):
        out.append(f"CELLS {len(hexahedra)} {9 * len(hexahedra)}\n")
        out += ["8 " + " ".join(str(int(i)) for i in h) + "\n" for h in hexahedra]
        if cell_types:
            out.append(f"CELL_TYPES {len(hexahedra)}\n" + "12\n" * len(hexahedra))
    out.append(tail)
    return "".join(out)


def scalars(name, values, per_line=1):
    """A SCALARS block with its lookup-table line."""
    values = [f"{v:.9g}" for v in values]
    rows = [" ".join(values[i:i + per_line]) for i in range(0, len(values), per_line)]
    return f"SCALARS {name} float 1\nLOOKUP_TABLE default\n" + "".join(r + "\n" for r in rows)


@pytest.fixture
def engine():
    return lumivex.Lumivex()


@pytest.fixture
def make_box(tmp_path):
    """Writes an nx x ny x nz box of unit cells (unless `size` says otherwise) as legacy VTK."""

    def make(nx=3, ny=2, nz=2, size=None, origin=(0.0, 0.0, 0.0), name=None, **material):
        points, hexahedra = box_mesh(nx, ny, nz, size or (nx, ny, nz), origin)
        path = tmp_path / (name or f"box_{nx}x{ny}x{nz}.vtk")
        write_vtk(path, points, hexahedra, **material)
        return str(path), points, hexahedra

    return make


@pytest.fixture
def write_text(tmp_path):
    """Writes VTK text byte for byte, with the line ending asked for."""

    def write(name, text, newline="\n"):
        path = Path(tmp_path) / name
        path.write_bytes(text.replace("\n", newline).encode("latin-1"))
        return str(path)

    return write


@pytest.fixture
def loaded(engine, make_box, capfd):
    """An engine holding a 3x2x2 box of unit cells; the load messages are already consumed."""
    path, points, hexahedra = make_box(3, 2, 2)
    engine.load_mesh(path)
    capfd.readouterr()
    return Loaded(engine, path, points, hexahedra)


# --- the flat mesh record handed to the other modules --------------------------------------

_i, _f, _pi, _pf = ctypes.c_int, ctypes.c_float, ctypes.POINTER(ctypes.c_int), ctypes.POINTER(ctypes.c_float)


class MeshDataFlat(ctypes.Structure):
    _fields_ = [
        ("faceNodeTable", _i * 24),
        ("nNodes", _i), ("nodeCoords", _pf), ("refrIndex", _pf), ("nodalMass", _pf), ("absorptivity", _pf),
        ("nFaces", _i), ("faceElement", _pi), ("faceLocalFace", _pi), ("faceNodes", _pi),
        ("faceNormals", _pf), ("faceBC", _pi),
        ("nBCs", _i), ("nBCFaces", _i), ("bcRoughSurface", _pi), ("bcRoughness", _pf),
        ("bcInteractionType", _pi), ("bcRefrIndexReal", _pf), ("bcRefrIndexImag", _pf),
        ("bcFaceOffsets", _pi), ("bcFaces", _pi),
        ("nElements", _i), ("elementNodes", _pi), ("elementNeighbors", _pi), ("elementNeighborTypes", _pi),
        ("elementNeighborFaces", _pi), ("elementNeighborOrientations", ctypes.POINTER(ctypes.c_uint8)),
        ("elementConstRefrIndex", _pi),
        ("DEVICE", _i), ("HOST", _i), ("location", _i),
    ]

    def array(self, field, count, shape=None):
        """Copy of `count` entries of an array field (device memory is host memory on the CPU backend)."""
        if count == 0:
            return np.empty(0)
        values = np.ctypeslib.as_array(getattr(self, field), (count,)).copy()
        return values.reshape(shape) if shape else values


def mesh_record(engine) -> MeshDataFlat:
    return MeshDataFlat.from_address(engine.get_mesh_data_devlink_ptr())


# --- ray files -------------------------------------------------------------------------------

def ray_text(records, count=None, header=""):
    """`.ry` text: optional header lines, the count (the number of records unless given), then
    one record of origin, direction and power per line."""
    records = np.atleast_2d(np.asarray(records, dtype=np.float64)).reshape(-1, 7)
    count = len(records) if count is None else count
    return header + f"{count}\n" + "".join(" ".join(repr(float(v)) for v in r) + "\n" for r in records)


@pytest.fixture
def ray_file(tmp_path):
    """Writes a `.ry` file (records, or raw text) and returns its path."""

    def write(records=(), name="rays.ry", text=None, **kw):
        path = tmp_path / name
        path.write_text(ray_text(records, **kw) if text is None else text)
        return str(path)

    return write


def kuravel_props(**overrides):
    """Kinetics parameters that cure within a few steps of the test exposures."""
    import kuravel

    p = kuravel.KuravelProps()
    values = dict(kpropagation=50.0, koxygen=1.0, diffusion_oxygen=0.01, diffusion_radical=0.001, dt=1.0,
                  n0=1.5, n1=1.6, alpha0=0.8, alpha1=0.0, c_monomer0=1.0, c_oxygen0=0.1)
    for key, value in {**values, **overrides}.items():
        setattr(p, key, value)
    return p
