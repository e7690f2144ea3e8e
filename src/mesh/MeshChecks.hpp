// Checks of a hexahedral mesh on the host, before it is uploaded and traced.
//
// Each problem found here would otherwise give silently wrong physics:
// mirrored elements have negative nodal volumes, tangled or flat ones give NaN
// deposits and endless ray walks, unmerged coincident nodes turn shared faces
// into internal boundaries, and a face of three elements hides the boundary.
#pragma once

#include <stdexcept>
#include <string>

struct FaceMatches;  // mesh/FaceMatching.hpp

// A mesh refused by the checks; nothing has been uploaded when it is thrown,
// so the mesh loaded before stays usable.
class InvalidMeshError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Two nodes closer than this fraction of the bounding-box diagonal of the
// used nodes count as coincident.
constexpr double kCoincidentNodeTolerance = 1e-6;

struct MeshCheckSummary {
    int reorderedElements = 0;  // mirrored hexahedra given the positive orientation
    int coincidentNodes = 0;    // used nodes at the position of a lower-numbered used node
};

// Checks `nCells` hexahedra (8 node ids each, VTK order, ids in 0..nPoints-1)
// over `xyz` (x, y, z per node). Mirrored hexahedra are reordered in place;
// that and unmerged coincident nodes are reported in one line each. Throws
// InvalidMeshError for non-finite coordinates, tangled or degenerate
// hexahedra and faces shared by three or more hexahedra (or by two copies of
// one hexahedron). The faces are matched once; `matches`, when given,
// receives that matching for the connectivity build.
MeshCheckSummary checkHexMesh(const float* xyz, int nPoints, int* cells, int nCells,
                              FaceMatches* matches = nullptr);

// Throws InvalidMeshError naming `name` and the first node whose value is not finite.
void checkFiniteValues(const float* values, int count, const char* name);
