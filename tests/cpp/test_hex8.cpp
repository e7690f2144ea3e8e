// Tests of the trilinear hexahedron: loading, mappings, caches, Newton search,
// exit faces, face transfer and volume.
#include "mesh/HEX8Element.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

namespace {

const Vec3 kCube[8] = {{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, {0, 0, 1}, {1, 0, 1}, {1, 1, 1}, {0, 1, 1}};

// Host arrays behind a MeshDataFlat (on the CPU backend device memory is host memory).
struct HostMesh {
    std::vector<float> coords, mass;
    std::vector<int> conn;
    MeshDataFlat m;
    HostMesh(const std::vector<Vec3>& nodes, std::vector<int> elementNodes) : conn(std::move(elementNodes)) {
        const int n = static_cast<int>(nodes.size());
        coords.resize(3 * n);
        for (int i = 0; i < n; ++i) {
            for (int c = 0; c < 3; ++c) coords[c * n + i] = nodes[i][c];
            mass.push_back(0.5f + i);
        }
        std::memset(&m, 0, sizeof m);
        m.nNodes = n;
        m.nodeCoords = coords.data();
        m.nodalMass = mass.data();
        m.elementNodes = conn.data();
    }
};

// Unit cube, optionally with node 6 lifted to z = 2 (top face z = 1 + x y).
HEX8Element cube(bool lifted = false) {
    HEX8Element e;
    for (int k = 0; k < 8; ++k) e.nodes[k] = kCube[k];
    if (lifted) e.nodes[6].z = 2.0f;
    return e;
}

void expectNear(const Vec3& a, const Vec3& b, float tol) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
}

}  // namespace

TEST(Hex8Element, LoadReadsMeshAndResetsReusedSlot) {
    std::vector<Vec3> nodes(kCube, kCube + 8);
    for (int k = 0; k < 8; ++k) nodes.push_back(kCube[k] + Vec3(5, 0, 0));
    HostMesh mesh(nodes, {0, 1, 2, 3, 4, 5, 6, 7, 9, 10, 11, 8, 13, 14, 15, 12});
    HEX8Element e;
    EXPECT_FALSE(e.loaded);
    e.load(mesh.m, 0);
    e.inverseJacobian(Vec3(0.1f, 0.2f, 0.3f));
    e.shapeFunctions(Vec3(0.1f, 0.2f, 0.3f));
    ASSERT_NEAR(e.Jinv[0][0], 2.0, 1e-6);

    e.load(mesh.m, 1);
    EXPECT_TRUE(e.loaded);
    EXPECT_EQ(e.elementIndex, 1);
    for (int k = 0; k < 8; ++k) {
        expectNear(e.nodes[k], nodes[mesh.conn[8 + k]], 0.0f);
        EXPECT_EQ(e.C[k], mesh.mass[mesh.conn[8 + k]]);
    }
    for (const Vec3* key : {&e.keyJ, &e.keyJinv, &e.keyN, &e.keydN}) expectNear(*key, Vec3(-100, -100, -100), 0.0f);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(e.Jinv[i / 3][i % 3], 0.0);
}

