// Kernel launch by item count, on either backend.
//
//   dev::forEach("scaleKernel", n, LVX_LAMBDA(int i) { out[i] = 2.0f * in[i]; });
//
// The body runs once for every i in [0, n) and for no other index: on the GPU
// the kernel itself drops the threads of the last block past n, on the CPU the
// OpenMP loop runs exactly to n. Bodies therefore need no index guard. The
// name labels the launch in error messages and in profiler timelines.
//
// A translation unit that launches kernels must be compiled by nvcc when the
// CUDA backend is built in; otherwise the GPU path would be missing.
#pragma once

#include "device/Atomics.hpp"
#include "device/Device.hpp"

#if defined(LVX_WITH_CUDA) && !defined(__CUDACC__)
#error "Kernel launches must be compiled by nvcc in a CUDA-enabled build"
#endif

namespace dev {

// Threads per block. Most per-item kernels use the default; the set-up
// kernels that run once per element or per ray and the volumetric trace (one
// thread per ray, with a large per-thread state) have their own sizes.
constexpr int kBlockSize = 128;
constexpr int kSetupBlockSize = 256;
constexpr int kTraceBlockSize = 64;

// How CPU threads share the items: Static for uniform work, Dynamic (small
// chunks) where items differ widely in cost. The GPU ignores it.
enum class Schedule { Static, Dynamic };

struct LaunchOptions {
    int blockSize = kBlockSize;
    Schedule schedule = Schedule::Static;
    Stream stream = {};  // the default stream when null
};

#if defined(__CUDACC__)
template <class Body>
__global__ void forEachKernel(int n, Body body) {
    const long long i = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
    if (i >= n) return;
    body(static_cast<int>(i));
}
#endif

namespace detail {

constexpr int kDynamicChunk = 16;

template <class Body>
void forEachOnCpu(int n, const Body& body, Schedule schedule) {
    if (schedule == Schedule::Dynamic) {
#pragma omp parallel for schedule(dynamic, kDynamicChunk)
        for (int i = 0; i < n; ++i) body(i);
    } else {
#pragma omp parallel for schedule(static)
        for (int i = 0; i < n; ++i) body(i);
    }
}

}  // namespace detail

// Runs body(i) for i = 0 .. n - 1. Returns at once on the GPU (the kernel is
// queued on options.stream), after all items on the CPU. Throws
// std::runtime_error when the launch fails (see Device.hpp).
template <class Body>
void forEach(const char* name, int n, Body body, LaunchOptions options = {}) {
    if (n <= 0) return;
    detail::launchBegin(name);
#if defined(__CUDACC__)
    if (backend() == Backend::Cuda) {
        const int threads = options.blockSize > 0 ? options.blockSize : kBlockSize;
        const int blocks = static_cast<int>((static_cast<long long>(n) + threads - 1) / threads);
        forEachKernel<<<blocks, threads, 0, static_cast<cudaStream_t>(options.stream.handle)>>>(n, body);
        detail::launchEnd(name);
        return;
    }
#endif
    detail::forEachOnCpu(n, body, options.schedule);
    detail::launchEnd(name);
}

}  // namespace dev
