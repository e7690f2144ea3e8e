#include "mesh_fixtures.hpp"
#include "rays/RayCollection.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string writeRayFile(const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// Message of the exception E thrown by readRays on `text`; fails otherwise.
template <class E>
std::string loadError(const std::string& name, const std::string& text) {
    try {
        readRays(writeRayFile(name, text).c_str());
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "no expected exception for " << name;
    return "";
}

#define EXPECT_HAS(text, part) EXPECT_NE((text).find(part), std::string::npos) << (text)

TEST(ReadRays, HeaderFreeLayoutNumberFormsAndInitialState) {
    auto rays = readRays(writeRayFile("layout.ry", "# rays\r\n\r\n\n   3 rays follow\n1 2 3 0 0 2 0.5\n"
                                                   "+4 -.5 1e-3\n3 4\n0 0\n1e-50 0 0 0 0 0 2.5 9 9 9 9 9 9 9\n")
                             .c_str());
    ASSERT_EQ(rays->nRays, 3);
    ASSERT_EQ(rays->h_rdata.nRays, 3);
    const RaysDataFlat& r = rays->h_rdata;
    EXPECT_EQ(fetch(r.positions, 9), (std::vector<float>{1, 4, 0, 2, -0.5f, 0, 3, 1e-3f, 0}));
    EXPECT_EQ(fetch(r.directions, 9), (std::vector<float>{0, 0.6f, 0, 0, 0.8f, 0, 1, 0, 0}));
    EXPECT_EQ(fetch(r.payloads, 3), (std::vector<float>{0.5f, 0, 2.5f}));
    EXPECT_EQ(fetch(r.faceIds, 3), (std::vector<int>{-1, -1, -1}));
    const std::vector<std::uint64_t> seeds = fetch(r.rngStates, 3);
    EXPECT_EQ(seeds[0], 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(seeds[2], raySeed(2));
}

TEST(ReadRays, DirectionsAreNormalisedInDoublePrecision) {
    // Squared in single precision, 3e19 overflows and 1e-30 underflows.
    auto rays = readRays(writeRayFile("extreme.ry", "3\n0 0 0 0 0 3e19 1\n0 0 0 1e-30 0 0 1\n0 0 0 0 0 0 1\n").c_str());
    EXPECT_EQ(fetch(rays->h_rdata.directions, 9), (std::vector<float>{0, 1, 0, 0, 0, 0, 1, 0, 0}));
}

TEST(ReadRays, BadCountLinesKeepStoullErrorsOrNameFileAndCount) {
    for (const char* text : {"   \n1 2 3 4 5 6 7\n", "  # comment\n1\n", "# only a header\n\n"})
        EXPECT_HAS(loadError<std::invalid_argument>("nodigits.ry", text), "stoull");
    EXPECT_HAS(loadError<std::out_of_range>("huge.ry", "18446744073709551616\n"), "stoull");
    EXPECT_EQ(loadError<std::runtime_error>("absent/none.ry", ""), "Failed to open file");
    // Counts outside int; stoull wraps "-1" to the largest 64-bit value.
    for (const std::string count : {"-1", "2147483648", "18446744073709551615"}) {
        const std::string msg = loadError<std::runtime_error>("count.ry", count + "\n0 0 0 0 0 1 1\n");
        EXPECT_HAS(msg, "count.ry");
        EXPECT_HAS(msg, "count " + count + " ");
    }
}

TEST(ReadRays, TooFewCompleteRecordsNamesCountAndRecordsFound) {
    const std::string rec = "0 0 0 0 0 1 1\n";
    const struct { std::string text, count, found; } cases[] = {{"3\n" + rec + rec + "1 2 3 4\n", "3", "2"},
                 {"3\n" + rec + "nan 0 0 0 0 1 1\n" + rec, "3", "1"},
                 {"2\n" + rec + "1e39 0 0 0 0 1 1\n", "2", "1"},  // float overflow
                 {"1000000\n" + rec, "1000000", "1"}};  // far more than the file can hold
    for (const auto& c : cases) {
        const std::string msg = loadError<std::runtime_error>("short.ry", c.text);
        EXPECT_HAS(msg, "short.ry");
        EXPECT_HAS(msg, "declares " + c.count + " rays");
        EXPECT_HAS(msg, "only " + c.found + " complete");
    }
}

TEST(RayCollection, NewArraysSpanBlocksAndResizeReplacesThem) {
    RayCollection rays(600);  // three blocks of the seed kernel
    const std::vector<std::uint64_t> seeds = fetch(rays.h_rdata.rngStates, 600);
    for (int i : {0, 255, 256, 599}) EXPECT_EQ(seeds[i], raySeed(i)) << i;
    EXPECT_EQ(fetch(rays.h_rdata.faceIds, 600), std::vector<int>(600, -1));
    rays.resize(2);
    EXPECT_EQ(rays.nRays, 2);
    RaysDataFlat copy;
    dev::download(&copy, rays.d_rdata, 1);
    EXPECT_EQ(std::memcmp(&copy, &rays.h_rdata, sizeof(copy)), 0);
    EXPECT_EQ(copy.nRays, 2);
    EXPECT_EQ(fetch(rays.h_rdata.rngStates, 2), (std::vector<std::uint64_t>{raySeed(0), raySeed(1)}));
    // Host location: pinned arrays filled on the host.
    RayCollection host(0);
    host.h_rdata.location = host.h_rdata.HOST;
    host.resize(3);
    EXPECT_EQ(host.h_rdata.faceIds[2], -1);
    EXPECT_EQ(host.h_rdata.rngStates[2], raySeed(2));
}

TEST(RaysDataFlat, MissingOrZeroRandomStateFallsBackToSeed) {
    std::vector<float> pos(6, 1.0f), dir(6, 0.0f), pay(2, 3.0f);
    std::vector<int> faces{4, 5};
    std::vector<std::uint64_t> states{7, 8};
    RaysDataFlat r{pos.data(), dir.data(), pay.data(), faces.data(), nullptr, 2, 0, 1, 0};
    Ray ray = r.getRay(1);
    EXPECT_EQ(ray.rngState, raySeed(1));
    EXPECT_EQ(ray.face, 5);
    EXPECT_EQ(ray.element, -1);
    EXPECT_TRUE(std::isinf(ray.hitDistance));
    r.rngStates = states.data();
    ray.rngState = 0;
    ray.position = Vec3(1, 2, 3);
    r.setRay(ray);
    EXPECT_EQ(states, (std::vector<std::uint64_t>{7, raySeed(1)}));
    EXPECT_EQ(pos, (std::vector<float>{1, 1, 1, 2, 1, 3}));
}

// Rays move back 10 along their direction, then turn right-handed about the
// normalised axis; a zero axis leaves only the cosine term; no rays only warns.
TEST(Rotation, EveryRayOfALargeSetMatchesRotationMatrix) {
    for (const float axisLength : {2.0f, 0.0f}) {
        const int n = 700;  // three blocks
        RayCollection rays(n);
        std::vector<float> pos(3 * n), dir(3 * n, 0.0f);
        for (int i = 0; i < n; ++i) {
            pos[i] = 0.01f * i, pos[n + i] = 1.0f, pos[2 * n + i] = -0.5f;
            dir[i % 3 * n + i] = 1.0f;  // unit x, y or z
        }
        dev::upload(rays.h_rdata.positions, pos.data(), pos.size());
        dev::upload(rays.h_rdata.directions, dir.data(), dir.size());
        rays.rotateRaysAroundAxis(Vec3(axisLength, 0, 0), 0.3f);
        const std::vector<float> np = fetch(rays.h_rdata.positions, 3 * n), nd = fetch(rays.h_rdata.directions, 3 * n);
        // About +x: x' = x, y' = c y - s z, z' = s y + c z; about 0: c (x, y, z).
        const double c = std::cos(0.3), s = axisLength > 0 ? std::sin(0.3) : 0.0, cx = axisLength > 0 ? 1.0 : c;
        const auto turn = [&](const double* v, int a) {
            return a == 0 ? cx * v[0] : a == 1 ? c * v[1] - s * v[2] : s * v[1] + c * v[2];
        };
        for (int i = 0; i < n; ++i) {
            double d[3], q[3];
            for (int a = 0; a < 3; ++a) d[a] = dir[a * n + i], q[a] = pos[a * n + i] - 10.0 * d[a];
            for (int a = 0; a < 3; ++a) {
                ASSERT_NEAR(np[a * n + i], turn(q, a), 1e-4) << i << " " << a;
                ASSERT_NEAR(nd[a * n + i], turn(d, a), a == 0 && axisLength > 0 ? 0.0 : 1e-6) << i << " " << a;
            }
        }
    }
    auto none = readRays(writeRayFile("empty.ry", "0\n").c_str());
    EXPECT_EQ(none->nRays, 0);
    testing::internal::CaptureStdout();
    none->rotateRaysAroundAxis(Vec3(0, 0, 1), 1.0f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Warning: rotateRaysAroundAxis called with nRays = 0\n");
}

}  // namespace
