#include "bindings/device_info.hpp"

#include "device/Device.hpp"

namespace py = pybind11;

namespace {

// The three modules each carry their own device layer; the first one imported
// decides and the others follow it, even if LUMIVEX_DEVICE changed meanwhile.
void followSiblingModules(const py::module_& self) {
    const py::dict modules = py::module_::import("sys").attr("modules");
    for (const char* name : {"lumivex", "kuravel", "dosterin"}) {
        if (self.attr("__name__").cast<std::string>() == name || !modules.contains(name)) continue;
        const py::object sibling = modules[name];
        if (!py::hasattr(sibling, "device")) continue;
        dev::adoptBackend(sibling.attr("device")().cast<std::string>());
        return;
    }
}

}  // namespace

void addDeviceInfo(py::module_& m) {
    followSiblingModules(m);
    dev::backend();  // resolve now, so a bad LUMIVEX_DEVICE fails the import
    m.def("device", [] { return std::string(dev::backendName()); },
          "Name of the active compute backend: 'cuda' (GPU) or 'cpu' (OpenMP threads).\n\n"
          "Chosen once per process when the first of lumivex, kuravel and dosterin is imported:\n"
          "the GPU when one is present, else the CPU. Set LUMIVEX_DEVICE=cpu or\n"
          "LUMIVEX_DEVICE=cuda before the import to force a backend.");
    m.def("cuda_available", [] { return dev::cudaCompiledIn() && dev::cudaDeviceCount() > 0; },
          "True when this build has the CUDA backend and a CUDA device is present.");
    m.def("_fail_next_device_operation", &dev::failNextOperation, py::arg("error_text"),
          "Testing aid: the next device operation of this module fails with error_text,\n"
          "through the same checks as a real device failure.");
}
