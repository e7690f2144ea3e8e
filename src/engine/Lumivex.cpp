#include "engine/Lumivex.hpp"

#include "IO/ReadMesh.hpp"
#include "engine/Messages.hpp"
#include "mesh/MeshLoad.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

void requireString(const char* text, const char* what) {
    if (!text) throw std::runtime_error(std::string(what) + " must be a string, not None");
}

// Device float array -> host doubles.
void downloadWidened(double* out, const float* d_src, std::size_t count) {
    std::vector<float> staging(count);
    dev::download(staging.data(), d_src, count);
    for (std::size_t i = 0; i < count; ++i) out[i] = staging[i];
}

// Host doubles -> device float array.
void uploadNarrowed(float* d_dst, const double* values, std::size_t count) {
    std::vector<float> staging(values, values + count);
    dev::upload(d_dst, staging.data(), count);
}

}  // namespace

Lumivex::~Lumivex() = default;

void Lumivex::set_solver_type(const char* name) {
    requireString(name, "solver_type");
    if (std::strcmp(name, "FE") == 0) {
        solverType = SolverKind::ForwardEuler;
        lvx::say(lvx::msg::kSolverEuler);
    } else if (std::strcmp(name, "RK4") == 0) {
        solverType = SolverKind::RungeKutta4;
        lvx::say(lvx::msg::kSolverRungeKutta);
    } else {
        solverType = SolverKind::ForwardEuler;
        lvx::say(lvx::msg::kSolverUnknown);
    }
    solverConfigured = true;
}

void Lumivex::load_mesh(const char* path) {
    requireString(path, "mesh_file");
    adoptMesh(readVTKData(path), kVtkFileLoaded);  // a reader error leaves the mesh untouched
}

void Lumivex::load_mesh_arrays(const double* points, long long nPoints, const long long* hexahedra,
                               long long nCells, const double* refrIndex, const double* absorptivity) {
    adoptMesh(meshDataFromArrays(points, nPoints, hexahedra, nCells, refrIndex, absorptivity), kArraysLoaded);
}

void Lumivex::adoptMesh(const HexMeshData& data, const char* loadedLine) {
    try {
        loadMesh(data, mesh, loadedLine);
    } catch (...) {
        // The old arrays may be partly replaced: the mesh is no longer usable.
        meshLoaded = false;
        ready = false;
        throw;
    }
    mesh.clearBoundaryConditions();
    meshLoaded = true;
    reconfigureObjective();
    acceleratorBuilt = false;
    if (surfaceTracerInitialised)
        rebuildSurfaceAccelerator();
    else
        ready = false;
    surfaceTraced = false;
}

void Lumivex::load_rays(const char* path) {
    requireString(path, "rays_file");
    adoptRays(readRays(path));  // a reader error keeps the old rays
}

void Lumivex::load_rays_arrays(const double* origins, const double* directions, const double* powers, int n) {
    adoptRays(raysFromArrays(origins, directions, powers, n));
}

void Lumivex::adoptRays(std::unique_ptr<RayCollection> loaded) {
    rays = std::move(loaded);
    currentRays = rays.get();
    currentRays->saveStartPositions();
    raysLoaded = true;
    surfaceTraced = false;
}

void Lumivex::config() {
    initialiseTracer();
    initialiseSurfaceTracer();
}

void Lumivex::initialiseTracer() {
    if (!solverConfigured)
        lvx::notice(lvx::msg::kSolverNotConfigured);
    tracer = createFiniteElementRayTracer(solverType, ObjectiveKind::LightTransport);
    tracerSolverType = solverType;
    tracerInitialised = true;
    // A new tracer carries a fresh objective: give it the output the user
    // already chose, so the result array always exists once configured.
    if (objectiveConfigured && meshLoaded) tracer->configureOutput(outputName.c_str(), mesh.nodeCount());
}

// Keeps the result array sized to the mesh: a mesh with another node count
// gets a fresh, zeroed array under the same output name.
void Lumivex::reconfigureObjective() {
    if (!tracer || !objectiveConfigured) return;
    const Objective* objective = tracer->getObjective();
    const auto* transport = dynamic_cast<const LightTransport*>(objective);
    if (transport && transport->size() == mesh.nodeCount()) return;
    tracer->configureOutput(outputName.c_str(), mesh.nodeCount());
}

void Lumivex::initialiseSurfaceTracer() {
    if (!meshLoaded) {
        lvx::notice(lvx::msg::kSurfaceTracerNeedsMesh);
        return;
    }
    surfaceTracer = createSurfaceRayTracer(1);
    surfaceTracerInitialised = true;
    surfaceTracer->buildAccelerator(mesh);
    acceleratorBuilt = true;
}

void Lumivex::rebuildSurfaceAccelerator() {
    if (!surfaceTracerInitialised) {
        lvx::notice(lvx::msg::kAcceleratorNeedsSurfaceTracer);
        return;
    }
    surfaceTracer->buildAccelerator(mesh);
    acceleratorBuilt = true;
}

