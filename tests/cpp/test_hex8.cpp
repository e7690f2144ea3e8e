// Tests of the trilinear hexahedron: loading, mappings, Newton search, exit
// faces, face transfer and volume.
#include "mesh/HEX8Element.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace {

const Vec3 kCube[8] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};

// Unit cube, optionally with node 6 lifted to z = 2 (top face z = 1 + x y).
HEX8Element cube(bool lifted = false) {
    HEX8Element e;
    std::copy(kCube, kCube + 8, e.nodes);
    if (lifted) e.nodes[6].z = 2.0f;
    return e;
}

void expectNear(const Vec3& a, const Vec3& b, float tol) {
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(a[c], b[c], tol) << "component " << c;
}

}  // namespace

TEST(Hex8Element, LoadReadsMeshAndResetsReusedSlot) {
    // Two unit cubes, the second shifted by 5 in x and numbered in a rotated order.
    std::vector<float> coords(48), mass(16);
    for (int i = 0; i < 16; ++i) {
        for (int c = 0; c < 3; ++c) coords[c * 16 + i] = kCube[i % 8][c] + (c == 0 && i >= 8 ? 5.0f : 0.0f);
        mass[i] = 0.5f + i;
    }
    int conn[16] = {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 8, 13, 14, 15, 12};
    MeshDataFlat m;  // on the CPU backend device memory is host memory
    std::memset(&m, 0, sizeof m);
    m.nNodes = 16, m.nodeCoords = coords.data(), m.nodalMass = mass.data(), m.elementNodes = conn;
    HEX8Element e;
    e.load(m, 0);
    e.inverseJacobian(Vec3(0.1f, 0.2f, 0.3f));
    ASSERT_NEAR(e.Jinv[0][0], 2.0, 1e-6);

    e.load(m, 1);
    EXPECT_TRUE(e.loaded);
    EXPECT_EQ(e.elementIndex, 1);
    for (int k = 0; k < 8; ++k) {
        expectNear(e.nodes[k], kCube[conn[8 + k] % 8] + Vec3(5, 0, 0), 0.0f);
        EXPECT_EQ(e.C[k], mass[conn[8 + k]]);
    }
    for (const Vec3* key : {&e.keyJ, &e.keyJinv, &e.keydN}) expectNear(*key, Vec3(-100, -100, -100), 0.0f);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(e.Jinv[i / 3][i % 3], 0.0);
}

TEST(Hex8Element, MappingJacobianVolumeAndDegenerateElement) {
    HEX8Element e = cube(true);
    for (int k = 0; k < 8; ++k)  // each reference corner maps onto its node
        expectNear(e.toPhysical(kCube[k] * 2.0f - Vec3(1, 1, 1)), e.nodes[k], 1e-6f);
    EXPECT_NEAR(e.computeVolume(), 1.25, 1e-6);  // exact for the 2-point rule

    HEX8Element unit = cube();
    unit.inverseJacobian(Vec3(0.3f, -0.7f, 0.1f));
    for (int i = 0; i < 9; ++i) EXPECT_NEAR(unit.Jinv[i / 3][i % 3], i % 4 == 0 ? 2.0 : 0.0, 1e-6);
    // Frustum, base 2x2, top 1x1, height 1: det J is quadratic in zeta; volume 7/3, inverted -7/3.
    Vec3 frustum[8];
    for (int k = 0; k < 4; ++k) frustum[k] = kCube[k] * 2.0f, frustum[k + 4] = kCube[k] + Vec3(0.5f, 0.5f, 1);
    EXPECT_NEAR(hex8Volume(frustum), 7.0 / 3.0, 1e-6);
    for (int k = 0; k < 4; ++k) std::swap(frustum[k], frustum[k + 4]);
    EXPECT_NEAR(hex8Volume(frustum), -7.0 / 3.0, 1e-6);
    for (int trial = 0; trial < 5; ++trial) {  // skewed and twisted: the closed form equals the Gauss rule
        HEX8Element twisted = cube();
        for (int k = 0; k < 8; ++k)
            for (int a = 0; a < 3; ++a) twisted.nodes[k][a] += 0.3f * std::sin(1.3f * (24 * trial + 3 * k + a));
        EXPECT_NEAR(hex8Volume(twisted.nodes), twisted.computeVolume(), 1e-6) << trial;
    }

    HEX8Element c = cube();
    c.inverseJacobian(Vec3(0, 0, 0));
    for (Vec3& v : c.nodes) v.z = 0.0f;  // collapses after a good inversion: the inverse is kept
    c.inverseJacobian(Vec3(0.5f, 0.5f, 0.5f));
    EXPECT_EQ(determinant3x3(c.J), 0.0);
    EXPECT_NEAR(c.Jinv[2][2], 2.0, 1e-6);
    EXPECT_EQ(c.computeVolume(), 0.0);
}

