#include "engine/Lumivex.hpp"

#include "IO/ReadMesh.hpp"
#include "engine/Messages.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <string>

namespace {

constexpr const char* kMeshMissing = "Error: mesh not loaded yet!\n";
constexpr const char* kRaysMissing = "Error: rays not loaded yet!\n";
constexpr const char* kTracerMissing = "Error: FERT not initialized yet!\n";

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

void Lumivex::set_solver_type(const char* name) {
    requireString(name, "solver_type");
    if (std::strcmp(name, "FE") == 0) {
        solverType = 0;
        lvx::say("Solver is configured as forward euler\n");
    } else if (std::strcmp(name, "RK4") == 0) {
        solverType = 1;
        lvx::say("Solver is configured as 4th order Runge-Kutta\n");
    } else {
        solverType = 0;
        lvx::say("Solver type not recognized using default: Forwar-Euler\n");
    }
    solverConfigured = true;
}

void Lumivex::load_mesh(const char* path) {
    requireString(path, "mesh_file");
    const VtkMeshData data = readVTKData(path);  // throws before the mesh is touched
    try {
        loadMesh(data, mesh);
    } catch (...) {
        // The old arrays may be partly replaced: the mesh is no longer usable.
        meshLoaded = false;
        ready = false;
        throw;
    }
    mesh.releaseConditions();
    mesh.synchronize();
    meshLoaded = true;
    acceleratorBuilt = false;
    ready = false;
    surfaceTraced = false;
}

void Lumivex::set_constant_matprops(double refractiveIndex, double absorptivity) {
    mesh.setConstantMaterialProperties(refractiveIndex, absorptivity);
}

bool Lumivex::meshCheck() {
    if (!meshLoaded) lvx::say(kMeshMissing);
    return meshLoaded;
}

bool Lumivex::raysCheck() {
    if (!raysLoaded) lvx::say(kRaysMissing);
    return raysLoaded;
}

bool Lumivex::readinessGuard(const char* abortText) {
    if (ready) return true;
    if (!meshCheck() || !raysCheck()) {
        lvx::say(abortText);
        return false;
    }
    if (!solverConfigured)
        lvx::say("Warning: solver type not configured using default solver (Forward Euler)\n");
    lvx::say(kTracerMissing);
    lvx::say(abortText);
    return false;
}

void Lumivex::compute_volumetric_absorption() {
    readinessGuard("Aborting: Can not solve optics before proper initialization.\n");
}

void Lumivex::write_result() {
    readinessGuard("Aborting: Can not create output file before proper initialization.\n");
}

void Lumivex::write_result_append(const double*, int, const std::vector<std::string>*) {
    readinessGuard("Aborting: Can not create output file before proper initialization.\n");
}

void Lumivex::configure_outfilename(const char* name) {
    requireString(name, "output_file");
    if (!tracerInitialised || !meshLoaded) {
        lvx::notice(
            "Error: FERT must be initialized and mesh must be loaded before configuring output "
            "file name in objective.");
        return;
    }
    objectiveConfigured = true;
}

void Lumivex::reset_absorbed_power() { lvx::say(kTracerMissing); }

void Lumivex::rotate_reset_rays(const double*, double) {
    if (!raysCheck()) return;
    surfaceTraced = false;
}

int Lumivex::get_ray_count() {
    raysCheck();
    return 0;
}

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
    lvx::say(kTracerMissing);
    return 0;
}

void Lumivex::get_absorbed_power(double* out) {
    lvx::say(kTracerMissing);
    std::fill(out, out + mesh.nodeCount(), 0.0);
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

void Lumivex::get_ray_payloads(double*) { raysCheck(); }

void Lumivex::set_ray_payloads(const double*) { raysCheck(); }