void Lumivex::set_boundary_conditions(const std::vector<OpticalBoundaryCondition>& conditions) {
    if (!meshCheck()) return;
    mesh.setBoundaryConditions(conditions);
    surfaceTraced = false;
}

void Lumivex::clear_boundary_conditions() {
    if (!meshCheck()) return;
    mesh.clearBoundaryConditions();
    surfaceTraced = false;
}

int Lumivex::get_boundary_condition_count() const { return mesh.h_mdata_devlink.nBCs; }

std::vector<int> Lumivex::select_boundary_faces_bbox(double xMin, double xMax, double yMin, double yMax,
                                                     double zMin, double zMax, bool requireAllNodes,
                                                     double tolerance) {
    if (!meshCheck()) return {};
    return mesh.selectBoundaryFacesBBox(requireAllNodes, xMin, xMax, yMin, yMax, zMin, zMax, tolerance);
}

std::vector<int> Lumivex::select_boundary_faces_radial(double radiusMin, double radiusMax,
                                                       bool requireAllNodes, double tolerance) {
    if (!meshCheck()) return {};
    return mesh.selectBoundaryFacesRadial(requireAllNodes, radiusMin, radiusMax, tolerance);
}

void Lumivex::write_boundary_face_groups_vtu(const char* path, const std::vector<std::vector<int>>& groups,
                                             bool includeUnassigned) {
    if (!meshCheck()) return;
    mesh.writeBoundaryFaceGroupsVTU(path, groups, includeUnassigned);
}

void Lumivex::write_boundary_condition_groups_vtu(const char* path, bool includeUnassigned) {
    if (!meshCheck()) return;
    mesh.writeBoundaryConditionGroupsVTU(path, includeUnassigned);
}

void Lumivex::set_constant_matprops(double refractiveIndex, double absorptivity) {
    mesh.setConstantMaterialProperties(refractiveIndex, absorptivity);
}

bool Lumivex::meshCheck() {
    if (!meshLoaded) lvx::say(lvx::msg::kMeshMissing);
    return meshLoaded;
}

bool Lumivex::raysCheck() {
    if (!raysLoaded) lvx::say(lvx::msg::kRaysMissing);
    return raysLoaded;
}

bool Lumivex::readinessGuard(const char* abortText) {
    if (ready) return true;
    if (!meshCheck() || !raysCheck()) {
        lvx::say(abortText);
        return false;
    }
    if (!solverConfigured)
        lvx::say(lvx::msg::kGuardSolverDefault);
    if (!ensureInitialised()) {
        lvx::say(abortText);
        return false;
    }
    return true;
}

bool Lumivex::ensureInitialised() {
    if (!tracerInitialised) {
        lvx::say(lvx::msg::kGuardTracerDefault);
        lvx::say(lvx::msg::kGuardDefaultSettings);
        initialiseTracer();
    }
    if (!surfaceTracerInitialised) {
        lvx::say(lvx::msg::kGuardSurfaceTracerDefault);
        lvx::say(lvx::msg::kGuardDefaultSettings);
        initialiseSurfaceTracer();
    }
    if (!acceleratorBuilt) {
        lvx::say(lvx::msg::kGuardAcceleratorMissing);
        return false;
    }
    if (!objectiveConfigured) {
        lvx::say(lvx::msg::kGuardObjectiveDefault);
        lvx::say(lvx::msg::kGuardDefaultOutput);
        configure_outfilename("out.vtu");
    }
    ready = true;
    return true;
}

void Lumivex::compute_volumetric_absorption() {
    if (!readinessGuard(lvx::msg::kAbortCompute)) return;
    traceSurfaceIfNeeded();
    currentRays->saveTraceSeeds();
    tracer->traceRays(*currentRays, mesh);
    dev::synchronize();
}

void Lumivex::traceSurfaceIfNeeded() {
    if (surfaceTraced) return;
    currentRays->restoreStartPositions();
    surfaceTracer->traceRays(*currentRays, mesh);
    surfaceTraced = true;
}

void Lumivex::compute_ray_response(const double* weights, double* out) {
    const std::size_t rayCount = raysLoaded ? static_cast<std::size_t>(currentRays->nRays) : 0;
    std::fill(out, out + rayCount, 0.0);
    if (!readinessGuard(lvx::msg::kAbortResponse)) return;
    traceSurfaceIfNeeded();
    RayResponse& objective = responseObjective();
    objective.setWeights(weights);
    objective.resetResult();
    {
        // Unit starting powers make the response independent of the rays'
        // powers, zero powers included, which is what a gradient needs.
        UnitPowerScope unitPower(*currentRays);
        responseTracer->traceRays(*currentRays, mesh);
        dev::synchronize();
    }
    objective.getResult(out);
}

