// Python module kuravel: the kinetics parameters and model, driven through
// addresses handed out by a lumivex engine in the same process.
#include "bindings/device_info.hpp"
#include "bindings/lumivex_addresses.hpp"
#include "device/MemoryBudget.hpp"
#include "materials/ParameterChecks.hpp"
#include "materials/Kuravel.hpp"
#include "mesh/Mesh.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <memory>
#include <string>

namespace py = pybind11;
using kuravel::KuravelProps;
using kuravel::MaterialState;

namespace {

using DoubleArray = py::array_t<double, py::array::c_style>;

// Addresses arrive as unsigned 64-bit integers, so a negative one fails the
// argument conversion (TypeError) before any of this runs.
template <class T>
T* fromAddress(std::uint64_t address) {
    return reinterpret_cast<T*>(static_cast<std::uintptr_t>(address));
}

// Device memory per node: six state arrays of doubles, two Dirichlet masks
// and the nodal grid's per-node links.
constexpr std::size_t kBytesPerNode = 6 * sizeof(double) + 4 * sizeof(int);

// Initial concentrations exist only on the device after construction, so
// they are checked here; the other parameters are checked at every step.
std::unique_ptr<MaterialState> createModel(int nNodes, const KuravelProps& p) {
    using lvx::Allowed;
    const char* owner = "Kuravel refused";
    lvx::requireParameter(owner, "c_monomer0", p.c_monomer0, Allowed::NonNegative);
    lvx::requireParameter(owner, "c_radical0", p.c_radical0, Allowed::NonNegative);
    lvx::requireParameter(owner, "c_oxygen0", p.c_oxygen0, Allowed::NonNegative);
    lvx::requireParameter(owner, "degree_of_curing0", p.degree_of_curing0, Allowed::NonNegative);
    if (nNodes > 0)
        dev::requireMemory("a Kuravel of " + std::to_string(nNodes) + " nodes",
                           dev::bytesFor(static_cast<std::size_t>(nNodes), kBytesPerNode));
    return std::make_unique<MaterialState>(nNodes, p);
}

// Rate constants, diffusivities, Dirichlet values, the time step and the
// material of the two cure states, as the step will use them.
void checkStepParameters(const kuravel::MaterialStateDataFlat& s) {
    using lvx::Allowed;
    const char* owner = "Kuravel step refused";
    lvx::requireParameter(owner, "dt", s.dtDiff, Allowed::NonNegative);
    lvx::requireParameter(owner, "kpropagation", s.kpropagation, Allowed::NonNegative);
    lvx::requireParameter(owner, "koxygen", s.koxygen, Allowed::NonNegative);
    lvx::requireParameter(owner, "diffusion_oxygen", s.diffusion_oxygen, Allowed::NonNegative);
    lvx::requireParameter(owner, "diffusion_radical", s.diffusion_radical, Allowed::NonNegative);
    lvx::requireParameter(owner, "dirichlet_radical", s.dirichlet_radical, Allowed::NonNegative);
    lvx::requireParameter(owner, "dirichlet_oxygen", s.dirichlet_oxygen, Allowed::NonNegative);
    lvx::requireParameter(owner, "oxygen_gel_point", s.oxygen_gel_point, Allowed::Finite);
    lvx::requireParameter(owner, "n0", s.n0, Allowed::Positive);
    lvx::requireParameter(owner, "n1", s.n1, Allowed::Positive);
    lvx::requireParameter(owner, "alpha0", s.alpha0, Allowed::NonNegative);
    lvx::requireParameter(owner, "alpha1", s.alpha1, Allowed::NonNegative);
}

DoubleArray copyNodeArray(const MaterialState& state, const double* d_values) {
    const int n = state.nodeCount();
    DoubleArray out(n);
    if (n > 0) dev::download(out.mutable_data(), d_values, static_cast<std::size_t>(n));
    return out;
}

}  // namespace

