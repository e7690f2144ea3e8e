// Tests of the graded-index ray integrators on a single hexahedron.
#include "mesh/HEX8Element.hpp"
#include "tracer/Solver.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

using FE = ForwardEuler<HEX8Element>;
using RK = RungeKutta4<HEX8Element>;

// One element loaded from host arrays (device memory is host memory on the CPU
// backend): the unit cube, optionally under the affine map x -> A x. Nodal
// volumes differ per node so that a mix-up of the volume weighting shows.
HEX8Element makeElement(const float (*A)[3] = nullptr) {
    const float cube[8][3] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0},
                              {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};
    std::vector<float> coords(24), mass(8);
    std::vector<int> conn{0, 1, 2, 3, 4, 5, 6, 7};
    for (int k = 0; k < 8; ++k) {
        for (int i = 0; i < 3; ++i)
            coords[i * 8 + k] = A ? A[i][0] * cube[k][0] + A[i][1] * cube[k][1] + A[i][2] * cube[k][2] : cube[k][i];
        mass[k] = 0.1f + 0.05f * k;
    }
    MeshDataFlat m;
    std::memset(&m, 0, sizeof m);
    m.nNodes = 8;
    m.nodeCoords = coords.data();
    m.nodalMass = mass.data();
    m.elementNodes = conn.data();
    HEX8Element el;
    el.load(m, 0);
    return el;
}

StateVector state(Vec3 pos, Vec3 dir, float E) {
    StateVector S;
    S.pos = pos;
    S.dir = dir;
    S.s = 0.0f;
    S.E = E;
    for (float& v : S.absorbed) v = 0.0f;
    return S;
}

template <class Integrator>
StateVector run(HEX8Element& el, StateVector S, const float n[8], const float a[8], float h, int steps) {
    for (int i = 0; i < steps; ++i) Integrator().integrate(&S, el, n, a, h);
    return S;
}

// Absorbed power of a state: the per-node shares weighted by the nodal volumes.
double deposited(const StateVector& S, const HEX8Element& el) {
    double sum = 0.0;
    for (int k = 0; k < 8; ++k) sum += static_cast<double>(S.absorbed[k]) * el.C[k];
    return sum;
}

void expectNear(const Vec3& a, const Vec3& b, float tol) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

const float kN15[8] = {1.5f, 1.5f, 1.5f, 1.5f, 1.5f, 1.5f, 1.5f, 1.5f};
const float kZero[8] = {};

}  // namespace

TEST(Solver, MatchedIndexWithoutAbsorptionRunsStraightAndKeepsPower) {
    const float A[3][3] = {{1.0f, 0.3f, 0.1f}, {0.0f, 1.5f, 0.0f}, {0.2f, 0.0f, 2.0f}};  // parallelepiped
    const Vec3 T(0.5f, 1.0f, 1.0f);  // |T| = n = 1.5
    for (int solver = 0; solver < 2; ++solver) {
        HEX8Element el = makeElement(A);
        const StateVector S0 = state(Vec3(-0.6f, -0.2f, 0.1f), T, 2.0f);
        const StateVector S = solver ? run<RK>(el, S0, kN15, kZero, 0.1f, 5) : run<FE>(el, S0, kN15, kZero, 0.1f, 5);
        EXPECT_EQ(S.E, 2.0f);
        expectNear(S.dir, T, 1e-5f);
        EXPECT_NEAR(S.s, 5 * 0.1f * 1.5f, 1e-5f);
        expectNear(el.toPhysical(S.pos) - el.toPhysical(S0.pos), T * 0.5f, 1e-5f);  // dr/dt = T
        for (float v : S.absorbed) EXPECT_EQ(v, 0.0f);
    }
}

TEST(Solver, ForwardEulerStepAbsorbsBeerLambertShareByNode) {
    HEX8Element el = makeElement();
    const float n[8] = {1.4f, 1.4f, 1.4f, 1.4f, 1.4f, 1.4f, 1.4f, 1.4f};
    const float a[8] = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};
    const Vec3 p0(0.3f, -0.5f, 0.2f);
    HEX8Element probe = el;
    probe.shapeFunctions(p0);
    const StateVector S = run<FE>(el, state(p0, Vec3(0, 0, 1.4f), 2.0f), n, a, 0.1f, 1);
    const float lost = 2.0f * 0.5f * 1.4f * 0.1f;
    EXPECT_NEAR(S.E, 2.0f - lost, 2e-6f);
    EXPECT_NEAR(deposited(S, el), 2.0 - S.E, 2e-6);
    for (int k = 0; k < 8; ++k) EXPECT_NEAR(S.absorbed[k] * el.C[k], probe.N[k] * lost, 1e-7f) << k;
}

