#include "tracer/InterfaceOptics.hpp"

#include "mesh_fixtures.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <set>
#include <vector>

namespace {

constexpr float kSin45 = 0.70710678f;

void expectVecNear(const Vec3& a, const Vec3& b, float tol) {
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(a[i], b[i], tol) << "component " << i;
}

// Unit cube [0, 1]^3 of one element, nodal refractive index 1.5. The record's
// arrays are host memory on the CPU backend, so the device functions are
// called directly on `m`.
class InterfaceOptics : public ::testing::Test {
protected:
    std::unique_ptr<Mesh> mesh;
    int bottom = -1;  // face on z = 0, outward normal -z
    int top = -1;     // face on z = 1, outward normal +z

    void SetUp() override {
        if (dev::backend() != dev::Backend::Cpu) GTEST_SKIP();
        mesh = loadedMesh(BoxGrid(1, 1, 1).data());
        mesh->setRefractiveIndexConstant(1.5);
        const MeshDataFlat& m = mesh->h_mdata_devlink;
        const std::vector<int> nodes = fetch(m.faceNodes, 4 * static_cast<std::size_t>(m.nFaces));
        const std::vector<float> xyz = fetch(m.nodeCoords, 3 * static_cast<std::size_t>(m.nNodes));
        for (int f = 0; f < m.nFaces; ++f) {
            float z[4];
            for (int k = 0; k < 4; ++k) z[k] = xyz[2 * m.nNodes + nodes[4 * f + k]];
            if (z[0] == z[1] && z[0] == z[2] && z[0] == z[3]) (z[0] == 0.0f ? bottom : top) = f;
        }
        ASSERT_GE(bottom, 0);
        ASSERT_GE(top, 0);
    }

    const MeshDataFlat& m() const { return mesh->h_mdata_devlink; }

    void setCondition(int face, BoundaryConditionInteractionType type, double nOutside, double kappa = 0.0,
                      bool rough = false, double roughness = 0.0) {
        OpticalBoundaryCondition bc;
        bc.interaction_type = type, bc.refractive_index_real = nOutside, bc.refractive_index_imag = kappa;
        bc.rough_surface = rough, bc.roughness = roughness, bc.faces = {face};
        mesh->setBoundaryConditions({bc});
    }

    // Ray on the bottom face at (0.5, 0.5, 0) entering upwards.
    static Ray entryRay(int face, Vec3 direction) {
        Ray ray;
        ray.position = Vec3(0.5f, 0.5f, 0.0f), ray.direction = direction.normalized();
        ray.payload = 1.0f, ray.face = face, ray.index = 7, ray.rngState = raySeed(7);
        return ray;
    }

    // Ray inside at the top face (0.5, 0.5, 1) leaving upwards.
    static Ray exitRay(Vec3 direction) {
        Ray ray = entryRay(-1, direction);
        ray.position = Vec3(0.5f, 0.5f, 1.0f);
        return ray;
    }

    InterfaceOutcome enter(Ray& ray, Vec3 d) {
        ray = entryRay(bottom, d);
        return interactEntryFace(ray, m());
    }
    InterfaceOutcome leave(Ray& ray, Vec3 d, float nInside = 1.5f) {
        ray = exitRay(d);
        return interactExitFace(ray, m(), top, nInside);
    }
};

}  // namespace

TEST_F(InterfaceOptics, EntryAtNormalIncidenceLosesFourPercentUndeviated) {
    for (const bool rough : {false, true}) {  // roughness 0: smooth even when rough
        setCondition(bottom, TRANSMIT, 1.0, 0.8, rough, 0.0);  // extinction plays no part on entry
        Ray ray;
        EXPECT_EQ(enter(ray, Vec3(0, 0, 1)), InterfaceOutcome::Enter);
        EXPECT_NEAR(ray.payload, 0.96f, 1e-6f);
        expectVecNear(ray.direction, Vec3(0, 0, 1), 1e-7f);
        expectVecNear(ray.hitNormal, Vec3(0, 0, -1), 1e-7f);
        EXPECT_FLOAT_EQ(ray.position.z, 1e-9f);  // offset along the new direction
        EXPECT_EQ(ray.rngState, raySeed(7));     // smooth faces draw nothing
    }
}

TEST_F(InterfaceOptics, EntryRefractionObeysSnellAndSchlick) {
    setCondition(bottom, TRANSMIT, 1.0);
    const Vec3 d(0.5f, 0.0f, std::sqrt(0.75f));  // 30 degrees from the normal
    Ray ray;
    EXPECT_EQ(enter(ray, d), InterfaceOutcome::Enter);
    EXPECT_NEAR(ray.direction.length(), 1.0f, 1e-6f);
    EXPECT_NEAR(1.0f * d.x, 1.5f * ray.direction.x, 1e-6f);
    EXPECT_EQ(ray.direction.y, 0.0f);
    EXPECT_GT(ray.direction.z, 0.0f);
    EXPECT_NEAR(ray.payload, 1.0 - (0.04 + 0.96 * std::pow(1.0 - d.z, 5)), 1e-6);
}

