// Tests of the graded-index ray integrators on a single hexahedron.
#include "mesh/HEX8Element.hpp"
#include "tracer/Solver.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <vector>

namespace {

using Field = std::array<float, 8>;

Field uniform(float v) { return {v, v, v, v, v, v, v, v}; }

const Field kN15 = uniform(1.5f), kZero = uniform(0.0f);

// The unit cube, optionally under x -> A x, from host arrays. Nodal volumes
// differ per node so that a mix-up of the volume weighting shows.
HEX8Element makeElement(const float (*A)[3] = nullptr) {
    const float cube[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
    std::vector<float> coords(24), mass(8);
    std::vector<int> conn{0, 1, 2, 3, 4, 5, 6, 7};
    for (int k = 0; k < 8; ++k) {
        for (int i = 0; i < 3; ++i)
            coords[i * 8 + k] = A ? A[i][0] * cube[k][0] + A[i][1] * cube[k][1] + A[i][2] * cube[k][2] : cube[k][i];
        mass[k] = 0.1f + 0.05f * k;
    }
    MeshDataFlat m{};
    m.nNodes = 8, m.nodeCoords = coords.data(), m.nodalMass = mass.data(), m.elementNodes = conn.data();
    HEX8Element el;
    el.load(m, 0);
    return el;
}

StateVector state(Vec3 pos, Vec3 dir, float E) {
    StateVector S{};
    S.pos = pos, S.dir = dir, S.E = E;
    return S;
}

// `steps` steps of forward Euler (rk4 false) or Runge-Kutta 4.
StateVector run(bool rk4, HEX8Element& el, StateVector S, const Field& n, const Field& a, float h, int steps) {
    for (int i = 0; i < steps; ++i)
        rk4 ? RungeKutta4<HEX8Element>().integrate(&S, el, n.data(), a.data(), h)
            : ForwardEuler<HEX8Element>().integrate(&S, el, n.data(), a.data(), h);
    return S;
}

// Absorbed power of a state: the per-node shares weighted by the nodal volumes.
double deposited(const StateVector& S, const HEX8Element& el) {
    double sum = 0.0;
    for (int k = 0; k < 8; ++k) sum += static_cast<double>(S.absorbed[k]) * el.C[k];
    return sum;
}

// Each test runs forward Euler (false) and Runge-Kutta 4 (true).
class Integrator : public testing::TestWithParam<bool> {};

}  // namespace

TEST_P(Integrator, MatchedIndexWithoutAbsorptionRunsStraightAndKeepsPower) {
    const float A[3][3] = {{1.0f, 0.3f, 0.1f}, {0.0f, 1.5f, 0.0f}, {0.2f, 0.0f, 2.0f}};  // parallelepiped
    const Vec3 T(0.5f, 1.0f, 1.0f);                                                       // |T| = n = 1.5
    HEX8Element el = makeElement(A);
    const StateVector S0 = state(Vec3(-0.6f, -0.2f, 0.1f), T, 2.0f);
    const StateVector S = run(GetParam(), el, S0, kN15, kZero, 0.1f, 5);
    EXPECT_EQ(S.E, 2.0f);
    EXPECT_NEAR((S.dir - T).length(), 0.0f, 1e-5f);
    EXPECT_NEAR(S.s, 5 * 0.1f * 1.5f, 1e-5f);
    EXPECT_NEAR((el.toPhysical(S.pos) - el.toPhysical(S0.pos) - T * 0.5f).length(), 0.0f, 1e-5f);  // dr/dt = T
    for (float v : S.absorbed) EXPECT_EQ(v, 0.0f);
}

TEST_P(Integrator, LinearIndexBendsTowardsHigherIndex) {
    const Field n = {1.3f, 1.5f, 1.5f, 1.3f, 1.3f, 1.5f, 1.5f, 1.3f};  // n = 1.3 + 0.2 x
    HEX8Element el = makeElement();
    const StateVector S = run(GetParam(), el, state(Vec3(0, 0, -0.8f), Vec3(0, 0, 1.4f), 1.0f), n, kZero, 0.1f, 3);
    EXPECT_NEAR(S.dir.x, 0.3f * 1.4f * 0.2f, 2e-3f);  // dT/dt = n grad n
    EXPECT_GT(el.toPhysical(S.pos).x, 0.5f);
    EXPECT_NEAR(S.dir.length(), el.interpolate(n.data(), S.pos), 2e-3f);  // |T| follows the local index
}

TEST(ForwardEuler, StepAbsorbsBeerLambertShareByNode) {
    HEX8Element el = makeElement();
    const Vec3 p0(0.3f, -0.5f, 0.2f);
    float N[8];
    HEX8Element::shapeValuesAt(p0, N);
    const StateVector S = run(false, el, state(p0, Vec3(0, 0, 1.4f), 2.0f), uniform(1.4f), uniform(0.5f), 0.1f, 1);
    const float lost = 2.0f * 0.5f * 1.4f * 0.1f;
    EXPECT_NEAR(S.E, 2.0f - lost, 2e-6f);
    EXPECT_NEAR(deposited(S, el), 2.0 - S.E, 2e-6);
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(S.absorbed[k] * el.C[k], N[k] * lost, 1e-7f) << k;
}

TEST_P(Integrator, StepNeverGainsPowerAndConservesItUpToOpacity) {
    // alpha n h from weak to opaque; 5 and 10 made the unclamped RK4 stages
    // multiply the power. While every RK4 stage power stays positive (up to
    // about 1.3 for uniform fields) the stage clamp must not touch the step.
    for (float x : {0.25f, 0.5f, 1.0f, 1.25f, 2.0f, 3.0f, 5.0f, 6.5f, 10.0f, 30.0f}) {
        SCOPED_TRACE(testing::Message() << "alpha n h " << x);
        HEX8Element el = makeElement();
        const StateVector S = run(GetParam(), el, state(Vec3(0.1f, 0.2f, -0.3f), Vec3(0, 1.5f, 0), 1.0f), kN15,
                                  uniform(x / (1.5f * 0.1f)), 0.1f, 1);
        EXPECT_GE(S.E, 0.0f);
        EXPECT_LE(S.E, 1.0f);
        for (float v : S.absorbed) EXPECT_GE(v, 0.0f);
        EXPECT_NEAR(deposited(S, el) + S.E, 1.0, 1e-6);
        const double x2 = double(x) * x;
        if (GetParam() && x <= 1.25f) {
            EXPECT_NEAR(S.E, 1.0 - x + x2 / 2 - x2 * x / 6 + x2 * x2 / 24, 1e-6);
        }
    }
}

TEST_P(Integrator, NonPositivePowerEndsAtZeroWithFiniteState) {
    for (float E0 : {0.0f, -1.0f})
        for (float alpha : {0.0f, 2.0f}) {
            HEX8Element el = makeElement();
            const StateVector S = run(GetParam(), el, state(Vec3(), Vec3(1.5f, 0, 0), E0), kN15, uniform(alpha), 0.1f, 2);
            EXPECT_EQ(S.E, 0.0f);
            for (float v : S.absorbed) EXPECT_TRUE(std::isfinite(v)) << E0 << " " << alpha;
            EXPECT_TRUE(std::isfinite(S.pos.x) && std::isfinite(S.s));
        }
}

INSTANTIATE_TEST_SUITE_P(ForwardEulerAndRK4, Integrator, testing::Bool());
