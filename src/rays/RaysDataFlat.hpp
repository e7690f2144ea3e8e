// The flat ray-set record and the per-thread ray value kernels work on.
#pragma once

#include "device/Device.hpp"
#include "tracer/mathutils.hpp"

#include <cstdint>

// Initial random state of ray `index`: the SplitMix64 finaliser of
// index + golden gamma (never 0, so a generator seeded with it is valid).
LVX_HD inline std::uint64_t raySeed(std::uint64_t index) {
    std::uint64_t z = index + 0x9E3779B97F4A7C15ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z = z ^ (z >> 31);
    return z != 0 ? z : 0xA4093822299F31D0ULL;
}

struct Ray {
    Vec3 position;
    Vec3 direction;
    float payload = 0.0f;
    Vec3 hitNormal;                // normal of the face last hit
    float hitDistance = 0.0f;      // distance to the nearest hit found so far
    float maxDistance = 0.0f;      // upper bound for an accepted hit
    int face = -1;                 // boundary-face id (surface) or local face (volume)
    int work0 = 0;                 // working fields: no meaning between kernels
    float workf0 = 0.0f, workf1 = 0.0f;
    int element = -1;              // element that contains the ray, when known
    int work1 = -1, work2 = -1;
    float workf2 = 1.0f;
    float workf3 = 0.0f, workf4 = 0.0f;
    int index = 0;
    std::uint64_t rngState = 0;
};

struct RaysDataFlat {
    float* positions;          // 3n, all x then all y then all z
    float* directions;         // 3n, unit vectors, same layout
    float* payloads;           // n, ray power
    int* faceIds;              // n, entry face after the surface trace, -1 for none
    std::uint64_t* rngStates;  // n, may be null
    int nRays;
    int DEVICE;
    int HOST;
    int location;

    LVX_HD Vec3 getVector(int i, const float* array) const {
        return Vec3(array[i], array[nRays + i], array[2 * nRays + i]);
    }
    LVX_HD void setVector(int i, const Vec3& v, float* array) const {
        array[i] = v.x;
        array[nRays + i] = v.y;
        array[2 * nRays + i] = v.z;
    }

    LVX_HD Ray getRay(int i) const {
        Ray ray;
        ray.position = getVector(i, positions);
        ray.direction = getVector(i, directions);
        ray.payload = payloads[i];
        ray.hitNormal = Vec3(0.0f, 0.0f, 0.0f);
        ray.hitDistance = INFINITY;
        ray.maxDistance = INFINITY;
        ray.face = faceIds[i];
        ray.index = i;
        ray.rngState = rngStates ? rngStates[i] : raySeed(static_cast<std::uint64_t>(i));
        return ray;
    }

    LVX_HD void setRay(const Ray& ray) const {
        const int i = ray.index;
        setVector(i, ray.position, positions);
        setVector(i, ray.direction, directions);
        payloads[i] = ray.payload;
        faceIds[i] = ray.face;
        if (rngStates) rngStates[i] = ray.rngState != 0 ? ray.rngState : raySeed(static_cast<std::uint64_t>(i));
    }
};
