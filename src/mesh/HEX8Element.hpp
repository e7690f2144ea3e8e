// Geometry of one 8-node trilinear hexahedron, evaluated per thread.
//
// The volumetric tracer keeps each ray in the natural coordinates (xi, eta,
// zeta) of the element it is in. `HEX8Element` supplies the mappings between
// natural and physical space: shape functions and their derivatives, the
// Jacobian and its inverse, interpolation of nodal fields and their physical
// gradients, the Newton search for the natural point of a physical point, the
// exit-face choice, the transfer of a point across a shared face and the
// element volume by Gauss quadrature.
//
// Node k sits at the corner of [-1, 1]^3 given by VTK hexahedron order:
//   0 (-,-,-)  1 (+,-,-)  2 (+,+,-)  3 (-,+,-)
//   4 (-,-,+)  5 (+,-,+)  6 (+,+,+)  7 (-,+,+)
// Local faces: 0 zeta=-1, 1 zeta=+1, 2 xi=-1, 3 xi=+1, 4 eta=-1, 5 eta=+1.
//
// Precision is mixed on purpose: positions, shape values and nodal values are
// single precision; the Jacobian, its inverse and interpolation sums are double
// precision. Positions and interpolated values are evaluated afresh; the
// Jacobian, its inverse and the shape derivatives are cached by the natural
// point they were made at, for the Newton search that needs them together.
// The solvers' rates use `Frame`, one evaluation per point without caches.
#pragma once

#include "device/Device.hpp"
#include "mesh/MeshDataFlat.hpp"
#include "tracer/mathutils.hpp"

#include <cmath>

// ---- Local face geometry ---------------------------------------------------
// Each face lies in a plane "normal axis = sign" and carries its own 2-D
// coordinates (u, v) = (point[t1], point[t2]). The in-face axes follow the
// normal axis cyclically: zeta faces use (xi, eta), xi faces (eta, zeta) and
// eta faces (zeta, xi). Faces are expected in 0..5.

// Natural axis normal to a local face (0 = xi, 1 = eta, 2 = zeta).
LVX_HD inline int hex8FaceNormalAxis(int face) { return face < 2 ? 2 : (face < 4 ? 0 : 1); }
// Side of the reference cube the face lies on: -1 for even faces, +1 for odd.
LVX_HD inline float hex8FaceSign(int face) { return (face & 1) ? 1.0f : -1.0f; }
// First and second in-face axes.
LVX_HD inline int hex8FaceT1(int face) { return (hex8FaceNormalAxis(face) + 1) % 3; }
LVX_HD inline int hex8FaceT2(int face) { return (hex8FaceNormalAxis(face) + 2) % 3; }

// Natural point at the centre of a local face; the element centre for -1
// (or any value outside 0..5). Used as the start of the Newton search.
LVX_HD inline Vec3 hex8FaceCentre(int face) {
    Vec3 c(0.0f, 0.0f, 0.0f);
    if (face >= 0 && face < 6) c[hex8FaceNormalAxis(face)] = hex8FaceSign(face);
    return c;
}

struct HEX8Element {
    int elementIndex;
    Vec3 nodes[8];
    float dN[8][3];     // dN_k/d(xi, eta, zeta) at keydN
    double J[3][3];     // J[i][j] = dx_j / dxi_i, at keyJ
    double Jinv[3][3];  // inverse of J, at keyJinv (kept when J is singular)
    double volume;
    float C[8];  // lumped nodal volumes of the element's nodes
    bool loaded;
    Vec3 keyJ, keyJinv, keydN;  // natural points of the cached values

    // Cache keys start far outside the reference cube so that the first
    // evaluation always computes.
    static constexpr float kNoKey = -100.0f;
    // Newton search limits; the tolerance is a correction in natural
    // coordinates.
    static constexpr int kNewtonMaxIterations = 200;
    static constexpr float kNewtonTolerance = 1e-4f;

