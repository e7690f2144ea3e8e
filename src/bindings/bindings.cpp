// Python module lumivex: the engine class and NumPy conversions.
#include "bindings/address_registry.hpp"
#include "bindings/device_info.hpp"
#include "engine/Lumivex.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cfloat>
#include <climits>
#include <cmath>
#include <stdexcept>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// Any array-like converted to a C-contiguous float64 array.
using DoubleArray = py::array_t<double, py::array::c_style | py::array::forcecast>;

void require(bool condition, const char* message) {
    if (!condition) throw std::runtime_error(message);
}

// Values the engine stores as floats must be finite there too.
bool finiteAsFloat(double v) { return std::isfinite(v) && std::fabs(v) <= FLT_MAX; }

void requireFinite(const double* values, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
        if (!finiteAsFloat(values[i]))
            throw std::runtime_error("Input must be finite: entry " + std::to_string(i) + " is " +
                                     std::to_string(values[i]));
}

DoubleArray nodeVector(Lumivex& engine, void (Lumivex::*fill)(double*)) {
    DoubleArray out(engine.mesh_loaded() ? engine.get_node_count() : 0);
    (engine.*fill)(out.mutable_data());
    return out;
}

void setNodeVector(Lumivex& engine, const DoubleArray& values, void (Lumivex::*set)(const double*)) {
    require(values.ndim() == 1, "Input must be a 1-D array");
    const py::ssize_t n = engine.mesh_loaded() ? engine.get_node_count() : 0;
    require(values.shape(0) == n, "Array size must match node count");
    requireFinite(values.data(), static_cast<std::size_t>(n));
    (engine.*set)(values.data());
}

DoubleArray nodePositions(Lumivex& engine) {
    const py::ssize_t n = engine.mesh_loaded() ? engine.get_node_count() : 0;
    std::vector<double> blocks(3 * static_cast<std::size_t>(n));
    engine.get_node_positions(blocks.data());
    DoubleArray out({n, py::ssize_t(3)});
    auto rows = out.mutable_unchecked<2>();
    for (py::ssize_t i = 0; i < n; ++i)
        for (py::ssize_t c = 0; c < 3; ++c) rows(i, c) = blocks[c * n + i];
    return out;
}

void setNodePositions(Lumivex& engine, const DoubleArray& positions) {
    require(positions.ndim() == 2 && positions.shape(1) == 3, "Input must be a (nNodes, 3) array");
    const py::ssize_t n = engine.mesh_loaded() ? engine.get_node_count() : 0;
    require(positions.shape(0) == n, "Array size must match node count");
    requireFinite(positions.data(), 3 * static_cast<std::size_t>(n));
    auto rows = positions.unchecked<2>();
    std::vector<double> blocks(3 * static_cast<std::size_t>(n));
    for (py::ssize_t i = 0; i < n; ++i)
        for (py::ssize_t c = 0; c < 3; ++c) blocks[c * n + i] = rows(i, c);
    engine.set_node_positions(blocks.data());
}

void setConstantMatprops(Lumivex& engine, double refractiveIndex, double absorptivity) {
    require(finiteAsFloat(refractiveIndex) && finiteAsFloat(absorptivity),
            "refractive_index and absorptivity must be finite");
    engine.set_constant_matprops(refractiveIndex, absorptivity);
}

py::array_t<int> boundaryFaceNodes(Lumivex& engine) {
    const py::ssize_t f = engine.mesh_loaded() ? engine.get_boundary_face_count() : 0;
    py::array_t<int> out({f, py::ssize_t(4)});
    engine.get_boundary_face_nodes(out.mutable_data());
    return out;
}

void rotateResetRays(Lumivex& engine, const DoubleArray& axis, double angle) {
    require(axis.ndim() == 1 && axis.shape(0) == 3, "Axis must be a 3-element array [x, y, z]");
    engine.rotate_reset_rays(axis.data(), angle);
}