PYBIND11_MODULE(kuravel, m) {
    m.doc() = "Kuravel material model bindings";
    addDeviceInfo(m);

    py::class_<KuravelProps>(m, "KuravelProps", "Configuration values for the kuravel material model.")
        .def(py::init<>())
        .def_readwrite("kpropagation", &KuravelProps::kpropagation, "Propagation rate constant k_p.")
        .def_readwrite("koxygen", &KuravelProps::koxygen, "Oxygen consumption rate constant k_o.")
        .def_readwrite("diffusion_oxygen", &KuravelProps::diffusion_oxygen,
                       "Oxygen diffusivity; with dt it also sets the nodal grid's cell size.")
        .def_readwrite("diffusion_radical", &KuravelProps::diffusion_radical, "Radical diffusivity.")
        .def_readwrite("diffusion_bc", &KuravelProps::diffusion_bc,
                       "Boundary mode of both species when diffusion_bc_radical and diffusion_bc_oxygen are 0.")
        .def_readwrite("diffusion_bc_radical", &KuravelProps::diffusion_bc_radical,
                       "1: the radical field is held at dirichlet_radical on its Dirichlet nodes.")
        .def_readwrite("diffusion_bc_oxygen", &KuravelProps::diffusion_bc_oxygen,
                       "1: oxygen is held at dirichlet_oxygen on its Dirichlet nodes.")
        .def_readwrite("dirichlet_radical", &KuravelProps::dirichlet_radical, "Fixed radical value.")
        .def_readwrite("dirichlet_oxygen", &KuravelProps::dirichlet_oxygen, "Fixed oxygen value.")
        .def_readwrite("oxygen_gel_point", &KuravelProps::oxygen_gel_point,
                       "Degree of curing at and above which oxygen no longer moves at a node.")
        .def_readwrite("oxygen_dirichlet_all_boundary", &KuravelProps::oxygen_dirichlet_all_boundary,
                       "Oxygen Dirichlet nodes are all boundary nodes (ignored when either list is non-empty).")
        .def_readwrite("oxygen_dirichlet_bc_groups", &KuravelProps::oxygen_dirichlet_bc_groups,
                       "Optical boundary-condition indices whose faces carry the oxygen Dirichlet value "
                       "(a new list on each read).")
        .def_readwrite("oxygen_dirichlet_face_ids", &KuravelProps::oxygen_dirichlet_face_ids,
                       "Global boundary-face ids that carry the oxygen Dirichlet value (a new list on each read).")
        .def_readwrite("dt", &KuravelProps::dt, "Time step of one reaction_step.")
        .def_readwrite("n0", &KuravelProps::n0, "Refractive index at degree of curing 0.")
        .def_readwrite("n1", &KuravelProps::n1, "Refractive index at degree of curing 1.")
        .def_readwrite("alpha0", &KuravelProps::alpha0, "Absorptivity at degree of curing 0.")
        .def_readwrite("alpha1", &KuravelProps::alpha1, "Absorptivity at degree of curing 1.")
        .def_readwrite("c_monomer0", &KuravelProps::c_monomer0,
                       "Initial monomer concentration, also the reference of the degree of curing (non-zero).")
        .def_readwrite("c_radical0", &KuravelProps::c_radical0, "Initial radical concentration.")
        .def_readwrite("c_oxygen0", &KuravelProps::c_oxygen0, "Initial oxygen value (a fraction in [0, 1]).")
        .def_readwrite("degree_of_curing0", &KuravelProps::degree_of_curing0, "Initial degree of curing.");

    py::class_<MaterialState>(m, "Kuravel", "Kuravel material state and update kernels.")
        .def(py::init(&createModel), py::arg("n_nodes"), py::arg("props"),
             "Create a kuravel model with explicit parameters (no TOML).")
        .def(
            "initialize_accelerator",
            [](MaterialState& self, std::uint64_t meshPtr) {
                if (meshPtr != 0) lumivexNodeCount("mesh", meshPtr, "mesh_ptr");  // the model compares the count
                self.initializeAccelerator(fromAddress<const Mesh>(meshPtr));
            },
            py::arg("mesh_ptr"), "Build nodal accelerator structure using the Lumivex mesh pointer.")
        .def(
            "reaction_step",
            [](MaterialState& self, std::uint64_t resultDevicePtr, std::uint64_t meshDevlinkPtr) {
                verifyStepAddresses(resultDevicePtr, meshDevlinkPtr, self.nodeCount(), "Kuravel");
                if (resultDevicePtr != 0 && meshDevlinkPtr != 0) checkStepParameters(self.hostRecord());
                self.step(fromAddress<const double>(resultDevicePtr),
                          fromAddress<const MeshDataFlat>(meshDevlinkPtr));
            },
            py::arg("result_device_ptr"), py::arg("mesh_devlink_ptr"),
            "Run one kuravel step using pointers from Lumivex.")
        .def(
            "get_degree_of_curing",
            [](const MaterialState& self) { return copyNodeArray(self, self.degreeOfCuringDevice()); },
            "Copy degree-of-curing values from device to a NumPy array.")
        .def(
            "get_oxygen_concentration",
            [](const MaterialState& self) { return copyNodeArray(self, self.oxygenDevice()); },
            "Copy oxygen concentration values from device to a NumPy array.")
        .def("get_dt", &MaterialState::dtDiff, "Get kuravel time step (dtDiff).");
}
