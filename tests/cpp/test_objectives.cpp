// Tests of the objectives: numbered file names, the light-transport buffers and
// VTU file, and the device records' hooks (called on host memory).
#include "objectives/LightTransport.hpp"

#include "mesh_fixtures.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::unique_ptr<Mesh> unitCube() {
    CaptureStdout();
    auto mesh = loadedMesh(BoxGrid(1, 1, 1).data());
    mesh->setConstantMaterialProperties(1.5, 0.3);
    GetCapturedStdout();
    return mesh;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

// One ascii DataArray element of a VTU file, as written.
std::string dataArray(const std::string& attributes, const std::string& body) {
    return "        <DataArray " + attributes + " format=\"ascii\">\n" + body + "        </DataArray>\n";
}

// Names of the Float64 point-data arrays of a written file, in file order.
std::vector<std::string> arrayNames(const std::string& text) {
    std::vector<std::string> names;
    const std::string key = "type=\"Float64\" Name=\"";
    for (std::size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + 1)) {
        const std::size_t begin = at + key.size();
        names.push_back(text.substr(begin, text.find('"', begin) - begin));
    }
    return names;
}

// Writes `lt`'s result with `count` extra fields and returns the array names.
std::vector<std::string> writtenNames(LightTransport& lt, const Mesh& mesh, const std::vector<double>& fields,
                                      int count) {
    const std::string name = numberedFileName(lt.outputFile(), lt.writeCount);
    CaptureStdout();
    lt.resultWithFields(mesh, fields.data(), count);
    GetCapturedStdout();
    return arrayNames(readFile(name));
}

StateVector stateWithShares(float base) {
    StateVector S;
    S.s = 2.0f;
    S.E = 0.25f;
    for (int k = 0; k < 8; ++k) S.absorbed[k] = base * static_cast<float>(k + 1);
    return S;
}

}  // namespace

TEST(NumberedFileName, InsertsCountBeforeLastDot) {
    EXPECT_EQ(numberedFileName("out.vtu", 0), "out_0.vtu");
    EXPECT_EQ(numberedFileName("results/run", 0), "results/run_0");
    EXPECT_EQ(numberedFileName("a.d/run", 0), "a_0.d/run");
    EXPECT_EQ(numberedFileName(std::string(600, 'x').c_str(), 3), std::string(511, 'x'));
}

TEST(LightTransport, BuffersAreSizedReleasedAndMoved) {
    LightTransport lt;
    EXPECT_EQ(lt.getResultArrayDevicePtr(), nullptr);
    for (int i = 0; i < 1000; ++i) lt.configureOutput(std::string(300, 'n').c_str(), 5 + i % 7);  // ASan: no leak
    EXPECT_EQ(std::string(lt.outputFile()), std::string(255, 'n'));
    ASSERT_EQ(lt.size(), 10);
    std::vector<double> host(11, -1.0);
    lt.getResult(host.data());
    EXPECT_EQ(host, (std::vector<double>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, -1.0}));  // exactly N values
    CaptureStdout();
    lt.getResult(nullptr);
    EXPECT_EQ(GetCapturedStdout(), "Error: hostPtr is nullptr in getResult\n");

    double* const buffer = lt.getResultArrayDevicePtr();
    LightTransport moved(std::move(lt));
    EXPECT_EQ(moved.device().result, buffer);
    EXPECT_EQ(moved.device().nNodes, 10);
    EXPECT_EQ(lt.getResultArrayDevicePtr(), nullptr);
    lt.configureOutput("other.vtu", 3);
    moved = std::move(lt);
    EXPECT_EQ(moved.size(), 3);
    EXPECT_EQ(lt.size(), 0);
}

