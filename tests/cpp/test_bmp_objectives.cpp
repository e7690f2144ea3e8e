// Tests of the render and optical-path objectives with their files (BMP,
// CSV), the tracer factory, the OBJ reader and the TOML configuration.
#include "IO/BMPFile.hpp"
#include "device/Atomics.hpp"
#include "IO/ReadMesh.hpp"
#include "accel/SurfaceRayTracer.hpp"
#include "tracer/FiniteElementRayTracer.hpp"

#include "mesh_fixtures.hpp"

#if defined(LVX_WITH_TOML)
#include "objectives/ObjectiveConfig.hpp"
#endif

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string temp(const std::string& name) { return testing::TempDir() + name; }

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

testing::AssertionResult contains(const std::string& text, const std::string& part) {
    if (text.find(part) != std::string::npos) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "\"" << text << "\" does not contain \"" << part << "\"";
}

bool exists(const std::string& path) { return std::ifstream(path).good(); }

void writeFile(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

std::unique_ptr<Mesh> box(int nx, int ny, int nz, double n, double alpha) {
    CaptureStdout();
    auto mesh = loadedMesh(BoxGrid(nx, ny, nz).data());
    mesh->setConstantMaterialProperties(n, alpha);
    GetCapturedStdout();
    return mesh;
}

// A ray set from origins and directions (unit power).
std::unique_ptr<RayCollection> raySet(const std::vector<Vec3>& origins, const std::vector<Vec3>& directions) {
    const int n = static_cast<int>(origins.size());
    auto rays = std::make_unique<RayCollection>(n);
    std::vector<float> pos(3 * n), dir(3 * n), power(n, 1.0f);
    for (int i = 0; i < n; ++i)
        for (int a = 0; a < 3; ++a) pos[a * n + i] = origins[i][a], dir[a * n + i] = directions[i].normalized()[a];
    dev::upload(rays->h_rdata.positions, pos.data(), pos.size());
    dev::upload(rays->h_rdata.directions, dir.data(), dir.size());
    dev::upload(rays->h_rdata.payloads, power.data(), power.size());
    return rays;
}

// Surface trace, then the volumetric trace of `tracer`.
void trace(BaseRayTracer& tracer, RayCollection& rays, const Mesh& mesh) {
    CaptureStdout();
    auto surface = createSurfaceRayTracer(1);
    surface->buildAccelerator(mesh);
    surface->traceRays(rays, mesh);
    tracer.traceRays(rays, mesh);
    GetCapturedStdout();
}

// Rows of a written CSV table after its header line; every row holds five numbers.
std::vector<std::vector<double>> csvRows(const std::string& text) {
    std::istringstream in(text);
    std::string line;
    std::getline(in, line);
    EXPECT_EQ(line, "x,y,z,s,E");
    std::vector<std::vector<double>> rows;
    for (std::vector<double> r(5); std::getline(in, line); rows.push_back(r))
        EXPECT_EQ(std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf,%lf", &r[0], &r[1], &r[2], &r[3], &r[4]), 5) << line;
    return rows;
}

}  // namespace

// --- Files and messages without a trace --------------------------------------------------

TEST(BMPFile, ThreeByTwoImageBytes) {
    BMPFile image(3, 2);  // height 3, width 2
    std::vector<double> planar(18, 0.0);
    planar[0] = 1.0, planar[6] = 0.5;                     // row 0, column 0: red 1, green 0.5, blue 0
    planar[5] = 1.0, planar[11] = 1.0, planar[17] = 1.0;  // row 2, column 1: white
    planar[3] = 2.0;                                      // not clamped: 510 keeps its low 8 bits
    dev::upload(image.deviceImage(), planar.data(), planar.size());
    ASSERT_TRUE(image.write(temp("three_by_two.bmp").c_str()));

    const std::string header("BM\x4e\0\0\0\0\0\0\0\x36\0\0\0\x28\0\0\0\x02\0\0\0\x03\0\0\0\x01\0\x18\0", 30);
    const std::string rows("\x00\x7f\xff\x00\x00\x00\x00\x00"   // blue, green, red per pixel; 2 padding bytes
                           "\x00\x00\x00\x00\x00\xfe\x00\x00"
                           "\x00\x00\x00\xff\xff\xff\x00\x00", 24);
    EXPECT_EQ(readFile(temp("three_by_two.bmp")), header + std::string(24, '\0') + rows);  // 78 bytes

    // Rows of a multiple of 4 bytes get no padding; a second write is identical.
    BMPFile wide(1, 4);
    ASSERT_TRUE(wide.write(temp("wide.bmp").c_str()) && wide.write(temp("wide2.bmp").c_str()));
    EXPECT_EQ(readFile(temp("wide.bmp")).size(), 54u + 12u);
    EXPECT_EQ(readFile(temp("wide.bmp")), readFile(temp("wide2.bmp")));
}

TEST(BMPFile, UnwritableFilesAreReportedAndNothingIsWritten) {
    auto mesh = box(1, 1, 1, 1.5, 0.0);
    BMPFile empty;  // 1024 x 1024 without buffers
    OpticalPath path;
    path.configureOutput(temp("no_such_dir/path.csv").c_str(), 3);
    CaptureStdout();
    EXPECT_FALSE(BMPFile(1, 1).write(temp("no_such_dir/x.bmp").c_str()));
    EXPECT_FALSE(empty.write(temp("empty.bmp").c_str()));
    path.result(*mesh);
    EXPECT_EQ(GetCapturedStdout(), "Error: Cannot open file " + temp("no_such_dir/x.bmp") + " for writing\n" +
                                       "Error: Cannot write " + temp("empty.bmp") + ": the image has no buffers\n" +
                                       "Error: Cannot open file " + temp("no_such_dir/path_0.csv") + " for writing\n");
    EXPECT_FALSE(exists(temp("empty.bmp")));
    EXPECT_EQ(path.writeCount, 1);
    EXPECT_THROW(BMPFile(-1, 2), std::runtime_error);
}

TEST(Objectives, RenderAndOpticalPathMessagesFilesAndBuffers) {
    auto mesh = box(1, 1, 1, 1.5, 0.0);
    Render render;
    OpticalPath path;
    EXPECT_STREQ(render.outputFile(), "output.bmp");
    EXPECT_STREQ(path.outputFile(), "output.vtu");
    for (int i = 0; i < 50; ++i) render.configureImage(nullptr, 3 + i % 4, 2, 0.1), path.configureOutput(nullptr, i);
    render.configureImage(temp("render.bmp").c_str(), 4, 2, 0.25);  // ASan: the replaced buffers are freed
    path.configureOutput(temp("path.csv").c_str(), 3);
    CaptureStdout();
    render.getResult(nullptr);
    render.result(*mesh);
    render.result(*mesh);
    path.resultWithField(*mesh, nullptr);
    EXPECT_EQ(GetCapturedStdout(),
              "Error: hostPtr is nullptr in getResult\n"
              "Warning: result with field argument not implemented for OpticalPath objective. Calling result "
              "without field argument instead.\nResults written to CSV file: " + temp("path_0.csv") + "\n");
    EXPECT_EQ(readFile(temp("render_0.bmp")).size(), 54u + 2u * 12u);
    EXPECT_EQ(readFile(temp("render_0.bmp")), readFile(temp("render_1.bmp")));
    EXPECT_EQ(readFile(temp("path_0.csv")), "x,y,z,s,E\n");  // nothing recorded yet

    std::vector<double> values(25, -1.0);
    render.getResult(values.data());
    EXPECT_EQ(std::count(values.begin(), values.end(), 0.0), 24);  // 3 x 4 x 2 doubles, zeroed
}

TEST(Objectives, SizesBeyondMemoryAreRefusedBeforeAllocating) {
    Render render;
    OpticalPath path;
    render.configureImage(nullptr, 4, 2, 0.1);
    path.configureOutput(nullptr, 3);
    const auto refusal = [](auto&& configure) {
        try {
            configure();
        } catch (const std::runtime_error& e) {
            return std::string(e.what());
        }
        return std::string("accepted");
    };
    const std::string image = refusal([&] { render.configureImage(nullptr, 200000, 200000, 0.1); });
    EXPECT_EQ(image.rfind("an image of 200000 x 200000 pixels needs ", 0), 0u) << image;
    EXPECT_NE(image.find(" memory, more than the "), std::string::npos) << image;
    const std::string points = refusal([&] { path.configureOutput(nullptr, 2147483647); });
    EXPECT_EQ(points.rfind("an optical path of 2147483647 data points needs ", 0), 0u) << points;
    // The earlier buffers stay in place.
    std::vector<double> values(24, -1.0);
    render.getResult(values.data());
    EXPECT_EQ(std::count(values.begin(), values.end(), 0.0), 24);
    EXPECT_EQ(path.capacity(), 3);
}

// --- Traces ----------------------------------------------------------------------------

TEST(Traces, RenderColoursPixelsFromTheFaceNormals) {
    auto mesh = box(2, 2, 2, 1.5, 0.1);  // the cube [0, 2]^3
    // Rays onto the six faces, one obliquely onto the top face, one past the cube.
    auto rays = raySet({{-3, 1, 1}, {5, 0.5f, 1.5f}, {1, -3, 1}, {1.5f, 5, 0.5f},  //
                        {1, 1, -3}, {0.5f, 1, 5}, {0.3f, 1.2f, 4}, {7, 7, 7}},
                       {{1, 0, 0}, {-1, 0, 0}, {0, 1, 0}, {0, -1, 0},  //
                        {0, 0, 1}, {0, 0, -1}, {0.3f, -0.2f, -1}, {1, 0, 0}});
    EXPECT_EQ(createFiniteElementRayTracer(0, 3), nullptr);  // kinds 0, 1, 2 with solvers 0, 1 only
    EXPECT_EQ(createFiniteElementRayTracer(2, 0), nullptr);
    auto tracer = createFiniteElementRayTracer(0, 0);
    dynamic_cast<Render&>(*tracer->getObjective()).configureImage(temp("cube.bmp").c_str(), 4, 2, 1.0);
    trace(*tracer, *rays, *mesh);

    // Pixel p shows the outward normal n of the face ray p meets: red 1 - (n.z + 1) / 2,
    // green 1 - (n.x + 1) / 2, blue 1 - (n.y + 1) / 2. The miss keeps its zeros.
    const Vec3 normals[7] = {{-1, 0, 0}, {1, 0, 0}, {0, -1, 0}, {0, 1, 0}, {0, 0, -1}, {0, 0, 1}, {0, 0, 1}};
    std::vector<double> expected(24, 0.0), image(24);
    for (int p = 0; p < 7; ++p)
        for (int plane = 0; plane < 3; ++plane)
            expected[8 * plane + p] = 1.0 - (0.5 * normals[p][(plane + 2) % 3] + 0.5);
    tracer->getResult(image.data());
    for (int i = 0; i < 24; ++i) EXPECT_NEAR(image[i], expected[i], 1e-6) << i;
}

TEST(Traces, OpticalPathRowsAreTheElementExitPoints) {
    const float alpha = 0.5f;
    auto mesh = box(3, 1, 1, 1.5, alpha);  // three unit cubes along x
    for (int capacity : {5, 2}) {
        // Ray 0 runs along x; ray 1 crosses the first element but records nothing.
        auto rays = raySet({{-2, 0.5f, 0.25f}, {0.5f, 0.5f, -2}}, {{1, 0, 0}, {0, 0, 1}});
        auto tracer = createFiniteElementRayTracer(1, 1);
        const std::string name = "path_" + std::to_string(capacity);
        tracer->configureOutput(temp(name + ".csv").c_str(), capacity);
        trace(*tracer, *rays, *mesh);
        CaptureStdout();
        tracer->result(*mesh);
        GetCapturedStdout();

        // One row per element left, at x = 1, 2, 3, until the slots are full.
        const auto rows = csvRows(readFile(temp(name + "_0.csv")));
        ASSERT_EQ(rows.size(), static_cast<std::size_t>(std::min(capacity, 3)));
        for (std::size_t j = 0; j < rows.size(); ++j) {
            const double x = static_cast<double>(j + 1), s = rows[j][3];
            EXPECT_NEAR(rows[j][0], x, 2e-3);
            EXPECT_EQ(rows[j][1], 0.5);
            EXPECT_EQ(rows[j][2], 0.25);
            EXPECT_NEAR(s, x, 2e-3);
            EXPECT_NEAR(rows[j][4], std::exp(-alpha * s), 1e-4);
        }
    }
}

// On the CPU backend every loop thread but the first deposits into sums of
// its own, added up after the trace: the absorbed power per node must not
// depend on the number of threads (beyond the order of the additions).
TEST(Traces, LightTransportDepositsDoNotDependOnTheThreadCount) {
    auto mesh = box(3, 3, 3, 1.5, 0.5);
    std::vector<Vec3> origins, directions;
    for (int k = 0; k < 64; ++k) {
        origins.push_back({0.2f + 0.08f * static_cast<float>(k % 8), 0.3f + 0.3f * static_cast<float>(k / 8), -1});
        directions.push_back({0.1f * static_cast<float>(k % 3), 0.05f, 1});
    }
    const int threads = dev::cpuThreadCount();
    std::vector<double> absorbed[2];
    for (int run = 0; run < 2; ++run) {
        omp_set_num_threads(run == 0 ? 1 : 3);
        auto rays = raySet(origins, directions);
        auto tracer = createFiniteElementRayTracer(0, 2);
        tracer->configureOutput(temp("threads.vtu").c_str(), mesh->nodeCount());
        trace(*tracer, *rays, *mesh);
        absorbed[run].resize(static_cast<std::size_t>(mesh->nodeCount()));
        tracer->getResult(absorbed[run].data());
    }
    omp_set_num_threads(threads);
    double total = 0.0;
    for (std::size_t i = 0; i < absorbed[0].size(); ++i) {
        EXPECT_NEAR(absorbed[1][i], absorbed[0][i], 1e-12 * std::fabs(absorbed[0][i])) << i;
        total += absorbed[0][i];
    }
    EXPECT_GT(total, 0.0);
}

// --- OBJ reader --------------------------------------------------------------------------

namespace {

// The unit square in the z = 0 plane and a second quad above it.
const std::string kObjVertices =
    "# two quads\n"
    "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\n"
    "v 0 0 1\nv 1 0 1\nv 1 1 1\nv 0 1 1\n";

}  // namespace

TEST(ReadOBJ, QuadsWithComputedNormals) {
    const std::string computed = temp("quads.obj");
    writeFile(computed, kObjVertices + "f 1 2 3 4\r\nf 5/1/2 8//2 7/3 6\n");
    CaptureStdout();
    auto mesh = readOBJ(computed.c_str());
    EXPECT_EQ(GetCapturedStdout(), "\nFinished reading obj file, summary:\n - Faces: 2\n - Nodes: 8\n");
    ASSERT_EQ(mesh->faceCount(), 2);
    EXPECT_EQ(mesh->nodeCount(), 8);
    EXPECT_EQ(mesh->elementCount(), 1);
    const MeshDataFlat& m = mesh->h_mdata_devlink;
    EXPECT_EQ(fetch(m.faceNodes, 8), (std::vector<int>{0, 1, 2, 3, 4, 7, 6, 5}));
    EXPECT_EQ(fetch(m.faceBC, 2), (std::vector<int>{-1, -1}));
    EXPECT_EQ(fetch(m.faceNormals, 6), (std::vector<float>{0, 0, 0, 0, 1, -1}));  // counter-clockwise: +z; clockwise: -z
    EXPECT_EQ(fetch(m.nodeCoords, 24)[8 + 2], 1.0f);                              // y of vertex 3, structure of arrays
}

TEST(ReadOBJ, RejectsWhatItCannotRepresent) {
    auto message = [](const std::string& name, const std::string& body) -> std::string {
        const std::string path = temp(name);
        writeFile(path, kObjVertices + body);
        CaptureStdout();
        try {
            readOBJ(path.c_str());
        } catch (const std::exception& e) {
            GetCapturedStdout();
            return e.what();
        }
        GetCapturedStdout();
        return "no error";
    };
    // Lines 1 to 9 are the comment and the vertices.
    EXPECT_TRUE(contains(message("tri.obj", "f 1 2 3 4\nf 1 2 3\n"), "tri.obj:11: face has 3 vertices"));
    EXPECT_TRUE(contains(message("few_normals.obj", "vn 0 0 1\nf 1 2 3 4\nf 5 6 7 8\n"),
                "few_normals.obj:12: face 2 has no normal: the file has 1 normal lines for 2 faces"));
    EXPECT_TRUE(contains(message("beyond.obj", "f 1 2 3 4\nf 5 6 7 9\n"),
                "beyond.obj:11: face refers to vertex 9, outside the vertex list 1..8"));
    EXPECT_TRUE(contains(message("zero.obj", "f 0 1 2 3\n"), "zero.obj:10: face refers to vertex 0"));
    EXPECT_TRUE(contains(message("short_v.obj", "v 1 2\n"), "short_v.obj:10: vertex line needs three numbers"));
    const std::string word = message("word.obj", "f 1 2 x/1 4\n");
    EXPECT_EQ(word.rfind("stoi", 0), 0u) << word;
    EXPECT_TRUE(contains(word, "word.obj:10"));
    EXPECT_THROW(readOBJ(temp("no_such.obj").c_str()), std::runtime_error);
}

// --- TOML configuration ----------------------------------------------------------------

#if defined(LVX_WITH_TOML)

namespace {

std::string configError(Objective& objective, const std::string& text, const Mesh& mesh) {
    const toml::table table = toml::parse(text);
    CaptureStdout();
    try {
        objective.configureFromTable(table, mesh);
    } catch (const std::runtime_error& e) {
        GetCapturedStdout();
        return e.what();
    }
    GetCapturedStdout();
    return "no error";
}

}  // namespace

TEST(TomlConfig, MissingOrMistypedKeysNameTheKeyAndChangeNothing) {
    auto mesh = box(1, 1, 1, 1.5, 0.0);
    Render render;
    OpticalPath path;
    LightTransport transport;
    const std::string size = "pixel_height = 2\npixel_size = 0.5\n";
    const struct {
        Objective& objective;
        std::string text, error;
    } cases[] = {
        {render, "pixel_width = 4\n" + size, "render objective: key \"output_file\" is missing"},
        {render, "output_file = 'a.bmp'\npixel_width = '4'\n" + size,
         "render objective: key \"pixel_width\" must be an integer, not a string (line 2)"},
        {render, "output_file = 'a.bmp'\npixel_width = 0\n" + size,
         "render objective: key \"pixel_width\" must be between 1 and 2147483647, not 0 (line 2)"},
        {render, "output_file = ''\npixel_width = 4\n" + size, "render objective: key \"output_file\" must not be empty (line 1)"},
        {path, "output_file = 'p.csv'\n", "optical path objective: key \"datapoints_amount\" is missing"},
        {path, "output_file = 'p.csv'\ndatapoints_amount = 2.5\n",
         "optical path objective: key \"datapoints_amount\" must be an integer, not a floating-point number (line 2)"},
        {transport, "output_file = 3\n",
         "light transport objective: key \"output_file\" must be a string, not an integer (line 1)"},
    };
    for (const auto& c : cases) EXPECT_EQ(configError(c.objective, c.text, *mesh), c.error);
    EXPECT_EQ(render.getResultArrayDevicePtr(), nullptr);
    EXPECT_STREQ(render.outputFile(), "output.bmp");
    EXPECT_EQ(path.capacity(), 0);
    EXPECT_STREQ(transport.outputFile(), "output.vtu");

    // A complete table configures the objective behind a tracer.
    auto tracer = createFiniteElementRayTracer(1, 1);
    EXPECT_EQ(configError(*tracer->getObjective(), "output_file = 'cfg.csv'\ndatapoints_amount = 7\n", *mesh), "no error");
    EXPECT_EQ(dynamic_cast<OpticalPath&>(*tracer->getObjective()).capacity(), 7);
}

#endif
