#include "rays/RayCollection.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

template <class T>
std::vector<T> fetch(const T* d_array, std::size_t count) {
    std::vector<T> out(count);
    dev::download(out.data(), d_array, count);
    return out;
}

std::string writeRayFile(const std::string& name, const std::string& text) {
    const std::string path = testing::TempDir() + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

// Message of the exception E thrown by readRays on `text`; fails otherwise.
template <class E>
std::string loadError(const std::string& name, const std::string& text) {
    const std::string path = writeRayFile(name, text);
    try {
        readRays(path.c_str());
    } catch (const E& e) {
        return e.what();
    }
    ADD_FAILURE() << "no expected exception for " << name;
    return "";
}

TEST(ReadRays, HeaderFreeLayoutNumberFormsAndInitialState) {
    const std::string path = writeRayFile("layout.ry",
                                          "# rays\r\n\r\n\n   3 rays follow\n"
                                          "1 2 3 0 0 2 0.5\n"
                                          "+4 -.5 1e-3\n3 4\n0 0\n"
                                          "1e-50 0 0 0 0 0 2.5 9 9 9 9 9 9 9\n");
    auto rays = readRays(path.c_str());
    ASSERT_EQ(rays->nRays, 3);
    ASSERT_EQ(rays->h_rdata.nRays, 3);
    const RaysDataFlat& r = rays->h_rdata;
    const std::vector<float> pos = fetch(r.positions, 9), dir = fetch(r.directions, 9);
    EXPECT_EQ(pos, (std::vector<float>{1, 4, 0, 2, -0.5f, 0, 3, 1e-3f, 0}));
    EXPECT_EQ(dir, (std::vector<float>{0, 0.6f, 0, 0, 0.8f, 0, 1, 0, 0}));
    EXPECT_EQ(fetch(r.payloads, 3), (std::vector<float>{0.5f, 0, 2.5f}));
    EXPECT_EQ(fetch(r.faceIds, 3), (std::vector<int>{-1, -1, -1}));
    const std::vector<std::uint64_t> seeds = fetch(r.rngStates, 3);
    EXPECT_EQ(seeds[0], 0xE220A8397B1DCDAFULL);
    EXPECT_EQ(seeds[2], raySeed(2));
}

TEST(ReadRays, BadCountLinesKeepStoullErrors) {
    for (const char* text : {"   \n1 2 3 4 5 6 7\n", "  # comment\n1\n", "# only a header\n\n"})
        EXPECT_NE(loadError<std::invalid_argument>("nodigits.ry", text).find("stoull"),
                  std::string::npos)
            << text;
    EXPECT_NE(loadError<std::out_of_range>("huge.ry", "18446744073709551616\n").find("stoull"),
              std::string::npos);
    EXPECT_EQ(loadError<std::runtime_error>("absent/none.ry", ""), "Failed to open file");
}

TEST(ReadRays, CountOutsideIntNamesFileAndCount) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"-5", "-5"},
        {"-1", "-1"},  // stoull wraps this to the largest 64-bit value
        {"2147483648", "2147483648"},
        {"18446744073709551615", "18446744073709551615"}};
    for (const auto& [line, count] : cases) {
        const std::string msg = loadError<std::runtime_error>("count.ry", line + "\n0 0 0 0 0 1 1\n");
        EXPECT_NE(msg.find("count.ry"), std::string::npos) << msg;
        EXPECT_NE(msg.find("count " + count + " "), std::string::npos) << msg;
    }
}

TEST(ReadRays, TooFewCompleteRecordsNamesCountAndRecordsFound) {
    const std::string rec = "0 0 0 0 0 1 1\n";
    const struct {
        std::string text, count, found;
    } cases[] = {{"3\n" + rec + rec + "1 2 3 4\n", "3", "2"},
                 {"3\n" + rec + "nan 0 0 0 0 1 1\n" + rec, "3", "1"},
                 {"2\n" + rec + "1e39 0 0 0 0 1 1\n", "2", "1"},  // float overflow
                 {"1000000\n" + rec, "1000000", "1"}};  // far more than the file can hold
    for (const auto& c : cases) {
        const std::string msg = loadError<std::runtime_error>("short.ry", c.text);
        EXPECT_NE(msg.find("short.ry"), std::string::npos) << msg;
        EXPECT_NE(msg.find("declares " + c.count + " rays"), std::string::npos) << msg;
        EXPECT_NE(msg.find("only " + c.found + " complete"), std::string::npos) << msg;
    }
}