TEST_F(InterfaceOptics, EntryUsesIndexInterpolatedAtEntryPoint) {
    // n = 2 on the bottom nodes, 1 on the top ones: 2 at the entry point.
    const std::vector<float> xyz = fetch(m().nodeCoords, 3 * static_cast<std::size_t>(m().nNodes));
    std::vector<float> n(static_cast<std::size_t>(m().nNodes));
    for (int i = 0; i < m().nNodes; ++i) n[i] = xyz[2 * m().nNodes + i] == 0.0f ? 2.0f : 1.0f;
    dev::upload(m().refrIndex, n.data(), n.size());
    setCondition(bottom, TRANSMIT, 1.0);
    Ray ray;
    enter(ray, Vec3(0, 0, 1));
    EXPECT_NEAR(ray.payload, 1.0f - 1.0f / 9.0f, 1e-6f);
    // A non-positive interpolated index counts as 1: no loss from 1 into 1.
    std::fill(n.begin(), n.end(), 0.0f);
    dev::upload(m().refrIndex, n.data(), n.size());
    enter(ray, Vec3(0, 0, 1));
    EXPECT_FLOAT_EQ(ray.payload, 1.0f);
}

TEST_F(InterfaceOptics, EntryWithUnusableNodeTakesInsideIndexOne) {
    const int broken = m().nNodes;  // out of range
    dev::upload(m().elementNodes + 3, &broken, 1);
    setCondition(bottom, TRANSMIT, 1.0);
    Ray ray = entryRay(bottom, Vec3(0, 0, 1));
    ray.element = 5;  // not an element: the face's element is used
    EXPECT_EQ(interactEntryFace(ray, m()), InterfaceOutcome::Enter);
    EXPECT_FLOAT_EQ(ray.payload, 1.0f);
}

TEST_F(InterfaceOptics, EntryEndsOnReflectFaceAndOnTotalReflection) {
    setCondition(bottom, REFLECT, 1.0);
    const Vec3 d = Vec3(1, 0, 1).normalized();
    Ray ray;
    EXPECT_EQ(enter(ray, d), InterfaceOutcome::End);
    expectVecNear(ray.direction, Vec3(d.x, 0, -d.z), 1e-6f);
    EXPECT_FLOAT_EQ(ray.payload, 1.0f);
    setCondition(bottom, TRANSMIT, 2.0);  // 2 sin 60 > 1.5
    EXPECT_EQ(enter(ray, Vec3(0.8660254f, 0.0f, 0.5f)), InterfaceOutcome::End);
}

TEST_F(InterfaceOptics, MissingConditionIsTransparentAtEntryAndLeavesAtExit) {
    mesh->setBoundaryConditions({});
    const Vec3 d = Vec3(0.3f, 0.2f, 1.0f).normalized();
    Ray ray;
    EXPECT_EQ(enter(ray, d), InterfaceOutcome::Enter);
    expectVecNear(ray.position, Vec3(0.5f, 0.5f, 0.0f), 0.0f);
    expectVecNear(ray.direction, d.normalized(), 0.0f);
    EXPECT_EQ(ray.payload, 1.0f);
    expectVecNear(ray.hitNormal, Vec3(0, 0, -1), 1e-7f);
    EXPECT_EQ(leave(ray, d), InterfaceOutcome::End);
    EXPECT_EQ(interactExitFace(ray, m(), -1, 1.5f), InterfaceOutcome::End);
    EXPECT_EQ(interactExitFace(ray, m(), m().nFaces, 1.5f), InterfaceOutcome::End);
    expectVecNear(ray.direction, d.normalized(), 0.0f);
}

TEST_F(InterfaceOptics, ExitAt45DegreesFromDenseMediumIsTotalReflection) {
    setCondition(top, TRANSMIT, 1.0);
    Ray ray = exitRay(Vec3(kSin45, 0.0f, kSin45));
    ray.payload = 0.7f;
    EXPECT_EQ(interactExitFace(ray, m(), top, 1.5f), InterfaceOutcome::Stay);
    expectVecNear(ray.direction, Vec3(kSin45, 0.0f, -kSin45), 1e-6f);
    EXPECT_EQ(ray.payload, 0.7f);
    expectVecNear(ray.hitNormal, Vec3(0, 0, -1), 1e-7f);  // back into the element
    EXPECT_EQ(leave(ray, Vec3(0.5f, 0.0f, 0.8660254f)), InterfaceOutcome::End);  // below the critical angle
    EXPECT_EQ(ray.payload, 1.0f);
}