TEST(Hex8Element, LinearFieldsAreExactAndNewtonSearchConverges) {
    HEX8Element e = cube(true);
    const Vec3 a(1.5f, -2.0f, 0.75f);
    float f[8];
    for (int k = 0; k < 8; ++k) f[k] = a.dot(e.nodes[k]) + 0.25f;
    for (const Vec3& xi : {Vec3(0, 0, 0), Vec3(0.4f, -0.3f, 0.8f), Vec3(-0.9f, 0.9f, -0.5f)}) {
        EXPECT_NEAR(e.interpolate(f, xi), a.dot(e.toPhysical(xi)) + 0.25f, 1e-5f);
        expectNear(e.gradient(f, xi), a, 1e-5f);
    }
    const Vec3 target(0.35f, -0.6f, 0.7f), p = e.toPhysical(target);
    for (int face = -1; face < 6; ++face) expectNear(e.toNatural(p, hex8FaceCentre(face)), target, 1e-4f);
    const Vec3 xi = e.toNatural(Vec3(1.5f, 0.5f, 0.5f), Vec3(0, 0, 0));  // beyond the face x = 1: clamped
    EXPECT_EQ(xi.x, 1.0f);
    EXPECT_LE(e.overshootError(xi), 0.0f);
}

TEST(Hex8Element, ExitFaceInsideTestAndTransferAcrossFace) {
    const HEX8Element e;
    const Vec3 o;
    EXPECT_EQ(e.getExitFace(o, Vec3(1.0005f, 1.0005f, 0)), 3);  // ties: xi before eta before zeta
    EXPECT_EQ(e.getExitFace(o, Vec3(0, 1.1f, -1.1f)), 5);
    EXPECT_EQ(e.getExitFace(o, Vec3(-1.2f, 0, -1.2f)), 2);
    EXPECT_EQ(e.getExitFace(o, Vec3(0, 0, -1.0002f)), 0);
    EXPECT_EQ(e.getExitFace(o, Vec3(0.1f, 0, 1.3f)), 1);
    EXPECT_EQ(e.getExitFace(o, Vec3(0, -1.01f, 0.5f)), 4);
    EXPECT_EQ(e.getExitFace(o, Vec3(0.5f, 0.9f, 0)), 5);  // inside: nearest face
    EXPECT_EQ(e.getExitFace(o, Vec3(NAN, NAN, NAN)), -1);
    EXPECT_NEAR(e.overshootError(Vec3(0.2f, -1.003f, 0.5f)), 0.003f, 1e-6f);
    EXPECT_TRUE(HEX8Element::isInside(Vec3(0.999f, -0.999f, 0)));
    EXPECT_FALSE(HEX8Element::isInside(Vec3(1.0f, 0, 0)));  // on a face counts as outside

    // Out through zeta = +1: (u, v) = (xi, eta); in through eta = -1: pair lands on (zeta, xi).
    const float u = 0.2f, v = 0.7f;
    const float mapped[9][2] = {{u, v}, {u, -v}, {-u, v}, {-u, -v}, {v, u}, {v, -u}, {-v, u}, {-v, -u}, {u, v}};
    const int codes[9] = {0, 1, 2, 3, 4, 5, 6, 7, 255};
    for (int c = 0; c < 9; ++c)
        expectNear(e.transferAcrossFace(Vec3(u, v, 1.01f), 1, 4, codes[c]), Vec3(mapped[c][1], -1, mapped[c][0]), 0.0f);
    expectNear(e.transferAcrossFace(Vec3(0.9f, -1.2f, 1.3f), 4, 5, 0), Vec3(0.9f, 1, 1), 0.0f);  // edge clamp
}
