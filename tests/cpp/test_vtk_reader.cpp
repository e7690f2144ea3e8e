#include "IO/ReadMesh.hpp"
#include "mesh/MeshLoad.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

const char* kHeader = "# vtk DataFile Version 3.0\nPOINTS in the title is not a section\nASCII\nDATASET UNSTRUCTURED_GRID\n";

std::string cubeOnePerLine() {
    return std::string(kHeader) +
           "POINTS 8 float\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n0 0 1\n1 0 1\n1 1 1\n0 1 1\n"
           "CELLS 1 9\n8 0 1 2 3 4 5 6 7\nCELL_TYPES 1\n12\n";
}

TEST(VtkReader, NumbersAreReadAsAStreamWhateverTheLineLayout) {
    VtkFileSummary summary;
    const HexMeshData reference = parseVTKText("a.vtk", cubeOnePerLine(), &summary);
    const std::string packed = std::string(kHeader) +
                               "POINTS 8 float\n0 0 0 1 0 0 1 1 0 0 1 0\n0 0 1 1 0 1 1 1 1 0 1 1\n"
                               "CELLS 1 9\n8 0 1 2 3\n 4 5 6 7\nCELL_TYPES 1\n12\n"
                               "POINT_DATA 8\nSCALARS Absorptivity float 1\nLOOKUP_TABLE default\n"
                               "0.1 0.1 0.1 0.1 0.2 0.2 0.2 0.2\n";
    const HexMeshData data = parseVTKText("b.vtk", packed);
    EXPECT_EQ(data.points, reference.points);
    EXPECT_EQ(data.cells, reference.cells);
    EXPECT_EQ(data.absorptivity.size(), 8u);
    EXPECT_FLOAT_EQ(data.absorptivity[4], 0.2f);
    EXPECT_EQ(summary.lineCount, 17);
}

TEST(VtkReader, ShortScalarSectionEndsAtTheNextKeyword) {
    const std::string text = cubeOnePerLine() +
                             "POINT_DATA 8\nSCALARS RefractiveIndex float 1\nLOOKUP_TABLE default\n"
                             "1 1 1 1 1 1 1\nSCALARS Absorptivity float 1\nLOOKUP_TABLE default\n"
                             "2 2 2 2 2 2 2 2\nCELL_DATA 1\nSCALARS RefractiveIndex float 1\n"
                             "LOOKUP_TABLE default\n9\n";
    const HexMeshData data = parseVTKText("short.vtk", text);
    EXPECT_EQ(data.refrIndex.size(), 7u);  // reported as a mismatch at load
    EXPECT_EQ(data.absorptivity, std::vector<float>(8, 2.0f));
}

TEST(VtkReader, MissingFileKeepsTheReaderMessage) {
    Mesh mesh;
    try {
        loadMesh(readVTKData("/nonexistent/mesh.vtk"), mesh, kVtkFileLoaded);
        FAIL() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot open VTK file.");
    }
    EXPECT_EQ(mesh.nodeCount(), 0);
}

}  // namespace
