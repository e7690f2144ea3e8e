#include "tracer/FiniteElementRayTracer.hpp"

#include "device/Launch.hpp"
#include "objectives/DeviceObjectives.hpp"
#include "tracer/TraceKernel.hpp"

template <class ObjectiveDevice, class SolverT, class ElementT>
unsigned long long launchTrace(RayCollection& rays, const Mesh& mesh, const ObjectiveDevice& objective) {
    const RaysDataFlat* d_rays = rays.d_rdata;
    const MeshDataFlat* d_mesh = mesh.d_mdata;
    const ObjectiveDevice record = objective;
    unsigned long long* d_visits = dev::allocArray<unsigned long long>(1);
    dev::memset(d_visits, 0, sizeof(unsigned long long));
    // Rays differ widely in cost (path length, reflections), so CPU threads
    // take them in small dynamic chunks.
    dev::forEach(
        "traceRaysKernel", rays.nRays,
        LVX_LAMBDA(int i) {
            const int visits = trace::traceRay<ObjectiveDevice, SolverT, ElementT>(d_rays, d_mesh, record, i);
            if (visits > 0) dev::atomicAddCount(d_visits, static_cast<unsigned long long>(visits));
        },
        {dev::kTraceBlockSize, dev::Schedule::Dynamic});
    dev::synchronize();
    unsigned long long visits = 0;
    dev::download(&visits, d_visits, 1);
    dev::free(d_visits);
    return visits;
}

// The combinations the factory below creates: each compiles the whole trace
// kernel, so no others are built.
#define LVX_INSTANTIATE_TRACE(OBJECTIVE)                                                          \
    template unsigned long long launchTrace<OBJECTIVE, ForwardEuler<HEX8Element>, HEX8Element>(  \
        RayCollection&, const Mesh&, const OBJECTIVE&);                                            \
    template unsigned long long launchTrace<OBJECTIVE, RungeKutta4<HEX8Element>, HEX8Element>(   \
        RayCollection&, const Mesh&, const OBJECTIVE&);
LVX_INSTANTIATE_TRACE(LightTransportDevice)
LVX_INSTANTIATE_TRACE(RenderDevice)
LVX_INSTANTIATE_TRACE(OpticalPathDevice)
LVX_INSTANTIATE_TRACE(RayResponseDevice)
#undef LVX_INSTANTIATE_TRACE

namespace {

template <class ObjectiveT>
std::unique_ptr<BaseRayTracer> tracerFor(SolverKind solver) {
    switch (solver) {
        case SolverKind::ForwardEuler:
            return std::make_unique<FiniteElementRayTracer<ObjectiveT, ForwardEuler<HEX8Element>, HEX8Element>>();
        case SolverKind::RungeKutta4:
            return std::make_unique<FiniteElementRayTracer<ObjectiveT, RungeKutta4<HEX8Element>, HEX8Element>>();
    }
    return nullptr;
}

}  // namespace

std::unique_ptr<BaseRayTracer> createFiniteElementRayTracer(SolverKind solver, ObjectiveKind objective) {
    switch (objective) {
        case ObjectiveKind::Render: return tracerFor<Render>(solver);
        case ObjectiveKind::OpticalPath: return tracerFor<OpticalPath>(solver);
        case ObjectiveKind::LightTransport: return tracerFor<LightTransport>(solver);
    }
    return nullptr;
}

std::unique_ptr<BaseRayTracer> createFiniteElementRayTracer(int solverType, int objectiveKind) {
    return createFiniteElementRayTracer(static_cast<SolverKind>(solverType), static_cast<ObjectiveKind>(objectiveKind));
}

std::unique_ptr<BaseRayTracer> createRayResponseTracer(SolverKind solver) { return tracerFor<RayResponse>(solver); }
