// The volumetric tracer: owns an objective and launches the trace kernel for a
// ray set and a mesh. The engine holds it through `BaseRayTracer`.
#pragma once

#include "mesh/HEX8Element.hpp"
#include "mesh/Mesh.hpp"
#include "objectives/LightTransport.hpp"
#include "objectives/OpticalPath.hpp"
#include "objectives/Render.hpp"
#include "rays/RayCollection.hpp"
#include "tracer/Solver.hpp"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

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

    // Element visits of all rays in the last trace (a throughput figure).
    unsigned long long lastElementVisits() const { return elementVisits; }

protected:
    unsigned long long elementVisits = 0;
};

// Launches one trace thread per ray (64 per block) with the objective's
// device record, waits for the device and returns the number of element
// visits. Instantiated in the .cpp for every objective record and solver.
template <class ObjectiveDevice, class SolverT, class ElementT>
unsigned long long launchTrace(RayCollection& rays, const Mesh& mesh, const ObjectiveDevice& objective);

template <class ObjectiveT, class SolverT, class ElementT>
class FiniteElementRayTracer : public BaseRayTracer {
public:
    void traceRays(RayCollection& rays, const Mesh& mesh) override {
        elementVisits = launchTrace<decltype(objective.device()), SolverT, ElementT>(rays, mesh, objective.device());
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

private:
    ObjectiveT objective;
};

// solverType 0: forward Euler, 1: fourth-order Runge-Kutta. objectiveKind 0:
// render (Render), 1: optical path of ray 0 (OpticalPath), 2: light transport
// (LightTransport, absorbed power per node). Other values give null. The
// objective starts unconfigured.
std::unique_ptr<BaseRayTracer> createFiniteElementRayTracer(int solverType, int objectiveKind);
