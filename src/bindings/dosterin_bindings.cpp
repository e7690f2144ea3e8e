// Python module dosterin: the dose-threshold cure model on lumivex's mesh.
#include "bindings/device_info.hpp"
#include "bindings/lumivex_addresses.hpp"
#include "materials/Dosterin.hpp"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>

namespace py = pybind11;

namespace {

using DoubleArray = py::array_t<double, py::array::c_style>;

DoubleArray copyOut(const Dosterin& model, void (Dosterin::*get)(double*) const) {
    DoubleArray out(model.nNodes());
    (model.*get)(out.mutable_data());
    return out;
}

}  // namespace

PYBIND11_MODULE(dosterin, m) {
    addDeviceInfo(m);
    m.doc() = "Dosterin material update models";

    py::class_<MatProps>(m, "EnergeticMaterialProps", "Material properties used by Dosterin curing updates.")
        .def(py::init<>(), "Create a material property container")
        .def_readwrite("n0", &MatProps::n0, "Refractive index at degree of curing 0.")
        .def_readwrite("n1", &MatProps::n1, "Refractive index at degree of curing 1.")
        .def_readwrite("alpha0", &MatProps::alpha0, "Absorptivity at degree of curing 0.")
        .def_readwrite("alpha1", &MatProps::alpha1, "Absorptivity at degree of curing 1.")
        .def_readwrite("cureE", &MatProps::cureE, "Accumulated energy at which the degree of curing reaches 1.")
        .def_readwrite("gelE", &MatProps::gelE,
                       "Accumulated energy at which the degree of curing starts to rise from 0.")
        .def_readwrite("dt", &MatProps::dt, "Exposure time of one step; multiplies the absorbed power.");

    py::class_<Dosterin>(m, "Dosterin", "Dosterin model used to update refractive index and absorptivity.")
        .def(py::init<int>(), py::arg("n_nodes"), "Create with node count and default EnergeticMaterialProps")
        .def(py::init<int, const MatProps&>(), py::arg("n_nodes"), py::arg("matprops"),
             "Create with node count and EnergeticMaterialProps")
        .def_property("n_nodes", &Dosterin::nNodes, &Dosterin::setNNodes,
                      "Number of nodes used by reaction_step, get_eddf and get_doc. It may be lowered,\n"
                      "but not raised beyond the count the object was created with.")
        // Reading gives a view of the model's own record; assigning copies one in.
        .def_readwrite("matprops", &Dosterin::matprops, "Model parameters (EnergeticMaterialProps).")
        // Addresses are unsigned 64-bit: pybind11 refuses negative or non-integer
        // values with a TypeError before the call.
        .def(
            "reaction_step",
            [](Dosterin& model, std::uint64_t resultDevicePtr, std::uint64_t meshDevlinkPtr) {
                verifyStepAddresses(resultDevicePtr, meshDevlinkPtr, model.nNodes(), "Dosterin");
                model.reactionStep(static_cast<std::uintptr_t>(resultDevicePtr),
                                   static_cast<std::uintptr_t>(meshDevlinkPtr));
            },
            py::arg("result_device_ptr"), py::arg("mesh_devlink_ptr"),
            "Run one reaction step using pointer addresses obtained from lumivex.\n\n"
            "Parameters\n----------\n"
            "result_device_ptr : int\n    CUDA device address returned by\n"
            "    Lumivex.get_result_array_device_ptr().\n"
            "mesh_devlink_ptr : int\n    Host address of mesh.h_mdata_devlink returned by\n"
            "    Lumivex.get_mesh_data_devlink_ptr().")
        .def(
            "get_eddf", [](const Dosterin& model) { return copyOut(model, &Dosterin::getEddf); },
            "Copy the EDDF buffer from device to a NumPy array.\n\n"
            "Returns\n-------\nnumpy.ndarray\n    1D array of shape (n_nodes,) with accumulated EDDF values.")
        .def(
            "get_doc", [](const Dosterin& model) { return copyOut(model, &Dosterin::getDoc); },
            "Copy the DoC buffer from device to a NumPy array.\n\n"
            "Returns\n-------\nnumpy.ndarray\n    1D array of shape (n_nodes,) with GPU-computed DoC values.");
}