    LVX_HD HEX8Element() : elementIndex(-1), volume(0.0), loaded(false) {
        for (int k = 0; k < 8; ++k) {
            nodes[k] = Vec3(0.0f, 0.0f, 0.0f);
            C[k] = 0.0f;
            for (int i = 0; i < 3; ++i) dN[k][i] = 0.0f;
        }
        zeroMatrix(J);
        zeroMatrix(Jinv);
        resetKeys();
    }

    // Fills element e from the mesh and invalidates every cache. The inverse
    // Jacobian is zeroed too, so an element whose Jacobian is singular from
    // the start holds a defined (zero) inverse rather than the previous
    // element's. Node indices are not checked.
    LVX_HD void load(const MeshDataFlat& mesh, int e) {
        for (int k = 0; k < 8; ++k) {
            nodes[k] = Vec3(0.0f, 0.0f, 0.0f);
            for (int i = 0; i < 3; ++i) dN[k][i] = 0.0f;
        }
        zeroMatrix(J);
        zeroMatrix(Jinv);
        elementIndex = e;
        for (int k = 0; k < 8; ++k) {
            const int node = getElementNode(mesh, e, k);
            nodes[k] = getNodeVec(mesh, node, mesh.nodeCoords);
            C[k] = mesh.nodalMass[node];
        }
        resetKeys();
        loaded = true;
    }

