"""Demo: generate a small hexahedral box, load it into lumivex and report its size."""

from __future__ import annotations

import argparse
import os
import tempfile

from .meshgen import box_mesh, write_vtk


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--cells", type=int, nargs=3, default=(8, 8, 8), metavar=("NX", "NY", "NZ"),
                        help="elements along x, y and z (default 8 8 8)")
    parser.add_argument("--keep", metavar="PATH", help="also keep the generated mesh at PATH")
    args = parser.parse_args(argv)

    import lumivex

    points, hexahedra = box_mesh(*args.cells)
    with tempfile.TemporaryDirectory() as tmp:
        path = args.keep or os.path.join(tmp, "box.vtk")
        write_vtk(path, points, hexahedra, refractive_index=1.5, absorptivity=0.1)
        engine = lumivex.Lumivex()
        engine.load_mesh(path)
    print(f"backend:         {lumivex.device()}")
    print(f"nodes:           {engine.get_node_count()}")
    print(f"elements:        {engine.get_element_count()}")
    print(f"boundary faces:  {engine.get_boundary_face_count()}")
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
