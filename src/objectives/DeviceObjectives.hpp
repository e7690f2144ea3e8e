// Device records of the objectives: what the trace kernel receives by value.
//
// CUDA does not allow objects of classes with virtual functions as kernel
// arguments, so every objective is split in two: a host class (Objective.hpp,
// LightTransport.hpp, ...) that owns the buffers and writes the files, and one
// of the plain records below, built by the host class's `device()`, that holds
// only sizes and device addresses. The kernel calls the hooks of the record's
// static type:
//
//   interactInterface(ray)               after the entry interface of a ray
//   interactVolume(ray)                  for a ray in the volume (no objective uses it)
//   interactElementLocal(S, x, nodes, i) at the end of each element visit of ray i,
//                                        with the final state, the physical exit
//                                        point and the element's eight node ids
//
// Every hook is const: the record is shared by all threads of a launch, and
// what a hook changes lies behind its device addresses.
#pragma once

#include "device/Atomics.hpp"
#include "device/Device.hpp"
#include "rays/RaysDataFlat.hpp"
#include "tracer/StateVector.hpp"
#include "tracer/mathutils.hpp"

#include <cstddef>


// The base objective records nothing.
struct ObjectiveDevice {
    LVX_HD void interactInterface(const Ray&) const {}
    LVX_HD void interactVolume(const Ray&) const {}
    LVX_HD void interactElementLocal(const StateVector&, const Vec3&, const int[8], int) const {}
};

// Absorbed power per node: one double per mesh node, summed over all rays and
// element visits.
struct LightTransportDevice {
    double* result = nullptr;  // nNodes doubles
    int nNodes = 0;
    // On the CPU backend a trace may give each loop thread after the first
    // its own nNodes sums here (thread t at (t - 1) nNodes, t < threadCount),
    // added into `result` when the trace is done; thread 0 adds into
    // `result` itself. Null: every thread adds into `result`, atomically.
    double* threadSums = nullptr;
    int threadCount = 0;

    LVX_HD void interactInterface(const Ray&) const {}
    LVX_HD void interactVolume(const Ray&) const {}

    // Adds the state's per-node absorbed shares (already divided by the nodal
    // volumes) to the element's nodes: into the calling thread's own sums
    // where it has them, else atomically, since many threads deposit on
    // shared nodes. Node ids outside the buffer are skipped, so a buffer sized
    // for another mesh is never written past.
    LVX_HD void interactElementLocal(const StateVector& S, const Vec3&, const int nodes[8], int) const {
        if (result == nullptr) return;
        double* own = ownSums();
        for (int k = 0; k < 8; ++k) {
            const int node = nodes[k];
            if (node < 0 || node >= nNodes) continue;
            if (own)
                own[node] += static_cast<double>(S.absorbed[k]);
            else
                dev::atomicAddDouble(&result[node], static_cast<double>(S.absorbed[k]));
        }
    }

private:
    // The calling thread's own sums, or null.
    LVX_HD double* ownSums() const {
#if !defined(__CUDA_ARCH__)
        if (threadSums) {
            const int t = dev::cpuThreadIndex();
            if (t == 0) return result;
            if (t < threadCount) return threadSums + static_cast<std::size_t>(t - 1) * nNodes;
        }
#endif
        return nullptr;
    }
};

// Adjoint of LightTransport: the weighted sum of a ray's nodal deposits,
// w[node] times the absorbed power per nodal volume, over all its element
// visits, kept in the ray's own slot. Each slot belongs to one thread, so no
// atomics are needed. Node ids outside the weights and ray ids outside the
// responses are skipped.
struct RayResponseDevice {
    const double* weights = nullptr;  // nNodes doubles
    double* response = nullptr;       // nRays doubles
    int nNodes = 0;
    int nRays = 0;