    LVX_HD static void zeroMatrix(double M[3][3]) {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) M[i][j] = 0.0;
    }

    // ---- Evaluations at one natural point, without caches -----------------

    // N_k = (1 + xi_k xi)(1 + eta_k eta)(1 + zeta_k zeta) / 8.
    LVX_HD static void shapeValuesAt(const Vec3& xi, float N[8]) {
        for (int k = 0; k < 8; ++k) {
            N[k] = 0.125f * (1.0f + cornerSign(k, 0) * xi.x) * (1.0f + cornerSign(k, 1) * xi.y) *
                   (1.0f + cornerSign(k, 2) * xi.z);
        }
    }

    // dN_k/dxi = xi_k (1 + eta_k eta)(1 + zeta_k zeta) / 8, and cyclically.
    LVX_HD static void shapeDerivativesAt(const Vec3& xi, float dN[8][3]) {
        for (int k = 0; k < 8; ++k) {
            const float a = 1.0f + cornerSign(k, 0) * xi.x;
            const float b = 1.0f + cornerSign(k, 1) * xi.y;
            const float c = 1.0f + cornerSign(k, 2) * xi.z;
            dN[k][0] = cornerSign(k, 0) * 0.125f * b * c;
            dN[k][1] = cornerSign(k, 1) * 0.125f * a * c;
            dN[k][2] = cornerSign(k, 2) * 0.125f * a * b;
        }
    }

    // J[i][j] = sum_k dN_k[i] x_k[j]: each product in single precision, the
    // sum over nodes in double precision.
    LVX_HD void jacobianFrom(const float dN[8][3], double J[3][3]) const {
        zeroMatrix(J);
        for (int k = 0; k < 8; ++k)
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j) J[i][j] += static_cast<double>(dN[k][i] * nodes[k][j]);
    }

    // Value of the nodal field f with shape values N, summed in double.
    LVX_HD static float interpolateWith(const float N[8], const float f[8]) {
        double s = 0.0;
        for (int k = 0; k < 8; ++k) s = fma(static_cast<double>(N[k]), static_cast<double>(f[k]), s);
        return static_cast<float>(s);
    }

    // Physical gradient of the nodal field f: grad_j = sum_i Jinv[j][i] g_i
    // with g the natural gradient.
    LVX_HD static Vec3 gradientWith(const double Jinv[3][3], const float dN[8][3], const float f[8]) {
        float g[3] = {0.0f, 0.0f, 0.0f};
        for (int k = 0; k < 8; ++k)
            for (int i = 0; i < 3; ++i) g[i] = fmaf(dN[k][i], f[k], g[i]);
        Vec3 grad;
        for (int j = 0; j < 3; ++j) {
            const double s = Jinv[j][0] * static_cast<double>(g[0]) + Jinv[j][1] * static_cast<double>(g[1]) +
                             Jinv[j][2] * static_cast<double>(g[2]);
            grad[j] = static_cast<float>(s);
        }
        return grad;
    }

    // Rate of change of the natural point along the physical vector w:
    // Jinv^T w, component i = sum_j Jinv[j][i] w_j.
    LVX_HD static Vec3 naturalDirectionWith(const double Jinv[3][3], const Vec3& w) {
        Vec3 d;
        for (int i = 0; i < 3; ++i) {
            const double s = Jinv[0][i] * static_cast<double>(w.x) + Jinv[1][i] * static_cast<double>(w.y) +
                             Jinv[2][i] * static_cast<double>(w.z);
            d[i] = static_cast<float>(s);
        }
        return d;
    }

    // What a rate evaluation needs at one point, computed once. A singular
    // Jacobian (|det| < 1e-12) leaves a zero inverse.
    struct Frame {
        float N[8];
        float dN[8][3];
        double Jinv[3][3];
    };
    LVX_HD Frame frameAt(const Vec3& xi) const {
        Frame f;
        shapeValuesAt(xi, f.N);
        shapeDerivativesAt(xi, f.dN);
        double Jm[3][3];
        jacobianFrom(f.dN, Jm);
        zeroMatrix(f.Jinv);
        invert3x3matrix(Jm, f.Jinv);
        return f;
    }

    // ---- Cached evaluations -------------------------------------------------

    LVX_HD void shapeDerivatives(const Vec3& xi) {
        if (sameKey(xi, keydN)) return;
        keydN = xi;
        shapeDerivativesAt(xi, dN);
    }

    LVX_HD void jacobian(const Vec3& xi) {
        if (sameKey(xi, keyJ)) return;
        keyJ = xi;
        shapeDerivatives(xi);
        jacobianFrom(dN, J);
    }

    // Jinv = J^-1. A singular J (|det| < 1e-12) leaves Jinv as it was.
    LVX_HD void inverseJacobian(const Vec3& xi) {
        if (sameKey(xi, keyJinv)) return;
        keyJinv = xi;
        jacobian(xi);
        invert3x3matrix(J, Jinv);
    }

    // Physical position x = sum_k N_k node_k.
    LVX_HD Vec3 toPhysical(const Vec3& xi) const {
        float N[8];
        shapeValuesAt(xi, N);
        Vec3 x(0.0f, 0.0f, 0.0f);
        for (int k = 0; k < 8; ++k) {
            x.x = fmaf(N[k], nodes[k].x, x.x);
            x.y = fmaf(N[k], nodes[k].y, x.y);
            x.z = fmaf(N[k], nodes[k].z, x.z);
        }
        return x;
    }

    // Value of the interpolated nodal field f at xi, summed in double.
    LVX_HD float interpolate(const float f[8], const Vec3& xi) const {
        float N[8];
        shapeValuesAt(xi, N);
        return interpolateWith(N, f);
    }

    // Physical gradient of the interpolated field at xi.
    LVX_HD Vec3 gradient(const float f[8], const Vec3& xi) {
        inverseJacobian(xi);
        shapeDerivatives(xi);
        return gradientWith(Jinv, dN, f);
    }

    // Rate of change of the natural point along the physical vector w at xi.
    LVX_HD Vec3 naturalDirection(const Vec3& xi, const Vec3& w) {
        inverseJacobian(xi);
        return naturalDirectionWith(Jinv, w);
    }

    // Natural point whose physical image is p, by Newton iteration from
    // `start`. Every step is clamped to the reference cube, so a point outside
    // the element ends on its boundary. The iteration stops once a Newton
    // correction is at most kNewtonTolerance in natural coordinates (the
    // point then lies within about its square of the solution), a measure
    // free of the mesh's length unit; a physical distance would stop far
    // earlier, relative to the element, on a mesh written in a large unit
    // than on one written in a small unit. Returns the last point reached
    // when the iteration limit is hit; there is no failure report.
    LVX_HD Vec3 toNatural(const Vec3& p, const Vec3& start) {
        Vec3 xi = start;
        for (int iterations = 0; iterations < kNewtonMaxIterations; ++iterations) {
            const Vec3 step = naturalDirection(xi, p - toPhysical(xi));
            xi = clampToCube(xi + step);
            if (fmaxf(fabsf(step.x), fmaxf(fabsf(step.y), fabsf(step.z))) <= kNewtonTolerance) break;
        }
        return xi;
    }

    // Signed volume by 2x2x2 Gauss quadrature (points +-1/sqrt(3), weights 1),
    // also stored in `volume`. Negative when the node order inverts the element.
    LVX_HD double computeVolume() {
        const float g = static_cast<float>(0.5773502691896258);
        double sum = 0.0;
        for (int a = 0; a < 2; ++a)
            for (int b = 0; b < 2; ++b)
                for (int c = 0; c < 2; ++c) {
                    jacobian(Vec3(a ? g : -g, b ? g : -g, c ? g : -g));
                    sum += determinant3x3(J);
                }
        volume = sum;
        return volume;
    }

    // How far xi lies outside the reference cube: max(|xi|, |eta|, |zeta|) - 1;
    // zero or negative inside.
    LVX_HD float overshootError(const Vec3& xi) const {
        return fmaxf(fabsf(xi.x), fmaxf(fabsf(xi.y), fabsf(xi.z))) - 1.0f;
    }

    // Local face that xi has left through: the face with the largest
    // overshoot. Candidates are taken in the order xi-, xi+, eta-, eta+,
    // zeta-, zeta+ and only a strictly greater value replaces the best, so
    // ties go to xi faces before eta faces before zeta faces. For a point
    // inside, this is the nearest face; -1 only when no candidate compares
    // (NaN coordinates). The first argument is not used.
    LVX_HD int getExitFace(const Vec3& /*unused*/, const Vec3& xi) const {
        const float overshoot[6] = {-1.0f - xi.x, xi.x - 1.0f, -1.0f - xi.y,
                                    xi.y - 1.0f,  -1.0f - xi.z, xi.z - 1.0f};
        const int faceOf[6] = {2, 3, 4, 5, 0, 1};
        float best = -INFINITY;
        int face = -1;
        for (int c = 0; c < 6; ++c) {
            if (overshoot[c] > best) {
                best = overshoot[c];
                face = faceOf[c];
            }
        }
        return face;
    }

    // Natural point in this element of the exit point xi of the previous
    // element, which left through prevFace and enters here through entryFace.
    // `code` is the orientation of the shared face (0..7) as stored for the
    // previous element's face: it maps the previous face's (u, v) onto this
    // face's (u, v); unknown codes map as 0.
    LVX_HD Vec3 transferAcrossFace(const Vec3& xi, int prevFace, int entryFace, int code) const {
        Vec3 onFace = xi;
        onFace[hex8FaceNormalAxis(prevFace)] = hex8FaceSign(prevFace);
        const float u = onFace[hex8FaceT1(prevFace)];
        const float v = onFace[hex8FaceT2(prevFace)];
        float a = u, b = v;
        switch (code) {
            case 1: a = u;  b = -v; break;
            case 2: a = -u; b = v;  break;
            case 3: a = -u; b = -v; break;
            case 4: a = v;  b = u;  break;
            case 5: a = v;  b = -u; break;
            case 6: a = -v; b = u;  break;
            case 7: a = -v; b = -u; break;
            default: break;
        }
        Vec3 q;
        q[hex8FaceNormalAxis(entryFace)] = hex8FaceSign(entryFace);
        q[hex8FaceT1(entryFace)] = a;
        q[hex8FaceT2(entryFace)] = b;
        return clampToCube(q);
    }

    // Strictly inside the reference cube; a point on a face counts as outside.
    LVX_HD static bool isInside(const Vec3& xi) {
        return xi.x * xi.x < 1.0f && xi.y * xi.y < 1.0f && xi.z * xi.z < 1.0f;
    }

