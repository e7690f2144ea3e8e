#include "tracer/FiniteElementRayTracer.hpp"

#include "device/Buffer.hpp"
#include "device/Launch.hpp"
#include "objectives/DeviceObjectives.hpp"
#include "tracer/TraceKernel.hpp"
#include "tracer/TraceWide.hpp"

#include <algorithm>
#include <type_traits>

namespace {

LVX_HD inline void addCounts(unsigned long long* d_counts, const TraceCounts& c) {
    if (c.visits <= 0) return;
    dev::atomicAddCount(d_counts + 0, static_cast<unsigned long long>(c.visits));
    dev::atomicAddCount(d_counts + 1, static_cast<unsigned long long>(c.steps));
    dev::atomicAddCount(d_counts + 2, static_cast<unsigned long long>(c.evaluations));
    if (c.stalled > 0) dev::atomicAddCount(d_counts + 3, static_cast<unsigned long long>(c.stalled));
}

// Per-thread deposit sums of a CPU trace cost (threads - 1) x nodes doubles,
// zeroed before and added up after the trace: worth it when the rays deposit
// more often than that (a ray deposits on eight nodes per element it
// crosses, and crosses many), and within this much memory.
constexpr std::size_t kThreadSumsBudget = std::size_t{256} << 20;

// On the CPU backend, gives each loop thread of a LightTransport trace its own
// sums (see LightTransportDevice); returns their owner, empty when the trace
// keeps its atomic additions.
template <class ObjectiveDevice>
dev::Buffer<double> threadSumsFor(ObjectiveDevice& record, int nRays) {
    if constexpr (std::is_same_v<ObjectiveDevice, LightTransportDevice>) {
        const int threads = dev::backend() == dev::Backend::Cpu ? dev::cpuThreadCount() : 1;
        const std::size_t count = static_cast<std::size_t>(threads - 1) * std::max(record.nNodes, 0);
        if (threads < 2 || !record.result || count == 0 || count * sizeof(double) > kThreadSumsBudget ||
            static_cast<std::size_t>(nRays) * 64 < count)
            return {};
        dev::Buffer<double> sums = dev::deviceBuffer<double>(count);
        dev::memset(sums.get(), 0, count * sizeof(double));
        record.threadSums = sums.get();
        record.threadCount = threads;
        return sums;
    } else {
        (void)record, (void)nRays;
        return {};
    }
}

// Adds the per-thread sums of a finished trace into its result.
void addThreadSums(const LightTransportDevice& record) {
    double* result = record.result;
    const double* sums = record.threadSums;
    const int n = record.nNodes, others = record.threadCount - 1;
    dev::forEach("addThreadSumsKernel", n, LVX_LAMBDA(int i) {
        double total = result[i];
        for (int t = 0; t < others; ++t) total += sums[static_cast<std::size_t>(t) * n + i];
        result[i] = total;
    });
    dev::synchronize();
}

}  // namespace

template <class ObjectiveDevice, class SolverT, class ElementT>
TraceCounts launchTrace(RayCollection& rays, const Mesh& mesh, const ObjectiveDevice& objective,
                        const TraceOptions& options) {
    const RaysDataFlat* d_rays = rays.d_rdata;
    const MeshDataFlat* d_mesh = mesh.d_mdata;
    ObjectiveDevice record = objective;
    const dev::Buffer<double> threadSums = threadSumsFor(record, rays.nRays);
    const StepRule rule = options.stepRule;
    const bool wide = options.wideCpuTrace && dev::backend() == dev::Backend::Cpu && trace::wide::available();
    // Visits, steps, derivative evaluations and stalled rays; freed even when a
    // launch throws.
    const dev::Buffer<unsigned long long> counters = dev::deviceBuffer<unsigned long long>(4);
    unsigned long long* d_counts = counters.get();
    dev::memset(d_counts, 0, 4 * sizeof(unsigned long long));
    // Rays differ widely in cost (path length, reflections), so CPU threads
    // take them in small dynamic chunks.
    dev::forEach(
        "traceRaysKernel", rays.nRays,
        LVX_LAMBDA(int i) {
            // `wide` is only set on the CPU backend; the device pass never
            // takes this branch, but must see the same captures.
            if (wide) {
#if defined(LVX_WITH_WIDE_TRACE) && !defined(__CUDA_ARCH__)
                addCounts(d_counts, trace::wide::traceRay<ObjectiveDevice, SolverT>(d_rays, d_mesh, record, i, rule));
#endif
                return;
            }
            addCounts(d_counts, trace::traceRay<ObjectiveDevice, SolverT, ElementT>(d_rays, d_mesh, record, i, rule));
        },
        {dev::kTraceBlockSize, dev::Schedule::Dynamic});
    dev::synchronize();
    if constexpr (std::is_same_v<ObjectiveDevice, LightTransportDevice>)
        if (threadSums) addThreadSums(record);
    unsigned long long h_counts[4] = {0, 0, 0, 0};
    dev::download(h_counts, d_counts, 4);
    TraceCounts counts;
    counts.visits = static_cast<long long>(h_counts[0]);
    counts.steps = static_cast<long long>(h_counts[1]);
    counts.evaluations = static_cast<long long>(h_counts[2]);
    counts.stalled = static_cast<long long>(h_counts[3]);
    return counts;
}

// The combinations the factory below creates: each compiles the whole trace
// kernel, so no others are built.
#define LVX_INSTANTIATE_TRACE(OBJECTIVE)                                                                   \
    template TraceCounts launchTrace<OBJECTIVE, ForwardEuler<HEX8Element>, HEX8Element>(                  \
        RayCollection&, const Mesh&, const OBJECTIVE&, const TraceOptions&);                               \
    template TraceCounts launchTrace<OBJECTIVE, RungeKutta4<HEX8Element>, HEX8Element>(                   \
        RayCollection&, const Mesh&, const OBJECTIVE&, const TraceOptions&);
LVX_FOR_EACH_TRACE_OBJECTIVE(LVX_INSTANTIATE_TRACE)
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