TEST_F(InterfaceOptics, ReflectExitWeightsPowerByReflectance) {
    setCondition(top, REFLECT, 1.5);  // matched, no extinction: R = 0 at normal incidence
    Ray ray;
    EXPECT_EQ(leave(ray, Vec3(0, 0, 1)), InterfaceOutcome::Stay);
    EXPECT_EQ(ray.payload, 0.0f);
    expectVecNear(ray.direction, Vec3(0, 0, -1), 1e-7f);
    EXPECT_FLOAT_EQ(ray.position.z, 1.0f);  // the 1e-9 offset is below float resolution at z = 1
    const float kappa = 0.7f;               // extinction raises R0
    setCondition(top, REFLECT, 1.0, kappa);
    EXPECT_EQ(leave(ray, Vec3(0, 0, 1)), InterfaceOutcome::Stay);
    EXPECT_NEAR(ray.payload, (0.25f + kappa * kappa) / (6.25f + kappa * kappa), 1e-6f);
    setCondition(top, REFLECT, 1.0);  // non-positive inside index counts as 1
    leave(ray, Vec3(0, 0, 1), -2.0f);
    EXPECT_EQ(ray.payload, 0.0f);
}

TEST(SchlickReflectance, GrazingAndClampedIncidenceReflectEverything) {
    const Vec3 N(0, 0, 1);
    for (float n2 : {1.0f, 1.5f, 3.0f}) {
        EXPECT_FLOAT_EQ(schlickReflectance(N, Vec3(1, 0, 0), 1.0f, n2, 0.0f, false), 1.0f);
        EXPECT_FLOAT_EQ(schlickReflectance(N, Vec3(0, 0.6f, 0.8f), 1.2f, n2, 0.3f, true), 1.0f);
    }
    // Kappa counts only when asked for.
    EXPECT_NEAR(schlickReflectance(N, Vec3(0, 0, -1), 1.0f, 1.5f, 2.0f, false), 0.04f, 1e-7f);
    EXPECT_NEAR(schlickReflectance(N, Vec3(0, 0, -1), 1.0f, 1.0f, 2.0f, true), 0.5f, 1e-7f);
}

TEST_F(InterfaceOptics, RoughFacesAreReproducibleAndAdvanceTheSeed) {
    setCondition(bottom, TRANSMIT, 1.0, 0.0, true, 0.3);
    Ray a, b;
    EXPECT_EQ(enter(a, Vec3(0, 0, 1)), InterfaceOutcome::Enter);
    EXPECT_EQ(enter(b, Vec3(0, 0, 1)), InterfaceOutcome::Enter);
    EXPECT_NE(a.rngState, raySeed(7));
    EXPECT_NE(a.rngState, 0u);
    EXPECT_EQ(a.rngState, b.rngState);
    expectVecNear(a.direction, b.direction, 0.0f);
    EXPECT_EQ(a.payload, b.payload);
    // The microfacet normal is reported, and it is not the geometric one.
    EXPECT_NEAR(a.hitNormal.length(), 1.0f, 1e-6f);
    EXPECT_LT(a.hitNormal.z, -0.5f);
    EXPECT_GT(a.hitNormal.z, -1.0f);
    // Rough exit: a second interaction continues from the new seed.
    setCondition(top, REFLECT, 1.0, 0.0, true, 0.3);
    Ray c = exitRay(Vec3(0, 0, 1));
    c.rngState = a.rngState;
    EXPECT_EQ(interactExitFace(c, m(), top, 1.5f), InterfaceOutcome::Stay);
    EXPECT_NE(c.rngState, a.rngState);
    EXPECT_LE(c.hitNormal.dot(Vec3(0, 0, 1)), 0.0f);
    EXPECT_LT(c.direction.z, 0.0f);
}

TEST(MicrofacetNormal, DependsOnIndexZeroSeedStartsFromRaySeedAndFacesTheRay) {
    const Vec3 N = Vec3(0.2f, -0.3f, 0.9f).normalized(), d = Vec3(0.5f, 0.1f, -0.6f).normalized();
    std::uint64_t s1 = 12345, s3 = 12345, zero = 0, initial = raySeed(9);
    const Vec3 m1 = sampleMicrofacetNormal(N, 0.8f, s1, 3, d), m3 = sampleMicrofacetNormal(N, 0.8f, s3, 4, d);
    EXPECT_NE(s1, s3);
    EXPECT_NE(s1, 12345u);
    EXPECT_FALSE(m1.x == m3.x && m1.y == m3.y && m1.z == m3.z);
    expectVecNear(sampleMicrofacetNormal(N, 0.8f, zero, 9, d), sampleMicrofacetNormal(N, 0.8f, initial, 9, d), 0.0f);
    EXPECT_EQ(zero, initial);
    // Many draws: unit, facing the ray, never a zero seed.
    std::uint64_t seed = 1;
    std::set<std::uint64_t> seen;
    for (int i = 0; i < 2000; ++i) {
        const Vec3 m = sampleMicrofacetNormal(N, 2.0f, seed, i, d);
        ASSERT_NEAR(m.length(), 1.0f, 1e-5f);
        ASSERT_LE(m.dot(d), 0.0f);
        ASSERT_NE(seed, 0u);
        seen.insert(seed);
    }
    EXPECT_EQ(seen.size(), 2000u);
}

