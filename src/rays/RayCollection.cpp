// Ray-set ownership on the device, loading host ray data and the rotation of
// a ray set.
#include "rays/RayCollection.hpp"

#include "IO/ReadRays.hpp"
#include "device/Launch.hpp"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace {

// Stores the initial random state of ray i.
LVX_HD inline void initializeRandomStatesKernel(const RaysDataFlat* rays, int i) {
    rays->rngStates[i] = raySeed(static_cast<std::uint64_t>(i));
}

// Rotates ray i about the unit axis k by the angle whose cosine and sine are
// c and s (Rodrigues' formula). The origin is first moved back 10 units along
// the ray, so that a source sitting on the body surface ends up outside it
// after the turn. The direction is rotated as is: a rotation keeps its length.
LVX_HD inline void rotateRaysAroundAxisKernel(const RaysDataFlat* rays, int i, Vec3 k, float c,
                                              float s) {
    const Vec3 d = rays->getVector(i, rays->directions);
    const Vec3 q = rays->getVector(i, rays->positions) - d * 10.0f;
    const float t = 1.0f - c;
    const Vec3 rq = q * c + k.cross(q) * s + k * (k.dot(q) * t);
    const Vec3 rd = d * c + k.cross(d) * s + k * (k.dot(d) * t);
    rays->setVector(i, rq, rays->positions);
    rays->setVector(i, rd, rays->directions);
}

// A free function, because nvcc does not allow a device lambda inside a
// private member function such as allocate().
void launchInitializeRandomStates(const RaysDataFlat* rays, int n) {
    dev::forEach("initializeRandomStatesKernel", n,
                 LVX_LAMBDA(int i) { initializeRandomStatesKernel(rays, i); }, {dev::kSetupBlockSize});
    dev::synchronize();
}

// Ray arrays live in device memory, or in pinned host memory when the record's
// location is HOST.
template <class T>
dev::Buffer<T> rayArray(long long count, bool pinned) {
    const auto n = static_cast<std::size_t>(count);
    return pinned ? dev::pinnedBuffer<T>(n) : dev::deviceBuffer<T>(n);
}

}  // namespace

RayCollection::RayCollection(int n) {
    if (n < 0) throw std::runtime_error("RayCollection: negative ray count " + std::to_string(n));
    std::memset(&h_rdata, 0, sizeof(h_rdata));
    h_rdata.DEVICE = 0;
    h_rdata.HOST = 1;
    h_rdata.location = h_rdata.DEVICE;
    nRays = n;
    record_ = dev::deviceBuffer<RaysDataFlat>(1);
    d_rdata = record_.get();
    allocate();
}

RayCollection::RayCollection(const RayData& data) : RayCollection(data.count()) {
    dev::upload(h_rdata.positions, data.positions.data(), data.positions.size());
    dev::upload(h_rdata.directions, data.directions.data(), data.directions.size());
    dev::upload(h_rdata.payloads, data.payloads.data(), data.payloads.size());
}

void RayCollection::resize(int n) {
    if (n < 0) throw std::runtime_error("RayCollection: negative ray count " + std::to_string(n));
    const int previous = nRays;
    nRays = n;
    try {
        allocate();
    } catch (...) {
        nRays = previous;  // the old arrays are still in place
        throw;
    }
}

void RayCollection::synchronize() { record_.upload(h_rdata); }

// Replaces the arrays with new ones for nRays rays: face ids -1, random states
// by index. All five are allocated before the old ones are freed. The saved
// start positions belong to the old rays and go with them.
void RayCollection::allocate() {
    const long long n = nRays;
    const bool pinned = h_rdata.location == h_rdata.HOST;
    arrays_ = Arrays{rayArray<float>(3 * n, pinned), rayArray<float>(3 * n, pinned), rayArray<float>(n, pinned),
                     rayArray<int>(n, pinned), rayArray<std::uint64_t>(n, pinned)};
    startPositions_.reset();
    traceSeeds_.reset();
    const Arrays& a = arrays_;
    std::tie(h_rdata.positions, h_rdata.directions, h_rdata.payloads, h_rdata.faceIds, h_rdata.rngStates) =
        dev::views(a.positions, a.directions, a.payloads, a.faceIds, a.rngStates);
    h_rdata.nRays = nRays;
    synchronize();

    if (pinned) {
        for (long long i = 0; i < n; ++i) {
            h_rdata.faceIds[i] = -1;
            h_rdata.rngStates[i] = raySeed(static_cast<std::uint64_t>(i));
        }
        return;
    }
    dev::memset(h_rdata.faceIds, 0xFF, static_cast<std::size_t>(n) * sizeof(int));  // all -1
    launchInitializeRandomStates(d_rdata, nRays);
}

