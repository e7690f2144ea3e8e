// The engine a script drives: owns the mesh and the tracing pieces, tracks how
// far the set-up has come, and reports missing prerequisites as text.
#pragma once

#include "mesh/Mesh.hpp"

#include <cstdint>
#include <string>
#include <vector>

class Lumivex {
public:
    Lumivex() = default;
    Lumivex(const Lumivex&) = delete;
    Lumivex& operator=(const Lumivex&) = delete;

    void set_solver_type(const char* name);
    void load_mesh(const char* path);
    void set_constant_matprops(double refractiveIndex, double absorptivity);

    void compute_volumetric_absorption();
    void write_result();
    void write_result_append(const double* fields, int nFields, const std::vector<std::string>* names);
    void configure_outfilename(const char* name);
    void reset_absorbed_power();
    void rotate_reset_rays(const double axis[3], double angle);

    int get_ray_count();
    int get_node_count();
    int get_element_count();
    int get_boundary_face_count();
    bool rays_loaded() const { return raysLoaded; }
    bool mesh_loaded() const { return meshLoaded; }

    std::uintptr_t get_mesh_ptr();
    std::uintptr_t get_mesh_data_devlink_ptr();
    std::uintptr_t get_result_array_device_ptr();

    // Host buffers of N (or 3N, or R) doubles; see the Python API for layouts.
    void get_absorbed_power(double* out);
    void get_absorptivity(double* out);
    void get_refractive_index(double* out);
    void get_node_positions(double* out);  // x block, y block, z block
    void set_absorptivity(const double* values);
    void set_refractive_index(const double* values);
    void set_node_positions(const double* values);  // x block, y block, z block
    void get_ray_payloads(double* out);
    void set_ray_payloads(const double* values);

private:
    // Checks mesh and rays before a trace or a write; prints `abortText` and
    // returns false when something is missing.
    bool readinessGuard(const char* abortText);
    bool meshCheck();
    bool raysCheck();

    int solverType = 0;  // 0 forward Euler, 1 fourth-order Runge-Kutta
    Mesh mesh;

    bool raysLoaded = false;
    bool meshLoaded = false;
    bool solverConfigured = false;
    bool tracerInitialised = false;
    bool surfaceTracerInitialised = false;
    bool objectiveConfigured = false;
    bool acceleratorBuilt = false;
    bool ready = false;
    bool surfaceTraced = false;
};