void writeResultAppend(Lumivex& engine, const DoubleArray& fields, const py::object& fieldNames) {
    if (!engine.mesh_loaded()) {
        engine.write_result();  // reports the missing mesh through the guard
        return;
    }
    const py::ssize_t n = engine.get_node_count();
    py::ssize_t nFields = 0;
    if (fields.ndim() == 1) {
        require(n > 0 && fields.shape(0) % n == 0, "1D array size must be a multiple of node count");
        nFields = fields.shape(0) / n;
    } else if (fields.ndim() == 2) {
        require(fields.shape(1) == n, "Second dimension must match node count");
        nFields = fields.shape(0);
    } else {
        throw std::runtime_error("Input must be a 1D or 2D array");
    }
    if (fieldNames.is_none()) {
        engine.write_result_append(fields.data(), static_cast<int>(nFields), nullptr);
        return;
    }
    const auto names = fieldNames.cast<std::vector<std::string>>();
    require(static_cast<py::ssize_t>(names.size()) == nFields, "field_names length must match number of fields");
    for (const auto& name : names) require(!name.empty(), "field_names entries must be non-empty");
    engine.write_result_append(fields.data(), static_cast<int>(nFields), &names);
}

// Optional per-node values: None, a number, or N values.
std::vector<double> optionalNodeValues(const py::object& values, py::ssize_t n, const char* name) {
    if (values.is_none()) return {};
    const DoubleArray array = DoubleArray::ensure(values);
    if (!array) throw std::runtime_error(std::string(name) + " must be a number or an array of node values");
    if (array.ndim() == 0) return std::vector<double>(static_cast<std::size_t>(n), *array.data());
    if (array.ndim() != 1 || array.shape(0) != n)
        throw std::runtime_error(std::string(name) + " must have one value per point (" + std::to_string(n) + ")");
    return std::vector<double>(array.data(), array.data() + n);
}

void loadMeshArrays(Lumivex& engine, const DoubleArray& points, const py::object& hexahedraLike,
                    const py::object& refractiveIndex, const py::object& absorptivity) {
    require(points.ndim() == 2 && points.shape(1) == 3, "points must be an (N, 3) array");
    // Any array_like (nested lists too); NumPy decides the dtype.
    const py::array hexahedra = py::module_::import("numpy").attr("asarray")(hexahedraLike);
    if (hexahedra.dtype().kind() != 'i' && hexahedra.dtype().kind() != 'u')
        throw std::runtime_error("hexahedra must be an integer array of node ids");
    const auto cells = py::array_t<long long, py::array::c_style | py::array::forcecast>::ensure(hexahedra);
    require(cells && cells.ndim() == 2 && cells.shape(1) == 8, "hexahedra must be an (E, 8) array");
    const py::ssize_t n = points.shape(0);
    const std::vector<double> refr = optionalNodeValues(refractiveIndex, n, "refractive_index");
    const std::vector<double> absorb = optionalNodeValues(absorptivity, n, "absorptivity");
    engine.load_mesh_arrays(points.data(), n, cells.data(), cells.shape(0), refr.empty() ? nullptr : refr.data(),
                            absorb.empty() ? nullptr : absorb.data());
}

void loadRaysArrays(Lumivex& engine, const DoubleArray& origins, const DoubleArray& directions,
                    const DoubleArray& powers) {
    require(origins.ndim() == 2 && origins.shape(1) == 3, "origins must be an (R, 3) array");
    require(directions.ndim() == 2 && directions.shape(1) == 3 && directions.shape(0) == origins.shape(0),
            "directions must be an (R, 3) array like origins");
    require(powers.ndim() == 1 && powers.shape(0) == origins.shape(0), "powers must be an (R,) array like origins");
    require(origins.shape(0) <= INT_MAX, "too many rays");
    engine.load_rays_arrays(origins.data(), directions.data(), powers.data(), static_cast<int>(origins.shape(0)));
}

DoubleArray rayPayloads(Lumivex& engine) {
    DoubleArray out(engine.rays_loaded() ? engine.get_ray_count() : 0);
    engine.get_ray_payloads(out.mutable_data());
    return out;
}

void setRayPayloads(Lumivex& engine, const DoubleArray& payloads) {
    require(payloads.ndim() == 1, "Input must be a 1-D array");
    if (!engine.rays_loaded()) {
        engine.set_ray_payloads(nullptr);  // reports the missing rays
        return;
    }
    require(payloads.shape(0) == engine.get_ray_count(), "Array size must match ray count");
    engine.set_ray_payloads(payloads.data());
}

void configureRender(Lumivex& engine, int width, int height, double pixelSize, const std::string& outputFile) {
    require(width >= 1 && height >= 1, "width and height must be at least 1 pixel");
    require(static_cast<long long>(width) * height <= INT_MAX / 3, "the image has too many pixels");
    require(pixelSize > 0.0 && std::isfinite(pixelSize), "pixel_size must be a positive number");
    engine.configure_render(outputFile.c_str(), width, height, pixelSize);
}

