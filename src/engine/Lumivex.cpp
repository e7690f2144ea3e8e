#include "engine/Lumivex.hpp"

#include "IO/ReadMesh.hpp"
#include "engine/Messages.hpp"
#include "mesh/MeshChecks.hpp"
#include "mesh/MaterialChecks.hpp"
#include "mesh/MeshLoad.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>

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

// Host doubles -> device float array, refusing (before anything is copied)
// the first value that `valid` rejects once narrowed.
template <class Valid>
void uploadNarrowed(float* d_dst, const double* values, std::size_t count, Valid valid, const char* where,
                    const char* what, const char* item, const char* rule) {
    const std::vector<float> staging = lvx::narrowChecked(values, count, valid, where, what, item, rule);
    dev::upload(d_dst, staging.data(), count);
}

bool finiteFloat(float v) { return std::isfinite(v); }

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
    HexMeshData data = readVTKData(path);
    lvx::requireValidMaterial(data.refrIndex, data.absorptivity, data.points.size() / 3,
                              std::string("mesh file '") + path + "'");
    adoptMesh(std::move(data), kVtkFileLoaded);  // a reader error leaves the mesh untouched
}

void Lumivex::load_mesh_arrays(const double* points, long long nPoints, const long long* hexahedra,
                               long long nCells, const double* refrIndex, const double* absorptivity) {
    HexMeshData data = meshDataFromArrays(points, nPoints, hexahedra, nCells, refrIndex, absorptivity);
    lvx::requireValidMaterial(data.refrIndex, data.absorptivity, data.points.size() / 3, "load_mesh_arrays");
    adoptMesh(std::move(data), kArraysLoaded);
}

