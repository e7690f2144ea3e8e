// The engine a script drives: owns the mesh and the tracing pieces, tracks how
// far the set-up has come, and reports missing prerequisites as text.
#pragma once

#include "accel/SurfaceRayTracer.hpp"
#include "mesh/Mesh.hpp"
#include "rays/RayCollection.hpp"
#include "tracer/FiniteElementRayTracer.hpp"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class Lumivex {
public:
    Lumivex() = default;
    ~Lumivex();
    Lumivex(const Lumivex&) = delete;
    Lumivex& operator=(const Lumivex&) = delete;

    void config();
    void set_solver_type(const char* name);
    void load_mesh(const char* path);
    void load_rays(const char* path);
    // Same set-up as the file loaders, from row-major arrays.
    void load_mesh_arrays(const double* points, long long nPoints, const long long* hexahedra, long long nCells,
                          const double* refrIndex, const double* absorptivity);
    void load_rays_arrays(const double* origins, const double* directions, const double* powers, int n);
    void set_constant_matprops(double refractiveIndex, double absorptivity);

    void set_boundary_conditions(const std::vector<OpticalBoundaryCondition>& conditions);
    void clear_boundary_conditions();
    int get_boundary_condition_count() const;
    std::vector<int> select_boundary_faces_bbox(double xMin, double xMax, double yMin, double yMax,
                                                double zMin, double zMax, bool requireAllNodes,
                                                double tolerance);
    std::vector<int> select_boundary_faces_radial(double radiusMin, double radiusMax,
                                                  bool requireAllNodes, double tolerance);
    void write_boundary_face_groups_vtu(const char* path, const std::vector<std::vector<int>>& groups,
                                        bool includeUnassigned);
    void write_boundary_condition_groups_vtu(const char* path, bool includeUnassigned);

    void compute_volumetric_absorption();
    // Per-ray response to node weights (N doubles in, R doubles out): the
    // absorbed power per unit starting power that ray i deposits, weighted
    // by the weights of the nodes it lands on, so that sum_i r_i P_i equals
    // sum_k w_k Q_k of the last forward trace (same random draws at rough
    // faces). The rays, their seeds and the light-transport result are left
    // as they were. Fills zeros when the engine is not ready.
    void compute_ray_response(const double* weights, double* out);
    void write_result();
    void write_result_append(const double* fields, int nFields, const std::vector<std::string>* names);
    void configure_outfilename(const char* name);
    // Select the render / optical-path objective (configure_outfilename
    // selects light transport again). Arguments are checked by the caller:
    // width, height >= 1, pixelSize > 0, pointsPerRay >= 0.
    void configure_render(const char* outputFile, int width, int height, double pixelSize);
    // maxRays < 0: every ray records; otherwise the first maxRays rays.
    void configure_optical_path(const char* outputFile, int pointsPerRay, int maxRays);
    // What the next trace records: absorbed power per node (the default), a
    // render of the surfaces the rays meet, or the rays' paths.
    ObjectiveKind traced_objective() const { return traced; }
    void reset_absorbed_power();
    void rotate_reset_rays(const double axis[3], double angle);

    int get_ray_count();
    unsigned long long get_element_visit_count() const;
    unsigned long long get_step_count() const;
    unsigned long long get_derivative_evaluation_count() const;
    // How later traces run (step rule, CPU instruction set); for comparisons.
    void set_trace_options(const TraceOptions& options) { traceOptions = options; }
    int get_node_count();
    int get_element_count();
    int get_boundary_face_count();
    bool rays_loaded() const { return raysLoaded; }
    bool mesh_loaded() const { return meshLoaded; }

    std::uintptr_t get_mesh_ptr();
    std::uintptr_t get_mesh_data_devlink_ptr();
    std::uintptr_t get_result_array_device_ptr();
    // The result array's current address without any message; 0 when none.
    std::uintptr_t current_result_array() {
        return tracer ? reinterpret_cast<std::uintptr_t>(tracer->getResultArrayDevicePtr()) : 0;
    }

    // Host buffers of N (or 3N, or R) doubles; see the Python API for layouts.
    void get_absorbed_power(double* out);
    void get_absorptivity(double* out);
    void get_refractive_index(double* out);
    void get_node_positions(double* out);  // x block, y block, z block
    void get_boundary_face_nodes(int* out);  // 4F node ids, face-major, outward order
    void set_absorptivity(const double* values);
    void set_refractive_index(const double* values);
    void set_node_positions(const double* values);  // x block, y block, z block
    void get_ray_payloads(double* out);
    void set_ray_payloads(const double* values);
    // Entry face of each ray after the last surface trace (-1: missed the mesh).
    void get_ray_entry_faces(int* out);

    // Results of the render and optical-path objectives; false (with a
    // message) when that objective is not the configured one.
    bool render_size(int& width, int& height) const;
    bool get_render_image(double* out);  // 3 planes (red, green, blue) of width * height
    bool optical_path_shape(int& rays, int& pointsPerRay) const;
    bool get_optical_paths(double* points, int* slotFlags);  // rays * points * 5 values, rays * points flags

private:
    // Checks mesh and rays before a trace or a write; prints `abortText` and
    // returns false when something is missing.
    bool readinessGuard(const char* abortText);
    bool meshCheck();
    bool raysCheck();
    void adoptMesh(struct HexMeshData data, const char* loadedLine);
    void adoptRays(std::unique_ptr<RayCollection> loaded);
    bool ensureInitialised();
    void initialiseTracer();
    void initialiseSurfaceTracer();
    void rebuildSurfaceAccelerator();
    void reconfigureObjective();
    void applyObjectiveSettings();
    void selectObjective(ObjectiveKind kind);
    void matchSolverAndRays();
    int recordedRays() const;
    // Moves the rays onto their entry faces if rays, mesh or conditions changed.
    void traceSurfaceIfNeeded();
    // The response tracer for the current solver, sized for the mesh and rays.
    RayResponse& responseObjective();
    // The result array exists (printing why not when it does not).
    bool resultAvailable();

    std::unique_ptr<SurfaceRayTracerBase> surfaceTracer;
    std::unique_ptr<BaseRayTracer> tracer;
    std::unique_ptr<BaseRayTracer> responseTracer;  // created on first use
    SolverKind solverType = SolverKind::ForwardEuler;
    TraceOptions traceOptions;
    SolverKind tracerSolver = SolverKind::ForwardEuler;  // the solver the current tracer integrates with
    ObjectiveKind traced = ObjectiveKind::LightTransport;
    SolverKind responseSolverType = SolverKind::ForwardEuler;  // solver of responseTracer
    Mesh mesh;
    std::unique_ptr<RayCollection> rays;
    RayCollection* currentRays = nullptr;
    std::string outputName;  // last accepted configure_outfilename
    // Settings of the render and optical-path objectives, applied again to a
    // tracer created by config().
    std::string renderName, pathName;
    int renderWidth = 0, renderHeight = 0, pathPoints = 0, pathRays = -1;
    double pixelSize = 0.0;

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
