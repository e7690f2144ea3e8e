#include "bindings/address_registry.hpp"

#include <cstdio>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace lvx {
namespace {

struct HandedOut {
    Lumivex* engine;
    AddressKind kind;
};

// Address -> the engine and record it was handed out for. Only the Python
// thread touches it (under the interpreter lock).
std::unordered_map<std::uintptr_t, HandedOut>& registry() {
    static std::unordered_map<std::uintptr_t, HandedOut> records;
    return records;
}

const char* describe(AddressKind kind) {
    switch (kind) {
        case AddressKind::Mesh: return "the engine's mesh (get_mesh_ptr)";
        case AddressKind::MeshData: return "the engine's mesh record (get_mesh_data_devlink_ptr)";
        case AddressKind::Result: return "the engine's absorbed-power array (get_result_array_device_ptr)";
    }
    return "";
}

AddressKind parseKind(const std::string& kind) {
    if (kind == "mesh") return AddressKind::Mesh;
    if (kind == "mesh_data") return AddressKind::MeshData;
    if (kind == "result") return AddressKind::Result;
    throw std::runtime_error("unknown address kind '" + kind + "'");
}

std::string hex(std::uintptr_t address) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(address));
    return text;
}

// Where the engine's record of this kind lives now (0 when it has none).
std::uintptr_t currentAddress(Lumivex& engine, AddressKind kind) {
    if (!engine.mesh_loaded()) return 0;
    switch (kind) {
        case AddressKind::Mesh: return engine.get_mesh_ptr();
        case AddressKind::MeshData: return engine.get_mesh_data_devlink_ptr();
        case AddressKind::Result: return engine.current_result_array();
    }
    return 0;
}

int nodeCountAt(AddressKind kind, std::uintptr_t address, const std::string& argument) {
    const std::string name = argument + " " + hex(address);
    const auto found = registry().find(address);
    if (found == registry().end())
        throw std::runtime_error(name + " was not handed out by a live lumivex engine (an unknown address, or "
                                        "one of an engine that was destroyed)");
    const HandedOut record = found->second;
    if (record.kind != kind)
        throw std::runtime_error(name + " is " + describe(record.kind) + ", not " + describe(kind));
    if (currentAddress(*record.engine, kind) != address)
        throw std::runtime_error(name + " is stale: " + describe(kind) +
                                 " has been replaced or released since; ask the engine for the address again");
    // The result array is kept sized to the mesh (a new array when the count changes).
    return record.engine->get_node_count();
}

}  // namespace

std::uintptr_t handOut(Lumivex& engine, AddressKind kind, std::uintptr_t address) {
    if (address == 0) return address;
    // One record per engine and kind: an address handed out before for the
    // same record is replaced (it then reads as unknown), so the registry does
    // not grow with every reconfiguration.
    auto& records = registry();
    for (auto it = records.begin(); it != records.end();)
        it = it->second.engine == &engine && it->second.kind == kind ? records.erase(it) : std::next(it);
    records[address] = HandedOut{&engine, kind};
    return address;
}

void forgetEngine(const Lumivex* engine) {
    auto& records = registry();
    for (auto it = records.begin(); it != records.end();)
        it = it->second.engine == engine ? records.erase(it) : std::next(it);
}

void addAddressRegistry(pybind11::module_& m) {
    m.def(
        "_node_count_at",
        [](const std::string& kind, std::uint64_t address, const std::string& argument) {
            return nodeCountAt(parseKind(kind), static_cast<std::uintptr_t>(address), argument);
        },
        pybind11::arg("kind"), pybind11::arg("address"), pybind11::arg("argument"),
        "Node count of the live record ('mesh', 'mesh_data' or 'result') at an address this module handed out;\n"
        "RuntimeError for an unknown, destroyed, mismatched or stale address. Used by kuravel and dosterin.");
}

}  // namespace lvx
