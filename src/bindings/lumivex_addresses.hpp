// Verification of addresses from a lumivex engine, for the kuravel and
// dosterin modules: they dereference what they are given, so an address is
// first checked against the records that the lumivex module of this process
// has handed out (through its `_node_count_at`).
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <stdexcept>
#include <string>

// Node count of the live lumivex record of `kind` ("mesh", "mesh_data",
// "result") at `address`; throws RuntimeError naming `argument` otherwise.
inline int lumivexNodeCount(const char* kind, std::uint64_t address, const char* argument) {
    namespace py = pybind11;
    const py::dict modules = py::module_::import("sys").attr("modules");
    if (!modules.contains("lumivex") || !py::hasattr(modules["lumivex"], "_node_count_at"))
        throw std::runtime_error(std::string(argument) +
                                 " cannot be verified: the lumivex module is not loaded in this process, so the "
                                 "address cannot come from a lumivex engine");
    return modules["lumivex"].attr("_node_count_at")(kind, address, argument).cast<int>();
}

// Verifies the two addresses of a step. Null addresses are left to the
// model, which reports them with its own messages, and so is a mesh whose
// node count differs from the model's; what is checked here is that both
// records are live and that the result array has one value per node.
inline void verifyStepAddresses(std::uint64_t result, std::uint64_t meshData, int modelNodes, const char* model) {
    if (result == 0 || meshData == 0) return;
    const int resultNodes = lumivexNodeCount("result", result, "result_device_ptr");
    const int meshNodes = lumivexNodeCount("mesh_data", meshData, "mesh_devlink_ptr");
    if (meshNodes == modelNodes && resultNodes != modelNodes)
        throw std::runtime_error("result_device_ptr holds " + std::to_string(resultNodes) +
                                 " node values but the mesh and this " + model + " have " +
                                 std::to_string(modelNodes) + " nodes");
}
