// Loading host mesh data onto the device: shared by every mesh reader and by
// the array loader.
#pragma once

#include "mesh/HexMeshData.hpp"
#include "mesh/Mesh.hpp"

// Line printed once arrays from NumPy are on the device (elements, nodes);
// each file reader has its own.
inline constexpr const char* kArraysLoaded = "Mesh loaded from arrays: %d elements, %d nodes\n";

// Checks `data` (mesh/MeshChecks: throws InvalidMeshError with `mesh`
// unchanged), uploads it into `mesh` (nodes without material data get n = 1,
// alpha = 0; a material array of the wrong length is reported and replaced by
// that default), prints `loadedLine`, then builds connectivity, normals,
// constant-index flags and nodal volumes. `data` is taken by value and freed
// once uploaded, before the connectivity build: pass it with std::move.
void loadMesh(HexMeshData data, Mesh& mesh, const char* loadedLine = kArraysLoaded);

// Mesh data from arrays (points row-major N x 3, hexahedra E x 8 in VTK
// order, optional per-node material). Throws std::runtime_error for a
// non-finite coordinate or a node id out of range.
HexMeshData meshDataFromArrays(const double* points, long long nPoints, const long long* hexahedra,
                               long long nCells, const double* refrIndex, const double* absorptivity);
