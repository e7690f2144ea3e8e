// What happens to a ray at a boundary face of the mesh.
//
// A ray meets the optical boundary twice: where it enters the body (the entry
// face found by the surface tracer) and wherever it reaches a boundary face
// from inside. The face's optical boundary condition decides: TRANSMIT
// refracts by Snell's law (total internal reflection possible) with a Fresnel
// loss from Schlick's approximation, REFLECT mirrors the ray. A rough face
// first replaces the geometric normal by a Beckmann microfacet normal. A ray is
// never split: every interaction has exactly one outcome.
//
// All functions work on the calling thread's ray copy and only read the mesh.
// The random stream of a ray depends only on its own seed and index, so the
// outcome does not depend on thread scheduling or on the backend.
#pragma once

#include "device/Device.hpp"
#include "mesh/HEX8Element.hpp"
#include "mesh/MeshDataFlat.hpp"
#include "rays/RaysDataFlat.hpp"
#include "tracer/Random.hpp"
#include "tracer/mathutils.hpp"

#include <cmath>
#include <cstdint>

enum class InterfaceOutcome { Enter, End, Stay };

namespace optics {

// After every interaction that keeps the ray, it is moved this far along its
// new direction (in mesh length units).
constexpr float kSurfaceOffset = 1e-9f;
// Smallest roughness used for sampling; a positive roughness below is raised.
constexpr float kRoughnessFloor = 1e-6f;
// Lower clamp of the first uniform number, and the value at or above which
// ln(1 - u1) is taken as -infinity (theta = pi/2).
constexpr float kUniformFloor = 1e-12f;
constexpr double kUniformCeiling = 0.999999999999;
// |N_z| at or above this uses the x axis instead of the z axis for the frame.
constexpr float kFrameSwitch = 0.999f;
// Replacement for a zero seed when the next seed is drawn.
constexpr std::uint64_t kZeroNextSeed = 0x13198A2E03707344ULL;
constexpr float kTwoPi = 6.2831855f;

// Interaction type values of the boundary-condition arrays; anything other
// than REFLECT transmits.
constexpr int kReflect = 1;

// Stored normal of boundary face f (structure of arrays, stride nFaces).
LVX_HD inline Vec3 storedFaceNormal(const MeshDataFlat& mesh, int f) {
    const int n = mesh.nFaces;
    return Vec3(mesh.faceNormals[f], mesh.faceNormals[n + f], mesh.faceNormals[2 * n + f]);
}

// Condition index of face f, or -1 when it has none (or an unusable one).
LVX_HD inline int faceCondition(const MeshDataFlat& mesh, int f) {
    const int bc = mesh.faceBC[f];
    return (bc >= 0 && bc < mesh.nBCs) ? bc : -1;
}

LVX_HD inline bool isRough(const MeshDataFlat& mesh, int bc) {
    return mesh.bcRoughSurface[bc] != 0 && mesh.bcRoughness[bc] > 0.0f;
}

// Specular reflection about the facing normal N, normalised.
LVX_HD inline Vec3 reflectDirection(Vec3 d, Vec3 N) { return (d - N * (2.0f * d.dot(N))).normalized(); }

// Refraction of d through the facing normal N with eta = n1 / n2. Returns false
// on total internal reflection (t untouched). eta^2 and cos^2 are single
// precision, k double precision.
LVX_HD inline bool refractDirection(Vec3 d, Vec3 N, float eta, Vec3& t) {
    const float cosI = -d.dot(N);
    const float eta2 = eta * eta;
    const float cos2 = cosI * cosI;
    const double k = 1.0 - static_cast<double>(eta2) * (1.0 - static_cast<double>(cos2));
    if (k < 0.0) return false;
    const float root = static_cast<float>(sqrt(k));
    t = (d * eta + N * (eta * cosI - root)).normalized();
    return true;
}

// P * factor with the product in double precision.
LVX_HD inline float scaledPower(float power, double factor) {
    return static_cast<float>(static_cast<double>(power) * factor);
}

LVX_HD inline void offsetAlongDirection(Ray& ray) { ray.position += ray.direction * kSurfaceOffset; }

// Refractive index inside the body at the entry point: interpolated in the
// ray's element when it is valid, else in the entry face's element, at the
// natural point of the ray position (Newton search from the element centre).
// 1 when the element or its nodes are unusable or the value is not positive.
LVX_HD inline float entryInsideIndex(const Ray& ray, const MeshDataFlat& mesh, int f) {
    int e = ray.element;
    if (e < 0 || e >= mesh.nElements) e = mesh.faceElement[f];
    if (e < 0 || e >= mesh.nElements) return 1.0f;
    float n[8];
    for (int k = 0; k < 8; ++k) {
        const int node = getElementNode(mesh, e, k);
        if (node < 0 || node >= mesh.nNodes) return 1.0f;
        n[k] = mesh.refrIndex[node];
    }
    HEX8Element element;
    element.load(mesh, e);
    const Vec3 xi = element.toNatural(ray.position, hex8FaceCentre(-1));
    const float value = element.interpolate(n, xi);
    return value > 0.0f ? value : 1.0f;
}

}  // namespace optics

