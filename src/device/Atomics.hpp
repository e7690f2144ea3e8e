// Atomic additions into shared per-item sums, usable from any translation
// unit (device code under nvcc, OpenMP atomics on the CPU).
#pragma once

#include "device/Device.hpp"

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

}  // namespace dev