TEST(LightTransport, WritesOneElementVtuExactly) {
    auto mesh = unitCube();
    const std::string base = testing::TempDir() + "lt_exact.vtu";
    LightTransport lt;
    lt.configureOutput(base.c_str(), 8);
    const std::vector<double> ones(8, 1.0);
    dev::upload(lt.getResultArrayDevicePtr(), ones.data(), ones.size());
    lt.resetResult();

    CaptureStdout();
    lt.result(*mesh);
    const std::string path = testing::TempDir() + "lt_exact_0.vtu";
    EXPECT_EQ(GetCapturedStdout(), "Results written to VTU file: " + path + "\n");
    EXPECT_EQ(lt.writeCount, 1);

    std::string points;
    for (int id = 0; id < 8; ++id) {
        char line[64];
        std::snprintf(line, sizeof line, "%d.000000e+00 %d.000000e+00 %d.000000e+00\n", id & 1, (id >> 1) & 1, id >> 2);
        points += line;
    }
    auto column = [](const std::string& value) {  // one value per node
        std::string out;
        for (int i = 0; i < 8; ++i) out += value + "\n";
        return out;
    };
    const std::string expected =
        "<?xml version=\"1.0\"?>\n"
        "<VTKFile type=\"UnstructuredGrid\" version=\"0.1\" byte_order=\"LittleEndian\">\n"
        "  <UnstructuredGrid>\n"
        "    <Piece NumberOfPoints=\"8\" NumberOfCells=\"1\">\n"
        "      <Points>\n" +
        dataArray("type=\"Float64\" NumberOfComponents=\"3\"", points) +
        "      </Points>\n"
        "      <Cells>\n" +
        dataArray("type=\"Int32\" Name=\"connectivity\"", "0 1 3 2 4 5 7 6 \n") +
        dataArray("type=\"Int32\" Name=\"offsets\"", "8\n") + dataArray("type=\"UInt8\" Name=\"types\"", "12\n") +
        "      </Cells>\n"
        "      <PointData>\n" +
        dataArray("type=\"Float64\" Name=\"Volumetric absorbed power Q\"", column("0.000000e+00")) +
        dataArray("type=\"Float64\" Name=\"RefractiveIndex\"", column("1.500000e+00")) +
        dataArray("type=\"Float64\" Name=\"Absorptivity\"", column("3.000000e-01")) +
        "      </PointData>\n"
        "      <CellData>\n"
        "      </CellData>\n"
        "    </Piece>\n"
        "  </UnstructuredGrid>\n"
        "</VTKFile>\n";
    EXPECT_EQ(readFile(path), expected);
}

TEST(LightTransport, NamesAppendedFields) {
    auto mesh = unitCube();
    LightTransport lt;
    lt.configureOutput((testing::TempDir() + "lt_fields.vtu").c_str(), 8);
    std::vector<double> fields(3 * 8);
    for (std::size_t i = 0; i < fields.size(); ++i) fields[i] = static_cast<double>(i);
    using Names = std::vector<std::string>;
    const Names fixed = {"Volumetric absorbed power Q", "RefractiveIndex"};
    auto with = [&](Names extra) {  // the fixed arrays around the appended fields
        extra.insert(extra.begin(), fixed.begin(), fixed.end());
        extra.push_back("Absorptivity");
        return extra;
    };

    EXPECT_EQ(writtenNames(lt, *mesh, fields, 1), with({"Field"}));
    EXPECT_EQ(writtenNames(lt, *mesh, fields, 3), with({"Field_0", "Field_1", "Field_2"}));
    // Third field's values follow the field-major layout.
    EXPECT_NE(readFile(testing::TempDir() + "lt_fields_1.vtu").find("1.600000e+01\n1.700000e+01\n"), std::string::npos);

    lt.setFieldNames({"T", "X", std::string(200, 'c')});
    EXPECT_EQ(lt.fieldNameCount(), 3);
    EXPECT_EQ(writtenNames(lt, *mesh, fields, 3), with({"T", "X", std::string(127, 'c')}));
    EXPECT_EQ(writtenNames(lt, *mesh, fields, 2), with({"Field_0", "Field_1"}));  // count mismatch
    lt.setFieldNames({"T", ""});
    EXPECT_EQ(lt.fieldNameCount(), 1);
    EXPECT_EQ(writtenNames(lt, *mesh, fields, 2), with({"Field_0", "Field_1"}));  // empty name
    lt.setFieldNames(Names(20, "n"));
    EXPECT_EQ(lt.fieldNameCount(), 16);
    lt.clearFieldNames();
    EXPECT_EQ(lt.fieldNameCount(), 0);
}