TEST(ReadRays, ZeroRaysLoadAndRotationOnlyWarns) {
    auto rays = readRays(writeRayFile("empty.ry", "0\n").c_str());
    EXPECT_EQ(rays->nRays, 0);
    testing::internal::CaptureStdout();
    rays->rotateRaysAroundAxis(Vec3(0, 0, 1), 1.0f);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Warning: rotateRaysAroundAxis called with nRays = 0\n");
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

// Rotates one ray and returns its new position and direction.
std::pair<Vec3, Vec3> rotated(Vec3 p, Vec3 d, Vec3 axis, float angle) {
    RayCollection rays(1);
    const float pv[3] = {p.x, p.y, p.z}, dv[3] = {d.x, d.y, d.z};
    dev::upload(rays.h_rdata.positions, pv, 3);
    dev::upload(rays.h_rdata.directions, dv, 3);
    rays.rotateRaysAroundAxis(axis, angle);
    const std::vector<float> np = fetch(rays.h_rdata.positions, 3), nd = fetch(rays.h_rdata.directions, 3);
    return {Vec3(np[0], np[1], np[2]), Vec3(nd[0], nd[1], nd[2])};
}

void expectNear(Vec3 a, Vec3 b) {
    EXPECT_NEAR(a.x, b.x, 1e-5f);
    EXPECT_NEAR(a.y, b.y, 1e-5f);
    EXPECT_NEAR(a.z, b.z, 1e-5f);
}

TEST(Rotation, MovesBackThenTurnsRightHandedAboutNormalisedAxis) {
    const Vec3 p(1, 0, 0), d(0, 0, 1);
    for (float axisLength : {1.0f, 2.0f}) {
        auto [np, nd] = rotated(p, d, Vec3(0, 0, axisLength), static_cast<float>(M_PI / 2));
        expectNear(np, Vec3(0, 1, -10));
        expectNear(nd, Vec3(0, 0, 1));
    }
    auto [p0, d0] = rotated(Vec3(1, 2, 3), Vec3(0.6f, 0.8f, 0), Vec3(1, 1, 0), 0.0f);
    expectNear(p0, Vec3(-5, -6, 3));
    expectNear(d0, Vec3(0.6f, 0.8f, 0));
    // A zero axis leaves only the cosine term.
    auto [pz, dz] = rotated(Vec3(1, 2, 3), Vec3(0, 1, 0), Vec3(0, 0, 0), 1.0f);
    const float c = std::cos(1.0f);
    expectNear(pz, Vec3(1, -8, 3) * c);
    expectNear(dz, Vec3(0, 1, 0) * c);
}

TEST(Rotation, EveryRayOfALargeSetMatchesRotationMatrix) {
    const int n = 700;  // three blocks
    RayCollection rays(n);
    std::vector<float> pos(3 * n), dir(3 * n, 0.0f);
    for (int i = 0; i < n; ++i) {
        pos[i] = 0.01f * i, pos[n + i] = 1.0f, pos[2 * n + i] = -0.5f;
        dir[i % 3 * n + i] = 1.0f;  // unit x, y or z
    }
    dev::upload(rays.h_rdata.positions, pos.data(), pos.size());
    dev::upload(rays.h_rdata.directions, dir.data(), dir.size());
    rays.rotateRaysAroundAxis(Vec3(1, 0, 0), 0.3f);
    const std::vector<float> np = fetch(rays.h_rdata.positions, 3 * n),
                             nd = fetch(rays.h_rdata.directions, 3 * n);
    // About +x: y' = c y - s z, z' = s y + c z.
    const double c = std::cos(0.3), s = std::sin(0.3);
    for (int i = 0; i < n; ++i) {
        const double q[3] = {pos[i] - 10.0 * dir[i], pos[n + i] - 10.0 * dir[n + i],
                             pos[2 * n + i] - 10.0 * dir[2 * n + i]};
        ASSERT_NEAR(np[i], q[0], 1e-4) << i;
        ASSERT_NEAR(np[n + i], c * q[1] - s * q[2], 1e-4) << i;
        ASSERT_NEAR(np[2 * n + i], s * q[1] + c * q[2], 1e-4) << i;
        ASSERT_EQ(nd[i], dir[i]) << i;
        ASSERT_NEAR(nd[n + i], c * dir[n + i] - s * dir[2 * n + i], 1e-6) << i;
        ASSERT_NEAR(nd[2 * n + i], s * dir[n + i] + c * dir[2 * n + i], 1e-6) << i;
    }
}

}  // namespace
