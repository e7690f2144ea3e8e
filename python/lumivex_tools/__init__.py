"""Pure-Python helpers around the lumivex, kuravel and dosterin extension modules.

Mesh generators, writers and the demo that the README runs.
"""

from .cylinder import cylinder_mesh
from .meshgen import box_mesh, write_vtk

__all__ = ["box_mesh", "cylinder_mesh", "write_vtk"]
