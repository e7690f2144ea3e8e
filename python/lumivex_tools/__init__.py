"""Pure-Python helpers around the lumivex, kuravel and dosterin extension modules.

Mesh generators, writers, the demo that the README runs and the lumivex-trace
command.
"""

from .cylinder import cylinder_mesh
from .meshgen import box_mesh, nodal_volumes, write_vtk
from .pvd import write_pvd
from .raypaths import write_ray_paths
from .rays import parallel_beam, read_ry, write_ry

__all__ = ["box_mesh", "cylinder_mesh", "nodal_volumes", "parallel_beam", "read_ry", "write_pvd", "write_ray_paths",
           "write_ry", "write_vtk"]
