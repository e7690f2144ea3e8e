#include "tracer/FiniteElementRayTracer.hpp"

#include "device/Launch.hpp"
#include "objectives/DeviceObjectives.hpp"
#include "tracer/TraceKernel.hpp"

template <class ObjectiveDevice, class SolverT, class ElementT>
void launchTrace(RayCollection& rays, const Mesh& mesh, const ObjectiveDevice& objective) {
    const RaysDataFlat* d_rays = rays.d_rdata;
    const MeshDataFlat* d_mesh = mesh.d_mdata;
    const ObjectiveDevice record = objective;
    // Rays differ widely in cost (path length, reflections), so CPU threads
    // take them in small dynamic chunks.
    dev::launch(
        dev::gridFor(rays.nRays, 64),
        LVX_LAMBDA(int i) { trace::traceRay<ObjectiveDevice, SolverT, ElementT>(d_rays, d_mesh, record, i); },
        {}, dev::Schedule::Dynamic);
    dev::synchronize();
}

// Every objective record with every solver.
#define LVX_INSTANTIATE_TRACE(OBJECTIVE)                                                          \
    template void launchTrace<OBJECTIVE, Solver<HEX8Element>, HEX8Element>(RayCollection&, const Mesh&, \
                                                                           const OBJECTIVE&);      \
    template void launchTrace<OBJECTIVE, ForwardEuler<HEX8Element>, HEX8Element>(                \
        RayCollection&, const Mesh&, const OBJECTIVE&);                                            \
    template void launchTrace<OBJECTIVE, RungeKutta4<HEX8Element>, HEX8Element>(                 \
        RayCollection&, const Mesh&, const OBJECTIVE&);
LVX_INSTANTIATE_TRACE(ObjectiveDevice)
LVX_INSTANTIATE_TRACE(LightTransportDevice)
LVX_INSTANTIATE_TRACE(RenderDevice)
LVX_INSTANTIATE_TRACE(OpticalPathDevice)
#undef LVX_INSTANTIATE_TRACE

std::unique_ptr<BaseRayTracer> createFiniteElementRayTracer(int solverType, int objectiveKind) {
    if (objectiveKind != 2) return nullptr;
    if (solverType == 0)
        return std::make_unique<FiniteElementRayTracer<LightTransport, ForwardEuler<HEX8Element>, HEX8Element>>();
    if (solverType == 1)
        return std::make_unique<FiniteElementRayTracer<LightTransport, RungeKutta4<HEX8Element>, HEX8Element>>();
    return nullptr;
}