TEST(Solver, StepNeverGainsPowerAndConservesItUpToOpacity) {
    // alpha n h from weak to opaque; 5 and 10 made the unclamped RK4 stages
    // multiply the power.
    for (float x : {0.5f, 1.3f, 2.0f, 3.0f, 5.0f, 6.5f, 10.0f, 30.0f}) {
        for (int solver = 0; solver < 2; ++solver) {
            HEX8Element el = makeElement();
            const float alpha = x / (1.5f * 0.1f);
            const float a[8] = {alpha, alpha, alpha, alpha, alpha, alpha, alpha, alpha};
            const StateVector S0 = state(Vec3(0.1f, 0.2f, -0.3f), Vec3(0, 1.5f, 0), 1.0f);
            const StateVector S = solver ? run<RK>(el, S0, kN15, a, 0.1f, 1) : run<FE>(el, S0, kN15, a, 0.1f, 1);
            SCOPED_TRACE(testing::Message() << "alpha n h " << x << (solver ? " RK4" : " FE"));
            EXPECT_GE(S.E, 0.0f);
            EXPECT_LE(S.E, 1.0f);
            for (float v : S.absorbed) EXPECT_GE(v, 0.0f);
            EXPECT_NEAR(deposited(S, el) + S.E, 1.0, 1e-6);
        }
    }
}

TEST(Solver, NonPositivePowerEndsAtZeroWithFiniteState) {
    for (float E0 : {0.0f, -1.0f})
        for (float alpha : {0.0f, 2.0f})
            for (int solver = 0; solver < 2; ++solver) {
                HEX8Element el = makeElement();
                const float a[8] = {alpha, alpha, alpha, alpha, alpha, alpha, alpha, alpha};
                const StateVector S0 = state(Vec3(0, 0, 0), Vec3(1.5f, 0, 0), E0);
                const StateVector S = solver ? run<RK>(el, S0, kN15, a, 0.1f, 2) : run<FE>(el, S0, kN15, a, 0.1f, 2);
                EXPECT_EQ(S.E, 0.0f);
                for (float v : S.absorbed) EXPECT_TRUE(std::isfinite(v)) << E0 << " " << alpha << " " << solver;
                EXPECT_TRUE(std::isfinite(S.pos.x) && std::isfinite(S.s));
            }
}

TEST(Solver, LinearIndexBendsTowardsHigherIndex) {
    const float n[8] = {1.3f, 1.5f, 1.5f, 1.3f, 1.3f, 1.5f, 1.5f, 1.3f};  // n = 1.3 + 0.2 x
    for (int solver = 0; solver < 2; ++solver) {
        HEX8Element el = makeElement();
        const StateVector S0 = state(Vec3(0, 0, -0.8f), Vec3(0, 0, 1.4f), 1.0f);
        const StateVector S = solver ? run<RK>(el, S0, n, kZero, 0.1f, 3) : run<FE>(el, S0, n, kZero, 0.1f, 3);
        EXPECT_NEAR(S.dir.x, 0.3f * 1.4f * 0.2f, 2e-3f);  // dT/dt = n grad n
        EXPECT_GT(el.toPhysical(S.pos).x, 0.5f);
        EXPECT_NEAR(S.dir.length(), el.interpolate(n, S.pos), 2e-3f);  // |T| follows the local index
    }
}

TEST(Solver, BaseSolverLeavesStateUntouched) {
    HEX8Element el = makeElement();
    StateVector S = state(Vec3(0.1f, 0.2f, 0.3f), Vec3(0, 1.5f, 0), 3.0f);
    S.s = 0.7f;
    const StateVector before = S;
    Solver<HEX8Element>().integrate(&S, el, kN15, kN15, 0.1f);
    EXPECT_EQ(std::memcmp(&S, &before, sizeof S), 0);
}

TEST(RungeKutta4, WeakAbsorptionFollowsTheClassicAmplification) {
    // While every stage power stays positive (alpha n h up to about 1.3 for
    // uniform fields) the stage clamp must not touch the step.
    for (float x : {0.25f, 0.5f, 1.0f, 1.25f}) {
        HEX8Element el = makeElement();
        const float alpha = x / (1.5f * 0.1f);
        const float a[8] = {alpha, alpha, alpha, alpha, alpha, alpha, alpha, alpha};
        const StateVector S = run<RK>(el, state(Vec3(), Vec3(0, 0, 1.5f), 1.0f), kN15, a, 0.1f, 1);
        const double x2 = double(x) * x;
        EXPECT_NEAR(S.E, 1.0 - x + x2 / 2 - x2 * x / 6 + x2 * x2 / 24, 1e-6) << x;
    }
}

TEST(RungeKutta4, MoreAccurateThanForwardEulerForExponentialDecay) {
    const float a[8] = {2, 2, 2, 2, 2, 2, 2, 2};  // alpha n = 3: E = exp(-3 t)
    HEX8Element el = makeElement();
    const StateVector S0 = state(Vec3(0, -0.9f, 0), Vec3(0, 1.5f, 0), 1.0f);
    const StateVector fe = run<FE>(el, S0, kN15, a, 0.1f, 10);
    const StateVector rk = run<RK>(el, S0, kN15, a, 0.1f, 10);
    const double exact = std::exp(-3.0);
    EXPECT_LT(std::fabs(rk.E - exact) * 500, std::fabs(fe.E - exact));
    EXPECT_NEAR(rk.E, exact, 3e-5);
    EXPECT_NEAR(deposited(rk, el) + rk.E, 1.0, 1e-6);
    EXPECT_NEAR(deposited(fe, el) + fe.E, 1.0, 1e-6);
}
