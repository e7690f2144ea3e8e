"""Meshes in any format meshio reads (gmsh ``.msh``, ``.vtu``, ``.vtk``, ``.xdmf``, Abaqus
``.inp``, ...), loaded into an engine with their named groups in the engine's numbering."""

from __future__ import annotations

import collections
import dataclasses
import os

import meshio
import numpy as np

# Two nodes closer than this fraction of the bounding-box diagonal of the mesh's nodes count as
# coincident; the engine uses the same tolerance when it reports unmerged ones.
COINCIDENT_NODE_TOLERANCE = 1e-6

_DEFAULTS = {"RefractiveIndex": 1.0, "Absorptivity": 0.0}


@dataclasses.dataclass
class MeshGroups:
    """Named groups of a mesh file, as ids of the engine the mesh was loaded into.

    ``faces[name]``: ascending boundary-face ids covered by a named surface group (ready for
    ``OpticalBoundaryCondition.faces``); ``elements[name]``: ascending element ids of a named
    volume group.
    """

    faces: dict = dataclasses.field(default_factory=dict)
    elements: dict = dataclasses.field(default_factory=dict)
    hexahedra: np.ndarray = dataclasses.field(default=None, repr=False)

    def nodes(self, name: str) -> np.ndarray:
        """Ascending ids of the nodes of the volume group ``name``, e.g. to give it a material."""
        return np.unique(self.hexahedra[self.elements[name]])


def load_mesh_file(engine, path: str | os.PathLike, *, refractive_index=None, absorptivity=None,
                   merge_coincident_nodes: bool = False) -> MeshGroups:
    """Read a mesh file with meshio and load its hexahedra into ``engine``.

    All hexahedron blocks are kept, in file order (element ids follow it); vertices, lines and
    surface cells are skipped with one summary line; other volume cells raise ``RuntimeError``.
    The material comes from the point arrays "RefractiveIndex" and "Absorptivity" when the file
    has them, else from ``refractive_index`` / ``absorptivity`` (a number or one value per
    point), else the defaults 1.0 and 0.0; one line says which. With ``merge_coincident_nodes``
    nodes closer than ``COINCIDENT_NODE_TOLERANCE`` times the mesh's bounding-box diagonal are
    merged first (needed when volumes were meshed separately, e.g. without gmsh's fragment).

    Returns the file's named groups (gmsh physical groups, meshio cell sets): quads of a surface
    group become boundary-face ids, hexahedra of a volume group element ids. Quads that are not
    boundary faces of the loaded mesh are reported and left out.
    """
    try:
        mesh = meshio.read(path)
    except Exception as error:  # meshio raises its own types, and OSError, for unreadable files
        raise RuntimeError(f"cannot read mesh file {os.fspath(path)}: {error}") from error
    points = np.asarray(mesh.points, dtype=np.float64)
    if points.ndim != 2 or points.shape[1] != 3:
        raise RuntimeError(f"{os.fspath(path)}: points have {points.shape[-1]} coordinates; "
                           "a hexahedral mesh needs 3")
    hexahedra, first_element = _hexahedra(mesh, os.fspath(path))

    node_map = np.arange(len(points))
    if merge_coincident_nodes:
        node_map, kept = _coincident_node_map(points, hexahedra)
        points, hexahedra = points[kept], node_map[hexahedra]
    else:
        kept = slice(None)

    material = {name: _material(mesh, name, given, kept, len(points))
                for name, given in (("RefractiveIndex", refractive_index), ("Absorptivity", absorptivity))}
    print("Material: " + ", ".join(f"{name} {source}" for name, (_, source) in material.items()))
    engine.load_mesh_arrays(points, hexahedra, refractive_index=material["RefractiveIndex"][0],
                            absorptivity=material["Absorptivity"][0])
    return _groups(engine, mesh, first_element, node_map, hexahedra)


def _hexahedra(mesh: meshio.Mesh, path: str):
    """All hexahedron blocks, concatenated, and the first element id of each block."""
    blocks, first_element, skipped, refused = [], {}, collections.Counter(), collections.Counter()
    count = 0
    for index, block in enumerate(mesh.cells):
        if block.type == "hexahedron":
            first_element[index] = count
            blocks.append(np.asarray(block.data, dtype=np.int64))
            count += len(block.data)
        elif block.dim < 3:
            skipped[block.type] += len(block.data)
        else:
            refused[block.type] += len(block.data)
    if refused:
        cells = ", ".join(f"{n} {kind}" for kind, n in refused.items())
        raise RuntimeError(f"{path} holds volume cells other than 8-node hexahedra ({cells}); convert the mesh "
                           "to first-order hexahedra (in gmsh: Mesh.ElementOrder = 1, Mesh.RecombineAll = 1 "
                           "and Mesh.SubdivisionAlgorithm = 2, or transfinite recombined volumes)")
    if not blocks:
        raise RuntimeError(f"{path} holds no hexahedra")
    if skipped:
        print("Skipped lower-dimensional cells: " + ", ".join(f"{n} {kind}" for kind, n in skipped.items()))
    return np.concatenate(blocks), first_element