void configureOpticalPath(Lumivex& engine, int pointsPerRay, const std::string& outputFile, const py::object& rays) {
    require(pointsPerRay >= 0, "points_per_ray must not be negative");
    const int maxRays = rays.is_none() ? -1 : rays.cast<int>();
    require(maxRays >= -1 && (rays.is_none() || maxRays >= 0), "rays must be None or a count of at least 0");
    engine.configure_optical_path(outputFile.c_str(), pointsPerRay, maxRays);
}

const char* objectiveName(const Lumivex& engine) {
    switch (engine.traced_objective()) {
        case ObjectiveKind::Render: return "render";
        case ObjectiveKind::OpticalPath: return "optical_path";
        case ObjectiveKind::LightTransport: break;
    }
    return "light_transport";
}

// The planar image (red, green, blue planes of height x width pixels, pixel
// i = row * width + column) as rows of RGB triples.
DoubleArray renderImage(Lumivex& engine) {
    int width = 0, height = 0;
    if (!engine.render_size(width, height)) throw std::runtime_error("the objective is not render: call configure_render first");
    const std::size_t plane = static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
    std::vector<double> planes(3 * plane);
    engine.get_render_image(planes.data());
    DoubleArray out({py::ssize_t(height), py::ssize_t(width), py::ssize_t(3)});
    double* rgb = out.mutable_data();
    for (std::size_t p = 0; p < plane; ++p)
        for (std::size_t c = 0; c < 3; ++c) rgb[3 * p + c] = planes[c * plane + p];
    return out;
}

// Recorded points of every ray, NaN in the slots a ray did not fill.
DoubleArray opticalPaths(Lumivex& engine) {
    int rays = 0, perRay = 0;
    if (!engine.optical_path_shape(rays, perRay))
        throw std::runtime_error("the objective is not optical path: call configure_optical_path first");
    const std::size_t slots = static_cast<std::size_t>(rays) * static_cast<std::size_t>(perRay);
    DoubleArray out({py::ssize_t(rays), py::ssize_t(perRay), py::ssize_t(5)});
    std::vector<int> flags(slots, -1);
    engine.get_optical_paths(out.mutable_data(), flags.data());
    double* values = out.mutable_data();
    for (std::size_t k = 0; k < slots; ++k)
        if (flags[k] < 1) std::fill(values + 5 * k, values + 5 * k + 5, std::nan(""));
    return out;
}

py::array_t<int> rayEntryFaces(Lumivex& engine) {
    py::array_t<int> out(engine.rays_loaded() ? engine.get_ray_count() : 0);
    engine.get_ray_entry_faces(out.mutable_data());
    return out;
}

DoubleArray computeRayResponse(Lumivex& engine, const DoubleArray& weights) {
    require(weights.ndim() == 1, "Input must be a 1-D array");
    const py::ssize_t n = engine.mesh_loaded() ? engine.get_node_count() : 0;
    require(weights.shape(0) == n, "Array size must match node count");
    const double* w = weights.data();
    for (py::ssize_t k = 0; k < n; ++k) require(std::isfinite(w[k]), "node_weights must be finite");
    DoubleArray out(engine.rays_loaded() ? engine.get_ray_count() : 0);
    engine.compute_ray_response(w, out.mutable_data());
    return out;
}

}  // namespace

