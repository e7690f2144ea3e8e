#include "mesh/MeshChecks.hpp"
#include "mesh_fixtures.hpp"

#include <gtest/gtest.h>

TEST(MeshChecks, NodesWithinTheToleranceCountAsCoincident) {
    // Two unit cubes stacked in z, each with its own nodes: the upper cube's
    // four bottom nodes repeat the lower cube's top ones, one of them moved by
    // 0.4 tolerance (still coincident) and one by 3 tolerances (not).
    HexMeshData data = BoxGrid(1, 1, 1).data();
    for (int i = 0; i < 24; ++i) data.points.push_back(data.points[i] + (i % 3 == 2 ? 1.0f : 0.0f));
    for (int k = 0; k < 8; ++k) data.cells.push_back(8 + data.cells[k]);
    const float tolerance = static_cast<float>(kCoincidentNodeTolerance * std::sqrt(6.0));
    data.points[3 * 8 + 0] += 0.4f * tolerance;  // node 8 lies on node 4
    data.points[3 * 9 + 1] += 3.0f * tolerance;  // node 9 on node 5
    const MeshCheckSummary summary = checkHexMesh(data.points.data(), data.nPoints(), data.cells.data(), 2);
    EXPECT_EQ(summary.coincidentNodes, 3);
    EXPECT_EQ(summary.reorderedElements, 0);
}
