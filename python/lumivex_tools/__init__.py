"""Pure-Python helpers around the lumivex, kuravel and dosterin extension modules.

Mesh generators, writers and the demo that the README runs.
"""

from .meshgen import box_mesh, write_vtk

__all__ = ["box_mesh", "write_vtk"]