void RayCollection::saveStartPositions() {
    const std::size_t count = 3 * static_cast<std::size_t>(nRays);
    if (startPositions_.size() != count) startPositions_ = dev::deviceBuffer<float>(count);
    dev::copyOnDevice(startPositions_.get(), h_rdata.positions, count * sizeof(float));
}

void RayCollection::restoreStartPositions() {
    if (!startPositions_) return;
    dev::copyOnDevice(h_rdata.positions, startPositions_.get(), startPositions_.size() * sizeof(float));
}

UnitPowerScope::UnitPowerScope(RayCollection& rays) : rays_(rays) {
    const auto n = static_cast<std::size_t>(rays.nRays);
    payloads_ = dev::deviceBuffer<float>(n);
    seeds_ = dev::deviceBuffer<std::uint64_t>(n);
    dev::copyOnDevice(payloads_.get(), rays.h_rdata.payloads, n * sizeof(float));
    if (rays.h_rdata.rngStates) dev::copyOnDevice(seeds_.get(), rays.h_rdata.rngStates, n * sizeof(std::uint64_t));
    const std::vector<float> ones(n, 1.0f);
    dev::upload(rays.h_rdata.payloads, ones.data(), n);
    rays.replayTraceSeeds();
}

// A destructor must not throw: a failed copy back is reported instead (the
// device is then in trouble anyway).
UnitPowerScope::~UnitPowerScope() {
    const auto n = static_cast<std::size_t>(rays_.nRays);
    try {
        dev::copyOnDevice(rays_.h_rdata.payloads, payloads_.get(), n * sizeof(float));
        if (rays_.h_rdata.rngStates)
            dev::copyOnDevice(rays_.h_rdata.rngStates, seeds_.get(), n * sizeof(std::uint64_t));
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Error: ray powers and seeds not restored after a response trace: %s\n", error.what());
    }
}

void RayCollection::saveTraceSeeds() {
    const auto n = static_cast<std::size_t>(nRays);
    if (!h_rdata.rngStates || n == 0) return;
    if (traceSeeds_.size() != n) traceSeeds_ = dev::deviceBuffer<std::uint64_t>(n);
    dev::copyOnDevice(traceSeeds_.get(), h_rdata.rngStates, n * sizeof(std::uint64_t));
}

void RayCollection::replayTraceSeeds() {
    if (traceSeeds_.size() != static_cast<std::size_t>(nRays) || !h_rdata.rngStates) return;
    dev::copyOnDevice(h_rdata.rngStates, traceSeeds_.get(), traceSeeds_.size() * sizeof(std::uint64_t));
}

void RayCollection::rotateRaysAroundAxis(Vec3 axis, float angle) {
    if (nRays <= 0) {
        std::printf("Warning: rotateRaysAroundAxis called with nRays = %d\n", nRays);
        std::fflush(stdout);
        return;
    }
    if (!d_rdata) {
        std::printf("Error: d_rdata is NULL in rotateRaysAroundAxis\n");
        std::fflush(stdout);
        return;
    }
    const Vec3 k = axis.normalized();  // a zero axis stays zero
    const float c = std::cos(angle), s = std::sin(angle);
    const RaysDataFlat* rays = d_rdata;
    dev::forEach("rotateRaysAroundAxisKernel", nRays,
                 LVX_LAMBDA(int i) { rotateRaysAroundAxisKernel(rays, i, k, c, s); }, {dev::kSetupBlockSize});
    dev::synchronize();
}

std::unique_ptr<RayCollection> readRays(const char* path) {
    return std::make_unique<RayCollection>(readRayFile(path));
}

std::unique_ptr<RayCollection> raysFromArrays(const double* origins, const double* directions,
                                              const double* powers, int n) {
    return std::make_unique<RayCollection>(rayDataFromArrays(origins, directions, powers, n));
}