RayResponse& Lumivex::responseObjective() {
    // The response follows the paths of the forward trace: same solver.
    if (!responseTracer || responseSolverType != tracerSolverType) {
        responseTracer = createRayResponseTracer(tracerSolverType);
        responseSolverType = tracerSolverType;
    }
    auto& objective = static_cast<RayResponse&>(*responseTracer->getObjective());
    if (objective.nodeCount() != mesh.nodeCount() || objective.rayCount() != currentRays->nRays)
        objective.configure(mesh.nodeCount(), currentRays->nRays);
    return objective;
}

void Lumivex::write_result() {
    if (!readinessGuard(lvx::msg::kAbortOutput)) return;
    tracer->result(mesh);
}

void Lumivex::write_result_append(const double* fields, int nFields, const std::vector<std::string>* names) {
    if (!readinessGuard(lvx::msg::kAbortOutput)) return;
    Objective* objective = tracer->getObjective();
    if (!names) {
        if (objective) objective->clearFieldNames();
        tracer->resultWithFields(mesh, fields, nFields);
        return;
    }
    if (objective) objective->setFieldNames(*names);
    tracer->resultWithFields(mesh, fields, nFields);
    if (objective) objective->clearFieldNames();
}

void Lumivex::configure_outfilename(const char* name) {
    requireString(name, "output_file");
    if (!tracerInitialised || !meshLoaded) {
        lvx::notice(lvx::msg::kOutputNeedsTracerAndMesh);
        return;
    }
    tracer->configureOutput(name, mesh.nodeCount());
    outputName = name;
    objectiveConfigured = true;
}

bool Lumivex::resultAvailable() {
    if (!tracerInitialised || !tracer) {
        lvx::say(lvx::msg::kTracerMissing);
        return false;
    }
    if (!tracer->getResultArrayDevicePtr()) {
        lvx::say(lvx::msg::kResultMissing);
        return false;
    }
    return true;
}

void Lumivex::reset_absorbed_power() {
    if (!resultAvailable()) return;
    tracer->resetResult();
    dev::synchronize();
}

void Lumivex::rotate_reset_rays(const double axis[3], double angle) {
    if (!raysCheck()) return;
    const Vec3 k(static_cast<float>(axis[0]), static_cast<float>(axis[1]), static_cast<float>(axis[2]));
    currentRays->rotateRaysAroundAxis(k, static_cast<float>(angle));
    currentRays->saveStartPositions();
    surfaceTraced = false;
}

unsigned long long Lumivex::get_element_visit_count() const {
    return tracer ? tracer->lastElementVisits() : 0;
}

int Lumivex::get_ray_count() { return raysCheck() ? currentRays->nRays : 0; }

int Lumivex::get_node_count() { return meshCheck() ? mesh.nodeCount() : 0; }
int Lumivex::get_element_count() { return meshCheck() ? mesh.elementCount() : 0; }
int Lumivex::get_boundary_face_count() { return meshCheck() ? mesh.faceCount() : 0; }

std::uintptr_t Lumivex::get_mesh_ptr() {
    return meshCheck() ? reinterpret_cast<std::uintptr_t>(&mesh) : 0;
}

std::uintptr_t Lumivex::get_mesh_data_devlink_ptr() {
    return meshCheck() ? reinterpret_cast<std::uintptr_t>(&mesh.h_mdata_devlink) : 0;
}

std::uintptr_t Lumivex::get_result_array_device_ptr() {
    return resultAvailable() ? reinterpret_cast<std::uintptr_t>(tracer->getResultArrayDevicePtr()) : 0;
}

void Lumivex::get_absorbed_power(double* out) {
    if (!resultAvailable()) {
        std::fill(out, out + mesh.nodeCount(), 0.0);
        return;
    }
    tracer->getResult(out);
}

void Lumivex::get_absorptivity(double* out) {
    downloadWidened(out, mesh.h_mdata_devlink.absorptivity, mesh.nodeCount());
}

void Lumivex::get_refractive_index(double* out) {
    downloadWidened(out, mesh.h_mdata_devlink.refrIndex, mesh.nodeCount());
}

void Lumivex::get_node_positions(double* out) {
    downloadWidened(out, mesh.h_mdata_devlink.nodeCoords, 3 * static_cast<std::size_t>(mesh.nodeCount()));
}

void Lumivex::set_absorptivity(const double* values) {
    uploadNarrowed(mesh.h_mdata_devlink.absorptivity, values, mesh.nodeCount());
}

void Lumivex::set_refractive_index(const double* values) {
    uploadNarrowed(mesh.h_mdata_devlink.refrIndex, values, mesh.nodeCount());
}

void Lumivex::set_node_positions(const double* values) {
    uploadNarrowed(mesh.h_mdata_devlink.nodeCoords, values, 3 * static_cast<std::size_t>(mesh.nodeCount()));
}

void Lumivex::get_ray_payloads(double* out) {
    if (!raysCheck()) return;
    downloadWidened(out, currentRays->h_rdata.payloads, currentRays->nRays);
}

void Lumivex::set_ray_payloads(const double* values) {
    if (!raysCheck()) return;
    uploadNarrowed(currentRays->h_rdata.payloads, values, currentRays->nRays);
}