// The stored face normal turned to face the ray (negated when N . d > 0); not
// normalised.
LVX_HD inline Vec3 orientNormal(Vec3 storedNormal, Vec3 d) {
    return storedNormal.dot(d) > 0.0f ? -storedNormal : storedNormal;
}

// Random microfacet normal around the facing unit normal N from the isotropic
// Beckmann distribution of the given roughness: tan^2(theta) = -a^2 ln(1 - u1),
// phi = 2 pi u2. Consumes four draws of the ray's stream (u1, u2 and the two
// halves of the next seed) and replaces `seed` by the next seed, never 0. The
// result is a unit vector facing the ray (m . d <= 0).
LVX_HD inline Vec3 sampleMicrofacetNormal(Vec3 N, float roughness, std::uint64_t& seed, int rayIndex, Vec3 d) {
    const std::uint64_t index = static_cast<std::uint64_t>(rayIndex);
    const std::uint64_t start = seed != 0 ? seed : raySeed(index);
    RayRandom rng(start, index);
    float u1 = rng.uniform();
    const float u2 = rng.uniform();

    const float a = roughness < optics::kRoughnessFloor ? optics::kRoughnessFloor : roughness;
    if (u1 <= optics::kUniformFloor) u1 = optics::kUniformFloor;
    const double logTerm = static_cast<double>(u1) >= optics::kUniformCeiling
                               ? -static_cast<double>(INFINITY)
                               : log(1.0 - static_cast<double>(u1));
    const double ad = static_cast<double>(a);
    const double tanTheta = sqrt(-ad * ad * logTerm);
    const float theta = static_cast<float>(atan(tanTheta));
    const float phi = optics::kTwoPi * u2;

    const Vec3 w = fabsf(N.z) < optics::kFrameSwitch ? Vec3(0.0f, 0.0f, 1.0f) : Vec3(1.0f, 0.0f, 0.0f);
    const Vec3 t1 = w.cross(N).normalized();
    const Vec3 t2 = N.cross(t1).normalized();

    const float sinTheta = sinf(theta);
    Vec3 m = t1 * (sinTheta * cosf(phi)) + t2 * (sinTheta * sinf(phi)) + N * cosf(theta);
    if (m.dot(N) < 0.0f) m = -m;
    m = m.normalized();

    const std::uint64_t high = rng.next32();
    const std::uint64_t low = rng.next32();
    const std::uint64_t next = (high << 32) | low;
    seed = next != 0 ? next : optics::kZeroNextSeed;

    if (m.dot(d) > 0.0f) m = (-m).normalized();
    return m;
}

// Schlick's approximation of the Fresnel reflectance for a ray d meeting the
// facing normal N, going from index n1 into n2. With useKappa and kappa > 0 the
// normal-incidence value includes the extinction coefficient of the far side.
LVX_HD inline float schlickReflectance(Vec3 N, Vec3 d, float n1, float n2, float kappa, bool useKappa) {
    float cosI = -d.dot(N);
    if (cosI < 0.0f) cosI = 0.0f;
    if (cosI > 1.0f) cosI = 1.0f;

    float r0;
    if (useKappa && kappa > 0.0f) {
        const float k2 = kappa * kappa;
        const float num = (n1 - n2) * (n1 - n2) + k2;
        const float den = (n1 + n2) * (n1 + n2) + k2;
        r0 = den <= 0.0f ? 1.0f : num / den;
        if (r0 > 1.0f) r0 = 1.0f;
    } else {
        const float r = (n1 - n2) / (n1 + n2);
        r0 = r * r;
    }

    const float x = 1.0f - cosI;
    const float x2 = x * x;
    const float x5 = x * (x2 * x2);
    double R = static_cast<double>(r0) + (1.0 - static_cast<double>(r0)) * static_cast<double>(x5);
    if (R < 0.0) R = 0.0;
    if (R > 1.0) R = 1.0;
    return static_cast<float>(R);
}