private:
    // Natural coordinate (+-1) of node k along axis 0, 1 or 2.
    LVX_HD static float cornerSign(int k, int axis) {
        const int bit = axis == 0 ? ((k ^ (k >> 1)) & 1) : (axis == 1 ? ((k >> 1) & 1) : ((k >> 2) & 1));
        return bit ? 1.0f : -1.0f;
    }

    // Two natural points share a cached evaluation when every component
    // differs by at most 1e-10.
    LVX_HD static bool sameKey(const Vec3& a, const Vec3& b) {
        return fabs(static_cast<double>(a.x - b.x)) <= 1e-10 && fabs(static_cast<double>(a.y - b.y)) <= 1e-10 &&
               fabs(static_cast<double>(a.z - b.z)) <= 1e-10;
    }

    LVX_HD static float clamp1(float v) { return v < -1.0f ? -1.0f : (v > 1.0f ? 1.0f : v); }
    LVX_HD static Vec3 clampToCube(const Vec3& v) { return Vec3(clamp1(v.x), clamp1(v.y), clamp1(v.z)); }

    LVX_HD void resetKeys() {
        const Vec3 none(kNoKey, kNoKey, kNoKey);
        keyJ = none;
        keyJinv = none;
        keydN = none;
    }
};

// Signed volume of the hexahedron with the given nodes (element node order),
// in closed form. Writing the trilinear map as x = a0 + a1 xi + a2 eta +
// a3 zeta + a4 xi eta + a5 eta zeta + a6 zeta xi + a7 xi eta zeta and
// integrating det J over the cube leaves
//   V = 8 [a1, a2, a3] + 8/3 ([a1, a4, a6] - [a2, a4, a5] - [a3, a5, a6]),
// [u, v, w] = u . (v x w): the value the 2x2x2 Gauss rule of
// HEX8Element::computeVolume gives (it is exact for det J), at a fraction of
// the work. The nodal-volume kernel gives one eighth of it to each node.
LVX_HD inline double tripleProduct(const double u[3], const double v[3], const double w[3]) {
    return u[0] * (v[1] * w[2] - v[2] * w[1]) + u[1] * (v[2] * w[0] - v[0] * w[2]) + u[2] * (v[0] * w[1] - v[1] * w[0]);
}