void Lumivex::adoptMesh(HexMeshData data, const char* loadedLine) {
    try {
        loadMesh(std::move(data), mesh, loadedLine);
    } catch (const InvalidMeshError&) {
        throw;  // refused before anything was replaced: the old mesh stays usable
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
    tracer = createFiniteElementRayTracer(solverType, traced);
    tracerSolver = solverType;
    tracerInitialised = true;
    // A new tracer carries a fresh objective: give it the output the user
    // already chose, so the result array always exists once configured.
    if (objectiveConfigured) applyObjectiveSettings();
}

void Lumivex::applyObjectiveSettings() {
    Objective* objective = tracer->getObjective();
    if (traced == ObjectiveKind::LightTransport) {
        if (meshLoaded) tracer->configureOutput(outputName.c_str(), mesh.nodeCount());
    } else if (auto* render = dynamic_cast<Render*>(objective)) {
        render->configureImage(renderName.c_str(), renderWidth, renderHeight, pixelSize);
    } else if (auto* paths = dynamic_cast<OpticalPath*>(objective)) {
        paths->configurePaths(pathName.c_str(), pathPoints, recordedRays());
    }
}

void Lumivex::configure_render(const char* outputFile, int width, int height, double size) {
    requireString(outputFile, "output_file");
    const auto kept = std::make_tuple(renderName, renderWidth, renderHeight, pixelSize);
    renderName = outputFile;
    renderWidth = width;
    renderHeight = height;
    pixelSize = size;
    try {
        selectObjective(ObjectiveKind::Render);
    } catch (...) {
        std::tie(renderName, renderWidth, renderHeight, pixelSize) = kept;
        throw;
    }
}

void Lumivex::configure_optical_path(const char* outputFile, int pointsPerRay, int maxRays) {
    requireString(outputFile, "output_file");
    const auto kept = std::make_tuple(pathName, pathPoints, pathRays);
    pathName = outputFile;
    pathPoints = pointsPerRay;
    pathRays = maxRays;
    try {
        selectObjective(ObjectiveKind::OpticalPath);
    } catch (...) {
        std::tie(pathName, pathPoints, pathRays) = kept;
        throw;
    }
}

// A fresh tracer for `kind` with the stored settings: earlier results of the
// objective are dropped, as when configuring it again.
void Lumivex::selectObjective(ObjectiveKind kind) {
    // An objective that cannot be set up (an image or path too large for the
    // memory, say) leaves the tracer and the objective in use as they were.
    std::unique_ptr<BaseRayTracer> keptTracer = std::move(tracer);
    const ObjectiveKind keptKind = traced;
    const SolverKind keptSolver = tracerSolver;
    const bool keptConfigured = objectiveConfigured, keptInitialised = tracerInitialised;
    traced = kind;
    objectiveConfigured = true;
    try {
        initialiseTracer();
    } catch (...) {
        tracer = std::move(keptTracer);
        traced = keptKind;
        tracerSolver = keptSolver;
        objectiveConfigured = keptConfigured;
        tracerInitialised = keptInitialised;
        throw;
    }
}

// A solver chosen since the tracer was created takes effect now: the objective
// (with its result so far) moves to a tracer for that solver. Recorded paths
// follow the current ray set.
void Lumivex::matchSolverAndRays() {
    if (tracerSolver != solverType) {
        if (std::unique_ptr<BaseRayTracer> next = tracer->withSolver(solverType)) {
            tracer = std::move(next);
            tracerSolver = solverType;
        }
    }
    auto* paths = dynamic_cast<OpticalPath*>(tracer->getObjective());
    if (paths && paths->rays() != recordedRays()) paths->configurePaths(nullptr, pathPoints, recordedRays());
}

int Lumivex::recordedRays() const {
    const int loaded = raysLoaded ? currentRays->nRays : 0;
    return pathRays < 0 ? loaded : std::min(pathRays, loaded);
}

// Keeps the result array sized to the mesh: a mesh with another node count
// gets a fresh, zeroed array under the same output name.
void Lumivex::reconfigureObjective() {
    if (!tracer || !objectiveConfigured || traced != ObjectiveKind::LightTransport) return;
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
    for (std::size_t i = 0; i < conditions.size(); ++i)
        if (!lvx::validRefractiveIndex(static_cast<float>(conditions[i].refractive_index_real)))
            lvx::refuseValue("set_boundary_conditions", "boundary condition " + std::to_string(i) +
                             ": refractive_index_real", conditions[i].refractive_index_real,
                             lvx::refractiveIndexRule());
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
    if (!lvx::validRefractiveIndex(static_cast<float>(refractiveIndex)))
        lvx::refuseValue("set_constant_matprops", "refractive_index", refractiveIndex, lvx::refractiveIndexRule());
    if (!lvx::validAbsorptivity(static_cast<float>(absorptivity)))
        lvx::refuseValue("set_constant_matprops", "absorptivity", absorptivity, lvx::absorptivityRule());
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
    matchSolverAndRays();
    tracer->setTraceOptions(traceOptions);
    tracer->traceRays(*currentRays, mesh);
    dev::synchronize();
    const long long stalled = tracer->lastTraceCounts().stalled;
    if (stalled > 0) {
        std::printf(lvx::msg::kStalledRays, stalled);
        std::fflush(stdout);
    }
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
    // The response follows the paths of the next forward trace: the solver
    // and step rule that trace uses.
    if (!responseTracer || responseSolverType != solverType) {
        responseTracer = createRayResponseTracer(solverType);
        responseSolverType = solverType;
    }
    responseTracer->setTraceOptions(traceOptions);
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
    if (traced != ObjectiveKind::LightTransport) {
        // Back to the default objective, on a tracer of its own.
        traced = ObjectiveKind::LightTransport;
        tracer = createFiniteElementRayTracer(solverType, traced);
        tracerSolver = solverType;
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
    if (traced != ObjectiveKind::LightTransport) {
        lvx::say(lvx::msg::kNotLightTransport);
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
    // Normalised in double: in single precision an axis such as (1e-30, 0, 0)
    // has a length of 0 and would scale the rays instead of turning them.
    const double length = std::hypot(axis[0], axis[1], axis[2]);
    if (!(length > 0.0 && std::isfinite(length)))
        throw std::runtime_error("rotate_reset_rays: axis [" + std::to_string(axis[0]) + ", " +
                                 std::to_string(axis[1]) + ", " + std::to_string(axis[2]) +
                                 "] has no direction; it must be finite and non-zero");
    if (!std::isfinite(static_cast<float>(angle)))
        throw std::runtime_error("rotate_reset_rays: angle " + std::to_string(angle) + " is not finite");
    const Vec3 k(static_cast<float>(axis[0] / length), static_cast<float>(axis[1] / length),
                 static_cast<float>(axis[2] / length));
    currentRays->rotateRaysAroundAxis(k, static_cast<float>(angle));
    currentRays->saveStartPositions();
    surfaceTraced = false;
}

unsigned long long Lumivex::get_element_visit_count() const {
    return tracer ? tracer->lastElementVisits() : 0;
}

unsigned long long Lumivex::get_step_count() const {
    return tracer ? static_cast<unsigned long long>(tracer->lastTraceCounts().steps) : 0;
}

unsigned long long Lumivex::get_derivative_evaluation_count() const {
    return tracer ? static_cast<unsigned long long>(tracer->lastTraceCounts().evaluations) : 0;
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

void Lumivex::get_boundary_face_nodes(int* out) {
    dev::download(out, mesh.h_mdata_devlink.faceNodes, 4 * static_cast<std::size_t>(mesh.faceCount()));
}

void Lumivex::set_absorptivity(const double* values) {
    uploadNarrowed(mesh.h_mdata_devlink.absorptivity, values, mesh.nodeCount(), lvx::validAbsorptivity,
                   "set_absorptivity", "absorptivity", "node", lvx::absorptivityRule());
}

void Lumivex::set_refractive_index(const double* values) {
    uploadNarrowed(mesh.h_mdata_devlink.refrIndex, values, mesh.nodeCount(), lvx::validRefractiveIndex,
                   "set_refractive_index", "refractive index", "node", lvx::refractiveIndexRule());
}

void Lumivex::set_node_positions(const double* values) {
    // Checked per block (x of every node, then y, then z), so that the
    // message names the node.
    const std::size_t n = static_cast<std::size_t>(mesh.nodeCount());
    std::vector<float> staging;
    staging.reserve(3 * n);
    for (std::size_t c = 0; c < 3; ++c) {
        const std::vector<float> block = lvx::narrowChecked(values + c * n, n, finiteFloat, "set_node_positions",
                                                            std::string(1, "xyz"[c]), "node",
                                                            "finite in single precision");
        staging.insert(staging.end(), block.begin(), block.end());
    }
    dev::upload(mesh.h_mdata_devlink.nodeCoords, staging.data(), staging.size());
}

void Lumivex::get_ray_payloads(double* out) {
    if (!raysCheck()) return;
    downloadWidened(out, currentRays->h_rdata.payloads, currentRays->nRays);
}

void Lumivex::set_ray_payloads(const double* values) {
    if (!raysCheck()) return;
    uploadNarrowed(currentRays->h_rdata.payloads, values, currentRays->nRays, finiteFloat, "set_ray_payloads",
                   "payload", "ray", "finite in single precision");
}

void Lumivex::get_ray_entry_faces(int* out) {
    if (!raysCheck()) return;
    dev::download(out, currentRays->h_rdata.faceIds, static_cast<std::size_t>(currentRays->nRays));
}

bool Lumivex::render_size(int& width, int& height) const {
    const auto* render = tracer && traced == ObjectiveKind::Render ? dynamic_cast<const Render*>(tracer->getObjective())
                                                            : nullptr;
    if (!render) {
        lvx::say(lvx::msg::kNotRender);
        return false;
    }
    width = render->image().width();
    height = render->image().height();
    return true;
}

bool Lumivex::get_render_image(double* out) {
    int width = 0, height = 0;
    if (!render_size(width, height)) return false;
    if (width > 0 && height > 0) tracer->getResult(out);
    return true;
}

bool Lumivex::optical_path_shape(int& rays, int& pointsPerRay) const {
    const auto* paths = tracer && traced == ObjectiveKind::OpticalPath
                            ? dynamic_cast<const OpticalPath*>(tracer->getObjective())
                            : nullptr;
    if (!paths) {
        lvx::say(lvx::msg::kNotOpticalPath);
        return false;
    }
    rays = paths->rays();
    pointsPerRay = paths->capacity();
    return true;
}

bool Lumivex::get_optical_paths(double* points, int* slotFlags) {
    int rays = 0, perRay = 0;
    if (!optical_path_shape(rays, perRay)) return false;
    if (rays > 0 && perRay > 0) {
        tracer->getResult(points);
        dynamic_cast<OpticalPath*>(tracer->getObjective())->getSlotFlags(slotFlags);
    }
    return true;
}