    LVX_HD void interactInterface(const Ray&) const {}
    LVX_HD void interactVolume(const Ray&) const {}
    LVX_HD void interactElementLocal(const StateVector& S, const Vec3&, const int nodes[8], int rayIndex) const {
        if (response == nullptr || weights == nullptr || rayIndex < 0 || rayIndex >= nRays) return;
        double sum = 0.0;
        for (int k = 0; k < 8; ++k) {
            const int node = nodes[k];
            if (node < 0 || node >= nNodes) continue;
            sum += weights[node] * static_cast<double>(S.absorbed[k]);
        }
        response[rayIndex] += sum;
    }
};

// Surface render: ray p colours pixel p of a planar image of 3 * width *
// height doubles (plane 0 red, 1 green, 2 blue) from the interface normal.
struct RenderDevice {
    int width = 0;
    int height = 0;
    double* image = nullptr;

    // Normal components map from [-1, 1] to [1, 0]: a normal facing the
    // camera, (0, 0, -1), gives 1.0 in plane 0 and 0.5 in planes 1 and 2.
    // Rays without an entry face and ray indices beyond the image leave it as
    // it is.
    LVX_HD void interactInterface(const Ray& ray) const {
        if (ray.face == -1 || image == nullptr) return;
        const long long plane = static_cast<long long>(width) * height;
        const long long p = ray.index;
        if (p < 0 || p >= plane) return;
        const Vec3& n = ray.hitNormal;
        image[plane + p] = 1.0 - (0.5 * static_cast<double>(n.x) + 0.5);
        image[2 * plane + p] = 1.0 - (0.5 * static_cast<double>(n.y) + 0.5);
        image[p] = 1.0 - (0.5 * static_cast<double>(n.z) + 0.5);
    }
    LVX_HD void interactVolume(const Ray&) const {}
    LVX_HD void interactElementLocal(const StateVector&, const Vec3&, const int[8], int) const {}
};

// Sampled paths of the first `rays` rays: `capacity` slots per ray, one
// point (x, y, z, s, E) per element visit, stored in the ray's first free
// slot. A slot is free while its flag is not positive (the host prepares all
// flags as -1). Ray r owns slots r * capacity ... (r + 1) * capacity - 1; with
// rays = 1 only ray 0 records.
struct OpticalPathDevice {
    double* data = nullptr;    // rays * capacity * stride doubles
    int* slotFlags = nullptr;  // rays * capacity flags
    int stride = 5;            // doubles per slot, at least the five written
    int reserved = 0;          // start gate: recording happens while it is below capacity
    int capacity = 0;          // slots per ray
    int rays = 1;              // rays that record

    LVX_HD void interactInterface(const Ray&) const {}
    LVX_HD void interactVolume(const Ray&) const {}

    // Each ray writes only its own slots, so no two threads share one.
    LVX_HD void interactElementLocal(const StateVector& S, const Vec3& x, const int[8], int rayIndex) const {
        if (rayIndex < 0 || rayIndex >= rays || reserved >= capacity || data == nullptr || slotFlags == nullptr)
            return;
        const std::size_t first = static_cast<std::size_t>(rayIndex) * static_cast<std::size_t>(capacity);
        for (std::size_t k = first; k < first + static_cast<std::size_t>(capacity); ++k) {
            if (slotFlags[k] > 0) continue;
            double* point = data + k * static_cast<std::size_t>(stride);
            point[0] = static_cast<double>(x.x);
            point[1] = static_cast<double>(x.y);
            point[2] = static_cast<double>(x.z);
            point[3] = static_cast<double>(S.s);
            point[4] = static_cast<double>(S.E);
            slotFlags[k] = 1;
            return;
        }
    }
};

// Every objective record the tracer factory creates a trace for; the trace
// translation units instantiate their templates for each (X is a macro taking
// the record's type).
#define LVX_FOR_EACH_TRACE_OBJECTIVE(X) \
    X(LightTransportDevice)             \
    X(RenderDevice)                     \
    X(OpticalPathDevice)                \
    X(RayResponseDevice)