// Entry of a ray through its entry face f = ray.face (f >= 0).
// Enter: the ray is inside (refracted, power reduced by the reflectance,
// offset), or unchanged when the face has no condition. End: the trace stops at
// the surface (REFLECT face, or total internal reflection).
// ray.hitNormal receives the interface normal as far as the interaction got;
// a face id outside the mesh leaves it untouched.
LVX_HD inline InterfaceOutcome interactEntryFace(Ray& ray, const MeshDataFlat& mesh) {
    const int f = ray.face;
    if (f < 0 || f >= mesh.nFaces) return InterfaceOutcome::Enter;

    Vec3 N = orientNormal(optics::storedFaceNormal(mesh, f), ray.direction);
    ray.hitNormal = N;
    const int bc = optics::faceCondition(mesh, f);
    if (bc < 0) return InterfaceOutcome::Enter;  // transparent, no loss, no offset

    N = N.normalized();
    ray.hitNormal = N;
    if (optics::isRough(mesh, bc)) {
        N = sampleMicrofacetNormal(N, mesh.bcRoughness[bc], ray.rngState, ray.index, ray.direction);
        ray.hitNormal = N;
    }

    const float n2 = optics::entryInsideIndex(ray, mesh, f);
    float n1 = mesh.bcRefrIndexReal[bc];
    if (n1 <= 0.0f) n1 = 1.0f;
    // The extinction coefficient of the outside medium plays no part on entry.
    const float R = schlickReflectance(N, ray.direction, n1, n2, 0.0f, false);

    if (mesh.bcInteractionType[bc] == optics::kReflect) {
        ray.direction = optics::reflectDirection(ray.direction, N);
        return InterfaceOutcome::End;
    }

    Vec3 t;
    if (!optics::refractDirection(ray.direction, N, n1 / n2, t)) return InterfaceOutcome::End;
    ray.direction = t;
    ray.payload = optics::scaledPower(ray.payload, 1.0 - static_cast<double>(R));
    optics::offsetAlongDirection(ray);
    return InterfaceOutcome::Enter;
}

// A ray at boundary face g, reached from inside its element; ray.position is
// the physical exit point and nInside the refractive index there.
// Stay: reflected back into the same element (REFLECT face with power P * R,
// or total internal reflection with unchanged power), offset along the new
// direction. End: the ray leaves the mesh (no face, no condition, or
// transmission; the transmitted part is not followed).
// ray.hitNormal receives the interface normal as far as the interaction got.
LVX_HD inline InterfaceOutcome interactExitFace(Ray& ray, const MeshDataFlat& mesh, int g, float nInside) {
    if (g < 0 || g >= mesh.nFaces) return InterfaceOutcome::End;

    // Turned against the ray, the normal points back into the element.
    Vec3 N = orientNormal(optics::storedFaceNormal(mesh, g), ray.direction);
    ray.hitNormal = N;
    const int bc = optics::faceCondition(mesh, g);
    if (bc < 0) return InterfaceOutcome::End;

    N = N.normalized();
    ray.hitNormal = N;
    if (optics::isRough(mesh, bc)) {
        N = sampleMicrofacetNormal(N, mesh.bcRoughness[bc], ray.rngState, ray.index, ray.direction);
        ray.hitNormal = N;
    }

    const float n1 = nInside > 0.0f ? nInside : 1.0f;
    float n2 = mesh.bcRefrIndexReal[bc];
    if (n2 <= 0.0f) n2 = 1.0f;
    const float kappa = mesh.bcRefrIndexImag[bc];
    const float R = schlickReflectance(N, ray.direction, n1, n2, kappa, true);

    if (mesh.bcInteractionType[bc] == optics::kReflect) {
        ray.direction = optics::reflectDirection(ray.direction, N);
        ray.payload = optics::scaledPower(ray.payload, static_cast<double>(R));
        optics::offsetAlongDirection(ray);
        return InterfaceOutcome::Stay;
    }

    Vec3 t;
    if (optics::refractDirection(ray.direction, N, n1 / n2, t)) return InterfaceOutcome::End;
    // Total internal reflection keeps the whole power.
    ray.direction = optics::reflectDirection(ray.direction, N);
    optics::offsetAlongDirection(ray);
    return InterfaceOutcome::Stay;
}