def _coincident_node_map(points: np.ndarray, hexahedra: np.ndarray):
    """Map from old to new node ids merging coincident nodes, and the old ids kept (ascending).

    Each group of coincident nodes keeps its lowest id, so a mesh without any keeps its numbering.
    """
    from scipy.sparse import coo_matrix
    from scipy.sparse.csgraph import connected_components
    from scipy.spatial import cKDTree

    used = points[np.unique(hexahedra)]
    tolerance = COINCIDENT_NODE_TOLERANCE * np.linalg.norm(used.max(axis=0) - used.min(axis=0))
    pairs = cKDTree(points).query_pairs(tolerance, output_type="ndarray")
    n = len(points)
    graph = coo_matrix((np.ones(len(pairs)), (pairs[:, 0], pairs[:, 1])), shape=(n, n))
    _, component = connected_components(graph, directed=False)
    lowest = np.full(component.max() + 1, n)
    np.minimum.at(lowest, component, np.arange(n))
    kept = np.sort(lowest)
    new_id = np.empty(len(lowest), dtype=np.int64)
    new_id[np.argsort(lowest)] = np.arange(len(lowest))
    print(f"Merged {n - len(kept)} coincident nodes (tolerance {tolerance:.3g})")
    return new_id[component], kept


def _material(mesh: meshio.Mesh, name: str, given, kept, n: int):
    """Values for the engine (None: its default) and where they come from."""
    values = mesh.point_data.get(name)
    if values is not None:
        values = np.asarray(values, dtype=np.float64)
        if values.size != len(mesh.points):
            raise RuntimeError(f"point array {name} has shape {values.shape}; one value per point is needed")
        ignored = "" if given is None else " (the given value is not used)"
        return values.reshape(-1)[kept], "from the file's point data" + ignored
    if given is None:
        return None, f"{_DEFAULTS[name]} (default)"
    if np.ndim(given) == 0:
        return float(given), f"{float(given)} (given)"
    given = np.asarray(given, dtype=np.float64)
    if given.shape != (len(mesh.points),):
        raise RuntimeError(f"{name} must be a number or one value per point of the file ({len(mesh.points)})")
    return given[kept], "per node (given)"


def _named_cell_sets(mesh: meshio.Mesh) -> dict:
    """Group name -> per cell block, the indices of the block's cells in the group."""
    sets = {name: blocks for name, blocks in mesh.cell_sets.items() if not name.startswith("gmsh:")}
    # gmsh 2.2 files carry their groups as physical tags, named in field_data.
    tags = mesh.cell_data.get("gmsh:physical")
    if tags is not None:
        for name, value in mesh.field_data.items():
            value = np.asarray(value).ravel()
            if name in sets or value.size != 2:
                continue
            tag, dim = value
            sets[name] = [np.flatnonzero(np.asarray(t) == tag) if block.dim == dim else np.empty(0, int)
                          for block, t in zip(mesh.cells, tags)]
    return sets


def _groups(engine, mesh: meshio.Mesh, first_element: dict, node_map: np.ndarray,
            hexahedra: np.ndarray) -> MeshGroups:
    boundary = np.sort(engine.get_boundary_face_nodes().astype(np.int64), axis=1)
    groups = MeshGroups(hexahedra=hexahedra)
    for name, blocks in _named_cell_sets(mesh).items():
        elements, quads = [], []
        for index, (block, cells) in enumerate(zip(mesh.cells, blocks)):
            if cells is None or len(cells) == 0:
                continue
            cells = np.asarray(cells, dtype=np.int64)
            if block.type == "hexahedron":
                elements.append(first_element[index] + cells)
            elif block.type == "quad":
                quads.append(node_map[np.asarray(block.data)[cells]])
        if elements:
            groups.elements[name] = np.unique(np.concatenate(elements)).tolist()
        if quads:
            groups.faces[name] = _boundary_face_ids(name, boundary, np.concatenate(quads))
    return groups


def _boundary_face_ids(name: str, boundary: np.ndarray, quads: np.ndarray) -> list:
    """Boundary-face ids of `quads` (node ids, any order within a quad); quads that are not
    boundary faces are reported."""
    keys = np.concatenate([boundary, np.sort(quads, axis=1)])
    _, inverse = np.unique(keys, axis=0, return_inverse=True)
    inverse = inverse.ravel()
    face_of_key = np.full(inverse.max() + 1, -1)
    face_of_key[inverse[:len(boundary)]] = np.arange(len(boundary))
    ids = face_of_key[inverse[len(boundary):]]
    missing = int(np.count_nonzero(ids < 0))
    if missing:
        print(f"Warning: surface group '{name}': {missing} of {len(quads)} quads are not boundary faces of the "
              "mesh (interior faces, or faces between unmerged coincident nodes); they are left out")
    return np.unique(ids[ids >= 0]).tolist()
