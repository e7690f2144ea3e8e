"""Pure-Python helpers around the lumivex, kuravel and dosterin extension modules.

Mesh generators and readers, writers, the demo that the README runs and the
lumivex-trace command.
"""

from .cylinder import cylinder_mesh
from .meshfile import MeshGroups, load_mesh_file
from .meshgen import box_mesh, nodal_volumes, write_vtk
from .pvd import write_pvd
from .raypaths import write_ray_paths
from .rays import parallel_beam, read_ry, write_ry

__all__ = ["MeshGroups", "box_mesh", "cylinder_mesh", "load_mesh_file", "nodal_volumes", "parallel_beam", "read_ry",
           "write_pvd", "write_ray_paths", "write_ry", "write_vtk"]
