"""ParaView collection files (``.pvd``) that group VTU files into a time series."""

from __future__ import annotations

import os
from xml.sax.saxutils import quoteattr


def write_pvd(path: str | os.PathLike, files, times) -> None:
    """Write a ``.pvd`` collection listing ``files`` (paths) at ``times``.

    File paths are stored relative to the collection's folder, so the series can
    be moved as a whole.
    """
    base = os.path.dirname(os.path.abspath(path))
    with open(path, "w") as f:
        f.write('<?xml version="1.0"?>\n')
        f.write('<VTKFile type="Collection" version="0.1" byte_order="LittleEndian">\n  <Collection>\n')
        for name, t in zip(files, times):
            rel = os.path.relpath(os.path.abspath(name), base)
            f.write(f'    <DataSet timestep="{float(t):.9g}" group="" part="0" file={quoteattr(rel)}/>\n')
        f.write("  </Collection>\n</VTKFile>\n")