TEST(MicrofacetNormal, BeckmannSlopesMatchRoughness) {
    // tan^2(theta) is exponential with mean a^2; azimuth is uniform.
    double previousMeanCos = 1.0;
    for (float a : {0.01f, 0.1f, 0.3f, 0.6f}) {
        std::uint64_t seed = raySeed(42);
        const int n = 20000;
        double sumCos = 0.0, sumTan2 = 0.0, sumX = 0.0, sumY = 0.0;
        for (int i = 0; i < n; ++i) {
            const Vec3 m = sampleMicrofacetNormal(Vec3(0, 0, 1), a, seed, i, Vec3(0, 0, -1));
            sumCos += m.z, sumX += m.x, sumY += m.y;
            sumTan2 += (1.0 - double(m.z) * m.z) / (double(m.z) * m.z);
        }
        EXPECT_NEAR(sumTan2 / n, double(a) * a, 0.05 * a * a) << "a = " << a;
        EXPECT_NEAR(sumX / n, 0.0, 0.02 + a * 0.02) << "a = " << a;
        EXPECT_NEAR(sumY / n, 0.0, 0.02 + a * 0.02) << "a = " << a;
        EXPECT_LT(sumCos / n, previousMeanCos);
        if (a == 0.01f) {
            EXPECT_GT(sumCos / n, 0.9999);
        }
        previousMeanCos = sumCos / n;
    }
}

// Largest gap between the empirical CDF of `x` and 1 - exp(-x / mean).
double ksDistanceToExponential(std::vector<double> x, double mean) {
    std::sort(x.begin(), x.end());
    const double n = static_cast<double>(x.size());
    double d = 0.0;
    for (std::size_t k = 0; k < x.size(); ++k) {
        const double cdf = 1.0 - std::exp(-x[k] / mean);
        d = std::max({d, std::fabs(cdf - k / n), std::fabs((k + 1) / n - cdf)});
    }
    return d;
}

TEST(MicrofacetNormal, FreshRaysDrawDistinctBeckmannNormals) {
    // First rough interaction of every ray of a freshly loaded set: each ray on
    // its own starting seed. The normals must differ from ray to ray and their
    // slopes follow tan^2(theta) ~ Exp(mean a^2), the law a wrong roughness fails.
    const float a = 0.3f;
    const int n = 20000;
    std::vector<double> tan2;
    std::set<std::uint64_t> nextSeeds;
    std::set<float> xs;
    for (int i = 0; i < n; ++i) {
        std::uint64_t seed = raySeed(static_cast<std::uint64_t>(i));
        const Vec3 m = sampleMicrofacetNormal(Vec3(0, 0, 1), a, seed, i, Vec3(0, 0, -1));
        tan2.push_back((1.0 - double(m.z) * m.z) / (double(m.z) * m.z));
        nextSeeds.insert(seed);
        xs.insert(m.x);
    }
    EXPECT_EQ(nextSeeds.size(), std::size_t(n));
    EXPECT_GT(xs.size(), std::size_t(n * 0.99));
    const double critical = 1.63 / std::sqrt(double(n));  // KS at 1 % significance
    EXPECT_LT(ksDistanceToExponential(tan2, double(a) * a), critical);
    EXPECT_GT(ksDistanceToExponential(tan2, 1.2 * 1.2 * double(a) * a), critical);
}

TEST(RayRandom, UniformInHalfOpenUnitIntervalAndStreamsDiffer) {
    RayRandom r(99, 0), same(99, 0), other(99, 1);
    double sum = 0.0;
    float lo = 1.0f, hi = 0.0f;
    for (int i = 0; i < 100000; ++i) {
        const float u = r.uniform();
        sum += u, lo = std::fmin(lo, u), hi = std::fmax(hi, u);
    }
    EXPECT_GT(lo, 0.0f);
    EXPECT_LE(hi, 1.0f);
    EXPECT_NEAR(sum / 100000, 0.5, 0.005);
    int equal = 0;
    for (int i = 0; i < 100; ++i) equal += same.next32() == other.next32();
    EXPECT_EQ(equal, 0);
}
