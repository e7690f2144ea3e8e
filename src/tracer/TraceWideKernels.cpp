// The per-ray trace compiled for x86-64-v3 (see TraceWide.hpp).
//
// Everything the trace calls is inlined into the entry points below
// (`flatten`). That matters for correctness, not only speed: an inline
// function or template left out of line here would be emitted with AVX2 code
// under the same name as the baseline build's copy, and the linker could keep
// this copy for baseline callers on a processor without AVX2. The test
// trace_wide_symbols checks that this object defines no shared symbols
// outside trace::wide.
#include "tracer/TraceWide.hpp"

#include "mesh/HEX8Element.hpp"
#include "objectives/DeviceObjectives.hpp"
#include "tracer/Solver.hpp"
#include "tracer/TraceKernel.hpp"

namespace trace::wide {

template <class ObjectiveDevice, class Solver>
__attribute__((flatten)) TraceCounts traceRay(const RaysDataFlat* rays, const MeshDataFlat* mesh,
                                              const ObjectiveDevice& objective, int i, StepRule rule) {
    return trace::traceRay<ObjectiveDevice, Solver, HEX8Element>(rays, mesh, objective, i, rule);
}

// The combinations the tracer factory creates.
#define LVX_INSTANTIATE_WIDE_TRACE(OBJECTIVE)                                                              \
    template TraceCounts traceRay<OBJECTIVE, ForwardEuler<HEX8Element>>(                                     \
        const RaysDataFlat*, const MeshDataFlat*, const OBJECTIVE&, int, StepRule);                          \
    template TraceCounts traceRay<OBJECTIVE, RungeKutta4<HEX8Element>>(                                      \
        const RaysDataFlat*, const MeshDataFlat*, const OBJECTIVE&, int, StepRule);
LVX_FOR_EACH_TRACE_OBJECTIVE(LVX_INSTANTIATE_WIDE_TRACE)
#undef LVX_INSTANTIATE_WIDE_TRACE

}  // namespace trace::wide
