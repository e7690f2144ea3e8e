// Mesh file readers and the connectivity build that follows a load.
#pragma once

#include "mesh/Mesh.hpp"

#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Contents of a legacy VTK unstructured grid, parsed and checked on the host.
struct VtkMeshData {
    std::vector<float> points;  // x, y, z per point
    std::vector<int> cells;     // 8 node ids per hexahedron, VTK order
    std::vector<float> refrIndex;
    std::vector<float> absorptivity;
    int lineCount = 0;  // lines read by the parser (lookup-table lines excluded)

    int nPoints() const { return static_cast<int>(points.size() / 3); }
    int nCells() const { return static_cast<int>(cells.size() / 8); }
};

// Parses a legacy ASCII VTK file. Numbers of the POINTS, CELLS, CELL_TYPES and
// SCALARS sections are read as a stream, whatever the line layout. Throws
// std::runtime_error naming the file and the problem for an unreadable,
// binary, truncated or non-hexahedral file; nothing is changed then.
VtkMeshData parseVTK(const std::string& path);
VtkMeshData parseVTKText(const std::string& path, std::string_view text);

// Opens, announces and parses a legacy VTK file (see parseVTK).
VtkMeshData readVTKData(const char* path);

// Reads a legacy VTK file into `mesh`, then builds connectivity, normals,
// constant-index flags and nodal volumes. On error the mesh is unchanged.
void readVTK(const char* path, Mesh& mesh);

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

// Uploads parsed data into `mesh` and runs the load-time set-up.
void loadMesh(const VtkMeshData& data, Mesh& mesh, bool fromFile = true);

// Mesh data from arrays (points row-major N x 3, hexahedra E x 8 in VTK
// order, optional per-node material). Throws std::runtime_error for a
// non-finite coordinate or a node id out of range.
VtkMeshData meshDataFromArrays(const double* points, long long nPoints, const long long* hexahedra,
                               long long nCells, const double* refrIndex, const double* absorptivity);

// Neighbours, boundary faces (numbered in the order users rely on), face
// orientations and outward normals of a mesh whose element nodes are loaded.
void buildConnectivity(Mesh& mesh);

// Orientation code 0..7 taking face f of element A to face g of element B, or
// -1 if the faces do not share their four nodes. `elementNodes` holds 8 ids
// per element.
int faceOrientation(const int* elementNodes, int A, int f, int B, int g);