LVX_HD inline double hex8Volume(const Vec3 nodes[8]) {
    // b_m = 8 a_m, per axis, from the corner signs of each monomial.
    double b[7][3];
    for (int c = 0; c < 3; ++c) {
        const double x0 = nodes[0][c], x1 = nodes[1][c], x2 = nodes[2][c], x3 = nodes[3][c];
        const double x4 = nodes[4][c], x5 = nodes[5][c], x6 = nodes[6][c], x7 = nodes[7][c];
        b[1][c] = -x0 + x1 + x2 - x3 - x4 + x5 + x6 - x7;
        b[2][c] = -x0 - x1 + x2 + x3 - x4 - x5 + x6 + x7;
        b[3][c] = -x0 - x1 - x2 - x3 + x4 + x5 + x6 + x7;
        b[4][c] = x0 - x1 + x2 - x3 + x4 - x5 + x6 - x7;
        b[5][c] = x0 + x1 - x2 - x3 - x4 - x5 + x6 + x7;
        b[6][c] = x0 - x1 - x2 + x3 - x4 + x5 + x6 - x7;
    }
    return tripleProduct(b[1], b[2], b[3]) / 64.0 +
           (tripleProduct(b[1], b[4], b[6]) - tripleProduct(b[2], b[4], b[5]) - tripleProduct(b[3], b[5], b[6])) / 192.0;
}
