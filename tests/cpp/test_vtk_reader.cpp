#include "IO/ReadMesh.hpp"
#include "mesh/MeshLoad.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

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

// `values` as big-endian bytes of type T (the byte order of binary legacy files).
template <class T>
std::string bigEndian(const std::vector<double>& values) {
    std::string out;
    for (double v : values) {
        const T typed = static_cast<T>(v);
        char bytes[sizeof(T)];
        std::memcpy(bytes, &typed, sizeof(T));
        for (std::size_t i = sizeof(T); i-- > 0;) out += bytes[i];
    }
    return out + "\n";
}

TEST(VtkReader, BinaryOffsetsFieldArraysAndLowerDimensionalCells) {
    const std::string text =
        "# vtk DataFile Version 5.1\n\nBINARY\nDATASET UNSTRUCTURED_GRID\nPOINTS 8 double\n" +
        bigEndian<double>({0, 0, 0, 1, 0, 0, 1, 1, 0, 0, 1, 0, 0, 0, 1, 1, 0, 1, 1, 1, 1, 0, 1, 1}) +
        "CELLS 3 12\nOFFSETS vtktypeint32\n" + bigEndian<std::int32_t>({0, 4, 12}) +
        "CONNECTIVITY vtktypeint64\n" + bigEndian<std::int64_t>({0, 1, 2, 3, 0, 1, 2, 3, 4, 5, 6, 7}) +
        "CELL_TYPES 2\n" + bigEndian<std::int32_t>({9, 12}) +
        "POINT_DATA 8\nFIELD FieldData 2\nVelocity 3 8 double\n" + bigEndian<double>(std::vector<double>(24, 5.0)) +
        "Absorptivity 1 8 float\n" + bigEndian<float>({0, 0, 0, 0, 2, 2, 2, 2});
    VtkFileSummary summary;
    const HexMeshData data = parseVTKText("bin.vtk", text, &summary);
    EXPECT_EQ(data.points, parseVTKText("a.vtk", cubeOnePerLine()).points);
    EXPECT_EQ(data.cells, (std::vector<int>{0, 1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(data.absorptivity, (std::vector<float>{0, 0, 0, 0, 2, 2, 2, 2}));
    EXPECT_TRUE(data.refrIndex.empty());
    EXPECT_EQ(summary.skippedCells, (std::vector<std::pair<int, long long>>{{9, 1}}));
    // Cut anywhere inside the binary data, the file is refused, never read past its end.
    for (std::size_t cut : {text.size() - 5, text.size() / 2, std::size_t{120}})
        EXPECT_THROW(parseVTKText("cut.vtk", text.substr(0, cut)), std::runtime_error) << cut;
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
