"""Ray paths as VTK polylines (``.vtp`` XML PolyData, for ParaView and VTK)."""

from __future__ import annotations

import os

import numpy as np


def _data_array(name: str, values: np.ndarray, vtk_type: str, components: int = 1) -> str:
    text = " ".join(np.char.mod("%.9g" if vtk_type.startswith("Float") else "%d", values.ravel()))
    return (f'        <DataArray type="{vtk_type}" Name="{name}" NumberOfComponents="{components}" '
            f'format="ascii">\n          {text}\n        </DataArray>\n')


def write_ray_paths(path: str | os.PathLike, paths) -> int:
    """Write recorded ray paths as one VTK polyline per ray.

    ``paths`` is the (rays, points, 5) array of ``Lumivex.get_optical_paths()``:
    x, y, z, path length s and power E per point, NaN past the end of a path.
    Each ray with at least one point becomes a polyline cell; the points carry
    the fields "Power" (E) and "PathLength" (s), and each cell its "RayIndex".
    Returns the number of polylines written.
    """
    paths = np.asarray(paths, dtype=np.float64)
    if paths.ndim != 3 or paths.shape[2] != 5:
        raise ValueError("paths must be a (rays, points, 5) array as get_optical_paths returns")
    filled = ~np.isnan(paths).any(axis=2)           # (rays, points)
    counts = filled.sum(axis=1)
    rays = np.flatnonzero(counts > 0)
    points = paths[filled]                           # ray after ray, in path order
    offsets = np.cumsum(counts[rays])
    with open(path, "w") as f:
        f.write('<?xml version="1.0"?>\n')
        f.write('<VTKFile type="PolyData" version="0.1" byte_order="LittleEndian">\n  <PolyData>\n')
        f.write(f'    <Piece NumberOfPoints="{len(points)}" NumberOfVerts="0" NumberOfLines="{len(rays)}" '
                f'NumberOfStrips="0" NumberOfPolys="0">\n')
        f.write("      <Points>\n")
        f.write(_data_array("Points", points[:, :3], "Float64", 3))
        f.write("      </Points>\n      <Lines>\n")
        f.write(_data_array("connectivity", np.arange(len(points)), "Int64"))
        f.write(_data_array("offsets", offsets, "Int64"))
        f.write("      </Lines>\n      <PointData Scalars=\"Power\">\n")
        f.write(_data_array("Power", points[:, 4], "Float64"))
        f.write(_data_array("PathLength", points[:, 3], "Float64"))
        f.write("      </PointData>\n      <CellData>\n")
        f.write(_data_array("RayIndex", rays, "Int64"))
        f.write("      </CellData>\n    </Piece>\n  </PolyData>\n</VTKFile>\n")
    return len(rays)
