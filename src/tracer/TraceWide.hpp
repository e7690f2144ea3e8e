// The per-ray trace built a second time for x86-64-v3 (AVX2 + FMA), for the
// CPU backend on processors that have it.
//
// The baseline x86-64 build has no fused multiply-add instruction, so every
// fma/fmaf of the element and solver code is a library call there; the
// x86-64-v3 build turns them into single instructions and vectorises more.
// Results agree up to rounding. TraceWideKernels.cpp holds the definitions;
// it is compiled with -march=x86-64-v3 when the compiler and target allow
// (LVX_WITH_WIDE_TRACE).
#pragma once

#include "mesh/MeshDataFlat.hpp"
#include "rays/RaysDataFlat.hpp"
#include "tracer/TraceOptions.hpp"

namespace trace::wide {

// True when this build has the x86-64-v3 trace and this processor runs it.
inline bool available() {
#if defined(LVX_WITH_WIDE_TRACE)
    static const bool supported = __builtin_cpu_supports("x86-64-v3");
    return supported;
#else
    return false;
#endif
}

// The trace of ray i, as trace::traceRay<ObjectiveDevice, Solver, HEX8Element>.
// Call only when available() is true.
template <class ObjectiveDevice, class Solver>
TraceCounts traceRay(const RaysDataFlat* rays, const MeshDataFlat* mesh, const ObjectiveDevice& objective, int i,
                     StepRule rule);

}  // namespace trace::wide