TEST(Hex8Element, ShapeFunctionsJacobianAndVolume) {
    HEX8Element e = cube(true);
    e.shapeFunctions(Vec3(0, 0, 0));
    Vec3 mean;
    for (int k = 0; k < 8; ++k) mean += e.nodes[k] * 0.125f;
    for (int k = 0; k < 8; ++k) EXPECT_EQ(e.N[k], 0.125f);
    expectNear(e.toPhysical(Vec3(0, 0, 0)), mean, 1e-6f);
    for (int k = 0; k < 8; ++k)  // each reference corner maps onto its node
        expectNear(e.toPhysical(kCube[k] * 2.0f - Vec3(1, 1, 1)), e.nodes[k], 1e-6f);
    // Top face z = 1 + x y: volume 1.25, integrated exactly by the 2-point rule.
    EXPECT_NEAR(e.computeVolume(), 1.25, 1e-6);

    HEX8Element unit = cube();
    unit.inverseJacobian(Vec3(0.3f, -0.7f, 0.1f));
    for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR(unit.J[i / 3][i % 3], i % 4 == 0 ? 0.5 : 0.0, 1e-7);
        EXPECT_NEAR(unit.Jinv[i / 3][i % 3], i % 4 == 0 ? 2.0 : 0.0, 1e-6);
    }
    EXPECT_NEAR(unit.computeVolume(), 1.0, 1e-6);
    EXPECT_EQ(unit.volume, hex8Volume(kCube));
    // Frustum, base 2x2, top 1x1, height 1: det J is quadratic in zeta; volume 7/3.
    Vec3 frustum[8];
    for (int k = 0; k < 4; ++k) frustum[k] = kCube[k] * 2.0f;
    for (int k = 4; k < 8; ++k) frustum[k] = kCube[k - 4] + Vec3(0.5f, 0.5f, 1);
    EXPECT_NEAR(hex8Volume(frustum), 7.0 / 3.0, 1e-6);
    for (int k = 0; k < 4; ++k) std::swap(frustum[k], frustum[k + 4]);  // inverted
    EXPECT_NEAR(hex8Volume(frustum), -7.0 / 3.0, 1e-6);
}

TEST(Hex8Element, LinearFieldAndNaturalDirection) {
    // Trilinear elements reproduce linear fields exactly, however distorted.
    HEX8Element e = cube(true);
    const Vec3 a(1.5f, -2.0f, 0.75f);
    float f[8];
    for (int k = 0; k < 8; ++k) f[k] = a.dot(e.nodes[k]) + 0.25f;
    for (const Vec3& xi : {Vec3(0, 0, 0), Vec3(0.4f, -0.3f, 0.8f), Vec3(-0.9f, 0.9f, -0.5f)}) {
        EXPECT_NEAR(e.interpolate(f, xi), a.dot(e.toPhysical(xi)) + 0.25f, 1e-5f);
        expectNear(e.gradient(f, xi), a, 1e-5f);
    }
    HEX8Element box;  // edges 2, 3, 4: natural units per physical unit are 2/L
    for (int k = 0; k < 8; ++k) box.nodes[k] = Vec3(2 * kCube[k].x, 3 * kCube[k].y, 4 * kCube[k].z);
    expectNear(box.naturalDirection(Vec3(0.2f, 0.1f, -0.4f), Vec3(1, 3, -2)), Vec3(1, 2, -1), 1e-6f);
}

TEST(Hex8Element, NewtonSearchConvergesAndClampsOutsidePoints) {
    HEX8Element e = cube(true);
    const Vec3 target(0.35f, -0.6f, 0.7f), p = e.toPhysical(target);
    for (int face = -1; face < 6; ++face) expectNear(e.toNatural(p, hex8FaceCentre(face)), target, 1e-4f);
    const Vec3 xi = e.toNatural(Vec3(1.5f, 0.5f, 0.5f), Vec3(0, 0, 0));  // beyond the face x = 1
    EXPECT_EQ(xi.x, 1.0f);
    EXPECT_LE(e.overshootError(xi), 0.0f);
}

TEST(Hex8Element, CacheSharesClosePointsAndFollowsChain) {
    HEX8Element e = cube();
    const Vec3 a(0, 0, 0), nearA(1e-11f, 0, -1e-11f), b(1e-9f, 0, 0);
    e.shapeFunctions(a);
    e.N[0] = 42.0f;  // marks the stored values
    e.shapeFunctions(nearA);
    EXPECT_EQ(e.N[0], 42.0f);
    e.shapeFunctions(b);
    e.shapeFunctions(a);
    EXPECT_EQ(e.N[0], 0.125f);

    e.inverseJacobian(b);  // refreshes J and dN on the way, not N
    for (const Vec3* key : {&e.keyJinv, &e.keyJ, &e.keydN}) expectNear(*key, b, 0.0f);
    expectNear(e.keyN, a, 0.0f);
    e.Jinv[0][0] = 42.0;
    e.inverseJacobian(b);
    EXPECT_EQ(e.Jinv[0][0], 42.0);
    e.inverseJacobian(a);
    EXPECT_NEAR(e.Jinv[0][0], 2.0, 1e-6);
}

