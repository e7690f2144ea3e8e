// Host owner of one ray set on the device: loads host ray data (RayData,
// from the readers in IO/ReadRays.hpp) onto the device.
#pragma once

#include "device/Buffer.hpp"
#include "rays/RayData.hpp"
#include "rays/RaysDataFlat.hpp"

#include <memory>

class RayCollection {
public:
    RaysDataFlat* d_rdata = nullptr;  // device copy of the record
    RaysDataFlat h_rdata;             // host copy; array fields are device addresses
    int nRays = 0;

    // n rays: face ids -1, random states by index, other values unset.
    explicit RayCollection(int n);
    // The rays of `data` on the device, face ids -1, random states by index.
    explicit RayCollection(const RayData& data);
    RayCollection(const RayCollection&) = delete;
    RayCollection& operator=(const RayCollection&) = delete;

    // New arrays for n rays (contents lost): face ids -1, seeds by index.
    void resize(int n);
    void synchronize();  // h_rdata -> d_rdata

    // Rotates positions and directions about an axis through the origin.
    void rotateRaysAroundAxis(Vec3 axis, float angle);

    // The surface trace moves every ray onto its entry face. These keep the
    // positions the rays were given (loaded or rotated) so that a later
    // surface trace, after the boundary conditions or the mesh changed,
    // starts from the same points instead of from the old entry faces.
    void saveStartPositions();
    void restoreStartPositions();

    // Rough faces advance each ray's random state during a trace. These keep
    // the states a trace started from, so that another trace (a ray-response
    // trace) can draw the same numbers and follow the same paths.
    void saveTraceSeeds();
    void replayTraceSeeds();  // no effect before the first saveTraceSeeds

private:
    // Owners of the arrays h_rdata points at.
    struct Arrays {
        dev::Buffer<float> positions, directions, payloads;
        dev::Buffer<int> faceIds;
        dev::Buffer<std::uint64_t> rngStates;
    };

    void allocate();

    dev::Buffer<RaysDataFlat> record_;  // what d_rdata points at
    Arrays arrays_;
    dev::Buffer<float> startPositions_;  // 3 * nRays, same layout as positions
    dev::Buffer<std::uint64_t> traceSeeds_;  // nRays, once saved
};

// While it lives, every ray of the set starts with unit power and the random
// states the last trace started from; when it ends the powers and the random
// states are put back as they were. A trace run inside it (a ray-response
// trace) therefore follows the paths of the last trace, rough faces included,
// and leaves the set unchanged.
class UnitPowerScope {
public:
    explicit UnitPowerScope(RayCollection& rays);
    ~UnitPowerScope();
    UnitPowerScope(const UnitPowerScope&) = delete;
    UnitPowerScope& operator=(const UnitPowerScope&) = delete;

private:
    RayCollection& rays_;
    dev::Buffer<float> payloads_;
    dev::Buffer<std::uint64_t> seeds_;
};

// A .ry file loaded onto the device (readRayFile, then the collection); the
// reader's exceptions propagate and no collection is made.
std::unique_ptr<RayCollection> readRays(const char* path);

// Row-major arrays loaded onto the device (rayDataFromArrays, then the collection).
std::unique_ptr<RayCollection> raysFromArrays(const double* origins, const double* directions,
                                              const double* powers, int n);
