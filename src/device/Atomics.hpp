// Atomic additions into shared per-item sums, usable from any translation
// unit (device code under nvcc, OpenMP atomics on the CPU).
#pragma once

#include "device/Device.hpp"

#include <omp.h>

namespace dev {

LVX_HD inline void atomicAddDouble(double* address, double value) {
#if defined(__CUDA_ARCH__)
    atomicAdd(address, value);
#else
#pragma omp atomic
    *address += value;
#endif
}

LVX_HD inline void atomicAddFloat(float* address, float value) {
#if defined(__CUDA_ARCH__)
    atomicAdd(address, value);
#else
#pragma omp atomic
    *address += value;
#endif
}

LVX_HD inline void atomicAddCount(unsigned long long* address, unsigned long long value) {
#if defined(__CUDA_ARCH__)
    atomicAdd(address, value);
#else
#pragma omp atomic
    *address += value;
#endif
}

// Threads of the CPU backend's loops: how many one loop may use, and which
// one is calling (0 outside a loop). A kernel can give each its own sums,
// which need no atomic additions.
inline int cpuThreadCount() { return omp_get_max_threads(); }
inline int cpuThreadIndex() { return omp_get_thread_num(); }

}  // namespace dev
