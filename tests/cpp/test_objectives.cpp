// Tests of the objectives: numbered file names, the base objective's messages,
// the light-transport buffers and VTU file, and the device records' hooks
// (called on host memory).
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
    EXPECT_EQ(numberedFileName("out.vtu", 1), "out_1.vtu");
    EXPECT_EQ(numberedFileName("results/run", 0), "results/run_0");
    EXPECT_EQ(numberedFileName("a.d/run", 0), "a_0.d/run");
    EXPECT_EQ(numberedFileName(std::string(600, 'x').c_str(), 3), std::string(511, 'x'));
}

TEST(ObjectiveBase, PrintsWarningsAndHoldsNothing) {
    Objective base;
    auto mesh = unitCube();
    double value = 0.0;
    CaptureStdout();
    base.configureOutput("x.vtu", 4);
    base.result(*mesh);
    base.resultWithField(*mesh, nullptr);
    base.resultWithFields(*mesh, &value, 1);
    base.setFieldNames({"a"});
    base.clearFieldNames();
    base.getResult(&value);
    base.resetResult();
    EXPECT_EQ(GetCapturedStdout(),
              "Warning: using empty objective\n"
              "Objective result base class\nObjective result base class\nObjective result base class\n"
              "Warning: getResult not implemented for this objective\n"
              "Warning: resetResult not implemented for this objective\n");
    EXPECT_EQ(base.getResultArrayDevicePtr(), nullptr);
    EXPECT_EQ(base.writeCount, 0);
}

TEST(LightTransport, BuffersAreSizedReleasedAndMoved) {
    LightTransport lt;
    EXPECT_STREQ(lt.outputFile(), "output.vtu");
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

    std::string points, column;
    for (int id = 0; id < 8; ++id) {
        char line[64];
        std::snprintf(line, sizeof line, "%d.000000e+00 %d.000000e+00 %d.000000e+00\n", id & 1, (id >> 1) & 1, id >> 2);
        points += line;
    }
    auto repeat = [](const std::string& line) {
        std::string out;
        for (int i = 0; i < 8; ++i) out += line;
        return out;
    };
    const std::string expected =
        "<?xml version=\"1.0\"?>\n"
        "<VTKFile type=\"UnstructuredGrid\" version=\"0.1\" byte_order=\"LittleEndian\">\n"
        "  <UnstructuredGrid>\n"
        "    <Piece NumberOfPoints=\"8\" NumberOfCells=\"1\">\n"
        "      <Points>\n"
        "        <DataArray type=\"Float64\" NumberOfComponents=\"3\" format=\"ascii\">\n" +
        points +
        "        </DataArray>\n"
        "      </Points>\n"
        "      <Cells>\n"
        "        <DataArray type=\"Int32\" Name=\"connectivity\" format=\"ascii\">\n"
        "0 1 3 2 4 5 7 6 \n"
        "        </DataArray>\n"
        "        <DataArray type=\"Int32\" Name=\"offsets\" format=\"ascii\">\n"
        "8\n"
        "        </DataArray>\n"
        "        <DataArray type=\"UInt8\" Name=\"types\" format=\"ascii\">\n"
        "12\n"
        "        </DataArray>\n"
        "      </Cells>\n"
        "      <PointData>\n"
        "        <DataArray type=\"Float64\" Name=\"Volumetric absorbed power Q\" format=\"ascii\">\n" +
        repeat("0.000000e+00\n") +
        "        </DataArray>\n"
        "        <DataArray type=\"Float64\" Name=\"RefractiveIndex\" format=\"ascii\">\n" +
        repeat("1.500000e+00\n") +
        "        </DataArray>\n"
        "        <DataArray type=\"Float64\" Name=\"Absorptivity\" format=\"ascii\">\n" +
        repeat("3.000000e-01\n") +
        "        </DataArray>\n"
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
    auto with = [&](Names extra) {
        Names all = fixed;
        all.insert(all.end(), extra.begin(), extra.end());
        all.push_back("Absorptivity");
        return all;
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
    EXPECT_STREQ(lt.fieldName(0), "");

    // One field from device memory.
    double* field = dev::allocArray<double>(8);
    dev::upload(field, fields.data() + 8, 8);
    const std::string name = numberedFileName(lt.outputFile(), lt.writeCount);
    CaptureStdout();
    lt.resultWithField(*mesh, field);
    GetCapturedStdout();
    dev::free(field);
    const std::string text = readFile(name);
    EXPECT_EQ(arrayNames(text), with({"Field"}));
    EXPECT_NE(text.find("Name=\"Field\" format=\"ascii\">\n8.000000e+00\n9.000000e+00\n"), std::string::npos);
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
    record.interactInterface(Ray());
    record.interactVolume(Ray());

    // The objective's own buffer is host memory on the CPU backend.
    if (dev::backend() != dev::Backend::Cpu) GTEST_SKIP();
    LightTransport lt;
    lt.configureOutput("unused.vtu", 8);
    const int cube[8] = {0, 1, 3, 2, 4, 5, 7, 6};
    lt.device().interactElementLocal(stateWithShares(1.0f), Vec3(), cube, 0);
    std::vector<double> host(8);
    lt.getResult(host.data());
    EXPECT_EQ(host, (std::vector<double>{1, 2, 4, 3, 5, 6, 8, 7}));
    lt.resetResult();
    lt.getResult(host.data());
    EXPECT_EQ(host, std::vector<double>(8, 0.0));
}

TEST(DeviceRecords, RenderColoursThePixelOfTheRay) {
    std::vector<double> image(3 * 4 * 2, -1.0);
    const RenderDevice record{4, 2, image.data()};
    Ray ray;
    ray.face = 3;
    ray.index = 5;
    ray.hitNormal = Vec3(0, 0, -1);
    record.interactInterface(ray);
    EXPECT_EQ(image[5], 1.0);
    EXPECT_EQ(image[8 + 5], 0.5);
    EXPECT_EQ(image[16 + 5], 0.5);

    ray.index = 6;
    ray.hitNormal = Vec3(1, -1, 0);
    record.interactInterface(ray);
    EXPECT_EQ(image[6], 0.5);
    EXPECT_EQ(image[8 + 6], 0.0);
    EXPECT_EQ(image[16 + 6], 1.0);

    const std::vector<double> before = image;
    ray.face = -1;  // no entry face
    ray.index = 0;
    record.interactInterface(ray);
    ray.face = 0;
    ray.index = 8;  // beyond the image
    record.interactInterface(ray);
    record.interactElementLocal(stateWithShares(1.0f), Vec3(), nullptr, 0);
    EXPECT_EQ(image, before);
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
