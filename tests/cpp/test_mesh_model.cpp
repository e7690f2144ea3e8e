#include "mesh_fixtures.hpp"

#include <gtest/gtest.h>

#include <cstring>

namespace {

TEST(MeshModel, FreshRecordHasNoConditionsAndDeviceLocation) {
    Mesh mesh;
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    EXPECT_EQ(m.faceBC, nullptr);
    EXPECT_EQ(m.nBCs, 0);
    EXPECT_EQ(m.nBCFaces, 0);
    EXPECT_EQ(m.bcFaces, nullptr);
    EXPECT_EQ(m.bcFaceOffsets, nullptr);
    EXPECT_EQ(m.DEVICE, 0);
    EXPECT_EQ(m.HOST, 1);
    EXPECT_EQ(m.location, m.DEVICE);
    EXPECT_EQ(m.faceNodeTable[5][1], 7);
    // The device copy matches the host record byte for byte.
    MeshDataFlat copy;
    dev::download(&copy, mesh.d_mdata, 1);
    EXPECT_EQ(std::memcmp(&copy, &m, sizeof(copy)), 0);
}

TEST(MeshModel, AllocationFillsMarkersAndAccessorsUseStructureOfArrays) {
    Mesh mesh(3, 2, 2);
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    EXPECT_EQ(fetch(m.faceBC, 2), (std::vector<int>{-1, -1}));
    EXPECT_EQ(fetch(m.elementNeighborOrientations, 12), std::vector<std::uint8_t>(12, 255));

    const std::vector<float> coords = {0, 1, 2, 10, 11, 12, 20, 21, 22};
    dev::upload(m.nodeCoords, coords.data(), coords.size());
    const std::vector<int> faceNodes = {0, 1, 2, 0, 2, 1, 0, 1};
    dev::upload(m.faceNodes, faceNodes.data(), faceNodes.size());
    const std::vector<float> normals = {1, 2, 3, 4, 5, 6};
    dev::upload(m.faceNormals, normals.data(), normals.size());

    // The record's arrays are host memory on the CPU backend, so the
    // accessors can be exercised directly there.
    if (dev::backend() != dev::Backend::Cpu) GTEST_SKIP();
    const Vec3 last = getNodeVec(m, 2, m.nodeCoords);
    EXPECT_EQ(last.x, 2);
    EXPECT_EQ(last.y, 12);
    EXPECT_EQ(last.z, 22);
    const Face face = getFace(m, 1);
    EXPECT_EQ(face.id, 1);
    EXPECT_EQ(face.corners[0].x, 2);
    EXPECT_EQ(face.corners[3].x, 1);
    EXPECT_EQ(face.normal.x, 2);
    EXPECT_EQ(face.normal.y, 4);
    EXPECT_EQ(face.normal.z, 6);
}

TEST(MeshKernels, NodalMassIsAnEighthOfEachAdjacentElement) {
    auto single = loadedMesh(BoxGrid(1, 1, 1).data());
    for (float mass : fetch(single->h_mdata_devlink.nodalMass, 8)) EXPECT_FLOAT_EQ(mass, 0.125f);

    BoxGrid grid(2, 1, 1);
    auto pair = loadedMesh(grid.data());
    const std::vector<float> mass = fetch(pair->h_mdata_devlink.nodalMass, 12);
    for (int j = 0; j <= 1; ++j)
        for (int k = 0; k <= 1; ++k) {
            EXPECT_FLOAT_EQ(mass[grid.node(1, j, k)], 0.25f);
            EXPECT_FLOAT_EQ(mass[grid.node(0, j, k)], 0.125f);
            EXPECT_FLOAT_EQ(mass[grid.node(2, j, k)], 0.125f);
        }
}

TEST(MeshKernels, DegenerateFaceKeepsZeroNormal) {
    Mesh mesh(4, 0, 1);
    MeshDataFlat& m = mesh.h_mdata_devlink;
    const std::vector<float> coords = {0, 1, 2, 3, 0, 1, 2, 3, 0, 0, 0, 0};  // collinear on x = y
    dev::upload(m.nodeCoords, coords.data(), coords.size());
    const std::vector<int> faceNodes = {0, 1, 2, 3};
    dev::upload(m.faceNodes, faceNodes.data(), 4);
    mesh.computeNormals();
    EXPECT_EQ(fetch(m.faceNormals, 3), (std::vector<float>{0, 0, 0}));
}

TEST(MeshKernels, ConstantIndexFlagComparesEachNodeWithTheFirst) {
    HexMeshData data = BoxGrid(1, 1, 1).data();
    // Nodes within 1e-6 of node 0 (though 2e-6 apart from each other).
    data.refrIndex = {1.5f, 1.5f + 0.9e-6f, 1.5f - 0.9e-6f, 1.5f, 1.5f, 1.5f, 1.5f, 1.5f};
    auto constant = loadedMesh(data);
    EXPECT_EQ(fetch(constant->h_mdata_devlink.elementConstRefrIndex, 1)[0], 1);

    data.refrIndex[7] = 1.5f + 2e-6f;
    auto varying = loadedMesh(data);
    EXPECT_EQ(fetch(varying->h_mdata_devlink.elementConstRefrIndex, 1)[0], 0);
}

TEST(MeshKernels, ConstantSettersFillEveryNodeAndLeaveFlags) {
    HexMeshData data = BoxGrid(2, 2, 2).data();
    data.refrIndex.assign(27, 1.0f);
    data.refrIndex[0] = 1.2f;
    auto mesh = loadedMesh(data);
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    const std::vector<int> flags = fetch(m.elementConstRefrIndex, 8);

    mesh->setConstantMaterialProperties(1.5, 0.3);
    EXPECT_EQ(fetch(m.refrIndex, 27), std::vector<float>(27, 1.5f));
    EXPECT_EQ(fetch(m.absorptivity, 27), std::vector<float>(27, 0.3f));
    EXPECT_EQ(fetch(m.elementConstRefrIndex, 8), flags);

    mesh->setRefractiveIndexConstant(1.33);
    mesh->setAbsorptivityConstant(2.0);
    EXPECT_EQ(fetch(m.refrIndex, 27), std::vector<float>(27, 1.33f));
    EXPECT_EQ(fetch(m.absorptivity, 27), std::vector<float>(27, 2.0f));
}

TEST(MeshModel, ReloadReplacesArraysAndDefaultsMissingMaterial) {
    auto mesh = loadedMesh(BoxGrid(1, 1, 1).data());
    const MeshDataFlat before = mesh->h_mdata_devlink;
    loadMesh(BoxGrid(2, 1, 1).data(), *mesh);
    const MeshDataFlat& after = mesh->h_mdata_devlink;
    EXPECT_EQ(after.nNodes, 12);
    EXPECT_EQ(after.nElements, 2);
    EXPECT_EQ(after.nFaces, 10);
    EXPECT_EQ(fetch(after.refrIndex, 12), std::vector<float>(12, 1.0f));
    EXPECT_EQ(fetch(after.absorptivity, 12), std::vector<float>(12, 0.0f));
    EXPECT_NE(before.nNodes, after.nNodes);
    MeshDataFlat device;
    dev::download(&device, mesh->d_mdata, 1);
    EXPECT_EQ(device.nodeCoords, after.nodeCoords);
    EXPECT_EQ(device.nFaces, 10);
}

}  // namespace