TEST(Hex8Element, DegenerateElementKeepsPreviousInverse) {
    std::vector<Vec3> flat(kCube, kCube + 8);
    for (Vec3& v : flat) v.z = 0.0f;
    HostMesh mesh(flat, {0, 1, 2, 3, 4, 5, 6, 7});
    HEX8Element e;
    e.load(mesh.m, 0);  // fresh: the inverse stays at its defined zeros
    e.inverseJacobian(Vec3(0.1f, 0.2f, 0.3f));
    EXPECT_EQ(determinant3x3(e.J), 0.0);
    for (int i = 0; i < 9; ++i) EXPECT_EQ(e.Jinv[i / 3][i % 3], 0.0);
    EXPECT_EQ(e.computeVolume(), 0.0);

    HEX8Element c = cube();  // collapses after a good inversion
    c.inverseJacobian(Vec3(0, 0, 0));
    for (Vec3& v : c.nodes) v.z = 0.0f;
    c.inverseJacobian(Vec3(0.5f, 0.5f, 0.5f));
    EXPECT_NEAR(c.Jinv[2][2], 2.0, 1e-6);
}

TEST(Hex8Element, ExitFaceOvershootAndInsideTest) {
    const HEX8Element e;
    const Vec3 u;
    EXPECT_EQ(e.getExitFace(u, Vec3(1.0005f, 0.2f, -0.3f)), 3);
    EXPECT_EQ(e.getExitFace(u, Vec3(1.0005f, 1.0005f, 0)), 3);  // ties: xi before eta before zeta
    EXPECT_EQ(e.getExitFace(u, Vec3(0, 1.1f, -1.1f)), 5);
    EXPECT_EQ(e.getExitFace(u, Vec3(-1.2f, 0, -1.2f)), 2);
    EXPECT_EQ(e.getExitFace(u, Vec3(0, 0, -1.0002f)), 0);
    EXPECT_EQ(e.getExitFace(u, Vec3(0.1f, 0, 1.3f)), 1);
    EXPECT_EQ(e.getExitFace(u, Vec3(0, -1.01f, 0.5f)), 4);
    EXPECT_EQ(e.getExitFace(u, Vec3(0.5f, 0.9f, 0)), 5);  // inside: nearest face
    EXPECT_EQ(e.getExitFace(u, Vec3(NAN, NAN, NAN)), -1);
    EXPECT_NEAR(e.overshootError(Vec3(0.2f, -1.003f, 0.5f)), 0.003f, 1e-6f);
    EXPECT_FLOAT_EQ(e.overshootError(Vec3(0.5f, 0, -0.25f)), -0.5f);
    EXPECT_TRUE(HEX8Element::isInside(Vec3(0.999f, -0.999f, 0)));
    EXPECT_FALSE(HEX8Element::isInside(Vec3(1.0f, 0, 0)));  // on a face counts as outside
    EXPECT_FALSE(HEX8Element::isInside(Vec3(0, 0, -1.0f)));
}

TEST(Hex8Element, TransferAcrossFaceMapsOrientationCodes) {
    const HEX8Element e;
    expectNear(e.transferAcrossFace(Vec3(1.0004f, 0.3f, -0.6f), 3, 2, 0), Vec3(-1, 0.3f, -0.6f), 0.0f);
    // Out through zeta = +1: (u, v) = (xi, eta); in through eta = -1: pair lands on (zeta, xi).
    const float u = 0.2f, v = 0.7f;
    const float mapped[9][2] = {{u, v}, {u, -v}, {-u, v}, {-u, -v}, {v, u}, {v, -u}, {-v, u}, {-v, -u}, {u, v}};
    const int codes[9] = {0, 1, 2, 3, 4, 5, 6, 7, 255};
    for (int c = 0; c < 9; ++c)
        expectNear(e.transferAcrossFace(Vec3(u, v, 1.01f), 1, 4, codes[c]), Vec3(mapped[c][1], -1, mapped[c][0]), 0.0f);
    // In-face coordinates beyond the face edge are clamped.
    expectNear(e.transferAcrossFace(Vec3(0.9f, -1.2f, 1.3f), 4, 5, 0), Vec3(0.9f, 1, 1), 0.0f);
}
