#include "mesh_fixtures.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

namespace {

// Boundary faces are numbered by the connectivity hash, so tests find faces
// by the centroid of their four corners instead of by id.
std::vector<int> facesWhere(const Mesh& mesh, const std::function<bool(double, double, double)>& pred) {
    const MeshDataFlat& m = mesh.h_mdata_devlink;
    const std::vector<int> nodes = fetch(m.faceNodes, 4 * static_cast<std::size_t>(m.nFaces));
    const std::vector<float> xyz = fetch(m.nodeCoords, 3 * static_cast<std::size_t>(m.nNodes));
    std::vector<int> out;
    for (int f = 0; f < m.nFaces; ++f) {
        double c[3] = {0, 0, 0};
        for (int k = 0; k < 4; ++k)
            for (int a = 0; a < 3; ++a) c[a] += 0.25 * xyz[a * m.nNodes + nodes[4 * f + k]];
        if (pred(c[0], c[1], c[2])) out.push_back(f);
    }
    return out;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Values of the Int32 DataArray `name` of a VTU text.
std::vector<int> intArray(const std::string& vtu, const std::string& name) {
    std::size_t at = vtu.find("Name=\"" + name + "\"");
    if (at == std::string::npos) return {};
    std::istringstream rows(vtu.substr(vtu.find('\n', at) + 1));
    std::vector<int> values;
    for (int v; rows >> v;) values.push_back(v);
    return values;
}

// One ascii DataArray element of a VTU file, as written.
std::string dataArray(const std::string& attributes, const std::string& body) {
    return "        <DataArray " + attributes + " format=\"ascii\">\n" + body + "        </DataArray>\n";
}

bool recordOnDeviceMatches(const Mesh& mesh) {
    MeshDataFlat copy;
    dev::download(&copy, mesh.d_mdata, 1);
    return std::memcmp(&copy, &mesh.h_mdata_devlink, sizeof(copy)) == 0;
}

OpticalBoundaryCondition condition(std::vector<int> faces) {
    OpticalBoundaryCondition bc;
    bc.faces = std::move(faces);
    return bc;
}

TEST(BoundaryConditions, AssignmentWarnsKeepsLastConditionAndListsEveryId) {
    auto mesh = loadedMesh(BoxGrid(2, 2, 2).data());
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    ASSERT_EQ(m.nFaces, 24);
    OpticalBoundaryCondition reflect = condition({7, 7, 3});
    reflect.interaction_type = REFLECT;
    reflect.refractive_index_real = 1.5;
    reflect.refractive_index_imag = 0.125;
    testing::internal::CaptureStdout();
    mesh->setBoundaryConditions({condition({7, 2, 24, -1}), reflect, condition({})});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: skipping out-of-range boundary face 24 for BC 0 (nFaces=24)\n"
              "Warning: skipping out-of-range boundary face -1 for BC 0 (nFaces=24)\n"
              "Warning: boundary face 7 already assigned to BC 0, overwriting with BC 1\n"
              "Warning: boundary face 7 already assigned to BC 1, overwriting with BC 1\n");
    ASSERT_EQ(m.nBCs, 3);
    ASSERT_EQ(m.nBCFaces, 5);
    EXPECT_EQ(fetch(m.bcFaceOffsets, 4), (std::vector<int>{0, 2, 5, 5}));
    EXPECT_EQ(fetch(m.bcFaces, 5), (std::vector<int>{7, 2, 7, 7, 3}));
    std::vector<int> expected(24, -1);
    expected[2] = 0;
    expected[3] = expected[7] = 1;
    EXPECT_EQ(fetch(m.faceBC, 24), expected);
    EXPECT_EQ(fetch(m.bcInteractionType, 3), (std::vector<int>{0, 1, 0}));
    EXPECT_EQ(fetch(m.bcRefrIndexReal, 3), (std::vector<float>{1, 1.5f, 1}));
    EXPECT_EQ(fetch(m.bcRefrIndexImag, 3), (std::vector<float>{0, 0.125f, 0}));
    EXPECT_TRUE(recordOnDeviceMatches(*mesh));
}

TEST(BoundaryConditions, EmptyListAndClearRemoveEverything) {
    auto mesh = loadedMesh(BoxGrid(1, 1, 1).data());
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    for (int pass = 0; pass < 2; ++pass) {
        mesh->setBoundaryConditions({condition({0, 5}), condition({1})});
        ASSERT_EQ(m.nBCs, 2);
        if (pass == 0) mesh->setBoundaryConditions({});
        else mesh->clearBoundaryConditions();
        EXPECT_EQ(m.nBCs + m.nBCFaces, 0);
        for (const void* p : {(const void*)m.bcRoughSurface, (const void*)m.bcRoughness,
                              (const void*)m.bcInteractionType, (const void*)m.bcRefrIndexReal,
                              (const void*)m.bcRefrIndexImag, (const void*)m.bcFaceOffsets, (const void*)m.bcFaces})
            EXPECT_EQ(p, nullptr);
        EXPECT_EQ(fetch(m.faceBC, 6), std::vector<int>(6, -1));
        EXPECT_TRUE(recordOnDeviceMatches(*mesh));
    }
    // Conditions without (valid) faces keep bcFaces null.
    mesh->setBoundaryConditions({condition({}), condition({40})});
    EXPECT_EQ(m.nBCs, 2);
    EXPECT_EQ(m.bcFaces, nullptr);
    EXPECT_EQ(fetch(m.bcFaceOffsets, 3), (std::vector<int>{0, 0, 0}));
}

TEST(BoundaryConditions, MeshWithoutFacesIsHandledWithoutReading) {
    Mesh empty;
    auto mesh = loadedMesh(BoxGrid(1, 1, 1).data());
    testing::internal::CaptureStdout();
    empty.setBoundaryConditions({condition({0})});
    EXPECT_TRUE(empty.selectBoundaryFacesBBox(false, -1, 1, -1, 1, -1, 1, 0).empty());
    EXPECT_TRUE(empty.selectBoundaryFacesRadial(false, 0, 10, 0).empty());
    empty.writeBoundaryFaceGroupsVTU("x.vtu", {{0}}, true);
    empty.writeBoundaryConditionGroupsVTU(nullptr, true);
    mesh->writeBoundaryConditionGroupsVTU(nullptr, true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: skipping out-of-range boundary face 0 for BC 0 (nFaces=0)\n"
              "Error: mesh has no faces or nodes; cannot write x.vtu\n"
              "Error: mesh has no boundary faces; cannot write <null>\n"
              "Error: output filename is null in writeBoundaryFaceGroupsVTU\n");
    EXPECT_EQ(empty.h_mdata_devlink.nBCs, 1);
    EXPECT_EQ(empty.h_mdata_devlink.faceBC, nullptr);
}

TEST(FaceSelection, BoxAndRadialBandCountAnyOrAllCornersInclusively) {
    auto mesh = loadedMesh(BoxGrid(2, 2, 1).data());
    // The unit square at the origin on the bottom plane, swapped bounds.
    const std::vector<int> bottomCorner = facesWhere(*mesh, [](double x, double y, double z) {
        return x == 0.5 && y == 0.5 && z == 0;
    });
    EXPECT_EQ(mesh->selectBoundaryFacesBBox(true, 1, 0, 0, 1, 0, 0, 0), bottomCorner);
    // Any corner: every face touching one of the four nodes of that square.
    const std::vector<int> touching =
        facesWhere(*mesh, [](double x, double y, double z) { return z == 0 || x == 0 || y == 0; });
    EXPECT_EQ(touching.size(), 8u);
    EXPECT_EQ(mesh->selectBoundaryFacesBBox(false, 0, 1, 0, 1, 0, 0, 0), touching);
    // A negative tolerance shrinks the box away from every node.
    EXPECT_TRUE(mesh->selectBoundaryFacesBBox(false, 0, 1, 0, 1, 0, 0, -0.25).empty());

    // Radial bands ignore z and clamp negative radii; nodes sit at r = 0, 1, sqrt2, 2, sqrt5, sqrt8.
    const std::vector<int> onAxis = facesWhere(*mesh, [](double x, double y, double) {
        return (x == 0 && y < 1) || (y == 0 && x < 1) || (x == 0.5 && y == 0.5);
    });
    EXPECT_EQ(onAxis.size(), 4u);
    EXPECT_EQ(mesh->selectBoundaryFacesRadial(false, 0, -1, 0), onAxis);
}

TEST(FaceGroupOutput, SingleFaceFileIsExact) {
    auto mesh = loadedMesh(BoxGrid(1, 1, 1).data());
    const std::vector<int> nodes = fetch(mesh->h_mdata_devlink.faceNodes, 24);
    const std::string path = testing::TempDir() + "face_group_single.vtu";
    testing::internal::CaptureStdout();
    mesh->writeBoundaryFaceGroupsVTU(path.c_str(), {{3}}, false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Boundary groups written to VTU file: " + path + "\n");
    char quad[64];
    std::snprintf(quad, sizeof quad, "%d %d %d %d \n", nodes[12], nodes[13], nodes[14], nodes[15]);
    const std::string z = "0.000000e+00", o = "1.000000e+00";
    std::string points;
    for (int k = 0; k < 2; ++k)
        for (int j = 0; j < 2; ++j)
            for (int i = 0; i < 2; ++i) points += (i ? o : z) + " " + (j ? o : z) + " " + (k ? o : z) + "\n";
    EXPECT_EQ(readFile(path),
              "<?xml version=\"1.0\"?>\n"
              "<VTKFile type=\"UnstructuredGrid\" version=\"0.1\" byte_order=\"LittleEndian\">\n"
              "  <UnstructuredGrid>\n"
              "    <Piece NumberOfPoints=\"8\" NumberOfCells=\"1\">\n"
              "      <Points>\n" +
                  dataArray("type=\"Float64\" NumberOfComponents=\"3\"", points) +
                  "      </Points>\n"
                  "      <Cells>\n" +
                  dataArray("type=\"Int32\" Name=\"connectivity\"", quad) +
                  dataArray("type=\"Int32\" Name=\"offsets\"", "4\n") +
                  dataArray("type=\"UInt8\" Name=\"types\"", "9\n") +
                  "      </Cells>\n"
                  "      <CellData>\n" +
                  dataArray("type=\"Int32\" Name=\"FaceId\"", "3\n") +
                  dataArray("type=\"Int32\" Name=\"GroupId\"", "0\n") +
                  "      </CellData>\n"
                  "    </Piece>\n"
                  "  </UnstructuredGrid>\n"
                  "</VTKFile>\n");
}

TEST(FaceGroupOutput, GroupsOverwriteAndConditionGroupsFollowFaceBC) {
    auto mesh = loadedMesh(BoxGrid(1, 1, 1).data());
    const std::string path = testing::TempDir() + "face_groups.vtu";
    std::remove(path.c_str());
    testing::internal::CaptureStdout();
    mesh->writeBoundaryFaceGroupsVTU(path.c_str(), {{0, 0, 9, 2}, {2, -1}}, true);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: skipping out-of-range face id 9 for group 0 (nFaces=6)\n"
              "Warning: face 2 already assigned to group 0, overwriting with group 1\n"
              "Warning: skipping out-of-range face id -1 for group 1 (nFaces=6)\n"
              "Boundary groups written to VTU file: " + path + "\n");
    std::string vtu = readFile(path);
    EXPECT_EQ(intArray(vtu, "FaceId"), (std::vector<int>{0, 1, 2, 3, 4, 5}));
    EXPECT_EQ(intArray(vtu, "GroupId"), (std::vector<int>{0, -1, 1, -1, -1, -1}));

    testing::internal::CaptureStdout();
    mesh->setBoundaryConditions({condition({4, 1}), condition({1})});
    mesh->writeBoundaryConditionGroupsVTU(path.c_str(), false);
    const std::string missing = testing::TempDir() + "no_such_dir/out.vtu";
    mesh->writeBoundaryConditionGroupsVTU(missing.c_str(), false);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: boundary face 1 already assigned to BC 0, overwriting with BC 1\n"
              "Boundary groups written to VTU file: " + path + "\n"
              "Error: cannot open file " + missing + " for writing\n");
    vtu = readFile(path);
    EXPECT_EQ(intArray(vtu, "FaceId"), (std::vector<int>{1, 4}));
    EXPECT_EQ(intArray(vtu, "GroupId"), (std::vector<int>{1, 0}));
}

}  // namespace
