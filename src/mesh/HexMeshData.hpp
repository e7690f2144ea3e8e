// A hexahedral mesh as plain host data: what every mesh reader returns and
// what the loader (mesh/MeshLoad) puts on the device. No device code here, so
// a reader depends on nothing but this record.
#pragma once

#include <vector>

struct HexMeshData {
    std::vector<float> points;        // x, y, z per node, in file order
    std::vector<int> cells;           // 8 node ids per hexahedron, VTK node order
    std::vector<float> refrIndex;     // one value per node, or empty when the source has none
    std::vector<float> absorptivity;  // one value per node, or empty when the source has none

    int nPoints() const { return static_cast<int>(points.size() / 3); }
    int nCells() const { return static_cast<int>(cells.size() / 8); }
};
