// Kernel launch over a one-dimensional index range, on either backend.
//
//   dev::launch(dev::Grid{blocks, threadsPerBlock}, LVX_LAMBDA(int i) {
//       if (i < n) { ... }
//   });
//
// The body receives the global thread index blockIdx * blockDim + threadIdx
// and does its own "index < count" guard, exactly as a CUDA kernel would. On
// the CPU backend the same indices run on OpenMP threads.
//
// A translation unit that launches kernels must be compiled by nvcc when the
// CUDA backend is built in; otherwise the GPU path would be missing.
#pragma once

#include "device/Atomics.hpp"
#include "device/Device.hpp"

#include <cstdio>

#if defined(LVX_WITH_CUDA) && !defined(__CUDACC__)
#error "Kernel launches must be compiled by nvcc in a CUDA-enabled build"
#endif

namespace dev {

struct Grid {
    int blocks = 0;
    int threadsPerBlock = 1;
};

// Grid with one thread per item, rounded up to whole blocks.
inline Grid gridFor(long long count, int threadsPerBlock) {
    return Grid{count > 0 ? static_cast<int>((count + threadsPerBlock - 1) / threadsPerBlock) : 0,
                threadsPerBlock};
}

#if defined(__CUDACC__)
template <class Body>
__global__ void launchKernel(Body body) {
    body(static_cast<int>(blockIdx.x * blockDim.x + threadIdx.x));
}
void cudaLaunchFailed(const char* what);  // reports and clears a launch error
#endif

enum class Schedule { Static, Dynamic };

template <class Body>
void launch(Grid grid, Body body, Stream stream = {}, Schedule schedule = Schedule::Static) {
    if (grid.blocks <= 0 || grid.threadsPerBlock <= 0) return;
#if defined(__CUDACC__)
    if (backend() == Backend::Cuda) {
        launchKernel<<<grid.blocks, grid.threadsPerBlock, 0,
                       static_cast<cudaStream_t>(stream.handle)>>>(body);
        cudaLaunchFailed("kernel launch");
        return;
    }
#else
    (void)stream;
#endif
    const long long total = static_cast<long long>(grid.blocks) * grid.threadsPerBlock;
    if (schedule == Schedule::Dynamic) {
#pragma omp parallel for schedule(dynamic, 16)
        for (long long i = 0; i < total; ++i) body(static_cast<int>(i));
    } else {
#pragma omp parallel for schedule(static)
        for (long long i = 0; i < total; ++i) body(static_cast<int>(i));
    }
}

}  // namespace dev
