// The volumetric tracer: owns an objective and launches the trace kernel for a
// ray set and a mesh. The engine holds it through `BaseRayTracer`.
#pragma once

#include "mesh/HEX8Element.hpp"
#include "mesh/Mesh.hpp"
#include "objectives/LightTransport.hpp"
#include "objectives/OpticalPath.hpp"
#include "objectives/RayResponse.hpp"
#include "objectives/Render.hpp"
#include "rays/RayCollection.hpp"
#include "tracer/Solver.hpp"
#include "tracer/TraceOptions.hpp"

#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

// What the factory combines. The integer values are part of its contract
// (callers that hold plain integers use the overload below).
enum class SolverKind : int {
    ForwardEuler = 0,
    RungeKutta4 = 1,
};
enum class ObjectiveKind : int {
    Render = 0,          // Render
    OpticalPath = 1,     // OpticalPath, the sampled paths of ray 0 (or of every ray)
    LightTransport = 2,  // LightTransport, absorbed power per node
};

class BaseRayTracer {
public:
    virtual ~BaseRayTracer() = default;
    virtual void traceRays(RayCollection& rays, const Mesh& mesh) = 0;
#if defined(LVX_WITH_TOML)
    // Configures the objective from a parsed TOML table (see Objective).
    virtual void configureFromTable(const toml::table& table, const Mesh& mesh) = 0;
#endif
    virtual void configureOutput(const char* /*outputFile*/, int /*size*/) {}
    virtual void result(const Mesh& /*mesh*/) {}
    virtual void resultWithField(const Mesh& mesh, const double* deviceField) = 0;
    virtual void resultWithFields(const Mesh& /*mesh*/, const double* /*fields*/, int /*count*/) {}
    virtual void getResult(double* hostPtr) = 0;
    virtual void resetResult() {}
    virtual double* getResultArrayDevicePtr() { return nullptr; }
    virtual Objective* getObjective() { return nullptr; }
    // A tracer for `solver` that takes over this tracer's objective with its
    // buffers, result and file count; this tracer is left with an empty
    // objective. Null for a value outside the enumeration.
    virtual std::unique_ptr<BaseRayTracer> withSolver(SolverKind solver) = 0;

    // Element visits of all rays in the last trace (a throughput figure).
    unsigned long long lastElementVisits() const { return static_cast<unsigned long long>(counts.visits); }
    // Visits, integration steps and right-hand-side evaluations of the last trace.
    const TraceCounts& lastTraceCounts() const { return counts; }

    void setTraceOptions(const TraceOptions& o) { options = o; }
    const TraceOptions& traceOptions() const { return options; }

protected:
    TraceCounts counts;
    TraceOptions options;
};

// Launches one trace thread per ray with the objective's device record, waits
// for the device and returns the work of the trace. Instantiated in the .cpp
// for the combinations the factory creates.
template <class ObjectiveDevice, class SolverT, class ElementT>
TraceCounts launchTrace(RayCollection& rays, const Mesh& mesh, const ObjectiveDevice& objective,
                        const TraceOptions& options);

template <class ObjectiveT, class SolverT, class ElementT>
class FiniteElementRayTracer : public BaseRayTracer {
public:
    FiniteElementRayTracer() = default;
    explicit FiniteElementRayTracer(ObjectiveT&& taken) : objective(std::move(taken)) {}

    void traceRays(RayCollection& rays, const Mesh& mesh) override {
        counts = launchTrace<decltype(objective.device()), SolverT, ElementT>(rays, mesh, objective.device(), options);
    }
#if defined(LVX_WITH_TOML)
    void configureFromTable(const toml::table& table, const Mesh& mesh) override {
        std::printf("Attempt config\n");
        objective.configureFromTable(table, mesh);
    }
#endif
    void configureOutput(const char* outputFile, int size) override { objective.configureOutput(outputFile, size); }
    void result(const Mesh& mesh) override { objective.result(mesh); }
    void resultWithField(const Mesh& mesh, const double* deviceField) override {
        objective.resultWithField(mesh, deviceField);
    }
    void resultWithFields(const Mesh& mesh, const double* fields, int count) override {
        objective.resultWithFields(mesh, fields, count);
    }
    void getResult(double* hostPtr) override { objective.getResult(hostPtr); }
    void resetResult() override { objective.resetResult(); }
    double* getResultArrayDevicePtr() override { return objective.getResultArrayDevicePtr(); }
    Objective* getObjective() override { return &objective; }
    std::unique_ptr<BaseRayTracer> withSolver(SolverKind solver) override {
        switch (solver) {
            case SolverKind::ForwardEuler:
                return std::make_unique<FiniteElementRayTracer<ObjectiveT, ForwardEuler<ElementT>, ElementT>>(
                    std::move(objective));
            case SolverKind::RungeKutta4:
                return std::make_unique<FiniteElementRayTracer<ObjectiveT, RungeKutta4<ElementT>, ElementT>>(
                    std::move(objective));
        }
        return nullptr;
    }

private:
    ObjectiveT objective;
};

// A tracer of that solver and objective; the objective starts unconfigured.
// A value outside the enumerations gives null.
std::unique_ptr<BaseRayTracer> createFiniteElementRayTracer(SolverKind solver, ObjectiveKind objective);
// The same from the integer values: solverType 0 forward Euler, 1 fourth-order
// Runge-Kutta; objectiveKind 0 render, 1 optical path, 2 light transport.
std::unique_ptr<BaseRayTracer> createFiniteElementRayTracer(int solverType, int objectiveKind);

// A tracer whose objective is the ray response (the adjoint of light
// transport); null for a solver outside the enumeration. Kept out of the
// objective-kind factory above, whose kinds are the ones a configuration file
// or the command line can name.
std::unique_ptr<BaseRayTracer> createRayResponseTracer(SolverKind solver);