TEST(LightTransport, FailedWritesUseUpTheirNumber) {
    auto mesh = unitCube();
    LightTransport lt;
    const std::string missing = testing::TempDir() + "no_such_dir/out.vtu";
    lt.configureOutput(missing.c_str(), 8);
    CaptureStdout();
    lt.result(*mesh);
    EXPECT_EQ(GetCapturedStdout(), "Error: Cannot open file " + testing::TempDir() + "no_such_dir/out_0.vtu for writing\n");
    EXPECT_EQ(lt.writeCount, 1);

    // A mesh with another node count than the buffers is refused, nothing read or written.
    const std::string base = testing::TempDir() + "lt_mismatch.vtu";
    lt.configureOutput(base.c_str(), 5);
    const std::vector<double> fields(3 * 8, 1.0);
    CaptureStdout();
    lt.resultWithFields(*mesh, fields.data(), 3);
    lt.resultWithField(*mesh, nullptr);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(out.rfind("Error: mesh has 8 nodes but the light transport result holds 5;", 0), 0u) << out;
    EXPECT_EQ(lt.writeCount, 3);
    EXPECT_FALSE(exists(testing::TempDir() + "lt_mismatch_1.vtu"));
    EXPECT_FALSE(exists(testing::TempDir() + "lt_mismatch_2.vtu"));
}

TEST(DeviceRecords, LightTransportDepositsAddUp) {
    std::vector<double> result(10, 0.0);
    const LightTransportDevice record{result.data(), 9};  // node 9 lies past the buffer it describes
    const int nodes[8] = {0, 1, 2, 3, 4, 5, 9, 0};
    record.interactElementLocal(stateWithShares(1.0f), Vec3(), nodes, 3);
    record.interactElementLocal(stateWithShares(0.5f), Vec3(), nodes, 0);
    EXPECT_EQ(result, (std::vector<double>{1.5 + 12.0, 3, 4.5, 6, 7.5, 9, 0, 0, 0, 0}));
}

TEST(DeviceRecords, OpticalPathFillsFreeSlotsForRayZeroOnly) {
    std::vector<double> data(3 * 5, 0.0);
    std::vector<int> flags = {-1, 1, -1};  // slot 1 already taken
    OpticalPathDevice record{data.data(), flags.data(), 5, 0, 3};
    const int nodes[8] = {};
    record.interactElementLocal(stateWithShares(1.0f), Vec3(1, 2, 3), nodes, 1);  // not ray 0
    EXPECT_EQ(flags, (std::vector<int>{-1, 1, -1}));

    record.interactElementLocal(stateWithShares(1.0f), Vec3(1, 2, 3), nodes, 0);
    record.interactElementLocal(stateWithShares(1.0f), Vec3(4, 5, 6), nodes, 0);
    record.interactElementLocal(stateWithShares(1.0f), Vec3(7, 8, 9), nodes, 0);  // all full
    EXPECT_EQ(flags, (std::vector<int>{1, 1, 1}));
    EXPECT_EQ(data, (std::vector<double>{1, 2, 3, 2, 0.25, 0, 0, 0, 0, 0, 4, 5, 6, 2, 0.25}));

    flags = {-1, -1, -1};
    record.reserved = 3;  // start gate not below the capacity
    record.interactElementLocal(stateWithShares(1.0f), Vec3(), nodes, 0);
    const OpticalPathDevice empty{data.data(), flags.data(), 5, 0, 0};
    empty.interactElementLocal(stateWithShares(1.0f), Vec3(), nodes, 0);
    EXPECT_EQ(flags, (std::vector<int>{-1, -1, -1}));
}

TEST(DeviceRecords, OpticalPathOfSeveralRaysKeepsEachRayInItsOwnSlots) {
    std::vector<double> data(2 * 2 * 5, 0.0);
    std::vector<int> flags(4, -1);
    const OpticalPathDevice record{data.data(), flags.data(), 5, 0, 2, 2};  // 2 slots for each of 2 rays
    const int nodes[8] = {};
    record.interactElementLocal(stateWithShares(1.0f), Vec3(1, 1, 1), nodes, 1);
    record.interactElementLocal(stateWithShares(1.0f), Vec3(2, 2, 2), nodes, 2);  // not recorded
    record.interactElementLocal(stateWithShares(1.0f), Vec3(3, 3, 3), nodes, 0);
    record.interactElementLocal(stateWithShares(1.0f), Vec3(4, 4, 4), nodes, 1);
    record.interactElementLocal(stateWithShares(1.0f), Vec3(5, 5, 5), nodes, 1);  // ray 1 is full
    EXPECT_EQ(flags, (std::vector<int>{1, -1, 1, 1}));
    EXPECT_EQ(data[0], 3);
    EXPECT_EQ(data[10], 1);
    EXPECT_EQ(data[15], 4);
}
