// Mesh file readers: each turns a file into host data (HexMeshData).
#pragma once

#include "mesh/HexMeshData.hpp"
#include "mesh/Mesh.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Line printed once a VTK file's arrays are on the device (elements, nodes).
inline constexpr const char* kVtkFileLoaded = "VTK file loaded: %d elements, %d nodes\n";

// What the VTK parser saw besides the mesh itself.
struct VtkFileSummary {
    int lineCount = 0;  // lines of an ASCII file (lookup-table lines excluded); text lines of a binary one
    std::vector<std::pair<int, long long>> skippedCells;  // (VTK cell type, count) of lower-dimensional cells
};

// Parses a legacy VTK unstructured grid (versions 2.0 to 5.1, ASCII or
// big-endian BINARY) into host data and does nothing else. Cells: the classic
// CELLS list or the OFFSETS/CONNECTIVITY blocks; the hexahedra are kept in
// file order, lower-dimensional cells skipped (counted in the summary), other
// volume cells refused. Point arrays named RefractiveIndex and Absorptivity
// (SCALARS or FIELD) are the material. ASCII numbers are read as a stream,
// whatever the line layout. Throws std::runtime_error naming the file and the
// problem for a file that is not legacy VTK, is truncated, promises more than
// it holds, or has no points or no hexahedra.
HexMeshData parseVTK(const std::string& path, VtkFileSummary* summary = nullptr);
HexMeshData parseVTKText(const std::string& path, std::string_view text, VtkFileSummary* summary = nullptr);

// Opens, announces ("Reading VTK file", "Read %d lines from file") and parses
// a legacy VTK file (see parseVTK). Load the result with loadMesh and
// kVtkFileLoaded (mesh/MeshLoad.hpp).
HexMeshData readVTKData(const char* path);

// Reads a Wavefront OBJ surface into a new surface-only mesh: the vertices
// become nodes, the quadrilateral faces ("f" lines, four vertex references
// each, forms "5", "5/1", "5//2" and "5/1/2" alike) become boundary faces in
// file order, and the element count is 1 with unfilled element arrays. Face i
// takes the i-th "vn" line as its normal; without any "vn" line the normals
// are computed from the corners, which must then run counter-clockwise seen
// from outside. Prints a summary. Throws std::runtime_error "Cannot open OBJ
// file." for an unreadable file, and std::runtime_error naming the file and
// line for a face that is not a quadrilateral, a vertex reference outside the
// vertex list, a vertex or normal line without three numbers, or fewer normal
// lines than faces; a face reference that is not an integer throws
// std::invalid_argument or std::out_of_range whose text begins with "stoi".
std::unique_ptr<Mesh> readOBJ(const char* path);