PYBIND11_MODULE(lumivex, m) {
    m.doc() = "Lumivex: GPU-accelerated volumetric ray tracing and absorption simulation";
    addDeviceInfo(m);
    lvx::addAddressRegistry(m);

    py::enum_<BoundaryConditionInteractionType>(m, "BoundaryConditionInteractionType",
                                                "Boundary interaction mode for optical BCs.")
        .value("TRANSMIT", TRANSMIT, "Transmitting interface BC (Snell/Fresnel transmission mode).")
        .value("REFLECT", REFLECT, "Reflecting interface BC (specular/microfacet reflection mode).")
        .export_values();

    py::class_<OpticalBoundaryCondition>(m, "OpticalBoundaryCondition",
                                         "Face-based optical boundary condition definition.")
        .def(py::init<>())
        .def_readwrite("rough_surface", &OpticalBoundaryCondition::rough_surface,
                       "True for a rough surface (microfacet sampling of the normal).")
        .def_readwrite("roughness", &OpticalBoundaryCondition::roughness, "Roughness parameter of the surface.")
        .def_readwrite("interaction_type", &OpticalBoundaryCondition::interaction_type,
                       "TRANSMIT (refraction with Fresnel loss) or REFLECT.")
        .def_readwrite("refractive_index_real", &OpticalBoundaryCondition::refractive_index_real,
                       "Real part of the refractive index outside the face.")
        .def_readwrite("refractive_index_imag", &OpticalBoundaryCondition::refractive_index_imag,
                       "Imaginary part (extinction coefficient) of the refractive index outside the face.")
        .def_readwrite("faces", &OpticalBoundaryCondition::faces,
                       "Global boundary-face ids the condition applies to (a new list on each read).");

    // The holder forgets the engine's handed-out addresses when it is destroyed.
    py::class_<Lumivex, lvx::EngineHolder>(m, "Lumivex", R"doc(Main class for GPU-accelerated ray tracing and volumetric absorption calculations.

Typical workflow:
    1. Create the engine: engine = Lumivex()
    2. Configure: engine.config()
    3. Load the mesh: engine.load_mesh('mesh.vtk')
    4. Load the rays: engine.load_rays('rays.ry')
    5. Set the solver type: engine.set_solver_type('solver_name')
    6. Compute absorption: engine.compute_volumetric_absorption()
    7. Get results: absorbed_power = engine.get_absorbed_power()
    8. Write output: engine.write_result()
)doc")
        .def(py::init<>(), "Initialize a new Lumivex instance")
        .def("config", &Lumivex::config, R"doc(Configure the engine.

Creates the volumetric tracer for the solver chosen with set_solver_type
(forward Euler when none was chosen) and the surface tracer with its face
grid. Must be called after loading the mesh and before computing; the
configuration itself comes from set_solver_type and the other setters. Without
it, the first compute configures the engine with default settings.

Example
-------
>>> engine.config()
)doc")
        .def("set_solver_type", &Lumivex::set_solver_type, py::arg("solver_type"), R"doc(Set the ray tracing solver type.

Parameters
----------
solver_type : str
    'FE' for the first-order explicit (forward) Euler integrator, or 'RK4' for
    the fourth-order Runge-Kutta integrator (recommended for GRIN media).
    Any other name selects forward Euler with a message.

The choice takes effect at the next compute_volumetric_absorption, also when
the engine was configured before; the result accumulated so far is kept.

Example
-------
>>> engine.set_solver_type('RK4')
)doc")
        .def("load_mesh", &Lumivex::load_mesh, py::arg("mesh_file"), R"doc(Load a finite element mesh from file.

Parameters
----------
mesh_file : str
    Path to a legacy ASCII VTK unstructured grid. The mesh must contain
    hexahedral elements (VTK cell type 12). Optional point scalars
    'RefractiveIndex' and 'Absorptivity' set the nodal material.

Raises
------
RuntimeError
    If the file cannot be opened or is not a valid hexahedral mesh; the
    previously loaded mesh stays in place.

Example
-------
>>> engine.load_mesh('mesh.vtk')
)doc")
        .def("load_rays", &Lumivex::load_rays, py::arg("rays_file"), R"doc(Load ray data from file.

Parameters
----------
rays_file : str
    Path to a .ry file: a ray count N, then N records of origin x y z,
    direction x y z and power, in any line layout.

Raises
------
RuntimeError
    If the file cannot be opened, or holds fewer records than its count or a
    count outside 0 .. 2147483647; the previously loaded rays stay.
ValueError
    If the count line holds no number.

Example
-------
>>> engine.load_rays('rays.ry')
)doc")
        .def("load_mesh_arrays", &loadMeshArrays, py::arg("points"), py::arg("hexahedra"),
             py::arg("refractive_index") = py::none(), py::arg("absorptivity") = py::none(),
             R"doc(Load a hexahedral mesh from arrays, with the same set-up as load_mesh.

Parameters
----------
points : array_like, shape (N, 3)
    Node coordinates.
hexahedra : integer array_like, shape (E, 8)
    Node ids of each element in VTK hexahedron order.
refractive_index, absorptivity : float or array_like of shape (N,), optional
    Nodal material; nodes without values get 1.0 and 0.0.

Raises
------
RuntimeError
    For wrong shapes, non-finite coordinates or material, node ids out of
    range, tangled or degenerate hexahedra, or faces shared by three or more
    hexahedra; the previously loaded mesh stays in place.

Notes
-----
Mirrored hexahedra (nodes in the other handedness) are reordered, and nodes
that coincide without being merged are reported, each in one printed line.
lumivex_tools.load_mesh_file reads any file meshio reads, with its named
groups.

Example
-------
>>> import meshio
>>> m = meshio.read('part.msh')
>>> engine.load_mesh_arrays(m.points, m.cells_dict['hexahedron'])
)doc")
        .def("load_rays_arrays", &loadRaysArrays, py::arg("origins"), py::arg("directions"), py::arg("powers"),
             R"doc(Load rays from arrays, with the same set-up as load_rays.

Parameters
----------
origins : array_like, shape (R, 3)
directions : array_like, shape (R, 3)
    Normalised on loading.
powers : array_like, shape (R,)

Raises
------
RuntimeError
    For wrong shapes or non-finite values; the previously loaded rays stay.
)doc")
        .def("set_boundary_conditions", &Lumivex::set_boundary_conditions, py::arg("boundary_conditions"),
             R"doc(Assign face-based optical boundary conditions.

Calling this replaces any previously assigned conditions. A face named by
several conditions takes the last one (with a warning); out-of-range face ids
are skipped with a warning.

Parameters
----------
boundary_conditions : list of OpticalBoundaryCondition

Example
-------
>>> bc = OpticalBoundaryCondition()
>>> bc.faces = engine.select_boundary_faces_radial(0.99, 1.01)
>>> bc.refractive_index_real = 1.5
>>> engine.set_boundary_conditions([bc])
)doc")
        .def("clear_boundary_conditions", &Lumivex::clear_boundary_conditions,
             "Remove all optical boundary conditions and reset face assignments.")
        .def("get_boundary_condition_count", &Lumivex::get_boundary_condition_count,
             "Get the number of currently assigned optical boundary conditions.")
        .def("select_boundary_faces_bbox", &Lumivex::select_boundary_faces_bbox, py::arg("x_min"),
             py::arg("x_max"), py::arg("y_min"), py::arg("y_max"), py::arg("z_min"), py::arg("z_max"),
             py::arg("require_all_nodes") = true, py::arg("tolerance") = 1e-9,
             R"doc(Select boundary face ids whose nodes lie inside an axis-aligned bounding box.

Parameters
----------
x_min, x_max, y_min, y_max, z_min, z_max : float
    Box bounds (swapped when given in the wrong order).
require_all_nodes : bool, default True
    True: all 4 face nodes must be inside; False: any node inside suffices.
tolerance : float, default 1e-9
    Added to the box bounds on every side.

Returns
-------
list of int
    Global boundary-face ids, ascending.
)doc")
        .def("select_boundary_faces_radial", &Lumivex::select_boundary_faces_radial, py::arg("radius_min"),
             py::arg("radius_max"), py::arg("require_all_nodes") = true, py::arg("tolerance") = 1e-9,
             R"doc(Select boundary face ids whose nodes lie inside a cylindrical radial band.

The radius is r = sqrt(x^2 + y^2), the distance to the Z axis.

Parameters
----------
radius_min, radius_max : float
    Band limits; a negative minimum counts as 0.
require_all_nodes : bool, default True
    True: all 4 face nodes must be inside; False: any node inside suffices.
tolerance : float, default 1e-9
    Widens the band on both sides.

Returns
-------
list of int
    Global boundary-face ids, ascending.
)doc")
        .def("write_boundary_face_groups_vtu", &Lumivex::write_boundary_face_groups_vtu, py::arg("output_file"),
             py::arg("face_groups"), py::arg("include_unassigned_faces") = true,
             R"doc(Write boundary faces to VTU with integer GroupId cell data for visualization.

Parameters
----------
output_file : str
face_groups : list of list of int
    Group index becomes GroupId.
include_unassigned_faces : bool, default True
    Also write faces of no group, with GroupId=-1.
)doc")
        .def("write_boundary_condition_groups_vtu", &Lumivex::write_boundary_condition_groups_vtu,
             py::arg("output_file"), py::arg("include_unassigned_faces") = true,
             R"doc(Write currently assigned boundary-condition groups to VTU for validation.

GroupId is the boundary-condition index (-1 for faces without a condition).

Parameters
----------
output_file : str
include_unassigned_faces : bool, default True
)doc")
        .def("set_constant_matprops", &setConstantMatprops, py::arg("refractive_index"),
             py::arg("absorptivity"), R"doc(Set constant material properties for all nodes.

Parameters
----------
refractive_index : float
    Refractive index of every node.
absorptivity : float
    Absorption coefficient of every node, per unit mesh length.

Raises
------
RuntimeError
    If a value is not finite.

Example
-------
>>> engine.set_constant_matprops(1.5, 0.3)
)doc")
        .def("configure_outfilename", &Lumivex::configure_outfilename, py::arg("output_file"),
             R"doc(Set the output filename for result data.

The name is used by write_result and write_result_append; each write adds a
running number before the extension.

Parameters
----------
output_file : str
    Base name of the VTU result files, e.g. 'result.vtu'.
)doc")
        .def("compute_volumetric_absorption", &Lumivex::compute_volumetric_absorption,
             R"doc(Compute volumetric absorption by tracing rays through the mesh.

The absorbed power accumulates on the mesh nodes; read it with
get_absorbed_power or write it with write_result.
)doc")
        .def("compute_ray_response", &computeRayResponse, py::arg("node_weights"),
             R"doc(Per-ray response of a node-weighted absorbed power (the adjoint trace).

Traces every ray once with unit starting power and returns, per ray, the
power it deposits per unit nodal volume, weighted by the node weights:
r_i = sum over its element visits of sum_j w[node_j] * deposit_j. Absorbed
power is linear in the rays' powers P, so sum_i r_i * P_i equals
sum_k w_k * Q_k of compute_volumetric_absorption with the same rays, and r is
the gradient of sum_k w_k * Q_k with respect to the ray powers.

The rays (powers and random states) and the absorbed-power result are left
as they were. Rough faces draw the same random numbers for this trace as for
the last compute_volumetric_absorption of these rays (or, before the first,
as for the next one), so both follow the same paths.

Parameters
----------
node_weights : numpy.ndarray
    1-D array of N finite weights, one per mesh node.

Returns
-------
numpy.ndarray
    1-D float64 array of R responses (zeros when the engine is not ready).

Raises
------
RuntimeError
    If the weights are not 1-D, not N long, or not finite.
)doc")
        .def("get_ray_count", &Lumivex::get_ray_count, "Get the number of rays currently loaded in the engine.")
        .def("get_element_visit_count", &Lumivex::get_element_visit_count,
             "Number of element visits of all rays in the last compute_volumetric_absorption (a cost figure).")
        .def("get_step_count", &Lumivex::get_step_count,
             "Number of integration steps, accepted and rejected, of all rays in the last "
             "compute_volumetric_absorption (a cost figure).")
        .def("get_derivative_evaluation_count", &Lumivex::get_derivative_evaluation_count,
             "Number of evaluations of the ray equation's right-hand side in the last "
             "compute_volumetric_absorption (a cost figure: one per forward Euler step, four per RK4 step, "
             "fewer when a rejected step is retried from the same state).")
        .def(
            "_set_trace_options",
            [](Lumivex& self, const std::string& stepRule, bool wideCpuTrace) {
                TraceOptions options;
                if (stepRule == "element")
                    options.stepRule = StepRule::FollowElement;
                else if (stepRule == "fixed") {
                    if (dev::backend() != dev::Backend::Cpu)
                        throw py::value_error("step_rule 'fixed' is a CPU benchmark baseline; the GPU kernels "
                                              "carry only the 'element' rule");
                    options.stepRule = StepRule::FixedStart;
                } else
                    throw py::value_error("step_rule must be 'element' or 'fixed', not '" + stepRule + "'");
                options.wideCpuTrace = wideCpuTrace;
                self.set_trace_options(options);
            },
            py::arg("step_rule") = "element", py::arg("wide_cpu_trace") = true,
            "For benchmarks: step rule of later traces ('element': steps sized from the element, the default; "
            "'fixed': the earlier rule, h = 0.1 halved on overshoot, CPU backend only) and whether the CPU backend may use its "
            "x86-64-v3 build.")
        .def("get_node_count", &Lumivex::get_node_count, "Get the number of nodes in the loaded mesh.")
        .def("get_element_count", &Lumivex::get_element_count,
             "Get the number of hexahedral elements in the loaded mesh.")
        .def("get_boundary_face_count", &Lumivex::get_boundary_face_count,
             "Get the number of boundary faces of the loaded mesh (the range of global boundary-face ids).")
        .def("get_boundary_face_nodes", &boundaryFaceNodes, R"doc(Get the node ids of every boundary face.

Returns
-------
numpy.ndarray of int32, shape (F, 4)
    Row i holds the four node ids of boundary face i (the id that
    OpticalBoundaryCondition.faces takes), in outward order: seen from
    outside the mesh they run counter-clockwise. Empty when no mesh is loaded.
)doc")
        .def("get_mesh_data_devlink_ptr",
             [](Lumivex& e) { return lvx::handOut(e, lvx::AddressKind::MeshData, e.get_mesh_data_devlink_ptr()); },
             R"doc(Get the host pointer address of mesh.h_mdata_devlink.

Returns
-------
int
    A host address, not a device pointer: the mesh record whose array fields
    are device addresses. It can be passed to dosterin.Dosterin.reaction_step().
    0 when no mesh is loaded.
)doc")
        .def("get_mesh_ptr", [](Lumivex& e) { return lvx::handOut(e, lvx::AddressKind::Mesh, e.get_mesh_ptr()); }, R"doc(Get the host pointer address of the Mesh object.

Returns
-------
int
    Host address of the engine's mesh. It can be passed to
    kuravel.Kuravel.initialize_accelerator(). 0 when no mesh is loaded.
)doc")
        .def("get_result_array_device_ptr",
             [](Lumivex& e) { return lvx::handOut(e, lvx::AddressKind::Result, e.get_result_array_device_ptr()); },
             R"doc(Get the device pointer address of fert->getResultArrayDevicePtr().

Returns
-------
int
    A CUDA device address (a host address on the CPU backend) of the
    absorbed-power array, one double per node. It can be passed to
    dosterin.Dosterin.reaction_step(). 0 before the objective is configured.
)doc")
        .def("get_absorbed_power", [](Lumivex& e) { return nodeVector(e, &Lumivex::get_absorbed_power); },
             R"doc(Get absorbed power at each mesh node.

Returns
-------
numpy.ndarray, shape (N,)
    Volumetric absorbed power per node, as accumulated by
    compute_volumetric_absorption.
)doc")
        .def("get_ray_payloads", &rayPayloads, R"doc(Get per-ray payload/intensity values as a NumPy array.

Returns
-------
numpy.ndarray, shape (R,)
    Power carried by each ray.
)doc")
        .def("get_absorptivity", [](Lumivex& e) { return nodeVector(e, &Lumivex::get_absorptivity); },
             R"doc(Get absorptivity values at each mesh node.

Returns
-------
numpy.ndarray, shape (N,)
    Absorption coefficient per node, usually in [0-1] per unit length.
)doc")
        .def("get_refractive_index", [](Lumivex& e) { return nodeVector(e, &Lumivex::get_refractive_index); },
             R"doc(Get refractive index values at each mesh node.

Returns
-------
numpy.ndarray, shape (N,)
)doc")
        .def("get_node_positions", &nodePositions, R"doc(Get mesh node positions.

Returns
-------
numpy.ndarray, shape (N, 3)
    Rows [x, y, z] in mesh file order.
)doc")
        .def("set_absorptivity",
             [](Lumivex& e, const DoubleArray& a) { setNodeVector(e, a, &Lumivex::set_absorptivity); },
             py::arg("absorptivity"), R"doc(Set absorptivity values for all mesh nodes.

Parameters
----------
absorptivity : array_like, shape (N,)

Raises
------
RuntimeError
    If the array is not 1-D, its size differs from the node count or a
    value is not finite.
)doc")
        .def("set_ray_payloads", &setRayPayloads, py::arg("payloads"),
             R"doc(Set per-ray payload/intensity values from a NumPy array.

Parameters
----------
payloads : array_like, shape (R,)

Raises
------
RuntimeError
    If the array is not 1-D or its size differs from the ray count.
)doc")
        .def("set_refractive_index",
             [](Lumivex& e, const DoubleArray& a) { setNodeVector(e, a, &Lumivex::set_refractive_index); },
             py::arg("refractive_index"), R"doc(Set refractive index values for all mesh nodes.

Use this for graded-index (GRIN) media.

Parameters
----------
refractive_index : array_like, shape (N,)

Raises
------
RuntimeError
    If the array is not 1-D, its size differs from the node count or a
    value is not finite.
)doc")
        .def("set_node_positions", &setNodePositions, py::arg("positions"), R"doc(Set mesh node positions.

Deforms the mesh, for instance in coupled simulations.

Parameters
----------
positions : array_like, shape (N, 3)
    Rows [x, y, z].

Raises
------
RuntimeError
    If the array is not (nNodes, 3) or a coordinate is not finite.
)doc")
        .def("reset_absorbed_power", &Lumivex::reset_absorbed_power,
             R"doc(Reset absorbed power to zero for all nodes.

Use between repeated runs without reloading the mesh or the rays.
)doc")
        .def("rotate_reset_rays", &rotateResetRays, py::arg("axis"), py::arg("angle"),
             R"doc(Rotate rays around an axis and reset their surface flags.

Parameters
----------
axis : array_like of 3 floats
    Rotation axis [x, y, z]; it is normalised automatically.
angle : float
    Angle in radians, right-hand rule.

Raises
------
RuntimeError
    If axis does not have exactly 3 elements.

Example
-------
>>> engine.rotate_reset_rays([0, 0, 1], 0.5)
)doc")
        .def("write_result", &Lumivex::write_result, R"doc(Write simulation results to a VTU file.

The file holds the absorbed power, absorptivity and refractive index fields;
its name comes from configure_outfilename.
)doc")
        .def("write_result_append", &writeResultAppend, py::arg("fields"), py::arg("field_names") = py::none(),
             R"doc(Write simulation results with additional custom fields to VTU file.

Parameters
----------
fields : array_like
    Either 1-D of size N * nFields (fields one after another) or 2-D of shape
    (nFields, N).
field_names : list of str, optional
    One non-empty name per field. Without names the fields are called Field
    (one field) or Field_0 .. Field_k.

Raises
------
RuntimeError
    If the shapes or the names do not match the node count and field count.
)doc")
        .def("configure_render", &configureRender, py::arg("width"), py::arg("height"), py::arg("pixel_size") = 1.0,
             py::arg("output_file") = "render.bmp", R"doc(Trace a render instead of the absorbed power.

Ray i stands for pixel i of a width x height image, counted row by row from
the bottom left (so the ray set should hold width * height rays). When a ray
meets the mesh surface its pixel is coloured from the surface normal n:
red = (1 - n.z) / 2, green = (1 - n.x) / 2, blue = (1 - n.y) / 2. Pixels of rays
that miss the mesh stay black. configure_outfilename selects the absorbed
power again. The solver and the loaded mesh and rays stay as they are.

Parameters
----------
width, height : int
    Image size in pixels, at least 1.
pixel_size : float, default 1.0
    Edge length of one pixel in mesh units (recorded with the image).
output_file : str, default 'render.bmp'
    Base name of the 24-bit BMP files that write_result writes
    ('render_0.bmp', 'render_1.bmp', ...).

Example
-------
>>> engine.configure_render(64, 48)
>>> engine.compute_volumetric_absorption()
>>> image = engine.get_render_image()        # (48, 64, 3)
)doc")
        .def("configure_optical_path", &configureOpticalPath, py::arg("points_per_ray"),
             py::arg("output_file") = "paths.csv", py::arg("rays") = py::none(),
             R"doc(Record the rays' paths instead of the absorbed power.

Every ray records the point where it leaves each element it crosses, with the
path length travelled and its remaining power, until points_per_ray points are
recorded. Points accumulate over computes until the objective is configured
again (or a ray set of another size is traced). configure_outfilename selects
the absorbed power again.

Parameters
----------
points_per_ray : int
    Points kept per ray, at least 1.
output_file : str, default 'paths.csv'
    Base name of the CSV files that write_result writes with the path of ray 0
    ('paths_0.csv', ...; header x,y,z,s,E).
rays : int, optional
    Record only the first `rays` rays (all by default); the memory needed is
    40 bytes per point and ray.

Example
-------
>>> engine.configure_optical_path(200)
>>> engine.compute_volumetric_absorption()
>>> paths = engine.get_optical_paths()       # (rays, 200, 5)
)doc")
        .def("get_objective", &objectiveName,
             "Name of the objective the next trace records: 'light_transport', 'render' or 'optical_path'.")
        .def("get_render_image", &renderImage, R"doc(Get the render image.

Returns
-------
numpy.ndarray, shape (height, width, 3)
    Red, green and blue in [0, 1]; row 0 is the bottom row of the picture
    (show it with matplotlib's imshow(..., origin='lower')).

Raises
------
RuntimeError
    If the objective is not render.
)doc")
        .def("get_optical_paths", &opticalPaths, R"doc(Get the recorded paths of all rays.

Returns
-------
numpy.ndarray, shape (rays, points_per_ray, 5)
    Per point x, y, z (mesh units), path length s and remaining power E, in
    the order the ray crossed the elements; NaN past the end of a path.

Raises
------
RuntimeError
    If the objective is not optical path.
)doc")
        .def("get_ray_entry_faces", &rayEntryFaces, R"doc(Get the boundary face each ray entered the mesh through.

Returns
-------
numpy.ndarray of int, shape (R,)
    Global boundary-face id per ray after the last surface trace, -1 for a ray
    that misses the mesh (and for every ray before the first compute).
)doc");
}
